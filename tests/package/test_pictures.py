"""Pictures of the package: frames as arrays, their release, JPEG, and the encoder's inputs and
settings, against OpenCV, Pillow and the ffmpeg tools."""
import fractions
import gc
import io
import json
import re
import subprocess
import threading

import cv2
import numpy as np
import pytest
from PIL import Image

UNKNOWN_BUFFER = 402010


def photograph(height=480, width=640, seed=3):
    """An RGB picture with texture, smooth shading and sharp colour edges."""
    rng = np.random.default_rng(seed)
    base = cv2.resize(rng.integers(0, 256, (height // 40, width // 40, 3), np.uint8), (width, height),
                      interpolation=cv2.INTER_CUBIC)
    grain = cv2.GaussianBlur(rng.normal(0, 25, (height, width, 3)).astype(np.float32), (0, 0), 1.2)
    picture = np.clip(base + grain, 0, 255).astype(np.uint8)
    cv2.circle(picture, (width // 3, height // 2), height // 4, (255, 20, 30), -1)
    cv2.rectangle(picture, (width // 2, height // 5), (width - 40, height // 2), (10, 200, 250), -1)
    cv2.putText(picture, "JPEG", (40, height - 40), cv2.FONT_HERSHEY_SIMPLEX, 2.5, (0, 255, 0), 5)
    return picture


def ramps(height=256, width=256):
    x = np.tile(np.arange(width, dtype=np.uint8), (height, 1))
    return np.dstack([x, x.T, 255 - x])


def jpeg_of(rgb, writer):
    if writer == "cv2":
        return cv2.imencode(".jpg", rgb[..., ::-1], [cv2.IMWRITE_JPEG_QUALITY, 90])[1].tobytes()
    out = io.BytesIO()
    Image.fromarray(rgb).save(out, "JPEG", quality=90)
    return out.getvalue()


def imdecode(data, flags=cv2.IMREAD_COLOR):
    picture = cv2.imdecode(np.frombuffer(data, np.uint8), flags)
    return picture[..., ::-1] if flags == cv2.IMREAD_COLOR else picture


@pytest.mark.parametrize("picture, writer", [(photograph(), "pillow"), (photograph(241, 319), "cv2"),
                                             (ramps(), "cv2")], ids=["photo", "odd", "ramps"])
def test_decoded_jpegs_are_opencvs(media, tmp_path, picture, writer):
    hv = media
    data = jpeg_of(picture, writer)
    (tmp_path / "p.jpg").write_bytes(data)
    expected = imdecode(data)
    ours = hv.decode_jpeg(data)
    assert ours.shape == expected.shape and ours.dtype == np.uint8
    difference = np.abs(ours.astype(int) - expected)
    assert difference.max() <= 1 and difference.mean() < 0.5  # measured: 1 and 0.24-0.34
    np.testing.assert_array_equal(hv.decode_jpeg(tmp_path / "p.jpg", "bgr24"), ours[..., ::-1])
    np.testing.assert_array_equal(hv.decode_jpeg(data, "gray"), imdecode(data, cv2.IMREAD_GRAYSCALE))
    frame = hv.decode_jpeg(data, format=None)
    assert (frame.width, frame.height, frame.color_range, frame.memory) == (picture.shape[1], picture.shape[0],
                                                                            "full", "device")
    assert "full bt601" in repr(frame)
    np.testing.assert_array_equal(frame.to_ndarray("rgb24"), ours)
    frame.release()
    with pytest.raises(ValueError, match="released"):
        frame.to_ndarray("rgb24")


def test_encoded_jpegs_decode_back(media):
    hv = media
    picture = photograph(241, 319)
    data = hv.encode_jpeg(picture)
    assert Image.open(io.BytesIO(data)).size == (319, 241)  # odd sizes kept
    theirs = np.abs(imdecode(jpeg_of(picture, "cv2")).astype(int) - picture).mean()  # OpenCV's at quality 90
    assert np.abs(imdecode(data).astype(int) - picture).mean() < theirs + 0.1
    assert hv.encode_jpeg(np.ascontiguousarray(picture[..., ::-1]), format="bgr24") == data
    frame = hv.decode_jpeg(data, format=None)
    again = imdecode(hv.encode_jpeg(frame))  # the frame's planes as they are
    assert np.abs(again.astype(int) - imdecode(data)).mean() < 1
    for bad, error in ((picture.astype(np.float32) / 255, TypeError), (picture[:20, :20], ValueError),
                       (picture[..., 0], ValueError)):
        with pytest.raises(error):
            hv.encode_jpeg(bad)
    with pytest.raises(ValueError, match="quality 90"):
        hv.encode_jpeg(picture, quality=75)


def test_jpeg_errors_name_the_source(media, tmp_path):
    hv = media
    (tmp_path / "notes.jpg").write_text("not a picture")
    for source, reason in ((b"", "JPEG data: empty"), (b"GIF89a....", "JPEG data: not a JPEG"),
                           (tmp_path / "notes.jpg", f"{tmp_path}/notes.jpg: not a JPEG"),
                           (b"\xff\xd8\xff\xe0" + bytes(64), "JPEG data: not a JPEG the card can read")):
        with pytest.raises(hv.StreamError, match=reason):
            hv.decode_jpeg(source)
    with pytest.raises(FileNotFoundError):
        hv.decode_jpeg(tmp_path / "missing.jpg")


@pytest.mark.parametrize("memory, crop", [("device", False), ("device", True), ("host", False)])
def test_frames_as_arrays_and_released_when_collected(media, cropped_clip, memory, crop):
    hv = media
    path, expected = cropped_clip
    count = 0
    with hv.Decoder(memory=memory, crop=crop) as decoder:
        for frame, nv12 in zip(decoder.frames(path), expected):  # 12 frames, none released: the pool is 8
            rgb = cv2.cvtColor(nv12, cv2.COLOR_YUV2RGB_NV12)
            np.testing.assert_array_equal(frame.to_ndarray("rgb24"), rgb)
            np.testing.assert_array_equal(frame.to_ndarray("bgr24"), rgb[..., ::-1])
            np.testing.assert_array_equal(frame.to_ndarray("gray"), nv12[:290])
            np.testing.assert_array_equal(frame.to_ndarray(), nv12)
            count += 1
        assert f"352x290 nv12 {memory}" in repr(frame) and "limited bt601 held" in repr(frame)
        assert "held='1/8'" in repr(decoder)
    assert count == len(expected) == 12
    assert "taken back" in repr(frame)


def test_collected_frames_go_back_from_any_thread_and_not_after_close(media, cropped_clip, sim):
    hv = media
    path, _ = cropped_clip
    with hv.Decoder() as decoder:
        for frame in decoder.frames(path):
            box = [frame]
            del frame
            thread = threading.Thread(target=box.clear)  # the last reference dies in another thread
            thread.start()
            thread.join()
        assert decoder.held == decoder.status().runningFrames == 0
    with hv.Decoder() as decoder:
        late = next(decoder.frames(path))
    sim.clear()
    del late
    gc.collect()
    assert sim.calls("zemeDecReleaseFrame") == []


def test_failed_release_leaves_the_frame_held(media, cropped_clip, sim):
    hv = media
    path, _ = cropped_clip
    with hv.Decoder() as decoder:
        frames = decoder.frames(path)
        frame = next(frames)
        sim.fail("zemeDecReleaseFrame", UNKNOWN_BUFFER)
        with pytest.raises(hv.CardError) as failure:
            frame.release()
        assert failure.value.status == UNKNOWN_BUFFER
        assert not frame.released and decoder.held == decoder.status().runningFrames == 1
        frame.release()  # the retry gives it back
        assert frame.released and decoder.held == decoder.status().runningFrames == 0
        sim.fail("zemeDecReleaseFrame", UNKNOWN_BUFFER, 100)
        kept = []
        with pytest.raises(hv.CardError, match="all 8 pictures"):  # not a loop for ever
            for frame in frames:
                kept.append(frame)
                with pytest.raises(hv.CardError):
                    frame.release()


def test_frames_of_files_that_are_not_streams_name_them(media, cropped_clip, tmp_path):
    hv = media
    path, _ = cropped_clip
    (tmp_path / "notes.h264").write_text("not a video\n" * 100)
    (tmp_path / "empty.h264").touch()
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), "-c", "copy",
                    str(tmp_path / "clip.mp4")], check=True)
    for name in ("notes.h264", "empty.h264"):
        with hv.Decoder() as decoder, pytest.raises(hv.StreamError, match=f"^{tmp_path}/{name}: .*not an H.264"):
            list(decoder.frames(tmp_path / name))
    with hv.Decoder() as decoder:  # containers are read (tests/package/test_sources.py)
        # 10 of the 12, as the ffmpeg tools show it: the copy's edit list hides the first two
        assert [frame.index for frame in decoder.frames(tmp_path / "clip.mp4") if frame.release() is None] == \
            list(range(10))
    with hv.Decoder() as decoder, pytest.raises(hv.StreamError, match="^stream: not an H.264 stream"):
        list(decoder.frames([b"\x00\x00\x01" + bytes(range(256)) * 8]))


def ffprobe(data, tmp_path, entries):
    (tmp_path / "s.h264").write_bytes(data)
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", f"stream={entries}",
                          "-of", "json", str(tmp_path / "s.h264")], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)["streams"][0]


@pytest.mark.parametrize("fps, rate", [(29.97, "30000/1001"), (23.976, "24000/1001"), (59.94, "60000/1001"),
                                       (fractions.Fraction(30000, 1001), "30000/1001"), ((24000, 1001), "24000/1001"),
                                       (12.5, "25/2"), (25, "25/1")])
def test_encoder_keeps_rational_frame_rates(media, tmp_path, fps, rate):
    hv = media
    with hv.Encoder(64, 64, fps=fps) as encoder:
        data = encoder.encode(np.zeros((96, 64), np.uint8)) + encoder.finish()
    assert ffprobe(data, tmp_path, "r_frame_rate")["r_frame_rate"] == rate


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.uint16, np.int64, bool])
def test_encoder_refuses_other_element_types(media, dtype):
    hv = media
    with hv.Encoder(64, 64) as encoder:
        for shape in ((96, 64), (64, 64, 3)):
            with pytest.raises(TypeError, match="uint8"):
                encoder.encode(np.ones(shape, dtype))
        assert encoder.sent == 0


