"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Run once (the seeds are kept in the repository); inputs that fuzzing found are
added beside them by hand, named after what they show. Needs Pillow, the onnx
package and the ffmpeg tool (scripts/install-deps installs them).
"""
import io
import json
import os
import pathlib
import struct
import subprocess
import sys
import tempfile

from PIL import Image

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "zecl"))


def put(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data.encode() if isinstance(data, str) else data)


def picture(width, height):
    image = Image.new("RGB", (width, height))
    image.putdata([((x * 7) % 256, (y * 5) % 256, ((x + y) * 3) % 256) for y in range(height) for x in range(width)])
    return image


def jpeg(width, height, **options):
    out = io.BytesIO()
    image = picture(width, height)
    if options.pop("gray", False):
        image = image.convert("L")
    image.save(out, "JPEG", quality=options.pop("quality", 30), **options)
    return out.getvalue()


def ffmpeg(codec, frames, size="128x128"):
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "stream")
        params = {"libx264": ["-x264-params", "aud=1:bframes=1", "-f", "h264"],
                  "libx265": ["-x265-params", "log-level=error:aud=1:bframes=1", "-f", "hevc"]}[codec]
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        f"testsrc=size={size}:rate=25", "-frames:v", str(frames), "-c:v", codec, "-crf", "40",
                        "-pix_fmt", "yuv420p", *params, path], check=True)
        return pathlib.Path(path).read_bytes()


def jpeg_seeds():
    small = jpeg(16, 16)
    put("jpeg_file", "baseline.jpg", small)
    put("jpeg_file", "progressive.jpg", jpeg(16, 16, progressive=True))
    put("jpeg_file", "trailing.jpg", small + b"\xff\xd9tail")
    put("jpeg_file", "exif.jpg", jpeg(16, 16, exif=b"Exif\x00\x00II*\x00\x08\x00\x00\x00\x00\x00"))
    # A JFXX thumbnail (APP0 "JFXX\0" coded as JPEG) whose end-of-image comes first.
    thumbnail = b"\xff\xe0" + struct.pack(">H", 2 + 6 + len(small)) + b"JFXX\x00\x10" + small
    put("jpeg_file", "thumbnail.jpg", small[:2] + thumbnail + small[2:])
    put("jpeg_file", "truncated.jpg", small[: len(small) // 2])
    for name, data in [("420.jpg", jpeg(128, 128)), ("422.jpg", jpeg(130, 128, subsampling=1)),
                       ("444.jpg", jpeg(128, 129, subsampling=0)), ("gray.jpg", jpeg(131, 128, gray=True)),
                       ("progressive.jpg", jpeg(128, 128, progressive=True))]:
        for channel in range(3):
            if channel == 0 or name == "420.jpg":
                put("jpeg_decoder", f"{channel}-{name}", bytes([channel]) + data)


def video_seeds():
    h264, hevc = ffmpeg("libx264", 3), ffmpeg("libx265", 2)
    put("h264_file", "three.264", h264)
    put("h264_file", "zeros.264", b"\x00\x00\x00\x00\x00\x01\x09\x10\x00\x00\x01\x67\x00\x00\x00\x00\x00\x01\x68")
    put("h264_file", "none.264", b"\x01\x02\x00\x00\x02\x00\x01")
    # The decoders' first byte: bit 0 device memory, bit 1 crop, bits 2-3 format
    # (NV12, NV21, YUV420P), bit 4 a transfer to the host; the second: pieces of 16 x n
    # bytes (0: all at once).
    for name, flags, piece in [("host-whole", 0x00, 0), ("device-crop-nv21", 0x07, 4),
                               ("device-transfer-yuv420p", 0x19, 0), ("host-bytes", 0x0a, 1)]:
        put("h264_decoder", name + ".264", bytes([flags, piece]) + h264)
    for name, flags, piece in [("host-whole", 0x00, 0), ("device-transfer-nv21", 0x15, 8)]:
        put("hevc_decoder", name + ".265", bytes([flags, piece]) + hevc)


def stream_seeds():
    # flags (bit 0 the record holds the encoder's address, bit 1 HEVC, bit 2 send to a
    # decoder rather than getVideoInfo, bits 3-4 the bus address: 0, in a device block,
    # as given), the array's length when bit 0 is set, a device offset, a bus address;
    # then the array's bytes.
    h264, hevc = ffmpeg("libx264", 1, "64x64"), ffmpeg("libx265", 1, "64x64")

    def record(flags, payload=b"", count=None, offset=0, bus=0):
        head = bytes([flags]) + (struct.pack("<H", count) if count is not None else b"")
        return head + struct.pack("<HQ", offset, bus) + payload
    put("stream_copy", "info-h264", record(0x00, h264))
    put("stream_copy", "info-hevc", record(0x02, hevc))
    put("stream_copy", "send-h264", record(0x04, h264))
    put("stream_copy", "send-device-bus", record(0x0c, offset=64))
    put("stream_copy", "send-given-bus", record(0x14, h264[:40], bus=0x1000))
    put("stream_copy", "filled-short", record(0x01, count=16))
    put("stream_copy", "filled-long", record(0x05, count=4096))


def frame_seeds():
    # video, format, memory, stride count, 3 strides, width, height, dataSize, bytes,
    # crop (flag, x, y, w, h), 3 device offsets, pts; then the bytes' pattern.
    def frame(video, fmt, memory, count, strides, width, height, size, available, crop=None, offsets=(0, 0, 0)):
        head = struct.pack("<BBBB3HHHHH", video, fmt, memory, count, *strides, width, height, size, available)
        head += bytes([1, *crop]) if crop else b"\x00"
        return head + struct.pack("<3H", *offsets) + b"\x05pattern"
    nv12, nv21, yuv = 0, 1, 2
    host, device, flush = 0, 1, 2
    put("frame_copy", "nv12-host", frame(0, nv12, host, 1, (64, 0, 0), 64, 48, 4608, 4608))
    put("frame_copy", "nv21-host-padded", frame(0, nv21, host, 2, (80, 72, 0), 64, 48, 6000, 6000))
    put("frame_copy", "yuv420p-host", frame(0, yuv, host, 3, (64, 32, 32), 64, 48, 4608, 4608))
    put("frame_copy", "yuv420p-crop", frame(0, yuv, host, 2, (64, 32, 0), 64, 48, 4608, 4608, crop=(8, 4, 32, 32)))
    put("frame_copy", "nv12-device", frame(0, nv12, device, 1, (64, 0, 0), 64, 48, 4608, 4608,
                                           offsets=(0, 3072, 0)))
    put("frame_copy", "flush", frame(0, nv12, flush, 0, (0, 0, 0), 0, 0, 0, 0))
    put("frame_copy", "video-nv12-host", frame(1, nv12, host, 1, (64, 0, 0), 64, 64, 6144, 6144))
    put("frame_copy", "video-yuv420p-device", frame(1, yuv, device, 2, (64, 32, 0), 64, 64, 6144, 6144,
                                                    offsets=(0, 4096, 5120)))
    # Bit 1 of the first byte: the planes of a 64x64 NV12 picture the JPEG decoder handed out.
    put("frame_copy", "decoded-nv12", frame(2, nv12, host, 3, (64, 64, 0), 64, 64, 6144, 0))
    put("frame_copy", "decoded-video-crop", frame(3, nv12, host, 1, (64, 0, 0), 64, 64, 6144, 0, crop=(0, 0, 32, 32)))
    put("frame_copy", "regress-decoded-long-strides", frame(2, nv12, host, 1, (4096, 0, 0), 510, 510, 6144, 0))


def model_seeds():
    from models import AddMul, ConvRelu, Scale
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        for name, model in [("conv-relu.onnx", ConvRelu(folder / "a", channels=1, filters=2, size=4)),
                            ("add-mul.onnx", AddMul(folder / "b")), ("scale-dynamic.onnx", Scale(folder / "c")),
                            ("scale-batch.onnx", Scale(folder / "d", dims=("N", 2, 3, 3)))]:
            put("onnx_model", name, pathlib.Path(model.path).read_bytes())


def text_seeds():
    put("inventory", "default.json", '{"cards": [{}]}')
    put("inventory", "two-cards.json", json.dumps({"cards": [
        {"id": 3, "dies": [{}, {"codec": False, "memory": 1 << 30}]},
        {"id": 8, "uuid": "12345678-9abc-4def-8123-456789abcdef", "busId": "0001:a0:1f.7", "type": "lab card",
         "dies": 1}]}))
    put("inventory", "no-ai.json", '{"cards": [{"dies": [{"ai": false}, null]}, {"dies": 0, "busId": "1:2:3.4"}]}')
    put("inventory", "refused.json", '{"cards": [{"id": 1}, {"id": 1}]}')
    put("cm_options", "empty", "")
    put("cm_options", "object", "{}")
    put("cm_options", "log-dir.json", '{"logDir": "zesim-fuzz-log", "other": [1, 2.5, null, true]}')
    put("cm_options", "not-object.json", '["logDir"]')


if __name__ == "__main__":
    jpeg_seeds()
    video_seeds()
    stream_seeds()
    frame_seeds()
    model_seeds()
    text_seeds()
