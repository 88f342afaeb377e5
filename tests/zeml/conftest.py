"""Fixtures of the management tests."""
import pytest

import _halvora_pybind11 as hal


@pytest.fixture
def zeml():
    return hal.zeml
