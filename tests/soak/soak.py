"""The soak loop, run in a process of its own: `soak.py GROUP ROUNDS` creates and
destroys one group of runtime objects ROUNDS times and prints, as one JSON line, what
the process and the card held before the first round, after the warm-up (the first
tenth of the rounds) and after the last round:

  {"rounds": N, "before": {...}, "warm": {...}, "end": {...}}

each with "rss" (resident bytes, after freed heap pages went back to the system), "heap"
(bytes in use on the C heap), "handles" (the card's live handles) and "used" (device memory in use per die, as the
management library reports it). "sanitized" is true when the process runs under
AddressSanitizer, whose quarantine keeps freed memory resident: its RSS says nothing.

Each round is kept small (tiny pictures and models) so that thousands of them take
seconds; every object of the group is created and destroyed in every round."""
import ctypes
import json
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent), str(HERE.parent / "zecl")]

import numpy as np  # noqa: E402

from sim import BUILD, LIB_DIR, Sim  # noqa: E402

sys.path.insert(0, str(BUILD / "python"))
import _halvora_pybind11 as hal  # noqa: E402
import models  # noqa: E402  (tests/models.py)

zecm, zecl, zece, zeme, zeml = hal.zecm, hal.zecl, hal.zece, hal.zeme, hal.zeml
FOREVER = 0xFFFFFFFF
WARN_MORE_DATA, WARN_EOS = zeme.zemeER_RSLT_WARN_MORE_DATA, zeme.zemeER_RSLT_WARN_EOS
TIMEOUT = 402008
sim = Sim()
libc = ctypes.CDLL(None)
SANITIZED = hasattr(libc, "__asan_init")


def rss():
    libc.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


libc.mallinfo2.restype = MallocInfo


def heap():
    """Bytes in use on the C heap, every allocator arena together."""
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def state():
    card = zeml.getCardHandleByIndex(0)
    dies = [zeml.getDieHandleByIndex(card, i) for i in range(zeml.getDieCount(card))]
    return {"rss": rss(), "heap": heap(), "handles": sim.handles(),
            "used": [zeml.getMemUtilizationRate(d).used for d in dies]}


def device_info():
    record = zecm.deviceInfo()
    record.deviceType, record.deviceIdx = zecm.deviceType.zecmDE_ZECC, zecm.getDevice()
    return record


def shape(dims):
    record = zecm.shape()
    record.ndims, record.shapes = len(dims), list(dims)
    return record


def upload(array):
    """A new device block holding the bytes of `array` (the caller frees it)."""
    data = np.ascontiguousarray(array).view(np.uint8).ravel()
    block = zecm.malloc(data.size)
    host = zecm.getHandleFromNumpy(data)
    assert zecm.memcpy(host, block, data.size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE) == 0
    assert zecm.freeHost(host) == 0
    return block


def buffers(arrays):
    """A dataset of data buffers over new device copies of `arrays`, and the copies."""
    dataset, blocks = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER), [upload(a) for a in arrays]
    for array, block in zip(arrays, blocks):
        assert zecm.addDatasetBuffer(dataset, zecm.createDataBuffer(device_info(), block, array.nbytes)) == 0
    return dataset, blocks


def destroy(dataset, blocks):
    """Destroys a dataset of `buffers`, then the copies its buffers wrap."""
    assert zecm.destroyDatasetAll(dataset) == 0
    assert all(zecm.free(block) == 0 for block in blocks)


