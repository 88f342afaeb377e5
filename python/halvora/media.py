"""The media engine: decoder channels that turn H.264 or HEVC video (any file or URL that
libavformat reads, through halvora.Source, or byte chunks of an elementary stream) into
timestamped pictures (in device or host memory), and encoder channels that turn pictures
(NV12, RGB or BGR arrays, or decoded Frames) into a stream. Channels are context managers: leaving the
block stops and destroys the channel, which also takes back every picture still handed out.

A Frame is a picture on the card. `frame.to_ndarray("rgb24")` (or "bgr24", "gray", "nv12")
converts it on the card's preprocess engine into an array the caller owns. A frame goes back
to its decoder when it is released (`frame.release()`, the end of `with frame:`) or when it is
garbage-collected: a loop that keeps no reference to its frames never exhausts the pool."""
import fractions
import gc
import os
import threading
import time
from typing import Any, NamedTuple

import numpy as np

from ._native import FOREVER, NO_RECORD, CardError, Status, address, check, described, handle, zeme
from .card import RUNTIME, Counted, Dataset, DeviceMemory, Resource, _selected_device, download, on_device, use_card
from .preprocess import MATRICES, RANGES, FusedOp

MORE_DATA, EOS, CHANNEL_EXISTS, BITSTREAM, UNSUPPORTED, TIMEOUT = (
    Status.MORE_DATA, Status.EOS, Status.CHANNEL_EXISTS, Status.BITSTREAM, Status.UNSUPPORTED, Status.TIMEOUT)
CHANNELS = 32
POOL = 8  # pictures a decoder channel holds besides its extra buffers


class StreamError(CardError):
    """The stream could not be decoded: it is not what it claims, or corrupt at `where`."""

    def __init__(self, text):
        super().__init__(text)


def _start_engine():
    try:
        zeme.getDecoderAvailableChannels()  # refused before systemInitialize
        return False
    except RuntimeError:
        check(zeme.systemInitialize(), "starting the media engine")
        return True


ENGINE = Counted(_start_engine, zeme.systemUninitialize)


class Media(Resource):
    """The media engine, started on enter unless it already runs. It is shared like the card's
    runtime: Decoder and Encoder start it themselves, and the package stops it when the last
    of its users ends, if the package started it (a stop destroys every channel still open)."""

    def __init__(self):
        self.owned = ENGINE.acquire()

    def _release(self):
        ENGINE.release()

    def _fields(self):
        return {"owned": self.owned, "users": ENGINE.users}


_SIDES: dict = {  # create, start, stop, destroy
    "decoder": (zeme.createDecoderChannel, zeme.startDecoder, zeme.stopDecoder, zeme.destroyDecoderChannel),
    "encoder": (zeme.createEncoderChannel, zeme.startEncoder, zeme.stopEncoder, zeme.destroyEncoderChannel),
}


class _Channel(Resource):
    """A started decoder or encoder channel (`side`), with the uses of the card's runtime and
    media engine it needs, which it starts when they are not running, until it is closed."""

    side = "decoder"

    def _start_channel(self, params, channel, kind):
        """Creates channel `channel` (the first free number when None) of `params` and starts it;
        `kind` names it in errors ("decoder", "JPEG encoder", ...)."""
        use_card()
        try:
            ENGINE.acquire()
        except BaseException:
            RUNTIME.release()
            raise
        create, start, _, destroy = _SIDES[self.side]
        try:
            self.channel = _open_channel(lambda number: create(params, number), start, destroy, channel, kind)
        except BaseException:
            self._end_media()
            raise

    def _stop_channel(self):
        _, _, stop, destroy = _SIDES[self.side]
        stop(self.channel)
        destroy(self.channel)
        self._end_media()

    def _end_media(self):
        ENGINE.release()
        RUNTIME.release()


DecoderStatus = described(zeme.decStatus)


class VideoInfo:
    """What the first picture of a stream says: coded and display size, frame rate, format; and,
    for a source that libavformat opened, what it says: `codec`, `time_base` and `frame_rate`
    (Fractions; frame_rate None when unknown), `duration` (seconds or None), `live`, `format`
    (the demuxer's name) and `source` (its name)."""

    def __init__(self, record, source=None, codec=None):
        self.coded = (record.width, record.height)
        if record.cropFlag:
            self.size = (record.cropWidth, record.cropHeight)
            self.offset = (record.xOffset, record.yOffset)
        else:
            self.size, self.offset = self.coded, (0, 0)
        self.fps = record.fps.numerator / record.fps.denominator if record.fps.denominator else 0.0
        self.pixel_format = record.pixelFormat.name.replace("ZEME_PIX_FMT_", "")
        self.codec = codec
        self.source = self.format = self.time_base = self.frame_rate = self.duration = None
        self.live = False
        if source is not None:
            self.codec, self.source, self.format = source.codec, source.name, source.format
            self.time_base, self.frame_rate = source.time_base, source.frame_rate
            self.duration, self.live = source.duration, source.live
            if not self.fps and source.frame_rate:
                self.fps = float(source.frame_rate)

    def __repr__(self):
        codec = f"{self.codec}, " if self.codec else ""
        timing = f", time_base={self.time_base}" if self.time_base is not None else ""
        return (f"VideoInfo({codec}size={self.size}, coded={self.coded}, fps={self.fps:g}, "
                f"format={self.pixel_format}{timing}{', live' if self.live else ''})")


_CODECS = {"h264": ("ZEME_CODEC_DEC_H264", "H.264"), "hevc": ("ZEME_CODEC_DEC_HEVC", "HEVC")}


def unit_info(data, codec, name, source=None, what=None):
    """The VideoInfo of the first picture in `data` (Annex B bytes holding at least one whole
    access unit of `codec`), read by the card's stream information call; StreamError naming
    `name` when no picture decodes from it or its pictures are not ones the card decodes.
    Needs a started media engine."""
    label = _CODECS[codec][1]
    stream = zeme.stream()
    stream.stream = np.frombuffer(data, np.uint8)
    record = zeme.decVideoInfo()
    status = zeme.getVideoInfo(stream, getattr(zeme.codecType, _CODECS[codec][0]), record)
    if status == BITSTREAM:
        raise StreamError(f"{name}: not an {label} stream (no picture decodes from "
                          f"{what or f'its first {len(data)} bytes'})")
    check(status, f"reading the stream information of {name}")
    info = VideoInfo(record, source, codec)
    if info.pixel_format not in ("YUV420P", "GRAY8", "NV12"):
        raise StreamError(f"{name}: pictures are {info.pixel_format}; the card decodes 8-bit 4:2:0 only")
    return info


