"""Encoding from Python end to end: NV12 pictures into H.264 and HEVC channels, the streams checked by
the ffmpeg and ffprobe tools; JPEG pictures opened by Pillow with their comment; the decoder's device
pictures sent straight into an encoder; several channels from Python threads."""
import io
import subprocess
import threading

import numpy as np
import pytest
from PIL import Image

FOREVER = 0xFFFFFFFF
TIMEOUT, UNKNOWN_BUFFER = 402008, 402010
WIDTH, HEIGHT, COUNT = 192, 128, 12


@pytest.fixture(scope="module")
def source():
    """NV12 pictures of the ffmpeg tool's test pattern, one picture a row."""
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                          f"testsrc=size={WIDTH}x{HEIGHT}:rate=25", "-frames:v", str(COUNT), "-pix_fmt", "nv12",
                          "-f", "rawvideo", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(COUNT, HEIGHT * 3 // 2, WIDTH)


@pytest.fixture
def media(card, zeme):
    zeme.systemUninitialize()
    assert zeme.systemInitialize() == 0
    yield zeme
    zeme.systemUninitialize()


def tool_decode(stream, form, width, height):
    """The ffmpeg tool's decode of a stream to NV12 pictures."""
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", form, "-i", "-", "-f", "rawvideo",
                          "-pix_fmt", "nv12", "-"], input=stream, check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, height * 3 // 2, width)


def psnr(a, b):
    error = np.mean((a.astype(float) - b.astype(float)) ** 2)
    return 99.0 if error == 0 else 10 * np.log10(255 ** 2 / error)


def open_video(zeme, channel, codec, width=WIDTH, height=HEIGHT, **config):
    params = zeme.encChannelParamters()
    params.codecType = getattr(zeme.codecType, codec)
    params.videoConfig.width, params.videoConfig.height = width, height
    params.videoConfig.frameRate.numerator, params.videoConfig.frameRate.denominator = 25, 1
    for name, value in config.items():
        setattr(params.videoConfig, name, value)
    assert zeme.createEncoderChannel(params, channel) == 0
    assert zeme.startEncoder(channel) == 0


def host_frame(zeme, picture, pts):
    frame = zeme.frame()
    frame.pixelFormat, frame.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
    frame.width, frame.height, frame.stride = picture.shape[1], picture.shape[0] * 2 // 3, [picture.shape[1]]
    frame.data = picture.reshape(-1)
    frame.dataSize, frame.pts = picture.size, pts
    return frame


def drain(zeme, channel, wait, units):
    """Takes every stream ready within `wait` into `units` (bytes, pts), releasing each; the last status."""
    while True:
        stream = zeme.stream()
        status = zeme.receiveStreamFromEncoder(channel, stream, wait)
        if status:
            return status
        units.append((stream.stream.tobytes(), stream.pts))
        assert zeme.encReleaseStream(channel, stream, 0) == 0


def encode(zeme, channel, frames):
    """Sends the frames, taking streams while the channel's input is full; then the end, and the rest."""
    units = []
    for frame in frames:
        while (status := zeme.sendFrameToEncoder(channel, frame, None, 20)) == TIMEOUT:
            drain(zeme, channel, 0, units)
        assert status == 0
        drain(zeme, channel, 0, units)
    assert zeme.sendFrameToEncoder(channel, zeme.frame(), None, FOREVER) == 0  # dataSize 0: the end
    assert drain(zeme, channel, FOREVER, units) == zeme.zemeER_RSLT_WARN_EOS
    assert drain(zeme, channel, 0, units) == zeme.zemeER_RSLT_WARN_EOS
    return units


@pytest.mark.parametrize("codec, form", [("ZEME_CODEC_ENC_H264", "h264"), ("ZEME_CODEC_ENC_HEVC", "hevc")])
def test_pictures_encode_into_a_playable_stream(media, source, codec, form):
    open_video(media, 0, codec, P2B=2, keyInt=6)
    units = encode(media, 0, [host_frame(media, picture, 1000 + i) for i, picture in enumerate(source)])
    assert len(units) == COUNT
    assert sorted(pts for _, pts in units) == [1000 + i for i in range(COUNT)]
    stream = b"".join(data for data, _ in units)
    decoded = tool_decode(stream, form, WIDTH, HEIGHT)
    assert len(decoded) == COUNT
    assert min(psnr(a, b) for a, b in zip(decoded, source)) > 38
    probed = subprocess.run(["ffprobe", "-v", "error", "-f", form, "-show_entries", "frame=key_frame,pict_type",
                             "-of", "csv=p=0", "-"], input=stream, check=True, capture_output=True).stdout.decode()
    frames = [line.split(",")[:2] for line in probed.split()]  # side data sections add a field
    assert [key for key, _ in frames[:7]] == ["1", "0", "0", "0", "0", "0", "1"]  # a key frame every 6 pictures
    assert any(kind == "B" for _, kind in frames)


