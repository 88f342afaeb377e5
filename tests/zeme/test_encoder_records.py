"""The encoder's records and the checks its bindings make before the runtime is called."""
import pytest

DOCS = {
    "createEncoderChannel": ("(arg0: _halvora_pybind11.zeme.encChannelParamters, arg1: int) -> int",
                             "Create an decoder channel."),
    "sendFrameToEncoder": ("(arg0: int, arg1: _halvora_pybind11.zeme.frame, "
                           "arg2: _halvora_pybind11.zeme.encExtendedParams, arg3: int) -> int",
                           "Send a frame to Encoder to encode."),
    "jpegSyncEncoder": ("(arg0: int, arg1: _halvora_pybind11.zeme.frame, arg2: _halvora_pybind11.zeme.stream, "
                        "arg3: _halvora_pybind11.zeme.encExtendedParams, arg4: int) -> int", "Jpeg Encode Sync api."),
    "encReleaseStream": ("(arg0: int, arg1: _halvora_pybind11.zeme.stream, arg2: int) -> int",
                         "Release the zeme stream whose content filled by zemeReceiveStreamFromEncoder."),
    "getEncoderAvailableChannels": ("() -> int", "Get the Encoder available channels."),
}

VIDEO_CONFIGURATION = """profile level width height frameRate bitDepthLuma bitDepthChroma gopSize gdrDuration
lookaheadDepth qualityMode tune keyInt crf cqp llRc bitRate initQp vbvBufSize vbvMaxRate intraQpDelta qpMinI qpMaxI
qpMinPB qpMaxPB vbr aqStrength enableROI P2B bBPyramid maxFrameSizeMultiple""".split()


@pytest.mark.parametrize("name, signature, doc", [(n, *v) for n, v in DOCS.items()])
def test_docstrings(zeme, name, signature, doc):
    assert getattr(zeme, name).__doc__ == f"{name}{signature}\n\n{doc}\n"


def test_enumerations_and_attributes(zeme):
    assert [m.value for m in zeme.encQualityMode.__members__.values()] == [0, 1, 2, 3]
    assert (zeme.encSEINalType.ZEME_ENC_SEI_PREFIX, zeme.encSEINalType.ZEME_ENC_SEI_SUFFIX) == (39, 40)
    assert (zeme.ZEME_ENC_DEFAULT_PAR, zeme.ZEME_ENC_MAX_ROI_NUM, zeme.ZEME_ENC_MAX_OUTBUF_NUM) == (2**32 - 1, 8, 32)


def test_video_configuration_properties_in_order(zeme):
    config = zeme.encVideoConfiguration()
    names = [name for name in vars(zeme.encVideoConfiguration) if not name.startswith("_")]
    assert names == VIDEO_CONFIGURATION
    assert config.crf == 0 and config.profile == zeme.videoProfile.ZEME_VIDEO_PRFL_HEVC_MAIN
    config.crf = -1
    config.aqStrength = 0.5
    config.frameRate.numerator = 30  # a view of the member
    assert (config.crf, config.aqStrength, config.frameRate.numerator) == (-1, 0.5, 30)


def test_channel_parameters_hold_views_of_their_configurations(zeme):
    params = zeme.encChannelParamters()
    assert (params.outbufNum, params.enProfiling, params.jpegConfig.userData, params.videoConfig.width) == (0, 0, "", 0)
    params.videoConfig.width = 1920
    params.jpegConfig.userData = "hello"
    params.jpegConfig.frameType = zeme.frameType.ZEME_FRM_P
    assert params.videoConfig.width == 1920 and params.jpegConfig.userData == "hello"
    assert params.jpegConfig.frameType == zeme.frameType.ZEME_FRM_P


