"""Fused ops against the same chain of steps written with OpenCV and NumPy."""
import cv2
import numpy as np
import pytest

from zece_helpers import (INVALID_PARAM, OP_NOT_READY, configure, dataset, desc, image_attributes, layout,
                          nv12, zece)

OPS = zece.opType
CODES = zece.colorCvtCode
NORMS = zece.normType
TENSORS = zece.tensorizationType


def normalise(rgb, norm, mean, std, scale):
    x = rgb.astype(np.float32)
    mean, std = np.float32(mean), np.float32(std)
    return {
        NORMS.zeceNORM_NORMALIZATION_NONE: lambda: x,
        NORMS.zeceNORM_EQUAL: lambda: x * np.float32(scale),
        NORMS.zeceNORM_MINUSMEAN: lambda: x - mean,
        NORMS.zeceNORM_MINUSMEAN_DIVSTD: lambda: (x - mean) / std,
        NORMS.zeceNORM_DIV255_MINUSMEAN_DIVSTD: lambda: (x / np.float32(255) - mean) / std,
        NORMS.zeceNORM_DIV1275_MINUSONE: lambda: x / np.float32(127.5) - np.float32(1),
        NORMS.zeceNORM_DIV255: lambda: x / np.float32(255),
    }[norm]()


def tensorise(values, tensor, bgr):
    if tensor == TENSORS.zeceTENSORIZATION_FP16_INTERLEAVE_RGB and bgr:
        values = values[..., ::-1]
    if tensor in (TENSORS.zeceTENSORIZATION_UINT8, TENSORS.zeceTENSORIZATION_FP16):
        values = values.transpose(2, 0, 1)
    if tensor in (TENSORS.zeceTENSORIZATION_UINT8, TENSORS.zeceTENSORIZATION_UINT8_INTERLEAVE,
                  TENSORS.zeceTENSORIZATION_NONE):
        return np.clip(np.rint(values), 0, 255).astype(np.uint8)
    return values.astype(np.float16)


