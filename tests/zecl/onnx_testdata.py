"""ONNX's backend test data (Debian's libonnx-testdata) through the card: each case is a
model with its inputs and the outputs ONNX's authors computed. A case runs the whole
path of tests/zecl/onnx_cases.py (createModel, a graph-input op feeding a run-model op,
an op stream, datasets of device memory, results back as tensors) in a pool of worker
processes, so a crash names the case that caused it and the other cases still run.

Used by tests/zecl/test_onnx_testdata.py and `scripts/model-coverage --testdata`.

Run as a program, this module is a worker: it reads case ids ("suite/case") on stdin,
one a line, and answers each with one JSON line on the channel it was given."""
import collections
import contextlib
import dataclasses
import json
import os
import pathlib
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading

DATA = pathlib.Path("/usr/share/libonnx-testdata/data")
SUITES = ("node", "pytorch-converted", "pytorch-operator", "simple")
FAILURES = pathlib.Path(__file__).with_name("onnx_testdata_failures.txt")
RTOL, ATOL = 1e-3, 1e-4
CASE_SECONDS = 60
WORKERS = 2
# What the card writes to its log at model load about the engine that runs the model.
# A fallback's line may say why the plan did not take the model, so OpenCV's name is
# looked for first.
ENGINES = ("OpenCV DNN", "compiled plan")
REGENERATE = "scripts/model-coverage --testdata --write-failures"
READY = "ready"  # a worker's first line, once the card is initialised


@dataclasses.dataclass
class Result:
    case: str        # "suite/case"
    passed: bool
    reason: str      # why it failed, "" when it passed
    engine: str = ""  # the engine the card's log named at load, "" if it named none


# The cases


def _all_float32(values):
    from onnx import TensorProto

    return all(value.type.HasField("tensor_type") and value.type.tensor_type.elem_type == TensorProto.FLOAT
               for value in values)


def _graph_inputs(graph):
    """The inputs the data sets feed: old models list their weights among the inputs."""
    weights = {initializer.name for initializer in graph.initializer}
    return [value for value in graph.input if value.name not in weights]


def float32_cases(data=DATA):
    """The ids of the cases whose inputs and outputs are all float32 tensors, by suite."""
    import onnx

    chosen = []
    for suite in SUITES:
        for folder in sorted((data / suite).iterdir()):
            graph = onnx.load(str(folder / "model.onnx"), load_external_data=False).graph
            if _all_float32(_graph_inputs(graph)) and _all_float32(graph.output):
                chosen.append(f"{suite}/{folder.name}")
    return chosen


def suite_of(case):
    return case.split("/", 1)[0]


def load_case(case, data=DATA):
    """The case as an onnx_cases.Case: its model, first data set's inputs and outputs."""
    import onnx
    from onnx import numpy_helper

    import onnx_cases

    folder = data / case
    model = (folder / "model.onnx").read_bytes()
    graph = onnx.load_from_string(model).graph
    data_set = folder / "test_data_set_0"

    def tensors(prefix):
        files = sorted(data_set.glob(f"{prefix}_*.pb"), key=lambda path: int(path.stem.split("_")[1]))
        return [numpy_helper.to_array(onnx.load_tensor(str(path))) for path in files]

    return onnx_cases.Case(case.replace("/", "."), "", model, [v.name for v in _graph_inputs(graph)],
                           [v.name for v in graph.output], tensors("input"), tensors("output"))


def compare(results, expected):
    """Why the card's results are not the expected outputs, "" when they are. The card
    gives a 0-d output as a tensor of shape [1]."""
    import numpy as np

    if len(results) != len(expected):
        return f"{len(results)} outputs, expected {len(expected)}"
    for index, (result, want) in enumerate(zip(results, expected)):
        shape, wanted = list(result.shape), list(want.shape) or [1]
        if shape != wanted:
            return f"output {index} of shape {shape}, expected {wanted}"
        if not np.allclose(result.reshape(want.shape), want, rtol=RTOL, atol=ATOL, equal_nan=True):
            return "wrong values"
    return ""


# The worker


