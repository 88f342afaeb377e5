"""The ONNX models the tests and the benchmarks build, and the building blocks only they need.

Besides a test file building a model of its own, this is the one place tests and benchmarks
build models (a model here is not defined again elsewhere). It lives in tests/ because every
test, and every interpreter a test starts, has tests/ on its path already (tests/conftest.py),
while the benchmarks append tests/ to theirs in one place, bench/common.py. The primitives
programs need too (value_info, weight, onnx_model, save_model, conv_relu) come from the
package's halvora.samples; importing this module puts python/ on the path for them.

    ConvRelu, AddMul, Scale, Binary, Softmax, ConvInput   small models with NumPy references
    affine_model(path, shape, ...)                        y = scale * x + shift
    Graph(seed)                                           nodes and weights under construction, fresh
                                                          names, conv / batch-norm / activation blocks
    resnet18(), mobilenet_v2(), yolo_detector(), save(name, path, ...)   three image networks

The networks: a ResNet-18 shape and a MobileNet-v2 shape on 1x3x224x224 (1000 classes), and a
small YOLO-style detector on 1x3x640x640 (three anchors, 80 classes, one [1, N, 85] output of
sigmoid scores gathered from three scales), batch 1, random weights, opset 13. Weights are
He-scaled for the activation that follows and BatchNormalization gets random but plausible
statistics, so that activations stay of order one through the whole network and the outputs of
two engines can be compared with a relative tolerance.

    save(name, path, input_type="float32", **options)   one of NETWORKS built and saved:
                                   (path, input shape, output shape)
    resnet18(), mobilenet_v2(relu6="clip"), yolo_detector()   the onnx.ModelProto

input_type "float16" declares the input float16 (the card converts it at the edge; the
pipeline's preprocessor writes float16 tensors). mobilenet_v2(relu6="relu_difference") writes
ReLU6 as Relu(x) - Relu(x - 6), the same values in a form importers that read Clip's bounds
only as attributes take, with the same weights.
"""
import math
import pathlib
import sys

import numpy as np
import onnx
from onnx import helper

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from halvora.samples import conv_relu, conv_relu_reference, onnx_model, save_model, value_info, weight  # noqa: E402

TEST = "test"  # the graph name of the small models


class ConvRelu:
    """y = relu(conv3x3(x, w, padding 1) + b): one input, one output, NCHW float32."""

    def __init__(self, path, batch=1, channels=3, filters=4, size=8, seed=0):
        self.path, self.weight, self.bias, self.input_shape, self.output_shape = conv_relu(
            path, batch, channels, filters, size, seed, name="test")

    def reference(self, x):
        return conv_relu_reference(x, self.weight, self.bias)


class AddMul:
    """Two inputs a, b of shape [batch, 4]; outputs a + b and a * b."""

    def __init__(self, path, batch=1):
        dims = [batch, 4]
        nodes = [helper.make_node("Add", ["a", "b"], ["sum"]), helper.make_node("Mul", ["a", "b"], ["product"])]
        self.path = save_model(path, nodes, [value_info("a", dims), value_info("b", dims)],
                               [value_info("sum", dims), value_info("product", dims)], name=TEST)

    @staticmethod
    def reference(a, b):
        return [a + b, a * b]


class Scale:
    """y = 2 * x + 1 on any shape [N, C, H, W] (every dimension left open)."""

    def __init__(self, path, dims=("N", "C", "H", "W")):
        nodes = [helper.make_node("Mul", ["x", "two"], ["t"]), helper.make_node("Add", ["t", "one"], ["y"])]
        self.path = save_model(path, nodes, [value_info("x", list(dims))], [value_info("y", list(dims))],
                               [weight(np.array(2), "two"),
                                weight(np.array(1), "one")], TEST)

    @staticmethod
    def reference(x):
        return 2 * x + 1


class Binary:
    """y = op(a, b) for an element-wise op or MatMul, with the inputs declared as given
    (a name for an open dimension)."""

    OPS = {"MatMul": np.matmul, "Add": np.add, "Mul": np.multiply}

    def __init__(self, path, op, a_dims, b_dims, y_dims):
        self.op = op
        nodes = [helper.make_node(op, ["a", "b"], ["y"])]
        self.path = save_model(path, nodes, [value_info("a", list(a_dims)), value_info("b", list(b_dims))],
                               [value_info("y", list(y_dims))], name=TEST)

    def reference(self, a, b):
        return self.OPS[self.op](a, b)


