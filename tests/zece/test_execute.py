"""executeOp with single ops: pictures from dataset members, everything else from attributes."""
import numpy as np
import pytest

from zece_helpers import (INVALID_ADDRESS, INVALID_HANDLE, INVALID_PARAM, OP_NOT_READY, configure, dataset, desc,
                          image_attributes, layout)

RGB, NV12, GRAY = "zeceIMG_RGB888", "zeceIMG_YUV_NV12", "zeceIMG_GRAY"


def size_of(record):
    return layout(record)[1]


def execute(zece, pictures, op_type, source, outputs, tensors=False, **attributes):
    """Runs an op on a random picture; returns (input planes, input block, output blocks, status)."""
    rng = np.random.default_rng(11)
    planes, block = pictures.random(source, rng)
    blocks = [pictures.blank(record) for record in outputs]
    op = zece.createOp(getattr(zece.opType, op_type))
    configure(op, **attributes)
    zecm = pictures.zecm
    status = zece.executeOp(op, dataset(zecm, [block], [size_of(source)], tensors),
                            dataset(zecm, blocks, [size_of(record) for record in outputs], tensors))
    zece.destroyOp(op)
    return block, blocks, status


def rect(zece, x, y, w, h):
    record = zece.cropRect()
    record.start_x, record.start_y, record.width, record.height = x, y, w, h
    return record


def direct(zece, pictures, source, block, outputs, call):
    """Output blocks of the direct operation `call(source, block, outputs, blocks)`."""
    blocks = [pictures.blank(record) for record in outputs]
    assert call(source, block, outputs, blocks) == 0
    return blocks


@pytest.mark.parametrize("tensors", [False, True])
def test_resize_scale_and_batch_crop_resize(zece, pictures, tensors):
    source = desc(NV12, 40, 30, 44, 32)
    small, large = desc(NV12, 16, 12), desc(NV12, 64, 48, 70, 50)
    bilinear = zece.resizeType.zeceRESIZE_BILINEAR
    cases = [
        ("zeceOP_RESIZE", [small], dict(**image_attributes("output", small), resizeType=bilinear),
         lambda s, b, o, bs: zece.resize(bilinear, s, b, o[0], bs[0])),
        ("zeceOP_SCALE", [small, large],
         dict(outputWidth=[16, 64], outputHeight=[12, 48], outputWidthPitch=[16, 70], outputHeightPitch=[12, 50]),
         lambda s, b, o, bs: zece.scale(bilinear, s, b, o, bs)),
        ("zeceOP_BATCH_CROP_RESIZE", [small, small],
         dict(**image_attributes("output", small), cropX=[0, 8], cropY=[2, 4], cropWidth=[20, 30], cropHeight=[10, 26]),
         lambda s, b, o, bs: zece.batchCropResize([rect(zece, 0, 2, 20, 10), rect(zece, 8, 4, 30, 26)], bilinear,
                                                  s, b, o[0], bs)),
    ]
    for op_type, outputs, attributes, call in cases:
        block, blocks, status = execute(zece, pictures, op_type, source, outputs, tensors,
                                        **image_attributes("input", source), **attributes)
        assert status == 0, op_type
        expected = direct(zece, pictures, source, block, outputs, call)
        for record, ours, theirs in zip(outputs, blocks, expected):
            np.testing.assert_array_equal(pictures.bytes(record, ours), pictures.bytes(record, theirs))


