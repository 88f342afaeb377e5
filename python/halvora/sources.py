"""Video sources: a file path or URL of anything libavformat reads (MP4, MOV, MKV, MPEG-TS, FLV,
raw H.264/HEVC streams; RTSP, HTTP(S) progressive or HLS, UDP/RTP), read as the compressed
access units the card's decoder takes, each with its timestamps and key-frame flag.

    with halvora.Source("rtsp://camera/stream", options={"rtsp_transport": "tcp"}) as source:
        print(source.codec, source.width, source.height, source.frame_rate)
        for packet in source.packets():
            ...                              # packet.data (Annex B), .pts, .time, .key

Live sources (network URLs, pipes) are read by a thread of the source's own into a bounded
queue. When the consumer falls behind and the queue is full, the oldest packets are dropped
up to the next key frame in the queue (so that decoding stays valid; all of them when there is
none, and then every packet until the next key frame comes), counted in `dropped`. A live
network source (of no known length) that stops, fails or goes quiet for `timeout` seconds is
reopened with back-off (`reconnect`, a Reconnect); the gap is reported as a Gap event (its
seconds and the frames it cost) to `on_event`, to the "halvora" logger, and in `gaps`,
`missed` and `events`. Times go on across a gap: the packets after it are timed from the last
one before it plus the gap."""
import collections
import dataclasses
import fractions
import logging
import os
import re
import threading
import time
from typing import Any, Callable, Optional

from ._native import av

log = logging.getLogger("halvora")
log.addHandler(logging.NullHandler())  # told only to programs that configure logging

# The demuxers of raw elementary streams: their packets carry no timestamps.
ELEMENTARY = ("h264", "hevc")
CODEC_NAMES = {"h264": "H.264", "hevc": "HEVC"}


