"""JPEG pictures on the card's JPEG channels.

    rgb = halvora.decode_jpeg("photo.jpg")             # (H, W, 3) uint8, as cv2.imdecode gives (in RGB)
    frame = halvora.decode_jpeg(data, format=None)     # a Frame in device memory
    data = halvora.encode_jpeg(rgb)                    # the JPEG's bytes

decode_jpeg and encode_jpeg open a channel for the call; JpegDecoder and JpegEncoder keep
one for programs that code many pictures. JPEG pictures are full-range BT.601 YCbCr: their
Frames say so, and their conversion to RGB interpolates the chroma as libjpeg does."""
import contextlib
import os
import tempfile
import time

import numpy as np

from ._native import NO_RECORD, CardError, Status, check, zeme
from .card import DeviceMemory
from .media import (PICTURE_FORMATS, OwnedPicture, RgbToNv12, StreamError, _Channel, _check_uint8, _choice, Frame,
                    device_record, nv12_to_array)

QUALITY = 90  # the card's JPEG encoder codes at libjpeg's quality 90
SIZES = (32, 16384)  # widths and heights the card's JPEG encoder takes (ZEME_ENC_JPEG_MIN/MAX_*)
_WAIT = 20  # ms a call waits for a free picture or stream buffer before it tries again


