#!/usr/bin/python3
"""Video analytics on the card: H.264 or HEVC video decoded on decoder channels, each picture turned
into the model's input by one fused preprocess op straight from the decoder's device memory,
the model run on an op stream, and per-frame results (top class and score of a classifier, or a
box list of a detector) collected from the stream's reports in order.

    examples/pipeline.py                          a generated 1080p clip and the built-in classifier
    examples/pipeline.py --input clip.h264 --streams 2 --out results.jsonl
    examples/pipeline.py --input clip.h264 --model mine.onnx --letterbox
    examples/pipeline.py --annotate annotated.mp4  each frame with its result drawn, encoded on the card
    examples/pipeline.py --input film.mkv --out results.jsonl    any file libavformat reads
    examples/pipeline.py --input rtsp://camera/stream --input-option rtsp_transport=tcp
    examples/pipeline.py --streams 4 --devices 0,2   the streams on the dies of AI devices 0 and 2
    examples/pipeline.py --input a.mp4 --input b.mkv --workers 2 --out results/
    examples/pipeline.py --input-list cameras.txt --scheduler tcp://head:8786 --out /shared/results/

Pictures go back to the decoder as soon as the fused op has read them, and each stream keeps at
most --depth runs in flight, so memory stays flat however long the input is. A live input that
drops is reopened (--reconnect, --timeout) and each gap printed; one that comes faster than the
pipeline runs has packets dropped up to the next key frame, counted in the summary. Errors end the
program with one line saying what and where, and a non-zero exit; everything on the card is
released on the way out.

On a host of several dies the streams are spread over them, each stream's decoder channel on
its die's codec device and its op and model on the die's AI device (--devices picks the dies).

Several sources (--input repeated, or --input-list) are one task each, on a Dask cluster: a local
one of --workers processes, one per die, or a running one (--scheduler). Each source's results go
to a file of its own in the --out folder (NAME.jsonl for .../NAME.mp4), written whole or not at
all, so that a source retried after its worker died or failed has its results exactly once.
Without a cluster the sources run one after another in this process.
"""
import argparse
import collections
import contextlib
import dataclasses
import functools
import io
import json
import logging
import math
import os
import pathlib
import stat
import sys
import tempfile
import threading
import time
from typing import NamedTuple

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

import halvora as hv  # noqa: E402
from halvora import Classifier, postprocessor  # noqa: E402
from halvora.samples import build_classifier, make_clip  # noqa: E402

MIB = 1 << 20


class PipelineError(Exception):
    """A problem with what the pipeline was given: printed as one line, exit status 1."""


# Results -------------------------------------------------------------------------------------

class Sink:
    """Per-frame results: written as JSON lines when asked (strict JSON: a value that is not
    finite raises ValueError instead of writing NaN), summarised per stream (only counts are
    kept, so memory does not grow with the length of the input).

    The file is opened at once, so that a place that cannot be written is found before any
    work, but keeps what it holds until begin()."""

    def __init__(self, path, streams):
        self.file = open(path, "a") if path else None
        self.lock = threading.Lock()
        self.frames = [0] * streams
        self.classes: list = [collections.Counter() for _ in range(streams)]
        self.score_sum = [0.0] * streams
        self.unscored = [0] * streams  # classifier frames whose scores were not finite
        self.boxes = [0] * streams

    def begin(self):
        """Empties the file (a regular one; not a pipe or a device): the work starts."""
        if self.file and stat.S_ISREG(os.fstat(self.file.fileno()).st_mode):
            self.file.truncate(0)

    def add(self, stream, frame, result):
        line = json.dumps({"stream": stream, "frame": frame, **result}, allow_nan=False) + "\n" if self.file else ""
        with self.lock:
            self.frames[stream] += 1
            if "class" in result:
                if result["score"] is None:
                    self.unscored[stream] += 1
                else:
                    self.classes[stream][result["class"]] += 1
                    self.score_sum[stream] += result["score"]
            else:
                self.boxes[stream] += len(result["boxes"])
                self.classes[stream].update(box["class"] for box in result["boxes"])
            if self.file:
                self.file.write(line)

    def close(self):
        if self.file:
            self.file.close()


# Annotated video -----------------------------------------------------------------------------

ANNOTATED = (".mp4", ".m4v", ".mkv", ".mov")  # the containers --annotate writes
COLOURS = [(255, 64, 64), (64, 255, 64), (64, 160, 255), (255, 255, 64), (255, 64, 255), (64, 255, 255)]


def annotation_path(path, stream, streams):
    """Stream `stream`'s annotated file: `path` itself for one stream; with several,
    NAME-0.mp4, NAME-1.mp4... beside it."""
    if streams == 1:
        return str(path)
    path = pathlib.Path(path)
    return str(path.with_name(f"{path.stem}-{stream}{path.suffix}"))


def label(rgb, text, corner, colour, scale, thickness):
    """`text` on a dark band whose top left is `corner` (kept inside the picture)."""
    import cv2
    (width, height), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)
    x = int(min(max(corner[0], 0), max(rgb.shape[1] - width - 4, 0)))
    y = int(min(max(corner[1], 0), max(rgb.shape[0] - height - base - 4, 0)))
    cv2.rectangle(rgb, (x, y), (x + width + 4, y + height + base + 4), (0, 0, 0), cv2.FILLED)
    cv2.putText(rgb, text, (x + 2, y + height + 2), cv2.FONT_HERSHEY_SIMPLEX, scale, colour, thickness, cv2.LINE_AA)


