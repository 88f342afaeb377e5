// The bytes a value of each of the preprocess engine's data types takes, for the engine and
// for the bindings that size the values they read. Inline, so that the bindings include it
// without linking the engine's internals.
#pragma once
#include "zece.h"

namespace zece {

// 0 for a type the engine does not know.
inline int typeWidth(zeceDataType type) {
    switch (type) {
    case zeceDT_UINT_8: return 1;
    case zeceDT_UINT_16:
    case zeceDT_FLOAT_16: return 2;
    case zeceDT_INT:
    case zeceDT_UINT_32:
    case zeceDT_FLOAT: return 4;
    case zeceDT_UINT_64:
    case zeceDT_DOUBLE: return 8;
    default: return 0;
    }
}

}  // namespace zece