class Worker:
    """Runs cases on device 0 of the card in this process, its log in `folder`."""

    def __init__(self, folder):
        import _halvora_pybind11 as hal
        from card import Device

        self.hal, self.folder = hal, pathlib.Path(folder)
        self.models = self.folder / "models"
        self.models.mkdir()
        zecm = hal.zecm
        assert zecm.initialize(json.dumps({"logDir": str(self.folder)})) == 0
        assert zecm.setDevice(0) == 0
        zecm.initLogger()  # the engine's line at load goes to the log when it is open
        self.device = Device(zecm)
        self.log_read = 0

    def run(self, case):
        import onnx_cases

        loaded = load_case(case)
        try:
            results = onnx_cases.run_card(self.hal, self.device, loaded, str(self.models), tensors=True)
            reason = compare(results, loaded.outputs)
        except RuntimeError as error:
            reason = _call_failure(error, self.hal.zecm.getErrDesc, loaded.model)
        except Exception as error:  # a failed check of the path itself: named, not fatal
            reason = f"{type(error).__name__}: {error}"
        return Result(case, not reason, reason, self._engine())

    def _engine(self):
        engine, self.log_read = engine_logged(self.folder / "zecm.log", self.log_read)
        return engine


def engine_logged(log, start):
    """(the engine named in the log after byte `start`, "" if none; the log's end)."""
    if not log.exists():
        return "", start
    with open(log, "rb") as file:
        file.seek(start)
        text = file.read().decode(errors="replace").lower()
        end = file.tell()
    return next((engine for engine in ENGINES if engine.lower() in text), ""), end


def _call_failure(error, describe, model):
    """A short reason from a failed call of the path: the call, and the card's
    description of its status without the status's generic words."""
    status = getattr(error, "status", None)
    text = str(error)
    if status is not None:
        # "Compute: the model file cannot be read or parsed: <reason>." -> "<reason>"
        text = describe(status).rstrip(".").split(": ", 2)[-1]
        text = re.sub(r'layer "[^"]*" of type', "layer of type", text)
    if "in function '" in text:
        # OpenCV's text of a failed check, cut to the description's room: its importer
        # names the condition.
        text = text.split("in function '")[0] + _opencv_import_failure(model)
    text = " ".join(text.split())
    calls = {"create model": "createModel fails", "run stream": "the run fails"}
    for prefix, name in calls.items():
        if str(error).startswith(prefix):
            return f"{name}: {text}"
    return text


def _opencv_import_failure(model):
    import cv2
    import numpy as np

    import onnx_cases

    try:
        cv2.dnn.readNetFromONNX(np.frombuffer(model, np.uint8))
    except cv2.error as error:
        return onnx_cases.OpenCVError("import", error).message
    return "a failed check"


def serve(requests, channel):
    """The worker's loop: one JSON result line on `channel` for each case id read."""
    import onnx_cases

    with tempfile.TemporaryDirectory(prefix="onnx-testdata-") as folder, onnx_cases.quiet():
        worker = Worker(folder)
        channel.write(READY + "\n")
        channel.flush()
        for line in requests:
            result = worker.run(line.strip())
            channel.write(json.dumps(dataclasses.asdict(result)) + "\n")
            channel.flush()


def _serve_main():
    # Results go on a copy of stdout; what the libraries print goes to stderr instead,
    # so that it cannot break the channel's lines.
    channel = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    serve(sys.stdin, channel)


# The pool


def worker_command():
    return [sys.executable, str(pathlib.Path(__file__).resolve())]


def _worker_environment():
    from sim import BUILD

    here = pathlib.Path(__file__).resolve().parent
    folders = [BUILD / "python", here.parent, here, os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, folders)))


class WorkerError(Exception):
    """A worker process that cannot start: no case can run."""


