"""Models and one-model op streams: a model loaded from an ONNX file, its inputs and
outputs described and run on NumPy arrays (`Model.run`, `Model.run_async`), and an op
stream (graph input -> the model) that runs datasets asynchronously and hands each run's
outputs, as NumPy arrays and in submission order, to a callable."""
import collections
import concurrent.futures
import errno
import os
import threading
import weakref

import numpy as np

from ._native import FOREVER, CardError, Status, call, check, zecl, zecm
from .card import (RUNTIME, Dataset, DeviceMemory, Resource, Slots, _selected_device, dataset_arrays, on_device,
                   use_card)

_DTYPES = {
    "zecmDT_UINT8": np.uint8, "zecmDT_INT8": np.int8, "zecmDT_UINT16": np.uint16, "zecmDT_INT16": np.int16,
    "zecmDT_FLOAT16": np.float16, "zecmDT_UINT32": np.uint32, "zecmDT_INT32": np.int32,
    "zecmDT_FLOAT32": np.float32,
}
# ONNX element types the card reads (TensorProto numbers).
_ONNX_DTYPES = {1: np.float32, 2: np.uint8, 3: np.int8, 4: np.uint16, 5: np.int16, 6: np.int32, 10: np.float16}


class InputMismatch(ValueError):
    """An input that does not fit the model (or a picture that cannot be made into one)."""


class TensorInfo:
    """An input or output of a model: name, shape (a list), NumPy dtype, bytes."""

    def __init__(self, name, shape, dtype):
        self.name, self.shape, self.dtype = name, list(shape), np.dtype(dtype) if dtype is not None else None
        self.nbytes = int(np.prod(self.shape)) * self.dtype.itemsize if self.dtype is not None else None

    def __repr__(self):
        return f"{self.name or '?'}: {self.kind()}"

    def kind(self):
        """Type and shape as one text: float16[1, 3, 224, 224]."""
        return f"{self.dtype.name if self.dtype is not None else '?'}{self.shape}"

    def accept(self, array):
        """`array` as this input takes it: the same shape, of its dtype (float32 and float64
        converted to a float16 input); InputMismatch naming what differs otherwise."""
        array = np.asarray(array)
        given = f"{array.dtype.name}{list(array.shape)}"
        if list(array.shape) != self.shape:
            raise InputMismatch(f"input '{self.name}': expected {self.kind()}, given {given}")
        if self.dtype is None or array.dtype == self.dtype:
            return np.ascontiguousarray(array)
        if self.dtype == np.float16 and array.dtype in (np.float32, np.float64):
            return array.astype(np.float16)
        raise InputMismatch(f"input '{self.name}': expected {self.kind()}, given {given}")


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
    """A model loaded from an ONNX file, starting the card's runtime if it is not running.
    `inputs` and `outputs` are TensorInfo lists: shapes and output types from the card;
    names, and the inputs' element types (which the card's interface does not report),
    from the ONNX file.

    `run(inputs)` runs it on NumPy arrays and returns the outputs as a list of arrays in the
    model's output order; `run_async(inputs)` returns a concurrent.futures.Future of that
    list. Inputs are a dict by input name, or one array for a model of one input (or a list
    in input order). Each run in flight owns its input memory on the card (a set of blocks
    the model recycles), so the caller may change its arrays as soon as the call returns;
    at most `in_flight` runs are queued at once, run_async waits for a free set beyond."""

    def __init__(self, path, max_batch=None, in_flight=4):
        self.path = str(path)
        if not os.path.isfile(self.path):
            raise FileNotFoundError(errno.ENOENT, "no such model file", self.path)
        config = "" if max_batch is None else f'{{"maxBatchSize": {int(max_batch)}}}'
        self.in_flight = max(1, int(in_flight))
        self._runner = None
        self._runner_lock = threading.Lock()
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
        if self._runner is not None:
            self._runner.close()  # waits for the runs in flight
        zecl.destroyModel(self.handle)
        RUNTIME.release()

    def _fields(self):
        return {"path": self.path, "inputs": getattr(self, "inputs", None), "outputs": getattr(self, "outputs", None)}

    def arrays(self, inputs):
        """The inputs of a run as the model takes them, in input order (see run())."""
        if isinstance(inputs, dict):
            names = [tensor.name for tensor in self.inputs]
            unknown = sorted(set(inputs) - set(names))
            if unknown:
                raise InputMismatch(f"{self.path}: no input named {', '.join(map(repr, unknown))}; "
                                    f"its inputs are {', '.join(map(repr, names))}")
            missing = [name for name in names if name not in inputs]
            if missing:
                raise InputMismatch(f"{self.path}: input {', '.join(map(repr, missing))} not given")
            given = [inputs[name] for name in names]
        elif isinstance(inputs, (list, tuple)):
            given = list(inputs)
        else:
            given = [inputs]
        if len(given) != len(self.inputs):
            raise InputMismatch(f"{self.path}: {len(self.inputs)} inputs needed "
                                f"({', '.join(map(repr, self.inputs))}), {len(given)} given")
        return [tensor.accept(array) for tensor, array in zip(self.inputs, given)]

    def run(self, inputs):
        """Runs the model once on NumPy arrays and waits: its outputs, a list of arrays."""
        return self.run_async(inputs).result()

    def run_async(self, inputs):
        """Queues a run on NumPy arrays: a Future of the outputs (a list of arrays), or of
        the run's error (RunError, CardError)."""
        if self.closed:
            raise ValueError(f"the model {self.path} is closed")
        arrays = self.arrays(inputs)
        stream = self._runner_for()
        future: concurrent.futures.Future = concurrent.futures.Future()
        future.set_running_or_notify_cancel()  # a queued run cannot be taken back
        with stream.input() as tensor:
            tensor.upload(arrays)
            stream.submit(tensor, future)
        return future

    def _runner_for(self):
        """The op stream behind run_async(), made on first use."""
        with self._runner_lock:
            if self._runner is None:
                self._runner = ModelStream(self, on_output=_settle, depth=self.in_flight)
            return self._runner


