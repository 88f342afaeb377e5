/* Management library (libzeml): initialisation, logging, device inventory, card
 * queries and die telemetry. Cards and dies are named by 64-bit handles. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifndef ZE_API
#define ZE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of every management call; zemlErrorString describes them. */
typedef enum {
    ZEML_SUCCESS = 0,
    ZEML_ERROR_UNINITIALIZED = 70001,
    ZEML_ERROR_INITIALIZED = 70002,
    ZEML_ERROR_FETCH_API = 70003,
    ZEML_ERROR_CARD_EMPTY = 70004,
    ZEML_ERROR_INITI_FAIL = 70005,
    ZEML_ERROR_CARD_NOTFOUND = 70006,
    ZEML_ERROR_INPUT_PARAMETER_NULL = 70007,
    ZEML_ERROR_INPUT_PARAMETER_ERROR = 70008,
    ZEML_ERROR_PCIE_MAJOR_ERROR = 70009,
    ZEML_USER_BUF_INSUFFICIENT = 70010,
    ZEML_ERROR_CALLBACK_INITIALIZED = 70011,
    ZEML_ERROR_CALLBACK_UNINITIALIZED = 70012,
    ZEML_ERROR_PROFILER_ALREADY_RUNNING = 70013,
    ZEML_ERROR_PROFILER_ALREADY_STOP = 70014,
    ZEML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID = 70014, /* shares the value above */
    ZEML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID = 70016,
    ZEML_ERROR_AI_SCRIPT_PATH_INVALID = 70017,
    ZEML_ERROR_AI_SCRIPT_ROOT_PERMISSION = 70018,
    ZEML_ERROR_MAX = 79999
} zemlOpStatus_enum;

enum { zemlER_SUCCESS = 0 };

typedef enum {
    ZEML_LOG_TRACE = 0,
    ZEML_LOG_DEBUG = 1,
    ZEML_LOG_INFO = 2,
    ZEML_LOG_WARN = 3,
    ZEML_LOG_ERROR = 4,
    ZEML_LOG_FATAL = 5,
    ZEML_LOG_NONE = 6 /* as a threshold: log nothing */
} zemlLogLevel_enum;

/* Array capacities of the telemetry records. */
#define MAX_PLL_CLOCK_SUBMODULE 12
#define MAX_TEMPERATURE_SUBMODULE 15
#define MAX_TEMP_THRESHOLD_SUBMODULE 3
#define MAX_POWER_SUMMODULE 4
#define MAX_POWER_CURRENT_SUMMODULE 3
#define MAX_POWER_VOLTAGE_SUMMODULE 3
#define MAX_PIN_VOLT_SUMMODULE 6
#define MAX_PVT_VOLT_SUMMODULE 7
#define MAX_DIE_CMCU_NUM 1
#define MAX_DIE_VDSP_NUM 4
#define MAX_DIE_VDMCU_NUM 3
#define MAX_DIE_VEMCU_NUM 4

/* Text fields (NUL-terminated inside their width) and the dies a card record holds. */
#define ZEML_NODE_NAME_LEN 64
#define ZEML_BUS_ID_LEN 16
#define ZEML_UUID_LEN 32
#define ZEML_CARD_TYPE_NAME_LEN 34
#define ZEML_PROCESS_NAME_LEN 128
#define ZEML_MAX_CARD_DIE_NUM 4

/* Physical index of a die, 32 bits: byte 0 the die id, bytes 1 and 2 the card id
 * (little-endian), byte 3 the die's sequence number on the host. */
typedef uint32_t zemlDieIndex;
#define ZEML_DIE_INDEX(dieId, cardId, seqNum)                                                      \
    ((zemlDieIndex)(((uint32_t)(dieId)&0xFFu) | (((uint32_t)(cardId)&0xFFFFu) << 8) |              \
                    (((uint32_t)(seqNum)&0xFFu) << 24)))
#define ZEML_DIE_INDEX_DIE_ID(index) ((uint32_t)(index)&0xFFu)
#define ZEML_DIE_INDEX_CARD_ID(index) (((uint32_t)(index) >> 8) & 0xFFFFu)
#define ZEML_DIE_INDEX_SEQ_NUM(index) (((uint32_t)(index) >> 24) & 0xFFu)

