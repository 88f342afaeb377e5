// Models: ONNX files, their inputs and outputs, batch sizes and shapes.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <nlohmann/json.hpp>
#include <opencv2/dnn.hpp>

#include "compute/compute.hpp"

namespace zecl {
namespace {

constexpr uint32_t kDefaultDynamicMaxBatch = 16;

bool toDType(int onnxType, zecmDType *type) {
    switch (onnxType) {
    case onnx::TensorProto::FLOAT: *type = zecmDT_FLOAT32; return true;
    case onnx::TensorProto::FLOAT16: *type = zecmDT_FLOAT16; return true;
    case onnx::TensorProto::UINT8: *type = zecmDT_UINT8; return true;
    case onnx::TensorProto::INT8: *type = zecmDT_INT8; return true;
    case onnx::TensorProto::UINT16: *type = zecmDT_UINT16; return true;
    case onnx::TensorProto::INT16: *type = zecmDT_INT16; return true;
    case onnx::TensorProto::INT32: *type = zecmDT_INT32; return true;
    default: return false;  // no OpenCV element type to carry it
    }
}

bool toPort(const onnx::ValueInfoProto &value, Port *port) {
    port->name = value.name();
    const auto &tensor = value.type().tensor_type();
    if (!toDType(tensor.elem_type(), &port->type)) return false;
    for (const auto &dim : tensor.shape().dim())
        port->dims.push_back(dim.has_dim_value() && dim.dim_value() > 0 ? dim.dim_value() : -1);
    return !port->dims.empty() && port->dims.size() <= ZECM_MAX_DIMS;
}

bool readFile(const char *path, std::vector<unsigned char> *bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !bytes->empty();
}

// Every value a node reads (or the graph gives out) is a graph input, a weight, or an
// output of a node before it: OpenCV's importer dereferences what it finds for each
// name unchecked, and crashes on a name nothing defines.
bool definedBeforeUse(const onnx::GraphProto &graph) {
    std::set<std::string> defined;
    for (const auto &input : graph.input()) defined.insert(input.name());
    for (const auto &initializer : graph.initializer()) defined.insert(initializer.name());
    for (const auto &node : graph.node()) {
        for (const auto &input : node.input())
            if (!input.empty() && !defined.count(input)) return false;
        for (const auto &output : node.output()) defined.insert(output);
    }
    for (const auto &output : graph.output())
        if (!defined.count(output.name())) return false;
    return true;
}

// Whether a weight tensor holds exactly the elements its dims count, in raw bytes or
// in the typed field of its type: OpenCV's importer copies the dims' count of elements
// from the data unchecked, and read past a short one.
bool holdsItsDims(const onnx::TensorProto &tensor) {
    uint64_t count = 1;
    for (int64_t dim : tensor.dims()) {
        if (dim < 0 || (dim && count > (uint64_t{1} << 40) / static_cast<uint64_t>(dim))) return false;
        count *= static_cast<uint64_t>(dim);
    }
    using T = onnx::TensorProto;
    uint64_t bytes = 0, typed = 0;  // bytes of an element; typed elements present
    switch (tensor.data_type()) {
    case T::UINT8: case T::INT8: case T::BOOL: bytes = 1; typed = tensor.int32_data_size(); break;
    case T::UINT16: case T::INT16: case T::FLOAT16: case T::BFLOAT16: bytes = 2; typed = tensor.int32_data_size(); break;
    case T::INT32: bytes = 4; typed = tensor.int32_data_size(); break;
    case T::FLOAT: bytes = 4; typed = tensor.float_data_size(); break;
    case T::INT64: bytes = 8; typed = tensor.int64_data_size(); break;
    case T::UINT32: bytes = 4; typed = tensor.uint64_data_size(); break;
    case T::UINT64: bytes = 8; typed = tensor.uint64_data_size(); break;
    case T::DOUBLE: bytes = 8; typed = tensor.double_data_size(); break;
    case T::COMPLEX64: bytes = 8; typed = tensor.float_data_size() / 2; break;
    case T::COMPLEX128: bytes = 16; typed = tensor.double_data_size() / 2; break;
    default: return false;
    }
    return tensor.has_raw_data() ? tensor.raw_data().size() == count * bytes : typed == count;
}

// The weights and the tensors of node attributes (Constant's value) hold their dims.
bool tensorsHoldTheirDims(const onnx::GraphProto &graph) {
    for (const auto &initializer : graph.initializer())
        if (!holdsItsDims(initializer)) return false;
    for (const auto &node : graph.node())
        for (const auto &attribute : node.attribute()) {
            if (attribute.has_t() && !holdsItsDims(attribute.t())) return false;
            for (const auto &tensor : attribute.tensors())
                if (!holdsItsDims(tensor)) return false;
        }
    return true;
}

std::vector<int> matShape(const std::vector<int64_t> &dims) { return {dims.begin(), dims.end()}; }

bool fixedExceptBatch(const Port &port) {
    for (size_t d = 1; d < port.dims.size(); ++d)
        if (port.dims[d] < 0) return false;
    return true;
}

}  // namespace

uint32_t Model::load(const char *path, const char *config, bool dynamic,
                     std::shared_ptr<Model> *loaded) {
    auto model = std::make_shared<Model>();
    model->dynamic_ = dynamic;
    if (!readFile(path, &model->bytes_)) return zeclER_MODEL_FILE;

    onnx::ModelProto proto;
    if (!proto.ParseFromArray(model->bytes_.data(), static_cast<int>(model->bytes_.size())))
        return zeclER_MODEL_FILE;
    if (!definedBeforeUse(proto.graph()) || !tensorsHoldTheirDims(proto.graph())) return zeclER_MODEL_FILE;
    std::set<std::string> weights;
    for (const auto &initializer : proto.graph().initializer()) weights.insert(initializer.name());
    for (const auto &input : proto.graph().input()) {
        if (weights.count(input.name())) continue;
        Port port;
        if (!toPort(input, &port)) return zeclER_MODEL_FILE;
        if (!dynamic && !fixedExceptBatch(port)) return zeclER_MODEL_FILE;
        model->inputs_.push_back(std::move(port));
    }
    for (const auto &output : proto.graph().output()) {
        Port port;
        if (!toPort(output, &port)) return zeclER_MODEL_FILE;
        model->outputs_.push_back(std::move(port));
    }
    if (model->inputs_.empty() || model->outputs_.empty()) return zeclER_MODEL_FILE;

    int64_t declaredBatch = model->inputs_[0].dims[0];
    uint32_t maxBatch = declaredBatch > 0 ? static_cast<uint32_t>(declaredBatch)
                                          : (dynamic ? kDefaultDynamicMaxBatch : 1);
    try {
        nlohmann::json options = config && *config ? nlohmann::json::parse(config) : nlohmann::json::object();
        if (!options.is_object()) return zeclER_INVALID_PARAM;
        if (options.contains("maxBatchSize")) {
            // A whole positive count: -1 or 1.5 must not wrap or round into one.
            const auto &value = options["maxBatchSize"];
            if (!value.is_number_unsigned() || value.get<uint64_t>() > UINT32_MAX) return zeclER_INVALID_PARAM;
            maxBatch = value.get<uint32_t>();
        }
    } catch (const std::exception &) {
        return zeclER_INVALID_PARAM;
    }
    if (maxBatch == 0) return zeclER_INVALID_PARAM;
    model->maxBatch_ = maxBatch;

    bool allFixed = true;
    std::vector<std::vector<int64_t>> inputs;
    for (const Port &port : model->inputs_) {
        inputs.push_back(port.dims);
        for (int64_t d : port.dims) allFixed = allFixed && d > 0;
    }
    uint32_t batch = declaredBatch > 0 ? std::min<uint32_t>(declaredBatch, maxBatch) : 1;
    if (!dynamic || allFixed) {
        model->shapes_ = model->derive(batch, std::move(inputs));
        if (!model->shapes_.known) return zeclER_MODEL_FILE;  // OpenCV cannot run it
    }
    *loaded = std::move(model);
    return zeclER_SUCCESS;
}

Model::Shapes Model::derive(uint32_t batch, std::vector<std::vector<int64_t>> inputs) const {
    Shapes shapes;
    shapes.batch = batch;
    for (auto &dims : inputs) dims[0] = batch;
    // Output shapes come from a run of OpenCV's network on zeros of the input shapes:
    // exactly what a real run will produce.
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(bytes_);
        for (size_t i = 0; i < inputs_.size(); ++i)
            net.setInput(cv::Mat(matShape(inputs[i]), CV_32F, cv::Scalar(0)), inputs_[i].name);
        std::vector<std::string> names;
        for (const Port &port : outputs_) names.push_back(port.name);
        std::vector<cv::Mat> results;
        net.forward(results, names);
        for (const cv::Mat &result : results)
            shapes.outputs.emplace_back(result.size.p, result.size.p + result.dims);
    } catch (const std::exception &) {
        return shapes;  // not known
    }
    shapes.inputs = std::move(inputs);
    shapes.known = true;
    return shapes;
}

