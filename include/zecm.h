/* Common runtime (libzecm): devices, contexts, memory, data buffers, tensors,
 * datasets, data types, float16 conversion and logging. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifndef ZE_API
#define ZE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. 0 is success; every other code is described by zecmGetErrDesc. */
enum {
    zecmER_SUCCESS = 0,
    zecmER_INVALID_PARAM = 100001,       /* a null, out-of-range or malformed argument */
    zecmER_INVALID_HANDLE = 100002,      /* null, stale, destroyed or wrong-kind handle */
    zecmER_NOT_INITIALIZED = 100003,     /* zecmInitialize has not been called */
    zecmER_ALREADY_INITIALIZED = 100004, /* zecmInitialize called twice */
    zecmER_INVALID_DEVICE = 100005,      /* no such device index */
    zecmER_NO_DEVICE = 100006,           /* no device selected with zecmSetDevice */
    zecmER_OUT_OF_MEMORY = 100007,       /* the device or host has no room for the block */
    zecmER_INVALID_CONFIG = 100008,      /* configuration text or ZESIM_CONFIG file is invalid */
    zecmER_BUFFER_TOO_SMALL = 100009,    /* an output buffer cannot hold the result */
    zecmER_INVALID_ADDRESS = 100010,     /* an address or range outside every live block */
    zecmER_INVALID_COPY = 100011,        /* copy type does not match the memory kinds */
    zecmER_INVALID_DATATYPE = 100012,    /* data type unknown or without a size */
    zecmER_INVALID_INDEX = 100013,       /* member index outside the dataset */
    zecmER_DATASET_MODE = 100014,        /* buffer added to a tensor dataset or the reverse */
    zecmER_LOGGER = 100015,              /* the log file cannot be opened or written */
    zecmER_NOT_IMPLEMENT = 999991        /* not implemented by the software card */
};
#define ER_SUCCESS zecmER_SUCCESS
#define ER_NOT_IMPLEMENT zecmER_NOT_IMPLEMENT

/* Opaque runtime objects. Handles are untyped pointers, validated by the runtime. */
typedef void zecmContext;
typedef void zecmDataBuffer;
typedef void zecmTensor;
typedef void zecmDataset;
typedef void zecmStream; /* a queue for asynchronous work: null or an op stream of libzecl */

typedef enum {
    zecmDT_UINT8 = 0,
    zecmDT_INT8 = 1,
    zecmDT_UINT16 = 2,
    zecmDT_INT16 = 3,
    zecmDT_UINT32 = 4,
    zecmDT_INT32 = 5,
    zecmDT_FLOAT16 = 6,
    zecmDT_FLOAT32 = 7,
    zecmDT_BFLOAT = 8,
    zecmDT_ANY = 99
} zecmDType;

typedef enum {
    zecmCT_COPY_FROM_DEVICE = 0,
    zecmCT_COPY_TO_DEVICE = 1,
    zecmCT_COPY_DEVICE_TO_DEVICE = 2
} zecmCopyMemType;

typedef enum { zecmDE_CPU = 1, zecmDE_ZECC = 14 } zecmDeviceType;

typedef enum { zecmDM_BUFFER = 0, zecmDM_TENSOR = 1 } zecmDatasetMode;

typedef enum {
    zecmLC_APP = 0,
    zecmLC_CM = 1,
    zecmLC_CE = 2,
    zecmLC_CL = 3,
    zecmLC_ME = 4,
    zecmLC_ML = 5,
    zecmLC_RT = 6,
    zecmLC_NN = 7,
    zecmLC_TM = 8
} zecmLogChannel;

typedef enum {
    zecmLL_TRACE = 0,
    zecmLL_DEBUG = 1,
    zecmLL_INFO = 2,
    zecmLL_WARN = 3,
    zecmLL_ERROR = 4,
    zecmLL_ALARM = 5,
    zecmLL_FATAL = 6
} zecmLogLevel;

typedef struct {
    zecmDeviceType deviceType;
    uint32_t deviceIdx;
} zecmDeviceInfo;

