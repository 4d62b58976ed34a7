"""Recipes: checked completely before the first line runs, clean-up that always runs, and an
exit status that the summary line states."""
import json
import os
import signal
import subprocess
import time

import pytest

from conftest import BINARY


def agreed(r):
    """The summary is the last line; its exit is the tool's."""
    assert r.last["command"] == "run" and r.last["exit"] == r.rc, (r.out, r.err)
    assert r.last["ok"] is (r.rc == 0)
    return r.last


# Each recipe's last line is bad; none of its lines may run.
BAD = [
    ("eeprom set 0x40 0xA7\npower set 15=1/1\n", "unknown channel"),
    ("test start\nradio set chanel=6\ntest stop\n", "expected KEY=VALUE"),
    ("eeprom set 0x40 0xA7\neeprom set 0x100 1\n", "past the end"),
    ("test start\nmac set 01:00:5E:00:00:01\ntest stop\n", "multicast"),
    ("test start\neeprom load missing.bin\n", "cannot read missing.bin"),
    ("test start\nmac provision --pool none.pool --serial S1\n", "cannot read the pool"),
    ("test start\nreg write bb 1=1 --bank 2\n", "bad bank"),
    ("test start\ntx single --count 0\n", "bad count"),
    ("test start\nfrobnicate now\n", "unknown command 'frobnicate'"),
    ("test start\ncleanup:\ntest stop\ncleanup:\n", "a second 'cleanup:'"),
]


@pytest.mark.parametrize("text,phrase", BAD, ids=[p for _, p in BAD])
def test_a_recipe_with_a_bad_line_runs_nothing(station, text, phrase):
    (station.folder / "bad.recipe").write_text(text)
    before = station.state.read_text()
    r = station.run("run", "bad.recipe")
    assert r.rc == 2 and phrase in r.err
    assert [x["command"] for x in r.lines] == ["run"] and agreed(r)["run"] == 0
    assert station.state.read_text() == before
    assert not (station.folder / "sim.json.writes").exists()


def test_a_line_may_read_what_an_earlier_line_writes(station):
    (station.folder / "dump.recipe").write_text(
        "eeprom dump --format bin --file golden.bin\neeprom diff golden.bin\n"
        "power export table.csv\npower import table.csv\n"
        "mac pool init 02:5B:A7:00:00:10 02:5B:A7:00:00:19 p.pool\n"
        "mac provision --pool p.pool --serial S1\n")
    r = station.run("run", "dump.recipe")
    assert r.rc == 0 and agreed(r)["run"] == 6


def start(station, *args, env=None):
    marks = station.folder / "marks"
    marks.mkdir(exist_ok=True)
    full = dict(os.environ, TALVENCTL_TEST_MARK_DIR=str(marks), **(env or {}))
    return subprocess.Popen([BINARY, "--json", "--sim-state", str(station.state), *args],
                            cwd=station.folder, env=full, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE), marks


def finish(p):
    out, err = p.communicate(timeout=120)

    class R:
        pass
    r = R()
    r.rc, r.err = p.returncode, err.decode()
    r.out = out.decode()
    r.lines = [json.loads(x) for x in r.out.splitlines() if x.startswith("{")]
    r.last = r.lines[-1]
    return r


RECIPE = ("test start\nradio set channel=6\ntx continuous --duration 1h\n"
          "mac set 02:00:00:00:00:01 --runtime\ntest stop\n")


# How the recipe is stopped: a failing line, or a signal while it transmits. Either way the
# transmitter is switched off and test mode left, and the status says it did not complete.
@pytest.mark.parametrize("how", ["failing line", signal.SIGINT, signal.SIGTERM],
                         ids=["failing line", "SIGINT", "SIGTERM"])
def test_a_recipe_stopped_early_leaves_the_adapter_safe(station, how):
    (station.folder / "tx.recipe").write_text(
        RECIPE.replace("1h", "200ms") if how == "failing line" else RECIPE)
    if how == "failing line":
        r = station.run("run", "tx.recipe", env={"TALVENCTL_TEST_SIM_FAULT": "mac-write"})
    else:
        p, marks = start(station, "run", "tx.recipe")
        deadline = time.monotonic() + 120
        while not (marks / "tx-started").exists():
            assert p.poll() is None and time.monotonic() < deadline, p.communicate()
            time.sleep(0.01)
        p.send_signal(how)
        r = finish(p)
    summary = agreed(r)
    assert r.rc == 1 and summary["interrupted"] is (how != "failing line")
    automatic = [x for x in r.lines if x.get("cleanup") == "automatic"]
    assert [(x["command"], x["ok"]) for x in automatic] == [("tx off", True), ("test stop", True)]
    assert summary["cleanup"]["automatic"] == [{"command": "tx off", "ok": True},
                                               {"command": "test stop", "ok": True}]
    sim = station.sim()
    assert sim["test_mode"] is False and sim["transmitter"]["continuous"] == 0


@pytest.mark.parametrize("fault,status", [(None, 0), ("mac-write", 1)],
                         ids=["success", "failure"])
def test_a_recipes_own_cleanup_lines_always_run(station, fault, status):
    (station.folder / "c.recipe").write_text(
        "test start\neeprom set 0x90 1\nmac set 02:00:00:00:00:01 --runtime\neeprom set 0x92 3\n"
        "cleanup:\neeprom set 0x91 2\ntest stop\n")
    r = station.run("run", "c.recipe", env={"TALVENCTL_TEST_SIM_FAULT": fault} if fault else {})
    summary = agreed(r)
    assert r.rc == status and summary["cleanup"]["lines"] == 2
    assert [x["line"] for x in r.lines if x.get("cleanup") is True] == [6, 7]
    assert summary["cleanup"]["automatic"] == []  # its own test stop left test mode
    image = station.eeprom()
    assert (image[0x90], image[0x91], image[0x92]) == (1, 2, 3 if fault is None else 0xFF)
    assert station.sim()["test_mode"] is False
