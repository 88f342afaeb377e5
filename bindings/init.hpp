// Init routines of the binding groups, called by the entry point in a fixed order.
#pragma once
#include <pybind11/pybind11.h>

namespace halvora {

// Common library: creates the submodule `zecm` on the root and fills it.
void initZecm(pybind11::module_ &root);
// Compute library: creates the submodule `zecl` on the root and fills it.
void initZecl(pybind11::module_ &root);

}  // namespace halvora
