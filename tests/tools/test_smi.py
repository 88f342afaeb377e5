"""halvora-smi on a known configuration: the table, the JSON, and a process that uses the card."""
import importlib.machinery
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from sim import BUILD

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "halvora-smi"
CONFIG = {"cards": [
    {"id": 3, "uuid": "12345678-9abc-4def-8000-00000000abcd", "busId": "0000:41:00.0", "type": "test card",
     "dies": [{"memory": 1 << 30}, {"memory": 2 << 30, "codec": False}]},
    {"id": 7, "dies": 1},
]}


@pytest.fixture
def environment(tmp_path):
    (tmp_path / "card.json").write_text(json.dumps(CONFIG))
    return dict(os.environ, ZESIM_CONFIG=str(tmp_path / "card.json"), ZESIM_REGISTRY=str(tmp_path / "registry"),
                TMPDIR=str(tmp_path), PYTHONPATH=str(BUILD / "python"))


def smi(environment, *args):
    result = subprocess.run([sys.executable, str(TOOL), *args], env=environment, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_json_describes_the_configured_machine(environment):
    state = json.loads(smi(environment, "--json"))
    assert (state["aiDevices"], state["codecDevices"]) == (3, 2)
    first, second = state["cards"]
    assert (first["card"], first["uuid"], first["busId"], first["type"]) == \
        (3, "12345678-9abc-4def-8000-00000000abcd", "0000:41:00.0", "test card")
    assert [(d["die"], d["aiDevice"], d["codecDevice"]) for d in first["dies"]] == [(0, 0, 0), (1, 1, None)]
    assert [d["memory"]["total"] for d in first["dies"]] == [1 << 30, 2 << 30]
    assert second["card"] == 7 and [d["aiDevice"] for d in second["dies"]] == [2]
    assert all(d["processes"] == [] and d["memory"]["used"] == 0 for card in state["cards"] for d in card["dies"])


def test_table_shows_a_process_while_it_holds_device_memory(environment):
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys
        from _halvora_pybind11 import zecm
        zecm.initialize(); zecm.setDevice(1)
        block, crumb = zecm.malloc(300 << 20), zecm.malloc(1000)
        print("ready", flush=True)
        sys.stdin.readline()
    """)], env=environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        table = smi(environment)
    finally:
        holder.communicate("\n", timeout=60)
    lines = table.splitlines()
    assert lines[0].startswith("halvora-smi") and lines[1].endswith("  3 AI devices, 2 codec devices")
    assert max(map(len, lines)) <= 80
    assert any("Card 3" in line and "0000:41:00.0" in line for line in lines)
    [die] = [line for line in lines if line.startswith("|   1   1      -")]
    assert "301 / 2048 MiB" in die  # the die's memory as its processes count it
    [process] = [line for line in lines if str(holder.pid) in line]
    assert process.split()[:3] == ["3", "1", str(holder.pid)] and process.endswith("301 MiB")
    assert str(holder.pid) not in smi(environment)  # gone with its process


def tool_module():
    loader = importlib.machinery.SourceFileLoader("halvora_smi", str(TOOL))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def test_help_is_whole_and_shows_the_defaults(environment):
    text = smi(environment, "--help")
    assert "processes using them, read through the module's management bindings (zeml) only." in " ".join(text.split())
    assert text.count("(default: ") == 2 and "--watch 2" in text


@pytest.mark.parametrize("value", ["-1", "0", "nan", "inf", "1e12", "soon"])
def test_nonsensical_watch_intervals_get_one_argparse_error(environment, value):
    result = subprocess.run([sys.executable, str(TOOL), "--watch", value], env=environment, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.splitlines()[-1].startswith("halvora-smi: error: argument --watch: ")
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("args, read", [([], 0), (["--json"], 0), (["--watch", "0.05"], 1),
                                        (["--watch", "0.05", "--json"], 3)])
def test_a_reader_that_leaves_early_ends_the_tool_quietly(environment, args, read):
    tool = subprocess.Popen([sys.executable, str(TOOL), *args], env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    lines = [tool.stdout.readline() for _ in range(read)]
    tool.stdout.close()
    assert tool.wait(timeout=60) == 141 and tool.stderr.read() == ""
    if "--json" in args:  # watching, JSON Lines: each line one whole reading
        assert all(line.endswith("}\n") and len(json.loads(line)["cards"]) == 2 for line in lines)


def test_json_has_the_table_vocabulary_and_units_in_its_key_names(environment):
    for card in json.loads(smi(environment, "--json"))["cards"]:
        for die in card["dies"]:
            assert set(die["utilization"]) == {"ai", "vdsp", "venc", "vdec"}
            temperatures, power = die["temperatureCelsius"], die["powerMilliwatts"]
            assert len(temperatures) == 15 and all(type(t) is int and 40 <= t <= 82 for t in temperatures)
            assert len(power) == 4 and all(type(p) is int for p in power) and power[0] == sum(power[1:]) >= 8500


@pytest.mark.parametrize("command, name", [
    ("/usr/bin/python3 examples/demo.py", "demo.py"),
    ("/usr/bin/python3 -u -X dev /srv/jobs/pipeline.py --streams 2", "pipeline.py --streams 2"),
    ("/usr/bin/python3 -m pytest -q", "python3 -m pytest -q"),
    ("/opt/card/bin/detector --model m.onnx", "detector --model m.onnx"),
    ("/usr/bin/python3.11 job.py --from first --to " + "x" * 60 + " last", "job.py --from...xxxxxxxx last"),
])
def test_process_names_show_the_script_and_fit_their_column(command, name):
    assert tool_module().process_name(command, 29) == name


HOLDERS = """
import os, sys
from _halvora_pybind11 import zecm
ready, release = os.pipe(), os.pipe()
for _ in range(70):
    if os.fork() == 0:
        try:
            os.close(release[1]); os.close(ready[0])
            zecm.initialize(); zecm.setDevice(0); block = zecm.malloc(1 << 20)
            os.write(ready[1], b"."); os.read(release[0], 1)  # until the parent exits
        finally:
            os._exit(0)
os.close(ready[1])
got = b""
while len(got) < 70 and (part := os.read(ready[0], 70)):
    got += part
print("ready" if len(got) == 70 else "failed", flush=True)
sys.stdin.readline()
"""


def test_a_die_with_more_processes_than_listed_says_so(environment):
    holders = subprocess.Popen([sys.executable, "-c", HOLDERS], env=environment, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert holders.stdout.readline() == "ready\n"
        state, table = json.loads(smi(environment, "--json")), smi(environment)
    finally:
        holders.communicate("\n", timeout=60)
    die = state["cards"][0]["dies"][0]
    assert (len(die["processes"]), die["processListFull"], die["unlistedMemoryMiB"]) == (64, True, 6)
    assert die["memory"]["used"] == 70 << 20
    lines = table.splitlines()
    assert lines[lines.index("Processes:") + 1 + 64 + 1:] == [
        "  Card 3 die 0: the first 64 processes shown, the most the interface lists;",
        "  processes not shown hold 6 MiB."]
    [row] = [line for line in lines if line.startswith("|   0   0      0")]
    assert row.endswith("  64+ |")
