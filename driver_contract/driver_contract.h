// The contract between talven and the drivers below it, and nothing else: the packet driver's
// device and registry names, the control codes, the OidData record layout and its status
// record, the vendor OIDs and the command ids. Freestanding C++ (no OS headers, no library
// code), so that the library, the simulated adapter, the kernel-mode virtual adapter and the
// tests all name these values from here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talven::wire {

// ---- Packet driver: device files and the adapter list ----
// The device file of an adapter is kDevicePrefix + kPacketPrefix + the adapter's device path
// less its first kSkippedPathChars characters (its "\\Device\\" directory); the DOS device
// name is the same string without kDevicePrefix.
constexpr char16_t kDevicePrefix[] = u"\\\\.\\";
constexpr char16_t kPacketPrefix[] = u"Packet_";
constexpr size_t kSkippedPathChars = 8;
constexpr char16_t kDeviceDirectory[] = u"\\Device\\";
// The packet protocol driver's service, and the registry value listing its bound adapters
// (REG_MULTI_SZ of device paths) under HKEY_LOCAL_MACHINE.
constexpr char16_t kPacketServiceName[] = u"NORVAKS";
constexpr char16_t kLinkageKey[] = u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage";
// The same key one level at a time, as RegOpenKeyExW walks it from HKEY_LOCAL_MACHINE.
constexpr const char16_t* kLinkageKeyParts[] = {u"SYSTEM", u"CurrentControlSet", u"Services",
                                                kPacketServiceName, u"Linkage"};
constexpr char16_t kLinkageValue[] = u"Export";

// ---- Device control codes (device type 0x8000, METHOD_BUFFERED, FILE_ANY_ACCESS) ----
constexpr uint32_t kDeviceType = 0x8000;
constexpr uint32_t kMethodBuffered = 0;
constexpr uint32_t kFileAnyAccess = 0;
constexpr uint32_t ctl_code(uint32_t device_type, uint32_t function, uint32_t method,
                            uint32_t access) {
  return (device_type << 16) | (access << 14) | (function << 2) | method;
}
constexpr uint32_t IOCTL_OID_SET = ctl_code(kDeviceType, 0, kMethodBuffered, kFileAnyAccess);
constexpr uint32_t IOCTL_OID_QUERY = ctl_code(kDeviceType, 1, kMethodBuffered, kFileAnyAccess);
constexpr uint32_t IOCTL_ADAPTER_RESET = ctl_code(kDeviceType, 2, kMethodBuffered, kFileAnyAccess);
static_assert(IOCTL_OID_SET == 0x80000000u);
static_assert(IOCTL_OID_QUERY == 0x80000004u);
static_assert(IOCTL_ADAPTER_RESET == 0x80000008u);

// ---- OidData record: little-endian, no padding ----
constexpr size_t kOidOffset = 0;
constexpr size_t kLengthOffset = 4;
constexpr size_t kParamOffset = 8;  // Param[i] at 8 + 4 * i
constexpr size_t kParamCount = 10;
constexpr size_t kDataOffset = 48;
constexpr size_t kDataSize = 256;
constexpr size_t kRecordSize = kDataOffset + kDataSize;  // 304: the whole fixed record
// Transfer size of a request: head plus the first 255 + Length bytes of Data.
constexpr uint32_t kTransferBase = 303;
constexpr uint32_t transfer_size(uint32_t length) {
  return kTransferBase + length;
}
constexpr size_t param_offset(size_t index) {
  return kParamOffset + 4 * index;
}

// Status record (OID_COMMAND_STATUS, Length 16): Param[0] nonzero once the last command has
// finished, Param[1] its CommandId, Param[3] its result value; Param[2] is not read.
constexpr uint32_t kStatusLength = 16;
constexpr size_t kStatusFinishedParam = 0;
constexpr size_t kStatusCommandParam = 1;
constexpr size_t kStatusResultParam = 3;

// Value sent in place of a register or EEPROM read's data word.
constexpr uint32_t kReadPlaceholder = 0xFFFFFFFFu;