def letterbox(picture, size, padding, even=False):
    h, w = picture.shape[:2]
    ratio = min(size[0] / w, size[1] / h)
    nw, nh = min(max(1, round(w * ratio)), size[0]), min(max(1, round(h * ratio)), size[1])
    if even:
        nw, nh = max(2, nw & ~1), max(2, nh & ~1)
    return (nw, nh), ((size[0] - nw) // 2, (size[1] - nh) // 2)


def place(inner, size, offset, padding):
    canvas = np.empty((size[1], size[0], 3), np.uint8)
    canvas[...] = padding
    canvas[offset[1]:offset[1] + inner.shape[0], offset[0]:offset[0] + inner.shape[1]] = inner
    return canvas


def resize_nv12(planes, size, interpolation):
    y, uv = planes
    return [cv2.resize(y, size, interpolation=interpolation),
            cv2.resize(uv, (size[0] // 2, size[1] // 2), interpolation=interpolation)]


def chain(op, planes, settings, interpolation):
    """The op as separate steps; returns the picture before normalisation."""
    s = settings
    out = (s["outputWidth"], s["outputHeight"])
    bgr_code = s.get("colorCvtCode") == CODES.zeceCOLOR_YUV2BGR_NV12
    to_rgb = (lambda p: cv2.cvtColor(nv12(p), cv2.COLOR_YUV2BGR_NV12 if bgr_code else cv2.COLOR_YUV2RGB_NV12))
    swap = (lambda p: p[..., ::-1] if s.get("colorCvtCode") == CODES.zeceCOLOR_BGR2RGB else p)
    crop = (s.get("cropX", 0), s.get("cropY", 0), s.get("cropWidth"), s.get("cropHeight"))
    resized = (s.get("resizeWidth"), s.get("resizeHeight"))

    def cut(p, rect):
        x, y, w, h = rect
        return p[y:y + h, x:x + w]

    def cut_nv12(p, rect):
        x, y, w, h = rect
        return [p[0][y:y + h, x:x + w], p[1][y // 2:(y + h) // 2, x // 2:(x + w) // 2]]

    padding = s.get("paddingValues", [0, 0, 0])
    rs = (lambda p, size: cv2.resize(p, size, interpolation=interpolation))
    name = op.name
    if name.endswith("YUV_NV12_RESIZE_2RGB_NORM_TENSOR"):
        return to_rgb(resize_nv12(planes, out, interpolation))
    if name.endswith("YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR"):
        return rs(to_rgb(planes), out)
    if name.endswith("YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR"):
        return cut(to_rgb(resize_nv12(planes, resized, interpolation)), crop)
    if name.endswith("YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR"):
        return rs(to_rgb(cut_nv12(planes, crop)), out)
    if name.endswith("YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR"):
        return cut(rs(to_rgb(planes), resized), crop)
    if name.endswith("YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR"):
        rgb = to_rgb(planes)
        size, offset = letterbox(rgb, out, padding)
        return place(rs(rgb, size), out, offset, padding)
    if name.endswith("YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR"):
        size, offset = letterbox(planes[0], out, padding, even=True)
        return place(to_rgb(resize_nv12(planes, size, interpolation)), out, offset, padding)
    rgb = planes[0]
    if name.endswith("RGB_CVTCOLOR_NORM_TENSOR"):
        return swap(rgb)
    if name.endswith("RGB_RESIZE_CVTCOLOR_NORM_TENSOR"):
        return swap(rs(rgb, out))
    if name.endswith("RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR"):
        return cut(swap(rs(rgb, resized)), crop)
    if name.endswith("RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR"):
        return swap(rs(cut(rgb, crop), out))
    size, offset = letterbox(rgb, out, padding)
    return place(swap(rs(rgb, size)), out, offset, padding)


def run(pictures, op_type, source, planes, tensor_bytes, **settings):
    block = pictures.upload(source, planes)
    zecm = pictures.zecm
    out = zecm.malloc(tensor_bytes)
    op = zece.createOp(op_type)
    configure(op, **image_attributes("input", source), **settings)
    status = zece.executeOp(op, dataset(zecm, [block], [layout(source)[1]]), dataset(zecm, [out], [tensor_bytes]))
    zece.destroyOp(op)
    return status, pictures.device.download(out, tensor_bytes) if status == 0 else None


NV12_CASES = [
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, {}),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR, {}),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
     dict(resizeWidth=80, resizeHeight=60, cropX=5, cropY=7)),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR,
     dict(cropX=10, cropY=4, cropWidth=60, cropHeight=40)),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR,
     dict(resizeWidth=80, resizeHeight=60, cropX=5, cropY=7)),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR, dict(paddingValues=[114, 115, 116])),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR, dict(paddingValues=[1, 2, 3])),
]
RGB_CASES = [
    (OPS.zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR, {}),
    (OPS.zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR, {}),
    (OPS.zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
     dict(resizeWidth=81, resizeHeight=59, cropX=3, cropY=2)),
    (OPS.zeceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR, dict(cropX=9, cropY=3, cropWidth=61, cropHeight=33)),
    (OPS.zeceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR, dict(paddingValues=[9, 8, 7])),
]


def expected_tensor(op, planes, settings, norm, tensor, interpolation, bgr):
    picture = chain(op, planes, settings, interpolation)
    values = normalise(picture, norm, settings.get("mean", [0, 0, 0]), settings.get("std", [1, 1, 1]),
                       settings.get("scale", 1.0))
    return tensorise(values, tensor, bgr)


def compare(result, expected, tolerance):
    got = np.frombuffer(result.tobytes(), dtype=expected.dtype).reshape(expected.shape)
    difference = np.abs(got.astype(np.float64) - expected.astype(np.float64))
    assert difference.max() <= tolerance, difference.max()


@pytest.mark.parametrize("interpolation, resize", [(cv2.INTER_LINEAR, zece.resizeType.zeceRESIZE_BILINEAR),
                                                   (cv2.INTER_NEAREST, zece.resizeType.zeceRESIZE_NEAREST_CV)])
