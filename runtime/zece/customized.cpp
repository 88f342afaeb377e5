// Customized ops: plug-in libraries opened with dlopen, whose ops are made,
// configured and run through the table the plug-in hands out.
//
// Lifetime: a set's library stays mapped while its info handle or any op made
// from it holds it. Destroying the info handle drops only the handle's hold.
// Unloading the set marks it unloaded, destroys the instance of every op made
// from it (each under its op's call lock, so after any call in progress) and
// drops those ops' holds; the library is closed when the last hold goes, which
// is never before the last instance is destroyed.
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "zecm/runtime.hpp"
#include "zece/customized.hpp"

namespace zece {

struct PluginLibrary {
    void *handle = nullptr;  // from dlopen
    zecePlugin table{};      // copied at load
    std::vector<std::string> names;
    std::mutex mutex;  // guards `unloaded` and `ops`
    bool unloaded = false;
    std::vector<std::weak_ptr<CustomizedOp>> ops;  // made from the set, for unloading

    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;
    ~PluginLibrary() {
        if (handle) dlclose(handle);
    }
};

namespace {

constexpr uint32_t kMaxConfigSize = 64 * 1024;
constexpr int32_t kMaxDeclaredCount = 16;

// Plug-in calls in progress on this thread. A plug-in function that called back
// into a customized op could wait for a call lock its own thread holds (or one
// another thread holds while waiting for this one), so such calls are refused.
thread_local int pluginDepth = 0;

// Runs `body`, turning an exception into a status: zeceER_OUT_OF_MEMORY for a
// failed allocation, zeceER_INVALID_PARAM for anything else (thrown by plug-in or
// caller code).
template <class Body> uint32_t contained(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return zeceER_OUT_OF_MEMORY;
    } catch (...) {
        return zeceER_INVALID_PARAM;
    }
}

// As contained, counting the call as plug-in code in progress.
template <class Body> uint32_t inPlugin(Body body) {
    struct Depth {
        Depth() { ++pluginDepth; }
        ~Depth() { --pluginDepth; }
    } depth;
    return contained(body);
}

std::shared_ptr<PluginLibrary> findSet(const void *info) {
    return zesim::find<PluginLibrary>(info, zesim::Kind::CustomizedOps);
}

// The customized part of a live customized op, or null.
std::shared_ptr<CustomizedOp> findCustomized(const void *handle) {
    auto op = findOp(handle);
    if (!op || op->type != zeceOP_CUSTOMIZED_OP) return nullptr;
    return op->customized;
}

// zeceER_SUCCESS when the table is one this library can use; fills `names`.
uint32_t checkTable(const zecePlugin &table, std::vector<std::string> *names) {
    if (table.abiVersion != ZECE_PLUGIN_ABI_VERSION) return zeceER_LOAD_FAILED;
    if (table.opCount < 0 || table.opCount > ZECE_PLUGIN_MAX_OPS) return zeceER_LOAD_FAILED;
    if ((table.opCount > 0 && !table.opNames) || !table.create || !table.execute) return zeceER_LOAD_FAILED;
    std::set<std::string> seen;
    for (int32_t i = 0; i < table.opCount; ++i) {
        const char *name = table.opNames[i];
        if (!name) return zeceER_LOAD_FAILED;
        size_t length = strnlen(name, OPNAME_MAX_LEN);
        if (length == 0 || length >= OPNAME_MAX_LEN) return zeceER_LOAD_FAILED;
        if (!seen.emplace(name, length).second) return zeceER_LOAD_FAILED;
        names->emplace_back(name, length);
    }
    return zeceER_SUCCESS;
}

uint32_t load(const char *path, void **info) {
    if (!path || !info) return zeceER_INVALID_PARAM;
    if (uint32_t status = zecm::checkInitialized()) return status;
    if (!*path) return zeceER_LOAD_FAILED;
    // A path is a file: a bare name means one in the working directory, never a
    // search of the library path (nor, for "", the program itself).
    std::string file = std::strchr(path, '/') ? std::string(path) : "./" + std::string(path);
    // Only a regular file: opening a FIFO or a device would wait for a writer, or forever.
    struct stat status;
    if (stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return zeceER_LOAD_FAILED;
    auto library = std::make_shared<PluginLibrary>();
    library->handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library->handle) return zeceER_LOAD_FAILED;  // dlerror's text is not kept
    void *symbol = dlsym(library->handle, "zecePluginEntry");
    if (!symbol) return zeceER_LOAD_FAILED;  // the library closes with `library`
    const zecePlugin *table = nullptr;
    if (inPlugin([&] {
            table = reinterpret_cast<zecePluginEntryFn>(symbol)();
            return zeceER_SUCCESS;
        }) ||
        !table)
        return zeceER_LOAD_FAILED;
    library->table = *table;
    if (checkTable(library->table, &library->names)) return zeceER_LOAD_FAILED;
    *info = zesim::adopt(std::move(library), zesim::Kind::CustomizedOps);
    return zeceER_SUCCESS;
}

uint32_t unload(void *info) {
    if (pluginDepth) return zeceER_INVALID_PARAM;
    auto library = std::static_pointer_cast<PluginLibrary>(zesim::unregisterHandle(info, zesim::Kind::CustomizedOps));
    if (!library) return zeceER_INVALID_HANDLE;
    std::vector<std::weak_ptr<CustomizedOp>> ops;
    {
        std::lock_guard<std::mutex> lock(library->mutex);
        library->unloaded = true;
        ops.swap(library->ops);
    }
    for (const auto &weak : ops) {
        auto op = weak.lock();
        if (!op) continue;
        std::lock_guard<std::mutex> lock(op->mutex);  // released before `op`
        op->release();
    }
    return zeceER_SUCCESS;  // the library closes here unless a create still holds it
}

uint32_t count(void *info, int32_t *result) {
    auto library = findSet(info);
    if (!library) return zeceER_INVALID_HANDLE;
    if (!result) return zeceER_INVALID_PARAM;
    *result = static_cast<int32_t>(library->names.size());
    return zeceER_SUCCESS;
}

uint32_t name(void *info, int32_t index, char *buffer, uint32_t size) {
    auto library = findSet(info);
    if (!library) return zeceER_INVALID_HANDLE;
    if (!buffer) return zeceER_INVALID_PARAM;
    if (index < 0 || static_cast<size_t>(index) >= library->names.size()) return zeceER_OP_NOT_FOUND;
    const std::string &text = library->names[static_cast<size_t>(index)];
    if (text.size() >= size) return zeceER_BUFFER_TOO_SMALL;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return zeceER_SUCCESS;
}

uint32_t create(void *info, const char *name, void **op) {
    auto library = findSet(info);
    if (!library) return zeceER_INVALID_HANDLE;
    if (!name || !op) return zeceER_INVALID_PARAM;
    auto found = std::find(library->names.begin(), library->names.end(), name);
    if (found == library->names.end()) return zeceER_OP_NOT_FOUND;
    auto customized = std::make_shared<CustomizedOp>();
    zecePluginInstance *instance = nullptr;
    if (uint32_t status = inPlugin([&] {
            instance = library->table.create(found->c_str());
            return zeceER_SUCCESS;
        }))
        return status;
    if (!instance) return zeceER_OUT_OF_MEMORY;
    customized->instance = instance;
    customized->library = library;  // from here on the op's destructor destroys the instance
    bool unloaded;
    {
        std::lock_guard<std::mutex> lock(library->mutex);
        unloaded = library->unloaded;
        if (!unloaded) {
            auto &ops = library->ops;
            ops.erase(std::remove_if(ops.begin(), ops.end(), [](const auto &weak) { return weak.expired(); }),
                      ops.end());
            ops.push_back(customized);
        }
    }
    if (unloaded) return zeceER_INVALID_HANDLE;  // unloaded meanwhile; `customized` destroys the instance
    auto object = std::make_shared<Op>();
    object->type = zeceOP_CUSTOMIZED_OP;
    object->customized = std::move(customized);
    *op = adoptOp(std::move(object));
    return zeceER_SUCCESS;
}

uint32_t configure(void *handle, const void *config, uint32_t size) {
    auto customized = findCustomized(handle);
    if (!customized) return zeceER_INVALID_HANDLE;
    if ((!config && size) || size > kMaxConfigSize) return zeceER_INVALID_PARAM;
    if (pluginDepth) return zeceER_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(customized->mutex);
    if (!customized->library) return zeceER_INVALID_HANDLE;
    auto function = customized->library->table.configure;
    if (!function) return size ? zeceER_INVALID_PARAM : zeceER_SUCCESS;  // the op takes no configuration
    return inPlugin([&] { return function(customized->instance, config, size); });
}

// Reads what the callback slots declare: the member counts (0 for a null slot),
// and checks the shapes and queue depths.
uint32_t readCallbacks(const zeceCfgCallback *slots, uint32_t *inputs, uint32_t *outputs) {
    auto count = [&](int slot, int32_t low, uint32_t *declared) {
        if (!slots[slot]) return true;
        int32_t value = reinterpret_cast<zeceCfgCountFn>(slots[slot])();
        if (value < low || (declared && value > kMaxDeclaredCount)) return false;
        if (declared) *declared = static_cast<uint32_t>(value);
        return true;
    };
    auto shape = [&](int slot) {
        if (!slots[slot]) return true;
        const zecmShape *value = reinterpret_cast<zeceCfgShapeFn>(slots[slot])();
        return value && value->ndims <= ZECM_MAX_DIMS;
    };
    return contained([&] {
        bool valid = count(0, 1, inputs) && shape(1) && count(2, 1, outputs) && shape(3) && count(4, 0, nullptr) &&
                     count(5, 0, nullptr);
        return valid ? zeceER_SUCCESS : zeceER_INVALID_PARAM;
    });
}

uint32_t setCallbacks(void *handle, const zeceCfgCallback *table) {
    auto customized = findCustomized(handle);
    if (!customized) return zeceER_INVALID_HANDLE;
    if (!table) return zeceER_INVALID_PARAM;
    if (pluginDepth) return zeceER_INVALID_PARAM;
    zeceCfgCallback slots[ZECE_CFG_CALLBACK_NUM];
    std::copy(table, table + ZECE_CFG_CALLBACK_NUM, slots);
    if (slots[ZECE_CFG_CALLBACK_NUM - 1]) return zeceER_INVALID_PARAM;  // reserved
    uint32_t inputs = 0, outputs = 0;
    // The caller's functions run without the call lock: they are not the plug-in's.
    if (uint32_t status = readCallbacks(slots, &inputs, &outputs)) return status;

    std::lock_guard<std::mutex> lock(customized->mutex);
    if (!customized->library) return zeceER_INVALID_HANDLE;
    auto function = customized->library->table.setCallbacks;
    zeceCfgCallback previous[ZECE_CFG_CALLBACK_NUM];
    std::copy(customized->callbacks, customized->callbacks + ZECE_CFG_CALLBACK_NUM, previous);
    std::copy(slots, slots + ZECE_CFG_CALLBACK_NUM, customized->callbacks);
    uint32_t status = zeceER_SUCCESS;
    if (function) status = inPlugin([&] { return function(customized->instance, customized->callbacks); });
    if (status) {  // refused: the op keeps its former table and counts
        std::copy(previous, previous + ZECE_CFG_CALLBACK_NUM, customized->callbacks);
        return status;
    }
    customized->inputCount = inputs;
    customized->outputCount = outputs;
    return zeceER_SUCCESS;
}

}  // namespace

