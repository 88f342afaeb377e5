"""Encoding through the media bindings beside the ffmpeg tool: 1080p NV12 pictures of the tool's test
pattern into H.264 with the card's default quality mode (GOLD: libx264's medium preset, tune PSNR),
against the tool encoding the same raw pictures with libx264 at the same preset, tune and thread count
(libx264's own choice)."""
import os
import subprocess
import tempfile
import time

import numpy as np

from common import report

from _halvora_pybind11 import zecm, zeme

WIDTH, HEIGHT, FRAMES = 1920, 1080, 48
FOREVER, TIMEOUT = 0xFFFFFFFF, 402008


def best(function, repeat):
    """Best wall time of `repeat` calls of `function`, in seconds, and its last result."""
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def frames(raw):
    pictures = np.fromfile(raw, np.uint8).reshape(FRAMES, HEIGHT * 3 // 2, WIDTH)
    records = []
    for i, picture in enumerate(pictures):
        frame = zeme.frame()
        frame.pixelFormat, frame.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
        frame.width, frame.height, frame.stride = WIDTH, HEIGHT, [WIDTH]
        frame.data, frame.dataSize, frame.pts = picture.reshape(-1), picture.size, i
        records.append(frame)
    return records


def encode(records):
    """Creates a channel with only the size and frame rate set, encodes every picture; the bytes out."""
    params = zeme.encChannelParamters()
    params.codecType = zeme.codecType.ZEME_CODEC_ENC_H264
    params.videoConfig.width, params.videoConfig.height = WIDTH, HEIGHT
    params.videoConfig.frameRate.numerator, params.videoConfig.frameRate.denominator = 25, 1
    assert zeme.createEncoderChannel(params, 0) == 0
    assert zeme.startEncoder(0) == 0
    size = 0

    def drain(wait):
        nonlocal size
        while True:
            stream = zeme.stream()
            status = zeme.receiveStreamFromEncoder(0, stream, wait)
            if status:
                return status
            size += stream.stream.size
            zeme.encReleaseStream(0, stream, 0)

    for frame in records:
        while zeme.sendFrameToEncoder(0, frame, None, 10) == TIMEOUT:
            drain(0)
        drain(0)
    zeme.sendFrameToEncoder(0, zeme.frame(), None, FOREVER)
    drain(FOREVER)
    zeme.destroyEncoderChannel(0)
    return size


def main():
    zecm.initialize()
    zecm.setDevice(0)
    zeme.systemInitialize()
    with tempfile.TemporaryDirectory() as folder:
        raw = os.path.join(folder, "pictures.nv12")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                        f"testsrc=size={WIDTH}x{HEIGHT}:rate=25", "-frames:v", str(FRAMES), "-pix_fmt", "nv12",
                        "-f", "rawvideo", raw], check=True)
        records = frames(raw)
        ours, size = best(lambda: encode(records), 2)
        out = os.path.join(folder, "tool.h264")
        tool = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "nv12",
                "-s", f"{WIDTH}x{HEIGHT}", "-r", "25", "-i", raw, "-c:v", "libx264", "-preset", "medium",
                "-tune", "psnr", "-threads", "0", "-f", "h264", out]
        baseline, _ = best(lambda: subprocess.run(tool, check=True), 2)
        print(f"stream bytes: ours {size}, tool {os.path.getsize(out)}")
    report(f"H.264 1080p x {FRAMES} from host NV12, GOLD quality (ffmpeg tool, libx264 medium)",
           ours / FRAMES, baseline / FRAMES, unit="ms/frame", scale=1e3)
    zeme.systemUninitialize()
    zecm.uninitialize()


if __name__ == "__main__":
    main()
