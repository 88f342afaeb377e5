"""The submodule zecm: what it holds, in registration order."""
import _halvora_pybind11 as hal

ORDER = """
ER_SUCCESS ER_NOT_IMPLEMENT dType
deviceType deviceInfo createDataBuffer createDataBufferFromContext destroyDataBuffer
getDataBufferAddr getDataBufferSize getDataBufferDeviceInfo updateDataBuffer
datasetMode createDataset destroyDataset addDatasetBuffer getDatasetBufferCount getDatasetBuffer
addDatasetTensor getDatasetTensorCount getDatasetTensor getDatasetMode getDatasetUserCtx
setDatasetUserCtx clearDataset
setDevice resetDevice getDevice
zecmER_SUCCESS initialize uninitialize
getVersion getErrDesc createContext destroyContext setCurrentContext getCurrentContext
copyMemType malloc free mallocModelInOut freeModelInOut memcpy getNumpyFromHandle
getHandleFromNumpy memcpyAsync memcpyDevices memcpyDevicesAsync memset memsetAsync
shape createTensor createTensorWithDataHandle destroyTensor getTensorDataHandle
setTensorDataHandle getTensorDeviceInfo getTensorShape setTensorShape getTensorDataType
setTensorDataType getTensorSize
getDataTypeSize float16ToFloat32 float32ToFloat16 float16ToFloat32Array float32ToFloat16Array
getFloat16Array
destroyDatasetAll
mallocHost freeHost
getDeviceIdInfo
logChannel logLevel initLogger logMessage
""".split()

DOCSTRINGS = {
    "setDevice": "Set the device to be used in the process.",
    "resetDevice": "Reset the device used in the process. All resources bound to this device "
                   "will be released.",
    "getDevice": "Get current device index",
    "initialize": "Initialize the environment for ZECM API.",
    "getVersion": "Get the ZEME API version information.",
    "createContext": "Create a context in assigned device",
    "getDeviceIdInfo": "Get device index information.",
    "memcpy": "Copy a memory between host and device according to copy type. Synchronous interface.",
    "getNumpyFromHandle": "get the numpy array from data handle",
    "getDataTypeSize": " Get the size for a data type",
    "createDataset": "Create a dataset.",
    "destroyDatasetAll": "Destroy all data in a dataset including itself.",
}


def test_everything_is_registered_in_order():
    names = [name for name in vars(hal.zecm) if not name.startswith("__")]
    assert names == ORDER


def test_docstrings_follow_the_signature_line():
    for name, doc in DOCSTRINGS.items():
        lines = getattr(hal.zecm, name).__doc__.split("\n")
        assert lines[0].startswith(name + "(") and lines[2] == doc, name


def test_initialize_takes_config_by_keyword_with_default_none():
    assert hal.zecm.initialize.__doc__.split("\n")[0] == \
        "initialize(config: str = None) -> int"
