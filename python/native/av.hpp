// The package's own native helper, `_halvora_av`: demuxing of containers and live
// sources into the packets the card's decoder takes, and muxing of the card's encoder
// output into playable files, both on FFmpeg's libavformat. One group per file.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace py = pybind11;

namespace halvora::av {

// libavformat's text for an error code.
inline std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void registerDemuxer(py::module_ &m);
void registerMuxer(py::module_ &m);

}  // namespace halvora::av