# Memory of each kind, contexts, data buffers, tensors and datasets, with copies and fills.
def memory_group(folder):
    info, payload = device_info(), np.arange(4096, dtype=np.uint8)
    f32 = zecm.dType.zecmDT_FLOAT32

    def round_(index):
        context = zecm.createContext(zecm.getDevice())
        assert zecm.destroyContext(context) == 0
        block, model, host = zecm.malloc(4096), zecm.mallocModelInOut(4096), zecm.mallocHost(4096)
        from_numpy = zecm.getHandleFromNumpy(payload)
        assert zecm.memcpy(from_numpy, block, 4096, zecm.copyMemType.zecmCT_COPY_TO_DEVICE) == 0
        assert zecm.memsetAsync(model, 7, 4096, None) == 0
        assert zecm.memcpyAsync(block, host, 4096, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE, None) == 0
        assert zecm.memcpy(model, host, 16, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE) == 0
        assert zecm.getNumpyFromHandle(host, 16)[0] == 7
        wrapped = zecm.createDataBuffer(info, block, 4096)
        dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
        assert zecm.addDatasetBuffer(dataset, wrapped) == 0
        assert zecm.destroyDatasetAll(dataset) == 0  # the buffer goes, the block stays the caller's
        tensors = zecm.createDataset(zecm.datasetMode.zecmDM_TENSOR)
        own = zecm.createTensor(info, shape([4, 8, 8]), f32)
        over = zecm.createTensorWithDataHandle(info, shape([1, 1024]), f32, model, False)
        assert zecm.addDatasetTensor(tensors, own) == 0 and zecm.addDatasetTensor(tensors, over) == 0
        assert zecm.destroyDataset(tensors) == 0  # the members stay
        assert zecm.destroyTensor(own) == 0 and zecm.destroyTensor(over) == 0
        assert zecm.free(block) == 0 and zecm.freeModelInOut(model) == 0
        assert zecm.freeHost(host) == 0 and zecm.freeHost(from_numpy) == 0
        # A dataset whose destruction takes its members and the memory they own along.
        owning = zecm.createDataset(zecm.datasetMode.zecmDM_TENSOR)
        assert zecm.addDatasetTensor(owning, zecm.createTensor(info, shape([16]), f32)) == 0
        assert zecm.destroyDatasetAll(owning) == 0

    return round_


# Direct operations and executeOp of built-in ops, and a customized op of the example plug-in.
def preprocess_group(folder):
    record = zece.imageDesc()
    record.width, record.height, record.widthPitch, record.heightPitch = 32, 32, 32, 32
    record.format = zece.imageType.zeceIMG_YUV_NV12
    small = zece.imageDesc()
    small.width, small.height, small.widthPitch, small.heightPitch = 16, 16, 16, 16
    small.format = zece.imageType.zeceIMG_YUV_NV12
    source = upload(np.random.default_rng(1).integers(0, 256, 32 * 48, dtype=np.uint8))
    target = zecm.malloc(16 * 24)
    bilinear = zece.resizeType.zeceRESIZE_BILINEAR
    element, integer = zece.paramType.zecePARAM_ELEMENT, zece.dataType.zeceDT_INT
    plugin = str(LIB_DIR / "libzece_nv12_scale.so")
    info = device_info()

    def members(block, size):
        dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
        assert zecm.addDatasetBuffer(dataset, zecm.createDataBuffer(info, block, size)) == 0
        return dataset

    def round_(index):
        assert zece.resize(bilinear, record, source, small, target) == 0
        op = zece.createOp(zece.opType.zeceOP_RESIZE)
        for name, value in (("inputWidth", 32), ("inputHeight", 32), ("inputWidthPitch", 32),
                            ("inputHeightPitch", 32), ("inputFormat", int(record.format)),
                            ("outputWidth", 16), ("outputHeight", 16), ("outputWidthPitch", 16),
                            ("outputHeightPitch", 16), ("outputFormat", int(small.format)),
                            ("resizeType", int(bilinear))):
            assert zece.setZeceOPAttr(op, name, integer, element, value) == 0
        inputs, outputs = members(source, 32 * 48), members(target, 16 * 24)
        assert zece.executeOp(op, inputs, outputs) == 0
        assert zece.destroyOp(op) == 0
        assert zecm.destroyDatasetAll(inputs) == 0 and zecm.destroyDatasetAll(outputs) == 0
        if index % 10 == 0:  # loading a plug-in maps a library: a tenth of the rounds
            ops = zece.loadCustomizedOp(plugin)
            scale = zece.createCustomizedOp(ops, "nv12_scale")
            assert zece.destroyOp(scale) == 0
            assert zece.unloadCustomizedOps(ops) == 0

    return round_


