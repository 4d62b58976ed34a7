// The exported operations, one line each: result type, name, argument count, argument types.
// This list drives the VB_ alias entry points (aliases.cpp), the module-definition file that the
// build generates from it (cmake/ModuleDefinition.cmake) and the export checks of the tests.
// Every argument occupies one 32-bit stack slot, so the decorated name is _Name@(4 * count).
#pragma once

// clang-format off
#define TALVEN_OPERATIONS(X)                                                                  \
  /* adapter open and close */                                                                \
  X(Adapter*, OpenDUT, 1, (LPCWSTR))                                                          \
  X(ULONG, CloseDUT, 1, (Adapter*))
// clang-format on
