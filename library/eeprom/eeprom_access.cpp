// EEPROM access through the driver: byte and word reads and writes as asynchronous commands,
// the EEPROM type, and whole 128- or 256-byte images word by word.
#include "library/eeprom/eeprom.h"

#include "library/core/request_runner.h"

using namespace talven::wire;

namespace {

constexpr uint32_t kAccessLength = 12;

// A read request carries {offset, width, placeholder} in Param[0..2], goes in the set direction,
// and its value is the result word of the command's completion.
talven::family::Sent read_access(const WCHAR* name, const Adapter* adapter, ULONG offset,
                                 uint32_t width, int32_t command, ULONG* word) {
  using namespace talven::family;
  const Op op{name, OID_EEPROM_READ, kAccessLength, kSet, wait_for(command), Output::FromWait};
  return run(adapter, op, {offset & 0xFF, width, kReadPlaceholder}, word);
}

// A write request carries {offset, width, value} as words in the Data area; Param stays zero.
ULONG write_access(const WCHAR* name, const Adapter* adapter, ULONG offset, uint32_t width,
                   ULONG value, int32_t command) {
  if (talven::refuse_null(name, {{adapter, TEXT("Adapter")}})) return 0;
  ULONG result;
  {
    talven::OidRecord record(OID_EEPROM_WRITE, kAccessLength);
    if (!record) return 0;
    put_u32(record.bytes() + kEepromWriteOffsetAt, offset & 0xFF);
    put_u32(record.bytes() + kEepromWriteWidthAt, width);
    put_u32(record.bytes() + kEepromWriteValueAt, value);
    result = talven::OidRequest(adapter, true, record);
  }
  return talven::CompleteCommand(adapter, result, command);
}

// Image size in bytes for an EEPROM type code; 0 for an unknown code.
constexpr ULONG image_size(ULONG type) {
  return type == kEepromType128 ? 128 : type == kEepromType256 ? 256 : 0;
}

}  // namespace

namespace talven {

ULONG ReadEEprom2Byte(const Adapter* adapter, ULONG offset, USHORT* value) {
  OutputDebugStringW(TEXT("==>TALVEN: ReadEEprom2Byte\n"));
  ULONG word = 0;
  const auto [result, allocated] = read_access(TEXT("ReadEEprom2Byte"), adapter, offset,
                                               kEepromWidthWord, CMD_EEPROM_READ_WORD, &word);
  if (!allocated) return 0;
  if (result == 1) *value = static_cast<USHORT>(word & 0xFFFF);
  OutputDebugStringW(TEXT("<==TALVEN: ReadEEprom2Byte\n"));
  return result;
}

ULONG WriteEEprom2Byte(const Adapter* adapter, ULONG offset, ULONG value) {
  return write_access(TEXT("WriteEEprom2Byte"), adapter, offset, kEepromWidthWord, value & 0xFFFF,
                      CMD_EEPROM_WRITE_WORD);
}

}  // namespace talven

extern "C" ULONG WINAPI QueryEEpromType(Adapter* adapter, PULONG type) {
  using namespace talven::family;
  constexpr Op kTypeQuery{TEXT("QueryEEpromType"), OID_EEPROM_TYPE, 4, kQuery, kNoWait,
                          Output::Always};
  return send(adapter, kTypeQuery, {}, type);
}

extern "C" ULONG WINAPI ReadEEpromByte(Adapter* adapter, ULONG offset, PUCHAR value) {
  if (talven::refuse_null(TEXT("ReadEEpromByte"),
                          {{adapter, TEXT("Adapter")}, {value, TEXT("value")}}))
    return 0;
  ULONG word = 0;
  const ULONG result = read_access(TEXT("ReadEEpromByte"), adapter, offset, kEepromWidthByte,
                                   CMD_EEPROM_READ_BYTE, &word)
                           .result;
  if (result == 1) *value = static_cast<UCHAR>(word & 0xFF);
  return result;
}

extern "C" ULONG WINAPI WriteEEpromByte(Adapter* adapter, ULONG offset, ULONG value) {
  return write_access(TEXT("WriteEEpromByte"), adapter, offset, kEepromWidthByte, value & 0xFF,
                      CMD_EEPROM_WRITE_BYTE);
}

extern "C" ULONG WINAPI ReadEEprom(Adapter* adapter, PUCHAR image, ULONG type) {
  if (talven::refuse_null(TEXT("ReadEEprom"), {{adapter, TEXT("Adapter")}, {image, TEXT("image")}}))
    return 0;
  OutputDebugStringW(TEXT("==>TALVEN: ReadEEprom\n"));
  const ULONG size = image_size(type);
  if (size == 0) {
    OutputDebugStringW(TEXT("TALVEN: Unknown EEPROM type\n"));
    OutputDebugStringW(TEXT("<==TALVEN: ReadEEprom\n"));
    return 0;
  }
  ULONG result = 1;
  for (ULONG offset = 0; offset < size; offset += 2) {
    USHORT word = 0;
    result = talven::ReadEEprom2Byte(adapter, offset, &word);
    if (result != 1) break;  // this word and the later ones keep the caller's bytes
    image[offset] = static_cast<UCHAR>(word & 0xFF);
    image[offset + 1] = static_cast<UCHAR>(word >> 8);
  }
  OutputDebugStringW(TEXT("<==TALVEN: ReadEEprom\n"));
  return result;
}

extern "C" ULONG WINAPI WriteEEprom(Adapter* adapter, const UCHAR* image, ULONG type) {
  if (talven::refuse_null(TEXT("WriteEEprom"),
                          {{adapter, TEXT("Adapter")}, {image, TEXT("image")}}))
    return 0;
  const ULONG size = image_size(type);
  if (size == 0) return 0;
  for (ULONG offset = 0; offset < size; offset += 2) {
    const ULONG word = image[offset] | (ULONG(image[offset + 1]) << 8);
    const ULONG result = talven::WriteEEprom2Byte(adapter, offset, word);
    if (result != 1) return result;
  }
  return 1;
}
