"""Helpers shared by the test suites: raw blocks, addresses inside them, device records."""
import ctypes
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from sim import BUILD, LIB_DIR, address, capsule

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


class Device:
    """Moves NumPy arrays to and from device memory and wraps them in datasets."""

    def __init__(self, zecm):
        self.zecm = zecm

    def info(self):
        return device_info(self.zecm, index=self.zecm.getDevice())

    def upload(self, array, block=None):
        """A device block (new unless given) holding the bytes of `array`."""
        data = np.ascontiguousarray(array).view(np.uint8).ravel()
        if block is None:
            block = self.zecm.malloc(data.size)
        host = self.zecm.getHandleFromNumpy(data)
        assert self.zecm.memcpy(host, block, data.size, self.zecm.copyMemType.zecmCT_COPY_TO_DEVICE) == 0
        assert self.zecm.freeHost(host) == 0
        return block

    def download(self, block, size):
        """`size` bytes of device memory, copied back to the host."""
        host = self.zecm.mallocHost(size)
        assert self.zecm.memcpy(block, host, size, self.zecm.copyMemType.zecmCT_COPY_FROM_DEVICE) == 0
        data = self.zecm.getNumpyFromHandle(host, size)
        assert self.zecm.freeHost(host) == 0
        return data

    def dataset(self, arrays, tensors=False):
        """A dataset of buffers (or float32 tensors) over new device copies of `arrays`."""
        zecm = self.zecm
        if tensors:
            dataset = zecm.createDataset(zecm.datasetMode.zecmDM_TENSOR)
            for array in arrays:
                shape = zecm.shape()
                shape.ndims, shape.shapes = array.ndim, list(array.shape)
                tensor = zecm.createTensorWithDataHandle(self.info(), shape, zecm.dType.zecmDT_FLOAT32,
                                                         self.upload(array), False)
                assert zecm.addDatasetTensor(dataset, tensor) == 0
        else:
            dataset = zecm.createDataset(zecm.datasetMode.zecmDM_BUFFER)
            for array in arrays:
                buffer = zecm.createDataBuffer(self.info(), self.upload(array), array.nbytes)
                assert zecm.addDatasetBuffer(dataset, buffer) == 0
        return dataset

    def results(self, dataset):
        """The float32 members of an output dataset; tensors come back in their shapes."""
        zecm = self.zecm
        if zecm.getDatasetMode(dataset) == zecm.datasetMode.zecmDM_TENSOR:
            arrays = []
            for i in range(zecm.getDatasetTensorCount(dataset)):
                tensor = zecm.getDatasetTensor(dataset, i)
                shape = zecm.shape()
                assert zecm.getTensorShape(tensor, shape) == 0
                data = self.download(zecm.getTensorDataHandle(tensor), zecm.getTensorSize(tensor))
                arrays.append(data.view(np.float32).reshape(shape.shapes))
            return arrays
        arrays = []
        for i in range(zecm.getDatasetBufferCount(dataset)):
            buffer = zecm.getDatasetBuffer(dataset, i)
            size = zecm.getDataBufferSize(buffer)
            arrays.append(self.download(zecm.getDataBufferAddr(buffer), size).view(np.float32))
        return arrays


def run_isolated(source, timeout=120):
    """Runs Python `source` in a fresh interpreter with the tests' import paths; a
    deadlock fails the test at the timeout instead of hanging the suite."""
    tests = pathlib.Path(__file__).resolve().parent
    folders = [tests, *(path for path in tests.iterdir() if path.is_dir())]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, [BUILD / "python", *folders])))
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, timeout=timeout,
                              capture_output=True, text=True)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s (deadlock)")
