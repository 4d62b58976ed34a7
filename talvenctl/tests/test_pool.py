"""MAC provisioning from a pool: sequential hand-out, refused ranges, and a journal that hands
no address out twice even when the process dies at any step."""
import fcntl
import json

import pytest

FIRST = "02:5B:A7:00:00:10"


def mac(n):
    return "02:5B:A7:00:00:%02X" % (0x10 + n)


@pytest.fixture
def pool(station):
    station.ok("mac", "pool", "init", FIRST, mac(9), "p.pool")
    return station


def journal(station):
    return [json.loads(line) for line in (station.folder / "p.pool.journal").read_text().splitlines()
            if line.startswith("{")]


def test_init_status_and_provision_in_order(pool):
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["total"], s["free"], s["provisioned"], s["unknown"]) == (10, 10, 0, 0)
    for n, serial in enumerate(["SN-1", "SN-2"]):
        p = pool.ok("mac", "provision", "--pool", "p.pool", "--serial", serial)
        assert (p["address"], p["serial"], p["outcome"], p["verified"]) == (mac(n), serial, "ok", True)
        assert pool.eeprom()[14:20] == bytes.fromhex(mac(n).replace(":", ""))
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["free"], s["provisioned"], s["failed"], s["unknown"]) == (8, 2, 0, 0)
    events = journal(pool)
    assert [(e["event"], e["address"]) for e in events] == [
        ("take", mac(0)), ("outcome", mac(0)), ("take", mac(1)), ("outcome", mac(1))]
    assert events[0]["serial"] == "SN-1" and events[0]["time"].endswith("Z")
    assert events[1]["outcome"] == "ok"


def test_a_second_range_is_added_and_used_after_the_first(station):
    station.ok("mac", "pool", "init", FIRST, mac(0), "p.pool")
    station.ok("mac", "pool", "init", "02:5B:A7:00:01:00", "02:5B:A7:00:01:01", "p.pool")
    got = [station.ok("mac", "provision", "--pool", "p.pool")["address"] for _ in range(3)]
    assert got == [mac(0), "02:5B:A7:00:01:00", "02:5B:A7:00:01:01"]
    r = station.run("mac", "provision", "--pool", "p.pool")
    assert r.rc == 1 and "no free address" in r.last["error"]["message"]


@pytest.mark.parametrize("first,last,phrase", [
    ("03:00:00:00:00:00", "03:00:00:00:00:05", "multicast"),
    ("01:00:5E:00:00:01", "01:00:5E:00:00:09", "multicast"),
    ("FF:FF:FF:FF:FF:FF", "FF:FF:FF:FF:FF:FF", "broadcast"),
    ("02:FF:FF:FF:FF:FE", "04:00:00:00:00:01", "spans multicast"),
    (mac(5), mac(1), "ends before it starts"),
    (mac(9), mac(12), "overlaps"),
    ("02:5B:A7:00:00:00", mac(0), "overlaps"),
    ("02:5B:A7:00:00", mac(0), "malformed MAC"),
])
def test_refused_ranges_change_nothing(pool, first, last, phrase):
    before = (pool.folder / "p.pool").read_text()
    r = pool.run("mac", "pool", "init", first, last, "p.pool")
    assert r.rc == 2 and phrase in r.err
    assert (pool.folder / "p.pool").read_text() == before


def test_a_failed_write_spends_the_address(pool):
    r = pool.run("mac", "provision", "--pool", "p.pool", "--serial", "B1",
                 env={"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@16"})
    assert r.rc == 1
    assert r.last["error"]["operation"] == "WriteEEpromMacAddr" and r.last["address"] == mac(0)
    assert journal(pool)[-1]["outcome"] == "failed"
    assert pool.ok("mac", "provision", "--pool", "p.pool", "--serial", "B1")["address"] == mac(1)
    s = pool.ok("mac", "pool", "status", "p.pool")
    assert (s["provisioned"], s["failed"], s["free"]) == (1, 1, 8)


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
    r = pool.run("mac", "provision", "--pool", "p.pool", "--serial", "K1",
                 env={"TALVENCTL_TEST_ABORT_AT": step})
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
    p = pool.ok("mac", "provision", "--pool", "p.pool", "--serial", "K2")
    assert p["address"] == (mac(0) if fate is None else mac(1))
    assert [x["address"] for x in p["review"]] == ([mac(0)] if fate == "unknown" else [])
    takes = [e["address"] for e in journal(pool) if e["event"] == "take"]
    assert len(takes) == len(set(takes))


def test_a_torn_last_line_is_skipped_and_a_damaged_one_stops_provisioning(pool):
    path = pool.folder / "p.pool.journal"
    pool.ok("mac", "provision", "--pool", "p.pool")
    path.write_text(path.read_text() + '{"event":"take","addr')
    p = pool.ok("mac", "provision", "--pool", "p.pool")
    assert p["address"] == mac(1)
    lines = path.read_text().splitlines()
    assert json.loads(lines[-1])["address"] == mac(1)  # the new entry on a line of its own
    assert pool.ok("mac", "pool", "status", "p.pool")["torn_lines"] == 1  # kept, and closed
    path.write_text(lines[0] + "\n" + "garbage\n" + "\n".join(lines[1:]) + "\n")
    r = pool.run("mac", "provision", "--pool", "p.pool")
    assert r.rc == 1 and "line 2 is damaged" in r.err


def test_a_pool_in_use_by_another_station_is_refused(pool):
    with open(pool.folder / "p.pool.journal", "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        r = pool.run("mac", "provision", "--pool", "p.pool")
        assert r.rc == 1 and "in use" in r.err
        assert pool.ok("mac", "pool", "status", "p.pool")["free"] == 10
    assert pool.ok("mac", "provision", "--pool", "p.pool")["address"] == mac(0)


def test_bad_serial_and_foreign_file(pool):
    assert pool.run("mac", "provision", "--pool", "p.pool", "--serial", "a\tb").rc == 2
    (pool.folder / "x.pool").write_text('{"format": "something else"}')
    assert pool.run("mac", "provision", "--pool", "x.pool").rc == 2
    assert pool.ok("mac", "pool", "status", "p.pool")["free"] == 10
