#!/usr/bin/env python3
"""A production line in miniature: WORKERS stations provision BOARDS boards each, one
talvenctl process a board, all from one pool (a database pool, or a pool file with its
journal), while some of those processes are killed with SIGKILL at a random moment and some
end at a chosen step through the abort hook. Each board is a simulated adapter of its own (a
state file). Afterwards every board and every row is checked:

  - no address is on two boards;
  - every address that reached an EEPROM (whole, or half-written by a kill) has its row, for
    that board's serial;
  - nothing taken is free: the pool's free count is its size less the rows;
  - every board reported provisioned holds its address, and its row says ok;
  - no row is left 'taken' once nobody provisions (a database marks them 'review');
  - every process ended as a provision, as a clean refusal or failure (exit 1, 2 or 3 with its
    JSON), or by its kill.

Used by test_database_line.py with small numbers; run by hand for the full figures:

  tools/with_postgres.sh python3 talvenctl/tests/database/station_line.py \\
      --talvenctl build/linux/talvenctl/talvenctl --workers 8 --boards 100

which runs the line against a database pool and against a journal pool and prints one JSON
object of figures for each (boards, kills, duplicates, unaccounted, boards per second);
--restart restarts the database server once a third of the boards are done.
"""
import argparse
import collections
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ABORT_STEPS = ["provision-before-journal", "database-take-before-commit",
               "provision-after-journal", "provision-after-write", "provision-after-verify",
               "provision-after-outcome"]


def mac_text(n):
    return ":".join("%02X" % ((n >> s) & 0xFF) for s in range(40, -1, -8))


def board_mac(state_file):
    eeprom = bytes.fromhex(json.loads(Path(state_file).read_text())["eeprom"])
    return ":".join("%02X" % b for b in eeprom[14:20])


class Board:
    def __init__(self, worker, number, folder):
        self.serial = f"W{worker}-{number:03d}"
        self.state = folder / f"{self.serial}.json"
        self.abort = None   # the step the abort hook ends it at
        self.kill_after = None  # seconds after its start at which it is killed
        self.killed = False
        self.rc = None
        self.last = None
        self.elapsed = 0.0


