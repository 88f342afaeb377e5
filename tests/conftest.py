import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from sim import BUILD  # noqa: E402

sys.path.insert(0, str(BUILD / "python"))

import _halvora_pybind11 as hal  # noqa: E402
from sim import Sim  # noqa: E402

_sim = Sim()


@pytest.fixture
def sim():
    """The card's control interface, reset around each test, tracing on."""
    _sim.reset()
    _sim.trace(True)
    yield _sim
    _sim.reset()


@pytest.fixture
def zecm():
    return hal.zecm


@pytest.fixture
def card(zecm):
    """An initialised runtime with device 0 selected; uninitialised afterwards."""
    zecm.uninitialize()
    assert zecm.initialize() == 0
    assert zecm.setDevice(0) == 0
    yield zecm
    zecm.uninitialize()
