"""The zecl submodule as a whole: registration order, docstrings, attributes, enumerations."""
import pytest

ORDER = [
    "zeclER_SUCCESS", "zeclER_WAIT_MORE_INPUT", "getVersion", "balance_mode", "callBackStatus",
    "createOpGraph", "destroyOpGraph", "destroyOpStream", "subscribeStreamReport", "createOpStream",
    "buildStream", "runStream", "runStreamAsync", "synchronizeStream", "synchronizeDevice",
    "getStreamCacheNumber", "requestOutputDataset", "createGraphInputOp", "connectOps",
    "createRunModelOp", "registerGetOutput", "registerGetOutputs",
    "createModel", "destroyModel", "createDynamicModel", "setDynamicModelInputShape",
    "setModelBatchSize", "getModelBatchSize", "getModelMaxBatchSize", "getDynamicModelMaxBatchSize",
    "getModelInputCount", "getModelOutputDataTypeByIndex", "getModelOutputCount",
    "getModelInputShapeByIndex", "getModelOutputSizeByIndex", "getModelOutputShapeByIndex",
    "loadImage",
]

DOCS = {
    "getVersion": "get the zecl version.",
    "createOpGraph": "creat the zecl op graph",
    "destroyOpGraph": "destroy the zecl op graph",
    "destroyOpStream": "destroy the zecl op stream",
    "subscribeStreamReport": "Subscribe a callback function to the stream to receive the result report "
                             "when a specific stream operator execution is completed.",
    "createOpStream": "create the zecl stream",
    "buildStream": "build the zecl stream ",
    "runStream": "run the zecl stream ",
    "runStreamAsync": "run the zecl stream ",
    "synchronizeStream": "Synchronize the running of a stream.",
    "synchronizeDevice": "Synchronize the running of all stream of a device.",
    "getStreamCacheNumber": "Get the cache number of a stream.",
    "requestOutputDataset": "request the output dataset",
    "createGraphInputOp": "creat the zecl graph input op",
    "connectOps": "connect the zecl op",
    "createRunModelOp": "creat the zecl graph input op",
    "registerGetOutput": "regist get the zecl out put",
    "registerGetOutputs": "regist get the zecl out put",
    "createModel": "create the zecl model",
    "destroyModel": "destroy the zecl model",
    "createDynamicModel": "create the zecl model",
    "setDynamicModelInputShape": "set the zecl model batch size",
    "setModelBatchSize": "set the zecl model batch size",
    "getModelBatchSize": "get the zecl model batch size",
    "getModelMaxBatchSize": "get the zecl model max batch size",
    "getDynamicModelMaxBatchSize": "get the zecl model max batch size",
    "getModelInputCount": "Get the input count for a model.",
    "getModelOutputDataTypeByIndex": "Get the input count for a model.",
    "getModelOutputCount": "Get the output count for a model.",
    "getModelInputShapeByIndex": "Get the input shape by index for a model.",
    "getModelOutputSizeByIndex": "Get the output data size by index for a model.",
    "getModelOutputShapeByIndex": "Get the output shape by index for a model.",
    "loadImage": "load test image",
}


def test_registration_order(zecl):
    assert [name for name in vars(zecl) if not name.startswith("__")] == ORDER
    assert zecl.__doc__ == "zentri Accelerate Language."


@pytest.mark.parametrize("name, doc", DOCS.items())
def test_docstrings_are_exact(zecl, name, doc):
    signature, blank, text = getattr(zecl, name).__doc__.split("\n", 2)
    assert signature.startswith(name + "(") and blank == ""
    assert text == doc + "\n"


@pytest.mark.parametrize("name, signature", [
    ("subscribeStreamReport", "subscribeStreamReport(arg0: capsule, arg1: Callable[[capsule, capsule, capsule, "
                              "_halvora_pybind11.zecl.callBackStatus, object], None], arg2: object) -> int"),
    ("runStream", "runStream(arg0: capsule, arg1: capsule, arg2: capsule, arg3: int) -> int"),
    ("createOpStream", "createOpStream(arg0: capsule, arg1: _halvora_pybind11.zecl.balance_mode) -> capsule"),
    ("getModelOutputDataTypeByIndex",
     "getModelOutputDataTypeByIndex(arg0: capsule, arg1: int) -> _halvora_pybind11.zecm.dType"),
    ("loadImage", "loadImage(arg0: str, arg1: int, arg2: int) -> capsule"),
])
def test_signature_lines(zecl, name, signature):
    assert getattr(zecl, name).__doc__.split("\n")[0] == signature


def test_status_attributes_are_plain_integers(zecl):
    assert (zecl.zeclER_SUCCESS, zecl.zeclER_WAIT_MORE_INPUT) == (0, 301041)
    assert type(zecl.zeclER_SUCCESS) is int and type(zecl.zeclER_WAIT_MORE_INPUT) is int


def test_balance_mode_is_a_closed_enumeration(zecl):
    mode = zecl.balance_mode
    assert list(mode.__members__) == ["zeclBM_ONCE", "zeclBM_RUN"]
    assert (mode.zeclBM_ONCE, mode.zeclBM_RUN) == (0, 1)
    assert not hasattr(zecl, "zeclBM_RUN")
    with pytest.raises(TypeError):
        mode.zeclBM_ONCE < mode.zeclBM_RUN  # noqa: B015
    assert mode(7).name == "???"


def test_get_version_needs_the_text(zecl, sim):
    assert zecl.getVersion() == "zecl 2.1.1 (software card)"
    sim.fail("zeclGetVersion", 5)
    with pytest.raises(RuntimeError):  # nothing written: no text to return
        zecl.getVersion()
    sim.null("zeclGetVersion")
    with pytest.raises(RuntimeError):
        zecl.getVersion()


def test_callback_status_record(zecl):
    status = zecl.callBackStatus()
    assert (status.errorCode, status.isStreamEnd) == (0, False)
    status.errorCode, status.isStreamEnd = 4294967295, True
    assert (status.errorCode, status.isStreamEnd) == (4294967295, True)
    for wrong in (-1, 2**32):
        with pytest.raises(TypeError):
            status.errorCode = wrong
    assert status.errorCode == 4294967295
