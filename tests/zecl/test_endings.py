"""Endings with work in flight: a process that exits with op-stream runs queued, a stream
destroyed (or its device reset, or the runtime uninitialised) with runs queued, and receives
that wait while another thread would send."""
import pathlib

import numpy as np
import pytest

import models
from zecl_helpers import RUN, chain, run_isolated

ROOT = pathlib.Path(__file__).resolve().parents[2]

# A process that queues runs with a report callback that takes a while (or raises), then
# ends without waiting for them, as a script does: it must exit with the status it gave.
EXIT_WITH_RUNS_QUEUED = """
import sys, time
sys.path.insert(0, {folder!r})
import numpy as np
import _halvora_pybind11 as hal
import models
zecm, zecl = hal.zecm, hal.zecl
assert zecm.initialize() == 0 and zecm.setDevice(0) == 0
conv = models.ConvRelu({path!r})
model = zecl.createModel(conv.path, "", "", "")
graph = zecl.createOpGraph()
source, op = zecl.createGraphInputOp(graph, 1), zecl.createRunModelOp(model)
assert zecl.connectOps(source, op) == 0 and zecl.registerGetOutput(graph, op) == 0
stream = zecl.createOpStream(graph, zecl.balance_mode.zeclBM_RUN)
assert zecl.buildStream(stream) == 0
def report(*arguments):
    if {raises!r}:
        raise ValueError("from the report")
    time.sleep(0.003)
assert zecl.subscribeStreamReport(stream, report, None) == 0
from card import Device
dataset = Device(zecm).dataset([np.ones(conv.input_shape, np.float32)])
for _ in range(2000):
    assert zecl.runStreamAsync(stream, source, dataset) == 0
import threading
def spin():  # another Python thread busy at exit, as in most programs: the reports wait for the lock
    while True:
        sum(range(1000))
threading.Thread(target=spin, daemon=True).start()
sys.exit(7)
"""


@pytest.mark.parametrize("raises", [False, True])
def test_a_process_ending_with_runs_queued_exits_with_its_status(tmp_path, raises):
    source = EXIT_WITH_RUNS_QUEUED.format(folder=str(pathlib.Path(models.__file__).parent),
                                          path=str(tmp_path / "conv.onnx"), raises=raises)
    for _ in range(8):  # the crash was a race: most runs of eight showed it
        result = run_isolated(source, timeout=60)
        assert result.returncode == 7, result.stderr[-2000:]
        assert "terminate called" not in result.stderr and "Fatal Python error" not in result.stderr


@pytest.mark.parametrize("ending", ["destroyOpStream", "resetDevice", "uninitialize"])
def test_runs_queued_before_an_ending_deliver_their_outputs(zecl, device, conv, ending):
    zecm = device.zecm
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")], RUN)
    outcomes = []

    def take(p1, p2, p3, status, user):
        if status.isStreamEnd:
            try:
                output = zecl.requestOutputDataset(line.stream)
                outcomes.append(status.errorCode or device.results(output)[0].size)
                zecm.destroyDatasetAll(output)
            except RuntimeError as error:
                outcomes.append(f"{status.errorCode}: {error}")

    assert zecl.subscribeStreamReport(line.stream, take, None) == 0
    dataset = device.dataset([np.ones(conv.input_shape, np.float32)])
    for _ in range(100):
        assert zecl.runStreamAsync(line.stream, line.input, dataset) == 0
    if ending == "destroyOpStream":
        assert zecl.destroyOpStream(line.stream) == 0
    else:
        assert getattr(zecm, ending)(*([0] if ending == "resetDevice" else [])) == 0
    assert outcomes == [int(np.prod(conv.output_shape))] * 100


def test_waiting_receives_let_the_sending_thread_run():
    # Were the interpreter lock kept while they wait, the two threads waiting for ever would
    # hold up the main thread's sends for ever: the child process would not end.
    result = run_isolated(f"""
        import subprocess, sys, threading
        sys.path.insert(0, {str(ROOT / "python")!r})
        import numpy as np
        import halvora
        from halvora import FOREVER, zeme
        got = []
        def waiting(receive):
            thread = threading.Thread(target=lambda: got.append(receive()))
            thread.start()
            return thread
        with halvora.Decoder() as decoder, halvora.Encoder(64, 64) as encoder:
            threads = [waiting(lambda: decoder.receive(FOREVER) is not None),
                       waiting(lambda: zeme.receiveStreamFromEncoder(encoder.channel, zeme.stream(), FOREVER))]
            decoder.send(subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                         "testsrc=size=64x64", "-frames:v", "2", "-pix_fmt", "yuv420p", "-f", "h264",
                                         "-"], check=True, capture_output=True).stdout)
            decoder.end()
            picture = encoder._record(np.full((96, 64), 128, np.uint8), None)
            assert zeme.sendFrameToEncoder(encoder.channel, picture, None, FOREVER) == 0
            encoder.finish()
            for thread in threads:
                thread.join()
        print(sorted(got, key=str))  # the encoder's wait ends with a piece, or with the end if finish() took all
    """, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() in ("[0, True]", "[401002, True]"), result.stderr[-2000:]
