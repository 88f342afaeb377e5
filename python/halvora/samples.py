"""Sample models and clips that let a program run without data of its own, and the primitives
they are built with.

    build_classifier(path, input_type="float16", size=224, classes=10, seed=0)   a small CNN
    conv_relu(path, ...), conv_relu_reference(x, weight, bias)   relu(conv3x3 + b) and its NumPy twin
    synthetic_pictures(width, height, count), make_clip(path, ...)   NV12 pictures, an H.264 clip

ONNX primitives (onnx.helper under the hood; onnx is imported only when a model is built):

    value_info(name, dims, kind="float32")          a graph input or output
    weight(array, name, dtype=np.float32)           an initializer from a NumPy array
    onnx_model(nodes, inputs, outputs, weights=(), name="model", opset=11, ...)   the ModelProto
    save_model(path, nodes, inputs, outputs, ...)   the same model written to `path`, which it returns
    conv_relu_layer(x, index, weight, bias, stride=None)   Conv 3x3 (padding 1) + Relu nodes
"""
import math

import numpy as np

from ._native import zeme
from .media import Encoder, Media

# Element types by name, as TensorProto numbers (onnx's own enumeration values).
ELEMENT_TYPES = {"float32": 1, "uint8": 2, "int64": 7, "float16": 10}


def value_info(name, dims, kind="float32"):
    """A tensor's value info: `dims` of numbers and names (open dimensions); `kind` an element
    type name of ELEMENT_TYPES or a TensorProto number."""
    from onnx import helper
    return helper.make_tensor_value_info(name, ELEMENT_TYPES.get(kind, kind), list(dims))


def weight(array, name, dtype=np.float32):
    """An initializer named `name` holding `array`, converted to `dtype` (None keeps its own)."""
    from onnx import numpy_helper
    return numpy_helper.from_array(np.asarray(array, dtype), name)


def onnx_model(nodes, inputs, outputs, weights=(), name="model", opset=11, ir_version=7, check=True):
    """A model of one graph at `opset` of the default domain; IR version `ir_version` (None
    leaves onnx's own). `check` runs onnx's checker on it (off for models meant to be wrong)."""
    import onnx
    from onnx import helper
    graph = helper.make_graph(list(nodes), name, list(inputs), list(outputs), list(weights))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    if ir_version is not None:
        model.ir_version = ir_version
    if check:
        onnx.checker.check_model(model)
    return model


def save_model(path, nodes, inputs, outputs, weights=(), name="model", opset=11, ir_version=7, check=True):
    """onnx_model(...) written to `path`; returns the path as a str."""
    import onnx
    onnx.save(onnx_model(nodes, inputs, outputs, weights, name, opset, ir_version, check), str(path))
    return str(path)


def conv_relu_layer(x, index, weight_array, bias_array, stride=None):
    """(nodes, initializers, output) of Conv 3x3 with padding 1 (weights w{index}, b{index},
    output c{index}; strides only when `stride` is given) and Relu (output r{index})."""
    from onnx import helper
    w, b, c, r = f"w{index}", f"b{index}", f"c{index}", f"r{index}"
    strides = {} if stride is None else {"strides": [stride, stride]}
    nodes = [helper.make_node("Conv", [x, w, b], [c], kernel_shape=[3, 3], pads=[1, 1, 1, 1], **strides),
             helper.make_node("Relu", [c], [r])]
    return nodes, [weight(weight_array, w), weight(bias_array, b)], r


def conv_relu(path, batch=1, channels=3, filters=8, size=32, seed=0, input_type="float32", name="conv_relu"):
    """y = relu(conv3x3(x, w, padding 1) + b) on x [batch, channels, size, size] of `input_type`,
    y float32, saved as ONNX; returns (path, weight, bias, input shape, output shape)."""
    from onnx import helper
    rng = np.random.default_rng(seed)
    w = rng.standard_normal((filters, channels, 3, 3)).astype(np.float32)
    b = rng.standard_normal(filters).astype(np.float32)
    x_shape, y_shape = [batch, channels, size, size], [batch, filters, size, size]
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["c"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             helper.make_node("Relu", ["c"], ["y"])]
    path = save_model(path, nodes, [value_info("x", x_shape, input_type)], [value_info("y", y_shape)],
                      [weight(w, "w"), weight(b, "b")], name)
    return path, w, b, x_shape, y_shape


def conv_relu_reference(x, weight_array, bias_array):
    """What conv_relu's model computes, in NumPy (float64 sums, float32 result)."""
    padded = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
    height, width = x.shape[2:]
    out = np.zeros((x.shape[0], weight_array.shape[0], height, width), np.float64)
    for dy in range(3):
        for dx in range(3):
            out += np.einsum("nchw,fc->nfhw", padded[:, :, dy:dy + height, dx:dx + width], weight_array[:, :, dy, dx])
    return np.maximum(out + bias_array[None, :, None, None], 0).astype(np.float32)


