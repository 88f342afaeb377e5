"""The type stubs written beside the module at build time: mypy's stubtest finds them equal
to the module, the pipeline example type-checks against them, and they are precise enough
to catch wrong calls."""
import os
import pathlib
import subprocess
import sys

import pytest

from sim import BUILD

# Sanitizer builds (scripts/check-sanitizer) write no stubs: their module loads only with
# the sanitizer runtime preloaded.
pytestmark = pytest.mark.skipif("HALVORA_SANITIZE" in os.environ, reason="sanitizer builds have no stubs")

ROOT = pathlib.Path(__file__).resolve().parents[2]


def mypy(tmp_path, *args):
    environment = dict(os.environ, PYTHONPATH=str(BUILD / "python"),
                       MYPYPATH=os.pathsep.join([str(BUILD / "python"), str(ROOT / "python")]))
    return subprocess.run([sys.executable, "-m", *args], env=environment, capture_output=True, text=True,
                          cwd=tmp_path, timeout=600)


def check(tmp_path, path):
    return mypy(tmp_path, "mypy", "--cache-dir", str(tmp_path / "cache"), "--check-untyped-defs",
                "--ignore-missing-imports", str(path))


def test_stubs_match_the_module(tmp_path):
    result = mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", os.devnull, "_halvora_pybind11")
    assert result.returncode == 0, result.stdout + result.stderr


def test_pipeline_type_checks(tmp_path):
    result = check(tmp_path, ROOT / "examples" / "pipeline.py")
    assert result.returncode == 0, result.stdout


WRONG_CALLS = [
    ("zecm.malloc('4096')", 'incompatible type "str"'),
    ("zecl.createOpStream(None, 1)", 'incompatible type "int"; expected "balance_mode"'),
    ("zeme.frame().width = 'wide'", "Incompatible types in assignment"),
    ("zeml.nonexistent()", 'has no attribute "nonexistent"'),
    ("hal.zece.resize(1, 2)", "Missing positional arguments"),
    ("text: int = zecm.getVersion()", "Incompatible types in assignment"),
]


def test_wrong_calls_are_caught(tmp_path):
    """One program, one wrong call per line: each line gets its error."""
    header = "import _halvora_pybind11 as hal\nfrom _halvora_pybind11 import zecm, zecl, zeme, zeml\n"
    program = tmp_path / "program.py"
    program.write_text(header + "".join(f"{line}\n" for line, _ in WRONG_CALLS))
    report = check(tmp_path, program).stdout
    for number, (line, error) in enumerate(WRONG_CALLS, start=3):
        assert any(error in found for found in report.splitlines() if found.startswith(f"program.py:{number}:")), \
            (line, report)
