"""MAC provisioning from a pool: sequential hand-out, refused ranges, serials, review, the
lock, and a journal that hands no address out twice even when the process dies at any step
or the journal goes missing."""
import fcntl
import json
import os
import shutil
import subprocess
import time

import pytest

from conftest import BINARY

FIRST = "02:5B:A7:00:00:10"


def mac(n):
    return "02:5B:A7:00:00:%02X" % (0x10 + n)


@pytest.fixture
def pool(station):
    station.ok("mac", "pool", "init", FIRST, mac(9), "p.pool")
    return station


def journal(station, name="p.pool"):
    return [json.loads(line) for line in (station.folder / f"{name}.journal").read_text().splitlines()
            if line.startswith("{")]


def provision(station, serial, *more, **kw):
    return station.run("mac", "provision", "--pool", "p.pool", "--serial", serial, *more, **kw)


def test_init_status_and_provision_in_order(pool):
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["total"], s["free"], s["provisioned"], s["unknown"]) == (10, 10, 0, 0)
    for n, serial in enumerate(["SN-1", "SN-2"]):
        p = provision(pool, serial).last
        assert (p["address"], p["serial"], p["outcome"], p["verified"]) == (mac(n), serial, "ok", True)
        assert pool.eeprom()[14:20] == bytes.fromhex(mac(n).replace(":", ""))
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["free"], s["provisioned"], s["failed"], s["unknown"]) == (8, 2, 0, 0)
    events = journal(pool)
    assert events[0]["event"] == "pool" and len(events[0]["pool_id"]) == 32
    assert [(e["event"], e["address"]) for e in events[1:]] == [
        ("take", mac(0)), ("outcome", mac(0)), ("take", mac(1)), ("outcome", mac(1))]
    assert events[1]["serial"] == "SN-1" and events[1]["time"].endswith("Z")
    assert events[1]["station"] and events[2]["outcome"] == "ok"
    assert json.loads((pool.folder / "p.pool").read_text())["pool_id"] == events[0]["pool_id"]


def test_a_second_range_is_added_and_used_after_the_first(station):
    station.ok("mac", "pool", "init", FIRST, mac(0), "p.pool")
    station.ok("mac", "pool", "init", "02:5B:A7:00:01:00", "02:5B:A7:00:01:01", "p.pool")
    got = [provision(station, f"S{n}").last["address"] for n in range(3)]
    assert got == [mac(0), "02:5B:A7:00:01:00", "02:5B:A7:00:01:01"]
    r = provision(station, "S3")
    assert r.rc == 1 and "no free address" in r.last["error"]["message"]


REFUSED = [
    ("03:00:00:00:00:00", "03:00:00:00:00:05", "multicast"),
    ("01:00:5E:00:00:01", "01:00:5E:00:00:09", "multicast"),
    ("FF:FF:FF:FF:FF:FF", "FF:FF:FF:FF:FF:FF", "broadcast"),
    ("02:FF:FF:FF:FF:FE", "04:00:00:00:00:01", "spans multicast"),
    (mac(5), mac(1), "ends before it starts"),
    (mac(9), mac(12), "overlaps"),
    ("02:5B:A7:00:00:00", mac(0), "overlaps"),
    ("02:5B:A7:00:00", mac(0), "malformed MAC"),
]


# Into the same pool, or (the overlapping ones) into another pool of its folder.
@pytest.mark.parametrize("first,last,phrase,target", [
    r + ("p.pool",) for r in REFUSED] + [r + ("q.pool",) for r in REFUSED if r[2] == "overlaps"])
def test_refused_ranges_change_nothing(pool, first, last, phrase, target):
    before = sorted(os.listdir(pool.folder))
    text = (pool.folder / "p.pool").read_text()
    r = pool.run("mac", "pool", "init", first, last, target)
    assert r.rc == 2 and phrase in r.err
    assert (pool.folder / "p.pool").read_text() == text
    assert sorted(os.listdir(pool.folder)) == before  # no pool, journal or temporary file made


def test_a_pool_overlapping_another_of_its_folder_hands_out_nothing(pool):
    # A pool file copied by hand (same range, another pool) is refused when it provisions.
    shutil.copy(pool.folder / "p.pool", pool.folder / "copy.pool")
    r = provision(pool, "S1")
    assert r.rc == 2 and "overlaps the pool" in r.err and "copy.pool" in r.err
    assert pool.ok("mac", "pool", "status", "p.pool")["free"] == 10


def test_a_failed_write_spends_the_address(pool):
    r = provision(pool, "B1", env={"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@16"})
    assert r.rc == 1
    assert r.last["error"]["operation"] == "WriteEEpromMacAddr" and r.last["address"] == mac(0)
    assert journal(pool)[-1]["outcome"] == "failed"
    assert provision(pool, "B1").last["address"] == mac(1)  # a failed address is not the serial's
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["provisioned"], s["failed"], s["free"]) == (1, 1, 8)


