// The library's entry point: loading and unloading do nothing.
#include "library/core/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
