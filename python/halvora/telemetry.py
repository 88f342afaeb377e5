"""Card telemetry through the management library: memory and load of the die that holds
an AI device."""
from ._native import CardError, Status, call, check, zeml
from .card import Resource


class Telemetry(Resource):
    """The management library, started for the die of AI device `device`.

    memory() gives (used, total) bytes of the device's memory over every process using the
    card; load() the percentages of its units: ai (model runs), vdsp (preprocess), vdec and
    venc (decoder and encoder of the die's codec device)."""

    def __init__(self, device=0):
        status = zeml.init()
        if status not in (0, Status.ML_INITIALIZED):
            self.closed = True
            raise CardError("starting the management library", int(status))
        self.owned = status == 0
        try:
            index = call(zeml.getDieIndexByDevIndex, f"finding the die of AI device {device}", device)
            self.die = call(zeml.getDieHandleByDieIndex, "opening the die", index)
        except BaseException:
            self.close()
            raise

    def _release(self):
        if self.owned:
            zeml.shutDown()

    def memory(self):
        rate = call(zeml.getMemUtilizationRate, "reading the die's memory", self.die)
        return rate.used, rate.total

    def load(self):
        rate = call(zeml.getUtilizationRate, "reading the die's load", self.die)
        return {"ai": rate.ai, "vdsp": rate.vdsp, "vdec": rate.vdmcu, "venc": rate.vemcu}

    def processes(self):
        """(pid, MiB of device memory, command line) of the processes using the die."""
        return [(p.pid, p.memused, p.name) for p in call(zeml.getRunningProcesses, "listing processes", self.die, [])]


__all__ = ["Telemetry", "check"]
