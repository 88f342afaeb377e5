"""Fixtures of the media tests."""
import pytest

import _halvora_pybind11 as hal


@pytest.fixture
def zeme():
    return hal.zeme
