// Preprocess op objects: an op type, typed attributes addressed by name (elements,
// or arrays by index), and for customized ops the plug-in instance behind them.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zece/data_types.hpp"
#include "zece/image.hpp"

namespace zece {

// One attribute value, as the setter's data type says: the value's bits in the
// low bytes of `bits` (float and double by their representation).
struct Value {
    zeceDataType type = zeceDT_INT;
    uint64_t bits = 0;
    bool set = false;  // array entries below the highest index set may be unset
};

// The value as a number (binary16 bits converted, integers by their type's sign).
ZECE_INTERNAL double number(const Value &value);

struct Attribute {
    bool array = false;
    std::vector<Value> values;  // one for an element; by index for an array
};

using Attributes = std::map<std::string, Attribute>;

struct CustomizedOp;  // customized.hpp

struct Op {
    std::mutex mutex;  // guards the attributes (customized ops serialize their calls on their own)
    zeceOpType type = zeceOP_MEM_COPY_OP;
    Attributes attributes;
    std::shared_ptr<CustomizedOp> customized;  // set for ops made from a loaded plug-in
};

ZECE_INTERNAL std::shared_ptr<Op> findOp(const void *handle);
// Registers a new op and returns its handle.
ZECE_INTERNAL zeceOp *adoptOp(std::shared_ptr<Op> op);

// Whether ops of `type` have an attribute `name`, and its shape. Customized ops take
// any name, as elements or arrays.
ZECE_INTERNAL bool attributeShape(zeceOpType type, const std::string &name, bool *array, uint32_t *maxCount);

// A snapshot of an op's attributes for one execution, read as numbers whatever
// their stored type (floats truncated toward zero where an integer is wanted).
class Settings {
public:
    explicit Settings(Attributes attributes) : attributes_(std::move(attributes)) {}

    // The element `name`, or entry `index` of the array `name`; false when unset.
    bool get(const char *name, double *value, int index = -1) const;
    bool has(const char *name, int index = -1) const;
    double real(const char *name, double fallback, int index = -1) const;
    int64_t integer(const char *name, int64_t fallback, int index = -1) const;
    // As integer, clamped to the 32-bit range.
    int32_t int32(const char *name, int32_t fallback, int index = -1) const;
    // Entries of an array attribute (0 when it was never set).
    size_t count(const char *name) const;

private:
    Attributes attributes_;
};

struct YuvCoding;  // color.hpp

// The range (colorRange: 0 limited, 1 full) and, where `chroma`, the chroma upsampling
// (chromaUpsampling: 0 each sample for its 2 x 2 block, 1 interpolated) of the YUV side
// of a conversion; both 0 when unset. zeceER_INVALID_PARAM for other values.
ZECE_INTERNAL uint32_t yuvCoding(const Settings &settings, bool chroma, YuvCoding *coding);

// zeceER_OP_NOT_READY for an op run without the attributes `names` it needs; the
// status's description on this thread then names them.
ZECE_INTERNAL uint32_t notReady(const std::string &names);

// The descriptor `prefix` ("input" or "output") of an op, from <prefix>Width,
// <prefix>Height, <prefix>Format and the two pitches. Unset, the size and format
// are those of `defaults` (a negative size there makes the attribute required) and
// the pitches the picture's own. With index >= 0 the attributes are arrays read at
// index. zeceER_OP_NOT_READY when a required attribute is missing.
ZECE_INTERNAL uint32_t descriptor(const Settings &settings, const std::string &prefix, const zeceImageDesc &defaults,
                                  int index, zeceImageDesc *desc);

// A value of an enumeration (the attribute as a number), or `fallback` when unset.
template <class E> E enumeration(const Settings &settings, const char *name, E fallback) {
    return static_cast<E>(settings.integer(name, fallback));
}

// The size <prefix>Width x <prefix>Height (entries `index` of arrays when index >= 0).
// An unset side takes `width` or `height`; a negative one makes it required:
// zeceER_OP_NOT_READY, naming both, when it is missing.
ZECE_INTERNAL uint32_t sizeOf(const Settings &settings, const std::string &prefix, int32_t width, int32_t height,
                              int index, int32_t *outWidth, int32_t *outHeight);
// The rectangle of the crop attributes (entry `index` of arrays when index >= 0):
// cropX and cropY 0 when unset, cropWidth and cropHeight required.
ZECE_INTERNAL uint32_t cropRectangle(const Settings &settings, int index, cropRect *rect);
// The padding bytes (paddingValues, 0 where unset).
ZECE_INTERNAL void paddingValues(const Settings &settings, uint8_t values[ZECE_PADDING_VALUES_NUM]);

}  // namespace zece
