"""loadImage: raw 4:2:0 frame files read into new device memory."""
import re

import numpy as np
import pytest

from sim import address
from zecl_helpers import run_isolated


@pytest.mark.parametrize("width, height, size, length", [(4, 2, 12, 12), (3, 3, 13, 13), (4, 2, 12, 20),
                                                         (1, 1, 1, 1)])
def test_reads_floor_of_one_and_a_half_bytes_per_pixel(zecl, device, sim, tmp_path, width, height, size,
                                                       length):
    data = np.arange(length, dtype=np.uint8) + 100
    path = tmp_path / "frame.yuv"
    path.write_bytes(data.tobytes())
    block = zecl.loadImage(str(path), width, height)
    assert block is not None
    np.testing.assert_array_equal(device.download(block, size), data[:size])
    assert re.fullmatch(rf"zecmMalloc\({size}, 0x[0-9a-f]+\) = 0", sim.calls("zecmMalloc")[0])
    assert re.fullmatch(rf"zecmMemcpy\(0x[0-9a-f]+, {address(block)}, {size}, 1\) = 0", sim.calls("zecmMemcpy")[0])
    assert device.zecm.free(block) == 0


def test_failures_print_their_lines_and_return_none(tmp_path):
    ok = tmp_path / "ok.yuv"
    ok.write_bytes(bytes(range(12)))
    short = tmp_path / "short.yuv"
    short.write_bytes(bytes(12))
    missing = tmp_path / "missing.yuv"
    result = run_isolated(f"""
        import sys
        from _halvora_pybind11 import zecm, zecl
        from sim import Sim
        sim = Sim()
        zecm.initialize(); zecm.setDevice(0)
        results = [zecl.loadImage({str(missing)!r}, 4, 2),
                   zecl.loadImage({str(short)!r}, 3, 3),           # 13 bytes wanted
                   zecl.loadImage({str(short)!r}, 65536, 65536),   # 6 GiB: the product is 64-bit
                   zecl.loadImage({str(ok)!r}, -1, -1)]            # no host memory that large
        sim.fail("zecmMalloc", 7)
        results.append(zecl.loadImage({str(ok)!r}, 4, 2))
        sim.null("zecmMalloc")
        results.append(zecl.loadImage({str(ok)!r}, 4, 2))
        sim.trace(True)
        sim.fail("zecmMemcpy", 7)
        results.append(zecl.loadImage({str(ok)!r}, 4, 2))
        frees = sim.calls("zecmFree")
        print(results, len(frees), frees[0].endswith(") = 0"), file=sys.stderr)
    """)
    assert result.stderr.splitlines()[-1] == "[None, None, None, None, None, None, None] 1 True"
    size = ((2**32 - 1) ** 2 * 3 % 2**64) >> 1
    assert result.stdout == (f"Failed to open image {missing}\n"
                             f"Error: Failed to read file {short}, size is not as expected. \n"
                             f"Error: Failed to read file {short}, size is not as expected. \n"
                             f"Failed to malloc memory for image {ok} of size {size} bytes. \n")


def test_integers_outside_32_bits_are_refused(zecl, card, sim, tmp_path):
    for width, height in ((2**31, 1), (1, -2**31 - 1)):
        with pytest.raises(TypeError):
            zecl.loadImage(str(tmp_path / "x"), width, height)
    assert sim.calls("zecmMalloc") == []
