"""The simulated adapter keeps every write as it happens: a process killed in the middle of
writing leaves the half-written board the hardware would show."""
import os
import subprocess
import time

import pytest

from conftest import BINARY


def killed_at(station, hold, *args):
    """Runs the tool until the simulated adapter receives `hold`, then kills it (SIGKILL)."""
    marks = station.folder / "marks"
    marks.mkdir(exist_ok=True)
    env = dict(os.environ, TALVENCTL_TEST_MARK_DIR=str(marks), TALVENCTL_TEST_SIM_HOLD=hold)
    p = subprocess.Popen([BINARY, "--json", "--sim-state", str(station.state), *args],
                         cwd=station.folder, env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while not (marks / "sim-hold").exists():
        assert p.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    p.kill()
    p.wait()


@pytest.mark.parametrize("offset", [0x20, 0xC0])
@pytest.mark.parametrize("mode", [[], ["--changed-only"]], ids=["all", "changed"])
def test_a_load_killed_midway_leaves_a_half_written_board(station, offset, mode):
    old = station.eeprom()
    image = bytes((b + 0x11) & 0xFF for b in old)  # every byte differs
    (station.folder / "new.bin").write_bytes(image)
    killed_at(station, f"eeprom-write@{offset:#x}", "eeprom", "load", "new.bin",
              "--with-identity", *mode)
    now = station.eeprom()
    assert now[:offset] == image[:offset] and now[offset:] == old[offset:]


def test_a_provision_killed_midway_leaves_its_address_under_review(station):
    station.ok("mac", "pool", "init", "02:5B:A7:00:00:10", "02:5B:A7:00:00:19", "p.pool")
    old = station.eeprom()[14:20]
    killed_at(station, "eeprom-write@18", "mac", "provision", "--pool", "p.pool", "--serial", "C1")
    assert station.eeprom()[14:20] == bytes.fromhex("025BA7000010")[:4] + old[4:]
    s = station.ok("mac", "pool", "status", "p.pool")
    assert s["review"][0]["address"] == "02:5B:A7:00:00:10" and s["free"] == 9
