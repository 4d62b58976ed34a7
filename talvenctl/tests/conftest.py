"""Drives the talvenctl binary against the simulated machine; each test gets its own folder
and its own simulated adapter state file."""
import json
import os
import subprocess

import pytest

BINARY = os.environ.get("TALVENCTL", "")


class Station:
    def __init__(self, folder):
        self.folder = folder
        self.state = folder / "sim.json"

    def run(self, *args, json_output=True, env=None, timeout=60, state=True, wrapper=()):
        argv = [*wrapper, BINARY]
        if json_output:
            argv.append("--json")
        if state:
            argv += ["--sim-state", str(self.state)]
        argv += [str(a) for a in args]
        full_env = dict(os.environ)
        full_env.pop("TALVENCTL_SIM_STATE", None)
        full_env.update(env or {})
        p = subprocess.run(argv, cwd=self.folder, env=full_env, capture_output=True,
                           timeout=timeout)
        return Result(p)

    def ok(self, *args, **kw):
        r = self.run(*args, **kw)
        assert r.rc == 0, (args, r.rc, r.out, r.err)
        return r.last

    def sim(self):
        # A killed process leaves its last writes beside the state file; any later run of the
        # tool (here one that opens no adapter) folds them in, as the next command would.
        if self.state.with_name(self.state.name + ".writes").exists():
            self.ok("adapters")
        return json.loads(self.state.read_text())

    def eeprom(self):
        return bytes.fromhex(self.sim()["eeprom"])


class Result:
    def __init__(self, p):
        self.rc = p.returncode
        self.raw = p.stdout
        self.out = p.stdout.decode(errors="replace")
        self.err = p.stderr.decode(errors="replace")
        self.lines = []
        for line in self.out.splitlines():
            if line.startswith("{"):
                self.lines.append(json.loads(line))

    @property
    def last(self):
        return self.lines[-1] if self.lines else None


@pytest.fixture(scope="session")
def factory_state(tmp_path_factory):
    """The factory adapter's state file, made once (each tool run costs a process start, and
    much more under the sanitizers)."""
    if not BINARY or not os.path.exists(BINARY):
        pytest.fail("TALVENCTL must name the built talvenctl binary")
    s = Station(tmp_path_factory.mktemp("factory"))
    s.ok("info")
    return s.state.read_bytes()


@pytest.fixture
def station(tmp_path, factory_state):
    s = Station(tmp_path)
    s.state.write_bytes(factory_state)  # the state file holds the factory adapter
    return s