@pytest.mark.parametrize("op, extra", NV12_CASES + RGB_CASES, ids=lambda v: getattr(v, "name", ""))
def test_fused_ops_equal_their_chains(pictures, op, extra, interpolation, resize):
    rng = np.random.default_rng(5)
    yuv = "YUV_NV12" in op.name
    source = desc("zeceIMG_YUV_NV12", 96, 64, 100, 66) if yuv else desc("zeceIMG_BGR888", 95, 63, 290, 65)
    planes = [rng.integers(0, 256, p.shape, dtype=np.uint8) for p in _planes_shape(source)]
    settings = dict(outputWidth=48, outputHeight=40, **extra)
    if op.name.endswith("_CROP_NORM_TENSOR"):
        settings.update(cropWidth=48, cropHeight=40)
    if op == OPS.zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR:
        settings.update(outputWidth=95, outputHeight=63)
    settings.update(colorCvtCode=(CODES.zeceCOLOR_YUV2BGR_NV12 if yuv else CODES.zeceCOLOR_BGR2RGB),
                    normType=NORMS.zeceNORM_DIV255_MINUSMEAN_DIVSTD, mean=[0.485, 0.456, 0.406],
                    std=[0.229, 0.224, 0.225], tensorizationType=TENSORS.zeceTENSORIZATION_FP16, resizeType=resize)
    count = settings["outputWidth"] * settings["outputHeight"] * 3
    status, result = run(pictures, op, source, planes, count * 2, **settings)
    assert status == 0
    expected = expected_tensor(op, planes, settings, NORMS.zeceNORM_DIV255_MINUSMEAN_DIVSTD,
                               TENSORS.zeceTENSORIZATION_FP16, interpolation, bgr=yuv)
    compare(result, expected, 0)


def _planes_shape(record):
    return [np.empty((p.rows, p.cols, p.channels) if p.channels > 1 else (p.rows, p.cols))
            for p in layout(record)[0]]


@pytest.mark.parametrize("norm", list(NORMS.__members__.values())[:-1], ids=lambda n: n.name)
@pytest.mark.parametrize("tensor", list(TENSORS.__members__.values())[:-1], ids=lambda t: t.name)
def test_every_normalisation_and_layout(pictures, norm, tensor):
    rng = np.random.default_rng(9)
    op = OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR
    source = desc("zeceIMG_YUV_NV12", 64, 48)
    planes = [rng.integers(0, 256, (48, 64), dtype=np.uint8), rng.integers(0, 256, (24, 32, 2), dtype=np.uint8)]
    settings = dict(outputWidth=30, outputHeight=22, colorCvtCode=CODES.zeceCOLOR_YUV2BGR_NV12, normType=norm,
                    tensorizationType=tensor, mean=[100.5, 0.25, 127.0], std=[2.0, 0.5, 64.0], scale=0.75)
    wide = tensor.name.startswith("zeceTENSORIZATION_FP16")
    status, result = run(pictures, op, source, planes, 30 * 22 * 3 * (2 if wide else 1), **settings)
    assert status == 0
    compare(result, expected_tensor(op, planes, settings, norm, tensor, cv2.INTER_LINEAR, bgr=True), 0)


def test_a_1080p_frame_into_a_224_tensor(pictures):
    rng = np.random.default_rng(2)
    source = desc("zeceIMG_YUV_NV12", 1920, 1080)
    planes = [rng.integers(0, 256, (1080, 1920), dtype=np.uint8), rng.integers(0, 256, (540, 960, 2), dtype=np.uint8)]
    for op in (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,
               OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR,
               OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR):
        settings = dict(outputWidth=224, outputHeight=224, normType=NORMS.zeceNORM_DIV255)
        if "LETTERBOX" in op.name:
            settings["paddingValues"] = [114, 114, 114]
        status, result = run(pictures, op, source, planes, 224 * 224 * 3 * 2, **settings)
        assert status == 0
        compare(result, expected_tensor(op, planes, settings, NORMS.zeceNORM_DIV255, TENSORS.zeceTENSORIZATION_FP16,
                                        cv2.INTER_LINEAR, bgr=False), 0)


