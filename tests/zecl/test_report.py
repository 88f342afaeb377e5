"""Stream reports delivered to Python callables."""
import gc
import sys
import threading
import weakref

import numpy as np
import pytest

import models
from sim import address
from zecl_helpers import (FOREVER, INVALID_HANDLE, INVALID_PARAM, ONCE, RUN, STREAM_BUSY, Reports, chain,
                          close, deliver_report, pointer, run_isolated)

rng = np.random.default_rng(11)


def sample(shape):
    return rng.standard_normal(shape).astype(np.float32)


class User:
    """A user object that can be watched through a weak reference."""


@pytest.fixture
def two_models(zecl, card, tmp_path):
    first = models.ConvRelu(tmp_path / "first.onnx", channels=3, filters=4, seed=1)
    second = models.ConvRelu(tmp_path / "second.onnx", channels=4, filters=2, seed=2)
    return [zecl.createModel(m.path, "", "", "") for m in (first, second)], first, second


@pytest.mark.parametrize("register", [(1,), (0, 1)])
def test_each_op_of_a_run_reports_in_order(zecl, device, two_models, register):
    handles, first, second = two_models
    line = chain(zecl, handles, RUN, register=register)
    reports, user = Reports(), User()
    assert zecl.subscribeStreamReport(line.stream, reports, user) == 0
    datasets = [device.dataset([sample(first.input_shape)]) for _ in range(2)]
    for dataset in datasets:
        assert zecl.runStream(line.stream, line.input, dataset, FOREVER) == 0
    outputs = [zecl.requestOutputDataset(line.stream) for _ in datasets]
    expected = []
    for dataset, output in zip(datasets, outputs):
        expected += [(address(line.ops[0]), address(dataset), address(output) if 0 in register else None,
                      0, False),
                     (address(line.ops[1]), address(dataset), address(output), 0, True)]
    seen = [(address(p1), address(p2), p3 and address(p3), code, end) for p1, p2, p3, code, end, _ in reports.seen]
    assert seen == expected
    assert all(report[5] is user for report in reports.seen)


@pytest.mark.parametrize("mode", [ONCE, RUN])
def test_reports_of_many_runs_come_in_submission_order(zecl, device, conv, mode):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")], mode)
    reports, threads = Reports(), set()
    assert zecl.subscribeStreamReport(line.stream, reports, None) == 0
    assert zecl.subscribeStreamReport(line.stream, lambda *r: threads.add(threading.get_ident()), None) == 0
    datasets = [device.dataset([sample(conv.input_shape)]) for _ in range(40)]
    for dataset in datasets:
        assert zecl.runStreamAsync(line.stream, line.input, dataset) == 0
    assert zecl.synchronizeStream(line.stream, FOREVER) == 0
    assert [address(report[1]) for report in reports.seen] == [address(d) for d in datasets]
    assert all(report[4] for report in reports.seen)
    assert threading.get_ident() not in threads  # delivered on the library's threads


def test_user_objects_are_kept_and_handed_back_as_themselves(zecl, device, conv):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    first, second = Reports(), Reports()
    users = [User(), User()]
    watchers = [weakref.ref(user) for user in users]
    assert zecl.subscribeStreamReport(line.stream, first, users[0]) == 0
    assert zecl.subscribeStreamReport(line.stream, second, users[1]) == 0
    # A subscription that the runtime refuses keeps its objects alive all the same.
    refused = User()
    refused_watch = weakref.ref(refused)
    assert zecl.subscribeStreamReport(line.input, Reports(), refused) == INVALID_HANDLE
    del users, refused
    gc.collect()
    assert all(watch() is not None for watch in watchers) and refused_watch() is not None
    assert zecl.runStream(line.stream, line.input, device.dataset([sample(conv.input_shape)]), FOREVER) == 0
    assert [report[5] for report in first.seen] == [watchers[0]()]
    assert first.seen[0][5] is watchers[0]() and second.seen[0][5] is watchers[1]()


@pytest.mark.parametrize("mode", [ONCE, RUN])
def test_destroying_a_stream_releases_its_subscriptions(zecl, device, conv, mode):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")], mode=mode)
    user, reports = User(), Reports()
    watches = [weakref.ref(user), weakref.ref(reports)]
    assert zecl.subscribeStreamReport(line.stream, reports, user) == 0
    assert zecl.runStream(line.stream, line.input, device.dataset([sample(conv.input_shape)]), FOREVER) == 0
    assert len(reports.seen) == 1
    del user, reports
    gc.collect()
    assert all(watch() is not None for watch in watches)
    assert zecl.destroyOpStream(line.stream) == 0
    gc.collect()
    assert all(watch() is None for watch in watches)