def test_jpeg_pictures_open_in_pillow(media, source):
    params = media.encChannelParamters()
    params.codecType = media.codecType.ZEME_CODEC_ENC_JPEG
    params.jpegConfig.userData = "taken by the card"
    assert media.createEncoderChannel(params, 1) == 0
    assert media.startEncoder(1) == 0
    stream = media.stream()
    assert media.jpegSyncEncoder(1, host_frame(media, source[3], 7), stream, None, 0) == 0
    assert stream.pts == 7
    picture = Image.open(io.BytesIO(stream.stream.tobytes()))
    assert (picture.format, picture.size, picture.info["comment"]) == ("JPEG", (WIDTH, HEIGHT), b"taken by the card")
    picture.draft("YCbCr", picture.size)  # the coded planes, as the card wrote them
    luma = np.asarray(picture)[:, :, 0]
    assert psnr(luma, source[3][:HEIGHT]) > 38
    assert media.encReleaseStream(1, stream, 0) == 0
    assert media.encReleaseStream(1, stream, 0) == UNKNOWN_BUFFER


def test_decoded_device_pictures_go_straight_into_an_encoder(media, tmp_path):
    clip = tmp_path / "clip.h264"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc2=size=176x110:rate=25",
                    "-frames:v", "10", "-c:v", "libx264", "-pix_fmt", "yuv420p", str(clip)], check=True)
    expected = tool_decode(clip.read_bytes(), "h264", 176, 110)
    decoder = media.decChannelParamters()
    decoder.codecType, decoder.pixelFormat = media.codecType.ZEME_CODEC_DEC_H264, media.pixelFormat.ZEME_PIX_FMT_NV12
    assert media.createDecoderChannel(decoder, 0) == 0
    assert media.startDecoder(0) == 0
    stream = media.stream()
    stream.stream = np.frombuffer(clip.read_bytes(), np.uint8)
    assert media.sendStreamToDecoder(0, stream, FOREVER) == 0
    assert media.sendStreamToDecoder(0, media.stream(), FOREVER) == 0
    open_video(media, 2, "ZEME_CODEC_ENC_H264", 176, 110)
    units, frame = [], media.frame()
    while media.receiveFrameFromDecoder(0, frame, None, FOREVER) == 0:
        assert (frame.memoryType, frame.height, frame.cropInfo.height) == (media.memoryType.ZEME_MEM_DEVICE, 112, 110)
        assert media.sendFrameToEncoder(2, frame, None, FOREVER) == 0  # the picture is copied by the send
        assert media.decReleaseFrame(0, frame, 0) == 0
        drain(media, 2, 0, units)
        frame = media.frame()
    assert media.sendFrameToEncoder(2, media.frame(), None, FOREVER) == 0
    assert drain(media, 2, FOREVER, units) == media.zemeER_RSLT_WARN_EOS
    decoded = tool_decode(b"".join(data for data, _ in units), "h264", 176, 110)
    assert len(decoded) == len(expected) == 10
    assert min(psnr(a, b) for a, b in zip(decoded, expected)) > 36