void CustomizedOp::release() {
    if (!library) return;
    if (instance && library->table.destroy) {
        auto destroy = library->table.destroy;
        inPlugin([&] {
            destroy(instance);
            return zeceER_SUCCESS;
        });
    }
    instance = nullptr;
    library.reset();  // may close the library: the instance is gone
}

uint32_t executeCustomized(Op &op, const std::vector<Buffer> &inputs, const std::vector<Buffer> &outputs) {
    std::shared_ptr<CustomizedOp> customized = op.customized;
    if (op.type != zeceOP_CUSTOMIZED_OP || !customized) return zeceER_INVALID_HANDLE;
    if (pluginDepth) return zeceER_INVALID_PARAM;
    if (inputs.size() > UINT32_MAX || outputs.size() > UINT32_MAX) return zeceER_INVALID_PARAM;
    return contained([&]() -> uint32_t {
        std::vector<zecePluginBuffer> in, out;
        for (const Buffer &buffer : inputs) in.push_back({buffer.data, buffer.size});
        for (const Buffer &buffer : outputs) out.push_back({buffer.data, buffer.size});
        std::lock_guard<std::mutex> lock(customized->mutex);
        if (!customized->library) return zeceER_INVALID_HANDLE;
        if ((customized->inputCount && in.size() != customized->inputCount) ||
            (customized->outputCount && out.size() != customized->outputCount))
            return zeceER_INVALID_PARAM;
        auto function = customized->library->table.execute;
        return inPlugin([&] {
            return function(customized->instance, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
                            out.empty() ? nullptr : out.data(), static_cast<uint32_t>(out.size()));
        });
    });
}

}  // namespace zece