def draw_result(rgb, result):
    """Draws a frame's result on its RGB picture, in place: a classifier's class and score at the
    top left, or each box of a detector with its class and score above it."""
    import cv2
    scale = max(0.4, rgb.shape[0] / 720)
    thickness = max(1, round(scale * 2))
    if "boxes" not in result:
        text = "no class" if result["class"] is None else f"class {result['class']} {result['score']:.3f}"
        label(rgb, text, (0, 0), (255, 255, 255), scale, thickness)
        return
    for box in result["boxes"]:
        x1, y1, x2, y2 = (int(round(v)) for v in box["box"])
        colour = COLOURS[box["class"] % len(COLOURS)]
        cv2.rectangle(rgb, (x1, y1), (x2, y2), colour, thickness)
        _, text_height = cv2.getTextSize("0", cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)[0]
        label(rgb, f"{box['class']} {box['score']:.2f}", (x1, y1 - text_height - 8), colour, scale, thickness)


class Annotator:
    """One stream's frames with their results drawn, encoded on the card into a video file
    (hv.Writer). The worker keeps each frame's picture as RGB (converted on the card before the
    frame goes back) until the frame's result comes, then draws and writes it, in frame order:
    it keeps at most the pictures of the runs in flight."""

    def __init__(self, path, fps, device=None):
        self.path = path
        # The encoder's fastest preset; a stream that does not say its rate: 25 pictures a second.
        # The pictures are converted to NV12 on the stream's AI device (None: the selected one).
        self.writer = hv.Writer(path, fps or 25, quality="veryfast", device=device)
        self.pictures: dict = {}
        self.ready: collections.deque = collections.deque()
        self.frames = 0
        self.seconds = 0.0

    def keep(self, frame, now):
        """Keeps the frame's picture; returns the clock after it."""
        rgb = frame.to_ndarray("rgb24")
        self.pictures[frame.index] = rgb[:rgb.shape[0] & ~1, :rgb.shape[1] & ~1]  # the encoder takes even sizes
        clock = time.perf_counter()
        self.seconds += clock - now
        return clock

    def result(self, frame, result):
        """A frame's result (on the op stream's thread)."""
        self.ready.append((frame, result))

    def write_ready(self, now):
        """Draws and writes the frames whose results came; returns the clock after it."""
        while self.ready:
            frame, result = self.ready.popleft()
            rgb = self.pictures.pop(frame)
            draw_result(rgb, result)
            self.writer.write(rgb)
            self.frames += 1
        clock = time.perf_counter()
        self.seconds += clock - now
        return clock

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.writer.__exit__(*exc)


# Placement -----------------------------------------------------------------------------------

class Die(NamedTuple):
    """A die that runs streams: its card and place on it, its AI device and its codec device
    (the device indices count the dies that have one, across the cards)."""
    card: int
    die: int
    device: int
    codec: int

    def __str__(self):
        return f"card {self.card} die {self.die} (AI device {self.device}, codec device {self.codec})"


def host_devices():
    """({(card, die): AI device}, {(card, die): codec device}, number of codec devices) from the
    management library; None when it does not start."""
    status = hv.zeml.init()
    if status not in (0, hv.zeml.opStatus.ZEML_ERROR_INITIALIZED):
        return None
    try:
        def table(count, info):
            return {(d.dieIndex.cardId, d.dieIndex.dieId): index for index, d in enumerate(info(count()))}
        return (table(hv.zeml.getAiDeviceCount, hv.zeml.getAiDevInfo),
                table(hv.zeml.getCodecDeviceCount, hv.zeml.getCodecDevInfo), hv.zeml.getCodecDeviceCount())
    finally:
        if status == 0:
            hv.zeml.shutDown()


def usable_dies(options):
    """The dies the streams may use, in AI device order, with the number of codec devices: those
    of --devices, else every die with an AI device and a codec device; ([], 0) with --device (one
    AI device for every stream) or when the host's inventory cannot be read. Refuses an index of
    --devices that is no AI device, or whose die has no codec device."""
    found = None if options.device is not None else host_devices()
    if found is None:
        if options.devices:
            raise PipelineError("--devices: the host's dies cannot be read (the management library did not start)")
        return [], 0
    ai, codec, codecs = found
    dies = {device: Die(card, die, device, codec.get((card, die))) for (card, die), device in ai.items()}
    if options.devices is None:
        return [die for _, die in sorted(dies.items()) if die.codec is not None], codecs
    for device in options.devices:
        if device not in dies:
            have = f"AI devices 0 to {len(dies) - 1}" if dies else "no AI device"
            raise PipelineError(f"--devices: no AI device {device}; the host has {have}")
        if dies[device].codec is None:
            die = dies[device]
            raise PipelineError(f"--devices: AI device {device} is on card {die.card} die {die.die}, "
                                "which has no codec device")
    return [dies[device] for device in dict.fromkeys(options.devices)], codecs


def place(streams, dies):
    """Each stream's die: the die running the fewest streams so far, the next in turn after the
    last one chosen among equals (round robin over the least loaded)."""
    running = [0] * len(dies)
    chosen, last = [], -1
    for _ in range(streams):
        least = min(running)
        turn = next(k % len(dies) for k in range(last + 1, last + 1 + len(dies)) if running[k % len(dies)] == least)
        running[turn] += 1
        chosen.append(dies[turn])
        last = turn
    return chosen


