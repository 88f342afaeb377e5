"""Writer: pictures encoded on the card and muxed into MP4, MKV and MOV files that the ffmpeg
tools read back with every frame, the rate, the duration, sound timestamps and key frames."""
import json
import subprocess

import cv2
import numpy as np
import pytest

WIDTH, HEIGHT, COUNT = 320, 240, 30


def pictures(count=COUNT):
    """Smooth moving RGB pictures."""
    rows, columns = np.mgrid[:HEIGHT, :WIDTH].astype(np.float32)
    for t in range(count):
        rgb = np.empty((HEIGHT, WIDTH, 3), np.float32)
        rgb[..., 0] = 128 + 100 * np.sin((columns + 6 * t) / 23)
        rgb[..., 1] = 128 + 100 * np.cos((rows - 4 * t) / 31)
        rgb[..., 2] = 60 + columns * 0.4 + rows * 0.2
        yield rgb.astype(np.uint8)


def as_input(rgb, format):
    if format == "bgr24":
        return np.ascontiguousarray(rgb[..., ::-1])
    if format == "nv12":
        i420 = cv2.cvtColor(rgb, cv2.COLOR_RGB2YUV_I420)
        chroma = np.dstack([i420[HEIGHT:HEIGHT * 5 // 4].reshape(-1), i420[HEIGHT * 5 // 4:].reshape(-1)])
        return np.vstack([i420[:HEIGHT], chroma.reshape(HEIGHT // 2, WIDTH)])
    return rgb


def probe(path, *what):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", *what, "-of", "json", str(path)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def decoded(path, format="rgb24", channels=3):
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", format,
                          "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8)


def psnr(a, b):
    return cv2.PSNR(np.ascontiguousarray(a), np.ascontiguousarray(b))


@pytest.mark.parametrize("name, codec, fps, rate, format, settings", [
    ("out.mp4", "h264", 30, "30/1", "nv12", {}),
    ("out.mov", "h264", 29.97, "30000/1001", "rgb24", {"keyInt": 8}),
    ("out.mkv", "hevc", 29.97, "30000/1001", "bgr24", {}),
    ("out.mkv", "h264", 25, "25/1", "rgb24", {"P2B": 1}),
    ("out.mp4", "h264", (24000, 1001), "24000/1001", "nv12", {"profile": "baseline"}),
    ("out.mp4", "hevc", 60, "60/1", "rgb24", {"gopSize": 3, "quality": "veryfast"}),
])
def test_files_play_back_with_every_frame_at_the_rate(media, tmp_path, name, codec, fps, rate, format, settings):
    hv = media
    path = tmp_path / name
    given = []
    with hv.Writer(path, fps, codec, **settings) as writer:
        for rgb in pictures():
            given.append(rgb)
            writer.write(as_input(rgb, format), format=format)
    assert writer.units == COUNT and hv.zeme.getEncoderAvailableChannels() == 32
    info = probe(path, "-show_entries", "stream=codec_name,width,height,r_frame_rate,nb_read_frames:"
                                        "format=duration,start_time")
    stream, container = info["streams"][0], info["format"]
    assert (stream["codec_name"], stream["width"], stream["height"]) == (codec, WIDTH, HEIGHT)
    assert (stream["r_frame_rate"], int(stream["nb_read_frames"])) == (rate, COUNT)
    length = COUNT / hv.frame_rate(fps)
    assert float(container["start_time"]) == 0 and abs(float(container["duration"]) - length) < 0.002

    back = decoded(path).reshape(COUNT, HEIGHT, WIDTH, 3)
    assert min(psnr(a, b) for a, b in zip(back, given)) > 30

    # Packets in coding order: dts rising, never after pts; key flags where the decoder found key frames.
    both = probe(path, "-show_packets", "-show_frames", "-show_entries", "packet=pts,dts,flags:frame=pts,key_frame")
    packets = [p for p in both["packets_and_frames"] if p["type"] == "packet"]
    frames = [f for f in both["packets_and_frames"] if f["type"] == "frame"]
    if not name.endswith(".mkv"):  # Matroska keeps pts only
        dts = [p["dts"] for p in packets]
        assert dts == sorted(set(dts)) and all(p["dts"] <= p["pts"] for p in packets)
    assert sorted(p["pts"] for p in packets) == [f["pts"] for f in frames]
    keys = {p["pts"] for p in packets if "K" in p["flags"]}
    assert keys == {f["pts"] for f in frames if f["key_frame"]}
    assert len(keys) >= (COUNT // 8 if "keyInt" in settings else 1)


def test_decoded_frames_are_written(media, tmp_path, cropped_clip):
    hv = media
    stream, expected = cropped_clip
    with hv.Decoder() as decoder, hv.Writer(tmp_path / "copy.mp4", 25) as writer:
        for frame in decoder.frames(stream):
            writer.write(frame)
    back = decoded(tmp_path / "copy.mp4", "nv12").reshape(expected.shape)
    assert writer.size == (352, 290) and min(psnr(a, b) for a, b in zip(back, expected)) > 30


def test_writer_refusals_and_endings(media, tmp_path):
    hv = media
    picture = next(pictures())
    with pytest.raises(ValueError, match="no container format"):
        hv.Writer(tmp_path / "out.xyz", 30).write(picture)
    with pytest.raises(FileNotFoundError, match="missing"):
        hv.Writer(tmp_path / "missing" / "out.mp4", 30).write(picture)
    with hv.Writer(tmp_path / "nothing.mp4", 30):
        pass
    with pytest.raises(ValueError, match="rgb24 picture of 320 x 240"), hv.Writer(tmp_path / "sizes.mp4", 30) as writer:
        writer.write(picture)
        writer.write(picture[:120])
    with pytest.raises(ValueError, match="closed"):
        writer.write(picture)
    with pytest.raises(KeyError), hv.Writer(tmp_path / "raised.mkv", 30) as writer:  # still finished
        for rgb in pictures(5):
            writer.write(rgb)
        raise KeyError
    assert not (tmp_path / "nothing.mp4").exists() and not (tmp_path / "out.xyz").exists()
    for name, count in (("sizes.mp4", 1), ("raised.mkv", 5)):
        assert int(probe(tmp_path / name, "-show_entries", "stream=nb_read_frames")["streams"][0]["nb_read_frames"]) \
            == count
    assert hv.zeme.getEncoderAvailableChannels() == 32


@pytest.mark.parametrize("writes, text", [  # (unit, pts, dts) of each write
    ([(1, 1, 0)], "not a key frame with its parameter sets"),
    ([(0, 0, -1), (1, 3, -1)], "dts -1, not after the last one's -1"),
    ([(0, 0, 1)], "pts 0 before its dts 1"),
])
def test_sink_refuses_what_would_corrupt_the_file(media, tmp_path, writes, text):
    hv = media
    import _halvora_av as av
    with hv.Encoder(WIDTH, HEIGHT) as encoder:
        units = [unit for rgb in pictures(3) for unit in encoder.encode_units(rgb)] + encoder.encode_units(None)
    sink = av.Sink(str(tmp_path / "s.mp4"), "h264", WIDTH, HEIGHT, (1, 30))
    with sink, pytest.raises(ValueError, match=text):
        for index, pts, dts in writes:
            sink.write(units[index][0], pts, dts)


def test_units_reordered_beyond_the_bound_are_refused(media, tmp_path, monkeypatch):
    hv = media
    units = hv.Encoder.encode_units

    def relabelled(self, *args):  # pictures 0 and 1 swapped: the second unit shows before its dts
        return [(data, {0: 1, 1: 0}.get(pts, pts)) for data, pts in units(self, *args)]

    monkeypatch.setattr(hv.Encoder, "encode_units", relabelled)
    with pytest.raises(hv.CardError, match="at most 0 places"), \
            hv.Writer(tmp_path / "b.mp4", 30, profile="baseline") as writer:
        for rgb in pictures(4):
            writer.write(rgb)
