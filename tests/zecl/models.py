"""Small ONNX models built for the tests, with NumPy references of what they compute."""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def _save(path, nodes, inputs, outputs, initializers=(), opset=11):
    graph = helper.make_graph(nodes, "test", inputs, outputs, list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, str(path))
    return str(path)


def _float(name, dims):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, dims)


class ConvRelu:
    """y = relu(conv3x3(x, w, padding 1) + b): one input, one output, NCHW float32."""

    def __init__(self, path, batch=1, channels=3, filters=4, size=8, seed=0):
        rng = np.random.default_rng(seed)
        self.weight = rng.standard_normal((filters, channels, 3, 3)).astype(np.float32)
        self.bias = rng.standard_normal(filters).astype(np.float32)
        self.input_shape = [batch, channels, size, size]
        self.output_shape = [batch, filters, size, size]
        nodes = [
            helper.make_node("Conv", ["x", "w", "b"], ["c"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
            helper.make_node("Relu", ["c"], ["y"]),
        ]
        self.path = _save(path, nodes, [_float("x", self.input_shape)], [_float("y", self.output_shape)],
                          [numpy_helper.from_array(self.weight, "w"), numpy_helper.from_array(self.bias, "b")])

    def reference(self, x):
        padded = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
        height, width = x.shape[2:]
        out = np.zeros((x.shape[0], self.weight.shape[0], height, width), np.float64)
        for dy in range(3):
            for dx in range(3):
                window = padded[:, :, dy:dy + height, dx:dx + width]
                out += np.einsum("nchw,fc->nfhw", window, self.weight[:, :, dy, dx])
        out += self.bias[None, :, None, None]
        return np.maximum(out, 0).astype(np.float32)


class AddMul:
    """Two inputs a, b of shape [batch, 4]; outputs a + b and a * b."""

    def __init__(self, path, batch=1):
        dims = [batch, 4]
        nodes = [helper.make_node("Add", ["a", "b"], ["sum"]), helper.make_node("Mul", ["a", "b"], ["product"])]
        self.path = _save(path, nodes, [_float("a", dims), _float("b", dims)],
                          [_float("sum", dims), _float("product", dims)])

    @staticmethod
    def reference(a, b):
        return [a + b, a * b]


class Scale:
    """y = 2 * x + 1 on any shape [N, C, H, W] (every dimension left open)."""

    def __init__(self, path, dims=("N", "C", "H", "W")):
        nodes = [helper.make_node("Mul", ["x", "two"], ["t"]), helper.make_node("Add", ["t", "one"], ["y"])]
        self.path = _save(path, nodes, [_float("x", list(dims))], [_float("y", list(dims))],
                          [numpy_helper.from_array(np.array(2, np.float32), "two"),
                           numpy_helper.from_array(np.array(1, np.float32), "one")])

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
        self.path = _save(path, nodes, [_float("a", list(a_dims)), _float("b", list(b_dims))],
                          [_float("y", list(y_dims))])

    def reference(self, a, b):
        return self.OPS[self.op](a, b)


class Softmax:
    """y = Softmax(x) or LogSoftmax(x) of an opset, with the axis attribute given or left out."""

    def __init__(self, path, dims, opset, axis=None, log=False):
        self.axis = (-1 if opset >= 13 else 1) if axis is None else axis
        self.log = log
        attributes = {} if axis is None else {"axis": axis}
        nodes = [helper.make_node("LogSoftmax" if log else "Softmax", ["x"], ["y"], **attributes)]
        self.path = _save(path, nodes, [_float("x", list(dims))], [_float("y", list(dims))], opset=opset)

    def reference(self, x):
        shifted = x - x.max(self.axis, keepdims=True)
        total = np.exp(shifted).sum(self.axis, keepdims=True)
        return shifted - np.log(total) if self.log else np.exp(shifted) / total


class ConvInput:
    """y = conv3x3(x, w, padding 1) with the weights `w` a graph input, not an initializer."""

    def __init__(self, path, x_dims, w_dims, y_dims):
        nodes = [helper.make_node("Conv", ["x", "w"], ["y"], kernel_shape=[3, 3], pads=[1, 1, 1, 1])]
        self.path = _save(path, nodes, [_float("x", list(x_dims)), _float("w", list(w_dims))],
                          [_float("y", list(y_dims))])

    @staticmethod
    def reference(x, w):
        padded = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
        height, width = x.shape[2:]
        out = np.zeros((x.shape[0], w.shape[0], height, width), np.float64)
        for dy in range(3):
            for dx in range(3):
                out += np.einsum("nchw,fc->nfhw", padded[:, :, dy:dy + height, dx:dx + width], w[:, :, dy, dx])
        return out.astype(np.float32)
