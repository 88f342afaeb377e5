// Placeholder until fused ops land.
#include "preprocess/fused.hpp"

namespace zece {

uint32_t executeFused(zeceOpType, const Settings &, const Buffer &, const Buffer &) { return zeceER_NOT_IMPLEMENT; }

}  // namespace zece
