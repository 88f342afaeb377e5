"""The zeml submodule: registration, records, status results, and what the bindings pass and convert."""
import pytest

ORDER = """
opStatus logLevel pciCardId pciSubSystemId nodeMajorMinor dieIndex nodeBaseInfo dieBaseInfo aiDevInfo codecDevInfo
pciInfo capability cardInfo fanSpeedInfo pllClock temperature tempThreshold pinVolt power powerCur powerVolt
memUtilizationRate utilizationRate mcuUtilizationRate processInfo zemlER_SUCCESS MAX_PLL_CLOCK_SUBMODULE
MAX_TEMPERATURE_SUBMODULE MAX_TEMP_THRESHOLD_SUBMODULE MAX_POWER_SUMMODULE MAX_POWER_CURRENT_SUMMODULE
MAX_POWER_VOLTAGE_SUMMODULE MAX_PIN_VOLT_SUMMODULE MAX_PVT_VOLT_SUMMODULE MAX_DIE_CMCU_NUM MAX_DIE_VDSP_NUM
MAX_DIE_VDMCU_NUM MAX_DIE_VEMCU_NUM init shutDown getVersion setLogLevel logMsg errorString getAiDeviceCount
getCodecDeviceCount getAiDevInfo getCodecDevInfo getDieIndexByDevIndex getCardCount getCardInfo getCardHandleByUUID
getCardHandleByPciBusId getCardHandleByIndex getCardHandleByCardId getUUID getPciInfo getCapability getFanSpeedInfo
getManageNodeAttribute getDriverSWVersion getDieCount getDieInfo getDieHandleByIndex getDieHandleByDieIndex
getPllClocks getTemperature getPower getPinVolt getPowerCur getPowerVolt getTempThreshold getMemUtilizationRate
getMcuUtilizationRate getUtilizationRate getRunningProcesses getNetWorkRunningInfo
""".split()

DOCS = {
    "init": ("() -> _halvora_pybind11.zeml.opStatus", "initialize the environment for zeml api."),
    "getVersion": ("() -> str", "get the zeml api version information."),
    "logMsg": ("(arg0: _halvora_pybind11.zeml.logLevel, arg1: str, arg2: _halvora_pybind11.zeml.opStatus, "
               "arg3: str) -> _halvora_pybind11.zeml.opStatus", "write a message to the console or file."),
    "getCardInfo": ("(arg0: list) -> list", "get the information of card."),
    "getCardHandleByCardId": ("(arg0: int) -> int", "get the card handle by card id."),
    "getPllClocks": ("(arg0: int, arg1: _halvora_pybind11.zeml.pllClock) -> _halvora_pybind11.zeml.opStatus",
                     "get the pll clocks information by the specified handle of die."),
    "getDieHandleByDieIndex": ("(arg0: _halvora_pybind11.zeml.dieIndex) -> int", "get the handle of die by its index."),
    "getNetWorkRunningInfo": ("(arg0: int, arg1: list) -> list", "get the net process information of die."),
}


def test_registration_order_and_attributes(zeml):
    assert [name for name in vars(zeml) if not name.startswith("__")] == ORDER
    assert zeml.__doc__ == "zentri management library."
    assert (zeml.MAX_POWER_SUMMODULE, zeml.MAX_TEMPERATURE_SUBMODULE, zeml.MAX_PVT_VOLT_SUMMODULE,
            zeml.MAX_DIE_VDMCU_NUM) == (4, 15, 7, 3)


@pytest.mark.parametrize("name, signature, doc", [(n, *v) for n, v in DOCS.items()])
def test_docstrings(zeml, name, signature, doc):
    assert getattr(zeml, name).__doc__ == f"{name}{signature}\n\n{doc}\n"


def test_statuses_are_members_even_without_a_name(zeml, sim):
    status = zeml.opStatus
    assert status.ZEML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID == status.ZEML_ERROR_PROFILER_ALREADY_STOP
    assert status(70014).name == "ZEML_ERROR_PROFILER_ALREADY_STOP"
    assert 70015 not in [member.value for member in status.__members__.values()]
    for value in (0, 70002, 123456):
        sim.fail("zemlInit", value)
        result = zeml.init()
        assert type(result) is status and result == value and not isinstance(result, int)


