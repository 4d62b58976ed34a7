"""docs/reference.md against the library: with the driver refusing every request, each
operation emits only the debug strings its entry quotes, and none where the entry says none.
Run against libtalven.so, echoing the strings to stderr (TALVEN_DEBUG_ECHO=1)."""
import ctypes
import os
import re
import sys

import pytest

from conftest import SOURCE, read

sys.path.insert(0, os.path.join(SOURCE, "bindings", "python"))
import generate  # noqa: E402
from talven import _raw  # noqa: E402

FAIL_REQUEST = 0
# Operations not called here: the close and the free end the adapter and the packet; the open,
# the service and the list send no OID request; a receive or a wait on a packet nothing was
# sent through has no answer to give.
NOT_CALLED = {"CloseDUT", "PacketFreePacket", "OpenDUT", "StartPacketDriver",
              "PacketGetAdapterNames", "PacketReceivePacket", "PacketWaitPacket"}
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def documented(field):
    """The strings a Debug strings field quotes, with \\n as a line feed."""
    return {s.replace("\\n", "\n") for s in QUOTED.findall(field)}


@pytest.fixture
def refusing_driver(monkeypatch):
    """libtalven.so with every OID the reference names refused by the driver, an open adapter
    and a packet with a frame in it."""
    if not os.environ.get("TALVEN_LIBRARY"):
        pytest.fail("TALVEN_LIBRARY must name libtalven.so")
    lib = _raw.library()
    sim = lib.dll
    sim.talven_sim_fail_oid.argtypes = [ctypes.c_uint, ctypes.c_int, ctypes.c_int]
    assert lib.StartPacketDriver(_raw.wide("NORVAKS"), 0) == 1
    names = (ctypes.c_uint8 * 4096)()
    size = ctypes.c_uint32(4096)
    assert lib.PacketGetAdapterNames(names, ctypes.byref(size)) == 1
    path = bytes(names)[:size.value].decode("utf-16-le").split("\0")[0]
    adapter = lib.OpenDUT(_raw.wide(path))
    assert adapter
    frame = (ctypes.c_uint8 * 64)()
    packet = lib.PacketAllocatePacket(adapter)
    lib.PacketInitPacket(packet, ctypes.cast(frame, ctypes.c_void_p), 64)
    oids = {int(o, 16) for o in re.findall(r"OID[^,;]*?\b(0x[0-9A-F]{8})\b", read("docs", "reference.md"))}
    assert len(oids) > 50
    for oid in oids:
        sim.talven_sim_fail_oid(oid, FAIL_REQUEST, -1)
    monkeypatch.setenv("TALVEN_DEBUG_ECHO", "1")
    yield lib, adapter, packet
    monkeypatch.delenv("TALVEN_DEBUG_ECHO")
    sim.talven_sim_clear_faults()
    lib.PacketFreePacket(packet)
    assert lib.CloseDUT(adapter) == 1


def arguments(lib, name, adapter, packet):
    """Arguments for a call that reaches the driver: the open adapter and packet, zeros, buffers
    large enough, EEPROM type 2 and power-table length 74."""
    _, _, args = lib.operations[name]
    values = []
    for arg, kind, ctype in args:
        if kind == "adapter":
            values.append(adapter)
        elif kind == "packet":
            values.append(packet)
        elif kind == "value":
            values.append({"type": 2, "length": 74}.get(arg, 0))
        elif kind in ("out", "inout"):
            values.append(ctypes.byref(ctypes.c_uint8() if ctype == "PUCHAR" else ctypes.c_uint32()))
        else:  # byte buffers and MAC addresses
            values.append((ctypes.c_uint8 * 512)())
    return values


def test_each_operation_emits_only_its_documented_strings(refusing_driver, capfd):
    lib, adapter, packet = refusing_driver
    reference = generate.read_reference()
    called, seen, kept = 0, {}, []
    for name in sorted(lib.operations):
        if name in NOT_CALLED:
            continue
        capfd.readouterr()
        kept.append(arguments(lib, name, adapter, packet))  # a packet keeps its buffer
        getattr(lib, name)(*kept[-1])
        emitted = [line + "\n" for line in capfd.readouterr().err.splitlines()]
        field = reference[name]["Debug strings"]
        if field.startswith("none"):
            assert emitted == [], f"{name}: the reference says none, the library emitted {emitted}"
        else:
            unknown = set(emitted) - documented(field)
            assert not unknown, f"{name}: emitted {sorted(unknown)}, not in the reference"
        seen[name] = emitted
        called += 1
    assert called == 83 - len(NOT_CALLED)
    # The capture works: a refused StartTest reports itself between its traces.
    assert seen["StartTest"] == ["==>TALVEN: StartTest()\n", "TALVEN: StartTest failed.\n",
                                 "<==TALVEN: StartTest()\n"]
