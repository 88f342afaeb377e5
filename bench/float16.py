"""float16 list conversions against NumPy on the same Python lists.

Both sides start from a Python list of one million items, so turning the list
into machine values is part of each measurement. The first line of each pair
stops at the NumPy array (what a NumPy user would keep); the "to list" line
adds .tolist() so that both sides produce the same Python list.
"""
import numpy as np

from common import best_time, report

from _halvora_pybind11 import zecm

COUNT = 1_000_000


def best(function):
    return best_time(function, 1)


def report_ms(name, ours, baseline):
    report(name, ours, baseline, unit="ms", scale=1e3)


def main():
    rng = np.random.default_rng(1)
    floats = (rng.standard_normal(COUNT) * 1000).astype(np.float32).tolist()
    halves = rng.integers(0, 0x7C00, COUNT, dtype=np.uint16).tolist()

    expected = np.array(floats, dtype=np.float32).astype(np.float16).view(np.uint16).tolist()
    assert zecm.float32ToFloat16Array(floats) == expected
    assert zecm.float16ToFloat32Array(halves) == \
        np.array(halves, dtype=np.uint16).view(np.float16).astype(np.float32).tolist()

    ours = best(lambda: zecm.float32ToFloat16Array(floats))
    report_ms("float32ToFloat16Array",
              ours, best(lambda: np.array(floats, dtype=np.float32).astype(np.float16)))
    report_ms("float32ToFloat16Array to list", ours,
              best(lambda: np.array(floats, dtype=np.float32).astype(np.float16)
                   .view(np.uint16).tolist()))

    ours = best(lambda: zecm.float16ToFloat32Array(halves))
    report_ms("float16ToFloat32Array",
              ours, best(lambda: np.array(halves, dtype=np.uint16).view(np.float16).astype(np.float32)))
    report_ms("float16ToFloat32Array to list", ours,
              best(lambda: np.array(halves, dtype=np.uint16).view(np.float16).astype(np.float32)
                   .tolist()))


if __name__ == "__main__":
    main()
