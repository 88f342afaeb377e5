// Broadcasting shared by the element-wise operations of two or more inputs.
#pragma once
#include "zecl/plan/lowering.hpp"

namespace zecl::plan {

// `dims` with leading ones up to `rank`.
Dims leadingOnes(const Dims &dims, size_t rank);
// A value of `full` dims (oneDNN's, rank at least 1): the value itself, seen with
// leading ones, or a plain copy repeating it along its dimensions of size 1.
int broadcastTo(Builder &builder, int id, const Dims &full);
// `first` (of `full` dims) combined with `second` (broadcast by the primitive) by
// one binary primitive with these post-ops; the result's value id.
int addBinary(Builder &builder, dnnl::algorithm kind, int first, int second, const dnnl::post_ops &ops);

// Sum, Mean, Max and Min of one or more inputs (ops_variadic.cpp).
std::string lowerVariadic(Builder &builder, const onnx::NodeProto &node);

// x * 0.5 * (1 + erf(x / sqrt 2)) from `scale` (the division by sqrt 2, or the
// product by its inverse) on: one GELU primitive, the four nodes after `scale` fused.
// False, with nothing added, for other nodes (ops_eltwise.cpp).
bool lowerGelu(Builder &builder, const onnx::NodeProto &scale);

}  // namespace zecl::plan
