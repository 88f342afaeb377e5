"""The media engine: decoder channels that turn an H.264 or HEVC elementary stream into
pictures (in device or host memory), and encoder channels that turn NV12 pictures into
a stream. Channels are context managers: leaving the block stops and destroys the
channel, which also takes back every picture still handed out."""
import os
import threading
import time

import numpy as np

from ._native import FOREVER, NO_RECORD, CardError, Status, address, check, described, handle, zeme
from .card import RUNTIME, Resource, Counted, download, use_card

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
        ENGINE.acquire()

    def _release(self):
        ENGINE.release()


class _MediaUser(Resource):
    """A holder of a channel: uses the card's runtime and the media engine, starting them when
    they are not running, until it is closed."""

    def _use_media(self):
        use_card()
        try:
            ENGINE.acquire()
        except BaseException:
            RUNTIME.release()
            raise

    def _end_media(self):
        ENGINE.release()
        RUNTIME.release()


DecoderStatus = described(zeme.decStatus)


class VideoInfo:
    """What the first picture of a stream says: coded and display size, frame rate, format."""

    def __init__(self, record):
        self.coded = (record.width, record.height)
        if record.cropFlag:
            self.size = (record.cropWidth, record.cropHeight)
            self.offset = (record.xOffset, record.yOffset)
        else:
            self.size, self.offset = self.coded, (0, 0)
        self.fps = record.fps.numerator / record.fps.denominator if record.fps.denominator else 0.0
        self.pixel_format = record.pixelFormat.name.replace("ZEME_PIX_FMT_", "")

    def __repr__(self):
        return f"VideoInfo(size={self.size}, coded={self.coded}, fps={self.fps:g}, format={self.pixel_format})"


_CODECS = {"h264": ("ZEME_CODEC_DEC_H264", "H.264"), "hevc": ("ZEME_CODEC_DEC_HEVC", "HEVC")}


def probe(path, codec="h264", head=8 << 20):
    """Checks that `path` is a readable elementary stream of `codec` whose pictures the card
    decodes (8-bit 4:2:0 or grey); returns its VideoInfo. Needs a started media engine.
    Raises FileNotFoundError, or StreamError naming the file and what is wrong."""
    name = _CODECS[codec][1]
    with open(path, "rb") as file:  # FileNotFoundError, IsADirectoryError, PermissionError as they are
        data = file.read(head)
    if not data:
        raise StreamError(f"{path}: empty file, not an {name} stream")
    if b"\x00\x00\x01" not in data[:4096]:
        raise StreamError(f"{path}: not an {name} elementary stream (no start code in its first bytes; "
                          "containers such as MP4 are not read)")
    stream = zeme.stream()
    stream.stream = np.frombuffer(data, np.uint8)
    record = zeme.decVideoInfo()
    status = zeme.getVideoInfo(stream, getattr(zeme.codecType, _CODECS[codec][0]), record)
    if status == BITSTREAM:
        raise StreamError(f"{path}: not an {name} stream (no picture decodes from its first {len(data)} bytes)")
    check(status, f"reading the stream information of {path}")
    info = VideoInfo(record)
    if info.pixel_format not in ("YUV420P", "GRAY8", "NV12"):
        raise StreamError(f"{path}: pictures are {info.pixel_format}; the card decodes 8-bit 4:2:0 only")
    return info


