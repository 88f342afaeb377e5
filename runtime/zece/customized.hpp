// Customized ops: sets of ops loaded from plug-in libraries (include/zeceplugin.h).
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zece/op.hpp"
#include "zece/operations.hpp"
#include "zeceplugin.h"

namespace zece {

struct PluginLibrary;  // customized.cpp: one opened plug-in and the ops made from it

// The plug-in side of a customized op. `mutex` serializes every call into the
// instance; it is never held while the op's attributes are locked, so plug-in code
// may read or set attributes of any op.
struct CustomizedOp {
    std::mutex mutex;
    std::shared_ptr<PluginLibrary> library;  // null once the set is unloaded
    zecePluginInstance *instance = nullptr;
    zeceCfgCallback callbacks[ZECE_CFG_CALLBACK_NUM] = {};  // the table handed to setCallbacks
    // Dataset member counts declared by the callback table; 0 while undeclared.
    uint32_t inputCount = 0;
    uint32_t outputCount = 0;

    CustomizedOp() = default;
    CustomizedOp(const CustomizedOp &) = delete;
    CustomizedOp &operator=(const CustomizedOp &) = delete;
    ~CustomizedOp() { release(); }
    // Destroys the instance through the plug-in and lets go of the library; the
    // caller holds `mutex` unless no one else can reach the op.
    void release();
};

// Runs a customized op on the memory of its input and output dataset members.
ZECE_INTERNAL uint32_t executeCustomized(Op &op, const std::vector<Buffer> &inputs, const std::vector<Buffer> &outputs);

}  // namespace zece
