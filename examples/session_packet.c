/* Transmit tests: single test frames, then a timed continuous burst, counted by the adapter. */
#include "session.h"

int session_packet(Adapter* adapter) {
  ULONG sent = 0;
  int failed = 0;

  printf("Transmit test\n");
  failed += check("PacketSetFilter(directed | broadcast)", PacketSetFilter(adapter, 0x9) & 0xFF, 1);
  failed += check("ResetTxPacketSent", ResetTxPacketSent(adapter), 1);
  failed += check("PKT32XmitOnePacket", PKT32XmitOnePacket(adapter), 1);
  failed += check("PKT32XmitOnePacket", PKT32XmitOnePacket(adapter), 1);
  failed += check("QueryTxPacketSent", QueryTxPacketSent(adapter, &sent), 1);
  printf("  %lu single frames sent\n", (unsigned long)sent);
  failed += check("ResetTxPacketSent", ResetTxPacketSent(adapter), 1);
  failed += check("PKT32OFDMContinuousTx(start)", PKT32OFDMContinuousTx(adapter, 1), 1);
  Sleep(300);
  failed += check("PKT32OFDMContinuousTx(stop)", PKT32OFDMContinuousTx(adapter, 0), 1);
  failed += check("QueryTxPacketSent", QueryTxPacketSent(adapter, &sent), 1);
  printf("  %lu frames sent in a 300 ms continuous burst\n", (unsigned long)sent);
  if (sent == 0) failed += check("continuous burst sent frames", 0, 1);
  return failed;
}