class Frame:
    """A decoded picture, the channel's until release() (or the end of a `with` block).

    Device pictures: NV12 luma at `address` with row pitch `pitch`, `rows` rows allocated,
    chroma right after; `width` x `height` is the picture to use (the display rectangle,
    at `offset` in the planes). Host pictures: `nv12()` reads them."""

    def __init__(self, decoder, record, index):
        self.decoder, self.record, self.index = decoder, record, index
        self.released = False
        crop = record.cropInfo
        self.device = record.memoryType == zeme.memoryType.ZEME_MEM_DEVICE
        if crop.flag:
            self.width, self.height, self.offset = crop.width, crop.height, (crop.xOffset, crop.yOffset)
        else:
            self.width, self.height, self.offset = record.width, record.height, (0, 0)
        self.pitch = record.stride[0]
        if self.device:
            self.address = record.busAddress[0]
            chroma = record.busAddress[1]
            self.rows = (chroma - self.address) // self.pitch if chroma > self.address else record.height
        else:
            self.address, self.rows = 0, record.height
        self.size = self.pitch * self.rows * 3 // 2
        self.pts = record.pts

    def nv12(self):
        """The picture's NV12 bytes as a (height * 3 / 2, width) array (a copy)."""
        if self.released:
            raise ValueError("the frame was released")
        if self.device:
            data = download(self.address, self.size).reshape(self.rows * 3 // 2, self.pitch)
            x, y = self.offset
            luma = data[y:y + self.height, x:x + self.width]
            chroma = data[self.rows + y // 2:self.rows + (y + self.height) // 2, x:x + self.width]
            return np.vstack([luma, chroma])
        return np.asarray(self.record).copy()

    def release(self):
        """Gives the picture back to the decoder (once; later calls do nothing)."""
        if not self.released:
            self.released = True
            self.decoder._release_frame(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()
        return False


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
    what = f"opening {'an' if kind == 'encoder' else 'a'} {kind} channel"
    if channel is None:
        channel = _free_channel(create, what)
    else:
        check(create(channel), f"{what} ({channel})")
    status = start(channel)
    if status:
        destroy(channel)
        check(status, f"starting the {kind}")
    return channel


class Decoder(_MediaUser):
    """A started decoder channel.

    `memory` "device" hands out pictures in device memory (whole coded pictures, the display
    rectangle in each Frame; with `crop=True` the display rectangle only), "host" in host
    memory. `extra` adds pictures to the channel's pool of 8: a picture counts from its
    decoding until its release, and a full pool stalls the decoder (the back-pressure)."""

    def __init__(self, codec="h264", channel=None, memory="device", crop=False, extra=0, name="stream"):
        if codec not in _CODECS:
            raise ValueError(f"codec {codec!r}: one of {', '.join(_CODECS)}")
        if memory not in ("device", "host"):
            raise ValueError(f"memory {memory!r}: 'device' or 'host'")
        self._use_media()
        try:
            self._open(codec, channel, memory, crop, extra, name)
        except BaseException:
            self._end_media()
            raise

    def _open(self, codec, channel, memory, crop, extra, name):
        params = zeme.decChannelParamters()
        params.codecType = getattr(zeme.codecType, _CODECS[codec][0])
        params.pixelFormat = zeme.pixelFormat.ZEME_PIX_FMT_NV12
        params.extraBufferNumber = extra
        self.codec, self.name, self.pool = codec, name, POOL + extra
        self.channel = _open_channel(lambda n: zeme.createDecoderChannel(params, n), zeme.startDecoder,
                                     zeme.destroyDecoderChannel, channel, "decoder")
        self.options = NO_RECORD
        if memory == "host" or crop:
            self.options = zeme.decOutputOptions()
            self.options.memoryType = getattr(zeme.memoryType, "ZEME_MEM_HOST" if memory == "host" else "ZEME_MEM_DEVICE")
            self.options.enableCrop = 1
        self.ended = False
        self.received = 0
        self.held = 0
        self.bytes_sent = 0
        self.send_wait = 20

    def _release(self):
        zeme.stopDecoder(self.channel)
        zeme.destroyDecoderChannel(self.channel)
        self._end_media()

    def send(self, data, wait=FOREVER):
        """Sends bytes (any cut of the stream); False when the input stayed full for `wait` ms."""
        stream = zeme.stream()
        stream.stream = np.frombuffer(data, np.uint8) if isinstance(data, (bytes, bytearray, memoryview)) else data
        return self._send(stream, wait)

    def _send(self, stream, wait):
        status = zeme.sendStreamToDecoder(self.channel, stream, wait)
        if status == TIMEOUT:
            return False
        check(status, f"{self.name}: sending to decoder channel {self.channel}")
        return True

    def end(self):
        """Marks the end of the input: the decoder flushes its last pictures."""
        check(zeme.sendStreamToDecoder(self.channel, zeme.stream(), FOREVER), f"{self.name}: ending the input")

    def receive(self, wait=0):
        """The next picture as a Frame, or None when none came within `wait` ms (`ended` is
        set once every picture has been handed out). Keep waits short: the call holds the
        interpreter lock while it waits."""
        if self.ended:
            return None
        record = zeme.frame()
        status = zeme.receiveFrameFromDecoder(self.channel, record, self.options, wait)
        if status == MORE_DATA:
            return None
        if status == EOS:
            self.ended = True
            return None
        check(status, f"{self.name}: receiving a picture from decoder channel {self.channel}")
        frame = Frame(self, record, self.received)
        self.received += 1
        self.held += 1
        return frame

    def _release_frame(self, frame):
        if self.closed:
            return  # the channel took its pictures back when it was destroyed
        self.held -= 1
        check(zeme.decReleaseFrame(self.channel, frame.record, 0), f"{self.name}: releasing picture {frame.index}")

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
        if record.result == UNSUPPORTED:
            raise StreamError(f"{self.name}: pictures the card does not decode at about frame {self.received} "
                              "(not 8-bit 4:2:0, larger than 4096 x 4096, or of an odd size)")
        raise StreamError(f"{self.name}: corrupt {_CODECS[self.codec][1]} data at about frame {self.received} "
                          f"(by byte {self.bytes_sent} of the stream)")

    def _ready(self):
        while True:
            frame = self.receive(0)
            if frame is None:
                return
            self.check_stream()
            yield frame

    def frames(self, source, check_errors=True):
        """Decodes `source` (a path, or an iterable of byte chunks) to the end, yielding each
        picture as a Frame as soon as it is decoded. Release each frame (frame.release() or
        `with frame:`) once read: the channel's pool bounds the pictures out at once, and
        holding them all stalls the decoding (reported as a CardError, never a hang).
        With `check_errors`, corrupt data raises StreamError."""
        units = _units(str(source)) if isinstance(source, (str, os.PathLike)) else _chunks(source)
        for stream in units:
            while not self._send(stream, self.send_wait):
                # The input stayed full: pictures must go out before the decoder takes more.
                stalled = True
                for frame in self._ready():
                    stalled = False
                    yield frame
                if stalled and self.held >= self.pool:
                    raise CardError(f"{self.name}: all {self.pool} pictures of decoder channel {self.channel} "
                                    "are held; release frames to go on")
            self.bytes_sent += stream.stream.size
            yield from self._ready() if check_errors else self._ready_unchecked()
        self.end()
        idle = 0.0002
        while not self.ended:
            frame = self.receive(0)
            if frame is None:
                if self.held >= self.pool and not self.ended:
                    raise CardError(f"{self.name}: all {self.pool} pictures of decoder channel {self.channel} "
                                    "are held; release frames to go on")
                time.sleep(idle)  # the interpreter lock is free meanwhile
                idle = min(idle * 2, 0.002)
                continue
            idle = 0.0002
            if check_errors:
                self.check_stream()
            yield frame
        if check_errors:
            self.check_stream()

    def _ready_unchecked(self):
        while (frame := self.receive(0)) is not None:
            yield frame


def _units(path):
    """The NAL units of an Annex B file as stream records, read through the module's reader
    (each record points into the reader's buffer until the next unit is read)."""
    reader = zeme.H264Reader(path)
    if reader.init() != 0:
        raise FileNotFoundError(f"{path}: cannot be opened")
    unit = zeme.stream()
    try:
        while reader.getStream(unit) == 1:
            yield unit
    finally:
        reader.release()


def _chunks(chunks):
    for chunk in chunks:
        stream = zeme.stream()
        stream.stream = np.frombuffer(chunk, np.uint8)
        yield stream


class Encoder(_MediaUser):
    """A started H.264 or HEVC encoder channel for NV12 pictures of `width` x `height`.

    encode() takes a host NV12 array or a decoded Frame and returns the stream bytes ready
    so far; finish() ends the input and returns the rest. `settings` are fields of the
    channel's videoConfig (e.g. qualityMode=zeme.videoQualityMode..., keyInt=...)."""

    def __init__(self, width, height, codec="h264", fps=30, channel=None, **settings):
        kinds = {"h264": "ZEME_CODEC_ENC_H264", "hevc": "ZEME_CODEC_ENC_HEVC"}
        if codec not in kinds:
            raise ValueError(f"codec {codec!r}: one of {', '.join(kinds)}")
        params = zeme.encChannelParamters()
        params.codecType = getattr(zeme.codecType, kinds[codec])
        config = params.videoConfig
        config.width, config.height = width, height
        config.frameRate.numerator, config.frameRate.denominator = int(fps), 1
        for name, value in settings.items():
            setattr(config, name, value)
        self.width, self.height = width, height
        self._use_media()
        try:
            self.channel = _open_channel(lambda n: zeme.createEncoderChannel(params, n), zeme.startEncoder,
                                         zeme.destroyEncoderChannel, channel, "encoder")
        except BaseException:
            self._end_media()
            raise
        self.sent = 0

    def _release(self):
        zeme.stopEncoder(self.channel)
        zeme.destroyEncoderChannel(self.channel)
        self._end_media()

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

    def encode(self, picture, pts=None):
        """Encodes one picture: an NV12 array of (height * 3 / 2, width) bytes, or a Frame."""
        if isinstance(picture, Frame):
            record = picture.record
        else:
            picture = np.ascontiguousarray(picture, np.uint8)
            if picture.shape != (self.height * 3 // 2, self.width):
                raise ValueError(f"an NV12 picture of {self.width} x {self.height} is "
                                 f"({self.height * 3 // 2}, {self.width}) bytes, not {picture.shape}")
            record = zeme.frame()
            record.pixelFormat, record.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
            record.width, record.height, record.stride = self.width, self.height, [self.width]
            record.data, record.dataSize = picture.reshape(-1), picture.size
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


__all__ = ["Media", "Decoder", "Encoder", "Frame", "VideoInfo", "StreamError", "probe", "address", "handle"]
