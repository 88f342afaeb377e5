"""One job over many video sources on a Dask distributed cluster, each worker process on one die.

    import halvora.cluster as hc
    with hc.local_cluster(workers=2) as cluster, distributed.Client(cluster) as client:
        results = hc.run_sources(job, ["a.mp4", "b.mp4"], out="results", client=client)

`job(source, device, paths)` processes one source on AI device `device` and writes its results
to `paths` (a dict of temporary files, one per kind of output, e.g. {".jsonl": ...}); it
returns a summary dict (with "frames"). Each source is one task needing one unit of the
workers' "streams" resource, so a worker runs at most as many sources at once as its die is
configured for. A task's files are renamed to their final names (`out/NAME.jsonl` for a
source `.../NAME.ext`, made unique when two sources share a name) only once the job has
returned: a task retried after its worker died, or after it failed, leaves one complete
result per source, never a partial or a doubled one.

A worker's die is chosen by the HALVORA_DEVICE environment variable (AI device index, default
0); the DiePlugin keeps the card's runtime and media engine started on it while the worker
lives. Without a client, run_sources runs the sources one after another in this process."""
import contextlib
import dataclasses
import logging
import os
import re
import threading
import time
import uuid
from collections import Counter
from typing import Callable, Optional

import dask
import distributed

from .card import Card
from .media import Media
from .sources import is_network, is_url

RESOURCE = "streams"  # the workers' resource: sources a worker's die runs at once
ATTEMPT, ALIVE = "halvora-attempt", "halvora-alive"  # the scheduler's event topics
DEVICE_VARIABLE = "HALVORA_DEVICE"
TOKEN = 12  # hex digits naming an attempt's temporary files
# Dask's configuration of a local cluster: no statistical profiler (its thread walks every
# thread's stack each 10 ms, holding the interpreter lock the card's report threads need), and
# the event loops' ticks and monitors once a second instead of 50 and 10 times a second: they
# cost the pipeline some 10% of its frames on two cores. (A lost worker is still found by its
# nanny and its connection.)
WORKER_CONFIG = {"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "1s",
                 "distributed.worker.memory.monitor-interval": "1s", "distributed.admin.system-monitor.interval": "2s"}


class SourceFailed(Exception):
    """A source's job raised: its message, as one line (picklable, whatever the job raised)."""


class SchedulerGone(Exception):
    """The client lost the scheduler before every source was done."""


@dataclasses.dataclass
class SourceResult:
    """A source's end: "done" (with the job's summary and the files written) or "failed" (with
    its error); `tries` counts the attempts that started, `gap` the seconds a live source went
    unread between a lost attempt and the next."""
    source: str
    name: str
    state: str
    tries: int = 1
    summary: dict = dataclasses.field(default_factory=dict)
    files: list = dataclasses.field(default_factory=list)
    error: Optional[str] = None
    gap: float = 0.0
    seconds: float = 0.0

    @property
    def retried(self):
        return max(self.tries - 1, 0)

    def describe(self):
        """One line: the source, its state, frames and seconds, retries and files."""
        if self.state == "done":
            text = f"{self.source}: done, {self.summary.get('frames', 0)} frames in {self.seconds:.2f} s"
        else:
            text = f"{self.source}: failed after {self.tries} tr{'ies' if self.tries != 1 else 'y'}: {self.error}"
        if self.state == "done" and self.retried:
            text += f", retried {self.retried} time{'s' if self.retried > 1 else ''}"
            if self.gap:
                text += f" (reopened, {self.gap:.1f} s unread)"
        if self.files:
            text += " -> " + ", ".join(self.files)
        return text


# Names and files -------------------------------------------------------------------------------

def source_stem(source):
    """The file name a source's results take: a path's stem, a URL's last path part (or its
    host), with any character that is unsafe in a file name replaced by '_'."""
    text = str(source)
    if is_url(text):
        host, _, path = re.sub(r"^[A-Za-z][A-Za-z0-9+.-]*:(//)?", "", text).split("?")[0].partition("/")
        text = path.rstrip("/") or host + "/"  # a URL of no path is named after its host
    stem = os.path.splitext(os.path.basename(text))[0] if not text.endswith("/") else text[:-1]
    return re.sub(r"[^A-Za-z0-9._-]", "_", stem).lstrip(".") or "source"


