// Placeholder: filled by the common-library work.
#include "groups.hpp"

namespace halvora::zecm {

void registerDataBuffers(py::module_ &m) {}

}  // namespace halvora::zecm
