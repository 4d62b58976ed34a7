/* An identity and calibration report: EEPROM type, ids, addresses and the power table. */
#include "session.h"

static void print_mac(const char* what, const UCHAR* mac) {
  printf("  %s %02X:%02X:%02X:%02X:%02X:%02X\n", what, mac[0], mac[1], mac[2], mac[3], mac[4],
         mac[5]);
}

int session_identity(Adapter* adapter) {
  UCHAR image[256], mac[6], table[TALVEN_POWER_TABLE_LENGTH], high = 0, low = 0;
  ULONG type = 0, k;
  int failed = 0;

  printf("Identity and calibration\n");
  failed += check("QueryEEpromType", QueryEEpromType(adapter, &type), 1);
  failed += check("ReadEEprom", ReadEEprom(adapter, image, type), 1);
  printf("  EEPROM type %lu (%u bytes): vendor id 0x%02X%02X, device id 0x%02X%02X\n",
         (unsigned long)type, type == 1 ? 128u : 256u, image[2], image[3], image[4], image[5]);
  failed += check("ReadEEpromMacAddr", ReadEEpromMacAddr(adapter, mac), 1);
  print_mac("EEPROM MAC address", mac);
  failed += check("ReadMACAddress", ReadMACAddress(adapter, mac), 1);
  print_mac("runtime MAC address", mac);
  failed += check("QueryPermanentAddress", QueryPermanentAddress(adapter, mac), 1);
  print_mac("permanent address", mac);
  failed +=
      check("ReadEEpromTxPowerBaseOffset", ReadEEpromTxPowerBaseOffset(adapter, &high, &low), 1);
  printf("  transmit-power base offset: high %u, low %u\n", high, low);
  failed += check("ReadPowerControl", ReadPowerControl(adapter, table, sizeof table), 1);
  printf("  2.4 GHz power (high/low) by channel:");
  for (k = 0; k < 14; ++k) printf(" %lu:%u/%u", (unsigned long)(k + 1), table[60 + k], table[k]);
  printf("\n  5 GHz entries: ch36 0x%02X, ch64 0x%02X, ch149 0x%02X, ch161 0x%02X\n", table[19],
         table[33], table[56], table[59]);
  return failed;
}