def test_a_serial_gets_its_own_address_again_or_a_new_one_with_force(pool):
    assert provision(pool, "SN-7").last["address"] == mac(0)
    provision(pool, "SN-8")
    pool.ok("mac", "set", "02:00:00:00:00:99")  # the board lost its address
    again = provision(pool, "SN-7").last
    assert (again["address"], again["reissued"], again["written"]) == (mac(0), True, True)
    assert pool.eeprom()[14:20] == bytes.fromhex(mac(0).replace(":", ""))
    assert provision(pool, "SN-7").last["written"] is False  # the board holds it: no write
    forced = provision(pool, "SN-7", "--force").last
    assert (forced["address"], forced["replaces"]) == (mac(2), [mac(0)])
    events = journal(pool)
    assert [e["event"] for e in events[-4:]] == ["reissue", "reissue", "take", "outcome"]
    assert events[-2]["force"] is True and events[-2]["replaces"] == [mac(0)]
    takes = [e["address"] for e in events if e["event"] == "take"]
    assert takes == [mac(0), mac(1), mac(2)]


def test_review_entries_are_settled_and_block_their_serial_until_then(pool):
    r = provision(pool, "R1", env={"TALVENCTL_TEST_ABORT_AT": "provision-after-write"})
    assert r.rc == 134
    r = provision(pool, "R1")  # its address is under review: refused, nothing written
    assert r.rc == 2 and "under review" in r.err
    assert [x["address"] for x in provision(pool, "R2").last["review"]] == [mac(0)]
    bad = pool.run("mac", "pool", "review", mac(1), "scrap", "--pool", "p.pool")
    assert bad.rc == 2 and "not under review" in bad.err
    settled = pool.ok("mac", "pool", "review", mac(0), "ok", "--pool", "p.pool")
    assert (settled["address"], settled["serial"], settled["outcome"]) == (mac(0), "R1", "ok")
    assert journal(pool)[-1]["event"] == "settle"
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["unknown"], s["provisioned"], s["review"]) == (0, 2, [])
    assert provision(pool, "R3").last["review"] == []
    assert provision(pool, "R1").last["address"] == mac(0)  # settled ok: the serial's again


# Where the process dies, what the journal then says about the first address, and whether
# the EEPROM holds it.
STEPS = [
    ("provision-before-journal", None, False),
    ("provision-after-journal", "unknown", False),
    ("provision-after-write", "unknown", True),
    ("provision-after-verify", "unknown", True),
    ("provision-after-outcome", "ok", True),
]


@pytest.mark.parametrize("step,fate,written", STEPS, ids=[s[0] for s in STEPS])
def test_killed_at_each_step_never_hands_out_twice(pool, step, fate, written):
    r = provision(pool, "K1", env={"TALVENCTL_TEST_ABORT_AT": step})
    assert r.rc == 134 and r.lines == []  # died without a word
    assert (pool.eeprom()[14:20] == bytes.fromhex(mac(0).replace(":", ""))) == written
    s = pool.ok("mac", "pool", "status", "p.pool")
    if fate is None:
        assert (s["free"], s["unknown"]) == (10, 0)
    elif fate == "unknown":
        assert s["unknown"] == 1 and s["free"] == 9
        assert s["review"] == [{"address": mac(0), "serial": "K1", "time": s["review"][0]["time"]}]
    else:
        assert (s["provisioned"], s["unknown"], s["free"]) == (1, 0, 9)

    # Restarted: the next provision takes an address nobody holds.
    p = provision(pool, "K2").last
    assert p["address"] == (mac(0) if fate is None else mac(1))
    assert [x["address"] for x in p["review"]] == ([mac(0)] if fate == "unknown" else [])
    takes = [e["address"] for e in journal(pool) if e["event"] == "take"]
    assert len(takes) == len(set(takes))


def test_a_journal_write_failing_after_the_board_was_written_names_the_address(pool):
    r = provision(pool, "J1", env={"TALVENCTL_TEST_FAIL_AT": "journal-outcome-ok"})
    assert r.rc == 1
    assert (r.last["error"]["operation"], r.last["address"], r.last["serial"]) == ("journal", mac(0), "J1")
    assert r.last["board"] == "written" and mac(0) in r.err and "under review" in r.err
    assert pool.ok("mac", "pool", "status", "p.pool")["review"][0]["address"] == mac(0)


# The journal lost, emptied or swapped for another pool's: nothing is handed out, and nothing
# recreates it (an address already on a board would go out again).
LOSSES = {
    "missing": lambda j, other: j.unlink(),
    "emptied": lambda j, other: j.write_text(""),
    "another pool's": lambda j, other: shutil.copy(other, j),
}


