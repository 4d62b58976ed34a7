/*
 * Loads the x86_64 talven.dll under Wine by name, resolves every export listed in the file given
 * as the first argument (lines "<ordinal> <name>") both by name and by ordinal, and calls the
 * operations that need no adapter through both of their names. Prints one PASS or FAIL line a
 * check and a closing "N passed, M failed" line.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int passed, failed;

static void report(int ok, const char* what) {
  printf("%s: wine: %s\n", ok ? "PASS" : "FAIL", what);
  if (ok)
    ++passed;
  else
    ++failed;
}

typedef ULONG(WINAPI* close_fn)(void*);
typedef ULONG(WINAPI* stop_fn)(ULONG);
typedef void*(WINAPI* open_fn)(const WCHAR*);

int main(int argc, char** argv) {
  HMODULE dll;
  FILE* list;
  char name[128];
  int ordinal, names = 0, resolved = 0;
  char line[256];

  if (argc != 2 || (list = fopen(argv[1], "r")) == NULL) {
    printf("usage: smoke <exports.txt>\n");
    return 2;
  }
  dll = LoadLibraryW(L"talven.dll");
  report(dll != NULL, "LoadLibrary(talven.dll) runs the entry point and succeeds");
  if (dll == NULL) return 1;

  while (fgets(line, sizeof line, list) && sscanf(line, "%d %127s", &ordinal, name) == 2) {
    FARPROC by_name = GetProcAddress(dll, name);
    FARPROC by_ordinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
    ++names;
    if (by_name != NULL && by_name == by_ordinal)
      ++resolved;
    else
      printf("  %s (ordinal %d) does not resolve\n", name, ordinal);
  }
  fclose(list);
  report(names > 0 && resolved == names, "every listed name resolves, and to its ordinal");

  {
    close_fn close1 = (close_fn)(void*)GetProcAddress(dll, "_CloseDUT@4");
    close_fn close2 = (close_fn)(void*)GetProcAddress(dll, "VB_CloseDUT");
    open_fn open1 = (open_fn)(void*)GetProcAddress(dll, "_OpenDUT@4");
    open_fn open2 = (open_fn)(void*)GetProcAddress(dll, "VB_OpenDUT");
    report(close1 && close2 && close1(NULL) == 0 && close2(NULL) == 0,
           "CloseDUT(NULL) returns 0 by both names");
    report(open1 && open2 && open1(NULL) == NULL && open2(NULL) == NULL,
           "OpenDUT(NULL) returns NULL by both names");
  }
  {
    stop_fn stop1 = (stop_fn)(void*)GetProcAddress(dll, "_StopPacketDriver@4");
    stop_fn stop2 = (stop_fn)(void*)GetProcAddress(dll, "VB_StopPacketDriver");
    report(stop1 && stop2 && stop1(7) == 1 && stop2(7) == 1,
           "StopPacketDriver returns 1 by both names");
  }
  report(names == 166, "the list holds 166 names");
  report(FreeLibrary(dll) != 0, "FreeLibrary succeeds");
  printf("wine: %d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