def test_bt709_conversion_before_the_resize(zece, pictures):
    rng = np.random.default_rng(4)
    source, rgb = desc("zeceIMG_YUV_NV12", 40, 30), desc("zeceIMG_RGB888", 40, 30)
    planes, block = pictures.random(source, rng)
    converted = pictures.blank(rgb)
    assert zece.cvtColor(CODES.zeceCOLOR_YUV2RGB_NV12, zece.colorSpace.zeceCOLOR_SPACE_BT709, source, block, rgb,
                         converted) == 0
    [picture] = pictures.planes(rgb, converted)
    expected = tensorise(normalise(cv2.resize(picture, (17, 13), interpolation=cv2.INTER_LINEAR),
                                   NORMS.zeceNORM_NORMALIZATION_NONE, 0, 1, 1),
                         TENSORS.zeceTENSORIZATION_UINT8, bgr=False)
    status, result = run(pictures, OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR, source, planes,
                         17 * 13 * 3, outputWidth=17, outputHeight=13, colorSpace=zece.colorSpace.zeceCOLOR_SPACE_BT709,
                         tensorizationType=TENSORS.zeceTENSORIZATION_UINT8)
    assert status == 0
    compare(result, expected, 0)


NV12_96 = desc("zeceIMG_YUV_NV12", 96, 64)


@pytest.mark.parametrize("op, settings, size, status", [
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, dict(outputWidth=32), 99999, OP_NOT_READY),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, dict(outputWidth=32, outputHeight=32), 32 * 32 * 6 - 1,
     200010),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,
     dict(outputWidth=32, outputHeight=32, colorCvtCode=CODES.zeceCOLOR_NO_CHANGE), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,
     dict(outputWidth=32, outputHeight=32, normType=7), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR,
     dict(outputWidth=32, outputHeight=32, tensorizationType=6), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, dict(outputWidth=31, outputHeight=32), 99999,
     INVALID_PARAM),  # a resized NV12 picture has even sizes
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR,
     dict(outputWidth=32, outputHeight=32, cropX=1, cropY=0, cropWidth=10, cropHeight=10), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR,
     dict(outputWidth=32, outputHeight=32, cropX=90, cropY=0, cropWidth=10, cropHeight=10), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR,
     dict(outputWidth=32, outputHeight=32, cropX=0), 99999, OP_NOT_READY),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR,
     dict(cropWidth=8, cropHeight=8, resizeWidth=4), 99999, OP_NOT_READY),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR,
     dict(cropWidth=8, cropHeight=8, resizeWidth=40, resizeHeight=40, outputWidth=9), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR,
     dict(cropX=36, cropWidth=8, cropHeight=8, resizeWidth=40, resizeHeight=40), 99999, INVALID_PARAM),
    (OPS.zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR, dict(outputWidth=32, outputHeight=32), 99999, 200005),
])
def test_refusals(pictures, op, settings, size, status):
    planes = [np.zeros((64, 96), np.uint8), np.zeros((32, 48, 2), np.uint8)]
    assert run(pictures, op, NV12_96, planes, size, **settings)[0] == status


def test_an_rgb_op_without_resize_keeps_the_picture_size(pictures):
    source = desc("zeceIMG_RGB888", 6, 4)
    planes = [np.arange(72, dtype=np.uint8).reshape(4, 6, 3)]
    op = OPS.zeceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR
    status, result = run(pictures, op, source, planes, 72, tensorizationType=TENSORS.zeceTENSORIZATION_UINT8)
    assert status == 0
    np.testing.assert_array_equal(result.reshape(3, 4, 6), planes[0].transpose(2, 0, 1))
    assert run(pictures, op, source, planes, 999, outputWidth=5, outputHeight=4)[0] == INVALID_PARAM


def pillow_resize(picture, size, name):
    from PIL import Image
    channels = [Image.fromarray(np.ascontiguousarray(picture[..., c])) for c in range(picture.shape[2])]
    return np.dstack([np.asarray(c.resize(size, getattr(Image, name))) for c in channels])