def _settle(future, arrays, error):
    """Delivers a run_async() run to its Future."""
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(arrays)


class StreamInput(Dataset):
    """One of a ModelStream's own sets of model-input blocks (one block per input, in the
    model's layout), taken with `stream.input()`: a Dataset to fill (with a fused op, or
    upload()) and submit. A submitted input belongs to its run until the run's on_output has
    returned, then it is free again; one left unsubmitted at the end of its `with` block is
    given back then."""

    def __init__(self, stream, blocks, device):
        super().__init__(blocks, device)
        self.stream, self.blocks = stream, blocks
        self.state = "taken"  # "taken" by the caller, "queued" for a run, or "free"

    def upload(self, arrays):
        """Writes one array per model input into the blocks (see Model.arrays)."""
        for block, array in zip(self.blocks, arrays):
            block.upload(array)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stream._give_back(self, "taken")
        return False

    def _release(self):
        super()._release()
        for block in self.blocks:
            block.close()


class _Reports:
    """The stream's report callable. It holds the ModelStream only weakly, so that a stream
    nobody holds can go; while it runs, the thread is marked as this stream's report thread."""

    def __init__(self, stream):
        self.stream = weakref.ref(stream)

    def __call__(self, op, inputs, outputs, status, user):
        stream = self.stream()
        if stream is not None and status.isStreamEnd:
            _reporting.stream = stream
            try:
                stream._finished(status.errorCode)
            finally:
                _reporting.stream = None


_reporting = threading.local()  # the ModelStream whose report the thread is delivering


class RunError(CardError):
    """A run of the model failed, or its outputs could not be taken."""


