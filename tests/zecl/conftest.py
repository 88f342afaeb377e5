"""Fixtures of the compute-library tests: the submodule, device data and models on disk."""
import pytest

import _halvora_pybind11 as hal
import models
from zecl_helpers import Device


@pytest.fixture
def zecl():
    return hal.zecl


@pytest.fixture
def device(card):
    """Device data helpers over an initialised runtime with device 0 selected."""
    return Device(card)


@pytest.fixture
def conv(tmp_path):
    return models.ConvRelu(tmp_path / "conv.onnx")


@pytest.fixture
def addmul(tmp_path):
    return models.AddMul(tmp_path / "addmul.onnx")


@pytest.fixture
def scale(tmp_path):
    return models.Scale(tmp_path / "scale.onnx")
