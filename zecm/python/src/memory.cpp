// Placeholder: filled by the common-library work.
#include "groups.hpp"

namespace halvora::zecm {

void registerMemory(py::module_ &m) {}

void registerHostMemory(py::module_ &m) {}

}  // namespace halvora::zecm
