"""Helpers of the preprocess tests: picture layouts, descriptors, device copies and oracles."""
from dataclasses import dataclass

import numpy as np

import _halvora_pybind11 as hal
from card import Device

zece = hal.zece

INVALID_PARAM = 200001
INVALID_HANDLE = 200002
UNSUPPORTED_TYPE = 200003
UNKNOWN_ATTR = 200004
INVALID_IMAGE = 200005
INVALID_ADDRESS = 200006
OP_NOT_READY = 200011
ATTR_NOT_SET = 200012

INTERLEAVED = ("zeceIMG_RGB888", "zeceIMG_BGR888")
FORMATS = ("zeceIMG_YUV_NV12", "zeceIMG_YUV_I420", "zeceIMG_RGB_PLANAR", "zeceIMG_RGB888", "zeceIMG_BGR888",
           "zeceIMG_GRAY")


def desc(fmt, width, height, width_pitch=None, height_pitch=None):
    """An imageDesc; the pitches default to the tight ones."""
    record = zece.imageDesc()
    record.width, record.height = width, height
    record.widthPitch = width_pitch if width_pitch is not None else width * (3 if fmt in INTERLEAVED else 1)
    record.heightPitch = height_pitch if height_pitch is not None else height
    record.format = getattr(zece.imageType, fmt)
    return record


@dataclass
class PlaneLayout:
    offset: int
    rows: int
    cols: int       # pixels
    channels: int
    pitch: int      # bytes


def layout(record):
    """Where each plane of a descriptor lies in its buffer, and the buffer's size."""
    fmt = record.format.name
    w, h, wp, hp = record.width, record.height, record.widthPitch, record.heightPitch
    plane = wp * hp
    if fmt == "zeceIMG_YUV_NV12":
        return [PlaneLayout(0, h, w, 1, wp), PlaneLayout(plane, h // 2, w // 2, 2, wp)], plane * 3 // 2
    if fmt == "zeceIMG_YUV_I420":
        quarter = plane // 4
        return ([PlaneLayout(0, h, w, 1, wp), PlaneLayout(plane, h // 2, w // 2, 1, wp // 2),
                 PlaneLayout(plane + quarter, h // 2, w // 2, 1, wp // 2)], plane + 2 * quarter)
    if fmt == "zeceIMG_RGB_PLANAR":
        return [PlaneLayout(i * plane, h, w, 1, wp) for i in range(3)], plane * 3
    channels = 3 if fmt in INTERLEAVED else 1
    return [PlaneLayout(0, h, w, channels, wp)], plane


def shaped(plane, array):
    return array.reshape(plane.rows, plane.cols, plane.channels) if plane.channels > 1 else array


def pack(record, planes, fill=0):
    """The bytes of a buffer holding `planes` (as `unpack` returns them) in the descriptor's layout."""
    places, size = layout(record)
    data = np.full(size, fill, dtype=np.uint8)
    for place, array in zip(places, planes):
        rows = np.lib.stride_tricks.as_strided(data[place.offset:], (place.rows, place.cols * place.channels),
                                               (place.pitch, 1))
        rows[...] = np.asarray(array, dtype=np.uint8).reshape(place.rows, -1)
    return data


def unpack(record, data):
    """The planes of a buffer: NV12 Y (h, w) and UV (h/2, w/2, 2); I420 Y, U, V; RGB_PLANAR three (h, w)
    planes; RGB888/BGR888 one (h, w, 3); GRAY one (h, w)."""
    places, _ = layout(record)
    planes = []
    for place in places:
        rows = np.lib.stride_tricks.as_strided(data[place.offset:], (place.rows, place.cols * place.channels),
                                               (place.pitch, 1))
        planes.append(shaped(place, rows.copy()))
    return planes


def random_planes(record, rng):
    """Random planes for a descriptor."""
    places, _ = layout(record)
    return [shaped(p, rng.integers(0, 256, (p.rows, p.cols * p.channels), dtype=np.uint8)) for p in places]


def nv12(planes):
    """NV12 planes as the one (h * 3/2, w) array OpenCV takes."""
    y, uv = planes
    return np.vstack([y, uv.reshape(uv.shape[0], -1)])


class Pictures:
    """Pictures in device memory."""

    def __init__(self, zecm):
        self.zecm = zecm
        self.device = Device(zecm)

    def upload(self, record, planes, fill=0):
        """A new device block holding `planes` in the descriptor's layout (padding bytes `fill`)."""
        return self.device.upload(pack(record, planes, fill))

    def blank(self, record, fill=0):
        """A new device block for the descriptor, every byte `fill`."""
        return self.device.upload(np.full(layout(record)[1], fill, dtype=np.uint8))

    def random(self, record, rng, fill=0):
        """(planes, block): random planes uploaded in the descriptor's layout."""
        planes = random_planes(record, rng)
        return planes, self.upload(record, planes, fill)

    def bytes(self, record, block):
        return self.device.download(block, layout(record)[1])

    def planes(self, record, block):
        return unpack(record, self.bytes(record, block))


def configure(op, **attributes):
    """Sets attributes: ints as zeceDT_INT, floats as zeceDT_FLOAT, lists as arrays of those."""
    element, array = zece.paramType.zecePARAM_ELEMENT, zece.paramType.zecePARAM_ARRAY
    for name, value in attributes.items():
        values = value if isinstance(value, (list, tuple)) else [value]
        for index, item in enumerate(values):
            kind = zece.dataType.zeceDT_FLOAT if isinstance(item, float) else zece.dataType.zeceDT_INT
            item = item if isinstance(item, float) else int(item)
            if isinstance(value, (list, tuple)):
                status = zece.setZeceOPAttrArray(op, name, kind, array, item, index)
            else:
                status = zece.setZeceOPAttr(op, name, kind, element, item)
            assert status == 0, (name, status)


def image_attributes(prefix, record):
    """The attributes that describe a picture, as `configure` takes them."""
    return {prefix + "Width": record.width, prefix + "Height": record.height,
            prefix + "WidthPitch": record.widthPitch, prefix + "HeightPitch": record.heightPitch,
            prefix + "Format": record.format.value}


def dataset(zecm, blocks, sizes, tensors=False):
    """A dataset of data buffers (or uint8 tensors) over device blocks of the given sizes."""
    from card import device_info
    info = device_info(zecm)
    if tensors:
        result = zecm.createDataset(zecm.datasetMode.zecmDM_TENSOR)
        for block, size in zip(blocks, sizes):
            shape = zecm.shape()
            shape.ndims, shape.shapes = 1, [size]
            tensor = zecm.createTensorWithDataHandle(info, shape, zecm.dType.zecmDT_UINT8, block, False)
            assert zecm.addDatasetTensor(result, tensor) == 0
        return result
    result = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
    for block, size in zip(blocks, sizes):
        assert zecm.addDatasetBuffer(result, zecm.createDataBuffer(info, block, size)) == 0
    return result
