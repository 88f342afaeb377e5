"""Per-call cost of the binding against ctypes calls of the same runtime functions."""
import ctypes

from common import BUILD, best_time, report

from _halvora_pybind11 import zecm

N = 200_000


def main():
    zecm.uninitialize()
    zecm.initialize()
    zecm.setDevice(0)
    lib = ctypes.CDLL(str(BUILD / "lib" / "libzecm.so"))
    lib.zecmGetDevice.argtypes = [ctypes.POINTER(ctypes.c_uint32)]
    lib.zecmGetDevice.restype = ctypes.c_uint32
    lib.zecmSetDevice.argtypes = [ctypes.c_uint32]
    lib.zecmSetDevice.restype = ctypes.c_uint32

    def ctypes_get_device():
        device = ctypes.c_uint32(0)
        if lib.zecmGetDevice(ctypes.byref(device)):
            raise RuntimeError("get device error")
        return device.value

    def empty():
        return 0

    empty_time = best_time(empty, N)
    for name, ours, baseline in [
        ("getDevice()", zecm.getDevice, ctypes_get_device),
        ("setDevice(0)", lambda: zecm.setDevice(0), lambda: lib.zecmSetDevice(0)),
    ]:
        ours_time, ctypes_time = best_time(ours, N), best_time(baseline, N)
        report(f"{name} vs ctypes", ours_time, ctypes_time)
        report(f"{name} vs empty Python function", ours_time, empty_time)


if __name__ == "__main__":
    main()
