/* Preprocess op engine (libzece): op objects and attributes, direct image
 * operations and customized ops. */
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
    zeceER_SUCCESS = 0,
    zeceER_BASE = 200000,
    zeceER_INVALID_PARAM = 200001,    /* a null, out-of-range or malformed argument */
    zeceER_INVALID_HANDLE = 200002,   /* null, stale, destroyed or wrong-kind op or info handle */
    zeceER_UNSUPPORTED_TYPE = 200003, /* data type unknown, or not the attribute's type */
    zeceER_UNKNOWN_ATTR = 200004,     /* the op has no attribute of that name */
    zeceER_INVALID_IMAGE = 200005,    /* image size, pitch or format not usable for the operation */
    zeceER_INVALID_ADDRESS = 200006,  /* a buffer outside every live device block, or too small */
    zeceER_OUT_OF_MEMORY = 200007,    /* no room for the op or its work buffers */
    zeceER_LOAD_FAILED = 200008,      /* the customized-op file cannot be read or parsed */
    zeceER_OP_NOT_FOUND = 200009,     /* no customized op of that name or index */
    zeceER_BUFFER_TOO_SMALL = 200010, /* an output buffer cannot hold the result */
    zeceER_OP_NOT_READY = 200011,     /* the op lacks attributes or configuration it needs to run */
    zeceER_ATTR_NOT_SET = 200012,     /* the attribute (or array entry) has not been set */
    zeceER_NOT_IMPLEMENT = 200099     /* not implemented by the software card */
};

/* Size of an op-name buffer, terminating NUL included. */
#define OPNAME_MAX_LEN 256

/* Opaque runtime objects. Handles are untyped pointers, validated by the runtime. */
typedef void zeceOp;
typedef void zeceCustomizedOpInfo; /* one loaded set of customized ops */

typedef enum {
    zeceIMG_YUV_NV12 = 0,
    zeceIMG_YUV_I420 = 1,
    zeceIMG_RGB_PLANAR = 5000,
    zeceIMG_RGB888 = 5002,
    zeceIMG_BGR888 = 5003,
    zeceIMG_GRAY = 5004,
    zeceIMG_FORMAT_BUTT = 5005
} zeceImageType;

typedef enum {
    zeceOP_MEM_COPY_OP = 10,
    zeceOP_CUSTOMIZED_OP = 20,
    zeceOP_RESIZE = 30,
    zeceOP_CROP = 31,
    zeceOP_CVT_COLOR = 32,
    zeceOP_BATCH_CROP_RESIZE = 33,
    zeceOP_WARP_AFFINE = 34,
    zeceOP_FLIP = 35,
    zeceOP_SCALE = 36,
    zeceOP_COPY_MAKE_BORDER = 37,
    zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR = 100,
    zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR = 101,
    zeceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR = 102,
    zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR = 103,
    zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR = 104,
    zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR = 105,
    zeceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR = 106,
    zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR = 107,
    zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR = 108,
    zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR = 109,
    zeceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR = 110,
    zeceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR = 111,
    zeceOP_FUSION_OP_MAX_NUM = 255
} zeceOpType;

typedef enum {
    zeceRESIZE_NO_RESIZE = 0,
    zeceRESIZE_BILINEAR = 1,
    zeceRESIZE_NEAREST = 2,
    zeceRESIZE_BICUBIC = 3,
    zeceRESIZE_LANCZOS = 4,
    zeceRESIZE_BILINEAR_PILLOW = 5,
    zeceRESIZE_BILINEAR_CV = 6,
    zeceRESIZE_LANCZOS_PILLOW = 7,
    zeceRESIZE_LANCZOS_CV = 8,
    zeceRESIZE_BOX_PILLOW = 9,
    zeceRESIZE_HAMMING_PILLOW = 10,
    zeceRESIZE_BICUBIC_PILLOW = 11,
    zeceRESIZE_NEAREST_CV = 12,
    zeceRESIZE_BUTT = 13
} zeceResizeType;

