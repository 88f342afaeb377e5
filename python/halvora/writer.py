"""Playable video files: pictures encoded by the card's encoder and muxed by libavformat.

    with halvora.Writer("out.mp4", 30) as writer:
        for picture in pictures:       # RGB or BGR (height, width, 3) arrays, NV12 arrays, Frames
            writer.write(picture)

The container comes from the path's extension (.mp4, .mkv, .mov) or `container`. Timestamps are
the picture count in a time base of one picture (1/fps, kept as a fraction: 29.97 is
30000/1001). The encoder hands out access units in coding order; see Writer for their dts."""
import os
from typing import Any

from ._native import CardError, av
from .card import Resource
from .media import Encoder, Frame, _choice, _Nv12Layout, frame_rate


DEFAULT_PAR = 0xFFFFFFFF  # "the encoder's choice" in the encoder's videoConfig
# B-pictures between two references by default (docs/media.md): at most 3 (H.264) or 4 (HEVC).
DEFAULT_B_PICTURES = {"h264": 3, "hevc": 4}


def reorder_depth(codec, settings):
    """The most places a picture's access unit can come after its place in display order, for an
    encoder of `codec` with Encoder `settings`. Of the pictures shown after a B-picture, only the
    reference that ends its run and the other B-pictures of the run can be coded before it, so
    the bound is the number of B-pictures between references: P2B, or gopSize - 1, else the
    encoder's default (docs/media.md); none in H.264's baseline profile, which has none."""
    for name, less in (("P2B", 0), ("gopSize", 1)):
        value = settings.get(name)
        if value not in (None, 0, DEFAULT_PAR):
            return max(0, int(value) - less)
    profile = settings.get("profile")
    if codec == "h264" and str(getattr(profile, "name", profile)).lower() in ("baseline",
                                                                              "zeme_video_prfl_h264_baseline"):
        return 0
    return DEFAULT_B_PICTURES[codec]


def _picture_size(picture, format):
    """(width, height) of a picture Writer.write takes."""
    if isinstance(picture, Frame):
        return picture.width, picture.height
    shape = getattr(picture, "shape", None)
    if shape is None:
        raise TypeError(f"a picture is an array or a Frame, not {type(picture).__name__}")
    if len(shape) == 3 and format != "nv12":
        return shape[1], shape[0]
    if len(shape) == 2:
        return shape[1], _Nv12Layout.rows_of(shape[0])
    raise ValueError(f"a picture of shape {tuple(shape)}: NV12 (height * 3 / 2, width) or RGB/BGR "
                     "(height, width, 3)")


class Writer(Resource):
    """A video file written with the card's encoder: `path` (MP4, MKV or MOV by its extension, or
    `container`, a libavformat format name such as "mp4", "matroska", "mov"), `fps` pictures a
    second (an int, a float such as 29.97, a Fraction or a (numerator, denominator) pair), `codec`
    "h264" or "hevc". Other keywords are the Encoder's settings (quality, rate_control, bitrate,
    tune, profile, level, keyInt=..., channel=...).

    write(picture, format=None) takes what Encoder.encode takes: NV12 arrays, RGB or BGR arrays
    (`format` "rgb24"/"bgr24"; 3-D arrays are RGB by default) or decoded Frames, all of one size.
    The encoder opens on the first picture, with its size, and the file with it: a Writer closed
    before any picture writes no file. close() (the end of `with`) encodes the pictures the
    encoder still holds and finishes the file; when the block raised, what was written is
    still finished into a playable file.

    Timestamps: picture n has pts n in a time base of 1/fps. The encoder codes pictures out of
    display order (B-pictures), so each access unit's dts is its place in coding order less the
    reorder depth (reorder_depth(): the B-pictures allowed between references), which keeps
    dts increasing by one picture and never after the unit's pts; the container's edit list
    (MP4, MOV) or its pts (MKV) makes the video start at 0."""

    def __init__(self, path, fps, codec="h264", *, container=None, **settings):
        self.path = os.fspath(path)
        self.codec = _choice(codec, ("h264", "hevc"), "codec")
        self.fps = frame_rate(fps)
        self.container, self.settings = container, settings
        self.reorder = reorder_depth(codec, settings)
        self.encoder: Any = None  # both opened on the first picture
        self.sink: Any = None
        self.size = None
        self.frames = 0  # pictures taken
        self.units = 0  # access units written

    def _open(self, width, height):
        rate = (self.fps.numerator, self.fps.denominator)
        self.sink = av.Sink(self.path, self.codec, int(width), int(height), rate[::-1], self.container, rate)
        try:
            self.encoder = Encoder(width, height, self.codec, self.fps, **self.settings)
        except BaseException:
            self.sink.close()  # nothing written: it leaves no file
            self.sink = None
            raise
        self.size = (int(width), int(height))
        return self.encoder

    def write(self, picture, format=None):
        """Encodes one picture and writes the access units that are ready."""
        if self.closed:
            raise ValueError(f"{self.path}: the writer is closed")
        encoder = self.encoder if self.encoder is not None else self._open(*_picture_size(picture, format))
        units = encoder.encode_units(picture, self.frames, format)
        self.frames += 1
        self._put(units)

    def _put(self, units):
        for data, pts in units:
            dts = self.units - self.reorder
            if not dts <= pts < self.frames:
                raise CardError(f"{self.path}: the encoder gave access unit {self.units} pts {pts}, not a picture "
                                f"sent at most {self.reorder} places before it in coding order")
            self.sink.write(data, pts, dts)
            self.units += 1

    def _release(self):
        encoder, sink = self.encoder, self.sink
        try:
            if encoder is not None:
                self._put(encoder.encode_units(None))  # the pictures it still holds
        finally:
            try:
                if encoder is not None:
                    encoder.close()
            finally:
                if sink is not None:
                    sink.close()

    def __exit__(self, kind, error, trace):
        if error is None:
            self.close()
        else:
            try:
                self.close()
            except Exception:  # noqa: BLE001 - the block's own error is the one to report
                pass
        return False

    def _fields(self):
        size = f"{self.size[0]}x{self.size[1]}" if self.size else None
        return {"path": self.path, "codec": self.codec, "fps": str(self.fps), "size": size, "frames": self.frames}


__all__ = ["Writer", "reorder_depth"]