#define ZECM_MAX_DIMS 6
typedef struct {
    uint32_t ndims;
    int64_t dims[ZECM_MAX_DIMS];
} zecmShape;

/* Devices, runtime and contexts */
ZE_API uint32_t zecmSetDevice(uint32_t device);
ZE_API uint32_t zecmResetDevice(uint32_t device);
ZE_API uint32_t zecmGetDevice(uint32_t *device);
/* config: JSON text of runtime options, or null for the defaults. */
ZE_API uint32_t zecmInitialize(const char *config);
ZE_API uint32_t zecmUninitialize(void);
ZE_API uint32_t zecmGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch,
                               uint32_t *build);
ZE_API uint32_t zecmGetErrDesc(uint32_t code, char *desc, uint32_t size);
ZE_API uint32_t zecmCreateContext(uint32_t device, zecmContext **context);
ZE_API uint32_t zecmDestroyContext(zecmContext *context);
ZE_API uint32_t zecmSetCurrentContext(zecmContext *context);
ZE_API uint32_t zecmGetCurrentContext(zecmContext **context);
/* Writes the card id, the die id and the die's sequence number on the host. */
ZE_API uint32_t zecmGetDeviceIdInfo(uint32_t device, uint32_t *cardId, uint32_t *dieId,
                                    uint32_t *seqNum);

/* Memory: copies take the source first and the destination second. */
ZE_API uint32_t zecmMalloc(uint64_t size, void **block);
ZE_API uint32_t zecmFree(void *block);
ZE_API uint32_t zecmMallocModelInOut(uint64_t size, void **block);
ZE_API uint32_t zecmFreeModelInOut(void *block);
ZE_API uint32_t zecmMemcpy(void *src, void *dst, uint64_t size, zecmCopyMemType type);
ZE_API uint32_t zecmMemcpyAsync(void *src, void *dst, uint64_t size, zecmCopyMemType type,
                                zecmStream *stream);
ZE_API uint32_t zecmMemcpyDevices(void *src, uint32_t srcDevice, void *dst, uint32_t dstDevice,
                                  uint64_t size);
ZE_API uint32_t zecmMemcpyDevicesAsync(void *src, uint32_t srcDevice, void *dst, uint32_t dstDevice,
                                       uint64_t size, zecmStream *stream);
ZE_API uint32_t zecmMemset(void *block, int32_t value, uint64_t size);
ZE_API uint32_t zecmMemsetAsync(void *block, int32_t value, uint64_t size, zecmStream *stream);
ZE_API uint32_t zecmMallocHost(uint64_t size, void **block);
ZE_API uint32_t zecmFreeHost(void *block);

/* Data buffers */
ZE_API uint32_t zecmCreateDataBuffer(zecmDeviceInfo info, void *address, uint64_t size,
                                     zecmDataBuffer **buffer);
ZE_API uint32_t zecmCreateDataBufferFromContext(zecmDeviceType type, void *address, uint64_t size,
                                                zecmDataBuffer **buffer);
ZE_API uint32_t zecmDestroyDataBuffer(zecmDataBuffer *buffer);
ZE_API uint32_t zecmGetDataBufferAddr(zecmDataBuffer *buffer, void **address);
ZE_API uint32_t zecmGetDataBufferSize(zecmDataBuffer *buffer, uint64_t *size);
ZE_API uint32_t zecmGetDataBufferDeviceInfo(zecmDataBuffer *buffer, zecmDeviceInfo *info);
ZE_API uint32_t zecmUpdateDataBuffer(zecmDataBuffer *buffer, zecmDeviceInfo info, void *address,
                                     uint64_t size);

/* Tensors: the shape is passed by value as the last argument. */
ZE_API uint32_t zecmCreateTensor(zecmDeviceInfo info, zecmDType type, zecmTensor **tensor,
                                 zecmShape shape);
/* owned: non-zero when the tensor takes ownership of the data (frees it when destroyed). */
ZE_API uint32_t zecmCreateTensorWithDataHandle(zecmDeviceInfo info, zecmDType type, void *data,
                                               uint32_t owned, zecmTensor **tensor,
                                               zecmShape shape);
