"""ONNX's backend test data through the card: every float32 case passes or is named in
onnx_testdata_failures.txt with its reason, and no listed case passes (the list is kept
exact); and the worker pool names the case a worker died or hung on."""
import re
import sys
import textwrap

import pytest

import onnx_testdata as testdata

# Below this the data set is not the one docs/models.md measures.
LEAST_FLOAT32_CASES = 500


def test_every_case_passes_or_is_listed():
    assert testdata.DATA.is_dir(), f"{testdata.DATA} is missing: scripts/install-deps installs libonnx-testdata"
    cases = testdata.float32_cases()
    assert len(cases) >= LEAST_FLOAT32_CASES
    problems = testdata.mismatches(testdata.run_cases(cases), testdata.read_failures())
    assert not problems, (f"{len(problems)} cases disagree with {testdata.FAILURES.name} "
                          f"(regenerate it with {testdata.REGENERATE}):\n" + "\n".join(problems))


# A stand-in worker: answers each case, except that it dies on "die/..." (with the signal
# named by the case) and never answers "hang/...".
FAKE_WORKER = textwrap.dedent("""
    import json, os, signal, sys, time
    print("ready", flush=True)
    for line in sys.stdin:
        case = line.strip()
        kind, _, detail = case.partition("/")
        if kind == "die":
            os.kill(os.getpid(), getattr(signal, detail))
        if kind == "exit":
            sys.exit("worker gave up: " + detail)
        if kind == "hang":
            time.sleep(60)
        print(json.dumps({"case": case, "passed": kind == "pass", "reason": "" if kind == "pass" else "wrong values"}),
              flush=True)
""")


@pytest.mark.parametrize("fault, reason", [
    ("die/SIGKILL", "crash: SIGKILL"),  # as the kernel ends a worker out of memory; no sanitizer catches it
    ("die/SIGABRT", "crash: SIGABRT"),
    ("exit/no device", "crash: exit status 1 (worker gave up: no device)"),
    ("hang/forever", "no result within 1 s"),
])
@pytest.mark.parametrize("workers", [1, 2])
def test_a_fault_names_its_case_and_the_others_still_run(fault, reason, workers):
    cases = ["pass/a", fault, "pass/b", "fail/c", "pass/d"]
    results = testdata.run_cases(cases, workers=workers, timeout=1,
                                 command=[sys.executable, "-c", FAKE_WORKER])
    assert [(r.case, r.passed, r.reason) for r in results.values()] == [
        ("pass/a", True, ""), (fault, False, reason), ("pass/b", True, ""), ("fail/c", False, "wrong values"),
        ("pass/d", True, "")]


@pytest.mark.parametrize("start, message", [
    ("import sys; sys.exit('no card')", "a worker process does not start: crash: exit status 1 (no card)"),
    ("import time; time.sleep(60)", "a worker process does not start: not ready within 1 s"),
])
def test_a_worker_that_cannot_start_stops_the_run(start, message):
    with pytest.raises(testdata.WorkerError, match=re.escape(message)):
        testdata.run_cases(["pass/a", "pass/b", "pass/c"], timeout=1, command=[sys.executable, "-c", start])


def test_the_list_disagrees_in_every_direction(tmp_path):
    results = {r.case: r for r in [testdata.Result("node/a", True, ""),
                                   testdata.Result("node/b", False, "wrong values", "compiled plan"),
                                   testdata.Result("node/c", False, "wrong values"),
                                   testdata.Result("node/d", True, "", "OpenCV DNN")]}
    listed = tmp_path / "failures.txt"
    listed.write_text("# header\nnode/c: wrong values\nnode/d: the run fails: status 3\nnode/gone: x\n")
    assert testdata.mismatches(results, testdata.read_failures(listed)) == [
        "fails and is not listed: node/b: wrong values [compiled plan]",
        "listed and now passes: node/d [OpenCV DNN]",
        "listed and not a float32 case: node/gone"]
    testdata.write_failures(results, listed)
    assert testdata.read_failures(listed) == {"node/b": "wrong values", "node/c": "wrong values"}


def test_the_engine_is_read_from_the_lines_each_load_adds(tmp_path):
    log = tmp_path / "zecm.log"
    assert testdata.engine_logged(log, 0) == ("", 0)
    log.write_text("[NN] INFO model: compiled plan of 3 primitives\n")
    engine, end = testdata.engine_logged(log, 0)
    assert engine == "compiled plan" and end == log.stat().st_size
    with open(log, "a") as file:
        file.write("[NN] INFO model: OpenCV DNN runs it (the compiled plan does not cover Det)\n"
                   "[CL] INFO stream built\n")
    assert testdata.engine_logged(log, end) == ("OpenCV DNN", log.stat().st_size)
    assert testdata.engine_logged(log, log.stat().st_size)[0] == ""
