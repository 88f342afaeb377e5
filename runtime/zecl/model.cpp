// Models: ONNX files, their inputs and outputs, batch sizes and shapes.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <nlohmann/json.hpp>
#include <opencv2/dnn.hpp>

#include "zecl/compute.hpp"
#include "zecl/plan/plan.hpp"
#include "fnlog/fnlog.hpp"
#include "zesim/inventory.hpp"
#include "zesim/status.hpp"

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

// An input needs a declared rank (0 for a scalar); an output may leave its shape out.
bool toPort(const onnx::ValueInfoProto &value, bool input, Port *port) {
    port->name = value.name();
    const auto &tensor = value.type().tensor_type();
    if (!toDType(tensor.elem_type(), &port->type)) return false;
    if (!tensor.has_shape()) {
        port->ranked = false;
        return !input;
    }
    for (const auto &dim : tensor.shape().dim())
        port->dims.push_back(dim.has_dim_value() && dim.dim_value() > 0 ? dim.dim_value() : -1);
    if (!port->dims.empty() && port->dims[0] < 0) port->symbol = tensor.shape().dim(0).dim_param();
    return port->dims.size() <= ZECM_MAX_DIMS;
}

// OpenCV's own words in an exception's text, without the source locations and
// function names it wraps them in ("...: error: (-2:Unspecified error) Can't create
// layer ... in function '...'").
std::string engineReason(std::string text) {
    size_t tag = text.rfind("error: (");
    if (tag != std::string::npos) {
        size_t close = text.find(") ", tag);
        if (close != std::string::npos) text = text.substr(close + 2);
    }
    size_t where = text.rfind(" in function '");
    if (where != std::string::npos) text.resize(where);
    return text;
}

// A refused model file: the status, with the reason for the caller's thread.
uint32_t refuse(const std::string &reason) {
    zesim::noteReason(zeclER_MODEL_FILE, reason);
    return zeclER_MODEL_FILE;
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
    case T::UINT8:
    case T::INT8:
    case T::BOOL:
        bytes = 1;
        typed = tensor.int32_data_size();
        break;
    case T::UINT16:
    case T::INT16:
    case T::FLOAT16:
    case T::BFLOAT16:
        bytes = 2;
        typed = tensor.int32_data_size();
        break;
    case T::INT32:
        bytes = 4;
        typed = tensor.int32_data_size();
        break;
    case T::FLOAT:
        bytes = 4;
        typed = tensor.float_data_size();
        break;
    case T::INT64:
        bytes = 8;
        typed = tensor.int64_data_size();
        break;
    case T::UINT32:
        bytes = 4;
        typed = tensor.uint64_data_size();
        break;
    case T::UINT64:
        bytes = 8;
        typed = tensor.uint64_data_size();
        break;
    case T::DOUBLE:
        bytes = 8;
        typed = tensor.double_data_size();
        break;
    case T::COMPLEX64:
        bytes = 8;
        typed = tensor.float_data_size() / 2;
        break;
    case T::COMPLEX128:
        bytes = 16;
        typed = tensor.double_data_size() / 2;
        break;
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

bool fixedExceptBatch(const Port &port) {
    for (size_t d = 1; d < port.dims.size(); ++d)
        if (port.dims[d] < 0) return false;
    return true;
}

// Whether an input's first dimension is the batch, given the batch input `first`.
// It is when it is declared like the batch input's: the same fixed size, or open.
// A static model must give an open first dimension a size, so it takes the batch;
// a dynamic model's caller sizes it, so one with a symbolic name other than the
// batch input's is a dimension of its own.
bool sharesBatch(const Port &port, const Port &first, bool dynamic) {
    if (port.dims.empty()) return false;
    if (port.dims[0] > 0) return port.dims[0] == first.dims[0];
    if (!dynamic) return true;
    return first.dims[0] < 0 && (port.symbol.empty() || first.symbol.empty() || port.symbol == first.symbol);
}

// Writes the axis that ONNX gives a Softmax or LogSoftmax without one, where OpenCV's
// importer would take another: it takes axis 1, the default before opset 13, while from
// opset 13 on the default is the last axis. Whether the model changed.
bool writeSoftmaxAxes(onnx::ModelProto *proto) {
    int64_t opset = 0;
    for (const auto &import : proto->opset_import())
        if (import.domain().empty() || import.domain() == "ai.onnx") opset = import.version();
    if (opset < 13) return false;
    bool changed = false;
    for (auto &node : *proto->mutable_graph()->mutable_node()) {
        if (!node.domain().empty() || (node.op_type() != "Softmax" && node.op_type() != "LogSoftmax")) continue;
        const auto &attributes = node.attribute();
        if (std::any_of(attributes.begin(), attributes.end(), [](const auto &a) { return a.name() == "axis"; }))
            continue;
        auto *axis = node.add_attribute();
        axis->set_name("axis");
        axis->set_type(onnx::AttributeProto::INT);
        axis->set_i(-1);
        changed = true;
    }
    return changed;
}

// The card's log says which engine took a model, and why not the plan.
void logEngine(const char *path, const Model::Shapes &shapes) {
    if (!fnlog::isOpen()) return;
    std::string message = std::string("model ") + path + ": ";
    if (shapes.plan)
        message += "compiled plan (" + std::to_string(shapes.plan->primitiveCount()) + " primitives, " +
                   std::to_string((shapes.plan->arenaBytes() + 1023) / 1024) + " KiB of activations)";
    else if (shapes.known)
        message += "OpenCV DNN" + (shapes.planReason.empty() ? "" : " (" + shapes.planReason + ")");
    else
        message += "refused (" + shapes.failure + ")";
    fnlog::write("CL", "INFO", {__func__, __FILE__, __LINE__}, message);
    for (const std::string &note : shapes.planNotes)
        fnlog::write("CL", "WARN", {__func__, __FILE__, __LINE__}, std::string("model ") + path + ": " + note);
}

thread_local int runThreadCount = 0;

}  // namespace

