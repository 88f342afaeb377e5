// Entry point of `_halvora_av`, the halvora package's native helper.
#include "av.hpp"

PYBIND11_MODULE(_halvora_av, m) {
    m.doc() = "Demuxing and muxing for the halvora package, on libavformat.";
    halvora::av::registerDemuxer(m);
    halvora::av::registerMuxer(m);
}
