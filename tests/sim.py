"""ctypes access to the software card's control interface (libzesim)."""
import ctypes
import os
import pathlib

BUILD = pathlib.Path(os.environ.get("HALVORA_BUILD",
                                    pathlib.Path(__file__).resolve().parents[1] / "build"))
LIB_DIR = BUILD / "lib"


class Sim:
    """Failure injection and the call trace of the software card."""

    def __init__(self):
        self.lib = ctypes.CDLL(str(LIB_DIR / "libzesim.so"))
        self.lib.zesimFailNext.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint32]
        self.lib.zesimNullNext.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
        self.lib.zesimTrace.argtypes = [ctypes.c_int]
        self.lib.zesimTraceRead.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        self.lib.zesimTraceRead.restype = ctypes.c_size_t
        self.lib.zesimHandleCount.restype = ctypes.c_size_t

    def fail(self, function, status, count=1):
        """The next `count` calls of `function` return `status` without doing anything."""
        self.lib.zesimFailNext(function.encode(), status, count)

    def null(self, function, count=1):
        """The next `count` calls of `function` succeed with null pointer outputs."""
        self.lib.zesimNullNext(function.encode(), count)

    def trace(self, enabled=True):
        self.lib.zesimTrace(1 if enabled else 0)

    def text(self):
        length = self.lib.zesimTraceRead(None, 0)
        buffer = ctypes.create_string_buffer(length + 1)
        self.lib.zesimTraceRead(buffer, length + 1)
        return buffer.value.decode()

    def lines(self, prefix=""):
        """Recorded trace lines, optionally only those of functions starting with `prefix`."""
        return [line for line in self.text().splitlines() if line.startswith(prefix)]

    def calls(self, function):
        """Trace lines of exactly `function`."""
        return self.lines(function + "(")

    def clear(self):
        self.lib.zesimTraceClear()

    def reset(self):
        self.lib.zesimReset()

    def handles(self):
        """The number of live handles the card has handed out, of every kind."""
        return self.lib.zesimHandleCount()


def address(capsule):
    """The pointer carried by a capsule handle, as the trace prints it."""
    ctypes.pythonapi.PyCapsule_GetPointer.restype = ctypes.c_void_p
    ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    ctypes.pythonapi.PyCapsule_GetName.restype = ctypes.c_char_p
    ctypes.pythonapi.PyCapsule_GetName.argtypes = [ctypes.py_object]
    name = ctypes.pythonapi.PyCapsule_GetName(capsule)
    return hex(ctypes.pythonapi.PyCapsule_GetPointer(capsule, name))


def capsule(pointer, name=None):
    """A capsule carrying `pointer` (an int), optionally named."""
    ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object
    ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return ctypes.pythonapi.PyCapsule_New(pointer, name, None)
