// The one place where the library meets the platform: the system <windows.h> on Windows, the
// project's Win32 subset on Linux (its include directory comes first there).
#pragma once

#if defined(_WIN32) && !defined(UNICODE)
#define UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include "talven.h"
