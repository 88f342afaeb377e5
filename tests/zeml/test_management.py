"""The management library end to end: the inventory and its handles, statuses and error
texts, logging, and telemetry that follows what this and other processes do on the card.

Telemetry is checked in fresh interpreters with a usage registry of their own
(ZESIM_REGISTRY), so that other processes using the card meanwhile cannot disturb it."""
import json
import os
import pathlib
import textwrap

import numpy as np
import pytest
from PIL import Image

from card import run_isolated

UNINITIALIZED, INITIALIZED, INITI_FAIL, NOT_FOUND, PARAMETER_ERROR = 70001, 70002, 70005, 70006, 70008
MIB = 1 << 20


@pytest.fixture
def ml(zeml):
    """The management library, initialised; shut down afterwards."""
    zeml.shutDown()
    assert zeml.init() == 0
    yield zeml
    zeml.shutDown()


def dies(zeml, card=0):
    handle = zeml.getCardHandleByIndex(card)
    return [zeml.getDieHandleByIndex(handle, i) for i in range(zeml.getDieCount(handle))]


def isolated(tmp_path, monkeypatch, source, config=None):
    """Runs `source` in a fresh interpreter with its own registry (and ZESIM_CONFIG, log
    directory); returns its standard output, failing on a non-zero exit."""
    monkeypatch.setenv("ZESIM_REGISTRY", str(tmp_path / "registry"))
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    if config is not None:
        (tmp_path / "card.json").write_text(json.dumps(config))
        monkeypatch.setenv("ZESIM_CONFIG", str(tmp_path / "card.json"))
    prelude = "import _halvora_pybind11 as hal\nzecm, zeml, zecl = hal.zecm, hal.zeml, hal.zecl\n"
    result = run_isolated(prelude + textwrap.dedent(source))
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("call", [
    lambda z: z.getCardCount(), lambda z: z.getAiDevInfo(1), lambda z: z.getCardHandleByUUID("x" * 36),
    lambda z: z.getDriverSWVersion(), lambda z: z.getMemUtilizationRate(1), lambda z: z.getRunningProcesses(1, []),
])
def test_calls_before_init_raise_uninitialized(zeml, call):
    zeml.shutDown()
    with pytest.raises(RuntimeError, match=rf", ret: {UNINITIALIZED}\.$"):
        call(zeml)


def test_status_calls_before_init_and_init_twice(zeml):
    zeml.shutDown()
    assert zeml.shutDown() == UNINITIALIZED
    assert zeml.setLogLevel(zeml.logLevel.ZEML_LOG_INFO) == UNINITIALIZED
    assert zeml.logMsg(zeml.logLevel.ZEML_LOG_INFO, "s", zeml.opStatus.ZEML_SUCCESS, "t") == UNINITIALIZED
    assert zeml.getCapability(1, zeml.capability()) == UNINITIALIZED
    assert zeml.getVersion() == "zeml 2.1.1 (software card)"
    assert (zeml.init(), zeml.init(), zeml.shutDown(), zeml.init(), zeml.shutDown()) == (0, INITIALIZED, 0, 0, 0)


def test_error_strings(zeml, sim):
    texts = {member: zeml.errorString(member) for member in zeml.opStatus.__members__.values()}
    assert texts[zeml.opStatus.ZEML_SUCCESS] == "Success."
    assert texts[zeml.opStatus.ZEML_ERROR_CARD_NOTFOUND] == "Management: no such card."
    assert all(text.startswith("Management: ") for member, text in texts.items() if member != 0)
    sim.fail("zemlInit", 70015)
    unknown = zeml.init()  # an opStatus of a value without a name
    assert zeml.errorString(unknown) == "Management: unknown status code."
    assert sim.calls("zemlErrorString")[-1] == 'zemlErrorString(70015) = "Management: unknown status code."'
    sim.null("zemlErrorString")
    with pytest.raises(RuntimeError, match="no text for this status"):
        zeml.errorString(zeml.opStatus.ZEML_SUCCESS)


