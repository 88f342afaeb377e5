"""Models and one-model op streams: a model loaded from an ONNX file, its inputs and
outputs described, and an op stream (graph input -> the model) that runs inputs
asynchronously and hands each run's outputs, as NumPy arrays and in submission order,
to a callable."""
import collections
import threading
import weakref

import numpy as np

from ._native import FOREVER, CardError, call, check, zecl, zecm
from .card import RUNTIME, Resource, dataset_arrays, use_card

_DTYPES = {
    "zecmDT_UINT8": np.uint8, "zecmDT_INT8": np.int8, "zecmDT_UINT16": np.uint16, "zecmDT_INT16": np.int16,
    "zecmDT_FLOAT16": np.float16, "zecmDT_UINT32": np.uint32, "zecmDT_INT32": np.int32,
    "zecmDT_FLOAT32": np.float32,
}
# ONNX element types the card reads (TensorProto numbers).
_ONNX_DTYPES = {1: np.float32, 2: np.uint8, 3: np.int8, 4: np.uint16, 5: np.int16, 6: np.int32, 10: np.float16}


class TensorInfo:
    """An input or output of a model: name, shape (a list), NumPy dtype, bytes."""

    def __init__(self, name, shape, dtype):
        self.name, self.shape, self.dtype = name, list(shape), np.dtype(dtype) if dtype is not None else None
        self.nbytes = int(np.prod(self.shape)) * self.dtype.itemsize if self.dtype is not None else None

    def __repr__(self):
        kind = self.dtype.name if self.dtype is not None else "?"
        return f"{self.name or '?'}: {kind}{self.shape}"


def _onnx_values(path):
    """(inputs, outputs) of the ONNX graph: lists of (name, element type as a NumPy dtype or
    None); inputs that are initializers are left out, as the card does."""
    try:
        import onnx
        model = onnx.load(str(path), load_external_data=False)
    except Exception:  # noqa: BLE001  (the card's own loader says what is wrong with the file)
        return None, None
    initializers = {tensor.name for tensor in model.graph.initializer}

    def values(entries):
        return [(v.name, _ONNX_DTYPES.get(v.type.tensor_type.elem_type)) for v in entries if v.name not in initializers]
    return values(model.graph.input), values(model.graph.output)


class Model(Resource):
    """A model loaded from an ONNX file. `inputs` and `outputs` are TensorInfo lists: shapes
    and output types from the card; names, and the inputs' element types (which the card's
    interface does not report), from the ONNX file."""

    def __init__(self, path, max_batch=None):
        self.path = str(path)
        config = "" if max_batch is None else f'{{"maxBatchSize": {int(max_batch)}}}'
        use_card()
        try:
            self.handle = call(zecl.createModel, f"loading the model {self.path}", self.path, "", config, "")
        except BaseException:
            RUNTIME.release()
            raise
        try:
            self._describe()
        except BaseException:
            self.close()
            raise

    def _describe(self):
        names_in, names_out = _onnx_values(self.path)
        self.inputs = []
        for index in range(call(zecl.getModelInputCount, "reading the model's inputs", self.handle)):
            shape = zecm.shape()
            check(zecl.getModelInputShapeByIndex(self.handle, index, shape), "reading an input shape")
            name, dtype = names_in[index] if names_in and index < len(names_in) else (f"input{index}", None)
            self.inputs.append(TensorInfo(name, shape.shapes[:shape.ndims], dtype))
        self.outputs = []
        for index in range(call(zecl.getModelOutputCount, "reading the model's outputs", self.handle)):
            shape = zecm.shape()
            check(zecl.getModelOutputShapeByIndex(self.handle, index, shape), "reading an output shape")
            kind = call(zecl.getModelOutputDataTypeByIndex, "reading an output type", self.handle, index)
            name = names_out[index][0] if names_out and index < len(names_out) else f"output{index}"
            self.outputs.append(TensorInfo(name, shape.shapes[:shape.ndims], _DTYPES.get(kind.name, np.uint8)))

    def _release(self):
        zecl.destroyModel(self.handle)
        RUNTIME.release()

    def __repr__(self):
        return f"Model({self.path!r}, inputs={self.inputs}, outputs={self.outputs})"


