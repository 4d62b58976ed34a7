/* The public records of talven.h as a 32-bit caller (Visual Basic 6, a C program) lays them
 * out: compiled by tools/check_emulator.sh with the i686 MinGW compiler, which refuses it when a
 * size or an offset moves. The emulator checks the same offsets in what the DLL does. */
#include <stddef.h>

#include "talven.h"

_Static_assert(sizeof(void*) == 4, "compile this for i686");
_Static_assert(sizeof(Adapter) == 132, "Adapter: HANDLE and 64 UTF-16 code units");
_Static_assert(offsetof(Adapter, Handle) == 0, "Adapter.Handle");
_Static_assert(offsetof(Adapter, DeviceName) == 4, "Adapter.DeviceName");
_Static_assert(sizeof(OVERLAPPED) == 20, "OVERLAPPED");
_Static_assert(offsetof(OVERLAPPED, Internal) == 0, "OVERLAPPED.Internal");
_Static_assert(offsetof(OVERLAPPED, InternalHigh) == 4, "OVERLAPPED.InternalHigh");
_Static_assert(offsetof(OVERLAPPED, Offset) == 8, "OVERLAPPED.Offset");
_Static_assert(offsetof(OVERLAPPED, OffsetHigh) == 12, "OVERLAPPED.OffsetHigh");
_Static_assert(offsetof(OVERLAPPED, hEvent) == 16, "OVERLAPPED.hEvent");
_Static_assert(sizeof(Packet) == 32, "Packet");
_Static_assert(offsetof(Packet, Reserved) == 0, "Packet.Reserved");
_Static_assert(offsetof(Packet, Overlapped) == 4, "Packet.Overlapped");
_Static_assert(offsetof(Packet, Buffer) == 24, "Packet.Buffer");
_Static_assert(offsetof(Packet, Length) == 28, "Packet.Length");
