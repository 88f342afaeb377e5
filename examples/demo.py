"""A tour of the module on the software card: inventory, devices, contexts, memory,
a typical inference through an op stream, a video frame preprocessed by a fused op
straight into a model's input, and a short H.264 clip decoded on a decoder channel and
encoded again as HEVC (a transcode that stays in device memory)."""
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

import cv2
import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "build" / "python"), str(ROOT / "python")]

import _halvora_pybind11 as hal  # noqa: E402
from _halvora_pybind11 import zece, zecl, zecm, zeme  # noqa: E402
from halvora.samples import conv_relu, conv_relu_reference  # noqa: E402  (the sample model and its NumPy twin)

FOREVER = 0xFFFFFFFF


def devices():
    """Device indices of the machine, found by asking for each one's identity."""
    index = 0
    while True:
        try:
            yield index, zecm.getDeviceIdInfo(index)
        except RuntimeError:
            return
        index += 1


def main():
    print(f"_halvora_pybind11 {hal.__version__}, built {hal.__time_compiled__}")
    print(f"runtime: {zecm.getVersion()}")
    assert zecm.initialize() == zecm.ER_SUCCESS
    for index, (card, die, seq) in devices():
        context = zecm.createContext(index)
        assert zecm.setCurrentContext(context) == 0
        print(f"device {index}: card {card}, die {die}, sequence {seq}; context created", end="")
        assert zecm.setCurrentContext(None) == 0
        assert zecm.destroyContext(context) == 0
        print(" and destroyed")

    zecm.setDevice(0)
    data = np.arange(1 << 20, dtype=np.uint32).view(np.uint8)
    host = zecm.getHandleFromNumpy(data)
    device = zecm.malloc(data.size)
    zecm.memcpy(host, device, data.size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE)
    back = zecm.mallocHost(data.size)
    zecm.memcpy(device, back, data.size, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE)
    result = zecm.getNumpyFromHandle(back, data.size)
    print(f"copied {data.size} bytes to device 0 and back:",
          "equal" if np.array_equal(result, data) else "DIFFERENT")
    for block, free in ((host, zecm.freeHost), (device, zecm.free), (back, zecm.freeHost)):
        assert free(block) == 0
    with tempfile.TemporaryDirectory() as directory:
        inference(pathlib.Path(directory))
        preprocess(pathlib.Path(directory))
        transcode(pathlib.Path(directory))
    zecm.uninitialize()


def watch_while_busy(stream, source, dataset, seconds=1.2):
    """The card as halvora-smi sees it from another process while this one keeps running the model."""
    stop = threading.Event()

    def keep_busy():
        while not stop.is_set():
            for _ in range(20):
                zecl.runStreamAsync(stream, source, dataset)
            zecl.synchronizeStream(stream, FOREVER)
            while zecl.getStreamCacheNumber(stream):
                zecm.destroyDatasetAll(zecl.requestOutputDataset(stream))

    worker = threading.Thread(target=keep_busy)
    worker.start()
    time.sleep(seconds)
    shown = subprocess.run([sys.executable, str(ROOT / "tools" / "halvora-smi")], capture_output=True, text=True)
    stop.set()
    worker.join()
    print("halvora-smi in another process, while this one runs the model:")
    print(shown.stdout if shown.returncode == 0 else shown.stderr)


def to_device(array):
    """A new device block holding the bytes of `array`."""
    data = array.view(np.uint8).ravel()
    host = zecm.getHandleFromNumpy(data)
    block = zecm.malloc(data.size)
    assert zecm.memcpy(host, block, data.size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE) == 0
    assert zecm.freeHost(host) == 0
    return block


def from_device(block, size):
    """`size` bytes of device memory as a NumPy byte array."""
    host = zecm.mallocHost(size)
    assert zecm.memcpy(block, host, size, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE) == 0
    data = zecm.getNumpyFromHandle(host, size)
    assert zecm.freeHost(host) == 0
    return data