Engine engineSetting() {
    auto parse = [](const std::string &value, Engine *engine) {
        if (value == "plan")
            *engine = Engine::Plan;
        else if (value == "opencv")
            *engine = Engine::OpenCV;
        else if (value == "auto")
            *engine = Engine::Auto;
        else
            return false;
        return true;
    };
    Engine engine = Engine::Auto;
    const char *variable = std::getenv("ZESIM_ENGINE");
    if (variable && *variable && parse(variable, &engine)) return engine;
    parse(zesim::inventory().engine, &engine);
    return engine;
}

void setRunThreads(int threads) { runThreadCount = threads; }

int runThreads() {
    return runThreadCount > 0 ? runThreadCount : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::vector<int> networkDims(const std::vector<int64_t> &dims) {
    if (dims.empty()) return {1};
    return {dims.begin(), dims.end()};
}

std::vector<int64_t> outputDims(const std::vector<int64_t> &computed, const Port &port) {
    if (!port.ranked || computed.size() == port.dims.size()) return computed;
    int64_t total = 1;
    for (int64_t d : computed) total *= d;
    auto fill = [total](std::vector<int64_t> dims) -> std::vector<int64_t> {
        int64_t known = 1;
        int open = -1;
        for (size_t d = 0; d < dims.size(); ++d) {
            if (dims[d] > 0) {
                known *= dims[d];
            } else if (open < 0) {
                open = static_cast<int>(d);
            } else {
                return {};  // two open dimensions: no single answer
            }
        }
        if (open < 0) return known == total ? dims : std::vector<int64_t>{};
        if (known <= 0 || total % known || total == 0) return {};
        dims[open] = total / known;
        return dims;
    };
    if (port.dims.empty()) return total == 1 ? port.dims : computed;
    auto dims = fill(port.dims);
    if (dims.empty() && port.dims[0] > 0) {  // a batched output: its first dimension follows the batch
        auto open = port.dims;
        open[0] = -1;
        dims = fill(std::move(open));
    }
    return dims.empty() ? computed : dims;
}

int Model::batchInput() const {
    for (size_t i = 0; i < inputs_.size(); ++i)
        if (!inputs_[i].dims.empty()) return static_cast<int>(i);
    return -1;
}

uint32_t Model::load(const char *path, const char *config, bool dynamic, std::shared_ptr<Model> *loaded) {
    zesim::forgetReason();
    auto model = std::make_shared<Model>();
    model->dynamic_ = dynamic;
    auto bytes = std::make_shared<std::vector<unsigned char>>();
    if (!readFile(path, bytes.get())) return refuse("cannot read the file, or it is empty");
    model->bytes_ = bytes;

    onnx::ModelProto proto;
    if (!proto.ParseFromArray(bytes->data(), static_cast<int>(bytes->size())))
        return refuse("not an ONNX model (its bytes do not parse)");
    if (!definedBeforeUse(proto.graph())) return refuse("the graph reads a value that nothing defines");
    if (!tensorsHoldTheirDims(proto.graph()))
        return refuse("a weight or constant holds other than the elements its dims count");
    bool written = writeSoftmaxAxes(&proto);
    model->proto_ = std::make_shared<onnx::ModelProto>(proto);
    if (written) {  // OpenCV reads the model with the axes written out
        auto written = std::make_shared<std::vector<unsigned char>>(proto.ByteSizeLong());
        if (!proto.SerializeToArray(written->data(), static_cast<int>(written->size())))
            return refuse("the model cannot be written back for the engine");
        model->bytes_ = written;
    }
    std::set<std::string> weights;
    for (const auto &initializer : proto.graph().initializer()) weights.insert(initializer.name());
    for (const auto &input : proto.graph().input()) {
        if (weights.count(input.name())) continue;
        Port port;
        if (!toPort(input, true, &port))
            return refuse("input '" + input.name() + "' has no usable element type or shape");
        if (!dynamic && !fixedExceptBatch(port))
            return refuse("input '" + input.name() + "' leaves a dimension besides the batch open");
        model->inputs_.push_back(std::move(port));
    }
    for (const auto &output : proto.graph().output()) {
        Port port;
        if (!toPort(output, false, &port))
            return refuse("output '" + output.name() + "' has no usable element type or shape");
        model->outputs_.push_back(std::move(port));
    }
    if (model->inputs_.empty() || model->outputs_.empty()) return refuse("the graph has no inputs or no outputs");

    // The batch is the first dimension of the first input that has one; the other
    // inputs follow it only where they share it, and keep their declared shape otherwise.
    int reference = model->batchInput();
    for (Port &port : model->inputs_)
        port.batched = reference >= 0 && sharesBatch(port, model->inputs_[reference], dynamic);
    int64_t declaredBatch = reference >= 0 ? model->inputs_[reference].dims[0] : 1;
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
        logEngine(path, model->shapes_);
        if (!model->shapes_.known) return refuse("the engine cannot run it: " + model->shapes_.failure);
    }
    *loaded = std::move(model);
    return zeclER_SUCCESS;
}

