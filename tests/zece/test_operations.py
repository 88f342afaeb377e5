"""Direct image operations: what the bindings pass, and the card's results against OpenCV."""
import re

import cv2
import numpy as np
import pytest

from sim import address
from zece_helpers import (FORMATS, INTERLEAVED, INVALID_ADDRESS, INVALID_IMAGE, INVALID_PARAM, desc, layout,
                          nv12)


@pytest.fixture
def rng():
    return np.random.default_rng(7)


def padded(fmt, width, height, extra=6):
    """A descriptor with room to spare in both pitches (even for the formats that need it)."""
    unit = 3 if fmt in INTERLEAVED else 1
    return desc(fmt, width, height, width * unit + extra, height + 2)


def check_padding_untouched(pictures, record, block, fill):
    """Bytes of the buffer outside the planes still hold `fill`."""
    data = pictures.bytes(record, block)
    mask = np.ones(data.size, bool)
    for place in layout(record)[0]:
        for row in range(place.rows):
            start = place.offset + row * place.pitch
            mask[start:start + place.cols * place.channels] = False
    assert (data[mask] == fill).all()


def subsampling(fmt, plane):
    return 2 if fmt in ("zeceIMG_YUV_NV12", "zeceIMG_YUV_I420") and plane > 0 else 1


# --- what the bindings pass -------------------------------------------------------------


def test_warp_affine_passes_six_doubles_and_three_bytes(zece, pictures, sim, rng):
    record = desc("zeceIMG_GRAY", 8, 4)
    _, block = pictures.random(record, rng)
    matrix, values = zece.affineMatrixPy(), zece.paddingValuesPy()
    matrix.matrix, values.value = [1, 0.1, 2, 0, 1, -3], [9, 8, 7]
    mode, padding = zece.warpAffineMode.zeceWARP_AFFINE_MODE_NEAREST, zece.paddingType.zeceEDGE_PADDING_REPLICATE
    assert zece.warpAffine(matrix, mode, padding, values, record, block, record, block) == 0
    matrix.matrix, values.value = [2], []
    zece.warpAffine(matrix, mode, padding, values, record, block, record, block)
    pointer = address(block)
    assert sim.calls("zeceWarpAffine") == [
        f"zeceWarpAffine([1, 0.10000000000000001, 2, 0, 1, -3], 0, 1, [9, 8, 7], {pointer}, {pointer}, "
        f"{{8, 4, 8, 4, 5004}}, {{8, 4, 8, 4, 5004}}) = 0",
        f"zeceWarpAffine([2, 0, 0, 0, 0, 0], 0, 1, [0, 0, 0], {pointer}, {pointer}, "
        f"{{8, 4, 8, 4, 5004}}, {{8, 4, 8, 4, 5004}}) = 0"]


def test_matrix_and_padding_lists_longer_than_their_arrays_are_refused(zece, card, sim):
    record = desc("zeceIMG_GRAY", 8, 4)
    matrix, values = zece.affineMatrixPy(), zece.paddingValuesPy()
    mode, padding = zece.warpAffineMode.zeceWARP_AFFINE_MODE_NEAREST, zece.paddingType.zeceEDGE_PADDING_REPLICATE
    resize = zece.resizeType.zeceRESIZE_BILINEAR
    matrix.matrix, values.value = [0.0] * 7, [1, 2, 3]
    with pytest.raises(ValueError):
        zece.warpAffine(matrix, mode, padding, values, record, None, record, None)
    matrix.matrix, values.value = [0.0] * 6, [1, 2, 3, 4]
    with pytest.raises(ValueError):
        zece.warpAffine(matrix, mode, padding, values, record, None, record, None)
    with pytest.raises(ValueError):
        zece.resizeCopyMakeBorder(resize, padding, values, zece.paddingEdges(), record, None, record, None)
    with pytest.raises(TypeError):
        zece.warpAffine(None, mode, padding, values, record, None, record, None)
    with pytest.raises(TypeError):
        zece.resizeCopyMakeBorder(resize, padding, None, zece.paddingEdges(), record, None, record, None)
    assert sim.lines("zece") == []