def inference(directory):
    """Model, graph, stream, reports, a run checked against NumPy, and a throughput figure."""
    print(f"compute library: {zecl.getVersion()}")
    assert zecm.setDevice(0) == 0
    path, weight, bias, x_shape, y_shape = conv_relu(directory / "conv_relu.onnx", name="demo")
    model = zecl.createModel(path, "conv_relu", "", "")
    shape = zecm.shape()
    assert zecl.getModelOutputShapeByIndex(model, 0, shape) == 0
    print(f"model: {zecl.getModelInputCount(model)} input, {zecl.getModelOutputCount(model)} output "
          f"of shape {shape.shapes} ({zecl.getModelOutputSizeByIndex(model, 0)} bytes)")

    graph = zecl.createOpGraph()
    source = zecl.createGraphInputOp(graph, zecl.getModelInputCount(model))
    run_model = zecl.createRunModelOp(model)
    assert zecl.connectOps(source, run_model) == 0
    assert zecl.registerGetOutput(graph, run_model) == 0
    stream = zecl.createOpStream(graph, zecl.balance_mode.zeclBM_RUN)
    assert zecl.buildStream(stream) == 0
    reports = {"count": 0, "ends": 0}

    def on_report(op, inputs, outputs, status, counts):
        counts["count"] += 1
        counts["ends"] += status.isStreamEnd
        if status.errorCode:
            print(f"run failed with status {status.errorCode}")

    assert zecl.subscribeStreamReport(stream, on_report, reports) == 0

    info = zecm.deviceInfo()
    info.deviceType, info.deviceIdx = zecm.deviceType.zecmDE_ZECC, 0
    x = np.random.default_rng(1).standard_normal(x_shape).astype(np.float32)
    block = to_device(x)
    dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
    assert zecm.addDatasetBuffer(dataset, zecm.createDataBuffer(info, block, x.nbytes)) == 0

    assert zecl.runStream(stream, source, dataset, FOREVER) == 0
    output = zecl.requestOutputDataset(stream)
    buffer = zecm.getDatasetBuffer(output, 0)
    result = from_device(zecm.getDataBufferAddr(buffer), zecm.getDataBufferSize(buffer))
    result = result.view(np.float32).reshape(y_shape)
    error = float(np.abs(result - conv_relu_reference(x, weight, bias)).max())
    print(f"one run: output {list(result.shape)}, largest difference from NumPy {error:.2e}:",
          "equal" if error < 1e-4 else "DIFFERENT")
    assert zecm.destroyDatasetAll(output) == 0

    runs = 100
    start = time.perf_counter()
    for _ in range(runs):
        assert zecl.runStreamAsync(stream, source, dataset) == 0
    assert zecl.synchronizeStream(stream, FOREVER) == 0
    elapsed = time.perf_counter() - start
    cached = zecl.getStreamCacheNumber(stream)
    while zecl.getStreamCacheNumber(stream):
        assert zecm.destroyDatasetAll(zecl.requestOutputDataset(stream)) == 0
    print(f"{runs} asynchronous runs (zeclBM_RUN): {runs / elapsed:.0f} runs/s, {cached} outputs; "
          f"{reports['count']} reports, {reports['ends']} of them ends of runs")
    watch_while_busy(stream, source, dataset)

    assert zecl.destroyOpStream(stream) == 0
    assert zecl.destroyOpGraph(graph) == 0
    assert zecl.destroyModel(model) == 0
    assert zecm.destroyDatasetAll(dataset) == 0
    assert zecm.free(block) == 0


