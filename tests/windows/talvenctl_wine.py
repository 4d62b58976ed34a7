#!/usr/bin/env python3
"""talvenctl.exe under Wine against the virtual adapter driver (service NORVAKS), run by
tools/check_windows.sh in its prefix once the driver runs and the adapter's DOS name is
defined. Every program's output goes to a file (never a pipe: Wine's services would keep it
open) and is judged by its JSON, never by the exit code alone. Prints one PASS:/FAIL: line per
check and a last line "talvenctl under Wine: N passed, M failed in Ss".

    talvenctl_wine.py <folder holding talvenctl.exe, talven.dll, talven_wintests.exe> <wine64>
"""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

folder = pathlib.Path(sys.argv[1]).resolve()
wine = sys.argv[2]
work = folder / "talvenctl-wine"
results = []
started = time.monotonic()


def winpath(path):
    return "Z:" + str(path).replace("/", "\\")


def check(ok, name, why=""):
    results.append(bool(ok))
    print(("PASS: talvenctl under Wine: " + name) if ok else
          f"FAIL: talvenctl under Wine: {name}: {why}", flush=True)
    return ok


class Run:
    def __init__(self, name, returncode):
        self.rc = returncode
        self.out = (work / f"{name}.out").read_bytes()
        self.err = (work / f"{name}.err").read_text(errors="replace")
        self.lines = []
        for line in self.out.decode(errors="replace").splitlines():
            if line.startswith("{"):
                try:
                    self.lines.append(json.loads(line))
                except ValueError:
                    pass
        self.last = self.lines[-1] if self.lines else {}

    def why(self):
        return f"exit {self.rc}, out {self.out[:300]!r}, err {self.err[:300]!r}"


def popen(name, program, *args, env=None):
    out = open(work / f"{name}.out", "wb")
    err = open(work / f"{name}.err", "wb")
    full = dict(os.environ, **(env or {}))
    return subprocess.Popen([wine, str(folder / program), *args], cwd=work, env=full,
                            stdin=subprocess.DEVNULL, stdout=out, stderr=err), out, err


def run(name, program, *args, env=None, timeout=60):
    p, out, err = popen(name, program, *args, env=env)
    try:
        rc = p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        rc = p.wait()
    out.close()
    err.close()
    return Run(name, rc)


def tool(name, *args, **kw):
    return run(name, "talvenctl.exe", "--json", *args, **kw)


def helper(*args):
    return run("helper-" + args[0], "talven_wintests.exe", *args).rc == 0


def adapter_eeprom():
    image = work / "adapter.bin"
    if image.exists():
        image.unlink()
    return image.read_bytes() if helper("adapter-eeprom", winpath(image)) else b""


def adapter_state():
    if not helper("adapter-state"):
        return {}
    text = (work / "helper-adapter-state.out").read_text().replace("\r", "")
    return {k: int(v) for k, v in (line.split() for line in text.splitlines() if line.strip())}


def wait_for(path, process, seconds=60):
    deadline = time.monotonic() + seconds
    while not path.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def mac_bytes(text):
    return bytes.fromhex(text.replace(":", ""))


work.mkdir(exist_ok=True)
for old in work.iterdir():
    if old.is_file():
        old.unlink()
for sub in ("backups", "marks"):
    if (work / sub).exists():
        for f in (work / sub).iterdir():
            f.unlink()
        (work / sub).rmdir()

v = run("version", "talvenctl.exe", "--version")
check(v.out.decode(errors="replace").strip() == "talvenctl 1.0.0", "--version", v.why())

check(helper("adapter-reset"), "the virtual adapter reset to its factory EEPROM")
info = tool("info", "info")
check(info.last.get("ok") and info.last.get("eeprom_size") == 256 and
      info.last.get("vendor_id") == 0x1A2B and
      info.last.get("transmitter", {}).get("reported") is False,
      "info: identity, and the transmitter reported as not reportable", info.why())

# Binary to standard output: an image holding line feeds arrives byte for byte.
tool("set-lf", "eeprom", "set", "0x80", "0x0A")
tool("set-lf2", "eeprom", "set", "0x81", "0x0A")
factory = adapter_eeprom()
dump = run("dump-bin", "talvenctl.exe", "eeprom", "dump", "--format", "bin")
check(len(factory) == 256 and factory[0x80:0x82] == b"\n\n" and dump.out == factory,
      "eeprom dump --format bin to standard output, byte for byte",
      f"{len(dump.out)} bytes, {dump.rc=}, {dump.err[:200]!r}")

# A golden image from another board: its words land, its MAC address does not.
golden = bytearray(factory)
golden[0x60:0x64] = b"\x11\x22\x33\x44"
golden[14:20] = mac_bytes("02:5B:A7:00:0A:0B")
(work / "golden.bin").write_bytes(bytes(golden))
load = tool("load", "eeprom", "load", "golden.bin", "--backup-dir", "backups")
after = adapter_eeprom()
backup = work / str(load.last.get("backup", "-")).replace("\\", "/")
check(load.last.get("ok") and load.last.get("verified") is True and
      load.last.get("identity") == "kept" and after[14:20] == factory[14:20] and
      after[:14] + after[20:] == bytes(golden[:14] + golden[20:]) and
      backup.is_file() and backup.read_bytes() == factory,
      "eeprom load: backup in a new folder, written, verified, the board's MAC kept", load.why())