typedef struct {
    uint16_t renderId;
    uint16_t cardId;
} zemlPciCardId_struct;

/* Device node numbers: minor in the low 16 bits, major in the high 16. */
typedef union {
    uint32_t value;
    struct {
        uint16_t minor;
        uint16_t major;
    } parts;
} zemlNodeMajorMinor_union;

/* A device node of the host. */
typedef struct {
    char name[ZEML_NODE_NAME_LEN];
    zemlNodeMajorMinor_union majorMinor;
} zemlNodeBaseInfo_struct;

typedef struct {
    zemlDieIndex dieIndex;
    zemlNodeBaseInfo_struct aiBaseInfo;
} zemlAiDevInfo_struct;

typedef struct {
    zemlDieIndex dieIndex;
    zemlNodeBaseInfo_struct videoBaseInfo;
} zemlCodecDevInfo_struct;

typedef struct {
    zemlDieIndex dieIndex;
    zemlNodeBaseInfo_struct zeccBaseInfo; /* the accelerator node */
    zemlNodeBaseInfo_struct renderBaseInfo;
    zemlNodeBaseInfo_struct videoBaseInfo;
} zemlDieBaseInfo_struct;

typedef struct {
    char busId[ZEML_BUS_ID_LEN]; /* domain:bus:device.function */
    uint32_t domain;
    uint32_t bus;
    uint32_t card;
    zemlPciCardId_struct pciId;
    uint32_t pciSubId; /* byte 0 the sub-vendor id, byte 1 the sub-card id */
    zemlNodeBaseInfo_struct pcieCardBaseInfo;
    zemlNodeBaseInfo_struct pcieCardVersionBaseInfo;
    zemlNodeBaseInfo_struct pcieCardCtlBaseInfo;
} zemlPciInfo_struct;

typedef struct {
    uint32_t aiCapability;
    uint32_t videoCapability;
} zemlCapability_struct;

typedef struct {
    uint16_t cardId;
    char uuid[ZEML_UUID_LEN];
    char cardTypeName[ZEML_CARD_TYPE_NAME_LEN];
    zemlPciInfo_struct pciInfo;
    zemlCapability_struct cardCapability;
    zemlNodeBaseInfo_struct manNodeBaseInfo;
    uint32_t dieNum; /* entries of dieInfo in use */
    zemlDieBaseInfo_struct dieInfo[ZEML_MAX_CARD_DIE_NUM];
} zemlCardInfo_struct;

typedef struct {
    int32_t fanSpeedLevel;
} zemlFanSpeedInfo_struct;

/* Telemetry: a unit code, then the readings of every sub-module in the unit. Unit codes:
 * 0 degrees Celsius, 1 milliwatts, 2 milliamperes, 3 millivolts, 4 MHz. */
typedef struct {
    uint32_t unit;
    uint32_t clockArray[MAX_PLL_CLOCK_SUBMODULE];
} zemlPllClock_struct;

typedef struct {
    uint32_t unit;
    uint32_t temperature[MAX_TEMPERATURE_SUBMODULE];
} zemlTemperature_struct;

typedef struct {
    uint32_t unit;
    uint32_t tempThreshold[MAX_TEMP_THRESHOLD_SUBMODULE];
} zemlTempThreshold_struct;

typedef struct {
    uint32_t unit;
    uint32_t pinVolt[MAX_PIN_VOLT_SUMMODULE];
} zemlPinVolt_struct;

typedef struct {
    uint32_t unit;
    uint32_t power[MAX_POWER_SUMMODULE];
} zemlPower_struct;

typedef struct {
    uint32_t unit;
    uint32_t powerCur[MAX_POWER_CURRENT_SUMMODULE];
} zemlPowerCur_struct;

typedef struct {
    uint32_t unit;
    uint32_t powerVolt[MAX_POWER_VOLTAGE_SUMMODULE];
} zemlPowerVolt_struct;

/* Device memory of a die's AI device in bytes, over every process using it; utilizationRate
 * in percent. */
