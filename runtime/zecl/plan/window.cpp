#include "zecl/plan/window.hpp"

namespace zecl::plan {

std::string readWindow(const onnx::NodeProto &node, const Dims &input, Dims kernel, bool ceil, Window *window) {
    size_t spatial = kernel.size();
    if (input.size() != spatial + 2) return "its window does not match the input's rank";
    auto orOnes = [spatial](Dims values) { return values.empty() ? Dims(spatial, 1) : values; };
    window->kernel = kernel;
    window->strides = orOnes(intsAttribute(node, "strides"));
    window->dilations = orOnes(intsAttribute(node, "dilations"));
    Dims pads = intsAttribute(node, "pads");
    if (pads.empty()) pads.assign(2 * spatial, 0);
    if (window->strides.size() != spatial || window->dilations.size() != spatial || pads.size() != 2 * spatial)
        return "strides, dilations or pads of another rank than the kernel";
    std::string autoPad = stringAttribute(node, "auto_pad", "NOTSET");
    window->padBegin.assign(pads.begin(), pads.begin() + spatial);
    window->padEnd.assign(pads.begin() + spatial, pads.end());
    window->output.clear();
    for (size_t d = 0; d < spatial; ++d) {
        int64_t in = input[d + 2], stride = window->strides[d], dilation = window->dilations[d];
        if (kernel[d] <= 0 || stride <= 0 || dilation <= 0 || window->padBegin[d] < 0 || window->padEnd[d] < 0)
            return "a kernel, stride, dilation or pad out of range";
        int64_t extent = (kernel[d] - 1) * dilation + 1;
        if (autoPad == "SAME_UPPER" || autoPad == "SAME_LOWER") {
            int64_t out = (in + stride - 1) / stride;
            int64_t total = std::max<int64_t>(0, (out - 1) * stride + extent - in);
            window->padBegin[d] = autoPad == "SAME_UPPER" ? total / 2 : total - total / 2;
            window->padEnd[d] = total - window->padBegin[d];
        } else if (autoPad == "VALID") {
            window->padBegin[d] = window->padEnd[d] = 0;
        } else if (autoPad != "NOTSET") {
            return "auto_pad " + autoPad;
        }
        int64_t span = in + window->padBegin[d] + window->padEnd[d] - extent;
        if (span < 0) return "a window larger than its padded input";
        int64_t out = (ceil ? (span + stride - 1) / stride : span / stride) + 1;
        // A last window that would start in the end padding is dropped.
        if (ceil && (out - 1) * stride >= in + window->padBegin[d]) --out;
        window->output.push_back(out);
    }
    return "";
}

dnnl::memory::dims libraryDilations(const Window &window) {
    dnnl::memory::dims gaps;
    for (int64_t d : window.dilations) gaps.push_back(d - 1);
    return gaps;
}

}  // namespace zecl::plan
