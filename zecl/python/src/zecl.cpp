// Init routine of the submodule `zecl`: creates it and registers its groups in order.
#include "binding.hpp"
#include "init.hpp"

namespace halvora {

void initZecl(py::module_ &root) {
    py::module_ m = root.def_submodule("zecl", "zentri Accelerate Language.");
    (void)m;
}

}  // namespace halvora
