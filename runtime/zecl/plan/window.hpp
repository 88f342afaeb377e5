// Sliding windows shared by convolution and pooling: the pads ONNX's auto_pad
// implies and the output size of each spatial dimension.
#pragma once
#include <string>

#include "zecl/plan/lowering.hpp"

namespace zecl::plan {

struct Window {
    Dims kernel, strides, dilations, padBegin, padEnd, output;  // spatial dims only
};

// Reads strides, dilations, pads and auto_pad for a window of `kernel` over the
// spatial dims of `input` (N, C, spatial...). `ceil` rounds the output size up
// (pools' ceil_mode). The reason when the attributes do not fit.
std::string readWindow(const onnx::NodeProto &node, const Dims &input, Dims kernel, bool ceil, Window *window);

// oneDNN's dilations count the gaps between taps: ONNX's minus one.
dnnl::memory::dims libraryDilations(const Window &window);

}  // namespace zecl::plan
