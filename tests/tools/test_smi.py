"""halvora-smi on a known configuration: the table, the JSON, and a process that uses the card."""
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
        block = zecm.malloc(300 << 20)
        print("ready", flush=True)
        sys.stdin.readline()
    """)], env=environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        table = smi(environment)
    finally:
        holder.communicate("\n", timeout=60)
    lines = table.splitlines()
    assert lines[0].startswith("halvora-smi") and lines[1] == "3 AI devices, 2 codec devices"
    assert any("Card 3" in line and "0000:41:00.0" in line for line in lines)
    [die] = [line for line in lines if line.startswith("|   1   1      -")]
    assert "300 MiB / 2048 MiB" in die
    [process] = [line for line in lines if str(holder.pid) in line]
    assert process.split()[:3] == ["3", "1", str(holder.pid)] and process.endswith("300 MiB")
    assert str(holder.pid) not in smi(environment)  # gone with its process