# Models, op graphs, op streams with a subscriber, and runs. OpenCV keeps about 850 bytes
# for good for every thread that ever ran one of its parallel loops, and the card runs
# networks on each stream's own threads: OpenCV's parallelism is turned off here (the
# process shares OpenCV with the card) so that what is measured is the card's own memory.
def compute_group(folder):
    import cv2
    cv2.setNumThreads(1)
    conv = models.ConvRelu(folder / "conv.onnx", channels=1, filters=1, size=2)
    x = np.random.default_rng(2).standard_normal(conv.input_shape).astype(np.float32)
    seen = []

    def report(p1, p2, p3, status, user):
        seen.append(status.errorCode)

    def round_(index):
        model = zecl.createModel(conv.path, "conv", "", "")
        graph = zecl.createOpGraph()
        first = zecl.createGraphInputOp(graph, 1)
        op = zecl.createRunModelOp(model)
        assert zecl.connectOps(first, op) == 0 and zecl.registerGetOutput(graph, op) == 0
        mode = zecl.balance_mode.zeclBM_RUN if index % 2 else zecl.balance_mode.zeclBM_ONCE
        stream = zecl.createOpStream(graph, mode)
        assert zecl.buildStream(stream) == 0
        assert zecl.subscribeStreamReport(stream, report, None) == 0
        inputs = [buffers([x]), buffers([x])]
        assert zecl.runStream(stream, first, inputs[0][0], FOREVER) == 0
        assert zecl.runStreamAsync(stream, first, inputs[1][0]) == 0
        assert zecl.synchronizeStream(stream, FOREVER) == 0
        for dataset, blocks in inputs:
            destroy(dataset, blocks)
        output = zecl.requestOutputDataset(stream)  # one output is taken, the other left to the stream
        assert zecm.destroyDatasetAll(output) == 0
        assert zecl.destroyOpStream(stream) == 0
        assert zecl.destroyOpGraph(graph) == 0
        assert zecl.destroyModel(model) == 0
        assert seen == [0, 0]
        seen.clear()

    return round_


def tool(*arguments):
    return subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", *arguments], check=True,
                          capture_output=True).stdout


CLIP_PICTURES = 3  # an I-, a B- and a P-picture


# Decoder channels with a stream of a few pictures, host and device pictures.
def decoder_group(folder):
    clip = np.frombuffer(tool("-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-frames:v", str(CLIP_PICTURES),
                              "-c:v", "libx264", "-bf", "1", "-pix_fmt", "yuv420p", "-f", "h264", "-"), np.uint8)

    def round_(index):
        channel = index % 4
        params = zeme.decChannelParamters()
        params.codecType, params.pixelFormat = zeme.codecType.ZEME_CODEC_DEC_H264, zeme.pixelFormat.ZEME_PIX_FMT_NV12
        assert zeme.createDecoderChannel(params, channel) == 0
        assert zeme.startDecoder(channel) == 0
        stream = zeme.stream()
        stream.stream = clip
        assert zeme.sendStreamToDecoder(channel, stream, FOREVER) == 0
        assert zeme.sendStreamToDecoder(channel, zeme.stream(), FOREVER) == 0
        options = zeme.decOutputOptions()
        options.memoryType = zeme.memoryType.ZEME_MEM_DEVICE if index % 2 else zeme.memoryType.ZEME_MEM_HOST
        pictures = 0
        while True:
            frame = zeme.frame()
            status = zeme.receiveFrameFromDecoder(channel, frame, options, FOREVER)
            if status == WARN_EOS:
                break
            assert status == 0
            pictures += 1
            if pictures == CLIP_PICTURES:
                break  # the last picture stays with the channel, released by its destruction
            assert zeme.decReleaseFrame(channel, frame, 0) == 0
        assert pictures == CLIP_PICTURES
        assert zeme.stopDecoder(channel) == 0
        assert zeme.destroyDecoderChannel(channel) == 0

    return round_


