"""H264Reader: an Annex B file handed out one NAL unit at a time, start code included."""
import pytest

from card import run_isolated

SPS = bytes([0, 0, 0, 1, 0x67, 1, 2, 3])
PPS = bytes([0, 0, 1, 0x68, 4, 5])
IDR = bytes([0, 0, 1, 0x65, 6, 0, 1, 7, 0, 0])  # "00 01" is no start code; trailing zeros belong to the unit


def units(zeme, path):
    reader = zeme.H264Reader(str(path))
    assert reader.init() == 0
    stream, found = zeme.stream(), []
    while reader.getStream(stream) == 1:
        found.append(stream.stream.tobytes())
        assert (stream.pts, stream.inputBusAddress) == (0, 0)
    assert reader.getStream(stream) == 0 and reader.release() == 0
    return found


@pytest.mark.parametrize("content, expected", [
    (SPS + PPS + IDR, [SPS, PPS, IDR]),
    (b"junk" + SPS + PPS, [SPS, PPS]),  # bytes before the first start code are skipped
    (SPS + bytes([0, 0]) + PPS, [SPS + bytes([0]), bytes([0]) + PPS]),  # zeros beyond three end the unit before
    (SPS + bytes([0, 0, 0, 0, 0, 1, 0x68]), [SPS + bytes([0, 0]), bytes([0, 0, 0, 1, 0x68])]),
    (bytes([1, 2, 3, 0, 1]), []),  # no start code at all
    (b"", []),
    (bytes([0, 0, 1]), [bytes([0, 0, 1])]),
])
def test_units_come_out_whole_and_in_order(zeme, tmp_path, content, expected):
    path = tmp_path / "stream.h264"
    path.write_bytes(content)
    assert units(zeme, path) == expected


def test_each_unit_is_a_copy_and_the_stream_points_at_the_reader(zeme, tmp_path):
    path = tmp_path / "stream.h264"
    path.write_bytes(SPS + PPS)
    reader, first, second = zeme.H264Reader(str(path)), zeme.stream(), zeme.stream()
    reader.init()
    assert reader.getStream(first) == 1 and reader.getStream(second) == 1
    assert first.stream.tobytes() == SPS and second.stream.tobytes() == PPS
    reader.release()


def test_misuse_is_harmless(zeme, tmp_path):
    missing = zeme.H264Reader(str(tmp_path / "missing.h264"))
    assert missing.release() == 0  # before init
    assert missing.init() == -1
    assert missing.getStream(zeme.stream()) == 0 and missing.release() == 0
    path = tmp_path / "stream.h264"
    path.write_bytes(SPS)
    reader = zeme.H264Reader(str(path))
    assert reader.getStream(zeme.stream()) == 0  # before init
    assert reader.init() == 0 and reader.init() == 0  # again: starts over
    assert reader.getStream(zeme.stream()) == 1
    assert reader.release() == 0 and reader.release() == 0
    with pytest.raises(TypeError):
        reader.getStream(None)


def test_a_unit_larger_than_the_buffer_is_refused_each_time(tmp_path):
    path = tmp_path / "large.h264"
    with open(path, "wb") as file:
        file.write(SPS)
        file.write(bytes([0, 0, 1, 0x65]) + bytes([0x55]) * (16 << 20))
    result = run_isolated(f"""
        from _halvora_pybind11 import zeme
        reader, stream = zeme.H264Reader({str(path)!r}), zeme.stream()
        reader.init()
        print([reader.getStream(stream) for _ in range(3)], stream.stream.tobytes() == {SPS!r})
    """)
    assert result.stdout == "[1, 0, 0] True\n"
    assert result.stderr == "NAL does not fit provided buffer\n" * 2
