"""The zeme vocabulary and the frame and stream records, with their copies to the runtime."""
import numpy as np
import pytest

ORDER = """
codecType sourceMode memoryType pixelFormat state videoField frameType chromaFormat jpegCodingMode videoProfile
videoLevel zemeER_SUCCESS zemeER_RSLT_OK zemeER_RSLT_ERR_START ZEME_MAX_VIDEO_PLANE zemeER_RSLT_WARN_MORE_DATA
zemeER_RSLT_WARN_EOS stream frame cropInfo version hardwareID rational systemInitialize systemUninitialize
getVersion decodeMode decChannelParamters decStreamInfo decJpegInfo decStatus decOutputOptions decVideoInfo
jpegDecCapability videoDecCapability ZEME_DEC_MAX_PIX_FMT_NUM ZEME_DEC_MAX_CODING_MODE_NUM ZEME_DEC_JPEG_MAX_WIDTH
ZEME_DEC_JPEG_MAX_HEIGHT ZEME_DEC_JPEG_MIN_WIDTH ZEME_DEC_JPEG_MIN_HEIGHT ZEME_DEC_VIDEO_MAX_WIDTH
ZEME_DEC_VIDEO_MAX_HEIGHT ZEME_DEC_VIDEO_MIN_WIDTH ZEME_DEC_VIDEO_MIN_HEIGHT ZEME_DEC_MAX_STREAM_BUFFER_SIZE
createDecoderChannel destroyDecoderChannel startDecoder resetDecoder stopDecoder sendStreamToDecoder
receiveFrameFromDecoder jpegSyncDecoder transferFrameFromDecoder decReleaseFrame getJpegInfo getVideoInfo
getStreamInfoFromDecoder getDecoderStatus jpegDecGetCaps videoDecGetCaps getDecoderAvailableChannels H264Reader
encQualityMode encTuneType encQPType encSEINalType encExternalSEI encPictureArea encPictureROI encExtendedParams
encVideoConfiguration encJPEGConfiguration encChannelParamters encOutputOptions ZEME_ENC_MAX_STRM_BUF_NUM
ZEME_ENC_MAX_REF_FRAMES ZEME_ENC_MAX_GOP_SIZE ZEME_ENC_MAX_LTR_FRAMES ZEME_ENC_MAX_ROI_NUM ZEME_ENC_DEFAULT_PAR
ZEME_ENC_VIDEO_MAX_HEIGHT ZEME_ENC_VIDEO_MAX_WIDTH ZEME_ENC_VIDEO_MIN_HEIGHT ZEME_ENC_VIDEO_MIN_WIDTH
ZEME_ENC_JPEG_MAX_HEIGHT ZEME_ENC_JPEG_MAX_WIDTH ZEME_ENC_JPEG_MIN_HEIGHT ZEME_ENC_JPEG_MIN_WIDTH
ZEME_ENC_MAX_OUTBUF_NUM
createEncoderChannel destroyEncoderChannel startEncoder resetEncoder stopEncoder sendFrameToEncoder
receiveStreamFromEncoder jpegSyncEncoder encReleaseStream getEncoderAvailableChannels
""".split()

DOCS = {
    "getVersion": ("() -> str", "Get the ZEME API version information."),
    "createDecoderChannel": ("(arg0: _halvora_pybind11.zeme.decChannelParamters, arg1: int) -> int",
                             "Create an decoder channel."),
    "sendStreamToDecoder": ("(arg0: int, arg1: _halvora_pybind11.zeme.stream, arg2: int) -> int",
                            "Send a stream to decoder to decode."),
    "jpegSyncDecoder": ("(arg0: int, arg1: str, arg2: _halvora_pybind11.zeme.frame, arg3: int) -> int",
                        "Send Jepg stream to decoder to decode, a sync api."),
    "transferFrameFromDecoder": ("(arg0: int, arg1: _halvora_pybind11.zeme.frame, arg2: bool) -> int",
                                 "Tranfer frame data from device to host."),
    "decReleaseFrame": ("(arg0: int, arg1: _halvora_pybind11.zeme.frame, arg2: int) -> int",
                        "Release the zeme frame whose content filled by zemeReceiveFrameFromDecoder."),
    "getDecoderAvailableChannels": ("() -> int", "Get the Decoder available channels."),
}


