"""Decoding from Python end to end: H264Reader into a decoder channel, pictures out bit-exact with
the ffmpeg tool's decode, device pictures through zecm.memcpy, transfers, JPEG pictures made by
Pillow (baseline, progressive, with an EXIF thumbnail; CMYK, YCCK and RGB ones refused), several
channels from Python threads, and reordered streams (H.264 leading B-pictures without reorder
information, HEVC leading pictures) whose pictures all come out."""
import io
import os
import struct
import subprocess
import threading

import numpy as np
import pytest
from PIL import Image

from sim import capsule

FOREVER = 0xFFFFFFFF
BITSTREAM, UNSUPPORTED, UNKNOWN_BUFFER = 402005, 402006, 402010
WIDTH, HEIGHT = 352, 290  # coded as 352 x 304: the decoder crops


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """An H.264 stream with B-frames and the ffmpeg tool's decode of it, one NV12 picture a row."""
    folder = tmp_path_factory.mktemp("clip")
    stream, raw = folder / "clip.h264", folder / "clip.yuv"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    f"testsrc=size={WIDTH}x{HEIGHT}:rate=25", "-frames:v", "16", "-c:v", "libx264", "-bf", "2",
                    "-pix_fmt", "yuv420p", "-f", "h264", str(stream)], check=True)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(stream), "-f", "rawvideo",
                    "-pix_fmt", "nv12", str(raw)], check=True)
    pictures = np.fromfile(raw, np.uint8).reshape(-1, HEIGHT * 3 // 2, WIDTH)
    return stream, pictures


@pytest.fixture
def media(card, zeme):
    """The media system initialised (on an initialised common runtime with device 0 selected)."""
    zeme.systemUninitialize()
    assert zeme.systemInitialize() == 0
    yield zeme
    zeme.systemUninitialize()


def open_channel(zeme, channel, codec="ZEME_CODEC_DEC_H264", extra=0):
    params = zeme.decChannelParamters()
    params.codecType = getattr(zeme.codecType, codec)
    params.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
    params.extraBufferNumber = extra
    assert zeme.createDecoderChannel(params, channel) == 0
    assert zeme.startDecoder(channel) == 0


def options(zeme, memory, crop=1):
    record = zeme.decOutputOptions()
    record.memoryType = getattr(zeme.memoryType, memory)
    record.enableCrop = crop
    return record


def device_picture(zecm, frame):
    """The NV12 bytes of a cropped device frame, read with zecm.memcpy, as rows of its width."""
    host = zecm.mallocHost(frame.dataSize)
    assert zecm.memcpy(capsule(frame.busAddress[0]), host, frame.dataSize,
                       zecm.copyMemType.zecmCT_COPY_FROM_DEVICE) == 0
    picture = zecm.getNumpyFromHandle(host, frame.dataSize).reshape(-1, frame.stride[0])
    zecm.freeHost(host)
    return picture


def decode(zeme, channel, path, output, read):
    """Feeds the file NAL unit by NAL unit, receiving as pictures come; read(frame) of each."""
    reader, stream, pictures = zeme.H264Reader(str(path)), zeme.stream(), []
    assert reader.init() == 0

    def drain(wait):
        while True:
            frame = zeme.frame()
            status = zeme.receiveFrameFromDecoder(channel, frame, output, wait)
            if status:
                return status
            pictures.append(read(frame))
            assert zeme.decReleaseFrame(channel, frame, 0) == 0

    while reader.getStream(stream) == 1:
        assert zeme.sendStreamToDecoder(channel, stream, FOREVER) == 0
        assert drain(0) == zeme.zemeER_RSLT_WARN_MORE_DATA
    reader.release()
    end = zeme.stream()
    assert zeme.sendStreamToDecoder(channel, end, FOREVER) == 0
    assert drain(FOREVER) == zeme.zemeER_RSLT_WARN_EOS
    assert drain(0) == zeme.zemeER_RSLT_WARN_EOS
    return pictures


@pytest.mark.parametrize("memory", ["ZEME_MEM_HOST", "ZEME_MEM_DEVICE"])
def test_pictures_are_bit_exact_with_the_ffmpeg_tool(media, card, clip, memory):
    path, expected = clip
    open_channel(media, 0)

    def read(frame):
        assert (frame.width, frame.height, frame.cropInfo.width, frame.cropInfo.height) == (WIDTH, HEIGHT) * 2
        if memory == "ZEME_MEM_HOST":
            view = np.asarray(frame)  # the runtime's own memory, while the frame is held
            assert view.shape == (HEIGHT * 3 // 2, WIDTH)
            assert np.array_equal(frame.data.reshape(view.shape), view)
            return view.copy()
        assert frame.data.size == 0 and frame.busAddress[1] == frame.busAddress[0] + WIDTH * HEIGHT
        return device_picture(card, frame)

    pictures = decode(media, 0, path, options(media, memory), read)
    assert len(pictures) == len(expected)
    for ours, theirs in zip(pictures, expected):
        np.testing.assert_array_equal(ours, theirs)
    info = media.decStreamInfo()
    assert media.getStreamInfoFromDecoder(0, info) == 0
    assert (info.width, info.height, info.fps, info.pixelSize) == (WIDTH, HEIGHT, 25, WIDTH * HEIGHT * 3 // 2)


def test_transfer_gives_a_host_copy_that_releases_both(media, clip):
    path, expected = clip
    open_channel(media, 1)
    stream = media.stream()
    stream.stream = np.fromfile(path, np.uint8)
    assert media.sendStreamToDecoder(1, stream, FOREVER) == 0
    frame = media.frame()
    assert media.receiveFrameFromDecoder(1, frame, options(media, "ZEME_MEM_DEVICE", crop=0), FOREVER) == 0
    assert (frame.height, frame.cropInfo.flag, frame.cropInfo.height) == (304, 1, HEIGHT)
    assert media.transferFrameFromDecoder(1, frame, True) == 0
    assert frame.memoryType == media.memoryType.ZEME_MEM_HOST
    assert (frame.width, frame.height, frame.stride[0], frame.dataSize) == (WIDTH, HEIGHT, WIDTH,
                                                                            WIDTH * HEIGHT * 3 // 2)
    np.testing.assert_array_equal(np.asarray(frame), expected[0])
    assert frame.busAddress == [0, 0, 0]  # a host frame now; releasing it frees the device planes too
    assert media.decReleaseFrame(1, frame, 0) == 0
    assert media.decReleaseFrame(1, frame, 0) == UNKNOWN_BUFFER
    stranger = media.frame()
    stranger.pixelFormat = media.pixelFormat.ZEME_PIX_FMT_NV12
    stranger.stride = [WIDTH]
    stranger.height = HEIGHT
    stranger.data = np.zeros(WIDTH * HEIGHT * 3 // 2, np.uint8)
    assert media.decReleaseFrame(1, stranger, 0) == UNKNOWN_BUFFER
    assert media.transferFrameFromDecoder(1, stranger, False) == UNKNOWN_BUFFER


def exif_with_thumbnail():
    """An APP1 EXIF payload whose IFD1 carries a small JPEG thumbnail."""
    buffer = io.BytesIO()
    Image.new("RGB", (32, 24), (200, 10, 10)).save(buffer, "JPEG")
    thumbnail = buffer.getvalue()
    ifd0 = struct.pack("<H", 1) + struct.pack("<HHII", 0x0112, 3, 1, 1) + struct.pack("<I", 26)
    ifd1 = (struct.pack("<H", 2) + struct.pack("<HHII", 0x0201, 4, 1, 56)
            + struct.pack("<HHII", 0x0202, 4, 1, len(thumbnail)) + struct.pack("<I", 0))
    return b"Exif\x00\x00" + b"II*\x00" + struct.pack("<I", 8) + ifd0 + ifd1 + thumbnail


def pillow_picture(width, height):
    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([x * 255 // width, y * 255 // height, (x * y) % 256], -1).astype(np.uint8)
    return Image.fromarray(rgb)


@pytest.mark.parametrize("name, save, mode", [
    ("baseline", {"quality": 90}, "ZEME_JPEG_BASELINE"),
    ("progressive", {"quality": 80, "progressive": True}, "ZEME_JPEG_PROGRESSIVE"),
    ("thumbnail", {"quality": 90, "exif": exif_with_thumbnail()}, "ZEME_JPEG_BASELINE"),
])
def test_jpeg_pictures_decode_to_pillows_luma(media, tmp_path, name, save, mode):
    path = tmp_path / f"{name}.jpg"
    pillow_picture(320, 200).save(path, "JPEG", dpi=(150, 150), **save)
    info = media.decJpegInfo()
    assert media.getJpegInfo(str(path), info) == 0
    assert (info.width, info.height, info.x_density, info.y_density) == (320, 200, 150, 150)
    assert info.codingMode == getattr(media.jpegCodingMode, mode)
    assert info.outputFormat == media.pixelFormat.ZEME_PIX_FMT_YUV420P

    open_channel(media, 2, "ZEME_CODEC_DEC_JPEG")
    frame = media.frame()
    assert media.jpegSyncDecoder(2, str(path), frame, 0) == 0
    assert (frame.width, frame.height, frame.memoryType) == (320, 200, media.memoryType.ZEME_MEM_HOST)
    reference = Image.open(path)
    reference.draft("YCbCr", reference.size)  # libjpeg-turbo's planes without colour conversion
    planes = np.asarray(reference)
    picture = np.asarray(frame)
    np.testing.assert_array_equal(picture[:200], planes[:, :, 0])
    # Chroma: the ffmpeg tool's decode of the same planes (its IDCT differs by at most 1).
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "yuvj420p", "-"], check=True, capture_output=True).stdout
    u, v = np.frombuffer(raw, np.uint8)[320 * 200:].reshape(2, 100, 160)
    chroma = picture[200:].reshape(100, 160, 2).astype(int)
    assert np.abs(chroma - np.stack([u, v], -1)).max() <= 1
    assert media.decReleaseFrame(2, frame, 0) == 0


def test_bad_jpeg_files_are_statuses(media, tmp_path):
    open_channel(media, 3, "ZEME_CODEC_DEC_JPEG")
    path = tmp_path / "text.jpg"
    path.write_bytes(b"this is no picture")
    frame, info = media.frame(), media.decJpegInfo()
    assert media.jpegSyncDecoder(3, str(path), frame, 0) == BITSTREAM
    assert media.getJpegInfo(str(path), info) == BITSTREAM
    status = media.decStatus()
    assert media.getDecoderStatus(3, status) == 0
    assert (status.state, status.result) == (media.state.ZEME_ST_ERROR, BITSTREAM)


def other_colours(kind):
    """A JPEG by Pillow coded as CMYK (with a sampling), YCCK, RGB (by an Adobe header or the
    components' names), or YCbCr named by an Adobe header alone."""
    picture, buffer = pillow_picture(64, 48), io.BytesIO()
    if kind.startswith("cmyk") or kind == "ycck":
        picture.convert("CMYK").save(buffer, "JPEG", subsampling=int(kind[-1]) if kind[-1].isdigit() else 2)
        data = buffer.getvalue()
        if kind == "ycck":  # the Adobe header's transform: 2
            at = data.index(b"Adobe") + 11
            data = data[:at] + b"\x02" + data[at + 1:]
        return data
    picture.save(buffer, "JPEG", subsampling=0)
    data = buffer.getvalue()
    data = data[:2] + data[4 + int.from_bytes(data[4:6], "big"):]  # without its JFIF header
    if kind == "rgb_names":
        data = bytearray(data)
        frame, scan = data.index(b"\xff\xc0"), data.index(b"\xff\xda")
        for i, name in enumerate(b"RGB"):
            data[frame + 10 + 3 * i], data[scan + 5 + 2 * i] = name, name
        return bytes(data)
    return data[:2] + b"\xff\xee\x00\x0eAdobe\x00\x64\x00\x00\x00\x00" + bytes([kind == "ycc_adobe"]) + data[2:]


@pytest.mark.parametrize("kind", ["cmyk0", "cmyk1", "cmyk2", "ycck", "rgb_adobe", "rgb_names", "ycc_adobe"])
def test_jpegs_not_coded_as_ycbcr_are_refused_as_unsupported(media, tmp_path, kind):
    path, good = tmp_path / f"{kind}.jpg", tmp_path / "good.jpg"
    path.write_bytes(other_colours(kind))
    pillow_picture(64, 48).save(good, "JPEG")
    expected = 0 if kind == "ycc_adobe" else UNSUPPORTED
    open_channel(media, 3, "ZEME_CODEC_DEC_JPEG")
    frame, info, status = media.frame(), media.decJpegInfo(), media.decStatus()
    assert media.getJpegInfo(str(path), info) == expected
    assert media.jpegSyncDecoder(3, str(path), frame, 0) == expected
    assert media.getDecoderStatus(3, status) == 0
    assert (status.state, status.result) == (media.state.ZEME_ST_RUNNING, 0)  # nothing was decoded: as it was
    if expected == 0:
        assert media.decReleaseFrame(3, frame, 0) == 0
    assert media.jpegSyncDecoder(3, str(good), frame, 0) == 0
    assert media.decReleaseFrame(3, frame, 0) == 0


def test_channels_decode_from_python_threads(media, card, clip):
    path, expected = clip
    results = {}

    def work(channel, memory):
        read = (lambda f: np.asarray(f).copy()) if memory == "ZEME_MEM_HOST" else (lambda f: device_picture(card, f))
        results[channel] = decode(media, channel, path, options(media, memory), read)

    for channel in range(4):
        open_channel(media, channel, extra=channel)
    threads = [threading.Thread(target=work, args=(channel, "ZEME_MEM_HOST" if channel % 2 else "ZEME_MEM_DEVICE"))
               for channel in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(results) == [0, 1, 2, 3]
    for pictures in results.values():
        assert len(pictures) == len(expected)
        assert all(np.array_equal(ours, theirs) for ours, theirs in zip(pictures, expected))
    assert media.getDecoderAvailableChannels() == 28


def test_views_of_pictures_outlive_the_release_and_the_system(media, clip):
    path, pictures = clip
    open_channel(media, 0)
    views = []

    def keep(frame):
        views.append(memoryview(frame))  # the runtime's own memory, not kept alive by the view
        return np.asarray(views[-1]).copy()

    decoded = decode(media, 0, path, options(media, "ZEME_MEM_HOST"), keep)
    np.testing.assert_array_equal(decoded[0], pictures[0])
    assert all(np.asarray(view).shape == (HEIGHT * 3 // 2, WIDTH) for view in views)  # stale, still readable
    assert media.systemUninitialize() == 0
    assert not any(np.asarray(view).any() for view in views)  # the pages went back: zeros, no fault


def test_records_the_runtime_fills_in_place_may_be_none(media, clip, tmp_path):
    path, pictures = clip
    jpeg = tmp_path / "picture.jpg"
    Image.new("RGB", (32, 32), (200, 10, 10)).save(jpeg)
    statuses = [media.createDecoderChannel(None, 1), media.getDecoderStatus(1, None),
                media.getStreamInfoFromDecoder(1, None), media.getJpegInfo(str(jpeg), None),
                media.getVideoInfo(media.stream(), media.codecType.ZEME_CODEC_DEC_H264, None)]
    assert all(status > media.zemeER_RSLT_ERR_START for status in statuses)
    open_channel(media, 0)
    [picture] = decode(media, 0, path, None, lambda frame: (frame.memoryType, len(frame.data)))[:1]
    assert picture == (media.memoryType.ZEME_MEM_DEVICE, 0)  # no options: device pictures


def nal(bits, header):
    """A NAL unit of the RBSP `bits` (a string of 0s and 1s): trailing bits, emulation prevention."""
    bits += "1" + "0" * (-(len(bits) + 1) % 8)
    out, zeros = bytearray(b"\0\0\0\1" + bytes([header])), 0
    for byte in int(bits, 2).to_bytes(len(bits) // 8, "big"):
        if zeros >= 2 and byte <= 3:
            out.append(3)
            zeros = 0
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(out)


def leading_b_pictures(path):
    """A 64 x 48 H.264 stream (Main, level 3, CAVLC) whose SPS has no VUI: two IDR pictures of
    PCM macroblocks, then seven non-reference B-pictures displayed before the second IDR
    (POC -14 to -2): their first macroblock row skipped (predicted from it), the rest PCM."""
    u = lambda n, v: format(v, f"0{n}b")  # noqa: E731
    ue = lambda v: u(2 * (v + 1).bit_length() - 1, v + 1)  # noqa: E731
    rows, columns, rng = 3, 4, np.random.default_rng(7)

    def pcm(bits):  # a macroblock's samples, from the next byte on
        return bits + "0" * (-len(bits) % 8) + "".join(f"{b:08b}" for b in rng.integers(16, 236, 384).tolist())

    sps = u(8, 77) + u(16, 30) + ue(0) + ue(0) + ue(0) + ue(2) + ue(1) + "0" + ue(columns - 1) + ue(rows - 1) + "1100"
    pps = ue(0) + ue(0) + "00" + ue(0) + ue(0) + ue(0) + "000" + "111" + "100"
    out = nal(sps, 0x67) + nal(pps, 0x68)
    for idr in range(2):
        bits = ue(0) + ue(7) + ue(0) + u(4, 0) + ue(idr) + u(6, 0) + "00" + "1" + ue(1)
        for _ in range(rows * columns):
            bits = pcm(bits + ue(25))
        out += nal(bits, 0x65)
    for k in range(7):
        bits = ue(0) + ue(6) + ue(0) + u(4, 1) + u(6, 64 - 14 + 2 * k) + "1000" + "1" + ue(1) + ue(columns)
        for mb in range(columns, rows * columns):
            bits = pcm(bits + (ue(0) if mb > columns else "") + ue(48))  # I_PCM in a B slice
        out += nal(bits, 0x01)
    path.write_bytes(out)


def encode(path, size, frames, codec, params):
    """A stream of the ffmpeg tool's test pattern by libx264 ("h264") or libx265 ("hevc")."""
    x = "x264" if codec == "h264" else "x265"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", f"testsrc=size={size}:rate=25",
                    "-frames:v", str(frames), "-pix_fmt", "yuv420p", "-c:v", f"lib{x}", f"-{x}-params", params,
                    "-f", codec, str(path)], check=True)


@pytest.mark.parametrize("name, count", [("h264_leading_b", 9), ("hevc_radl", 24)])
def test_every_picture_of_a_reordered_stream_comes_out(media, tmp_path, name, count):
    """H.264 without reorder information in its SPS, HEVC with leading (RADL) pictures: all
    pictures, bit-exact with the ffmpeg tool's decode, in its order."""
    path, raw = tmp_path / name, tmp_path / f"{name}.yuv"
    if name == "h264_leading_b":
        leading_b_pictures(path)
    else:
        encode(path, "352x288", count, "hevc", "log-level=error:keyint=8:min-keyint=8:scenecut=0:bframes=3:radl=2")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "nv12",
                    str(raw)], check=True)
    open_channel(media, 4, "ZEME_CODEC_DEC_HEVC" if name.startswith("hevc") else "ZEME_CODEC_DEC_H264")
    pictures = decode(media, 4, path, options(media, "ZEME_MEM_HOST"), lambda frame: np.asarray(frame).copy())
    expected = np.fromfile(raw, np.uint8).reshape(count, *pictures[0].shape)
    assert len(pictures) == count
    for ours, theirs in zip(pictures, expected):
        np.testing.assert_array_equal(ours, theirs)
    status = media.decStatus()
    assert media.getDecoderStatus(4, status) == 0
    assert (status.state, status.result, status.droppedFrames) == (media.state.ZEME_ST_RUNNING, 0, 0)


def test_streams_giving_their_reorder_depth_keep_it(media, tmp_path):
    """x264's SPS gives a reorder depth of 2: after K access units reached libavcodec, K - 2
    pictures are out, less one for each of its frame threads but the first."""
    path = tmp_path / "vui.h264"
    encode(path, "160x120", 24, "h264", "bframes=3:b-pyramid=normal:aud=1")
    units = [b"\0\0\0\1\x09" + unit for unit in path.read_bytes().split(b"\0\0\0\1\x09")[1:]]
    open_channel(media, 5)
    threads, taken = min(os.cpu_count(), 8), 12
    for unit in units[:taken + 1]:  # the parser hands on an access unit once the next begins
        stream = media.stream()
        stream.stream = np.frombuffer(unit, np.uint8)
        assert media.sendStreamToDecoder(5, stream, FOREVER) == 0
    host = options(media, "ZEME_MEM_HOST")
    for _ in range(taken - 2 - (threads - 1)):
        frame = media.frame()
        assert media.receiveFrameFromDecoder(5, frame, host, 20000) == 0
        assert media.decReleaseFrame(5, frame, 0) == 0
    assert media.receiveFrameFromDecoder(5, media.frame(), host, 200) == media.zemeER_RSLT_WARN_MORE_DATA
