"""A tour of the module on the software card: inventory, devices, contexts, memory."""
import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build" / "python"))

import _halvora_pybind11 as hal  # noqa: E402
from _halvora_pybind11 import zecm  # noqa: E402


def devices():
    """Device indices of the machine, found by asking for each one's identity."""
    index = 0
    while True:
        try:
            yield index, zecm.getDeviceIdInfo(index)
        except RuntimeError:
            return
        index += 1


def main():
    print(f"_halvora_pybind11 {hal.__version__}, built {hal.__time_compiled__}")
    print(f"runtime: {zecm.getVersion()}")
    assert zecm.initialize() == zecm.ER_SUCCESS
    for index, (card, die, seq) in devices():
        context = zecm.createContext(index)
        assert zecm.setCurrentContext(context) == 0
        print(f"device {index}: card {card}, die {die}, sequence {seq}; context created", end="")
        assert zecm.setCurrentContext(None) == 0
        assert zecm.destroyContext(context) == 0
        print(" and destroyed")

    zecm.setDevice(0)
    data = np.arange(1 << 20, dtype=np.uint32).view(np.uint8)
    host = zecm.getHandleFromNumpy(data)
    device = zecm.malloc(data.size)
    zecm.memcpy(host, device, data.size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE)
    back = zecm.mallocHost(data.size)
    zecm.memcpy(device, back, data.size, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE)
    result = zecm.getNumpyFromHandle(back, data.size)
    print(f"copied {data.size} bytes to device 0 and back:",
          "equal" if np.array_equal(result, data) else "DIFFERENT")
    for block, free in ((host, zecm.freeHost), (device, zecm.free), (back, zecm.freeHost)):
        assert free(block) == 0
    zecm.uninitialize()


if __name__ == "__main__":
    main()