def synthetic_frame(width=1920, height=1080):
    """An NV12 video frame: smooth colour gradients with some noise."""
    rng = np.random.default_rng(2)
    x, y = np.meshgrid(np.arange(width), np.arange(height))
    luma = (16 + 219 * (x + y) / (width + height) + rng.normal(0, 4, (height, width))).clip(16, 235)
    cx, cy = np.meshgrid(np.arange(width // 2), np.arange(height // 2))
    u = 128 + 100 * np.sin(cx / 97.0)
    v = 128 + 100 * np.cos(cy / 61.0)
    chroma = np.dstack([u, v]).clip(16, 240)
    return luma.astype(np.uint8), chroma.astype(np.uint8)


def preprocess(directory):
    """A 1080p NV12 frame converted, resized to 32 x 32, scaled to [0, 1] and laid out as a
    planar float16 tensor by one fused op, written straight into the input of a model whose
    input is float16, then run; both checked against OpenCV and NumPy."""
    print(f"preprocess library: version {zece.getVersion()}")
    luma, chroma = synthetic_frame()
    height, width = luma.shape
    frame = to_device(np.concatenate([luma.ravel(), chroma.ravel()]))
    path, weight, bias, x_shape, y_shape = conv_relu(directory / "conv_relu_fp16.onnx", input_type="float16",
                                                     name="demo")
    model = zecl.createModel(path, "", "", "")
    tensor_bytes = int(np.prod(x_shape)) * 2
    tensor = zecm.malloc(tensor_bytes)

    info = zecm.deviceInfo()
    info.deviceType, info.deviceIdx = zecm.deviceType.zecmDE_ZECC, 0
    frames = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
    assert zecm.addDatasetBuffer(frames, zecm.createDataBuffer(info, frame, width * height * 3 // 2)) == 0
    inputs = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
    assert zecm.addDatasetBuffer(inputs, zecm.createDataBuffer(info, tensor, tensor_bytes)) == 0

    op = zece.createOp(zece.opType.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR)
    integer, element = zece.dataType.zeceDT_INT, zece.paramType.zecePARAM_ELEMENT
    for name, value in (("inputWidth", width), ("inputHeight", height), ("outputWidth", x_shape[3]),
                        ("outputHeight", x_shape[2]), ("normType", int(zece.normType.zeceNORM_DIV255)),
                        ("tensorizationType", int(zece.tensorizationType.zeceTENSORIZATION_FP16))):
        assert zece.setZeceOPAttr(op, name, integer, element, value) == 0
    assert zece.executeOp(op, frames, inputs) == 0

    ours = from_device(tensor, tensor_bytes).view(np.float16).reshape(x_shape)
    nv12 = np.vstack([luma, chroma.reshape(height // 2, width)])

    def chain():
        rgb = cv2.cvtColor(nv12, cv2.COLOR_YUV2RGB_NV12)
        small = cv2.resize(rgb, (x_shape[3], x_shape[2]), interpolation=cv2.INTER_LINEAR)
        return (small.astype(np.float32) / np.float32(255)).astype(np.float16).transpose(2, 0, 1)[None]

    expected = chain()
    print(f"fused op: 1080p NV12 -> {x_shape} float16:",
          "equal to OpenCV + NumPy" if np.array_equal(ours, expected) else "DIFFERENT")
    runs = 50
    start = time.perf_counter()
    for _ in range(runs):
        zece.executeOp(op, frames, inputs)
    fused = (time.perf_counter() - start) / runs
    start = time.perf_counter()
    for _ in range(runs):
        chain()
    separate = (time.perf_counter() - start) / runs
    print(f"  {fused * 1e3:.2f} ms a frame, the same steps with OpenCV and NumPy {separate * 1e3:.2f} ms")

    graph = zecl.createOpGraph()
    source = zecl.createGraphInputOp(graph, 1)
    run_model = zecl.createRunModelOp(model)
    assert zecl.connectOps(source, run_model) == 0
    assert zecl.registerGetOutput(graph, run_model) == 0
    stream = zecl.createOpStream(graph, zecl.balance_mode.zeclBM_ONCE)
    assert zecl.buildStream(stream) == 0
    assert zecl.runStream(stream, source, inputs, FOREVER) == 0
    output = zecl.requestOutputDataset(stream)
    buffer = zecm.getDatasetBuffer(output, 0)
    result = from_device(zecm.getDataBufferAddr(buffer), zecm.getDataBufferSize(buffer)).view(np.float32)
    error = float(np.abs(result.reshape(y_shape) - conv_relu_reference(expected.astype(np.float32), weight,
                                                                       bias)).max())
    print(f"model on the preprocessed frame: largest difference from NumPy {error:.2e}:",
          "equal" if error < 1e-4 else "DIFFERENT")
    assert zecm.destroyDatasetAll(output) == 0
    assert zecl.destroyOpStream(stream) == 0
    assert zecl.destroyOpGraph(graph) == 0
    assert zece.destroyOp(op) == 0
    assert zecl.destroyModel(model) == 0
    assert zecm.destroyDatasetAll(frames) == 0 and zecm.destroyDatasetAll(inputs) == 0  # the blocks stay ours
    assert zecm.free(frame) == 0 and zecm.free(tensor) == 0


def make_clip(path, width=1280, height=720, frames=120):
    """A short H.264 clip (with B-frames) made by the ffmpeg tool."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", f"testsrc=size={width}x{height}:rate=30",
                    "-frames:v", str(frames), "-c:v", "libx264", "-bf", "2", "-pix_fmt", "yuv420p", str(path)],
                   check=True)


def video_channel(codec, width, height, channel):
    """An encoder channel for `codec` at the clip's size and rate, the card's defaults otherwise."""
    params = zeme.encChannelParamters()
    params.codecType = getattr(zeme.codecType, codec)
    params.videoConfig.width, params.videoConfig.height = width, height
    params.videoConfig.frameRate.numerator, params.videoConfig.frameRate.denominator = 30, 1
    assert zeme.createEncoderChannel(params, channel) == 0 and zeme.startEncoder(channel) == 0


def transcode(directory):
    """The typical decode, and a transcode: an H264Reader feeds a decoder channel one NAL unit
    at a time; each picture, in device memory, goes straight to an HEVC encoder channel and back
    to the decoder; the encoded pieces are written out as an HEVC stream."""
    clip, output = directory / "clip.h264", directory / "clip.hevc"
    make_clip(clip)
    print(f"media engine: {zeme.getVersion()}")
    assert zeme.systemInitialize() == 0
    params = zeme.decChannelParamters()
    params.codecType = zeme.codecType.ZEME_CODEC_DEC_H264
    params.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
    decoder, encoder = 0, 0
    assert zeme.createDecoderChannel(params, decoder) == 0 and zeme.startDecoder(decoder) == 0
    reader, unit, frame, piece = zeme.H264Reader(str(clip)), zeme.stream(), zeme.frame(), zeme.stream()
    assert reader.init() == 0
    counts = {"decoded": 0, "bytes": 0}
    first = None

    with open(output, "wb") as out:
        def collect(wait):
            while True:
                status = zeme.receiveStreamFromEncoder(encoder, piece, wait)
                if status != 0:
                    return status
                out.write(piece.stream.tobytes())
                counts["bytes"] += piece.stream.size
                assert zeme.encReleaseStream(encoder, piece, 0) == 0

        def drain(wait):
            nonlocal first
            while True:
                status = zeme.receiveFrameFromDecoder(decoder, frame, None, wait)  # device memory
                if status != 0:
                    return status
                if counts["decoded"] == 0:
                    video_channel("ZEME_CODEC_ENC_HEVC", frame.cropInfo.width, frame.cropInfo.height, encoder)
                    assert zeme.transferFrameFromDecoder(decoder, frame, True) == 0  # a host copy, to check it
                    first = np.asarray(memoryview(frame)).copy()
                assert zeme.sendFrameToEncoder(encoder, frame, None, FOREVER) == 0
                assert zeme.decReleaseFrame(decoder, frame, 0) == 0
                counts["decoded"] += 1
                collect(0)

        start = time.perf_counter()
        while reader.getStream(unit):
            assert zeme.sendStreamToDecoder(decoder, unit, FOREVER) == 0
            drain(0)
        assert zeme.sendStreamToDecoder(decoder, zeme.stream(), FOREVER) == 0  # no bytes: the end of the input
        assert drain(FOREVER) == zeme.zemeER_RSLT_WARN_EOS
        end = zeme.frame()
        end.memoryType = zeme.memoryType.ZEME_MEM_FLUSH
        assert zeme.sendFrameToEncoder(encoder, end, None, FOREVER) == 0
        assert collect(FOREVER) == zeme.zemeER_RSLT_WARN_EOS
        elapsed = time.perf_counter() - start
    reader.release()
    reference = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(clip), "-frames:v", "1", "-f", "rawvideo",
                                "-pix_fmt", "nv12", "-"], check=True, capture_output=True).stdout
    same = first is not None and first.tobytes() == reference
    encoded = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                              "stream=nb_read_frames", "-of", "csv=p=0", str(output)],
                             check=True, capture_output=True, text=True).stdout.strip()
    print(f"transcoded {counts['decoded']} frames of {frame.width}x{frame.height} H.264 to HEVC "
          f"({counts['bytes']} bytes, {encoded} frames as ffprobe reads them): {counts['decoded'] / elapsed:.0f} "
          f"frames/s; the first decoded one", "equal to the ffmpeg tool's" if same else "DIFFERENT")
    for channel, stop, destroy in ((decoder, zeme.stopDecoder, zeme.destroyDecoderChannel),
                                   (encoder, zeme.stopEncoder, zeme.destroyEncoderChannel)):
        assert stop(channel) == 0 and destroy(channel) == 0
    assert zeme.systemUninitialize() == 0


if __name__ == "__main__":
    main()
