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

/* The default adapter's kernel path when the session runs without discovery (C11 u"" literals
 * are UTF-16, as WCHAR is). */
static const WCHAR* const kAdapterPath =
    (const WCHAR*)u"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";

int main(void) {
  Adapter* adapter;
  printf("talven test session\n");

  printf("Opening adapter ");
  print_wide(kAdapterPath);
  printf("\n");
  adapter = OpenDUT(kAdapterPath);
  if (adapter == NULL) {
    printf("  OpenDUT: FAILED\n");
    return 1;
  }
  printf("  OpenDUT: ok, device file ");
  print_wide(adapter->DeviceName);
  printf("\n");

  session_radio(adapter);

  printf("Closing adapter\n");
  check("CloseDUT", CloseDUT(adapter), 1);

  printf("%s: %d check(s) failed\n", failures ? "SESSION FAILED" : "Session passed", failures);
  return failures ? 1 : 0;
}
