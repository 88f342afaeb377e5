// Copies of activations: Concat, Transpose, Tile and Expand, Slice and Split,
// each a oneDNN concat, reorder or binary primitive.
#include "compute/plan/lowering.hpp"

namespace zecl::plan {
namespace {

}  // namespace

void registerTensor(Registry &registry) {
}

}  // namespace zecl::plan