typedef struct {
    uint64_t total;
    uint64_t free;
    uint64_t used;
    int32_t utilizationRate;
} zemlMemUtilizationRate_stuct;

/* Load of the die's units in percent over the last second: ai compute runs, vdsp preprocess
 * ops, vemcu encoder and vdmcu decoder channel work. */
typedef struct {
    int32_t ai;
    int32_t vdsp;
    int32_t vemcu;
    int32_t vdmcu;
} zemlUtilizationRate_struct;

/* Load of each microcontroller in percent: a unit's load spread over its entries, filling them
 * in order. */
typedef struct {
    int32_t ai;
    int32_t vdsp[MAX_DIE_VDSP_NUM];
    int32_t vemcu[MAX_DIE_VEMCU_NUM];
    int32_t vdmcu[MAX_DIE_VDMCU_NUM];
} zemlMcuUtilizationRate_struct;

typedef struct {
    int32_t pid;
    int32_t memused; /* device memory in MiB */
    char name[ZEML_PROCESS_NAME_LEN];
} zemlProcessInfo_struct;

/* Initialisation, logging and error texts. Every call but zemlGetVersion and zemlErrorString
 * returns ZEML_ERROR_UNINITIALIZED before zemlInit and after zemlShutDown. */
ZE_API uint32_t zemlInit(void);
ZE_API uint32_t zemlShutDown(void);
ZE_API uint32_t zemlGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch,
                               uint32_t *build);
/* Records below level are dropped (ZEML_LOG_INFO until set; ZEML_LOG_NONE drops all). */
ZE_API uint32_t zemlSetLogLevel(zemlLogLevel_enum level);
/* source: the caller's name for where the message comes from; status: the status it reports;
 * format: the message text. Both texts are written literally: the text is never read as a
 * format and the variable arguments are never read (a text holding %s is written as %s). */
ZE_API uint32_t zemlLogMsg(zemlLogLevel_enum level, const char *source, zemlOpStatus_enum status,
                           const char *format, ...);
/* Static text; an unknown code gives a text naming it as unknown. */
ZE_API const char *zemlErrorString(zemlOpStatus_enum status);

/* Device inventory: devices in logical (device index) order. */
ZE_API uint32_t zemlGetAiDeviceCount(uint32_t *count);
ZE_API uint32_t zemlGetCodecDeviceCount(uint32_t *count);
/* Fill the first count entries; count above the number of devices is refused. */
ZE_API uint32_t zemlGetAiDevInfo(zemlAiDevInfo_struct *devices, uint32_t count);
ZE_API uint32_t zemlGetCodecDevInfo(zemlCodecDevInfo_struct *devices, uint32_t count);
ZE_API uint32_t zemlGetDieIndexByDevIndex(uint32_t devIndex, zemlDieIndex *dieIndex);

/* Cards. Lists write at most capacity entries and their number; texts are NUL-terminated
 * within length bytes (ZEML_USER_BUF_INSUFFICIENT when the text and its NUL do not fit). A
 * card record's uuid holds the first 31 characters of the UUID; zemlGetUUID gives all 36, and
 * zemlGetHandleByUUID takes either. */
ZE_API uint32_t zemlGetCardCount(uint32_t *count);
ZE_API uint32_t zemlGetCardInfo(uint32_t *count, zemlCardInfo_struct *cards, uint32_t capacity);
ZE_API uint32_t zemlGetHandleByUUID(const char *uuid, uint64_t *cardHandle);
ZE_API uint32_t zemlGetHandleByPciBusId(const char *busId, uint64_t *cardHandle);
ZE_API uint32_t zemlGetCardHandleByIndex(uint32_t index, uint64_t *cardHandle);
ZE_API uint32_t zemlGetCardHandleByCardId(uint16_t cardId, uint64_t *cardHandle);
ZE_API uint32_t zemlGetUUID(uint64_t cardHandle, char *uuid, uint32_t length);
ZE_API uint32_t zemlGetPciInfo(uint64_t cardHandle, zemlPciInfo_struct *pciInfo);
ZE_API uint32_t zemlGetCapability(uint64_t cardHandle, zemlCapability_struct *capability);
ZE_API uint32_t zemlGetFanSpeedInfo(uint64_t cardHandle, zemlFanSpeedInfo_struct *fanSpeed);
ZE_API uint32_t zemlGetManageNodeAttribute(zemlNodeBaseInfo_struct *node);
ZE_API uint32_t zemlGetDriverSWVersion(char *version, uint32_t length);

