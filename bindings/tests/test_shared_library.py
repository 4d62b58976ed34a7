"""libtalven.so: exports exactly the operations, their VB_ aliases and the fault interface, and
installs with headers and a pkg-config file that a C program builds against."""
import os
import subprocess

import pytest

from conftest import SOURCE

FAULT_INTERFACE = {"talven_sim_fail_oid", "talven_sim_clear_faults", "talven_sim_request_count"}


def library():
    path = os.environ.get("TALVEN_LIBRARY")
    if not path:
        pytest.fail("TALVEN_LIBRARY must name libtalven.so")
    return path


def test_exports_are_the_operations_and_nothing_else(export_names):
    out = subprocess.run(["nm", "-D", "--defined-only", library()], check=True,
                         capture_output=True, text=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    plain = {n.split("@")[0][1:] for n in export_names if n.startswith("_")}
    aliases = {n for n in export_names if n.startswith("VB_")}
    assert len(plain) == 83 and len(aliases) == 83
    assert symbols == plain | aliases | FAULT_INTERFACE
    assert not [s for s in symbols if s.startswith("_Z")]  # no C++ internals


def test_installed_library_builds_a_c_program(tmp_path):
    build = os.environ["TALVEN_BUILD_DIR"]
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], check=True,
                   capture_output=True)
    pc_dirs = [str(p.parent) for p in prefix.rglob("talven.pc")]
    assert pc_dirs, "no talven.pc installed"
    env = dict(os.environ, PKG_CONFIG_PATH=pc_dirs[0])
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "talven"], env=env, check=True,
                           capture_output=True, text=True).stdout.split()
    program = tmp_path / "faults"
    subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Werror",
                    os.path.join(SOURCE, "bindings", "c", "faults.c"), "-o", str(program)]
                   + flags, check=True)
    libdir = [f[2:] for f in flags if f.startswith("-L")][0]
    run = subprocess.run([str(program)], env=dict(os.environ, LD_LIBRARY_PATH=libdir),
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.rstrip().endswith("0 failed")
    for relative in ("share/talven/vb/talven.bas", "share/talven/dotnet/Talven.cs",
                     "share/talven/dotnet/Adapter.cs", "share/talven/dotnet/AdapterOperations.cs",
                     "share/talven/python/talven/__init__.py",
                     "share/talven/python/talven/_operations.py",
                     "share/talven/python/talven/_reference.py",
                     "share/talven/python/pyproject.toml"):
        assert (prefix / relative).is_file(), relative
    # talvenctl is installed with the library and runs on the simulated adapter.
    tool = subprocess.run([str(prefix / "bin" / "talvenctl"), "--sim-state",
                           str(tmp_path / "adapter.json"), "--json", "mac", "show"],
                          capture_output=True, text=True)
    assert tool.returncode == 0, tool.stderr
    assert '"eeprom":"00:5B:A7:12:34:56"' in tool.stdout


def test_installed_python_package_finds_the_installed_library(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", os.environ["TALVEN_BUILD_DIR"], "--prefix", str(prefix)],
                   check=True, capture_output=True)
    env = {k: v for k, v in os.environ.items() if k != "TALVEN_LIBRARY"}
    env["PYTHONPATH"] = str(prefix / "share" / "talven" / "python")
    code = ("import talven; talven.start_packet_driver()\n"
            "with talven.open_adapter() as dut: print(dut.read_mac_address())")
    run = subprocess.run(["/usr/bin/python3", "-c", code], env=env, capture_output=True,
                         text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "00:5B:A7:12:34:56"