typedef enum {
    zeceCOLOR_YUV2RGB_NV12 = 0,
    zeceCOLOR_YUV2BGR_NV12 = 1,
    zeceCOLOR_NO_CHANGE = 2,
    zeceCOLOR_BGR2RGB = 3,
    zeceCOLOR_RGB2BGR = 3, /* the same swap as zeceCOLOR_BGR2RGB */
    zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR = 4,
    zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR = 5,
    zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR = 6,
    zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR = 7,
    zeceCOLOR_YUV2GRAY_NV12 = 8,
    zeceCOLOR_BGR2GRAY_INTERLEAVE = 9,
    zeceCOLOR_BGR2GRAY_PLANAR = 10,
    zeceCOLOR_RGB2GRAY_INTERLEAVE = 11,
    zeceCOLOR_RGB2GRAY_PLANAR = 12,
    zeceCOLOR_RGB2YUV_NV12_PLANAR = 13,
    zeceCOLOR_BGR2YUV_NV12_PLANAR = 14,
    zeceCOLOR_CVT_CODE_BUTT = 15
} zeceColorCvtCode;

typedef enum {
    zeceCOLOR_SPACE_BT709 = 0,
    zeceCOLOR_SPACE_BT601 = 1,
    zeceCOLOR_SPACE_BUTT = 2
} zeceColorSpace;

typedef enum { zeceFLIP_X_AXIS = 0, zeceFLIP_Y_AXIS = 1, zeceFLIP_BOTH_AXES = 2 } zeceFlipType;

typedef enum {
    zeceEDGE_PADDING_TYPE_CONSTANT = 0,
    zeceEDGE_PADDING_REPLICATE = 1,
    zeceEDGE_PADDING_TYPE_REFLECT = 2,
    zeceEDGE_PADDING_TYPE_BUTT = 3
} zecePaddingType;

typedef enum {
    zeceWARP_AFFINE_MODE_NEAREST = 0,
    zeceWARP_AFFINE_MODE_BILINEAR = 1,
    zeceWARP_AFFINE_MODE_BUTT = 17
} zeceWarpAffineMode;

/* Value type of an op attribute. */
typedef enum {
    zeceDT_INT = 1,      /* int32_t */
    zeceDT_UINT_8 = 2,   /* uint8_t */
    zeceDT_UINT_16 = 3,  /* uint16_t */
    zeceDT_UINT_32 = 4,  /* uint32_t */
    zeceDT_UINT_64 = 5,  /* uint64_t */
    zeceDT_FLOAT = 6,    /* float */
    zeceDT_FLOAT_16 = 7, /* IEEE binary16 bits, stored in a uint16_t */
    zeceDT_DOUBLE = 8    /* double */
} zeceDataType;

/* Shape of an op attribute. */
typedef enum {
    zecePARAM_ELEMENT = 1, /* a single value */
    zecePARAM_ARRAY = 2,   /* an array whose elements are addressed by index */
    zecePARAM_TENSOR = 3
} zeceParamType;

typedef enum {
    zeceNORM_NORMALIZATION_NONE = 0,
    zeceNORM_EQUAL = 1,
    zeceNORM_MINUSMEAN = 2,
    zeceNORM_MINUSMEAN_DIVSTD = 3,
    zeceNORM_DIV255_MINUSMEAN_DIVSTD = 4,
    zeceNORM_DIV1275_MINUSONE = 5,
    zeceNORM_DIV255 = 6,
    zeceNORM_NORMALIZATION_NONE_BUTT = 7
} zeceNormType;

typedef enum {
    zeceTENSORIZATION_NONE = 0,
    zeceTENSORIZATION_UINT8 = 1,
    zeceTENSORIZATION_UINT8_INTERLEAVE = 2,
    zeceTENSORIZATION_FP16 = 3,
    zeceTENSORIZATION_FP16_INTERLEAVE = 4,
    zeceTENSORIZATION_FP16_INTERLEAVE_RGB = 5,
    zeceTENSORIZATION_TYPE_BUTT = 6
} zeceTensorizationType;

/* One image: its size, the pitches of its buffer and its pixel format. */
typedef struct {
    int32_t width;
    int32_t height;
    int32_t widthPitch;
    int32_t heightPitch;
    zeceImageType format;
} zeceImageDesc;

typedef struct {
    int32_t start_x;
    int32_t start_y;
    int32_t width;
    int32_t height;
} cropRect;

/* Border widths, in pixels, added around an image. */
typedef struct {
    uint32_t top;
    uint32_t bottom;
    uint32_t left;
    uint32_t right;
} zecePaddingEdges;

/* Fixed array lengths of the direct operations. */
#define ZECE_PADDING_VALUES_NUM 3 /* fill bytes of constant padding, one per channel */
#define ZECE_AFFINE_MATRIX_NUM 6  /* the 2 x 3 affine matrix, row by row */