def _named_codec(path):
    """The codec a raw stream's file name says, if any."""
    suffix = os.path.splitext(str(path))[1].lower()
    return {".h264": "h264", ".264": "h264", ".avc": "h264", ".hevc": "hevc", ".h265": "hevc",
            ".265": "hevc"}.get(suffix)


def probe(source, codec=None, head=8 << 20, options=None, timeout=10.0):
    """Checks that `source` (a path or URL of anything libavformat reads, or an open Source)
    holds H.264 or HEVC video whose pictures the card decodes (8-bit 4:2:0 or grey); returns
    its VideoInfo, from its first key frame. `codec` ("h264" or "hevc"), when given, must be the
    source's. Needs a started media engine.

    Raises FileNotFoundError for a missing file, StreamError naming the source and what is
    wrong for one that is no such video (the codec it has, if another), OSError naming it and
    libavformat's reason for a URL that cannot be opened (TimeoutError within `timeout` s).
    Raw elementary streams are checked as before: their first `head` bytes."""
    from .sources import Source, is_url
    if codec is not None:
        _choice(codec, _CODECS, "codec")
    if isinstance(source, Source):
        return _matching(source.probe(), codec, source.name)
    path = os.fspath(source)
    local = not is_url(path)
    data = b""
    if local:
        with open(path, "rb") as file:  # FileNotFoundError, IsADirectoryError, PermissionError as they are
            data = file.read(head)
        if not data:
            raise StreamError(f"{path}: empty file, not an H.264 or HEVC video")
    try:
        opened = Source(path, options, timeout, reconnect=None)
    except OSError as error:
        if not local:
            raise
        return _elementary(path, data, codec or _named_codec(path) or "h264", error)
    with opened:
        if local and opened.elementary:
            return _elementary(path, data, _matching(opened, codec, path).codec, None, opened)
        return _matching(opened.probe(), codec, path)


def _matching(info, codec, name):
    if codec is not None and info.codec != codec:
        raise StreamError(f"{name}: the video is {_CODECS[info.codec][1]}, not {_CODECS[codec][1]}")
    return info


def _elementary(path, data, codec, failure, source=None):
    """The VideoInfo of a raw elementary stream file from its first bytes `data`; `failure` is
    libavformat's refusal of the file, if it refused it; `source` the file opened."""
    name = _CODECS[codec][1]
    if b"\x00\x00\x01" not in data[:4096]:
        reason = ""
        if failure is not None:
            text = str(failure)
            reason = f" nor a container libavformat reads ({text.removeprefix(f'{path}: ')})"
        raise StreamError(f"{path}: not an {name} elementary stream (no start code in its first bytes){reason}")
    return unit_info(data, codec, path, source)


# ---- pictures on the card's preprocess engine ---------------------------------------------

# Array formats, as PyAV names them, and the conversion from NV12 that makes each.
PICTURE_FORMATS = {"nv12": None, "rgb24": "YUV2RGB_NV12", "bgr24": "YUV2BGR_NV12", "gray": "YUV2GRAY_NV12"}


