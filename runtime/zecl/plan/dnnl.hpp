// The plan's only door to oneDNN (2.x API: operation descriptors, post-ops with a
// scale first). Everything that names a oneDNN type or call lives here or in the
// lowerings, which build primitives through these helpers; a move to another major
// version of the library stays within this folder.
#pragma once
#include <dnnl.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace zecl::plan {

using Desc = dnnl::memory::desc;
using Dims = std::vector<int64_t>;

// oneDNN's CPU engine runs on GNU OpenMP: primitives made or run on a thread use
// that runtime's thread count for the calling thread, whichever compiler built the card.
int libraryThreads();
void setLibraryThreads(int threads);
// Lets the other threads of the calling thread's OpenMP team run on any core but the one the
// calling thread is on (see dnnl.cpp).
void steerTeamAway(int threads);

// The CPU engine all plans share.
const dnnl::engine &cpuEngine();

// oneDNN's dims of a tensor: a scalar is one value of rank 1.
dnnl::memory::dims libraryDims(const Dims &dims);
// Dense row-major layout (abcd...) of these dims.
Desc plainDesc(const Dims &dims);
// Layout left to the primitive (format_tag::any).
Desc anyDesc(const Dims &dims);
// Row-major dims with the last two dimensions swapped in memory (a transposed matrix).
Desc transposedDesc(const Dims &dims);
// Dims whose elements lie at these strides (a permuted or broadcast view of plain bytes).
Desc stridedDesc(const Dims &dims, const Dims &strides);
// The same dims laid out densely row-major: descriptors are compared, never tag names.
bool isPlain(const Desc &desc);

// Primitive descriptors whose implementation is the reference kernel: slow by a
// factor of tens to hundreds. The caller is told which; `hot` refuses them.
bool referenceKernel(const dnnl::primitive_desc_base &pd);
std::string implementation(const dnnl::primitive_desc_base &pd);

// A memory of `desc` holding `values` given in plain layout of `dims` (weights).
dnnl::memory constantMemory(const Desc &desc, const Dims &dims, const std::vector<float> &values);
// The same for `values` laid out as `source` describes.
dnnl::memory constantMemory(const Desc &desc, const Desc &source, const std::vector<float> &values);

// Attributes every plan primitive is made with: its scratchpad is the caller's (one
// per execution context), so that runs on several threads never share one.
dnnl::primitive_attr attributes();

// Post-ops (activation, residual sum) for a convolution or matmul.
void appendEltwise(dnnl::post_ops *ops, dnnl::algorithm kind, float alpha, float beta);
void appendSum(dnnl::post_ops *ops);

}  // namespace zecl::plan