/* Op objects and attributes */
ZE_API uint32_t zeceGetVersion(char **version, uint32_t *major, uint32_t *minor, uint32_t *patch,
                               uint32_t *build);
ZE_API uint32_t zeceCreateOp(zeceOpType type, zeceOp **op);
ZE_API uint32_t zeceDestroyOp(zeceOp *op);
/* Runs the op on its input and output datasets (one data buffer per image). */
ZE_API uint32_t zeceExecuteOp(zeceOp *op, zecmDataset *input, zecmDataset *output);
/* The value follows paramType, read by type as variable arguments are promoted: int for
 * zeceDT_INT, zeceDT_UINT_8, zeceDT_UINT_16 and zeceDT_UINT_32; uint64_t for zeceDT_UINT_64
 * and zeceDT_FLOAT_16 (binary16 bits in the low 16); double for zeceDT_FLOAT and zeceDT_DOUBLE.
 * With zecePARAM_ARRAY an int32_t element index follows the value. */
ZE_API uint32_t zeceSetOpAttr(zeceOp *op, const char *name, zeceDataType type,
                              zeceParamType paramType, ...);
/* Writes the value with the width of type (zeceDT_FLOAT_16 as 2 bytes of bits). */
ZE_API uint32_t zeceGetOpAttr(zeceOp *op, const char *name, zeceDataType type, void *value);
ZE_API uint32_t zeceGetOpAttrArray(zeceOp *op, const char *name, zeceDataType type, int32_t index,
                                   void *value);

/* Direct image operations. Buffers are device blocks; they run at once. */
ZE_API uint32_t zeceResize(zeceResizeType type, zeceImageDesc inDesc, void *in,
                           zeceImageDesc outDesc, void *out);
ZE_API uint32_t zeceCrop(const cropRect *rect, zeceImageDesc inDesc, void *in,
                         zeceImageDesc outDesc, void *out);
ZE_API uint32_t zeceYuvFlip(zeceFlipType type, zeceImageDesc inDesc, void *in,
                            zeceImageDesc outDesc, void *out);
ZE_API uint32_t zeceCvtColor(zeceColorCvtCode code, zeceColorSpace space, zeceImageDesc inDesc,
                             void *in, zeceImageDesc outDesc, void *out);
/* These four take their buffers before their descriptors.
 * matrix: ZECE_AFFINE_MATRIX_NUM doubles mapping output to input coordinates;
 * padValues: ZECE_PADDING_VALUES_NUM bytes. */
ZE_API uint32_t zeceWarpAffine(const double *matrix, zeceWarpAffineMode mode,
                               zecePaddingType padType, const uint8_t *padValues, void *in,
                               void *out, zeceImageDesc inDesc, zeceImageDesc outDesc);
/* Resizes into the part of the output inside edges and pads the border. */
ZE_API uint32_t zeceResizeCopyMakeBorder(zeceResizeType type, zecePaddingType padType,
                                         const uint8_t *padValues, const zecePaddingEdges *edges,
                                         void *in, void *out, zeceImageDesc inDesc,
                                         zeceImageDesc outDesc);
/* Crops rects[i] and resizes it into outs[i]; every output is described by outDesc. */
ZE_API uint32_t zeceBatchCropResize(const cropRect *rects, uint32_t count, zeceResizeType type,
                                    void *in, void *const *outs, zeceImageDesc inDesc,
                                    zeceImageDesc outDesc);
/* Resizes the input into outs[i], described by outDescs[i]. */
ZE_API uint32_t zeceScale(zeceResizeType type, uint32_t count, void *in,
                          const zeceImageDesc *outDescs, void *const *outs, zeceImageDesc inDesc);

/* Customized ops */
ZE_API uint32_t zeceLoadCustomizedOps(const char *path, zeceCustomizedOpInfo **info);
/* Releases the info handle; ops already created from it stay usable. */
ZE_API uint32_t zeceDestroyCustomizedOpInfo(zeceCustomizedOpInfo *info);
/* Releases the info handle and unloads the set; ops created from it stop working. */
ZE_API uint32_t zeceUnloadCustomizedOps(zeceCustomizedOpInfo *info);
ZE_API uint32_t zeceGetCustomizedOpCount(zeceCustomizedOpInfo *info, int32_t *count);
/* Writes a NUL-terminated name of at most size - 1 bytes. */
ZE_API uint32_t zeceGetCustomizedOpName(zeceCustomizedOpInfo *info, int32_t index, char *name,
                                        uint32_t size);
