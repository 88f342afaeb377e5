"""The picture a fused NV12 op feeds a model, computed with OpenCV: the tests' oracle."""
import cv2
import numpy as np


def model_picture(nv12, out_w, out_h, letterbox, pad, geometry):
    """The RGB picture of `nv12` resized (bilinear) to `out_w` x `out_h`, or letterboxed into
    it on a `pad`-filled canvas with the scale and offset `geometry` gives (the package's
    letterbox_geometry)."""
    rgb = cv2.cvtColor(nv12, cv2.COLOR_YUV2RGB_NV12)
    if not letterbox:
        return cv2.resize(rgb, (out_w, out_h), interpolation=cv2.INTER_LINEAR)
    height, width = rgb.shape[:2]
    (sx, sy), (ox, oy) = geometry(width, height, out_w, out_h)
    inner = cv2.resize(rgb, (round(width * sx), round(height * sy)), interpolation=cv2.INTER_LINEAR)
    image = np.full((out_h, out_w, 3), pad, np.uint8)
    image[oy:oy + inner.shape[0], ox:ox + inner.shape[1]] = inner
    return image
