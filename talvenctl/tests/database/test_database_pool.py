"""MAC provisioning from a pool in a database that stations share: the pool means what it
means on the journal (order, failed writes, serial reuse, --force, review and settling), a
process killed at every step never frees or doubles an address, a take stays held while its
station writes, and what the database refuses."""
import json
import os
import socket
import subprocess
import time

import pytest

from conftest import BINARY
from pgfixtures import database, odbc  # noqa: F401 (a fixture)

FIRST = "02:5B:A7:00:00:10"


def mac(n):
    return "02:5B:A7:00:00:%02X" % (0x10 + n)


def board_holds(station, n):
    return station.eeprom()[14:20] == bytes.fromhex(mac(n).replace(":", ""))


@pytest.fixture
def line(station, database):
    station.ok("mac", "pool", "init", FIRST, mac(9), database.pool())
    return station, database


def provision(line, serial, *more, **kw):
    station, database = line
    return station.run("mac", "provision", "--pool", database.pool(), "--serial", serial, *more,
                       **kw)


def status(line):
    station, database = line
    return station.ok("mac", "pool", "status", database.pool())


def test_the_pool_means_what_it_means_on_the_journal(line):
    station, database = line
    s = status(line)
    assert (s["pool"], s["total"], s["free"], s["provisioned"]) == ("line", 10, 10, 0)
    assert provision(line, "SN-1").last["address"] == mac(0) and board_holds(station, 0)
    assert provision(line, "SN-2").last["address"] == mac(1)
    # A failed write spends its address.
    r = provision(line, "B1", env={"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@16"})
    assert (r.rc, r.last["error"]["operation"], r.last["address"]) == (1, "WriteEEpromMacAddr",
                                                                        mac(2))
    assert provision(line, "B1").last["address"] == mac(3)
    # A serial gets its own address back; --force gives it a new one.
    station.ok("mac", "set", "02:00:00:00:00:99")
    again = provision(line, "SN-1").last
    assert (again["address"], again["reissued"], again["written"]) == (mac(0), True, True)
    forced = provision(line, "SN-1", "--force").last
    assert (forced["address"], forced["replaces"]) == (mac(4), [mac(0)])
    # Under review until settled, and only then.
    assert provision(line, "R1", env={"TALVENCTL_TEST_ABORT_AT": "provision-after-write"}).rc == 134
    refused = provision(line, "R1")
    assert refused.rc == 2 and "under review" in refused.err
    assert [x["address"] for x in provision(line, "R2").last["review"]] == [mac(5)]
    bad = station.run("mac", "pool", "review", mac(1), "scrap", "--pool", database.pool())
    assert bad.rc == 2 and "not under review" in bad.err
    settled = station.ok("mac", "pool", "review", mac(5), "ok", "--pool", database.pool())
    assert (settled["serial"], settled["outcome"]) == ("R1", "ok")
    assert provision(line, "R1").last["reissued"] is True
    s = status(line)
    assert (s["provisioned"], s["failed"], s["unknown"], s["free"]) == (6, 1, 0, 3)
    assert database.rows() == {
        mac(0): ("SN-1", "ok"), mac(1): ("SN-2", "ok"), mac(2): ("B1", "failed"),
        mac(3): ("B1", "ok"), mac(4): ("SN-1", "ok"), mac(5): ("R1", "ok"), mac(6): ("R2", "ok")}
    events = database.sql(f"SELECT event, detail FROM mac_event WHERE address = "
                          f"{int(mac(0).replace(':', ''), 16)} ORDER BY event_id")
    assert [e for e, _ in events] == ["take", "outcome", "reissue"]
    assert json.loads(events[0][1])["serial"] == "SN-1"


# Where the process dies, whether the address is then spent (and how), and whether the board
# holds it.
STEPS = [
    ("provision-before-journal", None, False),
    ("database-take-before-commit", None, False),
    ("provision-after-journal", "review", False),
    ("provision-after-write", "review", True),
    ("provision-after-verify", "review", True),
    ("provision-after-outcome", "ok", True),
]


@pytest.mark.parametrize("step,fate,written", STEPS, ids=[s[0] for s in STEPS])
def test_killed_at_each_step_never_frees_or_doubles_an_address(line, step, fate, written):
    station, database = line
    r = provision(line, "K1", env={"TALVENCTL_TEST_ABORT_AT": step})
    assert r.rc == 134 and r.lines == []
    assert board_holds(station, 0) == written
    s = status(line)
    assert s["free"] == (10 if fate is None else 9)
    assert database.rows() == ({} if fate is None else {mac(0): ("K1", fate)})
    assert provision(line, "K2").last["address"] == (mac(0) if fate is None else mac(1))