/* Dies */
ZE_API uint32_t zemlGetDieCount(uint64_t cardHandle, uint32_t *count);
ZE_API uint32_t zemlGetDieInfo(uint64_t cardHandle, zemlDieBaseInfo_struct *dies, uint32_t *count,
                               uint32_t capacity);
ZE_API uint32_t zemlGetDieHandleByIndex(uint64_t cardHandle, uint32_t index, uint64_t *dieHandle);
ZE_API uint32_t zemlGetDieHandleByDieIndex(zemlDieIndex dieIndex, uint64_t *dieHandle);
ZE_API uint32_t zemlGetPllClocks(uint64_t dieHandle, zemlPllClock_struct *clocks);
ZE_API uint32_t zemlGetTemperature(uint64_t dieHandle, zemlTemperature_struct *temperature);
ZE_API uint32_t zemlGetPower(uint64_t dieHandle, zemlPower_struct *power);
ZE_API uint32_t zemlGetPinVolt(uint64_t dieHandle, zemlPinVolt_struct *pinVolt);
ZE_API uint32_t zemlGetPowerCur(uint64_t dieHandle, zemlPowerCur_struct *powerCur);
ZE_API uint32_t zemlGetPowerVolt(uint64_t dieHandle, zemlPowerVolt_struct *powerVolt);
ZE_API uint32_t zemlGetTempThreshold(uint64_t dieHandle, zemlTempThreshold_struct *threshold);
ZE_API uint32_t zemlGetMemUtilizationRate(uint64_t dieHandle, zemlMemUtilizationRate_stuct *rate);
ZE_API uint32_t zemlGetMcuUtilizationRate(uint64_t dieHandle, zemlMcuUtilizationRate_struct *rate);
ZE_API uint32_t zemlGetUtilizationRate(uint64_t dieHandle, zemlUtilizationRate_struct *rate);
/* Processes with device memory on the die's AI device or work on one of its devices over the
 * last second (compute, preprocess, decoder or encoder; in pid order), memused in MiB rounded up
 * as the die's used memory counts it; and those using its network units (the card has none:
 * always empty). Lists write at most capacity entries and their number. */
ZE_API uint32_t zemlGetRunningProcesses(uint64_t dieHandle, zemlProcessInfo_struct *processes,
                                        uint32_t *count, uint32_t capacity);
ZE_API uint32_t zemlGetNetWorkRunningInfo(uint64_t dieHandle, zemlProcessInfo_struct *processes,
                                          uint32_t *count, uint32_t capacity);

#ifdef __cplusplus
}

static_assert(sizeof(zemlOpStatus_enum) == 4, "zemlOpStatus_enum is 32-bit");
static_assert(sizeof(zemlLogLevel_enum) == 4, "zemlLogLevel_enum is 32-bit");
static_assert(sizeof(zemlDieIndex) == 4, "zemlDieIndex is 32-bit");

static_assert(sizeof(zemlPciCardId_struct) == 4, "zemlPciCardId_struct layout");
static_assert(offsetof(zemlPciCardId_struct, renderId) == 0, "zemlPciCardId_struct layout");
static_assert(offsetof(zemlPciCardId_struct, cardId) == 2, "zemlPciCardId_struct layout");

static_assert(sizeof(zemlNodeMajorMinor_union) == 4, "zemlNodeMajorMinor_union layout");
static_assert(offsetof(zemlNodeMajorMinor_union, parts.minor) == 0,
              "zemlNodeMajorMinor_union layout");
static_assert(offsetof(zemlNodeMajorMinor_union, parts.major) == 2,
              "zemlNodeMajorMinor_union layout");