def open_decoder(options, label, die, codecs):
    """The stream's decoder: without a die, on the first free channel (as a single device
    runs); on a die, on the first free channel of the die's codec device (channel c runs on
    codec device c mod the number of codec devices), its pictures in the die's AI device memory."""
    if die is None:
        return hv.Decoder(crop=options.crop, name=label, extra=options.extra)
    for channel in range(die.codec, hv.media.CHANNELS, codecs):
        try:
            return hv.Decoder(crop=options.crop, name=label, extra=options.extra, channel=channel, device=die.device)
        except hv.CardError as error:
            if error.status != hv.media.CHANNEL_EXISTS:
                raise
    raise hv.CardError(f"{label}: every decoder channel of codec device {die.codec} is in use")


# One stream ----------------------------------------------------------------------------------

class Stages:
    """Seconds spent per stage, summed over frames."""

    NAMES = ("decode", "wait", "preprocess", "submit", "inference", "post")

    def __init__(self):
        self.seconds = dict.fromkeys(self.NAMES, 0.0)

    def add(self, name, seconds):
        self.seconds[name] += seconds


class StreamWorker(threading.Thread):
    """Decodes one copy of the input and runs every picture through the op and the model.

    The model's inputs are the op stream's own (ModelStream.input()): each belongs to its run
    until the run's outputs have been handed to _collect, and the stream gives it back then,
    whatever happened to the run. The first failure, in this thread or in _collect, stops
    every stream and is kept in `error`, naming the stream and, for a run, its frame."""

    def __init__(self, index, path, model, op_settings, post, sink, stop, options, source=None, die=None, codecs=0):
        super().__init__(name=f"stream-{index}", daemon=True)
        self.index, self.path, self.model = index, path, model
        self.label = f"stream {index} ({path})"
        self.source = source  # the input opened (an hv.Source), here or in _run
        # The die the stream runs on (None: every stream on --device, default 0), and how many
        # codec devices the host has (channel numbers go round them).
        self.die, self.codecs = die, codecs
        self.device = die.device if die is not None else options.device or 0
        self.kind, self.settings = op_settings
        self.post, self.sink, self.stop, self.options = post, sink, stop, options
        self.stages = Stages()
        self.submitted = self.done = 0
        self.frame = None  # the frame being fed to the model
        self.annotator: Annotator | None = None
        self.error: BaseException | None = None
        self.started_at = self.finished_at = None
        # Set when run() has ended. The main thread waits on it rather than join(): a join cut
        # short by Ctrl-C can leave the thread taken for ended while it still runs.
        self.ended = threading.Event()

    def run(self):
        try:
            self._run()
        except hv.CardError as error:
            if not str(error).startswith(self.label):  # the decoder's own errors name the stream
                frame = f"frame {self.frame}: " if self.frame is not None else ""
                error = hv.CardError(f"{self.label}: {frame}{error.what}", error.status) if error.status is not None \
                    else hv.CardError(f"{self.label}: {frame}{error}")
            self._fail(error)
        except InterruptedError as error:  # the pipeline stopped, and interrupted the source
            if not self.stop.is_set():
                self._fail(error)
        except BaseException as error:  # noqa: BLE001  (handed to the main thread)
            self._fail(error)
        finally:
            self.finished_at = time.perf_counter()
            self.ended.set()

    def interrupt(self):
        """Makes a live source's wait for data give up (from the main thread, once stopping)."""
        source = self.source
        if source is not None and source.live:
            source.interrupt()

    def event(self, event):
        """A gap or drop of the input (on this thread): gaps are printed, drops counted."""
        if not isinstance(event, hv.Dropped):
            print(f"pipeline: {event}", file=sys.stderr, flush=True)

    def _fail(self, error):
        if self.error is None:
            self.error = error
        self.stop.set()

    def _collect(self, tag, arrays, error):
        """A run's outputs (or why there are none), on the op stream's thread."""
        frame, submitted, seconds = tag
        if error is not None:
            self._fail(hv.CardError(f"{self.label}: frame {frame}: {error.what}", error.status))
            return
        if self.error is not None:
            # Once a run's outputs could not be taken, the runs after it may be handed the
            # outputs of the one before: none of them is written.
            return
        try:
            start = time.perf_counter()
            self.stages.add("inference", start - submitted)
            result = self.post(arrays)
            self.sink.add(self.index, frame, {"time": seconds, **result})
            if self.annotator is not None:
                self.annotator.result(frame, result)
            self.done += 1
            self.stages.add("post", time.perf_counter() - start)
        except BaseException as failure:  # noqa: BLE001  (ends the pipeline like any other error)
            self._fail(failure)

    def _free_input(self, stream):
        """A free model input of the stream, waited for; None once the pipeline stops."""
        while not self.stop.is_set():
            tensor = stream.input(timeout=0.2)
            if tensor is not None:
                return tensor
        return None

    def _run(self):
        options = self.options
        with contextlib.ExitStack() as stack:
            decoder = stack.enter_context(open_decoder(options, self.label, self.die, self.codecs))
            if self.source is None:
                self.source = open_source(self.path, options, self.label, self.event)
            stack.callback(self.source.close)
            pictures: dict = {}  # datasets over the decoder's picture blocks, which it reuses
            stack.callback(lambda: [dataset.close() for dataset in pictures.values()])
            op = stack.enter_context(hv.FusedOp(self.kind, **self.settings))
            if options.annotate:
                self.annotator = stack.enter_context(Annotator(
                    annotation_path(options.annotate, self.index, options.streams), options.fps,
                    None if self.die is None else self.die.device))
            annotator = self.annotator
            # Entered last, closed first: the runs still queued are delivered before the rest goes.
            stream = stack.enter_context(hv.ModelStream(self.model, on_output=self._collect, mode="run",
                                                        depth=options.depth,
                                                        device=None if self.die is None else self.die.device))
            frames = decoder.frames(self.source)
            self.started_at = time.perf_counter()
            clock = self.started_at
            while not self.stop.is_set() and (options.limit is None or self.submitted < options.limit):
                frame = next(frames, None)
                now = time.perf_counter()
                self.stages.add("decode", now - clock)
                if frame is None:
                    break
                self.frame = frame.index
                with frame:
                    if annotator is not None:
                        now = annotator.keep(frame, now)
                    tensor = self._free_input(stream)
                    if tensor is None:
                        break
                    with tensor:  # given back to the stream if it is not submitted
                        clock = time.perf_counter()
                        self.stages.add("wait", clock - now)
                        op.set(**hv.picture_settings(frame))
                        key = (frame.address, frame.size)
                        if key not in pictures:
                            if len(pictures) >= 64:
                                for dataset in pictures.values():
                                    dataset.close()
                                pictures.clear()
                            pictures[key] = hv.Dataset([key], self.device)
                        op.execute(pictures[key], tensor)
                        # The picture goes back to the decoder; the model's input is the stream's own memory.
                        frame.release()
                        now = time.perf_counter()
                        self.stages.add("preprocess", now - clock)
                        seconds = None if frame.time is None else round(frame.time, 6)
                        stream.submit(tensor, (frame.index, now, seconds))
                self.frame = None
                self.submitted += 1
                clock = time.perf_counter()
                self.stages.add("submit", clock - now)
                if annotator is not None:
                    clock = annotator.write_ready(clock)
            stream.synchronize()
            if self.error is not None:
                raise self.error
            if annotator is not None:
                annotator.write_ready(time.perf_counter())