def provision_held_at_the_write(line, serial, output):
    """A provision that the simulated adapter holds at its MAC write, once it holds it: the
    process and the folder of its marks (removing "sim-hold" lets the write go on)."""
    station, database = line
    marks = station.folder / "marks"
    marks.mkdir()
    env = dict(os.environ, TALVENCTL_TEST_MARK_DIR=str(marks),
               TALVENCTL_TEST_SIM_HOLD="eeprom-write@14")
    p = subprocess.Popen([BINARY, "--json", "--sim-state", str(station.state), "mac", "provision",
                          "--pool", database.pool(), "--serial", serial], cwd=station.folder,
                         env=env, stdout=output, stderr=output)
    deadline = time.monotonic() + 120
    while not (marks / "sim-hold").exists():
        if p.poll() is not None or time.monotonic() >= deadline:
            p.kill()
            p.wait()
            pytest.fail("the provision never reached its held write")
        time.sleep(0.01)
    return p, marks


def test_a_take_is_held_while_its_station_writes_and_found_under_review_once_it_dies(line):
    station, database = line
    p, _ = provision_held_at_the_write(line, "H1", subprocess.DEVNULL)
    try:
        s = station.ok("mac", "pool", "status", database.pool(), state=False)
        assert s["review"] == [{"address": mac(0), "serial": "H1", "time": s["review"][0]["time"],
                                "in_progress": True}]
        assert database.rows() == {mac(0): ("H1", "taken")}
        for args in (["mac", "pool", "review", mac(0), "scrap", "--pool", database.pool()],
                     ["mac", "provision", "--pool", database.pool(), "--serial", "H1"]):
            r = station.run(*args, state=False)
            assert r.rc == 2 and "being provisioned now" in r.err, args
    finally:
        p.kill()
        p.wait()
    s = status(line)
    assert [(x["address"], "in_progress" in x) for x in s["review"]] == [(mac(0), False)]
    assert database.rows() == {mac(0): ("H1", "review")}
    assert [e for (e,) in database.sql("SELECT event FROM mac_event ORDER BY event_id")] == [
        "take", "review"]
    station.ok("mac", "pool", "review", mac(0), "scrap", "--pool", database.pool())


def test_a_connection_lost_while_the_board_is_written_is_made_again_for_the_outcome(line):
    # The server ends the station's session while the station writes the board (as a network
    # loss or a server restart would): the outcome connects again and is recorded.
    station, database = line
    p, marks = provision_held_at_the_write(line, "D1", subprocess.PIPE)
    try:
        ended = database.sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                             "WHERE datname = current_database() AND pid <> pg_backend_pid()")
        assert ended and all(r == ["t"] for r in ended)
        (marks / "sim-hold").unlink()  # the write goes on
        out, err = p.communicate(timeout=120)
    finally:
        p.kill()
        p.wait()
    assert p.returncode == 0, err
    assert json.loads(out.decode().splitlines()[-1])["address"] == mac(0)
    assert database.rows() == {mac(0): ("D1", "ok")} and board_holds(station, 0)


def test_an_outcome_the_database_cannot_take_names_the_address(line):
    station, database = line
    r = station.run("--timeout", "1s", "mac", "provision", "--pool", database.pool(), "--serial",
                    "J1", env={"TALVENCTL_TEST_FAIL_AT": "database-outcome-ok"})
    assert r.rc == 1
    assert (r.last["error"]["operation"], r.last["address"], r.last["board"]) == (
        "database", mac(0), "written")
    assert "under review" in r.err and "Pool=line;" in r.err
    assert [x["address"] for x in status(line)["review"]] == [mac(0)]


def test_the_station_configuration_chooses_the_pool(line, tmp_path):
    station, database = line
    (tmp_path / "station.json").write_text(json.dumps({"pool": database.pool(), "timeout": "5s"}))
    assert station.ok("--config", "station.json", "mac", "provision", "--serial", "C1")[
        "address"] == mac(0)
    assert station.ok("--config", "station.json", "mac", "pool", "status")["provisioned"] == 1
    (tmp_path / "bad.json").write_text('{"pool": "p.pool", "colour": "red"}')
    r = station.run("--config", "bad.json", "mac", "pool", "status")
    assert r.rc == 2 and "unknown setting" in r.err


