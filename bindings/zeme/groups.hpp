// Registration groups of the submodule `zeme`, called in order by the entry point.
#pragma once
#include "binding.hpp"

namespace halvora::zeme {

void registerMediaTypes(py::module_ &m);  // enumerations, attributes, stream ... rational, system calls (media.cpp)
void registerDecoders(py::module_ &m);    // decodeMode ... getDecoderAvailableChannels, H264Reader (decoder.cpp)
void registerEncoders(py::module_ &m);    // encQualityMode ... getEncoderAvailableChannels (encoder.cpp)

}  // namespace halvora::zeme
