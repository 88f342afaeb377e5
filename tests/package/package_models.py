"""Small ONNX models for the package's tests."""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def affine_model(path, shape, input_type=TensorProto.FLOAT, scale=2.0, shift=1.0):
    """y = scale * x + shift on `shape`, float32 out; saved as ONNX."""
    nodes = [helper.make_node("Mul", ["x", "a"], ["t"]), helper.make_node("Add", ["t", "b"], ["y"])]
    graph = helper.make_graph(nodes, "affine", [helper.make_tensor_value_info("x", input_type, shape)],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, shape)],
                              [numpy_helper.from_array(np.array(scale, np.float32), "a"),
                               numpy_helper.from_array(np.array(shift, np.float32), "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 7
    onnx.save(model, str(path))
    return str(path)