Model::Shapes Model::derive(uint32_t batch, std::vector<std::vector<int64_t>> inputs) const {
    Shapes shapes;
    shapes.batch = batch;
    for (size_t i = 0; i < inputs_.size(); ++i)
        if (inputs_[i].batched) inputs[i][0] = batch;
    shapes.inputs = std::move(inputs);
    Engine engine = engineSetting();
    if (engine != Engine::OpenCV && derivePlanned(&shapes)) return shapes;
    if (engine == Engine::Plan) {
        shapes.failure = "the compiled plan does not cover it: " + shapes.planReason;
        return shapes;
    }
    deriveWithOpenCV(&shapes);
    return shapes;
}

bool Model::derivePlanned(Shapes *shapes) const {
    auto compiled = plan::compile(proto_, shapes->inputs, runThreads());
    if (!compiled.plan) {
        shapes->planReason = compiled.reason;
        return false;
    }
    const auto &computed = compiled.plan->outputShapes();
    shapes->outputs.clear();
    for (size_t j = 0; j < outputs_.size(); ++j) shapes->outputs.push_back(outputDims(computed[j], outputs_[j]));
    shapes->plan = std::move(compiled.plan);
    shapes->planNotes = std::move(compiled.notes);
    shapes->known = true;
    return true;
}

