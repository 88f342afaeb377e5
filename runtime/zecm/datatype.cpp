// Element types and their sizes.
#include "zecm/objects.hpp"

namespace zecm {

uint32_t dataTypeSize(zecmDType type) {
    switch (type) {
    case zecmDT_UINT8:
    case zecmDT_INT8: return 1;
    case zecmDT_UINT16:
    case zecmDT_INT16:
    case zecmDT_FLOAT16:
    case zecmDT_BFLOAT: return 2;
    case zecmDT_UINT32:
    case zecmDT_INT32:
    case zecmDT_FLOAT32: return 4;
    default:  // zecmDT_ANY and values outside the enumeration
        return 0;
    }
}

}  // namespace zecm

uint32_t zecmGetDataTypeSize(zecmDType type, uint32_t *size) {
    ZESIM_CALL(type, size) {
        if (!size) return zecmER_INVALID_PARAM;
        const uint32_t bytes = zecm::dataTypeSize(type);
        if (!bytes) return zecmER_INVALID_DATATYPE;
        *size = bytes;
        return zecmER_SUCCESS;
    };
}