// ---- Vendor OIDs ----
// Test control and radio configuration
constexpr uint32_t OID_RESET_DUT = 0xFF4D1000;
constexpr uint32_t OID_SET_DATA_RATE = 0xFF4D1001;
constexpr uint32_t OID_START_TEST = 0xFF4D1002;
constexpr uint32_t OID_STOP_TEST = 0xFF4D1003;
constexpr uint32_t OID_SET_PREAMBLE = 0xFF4D1004;
constexpr uint32_t OID_SET_FILTER_BB = 0xFF4D1006;
constexpr uint32_t OID_SET_MANUAL_DIVERSITY_BB = 0xFF4D1007;
constexpr uint32_t OID_SET_CHANNEL = 0xFF4D1008;
constexpr uint32_t OID_SET_SLEEP_MODE = 0xFF4D1009;
constexpr uint32_t OID_SET_WAKE_MODE = 0xFF4D100A;
constexpr uint32_t OID_SET_TX_CONTINUOUS = 0xFF4D100B;
constexpr uint32_t OID_SET_SINGLE_CARRIER_TX = 0xFF4D100C;
constexpr uint32_t OID_SET_TX_ANTENNA_BB = 0xFF4D100D;
constexpr uint32_t OID_SET_ANTENNA_BB = 0xFF4D100E;
constexpr uint32_t OID_SET_CR_SCRAMBLER = 0xFF4D100F;
constexpr uint32_t OID_SET_TX_POWER_CONTROL = 0xFF4D1011;
constexpr uint32_t OID_SET_CR_TX_CONFIG = 0xFF4D1012;
constexpr uint32_t OID_GET_TX_POWER_CONTROL = 0xFF4D1013;
constexpr uint32_t OID_GET_CR_SIGNAL_QUALITY = 0xFF4D1014;
constexpr uint32_t OID_SET_CR_SETPOINT = 0xFF4D1015;
constexpr uint32_t OID_SET_INTEGRATOR = 0xFF4D1016;
constexpr uint32_t OID_SET_SIGNAL_QUALITY = 0xFF4D1017;
constexpr uint32_t OID_GET_INTEGRATOR = 0xFF4D1018;
constexpr uint32_t OID_GET_SIGNAL_QUALITY = 0xFF4D1019;
constexpr uint32_t OID_TUNE_PHILIPS_RF = 0xFF4D102A;
constexpr uint32_t OID_SET_CARRIER_SUPPRESSION_TX = 0xFF4D102B;
constexpr uint32_t OID_SET_MODULATION = 0xFF4D102F;
constexpr uint32_t OID_SET_PACKET_RX_TEST = 0xFF4D1030;
constexpr uint32_t OID_SET_INITIAL_GAIN = 0xFF0111C3;
constexpr uint32_t OID_SET_BBRF_STANDBY = 0xFF0111C4;
constexpr uint32_t OID_SET_BBRF_SHUTDOWN = 0xFF0111C5;
constexpr uint32_t OID_SET_TX_CHARGE_PUMP = 0xFF0111C6;
constexpr uint32_t OID_SET_RX_CHARGE_PUMP = 0xFF0111C7;
constexpr uint32_t OID_QUERY_RF_TYPE = 0xFF0111CA;
constexpr uint32_t OID_SET_TX_POWER_BASE_OFFSET = 0xFF4E5286;
constexpr uint32_t OID_GET_TX_POWER_BASE_OFFSET = 0xFF4E5287;

// Traffic counters
constexpr uint32_t OID_RESET_TX_PACKET_SENT = 0xFF4D1023;
constexpr uint32_t OID_QUERY_TX_PACKET_SENT = 0xFF4D1024;
constexpr uint32_t OID_RESET_RX_PACKET_RECEIVED = 0xFF4D1025;
constexpr uint32_t OID_QUERY_RX_PACKET_RECEIVED = 0xFF4D1026;
constexpr uint32_t OID_QUERY_RX_PACKET_CRC32_ERROR = 0xFF4D1027;
constexpr uint32_t OID_ENABLE_ACK_COUNTER = 0xFF4E5283;
constexpr uint32_t OID_RESET_ACK_COUNTER = 0xFF4E5284;
constexpr uint32_t OID_GET_ACK_COUNTER = 0xFF4E5285;