def test_null_records_reach_the_runtime_where_it_takes_pointers(zece, card, sim):
    record = desc("zeceIMG_GRAY", 8, 4)
    values = zece.paddingValuesPy()
    assert zece.crop(None, record, None, record, None) == INVALID_PARAM
    assert zece.resizeCopyMakeBorder(zece.resizeType.zeceRESIZE_BILINEAR, zece.paddingType.zeceEDGE_PADDING_REPLICATE,
                                     values, None, record, None, record, None) == INVALID_PARAM
    edges = zece.paddingEdges()
    edges.top, edges.right = 1, 4
    zece.resizeCopyMakeBorder(zece.resizeType.zeceRESIZE_BILINEAR, zece.paddingType.zeceEDGE_PADDING_REPLICATE,
                              values, edges, record, None, record, None)
    assert sim.calls("zeceCrop") == ["zeceCrop(NULL, {8, 4, 8, 4, 5004}, NULL, {8, 4, 8, 4, 5004}, NULL) = 200001"]
    assert [line.split(", [0, 0, 0], ")[1].split(", NULL")[0] for line in sim.calls("zeceResizeCopyMakeBorder")] == \
        ["NULL", "{1, 0, 0, 4}"]


def test_none_for_a_descriptor_or_an_enumeration_is_refused_before_the_call(zece, card, sim):
    record = desc("zeceIMG_GRAY", 8, 4)
    resize = zece.resizeType.zeceRESIZE_BILINEAR
    calls = [lambda: zece.resize(resize, None, None, record, None),
             lambda: zece.resize(None, record, None, record, None),
             lambda: zece.cvtColor(zece.colorCvtCode.zeceCOLOR_NO_CHANGE, None, record, None, record, None),
             lambda: zece.batchCropResize([zece.cropRect(), None], resize, record, None, record, [None, None]),
             lambda: zece.scale(resize, record, None, [record, None], [None, None])]
    for call in calls:
        with pytest.raises(RuntimeError, match="^$"):
            call()
    for wrong in ([record], "ab", [zece.cropRect()]):
        with pytest.raises(TypeError):
            zece.scale(resize, record, None, wrong if wrong != [record] else [zece.cropRect()], [None])
    assert sim.lines("zece") == []


def test_output_lists_must_pair_up(zece, card, sim):
    record = desc("zeceIMG_GRAY", 8, 4)
    resize = zece.resizeType.zeceRESIZE_BILINEAR
    message = r"^zece scale error\. Output imageDescs size != output handles size\.$"
    with pytest.raises(TypeError, match=message):
        zece.scale(resize, record, None, [record, record], [None, None, None])
    with pytest.raises(TypeError, match=message):
        zece.batchCropResize([zece.cropRect()], resize, record, None, record, [None, None])
    assert sim.lines("zece") == []
    zece.batchCropResize([], resize, record, None, record, [])
    zece.scale(resize, record, None, [record, record], [None, None])
    assert sim.calls("zeceBatchCropResize") == [
        "zeceBatchCropResize([], 0, 1, NULL, [], {8, 4, 8, 4, 5004}, {8, 4, 8, 4, 5004}) = 200006"]
    assert sim.calls("zeceScale") == [
        "zeceScale(1, 2, NULL, [{8, 4, 8, 4, 5004}, {8, 4, 8, 4, 5004}], [NULL, NULL], {8, 4, 8, 4, 5004}) = 200006"]


# --- the card's checks ------------------------------------------------------------------


@pytest.mark.parametrize("fmt, width, height, width_pitch, height_pitch", [
    ("zeceIMG_YUV_NV12", 7, 4, 8, 4), ("zeceIMG_YUV_NV12", 8, 4, 8, 5), ("zeceIMG_YUV_I420", 8, 4, 9, 4),
    ("zeceIMG_RGB888", 8, 4, 23, 4), ("zeceIMG_GRAY", 8, 4, 8, 3), ("zeceIMG_GRAY", 0, 4, 8, 4),
    ("zeceIMG_GRAY", 16385, 1, 16385, 1), ("zeceIMG_FORMAT_BUTT", 8, 4, 8, 4)])
def test_unusable_descriptors_are_refused(zece, pictures, fmt, width, height, width_pitch, height_pitch):
    good = desc("zeceIMG_GRAY", 8, 4)
    block = pictures.blank(desc("zeceIMG_GRAY", 64, 64))
    bad = desc(fmt, width, height, width_pitch, height_pitch)
    flip = zece.flipType.zeceFLIP_X_AXIS
    assert zece.yuvFlip(flip, bad, block, good, block) == INVALID_IMAGE
    assert zece.yuvFlip(flip, good, block, bad, block) == INVALID_IMAGE