# The whole run -------------------------------------------------------------------------------

def parse_size(text):
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT") from None
    if width < 64 or height < 64 or width % 2 or height % 2:
        raise argparse.ArgumentTypeError(f"{text}: even sizes of at least 64 x 64")
    return width, height


def parse_triple(text):
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) != 3 or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"{text}: three finite numbers separated by commas")
    return values


def parse_deviations(text):
    values = parse_triple(text)
    if min(values) <= 0:
        raise argparse.ArgumentTypeError(f"{text}: deviations above 0 (the values are divided by them)")
    return values


def bounded(kind, low, high=None):
    """An argument type: a finite number of `kind` (int or float) from `low` to `high` (None: no
    upper bound)."""
    wanted = f"{'a whole number' if kind is int else 'a number'}, " + (f"{low} to {high}" if high is not None
                                                                       else f"at least {low}")

    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"{text}: {wanted}")
        return value
    return parse


class Parser(argparse.ArgumentParser):
    """Bad arguments end the program with one line (and exit status 2), as its other errors do."""

    def error(self, message):
        self.exit(2, f"pipeline: error: {' '.join(message.split())} (--help lists the options)\n")


def parse_option(text):
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"{text}: KEY=VALUE")
    return key, value


def device_list(text):
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        values = []
    if not values or min(values) < 0:
        raise argparse.ArgumentTypeError(f"{text}: AI device indices separated by commas, e.g. 0,2")
    return values


def joined(values):
    return ",".join(str(v) for v in values)


