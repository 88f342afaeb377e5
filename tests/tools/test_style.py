"""The code keeps the style its configurations give: clang-format (.clang-format) finds
nothing to change in the C++ and flake8 (.flake8) nothing to report in the Python."""
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]


def sources(*suffixes):
    """The repository's files of these suffixes, build trees left out."""
    found = [path for path in ROOT.rglob("*") if path.suffix in suffixes and path.is_file()]
    return sorted(str(path.relative_to(ROOT)) for path in found
                  if not any(part.startswith(("build", ".")) for part in path.relative_to(ROOT).parts))


def python_sources():
    """The Python files, and the scripts and tools that are Python without the suffix."""
    scripts = [str(path.relative_to(ROOT)) for folder in ("scripts", "tools") for path in (ROOT / folder).iterdir()
               if not path.suffix and path.read_bytes().startswith(b"#!/usr/bin/python3")]
    return sources(".py") + scripts


def test_cpp_is_formatted():
    result = subprocess.run(["clang-format", "--dry-run", "--Werror", *sources(".cpp", ".hpp", ".h")],
                            cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-3000:]


def test_python_passes_flake8():
    result = subprocess.run(["/usr/bin/python3", "-m", "flake8", *python_sources()], cwd=ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:]
