"""Preprocess operations on a 1080p NV12 picture in device memory, beside the same work done on the
host by OpenCV and Pillow on the picture's planes."""
import cv2
import numpy as np
from PIL import Image

from common import best_time, report

from _halvora_pybind11 import zece, zecm

WIDTH, HEIGHT = 1920, 1080
OUT_WIDTH, OUT_HEIGHT = 1280, 720
TENSOR = 224
MEAN, STD = [0.485, 0.456, 0.406], [0.229, 0.224, 0.225]


def nv12_desc(width, height):
    record = zece.imageDesc()
    record.width, record.height = width, height
    record.widthPitch, record.heightPitch = width, height
    record.format = zece.imageType.zeceIMG_YUV_NV12
    return record


def device_copy(data):
    """A device block holding the bytes of `data`."""
    block = zecm.malloc(data.nbytes)
    host = zecm.getHandleFromNumpy(data)
    zecm.memcpy(host, block, data.nbytes, zecm.copyMemType.zecmCT_COPY_TO_DEVICE)
    zecm.freeHost(host)
    return block


class Picture:
    """A random NV12 picture: its Y plane, its UV plane as a 2-channel image, and a device copy."""

    def __init__(self, rng):
        data = rng.integers(0, 256, WIDTH * HEIGHT * 3 // 2, dtype=np.uint8)
        self.frame = data.reshape(HEIGHT * 3 // 2, WIDTH)
        self.y = data[:WIDTH * HEIGHT].reshape(HEIGHT, WIDTH)
        self.uv = data[WIDTH * HEIGHT:].reshape(HEIGHT // 2, WIDTH // 2, 2)
        self.desc = nv12_desc(WIDTH, HEIGHT)
        self.block = device_copy(data)
        self.out_desc = nv12_desc(OUT_WIDTH, OUT_HEIGHT)
        self.out = zecm.malloc(OUT_WIDTH * OUT_HEIGHT * 3 // 2)


def resize_opencv(picture):
    """zece.resize with the OpenCV bilinear kind against cv2.resize of both planes."""
    kind = zece.resizeType.zeceRESIZE_BILINEAR
    ours = best_time(lambda: zece.resize(kind, picture.desc, picture.block, picture.out_desc, picture.out), 20)
    sizes = (OUT_WIDTH, OUT_HEIGHT), (OUT_WIDTH // 2, OUT_HEIGHT // 2)

    def baseline():
        cv2.resize(picture.y, sizes[0], interpolation=cv2.INTER_LINEAR)
        cv2.resize(picture.uv, sizes[1], interpolation=cv2.INTER_LINEAR)

    report("resize NV12 1080p -> 720p, BILINEAR (cv2.resize of Y and UV)", ours, best_time(baseline, 20),
           unit="us", scale=1e6)


def resize_pillow(picture):
    """zece.resize with Pillow's bilinear filter against PIL resizing the Y, U and V planes."""
    kind = zece.resizeType.zeceRESIZE_BILINEAR_PILLOW
    ours = best_time(lambda: zece.resize(kind, picture.desc, picture.block, picture.out_desc, picture.out), 5)
    planes = [Image.fromarray(picture.y)] + [Image.fromarray(np.ascontiguousarray(picture.uv[..., c])) for c in (0, 1)]
    sizes = [(OUT_WIDTH, OUT_HEIGHT)] + [(OUT_WIDTH // 2, OUT_HEIGHT // 2)] * 2

    def baseline():
        for plane, size in zip(planes, sizes):
            plane.resize(size, Image.BILINEAR)

    report("resize NV12 1080p -> 720p, BILINEAR_PILLOW (PIL resize of Y, U, V)", ours, best_time(baseline, 5),
           unit="ms", scale=1e3)


def dataset(block, size):
    info = zecm.deviceInfo()
    info.deviceType, info.deviceIdx = zecm.deviceType.zecmDE_ZECC, 0
    result = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
    zecm.addDatasetBuffer(result, zecm.createDataBuffer(info, block, size))
    return result


def fused_tensor(picture):
    """A fused op from the NV12 picture to a 224 x 224 planar float16 tensor, normalised by mean
    and standard deviation, against the same steps with OpenCV and NumPy."""
    op = zece.createOp(zece.opType.zeceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR)
    element, array = zece.paramType.zecePARAM_ELEMENT, zece.paramType.zecePARAM_ARRAY
    integer, real = zece.dataType.zeceDT_INT, zece.dataType.zeceDT_FLOAT
    for name, value in (("inputWidth", WIDTH), ("inputHeight", HEIGHT), ("outputWidth", TENSOR),
                        ("outputHeight", TENSOR), ("normType", int(zece.normType.zeceNORM_DIV255_MINUSMEAN_DIVSTD)),
                        ("tensorizationType", int(zece.tensorizationType.zeceTENSORIZATION_FP16))):
        zece.setZeceOPAttr(op, name, integer, element, value)
    for index in range(3):
        zece.setZeceOPAttrArray(op, "mean", real, array, MEAN[index], index)
        zece.setZeceOPAttrArray(op, "std", real, array, STD[index], index)
    tensor_bytes = TENSOR * TENSOR * 3 * 2
    tensor = zecm.malloc(tensor_bytes)
    inputs, outputs = dataset(picture.block, WIDTH * HEIGHT * 3 // 2), dataset(tensor, tensor_bytes)
    assert zece.executeOp(op, inputs, outputs) == 0
    mean, std = np.float32(MEAN), np.float32(STD)

    def baseline():
        rgb = cv2.cvtColor(picture.frame, cv2.COLOR_YUV2RGB_NV12)
        small = cv2.resize(rgb, (TENSOR, TENSOR), interpolation=cv2.INTER_LINEAR)
        return np.ascontiguousarray(((small.astype(np.float32) / np.float32(255) - mean) / std)
                                    .astype(np.float16).transpose(2, 0, 1))

    ours = best_time(lambda: zece.executeOp(op, inputs, outputs), 50)
    report("fused NV12 1080p -> 224x224 fp16 planar, normalised (cvtColor, resize, astype, transpose)", ours,
           best_time(baseline, 50), unit="us", scale=1e6)
    zece.destroyOp(op)


def main():
    zecm.uninitialize()
    zecm.initialize()
    zecm.setDevice(0)
    picture = Picture(np.random.default_rng(0))
    fused_tensor(picture)
    resize_opencv(picture)
    resize_pillow(picture)
    zecm.uninitialize()


if __name__ == "__main__":
    main()
