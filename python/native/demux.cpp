// Demuxing: a source (file or URL) read packet by packet, as Annex B access units.
#include "av.hpp"

namespace halvora::av {

void registerDemuxer(py::module_ &) {}

}  // namespace halvora::av
