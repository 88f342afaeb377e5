// Encoder channels: create from channel parameters, start, feed with frames, drain
// of encoded streams, JPEG pictures in one call, and the per-frame extended
// parameters (key frames and regions of interest).
#include <cstring>
#include <string>

#include "frames.hpp"
#include "groups.hpp"

namespace halvora::zeme {
namespace {

struct zemeEncExtendedParamsPy {
    uint32_t forceIDR = 0;
    std::vector<zemeEncPictureROI> roi;
};

struct zemeEncJPEGConfigurationPy {
    uint32_t codingWidth = 0;
    uint32_t codingHeight = 0;
    zemeFrameType frameType{};
    std::string userData;
    uint32_t losslessEn = 0;
};

struct zemeEncChannelParametersPy {
    zemeCodecType codecType{};
    uint32_t outbufNum = 0;
    uint32_t enProfiling = 0;
    zemeEncJPEGConfigurationPy jpegConfig;
    zemeEncVideoConfiguration videoConfig{};
};

// The runtime's parameters: the JPEG branch (user data counted with its NUL, in the
// record's own text) or the video configuration's 128 bytes unchanged.
zemeEncChannelParameters channelParameters(const zemeEncChannelParametersPy &record) {
    zemeEncChannelParameters params{};
    params.codecType = record.codecType;
    params.outbufNum = record.outbufNum;
    params.enProfiling = record.enProfiling;
    if (record.codecType == ZEME_CODEC_ENC_JPEG) {
        const zemeEncJPEGConfigurationPy &jpeg = record.jpegConfig;
        params.jpegConfig.codingWidth = jpeg.codingWidth;
        params.jpegConfig.codingHeight = jpeg.codingHeight;
        params.jpegConfig.frameType = jpeg.frameType;
        params.jpegConfig.userDataLength = static_cast<uint32_t>(jpeg.userData.size() + 1);
        params.jpegConfig.userData = jpeg.userData.c_str();
        params.jpegConfig.losslessEn = jpeg.losslessEn;
    } else {
        std::memcpy(&params.videoConfig, &record.videoConfig, sizeof params.videoConfig);
    }
    return params;
}

// The extended parameters for one call: null for None; at most ZEME_ENC_MAX_ROI_NUM
// regions, the members the record does not name zero.
struct Extended {
    zemeEncExtendedParams params{};
    const zemeEncExtendedParams *pointer = nullptr;

