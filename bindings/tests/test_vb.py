"""bindings/vb/talven.bas: one Declare for every export, each checked against the C prototype
of talven.h by the VB6 rules for calling a stdcall DLL."""
import re

from conftest import read

DECLARE = re.compile(r'^Public Declare Function (\w+) Lib "talven\.dll" \(([^)]*)\) As (\w+)$')


def expected_vb(name, ctype, pname):
    """(ByVal or ByRef, VB type) for one C argument."""
    if ctype in ("Adapter*", "Packet*", "ULONG", "LONG", "LPCWSTR"):
        return ("ByVal", "Long")  # pointers and 32-bit values; a string as StrPtr(s)
    if ctype == "PULONG":
        return ("ByRef", "Long")
    if ctype in ("PUCHAR", "const UCHAR*"):
        return ("ByRef", "Byte")  # one byte, or b(0) of an array
    if ctype == "PVOID":
        # PacketInitPacket keeps the address (VarPtr); PacketGetAdapterNames fills b(0)...
        return ("ByVal", "Long") if name == "PacketInitPacket" else ("ByRef", "Byte")
    raise AssertionError(f"{name}: no VB rule for {ctype}")


def declarations():
    found = {}
    for line in read("bindings", "vb", "talven.bas").split("\r\n"):
        if line.startswith("Public Declare"):
            m = DECLARE.match(line)
            assert m, line
            found[m.group(1)] = (m.group(2), m.group(3))
    return found


def test_a_declaration_for_every_vb_export(export_names):
    assert sorted(declarations()) == sorted(n for n in export_names if n.startswith("VB_"))


def test_declarations_follow_the_prototypes(prototypes):
    found = declarations()
    for name, (ret, params, _) in prototypes.items():
        args, result = found["VB_" + name]
        assert result == ("Byte" if ret == "BOOLEAN" else "Long"), name
        got = [a.split() for a in args.split(", ")] if args else []
        assert len(got) == len(params), name
        for (ctype, pname), vb in zip(params, got):
            assert len(vb) == 4 and vb[2] == "As", f"{name}: {vb}"
            assert (vb[0], vb[3]) == expected_vb(name, ctype, pname), f"{name}: {pname}"
            assert vb[1].lower() in (pname.lower(), "eeprom" + pname.lower()), f"{name}: {vb}"


def test_constants_of_the_header():
    text = read("bindings", "vb", "talven.bas")
    for name, value in re.findall(r"#define (TALVEN_\w+) (\d+)", read("include", "talven.h")):
        assert f"Public Const {name} As Long = {value}\r\n" in text, name
    assert text.startswith('Attribute VB_Name = "Talven"\r\n')
    assert "\r\nOption Explicit\r\n" in text


def test_no_vb_keyword_as_a_parameter_name():
    keywords = {"type", "end", "let", "get", "set", "string", "long", "byte", "date", "error"}
    for args, _ in declarations().values():
        for arg in filter(None, args.split(", ")):
            assert arg.split()[1].lower() not in keywords, arg