def test_registration_order(zeme):
    assert [name for name in vars(zeme) if not name.startswith("__")] == ORDER
    assert zeme.__doc__ == "zentri media engine."
    assert (zeme.zemeER_RSLT_ERR_START, zeme.ZEME_MAX_VIDEO_PLANE, zeme.zemeER_RSLT_WARN_MORE_DATA,
            zeme.zemeER_RSLT_WARN_EOS, zeme.ZEME_DEC_JPEG_MIN_WIDTH, zeme.ZEME_DEC_MAX_STREAM_BUFFER_SIZE) == \
        (402000, 3, 401001, 401002, 128, 16777216)


@pytest.mark.parametrize("name, signature, doc", [(n, *v) for n, v in DOCS.items()])
def test_docstrings(zeme, name, signature, doc):
    assert getattr(zeme, name).__doc__ == f"{name}{signature}\n\n{doc}\n"


def test_shared_numbers_read_as_the_first_name(zeme):
    profile, level = zeme.videoProfile, zeme.videoLevel
    assert profile.ZEME_VIDEO_PRFL_AV1_MAIN == profile.ZEME_VIDEO_PRFL_HEVC_MAIN == 0
    assert profile.ZEME_VIDEO_PRFL_AV1_HIGH.name == "ZEME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE"
    assert level(30).name == "ZEME_VIDEO_LVL_HEVC_1" and level.ZEME_VIDEO_LVL_H264_6.name == "ZEME_VIDEO_LVL_HEVC_2"
    assert level.ZEME_VIDEO_LVL_H264_1_b == 99 and zeme.pixelFormat.ZEME_PIX_FMT_NONE == -1
    assert len(zeme.pixelFormat.__members__) == 25 and zeme.codecType.ZEME_CODEC_ENC_HEVC == 102


def test_small_records(zeme):
    crop, rational, version, hardware = zeme.cropInfo(), zeme.rational(), zeme.version(), zeme.hardwareID()
    crop.flag, crop.width, crop.yOffset = 1, 2**32 - 1, 7
    rational.numerator, rational.denominator = 30000, 1001
    assert (crop.flag, crop.width, crop.height, crop.xOffset, crop.yOffset) == (1, 2**32 - 1, 0, 0, 7)
    assert (rational.numerator, rational.denominator) == (30000, 1001)
    assert (version.major, version.minor, version.build, hardware.dieID, hardware.coreID) == (0, 0, 0, 0, 0)
    for record, name in ((version, "major"), (hardware, "dieID")):
        with pytest.raises(AttributeError):
            setattr(record, name, 1)
    with pytest.raises(TypeError):
        crop.width = -1


def test_a_new_frame(zeme):
    frame = zeme.frame()
    assert frame.data.dtype == np.uint8 and frame.data.shape == (0,)
    assert (frame.busAddress, frame.stride, frame.dataSize) == ([], [], 0)
    assert (frame.width, frame.height, frame.pts) == (0, 0, 0)
    assert frame.memoryType == zeme.memoryType.ZEME_MEM_DEVICE
    assert frame.pixelFormat == zeme.pixelFormat.ZEME_PIX_FMT_YUV420P
    assert frame.privateData is None
    view = memoryview(frame)
    assert (view.shape, view.strides, view.format, view.readonly) == ((0, 0), (0, 1), "B", False)
    stream = zeme.stream()
    assert stream.stream.shape == (0,) and (stream.pts, stream.inputBusAddress) == (0, 0)
    with pytest.raises(AttributeError):
        stream.inputBusAddress = 1


def test_arrays_are_kept_and_array_likes_converted(zeme):
    frame = zeme.frame()
    data = np.arange(12, dtype=np.uint8)
    frame.data = data
    assert frame.data is data and frame.data is frame.data  # the stored object itself
    frame.data = [1, 2, 300.7]
    assert frame.data.dtype == np.uint8 and frame.data.tolist() == [1, 2, 44]
    frame.data = np.arange(12, dtype=np.uint8).reshape(3, 4)[:, ::2]  # not contiguous: made contiguous
    assert frame.data.flags.c_contiguous and frame.data.tolist() == [[0, 2], [4, 6], [8, 10]]
    frame.cropInfo.width = 64  # a view of the member
    assert frame.cropInfo.width == 64
    pixel = frame.pixelFormat
    frame.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
    assert pixel == zeme.pixelFormat.ZEME_PIX_FMT_NV12