static_assert(sizeof(zemlNodeBaseInfo_struct) == 68, "zemlNodeBaseInfo_struct layout");
static_assert(offsetof(zemlNodeBaseInfo_struct, name) == 0, "zemlNodeBaseInfo_struct layout");
static_assert(offsetof(zemlNodeBaseInfo_struct, majorMinor) == 64,
              "zemlNodeBaseInfo_struct layout");

static_assert(sizeof(zemlAiDevInfo_struct) == 72, "zemlAiDevInfo_struct layout");
static_assert(offsetof(zemlAiDevInfo_struct, dieIndex) == 0, "zemlAiDevInfo_struct layout");
static_assert(offsetof(zemlAiDevInfo_struct, aiBaseInfo) == 4, "zemlAiDevInfo_struct layout");
static_assert(sizeof(zemlCodecDevInfo_struct) == 72, "zemlCodecDevInfo_struct layout");
static_assert(offsetof(zemlCodecDevInfo_struct, dieIndex) == 0, "zemlCodecDevInfo_struct layout");
static_assert(offsetof(zemlCodecDevInfo_struct, videoBaseInfo) == 4,
              "zemlCodecDevInfo_struct layout");

static_assert(sizeof(zemlDieBaseInfo_struct) == 208, "zemlDieBaseInfo_struct layout");
static_assert(offsetof(zemlDieBaseInfo_struct, dieIndex) == 0, "zemlDieBaseInfo_struct layout");
static_assert(offsetof(zemlDieBaseInfo_struct, zeccBaseInfo) == 4, "zemlDieBaseInfo_struct layout");
static_assert(offsetof(zemlDieBaseInfo_struct, renderBaseInfo) == 72,
              "zemlDieBaseInfo_struct layout");
static_assert(offsetof(zemlDieBaseInfo_struct, videoBaseInfo) == 140,
              "zemlDieBaseInfo_struct layout");

static_assert(sizeof(zemlPciInfo_struct) == 240, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, busId) == 0, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, domain) == 16, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, bus) == 20, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, card) == 24, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pciId) == 28, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pciId.renderId) == 28, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pciId.cardId) == 30, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pciSubId) == 32, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pcieCardBaseInfo) == 36, "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pcieCardVersionBaseInfo) == 104,
              "zemlPciInfo_struct layout");
static_assert(offsetof(zemlPciInfo_struct, pcieCardCtlBaseInfo) == 172,
              "zemlPciInfo_struct layout");

static_assert(sizeof(zemlCapability_struct) == 8, "zemlCapability_struct layout");
static_assert(offsetof(zemlCapability_struct, aiCapability) == 0, "zemlCapability_struct layout");
static_assert(offsetof(zemlCapability_struct, videoCapability) == 4,
              "zemlCapability_struct layout");

static_assert(sizeof(zemlCardInfo_struct) == 1220, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, cardId) == 0, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, uuid) == 2, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, cardTypeName) == 34, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, pciInfo) == 68, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, cardCapability) == 308, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, manNodeBaseInfo) == 316, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, dieNum) == 384, "zemlCardInfo_struct layout");
static_assert(offsetof(zemlCardInfo_struct, dieInfo) == 388, "zemlCardInfo_struct layout");

static_assert(sizeof(zemlFanSpeedInfo_struct) == 4, "zemlFanSpeedInfo_struct layout");
static_assert(offsetof(zemlFanSpeedInfo_struct, fanSpeedLevel) == 0,
              "zemlFanSpeedInfo_struct layout");

static_assert(sizeof(zemlPllClock_struct) == 52, "zemlPllClock_struct layout");
static_assert(offsetof(zemlPllClock_struct, unit) == 0, "zemlPllClock_struct layout");
static_assert(offsetof(zemlPllClock_struct, clockArray) == 4, "zemlPllClock_struct layout");
static_assert(sizeof(zemlTemperature_struct) == 64, "zemlTemperature_struct layout");
static_assert(offsetof(zemlTemperature_struct, unit) == 0, "zemlTemperature_struct layout");
static_assert(offsetof(zemlTemperature_struct, temperature) == 4, "zemlTemperature_struct layout");
static_assert(sizeof(zemlTempThreshold_struct) == 16, "zemlTempThreshold_struct layout");
static_assert(offsetof(zemlTempThreshold_struct, unit) == 0, "zemlTempThreshold_struct layout");
static_assert(offsetof(zemlTempThreshold_struct, tempThreshold) == 4,
              "zemlTempThreshold_struct layout");
