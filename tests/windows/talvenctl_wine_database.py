#!/usr/bin/env python3
"""talvenctl.exe under Wine against a PostgreSQL database, through Wine's odbc32, which hands
the ODBC calls to the host's unixODBC and its PostgreSQL driver: the same code a Windows
station runs with Windows' own odbc32. Run by tools/check_windows.sh in its prefix (the
virtual adapter's service running, its DOS name defined), under tools/with_postgres.sh
(TALVEN_PG_* in the environment). Outputs go to files and are judged by their JSON. Prints
one PASS:/FAIL: line per check and a last line "talvenctl database under Wine: N passed, M
failed in Ss".

    talvenctl_wine_database.py <folder holding talvenctl.exe, talven_wintests.exe> <wine64>
                               [<the Linux talvenctl, to share the pool with>]
"""
import json
import os
import pathlib
import subprocess
import sys
import time

folder = pathlib.Path(sys.argv[1]).resolve()
wine = sys.argv[2]
linux_tool = sys.argv[3] if len(sys.argv) > 3 and os.path.exists(sys.argv[3]) else None
work = folder / "talvenctl-wine-database"
results = []
started = time.monotonic()


def check(ok, name, why=""):
    results.append(bool(ok))
    print(("PASS: talvenctl database under Wine: " + name) if ok else
          f"FAIL: talvenctl database under Wine: {name}: {why}", flush=True)
    return ok


class Run:
    def __init__(self, name, rc):
        self.rc = rc
        self.out = (work / f"{name}.out").read_text(errors="replace")
        self.err = (work / f"{name}.err").read_text(errors="replace")
        self.lines = []
        for line in self.out.splitlines():
            if line.startswith("{"):
                try:
                    self.lines.append(json.loads(line))
                except ValueError:
                    pass
        self.last = self.lines[-1] if self.lines else {}

    def why(self):
        return f"exit {self.rc}, out {self.out[:400]!r}, err {self.err[:400]!r}"


def run(name, argv, timeout=90):
    with open(work / f"{name}.out", "wb") as out, open(work / f"{name}.err", "wb") as err:
        p = subprocess.Popen(argv, cwd=work, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            rc = p.wait()
    return Run(name, rc)


def tool(name, *args, env=None):
    if env:
        os.environ.update(env)
    try:
        return run(name, [wine, str(folder / "talvenctl.exe"), "--json", *args])
    finally:
        for k in env or {}:
            os.environ.pop(k, None)


def helper(*args):
    return run("helper-" + args[0], [wine, str(folder / "talven_wintests.exe"), *args]).rc == 0


def adapter_mac():
    image = work / "adapter.bin"
    if image.exists():
        image.unlink()
    ok = helper("adapter-eeprom", "Z:" + str(image).replace("/", "\\"))
    return ":".join("%02X" % b for b in image.read_bytes()[14:20]) if ok else ""


def psql(sql):
    argv = os.environ["TALVEN_PG_AS"].split() + [
        os.environ["TALVEN_PG_BIN"] + "/psql", "-h", os.environ["TALVEN_PG_SOCKET"], "-p",
        os.environ["TALVEN_PG_PORT"], "-U", "postgres", "-d", "talven_test", "-qAtX", "-F", "\t",
        "-c", sql]
    p = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    return [r.split("\t") for r in p.stdout.splitlines()] if p.returncode == 0 else p.stderr


work.mkdir(exist_ok=True)
for old in work.iterdir():
    if old.is_file():
        old.unlink()

database = os.environ["TALVEN_PG_ODBC"]
pool = database + "Pool=wine;"
first = "02:5B:A7:00:0E:10"

init = tool("db-init", "db", "init", database)
check(init.last.get("ok") and init.last.get("version") == 1 and init.last.get("changed"),
      "db init through Wine's odbc32 and the host's unixODBC", init.why())
check(psql("SELECT version FROM talvenctl_schema") == [["1"]],
      "the schema is in the server", str(psql("SELECT version FROM talvenctl_schema")))
made = tool("pool-init", "mac", "pool", "init", first, "02:5B:A7:00:0E:1F", pool)
check(made.last.get("ok") and made.last.get("pool") == "wine", "mac pool init", made.why())

helper("adapter-reset")
prov = tool("provision", "mac", "provision", "--pool", pool, "--serial", "WIN-1")
check(prov.last.get("ok") and prov.last.get("address") == first and adapter_mac() == first,
      "mac provision: the address on the board, verified", prov.why())
again = tool("provision-again", "mac", "provision", "--pool", pool, "--serial", "WIN-1")
check(again.last.get("reissued") is True and again.last.get("written") is False,
      "the serial gets its own address back", again.why())

killed = tool("provision-killed", "mac", "provision", "--pool", pool, "--serial", "WIN-2",
              env={"TALVENCTL_TEST_ABORT_AT": "provision-after-write"})
status = tool("status", "mac", "pool", "status", pool)
check(killed.rc == 134 and killed.lines == [] and
      [r["address"] for r in status.last.get("review", [])] == ["02:5B:A7:00:0E:11"] and
      psql("SELECT state FROM mac_address WHERE address_text = '02:5B:A7:00:0E:11'") ==
      [["review"]],
      "a provision killed after its write: the row found under review", status.why())

if linux_tool:
    # A Linux station provisions from the same pool: the next address, never one of Windows'.
    linux = subprocess.run([linux_tool, "--json", "--sim-state", str(work / "linux-board.json"),
                            "mac", "provision", "--pool", pool, "--serial", "LNX-1"],
                           capture_output=True, text=True, timeout=60)
    got = json.loads(linux.stdout.splitlines()[-1]) if linux.stdout else {}
    win = tool("provision-after-linux", "mac", "provision", "--pool", pool, "--serial", "WIN-3")
    check(got.get("address") == "02:5B:A7:00:0E:12" and
          win.last.get("address") == "02:5B:A7:00:0E:13",
          "a Linux and a Windows station share the pool", f"{got} {win.why()}")

(work / "final.recipe").write_text("test start\nmac show\ncleanup:\ntest stop\n")
ran = tool("run", "run", "final.recipe", "--serial", "WIN-1", "--results", database)
shown = tool("results", "results", "WIN-1", "--results", database)
runs = shown.last.get("runs", [])
check(ran.rc == 0 and ran.last.get("results", {}).get("recorded") == 4 and len(runs) == 1 and
      runs[0]["ok"] and [s["command"] for s in runs[0]["steps"]] ==
      ["test start", "mac show", "test stop", "run"],
      "run --serial records every result in the database; results shows them",
      f"{ran.why()} {shown.why()}")

refused = tool("unreachable", "--timeout", "2s", "mac", "pool", "status",
               "Driver={PostgreSQL Unicode};Server=/nonexistent;Port=5432;Database=x;"
               "Uid=postgres;Pool=wine;")
check(refused.rc == 3 and refused.last.get("error", {}).get("sqlstate") == "08001",
      "a database that cannot be reached: exit 3 with the ODBC error", refused.why())

rows = psql("SELECT COUNT(*), COUNT(DISTINCT address) FROM mac_address")
check(rows == [["4", "4"]] if linux_tool else rows == [["2", "2"]],
      "every take has one row, each address once", str(rows))

passed, failed = results.count(True), results.count(False)
print(f"talvenctl database under Wine: {passed} passed, {failed} failed in "
      f"{time.monotonic() - started:.0f}s", flush=True)
sys.exit(1 if failed else 0)