def test_records_are_read_only_and_start_empty(zeml):
    card = zeml.cardInfo()
    assert (card.cardId, card.uuid, card.dieNum, card.dieInfo, card.pciInfo.busId) == (0, "", 0, [], "")
    assert card.pciInfo.pciSubId.subCardId == 0 and card.manNodeBaseInfo.majorMinor.major == 0
    for record, name in ((card, "uuid"), (zeml.nodeBaseInfo(), "name"), (zeml.temperature(), "temperature"),
                         (zeml.dieIndex(), "dieId"), (zeml.processInfo(), "pid")):
        with pytest.raises(AttributeError):
            setattr(record, name, getattr(record, name))
    assert (zeml.mcuUtilizationRate().vdsp, zeml.pllClock().clockArray, zeml.memUtilizationRate().total) == ([], [], 0)


def test_die_indexes_pack_into_their_bytes(zeml, sim):
    sim.null("zemlGetDieIndexByDevIndex")  # writes nothing: the index stays 0
    index = zeml.getDieIndexByDevIndex(0)
    assert (index.dieId, index.cardId, index.seqNum) == (0, 0, 0)
    sim.null("zemlGetDieHandleByDieIndex")
    assert zeml.getDieHandleByDieIndex(index) == 0
    with pytest.raises(RuntimeError, match="^$"):
        zeml.getDieHandleByDieIndex(None)
    assert sim.calls("zemlGetDieHandleByDieIndex")[0].startswith("zemlGetDieHandleByDieIndex(0, 0x")


@pytest.mark.parametrize("function, call, message", [
    ("zemlGetAiDeviceCount", lambda z: z.getAiDeviceCount(), "get ai device count error"),
    ("zemlGetAiDevInfo", lambda z: z.getAiDevInfo(2), "get ai device info error"),
    ("zemlGetCardInfo", lambda z: z.getCardInfo([]), "get card info error"),
    ("zemlGetHandleByUUID", lambda z: z.getCardHandleByUUID(None), "get card handle by uuid error"),
    ("zemlGetUUID", lambda z: z.getUUID(1), "get uuid error"),
    ("zemlGetDriverSWVersion", lambda z: z.getDriverSWVersion(), "get driver SW version error"),
    ("zemlGetPllClocks", lambda z: z.getPllClocks(1, z.pllClock()), "get pll clocks error"),
    ("zemlGetMcuUtilizationRate", lambda z: z.getMcuUtilizationRate(1, z.mcuUtilizationRate()),
     "get mcu utilization rate error"),
    ("zemlGetMemUtilizationRate", lambda z: z.getMemUtilizationRate(1), "get memory utilization rate error"),
    ("zemlGetRunningProcesses", lambda z: z.getRunningProcesses(1, []), "get running processes error"),
])
def test_value_bindings_raise_with_their_message(zeml, sim, function, call, message):
    sim.fail(function, 4294967295)
    with pytest.raises(RuntimeError, match=rf"^{message}, ret: -1\.$"):
        call(zeml)


def test_arguments_are_refused_before_the_runtime(zeml, sim):
    for call in (lambda: zeml.getCardHandleByCardId(65536), lambda: zeml.getCardHandleByCardId(-1),
                 lambda: zeml.getUUID(-1), lambda: zeml.getCardInfo(None), lambda: zeml.getCardInfo(()),
                 lambda: zeml.getTemperature(1, zeml.power()), lambda: zeml.getTemperature(1, None),
                 lambda: zeml.getRunningProcesses(1, None)):
        with pytest.raises(TypeError):
            call()
    for call in (lambda: zeml.setLogLevel(None), lambda: zeml.logMsg(None, "a", zeml.opStatus.ZEML_SUCCESS, "b"),
                 lambda: zeml.logMsg(zeml.logLevel.ZEML_LOG_INFO, "a", None, "b"), lambda: zeml.errorString(None)):
        with pytest.raises(RuntimeError, match="^$"):
            call()
    assert sim.lines("zeml") == []