def test_none_as_callable_or_user(zecl, device, conv, sim):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    reports = Reports()
    assert zecl.subscribeStreamReport(line.stream, None, None) == 0
    assert zecl.subscribeStreamReport(line.stream, reports, None) == 0
    assert zecl.runStream(line.stream, line.input, device.dataset([sample(conv.input_shape)]), FOREVER) == 0
    assert len(reports.seen) == 1 and reports.seen[0][5] is None
    sim.clear()
    for wrong in (5, "callable"):
        with pytest.raises(TypeError):
            zecl.subscribeStreamReport(line.stream, wrong, None)
    assert sim.calls("zeclSubscribeStreamReport") == []


@pytest.mark.parametrize("callback, error", [
    (lambda *report: 1 / 0, ZeroDivisionError),
    (lambda: None, TypeError),  # a callable that takes no arguments
])
def test_exceptions_in_callbacks_are_unraisable(zecl, device, conv, monkeypatch, callback, error):
    caught = []
    monkeypatch.setattr(sys, "unraisablehook", lambda raised: caught.append(raised.exc_type))
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")], RUN)
    reports = Reports()
    assert zecl.subscribeStreamReport(line.stream, callback, None) == 0
    assert zecl.subscribeStreamReport(line.stream, reports, None) == 0
    x = sample(conv.input_shape)
    for _ in range(3):
        assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    assert caught == [error] * 3
    assert len(reports.seen) == 3  # later subscribers are still called
    assert zecl.getStreamCacheNumber(line.stream) == 3


def test_the_output_can_be_requested_from_the_last_report(zecl, device, two_models):
    handles, first, second = two_models
    line = chain(zecl, handles, RUN)
    taken = []

    def take(p1, p2, p3, status, user):
        cached = zecl.getStreamCacheNumber(line.stream)
        if status.isStreamEnd:
            taken.append((cached, zecl.requestOutputDataset(line.stream), p3))
        else:
            taken.append((cached, None, p3))

    assert zecl.subscribeStreamReport(line.stream, take, None) == 0
    x = sample(first.input_shape)
    assert zecl.runStream(line.stream, line.input, device.dataset([x]), FOREVER) == 0
    (before, nothing, unregistered), (cached, output, p3) = taken
    assert (before, nothing, unregistered) == (0, None, None)
    assert cached == 1 and address(output) == address(p3)
    assert zecl.getStreamCacheNumber(line.stream) == 0
    (result,) = device.results(output)
    close(result, second.reference(first.reference(x)))


def test_waiting_on_a_stream_from_its_own_callback_is_refused(zecl, device, conv):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    dataset = device.dataset([sample(conv.input_shape)])
    answers = []

    def wait_inside(*report):
        answers.append((zecl.runStream(line.stream, line.input, dataset, FOREVER),
                        zecl.synchronizeStream(line.stream, FOREVER),
                        zecl.synchronizeDevice(0, FOREVER),
                        zecl.destroyOpStream(line.stream)))

    assert zecl.subscribeStreamReport(line.stream, wait_inside, None) == 0
    assert zecl.runStream(line.stream, line.input, dataset, FOREVER) == 0
    assert answers == [(STREAM_BUSY,) * 4]
    assert zecl.destroyOpStream(line.stream) == 0


def test_a_failed_run_reports_its_status_at_the_end(zecl, device, conv):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    reports = Reports()
    assert zecl.subscribeStreamReport(line.stream, reports, None) == 0
    short = device.dataset([sample([1, 3, 8, 4])])
    assert zecl.runStream(line.stream, line.input, short, FOREVER) == INVALID_PARAM
    ((op, dataset, output, code, end, user),) = reports.seen
    assert (address(op), address(dataset), output, code, end) == (
        address(line.ops[0]), address(short), None, INVALID_PARAM, True)
    assert zecl.getStreamCacheNumber(line.stream) == 0


@pytest.mark.parametrize("code, flag, status", [(-1, 2, (4294967295, True)), (0, 0, (0, False)),
                                                (301010, 1, (301010, True)),
                                                (-2**31, -1, (2**31, True))])
