"""bindings/dotnet/Talven.cs: one DllImport for every operation, bound to its VB_ alias with
stdcall, each parameter marshalled as the C prototype of talven.h needs."""
import re

from conftest import read

IMPORT = re.compile(
    r'\[DllImport\("talven\.dll", EntryPoint = "(\w+)", CallingConvention = '
    r'CallingConvention\.StdCall, ExactSpelling = true\)\]\n'
    r'        public static extern (\w+) (\w+)\((.*)\);$', re.M)

# C type -> the C# parameter types that marshal it exactly (pointer-sized, 32-bit, in place).
PARAMETERS = {
    "Adapter*": {"IntPtr"},
    "Packet*": {"IntPtr"},
    "ULONG": {"uint"},
    "LONG": {"int"},
    "LPCWSTR": {"[MarshalAs(UnmanagedType.LPWStr)] string"},
    "PULONG": {"out uint", "ref uint"},
    "PUCHAR": {"out byte", "[Out] byte[]"},
    "const UCHAR*": {"[In] byte[]"},
    "PVOID": {"IntPtr", "[Out] byte[]"},
}
RESULTS = {"Adapter*": "IntPtr", "Packet*": "IntPtr", "ULONG": "uint", "BOOLEAN": "byte"}
MACS = {"WriteEEpromMacAddr", "ReadEEpromMacAddr", "WriteMACAddress", "ReadMACAddress",
        "QueryPermanentAddress"}


def imports():
    return {m.group(3): m.groups() for m in IMPORT.finditer(read("bindings", "dotnet", "Talven.cs"))}


def test_every_operation_through_its_alias(prototypes):
    found = imports()
    assert sorted(found) == sorted(prototypes)
    for name, (entry, _, _, _) in found.items():
        assert entry == "VB_" + name


def test_marshalling_follows_the_prototypes(prototypes):
    for name, (_, result, _, params) in imports().items():
        ret, c_params, _ = prototypes[name]
        assert result == RESULTS[ret], name
        got = [p.rsplit(" ", 1) for p in params.split(", ")] if params else []
        assert [n for _, n in got] == [n for _, n in c_params], name
        for (cs_type, pname), (ctype, _) in zip(got, c_params):
            assert cs_type in PARAMETERS[ctype], f"{name}: {pname}: {cs_type} for {ctype}"
            if name in MACS and ctype != "Adapter*":
                assert cs_type.endswith("byte[]"), name  # 6 bytes in place, not one
    # The two retained or sized pointers: the packet keeps its buffer, the list is filled.
    assert imports()["PacketInitPacket"][3] == "IntPtr packet, IntPtr buffer, uint length"
    assert imports()["PacketGetAdapterNames"][3] == "[Out] byte[] buffer, ref uint size"
    assert imports()["ReadEEpromByte"][3] == "IntPtr adapter, uint offset, out byte value"