def unique_names(sources):
    """Each source's name, in order: its stem, with -2, -3... added to the second and later
    sources of the same stem."""
    taken: set = set()
    seen: Counter = Counter()
    names = []
    for source in sources:
        stem = source_stem(source)
        name = stem
        while name in taken:
            seen[stem] += 1
            name = f"{stem}-{seen[stem] + 1}"
        taken.add(name)
        names.append(name)
    return names


def read_source_list(path):
    """The sources listed in a file, one per line; blank lines and lines starting with # skipped."""
    with open(path) as listing:
        return [line.strip() for line in listing if line.strip() and not line.lstrip().startswith("#")]


def remove_parts(folder, name):
    """Removes the temporary files earlier attempts at source `name` left in `folder`."""
    part = re.compile(rf"\.{re.escape(name)}\.[0-9a-f]{{{TOKEN}}}\.part")
    with contextlib.suppress(OSError):
        for entry in os.listdir(folder):
            if part.match(entry):
                with contextlib.suppress(OSError):
                    os.remove(os.path.join(folder, entry))


def attempt(job: Callable, source, name, outputs, device):
    """One try at a source: the job writes to temporary files beside the final ones in
    `outputs` ({suffix: folder}), which are renamed into place once it has returned. Returns
    (the job's summary, the final paths, seconds); raises SourceFailed with the job's error."""
    token = uuid.uuid4().hex[:TOKEN]
    final = {suffix: os.path.join(folder, name + suffix) for suffix, folder in outputs.items()}
    parts = {suffix: os.path.join(folder, f".{name}.{token}.part{suffix}") for suffix, folder in outputs.items()}
    for folder in set(outputs.values()):
        remove_parts(folder, name)
    began = time.perf_counter()
    try:
        summary = job(source, device, parts)
        for suffix, part in parts.items():
            if os.path.exists(part):
                os.replace(part, final[suffix])
    except BaseException as error:
        for part in parts.values():
            with contextlib.suppress(OSError):
                os.remove(part)
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        raise SourceFailed(" ".join(str(error).split()) or type(error).__name__) from None
    return summary, [path for path in final.values() if os.path.exists(path)], time.perf_counter() - began


# Workers ---------------------------------------------------------------------------------------

class DiePlugin(distributed.WorkerPlugin):
    """Starts the card's runtime (with the die's AI device selected) and the media engine in
    each worker, and keeps them until the worker closes, so that its tasks do not start the
    card each time. The die is the worker's HALVORA_DEVICE (default 0)."""
    name = "halvora-die"

    def setup(self, worker):
        device = int(os.environ.get(DEVICE_VARIABLE, "0"))
        self.resources = contextlib.ExitStack()
        self.resources.enter_context(Card(device))
        self.resources.enter_context(Media())
        worker.halvora_device = device

    def teardown(self, worker):
        self.resources.close()


def worker_device():
    """The AI device of the worker running the calling task (0 outside a worker)."""
    try:
        return getattr(distributed.get_worker(), "halvora_device", int(os.environ.get(DEVICE_VARIABLE, "0")))
    except ValueError:  # not in a worker
        return int(os.environ.get(DEVICE_VARIABLE, "0"))