def test_buffers_must_be_live_device_memory_large_enough(zece, pictures, card):
    record = desc("zeceIMG_RGB888", 8, 4)
    flip = zece.flipType.zeceFLIP_Y_AXIS
    good = pictures.blank(record)
    short = card.malloc(8 * 4 * 3 - 1)
    host = card.mallocHost(8 * 4 * 3)
    freed = card.malloc(8 * 4 * 3)
    card.free(freed)
    for buffer in (None, short, host, freed):
        assert zece.yuvFlip(flip, record, buffer, record, good) == INVALID_ADDRESS
        assert zece.yuvFlip(flip, record, good, record, buffer) == INVALID_ADDRESS
    card.freeHost(host)


def test_an_output_over_its_own_input_is_computed_from_the_input(zece, pictures, rng):
    record = desc("zeceIMG_RGB888", 9, 5)
    planes, block = pictures.random(record, rng)
    assert zece.yuvFlip(zece.flipType.zeceFLIP_BOTH_AXES, record, block, record, block) == 0
    np.testing.assert_array_equal(pictures.planes(record, block)[0], cv2.flip(planes[0], -1))


# --- results against OpenCV -------------------------------------------------------------


@pytest.mark.parametrize("fmt", FORMATS)
def test_crop_copies_the_rectangle(zece, pictures, rng, fmt):
    yuv = fmt in ("zeceIMG_YUV_NV12", "zeceIMG_YUV_I420")
    source = padded(fmt, 30, 20)
    rect = zece.cropRect()
    rect.start_x, rect.start_y, rect.width, rect.height = (4, 6, 10, 8) if yuv else (3, 5, 11, 9)
    target = padded(fmt, rect.width, rect.height, extra=4)
    planes, block = pictures.random(source, rng, fill=1)
    out = pictures.blank(target, fill=77)
    assert zece.crop(rect, source, block, target, out) == 0
    for i, (plane, result) in enumerate(zip(planes, pictures.planes(target, out))):
        s = subsampling(fmt, i)
        x, y, w, h = rect.start_x // s, rect.start_y // s, rect.width // s, rect.height // s
        np.testing.assert_array_equal(result, plane[y:y + h, x:x + w])
    check_padding_untouched(pictures, target, out, 77)


@pytest.mark.parametrize("rect", [(-1, 0, 4, 4), (0, 0, 31, 4), (28, 0, 4, 4), (0, 0, 0, 4), (1, 0, 4, 4)])
def test_crops_outside_the_picture_or_off_the_chroma_grid_are_refused(zece, pictures, rect):
    source = desc("zeceIMG_YUV_NV12", 30, 20)
    record = zece.cropRect()
    record.start_x, record.start_y, record.width, record.height = rect
    target = desc("zeceIMG_YUV_NV12", 4, 4)
    out = pictures.blank(target, fill=5)
    assert zece.crop(record, source, pictures.blank(source), target, out) == INVALID_PARAM
    assert (pictures.bytes(target, out) == 5).all()


@pytest.mark.parametrize("flip, code", [("zeceFLIP_X_AXIS", 0), ("zeceFLIP_Y_AXIS", 1), ("zeceFLIP_BOTH_AXES", -1)])
@pytest.mark.parametrize("fmt", FORMATS)
def test_flip_mirrors_every_plane(zece, pictures, rng, fmt, flip, code):
    record = padded(fmt, 12, 6)
    planes, block = pictures.random(record, rng)
    out = pictures.blank(record)
    assert zece.yuvFlip(getattr(zece.flipType, flip), record, block, record, out) == 0
    for plane, result in zip(planes, pictures.planes(record, out)):
        np.testing.assert_array_equal(result, cv2.flip(plane, code))  # NV12 chroma stays in U, V pairs


def bt709_to_rgb(y, u, v):
    y, u, v = (np.asarray(c, np.float64) for c in (y, u, v))
    r = 1.164384 * (y - 16) + 1.792741 * (v - 128)
    g = 1.164384 * (y - 16) - 0.213249 * (u - 128) - 0.532909 * (v - 128)
    b = 1.164384 * (y - 16) + 2.112402 * (u - 128)
    return np.clip(np.rint(np.stack([r, g, b], -1)), 0, 255)


def convert(zece, pictures, code, space, source, planes, target):
    block = pictures.upload(source, planes)
    out = pictures.blank(target)
    status = zece.cvtColor(getattr(zece.colorCvtCode, code), getattr(zece.colorSpace, space), source, block,
                           target, out)
    assert status == 0
    return pictures.planes(target, out)


@pytest.mark.parametrize("code, order", [("zeceCOLOR_YUV2RGB_NV12", slice(None)),
                                         ("zeceCOLOR_YUV2BGR_NV12", slice(None, None, -1))])