def mute_listener():
    """A TCP port that accepts connections and never answers (a server that hangs)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    return s


UNREACHABLE = "Driver={PostgreSQL Unicode};Server=/nonexistent;Port=5432;Database=x;Uid=postgres;"


@pytest.mark.parametrize("args", [
    ["mac", "pool", "status", UNREACHABLE + "Pool=line;"],
    ["mac", "pool", "init", FIRST, mac(9), UNREACHABLE],
    ["mac", "provision", "--pool", UNREACHABLE, "--serial", "U1"],
    ["db", "init", UNREACHABLE],
], ids=["status", "init", "provision", "db-init"])
def test_a_database_that_cannot_be_reached_exits_3_with_the_odbc_error(station, args):
    before = station.eeprom()
    started = time.monotonic()
    r = station.run("--timeout", "1s", *args)
    assert time.monotonic() - started < 15  # asked again for its --timeout, then given up
    assert r.rc == 3 and r.last["error"]["kind"] == "database", r.err
    assert r.last["error"]["sqlstate"] == "08001" and "/nonexistent" in r.last["error"]["message"]
    assert station.eeprom() == before


def test_a_server_that_never_answers_is_given_up_after_the_timeout(station):
    with mute_listener() as s:
        where = ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=x;Uid=postgres;"
                 % s.getsockname()[1])
        started = time.monotonic()
        r = station.run("--timeout", "2s", "mac", "pool", "status", where, timeout=60)
        took = time.monotonic() - started
    assert r.rc == 3 and "timeout expired" in r.last["error"]["message"], r.err
    assert took < 15, took


def test_what_the_database_refuses(line):
    station, database = line
    # A range overlapping one of this pool, or of another pool of the same database.
    for pool in ("line", "other"):
        r = station.run("mac", "pool", "init", mac(9), mac(12), database.pool(pool))
        assert r.rc == 2 and "overlaps 02:5B:A7:00:00:10 to 02:5B:A7:00:00:19" in r.err, r.err
    station.ok("mac", "pool", "init", mac(10), mac(12), database.pool("other"))
    # The server itself refuses an overlapping range written by hand.
    with pytest.raises(RuntimeError, match="mac_pool_range_disjoint"):
        a = int(mac(3).replace(":", ""), 16)
        database.sql(f"INSERT INTO mac_pool_range VALUES ('other', 9, {a}, {a}, 'x', 'y', "
                     "CURRENT_TIMESTAMP, 'hand')")
    # ... and a second row for an address, whichever pool it claims.
    with pytest.raises(RuntimeError, match="mac_address_pkey"):
        for _ in range(2):
            database.sql("INSERT INTO mac_address VALUES (7, '00:00:00:00:00:07', 'other', 'S', "
                         "'hand', 'ok', 'c', CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)")
    assert station.run("mac", "provision", "--pool", database.odbc + "Pool=a\tb;",
                       "--serial", "S").rc == 2
    # A schema newer than this talvenctl: refused by every command, nothing written.
    database.sql("UPDATE talvenctl_schema SET version = 99")
    before = station.eeprom()
    for args in (["mac", "provision", "--pool", database.pool(), "--serial", "N1"],
                 ["mac", "pool", "status", database.pool()],
                 ["db", "init", database.odbc], ["db", "migrate", database.odbc]):
        r = station.run(*args)
        assert r.rc == 2 and "version 99, newer than" in r.err, (args, r.err)
    assert station.eeprom() == before


def test_a_database_without_the_schema_is_refused_until_db_init(station):
    from station_line import psql
    name = f"bare{os.getpid()}"
    psql("postgres", f"CREATE DATABASE {name}")
    try:
        r = station.run("mac", "pool", "status", odbc(name) + "Pool=line;")
        assert r.rc == 2 and "db init" in r.err
        assert station.run("db", "migrate", odbc(name)).rc == 2
        first = station.ok("db", "init", odbc(name))
        assert (first["from"], first["version"], first["changed"]) == (0, 1, True)
        assert station.ok("db", "migrate", odbc(name))["changed"] is False
    finally:
        psql("postgres", f"DROP DATABASE {name} WITH (FORCE)")
