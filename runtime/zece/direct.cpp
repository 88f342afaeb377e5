// The direct image operations: each checks its pictures and runs at once.
#include "zece/describe.hpp"
#include "zece/operations.hpp"
#include "zesim/usage.hpp"

using namespace zece;

namespace {

constexpr uint32_t kMaxBatch = 4096;  // outputs of one batch crop-resize or scale

// Maps both pictures, then runs the operation on them.
template <class Operation>
uint32_t onImages(const zeceImageDesc &inDesc, void *in, const zeceImageDesc &outDesc, void *out, Operation operation) {
    Image input, output;
    if (uint32_t status = mapImage(inDesc, in, &input)) return status;
    if (uint32_t status = mapImage(outDesc, out, &output)) return status;
    zesim::usage::Busy busy(zesim::usage::Engine::Preprocess, output.block.device);
    return guarded([&] {
        std::vector<cv::Mat> storage;
        return operation(apart(input, &output, 1, &storage), output);
    });
}

// Every part is checked before the first output is written.
uint32_t resizeParts(zeceResizeType type, const std::vector<Image> &parts, const std::vector<Image> &outputs) {
    for (size_t i = 0; i < parts.size(); ++i)
        if (uint32_t status = checkResize(type, parts[i], outputs[i])) return status;
    const int32_t device = outputs.empty() ? zesim::kNoDevice : outputs[0].block.device;
    zesim::usage::Busy busy(zesim::usage::Engine::Preprocess, device);
    return guarded([&] {
        std::vector<cv::Mat> storage;
        std::vector<Image> sources;
        for (const Image &part : parts) sources.push_back(apart(part, outputs.data(), outputs.size(), &storage));
        for (size_t i = 0; i < parts.size(); ++i)
            if (uint32_t status = resizeImage(type, sources[i], outputs[i])) return status;
        return uint32_t{zeceER_SUCCESS};
    });
}

}  // namespace

uint32_t zeceResize(zeceResizeType type, zeceImageDesc inDesc, void *in, zeceImageDesc outDesc, void *out) {
    ZESIM_CALL(type, inDesc, in, outDesc, out) {
        return onImages(inDesc, in, outDesc, out,
                        [&](const Image &a, const Image &b) { return resizeImage(type, a, b); });
    };
}

uint32_t zeceCrop(const cropRect *rect, zeceImageDesc inDesc, void *in, zeceImageDesc outDesc, void *out) {
    ZESIM_CALL(rect, inDesc, in, outDesc, out) {
        if (!rect) return zeceER_INVALID_PARAM;
        return onImages(inDesc, in, outDesc, out,
                        [&](const Image &a, const Image &b) { return cropImage(*rect, a, b); });
    };
}

uint32_t zeceYuvFlip(zeceFlipType type, zeceImageDesc inDesc, void *in, zeceImageDesc outDesc, void *out) {
    ZESIM_CALL(type, inDesc, in, outDesc, out) {
        return onImages(inDesc, in, outDesc, out,
                        [&](const Image &a, const Image &b) { return flipImage(type, a, b); });
    };
}

uint32_t zeceCvtColor(zeceColorCvtCode code, zeceColorSpace space, zeceImageDesc inDesc, void *in,
                      zeceImageDesc outDesc, void *out) {
    ZESIM_CALL(code, space, inDesc, in, outDesc, out) {
        return onImages(inDesc, in, outDesc, out,
                        [&](const Image &a, const Image &b) { return convertImage(code, YuvCoding{space}, a, b); });
    };
}

uint32_t zeceWarpAffine(const double *matrix, zeceWarpAffineMode mode, zecePaddingType padType,
                        const uint8_t *padValues, void *in, void *out, zeceImageDesc inDesc, zeceImageDesc outDesc) {
    ZESIM_CALL(zesim::array(matrix, ZECE_AFFINE_MATRIX_NUM), mode, padType,
               zesim::array(padValues, ZECE_PADDING_VALUES_NUM), in, out, inDesc, outDesc) {
        if (!matrix || !padValues) return zeceER_INVALID_PARAM;
        return onImages(inDesc, in, outDesc, out, [&](const Image &a, const Image &b) {
            return warpImage(matrix, mode, padType, padValues, a, b);
        });
    };
}

uint32_t zeceResizeCopyMakeBorder(zeceResizeType type, zecePaddingType padType, const uint8_t *padValues,
                                  const zecePaddingEdges *edges, void *in, void *out, zeceImageDesc inDesc,
                                  zeceImageDesc outDesc) {
    ZESIM_CALL(type, padType, zesim::array(padValues, ZECE_PADDING_VALUES_NUM), edges, in, out, inDesc, outDesc) {
        if (!padValues || !edges) return zeceER_INVALID_PARAM;
        return onImages(inDesc, in, outDesc, out, [&](const Image &a, const Image &b) {
            return borderImage(type, padType, padValues, *edges, a, b);
        });
    };
}

uint32_t zeceBatchCropResize(const cropRect *rects, uint32_t count, zeceResizeType type, void *in, void *const *outs,
                             zeceImageDesc inDesc, zeceImageDesc outDesc) {
    ZESIM_CALL(zesim::array(rects, count), count, type, in, zesim::array(outs, count), inDesc, outDesc) {
        if ((count && (!rects || !outs)) || count > kMaxBatch) return zeceER_INVALID_PARAM;
        Image input;
        if (uint32_t status = mapImage(inDesc, in, &input)) return status;
        std::vector<Image> parts(count), outputs(count);
        for (uint32_t i = 0; i < count; ++i) {
            if (uint32_t status = subImage(input, rects[i], &parts[i])) return status;
            if (uint32_t status = mapImage(outDesc, outs[i], &outputs[i])) return status;
        }
        return resizeParts(type, parts, outputs);
    };
}

uint32_t zeceScale(zeceResizeType type, uint32_t count, void *in, const zeceImageDesc *outDescs, void *const *outs,
                   zeceImageDesc inDesc) {
    ZESIM_CALL(type, count, in, zesim::array(outDescs, count), zesim::array(outs, count), inDesc) {
        if ((count && (!outDescs || !outs)) || count > kMaxBatch) return zeceER_INVALID_PARAM;
        Image input;
        if (uint32_t status = mapImage(inDesc, in, &input)) return status;
        std::vector<Image> outputs(count);
        for (uint32_t i = 0; i < count; ++i)
            if (uint32_t status = mapImage(outDescs[i], outs[i], &outputs[i])) return status;
        return resizeParts(type, std::vector<Image>(count, input), outputs);
    };
}
