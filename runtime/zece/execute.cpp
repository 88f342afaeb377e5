// executeOp: an op runs on the members of its input and output datasets (one
// picture per data buffer or tensor), with everything else from its attributes.
#include <cstring>

#include "zecm/objects.hpp"
#include "zece/customized.hpp"
#include "zece/fused.hpp"
#include "zece/op_types.hpp"
#include "zesim/status.hpp"
#include "zesim/usage.hpp"

namespace zece {
namespace {

constexpr zeceImageDesc kRequired = {-1, -1, 0, 0, zeceIMG_YUV_NV12};

// The memory of every member of a dataset, each inside a live device block.
uint32_t buffersOf(void *dataset, std::vector<Buffer> *buffers) {
    auto object = zecm::findDataset(dataset);
    if (!object) return zeceER_INVALID_HANDLE;
    std::vector<void *> members;
    zecmDatasetMode mode;
    zecm::datasetMembers(*object, &members, &mode);
    for (void *member : members) {
        Buffer buffer;
        void *address = nullptr;
        switch (zecm::memberMemory(member, mode, &address, &buffer.size)) {
        case zecmER_SUCCESS: break;
        case zecmER_INVALID_HANDLE: return zeceER_INVALID_HANDLE;
        default: return zeceER_INVALID_PARAM;
        }
        if (zecm::findRange(address, buffer.size, &buffer.block) || !zecm::isDeviceKind(buffer.block.kind))
            return zeceER_INVALID_ADDRESS;
        buffer.data = static_cast<uint8_t *>(address);
        buffers->push_back(std::move(buffer));
    }
    return zeceER_SUCCESS;
}

// The output format an op writes unless told: a conversion's own, else the input's.
zeceImageType outputFormat(zeceOpType type, const Settings &settings, zeceImageType input) {
    if (type != zeceOP_CVT_COLOR) return input;
    switch (enumeration(settings, "colorCvtCode", zeceCOLOR_NO_CHANGE)) {
    case zeceCOLOR_YUV2RGB_NV12: return zeceIMG_RGB888;
    case zeceCOLOR_YUV2BGR_NV12: return zeceIMG_BGR888;
    case zeceCOLOR_BGR2RGB: return input == zeceIMG_RGB888 ? zeceIMG_BGR888 : zeceIMG_RGB888;
    case zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:
    case zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:
    case zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR:
    case zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR: return zeceIMG_RGB_PLANAR;
    case zeceCOLOR_RGB2YUV_NV12_PLANAR:
    case zeceCOLOR_BGR2YUV_NV12_PLANAR: return zeceIMG_YUV_NV12;
    case zeceCOLOR_NO_CHANGE: return input;
    default: return zeceIMG_GRAY;
    }
}

uint32_t copyMembers(const std::vector<Buffer> &inputs, const std::vector<Buffer> &outputs) {
    if (inputs.empty() || inputs.size() != outputs.size()) return zeceER_INVALID_PARAM;
    for (size_t i = 0; i < inputs.size(); ++i)
        if (outputs[i].size < inputs[i].size) return zeceER_BUFFER_TOO_SMALL;
    for (size_t i = 0; i < inputs.size(); ++i) std::memmove(outputs[i].data, inputs[i].data, inputs[i].size);
    return zeceER_SUCCESS;
}

// Ops on one input picture and `outputs.size()` output pictures.
uint32_t executeImageOp(zeceOpType type, const Settings &settings, const std::vector<Buffer> &inputs,
                        const std::vector<Buffer> &outputs) {
    bool many = type == zeceOP_SCALE || type == zeceOP_BATCH_CROP_RESIZE;
    if (inputs.size() != 1 || outputs.empty() || (!many && outputs.size() != 1)) return zeceER_INVALID_PARAM;
    zeceImageDesc inDesc;
    if (uint32_t status = descriptor(settings, "input", kRequired, -1, &inDesc)) return status;
    Image input;
    if (uint32_t status = mapImage(inDesc, inputs[0].data, &input, inputs[0].size)) return status;

    zeceImageDesc defaults = kRequired;
    defaults.format = outputFormat(type, settings, inDesc.format);
    cropRect rect{};
    if (type == zeceOP_CROP) {
        if (uint32_t status = cropRectangle(settings, -1, &rect)) return status;
        defaults.width = rect.width;
        defaults.height = rect.height;
    } else if (type == zeceOP_FLIP || type == zeceOP_CVT_COLOR) {
        defaults.width = inDesc.width;
        defaults.height = inDesc.height;
    }
    std::vector<Image> images(outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
        zeceImageDesc outDesc;
        int index = type == zeceOP_SCALE ? static_cast<int>(i) : -1;
        if (uint32_t status = descriptor(settings, "output", defaults, index, &outDesc)) return status;
        if (uint32_t status = mapImage(outDesc, outputs[i].data, &images[i], outputs[i].size)) return status;
    }
    const Image &output = images[0];
    std::vector<cv::Mat> storage;
    input = apart(input, images.data(), images.size(), &storage);
    zeceResizeType resize = enumeration(settings, "resizeType", zeceRESIZE_BILINEAR);
    uint8_t values[ZECE_PADDING_VALUES_NUM];
    paddingValues(settings, values);
    zecePaddingType padType = enumeration(settings, "paddingType", zeceEDGE_PADDING_TYPE_CONSTANT);

    switch (type) {
    case zeceOP_RESIZE: return resizeImage(resize, input, output);
    case zeceOP_CROP: return cropImage(rect, input, output);
    case zeceOP_FLIP:
        if (!settings.has("flipType")) return notReady("flipType");
        return flipImage(enumeration(settings, "flipType", zeceFLIP_X_AXIS), input, output);
    case zeceOP_CVT_COLOR: {
        if (!settings.has("colorCvtCode")) return notReady("colorCvtCode");
        YuvCoding coding{enumeration(settings, "colorSpace", zeceCOLOR_SPACE_BT601)};
        if (uint32_t status = yuvCoding(settings, true, &coding)) return status;
        return convertImage(enumeration(settings, "colorCvtCode", zeceCOLOR_NO_CHANGE), coding, input, output);
    }
    case zeceOP_WARP_AFFINE: {
        double matrix[ZECE_AFFINE_MATRIX_NUM];
        for (int i = 0; i < ZECE_AFFINE_MATRIX_NUM; ++i)
            if (!settings.get("affineMatrix", &matrix[i], i)) return notReady("all 6 entries of affineMatrix");
        return warpImage(matrix, enumeration(settings, "warpAffineMode", zeceWARP_AFFINE_MODE_BILINEAR), padType,
                         values, input, output);
    }
    case zeceOP_COPY_MAKE_BORDER: {
        auto edge = [&](const char *name) {
            return static_cast<uint32_t>(
                std::max<int64_t>(0, std::min<int64_t>(UINT32_MAX, settings.integer(name, 0))));
        };
        zecePaddingEdges edges{edge("paddingTop"), edge("paddingBottom"), edge("paddingLeft"), edge("paddingRight")};
        return borderImage(resize, padType, values, edges, input, output);
    }
    case zeceOP_SCALE:
        for (const Image &image : images)
            if (uint32_t status = checkResize(resize, input, image)) return status;
        for (const Image &image : images)
            if (uint32_t status = resizeImage(resize, input, image)) return status;
        return zeceER_SUCCESS;
    default: {  // zeceOP_BATCH_CROP_RESIZE
        std::vector<Image> parts(images.size());
        for (size_t i = 0; i < images.size(); ++i) {
            if (uint32_t status = cropRectangle(settings, static_cast<int>(i), &rect)) return status;
            if (uint32_t status = subImage(input, rect, &parts[i])) return status;
            if (uint32_t status = checkResize(resize, parts[i], images[i])) return status;
        }
        for (size_t i = 0; i < images.size(); ++i)
            if (uint32_t status = resizeImage(resize, parts[i], images[i])) return status;
        return zeceER_SUCCESS;
    }
    }
}

uint32_t executeBuiltin(zeceOpType type, const Settings &settings, const std::vector<Buffer> &inputs,
                        const std::vector<Buffer> &outputs) {
    switch (opTraits(type).kind) {
    case OpKind::Copy: return copyMembers(inputs, outputs);
    case OpKind::Image: return executeImageOp(type, settings, inputs, outputs);
    default: break;  // fused: ops of no other kind are made
    }
    if (inputs.size() != 1 || outputs.size() != 1) return zeceER_INVALID_PARAM;
    return executeFused(type, settings, inputs[0], outputs[0]);
}

}  // namespace
}  // namespace zece

using namespace zece;

uint32_t zeceExecuteOp(zeceOp *op, zecmDataset *input, zecmDataset *output) {
    ZESIM_CALL(op, input, output) {
        zesim::forgetReason();  // a reason noted now is this run's
        return guarded([&] {
            auto object = findOp(op);
            if (!object) return uint32_t{zeceER_INVALID_HANDLE};
            std::vector<Buffer> inputs, outputs;
            if (uint32_t status = buffersOf(input, &inputs)) return status;
            if (uint32_t status = buffersOf(output, &outputs)) return status;
            // The op's time counts on the device of its output (else its input) memory.
            const auto &pictures = outputs.empty() ? inputs : outputs;
            zesim::usage::Busy busy(zesim::usage::Engine::Preprocess,
                                    pictures.empty() ? zesim::kNoDevice : pictures[0].block.device);
            if (object->type == zeceOP_CUSTOMIZED_OP) return executeCustomized(*object, inputs, outputs);
            Attributes attributes;
            {
                std::lock_guard<std::mutex> lock(object->mutex);
                attributes = object->attributes;
            }
            return executeBuiltin(object->type, Settings(std::move(attributes)), inputs, outputs);
        });
    };
}
