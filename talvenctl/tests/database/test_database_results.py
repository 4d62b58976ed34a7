"""A board's test results: `run RECIPE --serial SN` records every printed JSON object, in the
database when one is configured and in a JSON Lines file otherwise; `results SN` shows the
board's runs from either; a result the database cannot take is kept beside the station."""
import json

import pytest

from pgfixtures import database  # noqa: F401 (a fixture)

RECIPE = "test start\neeprom set 0x40 0xA7\nmac show\ncleanup:\ntest stop\n"
FAILING = "eeprom set 0x40 0x11\nmac show\n"  # run with the EEPROM write made to fail
FAULT = {"TALVENCTL_TEST_SIM_FAULT": "eeprom-write@0x40"}


def recipes(station):
    (station.folder / "final.recipe").write_text(RECIPE)
    (station.folder / "failing.recipe").write_text(FAILING)


@pytest.fixture(params=["database", "file"])
def where(request, station):
    """The station configuration: results in the database, or (no database) in a file."""
    if request.param == "database":
        db = request.getfixturevalue("database")
        config = {"pool": db.pool()}
    else:
        db = None
        config = {"pool": "p.pool"}
    (station.folder / "station.json").write_text(json.dumps(config))
    recipes(station)
    return db


def test_each_result_is_recorded_and_shown_by_serial(station, where):
    first = station.run("--config", "station.json", "run", "final.recipe", "--serial", "SN-1")
    assert first.rc == 0, first.err
    second = station.run("--config", "station.json", "run", "failing.recipe", "--serial", "SN-1",
                         env=FAULT)
    assert second.rc == 1
    station.ok("--config", "station.json", "run", "final.recipe", "--serial", "SN-2")
    if where is not None:
        stored = [json.loads(r) for (r,) in where.sql(
            "SELECT result FROM test_result WHERE serial = 'SN-1' ORDER BY result_id")]
        commands = where.sql("SELECT command, ok, exit_status, line FROM test_result "
                             "WHERE serial = 'SN-1' ORDER BY result_id")
        assert commands[:2] == [["test start", "t", "0", "1"], ["eeprom set", "t", "0", "2"]]
        assert commands[-1][:3] == ["run", "f", "1"]
    else:
        stored = [json.loads(x)["result"] for x in
                  (station.folder / "talvenctl-results.jsonl").read_text().splitlines()
                  if json.loads(x)["serial"] == "SN-1"]
    printed = first.lines + second.lines
    assert [s["command"] for s in stored] == [p["command"] for p in printed]
    # The same objects; a printed summary counts itself among the results recorded.
    def without_count(objects):
        return [{k: v for k, v in o.items() if k != "results"} for o in objects]
    assert without_count(stored) == without_count(printed)
    assert [o["results"]["recorded"] for o in printed if "results" in o] == [5, 2]
    assert stored[3]["cleanup"] is True and stored[4]["command"] == "run"

    shown = station.ok("--config", "station.json", "results", "SN-1")
    runs = shown["runs"]
    assert [(r["recipe"], r["ok"], r["complete"], len(r["steps"])) for r in runs] == [
        ("final.recipe", True, True, 5), ("failing.recipe", False, True, 2)]
    assert runs[1]["steps"][0]["error"]["operation"] == "WriteEEpromByte"
    text = station.run("--config", "station.json", "results", "SN-1", json_output=False).out
    assert "final.recipe: ok" in text and "failing.recipe: FAILED" in text
    assert "line 1 eeprom set: FAILED" in text
    assert station.ok("--config", "station.json", "results", "NOBODY")["runs"] == []


def test_results_that_cannot_reach_the_database_stop_the_run_before_it_starts(station):
    recipes(station)
    before = station.eeprom()
    r = station.run("--timeout", "1s", "run", "final.recipe", "--serial", "SN-1", "--results",
                    "Driver={PostgreSQL Unicode};Server=/nonexistent;Database=x;Uid=postgres;")
    assert r.rc == 3 and r.last["run"] == 0 and "08001" in r.last["error"]["message"]
    assert station.eeprom() == before


def test_a_result_the_database_cannot_take_is_kept_beside_the_station(station, database):
    recipes(station)
    r = station.run("--timeout", "1s", "run", "final.recipe", "--serial", "SN-9", "--results",
                    database.odbc, env={"TALVENCTL_TEST_FAIL_AT": "results-insert"})
    assert r.rc == 1 and r.last["results"]["kept_locally"]["count"] == 5
    assert "kept in talvenctl-results.jsonl" in r.last["error"]["message"]
    assert database.sql("SELECT COUNT(*) FROM test_result") == [["0"]]
    kept = station.ok("results", "SN-9", "--results", "talvenctl-results.jsonl")["runs"]
    assert [len(run["steps"]) for run in kept] == [5]
