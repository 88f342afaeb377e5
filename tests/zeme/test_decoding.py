"""Decoding from Python end to end: H264Reader into a decoder channel, pictures out bit-exact with
the ffmpeg tool's decode, device pictures through zecm.memcpy, transfers, JPEG pictures made by
Pillow (baseline, progressive, with an EXIF thumbnail), and several channels from Python threads."""
import io
import struct
import subprocess
import threading

import numpy as np
import pytest
from PIL import Image

from sim import capsule

FOREVER = 0xFFFFFFFF
BITSTREAM, UNKNOWN_BUFFER = 402005, 402010
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
