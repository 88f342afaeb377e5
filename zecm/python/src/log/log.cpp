// Placeholder: filled by the common-library work.
#include "../groups.hpp"

namespace halvora::zecm {

void registerLogging(py::module_ &m) {}

}  // namespace halvora::zecm