class ModelStream(Resource):
    """An op stream that runs one model: graph input -> run-model op, outputs registered.

    submit(dataset, tag) queues a run of a Dataset (one member per model input, each in the
    model's layout) and returns at once; when the run ends, `on_output(tag, arrays, error)`
    is called on the stream's thread, in submission order, with the outputs as NumPy arrays
    (error None), or with arrays None and a RunError (the run failed, or its outputs could not
    be taken). The card reads a run's input when the run starts, not when it is submitted:
    a dataset's memory must stay unchanged until its run's outputs are delivered (Model.run_async
    takes care of that). `mode` "run" runs several inputs at once on a pool of threads; "once"
    one at a time.

    An exception raised by on_output is kept and raised once, by the next synchronize() (or
    close()). close() waits for every queued run to be delivered first; it is refused from
    on_output itself.

    `device` (an AI device index) runs the stream on that device and makes its inputs in its
    memory, whichever device other threads select meanwhile (see card.on_device); None (the
    default): the device the process has selected when the stream and its inputs are made."""

    def __init__(self, model, on_output=None, mode="run", depth=4, device=None):
        modes = {"run": zecl.balance_mode.zeclBM_RUN, "once": zecl.balance_mode.zeclBM_ONCE}
        if mode not in modes:
            raise ValueError(f"mode {mode!r}: 'run' or 'once'")
        if depth < 1:
            raise ValueError(f"depth {depth}: at least 1")
        self.model, self.on_output, self.mode, self.depth = model, on_output, mode, depth
        self.device = device
        self._inputs = Slots([])
        self._inputs_lock = threading.Lock()
        self.layouts = [(o.dtype, o.shape) for o in model.outputs]
        self._pending: collections.deque = collections.deque()
        self._lock = threading.Lock()
        self._submitting = threading.Lock()
        self.errors: list = []
        self.stream = None
        self.graph = call(zecl.createOpGraph, "creating an op graph")
        try:
            self.input_op = call(zecl.createGraphInputOp, "creating the graph's input", self.graph, len(model.inputs))
            self.op = call(zecl.createRunModelOp, "creating the model's op", model.handle)
            check(zecl.connectOps(self.input_op, self.op), "connecting the graph")
            check(zecl.registerGetOutput(self.graph, self.op), "registering the model's outputs")
            with on_device(device):
                self.stream = call(zecl.createOpStream, "creating an op stream", self.graph, modes[mode])
            check(zecl.buildStream(self.stream), "building the op stream")
            check(zecl.subscribeStreamReport(self.stream, _Reports(self), None), "subscribing to reports")
        except BaseException:
            self._destroy()
            self.closed = True
            raise

    def _fields(self):
        return {"model": self.model.path, "mode": self.mode, "pending": self.pending()}

    def close(self):
        """Waits until every queued run has been delivered, destroys the stream and its graph,
        then raises the first exception on_output raised that was not raised yet."""
        if self.closed:
            return
        if getattr(_reporting, "stream", None) is self:
            raise RuntimeError("a ModelStream cannot be closed from its own on_output: close it once "
                               "synchronize() has returned, on another thread")
        self._wait(None)
        self.closed = True
        self._destroy()
        self._raise_kept()

    def __exit__(self, kind, value, traceback):
        try:
            self.close()
        except BaseException:
            if kind is None:  # an exception already on its way wins
                raise
        return False

    def _release(self):
        self._destroy()

    def _destroy(self):
        if self.stream is not None:
            zecl.destroyOpStream(self.stream)
        zecl.destroyOpGraph(self.graph)
        for tensor in self._inputs.items:
            tensor.close()

    def input(self, timeout=None):
        """A free StreamInput of this stream's own (made on demand, `depth` at most): use it
        in a `with` block, fill it, submit it. Waits while all `depth` are in flight; None
        after `timeout` seconds."""
        if self.closed:
            raise ValueError("the model stream is closed")
        tensor = self._inputs.acquire(timeout=0)
        if tensor is None:
            with self._inputs_lock:
                if len(self._inputs) < self.depth:
                    unknown = [t.name for t in self.model.inputs if t.nbytes is None]
                    if unknown:
                        raise InputMismatch(f"{self.model.path}: the element type of input {unknown[0]!r} is "
                                            "unknown (the onnx package reads it from the model file)")
                    blocks: list = []
                    try:
                        with on_device(self.device):
                            for t in self.model.inputs:
                                blocks.append(DeviceMemory(max(1, t.nbytes), "model"))
                        device = self.device if self.device is not None else _selected_device() or 0
                        tensor = StreamInput(self, blocks, device)
                    except BaseException:
                        for block in blocks:
                            block.close()
                        raise
                    self._inputs.add(tensor)
                    return tensor
            tensor = self._inputs.acquire(timeout)
        if tensor is not None:
            tensor.state = "taken"
        return tensor

    def _give_back(self, tensor, state):
        """Frees `tensor` if it is still in `state` (taken by the caller, or queued for the
        run now delivered): whichever of the two ends last frees it, once."""
        with self._inputs_lock:
            if tensor.state != state:
                return
            tensor.state = "free"
        self._inputs.release(tensor)

    def submit(self, dataset, tag=None):
        """Queues a run on `dataset` (a Dataset or a dataset handle). A refused submit (a
        CardError, or a TypeError for what is not a dataset) leaves no trace."""
        if self.closed:
            raise ValueError("the model stream is closed")
        handle = getattr(dataset, "handle", dataset)
        own = dataset if isinstance(dataset, StreamInput) and dataset.stream is self else None
        entry = [tag, own]  # an object of its own, found again if the card refuses the run
        with self._submitting:  # the runs queue in the order of their entries
            with self._lock:
                self._pending.append(entry)
            if own is not None:
                own.state = "queued"  # before the call: its report may come before the call returns
            try:
                status = zecl.runStreamAsync(self.stream, self.input_op, handle)
            except BaseException:
                self._forget(entry)
                raise
            if status:
                self._forget(entry)
                check(status, "queueing a run of the model")

    def _forget(self, entry):
        with self._lock:
            self._pending.remove(entry)
        if entry[1] is not None:
            entry[1].state = "taken"

    def _finished(self, status):
        with self._lock:
            tag, own = self._pending.popleft() if self._pending else (None, None)
        try:
            arrays, error = self._outputs(status)
            if self.on_output is not None:
                self.on_output(tag, arrays, error)
            elif error is not None:
                self._keep(error)
        except BaseException as failure:  # noqa: BLE001  (kept for the submitting thread)
            self._keep(failure)
        finally:
            if own is not None:
                self._give_back(own, "queued")

    def _outputs(self, status):
        """(arrays, None) of a run that succeeded, (None, RunError) otherwise."""
        if status:
            return None, RunError("running the model", status & 0xFFFFFFFF)
        try:
            self._drop_stale_outputs()
            output = call(zecl.requestOutputDataset, "taking a run's outputs", self.stream)
            try:
                return dataset_arrays(output, self.layouts), None
            finally:
                zecm.destroyDatasetAll(output)
        except CardError as error:
            return None, RunError(error.what, error.status)

    def _drop_stale_outputs(self):
        """Outputs of earlier runs still waiting on the card (their taking failed) go, so
        that this report takes its own run's outputs: the card queues them in run order."""
        for _ in range(call(zecl.getStreamCacheNumber, "counting a run's outputs", self.stream) - 1):
            zecm.destroyDatasetAll(call(zecl.requestOutputDataset, "dropping an earlier run's outputs",
                                        self.stream))

    def _keep(self, error):
        with self._lock:
            self.errors.append(error)

    def pending(self):
        """Runs submitted whose outputs have not been handed out yet."""
        with self._lock:
            return len(self._pending)

    def synchronize(self, timeout=None):
        """Waits until every submitted run has been handed to on_output; raises, once, the
        first exception raised there (or, without on_output, the first failed run) since the
        last synchronize(). TimeoutError after `timeout` seconds."""
        self._wait(timeout)
        self._raise_kept()

    def _wait(self, timeout):
        if getattr(_reporting, "stream", None) is self:
            raise RuntimeError("synchronize() on a ModelStream from its own on_output would wait for itself")
        wait = FOREVER if timeout is None else max(0, int(timeout * 1000))
        status = zecl.synchronizeStream(self.stream, wait)  # reports are delivered before it returns
        if status == Status.TIMEOUT_COMPUTE:
            raise TimeoutError(f"{self.pending()} runs still in flight after {timeout} s")
        if status:
            self._lose_pending(status)

    def _lose_pending(self, status):
        """The stream is gone (its runtime was stopped): runs still recorded never report."""
        while True:
            with self._lock:
                if not self._pending:
                    return
                tag, own = self._pending.popleft()
            if own is not None:
                self._give_back(own, "queued")
            error = RunError("the op stream ended before the run was delivered", status)
            try:
                if self.on_output is not None:
                    self.on_output(tag, None, error)
                else:
                    self._keep(error)
            except BaseException as failure:  # noqa: BLE001
                self._keep(failure)

    def _raise_kept(self):
        with self._lock:
            errors, self.errors = self.errors, []
        if errors:
            first = errors[0]
            if len(errors) > 1:
                first.add_note(f"({len(errors) - 1} more runs failed or raised in on_output since)")
            raise first

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


__all__ = ["Model", "ModelStream", "StreamInput", "TensorInfo", "RunError", "InputMismatch", "FOREVER"]
