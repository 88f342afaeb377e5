// The media vocabulary shared by decoders, encoders and the H.264 reader:
// enumerations, status and plane-count attributes, the small records, `stream` and
// `frame` (with a buffer view of host pictures), and the system calls.
#include <cstring>

#include "frames.hpp"
#include "groups.hpp"
#include "zeme/picture_layout.hpp"

namespace halvora::zeme {
namespace {

void registerEnumerations(py::module_ &m) {
    bindEnum<zemeCodecType>(m, "codecType",
                            {
                                {"ZEME_CODEC_DEC_JPEG", ZEME_CODEC_DEC_JPEG},
                                {"ZEME_CODEC_DEC_H264", ZEME_CODEC_DEC_H264},
                                {"ZEME_CODEC_DEC_HEVC", ZEME_CODEC_DEC_HEVC},
                                {"ZEME_CODEC_ENC_JPEG", ZEME_CODEC_ENC_JPEG},
                                {"ZEME_CODEC_ENC_H264", ZEME_CODEC_ENC_H264},
                                {"ZEME_CODEC_ENC_HEVC", ZEME_CODEC_ENC_HEVC},
                            });
    bindEnum<zemeSourceMode>(m, "sourceMode", {{"ZEME_SRC_FRAME", ZEME_SRC_FRAME}});
    bindEnum<zemeMemoryType>(m, "memoryType",
                             {
                                 {"ZEME_MEM_DEVICE", ZEME_MEM_DEVICE},
                                 {"ZEME_MEM_HOST", ZEME_MEM_HOST},
                                 {"ZEME_MEM_FLUSH", ZEME_MEM_FLUSH},
                             });
    bindEnum<zemePixelFormat>(
        m, "pixelFormat",
        {
            {"ZEME_PIX_FMT_NONE", ZEME_PIX_FMT_NONE},           {"ZEME_PIX_FMT_YUV420P", ZEME_PIX_FMT_YUV420P},
            {"ZEME_PIX_FMT_YUV444P", ZEME_PIX_FMT_YUV444P},     {"ZEME_PIX_FMT_YUV422P", ZEME_PIX_FMT_YUV422P},
            {"ZEME_PIX_FMT_YUV420P9", ZEME_PIX_FMT_YUV420P9},   {"ZEME_PIX_FMT_YUV422P9", ZEME_PIX_FMT_YUV422P9},
            {"ZEME_PIX_FMT_YUV444P9", ZEME_PIX_FMT_YUV444P9},   {"ZEME_PIX_FMT_YUV420P10", ZEME_PIX_FMT_YUV420P10},
            {"ZEME_PIX_FMT_YUV422P10", ZEME_PIX_FMT_YUV422P10}, {"ZEME_PIX_FMT_YUV444P10", ZEME_PIX_FMT_YUV444P10},
            {"ZEME_PIX_FMT_YUV420P12", ZEME_PIX_FMT_YUV420P12}, {"ZEME_PIX_FMT_YUV422P12", ZEME_PIX_FMT_YUV422P12},
            {"ZEME_PIX_FMT_YUV444P12", ZEME_PIX_FMT_YUV444P12}, {"ZEME_PIX_FMT_NV12", ZEME_PIX_FMT_NV12},
            {"ZEME_PIX_FMT_NV21", ZEME_PIX_FMT_NV21},           {"ZEME_PIX_FMT_GRAY8", ZEME_PIX_FMT_GRAY8},
            {"ZEME_PIX_FMT_GRAY9", ZEME_PIX_FMT_GRAY9},         {"ZEME_PIX_FMT_GRAY10", ZEME_PIX_FMT_GRAY10},
            {"ZEME_PIX_FMT_GRAY12", ZEME_PIX_FMT_GRAY12},       {"ZEME_PIX_FMT_RGB24", ZEME_PIX_FMT_RGB24},
            {"ZEME_PIX_FMT_BGR24", ZEME_PIX_FMT_BGR24},         {"ZEME_PIX_FMT_ARGB", ZEME_PIX_FMT_ARGB},
            {"ZEME_PIX_FMT_RGBA", ZEME_PIX_FMT_RGBA},           {"ZEME_PIX_FMT_ABGR", ZEME_PIX_FMT_ABGR},
            {"ZEME_PIX_FMT_BGRA", ZEME_PIX_FMT_BGRA},
        });
    bindEnum<zemeState>(m, "state",
                        {
                            {"ZEME_ST_NONE", ZEME_ST_NONE},
                            {"ZEME_ST_READY", ZEME_ST_READY},
                            {"ZEME_ST_RUNNING", ZEME_ST_RUNNING},
                            {"ZEME_ST_ERROR", ZEME_ST_ERROR},
                            {"ZEME_ST_STOPPING", ZEME_ST_STOPPING},
                            {"ZEME_ST_STOPPED", ZEME_ST_STOPPED},
                        });
    bindEnum<zemeVideoField>(m, "videoField", {{"ZEME_FLD_FRAME", ZEME_FLD_FRAME}});
    bindEnum<zemeFrameType>(m, "frameType",
                            {{"ZEME_FRM_I", ZEME_FRM_I}, {"ZEME_FRM_P", ZEME_FRM_P}, {"ZEME_FRM_B", ZEME_FRM_B}});
    bindEnum<zemeChromaFormat>(m, "chromaFormat",
                               {
                                   {"ZEME_CHROMA_FMT_NONE", ZEME_CHROMA_FMT_NONE},
                                   {"ZEME_CHROMA_FMT_400", ZEME_CHROMA_FMT_400},
                                   {"ZEME_CHROMA_FMT_411", ZEME_CHROMA_FMT_411},
                                   {"ZEME_CHROMA_FMT_420", ZEME_CHROMA_FMT_420},
                                   {"ZEME_CHROMA_FMT_422", ZEME_CHROMA_FMT_422},
                                   {"ZEME_CHROMA_FMT_440", ZEME_CHROMA_FMT_440},
                                   {"ZEME_CHROMA_FMT_444", ZEME_CHROMA_FMT_444},
                               });
    bindEnum<zemeJpegCodingMode>(m, "jpegCodingMode",
                                 {
                                     {"ZEME_JPEG_NONE", ZEME_JPEG_NONE},
                                     {"ZEME_JPEG_BASELINE", ZEME_JPEG_BASELINE},
                                     {"ZEME_JPEG_PROGRESSIVE", ZEME_JPEG_PROGRESSIVE},
                                     {"ZEME_JPEG_NONINTERLEAVED", ZEME_JPEG_NONINTERLEAVED},
                                 });
    bindEnum<zemeVideoProfile>(m, "videoProfile",
                               {
                                   {"ZEME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE", ZEME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE},
                                   {"ZEME_VIDEO_PRFL_HEVC_MAIN", ZEME_VIDEO_PRFL_HEVC_MAIN},
                                   {"ZEME_VIDEO_PRFL_HEVC_MAIN_10", ZEME_VIDEO_PRFL_HEVC_MAIN_10},
                                   {"ZEME_VIDEO_PRFL_HEVC_MAIN_REXT", ZEME_VIDEO_PRFL_HEVC_MAIN_REXT},
                                   {"ZEME_VIDEO_PRFL_H264_BASELINE", ZEME_VIDEO_PRFL_H264_BASELINE},
                                   {"ZEME_VIDEO_PRFL_H264_MAIN", ZEME_VIDEO_PRFL_H264_MAIN},
                                   {"ZEME_VIDEO_PRFL_H264_HIGH", ZEME_VIDEO_PRFL_H264_HIGH},
                                   {"ZEME_VIDEO_PRFL_H264_HIGH_10", ZEME_VIDEO_PRFL_H264_HIGH_10},
                                   {"ZEME_VIDEO_PRFL_AV1_MAIN", ZEME_VIDEO_PRFL_AV1_MAIN},
                                   {"ZEME_VIDEO_PRFL_AV1_HIGH", ZEME_VIDEO_PRFL_AV1_HIGH},
                                   {"ZEME_VIDEO_PRFL_AV1_PROFESSIONAL", ZEME_VIDEO_PRFL_AV1_PROFESSIONAL},
                               });
    bindEnum<zemeVideoLevel>(
        m, "videoLevel",
        {
            {"ZEME_VIDEO_LVL_HEVC_1", ZEME_VIDEO_LVL_HEVC_1},     {"ZEME_VIDEO_LVL_HEVC_2", ZEME_VIDEO_LVL_HEVC_2},
            {"ZEME_VIDEO_LVL_HEVC_2_1", ZEME_VIDEO_LVL_HEVC_2_1}, {"ZEME_VIDEO_LVL_HEVC_3", ZEME_VIDEO_LVL_HEVC_3},
            {"ZEME_VIDEO_LVL_HEVC_3_1", ZEME_VIDEO_LVL_HEVC_3_1}, {"ZEME_VIDEO_LVL_HEVC_4", ZEME_VIDEO_LVL_HEVC_4},
            {"ZEME_VIDEO_LVL_HEVC_4_1", ZEME_VIDEO_LVL_HEVC_4_1}, {"ZEME_VIDEO_LVL_HEVC_5", ZEME_VIDEO_LVL_HEVC_5},
            {"ZEME_VIDEO_LVL_HEVC_5_1", ZEME_VIDEO_LVL_HEVC_5_1}, {"ZEME_VIDEO_LVL_HEVC_5_2", ZEME_VIDEO_LVL_HEVC_5_2},
            {"ZEME_VIDEO_LVL_HEVC_6", ZEME_VIDEO_LVL_HEVC_6},     {"ZEME_VIDEO_LVL_HEVC_6_1", ZEME_VIDEO_LVL_HEVC_6_1},
            {"ZEME_VIDEO_LVL_HEVC_6_2", ZEME_VIDEO_LVL_HEVC_6_2}, {"ZEME_VIDEO_LVL_H264_1", ZEME_VIDEO_LVL_H264_1},
            {"ZEME_VIDEO_LVL_H264_1_b", ZEME_VIDEO_LVL_H264_1_b}, {"ZEME_VIDEO_LVL_H264_1_1", ZEME_VIDEO_LVL_H264_1_1},
            {"ZEME_VIDEO_LVL_H264_1_2", ZEME_VIDEO_LVL_H264_1_2}, {"ZEME_VIDEO_LVL_H264_1_3", ZEME_VIDEO_LVL_H264_1_3},
            {"ZEME_VIDEO_LVL_H264_2", ZEME_VIDEO_LVL_H264_2},     {"ZEME_VIDEO_LVL_H264_2_1", ZEME_VIDEO_LVL_H264_2_1},
            {"ZEME_VIDEO_LVL_H264_2_2", ZEME_VIDEO_LVL_H264_2_2}, {"ZEME_VIDEO_LVL_H264_3", ZEME_VIDEO_LVL_H264_3},
            {"ZEME_VIDEO_LVL_H264_3_1", ZEME_VIDEO_LVL_H264_3_1}, {"ZEME_VIDEO_LVL_H264_3_2", ZEME_VIDEO_LVL_H264_3_2},
            {"ZEME_VIDEO_LVL_H264_4", ZEME_VIDEO_LVL_H264_4},     {"ZEME_VIDEO_LVL_H264_4_1", ZEME_VIDEO_LVL_H264_4_1},
            {"ZEME_VIDEO_LVL_H264_4_2", ZEME_VIDEO_LVL_H264_4_2}, {"ZEME_VIDEO_LVL_H264_5", ZEME_VIDEO_LVL_H264_5},
            {"ZEME_VIDEO_LVL_H264_5_1", ZEME_VIDEO_LVL_H264_5_1}, {"ZEME_VIDEO_LVL_H264_5_2", ZEME_VIDEO_LVL_H264_5_2},
            {"ZEME_VIDEO_LVL_H264_6", ZEME_VIDEO_LVL_H264_6},     {"ZEME_VIDEO_LVL_H264_6_1", ZEME_VIDEO_LVL_H264_6_1},
            {"ZEME_VIDEO_LVL_H264_6_2", ZEME_VIDEO_LVL_H264_6_2},
        });
}

void registerAttributes(py::module_ &m) {
    m.attr("zemeER_SUCCESS") = static_cast<int>(zemeER_SUCCESS);
    m.attr("zemeER_RSLT_OK") = static_cast<int>(zemeER_RSLT_OK);
    m.attr("zemeER_RSLT_ERR_START") = static_cast<int>(zemeER_RSLT_ERR_START);
    m.attr("ZEME_MAX_VIDEO_PLANE") = ZEME_MAX_VIDEO_PLANE;
    m.attr("zemeER_RSLT_WARN_MORE_DATA") = static_cast<int>(zemeER_RSLT_WARN_MORE_DATA);
    m.attr("zemeER_RSLT_WARN_EOS") = static_cast<int>(zemeER_RSLT_WARN_EOS);
}

// The 2-D unsigned-byte view of a host picture over the runtime's own plane 0:
// (height x 3 / 2) rows of the crop width. The view does not keep the memory alive.
py::buffer_info pictureView(zemeFramePy &frame) {
    static uint8_t nothing = 0;
    const uint32_t width = frame.cropInfo.width;
    if (!frame.planes[0] || width % 2)
        return py::buffer_info(&nothing, 1, py::format_descriptor<uint8_t>::format(), 2, {0, 0}, {0, 1}, false);
    const uint64_t rows = ::zeme::pictureRows(frame.height);
    return py::buffer_info(frame.planes[0], 1, py::format_descriptor<uint8_t>::format(), 2,
                           {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(width)},
                           {static_cast<py::ssize_t>(width), py::ssize_t{1}}, false);
}

void registerRecords(py::module_ &m) {
    py::class_<zemeStreamPy>(m, "stream")
        .def(py::init<>())
        .def_readwrite("stream", &zemeStreamPy::stream)
        .def_readwrite("pts", &zemeStreamPy::pts)
        .def_readonly("inputBusAddress", &zemeStreamPy::inputBusAddress);
    py::class_<zemeFramePy>(m, "frame", py::buffer_protocol())
        .def(py::init<>())
        .def_readwrite("data", &zemeFramePy::data)
        .def_readwrite("busAddress", &zemeFramePy::busAddress)
        .def_readwrite("stride", &zemeFramePy::stride)
        .def_readwrite("dataSize", &zemeFramePy::dataSize)
        .def_readwrite("width", &zemeFramePy::width)
        .def_readwrite("height", &zemeFramePy::height)
        .def_readwrite("pts", &zemeFramePy::pts)
        .def_readwrite("memoryType", &zemeFramePy::memoryType)
        .def_readwrite("field", &zemeFramePy::field)
        .def_readwrite("pixelFormat", &zemeFramePy::pixelFormat)
        .def_readwrite("frameType", &zemeFramePy::frameType)
        .def_readwrite("cropInfo", &zemeFramePy::cropInfo)
        .def_property_readonly("privateData", [](const zemeFramePy &frame) -> Handle { return frame.privateData; })
        .def_buffer(&pictureView);
    py::class_<zemeFrameCropInfo>(m, "cropInfo")
        .def(py::init<>())
        .def_readwrite("flag", &zemeFrameCropInfo::flag)
        .def_readwrite("width", &zemeFrameCropInfo::width)
        .def_readwrite("height", &zemeFrameCropInfo::height)
        .def_readwrite("xOffset", &zemeFrameCropInfo::xOffset)
        .def_readwrite("yOffset", &zemeFrameCropInfo::yOffset);
    py::class_<zemeVersion>(m, "version")
        .def(py::init<>())
        .def_readonly("major", &zemeVersion::major)
        .def_readonly("minor", &zemeVersion::minor)
        .def_readonly("build", &zemeVersion::build);
    py::class_<zemeHardwareID>(m, "hardwareID")
        .def(py::init<>())
        .def_readonly("dieID", &zemeHardwareID::dieID)
        .def_readonly("coreID", &zemeHardwareID::coreID);
    py::class_<zemeRational>(m, "rational")
        .def(py::init<>())
        .def_readwrite("numerator", &zemeRational::numerator)
        .def_readwrite("denominator", &zemeRational::denominator);
}

py::str version() {
    char *text = nullptr;
    uint32_t major = 0, minor = 0, patch = 0, build = 0;
    check(zemeGetVersion(&text, &major, &minor, &patch, &build), "get version error, ret: %d.");
    return optionalText(text);
}

}  // namespace

void registerMediaTypes(py::module_ &m) {
    registerEnumerations(m);
    registerAttributes(m);
    registerRecords(m);
    m.def("systemInitialize", &zemeSystemInitialize, "Initialize the zeme system.");
    m.def("systemUninitialize", &zemeSystemUninitialize, "Uninitialize the zeme system.");
    m.def("getVersion", &version, "Get the ZEME API version information.");
}

}  // namespace halvora::zeme