def arguments(argv=None):
    parser = Parser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--input", metavar="PATH", action="append", default=[],
                        help="a video file or URL that libavformat reads, H.264 or HEVC: MP4, MOV, MKV, MPEG-TS, "
                             "FLV, a raw stream; rtsp://, http(s):// (also HLS), udp://, rtp://; repeat it for "
                             "several sources (default: a clip made with the card's encoder)")
    parser.add_argument("--input-list", metavar="FILE",
                        help="a file listing sources, one path or URL per line (# starts a comment)")
    parser.add_argument("--input-option", action="append", type=parse_option, default=[], metavar="KEY=VALUE",
                        help="a libavformat option for --input, e.g. rtsp_transport=tcp (repeatable)")
    parser.add_argument("--timeout", type=bounded(float, 0.1), default=10.0, metavar="SECONDS",
                        help="how long --input may take to open or to send data (default: %(default)s)")
    parser.add_argument("--reconnect", type=bounded(int, 0), default=10, metavar="N",
                        help="a network input that stops is reopened up to N times in a row, with back-off; "
                             "0: never (default: %(default)s)")
    parser.add_argument("--streams", type=bounded(int, 1, 16), default=1, metavar="N",
                        help="decode N copies in parallel, 1 to 16 (default: %(default)s)")
    parser.add_argument("--model", metavar="PATH",
                        help="an ONNX model with a [1, 3, H, W] float16, float32 or uint8 input "
                             "(default: a small built-in classifier)")
    parser.add_argument("--out", metavar="FILE", help="write per-frame results as JSON lines; with several sources or "
                        "a cluster, a folder of one NAME.jsonl per source (default: no file)")
    parser.add_argument("--annotate", metavar="FILE",
                        help="write each frame with its result drawn, encoded on the card, to FILE (.mp4, .mkv or "
                             ".mov); with several streams one file each, FILE-0.mp4, FILE-1.mp4...; with several "
                             "sources or a cluster, a folder of one NAME.mp4 per source (default: none)")
    parser.add_argument("--letterbox", action="store_true", help="keep the picture's shape, padded (default: resize)")
    parser.add_argument("--bgr", action="store_true", help="channels in B, G, R order (default: R, G, B)")
    parser.add_argument("--mean", type=parse_triple, default=joined(hv.preprocess.IMAGENET_MEAN), metavar="M,M,M",
                        help="per-channel mean of x / 255 for float inputs (default: ImageNet's, %(default)s)")
    parser.add_argument("--std", type=parse_deviations, default=joined(hv.preprocess.IMAGENET_STD), metavar="S,S,S",
                        help="per-channel deviation of x / 255, above 0 (default: ImageNet's, %(default)s)")
    parser.add_argument("--threshold", type=bounded(float, 0, 1), default=0.25, metavar="SCORE",
                        help="detectors: the lowest score kept, 0 to 1 (default: %(default)s)")
    parser.add_argument("--depth", type=bounded(int, 1, 32), default=4, metavar="N",
                        help="runs in flight per stream, 1 to 32 (default: %(default)s)")
    parser.add_argument("--limit", type=bounded(int, 1), metavar="N",
                        help="at most N frames per stream (default: no limit)")
    parser.add_argument("--clip-size", type=parse_size, default="1920x1080", metavar="WxH",
                        help="size of the generated clip (default: %(default)s)")
    parser.add_argument("--clip-frames", type=bounded(int, 1), default=240, metavar="N",
                        help="frames of the generated clip (default: %(default)s)")
    parser.add_argument("--device", type=bounded(int, 0), metavar="N",
                        help="one AI device for every stream, its decoder channels on the first free channels "
                             "(default: the streams spread over the dies, see --devices)")
    parser.add_argument("--devices", type=device_list, metavar="LIST",
                        help="the dies to spread the streams over, by AI device index, e.g. 0,2; each stream goes "
                             "to the die running the fewest, in turn (default: every die with an AI device and a "
                             "codec device)")
    parser.add_argument("--workers", type=bounded(int, 1, 64), metavar="N",
                        help="run the sources on a local Dask cluster of N worker processes, each on one die in turn "
                             "(default: no cluster)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run the sources on the Dask cluster of this scheduler, e.g. tcp://head:8786, whose "
                             "workers offer the resource streams=N: python3 -m halvora.cluster ADDRESS --device N "
                             "starts one (default: no cluster)")
    parser.add_argument("--per-die", type=bounded(int, 1, 16), default=1, metavar="N",
                        help="with --workers: sources each worker's die runs at once (default: %(default)s)")
    parser.add_argument("--retries", type=bounded(int, 0, 10), default=2, metavar="N",
                        help="with several sources: a source that fails is tried again up to N times "
                             "(default: %(default)s)")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    options = parser.parse_args(argv)
    if options.device is not None and options.devices is not None:
        parser.error("--device and --devices: one or the other")
    if options.workers is not None and options.scheduler is not None:
        parser.error("--workers and --scheduler: one or the other")
    if options.input_list is not None:
        try:
            options.input += cluster_package().read_source_list(options.input_list)
        except OSError as error:
            parser.error(f"--input-list: {options.input_list}: {error.strerror}")
        except UnicodeDecodeError:
            parser.error(f"--input-list: {options.input_list}: not a text file")
    options.many = len(options.input) > 1 or options.input_list is not None or options.workers or options.scheduler
    if options.many:
        if not options.input:
            parser.error("--input-list: no sources listed")
        if options.streams != 1:
            parser.error("--streams: several sources or a cluster run one stream per source")
    options.inputs, options.input = options.input, options.input[0] if len(options.input) == 1 else None
    options.extra, options.crop, options.fps = 0, False, 0.0
    return options


def progress_line(workers, telemetry, began):
    now = time.perf_counter()
    parts = [f"{sum(w.done for w in workers)} frames"]
    for w in workers:
        elapsed = (w.finished_at or now) - (w.started_at or now)
        parts.append(f"s{w.index} {w.done / elapsed if elapsed > 0 else 0:.1f} fps")
    if telemetry is not None:
        try:
            used, total = telemetry.memory()
            load = telemetry.load()
            parts.append(f"card memory {used / MIB:.0f}/{total / MIB:.0f} MiB")
            parts.append(f"AI {load['ai']}% VDSP {load['vdsp']}% VDEC {load['vdec']}%")
        except hv.CardError:
            pass
    parts.append(f"{now - began:.1f} s")
    return " | ".join(parts)


def open_model(stack, path, folder):
    """The model, loaded; a float32 image input is declared float16 in a copy (cast back inside),
    so that the fused op writes it directly."""
    model = stack.enter_context(hv.Model(path))
    if len(model.inputs) != 1:
        raise PipelineError(f"{path}: the model has {len(model.inputs)} inputs; one image input is needed")
    try:
        hv.check_image_input(model.inputs[0])
    except hv.InputMismatch as error:
        raise hv.InputMismatch(f"{path}: {error}") from None
    if model.inputs[0].dtype == np.float32:
        copy = pathlib.Path(folder) / "model-float16-input.onnx"
        if hv.float16_input(path, copy):
            model.close()
            model = stack.enter_context(hv.Model(copy))
            model.path = str(path)
    return model


