/* Steps of the example test session; each returns 0 when its checks passed. */
#ifndef TALVEN_EXAMPLE_SESSION_H
#define TALVEN_EXAMPLE_SESSION_H

#include <stdio.h>

#include "talven.h"

/* Prints a UTF-16 string as ASCII (the session's names are plain ASCII). */
void print_wide(const WCHAR* text);
/* Prints "  <what>: ok" or "  <what>: FAILED (result)" and counts the failures. */
int check(const char* what, ULONG result, ULONG expected);

/* The steps, in the order the session runs them. */
int session_radio(Adapter* adapter);
int session_packet(Adapter* adapter);
int session_identity(Adapter* adapter);

#endif
