// Muxing: the card's encoder output written into a container.
#include "av.hpp"

namespace halvora::av {

void registerMuxer(py::module_ &) {}

}  // namespace halvora::av