def check_paths(options):
    """Refuses, before any work, an --input or --model that is no file to read, and an --out
    that would overwrite one of them."""
    if options.input and hv.sources.is_url(options.input):
        if options.streams > 1 and options.input.startswith(("udp:", "rtp:")):
            raise PipelineError(f"{options.input}: a {options.input.split(':')[0]} source has one reader: --streams 1")
    for option, path in (("--input", options.input), ("--model", options.model)):
        if path is None or (option == "--input" and hv.sources.is_url(path)):
            continue
        if not os.path.exists(path):
            raise PipelineError(f"{path}: no such file")
        if os.path.isdir(path):
            raise PipelineError(f"{path}: a directory; {option} takes a file")
    if options.out:
        if os.path.isdir(options.out):
            raise PipelineError(f"{options.out}: a directory; --out takes a file to write")
        for option, path in (("--input", options.input), ("--model", options.model)):
            if path and os.path.exists(path) and os.path.exists(options.out) and os.path.samefile(path, options.out):
                raise PipelineError(f"{options.out}: --out would overwrite the {option} file")
    if options.annotate:
        check_annotation(options)


def check_annotation(options):
    """Refuses an --annotate file of another container, in a missing folder, or that is a directory
    or one of the other files."""
    if os.path.splitext(options.annotate)[1].lower() not in ANNOTATED:
        raise PipelineError(f"{options.annotate}: --annotate writes {', '.join(ANNOTATED)} files")
    folder = os.path.dirname(os.path.abspath(options.annotate))
    if not os.path.isdir(folder):
        raise PipelineError(f"{options.annotate}: no folder {folder} to write it in")
    for stream in range(options.streams):
        target = annotation_path(options.annotate, stream, options.streams)
        if os.path.isdir(target):
            raise PipelineError(f"{target}: a directory; --annotate takes a file to write")
        for option, path in (("--input", options.input), ("--model", options.model), ("--out", options.out)):
            if path and os.path.exists(path) and os.path.exists(target) and os.path.samefile(path, target):
                raise PipelineError(f"{target}: --annotate would overwrite the {option} file")


def open_source(path, options, name, on_event):
    """The input as an hv.Source: libavformat's options from --input-option, --timeout, and
    --reconnect for network inputs."""
    reconnect = hv.Reconnect(attempts=options.reconnect) if options.reconnect else None
    try:
        return hv.Source(path, dict(options.input_option), options.timeout, reconnect, on_event=on_event, name=name)
    except TypeError as error:  # an option libavformat does not know
        raise PipelineError(f"--input-option: {error}") from None


def open_sink(options):
    """The results' Sink, its file opened (not emptied) to find out now whether it can be written."""
    try:
        return Sink(options.out, options.streams)
    except OSError as error:
        raise PipelineError(f"{options.out}: cannot write the results there ({error.strerror})") from None


def run(options, log=None):
    """Runs the pipeline; returns its summary as a dict. Raises PipelineError, hv.CardError,
    hv.StreamError, hv.InputMismatch or OSError with a message that says what and where; once
    the streams have started, the summary of the work done is printed first (to `log`, standard
    output by default), also when the run ends with an error or a KeyboardInterrupt."""
    log = sys.stdout if log is None else log
    check_paths(options)
    dies, codecs = usable_dies(options)
    placement = place(options.streams, dies) if dies else [None] * options.streams
    if options.devices is None and len(set(placement)) == 1 and placement[0] in (None, Die(0, 0, 0, 0)):
        placement = [None] * options.streams  # one die, the first: every stream on AI device 0, as it always ran
    device = placement[0].device if placement[0] is not None else options.device or 0
    stop = threading.Event()
    with contextlib.ExitStack() as stack:
        sink = open_sink(options)
        stack.callback(sink.close)
        folder = stack.enter_context(tempfile.TemporaryDirectory(prefix="pipeline-"))
        stack.enter_context(hv.Card(device))
        stack.enter_context(hv.Media())
        if options.input:
            path = options.input
        else:
            width, height = options.clip_size
            began = time.perf_counter()
            path = make_clip(pathlib.Path(folder) / "clip.h264", width, height, options.clip_frames)
            print(f"made a {width}x{height} H.264 clip of {options.clip_frames} frames with the card's encoder "
                  f"in {time.perf_counter() - began:.1f} s", file=log)
        first = None  # a network input is opened once for stream 0 and its probe
        if hv.sources.is_url(path):
            label = f"stream 0 ({path})"
            first = stack.enter_context(open_source(path, options, label, lambda event: print(
                f"pipeline: {event}", file=sys.stderr, flush=True)))
            info = first.probe()
        else:
            try:
                info = hv.probe(path, options=dict(options.input_option), timeout=options.timeout)
            except TypeError as error:  # an option libavformat does not know
                raise PipelineError(f"--input-option: {error}") from None
        options.crop = info.offset != (0, 0)
        options.fps = info.fps
        model_path = options.model or build_classifier(pathlib.Path(folder) / "classifier.onnx")
        model = open_model(stack, model_path, folder)
        tensor = model.inputs[0]
        try:
            kind, settings = hv.tensor_settings(tensor, letterbox=options.letterbox, bgr=options.bgr,
                                                mean=options.mean, std=options.std)
        except hv.InputMismatch as error:
            raise hv.InputMismatch(f"{model.path}: {error}") from None
        try:
            post = postprocessor(model, info.size, options.letterbox, options.threshold)
        except ValueError as error:  # an output that is neither a classifier's nor a detector's
            raise PipelineError(str(error)) from None
        try:
            telemetry = stack.enter_context(hv.Telemetry(device))
        except hv.CardError:
            telemetry = None  # no management library: no card figures in the progress line
        codec = {"h264": "H.264", "hevc": "HEVC"}[info.codec or "h264"]
        print(f"{options.streams} stream{'s' if options.streams > 1 else ''} of {path}: {info.size[0]}x{info.size[1]} "
              f"{codec}{' (live)' if info.live else ''} -> {kind} to {tensor.dtype.name}{tensor.shape} -> "
              f"{os.path.basename(model.path)} ({post.kind})", file=log)
        workers = [StreamWorker(i, path, model, (kind, settings), post, sink, stop, options, first if i == 0 else None,
                                placement[i], codecs) for i in range(options.streams)]
        if first is not None:
            first.on_event = workers[0].event
        sink.begin()
        began = time.perf_counter()
        tty = hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
        shown = began
        interrupted = None
        try:
            for worker in workers:
                worker.start()
            while not all(worker.ended.is_set() for worker in workers):
                for worker in workers:
                    worker.ended.wait(0.25)
                if stop.is_set():  # a stream failed: the others stop, also those waiting for data
                    for worker in workers:
                        worker.interrupt()
                if not options.quiet and time.perf_counter() - shown >= (1.0 if tty else 5.0):
                    shown = time.perf_counter()
                    line = progress_line(workers, telemetry, began)
                    print(f"\r{line}\033[K" if tty else line, end="" if tty else "\n", file=sys.stderr, flush=True)
        except BaseException as error:  # Ctrl-C, mostly: the streams stop, what they did is summarised
            interrupted = error
            stop.set()
            for worker in workers:
                worker.interrupt()
            wait_for(workers)
        finally:
            if tty and not options.quiet:
                print(file=sys.stderr)
        wall = time.perf_counter() - began
        summary = summarise(workers, sink, wall, path, log)
        if interrupted is not None:
            raise interrupted
        errors = [worker.error for worker in workers if worker.error is not None]
        if errors:
            raise errors[0]
        return summary


