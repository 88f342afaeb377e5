"""Bulk transfers: NumPy to host memory and back, and host to device to host, beside numpy.copy."""
import numpy as np

from common import best_time, report

from _halvora_pybind11 import zecm

SIZE = 64 << 20


def main():
    zecm.uninitialize()
    zecm.initialize()
    zecm.setDevice(0)
    data = np.random.default_rng(0).integers(0, 256, SIZE, dtype=np.uint8)
    copy_time = best_time(lambda: np.copy(data), 3)

    def through_host():
        handle = zecm.getHandleFromNumpy(data)
        zecm.getNumpyFromHandle(handle, SIZE)
        zecm.freeHost(handle)

    host = zecm.getHandleFromNumpy(data)
    back = zecm.mallocHost(SIZE)
    device = zecm.malloc(SIZE)
    to_device = zecm.copyMemType.zecmCT_COPY_TO_DEVICE
    from_device = zecm.copyMemType.zecmCT_COPY_FROM_DEVICE

    def through_device():
        zecm.memcpy(host, device, SIZE, to_device)
        zecm.memcpy(device, back, SIZE, from_device)

    gigabytes = SIZE / 1e9
    for name, function, copies in [("getHandleFromNumpy + getNumpyFromHandle (64 MiB)", through_host, 2),
                                   ("memcpy host -> device -> host (64 MiB)", through_device, 2)]:
        ours = best_time(function, 3)
        report(name, ours, copies * copy_time, unit="ms", scale=1e3)
        print(f"  {copies * gigabytes / ours:.2f} GB/s, numpy.copy {gigabytes / copy_time:.2f} GB/s")
    assert np.array_equal(zecm.getNumpyFromHandle(back, SIZE), data)


if __name__ == "__main__":
    main()