def test_extended_parameters_are_writable(zeme):
    region = zeme.encPictureROI()
    region.area.enable, region.area.right, region.qpValue = 1, 64, -4
    region.qpType = zeme.encQPType.ZEME_ENC_QP_DELTA
    extended = zeme.encExtendedParams()
    extended.forceIDR, extended.roi = 1, [region]
    [copy] = extended.roi
    assert (copy.area.enable, copy.area.right, copy.qpValue) == (1, 64, -4)
    assert copy.qpType == zeme.encQPType.ZEME_ENC_QP_DELTA
    sei, options = zeme.encExternalSEI(), zeme.encOutputOptions()
    assert (sei.nalType.value, sei.payloadType, sei.payloadDataSize, sei.payloadData) == (0, 0, 0, None)
    assert options.reserved == 0
    with pytest.raises(AttributeError):
        sei.payloadType = 1


def test_refusals_before_the_runtime(zeme, sim):
    frame, stream = zeme.frame(), zeme.stream()
    frame.pixelFormat, frame.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_DEVICE
    frame.stride = [8]
    extended = zeme.encExtendedParams()
    extended.roi = [zeme.encPictureROI()] * 9
    with pytest.raises(ValueError):
        zeme.sendFrameToEncoder(0, frame, extended, 0)
    with pytest.raises(ValueError):
        zeme.jpegSyncEncoder(0, frame, stream, extended, 0)
    for call in (lambda: zeme.createEncoderChannel(None, 0), lambda: zeme.sendFrameToEncoder(0, None, None, 0),
                 lambda: zeme.receiveStreamFromEncoder(0, None, 0),
                 lambda: zeme.jpegSyncEncoder(0, frame, None, None, 0),
                 lambda: zeme.jpegSyncEncoder(0, None, stream, None, 0), lambda: zeme.encReleaseStream(0, None, 0)):
        with pytest.raises(TypeError):
            call()
    assert sim.lines("zeme") == []
    sim.fail("zemeGetEncoderAvailableChannels", 4294967295)
    with pytest.raises(RuntimeError, match=r"^get encoder available channels, ret: -1\.$"):
        zeme.getEncoderAvailableChannels()


def test_the_builds_reach_the_runtime_as_the_records_say(zeme, sim):
    params = zeme.encChannelParamters()
    params.codecType, params.outbufNum = zeme.codecType.ZEME_CODEC_ENC_JPEG, 3
    params.videoConfig.width = 640  # not read on the JPEG branch
    zeme.createEncoderChannel(params, 7)
    params.jpegConfig.userData, params.jpegConfig.codingWidth = "ab", 64
    zeme.createEncoderChannel(params, 7)
    params.codecType = zeme.codecType.ZEME_CODEC_ENC_HEVC
    params.videoConfig.crf, params.videoConfig.aqStrength, params.videoConfig.frameRate.numerator = -1, 0.5, 30
    zeme.createEncoderChannel(params, 7)
    jpeg_empty, jpeg_text, video = (line.split(", ", 3)[3] for line in sim.calls("zemeCreateEncoderChannel"))
    assert jpeg_empty.startswith("{0, 0, 0, 1, 0x") and jpeg_text.startswith("{64, 0, 0, 3, 0x")  # NUL counted
    assert video == ("{0, 0, 640, 0, {30, 0}, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.5, "
                     "0, 0, 0, 0}}, 7) = 402009")

    region = zeme.encPictureROI()
    region.area.enable, region.area.bottom, region.qpValue = 1, 16, -3
    extended = zeme.encExtendedParams()
    extended.forceIDR, extended.roi = 1, [region]
    end = zeme.frame()
    end.memoryType = zeme.memoryType.ZEME_MEM_FLUSH
    zeme.sendFrameToEncoder(2, end, extended, 5)
    zeme.sendFrameToEncoder(2, end, None, 5)
    empty = "{{0, 0, 0, 0, 0}, 0, 0}"
    first, second = (line.split("}, ", 2)[2] for line in sim.calls("zemeSendFrameToEncoder"))
    entries = ", ".join([empty] * 7)
    assert first == f"{{1, 0, [{{{{1, 0, 0, 16, 0}}, 0, -3}}, {entries}], 0, NULL, [0, 0, 0, 0]}}, 5) = 402009"
    assert second == "NULL, 5) = 402009"
