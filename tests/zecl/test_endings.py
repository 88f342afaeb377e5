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


def test_the_package_ends_cleanly_with_runs_of_an_open_stream_queued(tmp_path):
    result = run_isolated(f"""
        import sys, time
        sys.path.insert(0, {str(ROOT / "python")!r})
        import numpy as np
        from package_models import affine_model
        import halvora
        model = halvora.Model(affine_model({str(tmp_path / "affine.onnx")!r}, [1, 4096]))
        stream = halvora.ModelStream(model, on_output=lambda *run: time.sleep(0.003), depth=16)
        for i in range(16):
            stream.submit(stream.input(), i)
        futures = [model.run_async(np.zeros((1, 4096), np.float32)) for _ in range(4)]
        raise SystemExit(5)
    """, timeout=60)
    assert result.returncode == 5, result.stderr[-2000:]


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


@pytest.mark.parametrize("side", ["decoder", "encoder"])
def test_a_waiting_receive_lets_the_sending_thread_run(side, tmp_path):
    # Without the interpreter lock let go, the waiting thread would hold up the main thread's
    # send for ever; the child process would not end.
    result = run_isolated(f"""
        import subprocess, threading
        import numpy as np
        import _halvora_pybind11 as hal
        zecm, zeme = hal.zecm, hal.zeme
        assert zecm.initialize() == 0 and zecm.setDevice(0) == 0 and zeme.systemInitialize() == 0
        got = []
        if {side!r} == "decoder":
            params = zeme.decChannelParamters()
            params.codecType, params.pixelFormat = zeme.codecType.ZEME_CODEC_DEC_H264, zeme.pixelFormat.ZEME_PIX_FMT_NV12
            assert zeme.createDecoderChannel(params, 0) == 0 and zeme.startDecoder(0) == 0
            receive = lambda: got.append(zeme.receiveFrameFromDecoder(0, zeme.frame(), None, 0xFFFFFFFF))
            data = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                   "testsrc=size=64x64:rate=25", "-frames:v", "2", "-c:v", "libx264", "-pix_fmt",
                                   "yuv420p", "-f", "h264", "-"], check=True, capture_output=True).stdout
            waiting = threading.Thread(target=receive)
            waiting.start()
            unit = zeme.stream()
            unit.stream = np.frombuffer(data, np.uint8)
            assert zeme.sendStreamToDecoder(0, unit, 0xFFFFFFFF) == 0
            assert zeme.sendStreamToDecoder(0, zeme.stream(), 0xFFFFFFFF) == 0
        else:
            params = zeme.encChannelParamters()
            params.codecType = zeme.codecType.ZEME_CODEC_ENC_H264
            config = params.videoConfig
            config.width, config.height = 64, 64
            config.frameRate.numerator, config.frameRate.denominator = 25, 1
            assert zeme.createEncoderChannel(params, 0) == 0 and zeme.startEncoder(0) == 0
            receive = lambda: got.append(zeme.receiveStreamFromEncoder(0, zeme.stream(), 0xFFFFFFFF))
            waiting = threading.Thread(target=receive)
            waiting.start()
            picture = zeme.frame()
            picture.pixelFormat, picture.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
            picture.width, picture.height, picture.stride = 64, 64, [64, 64]
            picture.data = np.full(64 * 96, 128, np.uint8)
            picture.dataSize = 64 * 96
            assert zeme.sendFrameToEncoder(0, picture, None, 0xFFFFFFFF) == 0
            flush = zeme.frame()
            flush.memoryType = zeme.memoryType.ZEME_MEM_FLUSH
            assert zeme.sendFrameToEncoder(0, flush, None, 0xFFFFFFFF) == 0
        waiting.join()
        print(got)
    """, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == "[0]", result.stderr[-2000:]
