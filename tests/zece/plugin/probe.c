/* The tests' plug-in: reports what the library hands it. ZECE_PROBE_TABLE, read at each
 * load, picks a faulty table (see the entry) or, unset, the ops "probe" and "refuse"
 * (whose create fails). probe's execute writes into its first output, as int64: the live
 * instances, the input and output counts, the first input's size, the last configuration
 * size, and slot 0 of the callback table called now (-1 without one). */
#include <stdlib.h>
#include <string.h>

#include "zeceplugin.h"

typedef struct {
    uint32_t size;
    const zeceCfgCallback *callbacks;
} Probe;

static int live;

static zecePluginInstance *create(const char *name) {
    Probe *probe = strcmp(name, "probe") ? NULL : calloc(1, sizeof(Probe));
    live += probe != NULL;
    return probe;
}

static void destroy(zecePluginInstance *instance) {
    free(instance);
    --live;
}

static uint32_t configure(zecePluginInstance *instance, const void *config, uint32_t size) {
    ((Probe *)instance)->size = size;
    return 0;
}

static uint32_t setCallbacks(zecePluginInstance *instance, const zeceCfgCallback *table) {
    if (table[4] && ((zeceCfgCountFn)table[4])() == 13) return zeceER_NOT_IMPLEMENT; /* refuses depth 13 */
    ((Probe *)instance)->callbacks = table;
    return 0;
}

static uint32_t execute(zecePluginInstance *instance, const zecePluginBuffer *inputs, uint32_t inputCount,
                        const zecePluginBuffer *outputs, uint32_t outputCount) {
    Probe *probe = instance;
    int64_t report[6] = {live, inputCount, outputCount, inputCount ? (int64_t)inputs[0].size : -1, probe->size, -1};
    if (probe->callbacks && probe->callbacks[0]) report[5] = ((zeceCfgCountFn)probe->callbacks[0])();
    if (outputCount && outputs[0].size >= sizeof report) memcpy(outputs[0].data, report, sizeof report);
    return probe->size == 4 ? zeceER_NOT_IMPLEMENT : 0; /* a 4-byte block makes runs fail */
}

static const char *names[] = {"probe", "refuse"};
static char name[OPNAME_MAX_LEN + 1];

const zecePlugin *zecePluginEntry(void) {
    static zecePlugin table;
    const zecePlugin good = {ZECE_PLUGIN_ABI_VERSION, 2, names, create, destroy, configure, setCallbacks, execute};
    const char *variant = getenv("ZECE_PROBE_TABLE") ? getenv("ZECE_PROBE_TABLE") : "";
    static const char *nullName[] = {"probe", NULL}, *twice[] = {"probe", "probe"}, *empty[] = {""};
    static const char *longName[] = {name};
    size_t length = strcmp(variant, "long-name") ? OPNAME_MAX_LEN - 1 : OPNAME_MAX_LEN;
    memset(name, 'n', length);
    name[length] = 0;
    table = good;
    if (!strcmp(variant, "null")) return NULL;
    if (!strcmp(variant, "abi")) table.abiVersion = ZECE_PLUGIN_ABI_VERSION + 1;
    if (!strcmp(variant, "negative")) table.opCount = -1;
    if (!strcmp(variant, "too-many")) table.opCount = ZECE_PLUGIN_MAX_OPS + 1;
    if (!strcmp(variant, "no-names")) table.opNames = NULL;
    if (!strcmp(variant, "null-name")) table.opNames = nullName;
    if (!strcmp(variant, "duplicate")) table.opNames = twice;
    if (!strcmp(variant, "no-create")) table.create = NULL;
    if (!strcmp(variant, "no-execute")) table.execute = NULL;
    if (!strcmp(variant, "empty-name") || !strcmp(variant, "long-name") || !strcmp(variant, "longest")) {
        table.opCount = 1;
        table.opNames = strcmp(variant, "empty-name") ? longName : empty;
    }
    if (!strcmp(variant, "none")) table.opCount = 0;
    return &table;
}
