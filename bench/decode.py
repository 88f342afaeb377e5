"""Decoding through the media bindings beside the usual host tools: a 1080p H.264 stream to host
NV12 pictures against the ffmpeg tool decoding the same file to raw NV12 with the same thread
count; the same pictures in an MP4 file, demuxed and decoded by the halvora package, against the
tool decoding that MP4; and a 12-megapixel JPEG through jpegSyncDecoder against cv2.imdecode of
the same file."""
import os
import subprocess
import tempfile
import time

import cv2
import numpy as np
from PIL import Image

from common import ROOT, report

from _halvora_pybind11 import zecm, zeme

FRAMES = 240
FOREVER = 0xFFFFFFFF
# The card's decoders use one libavcodec thread per core (at most 8): the tool gets as many.
THREADS = max(1, min(os.cpu_count() or 1, 8))


def best(function, repeat):
    """Best wall time of `repeat` calls of `function`, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def open_channel(channel, codec):
    params = zeme.decChannelParamters()
    params.codecType = codec
    params.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
    assert zeme.createDecoderChannel(params, channel) == 0
    assert zeme.startDecoder(channel) == 0


def decode_h264(path, output):
    """Feeds the file NAL unit by NAL unit, taking every picture as it comes; returns the count."""
    open_channel(0, zeme.codecType.ZEME_CODEC_DEC_H264)
    reader, stream, count = zeme.H264Reader(str(path)), zeme.stream(), 0
    assert reader.init() == 0

    def drain(wait):
        nonlocal count
        while True:
            frame = zeme.frame()
            if zeme.receiveFrameFromDecoder(0, frame, output, wait):
                return
            count += 1
            zeme.decReleaseFrame(0, frame, 0)

    while reader.getStream(stream) == 1:
        zeme.sendStreamToDecoder(0, stream, FOREVER)
        drain(0)
    reader.release()
    zeme.sendStreamToDecoder(0, zeme.stream(), FOREVER)
    drain(FOREVER)
    zeme.destroyDecoderChannel(0)
    return count


def video(folder):
    path = os.path.join(folder, "bench.h264")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1920x1080:rate=30", "-frames:v", str(FRAMES), "-c:v", "libx264",
                    "-preset", "veryfast", "-pix_fmt", "yuv420p", "-f", "h264", path], check=True)
    output = zeme.decOutputOptions()
    output.memoryType = zeme.memoryType.ZEME_MEM_HOST
    output.enableCrop = 1
    assert decode_h264(path, output) == FRAMES
    ours = best(lambda: decode_h264(path, output), 3)
    tool = ["ffmpeg", "-nostdin", "-loglevel", "error", "-threads", str(THREADS), "-i", path,
            "-f", "rawvideo", "-pix_fmt", "nv12", "-y", "/dev/null"]
    baseline = best(lambda: subprocess.run(tool, check=True), 3)
    report(f"H.264 1080p x {FRAMES} to host NV12, {THREADS} threads (ffmpeg tool to rawvideo)",
           ours / FRAMES, baseline / FRAMES, unit="ms/frame", scale=1e3)
    container(folder, path)


def container(folder, stream):
    """The same pictures in MP4: the package's Decoder demuxes (libavformat) and decodes on the
    card into host NV12, each picture read as an array; the tool decodes the MP4 to rawvideo."""
    import sys
    sys.path.insert(0, str(ROOT / "python"))
    import halvora
    path = os.path.join(folder, "bench.mp4")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", stream, "-c", "copy", path], check=True)

    def ours():
        with halvora.Decoder(memory="host") as decoder:
            return sum(1 for frame in decoder.frames(path) if frame.nv12() is not None)

    frames = ours()  # as many as the tool shows (the MP4's edit list hides the raw stream's first two)
    tool = ["ffmpeg", "-nostdin", "-loglevel", "error", "-threads", str(THREADS), "-i", path,
            "-f", "rawvideo", "-pix_fmt", "nv12", "-y", "/dev/null"]
    report(f"MP4 (H.264 1080p x {frames}) demuxed and decoded to host NV12 arrays (ffmpeg tool to rawvideo)",
           best(ours, 3) / frames, best(lambda: subprocess.run(tool, check=True), 3) / frames,
           unit="ms/frame", scale=1e3)


def jpeg(folder):
    path = os.path.join(folder, "bench.jpg")
    rng = np.random.default_rng(3)
    small = rng.integers(0, 256, (300, 400, 3), dtype=np.uint8)
    picture = cv2.GaussianBlur(cv2.resize(small, (4000, 3000), interpolation=cv2.INTER_CUBIC), (0, 0), 2)
    Image.fromarray(picture).save(path, quality=90)
    data = np.fromfile(path, np.uint8)
    open_channel(1, zeme.codecType.ZEME_CODEC_DEC_JPEG)

    def ours():
        frame = zeme.frame()
        assert zeme.jpegSyncDecoder(1, path, frame, FOREVER) == 0
        zeme.decReleaseFrame(1, frame, 0)

    ours()
    report("JPEG 4000x3000 4:2:0 to host NV12 (cv2.imdecode to BGR)", best(ours, 5),
           best(lambda: cv2.imdecode(data, cv2.IMREAD_COLOR), 5), unit="ms", scale=1e3)
    zeme.destroyDecoderChannel(1)


def main():
    zecm.initialize()
    zecm.setDevice(0)
    zeme.systemInitialize()
    with tempfile.TemporaryDirectory() as folder:
        video(folder)
        jpeg(folder)
    zeme.systemUninitialize()
    zecm.uninitialize()


if __name__ == "__main__":
    main()
