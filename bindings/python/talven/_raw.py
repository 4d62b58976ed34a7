"""The raw layer: every operation of talven bound by name through ctypes, with its argument and
result types taken from the operations list (_operations.py, generated from
library/exports/operations.h). Calls go straight to the library: out pointers, byte buffers and
Adapter pointers as in talven.h.

On Windows this loads talven.dll with the stdcall convention (ctypes.WinDLL) and binds the
VB_ aliases (VB_OpenDUT), whose names the 32-bit and the 64-bit DLL share; the station's
talven.dll is a 32-bit DLL, so it needs a 32-bit Python. On Linux it loads libtalven.so, the library with the simulated adapter, and binds the plain names.
TALVEN_LIBRARY, if set, names the file to load.
"""
import ctypes
import os
import struct
import sys

from ._operations import CONSTANTS, OPERATIONS

WCHAR_P = ctypes.POINTER(ctypes.c_uint16)  # UTF-16 on every platform (c_wchar is 4 bytes on Linux)

CTYPES = {
    "Adapter*": ctypes.c_void_p,
    "Packet*": ctypes.c_void_p,
    "ULONG": ctypes.c_uint32,
    "LONG": ctypes.c_int32,
    "BOOLEAN": ctypes.c_uint8,
    "LPCWSTR": WCHAR_P,
    "PULONG": ctypes.POINTER(ctypes.c_uint32),
    "PUCHAR": ctypes.POINTER(ctypes.c_uint8),
    "const UCHAR*": ctypes.POINTER(ctypes.c_uint8),
    "PVOID": ctypes.c_void_p,
}


def wide(text):
    """A NUL-terminated UTF-16 copy of `text`, for LPCWSTR arguments."""
    data = text.encode("utf-16-le") + b"\0\0"
    return (ctypes.c_uint16 * (len(data) // 2)).from_buffer_copy(data)


def default_path():
    path = os.environ.get("TALVEN_LIBRARY")
    if path:
        return path
    here = os.path.dirname(os.path.abspath(__file__))
    if os.name == "nt":
        # Python 3.8 and later no longer find a DLL by bare name in the script's folder or on
        # PATH: look beside the package, in the installed folder (bindings/python/talven is
        # three levels below talven.dll), beside the script and in the current folder.
        script = os.path.dirname(os.path.abspath(sys.argv[0])) if sys.argv and sys.argv[0] else ""
        candidates = [here, os.path.join(here, "..", "..", ".."), script, os.getcwd()]
        name = "talven.dll"
    else:
        # Installed: share/talven/python/talven, four levels below lib/libtalven.so.
        candidates = [here, os.path.join(here, "..", "..", "..", "..", "lib")]
        name = "libtalven.so"
    for folder in candidates:
        candidate = os.path.join(folder, name)
        if folder and os.path.exists(candidate):
            return os.path.abspath(candidate)
    return name


class RawLibrary:
    """The loaded library; attribute OpenDUT, CloseDUT, ... is the bound operation."""

    def __init__(self, path=None):
        self.path = path or default_path()
        self.windows = os.name == "nt"
        if self.windows:
            if struct.calcsize("P") != 4 and not os.environ.get("TALVEN_LIBRARY"):
                raise OSError("talven.dll is a 32-bit DLL: run a 32-bit Python")
            self.dll = ctypes.WinDLL(self.path)
        else:
            self.dll = ctypes.CDLL(self.path)
        self.operations = {}
        for name, ret, result_kind, args in OPERATIONS:
            symbol = name
            if self.windows:
                # talven.dll exports _Name@N and VB_Name; the alias is the same on both DLLs.
                symbol = f"VB_{name}"
            function = getattr(self.dll, symbol)
            function.argtypes = [CTYPES[ctype] for _, _, ctype in args]
            function.restype = CTYPES[ret]
            setattr(self, name, function)
            self.operations[name] = (ret, result_kind, args)


_library = None


def library():
    """The library loaded on first use (default_path())."""
    global _library
    if _library is None:
        _library = RawLibrary()
    return _library


__all__ = ["CONSTANTS", "OPERATIONS", "RawLibrary", "library", "wide", "WCHAR_P"]
