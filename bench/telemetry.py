"""Management telemetry: the cost of one full refresh of what a monitoring tool shows, through the
zeml bindings, beside what a host monitor reads for the host itself each refresh (/proc/meminfo,
/proc/stat and /proc/loadavg); and the usage registry's bookkeeping on zecm.malloc + zecm.free
pairs, the same loop in two fresh interpreters, one publishing into a registry and one with the
registry switched off (ZESIM_REGISTRY=off)."""
import os
import subprocess
import sys
import tempfile

from common import BUILD, best_time, report

from _halvora_pybind11 import zecm, zeml

PAIRS = 20000
OTHERS = 4  # processes holding device memory beside this one, for the second refresh


def refresh():
    """Everything a monitoring tool reads for one screen: the inventory, then each card and die."""
    zeml.getAiDevInfo(zeml.getAiDeviceCount())
    zeml.getCodecDevInfo(zeml.getCodecDeviceCount())
    for card in range(zeml.getCardCount()):
        handle = zeml.getCardHandleByIndex(card)
        zeml.getUUID(handle)
        zeml.getPciInfo(handle)
        zeml.getFanSpeedInfo(handle, zeml.fanSpeedInfo())
        for index in range(zeml.getDieCount(handle)):
            die = zeml.getDieHandleByIndex(handle, index)
            zeml.getMemUtilizationRate(die)
            zeml.getUtilizationRate(die)
            zeml.getMcuUtilizationRate(die, zeml.mcuUtilizationRate())
            zeml.getRunningProcesses(die, [])
            zeml.getTemperature(die, zeml.temperature())
            zeml.getTempThreshold(die, zeml.tempThreshold())
            zeml.getPower(die, zeml.power())
            zeml.getPowerCur(die, zeml.powerCur())
            zeml.getPowerVolt(die, zeml.powerVolt())
            zeml.getPinVolt(die, zeml.pinVolt())
            zeml.getPllClocks(die, zeml.pllClock())
    zeml.getCardInfo([])


def host_refresh():
    for path in ("/proc/meminfo", "/proc/stat", "/proc/loadavg"):
        with open(path) as file:
            file.read()


HOLDER = """
import sys
import _halvora_pybind11 as hal
hal.zecm.initialize(None); hal.zecm.setDevice(0)
block = hal.zecm.malloc(1 << 20)
print("ready", flush=True)
sys.stdin.read()
"""

PAIRS_LOOP = f"""
import sys, timeit
sys.path.insert(0, {str(BUILD / 'python')!r})
from _halvora_pybind11 import zecm
zecm.initialize(None); zecm.setDevice(0)
def pairs():
    for _ in range({PAIRS}):
        zecm.free(zecm.malloc(4096))
pairs()
print(min(timeit.repeat(pairs, number=1, repeat=5)) / {PAIRS})
"""


def pair_time(registry):
    env = dict(os.environ, ZESIM_REGISTRY=registry, PYTHONPATH=str(BUILD / "python"))
    result = subprocess.run([sys.executable, "-c", PAIRS_LOOP], env=env, capture_output=True, text=True, check=True)
    return float(result.stdout)


def main():
    with tempfile.TemporaryDirectory() as folder:
        registry = os.path.join(folder, "registry")
        os.environ["ZESIM_REGISTRY"] = registry  # this process and the holders: a registry of their own
        zeml.init()
        zecm.initialize(None)
        zecm.setDevice(0)
        block = zecm.malloc(1 << 20)
        host = best_time(host_refresh, 200)
        report("full refresh, 1 card of 2 dies, this process on the card (host /proc refresh)",
               best_time(refresh, 200), host, unit="us", scale=1e6)
        holders = [subprocess.Popen([sys.executable, "-c", HOLDER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    text=True, env=dict(os.environ, PYTHONPATH=str(BUILD / "python")))
                   for _ in range(OTHERS)]
        for holder in holders:
            assert holder.stdout.readline() == "ready\n"
        report(f"full refresh with {OTHERS} more processes on the card (host /proc refresh)",
               best_time(refresh, 200), host, unit="us", scale=1e6)
        for holder in holders:
            holder.stdin.close()
            holder.wait()
        zecm.free(block)
        zecm.uninitialize()
        zeml.shutDown()

        # Alternating runs, the best of each side: a run's time varies with where its
        # interpreter lands on a shared machine far more than by the bookkeeping.
        published, off = [], []
        for _ in range(5):
            off.append(pair_time("off"))
            published.append(pair_time(registry))
        report(f"malloc + free pair with the usage registry (without it), best of {len(off)} interpreters",
               min(published), min(off))


if __name__ == "__main__":
    main()
