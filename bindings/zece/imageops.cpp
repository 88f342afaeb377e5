// Direct image operations: resize, crop, flip, colour conversion, affine warp,
// resize with border, batch crop-resize and scale, run at once by the runtime.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "groups.hpp"
#include "records.hpp"

namespace halvora::zece {
namespace {

// A vector copied into a fixed runtime array: longer than the array is refused,
// shorter leaves the remaining elements 0.
template <class T, size_t N> std::array<T, N> fixedArray(const std::vector<T> &items, const char *what) {
    if (items.size() > N)
        throw py::value_error(std::string(what) + " holds " + std::to_string(items.size()) + " values; at most " +
                              std::to_string(N) + " are accepted");
    std::array<T, N> array{};
    std::copy(items.begin(), items.end(), array.begin());
    return array;
}

std::array<uint8_t, ZECE_PADDING_VALUES_NUM> paddingArray(const zecePaddingValuesPy *values) {
    return fixedArray<uint8_t, ZECE_PADDING_VALUES_NUM>(required(values, "paddingValuesPy").value,
                                                        "paddingValuesPy.value");
}

// Records in a list are taken as pointers, so that a None item reaches the binding
// and is refused as None is for a record passed by value.
template <class T> std::vector<T> copies(const std::vector<const T *> &items) {
    std::vector<T> values;
    values.reserve(items.size());
    for (const T *item : items) values.push_back(byValue(item));
    return values;
}

void checkPairs(size_t outputs, size_t handles) {
    if (outputs != handles) throw py::type_error("zece scale error. Output imageDescs size != output handles size.");
}

uint32_t count(size_t size) {
    if (size > UINT32_MAX) throw py::value_error("too many outputs");
    return static_cast<uint32_t>(size);
}

using Desc = const zeceImageDesc *;

}  // namespace

void registerImageOperations(py::module_ &m) {
    m.def(
        "resize",
        [](const zeceResizeType *type, Desc inDesc, Handle in, Desc outDesc, Handle out) {
            return zeceResize(byValue(type), byValue(inDesc), in, byValue(outDesc), out);
        },
        "Resize zentri preprocess op.");
    m.def(
        "crop",
        [](const cropRect *rect, Desc inDesc, Handle in, Desc outDesc, Handle out) {
            return zeceCrop(rect, byValue(inDesc), in, byValue(outDesc), out);
        },
        "Crop zentri preprocess op.");
    m.def(
        "yuvFlip",
        [](const zeceFlipType *type, Desc inDesc, Handle in, Desc outDesc, Handle out) {
            return zeceYuvFlip(byValue(type), byValue(inDesc), in, byValue(outDesc), out);
        },
        "YuvFlip zentri preprocess op.");
    m.def(
        "warpAffine",
        [](const zeceAffineMatrixPy *matrix, const zeceWarpAffineMode *mode, const zecePaddingType *padType,
           const zecePaddingValuesPy *padValues, Desc inDesc, Handle in, Desc outDesc, Handle out) {
            auto coefficients = fixedArray<double, ZECE_AFFINE_MATRIX_NUM>(required(matrix, "affineMatrixPy").matrix,
                                                                           "affineMatrixPy.matrix");
            auto padding = paddingArray(padValues);
            return zeceWarpAffine(coefficients.data(), byValue(mode), byValue(padType), padding.data(), in, out,
                                  byValue(inDesc), byValue(outDesc));
        },
        "WarpAffine zentri preprocess op.");
    m.def(
        "cvtColor",
        [](const zeceColorCvtCode *code, const zeceColorSpace *space, Desc inDesc, Handle in, Desc outDesc,
           Handle out) {
            return zeceCvtColor(byValue(code), byValue(space), byValue(inDesc), in, byValue(outDesc), out);
        },
        "cvtColor zentri preprocess op.");
    // The runtime sees the caller's own edges record (None passes a null pointer).
    m.def(
        "resizeCopyMakeBorder",
        [](const zeceResizeType *type, const zecePaddingType *padType, const zecePaddingValuesPy *padValues,
           zecePaddingEdges *edges, Desc inDesc, Handle in, Desc outDesc, Handle out) {
            zeceResizeType resize = byValue(type);
            zecePaddingType padding = byValue(padType);
            auto values = paddingArray(padValues);
            return zeceResizeCopyMakeBorder(resize, padding, values.data(), edges, in, out, byValue(inDesc),
                                            byValue(outDesc));
        },
        "ResizeCopyMakeBorder zentri preprocess op.");
    m.def(
        "batchCropResize",
        [](const std::vector<const cropRect *> &rects, const zeceResizeType *type, Desc inDesc, Handle in, Desc outDesc,
           const std::vector<Handle> &outs) {
            std::vector<cropRect> rectangles = copies(rects);
            checkPairs(rectangles.size(), outs.size());
            return zeceBatchCropResize(items(rectangles), count(rectangles.size()), byValue(type), in, items(outs),
                                       byValue(inDesc), byValue(outDesc));
        },
        "BatchCropResize zentri preprocess op.");
    m.def(
        "scale",
        [](const zeceResizeType *type, Desc inDesc, Handle in, const std::vector<const zeceImageDesc *> &outDescs,
           const std::vector<Handle> &outs) {
            std::vector<zeceImageDesc> descs = copies(outDescs);
            checkPairs(descs.size(), outs.size());
            return zeceScale(byValue(type), count(descs.size()), in, items(descs), items(outs), byValue(inDesc));
        },
        "Scale zentri preprocess op.");
}

}  // namespace halvora::zece