class Softmax:
    """y = Softmax(x) or LogSoftmax(x) of an opset, with the axis attribute given or left out."""

    def __init__(self, path, dims, opset, axis=None, log=False):
        self.axis = (-1 if opset >= 13 else 1) if axis is None else axis
        self.log = log
        attributes = {} if axis is None else {"axis": axis}
        nodes = [helper.make_node("LogSoftmax" if log else "Softmax", ["x"], ["y"], **attributes)]
        self.path = save_model(path, nodes, [value_info("x", list(dims))], [value_info("y", list(dims))],
                               name=TEST, opset=opset)

    def reference(self, x):
        shifted = x - x.max(self.axis, keepdims=True)
        total = np.exp(shifted).sum(self.axis, keepdims=True)
        return shifted - np.log(total) if self.log else np.exp(shifted) / total


class ConvInput:
    """y = conv3x3(x, w, padding 1) with the weights `w` a graph input, not an initializer."""

    def __init__(self, path, x_dims, w_dims, y_dims):
        nodes = [helper.make_node("Conv", ["x", "w"], ["y"], kernel_shape=[3, 3], pads=[1, 1, 1, 1])]
        self.path = save_model(path, nodes, [value_info("x", list(x_dims)), value_info("w", list(w_dims))],
                               [value_info("y", list(y_dims))], name=TEST)

    @staticmethod
    def reference(x, w):
        padded = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
        height, width = x.shape[2:]
        out = np.zeros((x.shape[0], w.shape[0], height, width), np.float64)
        for dy in range(3):
            for dx in range(3):
                out += np.einsum("nchw,fc->nfhw", padded[:, :, dy:dy + height, dx:dx + width], w[:, :, dy, dx])
        return out.astype(np.float32)


def affine_model(path, shape, input_type="float32", scale=2.0, shift=1.0):
    """y = scale * x + shift on `shape`, float32 out; saved as ONNX."""
    nodes = [helper.make_node("Mul", ["x", "a"], ["t"]), helper.make_node("Add", ["t", "b"], ["y"])]
    return save_model(path, nodes, [value_info("x", shape, input_type)], [value_info("y", shape)],
                      [weight(np.array(scale), "a"), weight(np.array(shift), "b")], "affine")


# Networks ------------------------------------------------------------------------------------

OPSET = 13


class Graph:
    """Nodes and initializers under construction; every value gets a fresh name."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.nodes, self.weights = [], []
        self.count = 0
        self.relu6_form = "clip"

    def name(self, kind):
        self.count += 1
        return f"{kind}{self.count}"

    def constant(self, array, kind="w"):
        name = self.name(kind)
        self.weights.append(weight(array, name))
        return name

    def shape(self, values):
        name = self.name("shape")
        self.weights.append(weight(values, name, np.int64))
        return name

    def node(self, op, inputs, **attributes):
        output = self.name(op.lower())
        self.nodes.append(helper.make_node(op, inputs, [output], **attributes))
        return output

    def conv(self, x, channels, filters, kernel, stride=1, groups=1, gain=2.0, bias=False):
        """A convolution with 'same' padding and He-style weights (variance gain / fan-in)."""
        fan_in = channels // groups * kernel * kernel
        w = self.rng.standard_normal((filters, channels // groups, kernel, kernel)) * math.sqrt(gain / fan_in)
        inputs = [x, self.constant(w)]
        if bias:
            inputs.append(self.constant(self.rng.standard_normal(filters) * 0.1, "b"))
        pad = kernel // 2
        return self.node("Conv", inputs, kernel_shape=[kernel, kernel], strides=[stride, stride],
                         pads=[pad] * 4, group=groups)

    def batch_norm(self, x, channels, scale=(0.8, 1.2)):
        """BatchNormalization with statistics near what the He-scaled convolution produces."""
        gamma = self.rng.uniform(*scale, channels)
        beta = self.rng.standard_normal(channels) * 0.1
        mean = self.rng.standard_normal(channels) * 0.1
        var = self.rng.uniform(0.8, 1.2, channels)
        statistics = ((gamma, "gamma"), (beta, "beta"), (mean, "mean"), (var, "var"))
        inputs = [x] + [self.constant(values, kind) for values, kind in statistics]
        return self.node("BatchNormalization", inputs, epsilon=1e-5)

    def relu6(self, x):
        """min(max(x, 0), 6): Clip with its bounds as constant inputs; or, with relu6_form
        "relu_difference", the same values as Relu(x) - Relu(x - 6), for importers that read
        Clip's bounds only as the attributes of opsets before 11."""
        if self.relu6_form == "clip":
            return self.node("Clip", [x, self.constant(np.array(0.0), "zero"), self.constant(np.array(6.0), "six")])
        above = self.node("Relu", [self.node("Sub", [x, self.constant(np.array(6.0), "six")])])
        return self.node("Sub", [self.node("Relu", [x]), above])

    def silu(self, x):
        return self.node("Mul", [x, self.node("Sigmoid", [x])])

    def classifier(self, x, channels, classes):
        """Global average pool, flatten, Gemm to `classes` logits."""
        flat = self.node("Flatten", [self.node("GlobalAveragePool", [x])], axis=1)
        w = self.rng.standard_normal((classes, channels)) * math.sqrt(1 / channels)
        b = self.rng.standard_normal(classes) * 0.1
        return self.node("Gemm", [flat, self.constant(w), self.constant(b, "b")], transB=1)

    def model(self, name, x_shape, output, y_shape, input_type="float32"):
        """The graph as a model: input 'x' of `input_type`, output 'y' (the last node's)."""
        assert self.nodes[-1].output[0] == output
        self.nodes[-1].output[0] = "y"
        return onnx_model(self.nodes, [value_info("x", x_shape, input_type)], [value_info("y", y_shape)],
                          self.weights, name, OPSET)


