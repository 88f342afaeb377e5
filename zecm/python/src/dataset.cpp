// Placeholder: filled by the common-library work.
#include "groups.hpp"

namespace halvora::zecm {

void registerDatasets(py::module_ &m) {}

void registerDestroyDatasetAll(py::module_ &m) {}

}  // namespace halvora::zecm