using namespace zece;

uint32_t zeceLoadCustomizedOps(const char *path, zeceCustomizedOpInfo **info) {
    ZESIM_CALL(path, info) {
        return contained([&] { return load(path, info); });
    };
}

uint32_t zeceDestroyCustomizedOpInfo(zeceCustomizedOpInfo *info) {
    ZESIM_CALL(info) {
        return zesim::unregisterHandle(info, zesim::Kind::CustomizedOps) ? zeceER_SUCCESS : zeceER_INVALID_HANDLE;
    };
}

uint32_t zeceUnloadCustomizedOps(zeceCustomizedOpInfo *info) {
    ZESIM_CALL(info) {
        return contained([&] { return unload(info); });
    };
}

uint32_t zeceGetCustomizedOpCount(zeceCustomizedOpInfo *info, int32_t *count) {
    ZESIM_CALL(info, count) { return zece::count(info, count); };
}

uint32_t zeceGetCustomizedOpName(zeceCustomizedOpInfo *info, int32_t index, char *name, uint32_t size) {
    ZESIM_CALL(info, index, name, size) { return zece::name(info, index, name, size); };
}

uint32_t zeceCreateCustomizedOp(zeceCustomizedOpInfo *info, const char *name, zeceOp **op) {
    ZESIM_CALL(info, name, op) {
        return contained([&] { return create(info, name, op); });
    };
}

// A block larger than the card takes is refused unread, and traces as NULL.
uint32_t zeceSetCustomizedOpConfig(zeceOp *op, const void *config, uint32_t size) {
    const uint8_t *traced = size <= kMaxConfigSize ? static_cast<const uint8_t *>(config) : nullptr;
    ZESIM_CALL(op, zesim::array(traced, size), size) {
        return contained([&] { return configure(op, config, size); });
    };
}

uint32_t zeceSetCustomizedOpCfgCallback(zeceOp *op, const zeceCfgCallback *table) {
    ZESIM_CALL(op, zesim::array(table, ZECE_CFG_CALLBACK_NUM)) {
        return contained([&] { return setCallbacks(op, table); });
    };
}