def is_url(text):
    """Whether `text` names a URL (scheme://... or pipe:) rather than a file path."""
    return bool(re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", str(text))) or str(text).startswith(("pipe:", "file:"))


def is_network(text):
    """Whether `text` is a network URL: one that can be reopened after it drops."""
    return is_url(text) and not str(text).startswith(("pipe:", "file:"))


@dataclasses.dataclass(frozen=True)
class Reconnect:
    """How a network source of no known length (a live stream) that stops, fails or goes quiet
    is reopened: up to `attempts` times in a row (None: without end), the first after `delay`
    seconds, each next one `factor` times later, at most `max_delay` apart. Only a failed
    reopening counts against `attempts`: once packets come again, the next drop starts afresh."""

    attempts: Optional[int] = 10
    delay: float = 0.5
    max_delay: float = 8.0
    factor: float = 2.0

    def __post_init__(self):
        if self.attempts is not None and (not isinstance(self.attempts, int) or self.attempts < 1):
            raise ValueError(f"attempts {self.attempts!r}: a whole number of at least 1, or None")
        if not (self.delay >= 0 and self.max_delay >= self.delay and self.factor >= 1):
            raise ValueError("Reconnect needs 0 <= delay <= max_delay and factor >= 1")

    def wait(self, attempt):
        """Seconds before reopening attempt `attempt` (1, 2, ...)."""
        return min(self.max_delay, self.delay * self.factor ** (attempt - 1))


@dataclasses.dataclass(frozen=True)
class Gap:
    """A stretch of a live source that never came: `seconds` without packets (by the clock),
    about `frames` frames at the source's frame rate (None when it is unknown), because of
    `reason`; `attempts` reopenings it took (0: the timestamps jumped, the source went on);
    `at` the source time (seconds) of the last packet before it."""

    source: str
    seconds: float
    frames: Optional[int]
    reason: str
    attempts: int
    at: Optional[float]

    def __str__(self):
        frames = f" (about {self.frames} frames)" if self.frames is not None else ""
        how = f"reopened after {self.attempts} attempt{'s' if self.attempts > 1 else ''}" if self.attempts \
            else "the source went on"
        return f"{self.source}: gap of {self.seconds:.1f} s{frames}: {self.reason}; {how}"


@dataclasses.dataclass(frozen=True)
class Dropped:
    """`packets` packets of a live source dropped from its full queue (`reason`), because the
    consumer is slower than the source."""

    source: str
    packets: int
    reason: str

    def __str__(self):
        return f"{self.source}: dropped {self.packets} packets: {self.reason}"


@dataclasses.dataclass(frozen=True)
class Damaged:
    """Damaged data in a live source's stream, near frame `frame` (`text` says what): the card
    conceals it and decoding goes on. Told once until the decoder restarts (at a gap or drop)."""

    source: str
    frame: int
    text: str

    def __str__(self):
        return f"{self.text}; decoding goes on"


@dataclasses.dataclass
class Packet:
    """One access unit: `data` Annex B bytes, `pts` and `dts` in the source's `time_base` (None
    when the source has none), `key` a key frame, `discard` decoded but not shown (an edit
    list's lead-in), `discontinuity` the Gap or Dropped event just before it (or None)."""

    data: bytes
    pts: Optional[int]
    dts: Optional[int]
    key: bool
    time_base: fractions.Fraction
    discard: bool = False
    discontinuity: Any = None

    @property
    def time(self):
        """The presentation time in seconds, or None."""
        return None if self.pts is None else float(self.pts * self.time_base)


def _open(url, options, timeout):
    """The native source; StreamError (from media) for sources that are no H.264/HEVC video."""
    from .media import StreamError
    try:
        return av.Source(url, dict(options or {}), float(timeout))
    except ValueError as error:
        raise StreamError(str(error)) from None


class Source:
    """A video source open for reading (see the module's description). `options` are
    libavformat's (e.g. {"rtsp_transport": "tcp"}, {"probesize": "500000"}); `timeout` bounds
    the opening and each wait for data (seconds); `reconnect` a Reconnect (the default for
    network URLs), or None/False for none; `queue` the packets (and `queue_bytes` the bytes) a
    live source keeps for its consumer; `on_event` is called with each Gap and Dropped event on
    the consumer's thread; `name` names the source in messages (default: the URL).

    Opening raises StreamError when the source has no H.264 or HEVC video (naming the codec it
    has), OSError naming the source and libavformat's reason when it cannot be opened
    (FileNotFoundError, ConnectionRefusedError, TimeoutError...)."""

    def __init__(self, url, options=None, timeout=10.0, reconnect=True, queue=150, queue_bytes=64 << 20,
                 on_event: Optional[Callable] = None, name=None):
        self.url = os.fspath(url) if not isinstance(url, str) else url
        self.name = name or self.url
        if reconnect is True:
            reconnect = Reconnect() if is_network(self.url) else None
        self.reconnect = reconnect or None
        if queue < 1 or queue_bytes < 1:
            raise ValueError("queue and queue_bytes: at least 1")
        if not timeout > 0:
            raise ValueError(f"timeout {timeout!r}: seconds, above 0")
        self.options, self.timeout, self.queue, self.queue_bytes = dict(options or {}), timeout, queue, queue_bytes
        self.on_event = on_event
        self._native = _open(self.url, self.options, timeout)
        native = self._native
        self.codec, self.width, self.height, self.format = native.codec, native.width, native.height, native.format
        self.time_base = fractions.Fraction(*native.time_base)
        numerator, denominator = native.frame_rate
        self.frame_rate = fractions.Fraction(numerator, denominator) if numerator > 0 else None
        self.duration, self.live = native.duration, native.live
        self.elementary = native.format in ELEMENTARY  # packets without timestamps
        self.dropped = 0    # packets dropped: the queue was full, or they came before a key frame
        self.gaps = 0       # Gap events
        self.missed = 0.0   # their seconds
        self.reconnects = 0
        self.events: collections.deque = collections.deque(maxlen=100)
        self.closed = False
        self._info = None
        self._pending: collections.deque = collections.deque()  # packets read ahead (probe)
        self._need_key = True  # packets before a key frame cannot be decoded
        # Live reading: a thread fills the queue; the consumer takes from it.
        self._lock = threading.Condition()
        self._queue: collections.deque = collections.deque()
        self._bytes = 0
        self._finished = False  # the reader ended: at the end of the source, or with `_error`
        self._error: Optional[BaseException] = None
        self._interrupted = False
        self._discontinuity: Any = None  # the event the next queued packet follows
        self._offset = 0            # added to timestamps after gaps (time_base units)
        self._scale = fractions.Fraction(1)  # a reopened source's time base to the first one's
        self._last: Any = None      # (dts or pts, highest pts, clock) of the last packet queued
        self._gap_from: Any = None  # (clock, reason, attempts) of an outage, until the next packet
        self._failures = 0          # reopenings that failed since the last packet
        self._thread = None
        if self.live:
            self._thread = threading.Thread(target=self._read_loop, name=f"source {self.name}", daemon=True)
            self._thread.start()

    # ---- what it is ------------------------------------------------------------------------

    def __repr__(self):
        state = "closed" if self.closed else "live" if self.live else "file"
        return (f"<Source {self.name} {self.codec} {self.width}x{self.height} time_base={self.time_base} "
                f"frame_rate={self.frame_rate} {state} dropped={self.dropped} gaps={self.gaps}>")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def probe(self):
        """The VideoInfo of the source's first key frame, decoded by the card's stream
        information call (needs a started media engine); StreamError when its pictures are not
        ones the card decodes. The packet read to find it is still handed out by packets()."""
        if self._info is None:
            from .media import StreamError, unit_info
            if not self._pending:
                packet = self._take()
                if packet is None:
                    raise StreamError(f"{self.name}: no {CODEC_NAMES[self.codec]} key frame in the source")
                self._pending.append(packet)
            self._info = unit_info(self._pending[0].data, self.codec, self.name, source=self,
                                   what="its first key frame")
        return self._info

    # ---- reading ---------------------------------------------------------------------------

    def packets(self, report=True):
        """The source's access units as Packets, from its first key frame on, to its end (for
        live sources: until it cannot be reopened, or close() or interrupt()). With `report`,
        each packet's discontinuity is reported first (on_event, the logger); a decoder reports
        them itself once the pictures before them are out."""
        while True:
            packet = self._pending.popleft() if self._pending else self._take()
            if packet is None:
                return
            if report and packet.discontinuity is not None:
                self.report(packet.discontinuity)
            yield packet

    def report(self, event):
        """Hands an event to on_event and the "halvora" logger."""
        (log.warning if isinstance(event, Gap) else log.info)("%s", event)
        if self.on_event is not None:
            self.on_event(event)

    def _take(self):
        """The next packet: read here for files, from the queue for live sources."""
        if not self.live:
            return self._read_file()
        with self._lock:
            while not self._queue:
                if self._interrupted:
                    raise InterruptedError(f"{self.name}: interrupted")
                if self._finished:
                    if self._error is not None:
                        raise self._error
                    return None
                self._lock.wait(0.1)  # so that Ctrl-C reaches a waiting main thread
            packet = self._queue.popleft()
            self._bytes -= len(packet.data)
            return packet

    def _read_file(self):
        if self.closed:
            raise ValueError(f"{self.name}: the source is closed")
        while True:
            if self._interrupted:
                raise InterruptedError(f"{self.name}: interrupted")
            unit = self._native.read()
            if unit is None:
                return None
            data, pts, dts, key = unit
            if self._need_key and not key:
                self.dropped += 1
                continue
            self._need_key = False
            return Packet(data, pts, dts, key, self.time_base, self._native.discard)

    # ---- the live reader -------------------------------------------------------------------

    def _read_loop(self):
        try:
            self._read_live()
        finally:
            if self.closed:  # close() may have stopped waiting for this thread
                self._native.close()

    def _read_live(self):
        error: Optional[BaseException]
        while True:
            started = time.monotonic()  # when the packet was waited for: the last before a gap
            try:              # comes only once the read gives up (the demuxer's last one)
                unit = self._native.read()
            except Exception as failure:  # noqa: BLE001 - reopened, or handed to the consumer
                if self._interrupted or self.closed:
                    return self._finish(None)
                error, reason = failure, _reason(failure)
            else:
                if unit is not None:
                    self._queue_packet(unit, started)
                    continue
                error, reason = None, f"{self.name}: the source ended"
            # Ended or failed: a network source of no known length is reopened (one of a known
            # length would start again from its beginning: libavformat's HTTP options, such as
            # {"reconnect": 1}, resume those where they stopped).
            if self.reconnect is None or self.duration is not None:
                return self._finish(error)
            # Data stopped at the last packet, or `timeout` before a read gave up waiting (the
            # demuxer hands out its last packets only then).
            lost_at = time.monotonic() if self._last is None else self._last[2]
            if isinstance(error, TimeoutError):
                lost_at = min(lost_at, time.monotonic() - self.timeout)
            self._native.close()  # first: a UDP port is bound by one socket at a time
            cause, attempts = reason, 0
            while True:
                attempts += 1
                self._failures += 1
                if self.reconnect.attempts is not None and self._failures > self.reconnect.attempts:
                    return self._finish(self._given_up(error, reason))
                with self._lock:
                    self._lock.wait_for(lambda: self._interrupted or self.closed,
                                        self.reconnect.wait(self._failures))
                    if self._interrupted or self.closed:
                        return self._finish(None)
                try:
                    native = _open(self.url, self.options, self.timeout)
                except Exception as failure:  # noqa: BLE001 - tried again, or ends the reading
                    if self._interrupted or self.closed:
                        return self._finish(None)
                    error, reason = failure, _reason(failure)
                    continue
                break
            self._native = native
            if self.closed or self._interrupted:
                return self._finish(None)
            self.reconnects += 1
            with self._lock:
                self._scale = fractions.Fraction(*native.time_base) / self.time_base
                self._need_key = True
                self._gap_from = (lost_at, cause, attempts)

    def _given_up(self, error, reason):
        text = f"{reason} (reopening failed {self._failures - 1} times)"
        if isinstance(error, OSError):
            return type(error)(error.errno, text) if error.errno else type(error)(text)
        return error if error is not None else ConnectionError(text)

    def _queue_packet(self, unit, now):
        data, pts, dts, key = unit
        with self._lock:
            if self._need_key and not key:
                self.dropped += 1
                return
            self._need_key = False
            self._failures = 0
            pts, dts = self._rescale(pts), self._rescale(dts)
            first = dts if dts is not None else pts
            if self._gap_from is not None:
                lost_at, reason, attempts = self._gap_from
                self._gap_from = None
                self._gap(now - lost_at, reason, attempts, pts if pts is not None else dts)
            elif self._last is not None and first is not None and self._last[0] is not None:
                elapsed = now - self._last[2]
                before = float(self._last[0] * self.time_base)
                after = float((first + self._offset) * self.time_base)
                if not -1.0 <= after - before <= elapsed + 5.0:  # the sender restarted, say
                    self._gap(elapsed, f"timestamps jumped from {before:.3f} s to {after:.3f} s", 0,
                              pts if pts is not None else dts)
            pts, dts = self._rebased(pts), self._rebased(dts)
            packet = Packet(data, pts, dts, key, self.time_base, self._native.discard, self._discontinuity)
            self._discontinuity = None
            self._queue.append(packet)
            self._bytes += len(data)
            highest = self._last[1] if self._last is not None else None
            if pts is not None:
                highest = pts if highest is None else max(highest, pts)
            self._last = (dts if dts is not None else pts, highest, now)
            if len(self._queue) > self.queue or self._bytes > self.queue_bytes:
                self._drop()
            self._lock.notify_all()

    def _rescale(self, value):
        return None if value is None else (value if self._scale == 1 else round(value * self._scale))

    def _rebased(self, value):
        return None if value is None else value + self._offset

    def _gap(self, seconds, reason, attempts, first):
        """A Gap before the packet whose first timestamp (not rebased) is `first`: the times
        from it on follow the last presentation time before it plus the gap."""
        at = None
        if self._last is not None and self._last[1] is not None and first is not None:
            step = 1 if self.frame_rate is None else max(1, round(1 / (self.frame_rate * self.time_base)))
            self._offset = self._last[1] + max(round(seconds / self.time_base), step) - first
            at = float(self._last[1] * self.time_base)
        frames = None if self.frame_rate is None else round(seconds * self.frame_rate)
        event = Gap(self.name, seconds, frames, reason, attempts, at)
        self.gaps += 1
        self.missed += seconds
        self.events.append(event)
        self._discontinuity = event

    def _drop(self):
        """Drops the oldest packets up to the next key frame in the queue (all of them when it
        has none, and what comes until the next key frame)."""
        keys = [i for i, packet in enumerate(self._queue) if packet.key and i > 0]
        count = keys[0] if keys else len(self._queue)
        lost = None
        for _ in range(count):
            packet = self._queue.popleft()
            lost = lost or packet.discontinuity  # a gap before dropped packets is still reported
            self._bytes -= len(packet.data)
        self.dropped += count
        if not keys:
            self._need_key = True
        event = Dropped(self.name, count, "the consumer is behind; up to the next key frame" if keys else
                        "the consumer is behind; the whole queue, and what comes until the next key frame")
        self.events.append(event)
        event = lost or event
        if self._queue:
            self._queue[0].discontinuity = self._queue[0].discontinuity or event
        else:
            self._discontinuity = self._discontinuity or event

    def _finish(self, error):
        with self._lock:
            self._finished = True
            self._error = error
            self._lock.notify_all()

    # ---- ending ----------------------------------------------------------------------------

    def interrupt(self):
        """Makes a consumer waiting for packets (and the reader) give up: packets() raises
        InterruptedError. From any thread."""
        with self._lock:
            self._interrupted = True
            self._lock.notify_all()
        self._native.interrupt()

    def close(self):
        """Stops the reader and closes the source (a consumer waiting in another thread gives
        up). Idempotent."""
        if self.closed:
            return
        with self._lock:
            self.closed = True
            self._lock.notify_all()
        self._native.interrupt()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(2.0)  # past that the reader is opening a source: it closes it itself
        self._native.close()
        with self._lock:
            self._queue.clear()
            self._bytes = 0
            self._finished = True


def _reason(error):
    if isinstance(error, OSError):
        return error.strerror if error.errno and error.strerror else str(error)
    return f"{type(error).__name__}: {error}"


__all__ = ["Source", "Reconnect", "Gap", "Dropped", "Damaged", "Packet", "is_url"]