ZE_API uint32_t zeceCreateCustomizedOp(zeceCustomizedOpInfo *info, const char *name, zeceOp **op);
/* Copies size bytes of configuration during the call; their layout is the op's. */
ZE_API uint32_t zeceSetCustomizedOpConfig(zeceOp *op, const void *config, uint32_t size);

/* Configuration callbacks of a customized op: a table of ZECE_CFG_CALLBACK_NUM slots, copied
 * during the call; the functions must stay callable while the op lives. Each slot holds a
 * function taking no arguments, cast to zeceCfgCallback; a null slot is skipped. The library
 * casts a slot back to its own type before calling it:
 *   0 zeceCfgCountFn  number of inputs        1 zeceCfgShapeFn  shape of the inputs
 *   2 zeceCfgCountFn  number of outputs       3 zeceCfgShapeFn  shape of the outputs
 *   4 zeceCfgCountFn  input queue depth       5 zeceCfgCountFn  output queue depth
 *   6 reserved, null */
#define ZECE_CFG_CALLBACK_NUM 7
typedef void (*zeceCfgCallback)(void);
typedef int32_t (*zeceCfgCountFn)(void);
typedef const zecmShape *(*zeceCfgShapeFn)(void);
ZE_API uint32_t zeceSetCustomizedOpCfgCallback(zeceOp *op, const zeceCfgCallback *table);

#ifdef __cplusplus
}

static_assert(sizeof(zeceImageType) == 4, "zeceImageType is 32-bit");
static_assert(sizeof(zeceOpType) == 4, "zeceOpType is 32-bit");
static_assert(sizeof(zeceResizeType) == 4, "zeceResizeType is 32-bit");
static_assert(sizeof(zeceColorCvtCode) == 4, "zeceColorCvtCode is 32-bit");
static_assert(sizeof(zeceColorSpace) == 4, "zeceColorSpace is 32-bit");
static_assert(sizeof(zeceFlipType) == 4, "zeceFlipType is 32-bit");
static_assert(sizeof(zecePaddingType) == 4, "zecePaddingType is 32-bit");
static_assert(sizeof(zeceWarpAffineMode) == 4, "zeceWarpAffineMode is 32-bit");
static_assert(sizeof(zeceDataType) == 4, "zeceDataType is 32-bit");
static_assert(sizeof(zeceParamType) == 4, "zeceParamType is 32-bit");
static_assert(sizeof(zeceNormType) == 4, "zeceNormType is 32-bit");
static_assert(sizeof(zeceTensorizationType) == 4, "zeceTensorizationType is 32-bit");
static_assert(sizeof(zeceImageDesc) == 20, "zeceImageDesc layout");
static_assert(offsetof(zeceImageDesc, width) == 0, "zeceImageDesc layout");
static_assert(offsetof(zeceImageDesc, height) == 4, "zeceImageDesc layout");
static_assert(offsetof(zeceImageDesc, widthPitch) == 8, "zeceImageDesc layout");
static_assert(offsetof(zeceImageDesc, heightPitch) == 12, "zeceImageDesc layout");
static_assert(offsetof(zeceImageDesc, format) == 16, "zeceImageDesc layout");
static_assert(sizeof(cropRect) == 16, "cropRect layout");
static_assert(offsetof(cropRect, start_x) == 0, "cropRect layout");
static_assert(offsetof(cropRect, start_y) == 4, "cropRect layout");
static_assert(offsetof(cropRect, width) == 8, "cropRect layout");
static_assert(offsetof(cropRect, height) == 12, "cropRect layout");
static_assert(sizeof(zecePaddingEdges) == 16, "zecePaddingEdges layout");
static_assert(offsetof(zecePaddingEdges, top) == 0, "zecePaddingEdges layout");
static_assert(offsetof(zecePaddingEdges, bottom) == 4, "zecePaddingEdges layout");
static_assert(offsetof(zecePaddingEdges, left) == 8, "zecePaddingEdges layout");
static_assert(offsetof(zecePaddingEdges, right) == 12, "zecePaddingEdges layout");
static_assert(sizeof(zeceCfgCallback) == sizeof(void *), "callback slots are pointer-sized");
#endif