void Model::deriveWithOpenCV(Shapes *shapes) const {
    // Output shapes come from a run of OpenCV's network on zeros of the input shapes:
    // exactly what a real run will produce.
    const auto &inputs = shapes->inputs;
    try {
        shapes->network = networkFor(inputs);
        if (!shapes->network) {
            shapes->failure = "its inputs cannot be declared in these shapes";
            return;
        }
        cv::dnn::Net net = cv::dnn::readNetFromONNX(*shapes->network);
        for (size_t i = 0; i < inputs_.size(); ++i)
            net.setInput(cv::Mat(networkDims(inputs[i]), CV_32F, cv::Scalar(0)), inputs_[i].name);
        std::vector<std::string> names;
        for (const Port &port : outputs_) names.push_back(port.name);
        std::vector<cv::Mat> results;
        net.forward(results, names);
        for (size_t j = 0; j < results.size(); ++j)
            shapes->outputs.push_back(
                outputDims({results[j].size.p, results[j].size.p + results[j].dims}, outputs_[j]));
    } catch (const cv::Exception &error) {
        shapes->failure = engineReason(error.err);
        return;  // not known
    } catch (const std::exception &error) {
        shapes->failure = error.what();
        return;
    }
    shapes->known = true;
}

std::shared_ptr<const std::vector<unsigned char>> Model::networkFor(
    const std::vector<std::vector<int64_t>> &inputs) const {
    bool declared = true;
    for (size_t i = 0; i < inputs_.size(); ++i) declared = declared && inputs[i] == inputs_[i].dims;
    if (declared) return bytes_;
    onnx::ModelProto proto;
    if (!proto.ParseFromArray(bytes_->data(), static_cast<int>(bytes_->size()))) return nullptr;
    for (auto &value : *proto.mutable_graph()->mutable_input()) {
        auto port = std::find_if(inputs_.begin(), inputs_.end(),
                                 [&](const Port &input) { return input.name == value.name(); });
        if (port == inputs_.end()) continue;  // a weight
        auto *shape = value.mutable_type()->mutable_tensor_type()->mutable_shape();
        shape->clear_dim();
        for (int64_t d : inputs[port - inputs_.begin()]) shape->add_dim()->set_dim_value(d);
    }
    auto bytes = std::make_shared<std::vector<unsigned char>>(proto.ByteSizeLong());
    if (!proto.SerializeToArray(bytes->data(), static_cast<int>(bytes->size()))) return nullptr;
    return bytes;
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
            if (value <= 0 || ((d > 0 || !port.batched) && port.dims[d] > 0 && value != port.dims[d]))
                return zeclER_BATCH_SIZE;
        }
    }
    return zeclER_SUCCESS;
}

uint32_t Model::setInputShapes(const zecmShape *shapes, uint32_t count) {
    if (uint32_t status = checkShapes(shapes, count)) return status;
    int reference = batchInput();
    int64_t batch = reference >= 0 ? shapes[reference].dims[0] : 1;
    std::vector<std::vector<int64_t>> inputs;
    for (uint32_t i = 0; i < count; ++i) {
        if (inputs_[i].batched && shapes[i].dims[0] != batch) return zeclER_BATCH_SIZE;  // one batch
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
