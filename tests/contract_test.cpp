// The driver contract and the export surface, value by value. Every control code, record offset,
// vendor OID, command id and limit that the adapter driver reads, and every exported name with
// its ordinal that callers bind to, is written out here by hand. A value changed by mistake in
// driver_contract/driver_contract.h, talven.h or the operation list fails a test that names it.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "library/core/policy.h"
#include "driver_contract/driver_contract.h"
#include "library/exports/operations.h"
#include "talven.h"

namespace talven_test {
namespace {

namespace wire = talven::wire;
namespace policy = talven::policy;

struct Pinned {
  const char* name;
  uint64_t actual;
  uint64_t expected;
};

Pinned pin(const char* name, uint64_t actual, uint64_t expected) {
  return {name, actual, expected};
}
#define PIN(name, expected) pin(#name, static_cast<uint64_t>(wire::name), expected)
#define PIN_POLICY(name, expected) pin(#name, static_cast<uint64_t>(policy::name), expected)
#define PIN_API(name, expected) pin(#name, static_cast<uint64_t>(name), expected)

void expect_pinned(const std::vector<Pinned>& table) {
  for (const Pinned& p : table)
    EXPECT_EQ(p.expected, p.actual) << p.name << ": expected " << p.expected << std::hex << " (0x"
                                    << p.expected << "), header has 0x" << p.actual;
}

// ---- Driver contract ----

TEST(ContractWire, ControlCodesAndRecordLayout) {
  // clang-format off
  expect_pinned({
    PIN(kDeviceType, 0x8000), PIN(kMethodBuffered, 0), PIN(kFileAnyAccess, 0),
    PIN(IOCTL_OID_SET, 0x80000000u), PIN(IOCTL_OID_QUERY, 0x80000004u),
    PIN(IOCTL_ADAPTER_RESET, 0x80000008u),
    // OidData: Oid, Length, Param[0..9], then the 256-byte Data area.
    PIN(kOidOffset, 0), PIN(kLengthOffset, 4), PIN(kParamOffset, 8), PIN(kParamCount, 10),
    PIN(kDataOffset, 48), PIN(kDataSize, 256), PIN(kRecordSize, 304), PIN(kTransferBase, 303),
    // The completion wait's status record and the read placeholder.
    PIN(kStatusLength, 16), PIN(kStatusFinishedParam, 0), PIN(kStatusCommandParam, 1),
    PIN(kStatusResultParam, 3), PIN_POLICY(kStatusBlockSize, 320), PIN(kReadPlaceholder, 0xFFFFFFFFu),
  });
  // clang-format on
}

// The packet driver's names, as the registry and the device namespace spell them.
TEST(ContractWire, PacketDriverNames) {
  auto text = [](const char16_t* s) { return std::u16string(s); };
  EXPECT_EQ(u"\\\\.\\", text(wire::kDevicePrefix));
  EXPECT_EQ(u"Packet_", text(wire::kPacketPrefix));
  EXPECT_EQ(u"\\Device\\", text(wire::kDeviceDirectory));
  EXPECT_EQ(u"NORVAKS", text(wire::kPacketServiceName));
  EXPECT_EQ(u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage", text(wire::kLinkageKey));
  EXPECT_EQ(u"Export", text(wire::kLinkageValue));
  std::u16string joined;
  for (const char16_t* part : wire::kLinkageKeyParts)
    joined += (joined.empty() ? u"" : u"\\") + text(part);
  EXPECT_EQ(text(wire::kLinkageKey), joined);
}

// ctl_code against the published values of a few system control codes.
TEST(ContractWire, ControlCodeLayoutMatchesTheSystemMacro) {
  expect_pinned({
      {"IOCTL_DISK_GET_DRIVE_GEOMETRY", wire::ctl_code(0x7, 0, 0, 0), 0x00070000u},
      {"IOCTL_DISK_SET_PARTITION_INFO", wire::ctl_code(0x7, 2, 0, 3), 0x0007C008u},
      {"FSCTL_GET_RETRIEVAL_POINTERS", wire::ctl_code(0x9, 28, 3, 0), 0x00090073u},
      {"IOCTL_STORAGE_GET_DEVICE_NUMBER", wire::ctl_code(0x2D, 0x420, 0, 0), 0x002D1080u},
  });
}

TEST(ContractWire, TransferSizeAndParamOffsets) {
  const std::pair<uint32_t, uint32_t> sizes[] = {{0, 303},  {4, 307},   {6, 309},
                                                 {8, 311},  {12, 315},  {16, 319},
                                                 {28, 331}, {256, 559}, {2000, 2303}};
  for (const auto& [length, size] : sizes)
    EXPECT_EQ(size, wire::transfer_size(length)) << "Length " << length;
  const std::pair<size_t, size_t> params[] = {{0, 8}, {1, 12}, {2, 16}, {3, 20}, {9, 44}, {10, 48}};
  for (const auto& [index, offset] : params)
    EXPECT_EQ(offset, wire::param_offset(index)) << "Param[" << index << "]";
}

TEST(ContractWire, RecordWordsAreLittleEndian) {
  uint8_t bytes[4] = {};
  wire::put_u32(bytes, 0x11223344u);
  EXPECT_EQ(0x44, bytes[0]);
  EXPECT_EQ(0x33, bytes[1]);
  EXPECT_EQ(0x22, bytes[2]);
  EXPECT_EQ(0x11, bytes[3]);
  const uint8_t word[4] = {0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(0x12345678u, wire::get_u32(word));
}

TEST(ContractWire, VendorOids) {
  // clang-format off
  expect_pinned({
    // Test control and radio configuration
    PIN(OID_RESET_DUT, 0xFF4D1000u), PIN(OID_SET_DATA_RATE, 0xFF4D1001u),
    PIN(OID_START_TEST, 0xFF4D1002u), PIN(OID_STOP_TEST, 0xFF4D1003u),
    PIN(OID_SET_PREAMBLE, 0xFF4D1004u), PIN(OID_SET_FILTER_BB, 0xFF4D1006u),
    PIN(OID_SET_MANUAL_DIVERSITY_BB, 0xFF4D1007u), PIN(OID_SET_CHANNEL, 0xFF4D1008u),
    PIN(OID_SET_SLEEP_MODE, 0xFF4D1009u), PIN(OID_SET_WAKE_MODE, 0xFF4D100Au),
    PIN(OID_SET_TX_CONTINUOUS, 0xFF4D100Bu), PIN(OID_SET_SINGLE_CARRIER_TX, 0xFF4D100Cu),
    PIN(OID_SET_TX_ANTENNA_BB, 0xFF4D100Du), PIN(OID_SET_ANTENNA_BB, 0xFF4D100Eu),
    PIN(OID_SET_CR_SCRAMBLER, 0xFF4D100Fu), PIN(OID_SET_TX_POWER_CONTROL, 0xFF4D1011u),
    PIN(OID_SET_CR_TX_CONFIG, 0xFF4D1012u), PIN(OID_GET_TX_POWER_CONTROL, 0xFF4D1013u),
    PIN(OID_GET_CR_SIGNAL_QUALITY, 0xFF4D1014u), PIN(OID_SET_CR_SETPOINT, 0xFF4D1015u),
    PIN(OID_SET_INTEGRATOR, 0xFF4D1016u), PIN(OID_SET_SIGNAL_QUALITY, 0xFF4D1017u),
    PIN(OID_GET_INTEGRATOR, 0xFF4D1018u), PIN(OID_GET_SIGNAL_QUALITY, 0xFF4D1019u),
    PIN(OID_TUNE_PHILIPS_RF, 0xFF4D102Au), PIN(OID_SET_CARRIER_SUPPRESSION_TX, 0xFF4D102Bu),
    PIN(OID_SET_MODULATION, 0xFF4D102Fu), PIN(OID_SET_PACKET_RX_TEST, 0xFF4D1030u),
    PIN(OID_SET_INITIAL_GAIN, 0xFF0111C3u), PIN(OID_SET_BBRF_STANDBY, 0xFF0111C4u),
    PIN(OID_SET_BBRF_SHUTDOWN, 0xFF0111C5u), PIN(OID_SET_TX_CHARGE_PUMP, 0xFF0111C6u),
    PIN(OID_SET_RX_CHARGE_PUMP, 0xFF0111C7u), PIN(OID_QUERY_RF_TYPE, 0xFF0111CAu),
    PIN(OID_SET_TX_POWER_BASE_OFFSET, 0xFF4E5286u), PIN(OID_GET_TX_POWER_BASE_OFFSET, 0xFF4E5287u),
    // Traffic counters
    PIN(OID_RESET_TX_PACKET_SENT, 0xFF4D1023u), PIN(OID_QUERY_TX_PACKET_SENT, 0xFF4D1024u),
    PIN(OID_RESET_RX_PACKET_RECEIVED, 0xFF4D1025u), PIN(OID_QUERY_RX_PACKET_RECEIVED, 0xFF4D1026u),
    PIN(OID_QUERY_RX_PACKET_CRC32_ERROR, 0xFF4D1027u), PIN(OID_ENABLE_ACK_COUNTER, 0xFF4E5283u),
    PIN(OID_RESET_ACK_COUNTER, 0xFF4E5284u), PIN(OID_GET_ACK_COUNTER, 0xFF4E5285u),
    // Registers
    PIN(OID_MAC_REG_WRITE, 0xFF0111C1u), PIN(OID_MAC_REG_READ, 0xFF0111C2u),
    PIN(OID_BB_REG_WRITE, 0xFF4E5281u), PIN(OID_BB_REG_READ, 0xFF4E5282u),
    PIN(OID_RF_REG_WRITE, 0xFF0111C8u), PIN(OID_RF_REG_READ, 0xFF0111C9u),
    // EEPROM, identity and address data
    PIN(OID_EEPROM_TYPE, 0xFF4D101Au), PIN(OID_EEPROM_WRITE, 0xFF4D1021u),
    PIN(OID_EEPROM_READ, 0xFF4D1022u), PIN(OID_WRITE_MAC_ADDRESS, 0xFF4D101Bu),
    PIN(OID_READ_MAC_ADDRESS, 0xFF4D101Cu), PIN(OID_WRITE_CIS_DATA, 0xFF4D101Du),
    PIN(OID_READ_CIS_DATA, 0xFF4D101Eu), PIN(OID_PERMANENT_ADDRESS, 0xFF4D1029u),
    PIN(OID_CHIP_INFO, 0xFF0101CBu),
    // Packet path and command status
    PIN(OID_RECEIVE_PACKET, 0xFF4D102Cu), PIN(OID_GEN_CURRENT_PACKET_FILTER, 0x0001010Eu),
    PIN(OID_COMMAND_STATUS, 0xFF4E5280u),
  });
  // clang-format on
}

TEST(ContractWire, CommandIds) {
  // clang-format off
  expect_pinned({
    PIN(CMD_TEST_START, 0),         PIN(CMD_MAC_READ_1, 1),          PIN(CMD_MAC_READ_2, 2),
    PIN(CMD_MAC_READ_4, 3),         PIN(CMD_MAC_WRITE_1, 4),         PIN(CMD_MAC_WRITE_2, 5),
    PIN(CMD_MAC_WRITE_4, 6),        PIN(CMD_BB_READ_BANK0, 7),       PIN(CMD_BB_WRITE_BANK0, 8),
    PIN(CMD_BB_READ_BANK1, 9),      PIN(CMD_BB_WRITE_BANK1, 10),     PIN(CMD_RF_READ, 11),
    PIN(CMD_RF_WRITE, 12),          PIN(CMD_EEPROM_READ_BYTE, 13),   PIN(CMD_EEPROM_WRITE_BYTE, 14),
    PIN(CMD_EEPROM_READ_WORD, 15),  PIN(CMD_EEPROM_WRITE_WORD, 16),  PIN(CMD_INITIAL_GAIN, 22),
    PIN(CMD_MODULATION, 23),        PIN(CMD_CHANNEL, 24),            PIN(CMD_DATA_RATE, 25),
    PIN(CMD_ANTENNA, 26),           PIN(CMD_TX_POWER, 27),           PIN(CMD_TX_CONTINUOUS, 28),
    PIN(CMD_SINGLE_CARRIER_TX, 29), PIN(CMD_CARRIER_SUPPRESSION_TX, 30),
    PIN(CMD_PACKET_RX_TEST, 31),
  });
  // clang-format on
}

// Only the register and EEPROM commands (1 to 16) have their reported id compared and carry a
// result word; test start, the radio commands and unknown ids are accepted as reported.
TEST(ContractWire, OnlyRegisterAndEepromCommandsAreChecked) {
  for (int32_t id = -1; id <= 33; ++id)
    EXPECT_EQ(id >= 1 && id <= 16, policy::command_id_is_checked(id)) << "CommandId " << id;
}

// The wait takes its id and limit as signed 32-bit words: a negative limit means no limit.
TEST(ContractWire, WaitArgumentsAreSigned32Bit) {
  EXPECT_TRUE((std::is_same_v<std::underlying_type_t<wire::CommandId>, int32_t>));
  EXPECT_TRUE((std::is_same_v<decltype(policy::kDefaultPollLimit), const int32_t>));
  EXPECT_TRUE((std::is_same_v<decltype(policy::kStartTestPollLimit), const int32_t>));
}

TEST(ContractWire, LimitsSizesAndEepromCodes) {
  // clang-format off
  expect_pinned({
    PIN_POLICY(kDefaultPollLimit, 2000), PIN_POLICY(kStartTestPollLimit, 100),
    // EEPROM type codes, access widths and the {offset, width, value} words of a write,
    // which travel in Data rather than in Param.
    PIN(kEepromType128, 1), PIN(kEepromType256, 2), PIN(kEepromWidthByte, 1),
    PIN(kEepromWidthWord, 2), PIN(kEepromWriteOffsetAt, 48), PIN(kEepromWriteWidthAt, 52),
    PIN(kEepromWriteValueAt, 56),
    // Byte-string payloads, the chip information answer and the adapter reset.
    PIN(kMacAddressLength, 6), PIN(kCisCapacity, 256), PIN(kReceiveCapacity, 2000),
    PIN(kChipInfoLength, 28), PIN(kChipVariantParam, 2), PIN(kVariantChip, 2),
    PIN_POLICY(kResetTimeoutMs, 3000), PIN(kSkippedPathChars, 8),
  });
  // clang-format on
}

TEST(ContractPublicHeader, Constants) {
  // clang-format off
  expect_pinned({
    PIN_API(TALVEN_DEVICE_NAME_LENGTH, 64), PIN_API(TALVEN_MIN_DEVICE_PATH, 8),
    PIN_API(TALVEN_MAX_DEVICE_PATH, 60), PIN_API(TALVEN_TEST_FRAME_LENGTH, 1400),
    PIN_API(TALVEN_RECEIVE_CAPACITY, 2000), PIN_API(TALVEN_POWER_TABLE_LENGTH, 74),
    PIN_API(TALVEN_CIS_CAPACITY, 256),
  });
  // clang-format on
}

// ---- Export table ----

struct Export {
  int ordinal;
  const char* name;
};

// Aliases first, then decorated stdcall names, each set in ascending byte order of the names.
// clang-format off
const Export kExports[] = {
    {1, "VB_CloseDUT"}, {2, "VB_EnableAckCounter"}, {3, "VB_GetAckCounter"},
    {4, "VB_GetCRSignalQuality"}, {5, "VB_GetIntegrator"}, {6, "VB_GetSignalQuality"},
    {7, "VB_GetTxPowerBaseOffset"}, {8, "VB_GetTxPowerControl"}, {9, "VB_OpenDUT"},
    {10, "VB_PKT32OFDMContinuousTx"}, {11, "VB_PKT32XmitOnePacket"},
    {12, "VB_PacketAllocatePacket"}, {13, "VB_PacketFreePacket"}, {14, "VB_PacketGetAdapterNames"},
    {15, "VB_PacketInitPacket"}, {16, "VB_PacketReceivePacket"}, {17, "VB_PacketResetAdapter"},
    {18, "VB_PacketSendPacket"}, {19, "VB_PacketSetFilter"}, {20, "VB_PacketWaitPacket"},
    {21, "VB_QueryEEpromType"}, {22, "VB_QueryPermanentAddress"}, {23, "VB_QueryRFType"},
    {24, "VB_QueryRxPacketCRC32Error"}, {25, "VB_QueryRxPacketReceived"},
    {26, "VB_QueryTxPacketSent"}, {27, "VB_RFReadRegData"}, {28, "VB_RFWriteRegData"},
    {29, "VB_ReadBBData"}, {30, "VB_ReadCISData"}, {31, "VB_ReadEEprom"}, {32, "VB_ReadEEpromByte"},
    {33, "VB_ReadEEpromMacAddr"}, {34, "VB_ReadEEpromTxPowerBaseOffset"}, {35, "VB_ReadMACAddress"},
    {36, "VB_ReadPowerControl"}, {37, "VB_ReadRegData"}, {38, "VB_ResetAckCounter"},
    {39, "VB_ResetDUT"}, {40, "VB_ResetRxPacketReceived"}, {41, "VB_ResetTxPacketSent"},
    {42, "VB_SetAntennaBB"}, {43, "VB_SetBBRFShutdownMode"}, {44, "VB_SetBBRFStandbyMode"},
    {45, "VB_SetCRScrambler"}, {46, "VB_SetCRSetpoint"}, {47, "VB_SetCRTxConfig"},
    {48, "VB_SetCarrierSuppressionTxContinuous"}, {49, "VB_SetChannelDirectCall"},
    {50, "VB_SetDataRate"}, {51, "VB_SetFilterBB"}, {52, "VB_SetInitialGain"},
    {53, "VB_SetIntegrator"}, {54, "VB_SetManualDiversityBB"}, {55, "VB_SetModulation"},
    {56, "VB_SetPacketRxTest"}, {57, "VB_SetPreamble"}, {58, "VB_SetRxChargePump"},
    {59, "VB_SetSignalQuality"}, {60, "VB_SetSingleCarrierTxContinuous"},
    {61, "VB_SetSleepModeDirectCall"}, {62, "VB_SetTxAntennaBB"}, {63, "VB_SetTxChargePump"},
    {64, "VB_SetTxContinuousDirectCall"}, {65, "VB_SetTxPowerBaseOffset"},
    {66, "VB_SetTxPowerControl"}, {67, "VB_SetWakeModeDirectCall"}, {68, "VB_StartPacketDriver"},
    {69, "VB_StartTest"}, {70, "VB_StopPacketDriver"}, {71, "VB_StopTest"},
    {72, "VB_TunePhilipsRfParameters"}, {73, "VB_WriteBBData"}, {74, "VB_WriteCISData"},
    {75, "VB_WriteEEprom"}, {76, "VB_WriteEEpromByte"}, {77, "VB_WriteEEpromDid"},
    {78, "VB_WriteEEpromMacAddr"}, {79, "VB_WriteEEpromTxPowerBaseOffset"},
    {80, "VB_WriteEEpromVid"}, {81, "VB_WriteMACAddress"}, {82, "VB_WritePowerControl"},
    {83, "VB_WriteRegData"}, {84, "_CloseDUT@4"}, {85, "_EnableAckCounter@8"},
    {86, "_GetAckCounter@8"}, {87, "_GetCRSignalQuality@8"}, {88, "_GetIntegrator@12"},
    {89, "_GetSignalQuality@12"}, {90, "_GetTxPowerBaseOffset@12"}, {91, "_GetTxPowerControl@8"},
    {92, "_OpenDUT@4"}, {93, "_PKT32OFDMContinuousTx@8"}, {94, "_PKT32XmitOnePacket@4"},
    {95, "_PacketAllocatePacket@4"}, {96, "_PacketFreePacket@4"}, {97, "_PacketGetAdapterNames@8"},
    {98, "_PacketInitPacket@12"}, {99, "_PacketReceivePacket@16"}, {100, "_PacketResetAdapter@4"},
    {101, "_PacketSendPacket@12"}, {102, "_PacketSetFilter@8"}, {103, "_PacketWaitPacket@16"},
    {104, "_QueryEEpromType@8"}, {105, "_QueryPermanentAddress@8"}, {106, "_QueryRFType@8"},
    {107, "_QueryRxPacketCRC32Error@8"}, {108, "_QueryRxPacketReceived@8"},
    {109, "_QueryTxPacketSent@8"}, {110, "_RFReadRegData@16"}, {111, "_RFWriteRegData@16"},
    {112, "_ReadBBData@16"}, {113, "_ReadCISData@12"}, {114, "_ReadEEprom@12"},
    {115, "_ReadEEpromByte@12"}, {116, "_ReadEEpromMacAddr@8"},
    {117, "_ReadEEpromTxPowerBaseOffset@12"}, {118, "_ReadMACAddress@8"},
    {119, "_ReadPowerControl@12"}, {120, "_ReadRegData@16"}, {121, "_ResetAckCounter@4"},
    {122, "_ResetDUT@4"}, {123, "_ResetRxPacketReceived@4"}, {124, "_ResetTxPacketSent@4"},
    {125, "_SetAntennaBB@8"}, {126, "_SetBBRFShutdownMode@8"}, {127, "_SetBBRFStandbyMode@8"},
    {128, "_SetCRScrambler@8"}, {129, "_SetCRSetpoint@8"}, {130, "_SetCRTxConfig@8"},
    {131, "_SetCarrierSuppressionTxContinuous@8"}, {132, "_SetChannelDirectCall@8"},
    {133, "_SetDataRate@8"}, {134, "_SetFilterBB@8"}, {135, "_SetInitialGain@8"},
    {136, "_SetIntegrator@12"}, {137, "_SetManualDiversityBB@8"}, {138, "_SetModulation@8"},
    {139, "_SetPacketRxTest@8"}, {140, "_SetPreamble@8"}, {141, "_SetRxChargePump@8"},
    {142, "_SetSignalQuality@12"}, {143, "_SetSingleCarrierTxContinuous@8"},
    {144, "_SetSleepModeDirectCall@4"}, {145, "_SetTxAntennaBB@8"}, {146, "_SetTxChargePump@8"},
    {147, "_SetTxContinuousDirectCall@8"}, {148, "_SetTxPowerBaseOffset@12"},
    {149, "_SetTxPowerControl@8"}, {150, "_SetWakeModeDirectCall@4"}, {151, "_StartPacketDriver@8"},
    {152, "_StartTest@4"}, {153, "_StopPacketDriver@4"}, {154, "_StopTest@4"},
    {155, "_TunePhilipsRfParameters@8"}, {156, "_WriteBBData@16"}, {157, "_WriteCISData@12"},
    {158, "_WriteEEprom@12"}, {159, "_WriteEEpromByte@12"}, {160, "_WriteEEpromDid@8"},
    {161, "_WriteEEpromMacAddr@8"}, {162, "_WriteEEpromTxPowerBaseOffset@12"},
    {163, "_WriteEEpromVid@8"}, {164, "_WriteMACAddress@8"}, {165, "_WritePowerControl@12"},
    {166, "_WriteRegData@16"},
};
// clang-format on

TEST(ContractExports, GeneratedTableHoldsEveryNameAtItsOrdinal) {
  std::ifstream in(TALVEN_EXPORTS_FILE);
  ASSERT_TRUE(in) << TALVEN_EXPORTS_FILE;
  std::vector<std::pair<int, std::string>> generated;
  int ordinal = 0;
  std::string name;
  while (in >> ordinal >> name) generated.emplace_back(ordinal, name);
  const size_t count = sizeof kExports / sizeof kExports[0];
  ASSERT_EQ(166u, count);
  EXPECT_EQ(count, generated.size());
  for (size_t i = 0; i < count && i < generated.size(); ++i) {
    EXPECT_EQ(kExports[i].ordinal, generated[i].first)
        << "line " << i + 1 << ": " << kExports[i].name;
    EXPECT_EQ(kExports[i].name, generated[i].second) << "ordinal " << kExports[i].ordinal;
  }
}

// Every argument takes one 32-bit stack slot, so _Name@N needs N = 4 x the argument count that
// the operation list declares; and the list holds exactly the operations of the table.
TEST(ContractExports, DecoratedByteCountIsFourTimesArgumentCount) {
#define TALVEN_ARGC(ret, name, argc, types) {#name, argc},
  const std::map<std::string, int> argcs = {TALVEN_OPERATIONS(TALVEN_ARGC)};
#undef TALVEN_ARGC
  EXPECT_EQ(83u, argcs.size());
  size_t decorated = 0;
  for (const Export& e : kExports) {
    const std::string name = e.name;
    if (name[0] != '_') {
      EXPECT_EQ(1u, argcs.count(name.substr(3))) << name << " has no operation";
      continue;
    }
    ++decorated;
    const size_t at = name.find('@');
    ASSERT_NE(std::string::npos, at) << name;
    const auto it = argcs.find(name.substr(1, at - 1));
    ASSERT_NE(argcs.end(), it) << name << " has no operation";
    EXPECT_EQ(std::stoi(name.substr(at + 1)), 4 * it->second) << name;
  }
  EXPECT_EQ(83u, decorated);
}

}  // namespace
}  // namespace talven_test
