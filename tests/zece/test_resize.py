"""zece.resize, zece.scale and zece.batchCropResize against cv2.resize and PIL.Image.resize, plane by plane."""
import cv2
import numpy as np
import pytest
from PIL import Image

from zece_helpers import FORMATS, INVALID_IMAGE, INVALID_PARAM, desc, layout, pack, unpack, zece

CV_KINDS = {
    "zeceRESIZE_BILINEAR": cv2.INTER_LINEAR,
    "zeceRESIZE_BILINEAR_CV": cv2.INTER_LINEAR,
    "zeceRESIZE_NEAREST": cv2.INTER_NEAREST,
    "zeceRESIZE_NEAREST_CV": cv2.INTER_NEAREST,
    "zeceRESIZE_BICUBIC": cv2.INTER_CUBIC,
    "zeceRESIZE_LANCZOS": cv2.INTER_LANCZOS4,
    "zeceRESIZE_LANCZOS_CV": cv2.INTER_LANCZOS4,
}
PIL_KINDS = {
    "zeceRESIZE_BILINEAR_PILLOW": Image.BILINEAR,
    "zeceRESIZE_BICUBIC_PILLOW": Image.BICUBIC,
    "zeceRESIZE_LANCZOS_PILLOW": Image.LANCZOS,
    "zeceRESIZE_BOX_PILLOW": Image.BOX,
    "zeceRESIZE_HAMMING_PILLOW": Image.HAMMING,
}
KINDS = (*CV_KINDS, *PIL_KINDS)
YUV = ("zeceIMG_YUV_NV12", "zeceIMG_YUV_I420")
FILL = 0xA5

# (input size, output size) per case; YUV formats take even sizes, the others odd ones.
SIZES = {
    "down": {True: ((64, 48), (38, 30)), False: ((63, 47), (37, 29))},
    "up": {True: ((30, 22), (52, 40)), False: ((29, 21), (51, 39))},
    "mixed": {True: ((40, 18), (22, 34)), False: ((41, 17), (23, 35))},
}
SMALL = {True: (((2, 2), (6, 4)), ((6, 4), (2, 2))), False: (((1, 1), (5, 3)), ((2, 2), (1, 1)), ((3, 1), (1, 4)))}


def kind(name):
    return zece.resizeType(name) if isinstance(name, int) else getattr(zece.resizeType, name)


def pil_resize(plane, size, resample):
    """PIL.Image.resize of an (h, w) plane, or of each channel of an (h, w, c) one as an 'L' image
    (three channels as one 'RGB' image)."""
    if plane.ndim == 2:
        return np.asarray(Image.fromarray(plane).resize(size, resample))
    if plane.shape[2] == 3:
        return np.asarray(Image.fromarray(plane, "RGB").resize(size, resample))
    return np.dstack([pil_resize(np.ascontiguousarray(plane[..., c]), size, resample) for c in range(plane.shape[2])])


def expected(name, planes, out_record):
    """The oracle's planes for `planes` resized to the descriptor's plane sizes."""
    sizes = [(place.cols, place.rows) for place in layout(out_record)[0]]
    if name in CV_KINDS:
        return [cv2.resize(plane, size, interpolation=CV_KINDS[name]) for plane, size in zip(planes, sizes)]
    return [pil_resize(plane, size, PIL_KINDS[name]) for plane, size in zip(planes, sizes)]


def assert_planes(name, got, want):
    """OpenCV kinds equal cv2.resize; Pillow kinds are within 1 of PIL.Image.resize."""
    assert len(got) == len(want)
    for index, (ours, theirs) in enumerate(zip(got, want)):
        assert ours.shape == theirs.reshape(ours.shape).shape, index
        difference = np.abs(ours.astype(int) - theirs.reshape(ours.shape).astype(int))
        limit = 0 if name in CV_KINDS else 1
        assert difference.max() <= limit, f"plane {index}: {np.count_nonzero(difference > limit)} pixels differ"


def resize(pictures, name, in_record, out_record, seed=0):
    """(status, input planes, output buffer bytes): random input, output buffer filled with FILL."""
    planes, block = pictures.random(in_record, np.random.default_rng(seed), fill=FILL)
    out = pictures.blank(out_record, FILL)
    status = zece.resize(kind(name), in_record, block, out_record, out)
    return status, planes, pictures.bytes(out_record, out)


def check(pictures, name, in_record, out_record):
    status, planes, data = resize(pictures, name, in_record, out_record)
    assert status == 0
    got = unpack(out_record, data)
    assert_planes(name, got, expected(name, planes, out_record))
    # Padding bytes (past each row and below each plane) are left as they were.
    assert np.array_equal(data, pack(out_record, got, fill=FILL))


