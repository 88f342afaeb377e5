/* Compute library (libzecl): models, op graphs, op streams, running and stream
 * reports. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "zecm.h"

#ifndef ZE_API
#define ZE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. 0 is success; every other code is described by zecmGetErrDesc. */
enum {
    zeclER_SUCCESS = 0,
    zeclER_INVALID_PARAM = 301001,      /* a null, out-of-range or malformed argument */
    zeclER_INVALID_HANDLE = 301002,     /* null, stale, destroyed or wrong-kind handle */
    zeclER_MODEL_FILE = 301003,         /* the model file cannot be read or parsed */
    zeclER_TIMEOUT = 301004,            /* the wait ended before the work was done */
    zeclER_NO_OUTPUT = 301005,          /* no finished run has an output dataset waiting */
    zeclER_GRAPH_INVALID = 301006,      /* graph not built, or its ops are not connected right */
    zeclER_BATCH_SIZE = 301007,         /* batch size or input shape outside the model's range */
    zeclER_INDEX_OUT_OF_RANGE = 301008, /* input or output index outside the model */
    zeclER_OUT_OF_MEMORY = 301009,      /* no room for the model, its inputs or its outputs */
    zeclER_INFERENCE = 301010,          /* the model failed on the given input */
    zeclER_STREAM_BUSY = 301011,        /* the stream cannot be changed while runs are in flight */
    zeclER_WAIT_MORE_INPUT = 301041,    /* the stream needs more input before it gives output */
    zeclER_NOT_IMPLEMENT = 301999       /* not implemented by the software card */
};

/* Wait values (timeoutMs): milliseconds a call may wait; 0 does not wait. */
#define ZECL_WAIT_FOREVER 0xFFFFFFFFu

/* Opaque runtime objects. Handles are untyped pointers, validated by the runtime. */
typedef void zeclModel;
typedef void zeclOpGraph;
typedef void zeclOp; /* a graph-input op or a run-model op */
typedef void zeclOpStream;

typedef enum {
    zeclBM_ONCE = 0, /* each input runs to the end before the next one starts */
    zeclBM_RUN = 1   /* inputs are pipelined: a run may start while earlier ones are in flight */
} zeclBalanceMode;

/* Status of one stream report. */
typedef struct {
    int32_t errorCode;   /* status of the finished op, 0 on success */
    int32_t isStreamEnd; /* non-zero: the last report for the input */
} zeclCallbackStatus;

/* Called on a thread of the library once per finished op. Our choice of pointers:
 * p1 the op that finished, p2 the run's input dataset, p3 the run's output dataset when the op is
 * registered for output (null otherwise, and for a failed run).
 * status is valid only during the call; user is the pointer given at subscription. */
typedef void (*zeclStreamReportCallback)(void *p1, void *p2, void *p3, zeclCallbackStatus *status,
                                         void *user);

ZE_API uint32_t zeclGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch,
                               uint32_t *build);

/* Models. path: the ONNX file; name: the model's name (may be empty; not used by the card);
 * config: JSON text of load options ("" or null for the defaults), e.g. {"maxBatchSize": 8};
 * extra: accepted and not used by the software card (null when the caller has none). */
ZE_API uint32_t zeclCreateModel(const char *path, const char *name, const char *config,
                                const char *extra, zeclModel **model);
ZE_API uint32_t zeclDestroyModel(zeclModel *model);
/* A model whose input shapes are set later; config: null or JSON text of load options. */
ZE_API uint32_t zeclCreateDynamicModel(const char *path, const char *config, zeclModel **model);
/* shapes: one shape per model input, in input order. */
ZE_API uint32_t zeclSetDynamicModelInputShape(zeclModel *model, const zecmShape *shapes,
                                              uint32_t count);
/* Reads *batchSize; writes nothing back. */
ZE_API uint32_t zeclSetModelBatchSize(zeclModel *model, uint32_t *batchSize);
ZE_API uint32_t zeclGetModelBatchSize(zeclModel *model, uint32_t *batchSize);
ZE_API uint32_t zeclGetModelMaxBatchSize(zeclModel *model, uint32_t *maxBatchSize);
/* The largest batch size the model accepts with its inputs shaped as shapes (one per input). */
ZE_API uint32_t zeclGetDynamicModelMaxBatchSize(zeclModel *model, const zecmShape *shapes,
                                                uint32_t count, uint32_t *maxBatchSize);
