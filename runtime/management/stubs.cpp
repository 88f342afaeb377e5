// Placeholder management entry points until the management library lands.
#include "sim/call.hpp"
#include "zeml.h"

#define ZEML_STUB(name, params, ...) \
    uint32_t name params { ZESIM_CALL(__VA_ARGS__) { return ZEML_ERROR_UNINITIALIZED; }; }
#define P(x) static_cast<const void *>(x)

ZEML_STUB(zemlInit, (void))
ZEML_STUB(zemlShutDown, (void))
ZEML_STUB(zemlSetLogLevel, (zemlLogLevel_enum l), l)
uint32_t zemlLogMsg(zemlLogLevel_enum l, const char *s, zemlOpStatus_enum st, const char *t, ...) {
    ZESIM_CALL(l, s, st, t) { return ZEML_ERROR_UNINITIALIZED; };
}
const char *zemlErrorString(zemlOpStatus_enum) { return "placeholder"; }
ZEML_STUB(zemlGetAiDeviceCount, (uint32_t *n), n)
ZEML_STUB(zemlGetCodecDeviceCount, (uint32_t *n), n)
ZEML_STUB(zemlGetAiDevInfo, (zemlAiDevInfo_struct *d, uint32_t n), P(d), n)
ZEML_STUB(zemlGetCodecDevInfo, (zemlCodecDevInfo_struct *d, uint32_t n), P(d), n)
ZEML_STUB(zemlGetDieIndexByDevIndex, (uint32_t i, zemlDieIndex *d), i, d)
ZEML_STUB(zemlGetCardCount, (uint32_t *n), n)
ZEML_STUB(zemlGetCardInfo, (uint32_t *n, zemlCardInfo_struct *c, uint32_t k), n, P(c), k)
ZEML_STUB(zemlGetHandleByUUID, (const char *u, uint64_t *h), u, h)
ZEML_STUB(zemlGetHandleByPciBusId, (const char *b, uint64_t *h), b, h)
ZEML_STUB(zemlGetCardHandleByIndex, (uint32_t i, uint64_t *h), i, h)
ZEML_STUB(zemlGetCardHandleByCardId, (uint16_t i, uint64_t *h), i, h)
ZEML_STUB(zemlGetUUID, (uint64_t h, char *u, uint32_t n), h, P(u), n)
ZEML_STUB(zemlGetPciInfo, (uint64_t h, zemlPciInfo_struct *p), h, P(p))
ZEML_STUB(zemlGetCapability, (uint64_t h, zemlCapability_struct *c), h, P(c))
ZEML_STUB(zemlGetFanSpeedInfo, (uint64_t h, zemlFanSpeedInfo_struct *f), h, P(f))
ZEML_STUB(zemlGetManageNodeAttribute, (zemlNodeBaseInfo_struct *n), P(n))
ZEML_STUB(zemlGetDriverSWVersion, (char *v, uint32_t n), P(v), n)
ZEML_STUB(zemlGetDieCount, (uint64_t h, uint32_t *n), h, n)
ZEML_STUB(zemlGetDieInfo, (uint64_t h, zemlDieBaseInfo_struct *d, uint32_t *n, uint32_t k), h, P(d), n, k)
ZEML_STUB(zemlGetDieHandleByIndex, (uint64_t h, uint32_t i, uint64_t *d), h, i, d)
ZEML_STUB(zemlGetDieHandleByDieIndex, (zemlDieIndex i, uint64_t *d), i, d)
ZEML_STUB(zemlGetPllClocks, (uint64_t h, zemlPllClock_struct *s), h, P(s))
ZEML_STUB(zemlGetTemperature, (uint64_t h, zemlTemperature_struct *s), h, P(s))
ZEML_STUB(zemlGetPower, (uint64_t h, zemlPower_struct *s), h, P(s))
ZEML_STUB(zemlGetPinVolt, (uint64_t h, zemlPinVolt_struct *s), h, P(s))
ZEML_STUB(zemlGetPowerCur, (uint64_t h, zemlPowerCur_struct *s), h, P(s))
ZEML_STUB(zemlGetPowerVolt, (uint64_t h, zemlPowerVolt_struct *s), h, P(s))
ZEML_STUB(zemlGetTempThreshold, (uint64_t h, zemlTempThreshold_struct *s), h, P(s))
ZEML_STUB(zemlGetMemUtilizationRate, (uint64_t h, zemlMemUtilizationRate_stuct *s), h, P(s))
ZEML_STUB(zemlGetMcuUtilizationRate, (uint64_t h, zemlMcuUtilizationRate_struct *s), h, P(s))
ZEML_STUB(zemlGetUtilizationRate, (uint64_t h, zemlUtilizationRate_struct *s), h, P(s))
ZEML_STUB(zemlGetRunningProcesses, (uint64_t h, zemlProcessInfo_struct *p, uint32_t *n, uint32_t k), h, P(p), n, k)
ZEML_STUB(zemlGetNetWorkRunningInfo, (uint64_t h, zemlProcessInfo_struct *p, uint32_t *n, uint32_t k), h, P(p), n, k)