@pytest.mark.parametrize("case", SIZES)
@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("fmt", FORMATS)
def test_resize_matches_oracle(pictures, fmt, name, case):
    (w, h), (ow, oh) = SIZES[case][fmt in YUV]
    check(pictures, name, desc(fmt, w, h), desc(fmt, ow, oh))


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("fmt", FORMATS)
def test_small_pictures(pictures, fmt, name):
    for (w, h), (ow, oh) in SMALL[fmt in YUV]:
        check(pictures, name, desc(fmt, w, h), desc(fmt, ow, oh))


@pytest.mark.parametrize("name", ["zeceRESIZE_BILINEAR", "zeceRESIZE_NEAREST_CV", "zeceRESIZE_LANCZOS_PILLOW"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_padded_pitches(pictures, fmt, name):
    (w, h), (ow, oh) = SIZES["mixed"][fmt in YUV]
    bpp = 3 if fmt in ("zeceIMG_RGB888", "zeceIMG_BGR888") else 1
    check(pictures, name, desc(fmt, w, h, w * bpp + 6, h + 4), desc(fmt, ow, oh, ow * bpp + 10, oh + 2))


@pytest.mark.parametrize("name", PIL_KINDS)
@pytest.mark.parametrize("fmt", ["zeceIMG_GRAY", "zeceIMG_RGB888", "zeceIMG_YUV_NV12"])
def test_large_reduction(pictures, fmt, name):
    """1920 -> 224: the filter's support widens about nine times."""
    check(pictures, name, desc(fmt, 1920, 1080), desc(fmt, 224, 224))


@pytest.mark.parametrize("name", ["zeceRESIZE_BILINEAR", "zeceRESIZE_BILINEAR_PILLOW"])
def test_1080p_to_720p(pictures, name):
    check(pictures, name, desc("zeceIMG_YUV_NV12", 1920, 1080), desc("zeceIMG_YUV_NV12", 1280, 720))


# Pairs of sizes for the bit-exact comparison: single rows and columns, strong reductions and
# enlargements, each direction on its own.
EXACT = {
    False: [((1, 3), (17, 1)), ((3, 17), (100, 2)), ((17, 100), (3, 333)), ((100, 333), (17, 5)),
            ((333, 100), (1, 17)), ((333, 211), (100, 100))],
    True: [((2, 4), (18, 2)), ((4, 18), (100, 2)), ((18, 100), (4, 334)), ((100, 334), (18, 6)),
           ((334, 100), (2, 18)), ((334, 212), (100, 100))],
}


@pytest.mark.parametrize("name", PIL_KINDS)
@pytest.mark.parametrize("fmt", ["zeceIMG_GRAY", "zeceIMG_RGB888", "zeceIMG_YUV_NV12"])
def test_pillow_kinds_repeat_pillow_exactly(pictures, fmt, name):
    """The resampler repeats Pillow's fixed-point arithmetic, so the bytes are Pillow's, edges included."""
    for seed, ((w, h), (ow, oh)) in enumerate(EXACT[fmt in YUV]):
        in_record, out_record = desc(fmt, w, h), desc(fmt, ow, oh)
        status, planes, data = resize(pictures, name, in_record, out_record, seed=seed)
        assert status == 0
        for ours, theirs in zip(unpack(out_record, data), expected(name, planes, out_record)):
            assert np.array_equal(ours, theirs.reshape(ours.shape)), (w, h, ow, oh)


@pytest.mark.parametrize("fmt", FORMATS)
def test_no_resize_copies(pictures, fmt):
    (w, h), _ = SIZES["down"][fmt in YUV]
    record = desc(fmt, w, h, w * 3 + 4, h + 2)
    status, planes, data = resize(pictures, "zeceRESIZE_NO_RESIZE", record, record)
    assert status == 0
    assert np.array_equal(data, pack(record, planes, fill=FILL))


@pytest.mark.parametrize("name, in_record, out_record, error", [
    ("zeceRESIZE_NO_RESIZE", desc("zeceIMG_GRAY", 8, 6), desc("zeceIMG_GRAY", 8, 4), INVALID_IMAGE),
    ("zeceRESIZE_NO_RESIZE", desc("zeceIMG_YUV_NV12", 8, 6), desc("zeceIMG_YUV_NV12", 6, 6), INVALID_IMAGE),
    ("zeceRESIZE_BILINEAR", desc("zeceIMG_RGB888", 8, 6), desc("zeceIMG_BGR888", 4, 4), INVALID_IMAGE),
    ("zeceRESIZE_BOX_PILLOW", desc("zeceIMG_YUV_NV12", 8, 6), desc("zeceIMG_YUV_I420", 4, 4), INVALID_IMAGE),
    ("zeceRESIZE_BUTT", desc("zeceIMG_GRAY", 8, 6), desc("zeceIMG_GRAY", 4, 4), INVALID_PARAM),
    (99, desc("zeceIMG_RGB888", 8, 6), desc("zeceIMG_RGB888", 4, 4), INVALID_PARAM),  # as a C caller could pass it
])
def test_refusals_write_nothing(pictures, name, in_record, out_record, error):
    status, _, data = resize(pictures, name, in_record, out_record)
    assert status == error
    assert np.all(data == FILL)


SCALE_SIZES = {True: [(24, 16), (70, 50), (2, 2)], False: [(23, 17), (71, 49), (1, 1)]}


@pytest.mark.parametrize("name", ["zeceRESIZE_BILINEAR", "zeceRESIZE_NEAREST_CV", "zeceRESIZE_HAMMING_PILLOW"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_scale_into_several_sizes(pictures, fmt, name):
    in_record = desc(fmt, 44, 36)
    planes, block = pictures.random(in_record, np.random.default_rng(3))
    records = [desc(fmt, w, h) for w, h in SCALE_SIZES[fmt in YUV]]
    outs = [pictures.blank(record, FILL) for record in records]
    assert zece.scale(kind(name), in_record, block, records, outs) == 0
    for record, out in zip(records, outs):
        data = pictures.bytes(record, out)
        assert_planes(name, unpack(record, data), expected(name, planes, record))


def test_scale_checks_every_output_first(pictures):
    in_record = desc("zeceIMG_RGB888", 20, 10)
    _, block = pictures.random(in_record, np.random.default_rng(4))
    records = [desc("zeceIMG_RGB888", 10, 5), desc("zeceIMG_BGR888", 10, 5)]
    outs = [pictures.blank(record, FILL) for record in records]
    assert zece.scale(kind("zeceRESIZE_BILINEAR"), in_record, block, records, outs) == INVALID_IMAGE
    assert all(np.all(pictures.bytes(record, out) == FILL) for record, out in zip(records, outs))


def rect(x, y, w, h):
    record = zece.cropRect()
    record.start_x, record.start_y, record.width, record.height = x, y, w, h
    return record


# Rectangles inside a 48 x 40 picture; YUV formats take even offsets and sizes.
RECTS = {True: [(0, 0, 48, 40), (2, 4, 20, 12), (26, 18, 22, 22)],
         False: [(0, 0, 48, 40), (3, 5, 19, 11), (27, 17, 21, 23)]}


def cropped(fmt, planes, x, y, w, h):
    """The planes of the rectangle, by slicing (chroma planes of YUV at half the coordinates)."""
    scales = [1] + [2] * (len(planes) - 1) if fmt in YUV else [1] * len(planes)
    return [np.ascontiguousarray(plane[y // s:(y + h) // s, x // s:(x + w) // s]) for plane, s in zip(planes, scales)]


@pytest.mark.parametrize("name", ["zeceRESIZE_BILINEAR_CV", "zeceRESIZE_BICUBIC", "zeceRESIZE_BOX_PILLOW"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_batch_crop_resize(pictures, fmt, name):
    in_record = desc(fmt, 48, 40)
    out_record = desc(fmt, 30, 26)
    planes, block = pictures.random(in_record, np.random.default_rng(5))
    rects = RECTS[fmt in YUV]
    outs = [pictures.blank(out_record, FILL) for _ in rects]
    assert zece.batchCropResize([rect(*r) for r in rects], kind(name), in_record, block, out_record, outs) == 0
    for r, out in zip(rects, outs):
        data = pictures.bytes(out_record, out)
        assert_planes(name, unpack(out_record, data), expected(name, cropped(fmt, planes, *r), out_record))


@pytest.mark.parametrize("fmt, bad", [
    ("zeceIMG_GRAY", (40, 0, 9, 10)),      # past the right edge
    ("zeceIMG_RGB888", (0, 35, 10, 6)),    # past the bottom
    ("zeceIMG_GRAY", (-1, 0, 4, 4)),       # before the left edge
    ("zeceIMG_GRAY", (0, 0, 0, 4)),        # empty
    ("zeceIMG_YUV_NV12", (3, 2, 10, 10)),  # odd offset in a YUV picture
])
def test_batch_crop_resize_refuses_rectangles(pictures, fmt, bad):
    in_record, out_record = desc(fmt, 48, 40), desc(fmt, 16, 12)
    _, block = pictures.random(in_record, np.random.default_rng(6))
    outs = [pictures.blank(out_record, FILL) for _ in range(2)]
    rects = [rect(0, 0, 20, 20), rect(*bad)]
    assert zece.batchCropResize(rects, kind("zeceRESIZE_BILINEAR"), in_record, block, out_record, outs) == INVALID_PARAM
    assert all(np.all(pictures.bytes(out_record, out) == FILL) for out in outs)