def local_cluster(workers=1, devices=(0,), streams=1, paths=()):
    """A cluster on this host's loopback interface: a scheduler and `workers` worker processes
    (each under a nanny that restarts it if it dies), worker k on AI device devices[k mod len],
    with `streams` threads and units of the "streams" resource. No dashboard; Dask's own
    logging kept to errors. `paths` go before the workers' PYTHONPATH (the folder of the job's
    module, for one)."""
    base = {"PYTHONPATH": os.pathsep.join([*map(str, paths), *filter(None, [os.environ.get("PYTHONPATH")])])}
    specs = {}
    for index in range(workers):
        device = devices[index % len(devices)]
        specs[f"die-{device}-{index}"] = {"cls": distributed.Nanny, "options": {
            "nthreads": streams, "resources": {RESOURCE: streams}, "host": "127.0.0.1", "dashboard": False,
            "silence_logs": logging.ERROR,
            "env": {**base, DEVICE_VARIABLE: str(device)}}}
    scheduler = {"cls": distributed.Scheduler, "options": {"host": "127.0.0.1", "dashboard": False}}
    with dask.config.set(WORKER_CONFIG, **{"distributed.nanny.pre-spawn-environ": worker_threads()}):
        return distributed.SpecCluster(workers=specs, scheduler=scheduler, silence_logs=logging.ERROR)


def worker_threads():
    """The variables a nanny sets before it starts its worker: the thread pools of OpenMP and the
    BLAS libraries as large as this host allows, and nothing else. (Dask's own choice makes them
    one thread, which would leave the software card's die on one core, and sets glibc's trim
    threshold, which costs the card's allocations of pictures some 5%.)"""
    threads = str(os.environ.get("OMP_NUM_THREADS") or len(os.sched_getaffinity(0)))
    return dict.fromkeys(("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"), threads)


def _task(job, source, name, outputs, live):
    """A source's task on a worker: its attempt is told to the scheduler (so that the client
    can count retries), and a live source's progress every second (so that the gap after a
    lost worker can be measured)."""
    worker = distributed.get_worker()
    worker.log_event(ATTEMPT, {"name": name, "time": time.time()})
    done = threading.Event()

    def alive():
        while not done.wait(1.0):
            worker.log_event(ALIVE, {"name": name, "time": time.time()})
    beat = threading.Thread(target=alive, daemon=True) if live else None
    if beat is not None:
        beat.start()
    try:
        return attempt(job, source, name, outputs, worker_device())
    finally:
        done.set()


def check_workers(client):
    """Refuses a cluster none of whose workers offers the "streams" resource (its tasks would
    wait for ever)."""
    workers = client.scheduler_info().get("workers", {})
    if not any(info.get("resources", {}).get(RESOURCE, 0) >= 1 for info in workers.values()):
        raise SourceFailed(f"no worker of the cluster offers the resource {RESOURCE!r} "
                           f"(start workers with --resources {RESOURCE}=N)" if workers else
                           "the cluster has no workers")


def _events(client, topic):
    events: dict = {}
    for _, message in client.get_events(topic):
        events.setdefault(message["name"], []).append(message["time"])
    return events


def _gap(starts, alive):
    """Seconds between the last sign of life of a lost attempt and the start of the next,
    summed over the retries."""
    gap = 0.0
    for earlier, later in zip(starts, starts[1:]):
        last = max([t for t in alive if earlier <= t < later], default=earlier)
        gap += later - last
    return gap


def run_sources(job, sources, out=None, extra=None, client=None, retries=2, device=None, on_result=None):
    """Runs `job` on every source; returns a SourceResult per source, in order.

    `out` is the folder of the ".jsonl" results, `extra` a dict {suffix: folder} of further
    outputs (e.g. {".mp4": folder}); both are created if missing. A source whose job raises is
    tried again up to `retries` times, then reported failed; one whose worker died is tried
    again by Dask (up to its allowed-failures). `on_result` is called with each result as it
    comes. Without a client the sources run here, one after another, on AI device `device`
    (default: HALVORA_DEVICE, else 0). Raises SchedulerGone when the cluster is lost."""
    outputs = dict(extra or {})
    if out is not None:
        outputs = {".jsonl": out, **outputs}
    for folder in set(outputs.values()):
        os.makedirs(folder, exist_ok=True)
    names = unique_names(sources)
    if client is None:
        device = worker_device() if device is None else device
        results = [_run_here(job, source, name, outputs, retries, device, on_result)
                   for source, name in zip(sources, names)]
    else:
        results = _run_on(client, job, sources, names, outputs, retries, on_result)
    for name in names:
        for folder in set(outputs.values()):
            remove_parts(folder, name)
    return results