class _Process:
    """One worker process, started on demand and again after it dies."""

    def __init__(self, command, environment):
        self.command, self.environment = command, environment
        self.process = self.errors = None

    def ask(self, case, timeout):
        """The worker's result for `case`; a failed Result if it died or took too long."""
        if self.process is None:
            self._start(timeout)
        line, expired = self._exchange(case, timeout)
        if line:
            if expired:  # killed just after it answered
                self.close()
            return Result(**json.loads(line))
        reason = f"no result within {timeout} s" if expired else self._death()
        self.close()
        return Result(case, False, reason)

    def _start(self, timeout):
        self.errors = tempfile.TemporaryFile("w+")
        self.process = subprocess.Popen(self.command, env=self.environment, text=True, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.errors)
        line, expired = self._exchange(None, timeout)
        if line.strip() != READY:
            reason = f"not ready within {timeout} s" if expired else self._death()
            self.close()
            raise WorkerError(f"a worker process does not start: {reason}")

    def _exchange(self, request, timeout):
        """(the worker's next line after `request` is sent, "" if none; whether it was
        killed for taking more than `timeout` seconds)."""
        expired = threading.Event()
        timer = threading.Timer(timeout, lambda: (expired.set(), self.process.kill()))
        timer.start()
        try:
            if request is not None:
                self.process.stdin.write(request + "\n")
                self.process.stdin.flush()
            line = self.process.stdout.readline()
        except BrokenPipeError:
            line = ""
        finally:
            timer.cancel()
        return line, expired.is_set()

    def _death(self):
        """Why the worker died; for an exit, the last line it wrote (Python's exception)."""
        status = self.process.wait()
        self.errors.seek(0)
        last = ([line.strip() for line in self.errors if line.strip()] or [""])[-1]
        if status < 0:
            return f"crash: {signal.Signals(-status).name}"
        return f"crash: exit status {status}" + (f" ({last[:120]})" if last else "")

    def close(self):
        if self.process is not None:
            with contextlib.suppress(BrokenPipeError):  # a worker that died
                self.process.stdin.close()
            self.process.wait()
            self.errors.close()
            self.process = None


def run_cases(cases, workers=WORKERS, timeout=CASE_SECONDS, command=None):
    """case id -> Result for each case, run in `workers` processes at once. Raises
    WorkerError when a worker process cannot start."""
    pending = queue.SimpleQueue()
    for case in cases:
        pending.put(case)
    results, errors = {}, []
    environment = _worker_environment()

    def drain():
        process = _Process(command or worker_command(), environment)
        try:
            while True:
                try:
                    case = pending.get_nowait()
                except queue.Empty:
                    return
                results[case] = process.ask(case, timeout)
        except WorkerError as error:
            errors.append(error)
        finally:
            process.close()

    threads = [threading.Thread(target=drain) for _ in range(max(1, min(workers, len(cases))))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return {case: results[case] for case in cases}


# The expected-failures list


def read_failures(path=FAILURES):
    """case id -> reason, from lines "suite/case: reason" ('#' starts a comment line)."""
    listed = {}
    for line in pathlib.Path(path).read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            case, _, reason = line.partition(":")
            listed[case.strip()] = reason.strip()
    return listed


def write_failures(results, path=FAILURES):
    lines = ["# The float32 cases of ONNX's backend test data that do not pass through the card,",
             f"# with why. Regenerate with: {REGENERATE}"]
    lines += [f"{r.case}: {r.reason}" for r in sorted(results.values(), key=lambda r: r.case) if not r.passed]
    pathlib.Path(path).write_text("\n".join(lines) + "\n")


def mismatches(results, listed):
    """The lines that say how the results and the list disagree: cases that fail and are
    not listed, listed cases that pass, listed cases the data does not have."""
    problems = []
    for result in results.values():
        engine = f" [{result.engine}]" if result.engine else ""
        if not result.passed and result.case not in listed:
            problems.append(f"fails and is not listed: {result.case}: {result.reason}{engine}")
        elif result.passed and result.case in listed:
            problems.append(f"listed and now passes: {result.case}{engine}")
    problems += [f"listed and not a float32 case: {case}" for case in listed if case not in results]
    return problems


def figures(results):
    """suite -> (cases, passed, Counter of engines of the passing cases), and "all"."""
    table = {}
    for suite in (*SUITES, "all"):
        chosen = [r for r in results.values() if suite in ("all", suite_of(r.case))]
        passed = [r for r in chosen if r.passed]
        table[suite] = (len(chosen), len(passed), collections.Counter(r.engine or "not logged" for r in passed))
    return table


if __name__ == "__main__":
    _serve_main()
