// The preprocess vocabulary: enumerations, image descriptor records, the
// submodule's integer attributes and the library version.
#include "groups.hpp"
#include "records.hpp"

namespace halvora::zece {
namespace {

void registerEnumerations(py::module_ &m) {
    bindEnum<zeceImageType>(m, "imageType",
                            {
                                {"zeceIMG_YUV_NV12", zeceIMG_YUV_NV12},
                                {"zeceIMG_YUV_I420", zeceIMG_YUV_I420},
                                {"zeceIMG_RGB_PLANAR", zeceIMG_RGB_PLANAR},
                                {"zeceIMG_RGB888", zeceIMG_RGB888},
                                {"zeceIMG_BGR888", zeceIMG_BGR888},
                                {"zeceIMG_GRAY", zeceIMG_GRAY},
                                {"zeceIMG_FORMAT_BUTT", zeceIMG_FORMAT_BUTT},
                            });
    bindEnum<zeceOpType>(
        m, "opType",
        {
            {"zeceOP_MEM_COPY_OP", zeceOP_MEM_COPY_OP},
            {"zeceOP_CUSTOMIZED_OP", zeceOP_CUSTOMIZED_OP},
            {"zeceOP_RESIZE", zeceOP_RESIZE},
            {"zeceOP_CROP", zeceOP_CROP},
            {"zeceOP_CVT_COLOR", zeceOP_CVT_COLOR},
            {"zeceOP_BATCH_CROP_RESIZE", zeceOP_BATCH_CROP_RESIZE},
            {"zeceOP_WARP_AFFINE", zeceOP_WARP_AFFINE},
            {"zeceOP_FLIP", zeceOP_FLIP},
            {"zeceOP_SCALE", zeceOP_SCALE},
            {"zeceOP_COPY_MAKE_BORDER", zeceOP_COPY_MAKE_BORDER},
            {"zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR", zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR},
            {"zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR",
             zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR},
            {"zeceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR",
             zeceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR},
            {"zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR",
             zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR},
            {"zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR",
             zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR},
            {"zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR",
             zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR},
            {"zeceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR",
             zeceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR},
            {"zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR", zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR},
            {"zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR", zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR},
            {"zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR",
             zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR},
            {"zeceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR",
             zeceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR},
            {"zeceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR",
             zeceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR},
            {"zeceOP_FUSION_OP_MAX_NUM", zeceOP_FUSION_OP_MAX_NUM},
        });
    bindEnum<zeceResizeType>(m, "resizeType",
                             {
                                 {"zeceRESIZE_NO_RESIZE", zeceRESIZE_NO_RESIZE},
                                 {"zeceRESIZE_BILINEAR", zeceRESIZE_BILINEAR},
                                 {"zeceRESIZE_NEAREST", zeceRESIZE_NEAREST},
                                 {"zeceRESIZE_BICUBIC", zeceRESIZE_BICUBIC},
                                 {"zeceRESIZE_LANCZOS", zeceRESIZE_LANCZOS},
                                 {"zeceRESIZE_BILINEAR_PILLOW", zeceRESIZE_BILINEAR_PILLOW},
                                 {"zeceRESIZE_BILINEAR_CV", zeceRESIZE_BILINEAR_CV},
                                 {"zeceRESIZE_LANCZOS_PILLOW", zeceRESIZE_LANCZOS_PILLOW},
                                 {"zeceRESIZE_LANCZOS_CV", zeceRESIZE_LANCZOS_CV},
                                 {"zeceRESIZE_BOX_PILLOW", zeceRESIZE_BOX_PILLOW},
                                 {"zeceRESIZE_HAMMING_PILLOW", zeceRESIZE_HAMMING_PILLOW},
                                 {"zeceRESIZE_BICUBIC_PILLOW", zeceRESIZE_BICUBIC_PILLOW},
                                 {"zeceRESIZE_NEAREST_CV", zeceRESIZE_NEAREST_CV},
                                 {"zeceRESIZE_BUTT", zeceRESIZE_BUTT},
                             });
    bindEnum<zeceColorCvtCode>(m, "colorCvtCode",
                               {
                                   {"zeceCOLOR_YUV2RGB_NV12", zeceCOLOR_YUV2RGB_NV12},
                                   {"zeceCOLOR_YUV2BGR_NV12", zeceCOLOR_YUV2BGR_NV12},
                                   {"zeceCOLOR_NO_CHANGE", zeceCOLOR_NO_CHANGE},
                                   {"zeceCOLOR_BGR2RGB", zeceCOLOR_BGR2RGB},
                                   {"zeceCOLOR_RGB2BGR", zeceCOLOR_RGB2BGR},
                                   {"zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR", zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR},
                                   {"zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR", zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR},
                                   {"zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR", zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR},
                                   {"zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR", zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR},
                                   {"zeceCOLOR_YUV2GRAY_NV12", zeceCOLOR_YUV2GRAY_NV12},
                                   {"zeceCOLOR_BGR2GRAY_INTERLEAVE", zeceCOLOR_BGR2GRAY_INTERLEAVE},
                                   {"zeceCOLOR_BGR2GRAY_PLANAR", zeceCOLOR_BGR2GRAY_PLANAR},
                                   {"zeceCOLOR_RGB2GRAY_INTERLEAVE", zeceCOLOR_RGB2GRAY_INTERLEAVE},
                                   {"zeceCOLOR_RGB2GRAY_PLANAR", zeceCOLOR_RGB2GRAY_PLANAR},
                                   {"zeceCOLOR_RGB2YUV_NV12_PLANAR", zeceCOLOR_RGB2YUV_NV12_PLANAR},
                                   {"zeceCOLOR_BGR2YUV_NV12_PLANAR", zeceCOLOR_BGR2YUV_NV12_PLANAR},
                                   {"zeceCOLOR_CVT_CODE_BUTT", zeceCOLOR_CVT_CODE_BUTT},
                               });
    bindEnum<zeceColorSpace>(m, "colorSpace",
                             {
                                 {"zeceCOLOR_SPACE_BT709", zeceCOLOR_SPACE_BT709},
                                 {"zeceCOLOR_SPACE_BT601", zeceCOLOR_SPACE_BT601},
                                 {"zeceCOLOR_SPACE_BUTT", zeceCOLOR_SPACE_BUTT},
                             });
    bindEnum<zeceFlipType>(m, "flipType",
                           {
                               {"zeceFLIP_X_AXIS", zeceFLIP_X_AXIS},
                               {"zeceFLIP_Y_AXIS", zeceFLIP_Y_AXIS},
                               {"zeceFLIP_BOTH_AXES", zeceFLIP_BOTH_AXES},
                           });
    bindEnum<zecePaddingType>(m, "paddingType",
                              {
                                  {"zeceEDGE_PADDING_TYPE_CONSTANT", zeceEDGE_PADDING_TYPE_CONSTANT},
                                  {"zeceEDGE_PADDING_REPLICATE", zeceEDGE_PADDING_REPLICATE},
                                  {"zeceEDGE_PADDING_TYPE_REFLECT", zeceEDGE_PADDING_TYPE_REFLECT},
                                  {"zeceEDGE_PADDING_TYPE_BUTT", zeceEDGE_PADDING_TYPE_BUTT},
                              });
    bindEnum<zeceWarpAffineMode>(m, "warpAffineMode",
                                 {
                                     {"zeceWARP_AFFINE_MODE_NEAREST", zeceWARP_AFFINE_MODE_NEAREST},
                                     {"zeceWARP_AFFINE_MODE_BILINEAR", zeceWARP_AFFINE_MODE_BILINEAR},
                                     {"zeceWARP_AFFINE_MODE_BUTT", zeceWARP_AFFINE_MODE_BUTT},
                                 });
    bindEnum<zeceDataType>(m, "dataType",
                           {
                               {"zeceDT_INT", zeceDT_INT},
                               {"zeceDT_UINT_8", zeceDT_UINT_8},
                               {"zeceDT_UINT_16", zeceDT_UINT_16},
                               {"zeceDT_UINT_32", zeceDT_UINT_32},
                               {"zeceDT_UINT_64", zeceDT_UINT_64},
                               {"zeceDT_FLOAT", zeceDT_FLOAT},
                               {"zeceDT_FLOAT_16", zeceDT_FLOAT_16},
                               {"zeceDT_DOUBLE", zeceDT_DOUBLE},
                           });
    bindEnum<zeceParamType>(m, "paramType",
                            {
                                {"zecePARAM_ELEMENT", zecePARAM_ELEMENT},
                                {"zecePARAM_ARRAY", zecePARAM_ARRAY},
                                {"zecePARAM_TENSOR", zecePARAM_TENSOR},
                            });
    bindEnum<zeceNormType>(m, "normType",
                           {
                               {"zeceNORM_NORMALIZATION_NONE", zeceNORM_NORMALIZATION_NONE},
                               {"zeceNORM_EQUAL", zeceNORM_EQUAL},
                               {"zeceNORM_MINUSMEAN", zeceNORM_MINUSMEAN},
                               {"zeceNORM_MINUSMEAN_DIVSTD", zeceNORM_MINUSMEAN_DIVSTD},
                               {"zeceNORM_DIV255_MINUSMEAN_DIVSTD", zeceNORM_DIV255_MINUSMEAN_DIVSTD},
                               {"zeceNORM_DIV1275_MINUSONE", zeceNORM_DIV1275_MINUSONE},
                               {"zeceNORM_DIV255", zeceNORM_DIV255},
                               {"zeceNORM_NORMALIZATION_NONE_BUTT", zeceNORM_NORMALIZATION_NONE_BUTT},
                           });
    bindEnum<zeceTensorizationType>(
        m, "tensorizationType",
        {
            {"zeceTENSORIZATION_NONE", zeceTENSORIZATION_NONE},
            {"zeceTENSORIZATION_UINT8", zeceTENSORIZATION_UINT8},
            {"zeceTENSORIZATION_UINT8_INTERLEAVE", zeceTENSORIZATION_UINT8_INTERLEAVE},
            {"zeceTENSORIZATION_FP16", zeceTENSORIZATION_FP16},
            {"zeceTENSORIZATION_FP16_INTERLEAVE", zeceTENSORIZATION_FP16_INTERLEAVE},
            {"zeceTENSORIZATION_FP16_INTERLEAVE_RGB", zeceTENSORIZATION_FP16_INTERLEAVE_RGB},
            {"zeceTENSORIZATION_TYPE_BUTT", zeceTENSORIZATION_TYPE_BUTT},
        });
}

void registerRecords(py::module_ &m) {
    py::class_<zeceImageDesc>(m, "imageDesc")
        .def(py::init<>())
        .def_readwrite("width", &zeceImageDesc::width)
        .def_readwrite("height", &zeceImageDesc::height)
        .def_readwrite("widthPitch", &zeceImageDesc::widthPitch)
        .def_readwrite("heightPitch", &zeceImageDesc::heightPitch)
        .def_readwrite("format", &zeceImageDesc::format);
    py::class_<cropRect>(m, "cropRect")
        .def(py::init<>())
        .def_readwrite("start_x", &cropRect::start_x)
        .def_readwrite("start_y", &cropRect::start_y)
        .def_readwrite("width", &cropRect::width)
        .def_readwrite("height", &cropRect::height);
    py::class_<zecePaddingEdges>(m, "paddingEdges")
        .def(py::init<>())
        .def_readwrite("top", &zecePaddingEdges::top)
        .def_readwrite("bottom", &zecePaddingEdges::bottom)
        .def_readwrite("left", &zecePaddingEdges::left)
        .def_readwrite("right", &zecePaddingEdges::right);
    py::class_<zecePaddingValuesPy>(m, "paddingValuesPy")
        .def(py::init<>())
        .def_readwrite("value", &zecePaddingValuesPy::value);
    py::class_<zeceAffineMatrixPy>(m, "affineMatrixPy")
        .def(py::init<>())
        .def_readwrite("matrix", &zeceAffineMatrixPy::matrix);
}

// The fourth number of the runtime's version; the status is not looked at.
uint32_t version() {
    char *text = nullptr;
    uint32_t major = 0, minor = 0, patch = 0, build = 0;
    zeceGetVersion(&text, &major, &minor, &patch, &build);
    return build;
}

}  // namespace

void registerTypes(py::module_ &m) {
    registerEnumerations(m);
    registerRecords(m);
    m.attr("OPNAME_MAX_LEN") = OPNAME_MAX_LEN;
    m.attr("zeceER_SUCCESS") = static_cast<int>(zeceER_SUCCESS);
    m.attr("zeceER_BASE") = static_cast<int>(zeceER_BASE);
    m.def("getVersion", &version, "Get the ZEME API version information.");
}

}  // namespace halvora::zece
