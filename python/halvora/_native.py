"""The extension module, addresses as handles, and statuses as exceptions."""
import ctypes
import os
import pathlib
import sys
from typing import Any

try:
    import _halvora_pybind11 as native
except ImportError:  # run from the repository: the module is in the build tree beside python/
    _build = pathlib.Path(os.environ.get("HALVORA_BUILD", pathlib.Path(__file__).resolve().parents[2] / "build"))
    sys.path.insert(0, str(_build / "python"))
    import _halvora_pybind11 as native  # noqa: E402

zecm, zecl, zece, zeme, zeml = native.zecm, native.zecl, native.zece, native.zeme, native.zeml

FOREVER = 0xFFFFFFFF
# None where the module takes a record it reads: the runtime receives a null pointer (no
# options). The module's signatures name the record type only, hence the Any.
NO_RECORD: Any = None

_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def handle(address):
    """The module's handle (a capsule) for a numeric address; None for 0."""
    return _new_capsule(address, None, None) if address else None


def address(capsule):
    """The numeric address a handle carries (0 for None)."""
    if capsule is None:
        return 0
    return _capsule_pointer(capsule, _capsule_name(capsule)) or 0


class CardError(RuntimeError):
    """A call into the card failed: `what` was being done, `status` is the card's code
    (None when the module raised without one)."""

    def __init__(self, what, status=None, detail=None):
        self.what, self.status = what, status
        if detail is None and status is not None:
            detail = describe(status)
        text = what if status is None else f"{what}: status {status}"
        super().__init__(f"{text} ({detail})" if detail else text)


def describe(status):
    """The card's own text for a status code, or '' when it has none."""
    try:
        return zecm.getErrDesc(int(status)).strip().rstrip(".")
    except (RuntimeError, ValueError, TypeError):
        return ""


def check(status, what):
    """Raises CardError unless `status` is 0."""
    if status:
        raise CardError(what, int(status))


def call(function, what, *args):
    """Calls a module function that raises on failure; its RuntimeError becomes a CardError."""
    try:
        return function(*args)
    except RuntimeError as error:
        text = str(error)
        status = None
        if ", ret: " in text:
            try:
                status = int(text.rsplit(", ret: ", 1)[1].rstrip("."))
            except ValueError:
                status = None
        raise CardError(what, status & 0xFFFFFFFF if status is not None else None,
                        None if status is not None else text) from None
