// Transposed convolutions (ConvTranspose), and convolutions whose weights or bias
// are graph inputs. Weights are read through a strided descriptor over their ONNX
// bytes and put in the primitive's layout: once while compiling when they are
// constants, by a reorder step of the plan when they come with the inputs.
#include "zecl/plan/lowering.hpp"
#include "zecl/plan/window.hpp"

namespace zecl::plan {
namespace {

Dims plainStrides(const Dims &dims) {
    Dims strides(dims.size(), 1);
    for (int d = static_cast<int>(dims.size()) - 2; d >= 0; --d) strides[d] = strides[d + 1] * dims[d + 1];
    return strides;
}

// The window in oneDNN's terms: the end pads of a transposed convolution may be
// negative (output_padding or output_shape extend the result past the last tap).
struct Layer {
    int64_t group = 1;
    Dims strides, dilations, padBegin, padEnd, outputDims;
    Dims weightDims;     // oneDNN's: (G,) O, I, spatial
    Desc weightsStored;  // where the ONNX tensor holds each of them
};

using Values = std::vector<std::pair<int, int>>;
using Constants = std::vector<std::pair<int, dnnl::memory>>;

// Binds weights or bias in layout `wanted`: a constant reordered now, a graph input
// reordered by a step before each run (none when its layout is already the one).
void bindOperand(Builder &builder, const std::string &name, const Desc &stored, const Desc &wanted, int argument,
                 Values *values, Constants *constants) {
    if (builder.isConstant(name)) {
        const Constant &c = builder.constant(name);
        std::vector<float> floats(c.count());
        for (size_t i = 0; i < floats.size(); ++i) floats[i] = c.at(i);
        constants->emplace_back(argument, constantMemory(wanted, stored, floats));
        return;
    }
    auto shape = stored.dims();
    int id = builder.view(builder.value(name), Dims(shape.begin(), shape.end()));
    builder.program().values[id].desc = stored;
    values->emplace_back(argument, builder.inLayout(id, wanted));
}

std::string addLayer(Builder &builder, const onnx::NodeProto &node, const Layer &layer, bool transposed) {
    std::string biasName = inputName(node, 2);
    Dims outputDims = layer.outputDims;
    Desc src = anyDesc(builder.dims(node.input(0))), weights = anyDesc(layer.weightDims), dst = anyDesc(outputDims);
    Desc bias = biasName.empty() ? Desc() : anyDesc({outputDims[1]});
    dnnl::memory::dims strides(layer.strides.begin(), layer.strides.end()), gaps;
    for (int64_t d : layer.dilations) gaps.push_back(d - 1);
    dnnl::memory::dims padBegin(layer.padBegin.begin(), layer.padBegin.end());
    dnnl::memory::dims padEnd(layer.padEnd.begin(), layer.padEnd.end());
    auto inference = dnnl::prop_kind::forward_inference;
    dnnl::primitive_desc_base pd;
    dnnl::primitive primitive;
    if (transposed) {
        dnnl::deconvolution_forward::desc desc(inference, dnnl::algorithm::deconvolution_direct, src, weights, bias,
                                               dst, strides, gaps, padBegin, padEnd);
        dnnl::deconvolution_forward::primitive_desc made(desc, attributes(), cpuEngine());
        primitive = dnnl::deconvolution_forward(made);
        pd = made;
    } else {
        dnnl::convolution_forward::desc desc(inference, dnnl::algorithm::convolution_direct, src, weights, bias, dst,
                                             strides, gaps, padBegin, padEnd);
        dnnl::convolution_forward::primitive_desc made(desc, attributes(), cpuEngine());
        primitive = dnnl::convolution_forward(made);
        pd = made;
    }
    Values values;
    Constants constants;
    values.emplace_back(DNNL_ARG_SRC, builder.inLayout(builder.value(node.input(0)), pd.src_desc()));
    bindOperand(builder, node.input(1), layer.weightsStored, pd.weights_desc(), DNNL_ARG_WEIGHTS, &values, &constants);
    if (!biasName.empty())
        bindOperand(builder, biasName, plainDesc({outputDims[1]}), pd.weights_desc(1), DNNL_ARG_BIAS, &values,
                    &constants);
    values.emplace_back(DNNL_ARG_DST, builder.define(node.output(0), outputDims, pd.dst_desc()));
    return builder.add(pd, primitive, std::move(values), std::move(constants), false);
}

// Checks the weights (and bias) against the input and group; fills the group and
// oneDNN's weight dims from ONNX's (O or I first, then I/group or O/group).
std::string readWeights(Builder &builder, const onnx::NodeProto &node, bool transposed, Layer *layer) {
    Dims input = builder.dims(node.input(0)), w = builder.dims(node.input(1));
    layer->group = intAttribute(node, "group", 1);
    int64_t g = layer->group;
    if (input.size() < 3 || w.size() != input.size() || g <= 0) return "weights that do not fit the input";
    int64_t inputChannels = transposed ? w[0] : w[1] * g, outputChannels = transposed ? w[1] * g : w[0];
    if (input[1] != inputChannels || w[0] % g) return "weights that do not fit the input and group";
    std::string biasName = inputName(node, 2);
    if (!biasName.empty() && builder.dims(biasName) != Dims{outputChannels})
        return "a bias of another size than the output channels";
    Dims kernel(w.begin() + 2, w.end());
    Dims declared = intsAttribute(node, "kernel_shape");
    if (!declared.empty() && declared != kernel) return "kernel_shape differs from the weights";
    // One group's filters: O/group by I/group; ONNX stores (O, I/group, k...) for a
    // convolution and (I, O/group, k...) for a transposed one.
    Dims strides = plainStrides(w);
    Dims ordered = {outputChannels / g, inputChannels / g};
    Dims orderedStrides = transposed ? Dims{strides[1], strides[0]} : Dims{strides[0], strides[1]};
    ordered.insert(ordered.end(), kernel.begin(), kernel.end());
    orderedStrides.insert(orderedStrides.end(), strides.begin() + 2, strides.end());
    if (g > 1) {
        ordered.insert(ordered.begin(), g);
        orderedStrides.insert(orderedStrides.begin(), strides[0] * (w[0] / g));
    }
    layer->weightDims = ordered;
    layer->weightsStored = stridedDesc(ordered, orderedStrides);
    return "";
}

std::string lowerConvTranspose(Builder &builder, const onnx::NodeProto &node) {
    Layer layer;
    std::string reason = readWeights(builder, node, true, &layer);
    if (!reason.empty()) return reason;
    Dims input = builder.dims(node.input(0)), w = builder.dims(node.input(1));
    size_t spatial = input.size() - 2;
    auto orDefault = [spatial](Dims values, int64_t fallback) {
        return values.empty() ? Dims(spatial, fallback) : values;
    };
    layer.strides = orDefault(intsAttribute(node, "strides"), 1);
    layer.dilations = orDefault(intsAttribute(node, "dilations"), 1);
    Dims outputPadding = orDefault(intsAttribute(node, "output_padding"), 0);
    Dims pads = orDefault(intsAttribute(node, "pads"), 0);
    if (pads.size() == spatial) pads.insert(pads.end(), spatial, 0);
    Dims outputShape = intsAttribute(node, "output_shape");
    if (outputShape.size() == spatial + 2) outputShape.erase(outputShape.begin(), outputShape.begin() + 2);
    std::string autoPad = stringAttribute(node, "auto_pad", "NOTSET");
    if (layer.strides.size() != spatial || layer.dilations.size() != spatial || outputPadding.size() != spatial ||
        pads.size() != 2 * spatial || (!outputShape.empty() && outputShape.size() != spatial))
        return "strides, dilations, pads or output shape of another rank than the input";
    if (autoPad != "NOTSET" && autoPad != "SAME_UPPER" && autoPad != "SAME_LOWER" && autoPad != "VALID")
        return "auto_pad " + autoPad;
    layer.outputDims = {input[0], w[1] * layer.group};
    for (size_t d = 0; d < spatial; ++d) {
        int64_t stride = layer.strides[d], dilation = layer.dilations[d], extra = outputPadding[d];
        if (stride <= 0 || dilation <= 0 || extra < 0 || pads[d] < 0 || pads[d + spatial] < 0)
            return "a stride, dilation or pad out of range";
        int64_t full = stride * (input[d + 2] - 1) + (w[d + 2] - 1) * dilation + 1 + extra;
        int64_t begin = pads[d], end = pads[d + spatial];
        bool sized = !outputShape.empty() || autoPad == "SAME_UPPER" || autoPad == "SAME_LOWER";
        if (sized) {
            int64_t out = outputShape.empty() ? input[d + 2] * stride : outputShape[d];
            int64_t total = full - out;
            int64_t half = total >= 0 ? total / 2 : -((-total + 1) / 2);  // rounded down
            begin = autoPad == "SAME_UPPER" ? half : total - half;
            end = total - begin;
        } else if (autoPad == "VALID") {
            begin = end = 0;
        }
        int64_t out = full - begin - end;
        if (begin < 0 || out <= 0) return "an output shape larger than the padded input allows at its start";
        layer.padBegin.push_back(begin);
        layer.padEnd.push_back(end - extra);
        layer.outputDims.push_back(out);
    }
    return addLayer(builder, node, layer, true);
}

}  // namespace

std::string lowerConvGivenWeights(Builder &builder, const onnx::NodeProto &node) {
    Layer layer;
    std::string reason = readWeights(builder, node, false, &layer);
    if (!reason.empty()) return reason;
    Dims input = builder.dims(node.input(0)), w = builder.dims(node.input(1));
    Window window;
    reason = readWindow(node, input, Dims(w.begin() + 2, w.end()), false, &window);
    if (!reason.empty()) return reason;
    layer.strides = window.strides;
    layer.dilations = window.dilations;
    layer.padBegin = window.padBegin;
    layer.padEnd = window.padEnd;
    layer.outputDims = {input[0], w[0]};
    layer.outputDims.insert(layer.outputDims.end(), window.output.begin(), window.output.end());
    return addLayer(builder, node, layer, false);
}

void registerDeconv(Registry &registry) { registry.add("ConvTranspose", lowerConvTranspose); }

}  // namespace zecl::plan