def user_frame(zeme, fmt, height, strides, size, memory="ZEME_MEM_HOST"):
    frame = zeme.frame()
    frame.pixelFormat = getattr(zeme.pixelFormat, fmt)
    frame.memoryType = getattr(zeme.memoryType, memory)
    frame.height, frame.width = height, 8
    frame.stride = strides
    frame.data = np.zeros(size, np.uint8)
    frame.dataSize = size
    return frame


@pytest.mark.parametrize("fmt, height, strides, size, message", [
    ("ZEME_PIX_FMT_RGB24", 4, [12], 48, "^Format not support!!!$"),
    ("ZEME_PIX_FMT_NV12", 4, [], 48, "stride"),
    ("ZEME_PIX_FMT_YUV420P", 4, [8], 48, "two strides"),
    ("ZEME_PIX_FMT_NV12", 4, [8, 8], 8 * 6 - 1, "fewer bytes"),
    ("ZEME_PIX_FMT_YUV420P", 1081, [8, 4], 8 * 1081 + 2 * 4 * 541 - 1, "fewer bytes"),
    ("ZEME_PIX_FMT_NV12", 4, [8, 8, 8, 8], 99, "more than 3"),
    # A chroma stride of 0 is read as the stride of the plane before.
    ("ZEME_PIX_FMT_NV12", 4, [8, 0], 8 * 6 - 1, "fewer bytes"),
    ("ZEME_PIX_FMT_NV21", 4, [8, 0, 0], 8 * 6 - 1, "fewer bytes"),
    ("ZEME_PIX_FMT_YUV420P", 4, [8, 4, 0], 8 * 4 + 2 * 4 * 2 - 1, "fewer bytes"),
])
def test_frames_the_runtime_cannot_read_are_refused(zeme, sim, fmt, height, strides, size, message):
    frame = user_frame(zeme, fmt, height, strides, size)
    with pytest.raises(TypeError, match=message):
        zeme.decReleaseFrame(0, frame, 0)
    assert sim.calls("zemeDecReleaseFrame") == []


@pytest.mark.parametrize("memory, size", [("ZEME_MEM_FLUSH", 99), ("ZEME_MEM_HOST", 0)])
def test_frames_that_end_the_input_carry_no_planes(zeme, sim, memory, size):
    frame = zeme.frame()  # YUV420P, no strides, no data
    frame.memoryType, frame.dataSize = getattr(zeme.memoryType, memory), size
    zeme.decReleaseFrame(0, frame, 0)
    assert len(sim.calls("zemeDecReleaseFrame")) == 1


def test_records_the_binding_copies_must_not_be_none(zeme, sim):
    for call in (lambda: zeme.decReleaseFrame(0, None, 0), lambda: zeme.receiveFrameFromDecoder(0, None, None, 0),
                 lambda: zeme.transferFrameFromDecoder(0, None, True), lambda: zeme.sendStreamToDecoder(0, None, 0),
                 lambda: zeme.jpegSyncDecoder(0, "x.jpg", None, 0), lambda: zeme.jpegDecGetCaps(None),
                 lambda: zeme.videoDecGetCaps(zeme.codecType.ZEME_CODEC_DEC_H264, None),
                 lambda: zeme.getVideoInfo(None, zeme.codecType.ZEME_CODEC_DEC_H264, None)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(RuntimeError, match="^$"):
        zeme.videoDecGetCaps(None, zeme.videoDecCapability())
    assert sim.lines("zeme") == []


def test_streams_are_one_dimensional(zeme, sim):
    stream = zeme.stream()
    stream.stream = np.zeros((2, 8), np.uint8)
    with pytest.raises(TypeError, match=r"^Stream number of dimensions must be one\.$"):
        zeme.sendStreamToDecoder(0, stream, 0)
    assert sim.calls("zemeSendStreamToDecoder") == []


def test_available_channels_raise_with_the_status(zeme, sim):
    sim.fail("zemeGetDecoderAvailableChannels", 7)
    with pytest.raises(RuntimeError, match=r"^get decoder avaliable channels error, ret: 7\.$"):
        zeme.getDecoderAvailableChannels()


def test_version_text(zeme, sim):
    assert zeme.getVersion() == "zeme 2.1.1 (software card)"
    sim.null("zemeGetVersion")
    assert zeme.getVersion() is None
    sim.fail("zemeGetVersion", 402001)
    with pytest.raises(RuntimeError, match=r"^get version error, ret: 402001\.$"):
        zeme.getVersion()
