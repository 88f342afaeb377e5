"""Helpers of the compute-library tests: device data, op chains, reports, isolation."""
import ctypes
import threading
from dataclasses import dataclass

import numpy as np

import _halvora_pybind11 as hal
from card import Device, run_isolated  # noqa: F401  (the compute tests import them from here)
from sim import LIB_DIR

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
