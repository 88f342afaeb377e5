"""Devices, initialisation, contexts, version and error descriptions."""
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from sim import address

NOT_INITIALIZED = 100003
ALREADY_INITIALIZED = 100004
INVALID_DEVICE = 100005
NO_DEVICE = 100006
INVALID_CONFIG = 100008
INVALID_HANDLE = 100002


@pytest.fixture
def fresh(zecm):
    """An uninitialised runtime."""
    zecm.uninitialize()
    yield zecm
    zecm.uninitialize()


def test_status_attributes(zecm):
    assert (zecm.ER_SUCCESS, zecm.ER_NOT_IMPLEMENT, zecm.zecmER_SUCCESS) == (0, 999991, 0)
    assert all(type(value) is int for value in (zecm.ER_SUCCESS, zecm.ER_NOT_IMPLEMENT))


@pytest.mark.parametrize("call, traced", [
    (lambda z: z.initialize(), "zecmInitialize(NULL) = 0"),
    (lambda z: z.initialize(None), "zecmInitialize(NULL) = 0"),
    (lambda z: z.initialize('{"logDir": "/tmp/x"}'), 'zecmInitialize("{\\"logDir\\": \\"/tmp/x\\"}") = 0'),
    (lambda z: z.initialize(config="{}"), 'zecmInitialize("{}") = 0'),
])
def test_initialize_passes_the_configuration_text(fresh, sim, call, traced):
    assert call(fresh) == 0
    assert sim.calls("zecmInitialize") == [traced]


def test_initialization_misuse_returns_statuses(fresh):
    assert fresh.uninitialize() == NOT_INITIALIZED
    assert fresh.setDevice(0) == NOT_INITIALIZED
    assert fresh.initialize("not json") == INVALID_CONFIG
    assert fresh.initialize("[1]") == INVALID_CONFIG
    assert fresh.initialize() == 0
    assert fresh.initialize() == ALREADY_INITIALIZED
    assert fresh.uninitialize() == 0


def test_device_selection(fresh):
    assert fresh.initialize() == 0
    with pytest.raises(RuntimeError, match=rf"^get device error, ret: {NO_DEVICE}\.$"):
        fresh.getDevice()
    assert fresh.setDevice(1) == 0
    assert fresh.getDevice() == 1
    assert fresh.setDevice(2) == INVALID_DEVICE
    assert fresh.getDevice() == 1
    assert fresh.resetDevice(2) == INVALID_DEVICE
    assert fresh.resetDevice(1) == 0


def test_reset_releases_only_that_devices_contexts(card):
    first, second = card.createContext(0), card.createContext(1)
    assert card.resetDevice(0) == 0
    assert card.destroyContext(first) == INVALID_HANDLE
    assert card.destroyContext(second) == 0


def test_uninitialize_releases_every_context(fresh):
    fresh.initialize()
    context = fresh.createContext(1)
    fresh.uninitialize()
    fresh.initialize()
    assert fresh.destroyContext(context) == INVALID_HANDLE


def test_context_lifecycle(card, sim):
    context = card.createContext(1)
    assert sim.calls("zecmCreateContext")[0].startswith("zecmCreateContext(1, 0x")
    assert card.destroyContext(context) == 0
    assert card.destroyContext(context) == INVALID_HANDLE
    assert card.setCurrentContext(context) == INVALID_HANDLE
    with pytest.raises(RuntimeError, match=rf"^create context error, ret: {INVALID_DEVICE}\.$"):
        card.createContext(9)


def test_current_context_is_per_thread(card):
    assert card.getCurrentContext() is None
    context = card.createContext(0)
    assert card.setCurrentContext(context) == 0
    assert address(card.getCurrentContext()) == address(context)
    seen = []
    thread = threading.Thread(target=lambda: seen.append(card.getCurrentContext()))
    thread.start()
    thread.join()
    assert seen == [None]
    card.destroyContext(context)
    assert card.getCurrentContext() is None


@pytest.mark.parametrize("status, text", [(100003, "100003"), (4294967295, "-1")])
def test_failed_value_binding_carries_its_status(zecm, sim, status, text):
    sim.fail("zecmGetDevice", status)
    with pytest.raises(RuntimeError) as raised:
        zecm.getDevice()
    assert type(raised.value) is RuntimeError
    assert raised.value.args == (f"get device error, ret: {text}.",)
    assert raised.value.status == status


def test_version_text(zecm):
    version = zecm.getVersion()
    assert isinstance(version, str) and "2.1.1" in version


@pytest.mark.parametrize("code", [0, 100001, 100002, 100003, 100005, 100007, 999991, 301041, 200003,
                                  401001, 402001, 70014, 79999])
def test_every_card_status_has_a_description(zecm, sim, code):
    text = zecm.getErrDesc(code)
    assert text and not text.startswith("Unknown")
    assert sim.calls("zecmGetErrDesc")[0].startswith(f"zecmGetErrDesc({code}, 0x")
    assert sim.calls("zecmGetErrDesc")[0].endswith(", 256) = 0")


def test_unknown_status_gets_a_description(zecm):
    assert zecm.getErrDesc(4294967295) == "Unknown error code 4294967295."


def test_device_id_info(zecm):
    assert zecm.getDeviceIdInfo(0) == [0, 0, 0]
    assert zecm.getDeviceIdInfo(1) == [0, 1, 1]
    with pytest.raises(RuntimeError, match=rf"^get device id info error, ret: {INVALID_DEVICE}\.$"):
        zecm.getDeviceIdInfo(2)


def run_with_config(tmp_path, config, code):
    path = tmp_path / "card.json"
    path.write_text(config)
    env = dict(os.environ, ZESIM_CONFIG=str(path), PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_inventory_comes_from_the_configuration_file(tmp_path):
    out = run_with_config(tmp_path, '{"cards": [{"id": 3, "dies": 1}, {"id": 5, "dies": 3}]}', """
        from _halvora_pybind11 import zecm
        zecm.initialize()
        print(zecm.setDevice(3), zecm.setDevice(4), *zecm.getDeviceIdInfo(3))
    """)
    assert out == ["0", "100005", "5", "2", "3"]


def test_invalid_configuration_file_fails_initialize(tmp_path):
    out = run_with_config(tmp_path, '{"cards": 7}', """
        from _halvora_pybind11 import zecm
        print(zecm.initialize())
    """)
    assert out == [str(INVALID_CONFIG)]
