"""Stations provisioning at once from one pool, with processes killed at random moments and at
chosen steps, and the database server restarted in the middle of a run: afterwards no address
is on two boards, every address that reached an EEPROM has its row, and nothing taken is free
(station_line.py checks it all; run it by hand for the full 8 x 100 figures)."""
import os
import subprocess

import pytest

from conftest import BINARY
from pgfixtures import database  # noqa: F401 (a fixture)
from station_line import check_line, journal_rows, mac_text, run_line

FIRST = 0x025BA7000000


@pytest.fixture
def factory_mac(station):
    return station.ok("mac", "show")["eeprom"]


def line_pool(station, request, backend, size):
    if backend == "database":
        db = request.getfixturevalue("database")
        pool, rows_of = db.pool(), db.rows
    else:
        pool = str(station.folder / "line.pool")
        rows_of = lambda: journal_rows(pool)  # noqa: E731
    station.ok("mac", "pool", "init", mac_text(FIRST), mac_text(FIRST + size - 1), pool)
    return pool, rows_of, {mac_text(FIRST + i) for i in range(size)}


@pytest.mark.parametrize("backend", ["database", "journal"])
def test_stations_with_random_kills_hand_out_each_address_once(station, request, factory_mac,
                                                               backend):
    pool, rows_of, addresses = line_pool(station, request, backend, 80)
    line, _ = run_line(BINARY, station.folder, pool, workers=4, boards=12, kill_share=0.15,
                       abort_share=0.15, seed=7)
    figures, problems = check_line(BINARY, station.folder, pool, line, rows_of, factory_mac,
                                   addresses)
    assert problems == [] and figures["duplicates"] == 0 and figures["unaccounted"] == 0
    assert figures["sigkills"] + figures["aborts"] > 0 and figures["provisioned"] > 0


def test_a_server_restarted_midway_loses_and_doubles_nothing(station, request, factory_mac):
    pool, rows_of, addresses = line_pool(station, request, "database", 60)

    def restart():
        subprocess.run([os.environ["TALVEN_PG_CTL"], "restart"], check=True, timeout=120)

    line, _ = run_line(BINARY, station.folder, pool, workers=3, boards=12, kill_share=0,
                       abort_share=0, halfway=restart)
    figures, problems = check_line(BINARY, station.folder, pool, line, rows_of, factory_mac,
                                   addresses)
    assert problems == [] and figures["duplicates"] == 0 and figures["unaccounted"] == 0
    # The stations waited for the server and went on: a provision caught by the restart either
    # finished or failed cleanly (exit 1 or 3, its address named where it had one).
    failed = [b for b in line if b.rc != 0]
    assert len(failed) <= 3, [(b.serial, b.rc, b.last) for b in failed]
    for b in failed:
        if b.last.get("board") == "written":
            assert b.last["address"] == b.mac