def test_default_inventory_and_its_handles(ml, zecm):
    zeml = ml
    assert (zeml.getCardCount(), zeml.getAiDeviceCount(), zeml.getCodecDeviceCount()) == (1, 2, 2)
    [card] = zeml.getCardInfo([])
    handle = zeml.getCardHandleByIndex(0)
    uuid = zeml.getUUID(handle)
    assert len(uuid) == 36 and card.uuid == uuid[:31]
    for text in (uuid, card.uuid, uuid.upper()):
        assert zeml.getCardHandleByUUID(text) == handle
    assert zeml.getCardHandleByPciBusId(card.pciInfo.busId) == handle == zeml.getCardHandleByCardId(card.cardId)
    assert (card.pciInfo.busId, card.pciInfo.bus, card.cardTypeName, card.dieNum) == ("0000:01:00.0", 1,
                                                                                      "software card", 2)
    capability = zeml.capability()
    assert zeml.getCapability(handle, capability) == 0
    assert (capability.aiCapability, capability.videoCapability) == (
        card.cardCapability.aiCapability, card.cardCapability.videoCapability) == (0b11, 0b11)
    die_handles = dies(zeml)
    for device, die in enumerate(card.dieInfo):
        index = zeml.getDieIndexByDevIndex(device)
        assert [index.cardId, index.dieId, index.seqNum] == zecm.getDeviceIdInfo(device)
        assert (die.dieIndex.dieId, die.dieIndex.seqNum) == (index.dieId, index.seqNum)
        assert zeml.getDieHandleByDieIndex(index) == die_handles[device]
        assert (die.zeccBaseInfo.name, die.videoBaseInfo.name) == (f"/dev/zecc{device}", f"/dev/zevideo{device}")
        assert die.renderBaseInfo.majorMinor.major == 226
    assert [d.aiBaseInfo.name for d in zeml.getAiDevInfo(2)] == ["/dev/zecc0", "/dev/zecc1"]
    assert zeml.getManageNodeAttribute().name == "/dev/zemgr"
    assert zeml.getDriverSWVersion() == "2.1.1 (software card)"


@pytest.mark.parametrize("call, status", [
    (lambda z: z.getCardHandleByIndex(1), NOT_FOUND),
    (lambda z: z.getCardHandleByUUID("00000000-0000-0000-0000-000000000000"), NOT_FOUND),
    (lambda z: z.getCardHandleByUUID("5a450000-4d00"), PARAMETER_ERROR),
    (lambda z: z.getCardHandleByPciBusId("0000:09:00.0"), NOT_FOUND),
    (lambda z: z.getCardHandleByPciBusId("bus one"), PARAMETER_ERROR),
    (lambda z: z.getDieCount(12345), NOT_FOUND),
    (lambda z: z.getDieCount(dies(z)[0]), NOT_FOUND),
    (lambda z: z.getMemUtilizationRate(z.getCardHandleByIndex(0)), NOT_FOUND),
    (lambda z: z.getDieIndexByDevIndex(2), PARAMETER_ERROR),
    (lambda z: z.getAiDevInfo(3), PARAMETER_ERROR),
])
def test_unknown_names_and_bad_arguments(ml, call, status):
    with pytest.raises(RuntimeError, match=rf", ret: {status}\.$"):
        call(ml)


def test_telemetry_records_are_filled(ml):
    zeml = ml
    die = dies(zeml)[0]
    expected = {"getPllClocks": ("pllClock", "clockArray", 4, 12),
                "getTemperature": ("temperature", "temperature", 0, 15),
                "getPower": ("power", "power", 1, 4), "getPinVolt": ("pinVolt", "pinVolt", 3, 6),
                "getPowerCur": ("powerCur", "powerCur", 2, 3), "getPowerVolt": ("powerVolt", "powerVolt", 3, 3),
                "getTempThreshold": ("tempThreshold", "tempThreshold", 0, 3)}
    for function, (record, readings, unit, count) in expected.items():
        value = getattr(zeml, record)()
        assert getattr(zeml, function)(die, value) == 0
        assert value.unit == unit and len(getattr(value, readings)) == count, function
        assert all(reading > 0 for reading in getattr(value, readings)), function
    power = zeml.power()
    zeml.getPower(die, power)
    assert power.power[0] == sum(power.power[1:])
    threshold = zeml.tempThreshold()
    zeml.getTempThreshold(die, threshold)
    assert threshold.tempThreshold == [85, 95, 105]
    mcu = zeml.mcuUtilizationRate()
    assert zeml.getMcuUtilizationRate(die, mcu) == 0
    assert (len(mcu.vdsp), len(mcu.vemcu), len(mcu.vdmcu)) == (4, 4, 3)
    assert zeml.getNetWorkRunningInfo(die, []) == []
    fan = zeml.fanSpeedInfo()
    assert zeml.getFanSpeedInfo(zeml.getCardHandleByIndex(0), fan) == 0 and 30 <= fan.fanSpeedLevel <= 100


