// Decoder channels: create, start, feed with bitstream, drain of frames, JPEG
// pictures in one call, stream and channel information and capabilities; and the
// H.264 elementary-stream reader that feeds them.
#include <array>

#include "frames.hpp"
#include "groups.hpp"
#include "h264_file.hpp"
#include "jpeg_file.hpp"

namespace halvora::zeme {
namespace {

// Capabilities with their fixed arrays as vectors.
struct zemeJpegDecCapabilityPy {
    uint32_t maxWidth = 0, maxHeight = 0, minWidth = 0, minHeight = 0;
    std::vector<zemeJpegCodingMode> codingMode;
    std::vector<zemePixelFormat> pixelFormats;
};

struct zemeVideoDecCapabilityPy {
    uint32_t bitDepth = 0, maxWidth = 0, maxHeight = 0;
    uint16_t minWidth = 0, minHeight = 0;
    zemeVideoProfile maxProFile{};
    zemeVideoLevel maxLevel{};
    std::vector<zemePixelFormat> pixelFormats;
};

// A JPEG file as a stream for the runtime; the status to return instead when the
// file cannot be read (the runtime is then not called).
uint32_t jpegStream(const std::string &path, JpegFile *file, zemeStream *stream) {
    switch (loadJpeg(path, file)) {
    case JpegLoad::Unopenable: return zemeER_RSLT_ERR_INVALID_PARAM;
    case JpegLoad::NoMemory: return zemeER_RSLT_ERR_NO_MEMORY;
    default: break;
    }
    *stream = zemeStream{};
    stream->data = file->bytes.get();
    stream->dataSize = file->length;
    return zemeER_SUCCESS;
}

uint32_t sendStream(uint32_t channel, zemeStreamPy *record, uint32_t wait) {
    zemeStream stream = streamToRuntime(required(record, "stream"));
    py::gil_scoped_release unlocked;
    return zemeSendStreamToDecoder(channel, &stream, wait);
}

uint32_t receiveFrame(uint32_t channel, zemeFramePy *record, const zemeDecOutputOptions *options, uint32_t wait) {
    zemeFramePy &target = required(record, "frame");
    zemeFrame frame{};
    zemeDecOutputOptions given{};
    if (options) given = *options;  // read before other threads may run
    uint32_t status;
    {
        py::gil_scoped_release unlocked;  // the wait must not stop the thread that would send
        status = zemeReceiveFrameFromDecoder(channel, &frame, options ? &given : nullptr, wait);
    }
    if (status == 0) frameFromRuntime(frame, target);
    return status;
}

uint32_t jpegSyncDecode(uint32_t channel, const std::string &path, zemeFramePy *record, uint32_t wait) {
    zemeFramePy &target = required(record, "frame");
    JpegFile file;
    zemeStream stream;
    if (uint32_t status = jpegStream(path, &file, &stream)) return status;
    zemeFrame frame{};
    uint32_t status = zemeJpegSyncDecoder(channel, &stream, &frame, wait);
    if (status == 0) frameFromRuntime(frame, target);
    return status;
}

uint32_t transferFrame(uint32_t channel, zemeFramePy *record, bool crop) {
    zemeFramePy &target = required(record, "frame");
    zemeFrame frame = frameToRuntime(target);
    uint32_t status = zemeTransferFrameFromDecoder(channel, &frame, crop ? 1 : 0);
    if (status == 0) frameFromRuntime(frame, target);
    return status;
}

uint32_t releaseFrame(uint32_t channel, zemeFramePy *record, uint32_t reserved) {
    zemeFrame frame = frameToRuntime(required(record, "frame"));
    return zemeDecReleaseFrame(channel, &frame, reserved);
}

uint32_t jpegInfo(const std::string &path, zemeDecJpegInfo *info) {
    JpegFile file;
    zemeStream stream;
    if (uint32_t status = jpegStream(path, &file, &stream)) return status;
    return zemeGetJpegInfo(&stream, info);
}

uint32_t videoInfo(zemeStreamPy *record, const zemeCodecType *codec, zemeDecVideoInfo *info) {
    zemeStream stream = streamToRuntime(required(record, "stream"));
    return zemeGetVideoInfo(&stream, byValue(codec), info);
}

uint32_t jpegCaps(zemeJpegDecCapabilityPy *record) {
    zemeJpegDecCapabilityPy &target = required(record, "jpegDecCapability");
    zemeJpegDecCapability caps{};
    uint32_t status = zemeJpegDecGetCaps(&caps);
    if (status) return status;
    target.maxWidth = caps.maxWidth;
    target.maxHeight = caps.maxHeight;
    target.minWidth = caps.minWidth;
    target.minHeight = caps.minHeight;
    target.codingMode.assign(caps.codingMode, caps.codingMode + ZEME_DEC_MAX_CODING_MODE_NUM);
    target.pixelFormats.assign(caps.pixelFormats, caps.pixelFormats + ZEME_DEC_MAX_PIX_FMT_NUM);
    return status;
}

uint32_t videoCaps(const zemeCodecType *codec, zemeVideoDecCapabilityPy *record) {
    zemeCodecType type = byValue(codec);
    zemeVideoDecCapabilityPy &target = required(record, "videoDecCapability");
    zemeVideoDecCapability caps{};
    uint32_t status = zemeVideoDecGetCaps(type, &caps);
    if (status) return status;
    target.bitDepth = caps.bitDepth;
    target.maxWidth = caps.maxWidth;
    target.maxHeight = caps.maxHeight;
    target.minWidth = caps.minWidth;
    target.minHeight = caps.minHeight;
    target.maxProFile = caps.maxProFile;
    target.maxLevel = caps.maxLevel;
    target.pixelFormats.assign(caps.pixelFormats, caps.pixelFormats + ZEME_DEC_MAX_PIX_FMT_NUM);
    return status;
}

void registerRecords(py::module_ &m) {
    py::class_<zemeDecChannelParameters>(m, "decChannelParamters")
        .def(py::init<>())
        .def_readwrite("codecType", &zemeDecChannelParameters::codecType)
        .def_readwrite("sourceMode", &zemeDecChannelParameters::sourceMode)
        .def_readwrite("decodeMode", &zemeDecChannelParameters::decodeMode)
        .def_readwrite("pixelFormat", &zemeDecChannelParameters::pixelFormat)
        .def_readwrite("extraBufferNumber", &zemeDecChannelParameters::extraBufferNumber);
    py::class_<zemeDecStreamInfo>(m, "decStreamInfo")
        .def(py::init<>())
        .def_readonly("width", &zemeDecStreamInfo::width)
        .def_readonly("height", &zemeDecStreamInfo::height)
        .def_readonly("fps", &zemeDecStreamInfo::fps)
        .def_readonly("pixelSize", &zemeDecStreamInfo::pixelSize);
    py::class_<zemeDecJpegInfo>(m, "decJpegInfo")
        .def(py::init<>())
        .def_readonly("width", &zemeDecJpegInfo::width)
        .def_readonly("height", &zemeDecJpegInfo::height)
        .def_readonly("x_density", &zemeDecJpegInfo::x_density)
        .def_readonly("y_density", &zemeDecJpegInfo::y_density)
        .def_readonly("outputFormat", &zemeDecJpegInfo::outputFormat)
        .def_readonly("codingMode", &zemeDecJpegInfo::codingMode);
    py::class_<zemeDecStatus>(m, "decStatus")
        .def(py::init<>())
        .def_readonly("state", &zemeDecStatus::state)
        .def_readonly("hardwareID", &zemeDecStatus::hardwareID)
        .def_readonly("result", &zemeDecStatus::result)
        .def_readonly("runningFrames", &zemeDecStatus::runningFrames)
        .def_readonly("reorderedFrames", &zemeDecStatus::reorderedFrames)
        .def_readonly("bufferedFrames", &zemeDecStatus::bufferedFrames)
        .def_readonly("droppedFrames", &zemeDecStatus::droppedFrames);
    py::class_<zemeDecOutputOptions>(m, "decOutputOptions")
        .def(py::init<>())
        .def_readwrite("memoryType", &zemeDecOutputOptions::memoryType)
        .def_readwrite("enableCrop", &zemeDecOutputOptions::enableCrop);
    py::class_<zemeDecVideoInfo>(m, "decVideoInfo")
        .def(py::init<>())
        .def_readonly("width", &zemeDecVideoInfo::width)
        .def_readonly("height", &zemeDecVideoInfo::height)
        .def_readonly("cropFlag", &zemeDecVideoInfo::cropFlag)
        .def_readonly("cropWidth", &zemeDecVideoInfo::cropWidth)
        .def_readonly("cropHeight", &zemeDecVideoInfo::cropHeight)
        .def_readonly("xOffset", &zemeDecVideoInfo::xOffset)
        .def_readonly("yOffset", &zemeDecVideoInfo::yOffset)
        .def_readonly("fps", &zemeDecVideoInfo::fps)
        .def_readonly("pixelFormat", &zemeDecVideoInfo::pixelFormat);
    py::class_<zemeJpegDecCapabilityPy>(m, "jpegDecCapability")
        .def(py::init<>())
        .def_readonly("maxWidth", &zemeJpegDecCapabilityPy::maxWidth)
        .def_readonly("maxHeight", &zemeJpegDecCapabilityPy::maxHeight)
        .def_readonly("minWidth", &zemeJpegDecCapabilityPy::minWidth)
        .def_readonly("minHeight", &zemeJpegDecCapabilityPy::minHeight)
        .def_readonly("codingMode", &zemeJpegDecCapabilityPy::codingMode)
        .def_readonly("pixelFormats", &zemeJpegDecCapabilityPy::pixelFormats);
    py::class_<zemeVideoDecCapabilityPy>(m, "videoDecCapability")
        .def(py::init<>())
        .def_readonly("bitDepth", &zemeVideoDecCapabilityPy::bitDepth)
        .def_readonly("maxWidth", &zemeVideoDecCapabilityPy::maxWidth)
        .def_readonly("maxHeight", &zemeVideoDecCapabilityPy::maxHeight)
        .def_readonly("minWidth", &zemeVideoDecCapabilityPy::minWidth)
        .def_readonly("minHeight", &zemeVideoDecCapabilityPy::minHeight)
        .def_readonly("maxProFile", &zemeVideoDecCapabilityPy::maxProFile)
        .def_readonly("maxLevel", &zemeVideoDecCapabilityPy::maxLevel)
        .def_readonly("pixelFormats", &zemeVideoDecCapabilityPy::pixelFormats);
}

void registerAttributes(py::module_ &m) {
    m.attr("ZEME_DEC_MAX_PIX_FMT_NUM") = ZEME_DEC_MAX_PIX_FMT_NUM;
    m.attr("ZEME_DEC_MAX_CODING_MODE_NUM") = ZEME_DEC_MAX_CODING_MODE_NUM;
    m.attr("ZEME_DEC_JPEG_MAX_WIDTH") = ZEME_DEC_JPEG_MAX_WIDTH;
    m.attr("ZEME_DEC_JPEG_MAX_HEIGHT") = ZEME_DEC_JPEG_MAX_HEIGHT;
    m.attr("ZEME_DEC_JPEG_MIN_WIDTH") = ZEME_DEC_JPEG_MIN_WIDTH;
    m.attr("ZEME_DEC_JPEG_MIN_HEIGHT") = ZEME_DEC_JPEG_MIN_HEIGHT;
    m.attr("ZEME_DEC_VIDEO_MAX_WIDTH") = ZEME_DEC_VIDEO_MAX_WIDTH;
    m.attr("ZEME_DEC_VIDEO_MAX_HEIGHT") = ZEME_DEC_VIDEO_MAX_HEIGHT;
    m.attr("ZEME_DEC_VIDEO_MIN_WIDTH") = ZEME_DEC_VIDEO_MIN_WIDTH;
    m.attr("ZEME_DEC_VIDEO_MIN_HEIGHT") = ZEME_DEC_VIDEO_MIN_HEIGHT;
    m.attr("ZEME_DEC_MAX_STREAM_BUFFER_SIZE") = ZEME_DEC_MAX_STREAM_BUFFER_SIZE;
}

void registerReader(py::module_ &m) {
    py::class_<H264File>(m, "H264Reader")
        .def(py::init<std::string>())
        .def("init", &H264File::init)
        .def("release", &H264File::release)
        .def("getStream", [](H264File &reader, zemeStreamPy *record) {
            zemeStreamPy &target = required(record, "stream");
            uint64_t length = reader.next();
            if (!length) return 0;
            zemeStream unit{};
            unit.data = const_cast<uint8_t *>(reader.buffer());
            unit.dataSize = static_cast<uint32_t>(length);
            streamFromRuntime(unit, target);
            return 1;
        });
}

}  // namespace

void registerDecoders(py::module_ &m) {
    bindEnum<zemeDecMode>(m, "decodeMode",
                          {{"ZEME_DEC_NORMAL", ZEME_DEC_NORMAL}, {"ZEME_DEC_INTRA_ONLY", ZEME_DEC_INTRA_ONLY}});
    registerRecords(m);
    registerAttributes(m);
    m.def("createDecoderChannel", &zemeCreateDecoderChannel, "Create an decoder channel.");
    m.def("destroyDecoderChannel", &zemeDestroyDecoderChannel, "Destroy an decoder channel.");
    m.def("startDecoder", &zemeStartDecoder, "Start the decoder.");
    m.def("resetDecoder", &zemeResetDecoder, "Restart the decoder.");
    m.def("stopDecoder", &zemeStopDecoder, "Stop the decoder.");
    m.def("sendStreamToDecoder", &sendStream, "Send a stream to decoder to decode.");
    m.def("receiveFrameFromDecoder", &receiveFrame, "Receive a frame from Decoder.");
    m.def("jpegSyncDecoder", &jpegSyncDecode, "Send Jepg stream to decoder to decode, a sync api.");
    m.def("transferFrameFromDecoder", &transferFrame, "Tranfer frame data from device to host.");
    m.def("decReleaseFrame", &releaseFrame,
          "Release the zeme frame whose content filled by zemeReceiveFrameFromDecoder.");
    m.def("getJpegInfo", &jpegInfo, "Get input jpeg information.");
    m.def("getVideoInfo", &videoInfo, "Get input video information.");
    m.def("getStreamInfoFromDecoder", &zemeGetStreamInfoFromDecoder, "Get the Stream information by Decoder.");
    m.def("getDecoderStatus", &zemeGetDecoderStatus, "Get the Decoder status information.");
    m.def("jpegDecGetCaps", &jpegCaps, "Get the ability of the jpeg decoder on the device.");
    m.def("videoDecGetCaps", &videoCaps, "Get the ability of the video decoder on the device.");
    m.def(
        "getDecoderAvailableChannels",
        [] { return output(&zemeGetDecoderAvailableChannels, "get decoder avaliable channels error, ret: %d."); },
        "Get the Decoder available channels.");
    registerReader(m);
}

}  // namespace halvora::zeme