diff = tool("diff", "eeprom", "diff", "golden.bin")
check(diff.rc == 1 and diff.last.get("identical") is False and
      [d["offset"] for d in diff.last.get("differences", [])] == [14, 16, 18],
      "eeprom diff: exit 1, the MAC words differ", diff.why())

# The pool: init, provision, a provision killed after its write, status during a provision.
init = tool("pool-init", "mac", "pool", "init", "02:5B:A7:00:00:10", "02:5B:A7:00:00:19",
            "line.pool")
check(init.last.get("ok") and init.last.get("added") == 10, "mac pool init", init.why())
prov = tool("provision", "mac", "provision", "--pool", "line.pool", "--serial", "W1")
check(prov.last.get("ok") and prov.last.get("address") == "02:5B:A7:00:00:10" and
      adapter_eeprom()[14:20] == mac_bytes("02:5B:A7:00:00:10"),
      "mac provision: the address on the board, verified", prov.why())
killed = tool("provision-killed", "mac", "provision", "--pool", "line.pool", "--serial", "W2",
              env={"TALVENCTL_TEST_ABORT_AT": "provision-after-write"})
status = tool("status-after-kill", "mac", "pool", "status", "line.pool")
check(killed.rc == 134 and killed.lines == [] and
      adapter_eeprom()[14:20] == mac_bytes("02:5B:A7:00:00:11") and
      [r["address"] for r in status.last.get("review", [])] == ["02:5B:A7:00:00:11"],
      "a provision killed after its write: the address under review", status.why())

helper("adapter-hold")
held, out, err = popen("provision-held", "talvenctl.exe", "--json", "mac", "provision",
                       "--pool", "line.pool", "--serial", "W3")
check(helper("adapter-wait-held"), "the provision waits in its EEPROM write")
during = tool("status-during", "mac", "pool", "status", "line.pool")
check(during.last.get("ok") and during.last.get("unknown") == 2,
      "mac pool status while a provision holds the journal", during.why())
helper("adapter-release")
try:
    rc = held.wait(timeout=60)
except subprocess.TimeoutExpired:
    held.kill()
    rc = held.wait()
out.close()
err.close()
done = Run("provision-held", rc)
check(done.last.get("ok") and done.last.get("address") == "02:5B:A7:00:00:12",
      "the held provision ends once released", done.why())

# Continuous transmit stopped by SIGINT (Wine turns it into the console control event).
marks = work / "marks"
marks.mkdir()
tx, out, err = popen("tx", "talvenctl.exe", "--json", "tx", "continuous", "--duration", "1h",
                     env={"TALVENCTL_TEST_MARK_DIR": winpath(marks)})
reached = wait_for(marks / "tx-started", tx)
on = adapter_state().get("continuous")
tx.send_signal(signal.SIGINT)
try:
    rc = tx.wait(timeout=60)
except subprocess.TimeoutExpired:
    tx.kill()
    rc = tx.wait()
out.close()
err.close()
stopped = Run("tx", rc)
state = adapter_state()
check(reached and on == 1 and stopped.last.get("interrupted") is True and
      stopped.last.get("stopped") is True and state.get("continuous") == 0,
      "tx continuous stopped by SIGINT", f"{reached=} {on=} {state=} {stopped.why()}")
# A recipe interrupted the same way: its automatic clean-up leaves the adapter safe.
(work / "final.recipe").write_text("test start\ntx continuous --duration 1h\ntest stop\n")
(marks / "tx-started").unlink()
recipe, out, err = popen("recipe", "talvenctl.exe", "--json", "run", "final.recipe",
                         env={"TALVENCTL_TEST_MARK_DIR": winpath(marks)})
reached = wait_for(marks / "tx-started", recipe)
recipe.send_signal(signal.SIGINT)
try:
    rc = recipe.wait(timeout=60)
except subprocess.TimeoutExpired:
    recipe.kill()
    rc = recipe.wait()
out.close()
err.close()
ran = Run("recipe", rc)
state = adapter_state()
automatic = [(x["command"], x["ok"]) for x in ran.lines if x.get("cleanup") == "automatic"]
check(reached and ran.rc == 1 and ran.last.get("exit") == 1 and
      ran.last.get("interrupted") is True and
      automatic == [("tx off", True), ("test stop", True)] and
      state.get("test_mode") == 0 and state.get("continuous") == 0,
      "a recipe interrupted by SIGINT: clean-up, exit 1 as its summary says",
      f"{reached=} {automatic=} {state=} {ran.why()}")
off = tool("tx-off", "tx", "off")
check(off.last.get("ok") and len(off.last.get("stopped", [])) == 4, "tx off", off.why())

passed, failed = results.count(True), results.count(False)
print(f"talvenctl under Wine: {passed} passed, {failed} failed in "
      f"{time.monotonic() - started:.0f}s", flush=True)
sys.exit(1 if failed else 0)