def test_nv12_to_rgb_in_both_colour_spaces(zece, pictures, rng, code, order):
    source, target = padded("zeceIMG_YUV_NV12", 64, 36), padded("zeceIMG_RGB888", 64, 36)
    planes = [rng.integers(16, 236, (36, 64), dtype=np.uint8), rng.integers(16, 241, (18, 32, 2), dtype=np.uint8)]
    [bt601] = convert(zece, pictures, code, "zeceCOLOR_SPACE_BT601", source, planes, target)
    expected = cv2.cvtColor(nv12(planes), cv2.COLOR_YUV2RGB_NV12)[..., order]
    assert np.abs(bt601.astype(int) - expected).max() <= 1
    [bt709] = convert(zece, pictures, code, "zeceCOLOR_SPACE_BT709", source, planes, target)
    chroma = planes[1].repeat(2, 0).repeat(2, 1)
    expected = bt709_to_rgb(planes[0], chroma[..., 0], chroma[..., 1])[..., order]
    assert np.abs(bt709.astype(int) - expected).max() <= 1


@pytest.mark.parametrize("code, source_format, target_format, oracle", [
    ("zeceCOLOR_BGR2RGB", "zeceIMG_BGR888", "zeceIMG_RGB888", lambda p: [p[0][..., ::-1]]),
    ("zeceCOLOR_RGB2BGR", "zeceIMG_RGB888", "zeceIMG_RGB888", lambda p: [p[0][..., ::-1]]),
    ("zeceCOLOR_BGR2RGB_INTERLEAVE2PLANAR", "zeceIMG_BGR888", "zeceIMG_RGB_PLANAR",
     lambda p: [p[0][..., 2], p[0][..., 1], p[0][..., 0]]),
    ("zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR", "zeceIMG_RGB888", "zeceIMG_RGB_PLANAR",
     lambda p: [p[0][..., 2], p[0][..., 1], p[0][..., 0]]),
    ("zeceCOLOR_BGR2BGR_INTERLEAVE2PLANAR", "zeceIMG_BGR888", "zeceIMG_RGB_PLANAR",
     lambda p: [p[0][..., 0], p[0][..., 1], p[0][..., 2]]),
    ("zeceCOLOR_RGB2RGB_INTERLEAVE2PLANAR", "zeceIMG_RGB888", "zeceIMG_RGB_PLANAR",
     lambda p: [p[0][..., 0], p[0][..., 1], p[0][..., 2]]),
    ("zeceCOLOR_YUV2GRAY_NV12", "zeceIMG_YUV_NV12", "zeceIMG_GRAY", lambda p: [p[0]]),
    ("zeceCOLOR_BGR2GRAY_INTERLEAVE", "zeceIMG_BGR888", "zeceIMG_GRAY",
     lambda p: [cv2.cvtColor(p[0], cv2.COLOR_BGR2GRAY)]),
    ("zeceCOLOR_RGB2GRAY_INTERLEAVE", "zeceIMG_RGB888", "zeceIMG_GRAY",
     lambda p: [cv2.cvtColor(p[0], cv2.COLOR_RGB2GRAY)]),
    ("zeceCOLOR_BGR2GRAY_PLANAR", "zeceIMG_RGB_PLANAR", "zeceIMG_GRAY",
     lambda p: [cv2.cvtColor(np.dstack(p), cv2.COLOR_BGR2GRAY)]),
    ("zeceCOLOR_RGB2GRAY_PLANAR", "zeceIMG_RGB_PLANAR", "zeceIMG_GRAY",
     lambda p: [cv2.cvtColor(np.dstack(p), cv2.COLOR_RGB2GRAY)]),
    ("zeceCOLOR_NO_CHANGE", "zeceIMG_YUV_I420", "zeceIMG_YUV_I420", lambda p: p),
    ("zeceCOLOR_RGB2YUV_NV12_PLANAR", "zeceIMG_RGB888", "zeceIMG_YUV_NV12", lambda p: i420_as_nv12(
        cv2.cvtColor(p[0], cv2.COLOR_RGB2YUV_I420))),
    ("zeceCOLOR_BGR2YUV_NV12_PLANAR", "zeceIMG_RGB_PLANAR", "zeceIMG_YUV_NV12", lambda p: i420_as_nv12(
        cv2.cvtColor(np.dstack(p), cv2.COLOR_BGR2YUV_I420))),
])
def test_conversions_equal_opencv(zece, pictures, rng, code, source_format, target_format, oracle):
    source, target = padded(source_format, 22, 10), padded(target_format, 22, 10)
    planes, block = pictures.random(source, rng)
    out = pictures.blank(target)
    assert zece.cvtColor(getattr(zece.colorCvtCode, code), zece.colorSpace.zeceCOLOR_SPACE_BT601, source, block,
                         target, out) == 0
    for result, expected in zip(pictures.planes(target, out), oracle(planes)):
        np.testing.assert_array_equal(result, expected)