// Registers
constexpr uint32_t OID_MAC_REG_WRITE = 0xFF0111C1;
constexpr uint32_t OID_MAC_REG_READ = 0xFF0111C2;
constexpr uint32_t OID_BB_REG_WRITE = 0xFF4E5281;
constexpr uint32_t OID_BB_REG_READ = 0xFF4E5282;
constexpr uint32_t OID_RF_REG_WRITE = 0xFF0111C8;
constexpr uint32_t OID_RF_REG_READ = 0xFF0111C9;

// EEPROM, identity and address data
constexpr uint32_t OID_EEPROM_TYPE = 0xFF4D101A;
constexpr uint32_t OID_EEPROM_WRITE = 0xFF4D1021;
constexpr uint32_t OID_EEPROM_READ = 0xFF4D1022;
constexpr uint32_t OID_WRITE_MAC_ADDRESS = 0xFF4D101B;
constexpr uint32_t OID_READ_MAC_ADDRESS = 0xFF4D101C;
constexpr uint32_t OID_WRITE_CIS_DATA = 0xFF4D101D;
constexpr uint32_t OID_READ_CIS_DATA = 0xFF4D101E;
constexpr uint32_t OID_PERMANENT_ADDRESS = 0xFF4D1029;
constexpr uint32_t OID_CHIP_INFO = 0xFF0101CB;

// Packet path
constexpr uint32_t OID_RECEIVE_PACKET = 0xFF4D102C;
constexpr uint32_t OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;

// Command status of asynchronous commands
constexpr uint32_t OID_COMMAND_STATUS = 0xFF4E5280;

// ---- Record sizes and limits used by several operations ----
constexpr uint32_t kMacAddressLength = 6;
constexpr uint32_t kCisCapacity = 256;
constexpr uint32_t kReceiveCapacity = 2000;
constexpr uint32_t kChipInfoLength = 28;
constexpr size_t kChipVariantParam = 2;  // Param[2] of the chip information answer
constexpr uint32_t kVariantChip = 2;     // ChipVariant value of the variant EEPROM placement

// ---- Command ids reported by OID_COMMAND_STATUS ----
enum CommandId : int32_t {
  CMD_TEST_START = 0,
  CMD_MAC_READ_1 = 1,
  CMD_MAC_READ_2 = 2,
  CMD_MAC_READ_4 = 3,
  CMD_MAC_WRITE_1 = 4,
  CMD_MAC_WRITE_2 = 5,
  CMD_MAC_WRITE_4 = 6,
  CMD_BB_READ_BANK0 = 7,
  CMD_BB_WRITE_BANK0 = 8,
  CMD_BB_READ_BANK1 = 9,
  CMD_BB_WRITE_BANK1 = 10,
  CMD_RF_READ = 11,
  CMD_RF_WRITE = 12,
  CMD_EEPROM_READ_BYTE = 13,
  CMD_EEPROM_WRITE_BYTE = 14,
  CMD_EEPROM_READ_WORD = 15,
  CMD_EEPROM_WRITE_WORD = 16,
  CMD_INITIAL_GAIN = 22,
  CMD_MODULATION = 23,
  CMD_CHANNEL = 24,
  CMD_DATA_RATE = 25,
  CMD_ANTENNA = 26,
  CMD_TX_POWER = 27,
  CMD_TX_CONTINUOUS = 28,
  CMD_SINGLE_CARRIER_TX = 29,
  CMD_CARRIER_SUPPRESSION_TX = 30,
  CMD_PACKET_RX_TEST = 31,
};
// ---- EEPROM ----
constexpr uint32_t kEepromType128 = 1;
constexpr uint32_t kEepromType256 = 2;
constexpr uint32_t kEepromWidthByte = 1;
constexpr uint32_t kEepromWidthWord = 2;
// A write request carries {offset, width, value} as words at these record offsets.
constexpr size_t kEepromWriteOffsetAt = kDataOffset;
constexpr size_t kEepromWriteWidthAt = kDataOffset + 4;
constexpr size_t kEepromWriteValueAt = kDataOffset + 8;

// ---- Little-endian access to raw records ----
inline uint32_t get_u32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void put_u32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace talven::wire
