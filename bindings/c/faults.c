/*
 * A station program in C against libtalven.so that tries its error paths: it makes the
 * simulated adapter's driver fail chosen requests (talven_sim.h) and checks what each operation
 * then returns and writes. The wide strings are TEXT("..."), so the same source builds for
 * Windows. Build: cc faults.c $(pkg-config --cflags --libs talven). Exit status 0: all passed.
 */
#include <stdio.h>

#include "talven.h"
#include "talven_sim.h"

static int failures;

static void expect(const char* what, unsigned long got, unsigned long want) {
  if (got == want) {
    printf("PASS: %s\n", what);
  } else {
    printf("FAIL: %s: got %lu, want %lu\n", what, got, want);
    ++failures;
  }
}

int main(void) {
  WCHAR names[512];
  ULONG size = sizeof names;
  Adapter* adapter;
  ULONG count = 12345;
  UCHAR byte = 0xA5;

  expect("StartPacketDriver", StartPacketDriver(TEXT("NORVAKS"), 0), 1);
  expect("PacketGetAdapterNames", PacketGetAdapterNames(names, &size), 1);
  adapter = OpenDUT(names);
  expect("OpenDUT", adapter != NULL, 1);
  if (adapter == NULL) return 1;

  expect("SetChannelDirectCall", SetChannelDirectCall(adapter, 6), 1);
  /* The channel command's OID, refused once by the driver. */
  expect("talven_sim_fail_oid", (ULONG)talven_sim_fail_oid(0xFF4D1008u, TALVEN_SIM_FAIL_REQUEST, 1),
         1);
  expect("SetChannelDirectCall refused", SetChannelDirectCall(adapter, 6), 0);
  expect("SetChannelDirectCall after the fault", SetChannelDirectCall(adapter, 6), 1);
  expect("requests of the channel OID", talven_sim_request_count(0xFF4D1008u), 3);

  /* A failed ACK counter read leaves the variable alone; a failed Tx count writes 0. */
  talven_sim_fail_oid(0xFF4E5285u, TALVEN_SIM_FAIL_REQUEST, 1);
  expect("GetAckCounter refused", GetAckCounter(adapter, &count), 0);
  expect("  count left alone", count, 12345);
  talven_sim_fail_oid(0xFF4D1024u, TALVEN_SIM_FAIL_REQUEST, 1);
  expect("QueryTxPacketSent refused", QueryTxPacketSent(adapter, &count), 0);
  expect("  count written as 0", count, 0);

  /* An EEPROM read whose completion reports another command: 0, the byte left alone. */
  talven_sim_fail_oid(0xFF4D1022u, TALVEN_SIM_WRONG_COMMAND_ID, 1);
  expect("ReadEEpromByte, wrong command", ReadEEpromByte(adapter, 10, &byte), 0);
  expect("  byte left alone", byte, 0xA5);
  expect("ReadEEpromByte", ReadEEpromByte(adapter, 10, &byte), 1);
  expect("  factory base offset byte", byte, 0x35);

  expect("talven_sim_fail_oid unknown mode", (ULONG)talven_sim_fail_oid(0xFF4D1008u, 9, 1), 0);
  talven_sim_fail_oid(0xFF4D1008u, TALVEN_SIM_FAIL_REQUEST, -1);
  talven_sim_clear_faults();
  expect("SetChannelDirectCall after clearing", SetChannelDirectCall(adapter, 11), 1);

  expect("CloseDUT", CloseDUT(adapter), 1);
  printf("%d failed\n", failures);
  return failures ? 1 : 0;
}
