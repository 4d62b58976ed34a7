// Identity and address data: vendor and device ids, the EEPROM MAC address and transmit-power
// base offset through the EEPROM accessors, and the runtime MAC address, permanent address and
// CIS data through their own OIDs.
#include <cstring>

#include "library/eeprom/eeprom.h"

using namespace talven::wire;

namespace {

// EEPROM fields.
constexpr ULONG kVendorIdAt = 2;
constexpr ULONG kDeviceIdAt = 4;
constexpr ULONG kPowerBaseOffsetAt = 10;
constexpr ULONG kMacAddressAt = 14;  // three words, MAC bytes 2j and 2j+1 in word 14 + 2j

// Ids are stored with their two bytes exchanged.
constexpr ULONG swap_bytes(ULONG id) {
  return ((id & 0xFF) << 8) | ((id >> 8) & 0xFF);
}
static_assert(swap_bytes(0x12345678) == 0x7856);

// A byte-string request: Length and the bytes in Data; the Param words stay zero.
ULONG send_bytes(const Adapter* adapter, uint32_t oid, const UCHAR* bytes, ULONG length) {
  talven::OidRecord record(oid, length);
  if (!record) return 0;  // no memory, or a length whose transfer size overflows
  if (length != 0) std::memcpy(record.data(), bytes, length);
  return talven::OidRequest(adapter, true, record);
}

// A byte-string query of a fixed 6-byte answer, copied to the caller only on success.
ULONG query_address(const Adapter* adapter, uint32_t oid, PUCHAR address) {
  talven::OidRecord record(oid, kMacAddressLength);
  if (!record) return 0;
  const ULONG result = talven::OidRequest(adapter, false, record);
  if (result == 1) std::memcpy(address, record.data(), kMacAddressLength);
  return result;
}

}  // namespace

extern "C" ULONG WINAPI WriteEEpromVid(Adapter* adapter, ULONG vendorId) {
  if (talven::refuse_null(TEXT("WriteEEpromVid"), {{adapter, TEXT("Adapter")}})) return 0;
  return talven::WriteEEprom2Byte(adapter, kVendorIdAt, swap_bytes(vendorId));
}

extern "C" ULONG WINAPI WriteEEpromDid(Adapter* adapter, ULONG deviceId) {
  if (talven::refuse_null(TEXT("WriteEEpromDid"), {{adapter, TEXT("Adapter")}})) return 0;
  return talven::WriteEEprom2Byte(adapter, kDeviceIdAt, swap_bytes(deviceId));
}

// Writes all three words whatever happens to one of them.
extern "C" ULONG WINAPI WriteEEpromMacAddr(Adapter* adapter, const UCHAR* mac) {
  if (talven::refuse_null(TEXT("WriteEEpromMacAddr"),
                          {{adapter, TEXT("Adapter")}, {mac, TEXT("mac")}}))
    return 0;
  ULONG result = 1;
  for (ULONG j = 0; j < 3; ++j) {
    const ULONG word = mac[2 * j] | (ULONG(mac[2 * j + 1]) << 8);
    if (talven::WriteEEprom2Byte(adapter, kMacAddressAt + 2 * j, word) != 1) result = 0;
  }
  return result;
}

// Stops at the first failed word; the caller's bytes change only when all three were read.
extern "C" ULONG WINAPI ReadEEpromMacAddr(Adapter* adapter, PUCHAR mac) {
  if (talven::refuse_null(TEXT("ReadEEpromMacAddr"),
                          {{adapter, TEXT("Adapter")}, {mac, TEXT("mac")}}))
    return 0;
  UCHAR copy[6];
  for (ULONG j = 0; j < 3; ++j) {
    USHORT word = 0;
    if (talven::ReadEEprom2Byte(adapter, kMacAddressAt + 2 * j, &word) != 1) return 0;
    copy[2 * j] = UCHAR(word & 0xFF);
    copy[2 * j + 1] = UCHAR(word >> 8);
  }
  std::memcpy(mac, copy, sizeof copy);
  return 1;
}

extern "C" ULONG WINAPI WriteMACAddress(Adapter* adapter, const UCHAR* mac) {
  if (talven::refuse_null(TEXT("WriteMACAddress"),
                          {{adapter, TEXT("Adapter")}, {mac, TEXT("mac")}}))
    return 0;
  return send_bytes(adapter, OID_WRITE_MAC_ADDRESS, mac, kMacAddressLength);
}

extern "C" ULONG WINAPI ReadMACAddress(Adapter* adapter, PUCHAR mac) {
  if (talven::refuse_null(TEXT("ReadMACAddress"), {{adapter, TEXT("Adapter")}, {mac, TEXT("mac")}}))
    return 0;
  return query_address(adapter, OID_READ_MAC_ADDRESS, mac);
}

extern "C" ULONG WINAPI QueryPermanentAddress(Adapter* adapter, PUCHAR mac) {
  if (talven::refuse_null(TEXT("QueryPermanentAddress"),
                          {{adapter, TEXT("Adapter")}, {mac, TEXT("mac")}}))
    return 0;
  return query_address(adapter, OID_PERMANENT_ADDRESS, mac);
}

extern "C" ULONG WINAPI WriteCISData(Adapter* adapter, const UCHAR* data, ULONG length) {
  // No data is fine as long as there is nothing to copy.
  if (talven::refuse_null(TEXT("WriteCISData"), {{adapter, TEXT("Adapter")}}) ||
      (length != 0 && talven::refuse_null(TEXT("WriteCISData"), {{data, TEXT("data")}})))
    return 0;
  return send_bytes(adapter, OID_WRITE_CIS_DATA, data, length);
}

// The answer's Length says how many bytes are valid. One above the 256-byte buffer is cut to
// it: the caller gets the first 256 bytes and a count of 256, never more than was copied.
extern "C" ULONG WINAPI ReadCISData(Adapter* adapter, PUCHAR data, PULONG length) {
  if (talven::refuse_null(
          TEXT("ReadCISData"),
          {{adapter, TEXT("Adapter")}, {data, TEXT("data")}, {length, TEXT("length")}}))
    return 0;
  talven::OidRecord record(OID_READ_CIS_DATA, kCisCapacity);
  if (!record) return 0;
  const ULONG result = talven::OidRequest(adapter, false, record);
  if (result == 1) {
    const ULONG count = record.length() < kCisCapacity ? record.length() : kCisCapacity;
    *length = count;
    std::memcpy(data, record.data(), count);
  }
  return result;
}

extern "C" ULONG WINAPI WriteEEpromTxPowerBaseOffset(Adapter* adapter, ULONG high, ULONG low) {
  if (talven::refuse_null(TEXT("WriteEEpromTxPowerBaseOffset"), {{adapter, TEXT("Adapter")}}))
    return 0;
  return WriteEEpromByte(adapter, kPowerBaseOffsetAt, ((high << 4) & 0xFF) | (low & 0x0F));
}

extern "C" ULONG WINAPI ReadEEpromTxPowerBaseOffset(Adapter* adapter, PUCHAR high, PUCHAR low) {
  if (talven::refuse_null(TEXT("ReadEEpromTxPowerBaseOffset"),
                          {{adapter, TEXT("Adapter")}, {high, TEXT("high")}, {low, TEXT("low")}}))
    return 0;
  UCHAR packed = 0;
  const ULONG result = ReadEEpromByte(adapter, kPowerBaseOffsetAt, &packed);
  if (result == 1) {
    *high = UCHAR(packed >> 4);
    *low = UCHAR(packed & 0x0F);
  }
  return result;
}