static_assert(sizeof(zemlPinVolt_struct) == 28, "zemlPinVolt_struct layout");
static_assert(offsetof(zemlPinVolt_struct, unit) == 0, "zemlPinVolt_struct layout");
static_assert(offsetof(zemlPinVolt_struct, pinVolt) == 4, "zemlPinVolt_struct layout");
static_assert(sizeof(zemlPower_struct) == 20, "zemlPower_struct layout");
static_assert(offsetof(zemlPower_struct, unit) == 0, "zemlPower_struct layout");
static_assert(offsetof(zemlPower_struct, power) == 4, "zemlPower_struct layout");
static_assert(sizeof(zemlPowerCur_struct) == 16, "zemlPowerCur_struct layout");
static_assert(offsetof(zemlPowerCur_struct, unit) == 0, "zemlPowerCur_struct layout");
static_assert(offsetof(zemlPowerCur_struct, powerCur) == 4, "zemlPowerCur_struct layout");
static_assert(sizeof(zemlPowerVolt_struct) == 16, "zemlPowerVolt_struct layout");
static_assert(offsetof(zemlPowerVolt_struct, unit) == 0, "zemlPowerVolt_struct layout");
static_assert(offsetof(zemlPowerVolt_struct, powerVolt) == 4, "zemlPowerVolt_struct layout");

static_assert(sizeof(zemlMemUtilizationRate_stuct) == 32, "zemlMemUtilizationRate_stuct layout");
static_assert(offsetof(zemlMemUtilizationRate_stuct, total) == 0,
              "zemlMemUtilizationRate_stuct layout");
static_assert(offsetof(zemlMemUtilizationRate_stuct, free) == 8,
              "zemlMemUtilizationRate_stuct layout");
static_assert(offsetof(zemlMemUtilizationRate_stuct, used) == 16,
              "zemlMemUtilizationRate_stuct layout");
static_assert(offsetof(zemlMemUtilizationRate_stuct, utilizationRate) == 24,
              "zemlMemUtilizationRate_stuct layout");

static_assert(sizeof(zemlUtilizationRate_struct) == 16, "zemlUtilizationRate_struct layout");
static_assert(offsetof(zemlUtilizationRate_struct, ai) == 0, "zemlUtilizationRate_struct layout");
static_assert(offsetof(zemlUtilizationRate_struct, vdsp) == 4, "zemlUtilizationRate_struct layout");
static_assert(offsetof(zemlUtilizationRate_struct, vemcu) == 8,
              "zemlUtilizationRate_struct layout");
static_assert(offsetof(zemlUtilizationRate_struct, vdmcu) == 12,
              "zemlUtilizationRate_struct layout");

static_assert(sizeof(zemlMcuUtilizationRate_struct) == 48, "zemlMcuUtilizationRate_struct layout");
static_assert(offsetof(zemlMcuUtilizationRate_struct, ai) == 0,
              "zemlMcuUtilizationRate_struct layout");
static_assert(offsetof(zemlMcuUtilizationRate_struct, vdsp) == 4,
              "zemlMcuUtilizationRate_struct layout");
static_assert(offsetof(zemlMcuUtilizationRate_struct, vemcu) == 20,
              "zemlMcuUtilizationRate_struct layout");
static_assert(offsetof(zemlMcuUtilizationRate_struct, vdmcu) == 36,
              "zemlMcuUtilizationRate_struct layout");

static_assert(sizeof(zemlProcessInfo_struct) == 136, "zemlProcessInfo_struct layout");
static_assert(offsetof(zemlProcessInfo_struct, pid) == 0, "zemlProcessInfo_struct layout");
static_assert(offsetof(zemlProcessInfo_struct, memused) == 4, "zemlProcessInfo_struct layout");
static_assert(offsetof(zemlProcessInfo_struct, name) == 8, "zemlProcessInfo_struct layout");
#endif