# ResNet-18 -----------------------------------------------------------------------------------

def basic_block(g, x, channels, filters, stride):
    """Two 3x3 conv+BN with a ReLU between, added to the shortcut (a 1x1/stride conv+BN when the
    shape changes), then ReLU. The second BN is scaled down so that the residual sums of eight
    blocks keep the activations of order one."""
    y = g.node("Relu", [g.batch_norm(g.conv(x, channels, filters, 3, stride), filters)])
    y = g.batch_norm(g.conv(y, filters, filters, 3), filters, scale=(0.3, 0.6))
    shortcut = x
    if stride != 1 or channels != filters:
        shortcut = g.batch_norm(g.conv(x, channels, filters, 1, stride), filters, scale=(0.3, 0.6))
    return g.node("Relu", [g.node("Add", [y, shortcut])])


def resnet18(input_type="float32", classes=1000, size=224, seed=0):
    g = Graph(seed)
    y = g.node("Relu", [g.batch_norm(g.conv("x", 3, 64, 7, 2), 64)])
    y = g.node("MaxPool", [y], kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1])
    channels = 64
    for stage, filters in enumerate((64, 128, 256, 512)):
        for block in range(2):
            y = basic_block(g, y, channels, filters, 2 if stage and not block else 1)
            channels = filters
    y = g.classifier(y, channels, classes)
    return g.model("resnet18", [1, 3, size, size], y, [1, classes], input_type)


# MobileNet-v2 --------------------------------------------------------------------------------

# (expansion, filters, repeats, stride of the first block) of each stage.
MOBILENET_V2_STAGES = ((1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2), (6, 96, 3, 1),
                       (6, 160, 3, 2), (6, 320, 1, 1))


def inverted_residual(g, x, channels, filters, stride, expansion):
    """1x1 expansion (when expansion > 1), 3x3 depthwise, 1x1 linear projection; added to the
    input when the shape is kept."""
    hidden = channels * expansion
    y = x
    if expansion != 1:
        y = g.relu6(g.batch_norm(g.conv(y, channels, hidden, 1), hidden))
    y = g.relu6(g.batch_norm(g.conv(y, hidden, hidden, 3, stride, groups=hidden), hidden))
    y = g.batch_norm(g.conv(y, hidden, filters, 1, gain=1.0), filters, scale=(0.4, 0.7))
    if stride == 1 and channels == filters:
        y = g.node("Add", [y, x])
    return y


def mobilenet_v2(input_type="float32", classes=1000, size=224, seed=0, relu6="clip"):
    g = Graph(seed)
    g.relu6_form = relu6
    y = g.relu6(g.batch_norm(g.conv("x", 3, 32, 3, 2), 32))
    channels = 32
    for expansion, filters, repeats, stride in MOBILENET_V2_STAGES:
        for i in range(repeats):
            y = inverted_residual(g, y, channels, filters, stride if i == 0 else 1, expansion)
            channels = filters
    y = g.relu6(g.batch_norm(g.conv(y, channels, 1280, 1), 1280))
    y = g.classifier(y, 1280, classes)
    return g.model("mobilenet_v2", [1, 3, size, size], y, [1, classes], input_type)