def wait_for(workers):
    """Waits until every worker that started has ended (the runs it queued are delivered by
    then), however often Ctrl-C is pressed meanwhile: what they use is closed next."""
    for worker in workers:
        while worker.ident is not None and not worker.ended.is_set():
            try:
                worker.ended.wait()
            except KeyboardInterrupt:
                pass


def summarise(workers, sink, wall, path, log):
    frames = sum(sink.frames)
    streams = []
    for worker in workers:
        i = worker.index
        started, finished = worker.started_at, worker.finished_at
        elapsed = finished - started if started is not None and finished is not None else 0.0
        entry = {"stream": i, "frames": sink.frames[i], "fps": sink.frames[i] / elapsed if elapsed > 0 else 0.0,
                 "classes": dict(sink.classes[i].most_common())}
        top = ", ".join(f"{label} ({count})" for label, count in sink.classes[i].most_common(3)) or "-"
        if isinstance(worker.post, Classifier):
            scored = sink.frames[i] - sink.unscored[i]
            entry["mean_score"] = sink.score_sum[i] / scored if scored else 0.0
            entry["unscored"] = sink.unscored[i]
            text = f"top classes {top}; mean score {entry['mean_score']:.3f}"
            if sink.unscored[i]:
                text += f"; {sink.unscored[i]} frames without finite scores"
        else:
            entry["boxes"] = sink.boxes[i]
            text = f"{sink.boxes[i]} boxes; classes {top}"
        source = worker.source
        if source is not None and source.live:
            entry.update(dropped=source.dropped, gaps=source.gaps, missed=source.missed)
            text += f"; live: {source.gaps} gaps ({source.missed:.1f} s missed), {source.dropped} packets dropped"
        if worker.die is not None:
            entry["die"] = worker.die._asdict()
            text += f"; on {worker.die}"
        print(f"stream {i}: {sink.frames[i]} frames, {entry['fps']:.1f} fps; {text}", file=log)
        if worker.annotator is not None:
            entry["annotated"] = {"path": worker.annotator.path, "frames": worker.annotator.frames}
            per_frame = worker.annotator.seconds / max(worker.annotator.frames, 1) * 1e3
            print(f"stream {i}: {worker.annotator.frames} frames annotated to {worker.annotator.path} "
                  f"({per_frame:.1f} ms a frame)", file=log)
        streams.append(entry)
    stages = {name: sum(w.stages.seconds[name] for w in workers) / max(frames, 1) for name in Stages.NAMES}
    fps = frames / wall if wall > 0 else 0.0
    print(f"total: {frames} frames in {wall:.2f} s, {fps:.1f} fps "
          f"({len(workers)} stream{'s' if len(workers) > 1 else ''})", file=log)
    print("per frame: decode {decode_ms:.2f} ms, preprocess {pre:.2f} ms, inference latency {inf:.2f} ms, "
          "post-process {post:.2f} ms; waiting for a free input {wait:.2f} ms".format(
              decode_ms=stages["decode"] * 1e3, pre=stages["preprocess"] * 1e3, inf=stages["inference"] * 1e3,
              post=stages["post"] * 1e3, wait=stages["wait"] * 1e3), file=log, flush=True)
    return {"input": str(path), "frames": frames, "seconds": wall, "fps": fps,
            "streams": streams, "stages_ms": {k: v * 1e3 for k, v in stages.items()}}


