"""The JPEG file loader behind getJpegInfo and jpegSyncDecoder: files that cannot be read."""
from card import run_isolated


def test_an_unopenable_file_is_a_status_not_the_end_of_the_process(tmp_path):
    missing = tmp_path / "missing.jpg"
    empty = tmp_path / "empty.jpg"
    empty.write_bytes(b"")
    result = run_isolated(f"""
        import sys
        from _halvora_pybind11 import zeme
        from sim import Sim
        sim = Sim()
        sim.trace(True)
        unopenable = [zeme.getJpegInfo({str(missing)!r}, zeme.decJpegInfo()),
                      zeme.jpegSyncDecoder(0, {str(missing)!r}, zeme.frame(), 0)]
        calls = len(sim.lines("zeme"))
        unreadable = [zeme.getJpegInfo(path, zeme.decJpegInfo()) for path in ({str(empty)!r}, {str(tmp_path)!r})]
        print(unopenable, calls, all(unreadable), len(sim.calls("zemeGetJpegInfo")), file=sys.stderr)
    """)
    assert result.returncode == 0
    assert result.stderr.splitlines() == [f"Unable to open input file {missing}"] * 2 + ["[402001, 402001] 0 True 2"]
    # An empty file (and a directory, which reads as one) keeps its missing-end line; the
    # card answers the empty stream with an error status.
    assert result.stdout == "EOI missing from end of file!\n" * 2