def test_channels_encode_from_python_threads(media, source):
    results = {}

    def work(channel):
        frames = [host_frame(media, picture, i) for i, picture in enumerate(source)]
        results[channel] = encode(media, channel, frames)

    codecs = ["ZEME_CODEC_ENC_H264", "ZEME_CODEC_ENC_HEVC"] * 2
    for channel, codec in enumerate(codecs):
        open_video(media, channel, codec, qualityMode=media.encQualityMode.ZEME_BRONZE_QUALITY)
    assert media.getEncoderAvailableChannels() == 28
    threads = [threading.Thread(target=work, args=(channel,)) for channel in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for channel, codec in enumerate(codecs):
        decoded = tool_decode(b"".join(data for data, _ in results[channel]), "hevc" if "HEVC" in codec else "h264",
                              WIDTH, HEIGHT)
        assert len(decoded) == COUNT
        assert min(psnr(a, b) for a, b in zip(decoded, source)) > 30


@pytest.mark.parametrize("extra", [0, 1, 1 << 20])
def test_a_received_stream_is_read_within_the_bytes_the_runtime_handed_out(media, source, extra):
    # Such a record hands the runtime its own address back; an array longer than what it
    # handed out there would have it read past those bytes, so that is refused.
    open_video(media, 0, "ZEME_CODEC_ENC_H264")
    params = media.decChannelParamters()
    params.codecType, params.pixelFormat = media.codecType.ZEME_CODEC_DEC_H264, media.pixelFormat.ZEME_PIX_FMT_NV12
    assert media.createDecoderChannel(params, 1) == 0 and media.startDecoder(1) == 0
    assert media.sendFrameToEncoder(0, host_frame(media, source[0], 0), None, FOREVER) == 0
    assert media.sendFrameToEncoder(0, media.frame(), None, FOREVER) == 0
    stream = media.stream()
    assert media.receiveStreamFromEncoder(0, stream, FOREVER) == 0
    size = stream.stream.size
    stream.stream = np.zeros(size + extra, np.uint8)
    info = media.decVideoInfo()
    calls = [lambda: media.getVideoInfo(stream, media.codecType.ZEME_CODEC_DEC_H264, info),
             lambda: media.sendStreamToDecoder(1, stream, FOREVER), lambda: media.encReleaseStream(0, stream, 0)]
    if extra:
        for call in calls:
            with pytest.raises(ValueError, match="more bytes than the runtime handed out"):
                call()
        stream.stream = np.zeros(size, np.uint8)
    assert [call() for call in calls] == [0, 0, 0]
    assert (info.width, info.height) == (WIDTH, HEIGHT)  # the runtime's bytes, not the zeros


@pytest.mark.parametrize("change, refused", [
    ({}, False),
    ({"width": 32}, False),           # fewer columns of the same rows
    ({"height": 66}, True),           # two rows more than the decoder gave
    ({"stride": [80]}, True),         # longer rows: the chroma plane ends past the picture
    ({"stride": [64, 96]}, True),     # longer chroma rows
    ({"width": 4096, "height": 4096, "stride": [4096]}, True),
])
def test_decoded_host_pictures_encode_within_the_bytes_the_decoder_gave(media, tmp_path, change, refused):
    # Such a record hands the encoder the decoder's own planes, read as the record now
    # describes them: a description past the picture is refused, not read.
    path = tmp_path / "picture.jpg"
    Image.new("RGB", (64, 64), (90, 120, 200)).save(path)
    params = media.decChannelParamters()
    params.codecType, params.pixelFormat = media.codecType.ZEME_CODEC_DEC_JPEG, media.pixelFormat.ZEME_PIX_FMT_NV12
    assert media.createDecoderChannel(params, 0) == 0 and media.startDecoder(0) == 0
    encoder = media.encChannelParamters()
    encoder.codecType = media.codecType.ZEME_CODEC_ENC_JPEG
    assert media.createEncoderChannel(encoder, 0) == 0 and media.startEncoder(0) == 0
    frame = media.frame()
    assert media.jpegSyncDecoder(0, str(path), frame, FOREVER) == 0
    assert (frame.width, frame.height, frame.memoryType) == (64, 64, media.memoryType.ZEME_MEM_HOST)
    frame.cropInfo.flag = 0
    for name, value in change.items():
        setattr(frame, name, value)
    stream = media.stream()
    if refused:
        with pytest.raises(ValueError, match="past the picture the runtime handed out"):
            media.jpegSyncEncoder(0, frame, stream, None, FOREVER)
    else:
        assert media.jpegSyncEncoder(0, frame, stream, None, FOREVER) == 0
        assert Image.open(io.BytesIO(stream.stream.tobytes())).size == (frame.width, 64)
        assert media.encReleaseStream(0, stream, 0) == 0
    assert media.decReleaseFrame(0, frame, 0) == 0
