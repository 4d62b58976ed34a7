"""Ctrl-C (SIGINT) and SIGTERM stop continuous transmission and the receive test cleanly:
the transmitter is never left on when the tool exits."""
import json
import os
import signal
import subprocess
import time

import pytest

from conftest import BINARY

MODES = [("continuous", "continuous"), ("carrier", "single_carrier"),
         ("suppression", "carrier_suppression")]


def start(station, step, *args):
    """Starts the tool and returns once it has reached `step` (its signal handlers are in place
    by then), however long a loaded machine makes that take."""
    marks = station.folder / "marks"
    marks.mkdir(exist_ok=True)
    env = dict(os.environ, TALVENCTL_TEST_MARK_DIR=str(marks))
    p = subprocess.Popen([BINARY, "--json", "--sim-state", str(station.state), *args],
                         cwd=station.folder, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not (marks / step).exists():
        assert p.poll() is None, p.communicate()
        assert time.monotonic() < deadline, f"{step} not reached"
        time.sleep(0.01)
    return p


@pytest.mark.parametrize("mode,field", MODES, ids=[m for m, _ in MODES])
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_signal_during_transmit_stops_the_transmitter(station, mode, field, sig):
    p = start(station, "tx-started", "tx", mode, "--duration", "1h")
    p.send_signal(sig)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    report = json.loads(out.decode().splitlines()[-1])
    assert report["interrupted"] is True and report["stopped"] is True
    # The transmission ran until the signal, well short of its duration; how long exactly
    # depends on how long the process took to start (much longer under the sanitizers).
    assert 0 < report["elapsed_ms"] < 3600000 and report["duration_ms"] == 3600000
    assert station.sim()["transmitter"][field] == 0


@pytest.mark.parametrize("mode,field", MODES, ids=[m for m, _ in MODES])
def test_a_transmitter_left_on_by_a_killed_run_is_shown_and_switched_off(station, mode, field):
    # What the checks above rule out for a tool that can clean up: killed (SIGKILL), it leaves
    # the adapter transmitting. info shows it, and tx off stops it without starting another.
    p = start(station, "tx-started", "tx", mode, "--duration", "1h")
    p.kill()
    p.communicate(timeout=60)
    info = station.ok("info")
    assert info["transmitter"]["reported"] is True
    assert info["transmitter"]["modes"][mode] == 1
    off = station.ok("tx", "off")
    assert [(s["mode"], s["result"]) for s in off["stopped"]] == [
        ("continuous", 1), ("carrier", 1), ("suppression", 1), ("frames", 1)]
    assert station.sim()["transmitter"][field] == 0
    assert set(station.ok("info")["transmitter"]["modes"].values()) == {0}
    assert station.ok("tx", "off")["stopped"][0]["result"] == 1  # safe when all is off


def test_sigint_during_frame_stream_and_receive_test(station):
    p = start(station, "tx-started", "tx", "frames", "--duration", "30s")
    p.send_signal(signal.SIGINT)
    out, _ = p.communicate(timeout=60)
    assert p.returncode == 0 and json.loads(out.decode())["interrupted"] is True
    sent = station.sim()["transmitter"]["frames_sent"]
    assert sent > 0
    station.ok("info")
    assert station.sim()["transmitter"]["frames_sent"] == 0  # a new process: nothing is sending

    p = start(station, "rx-started", "rx", "--duration", "30s", "--interval", "200ms")
    p.send_signal(signal.SIGINT)
    out, _ = p.communicate(timeout=60)
    report = json.loads(out.decode())
    assert p.returncode == 0 and report["interrupted"] is True and report["frames"] > 0
    settings = {s["oid"]: s["first"] for s in station.sim()["settings"]}
    assert settings[0xFF4D1030] == 0  # the receive test is off


def test_failing_stop_is_reported(station):
    # The stop request fails (twice, with the retry): the tool must not claim the
    # transmitter is off.
    r = station.run("tx", "continuous", "--duration", "100ms",
                    env={"TALVENCTL_TEST_SIM_FAULT": "tx-continuous@0/tx-started"})
    assert r.rc == 1
    assert r.last["error"]["operation"] == "SetTxContinuousDirectCall"
    assert "may still run" in r.last["error"]["message"]


def run_with_terminal_stderr(station, *args):
    """Runs the tool with stderr on a pseudo-terminal; returns (status, stdout, terminal)."""
    import os
    import pty
    master, slave = pty.openpty()
    try:
        p = subprocess.run([BINARY, "--sim-state", str(station.state), *args],
                           cwd=station.folder, stdout=subprocess.PIPE, stderr=slave,
                           timeout=60)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        return p.returncode, p.stdout.decode(), seen.decode(errors="replace")
    finally:
        os.close(master)


def test_progress_only_on_a_terminal_and_never_with_json(station):
    rc, out, tty = run_with_terminal_stderr(station, "rx", "--duration", "400ms",
                                            "--interval", "200ms")
    assert rc == 0 and "rx: " in tty and "rx: " not in out
    rc, out, tty = run_with_terminal_stderr(station, "--json", "rx", "--duration", "400ms",
                                            "--interval", "200ms")
    assert rc == 0 and tty == "" and json.loads(out)["frames"] > 0
    r = station.run("rx", "--duration", "400ms", "--interval", "200ms", json_output=False)
    assert r.rc == 0 and r.err == ""  # a pipe: no progress
