"""Fused preprocess ops built from keyword settings, and the settings that turn a decoded
NV12 picture into a given model input."""
from collections.abc import Sequence

import numpy as np

from ._native import CardError, Status, call, check, zece
from .card import Resource
from .model import InputMismatch

# Enumerations an attribute takes, by attribute name: the enumeration and its members' prefix.
_ENUMS = {
    "resizeType": ("resizeType", "zeceRESIZE_"),
    "colorCvtCode": ("colorCvtCode", "zeceCOLOR_"),
    "colorSpace": ("colorSpace", "zeceCOLOR_SPACE_"),
    "normType": ("normType", "zeceNORM_"),
    "tensorizationType": ("tensorizationType", "zeceTENSORIZATION_"),
    "paddingType": ("paddingType", "zeceEDGE_PADDING"),
    "inputFormat": ("imageType", "zeceIMG_"),
    "outputFormat": ("imageType", "zeceIMG_"),
}
RANGES = {"limited": 0, "full": 1}  # values of the colour-converting ops' colorRange attribute
MATRICES = {"bt601": "BT601", "bt709": "BT709"}  # and of their colorSpace attribute
FUSED = {
    "resize": "YUV_NV12_CVTCOLOR_RESIZE",
    "letterbox": "YUV_NV12_CVTCOLOR_LETTERBOX",
}


def _enum_value(name, value):
    """An attribute value: enumeration members may be given by name without their prefix
    ("DIV255", "FP16", "BILINEAR"), in full, or as numbers."""
    if not isinstance(value, str):
        return value
    if name == "colorRange" and value in RANGES:
        return RANGES[value]
    if name not in _ENUMS:
        raise ValueError(f"attribute {name} takes a number, not {value!r}")
    enum_name, prefix = _ENUMS[name]
    members = getattr(zece, enum_name).__members__
    for candidate in (value, prefix + value, prefix + "_" + value, prefix + "TYPE_" + value):
        if candidate in members:
            return int(members[candidate])
    known = ", ".join(sorted(m.replace(prefix, "").lstrip("_") for m in members))
    raise ValueError(f"{name}={value!r}: one of {known}")


def _as_list(value):
    """The items of a list attribute's value as Python numbers; None for a single value."""
    if isinstance(value, np.ndarray):
        return value.reshape(-1).tolist()
    if isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        return [item.item() if isinstance(item, np.generic) else item for item in value]
    return None


def _same(old, new):
    return type(old) is type(new) and old == new


def _op_type(kind):
    kind = FUSED.get(kind, kind)
    members = zece.opType.__members__
    for candidate in (kind, f"zeceOP_{kind}", f"zeceOP_FUSION_OP_{kind}", f"zeceOP_FUSION_OP_{kind}_NORM_TENSOR"):
        if candidate in members:
            return members[candidate]
    raise ValueError(f"no op {kind!r}")


class FusedOp(Resource):
    """A preprocess op (usually a fused one) configured from keyword settings named as the
    op's attributes: `FusedOp("resize", inputWidth=1920, inputHeight=1080, outputWidth=224,
    outputHeight=224, normType="DIV255", tensorizationType="FP16")`. Integers and enumeration
    names are written as integers, floats as floats, lists as arrays. `kind` is "resize"
    (convert, then resize), "letterbox", or any op type name ("YUV_NV12_RESIZE_2RGB", ...)."""

    def __init__(self, kind="resize", **settings):
        self.kind = kind
        self.handle = call(zece.createOp, f"creating the op {kind}", _op_type(kind))
        self.settings = {}
        try:
            self.set(**settings)
        except BaseException:
            self.close()
            raise

    def set(self, **settings):
        """Writes attributes (only those whose value changed). A list attribute takes any
        sequence of numbers or a NumPy array."""
        element, array = zece.paramType.zecePARAM_ELEMENT, zece.paramType.zecePARAM_ARRAY
        for name, value in settings.items():
            values = _as_list(value)
            known = values if values is not None else value
            if name in self.settings and _same(self.settings[name], known):
                continue
            for index, item in enumerate(values if values is not None else [value]):
                item = _enum_value(name, item.item() if isinstance(item, np.generic) else item)
                kind = zece.dataType.zeceDT_FLOAT if isinstance(item, float) else zece.dataType.zeceDT_INT
                item = float(item) if isinstance(item, float) else int(item)
                if values is not None:
                    status = zece.setZeceOPAttrArray(self.handle, name, kind, array, item, index)
                else:
                    status = zece.setZeceOPAttr(self.handle, name, kind, element, item)
                if status == Status.UNKNOWN_ATTR:
                    raise CardError(f"unknown attribute {name!r} of the op {self.kind} (docs/preprocess.md lists "
                                    "each op's attributes)", status)
                if status:
                    raise CardError(f"setting {name}={value!r} on the op {self.kind}", status)
            self.settings[name] = known

    def execute(self, inputs, outputs):
        """Runs the op from the `inputs` Dataset (or handle) into `outputs`."""
        check(zece.executeOp(self.handle, getattr(inputs, "handle", inputs), getattr(outputs, "handle", outputs)),
              f"running the op {self.kind}")

    def _release(self):
        zece.destroyOp(self.handle)

    def _fields(self):
        return {"kind": self.kind, **self.settings}


