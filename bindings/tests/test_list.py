"""The kinds and names of library/exports/operations.h against the prototypes of talven.h."""
import os

import pytest

# Which kinds each C type of talven.h admits.
KINDS_OF_TYPE = {
    "Adapter*": {"adapter"},
    "Packet*": {"packet"},
    "ULONG": {"value"},
    "LONG": {"value"},
    "LPCWSTR": {"wstr"},
    "PULONG": {"out", "inout"},
    "PUCHAR": {"out", "bytes_out", "mac_out"},
    "const UCHAR*": {"bytes_in", "mac_in"},
    "PVOID": {"buffer", "bytes_out"},
}
RESULTS_OF_TYPE = {"Adapter*": {"adapter"}, "Packet*": {"packet"}, "BOOLEAN": {"bool8"},
                   "ULONG": {"status", "one"}}

# What the operations do with their pointers, by hand.
MAC_OPERATIONS = {"WriteEEpromMacAddr", "ReadEEpromMacAddr", "WriteMACAddress", "ReadMACAddress",
                  "QueryPermanentAddress"}
SINGLE_BYTE_OUTPUTS = {"ReadEEpromByte": 1, "GetTxPowerBaseOffset": 2,
                       "ReadEEpromTxPowerBaseOffset": 2}
ALWAYS_ONE = {"PacketFreePacket", "PacketInitPacket", "StopPacketDriver", "PKT32OFDMContinuousTx"}


def test_rows_match_the_prototypes(operations, prototypes):
    assert [op["name"] for op in operations] == list(prototypes)  # same operations, same order
    for op in operations:
        ret, params, _ = prototypes[op["name"]]
        assert op["ret"] == ret, op["name"]
        assert op["types"] == [t for t, _ in params], op["name"]
        assert op["names"] == [n for _, n in params], op["name"]
        assert op["argc"] == len(params), op["name"]


def test_kinds_fit_the_types(operations):
    for op in operations:
        assert op["result"] in RESULTS_OF_TYPE[op["ret"]], op["name"]
        for ctype, kind in zip(op["types"], op["kinds"]):
            assert kind in KINDS_OF_TYPE[ctype], f'{op["name"]}: {kind} for {ctype}'


def test_kinds_say_what_the_pointers_hold(operations):
    by_name = {op["name"]: op for op in operations}
    for name, op in by_name.items():
        macs = [k for k in op["kinds"] if k.startswith("mac_")]
        assert bool(macs) == (name in MAC_OPERATIONS), name
        byte_outs = [t for t, k in zip(op["types"], op["kinds"]) if k == "out" and t == "PUCHAR"]
        assert len(byte_outs) == SINGLE_BYTE_OUTPUTS.get(name, 0), name
        assert (op["result"] == "one") == (name in ALWAYS_ONE), name
    assert [op["name"] for op in operations if "inout" in op["kinds"]] == ["PacketGetAdapterNames"]
    assert [op["name"] for op in operations if "buffer" in op["kinds"]] == ["PacketInitPacket"]
    assert by_name["ReadCISData"]["kinds"] == ["adapter", "bytes_out", "out"]
    assert by_name["PacketGetAdapterNames"]["kinds"] == ["bytes_out", "inout"]


@pytest.mark.parametrize("edited, old, new, stale", [
    ("library/exports/operations.h", "(adapter, channel)", "(adapter, chan)",
     ("talven.bas", "Talven.cs", "_operations.py", "AdapterOperations.cs")),
    ("docs/reference.md", "Tunes the radio to a channel.", "Tunes the radio.",
     ("AdapterOperations.cs", "_reference.py")),
])
def test_check_mode_catches_sources_without_regenerated_bindings(tmp_path, edited, old, new,
                                                                   stale):
    import shutil
    import subprocess
    import sys

    from conftest import SOURCE
    for relative in ("library/exports/operations.h", "include/talven.h", "docs/reference.md",
                     "bindings/generate.py", "bindings/vb/talven.bas", "bindings/dotnet/Talven.cs",
                     "bindings/dotnet/AdapterOperations.cs",
                     "bindings/python/talven/_operations.py",
                     "bindings/python/talven/_reference.py"):
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(os.path.join(SOURCE, relative), tmp_path / relative)
    script = [sys.executable, str(tmp_path / "bindings" / "generate.py"), "--check"]
    assert subprocess.run(script, capture_output=True).returncode == 0
    source = tmp_path / edited
    assert old in source.read_text()
    source.write_text(source.read_text().replace(old, new))
    run = subprocess.run(script, capture_output=True, text=True)
    assert run.returncode == 1
    for name in stale:
        assert name in run.stderr
