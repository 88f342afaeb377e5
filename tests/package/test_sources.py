"""Sources: containers and raw streams decoded with the ffmpeg tool's timestamps and pictures;
live sources served on the loopback interface by the ffmpeg tool, stopped and restarted, and
read by a consumer slower than they are; sources that are no video the card decodes."""
import contextlib
import json
import socket
import subprocess
import threading
import time

import numpy as np
import pytest

WIDTH, HEIGHT, FRAMES = 318, 178, 24  # not a multiple of 16: the decoder crops
ENCODERS = {"h264": ["-c:v", "libx264", "-bf", "2", "-g", "8"],
            "hevc": ["-c:v", "libx265", "-x265-params", "log-level=none:bframes=3:keyint=8:min-keyint=8"]}
CLIPS = [("h264", "mp4"), ("h264", "mov"), ("h264", "mkv"), ("h264", "ts"), ("h264", "flv"), ("h264", "h264"),
         ("h264", "crop.mkv"), ("hevc", "mp4"), ("hevc", "mkv"), ("hevc", "ts"), ("hevc", "hevc")]
# 352 x 200 (coded 352 x 208) shown from (32, 16) to 2 and 4 short of the right and bottom: 318 x 188
CROP = ["-bsf:v", "h264_metadata=crop_left=32:crop_top=16:crop_right=2:crop_bottom=4"]


def ffmpeg(*args, timeout=120):
    return subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *map(str, args)], check=True,
                          capture_output=True, timeout=timeout).stdout


def ffprobe(path, entries):
    result = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", entries,
                             "-of", "json", str(path)], check=True, capture_output=True, text=True, timeout=60)
    return json.loads(result.stdout)


@pytest.fixture(scope="session")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sources")
    made = {}
    for codec, container in CLIPS:
        path = folder / f"{codec}.{container}"
        crop = container.startswith("crop")
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={'352x200' if crop else f'{WIDTH}x{HEIGHT}'}:rate=30000/1001",
               "-frames:v", FRAMES, *ENCODERS[codec], "-pix_fmt", "yuv420p", *(CROP if crop else []), path)
        made[codec, container] = path
    return made