IMAGENET_MEAN, IMAGENET_STD = [0.485, 0.456, 0.406], [0.229, 0.224, 0.225]


def check_image_input(tensor):
    """The shape of `tensor` (a TensorInfo) if it is a 3-channel planar image [1, 3, H, W]; else
    InputMismatch."""
    shape = list(tensor.shape)
    if len(shape) != 4 or shape[1] != 3 or shape[0] not in (1, -1) or min(shape[2:]) < 1:
        kind = tensor.dtype.name if tensor.dtype is not None else ""
        raise InputMismatch(f"model input '{tensor.name}' is {kind}{shape}: a 3-channel planar image "
                            "[1, 3, H, W] is needed")
    return shape


def tensor_settings(tensor, letterbox=False, bgr=False, mean=None, std=None, scale=None, padding=114):
    """(kind, settings) of a fused op that writes an NV12 picture into `tensor` (a TensorInfo):
    it must be a 3-channel planar image [1, 3, H, W] of float16 or uint8.

    float16: values x / 255, then (x - mean) / std per channel when `mean`/`std` are given
    (or x * scale with `scale`); uint8: the bytes as they are. Channels R, G, B (B, G, R with
    `bgr`). `letterbox` keeps the picture's shape, padding with `padding`."""
    shape = check_image_input(tensor)
    if tensor.dtype == np.float16:
        layout = "FP16"
        if scale is not None:
            norm = {"normType": "EQUAL", "scale": float(scale)}
        elif mean is not None or std is not None:
            norm = {"normType": "DIV255_MINUSMEAN_DIVSTD", "mean": [float(v) for v in (mean or [0, 0, 0])],
                    "std": [float(v) for v in (std or [1, 1, 1])]}
        else:
            norm = {"normType": "DIV255"}
    elif tensor.dtype == np.uint8:
        layout, norm = "UINT8", {"normType": "NORMALIZATION_NONE"}
    else:
        kind = tensor.dtype.name if tensor.dtype is not None else "of an unknown type"
        raise InputMismatch(f"model input '{tensor.name}' is {kind}{shape}: the preprocessor writes float16 or "
                            "uint8 tensors (float32 inputs are fed as float16)")
    settings = {"outputWidth": shape[3], "outputHeight": shape[2], "resizeType": "BILINEAR",
                "colorCvtCode": "YUV2BGR_NV12" if bgr else "YUV2RGB_NV12", "tensorizationType": layout, **norm}
    if letterbox:
        settings["paddingValues"] = [padding] * 3
    return ("letterbox" if letterbox else "resize"), settings


def picture_settings(frame):
    """The input attributes of a fused op for a decoded device Frame (display rectangle at the
    start of the planes; a decoder opened with crop=True gives such pictures for any stream),
    with the picture's own colour range and matrix."""
    if frame.offset != (0, 0):
        raise ValueError(f"the picture starts at {frame.offset} in its planes: decode with crop=True")
    return {"inputWidth": frame.width, "inputHeight": frame.height, "inputWidthPitch": frame.pitch,
            "inputHeightPitch": frame.rows, "colorRange": RANGES[frame.color_range],
            "colorSpace": MATRICES[frame.matrix]}


def letterbox_geometry(width, height, out_width, out_height):
    """((x scale, y scale), (x offset, y offset)) of a letterbox of a `width` x `height` picture
    into out_width x out_height, as the fused op lays it out: model-input coordinates =
    picture coordinates * scale + offset, per axis. The two scales differ slightly, since the
    letterboxed picture's sides are rounded to whole pixels."""
    ratio = min(out_width / width, out_height / height)
    new_width = min(max(1, round(width * ratio)), out_width)
    new_height = min(max(1, round(height * ratio)), out_height)
    return (new_width / width, new_height / height), ((out_width - new_width) // 2, (out_height - new_height) // 2)


def float16_input(path, target):
    """Writes to `target` a copy of the ONNX model at `path` whose float32 image input is declared
    float16 and cast back to float32 inside the graph, so that a fused op can feed it directly.
    Returns True when it wrote one, False when the first input is not float32."""
    import onnx
    from onnx import TensorProto, helper
    model = onnx.load(str(path))
    initializers = {tensor.name for tensor in model.graph.initializer}
    inputs = [value for value in model.graph.input if value.name not in initializers]
    if not inputs or inputs[0].type.tensor_type.elem_type != TensorProto.FLOAT:
        return False
    value = inputs[0]
    original = value.name
    renamed = original + "_float32"
    for node in model.graph.node:
        node.input[:] = [renamed if name == original else name for name in node.input]
    value.type.tensor_type.elem_type = TensorProto.FLOAT16
    model.graph.node.insert(0, helper.make_node("Cast", [original], [renamed], to=TensorProto.FLOAT))
    onnx.save(model, str(target))
    return True