class _Nv12Layout(NamedTuple):
    """Where the planes of an NV12 picture lie, the one layout of every picture the package
    moves: `rows` rows of luma `pitch` bytes apart, then the interleaved chroma at the same pitch
    in half as many rows. A host array of the picture is `shape`: the planes' rows stacked."""
    pitch: int
    rows: int

    @property
    def chroma(self):
        """The chroma plane's offset from the luma's."""
        return self.pitch * self.rows

    @property
    def size(self):
        """Bytes of both planes."""
        return self.pitch * self.rows * 3 // 2

    @property
    def shape(self):
        return (self.rows * 3 // 2, self.pitch)

    @staticmethod
    def rows_above(chroma, pitch):
        """The luma rows of a picture whose chroma plane starts `chroma` bytes after its luma."""
        return chroma // pitch

    @staticmethod
    def rows_of(array_rows):
        """The luma rows of a picture whose array has `array_rows` rows (shape[0])."""
        return array_rows * 2 // 3


def _choice(value, choices, what):
    if value not in choices:
        raise ValueError(f"{what} {value!r}: one of {', '.join(map(repr, choices))}")
    return value


def nv12_to_array(where, width, height, pitch, rows, format, color_range="limited", matrix="bt601", device=None):
    """The NV12 picture of `width` x `height` at device address `where` (row pitch `pitch`,
    `rows` rows a plane) converted to `format` ("rgb24", "bgr24" or "gray") by a CVT_COLOR op
    of the card: a new (height, width, 3) or (height, width) array. Full-range pictures have
    their chroma interpolated (as libjpeg does), limited-range ones take each chroma sample
    for its 2 x 2 block (as OpenCV's NV12 conversions do). `device`: the AI device whose memory
    holds the picture (None: the one the process has selected)."""
    code = PICTURE_FORMATS[format]
    channels = 1 if format == "gray" else 3
    full = RANGES[color_range]
    with on_device(device):
        on = device if device is not None else _selected_device() or 0
        out = DeviceMemory(width * height * channels, device=on)
    with out, Dataset([(where, _Nv12Layout(pitch, rows).size)], on) as inputs, Dataset([out], on) as outputs, \
            FusedOp("CVT_COLOR", inputWidth=width, inputHeight=height, inputWidthPitch=pitch,
                    inputHeightPitch=rows, colorCvtCode=code, colorSpace=MATRICES[matrix], colorRange=full,
                    chromaUpsampling=full) as op:
        op.execute(inputs, outputs)
        return out.download(shape=(height, width, channels) if channels == 3 else (height, width))


class RgbToNv12(Resource):
    """RGB or BGR pictures of `width` x `height` (even) turned into an NV12 device picture by a
    CVT_COLOR op of the card, in blocks kept for the next picture: `convert(array, bgr)` returns
    the NV12 picture's device address (valid until the next call or close). The blocks are in
    the memory of AI device `device` (None: the one the process has selected)."""

    def __init__(self, width, height, color_range="limited", matrix="bt601", device=None):
        self.width, self.height = width, height
        self._held = []
        try:
            with on_device(device):
                on = device if device is not None else _selected_device() or 0
                self.rgb = self._hold(DeviceMemory(width * height * 3, device=on))
                self.nv12 = self._hold(DeviceMemory(_Nv12Layout(width, height).size, device=on))
            self.inputs = self._hold(Dataset([self.rgb], on))
            self.outputs = self._hold(Dataset([self.nv12], on))
            self.op = self._hold(FusedOp("CVT_COLOR", inputWidth=width, inputHeight=height,
                                         colorSpace=MATRICES[matrix], colorRange=RANGES[color_range]))
        except BaseException:
            self.close()
            raise
        self.address = self.nv12.address

    def _hold(self, resource):
        self._held.append(resource)
        return resource

    def convert(self, array, bgr=False):
        self.rgb.upload(array)
        self.op.set(inputFormat="BGR888" if bgr else "RGB888", colorCvtCode="BGR2YUV_NV12_PLANAR" if bgr
                    else "RGB2YUV_NV12_PLANAR")
        self.op.execute(self.inputs, self.outputs)
        return self.address

    def _release(self):
        for resource in reversed(self._held):
            resource.close()

    def _fields(self):
        return {"size": f"{self.width}x{self.height}"}


def device_record(where, width, height, pitch, rows, pts=0, crop=None):
    """A zeme frame record of an NV12 picture in device memory at `where`; `crop` (x, y, w, h)
    marks its display rectangle."""
    record = zeme.frame()
    record.pixelFormat, record.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_DEVICE
    record.width, record.height = width, height
    layout = _Nv12Layout(pitch, rows)
    record.busAddress, record.stride = [where, where + layout.chroma], [pitch, pitch]
    record.dataSize, record.pts = layout.size, pts
    if crop is not None:
        info = record.cropInfo
        info.flag, (info.xOffset, info.yOffset, info.width, info.height) = 1, crop
        record.cropInfo = info
    return record


def _check_uint8(array, what):
    """`array` as a NumPy array of bytes; TypeError for any other element type (a float picture
    in 0..1 is not silently turned into bytes)."""
    array = np.asarray(array)
    if array.dtype != np.uint8:
        raise TypeError(f"{what} must be a uint8 array, not {array.dtype}: convert it first "
                        "(a float picture in 0..1: (picture * 255).round().astype(np.uint8))")
    return np.ascontiguousarray(array)


class Frame:
    """A decoded picture on the card, its owner's until released.

    Device pictures: NV12 luma at `address` with row pitch `pitch`, `rows` rows allocated,
    chroma right after; `width` x `height` is the picture to use (the display rectangle, at
    `offset` in the planes, whose size is `planes`). Host pictures (`memory` "host") are read by
    nv12() and to_ndarray(). `color_range` ("limited" for video, "full" for JPEG) and `matrix`
    ("bt601", "bt709") say how its YUV codes colours; to_ndarray() converts with them.

    Decoded from a Source, a frame has its presentation time: `pts` in `time_base` units (a
    Fraction of a second), `time` in seconds, and `key_frame`, the demuxer's key flag of its
    packet. Frames of raw elementary streams, whose packets have no timestamps, are timed by
    their rank at the stream's frame rate (time_base 1 / frame rate, pts 0, 1, 2...). Frames of
    byte chunks have the card's `pts` and no time_base, time or key_frame (None).

    The picture goes back to its owner on release(), at the end of `with frame:`, or when the
    frame is garbage-collected (from any thread; after its decoder closed it does nothing)."""

    format = "nv12"
    time_base: "fractions.Fraction | None" = None
    key_frame: "bool | None" = None
    discard = False  # decoded for the pictures after it, not shown (an edit list's lead-in)

    def __init__(self, owner, record, index, color_range="limited", matrix="bt601", size=None):
        self._owner, self.record, self.index = owner, record, index
        self.released = False
        self.color_range = _choice(color_range, RANGES, "colour range")
        self.matrix = _choice(matrix, MATRICES, "matrix")
        crop = record.cropInfo
        self.device = record.memoryType == zeme.memoryType.ZEME_MEM_DEVICE
        self.planes = (record.width, record.height)
        if crop.flag:
            self.width, self.height, self.offset = crop.width, crop.height, (crop.xOffset, crop.yOffset)
        else:
            self.width, self.height, self.offset = record.width, record.height, (0, 0)
        if size is not None:  # a picture smaller than its planes (JPEGs of odd sizes)
            self.width, self.height = size
        self.pitch = record.stride[0]
        if self.device:
            self.address = record.busAddress[0]
            chroma = record.busAddress[1]
            self.rows = _Nv12Layout.rows_above(chroma - self.address, self.pitch) if chroma > self.address \
                else record.height
        else:
            self.address, self.rows = 0, record.height
        self.size = _Nv12Layout(self.pitch, self.rows).size
        self.pts = record.pts

    @property
    def memory(self):
        return "device" if self.device else "host"

    @property
    def time(self):
        """The presentation time in seconds (pts * time_base), or None."""
        return None if self.time_base is None or self.pts is None else float(self.pts * self.time_base)

    def __repr__(self):
        state = "released" if self.released else "taken back" if getattr(self._owner, "closed", False) else "held"
        where = f"address={self.address:#x} pitch={self.pitch} rows={self.rows}" if self.device else ""
        offset = f" offset={self.offset}" if self.offset != (0, 0) else ""
        timing = f" time={self.time:.6f}" if self.time is not None else ""
        timing += " key" if self.key_frame else ""
        return (f"<Frame {self.width}x{self.height} nv12 {self.memory} index={self.index} "
                f"pts={self.pts}{timing}{offset} "
                f"{where + ' ' if where else ''}{self.color_range} {self.matrix} {state}>")

    def _check_live(self):
        if self.released:
            raise ValueError("the frame was released")
        if getattr(self._owner, "closed", False):
            raise ValueError("the frame's decoder was closed: its channel took the picture back")

    def nv12(self):
        """The picture's NV12 bytes as a (height * 3 / 2, width) array (a copy); odd sizes are
        rounded up to even (the planes' own extra column or row)."""
        self._check_live()
        width, height = self.width + self.width % 2, self.height + self.height % 2
        if self.device:
            data = download(self.address, self.size).reshape(_Nv12Layout(self.pitch, self.rows).shape)
            x, y = self.offset
            luma = data[y:y + height, x:x + width]
            chroma = data[self.rows + y // 2:self.rows + (y + height) // 2, x:x + width]
            return np.vstack([luma, chroma])
        return np.asarray(self.record).copy()

    def to_ndarray(self, format=None):
        """The picture as a new array, as PyAV's `frame.to_ndarray(format=...)`: "nv12" (the
        default; (height * 3 / 2, width) bytes), "rgb24" or "bgr24" ((height, width, 3)) or "gray"
        ((height, width): the luma plane). The colours are converted by the card's preprocess
        engine with the frame's range and matrix (host pictures are uploaded first): full-range
        pictures (JPEG) as libjpeg converts them, interpolating the chroma; limited-range ones
        (video) as OpenCV's NV12 conversions do, each chroma sample for its 2 x 2 block."""
        format = _choice("nv12" if format is None else format, PICTURE_FORMATS, "format")
        self._check_live()
        if format == "nv12":
            return self.nv12()
        width, height = self.planes
        if self.device:
            picture = nv12_to_array(self.address, width, height, self.pitch, self.rows, format, self.color_range,
                                    self.matrix, getattr(self._owner, "device", None))
        else:
            data = np.asarray(self.record)
            with DeviceMemory(data.size) as block:
                block.upload(data)
                picture = nv12_to_array(block.address, width, height, width, height, format, self.color_range,
                                        self.matrix)
        x, y = self.offset
        if (x, y, self.width, self.height) != (0, 0, width, height):
            picture = np.ascontiguousarray(picture[y:y + self.height, x:x + self.width])
        return picture

    def release(self):
        """Gives the picture back (once; later calls do nothing). A failure raises CardError and
        leaves the frame held: call release() again."""
        self._owner._release_frame(self)

    def __del__(self):
        if not getattr(self, "released", True):
            try:
                self._owner._release_frame(self, quiet=True)
            except Exception:  # noqa: BLE001 - a finalizer has no one to tell
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()
        return False


class OwnedPicture:
    """The owner of a Frame whose picture the package copied into a device block of its own
    (JPEG pictures): the block, and a use of the card's runtime that keeps it, both given back
    when the frame is released."""

    def __init__(self, nv12):
        self._lock = threading.Lock()
        use_card()
        try:
            self.block = DeviceMemory(nv12.size)
            self.block.upload(nv12)
        except BaseException:
            RUNTIME.release()
            raise

    @classmethod
    def frame(cls, nv12, width, height, index=0, pts=0, color_range="full", matrix="bt601", size=None):
        """A Frame over a device copy of the host NV12 array `nv12` (planes of `width` x `height`;
        `size` the picture's own when it is smaller)."""
        owner = cls(nv12)
        record = device_record(owner.block.address, width, height, width, height, pts)
        return Frame(owner, record, index, color_range, matrix, size)

    def _release_frame(self, frame, quiet=False):
        with self._lock:
            if frame.released:
                return
            frame.released = True
        self.block.close()
        RUNTIME.release()


def _free_channel(create, what):
    """Creates a channel on the first free number."""
    for number in range(CHANNELS):
        status = create(number)
        if status == 0:
            return number
        if status != CHANNEL_EXISTS:
            check(status, what)
    raise CardError(f"{what}: all {CHANNELS} channels are in use")


def _open_channel(create, start, destroy, channel, kind):
    """Creates channel `channel` (the first free number when None) and starts it; a channel
    that does not start is destroyed. `kind` is "decoder" or "encoder". Its number."""
    what = f"opening {'an' if kind[0] in 'aeiou' else 'a'} {kind} channel"
    if channel is None:
        channel = _free_channel(create, what)
    else:
        check(create(channel), f"{what} ({channel})")
    status = start(channel)
    if status:
        destroy(channel)
        check(status, f"starting the {kind}")
    return channel


class Decoder(_Channel):
    """A started decoder channel.

    `memory` "device" hands out pictures in device memory (whole coded pictures, the display
    rectangle in each Frame; with `crop=True` the display rectangle only), "host" in host
    memory. `extra` adds pictures to the channel's pool of 8: a picture counts from its
    decoding until its release, and a full pool stalls the decoder (the back-pressure).
    `name` names the stream in errors (default: the source's path or URL, or "stream" for
    chunks). `color_range` and `matrix` describe the stream's pictures (the card does not read
    the stream's own colour description): limited-range BT.601 unless told.

    `codec` None (the default) follows the source: the channel opens for H.264 and is opened
    again for HEVC when frames() is given an HEVC source (byte chunks and send() are H.264).
    A decoder made for one codec ("h264" or "hevc") refuses a source of the other with a
    StreamError naming both.

    `device` (an AI device index) puts the device pictures in that device's memory, whichever
    device other threads select meanwhile (see card.on_device); None (the default): the
    process's selected device. The channel's codec device follows its number (`channel`):
    channel c runs on codec device c mod the number of codec devices."""

    def __init__(self, codec=None, channel=None, memory="device", crop=False, extra=0, name=None,
                 color_range="limited", matrix="bt601", device=None):
        self.follows = codec is None
        codec = "h264" if codec is None else codec
        _choice(codec, _CODECS, "codec")
        _choice(memory, ("device", "host"), "memory")
        self.color_range = _choice(color_range, RANGES, "colour range")
        self.matrix = _choice(matrix, MATRICES, "matrix")
        self._lock = threading.RLock()  # the held count and the channel, against finalizers of frames
        params = zeme.decChannelParamters()
        params.codecType = getattr(zeme.codecType, _CODECS[codec][0])
        params.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
        params.extraBufferNumber = extra
        self._params = params
        self.codec, self.name, self.pool, self.memory = codec, name, POOL + extra, memory
        self.device = device
        self.stream_name = name or "stream"  # what errors call the stream being decoded
        self._start_channel(params, channel, "decoder")
        self.options = NO_RECORD
        if memory == "host" or crop:
            self.options = zeme.decOutputOptions()
            kind = "ZEME_MEM_HOST" if memory == "host" else "ZEME_MEM_DEVICE"
            self.options.memoryType = getattr(zeme.memoryType, kind)
            self.options.enableCrop = 1
        self.ended = False
        self.received = 0
        self.shown = 0  # pictures received that are to be shown (index of the next frame)
        self.held = 0
        self.bytes_sent = 0
        self.send_wait = 20
        self.source = None  # the Source being decoded by frames()
        self._units: dict = {}  # packets sent: number (the pts the card carries) -> (pts, key, discard)
        self._sent = 0
        self._timing: Any = None  # (time_base, step) of the source being decoded
        self._last_pts = None
        self._damage_told = False

    def _release(self):
        with self._lock:  # no frame is being given back meanwhile; later ones see `closed`
            self._stop_channel()

    def _fields(self):
        return {"codec": self.codec, "channel": self.channel, "memory": self.memory, "stream": self.stream_name,
                "received": self.received, "held": f"{self.held}/{self.pool}", "ended": self.ended}

    def send(self, data, wait=FOREVER):
        """Sends bytes (any cut of the stream); False when the input stayed full for `wait` ms."""
        stream = zeme.stream()
        stream.stream = np.frombuffer(data, np.uint8) if isinstance(data, (bytes, bytearray, memoryview)) else data
        return self._send(stream, wait)

    def _send(self, stream, wait):
        status = zeme.sendStreamToDecoder(self.channel, stream, wait)
        if status == TIMEOUT:
            return False
        check(status, f"{self.stream_name}: sending to decoder channel {self.channel}")
        return True

    def end(self):
        """Marks the end of the input: the decoder flushes its last pictures."""
        check(zeme.sendStreamToDecoder(self.channel, zeme.stream(), FOREVER), f"{self.stream_name}: ending the input")

    def receive(self, wait=0):
        """The next picture as a Frame, or None when none came within `wait` ms (`ended` is
        set once every picture has been handed out). Other threads run while it waits."""
        if self.ended:
            return None
        record = zeme.frame()
        if self.device is None:
            status = zeme.receiveFrameFromDecoder(self.channel, record, self.options, wait)
        else:
            status = self._receive_on_device(record, wait)
        if status == MORE_DATA:
            return None
        if status == EOS:
            self.ended = True
            return None
        check(status, f"{self.stream_name}: receiving a picture from decoder channel {self.channel}")
        with self._lock:
            self.held += 1
        frame = Frame(self, record, self.shown, self.color_range, self.matrix)
        self.received += 1
        if self._timing is not None:
            self._stamp(frame)
        if not frame.discard:  # frames() gives those back at once: they count in no index
            self.shown += 1
        return frame

    def _receive_on_device(self, record, wait):
        """receiveFrameFromDecoder with the decoder's device selected: each try takes no time
        under the device lock, the waits between tries are made outside it."""
        deadline = None if wait == FOREVER else time.monotonic() + wait / 1000
        while True:
            with on_device(self.device):
                status = zeme.receiveFrameFromDecoder(self.channel, record, self.options, 0)
            if status != MORE_DATA or wait == 0 or (deadline is not None and time.monotonic() >= deadline):
                return status
            time.sleep(0.001)

    def _stamp(self, frame):
        """The frame's timestamps and key flag, from the packet its picture came in: the card
        carries each packet's number as its pts. A picture of no known packet (or a packet
        without a pts) follows the previous one by a frame."""
        number = frame.record.pts
        unit = self._units.pop(number, None) if number >= 0 else None
        time_base, step = self._timing
        if unit is not None and unit[0] is not None:
            pts = unit[0]
        else:
            pts = 0 if self._last_pts is None else self._last_pts + step
        frame.pts, frame.time_base, self._last_pts = pts, time_base, pts
        if unit is not None:
            frame.key_frame, frame.discard = unit[1], unit[2]
        if len(self._units) > 512:  # packets whose pictures never came (refused, concealed)
            for old in [n for n in self._units if n < number - 256]:
                del self._units[old]

    def _release_frame(self, frame, quiet=False):
        """Gives `frame` back to the channel; it counts as released only once the card took it.
        Nothing is done once the channel is closed (it took its pictures back)."""
        with self._lock:
            if frame.released or self.closed:
                return
            status = zeme.decReleaseFrame(self.channel, frame.record, 0)
            if status == 0:
                frame.released = True
                self.held -= 1
                return
        if not quiet:
            check(status, f"{self.stream_name}: releasing picture {frame.index}")

    def status(self):
        record = DecoderStatus()
        check(zeme.getDecoderStatus(self.channel, record), "reading the decoder's status")
        return record

    def check_stream(self):
        """Raises StreamError once the decoder has met data it could not decode. The channel's
        state stays ERROR from then on (its `result` is only the last access unit's)."""
        record = self.status()
        if record.state != zeme.state.ZEME_ST_ERROR and record.result not in (BITSTREAM, UNSUPPORTED):
            return
        name = _CODECS[self.codec][1]
        if record.result == UNSUPPORTED:
            raise StreamError(f"{self.stream_name}: pictures the card does not decode at about frame {self.received} "
                              "(not 8-bit 4:2:0, larger than 4096 x 4096, or of an odd size)")
        if self.received == 0:
            raise StreamError(f"{self.stream_name}: not an {name} stream (no picture decodes from its first "
                              f"{self.bytes_sent} bytes)")
        raise StreamError(f"{self.stream_name}: corrupt {name} data at about frame {self.received} "
                          f"(by byte {self.bytes_sent} of the stream)")

    def _pool_full(self):
        """Whether the program holds every picture of the pool, after a collection of the
        frames only reference cycles keep."""
        if self.held < self.pool:
            return False
        gc.collect()
        return self.held >= self.pool

    def _all_held(self):
        return CardError(f"{self.stream_name}: all {self.pool} pictures of decoder channel {self.channel} "
                         "are held; release frames to go on")

    def _ready(self, check_errors, wait=False):
        """The pictures decoded so far, each checked when `check_errors`; with `wait`, every
        picture to the end of the stream. The generator keeps no reference to a frame it handed
        out, so that the consumer's is the only one."""
        while not self.ended:
            box = [self.receive(2 if wait else 0)]  # other threads run while it waits
            if box[0] is None:
                if not wait:
                    return
                if not self.ended and self._pool_full():
                    raise self._all_held()
                continue
            if box[0].discard:
                box.pop().release()
                continue
            if check_errors:
                self._check()  # (the frame goes back when it is collected)
            yield box.pop()

    def _check(self):
        """check_stream(); for a live source, damage is reported once until the decoder
        restarts (decoding goes on), pictures the card does not decode still raise."""
        source = self.source
        if source is None or not source.live:
            return self.check_stream()
        try:
            self.check_stream()
        except StreamError as error:
            if "pictures the card does not decode" in str(error):
                raise
            if not self._damage_told:
                from .sources import Damaged
                self._damage_told = True
                source.report(Damaged(self.stream_name, self.received, str(error)))

    def frames(self, source, check_errors=True, *, options=None, timeout=10.0, reconnect=True, queue=150,
               on_event=None):
        """Decodes `source` to the end, yielding each picture as a Frame, in presentation order,
        as soon as it is decoded. `source` is a path or URL of anything libavformat reads (MP4,
        MOV, MKV, MPEG-TS, FLV, raw H.264/HEVC streams, RTSP, HTTP(S) or HLS, UDP/RTP), an open
        halvora.Source, or an iterable of byte chunks of an elementary stream.

        A frame goes back to the decoder when it is released (frame.release(), `with frame:`)
        or garbage-collected, so a loop that keeps no reference to its frames goes on for ever;
        the channel's pool bounds the frames a program keeps (holding them all is reported as a
        CardError, never a hang). A path or URL is checked first: one that is no H.264/HEVC
        video the card decodes raises StreamError naming it, as probe() does. With
        `check_errors`, corrupt data raises StreamError; from a live source it is reported
        (the "halvora" logger, `on_event`) and decoding goes on.

        For a path or URL, `options` (libavformat's), `timeout`, `reconnect`, `queue` and
        `on_event` open the Source as halvora.Source does; a live source's gaps and drops reach
        `on_event` once the pictures before them are out (the decoder is flushed and restarted
        there, so that decoding after them starts clean)."""
        from .sources import Source
        if isinstance(source, (str, os.PathLike, Source)):
            yield from self._source_frames(source, check_errors, options, timeout, reconnect, queue, on_event)
            return
        self.stream_name = self.name or "stream"
        for stream in _chunks(source):
            yield from self._feed(stream, check_errors)
        yield from self._finish(check_errors)

    def _feed(self, stream, check_errors):
        while not self._send(stream, self.send_wait):
            # The input stayed full: pictures must go out before the decoder takes more.
            before = self.received
            yield from self._ready(check_errors)
            if self.received == before and self._pool_full():
                raise self._all_held()
        self.bytes_sent += stream.stream.size
        yield from self._ready(check_errors)

    def _end_input(self, check_errors):
        """end(), taking pictures out while the input stays full (the pool may be full)."""
        yield from self._feed(zeme.stream(), check_errors)

    def _finish(self, check_errors):
        yield from self._end_input(check_errors)
        yield from self._ready(check_errors, wait=True)
        if check_errors:
            self._check()
            if self.received == 0:
                raise StreamError(f"{self.stream_name}: not an {_CODECS[self.codec][1]} stream (no picture in its "
                                  f"{self.bytes_sent} bytes)")

    def _source_frames(self, source, check_errors, options, timeout, reconnect, queue, on_event):
        from .sources import Source, is_url
        owned = not isinstance(source, Source)
        if owned:
            path = os.fspath(source)
            if not is_url(path):
                probe(path)  # the messages of files that are no video (the codec is follow()'s)
            source = Source(path, options, timeout, reconnect, queue, on_event=on_event, name=self.name)
        try:
            self.stream_name = self.name or source.name
            self.follow(source.codec)
            source.probe()
            if self.ended:  # a decoder that decoded a stream to its end starts afresh
                self._restart_channel()
            self.source = source
            rate = source.frame_rate or fractions.Fraction(25)  # a raw stream's, as libavformat assumes
            if source.elementary:
                self._timing = (1 / rate, 1)
            else:
                self._timing = (source.time_base, max(1, round(1 / (rate * source.time_base))))
            self._units.clear()
            self._last_pts = None
            for packet in source.packets(report=False):
                if packet.discontinuity is not None:
                    yield from self._restart(check_errors)
                    source.report(packet.discontinuity)
                number = self._sent
                self._sent += 1
                self._units[number] = (packet.pts, packet.key, packet.discard)
                stream = zeme.stream()
                stream.stream = np.frombuffer(packet.data, np.uint8)
                stream.pts = number
                yield from self._feed(stream, check_errors)
            yield from self._finish(check_errors)
        finally:
            self._timing = None
            self.source = None
            if owned:
                source.close()

    def _restart(self, check_errors):
        """Every picture of what was sent so far, then a fresh decoder (after a gap or a drop)."""
        yield from self._end_input(check_errors)
        yield from self._ready(check_errors, wait=True)
        self._restart_channel()

    def _restart_channel(self):
        check(zeme.resetDecoder(self.channel), f"{self.stream_name}: restarting decoder channel {self.channel}")
        self.ended = False
        self._damage_told = False

    def follow(self, codec):
        """Makes the channel one of `codec`: opens it again for the other codec when the decoder
        follows its source (codec None), else refuses with StreamError."""
        _choice(codec, _CODECS, "codec")
        if codec == self.codec:
            return
        name = self.stream_name
        if not self.follows:
            raise StreamError(f"{name}: the video is {_CODECS[codec][1]}; this decoder was made for "
                              f"{_CODECS[self.codec][1]} (Decoder(codec={codec!r}), or Decoder() that follows "
                              "its source)")
        with self._lock:
            if self.held:
                raise StreamError(f"{name}: the video is {_CODECS[codec][1]}: the channel cannot be opened again for "
                                  f"it while {self.held} frames of its earlier stream are held")
            zeme.stopDecoder(self.channel)
            zeme.destroyDecoderChannel(self.channel)
            self._params.codecType = getattr(zeme.codecType, _CODECS[codec][0])
            status = zeme.createDecoderChannel(self._params, self.channel)
            if status == 0:
                status = zeme.startDecoder(self.channel)
                if status:
                    zeme.destroyDecoderChannel(self.channel)
            if status:
                self.closed = True  # the channel is gone: nothing is left to stop
                self._end_media()
                check(status, f"{name}: opening decoder channel {self.channel} again for {_CODECS[codec][1]}")
            self.codec, self.ended, self._damage_told = codec, False, False


def _chunks(chunks):
    for chunk in chunks:
        stream = zeme.stream()
        stream.stream = np.frombuffer(chunk, np.uint8)
        yield stream


# ---- encoder settings ---------------------------------------------------------------------

_QUALITY = {"medium": "ZEME_GOLD_QUALITY", "gold": "ZEME_GOLD_QUALITY", "fast": "ZEME_SILVER_QUALITY",
            "silver": "ZEME_SILVER_QUALITY", "faster": "ZEME_SILVER2_QUALITY", "silver2": "ZEME_SILVER2_QUALITY",
            "veryfast": "ZEME_BRONZE_QUALITY", "bronze": "ZEME_BRONZE_QUALITY"}
_TUNE = {"psnr": "ZEME_ENC_TUNE_PSNR", "ssim": "ZEME_ENC_TUNE_SSIM", "visual": "ZEME_ENC_TUNE_VISUAL",
         "sharp_visual": "ZEME_ENC_TUNE_SHARP_VISUAL", "film": "ZEME_ENC_TUNE_SHARP_VISUAL"}
_PROFILES = {"h264": {"baseline": "ZEME_VIDEO_PRFL_H264_BASELINE", "main": "ZEME_VIDEO_PRFL_H264_MAIN",
                      "high": "ZEME_VIDEO_PRFL_H264_HIGH"},
             "hevc": {"main": "ZEME_VIDEO_PRFL_HEVC_MAIN"}}
_RATE_CONTROL = ("crf", "cqp", "cbr", "vbr")
ENCODER_SIZES = (64, 8192)  # even widths and heights from 64 to 8192 (ZEME_ENC_VIDEO_MIN/MAX_*)


def _member(enumeration, value, names, field):
    """An enumeration member from a name of `names`, the member's own name, or as it is."""
    if not isinstance(value, str):
        return value
    members = enumeration.__members__
    key = names.get(value.lower(), value)
    if key not in members:
        known = sorted(set(names) | {name for name in members if name in names.values()})
        raise ValueError(f"{field}={value!r}: one of {', '.join(known)}")
    return members[key]


def _level(codec, value):
    """A zemeVideoLevel from a level number (4.1, "4.1", "1b") or a member."""
    if isinstance(value, str) and value.startswith("ZEME_"):
        return zeme.videoLevel.__members__[value]
    if isinstance(value, zeme.videoLevel):
        return value
    text = str(value).lower().replace(".", "_")
    name = f"ZEME_VIDEO_LVL_{codec.upper()}_{'1_b' if text == '1b' else text.removesuffix('_0')}"
    if name not in zeme.videoLevel.__members__:
        known = sorted(n.split(f"{codec.upper()}_")[1].replace("_", ".") for n in zeme.videoLevel.__members__
                       if f"_{codec.upper()}_" in n)
        raise ValueError(f"level={value!r}: an {codec} level, one of {', '.join(known)}")
    return zeme.videoLevel.__members__[name]


def frame_rate(fps):
    """`fps` as a Fraction: an integer, a Fraction, a (numerator, denominator) pair, or a float;
    floats that are an NTSC rate (29.97, 23.976, 59.94: n * 1000 / 1001) are taken as exactly
    that, others as the nearest fraction with a denominator up to 1001."""
    if isinstance(fps, tuple):
        if len(fps) != 2 or not all(isinstance(term, int) for term in fps):
            raise ValueError(f"frame rate {fps!r}: a (numerator, denominator) pair of integers")
        if fps[1] == 0:
            raise ValueError(f"frame rate {fps!r}: the denominator is 0")
        rate = fractions.Fraction(*fps)
    elif isinstance(fps, (int, fractions.Fraction)) and not isinstance(fps, bool):
        rate = fractions.Fraction(fps)
    elif isinstance(fps, float):
        ntsc = round(fps * 1.001)
        if fps != int(fps) and abs(fps - ntsc * 1000 / 1001) < 0.005:
            rate = fractions.Fraction(ntsc * 1000, 1001)
        else:
            rate = fractions.Fraction(fps).limit_denominator(1001)
    else:
        raise TypeError(f"frame rate {fps!r}: an int, float, Fraction or (numerator, denominator) pair")
    if rate <= 0 or rate.numerator > 0x7FFFFFFF or rate.denominator > 0x7FFFFFFF:
        raise ValueError(f"frame rate {fps!r}: above 0, with terms up to 2^31 - 1")
    return rate


class Encoder(_Channel):
    """A started H.264 or HEVC encoder channel for pictures of `width` x `height` (even, 64 to
    8192), `fps` pictures a second (an int, a float such as 29.97, a Fraction or a
    (numerator, denominator) pair).

    encode() takes an NV12 array, an RGB or BGR array (converted on the card's preprocess engine
    to limited-range BT.601 NV12) or a decoded Frame, and returns the stream bytes ready so far;
    finish() ends the input and returns the rest.

    Settings by name: `quality` the speed/quality preset ("medium", "fast", "faster",
    "veryfast"), `rate_control` "crf" (constant quality, `crf`), "cqp" (constant QP, `cqp`),
    "cbr" or "vbr" (constant or average bit rate, `bitrate` in bit/s), `tune` ("psnr", "ssim",
    "visual", "film"), `profile` ("baseline", "main", "high"), `level` (4.1, "5.2", "1b"). Any
    other keyword is a field of the channel's videoConfig (keyInt=..., qualityMode=...);
    enumeration fields take member names as strings too. `device` (an AI device index) puts the
    RGB and BGR pictures' conversion in that device's memory (None: the process's selected one)."""

    side = "encoder"

    def __init__(self, width, height, codec="h264", fps=30, channel=None, *, quality=None, rate_control=None,
                 bitrate=None, tune=None, profile=None, level=None, device=None, **settings):
        kinds = {"h264": "ZEME_CODEC_ENC_H264", "hevc": "ZEME_CODEC_ENC_HEVC"}
        _choice(codec, kinds, "codec")
        low, high = ENCODER_SIZES
        for side, value in (("width", width), ("height", height)):
            if not isinstance(value, (int, np.integer)) or value % 2 or not low <= value <= high:
                raise ValueError(f"{side} {value!r}: the card's encoder takes even widths and heights from "
                                 f"{low} to {high}")
        self.fps = frame_rate(fps)
        params = zeme.encChannelParamters()
        params.codecType = getattr(zeme.codecType, kinds[codec])
        config = params.videoConfig
        config.width, config.height = int(width), int(height)
        config.frameRate.numerator, config.frameRate.denominator = self.fps.numerator, self.fps.denominator
        named = {"qualityMode": quality, "tune": tune, "profile": profile, "level": level}
        for name, value in named.items():
            if value is not None:
                if name in settings:
                    raise TypeError(f"both {name} and its named form were given")
                settings[name] = value
        settings.update(self._rate_control(rate_control, bitrate, settings))
        for name, value in settings.items():
            self._set(config, codec, name, value)
        self.width, self.height, self.codec = int(width), int(height), codec
        self._rgb = None
        self.device = device
        self._start_channel(params, channel, "encoder")
        self.sent = 0

    @staticmethod
    def _rate_control(mode, bitrate, settings):
        """The videoConfig fields of a rate control by name."""
        fields = {}
        if bitrate is not None:
            if not 0 < bitrate <= 0xFFFFFFFE:
                raise ValueError(f"bitrate {bitrate!r}: bits a second, above 0 (as the bitRate field)")
            fields["bitRate"] = int(round(bitrate))
        if mode is None:
            return fields
        _choice(mode, _RATE_CONTROL, "rate_control")
        if mode in ("cbr", "vbr"):
            if "bitRate" not in fields and not settings.get("bitRate"):
                raise ValueError(f"rate_control={mode!r} needs bitrate=... (bits a second)")
            fields["vbr"] = 0 if mode == "cbr" else 1
        elif mode == "cqp" and not settings.get("cqp"):
            raise ValueError("rate_control='cqp' needs cqp=... (1 to 51)")
        elif mode in ("crf", "cqp") and "bitRate" in fields:
            raise ValueError(f"rate_control={mode!r} takes no bitrate")
        return fields

    @staticmethod
    def _set(config, codec, name, value):
        if name == "frameRate":
            raise TypeError("the frame rate is Encoder's fps argument")
        if not hasattr(config, name) or name.startswith("_"):
            known = [n for n in dir(config) if not n.startswith("_") and n not in ("width", "height", "frameRate")]
            raise TypeError(f"Encoder() has no setting {name!r}: quality, rate_control, bitrate, tune, profile, "
                            f"level or a videoConfig field ({', '.join(known)})")
        if name == "qualityMode":
            value = _member(zeme.encQualityMode, value, _QUALITY, "quality")
        elif name == "tune":
            value = _member(zeme.encTuneType, value, _TUNE, "tune")
        elif name == "profile":
            value = _member(zeme.videoProfile, value, _PROFILES[codec], "profile")
        elif name == "level":
            value = _level(codec, value)
        elif isinstance(value, str):
            raise ValueError(f"{name}={value!r}: a number")
        setattr(config, name, value)

    def _release(self):
        if self._rgb is not None:
            self._rgb.close()
        self._stop_channel()

    def _fields(self):
        return {"codec": self.codec, "size": f"{self.width}x{self.height}", "fps": str(self.fps),
                "channel": self.channel, "sent": self.sent}

    def _collect(self, wait):
        pieces: list = []
        piece = zeme.stream()
        while True:
            status = zeme.receiveStreamFromEncoder(self.channel, piece, wait)
            if status in (MORE_DATA, EOS):
                return pieces, status == EOS
            check(status, "receiving from the encoder")
            pieces.append(piece.stream.tobytes())
            check(zeme.encReleaseStream(self.channel, piece, 0), "releasing an encoded piece")

    def _record(self, picture, format):
        """The frame record to send for `picture`."""
        if isinstance(picture, Frame):
            picture._check_live()
            if (picture.width, picture.height) != (self.width, self.height):
                raise ValueError(f"a {picture.width} x {picture.height} frame sent to an encoder of "
                                 f"{self.width} x {self.height}")
            return picture.record
        picture = _check_uint8(picture, "a picture")
        if format is None:
            format = "rgb24" if picture.ndim == 3 else "nv12"
        _choice(format, ("nv12", "rgb24", "bgr24"), "format")
        if format == "nv12":
            rows, width = _Nv12Layout(self.width, self.height).shape
            if picture.shape != (rows, width):
                raise ValueError(f"an NV12 picture of {self.width} x {self.height} is "
                                 f"({rows}, {width}) bytes, not {picture.shape}")
            record = zeme.frame()
            record.pixelFormat, record.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
            record.width, record.height, record.stride = self.width, self.height, [self.width]
            record.data, record.dataSize = picture.reshape(-1), picture.size
            return record
        if picture.shape != (self.height, self.width, 3):
            raise ValueError(f"an {format} picture of {self.width} x {self.height} is "
                             f"({self.height}, {self.width}, 3) bytes, not {picture.shape}")
        if self._rgb is None:
            self._rgb = RgbToNv12(self.width, self.height, device=self.device)
        where = self._rgb.convert(picture, bgr=format == "bgr24")
        return device_record(where, self.width, self.height, self.width, self.height)

    def encode(self, picture, pts=None, format=None):
        """Encodes one picture: a uint8 array, NV12 of (height * 3 / 2, width) bytes or RGB/BGR of
        (height, width, 3) (`format` "nv12", "rgb24" or "bgr24"; by default "nv12" for 2-D arrays,
        "rgb24" for 3-D ones, as PyAV's from_ndarray), or a Frame of the encoder's size. Other
        element types raise TypeError."""
        record = self._record(picture, format)
        record.pts = self.sent if pts is None else pts
        pieces: list = []
        while True:
            status = zeme.sendFrameToEncoder(self.channel, record, NO_RECORD, 50)
            if status != TIMEOUT:
                check(status, "sending a picture to the encoder")
                break
            pieces += self._collect(0)[0]  # its output buffers were full
        self.sent += 1
        return b"".join(pieces + self._collect(0)[0])

    def finish(self):
        """Ends the input; the stream's remaining bytes."""
        end = zeme.frame()
        end.memoryType = zeme.memoryType.ZEME_MEM_FLUSH
        check(zeme.sendFrameToEncoder(self.channel, end, NO_RECORD, FOREVER), "ending the encoder's input")
        pieces, done = [], False
        while not done:
            more, done = self._collect(20)
            pieces += more
        return b"".join(pieces)

    def encode_units(self, picture=None, pts=None, format=None):
        """As encode() (a picture) or finish() (None), the stream cut into its access units: a
        list of (bytes, pts) pairs in coding order, each with the pts its picture was sent with
        (by default the count of pictures sent before it)."""
        units: list = []

        def take(wait):  # the units that come within `wait` ms; True once the stream ended
            piece = zeme.stream()
            while True:
                status = zeme.receiveStreamFromEncoder(self.channel, piece, wait)
                if status in (MORE_DATA, EOS):
                    return status == EOS
                check(status, "receiving from the encoder")
                units.append((piece.stream.tobytes(), piece.pts))
                check(zeme.encReleaseStream(self.channel, piece, 0), "releasing an encoded piece")

        if picture is None:
            end = zeme.frame()
            end.memoryType = zeme.memoryType.ZEME_MEM_FLUSH
            check(zeme.sendFrameToEncoder(self.channel, end, NO_RECORD, FOREVER), "ending the encoder's input")
            while not take(20):
                pass
            return units
        record = self._record(picture, format)
        record.pts = self.sent if pts is None else pts
        while (status := zeme.sendFrameToEncoder(self.channel, record, NO_RECORD, 50)) == TIMEOUT:
            take(0)  # its output buffers were full
        check(status, "sending a picture to the encoder")
        self.sent += 1
        take(0)
        return units


__all__ = ["Media", "Decoder", "Encoder", "Frame", "VideoInfo", "StreamError", "probe", "frame_rate", "address",
           "handle"]
