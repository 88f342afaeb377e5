"""Shared helpers of the benchmarks: the module's path, the test models' (tests/models.py), and the
report line."""
import os
import pathlib
import sys
import timeit

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("HALVORA_BUILD", ROOT / "build"))
sys.path.insert(0, str(BUILD / "python"))
sys.path.append(str(ROOT / "tests"))  # models: the networks and models the tests build too


def best_time(function, number, repeat=5):
    """Best time of one call of `function`, in seconds, over `repeat` runs of `number` calls."""
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number


def report(name, ours, baseline, unit="ns", scale=1e9):
    """Prints `name: ours X, baseline Y, ratio R`, R = ours / baseline in time (below 1: we are faster)."""
    print(f"{name}: ours {ours * scale:.1f} {unit}, baseline {baseline * scale:.1f} {unit}, "
          f"ratio {ours / baseline:.2f}")
