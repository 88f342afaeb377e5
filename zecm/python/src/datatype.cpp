// Placeholder: filled by the common-library work.
#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecm {

void registerDataTypeEnum(py::module_ &m) {
    bindEnum<zecmDType>(m, "dType", {{"zecmDT_UINT8", zecmDT_UINT8},
                                     {"zecmDT_INT8", zecmDT_INT8},
                                     {"zecmDT_UINT16", zecmDT_UINT16},
                                     {"zecmDT_INT16", zecmDT_INT16},
                                     {"zecmDT_UINT32", zecmDT_UINT32},
                                     {"zecmDT_INT32", zecmDT_INT32},
                                     {"zecmDT_FLOAT16", zecmDT_FLOAT16},
                                     {"zecmDT_FLOAT32", zecmDT_FLOAT32},
                                     {"zecmDT_BFLOAT", zecmDT_BFLOAT},
                                     {"zecmDT_ANY", zecmDT_ANY}});
}

void registerDataTypes(py::module_ &m) {}

}  // namespace halvora::zecm