def build_classifier(path, input_type="float16", size=224, classes=10, seed=0):
    """A small CNN classifier with deterministic weights, saved as ONNX: [1, 3, size, size] of
    `input_type` ("float16", "float32" or "uint8") ->
    conv 3x3/2 (16) relu maxpool, conv 3x3 (32) relu maxpool, conv 3x3 (64) relu, global max
    pool, gemm -> `classes`, softmax. Returns the path."""
    from onnx import helper
    rng = np.random.default_rng(seed)
    nodes: list = []
    weights: list = []
    current = "image"
    if input_type == "uint8":  # bytes in: the model scales them itself
        weights.append(weight(np.array(1 / 64), "unit"))
        nodes.append(helper.make_node("Mul", ["image", "unit"], ["scaled"]))
        current = "scaled"
    channels = 3
    for i, (filters, stride, pool) in enumerate([(16, 2, True), (32, 1, True), (64, 1, False)]):
        w = rng.standard_normal((filters, channels, 3, 3)) * math.sqrt(2 / (9 * channels))
        b = rng.standard_normal(filters) * 0.1
        layer, initializers, current = conv_relu_layer(current, i, w, b, stride)
        nodes += layer
        weights += initializers
        if pool:
            nodes.append(helper.make_node("MaxPool", [current], [f"p{i}"], kernel_shape=[2, 2], strides=[2, 2]))
            current = f"p{i}"
        channels = filters
    fc = rng.standard_normal((classes, channels)) * math.sqrt(2 / channels) * 4
    weights += [weight(fc, "fc"), weight(rng.standard_normal(classes) * 0.1, "fcb")]
    nodes += [helper.make_node("GlobalMaxPool", [current], ["pooled"]),
              helper.make_node("Flatten", ["pooled"], ["flat"], axis=1),
              helper.make_node("Gemm", ["flat", "fc", "fcb"], ["logits"], transB=1),
              helper.make_node("Softmax", ["logits"], ["scores"], axis=1)]
    return save_model(path, nodes, [value_info("image", [1, 3, size, size], input_type)],
                      [value_info("scores", [1, classes])], weights, "classifier")


def synthetic_pictures(width, height, count):
    """NV12 pictures (arrays of height * 3 / 2 rows): a view panning across a smoothly coloured
    Mandelbrot set, with a bright disc moving over it."""
    import cv2
    pan_x, pan_y = width // 6 & ~1, height // 6 & ~1
    canvas_w, canvas_h = width + pan_x, height + pan_y
    # Escape counts on a coarse grid, enlarged smoothly: detail a video encoder handles well.
    coarse_w, coarse_h = canvas_w // 4, canvas_h // 4
    c = np.linspace(-2.3, 0.9, coarse_w, dtype=np.float32)[None, :] + 1j * np.linspace(
        -1.1, 1.1, coarse_h, dtype=np.float32)[:, None]
    z = np.zeros_like(c)
    counts = np.zeros(c.shape, np.float32)
    for _ in range(40):
        inside = np.abs(z) <= 2
        z[inside] = z[inside] ** 2 + c[inside]
        counts += inside
    phase = counts / 40 * 2 * np.pi

    def plane(values, size):
        return cv2.resize(values.astype(np.float32), size, interpolation=cv2.INTER_CUBIC).clip(0, 255).astype(np.uint8)

    luma = plane(126 + 100 * np.sin(3 * phase), (canvas_w, canvas_h))
    u = plane(128 + 90 * np.sin(2 * phase + 1), (canvas_w // 2, canvas_h // 2))
    v = plane(128 + 90 * np.cos(5 * phase), (canvas_w // 2, canvas_h // 2))
    rows, cols = np.ogrid[:height, :width]
    for t in range(count):
        f = t / max(1, count - 1)
        ox, oy = int(pan_x * f) & ~1, int(pan_y * (0.5 - 0.5 * math.cos(math.pi * f))) & ~1
        y_plane = luma[oy:oy + height, ox:ox + width].copy()
        uv = np.empty((height // 2, width), np.uint8)
        uv[:, 0::2] = u[oy // 2:oy // 2 + height // 2, ox // 2:ox // 2 + width // 2]
        uv[:, 1::2] = v[oy // 2:oy // 2 + height // 2, ox // 2:ox // 2 + width // 2]
        cx = width * (0.5 + 0.35 * math.cos(2 * math.pi * f))
        cy = height * (0.5 + 0.35 * math.sin(4 * math.pi * f))
        disc = (rows - cy) ** 2 + (cols - cx) ** 2 < (height / 8) ** 2
        y_plane[disc] = 235
        uv[disc[::2, ::2].repeat(2, axis=1)] = 128
        yield np.vstack([y_plane, uv])


def make_clip(path, width=1920, height=1080, frames=240, fps=30):
    """Encodes `frames` synthetic pictures to an H.264 file with the card's own encoder."""
    quick = zeme.encQualityMode.ZEME_BRONZE_QUALITY  # the encoder's fastest preset
    with Media(), Encoder(width, height, "h264", fps, qualityMode=quick) as encoder, open(path, "wb") as out:
        for picture in synthetic_pictures(width, height, frames):
            out.write(encoder.encode(picture))
        out.write(encoder.finish())
    return str(path)
