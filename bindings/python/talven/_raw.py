"""The raw layer: every operation of talven bound by name through ctypes, with its argument and
result types taken from the operations list (_operations.py, generated from
library/exports/operations.h). Calls go straight to the library: out pointers, byte buffers and
Adapter pointers as in talven.h.

Where the library is found (the first that exists):
  1. TALVEN_LIBRARY, the full path of the file to load;
  2. beside the package (a talven.dll or libtalven.so copied into the talven folder);
  3. the installed layout: on Windows the folder three levels above bindings/python/talven
     (cmake --install's dist/, where talven.dll is); on Linux lib/ of the prefix above
     share/talven/python/talven (cmake --install's lib/libtalven.so);
  4. Windows only: beside the script that runs (sys.argv[0]), then the current folder (Python
     3.8 and later no longer look for it on PATH);
  5. the system's own search for the bare name: on Linux the dynamic loader's (LD_LIBRARY_PATH,
     /etc/ld.so.conf folders, /lib, /usr/lib); on Windows LoadLibrary's for python.exe.
A package installed with pip lives in site-packages, where 2 and 3 do not apply: set
TALVEN_LIBRARY, or on Windows keep talven.dll beside the script or in the current folder, or
on Linux install libtalven.so where the loader looks.

On Windows this loads talven.dll with the stdcall convention (ctypes.WinDLL) and binds the
VB_ aliases (VB_OpenDUT), whose names the 32-bit and the 64-bit DLL share; the station's
talven.dll is a 32-bit DLL, so it needs a 32-bit Python. On Linux it loads libtalven.so, the
library with the simulated adapter, and binds the plain names.
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


def candidates():
    """(file name, the folders searched in order) as the module's docstring lists them."""
    here = os.path.dirname(os.path.abspath(__file__))
    if os.name == "nt":
        script = os.path.dirname(os.path.abspath(sys.argv[0])) if sys.argv and sys.argv[0] else ""
        return "talven.dll", [here, os.path.join(here, "..", "..", ".."), script, os.getcwd()]
    # Installed: share/talven/python/talven, four levels below lib/libtalven.so.
    return "libtalven.so", [here, os.path.join(here, "..", "..", "..", "..", "lib")]


def default_path():
    """The file to load: TALVEN_LIBRARY, the first candidate that exists, or the bare name for
    the system's own search."""
    path = os.environ.get("TALVEN_LIBRARY")
    if path:
        return path
    name, folders = candidates()
    for folder in folders:
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
        try:
            self.dll = (ctypes.WinDLL if self.windows else ctypes.CDLL)(self.path)
        except OSError as error:
            name, folders = candidates()
            looked = ", ".join(os.path.abspath(f) for f in folders if f)
            raise OSError(f"cannot load {self.path} ({error}); looked for TALVEN_LIBRARY, then "
                          f"{name} in {looked}, then the system's search: set TALVEN_LIBRARY "
                          "to its full path") from error
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


__all__ = ["CONSTANTS", "OPERATIONS", "RawLibrary", "candidates", "default_path", "library",
           "wide", "WCHAR_P"]