# OpenCV's cubic and Lanczos filters run on floating-point taps (within 1); Pillow's
# filters on Pillow's own fixed-point arithmetic (exact).
@pytest.mark.parametrize("resize, oracle, tolerance", [
    ("zeceRESIZE_BICUBIC", lambda p, s: cv2.resize(p, s, interpolation=cv2.INTER_CUBIC), 1),
    ("zeceRESIZE_LANCZOS_CV", lambda p, s: cv2.resize(p, s, interpolation=cv2.INTER_LANCZOS4), 1),
    ("zeceRESIZE_BILINEAR_PILLOW", lambda p, s: pillow_resize(p, s, "BILINEAR"), 0),
    ("zeceRESIZE_BICUBIC_PILLOW", lambda p, s: pillow_resize(p, s, "BICUBIC"), 0),
    ("zeceRESIZE_LANCZOS_PILLOW", lambda p, s: pillow_resize(p, s, "LANCZOS"), 0),
    ("zeceRESIZE_BOX_PILLOW", lambda p, s: pillow_resize(p, s, "BOX"), 0),
    ("zeceRESIZE_HAMMING_PILLOW", lambda p, s: pillow_resize(p, s, "HAMMING"), 0),
])
@pytest.mark.parametrize("size", [(37, 23), (150, 90)])
def test_other_filters(pictures, resize, oracle, tolerance, size):
    rng = np.random.default_rng(6)
    source = desc("zeceIMG_YUV_NV12", 96, 64)
    planes = [rng.integers(0, 256, (64, 96), dtype=np.uint8), rng.integers(0, 256, (32, 48, 2), dtype=np.uint8)]
    count = size[0] * size[1] * 3
    status, result = run(pictures, OPS.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR, source, planes, count,
                         outputWidth=size[0], outputHeight=size[1], resizeType=getattr(zece.resizeType, resize),
                         tensorizationType=TENSORS.zeceTENSORIZATION_UINT8_INTERLEAVE)
    assert status == 0
    expected = oracle(cv2.cvtColor(nv12(planes), cv2.COLOR_YUV2RGB_NV12), size)
    compare(result, expected, tolerance)


# Pillow's filters on the other paths of the row resampler (exact): the Y and UV planes
# resized before converting, RGB rows resized from a crop, and into one.
@pytest.mark.parametrize("name", ["BILINEAR", "BICUBIC", "LANCZOS", "BOX", "HAMMING"])
@pytest.mark.parametrize("op, extra, oracle", [
    (OPS.zeceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, dict(outputWidth=38, outputHeight=24),
     lambda p, n: cv2.cvtColor(nv12([pillow_resize(p[0][..., None], (38, 24), n)[..., 0],
                                     pillow_resize(p[1], (19, 12), n)]), cv2.COLOR_YUV2RGB_NV12)),
    (OPS.zeceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR,
     dict(cropX=9, cropY=3, cropWidth=61, cropHeight=33, outputWidth=150, outputHeight=90),
     lambda p, n: pillow_resize(p[0][3:36, 9:70], (150, 90), n)),
    (OPS.zeceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
     dict(resizeWidth=37, resizeHeight=23, cropX=5, cropY=4, cropWidth=20, cropHeight=15),
     lambda p, n: pillow_resize(p[0], (37, 23), n)[4:19, 5:25]),
], ids=lambda v: getattr(v, "name", ""))
def test_pillow_filters_on_every_path(pictures, name, op, extra, oracle):
    rng = np.random.default_rng(8)
    source = desc("zeceIMG_YUV_NV12" if "NV12" in op.name else "zeceIMG_RGB888", 96, 64)
    planes = ([rng.integers(0, 256, (64, 96), dtype=np.uint8), rng.integers(0, 256, (32, 48, 2), dtype=np.uint8)]
              if "NV12" in op.name else [rng.integers(0, 256, (64, 96, 3), dtype=np.uint8)])
    status, result = run(pictures, op, source, planes, 150 * 90 * 3,
                         resizeType=getattr(zece.resizeType, f"zeceRESIZE_{name}_PILLOW"),
                         tensorizationType=TENSORS.zeceTENSORIZATION_UINT8_INTERLEAVE, **extra)
    assert status == 0
    expected = oracle(planes, name)
    compare(result[:expected.size], expected, 0)