@contextlib.contextmanager
def _jpeg_file(source):
    """(path, name) of a JPEG given as a path or as bytes: the card's JPEG calls read files, so
    bytes go into an anonymous in-memory file (a temporary file where there is none)."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        with open(path, "rb") as file:  # FileNotFoundError, IsADirectoryError, PermissionError as they are
            start = file.read(2)
        _check_start(start, path)
        yield path, path
        return
    data = memoryview(source).cast("B")
    _check_start(bytes(data[:2]), "JPEG data")
    try:
        descriptor = os.memfd_create("halvora-jpeg", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        with tempfile.NamedTemporaryFile(suffix=".jpg") as file:
            file.write(data)
            file.flush()
            yield file.name, "JPEG data"
        return
    try:
        with os.fdopen(descriptor, "wb", closefd=False) as file:
            file.write(data)
        yield f"/proc/self/fd/{descriptor}", "JPEG data"
    finally:
        os.close(descriptor)


def _check_start(start, name):
    if not start:
        raise StreamError(f"{name}: empty, not a JPEG")
    if start != b"\xff\xd8":
        raise StreamError(f"{name}: not a JPEG (it does not start with a start-of-image marker)")


def _jpeg_error(status, name):
    if status == Status.BITSTREAM:
        return StreamError(f"{name}: not a JPEG the card can read (its header or data cannot be decoded)")
    if status == Status.UNSUPPORTED:
        return StreamError(f"{name}: a JPEG the card does not decode (lossless, hierarchical, 12-bit, RGB- or "
                           "CMYK-coded, or larger than 32768 x 32768)")
    return None


class JpegDecoder(_Channel):
    """A started JPEG decoder channel: decode() turns JPEGs (paths or bytes) into arrays or Frames.
    Its pictures go back to the channel at once: Frames hold device copies of their own."""

    def __init__(self, channel=None):
        params = zeme.decChannelParamters()
        params.codecType = zeme.codecType.ZEME_CODEC_DEC_JPEG
        params.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
        self._start_channel(params, channel, "JPEG decoder")
        self.decoded = 0

    def _release(self):
        self._stop_channel()

    def _fields(self):
        return {"channel": self.channel, "decoded": self.decoded}

    def decode(self, source, format="rgb24"):
        """The JPEG at `source` (a path, or bytes) as a new array in `format` ("rgb24", "bgr24",
        "gray", "nv12", as Frame.to_ndarray), or with format=None as a Frame in device memory
        (full range, BT.601). StreamError for data that is not a JPEG the card decodes."""
        if format is not None:
            _choice(format, PICTURE_FORMATS, "format")
        with _jpeg_file(source) as (path, name):
            info = zeme.decJpegInfo()
            status = zeme.getJpegInfo(path, info)
            if status:
                raise _jpeg_error(status, name) or CardError(f"{name}: reading the JPEG's header", status)
            record = zeme.frame()
            while (status := zeme.jpegSyncDecoder(self.channel, path, record, 0)) == Status.TIMEOUT:
                time.sleep(_WAIT / 1000)  # every picture of the pool is being copied out by other threads
            if status:
                raise _jpeg_error(status, name) or CardError(f"{name}: decoding on JPEG channel {self.channel}",
                                                             status)
        try:
            return self._picture(record, (info.width, info.height), format)
        finally:
            zeme.decReleaseFrame(self.channel, record, 0)

    def _picture(self, record, size, format):
        width, height = size
        planes = np.asarray(record)  # the channel's host picture: sizes rounded up to even
        index, self.decoded = self.decoded, self.decoded + 1
        if format is None:
            return OwnedPicture.frame(planes, record.width, record.height, index, record.pts, size=size)
        if format == "nv12":
            return planes.copy()
        if format == "gray":
            return planes[:height, :width].copy()  # a copy: the picture goes back to the channel
        with DeviceMemory(planes.size) as block:
            block.upload(planes)
            picture = nv12_to_array(block.address, record.width, record.height, record.width, record.height,
                                    format, "full", "bt601")
        return picture if picture.shape[:2] == (height, width) else np.ascontiguousarray(picture[:height, :width])


def _set_size(data, width, height):
    """The JPEG `data` with the size in its frame header set to `width` x `height` (at most one
    less than the coded size each way: the coded blocks, which cover an even size, stay valid)."""
    data = bytearray(data)
    position = 2
    while position + 4 <= len(data) and data[position] == 0xFF:
        marker = data[position + 1]
        length = data[position + 2] << 8 | data[position + 3]
        if 0xC0 <= marker <= 0xC2:
            data[position + 5:position + 9] = bytes([height >> 8, height & 255, width >> 8, width & 255])
            return bytes(data)
        position += 2 + length
    raise CardError("the card's JPEG has no frame header")  # never: the card writes baseline JFIF


class JpegEncoder(_Channel):
    """A started JPEG encoder channel: encode() turns RGB/BGR arrays and Frames into JPEG bytes
    (baseline JFIF, 4:2:0, full-range BT.601, quality 90)."""

    side = "encoder"

    def __init__(self, channel=None):
        params = zeme.encChannelParamters()
        params.codecType = zeme.codecType.ZEME_CODEC_ENC_JPEG
        self._start_channel(params, channel, "JPEG encoder")
        self._rgb = None
        self.encoded = 0

    def _release(self):
        if self._rgb is not None:
            self._rgb.close()
        self._stop_channel()

    def _fields(self):
        return {"channel": self.channel, "encoded": self.encoded}

    def encode(self, picture, quality=QUALITY, format="rgb24"):
        """The JPEG of `picture`: a uint8 array of (H, W, 3) in `format` "rgb24" or "bgr24"
        (converted to full-range NV12 on the card's preprocess engine; other element types raise
        TypeError), or a Frame (a full-range BT.601 one as its planes are, others through RGB, so
        that video pictures keep their colours). Sizes from 32 to 16384 each way; odd ones are
        written with their own size. The card codes at quality 90 only."""
        if quality != QUALITY:
            raise ValueError(f"quality {quality!r}: the card's JPEG encoder codes at quality {QUALITY} only")
        if isinstance(picture, Frame) and (picture.color_range, picture.matrix) == ("full", "bt601"):
            picture._check_live()
            size = (picture.width, picture.height)
            _check_size(*size)
            record = picture.record
        else:
            if isinstance(picture, Frame):
                array, bgr = picture.to_ndarray("rgb24"), False
            else:
                array = _check_uint8(picture, "a picture")
                bgr = _choice(format, ("rgb24", "bgr24"), "format") == "bgr24"
                if array.ndim != 3 or array.shape[2] != 3:
                    raise ValueError(f"an {format} picture is an (H, W, 3) array, not {array.shape}")
            height, width = array.shape[:2]
            size = (width, height)
            _check_size(width, height)
            if width % 2 or height % 2:  # the card codes even sizes: the edge is repeated
                array = np.pad(array, ((0, height % 2), (0, width % 2), (0, 0)), mode="edge")
            planes = (array.shape[1], array.shape[0])
            if self._rgb is None or (self._rgb.width, self._rgb.height) != planes:
                if self._rgb is not None:
                    self._rgb.close()
                    self._rgb = None
                self._rgb = RgbToNv12(*planes, color_range="full")
            where = self._rgb.convert(array, bgr)
            record = device_record(where, *planes, *planes)
        data = self._encode(record)
        coded = (record.cropInfo.width, record.cropInfo.height) if record.cropInfo.flag else (record.width,
                                                                                              record.height)
        return data if coded == size else _set_size(data, *size)

    def _encode(self, record):
        stream = zeme.stream()
        while (status := zeme.jpegSyncEncoder(self.channel, record, stream, NO_RECORD, 0)) == Status.TIMEOUT:
            time.sleep(_WAIT / 1000)  # every output buffer is held by other threads' calls
        check(status, f"encoding a JPEG on channel {self.channel}")
        try:
            data = stream.stream.tobytes()
        finally:
            check(zeme.encReleaseStream(self.channel, stream, 0), "releasing the encoded JPEG")
        self.encoded += 1
        return data


def _check_size(width, height):
    low, high = SIZES
    if not (low <= width <= high and low <= height <= high):
        raise ValueError(f"a {width} x {height} picture: the card's JPEG encoder takes {low} to {high} pixels "
                         "each way")


def decode_jpeg(source, format="rgb24"):
    """The JPEG at `source` (a path, or bytes) decoded on a JPEG channel of the card: a new array
    in `format` ("rgb24" (H, W, 3), "bgr24", "gray" (H, W), "nv12"), or with format=None a Frame
    in device memory, full-range BT.601, to release (or drop) when done."""
    with JpegDecoder() as decoder:
        return decoder.decode(source, format)


def encode_jpeg(picture, quality=QUALITY, format="rgb24"):
    """The JPEG bytes of `picture` (an (H, W, 3) uint8 RGB array, BGR with format="bgr24", or a
    Frame) coded on a JPEG channel of the card (baseline, 4:2:0, quality 90)."""
    with JpegEncoder() as encoder:
        return encoder.encode(picture, quality, format)


__all__ = ["JpegDecoder", "JpegEncoder", "decode_jpeg", "encode_jpeg"]