def test_picture_ops_with_their_defaults(zece, pictures):
    source = desc(RGB, 20, 10, 64, 12)
    matrix = [1.0, 0.1, -2.0, 0.0, 0.9, 1.5]
    cases = [
        ("zeceOP_CROP", desc(RGB, 6, 4), dict(cropX=3, cropY=5, cropWidth=6, cropHeight=4),
         lambda s, b, o, bs: zece.crop(rect(zece, 3, 5, 6, 4), s, b, o[0], bs[0])),
        ("zeceOP_FLIP", desc(RGB, 20, 10), dict(flipType=zece.flipType.zeceFLIP_BOTH_AXES),
         lambda s, b, o, bs: zece.yuvFlip(zece.flipType.zeceFLIP_BOTH_AXES, s, b, o[0], bs[0])),
        ("zeceOP_CVT_COLOR", desc("zeceIMG_RGB_PLANAR", 20, 10),
         dict(colorCvtCode=zece.colorCvtCode.zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR),
         lambda s, b, o, bs: zece.cvtColor(zece.colorCvtCode.zeceCOLOR_RGB2BGR_INTERLEAVE2PLANAR,
                                           zece.colorSpace.zeceCOLOR_SPACE_BT601, s, b, o[0], bs[0])),
        ("zeceOP_WARP_AFFINE", desc(RGB, 16, 8), dict(outputWidth=16, outputHeight=8, affineMatrix=matrix,
                                                      paddingValues=[1, 2, 3]),
         lambda s, b, o, bs: zece.warpAffine(affine(zece, matrix), zece.warpAffineMode.zeceWARP_AFFINE_MODE_BILINEAR,
                                             zece.paddingType.zeceEDGE_PADDING_TYPE_CONSTANT, padding(zece, [1, 2, 3]),
                                             s, b, o[0], bs[0])),
        ("zeceOP_COPY_MAKE_BORDER", desc(RGB, 30, 16),
         dict(outputWidth=30, outputHeight=16, paddingTop=2, paddingLeft=5, paddingRight=1,
              paddingType=zece.paddingType.zeceEDGE_PADDING_TYPE_REFLECT,
              resizeType=zece.resizeType.zeceRESIZE_NEAREST),
         lambda s, b, o, bs: zece.resizeCopyMakeBorder(zece.resizeType.zeceRESIZE_NEAREST,
                                                       zece.paddingType.zeceEDGE_PADDING_TYPE_REFLECT,
                                                       padding(zece, []), edges(zece, 2, 0, 5, 1), s, b, o[0], bs[0])),
    ]
    for op_type, output, attributes, call in cases:
        block, [ours], status = execute(zece, pictures, op_type, source, [output], **image_attributes("input", source),
                                        **attributes)
        assert status == 0, op_type
        [theirs] = direct(zece, pictures, source, block, [output], call)
        np.testing.assert_array_equal(pictures.bytes(output, ours), pictures.bytes(output, theirs))


def affine(zece, values):
    record = zece.affineMatrixPy()
    record.matrix = values
    return record


def padding(zece, values):
    record = zece.paddingValuesPy()
    record.value = values
    return record


def edges(zece, top, bottom, left, right):
    record = zece.paddingEdges()
    record.top, record.bottom, record.left, record.right = top, bottom, left, right
    return record


def test_memory_copy_op_copies_member_by_member(zece, pictures):
    zecm = pictures.zecm
    data = [np.arange(n, dtype=np.uint8) for n in (10, 300)]
    sources = [pictures.device.upload(d) for d in data]
    targets = [zecm.malloc(16), zecm.malloc(300)]
    op = zece.createOp(zece.opType.zeceOP_MEM_COPY_OP)
    assert zece.executeOp(op, dataset(zecm, sources, [10, 300]), dataset(zecm, targets, [16, 300])) == 0
    for d, target in zip(data, targets):
        np.testing.assert_array_equal(pictures.device.download(target, d.size), d)
    assert zece.executeOp(op, dataset(zecm, sources, [10, 300]), dataset(zecm, targets[::-1], [300, 16])) == 200010
    assert zece.executeOp(op, dataset(zecm, sources, [10, 300]), dataset(zecm, targets[:1], [16])) == INVALID_PARAM


def test_refusals(zece, pictures):
    zecm = pictures.zecm
    source, output = desc(GRAY, 16, 8), desc(GRAY, 8, 4)
    block, out = pictures.blank(source), pictures.blank(output)
    inputs, outputs = dataset(zecm, [block], [128]), dataset(zecm, [out], [32])
    op = zece.createOp(zece.opType.zeceOP_RESIZE)
    assert zece.executeOp(op, inputs, outputs) == OP_NOT_READY
    configure(op, **image_attributes("input", source))
    assert zece.executeOp(op, inputs, outputs) == OP_NOT_READY
    configure(op, **image_attributes("output", output))
    assert zece.executeOp(op, inputs, outputs) == 0
    assert zece.executeOp(op, inputs, dataset(zecm, [out, out], [32, 32])) == INVALID_PARAM
    assert zece.executeOp(op, dataset(zecm, [block], [127]), outputs) == INVALID_ADDRESS  # the member is too small
    assert zece.executeOp(op, inputs, None) == INVALID_HANDLE
    configure(op, resizeType=99)
    assert zece.executeOp(op, inputs, outputs) == INVALID_PARAM
    zece.destroyOp(op)
    assert zece.executeOp(op, inputs, outputs) == INVALID_HANDLE
