"""The extension module and the package's native helper, addresses as handles, and statuses
as exceptions."""
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
import _halvora_av as av  # noqa: E402,F401  (demuxing and muxing: built beside the module)

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


class Status:
    """The card's statuses the package acts on. Those the module names come from it; the rest
    are the card's own codes (docs/error-codes.md), which the module has no names for."""

    MORE_DATA = zeme.zemeER_RSLT_WARN_MORE_DATA
    EOS = zeme.zemeER_RSLT_WARN_EOS
    WAIT_MORE_INPUT = zecl.zeclER_WAIT_MORE_INPUT
    ML_INITIALIZED = int(zeml.opStatus.ZEML_ERROR_INITIALIZED)
    NOT_INITIALIZED, ALREADY_INITIALIZED, NO_DEVICE = 100003, 100004, 100006
    INVALID_HANDLE, MODEL_FILE, TIMEOUT_COMPUTE, STREAM_BUSY = 301002, 301003, 301004, 301011
    UNKNOWN_ATTR, OP_NOT_READY = 200004, 200011
    _media = zeme.zemeER_RSLT_ERR_START
    INVALID_CHANNEL, CHANNEL_EXISTS, STATE, BITSTREAM, UNSUPPORTED, NO_MEMORY, TIMEOUT = (
        _media + 2, _media + 3, _media + 4, _media + 5, _media + 6, _media + 7, _media + 8)


class CardError(RuntimeError):
    """A call into the card failed: `what` was being done, `status` is the card's code
    (None when the failure has none, such as a refusal of the package's own)."""

    def __init__(self, what, status=None, detail=None):
        self.what, self.status = what, status
        if detail is None and status is not None:
            detail = describe(status)
        text = what if status is None else f"{what}: status {status}"
        super().__init__(f"{text} ({detail})" if detail else text)


def describe(status):
    """The card's own text for a status code, or '' when it has none; with what to do where the
    card's text alone does not say it."""
    try:
        text = zecm.getErrDesc(int(status)).strip().rstrip(".")
    except (RuntimeError, ValueError, TypeError):
        return ""
    if int(status) in (Status.NO_MEMORY, Status.NOT_INITIALIZED) and not runtime_started():
        text += "; the card's runtime is not started: open a halvora.Card() first"
    return text


def runtime_started():
    """Whether the card's common runtime is initialised (in this process)."""
    try:
        zecm.getDevice()
        return True
    except RuntimeError as error:
        return getattr(error, "status", None) != Status.NOT_INITIALIZED


def check(status, what):
    """Raises CardError unless `status` is 0."""
    if status:
        raise CardError(what, int(status))


def call(function, what, *args):
    """Calls a module function that raises on failure; its RuntimeError becomes a CardError
    with the status the module put on it."""
    try:
        return function(*args)
    except RuntimeError as error:
        status = getattr(error, "status", None)
        raise CardError(what, status, None if status is not None else str(error) or None) from None


def record_text(value):
    """A module record as text: its class and its properties, nested records included;
    enumeration members by name."""
    if hasattr(type(value), "__members__"):  # an enumeration member
        return value.name
    names = [name for klass in type(value).__mro__ for name, item in vars(klass).items()
             if isinstance(item, property)]
    if not names:
        return repr(value)
    fields = ", ".join(f"{name}={record_text(getattr(value, name))}" for name in dict.fromkeys(names))
    return f"{type(value).__name__}({fields})"


def described(record_class):
    """A subclass of a module record class whose repr shows its contents; its instances go
    wherever the module takes the record."""
    return type(record_class.__name__, (record_class,), {"__repr__": record_text, "__module__": __name__})