def test_log_texts_are_written_literally(ml):
    zeml = ml
    log = pathlib.Path(os.environ.get("TMPDIR") or "/tmp") / "zesim-log" / "zeml.log"
    marker = f"<literal-{os.getpid()}>"  # bracketed: a longer pid must not contain it
    level, status = zeml.logLevel, zeml.opStatus
    assert zeml.setLogLevel(level.ZEML_LOG_WARN) == 0
    assert zeml.logMsg(level.ZEML_LOG_INFO, "tool", status.ZEML_SUCCESS, marker + " dropped") == 0
    assert zeml.logMsg(level.ZEML_LOG_WARN, "to%sol", status.ZEML_ERROR_CARD_NOTFOUND, marker + " %s %n %d%%") == 0
    assert zeml.logMsg(level.ZEML_LOG_NONE, "tool", status.ZEML_SUCCESS, marker) == PARAMETER_ERROR
    assert zeml.setLogLevel(level.ZEML_LOG_INFO) == 0
    lines = [line for line in log.read_text().splitlines() if marker in line]
    assert [line[line.index("[ML]"):] for line in lines] == [
        f"[ML] [WARN] [to%sol] [status {NOT_FOUND}] {marker} %s %n %d%%"]


def test_a_configured_inventory(tmp_path, monkeypatch):
    config = {"cards": [
        {"id": 3, "dies": [{}, {"codec": False, "memory": 1 << 30}]},
        {"id": 8, "uuid": "12345678-9abc-4def-8123-456789abcdef", "busId": "0001:a0:1f.7", "type": "lab card",
         "dies": 1},
    ]}
    out = isolated(tmp_path, monkeypatch, """
        zeml.init()
        cards = zeml.getCardInfo([])
        second = zeml.getCardHandleByCardId(8)
        print(zeml.getCardCount(), zeml.getAiDeviceCount(), zeml.getCodecDeviceCount())
        print(*[c.cardId for c in cards], *[c.dieNum for c in cards], cards[1].cardTypeName)
        print(cards[0].cardCapability.aiCapability, cards[0].cardCapability.videoCapability)
        print(repr(cards[0].dieInfo[1].videoBaseInfo.name), cards[0].dieInfo[1].zeccBaseInfo.name)
        print(*[(d.dieIndex.cardId, d.dieIndex.seqNum) for d in zeml.getCodecDevInfo(2)])
        print(zeml.getCardHandleByUUID("12345678-9ABC-4DEF-8123-456789ABCDEF") == second,
              zeml.getCardHandleByPciBusId("1:a0:1f.7") == second, zeml.getUUID(second))
        pci = zeml.getPciInfo(second)
        print(pci.domain, pci.bus, pci.card, pci.pcieCardBaseInfo.name)
        index = zeml.getDieIndexByDevIndex(2)
        print(index.cardId, index.dieId, index.seqNum, zecm.getDeviceIdInfo(2))
        print(zeml.getMemUtilizationRate(zeml.getDieHandleByIndex(zeml.getCardHandleByCardId(3), 1)).total)
    """, config)
    assert out.splitlines() == [
        "2 3 2", "3 8 2 1 lab card", "3 1", "'' /dev/zecc1", "(3, 0) (8, 2)",
        "True True 12345678-9abc-4def-8123-456789abcdef", "1 160 31 /dev/zepcie1", "8 0 2 [8, 0, 2]",
        str(1 << 30)]


