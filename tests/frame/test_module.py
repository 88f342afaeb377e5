"""The module frame: import, metadata, submodules, linkage."""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import _halvora_pybind11 as hal

MODULE = pathlib.Path(hal.__file__)
# Sanitizer builds (scripts/check-sanitizer) link their runtime first and need it preloaded.
unsanitized = pytest.mark.skipif("HALVORA_SANITIZE" in os.environ, reason="the sanitizer runtime changes the linkage")

ROOT_DOC = (
    "\n"
    "        The Zentri SDK\n"
    "        -----------------------\n"
    "        .. currentmodule:: halvora\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "           zecm\n"
    "           zeme\n"
    "           zecl\n"
    "           zeml\n"
    "           zece\n"
    "    "
)

SUBMODULES = {
    "zecm": "zentri common library.",
    "zeme": "zentri media engine.",
    "zecl": "zentri Accelerate Language.",
    "zece": "zentri  preprocess op engine.",
    "zeml": "zentri management library.",
}


def test_module_metadata():
    assert hal.__doc__ == ROOT_DOC
    assert hal.__version__ == "2.1.1"
    assert re.fullmatch(r"[A-Z][a-z]{2} [ \d]\d \d{4} \d{2}:\d{2}:\d{2}", hal.__time_compiled__)


def test_attributes_and_submodules_are_created_in_order():
    metadata = ("__doc__", "__version__", "__time_compiled__")
    names = [name for name in vars(hal) if name in SUBMODULES or name in metadata]
    assert names == ["__doc__", "__version__", "__time_compiled__",
                     "zecm", "zeme", "zecl", "zece", "zeml"]


def test_submodules_are_registered_children_with_their_docstrings():
    for name, doc in SUBMODULES.items():
        submodule = getattr(hal, name)
        assert submodule is sys.modules["_halvora_pybind11." + name]
        assert submodule.__name__ == "_halvora_pybind11." + name
        assert submodule.__doc__ == doc


@unsanitized
def test_needed_libraries_in_order_and_found_through_runpath():
    dynamic = subprocess.run(["readelf", "-d", str(MODULE)], capture_output=True, text=True,
                             check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(lib[^\]]+)\]", dynamic)
    ours = [name for name in needed if re.match(r"lib(fn-log|ze)", name)]
    assert ours == ["libfn-log.so", "libzecm.so", "libzeme.so", "libzecl.so", "libzece.so",
                    "libzeml.so"]
    assert needed[:6] == ours
    assert "(RUNPATH)" in dynamic and "$ORIGIN/../lib" in dynamic


@unsanitized
def test_import_calls_no_runtime_function_and_needs_no_search_path():
    script = textwrap.dedent(f"""
        import ctypes, sys
        sim = ctypes.CDLL({str(MODULE.parent.parent / "lib/libzesim.so")!r})
        sim.zesimTrace(1)
        sys.path.insert(0, {str(MODULE.parent)!r})
        import _halvora_pybind11
        print(sim.zesimTraceRead(None, 0))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env={"PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0"
