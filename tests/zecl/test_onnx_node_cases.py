"""ONNX's backend node test cases through the card: every float32 case that OpenCV's DNN
module passes on its own (run here as the oracle, on the same model and inputs) passes
through createModel, a graph-input op feeding a run-model op, an op stream and datasets
of device memory, however the model is loaded and fed; and the card keeps running the
cases docs/models.md counts.

cv2's Python module hands a 3-D array to the network as a 2-D picture with channels, so
the oracle fails every case with a 3-D input that the card, which gives OpenCV the
N-dimensional blob, runs; those cases are held by the count below."""
import pytest

import _halvora_pybind11 as hal
import onnx_cases

# Below these counts the generators or the oracle went wrong, and the comparison
# would pass on too few cases to mean anything.
LEAST_FLOAT32_CASES = 380
LEAST_ORACLE_PASSES = 99
# The cases that run on the card in each way (docs/models.md).
CARD_PASSES = 336


@pytest.fixture(scope="module", autouse=True)
def quiet():
    with onnx_cases.quiet():
        yield


@pytest.fixture(scope="module")
def cases():
    return onnx_cases.generate().float32


@pytest.fixture(scope="module")
def oracle_passes(cases):
    return {case.name for case in cases if onnx_cases.opencv_verdict(case)[0]}


def test_enough_cases_reach_the_comparison(cases, oracle_passes):
    assert len(cases) >= LEAST_FLOAT32_CASES
    assert len(oracle_passes) >= LEAST_ORACLE_PASSES


@pytest.mark.parametrize("tensors, dynamic", [(False, False), (True, False), (False, True)],
                         ids=["static-buffers", "static-tensors", "dynamic-buffers"])
def test_cases_opencv_passes_pass_through_the_card(card, device, cases, oracle_passes, tensors, dynamic):
    passed, failed = 0, []
    with onnx_cases.scratch() as folder:
        for case in cases:
            ok, reason = onnx_cases.card_verdict(hal, device, case, folder, tensors, dynamic)
            passed += ok
            if not ok and case.name in oracle_passes:
                failed.append(f"{case.name}: {reason}")
    assert not failed, f"{len(failed)} cases OpenCV passes fail on the card:\n" + "\n".join(failed)
    assert passed >= CARD_PASSES