@pytest.mark.parametrize("loss", LOSSES)
def test_a_pool_without_its_journal_refuses_to_run(pool, loss):
    assert provision(pool, "S1").last["address"] == mac(0)
    (pool.folder / "other").mkdir()
    pool.ok("mac", "pool", "init", "02:5B:A7:00:02:00", "02:5B:A7:00:02:09", "other/o.pool")
    LOSSES[loss](pool.folder / "p.pool.journal", pool.folder / "other/o.pool.journal")
    for args in (["mac", "pool", "init", "02:5B:A7:00:01:00", "02:5B:A7:00:01:09", "p.pool"],
                 ["mac", "pool", "status", "p.pool"],
                 ["mac", "pool", "review", mac(0), "scrap", "--pool", "p.pool"],
                 ["mac", "provision", "--pool", "p.pool", "--serial", "S2"]):
        r = pool.run(*args)
        assert r.rc == 2 and "journal" in r.last["error"]["message"], (args, r.err)
    assert pool.eeprom()[14:20] == bytes.fromhex(mac(0).replace(":", ""))


def test_a_torn_last_line_is_skipped_and_a_damaged_one_stops_provisioning(pool):
    path = pool.folder / "p.pool.journal"
    provision(pool, "T1")
    path.write_text(path.read_text() + '{"event":"take","addr')
    p = provision(pool, "T2").last
    assert p["address"] == mac(1)
    lines = path.read_text().splitlines()
    assert json.loads(lines[-1])["address"] == mac(1)  # the new entry on a line of its own
    assert pool.ok("mac", "pool", "status", "p.pool")["torn_lines"] == 1  # kept, and closed
    path.write_text("\n".join(lines[:2]) + "\n" + "garbage\n" + "\n".join(lines[2:]) + "\n")
    r = provision(pool, "T3")
    assert r.rc == 1 and "line 3 is damaged" in r.err


def test_a_pool_in_use_is_refused_at_once_or_waited_for(pool):
    with open(pool.folder / "p.pool.journal", "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        r = provision(pool, "L1")
        assert r.rc == 1 and "in use" in r.err and "--wait" in r.err
        assert pool.ok("mac", "pool", "status", "p.pool")["free"] == 10  # reads without it
    assert provision(pool, "L1", "--wait", "30").last["address"] == mac(0)


def test_status_reads_while_a_provision_holds_the_pool(pool):
    marks = pool.folder / "marks"
    marks.mkdir()
    env = dict(os.environ, TALVENCTL_TEST_MARK_DIR=str(marks),
               TALVENCTL_TEST_SIM_HOLD="eeprom-write@14")
    p = subprocess.Popen([BINARY, "--json", "--sim-state", str(pool.state), "mac", "provision",
                          "--pool", "p.pool", "--serial", "H1"], cwd=pool.folder, env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 120
        while not (marks / "sim-hold").exists():
            assert p.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        s = pool.ok("mac", "pool", "status", "p.pool", state=False)
        assert (s["unknown"], s["review"][0]["address"]) == (1, mac(0))
    finally:
        p.kill()
        p.wait()


def spawn(station, folder, *args):
    return subprocess.Popen([BINARY, "--json", "--sim-state", str(folder / "sim.json"), *args],
                            cwd=station.folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_stations_provisioning_at_once_wait_for_the_lock(pool):
    procs = []
    for n in range(8):  # eight boards, each on its own station (simulated adapter)
        board = pool.folder / f"board{n}"
        board.mkdir()
        procs.append(spawn(pool, board, "mac", "provision", "--pool", "p.pool",
                           "--serial", f"P{n}", "--wait", "120"))
    results = [(p.wait(timeout=180), p.communicate()) for p in procs]
    assert all(rc == 0 for rc, _ in results), [err for _, (_, err) in results]
    got = sorted(json.loads(out)["address"] for _, (out, _) in results)
    assert got == [mac(n) for n in range(8)]


def test_ranges_added_at_once_all_survive(station):
    procs = [spawn(station, station.folder, "mac", "pool", "init", "02:5B:A7:01:%02X:00" % n,
                   "02:5B:A7:01:%02X:0F" % n, "p.pool", "--wait", "120") for n in range(24)]
    assert all(p.wait(timeout=180) == 0 for p in procs)
    ranges = json.loads((station.folder / "p.pool").read_text())["ranges"]
    assert sorted(r["first"] for r in ranges) == ["02:5B:A7:01:%02X:00" % n for n in range(24)]
    assert [n for n in os.listdir(station.folder) if ".tmp" in n] == []


def test_low_pool_warning_at_the_chosen_threshold(station):
    station.ok("mac", "pool", "init", FIRST, mac(9), "p.pool", "--warn-below", "9")
    first = provision(station, "W1")
    assert first.last["low"] is False and "warning" not in first.err  # 9 free
    second = provision(station, "W2")
    assert second.last["low"] is True and "only 8 free address(es) left" in second.err
    assert station.ok("mac", "pool", "status", "p.pool", "--warn-below", "5")["low"] is False
    assert station.ok("mac", "pool", "status", "p.pool")["low"] is True


def test_bad_serial_and_foreign_file(pool):
    assert provision(pool, "a\tb").rc == 2
    (pool.folder / "x.pool").write_text('{"format": "something else"}')
    assert pool.run("mac", "provision", "--pool", "x.pool", "--serial", "S").rc == 2
    assert pool.ok("mac", "pool", "status", "p.pool")["free"] == 10
