"""The repository's package and examples on the path; the size of the test clip."""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "examples")]

WIDTH, HEIGHT, FRAMES = 320, 240, 20
