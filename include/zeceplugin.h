/* Customized-op plug-ins of the preprocess library (libzece).
 *
 * A plug-in is a shared library that exports zecePluginEntry. zeceLoadCustomizedOps
 * opens it, calls the entry once and copies the table it returns; every op of the set
 * is then made, configured and run through the table's functions. Statuses are those
 * of zece.h (0 for success); a plug-in's status is handed to the caller unchanged. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "zece.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The interface version a plug-in is built against; a table of another version is refused. */
#define ZECE_PLUGIN_ABI_VERSION 1

/* One op instance, made by create and owned by the plug-in. */
typedef void zecePluginInstance;

/* A member of an input or output dataset: memory of a live device block, `size` bytes
 * long, checked by the library before the call and valid until the call returns. */
typedef struct {
    void *data;
    uint64_t size;
} zecePluginBuffer;

/* The plug-in's table. Function pointers marked optional may be null. Calls into one
 * instance never overlap; calls into different instances may run on different threads
 * at once. From inside a plug-in function, running, configuring or setting the callbacks
 * of a customized op, and unloading a set, return zeceER_INVALID_PARAM (they would wait
 * for a call in progress); every other library call may be made. */
typedef struct {
    /* ZECE_PLUGIN_ABI_VERSION. */
    uint32_t abiVersion;
    /* Number of ops in the set, 0 to ZECE_PLUGIN_MAX_OPS. */
    int32_t opCount;
    /* opCount distinct names, each non-empty and shorter than OPNAME_MAX_LEN bytes. */
    const char *const *opNames;
    /* A new instance of the op `name` (one of opNames), or null when none can be made. */
    zecePluginInstance *(*create)(const char *name);
    /* Optional. Releases an instance; called once, after its last other call. */
    void (*destroy)(zecePluginInstance *instance);
    /* Optional. Receives the op's configuration block of `size` bytes (config may be null
     * when size is 0); the block is valid only during the call. Without it, the op takes
     * only empty blocks. */
    uint32_t (*configure)(zecePluginInstance *instance, const void *config, uint32_t size);
    /* Optional. Receives the ZECE_CFG_CALLBACK_NUM slots of the op's callback table (as
     * zece.h describes them), after the library has read and checked the counts, shapes and
     * depths they give. The table is the library's copy: it stays readable until the
     * instance is destroyed and changes only during a later setCallbacks call. */
    uint32_t (*setCallbacks)(zecePluginInstance *instance, const zeceCfgCallback *table);
    /* Runs the op. inputs and outputs are the members of the datasets in order (null when
     * their count is 0). When the callback table declared the counts, the datasets have
     * exactly those. */
    uint32_t (*execute)(zecePluginInstance *instance, const zecePluginBuffer *inputs,
                        uint32_t inputCount, const zecePluginBuffer *outputs,
                        uint32_t outputCount);
} zecePlugin;

/* Most ops one plug-in may list. */
#define ZECE_PLUGIN_MAX_OPS 1024

/* The entry every plug-in exports, returning its table (which must stay valid while the
 * library is loaded), or null to refuse the load. */
ZE_API const zecePlugin *zecePluginEntry(void);
typedef const zecePlugin *(*zecePluginEntryFn)(void);

#ifdef __cplusplus
}

static_assert(sizeof(zecePluginBuffer) == 16, "zecePluginBuffer layout");
static_assert(offsetof(zecePluginBuffer, data) == 0, "zecePluginBuffer layout");
static_assert(offsetof(zecePluginBuffer, size) == 8, "zecePluginBuffer layout");
static_assert(offsetof(zecePlugin, abiVersion) == 0, "zecePlugin layout");
static_assert(offsetof(zecePlugin, opCount) == 4, "zecePlugin layout");
static_assert(offsetof(zecePlugin, opNames) == 8, "zecePlugin layout");
static_assert(offsetof(zecePlugin, create) == 16, "zecePlugin layout");
static_assert(offsetof(zecePlugin, execute) == 48, "zecePlugin layout");
static_assert(sizeof(zecePlugin) == 56, "zecePlugin layout");
#endif