def run_line(binary, folder, pool, workers, boards, kill_share=0.1, abort_share=0.05, seed=1,
             timeout="30s", halfway=None, extra_env=None):
    """Provisions workers x boards boards; returns the boards. `halfway`, when given, is called
    once (from its own thread) as soon as a third of the boards are done."""
    folder = Path(folder)
    rng = random.Random(seed)
    steps = ABORT_STEPS if "Driver=" in pool else [s for s in ABORT_STEPS if "database" not in s]
    line = []
    for w in range(workers):
        for n in range(boards):
            b = Board(w, n, folder)
            roll = rng.random()
            if roll < abort_share:
                b.abort = rng.choice(steps)
            elif roll < abort_share + kill_share:
                b.kill_after = rng.uniform(0.0, 0.4)
            line.append(b)
    done = threading.Semaphore(0)
    finished = [0]
    lock = threading.Lock()
    third = max(1, len(line) // 3)
    env = dict(os.environ, **(extra_env or {}))
    env.pop("TALVENCTL_SIM_STATE", None)
    env.pop("TALVENCTL_CONFIG", None)

    def station(w):
        for b in line[w * boards:(w + 1) * boards]:
            e = dict(env)
            if b.abort:
                e["TALVENCTL_TEST_ABORT_AT"] = b.abort
            start = time.monotonic()
            p = subprocess.Popen([binary, "--json", "--timeout", timeout, "--sim-state",
                                  str(b.state), "mac", "provision", "--pool", pool, "--serial",
                                  b.serial, "--wait", "120"], cwd=folder, env=e,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if b.kill_after is not None:
                try:
                    out, err = p.communicate(timeout=b.kill_after)
                except subprocess.TimeoutExpired:
                    p.send_signal(signal.SIGKILL)
                    b.killed = True
                    out, err = p.communicate()
            else:
                out, err = p.communicate(timeout=600)
            b.elapsed = time.monotonic() - start
            b.rc = p.returncode
            b.err = err.decode(errors="replace")
            lines = [json.loads(x) for x in out.decode().splitlines() if x.startswith("{")]
            b.last = lines[-1] if lines else None
            with lock:
                finished[0] += 1
                if finished[0] == third:
                    done.release()

    threads = [threading.Thread(target=station, args=(w,)) for w in range(workers)]
    started = time.monotonic()
    helper = None
    if halfway:
        def at_a_third():
            done.acquire()
            halfway()
        helper = threading.Thread(target=at_a_third, daemon=True)
        helper.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if helper:
        helper.join(timeout=300)
    return line, time.monotonic() - started


def tool(binary, folder, *args):
    p = subprocess.run([binary, "--json", *args], cwd=folder, capture_output=True, timeout=300)
    lines = [json.loads(x) for x in p.stdout.decode().splitlines() if x.startswith("{")]
    return p.returncode, (lines[-1] if lines else None), p.stderr.decode(errors="replace")


def journal_rows(pool_file):
    """address -> (serial, state) from a pool's journal, as the tool folds it."""
    rows = {}
    for text in Path(str(pool_file) + ".journal").read_text().splitlines():
        try:
            e = json.loads(text)
        except ValueError:
            continue
        a = e.get("address")
        if e.get("event") == "take":
            rows[a] = [e.get("serial"), "review"]
        elif a in rows and e.get("event") == "outcome":
            rows[a][1] = "ok" if e.get("outcome") == "ok" else "failed"
        elif a in rows and e.get("event") == "settle":
            rows[a][1] = e.get("outcome")
    return {a: tuple(v) for a, v in rows.items()}


def check_line(binary, folder, pool, line, rows_of, factory_mac, pool_addresses):
    """Checks the boards and the pool after a run; returns (figures, problems). `rows_of()`
    returns address -> (serial, state) for every address the pool has handed out."""
    folder = Path(folder)
    problems = []
    # A final status: a database finds the takes nobody holds any more under review.
    rc, status, err = tool(binary, folder, "mac", "pool", "status", pool)
    if rc != 0:
        problems.append(f"mac pool status failed: {err}")
        status = {}
    rows = rows_of()
    for b in line:
        if (b.killed or b.abort) and Path(str(b.state) + ".writes").exists():
            tool(binary, folder, "--sim-state", str(b.state), "adapters")  # fold the writes
        clean = (b.rc == 0 and b.last and b.last.get("ok")) or \
            (b.rc in (1, 2, 3) and b.last and b.last.get("ok") is False) or \
            (b.killed and b.rc == -signal.SIGKILL) or (b.abort and b.rc == 134)
        if not clean:
            problems.append(f"{b.serial}: exit {b.rc}, last {b.last}, err {b.err[-300:]!r}")
    held = collections.Counter()
    for b in line:
        mac = board_mac(b.state) if b.state.exists() else factory_mac
        b.mac = mac
        if mac == factory_mac:
            continue
        if mac in pool_addresses:
            held[mac] += 1
            row = rows.get(mac)
            if row is None or row[0] != b.serial:
                problems.append(f"unaccounted: {b.serial} holds {mac}, row {row}")
        else:  # half-written by a kill: its serial's take must be there, under review
            if not any(s == b.serial and st == "review" for s, st in rows.values()):
                problems.append(f"unaccounted: {b.serial} holds a half-written {mac} and no "
                                "take under review")
        if b.rc == 0 and b.last and b.last.get("ok"):
            if b.last.get("address") != mac or rows.get(mac, (None, None))[1] != "ok":
                problems.append(f"{b.serial} reported {b.last.get('address')}, holds {mac}, "
                                f"row {rows.get(mac)}")
    duplicates = sum(1 for n in held.values() if n > 1)
    for mac, n in held.items():
        if n > 1:
            problems.append(f"duplicate: {mac} on {n} boards")
    taken = sum(1 for _, st in rows.values() if st == "taken")
    if taken:
        problems.append(f"{taken} row(s) still 'taken' with nobody provisioning")
    if status and status.get("free") != len(pool_addresses) - len(rows):
        problems.append(f"free {status.get('free')} but {len(pool_addresses)} addresses and "
                        f"{len(rows)} rows")
    unaccounted = sum(1 for p in problems if p.startswith("unaccounted"))
    ok = sum(1 for b in line if b.rc == 0 and b.last and b.last.get("ok"))
    figures = {
        "boards": len(line),
        "provisioned": ok,
        "sigkills": sum(1 for b in line if b.killed),
        "aborts": sum(1 for b in line if b.abort and b.rc == 134),
        "failed_cleanly": sum(1 for b in line if b.rc in (1, 2, 3)),
        "failures": dict(collections.Counter(
            f"exit {b.rc} {(b.last or {}).get('error', {}).get('kind')}"
            f"{' after the write' if (b.last or {}).get('board') == 'written' else ''}"
            for b in line if b.rc in (1, 2, 3))),
        "rows": len(rows),
        "review": sum(1 for _, st in rows.values() if st == "review"),
        "duplicates": duplicates,
        "unaccounted": unaccounted,
    }
    return figures, problems


def psql(database, sql):
    argv = os.environ["TALVEN_PG_AS"].split() + [
        os.environ["TALVEN_PG_BIN"] + "/psql", "-h", os.environ["TALVEN_PG_SOCKET"], "-p",
        os.environ["TALVEN_PG_PORT"], "-U", "postgres", "-d", database, "-qAtX", "-F", "\t",
        "-v", "ON_ERROR_STOP=1", "-c", sql]
    p = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if p.returncode != 0:
        raise RuntimeError(f"psql: {p.stderr}")
    return [row.split("\t") for row in p.stdout.splitlines()]


def database_rows(database, pool_name):
    def rows():
        return {a.strip(): (s, st) for a, s, st in psql(
            database, "SELECT address_text, serial, state FROM mac_address "
                      f"WHERE pool_name = '{pool_name}'")}
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--talvenctl", required=True)
    ap.add_argument("--workers", type=int, default=8)
    ap.add_argument("--boards", type=int, default=100)
    ap.add_argument("--kill-share", type=float, default=0.1)
    ap.add_argument("--abort-share", type=float, default=0.05)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--backends", default="database,journal")
    ap.add_argument("--restart", action="store_true",
                    help="restart the database server once a third of the boards are done")
    args = ap.parse_args()
    binary = str(Path(args.talvenctl).resolve())
    size = args.workers * args.boards + 64
    first = 0x025BA7000000
    addresses = {mac_text(first + i) for i in range(size)}
    failed = False
    with tempfile.TemporaryDirectory(prefix="talven-line-") as top:
        fresh = Path(top) / "fresh.json"
        factory = tool(binary, top, "--sim-state", str(fresh), "mac", "show")[1]["eeprom"]
        for backend in args.backends.split(","):
            folder = Path(top) / backend
            folder.mkdir()
            if backend == "database":
                name = f"line_{os.getpid()}"
                psql("postgres", f"CREATE DATABASE {name}")
                odbc = (f"Driver={{PostgreSQL Unicode}};Server={os.environ['TALVEN_PG_SOCKET']};"
                        f"Port={os.environ['TALVEN_PG_PORT']};Database={name};Uid=postgres;")
                assert tool(binary, folder, "db", "init", odbc)[0] == 0
                pool = odbc + "Pool=line;"
                rows_of = database_rows(name, "line")
            else:
                pool = str(folder / "line.pool")
                rows_of = lambda: journal_rows(pool)  # noqa: E731
            rc, _, err = tool(binary, folder, "mac", "pool", "init", mac_text(first),
                              mac_text(first + size - 1), pool)
            assert rc == 0, err
            restart = None
            if args.restart and backend == "database":
                def restart():
                    subprocess.run([os.environ["TALVEN_PG_CTL"], "restart"], check=True,
                                   timeout=120)
            line, elapsed = run_line(binary, folder, pool, args.workers, args.boards,
                                     args.kill_share, args.abort_share, args.seed,
                                     halfway=restart)
            figures, problems = check_line(binary, folder, pool, line, rows_of, factory,
                                           addresses)
            figures.update(backend=backend, workers=args.workers, seconds=round(elapsed, 1),
                           boards_per_second=round(figures["provisioned"] / elapsed, 2))
            print(json.dumps(figures), flush=True)
            for p in problems[:20]:
                print("PROBLEM:", p, flush=True)
            for b in line:
                if b.rc in (1, 2, 3):
                    print(f"failed cleanly: {b.serial} exit {b.rc}: "
                          f"{(b.last or {}).get('error', {}).get('message', '')[:400]}", flush=True)
            failed = failed or bool(problems)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
