/* Test mode, radio settings, a receive test with its counters, and a few registers. */
#include "session.h"

int session_radio(Adapter* adapter) {
  ULONG received = 0, crc_errors = 0, value = 0, rf_type = 0, power = 0;
  int failed = 0;

  printf("Test mode and radio settings\n");
  failed += check("StartTest", StartTest(adapter), 1);
  failed += check("SetChannelDirectCall(6)", SetChannelDirectCall(adapter, 6), 1);
  failed += check("SetDataRate(108)", SetDataRate(adapter, 108), 1);
  failed += check("SetModulation(1)", SetModulation(adapter, 1), 1);
  failed += check("SetTxPowerControl(12)", SetTxPowerControl(adapter, 12), 1);
  failed += check("GetTxPowerControl", GetTxPowerControl(adapter, &power), 1);
  failed += check("QueryRFType", QueryRFType(adapter, &rf_type), 1);
  printf("  transmit power %lu, RF type %lu\n", (unsigned long)power, (unsigned long)rf_type);

  printf("Receive test\n");
  failed += check("ResetRxPacketReceived", ResetRxPacketReceived(adapter), 1);
  failed += check("SetPacketRxTest(1)", SetPacketRxTest(adapter, 1), 1);
  failed += check("QueryRxPacketReceived", QueryRxPacketReceived(adapter, &received), 1);
  failed += check("QueryRxPacketCRC32Error", QueryRxPacketCRC32Error(adapter, &crc_errors), 1);
  failed += check("SetPacketRxTest(0)", SetPacketRxTest(adapter, 0), 1);
  printf("  %lu frames received, %lu with a CRC32 error\n", (unsigned long)received,
         (unsigned long)crc_errors);

  printf("Registers\n");
  failed += check("WriteRegData(0x0050, 2, 0x1234)", WriteRegData(adapter, 0x0050, 2, 0x1234), 1);
  failed += check("ReadRegData(0x0050, 2)", ReadRegData(adapter, 0x0050, 2, &value), 1);
  printf("  MAC register 0xFF50 = 0x%04lX\n", (unsigned long)value);
  failed += check("WriteBBData(0x07, bank 1, 0x5A)", WriteBBData(adapter, 0x07, 1, 0x5A), 1);
  failed += check("ReadBBData(0x07, bank 1)", ReadBBData(adapter, 0x07, 1, &value), 1);
  printf("  baseband bank 1 register 0x07 = 0x%02lX\n", (unsigned long)value);
  failed += check("RFWriteRegData(0x03, 0, 0x1F0)", RFWriteRegData(adapter, 0x03, 0, 0x1F0), 1);
  failed += check("RFReadRegData(0x03)", RFReadRegData(adapter, 0x03, 0, &value), 1);
  printf("  RF register 0x03 = 0x%03lX\n", (unsigned long)value);

  failed += check("StopTest", StopTest(adapter), 1);
  return failed;
}
