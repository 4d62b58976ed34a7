/*
 * An example test session written only against talven.h: open the adapter under test, run
 * the steps, close it. On Linux it runs against the simulated adapter of the Win32 subset; on
 * Windows the same source runs against talven.dll and the real drivers.
 */
#include <stdio.h>
#include <string.h>

#include "session.h"

static int failures;

void print_wide(const WCHAR* text) {
  for (; *text; ++text) putchar(*text < 128 ? (int)*text : '?');
}

int check(const char* what, ULONG result, ULONG expected) {
  if (result == expected) {
    printf("  %s: ok\n", what);
    return 0;
  }
  printf("  %s: FAILED (result %lu)\n", what, (unsigned long)result);
  ++failures;
  return 1;
}

/* The packet driver's service (C11 u"" literals are UTF-16, as WCHAR is). */
static const WCHAR* const kServiceName = (const WCHAR*)u"NORVAKS";

int main(void) {
  Adapter* adapter;
  WCHAR names[1024];
  ULONG size = sizeof names;
  printf("talven test session\n");

  printf("Packet driver\n");
  check("StartPacketDriver(NORVAKS)", StartPacketDriver(kServiceName, 0), 1);
  if (check("PacketGetAdapterNames", PacketGetAdapterNames(names, &size), 1) || size < 4 ||
      size > sizeof names || names[0] == 0) {
    printf("  no adapter is bound to the packet driver\n");
    return 1;
  }
  printf("  bound adapter: ");
  print_wide(names); /* the first of the list */
  printf("\n");

  adapter = OpenDUT(names);
  if (adapter == NULL) {
    printf("  OpenDUT: FAILED\n");
    return 1;
  }
  printf("  OpenDUT: ok, device file ");
  print_wide(adapter->DeviceName);
  printf("\n");

  session_identity(adapter);
  session_radio(adapter);
  session_packet(adapter);

  printf("Closing adapter\n");
  check("CloseDUT", CloseDUT(adapter), 1);

  printf("%s: %d check(s) failed\n", failures ? "SESSION FAILED" : "Session passed", failures);
  return failures ? 1 : 0;
}
