// The library's entry point. Loading does nothing; detaching closes the events that requests
// keep between calls (request_slots.h).
#include "library/core/platform.h"
#include "library/core/request_slots.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) talven::close_request_slots();
  return TRUE;
}