Model::Shapes Model::shapes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shapes_;
}

uint32_t Model::setBatch(uint32_t batch) {
    if (batch == 0 || batch > maxBatch_) return zeclER_BATCH_SIZE;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!shapes_.known) return zeclER_BATCH_SIZE;  // a dynamic model needs its input shapes first
    if (batch == shapes_.batch) return zeclER_SUCCESS;
    Shapes derived = derive(batch, shapes_.inputs);
    if (!derived.known) return zeclER_BATCH_SIZE;
    shapes_ = std::move(derived);
    return zeclER_SUCCESS;
}

uint32_t Model::checkShapes(const zecmShape *shapes, uint32_t count) const {
    if (count != inputs_.size() || !shapes) return zeclER_INVALID_PARAM;
    for (uint32_t i = 0; i < count; ++i) {
        const Port &port = inputs_[i];
        if (shapes[i].ndims != port.dims.size()) return zeclER_BATCH_SIZE;
        for (size_t d = 0; d < port.dims.size(); ++d) {
            int64_t value = shapes[i].dims[d];
            if (value <= 0 || (d > 0 && port.dims[d] > 0 && value != port.dims[d]))
                return zeclER_BATCH_SIZE;
        }
    }
    return zeclER_SUCCESS;
}

uint32_t Model::setInputShapes(const zecmShape *shapes, uint32_t count) {
    if (uint32_t status = checkShapes(shapes, count)) return status;
    int64_t batch = shapes[0].dims[0];
    std::vector<std::vector<int64_t>> inputs;
    for (uint32_t i = 0; i < count; ++i) {
        if (shapes[i].dims[0] != batch) return zeclER_BATCH_SIZE;  // one batch for all inputs
        inputs.emplace_back(shapes[i].dims, shapes[i].dims + shapes[i].ndims);
    }
    if (static_cast<uint64_t>(batch) > maxBatch_) return zeclER_BATCH_SIZE;
    Shapes derived = derive(static_cast<uint32_t>(batch), std::move(inputs));
    if (!derived.known) return zeclER_BATCH_SIZE;
    std::lock_guard<std::mutex> lock(mutex_);
    shapes_ = std::move(derived);
    return zeclER_SUCCESS;
}

uint32_t Model::maxBatchFor(const zecmShape *shapes, uint32_t count, uint32_t *batch) const {
    if (uint32_t status = checkShapes(shapes, count)) return status;
    *batch = maxBatch_;
    return zeclER_SUCCESS;
}

}  // namespace zecl