@pytest.mark.parametrize("codec, container", CLIPS)
def test_frames_have_the_ffmpeg_tools_times_key_flags_and_pictures(media, clips, codec, container):
    hv = media
    path = clips[codec, container]
    probed = ffprobe(path, "stream=time_base,width,height:frame=pts,key_frame")
    expected = [(frame.get("pts"), frame["key_frame"]) for frame in probed["frames"]]
    width, height = probed["streams"][0]["width"], probed["streams"][0]["height"]
    # (unaligned: the tool's own decode crops at the left only by whole alignment steps)
    pictures = np.frombuffer(ffmpeg("-flags", "unaligned", "-i", path, "-f", "rawvideo", "-pix_fmt", "nv12", "-"),
                             np.uint8)
    pictures = pictures.reshape(-1, height * 3 // 2, width)
    seen, ours = [], []
    with hv.Decoder(memory="host") as decoder:  # follows the source's codec
        for frame in decoder.frames(path):
            with frame:
                assert (frame.width, frame.height) == (width, height)
                seen.append((frame.pts, int(frame.key_frame), frame.time_base, frame.time))
                ours.append(frame.nv12())
        assert decoder.codec == codec
    assert len(seen) == len(expected) == FRAMES
    if container in ("h264", "hevc"):  # no timestamps in the file: timed by rank at its frame rate
        assert [pts for pts, *_ in seen] == list(range(FRAMES))
        assert {base for *_, base, _ in seen} == {hv.frame_rate(29.97) ** -1}
    else:
        assert [(pts, key) for pts, key, *_ in seen] == expected
        assert {str(base) for *_, base, _ in seen} == {probed["streams"][0]["time_base"]}
    assert all(time == float(pts * base) for pts, _, base, time in seen)
    assert [key for _, key, *_ in seen] == [int(i % 8 == 0) for i in range(FRAMES)]
    for mine, theirs in zip(ours, pictures):
        np.testing.assert_array_equal(mine, theirs)


def test_probe_reports_the_source(media, clips):
    hv = media
    info = hv.probe(clips["hevc", "mkv"])
    assert (info.codec, info.size, info.format, info.live) == ("hevc", (WIDTH, HEIGHT), "matroska,webm", False)
    assert info.frame_rate == hv.frame_rate(29.97) and info.duration == pytest.approx(FRAMES / 29.97, abs=0.05)
    assert hv.probe(clips["h264", "h264"]).codec == "h264"
    with pytest.raises(TypeError, match="options neither .* knows: no_such_option"):
        hv.Source(clips["h264", "mp4"], options={"no_such_option": 1, "probesize": 100000})


@pytest.fixture(scope="module")
def bad(clips, tmp_path_factory):
    """Inputs that are no video the card decodes."""
    folder = tmp_path_factory.mktemp("bad")
    (folder / "notes.txt").write_text("not a video\n" * 100)
    (folder / "noise.mp4").write_bytes(np.random.default_rng(0).integers(1, 256, 1 << 16, np.uint8).tobytes())
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x64:rate=10", "-frames:v", 5, "-c:v", "mpeg4", folder / "part2.mp4")
    ffmpeg("-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac", folder / "sound.m4a")
    whole = clips["h264", "mp4"].read_bytes()  # the ffmpeg tool writes the index (moov) last
    (folder / "truncated.mp4").write_bytes(whole[:whole.rindex(b"moov") - 4])
    return folder


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("name, error, message", [
    ("notes.txt", "StreamError", r"notes.txt: not a video but text"),
    ("noise.mp4", "StreamError", r"noise.mp4: not an H.264 elementary stream \(no start code .* nor a container"),
    ("part2.mp4", "StreamError", r"part2.mp4: the video is mpeg4 \(MPEG-4 part 2\); the card decodes H.264 and HEVC"),
    ("sound.m4a", "StreamError", r"sound.m4a: no video stream \(only audio aac\)"),
    ("truncated.mp4", "StreamError", r"truncated.mp4: not an H.264 elementary stream .*nor a container .*Invalid data"),
    ("http://127.0.0.1:{port}/live.ts", "ConnectionRefusedError", r"http://127.0.0.1:\d+/live.ts: opening: Connection "
                                                                  "refused"),
    ("rtsp://127.0.0.1:{port}/live", "ConnectionRefusedError",
     r"rtsp://127.0.0.1:\d+/live: opening: Connection refused"),
    ("http://192.0.2.1:8554/live.ts", "OSError", r"http://192.0.2.1:8554/live.ts: opening: "),  # unreachable
    ("udp://127.0.0.1:{port}", "TimeoutError", r"udp://127.0.0.1:\d+: opening: nothing came within 1 s"),
    ("hevc.mp4 for h264", "StreamError", r"hevc.mp4: the video is HEVC; this decoder was made for H.264 \(Decoder"),
])
def test_bad_sources_say_what_and_leave_nothing_on_the_card(media, bad, clips, name, error, message):
    hv = media
    if name.endswith(" for h264"):
        source, codec = clips["hevc", "mp4"], "h264"
    else:
        source, codec = (name.format(port=free_port()) if "://" in name else bad / name), None
    free = hv.zeme.getDecoderAvailableChannels()
    with hv.Decoder(codec=codec) as decoder:
        with pytest.raises(Exception) as raised:
            for _ in decoder.frames(source, timeout=1, reconnect=None):
                pass
    assert type(raised.value).__name__ == error or error == "OSError" and isinstance(raised.value, OSError)
    assert raised.match(message)
    assert hv.zeme.getDecoderAvailableChannels() == free


# ---- live sources ----------------------------------------------------------------------------

class Server:
    """The ffmpeg tool sending a 25 fps test picture as MPEG-TS to `url` in real time (-re), as
    a UDP sender or an HTTP server; stop() and start() it again."""

    def __init__(self, url, listen):
        self.url, self.listen, self.process = url, listen, None

    def start(self):
        self.process = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-loglevel", "quiet", "-re", "-f", "lavfi", "-i",
             "testsrc=size=160x120:rate=25", "-c:v", "libx264", "-g", "10", "-bf", "0", "-tune", "zerolatency",
             "-pix_fmt", "yuv420p", "-t", "120", "-f", "mpegts", *(["-listen", "1"] if self.listen else []), self.url],
            stdin=subprocess.DEVNULL)

    def stop(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait(10)
            self.process = None


@pytest.fixture
def server(request):
    kind = request.param
    port = free_port(socket.SOCK_DGRAM if kind == "udp" else socket.SOCK_STREAM)
    url = f"udp://127.0.0.1:{port}" if kind == "udp" else f"http://127.0.0.1:{port}/live.ts"
    served = Server(url, kind == "http")
    served.start()
    yield served
    served.stop()


def opened(hv, url, **settings):
    """A Source of `url` once its server listens (an HTTP server of the ffmpeg tool serves one
    client, so the first connection must be the reading one)."""
    for _ in range(100):
        try:
            return hv.Source(url, **settings)
        except ConnectionRefusedError:
            time.sleep(0.1)
    raise AssertionError(f"{url}: nothing listens")


@contextlib.contextmanager
def watchdog(source, seconds=60):
    """Interrupts the source past `seconds`: a test that would hang fails instead."""
    timer = threading.Timer(seconds, source.interrupt)
    timer.start()
    try:
        yield
    finally:
        timer.cancel()


@pytest.mark.parametrize("server", ["udp", "http"], indirect=True)
def test_a_live_source_that_stops_is_reopened_and_the_gap_reported(media, server):
    hv = media
    events, times = [], []
    reconnect = hv.Reconnect(attempts=40, delay=0.2, max_delay=0.5)
    with opened(hv, server.url, timeout=1, reconnect=reconnect, on_event=events.append) as source, \
            watchdog(source), hv.Decoder() as decoder:
        assert source.live and source.codec == "h264"
        for frame in decoder.frames(source):
            times.append(frame.time)
            if len(times) == 25:
                server.stop()
                threading.Timer(1.5, server.start).start()  # the next frames come after the gap
            if any(isinstance(event, hv.Gap) for event in events) and len(times) >= 75:
                break
    gaps = [event for event in events if isinstance(event, hv.Gap)]
    assert gaps and source.gaps == len(gaps) and gaps[0].seconds > 0 and gaps[0].frames > 0
    assert str(gaps[0]).startswith(f"{server.url}: gap of ")
    assert all(later > earlier for earlier, later in zip(times, times[1:]))  # presentation order, across the gap
    jump = max(later - earlier for earlier, later in zip(times, times[1:]))
    assert jump >= gaps[0].seconds - 0.05  # the times after the gap follow it


@pytest.mark.parametrize("server", ["udp"], indirect=True)
def test_a_slow_consumer_has_packets_dropped_up_to_a_key_frame(media, server):
    hv = media
    events, frames, longest = [], [], 0
    with opened(hv, server.url, timeout=5, queue=12, on_event=events.append) as source, watchdog(source), \
            hv.Decoder() as decoder:
        for frame in decoder.frames(source):
            frames.append((frame.time, frame.key_frame))
            longest = max(longest, len(source._queue))
            time.sleep(0.1)  # 10 frames a second of a 25 fps source
            if len(frames) == 40:
                break
    drops = [event for event in events if isinstance(event, hv.Dropped)]
    assert drops and source.dropped >= sum(event.packets for event in drops) > 0
    assert longest <= 12
    # After each drop decoding goes on from a key frame: some frame after a jump in time is one.
    steps = [(later[0] - earlier[0], later[1]) for earlier, later in zip(frames, frames[1:])]
    assert all(step > 0 for step, _ in steps) and any(step > 0.05 and key for step, key in steps)