    explicit Extended(const zemeEncExtendedParamsPy *record) {
        if (!record) return;
        if (record->roi.size() > ZEME_ENC_MAX_ROI_NUM)
            throw py::value_error("encExtendedParams.roi holds more than 8 regions");
        params.forceIDR = record->forceIDR;
        std::copy(record->roi.begin(), record->roi.end(), params.roi);
        pointer = &params;
    }
};

uint32_t createChannel(const zemeEncChannelParametersPy *record, uint32_t channel) {
    zemeEncChannelParameters params = channelParameters(required(record, "encChannelParamters"));
    return zemeCreateEncoderChannel(&params, channel);
}

uint32_t sendFrame(uint32_t channel, const zemeFramePy *record, const zemeEncExtendedParamsPy *extended,
                   uint32_t wait) {
    zemeFrame frame = frameToEncoder(required(record, "frame"));
    Extended params(extended);
    py::gil_scoped_release unlocked;
    return zemeSendFrameToEncoder(channel, &frame, params.pointer, wait);
}

uint32_t receiveStream(uint32_t channel, zemeStreamPy *record, uint32_t wait) {
    zemeStreamPy &target = required(record, "stream");
    zemeStream stream{};
    uint32_t status;
    {
        py::gil_scoped_release unlocked;  // the wait must not stop the thread that would send
        status = zemeReceiveStreamFromEncoder(channel, &stream, wait);
    }
    if (status == 0) streamFromRuntime(stream, target);
    return status;
}

uint32_t jpegSyncEncode(uint32_t channel, const zemeFramePy *frameRecord, zemeStreamPy *streamRecord,
                        const zemeEncExtendedParamsPy *extended, uint32_t wait) {
    zemeFrame frame = frameToEncoder(required(frameRecord, "frame"));
    zemeStreamPy &target = required(streamRecord, "stream");
    Extended params(extended);
    zemeStream stream{};
    uint32_t status = zemeJpegSyncEncoder(channel, &frame, &stream, params.pointer, wait);
    if (status == 0) streamFromRuntime(stream, target);
    return status;
}

uint32_t releaseStream(uint32_t channel, const zemeStreamPy *record, uint32_t reserved) {
    zemeStream stream = streamToRuntime(required(record, "stream"));
    return zemeEncReleaseStream(channel, &stream, reserved);
}

void registerEnumerations(py::module_ &m) {
    bindEnum<zemeEncQualityMode>(m, "encQualityMode",
                                 {
                                     {"ZEME_GOLD_QUALITY", ZEME_GOLD_QUALITY},
                                     {"ZEME_SILVER_QUALITY", ZEME_SILVER_QUALITY},
                                     {"ZEME_SILVER2_QUALITY", ZEME_SILVER2_QUALITY},
                                     {"ZEME_BRONZE_QUALITY", ZEME_BRONZE_QUALITY},
                                 });
    bindEnum<zemeEncTuneType>(m, "encTuneType",
                              {
                                  {"ZEME_ENC_TUNE_PSNR", ZEME_ENC_TUNE_PSNR},
                                  {"ZEME_ENC_TUNE_SSIM", ZEME_ENC_TUNE_SSIM},
                                  {"ZEME_ENC_TUNE_VISUAL", ZEME_ENC_TUNE_VISUAL},
                                  {"ZEME_ENC_TUNE_SHARP_VISUAL", ZEME_ENC_TUNE_SHARP_VISUAL},
                              });
    bindEnum<zemeEncQPType>(m, "encQPType", {{"ZEME_ENC_QP", ZEME_ENC_QP}, {"ZEME_ENC_QP_DELTA", ZEME_ENC_QP_DELTA}});
    bindEnum<zemeEncSEINalType>(
        m, "encSEINalType",
        {{"ZEME_ENC_SEI_PREFIX", ZEME_ENC_SEI_PREFIX}, {"ZEME_ENC_SEI_SUFFIX", ZEME_ENC_SEI_SUFFIX}});
}

void registerVideoConfiguration(py::module_ &m) {
    using C = zemeEncVideoConfiguration;
    py::class_<C>(m, "encVideoConfiguration")
        .def(py::init<>())
        .def_readwrite("profile", &C::profile)
        .def_readwrite("level", &C::level)
        .def_readwrite("width", &C::width)
        .def_readwrite("height", &C::height)
        .def_readwrite("frameRate", &C::frameRate)
        .def_readwrite("bitDepthLuma", &C::bitDepthLuma)
        .def_readwrite("bitDepthChroma", &C::bitDepthChroma)
        .def_readwrite("gopSize", &C::gopSize)
        .def_readwrite("gdrDuration", &C::gdrDuration)
        .def_readwrite("lookaheadDepth", &C::lookaheadDepth)
        .def_readwrite("qualityMode", &C::qualityMode)
        .def_readwrite("tune", &C::tune)
        .def_readwrite("keyInt", &C::keyInt)
        .def_readwrite("crf", &C::crf)
        .def_readwrite("cqp", &C::cqp)
        .def_readwrite("llRc", &C::llRc)
        .def_readwrite("bitRate", &C::bitRate)
        .def_readwrite("initQp", &C::initQp)
        .def_readwrite("vbvBufSize", &C::vbvBufSize)
        .def_readwrite("vbvMaxRate", &C::vbvMaxRate)
        .def_readwrite("intraQpDelta", &C::intraQpDelta)
        .def_readwrite("qpMinI", &C::qpMinI)
        .def_readwrite("qpMaxI", &C::qpMaxI)
        .def_readwrite("qpMinPB", &C::qpMinPB)
        .def_readwrite("qpMaxPB", &C::qpMaxPB)
        .def_readwrite("vbr", &C::vbr)
        .def_readwrite("aqStrength", &C::aqStrength)
        .def_readwrite("enableROI", &C::enableROI)
        .def_readwrite("P2B", &C::P2B)
        .def_readwrite("bBPyramid", &C::bBPyramid)
        .def_readwrite("maxFrameSizeMultiple", &C::maxFrameSizeMultiple);
}

void registerRecords(py::module_ &m) {
    py::class_<zemeEncExternalSEI>(m, "encExternalSEI")
        .def(py::init<>())
        .def_readonly("nalType", &zemeEncExternalSEI::nalType)
        .def_readonly("payloadType", &zemeEncExternalSEI::payloadType)
        .def_readonly("payloadDataSize", &zemeEncExternalSEI::payloadDataSize)
        .def_property_readonly("payloadData", [](const zemeEncExternalSEI &sei) -> py::object {
            if (!sei.payloadData) return py::none();
            return py::int_(sei.payloadData[0]);
        });
    py::class_<zemeEncPictureArea>(m, "encPictureArea")
        .def(py::init<>())
        .def_readwrite("enable", &zemeEncPictureArea::enable)
        .def_readwrite("top", &zemeEncPictureArea::top)
        .def_readwrite("left", &zemeEncPictureArea::left)
        .def_readwrite("bottom", &zemeEncPictureArea::bottom)
        .def_readwrite("right", &zemeEncPictureArea::right);
    py::class_<zemeEncPictureROI>(m, "encPictureROI")
        .def(py::init<>())
        .def_readwrite("area", &zemeEncPictureROI::area)
        .def_readwrite("qpType", &zemeEncPictureROI::qpType)
        .def_readwrite("qpValue", &zemeEncPictureROI::qpValue);
    py::class_<zemeEncExtendedParamsPy>(m, "encExtendedParams")
        .def(py::init<>())
        .def_readwrite("forceIDR", &zemeEncExtendedParamsPy::forceIDR)
        .def_readwrite("roi", &zemeEncExtendedParamsPy::roi);
    registerVideoConfiguration(m);
    py::class_<zemeEncJPEGConfigurationPy>(m, "encJPEGConfiguration")
        .def(py::init<>())
        .def_readwrite("codingWidth", &zemeEncJPEGConfigurationPy::codingWidth)
        .def_readwrite("codingHeight", &zemeEncJPEGConfigurationPy::codingHeight)
        .def_readwrite("frameType", &zemeEncJPEGConfigurationPy::frameType)
        .def_readwrite("userData", &zemeEncJPEGConfigurationPy::userData)
        .def_readwrite("losslessEn", &zemeEncJPEGConfigurationPy::losslessEn);
    py::class_<zemeEncChannelParametersPy>(m, "encChannelParamters")
        .def(py::init<>())
        .def_readwrite("codecType", &zemeEncChannelParametersPy::codecType)
        .def_readwrite("outbufNum", &zemeEncChannelParametersPy::outbufNum)
        .def_readwrite("enProfiling", &zemeEncChannelParametersPy::enProfiling)
        .def_readwrite("jpegConfig", &zemeEncChannelParametersPy::jpegConfig)
        .def_readwrite("videoConfig", &zemeEncChannelParametersPy::videoConfig);
    py::class_<zemeEncOutputOptions>(m, "encOutputOptions")
        .def(py::init<>())
        .def_readonly("reserved", &zemeEncOutputOptions::reserved);
}

void registerAttributes(py::module_ &m) {
    m.attr("ZEME_ENC_MAX_STRM_BUF_NUM") = ZEME_ENC_MAX_STRM_BUF_NUM;
    m.attr("ZEME_ENC_MAX_REF_FRAMES") = ZEME_ENC_MAX_REF_FRAMES;
    m.attr("ZEME_ENC_MAX_GOP_SIZE") = ZEME_ENC_MAX_GOP_SIZE;
    m.attr("ZEME_ENC_MAX_LTR_FRAMES") = ZEME_ENC_MAX_LTR_FRAMES;
    m.attr("ZEME_ENC_MAX_ROI_NUM") = ZEME_ENC_MAX_ROI_NUM;
    m.attr("ZEME_ENC_DEFAULT_PAR") = ZEME_ENC_DEFAULT_PAR;
    m.attr("ZEME_ENC_VIDEO_MAX_HEIGHT") = ZEME_ENC_VIDEO_MAX_HEIGHT;
    m.attr("ZEME_ENC_VIDEO_MAX_WIDTH") = ZEME_ENC_VIDEO_MAX_WIDTH;
    m.attr("ZEME_ENC_VIDEO_MIN_HEIGHT") = ZEME_ENC_VIDEO_MIN_HEIGHT;
    m.attr("ZEME_ENC_VIDEO_MIN_WIDTH") = ZEME_ENC_VIDEO_MIN_WIDTH;
    m.attr("ZEME_ENC_JPEG_MAX_HEIGHT") = ZEME_ENC_JPEG_MAX_HEIGHT;
    m.attr("ZEME_ENC_JPEG_MAX_WIDTH") = ZEME_ENC_JPEG_MAX_WIDTH;
    m.attr("ZEME_ENC_JPEG_MIN_HEIGHT") = ZEME_ENC_JPEG_MIN_HEIGHT;
    m.attr("ZEME_ENC_JPEG_MIN_WIDTH") = ZEME_ENC_JPEG_MIN_WIDTH;
    m.attr("ZEME_ENC_MAX_OUTBUF_NUM") = ZEME_ENC_MAX_OUTBUF_NUM;
}

}  // namespace

void registerEncoders(py::module_ &m) {
    registerEnumerations(m);
    registerRecords(m);
    registerAttributes(m);
    m.def("createEncoderChannel", &createChannel, "Create an decoder channel.");
    m.def("destroyEncoderChannel", &zemeDestroyEncoderChannel, "Destroy an encoder channel.");
    m.def("startEncoder", &zemeStartEncoder, "Start the encoder.");
    m.def("resetEncoder", &zemeResetEncoder, "Restart the encoder.");
    m.def("stopEncoder", &zemeStopEncoder, "Stop the encoder.");
    m.def("sendFrameToEncoder", &sendFrame, "Send a frame to Encoder to encode.");
    m.def("receiveStreamFromEncoder", &receiveStream, "Receive a stream from Encoder.");
    m.def("jpegSyncEncoder", &jpegSyncEncode, "Jpeg Encode Sync api.");
    m.def("encReleaseStream", &releaseStream,
          "Release the zeme stream whose content filled by zemeReceiveStreamFromEncoder.");
    m.def(
        "getEncoderAvailableChannels",
        [] { return output(&zemeGetEncoderAvailableChannels, "get encoder available channels, ret: %d."); },
        "Get the Encoder available channels.");
}

}  // namespace halvora::zeme