def main(argv=None):
    options = arguments(argv)
    try:
        run_many(options) if options.many else run(options)
    except KeyboardInterrupt:
        print("pipeline: interrupted", file=sys.stderr)
        return 130
    except (PipelineError, hv.CardError, hv.InputMismatch, OSError, ValueError) as error:
        text = " ".join(str(error).split())
        if isinstance(error, OSError) and error.filename and str(error.filename) not in text:
            text = f"{error.filename}: {text}"
        print(f"pipeline: error: {text}", file=sys.stderr)
        return 1
    except Exception as error:  # noqa: BLE001  (a fault of the pipeline itself: still one line)
        print(f"pipeline: internal error: {type(error).__name__}: {' '.join(str(error).split())}", file=sys.stderr)
        return 3
    return 0


# Many sources ----------------------------------------------------------------------------------

def cluster_package():
    """halvora.cluster, imported when first needed (it imports Dask)."""
    import halvora.cluster
    return halvora.cluster


def run_source(options, source, device, paths):
    """One source's job (on a cluster worker, or here): the pipeline on AI device `device`, its
    results and annotated video written to `paths` ({".jsonl": ..., ".mp4": ...}). Returns the
    source's summary; raises the pipeline's error."""
    single = argparse.Namespace(**{**vars(options), "input": source, "inputs": [source], "many": False, "streams": 1,
                                   "device": None, "devices": [device], "quiet": True,
                                   "out": paths.get(".jsonl"), "annotate": paths.get(".mp4")})
    summary = run(single, log=io.StringIO())
    return {"frames": summary["frames"], "fps": summary["fps"], "stream": summary["streams"][0]}


def local_devices(options):
    """The AI devices a local cluster's workers take in turn: --device, --devices or every die."""
    if options.device is not None:
        return [options.device]
    return [die.device for die in usable_dies(options)[0]] or [0]


@contextlib.contextmanager
def cluster_client(options):
    """A Dask client of the local cluster (--workers) or of the scheduler (--scheduler), once a
    worker has joined or --timeout has passed; None without either. The local cluster's workers
    import this module from its folder."""
    if not (options.workers or options.scheduler):
        yield None
        return
    import distributed
    logging.getLogger("distributed").setLevel(logging.ERROR)
    with contextlib.ExitStack() as stack:
        if options.workers:
            cluster = stack.enter_context(cluster_package().local_cluster(
                options.workers, local_devices(options), options.per_die, paths=[ROOT / "examples", ROOT / "python"]))
        else:
            cluster = options.scheduler
        try:
            client = distributed.Client(cluster, timeout=options.timeout)
        except OSError as error:
            raise PipelineError(f"{options.scheduler}: no scheduler answers ({' '.join(str(error).split())})") from None
        stack.callback(close_client, client)
        with contextlib.suppress(TimeoutError):  # no worker yet: the run says so
            client.wait_for_workers(options.workers or 1, timeout=options.timeout)
        yield client


def close_client(client):
    """Closes the client; a scheduler already gone is no error then (the run says so)."""
    with contextlib.suppress(OSError, TimeoutError):
        client.close(timeout=2)


def plural(count):
    return "" if count == 1 else "s"


def run_many(options, log=None):
    """Runs the pipeline once per source (one task each on a cluster); prints each source's end
    as it comes and a total; returns the summary as a dict. Raises PipelineError when a source
    failed (after the summary) or the cluster was lost."""
    log = sys.stdout if log is None else log
    for option, path in (("--out", options.out), ("--annotate", options.annotate)):
        if path and os.path.exists(path) and not os.path.isdir(path):
            raise PipelineError(f"{path}: not a folder; with several sources {option} names a folder")
    module = sys.modules.get("pipeline") or __import__("pipeline")  # pickled by name, not as __main__
    job = functools.partial(module.run_source, options)
    extra = {".mp4": options.annotate} if options.annotate else None
    began = time.perf_counter()
    with cluster_client(options) as client:
        workers = len(client.scheduler_info()["workers"]) if client is not None else 0
        where = "in this process" if client is None else f"on a cluster of {workers} worker{plural(workers)}"
        print(f"{len(options.inputs)} source{plural(len(options.inputs))} {where}", file=log, flush=True)
        try:
            results = cluster_package().run_sources(
                job, options.inputs, options.out, extra, client, options.retries,
                None if client is not None else local_devices(options)[0],
                on_result=lambda result: print(result.describe(), file=log, flush=True))
        except cluster_package().SchedulerGone:
            raise PipelineError(f"{options.scheduler or 'the local cluster'}: the scheduler is gone") from None
        except cluster_package().SourceFailed as error:
            raise PipelineError(f"{options.scheduler}: {error}") from None
    wall = time.perf_counter() - began
    done = [result for result in results if result.state == "done"]
    frames = sum(result.summary["frames"] for result in done)
    retried = sum(result.retried for result in results)
    retries = f"; {retried} retr{'y' if retried == 1 else 'ies'}" if retried else ""
    print(f"total: {len(done)} of {len(results)} sources done, {frames} frames in {wall:.2f} s, "
          f"{frames / wall if wall > 0 else 0:.1f} fps{retries}", file=log, flush=True)
    failed = len(results) - len(done)
    if failed:
        raise PipelineError(f"{failed} of {len(results)} sources failed")
    return {"frames": frames, "seconds": wall, "fps": frames / wall if wall > 0 else 0.0, "workers": workers,
            "sources": [dataclasses.asdict(result) for result in results]}


if __name__ == "__main__":
    sys.exit(main())