def test_a_card_with_five_dies_is_refused(tmp_path, monkeypatch):
    out = isolated(tmp_path, monkeypatch, """
        print(zeml.init(), zecm.initialize(None))
        try:
            zeml.getCardCount()
        except RuntimeError as error:
            print(error)
    """, {"cards": [{"dies": 5}]})
    assert out.splitlines() == ["opStatus.ZEML_ERROR_INITI_FAIL 100008",
                                f"get card count error, ret: {UNINITIALIZED}."]
    assert "card 0 has 5 dies; a card has 0 to 4" in (tmp_path / "zesim-log" / "zeml.log").read_text()


def test_memory_used_follows_allocations(tmp_path, monkeypatch):
    out = isolated(tmp_path, monkeypatch, """
        import os
        zeml.init(); zecm.initialize(None); zecm.setDevice(1)
        card = zeml.getCardHandleByIndex(0)
        die0, die1 = (zeml.getDieHandleByIndex(card, i) for i in range(2))
        def used():
            return zeml.getMemUtilizationRate(die0).used, zeml.getMemUtilizationRate(die1).used
        def mine(die):
            return [(p.memused, "python" in p.name) for p in zeml.getRunningProcesses(die, []) if p.pid == os.getpid()]
        print(*used(), mine(die1))
        blocks = [zecm.malloc(3 << 20), zecm.mallocModelInOut(1 << 20), zecm.mallocHost(5 << 20)]
        print(*used(), mine(die1), mine(die0), zeml.getMemUtilizationRate(die1).free)
        zecm.free(blocks[0]); zecm.freeModelInOut(blocks[1])
        print(*used(), mine(die1))
        zecm.malloc(1 << 20)
        zecm.uninitialize()
        print(*used())
    """)
    total = 16 << 30
    assert out.splitlines() == [
        "0 0 []", f"0 {4 * MIB} [(4, True)] [] {total - 4 * MIB}", "0 0 []", "0 0"]


def test_load_rises_while_a_model_runs(tmp_path, monkeypatch):
    out = isolated(tmp_path, monkeypatch, f"""
        import threading, time
        import numpy as np
        import models
        from card import Device
        from zecl_helpers import chain
        zeml.init(); zecm.initialize(None); zecm.setDevice(0)
        conv = models.ConvRelu({str(tmp_path / "conv.onnx")!r}, channels=8, filters=8, size=64)
        model = zecl.createModel(conv.path, "", "", "")
        line = chain(zecl, [model])
        device = Device(zecm)
        dataset = device.dataset([np.ones(conv.input_shape, np.float32)])
        stop = threading.Event()
        def work():
            while not stop.is_set():
                assert zecl.runStream(line.stream, line.input, dataset, 0xFFFFFFFF) == 0
                assert zecm.destroyDatasetAll(zecl.requestOutputDataset(line.stream)) == 0
        die = zeml.getDieHandleByIndex(zeml.getCardHandleByIndex(0), 0)
        def temperature():
            record = zeml.temperature()
            zeml.getTemperature(die, record)
            return record.temperature[0]
        idle = (zeml.getUtilizationRate(die).ai, temperature())
        runner = threading.Thread(target=work)
        runner.start()
        busiest, deadline = (0, 0), time.monotonic() + 30
        while busiest[0] < 20 and time.monotonic() < deadline:
            time.sleep(0.05)
            busiest = max(busiest, (zeml.getUtilizationRate(die).ai, temperature()))
        stop.set(); runner.join()
        other = zeml.getUtilizationRate(zeml.getDieHandleByIndex(zeml.getCardHandleByIndex(0), 1)).ai
        print(*idle, *busiest, other)
    """)
    idle_ai, idle_temperature, busy_ai, busy_temperature, other_ai = map(int, out.split())
    assert (idle_ai, idle_temperature, other_ai) == (0, 40, 0)
    assert busy_ai >= 20 and busy_temperature > idle_temperature