def i420_as_nv12(i420):
    h, w = i420.shape[0] * 2 // 3, i420.shape[1]
    flat, quarter = i420.ravel(), (h // 2) * (w // 2)
    u = flat[h * w:h * w + quarter].reshape(h // 2, w // 2)
    v = flat[h * w + quarter:].reshape(h // 2, w // 2)
    return [i420[:h], np.dstack([u, v])]


@pytest.mark.parametrize("space", ["zeceCOLOR_SPACE_BT601", "zeceCOLOR_SPACE_BT709"])
def test_rgb_to_nv12_comes_back_through_the_same_matrix(zece, pictures, rng, space):
    # Pixels constant over each 2 x 2 block lose nothing to the halved chroma.
    blocks = rng.integers(20, 236, (12, 16, 3), dtype=np.uint8)
    rgb = blocks.repeat(2, 0).repeat(2, 1)
    source, middle = desc("zeceIMG_RGB888", 32, 24), desc("zeceIMG_YUV_NV12", 32, 24)
    yuv = convert(zece, pictures, "zeceCOLOR_RGB2YUV_NV12_PLANAR", space, source, [rgb], middle)
    [back] = convert(zece, pictures, "zeceCOLOR_YUV2RGB_NV12", space, middle, yuv, source)
    assert np.abs(back.astype(int) - rgb).max() <= 3
    if space == "zeceCOLOR_SPACE_BT601":
        assert np.abs(cv2.cvtColor(nv12(yuv), cv2.COLOR_YUV2RGB_NV12).astype(int) - rgb).max() <= 3


@pytest.mark.parametrize("code, source_format, target_format, space", [
    ("zeceCOLOR_YUV2RGB_NV12", "zeceIMG_YUV_NV12", "zeceIMG_GRAY", "zeceCOLOR_SPACE_BT601"),
    ("zeceCOLOR_BGR2GRAY_PLANAR", "zeceIMG_BGR888", "zeceIMG_GRAY", "zeceCOLOR_SPACE_BT601"),
    ("zeceCOLOR_NO_CHANGE", "zeceIMG_RGB888", "zeceIMG_BGR888", "zeceCOLOR_SPACE_BT601"),
    ("zeceCOLOR_CVT_CODE_BUTT", "zeceIMG_RGB888", "zeceIMG_RGB888", "zeceCOLOR_SPACE_BT601"),
    ("zeceCOLOR_YUV2RGB_NV12", "zeceIMG_YUV_NV12", "zeceIMG_RGB888", "zeceCOLOR_SPACE_BUTT"),
])
def test_conversions_refuse_formats_they_do_not_take(zece, pictures, code, source_format, target_format, space):
    source, target = desc(source_format, 8, 4), desc(target_format, 8, 4)
    status = zece.cvtColor(getattr(zece.colorCvtCode, code), getattr(zece.colorSpace, space), source,
                           pictures.blank(source), target, pictures.blank(target))
    assert status in (INVALID_PARAM, INVALID_IMAGE)


PADDINGS = [("zeceEDGE_PADDING_TYPE_CONSTANT", cv2.BORDER_CONSTANT),
            ("zeceEDGE_PADDING_REPLICATE", cv2.BORDER_REPLICATE),
            ("zeceEDGE_PADDING_TYPE_REFLECT", cv2.BORDER_REFLECT)]


def fill_of(fmt, plane, values):
    if fmt in INTERLEAVED:
        return tuple(values)
    if fmt == "zeceIMG_YUV_NV12":
        return values[0] if plane == 0 else tuple(values[1:])
    return values[plane]


@pytest.mark.parametrize("padding, border", PADDINGS)
@pytest.mark.parametrize("mode, interpolation", [("zeceWARP_AFFINE_MODE_NEAREST", cv2.INTER_NEAREST),
                                                 ("zeceWARP_AFFINE_MODE_BILINEAR", cv2.INTER_LINEAR)])
@pytest.mark.parametrize("fmt", ["zeceIMG_RGB888", "zeceIMG_GRAY", "zeceIMG_RGB_PLANAR", "zeceIMG_YUV_NV12"])
def test_warp_affine_maps_output_to_input(zece, pictures, rng, fmt, mode, interpolation, padding, border):
    source, target = padded(fmt, 40, 30), padded(fmt, 36, 24)
    planes, block = pictures.random(source, rng)
    out = pictures.blank(target)
    coefficients = [0.9, 0.2, -3.5, -0.15, 1.1, 4.25]
    matrix, values = zece.affineMatrixPy(), zece.paddingValuesPy()
    matrix.matrix, values.value = coefficients, [10, 20, 30]
    assert zece.warpAffine(matrix, getattr(zece.warpAffineMode, mode), getattr(zece.paddingType, padding), values,
                           source, block, target, out) == 0
    for i, (plane, result) in enumerate(zip(planes, pictures.planes(target, out))):
        s = subsampling(fmt, i)
        m = np.array(coefficients).reshape(2, 3) / [1, 1, s]
        expected = cv2.warpAffine(plane, m, (result.shape[1], result.shape[0]),
                                  flags=interpolation | cv2.WARP_INVERSE_MAP, borderMode=border,
                                  borderValue=fill_of(fmt, i, [10, 20, 30]))
        np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("padding, border", PADDINGS)
@pytest.mark.parametrize("fmt, edges", [("zeceIMG_BGR888", (1, 2, 3, 4)), ("zeceIMG_GRAY", (0, 5, 7, 0)),
                                        ("zeceIMG_YUV_NV12", (2, 4, 6, 8)), ("zeceIMG_RGB_PLANAR", (3, 3, 3, 3))])
def test_resize_copy_make_border(zece, pictures, rng, fmt, edges, padding, border):
    source, target = padded(fmt, 30, 20), padded(fmt, 48, 32)
    planes, block = pictures.random(source, rng)
    out = pictures.blank(target)
    record, values = zece.paddingEdges(), zece.paddingValuesPy()
    record.top, record.bottom, record.left, record.right = edges
    values.value = [10, 20, 30]
    assert zece.resizeCopyMakeBorder(zece.resizeType.zeceRESIZE_BILINEAR, getattr(zece.paddingType, padding),
                                     values, record, source, block, target, out) == 0
    assert (record.top, record.bottom, record.left, record.right) == edges
    for i, (plane, result) in enumerate(zip(planes, pictures.planes(target, out))):
        s = subsampling(fmt, i)
        top, bottom, left, right = (e // s for e in edges)
        inner = cv2.resize(plane, (result.shape[1] - left - right, result.shape[0] - top - bottom),
                           interpolation=cv2.INTER_LINEAR)
        expected = cv2.copyMakeBorder(inner, top, bottom, left, right, border, value=fill_of(fmt, i, [10, 20, 30]))
        np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("fmt, edges", [("zeceIMG_GRAY", (16, 16, 0, 0)), ("zeceIMG_GRAY", (0, 0, 2**31, 2**31)),
                                        ("zeceIMG_YUV_NV12", (1, 1, 2, 2))])
def test_borders_that_leave_no_picture_are_refused(zece, pictures, fmt, edges):
    source, target = desc(fmt, 8, 8), desc(fmt, 16, 16)
    record = zece.paddingEdges()
    record.top, record.bottom, record.left, record.right = edges
    out = pictures.blank(target, fill=3)
    assert zece.resizeCopyMakeBorder(zece.resizeType.zeceRESIZE_BILINEAR,
                                     zece.paddingType.zeceEDGE_PADDING_REPLICATE, zece.paddingValuesPy(), record,
                                     source, pictures.blank(source), target, out) == INVALID_PARAM
    assert (pictures.bytes(target, out) == 3).all()


def test_operations_trace_their_arguments(zece, pictures, sim):
    source, target = desc("zeceIMG_YUV_NV12", 8, 4), desc("zeceIMG_RGB888", 8, 4, 30, 5)
    block, out = pictures.blank(source), pictures.blank(target)
    zece.cvtColor(zece.colorCvtCode.zeceCOLOR_RGB2BGR, zece.colorSpace.zeceCOLOR_SPACE_BT709, source, block,
                  target, out)
    assert re.fullmatch(rf"zeceCvtColor\(3, 0, \{{8, 4, 8, 4, 0\}}, {address(block)}, "
                        rf"\{{8, 4, 30, 5, 5002\}}, {address(out)}\) = {INVALID_IMAGE}",
                        sim.calls("zeceCvtColor")[0])