ZE_API uint32_t zeclGetModelInputCount(zeclModel *model, uint32_t *count);
ZE_API uint32_t zeclGetModelOutputDataTypeByIndex(zeclModel *model, int32_t index, zecmDType *type);
ZE_API uint32_t zeclGetModelOutputCount(zeclModel *model, uint32_t *count);
ZE_API uint32_t zeclGetModelInputShapeByIndex(zeclModel *model, int32_t index, zecmShape *shape);
/* Byte size of one output at the current batch size. */
ZE_API uint32_t zeclGetModelOutputSizeByIndex(zeclModel *model, int32_t index, uint64_t *size);
ZE_API uint32_t zeclGetModelOutputShapeByIndex(zeclModel *model, int32_t index, zecmShape *shape);

/* Op graphs and ops */
ZE_API uint32_t zeclCreateOpGraph(zeclOpGraph **graph);
ZE_API uint32_t zeclDestroyOpGraph(zeclOpGraph *graph);
/* inputCount: the number of dataset members the op takes per run. */
ZE_API uint32_t zeclCreateGraphInputOp(zeclOpGraph *graph, uint32_t inputCount, zeclOp **op);
ZE_API uint32_t zeclCreateRunModelOp(zeclModel *model, zeclOp **op);
/* The outputs of `from` feed `to`; an op made without a graph joins the other op's graph. */
ZE_API uint32_t zeclConnectOps(zeclOp *from, zeclOp *to);
/* Marks op as one whose output the graph's stream hands out through zeclRequestOutputDataset. */
ZE_API uint32_t zeclRegisterGetOutput(zeclOpGraph *graph, zeclOp *op);
ZE_API uint32_t zeclRegisterGetOutputs(zeclOpGraph *graph, zeclOp *const *ops, uint32_t count);

/* Op streams. mode: a zeclBalanceMode value. */
ZE_API uint32_t zeclCreateOpStream(zeclOpGraph *graph, uint32_t mode, zeclOpStream **stream);
ZE_API uint32_t zeclDestroyOpStream(zeclOpStream *stream);
ZE_API uint32_t zeclBuildStream(zeclOpStream *stream);
/* Subscribers are kept until the stream is destroyed; each receives every report. */
ZE_API uint32_t zeclSubscribeStreamReport(zeclOpStream *stream, zeclStreamReportCallback callback,
                                          void *user);
/* Feeds inputDataset to the graph-input op inputOp and waits up to timeoutMs for the run. */
ZE_API uint32_t zeclRunStream(zeclOpStream *stream, zeclOp *inputOp, zecmDataset *inputDataset,
                              uint32_t timeoutMs);
/* As zeclRunStream, but returns once the run is queued. */
ZE_API uint32_t zeclRunStreamAsync(zeclOpStream *stream, zeclOp *inputOp,
                                   zecmDataset *inputDataset);
/* Waits up to timeoutMs until every queued run of the stream has finished. */
ZE_API uint32_t zeclSynchronizeStream(zeclOpStream *stream, uint32_t timeoutMs);
/* Waits up to timeoutMs until every stream on the device is idle. */
ZE_API uint32_t zeclSynchronizeDevice(uint32_t device, uint32_t timeoutMs);
/* The number of finished runs whose output datasets wait to be requested. */
ZE_API uint32_t zeclGetStreamCacheNumber(zeclOpStream *stream, uint32_t *count);
/* Hands out the output dataset of the oldest finished run; the caller destroys it. */
ZE_API uint32_t zeclRequestOutputDataset(zeclOpStream *stream, zecmDataset **dataset);

#ifdef __cplusplus
}

static_assert(sizeof(zeclBalanceMode) == 4, "zeclBalanceMode is 32-bit");
static_assert(sizeof(zeclCallbackStatus) == 8, "zeclCallbackStatus layout");
static_assert(offsetof(zeclCallbackStatus, errorCode) == 0, "zeclCallbackStatus layout");
static_assert(offsetof(zeclCallbackStatus, isStreamEnd) == 4, "zeclCallbackStatus layout");
#endif