# Encoder channels of both video codecs and of JPEG, with pictures through them. Opening
# a libx265 encoder takes tens of milliseconds (its thread pool and lookahead): an HEVC
# channel comes every HEVC_EVERY rounds, H.264 and JPEG channels share the others. The
# video channels use the fastest quality mode and no B-pictures.
HEVC_EVERY = 50


def encoder_group(folder):
    width, height = 64, 64  # the smallest video pictures
    pictures = np.frombuffer(tool("-f", "lavfi", "-i", f"testsrc=size={width}x{height}:rate=25", "-frames:v",
                                  "2", "-pix_fmt", "nv12", "-f", "rawvideo", "-"), np.uint8).reshape(2, -1)

    def frame(picture, pts):
        record = zeme.frame()
        record.pixelFormat, record.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
        record.width, record.height, record.stride = width, height, [width]
        record.data, record.dataSize, record.pts = picture, picture.size, pts
        return record

    def take(channel, wait):
        count = 0
        while True:
            stream = zeme.stream()
            status = zeme.receiveStreamFromEncoder(channel, stream, wait)
            if status:
                return count, status
            count += 1
            assert zeme.encReleaseStream(channel, stream, 0) == 0

    def round_(index):
        channel = index % 4
        params = zeme.encChannelParamters()
        if index % HEVC_EVERY != 1 and index % 2:
            params.codecType = zeme.codecType.ZEME_CODEC_ENC_JPEG
            assert zeme.createEncoderChannel(params, channel) == 0
            assert zeme.startEncoder(channel) == 0
            stream = zeme.stream()
            assert zeme.jpegSyncEncoder(channel, frame(pictures[0], 1), stream, None, 0) == 0
            assert zeme.encReleaseStream(channel, stream, 0) == 0
        else:
            params.codecType = (zeme.codecType.ZEME_CODEC_ENC_HEVC if index % HEVC_EVERY == 1 else
                                zeme.codecType.ZEME_CODEC_ENC_H264)
            params.videoConfig.width, params.videoConfig.height = width, height
            params.videoConfig.qualityMode = zeme.encQualityMode.ZEME_BRONZE_QUALITY
            params.videoConfig.gopSize = 1  # no B-pictures
            params.videoConfig.frameRate.numerator, params.videoConfig.frameRate.denominator = 25, 1
            status = zeme.createEncoderChannel(params, channel)
            assert status == 0, (index, status)
            assert zeme.startEncoder(channel) == 0
            received = 0
            for pts, picture in enumerate(pictures):
                while (status := zeme.sendFrameToEncoder(channel, frame(picture, pts), None, 20)) == TIMEOUT:
                    received += take(channel, 0)[0]
                assert status == 0
            assert zeme.sendFrameToEncoder(channel, zeme.frame(), None, FOREVER) == 0
            count, status = take(channel, FOREVER)
            assert status == WARN_EOS and received + count == len(pictures)
        assert zeme.stopEncoder(channel) == 0
        assert zeme.destroyEncoderChannel(channel) == 0

    return round_


GROUPS = {"memory": memory_group, "preprocess": preprocess_group, "compute": compute_group,
          "decoder": decoder_group, "encoder": encoder_group}


def main(group, rounds):
    assert zeml.init() == 0
    assert zecm.initialize(None) == 0 and zecm.setDevice(0) == 0
    assert zeme.systemInitialize() == 0
    with tempfile.TemporaryDirectory() as folder:
        round_ = GROUPS[group](pathlib.Path(folder))
        before = state()
        warm_up = max(1, rounds // 10)
        for index in range(rounds):
            if index == warm_up:
                warm = state()
            round_(index)
        end = state()
    print(json.dumps({"rounds": rounds, "sanitized": SANITIZED, "before": before, "warm": warm, "end": end}))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
