"""Fixtures of the preprocess tests: the submodule and pictures in device memory."""
import pytest

import _halvora_pybind11 as hal
from zece_helpers import Pictures


@pytest.fixture
def zece():
    return hal.zece


@pytest.fixture
def pictures(card):
    """Pictures in device memory over an initialised runtime with device 0 selected."""
    return Pictures(card)
