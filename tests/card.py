"""Helpers shared by the test suites: raw blocks, addresses inside them, device records."""
import ctypes

from sim import LIB_DIR, address, capsule

_zecm = ctypes.CDLL(str(LIB_DIR / "libzecm.so"))


def block(size, allocate="zecmMalloc"):
    """A memory block of the card (device blocks on the selected device), as a capsule,
    allocated straight through the runtime (no binding involved)."""
    pointer = ctypes.c_void_p()
    assert getattr(_zecm, allocate)(ctypes.c_uint64(size), ctypes.byref(pointer)) == 0
    return capsule(pointer.value)


def offset(handle, delta):
    """A capsule of the address `delta` bytes after the one `handle` carries."""
    return capsule(int(address(handle), 16) + delta)


def device_info(zecm, kind="zecmDE_ZECC", index=0):
    """A deviceInfo record naming a device."""
    record = zecm.deviceInfo()
    record.deviceType = getattr(zecm.deviceType, kind)
    record.deviceIdx = index
    return record