def test_reports_delivered_by_the_control_interface(zecl, device, conv, code, flag, status):
    line = chain(zecl, [zecl.createModel(conv.path, "", "", "")])
    reports, user = Reports(), User()
    assert zecl.subscribeStreamReport(line.stream, reports, user) == 0
    deliver = deliver_report()
    assert deliver(pointer(line.stream), None, pointer(line.input), None, code, flag) == 0
    ((p1, p2, p3, *rest, who),) = reports.seen
    assert (p1, address(p2), p3, tuple(rest), who) == (None, address(line.input), None, status, user)
    assert deliver(pointer(line.stream), 0x10, 0x20, 0x30, 0, 1) == 0
    assert [address(p) for p in reports.seen[1][:3]] == ["0x10", "0x20", "0x30"]


def test_the_control_interface_refuses_streams_that_are_not_live(zecl, device, conv):
    model = zecl.createModel(conv.path, "", "", "")
    line = chain(zecl, [model])
    deliver = deliver_report()
    for wrong in (None, pointer(model), pointer(line.graph)):
        assert deliver(wrong, None, None, None, 0, 1) != 0
    assert zecl.destroyOpStream(line.stream) == 0
    assert deliver(pointer(line.stream), None, None, None, 0, 1) != 0


def test_reports_reach_python_while_a_thread_waits_in_run_stream(tmp_path):
    result = run_isolated(f"""
        import threading, time
        import numpy as np
        from _halvora_pybind11 import zecm, zecl
        import models
        from zecl_helpers import Device, chain, deliver_report, pointer
        zecm.initialize(); zecm.setDevice(0)
        conv = models.ConvRelu({str(tmp_path / "conv.onnx")!r})
        device = Device(zecm)
        line = chain(zecl, [zecl.createModel(conv.path, "", "", "")], zecl.balance_mode.zeclBM_RUN)
        held, release, seen = threading.Event(), threading.Event(), []

        def report(p1, p2, p3, status, user):
            seen.append(status.errorCode)
            if status.errorCode == 0 and not held.is_set():
                held.set()
                release.wait(30)

        zecl.subscribeStreamReport(line.stream, report, None)
        x = np.ones(conv.input_shape, np.float32)
        zecl.runStreamAsync(line.stream, line.input, device.dataset([x]))
        held.wait(30)
        waiter_status = []
        dataset = device.dataset([x])
        waiter = threading.Thread(target=lambda: waiter_status.append(
            zecl.runStream(line.stream, line.input, dataset, 0xFFFFFFFF)))
        waiter.start()
        time.sleep(0.2)  # let the thread reach its wait
        deliver = deliver_report()
        delivered = [deliver(pointer(line.stream), None, None, None, 7, 0) for _ in range(5)]
        release.set()
        waiter.join(60)
        print("delivered:", delivered)
        print("waiter:", waiter_status)
        print("seen:", seen)
    """)
    assert result.stdout.splitlines() == ["delivered: [0, 0, 0, 0, 0]", "waiter: [0]",
                                          "seen: [0, 7, 7, 7, 7, 7, 0]"], result.stderr


@pytest.mark.parametrize("mode", ["zeclBM_ONCE", "zeclBM_RUN"])
@pytest.mark.parametrize("reset", ["resetDevice(0)", "uninitialize()"])
def test_a_callback_may_reset_the_device_under_its_own_stream(tmp_path, mode, reset):
    # The reset drops the last reference to the stream on the stream's own thread.
    result = run_isolated(f"""
        import numpy as np
        from _halvora_pybind11 import zecm, zecl
        import models
        from zecl_helpers import Device, chain
        zecm.initialize(); zecm.setDevice(0)
        conv = models.ConvRelu({str(tmp_path / "conv.onnx")!r})
        device = Device(zecm)
        line = chain(zecl, [zecl.createModel(conv.path, "", "", "")], zecl.balance_mode.{mode})
        statuses = []
        zecl.subscribeStreamReport(line.stream, lambda *report: statuses.append(zecm.{reset}), None)
        for _ in range(5):
            zecl.runStreamAsync(line.stream, line.input, device.dataset([np.ones(conv.input_shape, np.float32)]))
        import time  # (no wait call: that would hold the stream itself)
        deadline = time.monotonic() + 30
        while len(statuses) < 5 and time.monotonic() < deadline:
            time.sleep(0.01)
        print("first reset:", statuses[0], "reports:", len(statuses))
        print("stream:", zecl.destroyOpStream(line.stream))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["first reset: 0 reports: 5", "stream: 301002"]
