// One model run, with its compiled plan or OpenCV's DNN module, from and into
// device memory.
#include <cstring>
#include <opencv2/dnn.hpp>

#include "zecl/compute.hpp"
#include "zecl/plan/plan.hpp"
#include "zesim/usage.hpp"

namespace zecl {
namespace {

int cvDepth(zecmDType type) {
    switch (type) {
    case zecmDT_UINT8: return CV_8U;
    case zecmDT_INT8: return CV_8S;
    case zecmDT_UINT16: return CV_16U;
    case zecmDT_INT16: return CV_16S;
    case zecmDT_INT32: return CV_32S;
    case zecmDT_FLOAT16: return CV_16F;
    default: return CV_32F;
    }
}

// One network per model and worker thread: OpenCV networks are not shared between
// threads. The entry keeps its model alive, so an address is never reused under it;
// it is read again when the model's shapes gave OpenCV another file to read.
cv::dnn::Net &network(const std::shared_ptr<Model> &model, const Model::Shapes &shapes) {
    struct Entry {
        std::shared_ptr<Model> model;
        std::shared_ptr<const std::vector<unsigned char>> bytes;
        cv::dnn::Net net;
    };
    thread_local std::map<const Model *, Entry> cache;
    auto &entry = cache[model.get()];
    if (entry.bytes != shapes.network) {
        entry.net = cv::dnn::readNetFromONNX(*shapes.network);
        entry.bytes = shapes.network;
        entry.model = model;
    }
    return entry.net;
}

// The bytes of one dataset member and the device block that holds them.
struct Member {
    void *address = nullptr;
    uint64_t size = 0;
    zesim::Entry block;  // holding it keeps the memory alive during the run
};

uint32_t resolve(void *handle, zecmDatasetMode mode, Member *member) {
    switch (zecm::memberMemory(handle, mode, &member->address, &member->size)) {
    case zecmER_SUCCESS: return zeclER_SUCCESS;
    case zecmER_INVALID_HANDLE: return zeclER_INVALID_HANDLE;
    default: return zeclER_INVALID_PARAM;
    }
}

void destroyMember(void *member) {
    if (!zesim::unregisterHandle(member, zesim::Kind::DataBuffer)) zesim::unregisterHandle(member, zesim::Kind::Tensor);
}

// A scalar's shape is [1]: tensors have one dimension or more.
zecmShape toShape(const std::vector<int64_t> &dims) {
    if (dims.empty()) return toShape(std::vector<int64_t>{1});
    zecmShape shape{};
    shape.ndims = static_cast<uint32_t>(std::min<size_t>(dims.size(), ZECM_MAX_DIMS));
    std::copy(dims.begin(), dims.begin() + shape.ndims, shape.dims);
    return shape;
}

// A member over a new block of device memory of `bytes`, holding a tensor of `dims`:
// `fill` writes the block; a failure of it leaves nothing behind.
template <typename Fill> uint32_t newMember(uint64_t bytes, const std::vector<int64_t> &dims, zecmDType type,
                                            zecmDatasetMode mode, uint32_t device, Fill fill, void **member) {
    void *block = nullptr;
    if (zecm::allocateBlock(zesim::Kind::DeviceMemory, bytes ? bytes : 1, device, &block)) return zeclER_OUT_OF_MEMORY;
    auto owned = std::make_unique<zecm::OwnedBlock>(block, zesim::Kind::DeviceMemory);
    if (uint32_t status = fill(block)) return status;
    zecmDeviceInfo info{zecmDE_ZECC, device};
    if (mode == zecmDM_BUFFER) {
        *member = zecm::newDataBuffer(info, block, bytes, std::move(owned));
        return zeclER_SUCCESS;
    }
    auto tensor = std::make_shared<zecm::Tensor>();
    tensor->info = info;
    tensor->shape = toShape(dims);
    tensor->type = type;
    tensor->data = block;
    tensor->owned = std::move(owned);
    *member = zesim::adopt(std::move(tensor), zesim::Kind::Tensor, static_cast<int32_t>(device));
    return zeclER_SUCCESS;
}

// A new member of device memory holding `result`, a tensor of the output's `dims`.
uint32_t store(const cv::Mat &result, const std::vector<int64_t> &dims, zecmDType type, zecmDatasetMode mode,
               uint32_t device, void **member) {
    // The network's own result is copied once, straight into device memory, when
    // its element type is already the output's (as it is for float outputs).
    cv::Mat converted = result;
    if (result.depth() != cvDepth(type)) result.convertTo(converted, cvDepth(type));
    if (!converted.isContinuous()) converted = converted.clone();
    uint64_t bytes = converted.total() * converted.elemSize();
    auto copy = [&](void *block) {
        std::memcpy(block, converted.data, bytes);
        return uint32_t{zeclER_SUCCESS};
    };
    return newMember(bytes, dims, type, mode, device, copy, member);
}

// The members of `input` checked against the model's inputs in these shapes: in
// this device's memory, and at least as long as their input.
uint32_t resolveInputs(const Model &model, const Model::Shapes &shapes, const std::vector<void *> &handles,
                       zecmDatasetMode mode, uint32_t device, std::vector<Member> *members) {
    const auto &ports = model.inputs();
    if (handles.size() != ports.size()) return zeclER_INVALID_PARAM;
    members->resize(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        Member &member = (*members)[i];
        if (uint32_t status = resolve(handles[i], mode, &member)) return status;
        uint64_t expected = 0;
        zecm::tensorBytes(toShape(shapes.inputs[i]), ports[i].type, &expected);
        if (member.size < expected) return zeclER_INVALID_PARAM;
        if (zecm::findRange(member.address, expected, &member.block) || !zecm::isDeviceKind(member.block.kind) ||
            member.block.device != static_cast<int32_t>(device))
            return zeclER_INVALID_PARAM;  // not in this device's memory, or shorter than the input
    }
    return zeclER_SUCCESS;
}

// An input's values as the networks compute them: 32-bit floats.
cv::Mat floatInput(const Member &member, const std::vector<int64_t> &dims, zecmDType type) {
    cv::Mat wrapped(networkDims(dims), cvDepth(type), member.address);
    if (wrapped.depth() == CV_32F) return wrapped;
    cv::Mat blob;
    wrapped.convertTo(blob, CV_32F);
    return blob;
}

void discard(std::vector<void *> *outputs) {
    for (void *made : *outputs) destroyMember(made);
    outputs->clear();
}

size_t elementCount(const std::vector<int64_t> &dims) {
    size_t count = 1;
    for (int64_t d : dims) count *= static_cast<size_t>(d);
    return count;
}

// Float32 outputs are written by the plan straight into their device blocks;
// outputs of other types through a float32 buffer, converted as they are stored.
uint32_t runPlanned(const Model &model, const Model::Shapes &shapes, const std::vector<Member> &members,
                    zecmDatasetMode mode, uint32_t device, std::vector<void *> *outputs) {
    std::vector<cv::Mat> blobs;
    std::vector<const float *> inputs;
    for (size_t i = 0; i < members.size(); ++i) {
        blobs.push_back(floatInput(members[i], shapes.inputs[i], model.inputs()[i].type));
        inputs.push_back(blobs.back().ptr<float>());
    }
    size_t count = shapes.outputs.size();
    std::vector<void *> made(count, nullptr);  // the output members, in the model's order
    auto fail = [&made](uint32_t status) {
        for (void *member : made)
            if (member) destroyMember(member);
        return status;
    };
    std::vector<float *> targets(count, nullptr);
    std::vector<std::vector<float>> converted(count);
    for (size_t j = 0; j < count; ++j) {
        const Port &port = model.outputs()[j];
        size_t elements = elementCount(shapes.outputs[j]);
        if (port.type != zecmDT_FLOAT32) {
            converted[j].resize(elements);
            targets[j] = converted[j].data();
            continue;
        }
        auto keep = [&target = targets[j]](void *block) {
            target = static_cast<float *>(block);
            return uint32_t{zeclER_SUCCESS};
        };
        if (uint32_t status = newMember(elements * sizeof(float), shapes.outputs[j], port.type, mode, device, keep,
                                        &made[j]))
            return fail(status);
    }
    try {
        std::string error;
        if (!shapes.plan->run(inputs, targets, runThreads(), &error)) return fail(zeclER_INFERENCE);
        for (size_t j = 0; j < count; ++j) {
            if (made[j]) continue;
            cv::Mat result(networkDims(shapes.outputs[j]), CV_32F, converted[j].data());
            if (uint32_t status = store(result, shapes.outputs[j], model.outputs()[j].type, mode, device, &made[j]))
                return fail(status);
        }
    } catch (const std::exception &) {
        return fail(zeclER_INFERENCE);
    }
    *outputs = std::move(made);
    return zeclER_SUCCESS;
}

uint32_t runWithOpenCV(const std::shared_ptr<Model> &model, const Model::Shapes &shapes,
                       const std::vector<Member> &members, zecmDatasetMode mode, uint32_t device,
                       std::vector<void *> *outputs) {
    cv::dnn::Net &net = network(model, shapes);
    const auto &ports = model->inputs();
    for (size_t i = 0; i < ports.size(); ++i)
        net.setInput(floatInput(members[i], shapes.inputs[i], ports[i].type), ports[i].name);
    std::vector<std::string> names;
    for (const Port &port : model->outputs()) names.push_back(port.name);
    std::vector<cv::Mat> results;
    net.forward(results, names);
    for (size_t j = 0; j < results.size(); ++j) {
        void *member = nullptr;
        const Port &port = model->outputs()[j];
        auto dims = outputDims({results[j].size.p, results[j].size.p + results[j].dims}, port);
        if (uint32_t status = store(results[j], dims, port.type, mode, device, &member)) {
            discard(outputs);
            return status;
        }
        outputs->push_back(member);
    }
    return zeclER_SUCCESS;
}

}  // namespace

uint32_t infer(const std::shared_ptr<Model> &model, const std::shared_ptr<zecm::Dataset> &input, uint32_t device,
               std::vector<void *> *outputs) {
    zesim::usage::Busy busy(zesim::usage::Engine::Compute, device);  // the run's time on the device
    Model::Shapes shapes = model->shapes();
    if (!shapes.known) return zeclER_BATCH_SIZE;
    std::vector<void *> handles;
    zecmDatasetMode mode;
    zecm::datasetMembers(*input, &handles, &mode);
    std::vector<Member> members;
    if (uint32_t status = resolveInputs(*model, shapes, handles, mode, device, &members)) return status;
    try {
        if (shapes.plan) return runPlanned(*model, shapes, members, mode, device, outputs);
        return runWithOpenCV(model, shapes, members, mode, device, outputs);
    } catch (const std::exception &) {
        discard(outputs);
        return zeclER_INFERENCE;
    }
}

}  // namespace zecl