ZE_API uint32_t zecmDestroyTensor(zecmTensor *tensor);
ZE_API uint32_t zecmGetTensorDataHandle(zecmTensor *tensor, void **data);
ZE_API uint32_t zecmSetTensorDataHandle(zecmTensor *tensor, void *data, uint32_t owned);
ZE_API uint32_t zecmGetTensorDeviceInfo(zecmTensor *tensor, zecmDeviceInfo *info);
ZE_API uint32_t zecmGetTensorShape(zecmTensor *tensor, zecmShape *shape);
ZE_API uint32_t zecmSetTensorShape(zecmTensor *tensor, const zecmShape *shape);
ZE_API uint32_t zecmGetTensorDataType(zecmTensor *tensor, zecmDType *type);
ZE_API uint32_t zecmSetTensorDataType(zecmTensor *tensor, zecmDType type);
ZE_API uint32_t zecmGetTensorSize(zecmTensor *tensor, uint64_t *size);

/* Datasets */
ZE_API uint32_t zecmCreateDataset(zecmDatasetMode mode, zecmDataset **dataset);
ZE_API uint32_t zecmDestroyDataset(zecmDataset *dataset);
ZE_API uint32_t zecmAddDatasetBuffer(zecmDataset *dataset, zecmDataBuffer *buffer);
ZE_API uint32_t zecmGetDatasetBufferCount(zecmDataset *dataset, uint32_t *count);
ZE_API uint32_t zecmGetDatasetBuffer(zecmDataset *dataset, int32_t index, zecmDataBuffer **buffer);
ZE_API uint32_t zecmAddDatasetTensor(zecmDataset *dataset, zecmTensor *tensor);
ZE_API uint32_t zecmGetDatasetTensorCount(zecmDataset *dataset, uint32_t *count);
ZE_API uint32_t zecmGetDatasetTensor(zecmDataset *dataset, int32_t index, zecmTensor **tensor);
ZE_API uint32_t zecmGetDatasetMode(zecmDataset *dataset, zecmDatasetMode *mode);
ZE_API uint32_t zecmGetDatasetUserCtx(zecmDataset *dataset, void **userCtx);
ZE_API uint32_t zecmSetDatasetUserCtx(zecmDataset *dataset, void *userCtx);
ZE_API uint32_t zecmClearDataset(zecmDataset *dataset);
ZE_API uint32_t zecmDestroyDatasetAll(zecmDataset *dataset);

/* Data types and float16 (IEEE binary16 bits) */
ZE_API uint32_t zecmGetDataTypeSize(zecmDType type, uint32_t *size);
ZE_API uint32_t zecmFloat16ToFloat32(uint16_t value, float *result);
ZE_API uint32_t zecmFloat32ToFloat16(float value, uint16_t *result);
ZE_API uint32_t zecmFloat16ToFloat32Array(const uint16_t *values, uint32_t count, float *results);
ZE_API uint32_t zecmFloat32ToFloat16Array(const float *values, uint32_t count, uint16_t *results);

/* Logging: the record carries the caller's function, file and line; format is printf-style. */
ZE_API uint32_t zecmInitLogger(void);
ZE_API uint32_t zecmLogMessage(zecmLogChannel channel, zecmLogLevel level, const char *function,
                               const char *file, int32_t line, const char *format, ...);

#ifdef __cplusplus
}

static_assert(sizeof(zecmDType) == 4, "zecmDType is 32-bit");
static_assert(sizeof(zecmDeviceInfo) == 8, "zecmDeviceInfo layout");
static_assert(offsetof(zecmDeviceInfo, deviceType) == 0, "zecmDeviceInfo layout");
static_assert(offsetof(zecmDeviceInfo, deviceIdx) == 4, "zecmDeviceInfo layout");
static_assert(sizeof(zecmShape) == 56, "zecmShape layout");
static_assert(offsetof(zecmShape, ndims) == 0, "zecmShape layout");
static_assert(offsetof(zecmShape, dims) == 8, "zecmShape layout");
#endif