def test_other_processes_show_up_while_they_use_the_card(tmp_path, monkeypatch):
    child = textwrap.dedent("""
        import sys
        import _halvora_pybind11 as hal
        hal.zecm.initialize(None); hal.zecm.setDevice(0)
        block = hal.zecm.malloc(7 << 20)
        print("ready", flush=True)
        sys.stdin.read()
    """)
    out = isolated(tmp_path, monkeypatch, f"""
        import subprocess, sys
        zeml.init()
        die = zeml.getDieHandleByIndex(zeml.getCardHandleByIndex(0), 0)
        def seen(pid):
            return [(p.memused, p.name.split()[0] == sys.executable) for p in zeml.getRunningProcesses(die, [])
                    if p.pid == pid]
        child = subprocess.Popen([sys.executable, "-c", {child!r}], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline() == "ready\\n"
        print(seen(child.pid), zeml.getMemUtilizationRate(die).used)
        child.stdin.close(); child.wait()
        print(seen(child.pid), zeml.getMemUtilizationRate(die).used)
    """)
    assert out.splitlines() == [f"[(7, True)] {7 * MIB}", "[] 0"]


def test_preprocess_decoder_and_encoder_work_is_published(tmp_path, monkeypatch):
    """Each engine's rate on the die its work runs on: preprocess ops on the AI device of their
    pictures, JPEG channel 0 on codec device 0, channel 1 on codec device 1."""
    path = tmp_path / "picture.jpg"
    Image.fromarray(np.random.default_rng(0).integers(0, 256, (480, 640, 3), np.uint8)).save(path, quality=90)
    out = isolated(tmp_path, monkeypatch, f"""
        import time
        import numpy as np
        from zece_helpers import Pictures, desc
        zece, zeme = hal.zece, hal.zeme
        zeml.init(); zecm.initialize(None); zecm.setDevice(1); zeme.systemInitialize()
        card = zeml.getCardHandleByIndex(0)
        dies = [zeml.getDieHandleByIndex(card, i) for i in range(2)]
        def until_busy(work, die, unit):
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                for _ in range(10):
                    work()
                rates = [zeml.getUtilizationRate(d) for d in dies]
                if getattr(rates[die], unit) >= 5:
                    return [getattr(rate, unit) > 0 for rate in rates]
            return "never busy"

        pictures = Pictures(zecm)
        big, small = desc("zeceIMG_YUV_NV12", 1280, 720), desc("zeceIMG_YUV_NV12", 640, 360)
        source, target = pictures.blank(big, 9), pictures.blank(small)
        bilinear = zece.resizeType.zeceRESIZE_BILINEAR
        print(until_busy(lambda: zece.resize(bilinear, big, source, small, target), 1, "vdsp"))

        decoder = zeme.decChannelParamters()
        decoder.codecType, decoder.pixelFormat = zeme.codecType.ZEME_CODEC_DEC_JPEG, zeme.pixelFormat.ZEME_PIX_FMT_NV12
        assert zeme.createDecoderChannel(decoder, 0) == 0 and zeme.startDecoder(0) == 0
        def decode():
            frame = zeme.frame()
            assert zeme.jpegSyncDecoder(0, {str(path)!r}, frame, 0) == 0
            assert zeme.decReleaseFrame(0, frame, 0) == 0
        print(until_busy(decode, 0, "vdmcu"))

        encoder = zeme.encChannelParamters()
        encoder.codecType = zeme.codecType.ZEME_CODEC_ENC_JPEG
        assert zeme.createEncoderChannel(encoder, 1) == 0 and zeme.startEncoder(1) == 0
        picture = np.full((720, 640), 128, np.uint8)
        frame = zeme.frame()
        frame.pixelFormat, frame.memoryType = zeme.pixelFormat.ZEME_PIX_FMT_NV12, zeme.memoryType.ZEME_MEM_HOST
        frame.width, frame.height, frame.stride = 640, 480, [640]
        frame.data, frame.dataSize = picture.reshape(-1), picture.size
        def encode():
            stream = zeme.stream()
            assert zeme.jpegSyncEncoder(1, frame, stream, None, 0) == 0
            assert zeme.encReleaseStream(1, stream, 0) == 0
        print(until_busy(encode, 1, "vemcu"))
    """)
    assert out.splitlines() == ["[False, True]", "[True, False]", "[False, True]"]