# YOLO-style detector -------------------------------------------------------------------------

ANCHORS, CLASSES = 3, 80


def conv_bn_silu(g, x, channels, filters, kernel=3, stride=1):
    return g.silu(g.batch_norm(g.conv(x, channels, filters, kernel, stride), filters))


def csp_block(g, x, channels):
    """Two branches of half the channels, one through a 1x1 + 3x3 bottleneck with a residual
    add, concatenated and mixed by a 1x1 conv."""
    half = channels // 2
    a = conv_bn_silu(g, x, channels, half, 1)
    b = conv_bn_silu(g, x, channels, half, 1)
    a = g.node("Add", [a, conv_bn_silu(g, conv_bn_silu(g, a, half, half, 1), half, half, 3)])
    return conv_bn_silu(g, g.node("Concat", [a, b], axis=1), channels, channels, 1)


def upsample(g, x):
    """Nearest-neighbour x2 with the scales as a constant (roi empty)."""
    return g.node("Resize", [x, g.constant(np.zeros(0), "roi"), g.constant([1, 1, 2, 2], "scales")],
                  mode="nearest")


def head(g, x, channels, size):
    """1x1 conv to ANCHORS * (5 + CLASSES) channels, sigmoid, as [1, ANCHORS * size * size, 5 + CLASSES]."""
    width = 5 + CLASSES
    y = g.node("Sigmoid", [g.conv(x, channels, ANCHORS * width, 1, gain=1.0, bias=True)])
    y = g.node("Reshape", [y, g.shape([1, ANCHORS, width, size * size])])
    y = g.node("Transpose", [y], perm=[0, 1, 3, 2])
    return g.node("Reshape", [y, g.shape([1, ANCHORS * size * size, width])])


def yolo_detector(input_type="float32", size=640, seed=0):
    """Backbone of stride-2 conv+BN+SiLU downsamples and CSP blocks to strides 8, 16 and 32; a
    top-down neck (1x1 conv, nearest x2 upsampling, concat with the finer scale); a sigmoid head
    at each of the three scales; the heads' rows concatenated."""
    g = Graph(seed)
    y = conv_bn_silu(g, "x", 3, 16, 3, 2)            # /2
    y = conv_bn_silu(g, y, 16, 32, 3, 2)             # /4
    y = csp_block(g, y, 32)
    p3 = csp_block(g, conv_bn_silu(g, y, 32, 64, 3, 2), 64)      # /8
    p4 = csp_block(g, conv_bn_silu(g, p3, 64, 128, 3, 2), 128)   # /16
    p5 = csp_block(g, conv_bn_silu(g, p4, 128, 256, 3, 2), 256)  # /32
    lateral5 = conv_bn_silu(g, p5, 256, 128, 1)
    n4 = conv_bn_silu(g, g.node("Concat", [upsample(g, lateral5), p4], axis=1), 256, 128, 3)
    lateral4 = conv_bn_silu(g, n4, 128, 64, 1)
    n3 = conv_bn_silu(g, g.node("Concat", [upsample(g, lateral4), p3], axis=1), 128, 64, 3)
    rows = [head(g, n3, 64, size // 8), head(g, n4, 128, size // 16), head(g, p5, 256, size // 32)]
    y = g.node("Concat", rows, axis=1)
    count = ANCHORS * sum((size // stride) ** 2 for stride in (8, 16, 32))
    return g.model("yolo_detector", [1, 3, size, size], y, [1, count, 5 + CLASSES], input_type)


NETWORKS = {"resnet18": resnet18, "mobilenet_v2": mobilenet_v2, "yolo_detector": yolo_detector}


def save(name, path, input_type="float32", **options):
    """Saves the network `name` of NETWORKS, built with `options`, to `path`: (path as str,
    input shape, output shape)."""
    model = NETWORKS[name](input_type=input_type, **options)
    onnx.save(model, str(path))
    dims = [[d.dim_value for d in v.type.tensor_type.shape.dim] for v in (model.graph.input[0], model.graph.output[0])]
    return str(path), dims[0], dims[1]
