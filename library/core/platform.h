// The one place where the library meets the platform: the system <windows.h> on Windows, the
// project's Win32 subset on Linux (its include directory comes first there).
#pragma once

#if defined(_WIN32) && !defined(UNICODE)
#define UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include "talven.h"

// The driver contract spells its names as UTF-16 literals; WCHAR is UTF-16 on both platforms.
static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR must be a UTF-16 code unit");
inline const WCHAR* wide(const char16_t* text) {
  return reinterpret_cast<const WCHAR*>(text);
}
