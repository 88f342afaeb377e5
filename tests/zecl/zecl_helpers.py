"""Helpers of the compute-library tests: device data, op chains, reports, isolation."""
import ctypes
import os
import subprocess
import sys
import textwrap
import threading
from dataclasses import dataclass

import numpy as np
import pytest

import _halvora_pybind11 as hal
from card import device_info
from sim import BUILD, LIB_DIR

FOREVER = 0xFFFFFFFF
INVALID_PARAM = 301001
INVALID_HANDLE = 301002
MODEL_FILE = 301003
TIMEOUT = 301004
NO_OUTPUT = 301005
GRAPH_INVALID = 301006
BATCH_SIZE = 301007
INDEX_OUT_OF_RANGE = 301008
STREAM_BUSY = 301011

ONCE = hal.zecl.balance_mode.zeclBM_ONCE
RUN = hal.zecl.balance_mode.zeclBM_RUN


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


@dataclass
class Pipeline:
    """A graph-input op feeding one or more run-model ops in a chain, as an op stream."""
    graph: object
    input: object
    ops: list
    stream: object


def chain(zecl, handles, mode=ONCE, register=None, build=True):
    """Graph input -> handles[0] -> handles[1] -> ...; registers the ops at the indices
    in `register` (default: the last one)."""
    graph = zecl.createOpGraph()
    first = zecl.createGraphInputOp(graph, zecl.getModelInputCount(handles[0]))
    ops, feeder = [], first
    for handle in handles:
        op = zecl.createRunModelOp(handle)
        assert zecl.connectOps(feeder, op) == 0
        ops.append(op)
        feeder = op
    for index in (len(ops) - 1,) if register is None else register:
        assert zecl.registerGetOutput(graph, ops[index]) == 0
    stream = zecl.createOpStream(graph, mode)
    if build:
        assert zecl.buildStream(stream) == 0
    return Pipeline(graph, first, ops, stream)


def close(actual, expected):
    np.testing.assert_allclose(np.asarray(actual).reshape(expected.shape), expected, rtol=1e-4, atol=1e-4)


class Reports:
    """Collects stream reports as (p1, p2, p3, errorCode, isStreamEnd, user) tuples."""

    def __init__(self):
        self.seen = []

    def __call__(self, p1, p2, p3, status, user):
        self.seen.append((p1, p2, p3, status.errorCode, status.isStreamEnd, user))


def deliver_report():
    """zesimDeliverReport of libzecl through ctypes (which releases the interpreter lock)."""
    lib = ctypes.CDLL(str(LIB_DIR / "libzecl.so"))
    function = lib.zesimDeliverReport
    function.argtypes = [ctypes.c_void_p] * 4 + [ctypes.c_int32, ctypes.c_int32]
    function.restype = ctypes.c_uint32
    return function


def pointer(capsule):
    """The address a capsule carries, as an int for ctypes."""
    ctypes.pythonapi.PyCapsule_GetPointer.restype = ctypes.c_void_p
    ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return ctypes.pythonapi.PyCapsule_GetPointer(capsule, None)


def run_isolated(source, timeout=120):
    """Runs Python `source` in a fresh interpreter with the tests' import paths; a
    deadlock fails the test at the timeout instead of hanging the suite."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD / "python"), here,
                                                       os.path.dirname(here)]))
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, timeout=timeout,
                              capture_output=True, text=True)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s (deadlock)")


class Gate:
    """A report callback that holds the stream's deliveries until it is opened (at
    most 30 s, so that a fault fails a test instead of hanging it)."""

    def __init__(self):
        self.entered = threading.Event()
        self.opened = threading.Event()

    def __call__(self, *report):
        self.entered.set()
        self.opened.wait(30)

    def open(self):
        self.opened.set()
