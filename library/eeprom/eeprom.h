// EEPROM accessors that the power-control table and the identity data build on: one request
// and one completion wait each. Offsets are byte offsets of which only the low 8 bits count.
#pragma once

#include "library/core/record.h"

namespace talven {

// Reads the 16-bit word at offset (low byte at offset, high byte at offset + 1). *value is
// written only when the result is 1. Traces its entry and exit.
ULONG ReadEEprom2Byte(const Adapter* adapter, ULONG offset, USHORT* value);
// Writes the low 16 bits of value as the word at offset.
ULONG WriteEEprom2Byte(const Adapter* adapter, ULONG offset, ULONG value);

}  // namespace talven
