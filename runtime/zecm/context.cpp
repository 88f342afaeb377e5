// Contexts: runtime objects bound to a device, with a current context per thread.
#include "zecm/runtime.hpp"

namespace {

struct Context {
    uint32_t device;
};

thread_local zecmContext *currentContext = nullptr;

}  // namespace

namespace zecm {

bool currentContextDevice(uint32_t *device) {
    auto context = zesim::find<Context>(currentContext, zesim::Kind::Context);
    if (!context) return false;
    *device = context->device;
    return true;
}

}  // namespace zecm

uint32_t zecmCreateContext(uint32_t device, zecmContext **context) {
    ZESIM_CALL(device, context) {
        if (!context) return zecmER_INVALID_PARAM;
        if (uint32_t status = zecm::checkDevice(device)) return status;
        *context = zesim::adopt(std::make_shared<Context>(Context{device}), zesim::Kind::Context,
                                static_cast<int32_t>(device));
        return zecmER_SUCCESS;
    };
}

uint32_t zecmDestroyContext(zecmContext *context) {
    ZESIM_CALL(context) {
        if (!zesim::unregisterHandle(context, zesim::Kind::Context)) return zecmER_INVALID_HANDLE;
        if (currentContext == context) currentContext = nullptr;
        return zecmER_SUCCESS;
    };
}

// A null context clears the calling thread's current context.
uint32_t zecmSetCurrentContext(zecmContext *context) {
    ZESIM_CALL(context) {
        if (context && !zesim::findHandle(context, zesim::Kind::Context)) return zecmER_INVALID_HANDLE;
        currentContext = context;
        return zecmER_SUCCESS;
    };
}

// A current context destroyed since (by any thread, or by a device reset) reads as null.
uint32_t zecmGetCurrentContext(zecmContext **context) {
    ZESIM_CALL(context) {
        if (!context) return zecmER_INVALID_PARAM;
        if (currentContext && !zesim::findHandle(currentContext, zesim::Kind::Context)) currentContext = nullptr;
        *context = currentContext;
        return zecmER_SUCCESS;
    };
}
