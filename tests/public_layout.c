/* The public records as a C caller's compiler lays them out: the size of each type of talven.h,
 * the offset of each of its fields and the limits it defines, against the layout of the 32-bit
 * DLL (i686) and of the 64-bit one (x86_64, which the Linux build's Win32 subset shares). The
 * bindings, the tests and the Windows programs all compile against the same header, so a field
 * moved there would pass them all: here it fails the build. Compiled by both MinGW builds and
 * the Linux tests. */
#include <stddef.h>
#include <stdint.h>

#include "talven.h"

#define PIN(expr) _Static_assert(expr, #expr)

#if UINTPTR_MAX == 0xFFFFFFFFu /* i686: 4-byte pointers and handles */
PIN(sizeof(Adapter) == 132);
PIN(offsetof(Adapter, Handle) == 0);
PIN(offsetof(Adapter, DeviceName) == 4);
PIN(sizeof(OVERLAPPED) == 20);
PIN(sizeof(Packet) == 32);
PIN(offsetof(Packet, Reserved) == 0);
PIN(offsetof(Packet, Overlapped) == 4);
PIN(offsetof(Packet, Overlapped.Internal) == 4);
PIN(offsetof(Packet, Overlapped.InternalHigh) == 8);
PIN(offsetof(Packet, Overlapped.Offset) == 12);
PIN(offsetof(Packet, Overlapped.OffsetHigh) == 16);
PIN(offsetof(Packet, Overlapped.hEvent) == 20);
PIN(offsetof(Packet, Buffer) == 24);
PIN(offsetof(Packet, Length) == 28);
#else /* x86_64: 8-byte pointers and handles, the OVERLAPPED aligned to 8 */
PIN(sizeof(Adapter) == 136);
PIN(offsetof(Adapter, Handle) == 0);
PIN(offsetof(Adapter, DeviceName) == 8);
PIN(sizeof(OVERLAPPED) == 32);
PIN(sizeof(Packet) == 56);
PIN(offsetof(Packet, Reserved) == 0);
PIN(offsetof(Packet, Overlapped) == 8);
PIN(offsetof(Packet, Overlapped.Internal) == 8);
PIN(offsetof(Packet, Overlapped.InternalHigh) == 16);
PIN(offsetof(Packet, Overlapped.Offset) == 24);
PIN(offsetof(Packet, Overlapped.OffsetHigh) == 28);
PIN(offsetof(Packet, Overlapped.hEvent) == 32);
PIN(offsetof(Packet, Buffer) == 40);
PIN(offsetof(Packet, Length) == 48);
#endif

PIN(sizeof(((Adapter*)0)->DeviceName) == 128);
PIN(sizeof(((Packet*)0)->Reserved) == 4);
PIN(sizeof(((Packet*)0)->Length) == 4);
PIN(TALVEN_DEVICE_NAME_LENGTH == 64);
PIN(TALVEN_MIN_DEVICE_PATH == 8);
PIN(TALVEN_MAX_DEVICE_PATH == 60);
PIN(TALVEN_TEST_FRAME_LENGTH == 1400);
PIN(TALVEN_RECEIVE_CAPACITY == 2000);
PIN(TALVEN_POWER_TABLE_LENGTH == 74);
PIN(TALVEN_CIS_CAPACITY == 256);