class _Reports:
    """The stream's report callable. The runtime keeps a subscription for the life of the
    process, so it holds the ModelStream only weakly."""

    def __init__(self, stream):
        self.stream = weakref.ref(stream)

    def __call__(self, op, inputs, outputs, status, user):
        stream = self.stream()
        if stream is not None and status.isStreamEnd:
            stream._finished(status.errorCode)


class RunError(CardError):
    """A run of the model failed."""


class ModelStream(Resource):
    """An op stream that runs one model: graph input -> run-model op, outputs registered.

    submit(dataset, tag) queues a run of a Dataset (one member per model input, each in the
    model's layout) and returns at once; when the run ends, `on_output(tag, arrays, error)`
    is called on the stream's thread, in submission order, with the outputs as NumPy arrays
    (error None), or with arrays None and a RunError. `mode` "run" runs several inputs at
    once on a pool of threads; "once" one at a time."""

    def __init__(self, model, on_output=None, mode="run"):
        modes = {"run": zecl.balance_mode.zeclBM_RUN, "once": zecl.balance_mode.zeclBM_ONCE}
        if mode not in modes:
            raise ValueError(f"mode {mode!r}: 'run' or 'once'")
        self.model, self.on_output = model, on_output
        self.layouts = [(o.dtype, o.shape) for o in model.outputs]
        self._pending: collections.deque = collections.deque()
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self.errors = []
        self.stream = None
        self.graph = call(zecl.createOpGraph, "creating an op graph")
        try:
            self.input = call(zecl.createGraphInputOp, "creating the graph's input", self.graph, len(model.inputs))
            self.op = call(zecl.createRunModelOp, "creating the model's op", model.handle)
            check(zecl.connectOps(self.input, self.op), "connecting the graph")
            check(zecl.registerGetOutput(self.graph, self.op), "registering the model's outputs")
            self.stream = call(zecl.createOpStream, "creating an op stream", self.graph, modes[mode])
            check(zecl.buildStream(self.stream), "building the op stream")
            check(zecl.subscribeStreamReport(self.stream, _Reports(self), None), "subscribing to reports")
        except BaseException:
            self.close()
            raise

    def _release(self):
        if self.stream is not None:
            zecl.destroyOpStream(self.stream)  # finishes the queued runs; their reports are delivered
        zecl.destroyOpGraph(self.graph)

    def submit(self, dataset, tag=None):
        """Queues a run on `dataset` (a Dataset or a dataset handle)."""
        handle = getattr(dataset, "handle", dataset)
        with self._lock:
            self._pending.append(tag)
        status = zecl.runStreamAsync(self.stream, self.input, handle)
        if status:
            with self._lock:
                self._pending.pop()
            check(status, "queueing a run of the model")

    def _finished(self, status):
        with self._lock:
            tag = self._pending.popleft() if self._pending else None
        arrays, error = None, None
        try:
            if status:
                error = RunError("running the model", status)
            else:
                output = call(zecl.requestOutputDataset, "taking a run's outputs", self.stream)
                try:
                    arrays = dataset_arrays(output, self.layouts)
                finally:
                    zecm.destroyDatasetAll(output)
            if self.on_output is not None:
                self.on_output(tag, arrays, error)
            elif error is not None:
                self.errors.append(error)
        except BaseException as failure:  # noqa: BLE001  (kept for the submitting thread)
            self.errors.append(failure)
        finally:
            with self._lock:
                if not self._pending:
                    self._idle.notify_all()

    def pending(self):
        """Runs submitted whose outputs have not been handed out yet."""
        with self._lock:
            return len(self._pending)

    def synchronize(self, timeout=None):
        """Waits until every submitted run has been handed to on_output; re-raises the first
        exception raised there (or, without on_output, the first failed run)."""
        with self._idle:
            if not self._idle.wait_for(lambda: not self._pending, timeout):
                raise TimeoutError(f"{len(self._pending)} runs still in flight after {timeout} s")
        if self.errors:
            raise self.errors[0]

    def run(self, dataset):
        """One run, waited for: the outputs as NumPy arrays. Only on a stream without on_output."""
        if self.on_output is not None:
            raise RuntimeError("run() is for streams without on_output")
        results = []
        self.on_output = lambda tag, arrays, error: results.append((arrays, error))
        try:
            self.submit(dataset)
            self.synchronize()
        finally:
            self.on_output = None
        arrays, error = results[0]
        if error is not None:
            raise error
        return arrays


__all__ = ["Model", "ModelStream", "TensorInfo", "RunError", "FOREVER"]