def test_encoder_takes_rgb_and_bgr_arrays(media):
    hv = media
    picture = photograph(96, 128)
    i420 = cv2.cvtColor(picture, cv2.COLOR_RGB2YUV_I420)
    chroma = np.dstack([i420[96:120].reshape(48, 64), i420[120:].reshape(48, 64)]).reshape(48, 128)
    nv12 = np.vstack([i420[:96], chroma])
    streams = []
    for array, format in ((picture, None), (np.ascontiguousarray(picture[..., ::-1]), "bgr24"), (nv12, None)):
        with hv.Encoder(128, 96, cqp=10) as encoder:
            streams.append(encoder.encode(array, format=format) + encoder.encode(array, format=format)
                           + encoder.finish())
    assert streams[0] == streams[1] == streams[2]  # the card's conversion is OpenCV's
    with hv.Encoder(128, 96) as encoder, pytest.raises(ValueError, match="rgb24 picture of 128 x 96"):
        encoder.encode(picture[:64])


@pytest.mark.parametrize("settings, expected", [
    ({"quality": "fast"}, {"subme": "6"}), ({"quality": "veryfast"}, {"subme": "2"}),
    ({"qualityMode": "ZEME_SILVER2_QUALITY"}, {"subme": "4"}), ({"tune": "ssim"}, {"aq": "2:1.00"}),
    ({"rate_control": "cbr", "bitrate": 400_000}, {"rc": "cbr", "bitrate": "400", "vbv_maxrate": "400"}),
    ({"rate_control": "vbr", "bitrate": 400_000}, {"rc": "abr", "bitrate": "400"}),
    ({"rate_control": "cqp", "cqp": 20}, {"rc": "cqp", "qp": "20"}), ({"crf": 20}, {"rc": "crf", "crf": "20.0"}),
    ({"profile": "baseline", "level": "3.1"}, {"profile": "Constrained Baseline", "level": 31}),
])
def test_encoder_settings_by_name(media, tmp_path, settings, expected):
    hv = media
    with hv.Encoder(64, 64, **settings) as encoder:
        data = encoder.encode(np.zeros((96, 64), np.uint8)) + encoder.finish()
    options = dict(o.split("=", 1) for o in re.search(rb"options: ([^\x00]*)", data).group(1).decode().split())
    options.update(ffprobe(data, tmp_path, "profile,level"))  # the SEI of libx264's settings, the SPS
    assert {key: options.get(key) for key in expected} == expected


@pytest.mark.parametrize("settings, error, text", [
    ({"height": 63}, ValueError, "height 63: .* even .* 64 to 8192"), ({"width": 8194}, ValueError, "width 8194"),
    ({"quality": "best"}, ValueError, "quality='best': one of"), ({"speed": 1}, TypeError, "no setting 'speed'"),
    ({"rate_control": "cbr"}, ValueError, "needs bitrate"), ({"fps": 0}, ValueError, "frame rate 0"),
])
def test_encoder_refusals_name_the_rule(media, settings, error, text):
    hv = media
    with pytest.raises(error, match=text):
        hv.Encoder(**{"width": 64, "height": 64, **settings})
    assert hv.zeme.getEncoderAvailableChannels() == 32
