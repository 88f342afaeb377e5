// Placeholder until customized ops land.
#include "preprocess/customized.hpp"

namespace zece {

uint32_t executeCustomized(Op &, const std::vector<Buffer> &, const std::vector<Buffer> &) {
    return zeceER_NOT_IMPLEMENT;
}

}  // namespace zece

uint32_t zeceLoadCustomizedOps(const char *path, zeceCustomizedOpInfo **info) {
    ZESIM_CALL(path, info) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceDestroyCustomizedOpInfo(zeceCustomizedOpInfo *info) {
    ZESIM_CALL(info) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceUnloadCustomizedOps(zeceCustomizedOpInfo *info) {
    ZESIM_CALL(info) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceGetCustomizedOpCount(zeceCustomizedOpInfo *info, int32_t *count) {
    ZESIM_CALL(info, count) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceGetCustomizedOpName(zeceCustomizedOpInfo *info, int32_t index, char *name, uint32_t size) {
    ZESIM_CALL(info, index, name, size) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceCreateCustomizedOp(zeceCustomizedOpInfo *info, const char *name, zeceOp **op) {
    ZESIM_CALL(info, name, op) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceSetCustomizedOpConfig(zeceOp *op, const void *config, uint32_t size) {
    ZESIM_CALL(op, zesim::array(static_cast<const uint8_t *>(config), size), size) { return zeceER_NOT_IMPLEMENT; };
}
uint32_t zeceSetCustomizedOpCfgCallback(zeceOp *op, const zeceCfgCallback *table) {
    ZESIM_CALL(op, zesim::array(table, ZECE_CFG_CALLBACK_NUM)) { return zeceER_NOT_IMPLEMENT; };
}
