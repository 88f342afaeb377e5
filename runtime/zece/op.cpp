// Op objects and their attributes. Each op type has a fixed set of attribute
// names, each an element or an array of a bounded length; values are stored with
// the data type of the setter that wrote them and read back only with that type.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "zecm/float16.hpp"
#include "zece/color.hpp"
#include "zece/describe.hpp"
#include "zece/op.hpp"
#include "zece/op_types.hpp"
#include "zesim/status.hpp"

namespace zece {
namespace {

constexpr uint32_t kMaxOutputs = 256;  // outputs of scale, rectangles of batch crop-resize

struct Name {
    const char *name;
    uint32_t count;  // 0 for an element, else the longest array
};

struct Group {
    uint32_t bit;  // group::
    std::vector<Name> names;
};

// The names of each attribute group.
const Group kGroups[] = {
    {group::kInput,
     {{"inputWidth", 0}, {"inputHeight", 0}, {"inputWidthPitch", 0}, {"inputHeightPitch", 0}, {"inputFormat", 0}}},
    {group::kOutput,
     {{"outputWidth", 0}, {"outputHeight", 0}, {"outputWidthPitch", 0}, {"outputHeightPitch", 0}, {"outputFormat", 0}}},
    {group::kOutputs,
     {{"outputWidth", kMaxOutputs},
      {"outputHeight", kMaxOutputs},
      {"outputWidthPitch", kMaxOutputs},
      {"outputHeightPitch", kMaxOutputs},
      {"outputFormat", kMaxOutputs}}},
    {group::kResize, {{"resizeType", 0}}},
    {group::kCrop, {{"cropX", 0}, {"cropY", 0}, {"cropWidth", 0}, {"cropHeight", 0}}},
    {group::kCrops,
     {{"cropX", kMaxOutputs}, {"cropY", kMaxOutputs}, {"cropWidth", kMaxOutputs}, {"cropHeight", kMaxOutputs}}},
    {group::kColor, {{"colorCvtCode", 0}, {"colorSpace", 0}, {"colorRange", 0}, {"chromaUpsampling", 0}}},
    {group::kFlip, {{"flipType", 0}}},
    {group::kAffine, {{"affineMatrix", ZECE_AFFINE_MATRIX_NUM}, {"warpAffineMode", 0}}},
    {group::kPadding, {{"paddingType", 0}, {"paddingValues", ZECE_PADDING_VALUES_NUM}}},
    {group::kEdges, {{"paddingTop", 0}, {"paddingBottom", 0}, {"paddingLeft", 0}, {"paddingRight", 0}}},
    {group::kTensor,
     {{"outputWidth", 0},
      {"outputHeight", 0},
      {"resizeType", 0},
      {"colorCvtCode", 0},
      {"colorSpace", 0},
      {"normType", 0},
      {"mean", 3},
      {"std", 3},
      {"scale", 0},
      {"tensorizationType", 0},
      {"colorRange", 0}}},
    {group::kResized, {{"resizeWidth", 0}, {"resizeHeight", 0}}},
    {group::kLetterbox, {{"paddingValues", ZECE_PADDING_VALUES_NUM}}},
};

bool knownOpType(zeceOpType type) {
    const OpKind kind = opTraits(type).kind;
    return kind == OpKind::Copy || kind == OpKind::Image || kind == OpKind::Fused;
}

// The value of a variable argument list, read as zeceSetOpAttr's declaration says.
struct Argument {
    int32_t integer = 0;  // int-promoted types
    uint64_t wide = 0;    // zeceDT_UINT_64, zeceDT_FLOAT_16
    double real = 0;      // zeceDT_FLOAT, zeceDT_DOUBLE
};

Value store(zeceDataType type, const Argument &argument) {
    Value value;
    value.type = type;
    value.set = true;
    switch (type) {
    case zeceDT_INT: value.bits = static_cast<uint32_t>(argument.integer); break;
    case zeceDT_UINT_8: value.bits = static_cast<uint8_t>(argument.integer); break;
    case zeceDT_UINT_16: value.bits = static_cast<uint16_t>(argument.integer); break;
    case zeceDT_UINT_32: value.bits = static_cast<uint32_t>(argument.integer); break;
    case zeceDT_UINT_64: value.bits = argument.wide; break;
    case zeceDT_FLOAT_16: value.bits = static_cast<uint16_t>(argument.wide); break;
    case zeceDT_FLOAT: {
        float single = static_cast<float>(argument.real);
        uint32_t bits;
        std::memcpy(&bits, &single, sizeof bits);
        value.bits = bits;
        break;
    }
    default: std::memcpy(&value.bits, &argument.real, sizeof value.bits); break;
    }
    return value;
}

uint32_t setAttribute(void *handle, const char *name, zeceDataType type, zeceParamType paramType,
                      const Argument &argument, int32_t index) {
    auto op = findOp(handle);
    if (!op) return zeceER_INVALID_HANDLE;
    if (!name) return zeceER_INVALID_PARAM;
    bool array = false;
    uint32_t maxCount = 0;
    if (!attributeShape(op->type, name, &array, &maxCount)) return zeceER_UNKNOWN_ATTR;
    bool wantsArray = paramType == zecePARAM_ARRAY;
    if (paramType != zecePARAM_ELEMENT && paramType != zecePARAM_ARRAY && paramType != zecePARAM_TENSOR)
        return zeceER_INVALID_PARAM;
    if (op->type == zeceOP_CUSTOMIZED_OP) array = wantsArray;  // shaped by their first setter
    if (array != wantsArray) return zeceER_INVALID_PARAM;
    if (array && (index < 0 || static_cast<uint32_t>(index) >= maxCount)) return zeceER_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(op->mutex);
    Attribute &attribute = op->attributes[name];
    if (attribute.array != array) attribute = Attribute{};
    attribute.array = array;
    size_t slot = array ? static_cast<size_t>(index) : 0;
    if (attribute.values.size() <= slot) attribute.values.resize(slot + 1);
    attribute.values[slot] = store(type, argument);
    return zeceER_SUCCESS;
}

uint32_t getAttribute(void *handle, const char *name, zeceDataType type, bool array, int32_t index, void *value) {
    auto op = findOp(handle);
    if (!op) return zeceER_INVALID_HANDLE;
    if (!name || !value) return zeceER_INVALID_PARAM;
    int width = typeWidth(type);
    if (!width) return zeceER_UNSUPPORTED_TYPE;
    bool shapeArray = false;
    uint32_t maxCount = 0;
    if (!attributeShape(op->type, name, &shapeArray, &maxCount)) return zeceER_UNKNOWN_ATTR;
    (void)shapeArray;  // the stored attribute has the shape (customized ops: its setter's)
    std::lock_guard<std::mutex> lock(op->mutex);
    auto found = op->attributes.find(name);
    if (found == op->attributes.end()) return zeceER_ATTR_NOT_SET;
    const Attribute &attribute = found->second;
    if (attribute.array != array) return zeceER_INVALID_PARAM;
    size_t slot = array ? static_cast<size_t>(index) : 0;
    if (array && (index < 0 || slot >= attribute.values.size())) return zeceER_ATTR_NOT_SET;
    const Value &stored = attribute.values[slot];
    if (!stored.set) return zeceER_ATTR_NOT_SET;
    if (stored.type != type) return zeceER_UNSUPPORTED_TYPE;
    std::memcpy(value, &stored.bits, static_cast<size_t>(width));  // the low bytes (little-endian)
    return zeceER_SUCCESS;
}

}  // namespace

double number(const Value &value) {
    switch (value.type) {
    case zeceDT_INT: return static_cast<int32_t>(static_cast<uint32_t>(value.bits));
    case zeceDT_FLOAT: {
        float single;
        uint32_t bits = static_cast<uint32_t>(value.bits);
        std::memcpy(&single, &bits, sizeof single);
        return single;
    }
    case zeceDT_FLOAT_16: {
        uint16_t bits = static_cast<uint16_t>(value.bits);
        float single;
        zecm::half::toFloat32(&bits, 1, &single);
        return single;
    }
    case zeceDT_DOUBLE: {
        double real;
        std::memcpy(&real, &value.bits, sizeof real);
        return real;
    }
    default: return static_cast<double>(value.bits);
    }
}

std::shared_ptr<Op> findOp(const void *handle) { return zesim::find<Op>(handle, zesim::Kind::PreprocessOp); }

zeceOp *adoptOp(std::shared_ptr<Op> op) { return zesim::adopt(std::move(op), zesim::Kind::PreprocessOp); }

bool attributeShape(zeceOpType type, const std::string &name, bool *array, uint32_t *maxCount) {
    const OpTraits traits = opTraits(type);
    if (traits.kind == OpKind::Customized) {
        *array = false;
        *maxCount = kMaxOutputs;
        return !name.empty() && name.size() < OPNAME_MAX_LEN;
    }
    for (const Group &set : kGroups) {
        if (!(traits.groups & set.bit)) continue;
        for (const Name &entry : set.names)
            if (name == entry.name) {
                *array = entry.count != 0;
                *maxCount = entry.count;
                return true;
            }
    }
    return false;
}

bool Settings::get(const char *name, double *value, int index) const {
    auto found = attributes_.find(name);
    if (found == attributes_.end() || found->second.array != (index >= 0)) return false;
    size_t slot = index >= 0 ? static_cast<size_t>(index) : 0;
    if (slot >= found->second.values.size() || !found->second.values[slot].set) return false;
    *value = number(found->second.values[slot]);
    return true;
}

bool Settings::has(const char *name, int index) const {
    double value;
    return get(name, &value, index);
}

double Settings::real(const char *name, double fallback, int index) const {
    double value;
    return get(name, &value, index) ? value : fallback;
}

int64_t Settings::integer(const char *name, int64_t fallback, int index) const {
    double value;
    if (!get(name, &value, index)) return fallback;
    if (!(value > -9.2e18 && value < 9.2e18)) return fallback;  // NaN or far outside any size
    return static_cast<int64_t>(value);
}

int32_t Settings::int32(const char *name, int32_t fallback, int index) const {
    return static_cast<int32_t>(std::clamp<int64_t>(integer(name, fallback, index), INT32_MIN, INT32_MAX));
}

size_t Settings::count(const char *name) const {
    auto found = attributes_.find(name);
    return found == attributes_.end() || !found->second.array ? 0 : found->second.values.size();
}

uint32_t yuvCoding(const Settings &settings, bool chroma, YuvCoding *coding) {
    const int64_t range = settings.integer("colorRange", 0);
    const int64_t upsampling = chroma ? settings.integer("chromaUpsampling", 0) : 0;
    if ((range != 0 && range != 1) || (upsampling != 0 && upsampling != 1)) return zeceER_INVALID_PARAM;
    coding->fullRange = range == 1;
    coding->interpolate = upsampling == 1;
    return zeceER_SUCCESS;
}

uint32_t notReady(const std::string &names) {
    zesim::noteReason(zeceER_OP_NOT_READY, "the op needs " + names);
    return zeceER_OP_NOT_READY;
}

uint32_t sizeOf(const Settings &settings, const std::string &prefix, int32_t width, int32_t height, int index,
                int32_t *outWidth, int32_t *outHeight) {
    const std::string widthName = prefix + "Width", heightName = prefix + "Height";
    if ((width < 0 && !settings.has(widthName.c_str(), index)) ||
        (height < 0 && !settings.has(heightName.c_str(), index)))
        return notReady(widthName + " and " + heightName);
    *outWidth = settings.int32(widthName.c_str(), width, index);
    *outHeight = settings.int32(heightName.c_str(), height, index);
    return zeceER_SUCCESS;
}

uint32_t cropRectangle(const Settings &settings, int index, cropRect *rect) {
    if (uint32_t status = sizeOf(settings, "crop", -1, -1, index, &rect->width, &rect->height)) return status;
    rect->start_x = settings.int32("cropX", 0, index);
    rect->start_y = settings.int32("cropY", 0, index);
    return zeceER_SUCCESS;
}

void paddingValues(const Settings &settings, uint8_t values[ZECE_PADDING_VALUES_NUM]) {
    for (int i = 0; i < ZECE_PADDING_VALUES_NUM; ++i)
        values[i] = static_cast<uint8_t>(settings.integer("paddingValues", 0, i));
}

uint32_t descriptor(const Settings &settings, const std::string &prefix, const zeceImageDesc &defaults, int index,
                    zeceImageDesc *desc) {
    if (uint32_t status = sizeOf(settings, prefix, defaults.width, defaults.height, index, &desc->width, &desc->height))
        return status;
    auto read = [&](const char *field, int32_t fallback) {
        return settings.int32((prefix + field).c_str(), fallback, index);
    };
    desc->format = static_cast<zeceImageType>(read("Format", defaults.format));
    desc->widthPitch = read("WidthPitch", static_cast<int32_t>(std::min<int64_t>(
                                              INT32_MAX, int64_t{desc->width} * pixelBytes(desc->format))));
    desc->heightPitch = read("HeightPitch", desc->height);
    return zeceER_SUCCESS;
}

}  // namespace zece

