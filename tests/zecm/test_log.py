"""The runtime's logger through initLogger and logMessage."""
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from sim import BUILD

INVALID_PARAM = 100001
LOGGER = 100015
SOURCE = "bindings/zecm/log/log.cpp"


@pytest.fixture
def logger(zecm, tmp_path):
    """A runtime initialised with its log directory under tmp_path, logger open."""
    directory = tmp_path / "logs"
    zecm.uninitialize()
    assert zecm.initialize(json.dumps({"logDir": str(directory)})) == 0
    assert zecm.initLogger() == 0
    yield directory / "zecm.log"
    zecm.uninitialize()


def records(path):
    return path.read_text(encoding="utf-8").splitlines()


@pytest.mark.parametrize("message", ["100% done", "{}", "%s %d %n", "é ✓", "", "a\tb"])
def test_messages_are_logged_unchanged(zecm, logger, message):
    channel, level = zecm.logChannel.zecmLC_APP, zecm.logLevel.zecmLL_INFO
    assert zecm.logMessage(channel, level, message) == 0
    (record,) = records(logger)
    assert record.endswith(f":37] {message}")


@pytest.mark.parametrize("channel", ["APP", "CM", "CE", "CL", "ME", "ML", "RT", "NN", "TM"])
@pytest.mark.parametrize("level", ["TRACE", "DEBUG", "INFO", "WARN", "ERROR", "ALARM", "FATAL"])
def test_record_names_channel_level_and_the_binding_as_caller(zecm, logger, channel, level):
    assert zecm.logMessage(getattr(zecm.logChannel, "zecmLC_" + channel),
                           getattr(zecm.logLevel, "zecmLL_" + level), "hello") == 0
    (record,) = records(logger)
    match = re.search(r"\[(\w+)\] \[(\w+)\] \[operator\(\) (\S+):37\] hello$", record)
    assert match and match.groups()[:2] == (channel, level)
    assert match.group(3).endswith(SOURCE)
    assert re.match(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]", record)


def test_trace_shows_the_message_through_a_text_format(zecm, logger, sim):
    zecm.logMessage(zecm.logChannel.zecmLC_CM, zecm.logLevel.zecmLL_INFO, '100% "done"')
    (line,) = sim.calls("zecmLogMessage")
    match = re.fullmatch(r'zecmLogMessage\(1, 2, "operator\(\)", "([^"]+)", 37, "%s", '
                         r'"100% \\"done\\""\) = 0', line)
    assert match and match.group(1).endswith(SOURCE)


def test_none_message_is_refused_by_the_runtime(zecm, logger, sim):
    status = zecm.logMessage(zecm.logChannel.zecmLC_CM, zecm.logLevel.zecmLL_INFO, None)
    assert status == INVALID_PARAM
    assert sim.calls("zecmLogMessage")[0].endswith(", 37, NULL) = 100001")
    assert records(logger) == []


@pytest.mark.parametrize("args", [(None, "zecmLL_INFO"), ("zecmLC_CM", None)])
def test_none_enumerations_raise_an_empty_runtime_error(zecm, sim, args):
    channel = args[0] and getattr(zecm.logChannel, args[0])
    level = args[1] and getattr(zecm.logLevel, args[1])
    with pytest.raises(RuntimeError, match="^$"):
        zecm.logMessage(channel, level, "x")
    assert sim.calls("zecmLogMessage") == []


def test_unknown_enumeration_values_are_refused_by_the_runtime(zecm, logger):
    assert zecm.logMessage(zecm.logChannel(9), zecm.logLevel.zecmLL_INFO, "x") == INVALID_PARAM
    assert zecm.logMessage(zecm.logChannel.zecmLC_CM, zecm.logLevel(7), "x") == INVALID_PARAM
    assert records(logger) == []


def test_logger_status_is_returned(zecm, sim, tmp_path):
    sim.fail("zecmInitLogger", 5)
    assert zecm.initLogger() == 5
    blocker = tmp_path / "file"
    blocker.write_text("")
    zecm.uninitialize()
    assert zecm.initialize(json.dumps({"logDir": str(blocker / "logs")})) == 0
    try:
        assert zecm.initLogger() == LOGGER
    finally:
        zecm.uninitialize()
    assert sim.calls("zecmInitLogger") == ["zecmInitLogger() = 5", f"zecmInitLogger() = {LOGGER}"]


def test_logging_before_init_logger_and_the_default_directory(tmp_path):
    # The logger is per process: a fresh interpreter shows the state before initLogger.
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(BUILD / "python")!r})
        from _halvora_pybind11 import zecm
        channel, level = zecm.logChannel.zecmLC_RT, zecm.logLevel.zecmLL_WARN
        print(zecm.logMessage(channel, level, "early"))
        print(zecm.initLogger())
        print(zecm.logMessage(channel, level, "late"))
    """)
    env = dict(os.environ, TMPDIR=str(tmp_path))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(LOGGER), "0", "0"]
    (record,) = records(tmp_path / "zesim-log" / "zecm.log")
    assert "] [RT] [WARN] [operator() " in record and record.endswith(":37] late")


def test_registration_order_and_docstrings(zecm):
    names = ["logChannel", "logLevel", "initLogger", "logMessage"]
    assert [name for name in vars(zecm) if name in names] == names
    assert list(vars(zecm))[-4:] == names
    assert zecm.initLogger.__doc__.endswith("\nInitialize logger system for message logging.\n")
    assert zecm.logMessage.__doc__.endswith("\nWrite a message to the log file.\n")
    assert [int(m) for m in zecm.logChannel.__members__.values()] == list(range(9))
    assert list(zecm.logLevel.__members__) == [
        "zecmLL_TRACE", "zecmLL_DEBUG", "zecmLL_INFO", "zecmLL_WARN", "zecmLL_ERROR",
        "zecmLL_ALARM", "zecmLL_FATAL"]
