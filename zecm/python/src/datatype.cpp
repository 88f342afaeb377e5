// Placeholder: filled by the common-library work.
#include "groups.hpp"

namespace halvora::zecm {

void registerDataTypeEnum(py::module_ &m) {}

void registerDataTypes(py::module_ &m) {}

}  // namespace halvora::zecm