using namespace zece;

uint32_t zeceCreateOp(zeceOpType type, zeceOp **op) {
    ZESIM_CALL(type, op) {
        if (!op) return zeceER_INVALID_PARAM;
        if (uint32_t status = zecm::checkInitialized()) return status;
        if (!knownOpType(type)) return zeceER_INVALID_PARAM;
        auto created = std::make_shared<Op>();
        created->type = type;
        *op = adoptOp(std::move(created));
        return zeceER_SUCCESS;
    };
}

uint32_t zeceDestroyOp(zeceOp *op) {
    ZESIM_CALL(op) {
        return zesim::unregisterHandle(op, zesim::Kind::PreprocessOp) ? zeceER_SUCCESS : zeceER_INVALID_HANDLE;
    };
}

// The value and index are read before anything is checked, as the declaration says,
// so that the trace shows them as read.
uint32_t zeceSetOpAttr(zeceOp *op, const char *name, zeceDataType type, zeceParamType paramType, ...) {
    va_list list;
    va_start(list, paramType);
    Argument argument;
    int32_t index = 0;
    bool known = typeWidth(type) != 0;
    bool indexed = paramType == zecePARAM_ARRAY;
    if (type == zeceDT_UINT_64 || type == zeceDT_FLOAT_16)
        argument.wide = va_arg(list, uint64_t);
    else if (type == zeceDT_FLOAT || type == zeceDT_DOUBLE)
        argument.real = va_arg(list, double);
    else if (known)
        argument.integer = va_arg(list, int);
    if (known && indexed) index = va_arg(list, int32_t);
    va_end(list);

    auto set = [&] { return setAttribute(op, name, type, paramType, argument, index); };
    if (!known) {
        ZESIM_CALL(op, name, type, paramType) { return zeceER_UNSUPPORTED_TYPE; };
    }
    if (type == zeceDT_UINT_64 || type == zeceDT_FLOAT_16) {
        if (indexed) {
            ZESIM_CALL(op, name, type, paramType, argument.wide, index) { return set(); };
        }
        ZESIM_CALL(op, name, type, paramType, argument.wide) { return set(); };
    }
    if (type == zeceDT_FLOAT || type == zeceDT_DOUBLE) {
        if (indexed) {
            ZESIM_CALL(op, name, type, paramType, argument.real, index) { return set(); };
        }
        ZESIM_CALL(op, name, type, paramType, argument.real) { return set(); };
    }
    if (indexed) {
        ZESIM_CALL(op, name, type, paramType, argument.integer, index) { return set(); };
    }
    ZESIM_CALL(op, name, type, paramType, argument.integer) { return set(); };
}

uint32_t zeceGetOpAttr(zeceOp *op, const char *name, zeceDataType type, void *value) {
    ZESIM_CALL(op, name, type, value) { return getAttribute(op, name, type, false, 0, value); };
}

uint32_t zeceGetOpAttrArray(zeceOp *op, const char *name, zeceDataType type, int32_t index, void *value) {
    ZESIM_CALL(op, name, type, index, value) { return getAttribute(op, name, type, true, index, value); };
}
