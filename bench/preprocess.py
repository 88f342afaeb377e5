"""Preprocess operations on a 1080p NV12 picture in device memory, beside the same work done on the
host by OpenCV and Pillow on the picture's planes."""
import cv2
import numpy as np
from PIL import Image

from common import best_time, report

from _halvora_pybind11 import zece, zecm

WIDTH, HEIGHT = 1920, 1080
OUT_WIDTH, OUT_HEIGHT = 1280, 720


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


def main():
    zecm.uninitialize()
    zecm.initialize()
    zecm.setDevice(0)
    picture = Picture(np.random.default_rng(0))
    resize_opencv(picture)
    resize_pillow(picture)
    zecm.uninitialize()


if __name__ == "__main__":
    main()