def _run_here(job, source, name, outputs, retries, device, on_result):
    for tries in range(1, retries + 2):
        try:
            summary, files, seconds = attempt(job, source, name, outputs, device)
            result = SourceResult(str(source), name, "done", tries, summary, files, seconds=seconds)
            break
        except SourceFailed as error:
            result = SourceResult(str(source), name, "failed", tries, error=str(error))
    if on_result is not None:
        on_result(result)
    return result


def _run_on(client, job, sources, names, outputs, retries, on_result):
    futures: dict = {}
    finished = {}
    try:
        check_workers(client)
        client.register_worker_plugin(DiePlugin())
        for source, name in zip(sources, names):
            future = client.submit(_task, job, source, name, outputs, is_network(source), pure=False,
                                   key=f"source-{name}-{uuid.uuid4().hex}", resources={RESOURCE: 1}, retries=retries)
            futures[future] = (str(source), name)
        for future in distributed.as_completed(futures):
            source, name = futures[future]
            try:
                summary, files, seconds = future.result()
                result = SourceResult(source, name, "done", summary=summary, files=files, seconds=seconds)
            except SourceFailed as error:
                result = SourceResult(source, name, "failed", error=str(error))
            except distributed.client.CancelledError:
                raise SchedulerGone("the scheduler is gone") from None
            except Exception as error:  # noqa: BLE001  (a lost worker too often: KilledWorker)
                result = SourceResult(source, name, "failed", error=f"{type(error).__name__}: {error}")
            tries = sorted(_events(client, ATTEMPT).get(name, []))
            result.tries = max(len(tries), 1)
            if is_network(source):
                result.gap = _gap(tries, _events(client, ALIVE).get(name, []))
            finished[name] = result
            if on_result is not None:
                on_result(result)
    except (OSError, distributed.comm.CommClosedError) as error:
        raise SchedulerGone(f"the scheduler is gone ({error})") from None
    finally:
        if len(finished) < len(names):
            with contextlib.suppress(Exception):
                client.cancel(list(futures))
    return [finished[name] for name in names]


def worker_command(scheduler, device=0, streams=1, name=None):
    """The command and environment that start a worker of this host's die of AI device `device`
    for the cluster of `scheduler`: `dask worker` (with its nanny, which restarts it if it dies)
    offering `streams` units of the "streams" resource, no dashboard, and the configuration of
    a local cluster's workers."""
    command = ["dask", "worker", scheduler, "--nthreads", str(streams), "--resources", f"{RESOURCE}={streams}",
               "--no-dashboard", "--name", name or f"{os.uname().nodename}-die-{device}"]
    env = {**os.environ, DEVICE_VARIABLE: str(device),
           "DASK_DISTRIBUTED__NANNY__PRE_SPAWN_ENVIRON": repr(worker_threads())}
    for key, value in WORKER_CONFIG.items():
        env["DASK_" + key.upper().replace(".", "__").replace("-", "_")] = str(value)
    return command, env


def main(argv=None):
    """python3 -m halvora.cluster SCHEDULER [--device N] [--streams N]: a worker on one die."""
    import argparse
    parser = argparse.ArgumentParser(prog="python3 -m halvora.cluster",
                                     description="Starts a Dask worker that runs sources on one die of this host.")
    parser.add_argument("scheduler", help="the scheduler's address, e.g. tcp://head:8786")
    parser.add_argument("--device", type=int, default=0, help="the die's AI device index (default: %(default)s)")
    parser.add_argument("--streams", type=int, default=1, help="sources the die runs at once (default: %(default)s)")
    parser.add_argument("--name", help="the worker's name (default: HOST-die-DEVICE)")
    options = parser.parse_args(argv)
    command, env = worker_command(options.scheduler, options.device, options.streams, options.name)
    os.execvpe(command[0], command, env)


if __name__ == "__main__":
    main()
