// The exported operations, one row each, the one list that everything about the export surface
// is generated from: the VB_ alias entry points (aliases.cpp), the module-definition files
// (cmake/ModuleDefinition.cmake), the export checks of the tests, the shared library's version
// script and the Visual Basic, .NET and Python bindings (bindings/generate.py).
//
// A row holds: the result type; the name; the argument count; the argument types, exactly as
// talven.h declares them; the result kind; the kind of each argument; the name of each argument
// as talven.h spells it. Every argument occupies one 32-bit stack slot, so the decorated name is
// _Name@(4 * count).
//
// Result kinds:   status   1 for success, 0 for failure
//                 one      1 whatever happens (0 only for a refused null argument)
//                 bool8    an 8-bit boolean: only the low 8 bits of the result are defined
//                 adapter  an Adapter pointer, null on failure
//                 packet   a Packet pointer, null on failure
// Argument kinds: adapter, packet  the Adapter or Packet pointer, by value
//                 value      a 32-bit integer by value (ULONG, or LONG where the type says so)
//                 wstr       a NUL-terminated UTF-16 string, read only
//                 out        a pointer to one 32-bit or 8-bit variable that receives a value
//                 inout      a pointer to a 32-bit variable read on entry and written on return
//                 bytes_in   a byte buffer the operation reads
//                 bytes_out  a byte buffer the operation writes
//                 mac_in     6 address bytes the operation reads
//                 mac_out    6 address bytes the operation writes
//                 buffer     a frame buffer the Packet keeps a pointer to after the call
#pragma once

// Every row, all seven columns: X(result, name, count, (types), result kind, (kinds), (names)).
// clang-format off
#define TALVEN_OPERATION_TABLE(X)                                                                \
  /* adapter open and close */                                                                   \
  X(Adapter*, OpenDUT, 1, (LPCWSTR), adapter, (wstr), (devicePath))                              \
  X(ULONG, CloseDUT, 1, (Adapter*), status, (adapter), (adapter))                                \
  /* test control and radio configuration */                                                     \
  X(ULONG, ResetDUT, 1, (Adapter*), status, (adapter), (adapter))                                \
  X(ULONG, StartTest, 1, (Adapter*), status, (adapter), (adapter))                               \
  X(ULONG, StopTest, 1, (Adapter*), status, (adapter), (adapter))                                \
  X(ULONG, SetDataRate, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, rate))         \
  X(ULONG, SetPreamble, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, preamble))     \
  X(ULONG, SetFilterBB, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, filter))       \
  X(ULONG, SetManualDiversityBB, 2, (Adapter*, ULONG), status,                                   \
    (adapter, value), (adapter, diversity))                                                      \
  X(ULONG, SetChannelDirectCall, 2, (Adapter*, ULONG), status,                                   \
    (adapter, value), (adapter, channel))                                                        \
  X(ULONG, SetSleepModeDirectCall, 1, (Adapter*), status, (adapter), (adapter))                  \
  X(ULONG, SetWakeModeDirectCall, 1, (Adapter*), status, (adapter), (adapter))                   \
  X(ULONG, SetTxContinuousDirectCall, 2, (Adapter*, ULONG), status,                              \
    (adapter, value), (adapter, value))                                                          \
  X(ULONG, SetSingleCarrierTxContinuous, 2, (Adapter*, ULONG), status,                           \
    (adapter, value), (adapter, value))                                                          \
  X(ULONG, SetCarrierSuppressionTxContinuous, 2, (Adapter*, ULONG), status,                      \
    (adapter, value), (adapter, value))                                                          \
  X(ULONG, SetPacketRxTest, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, enable))   \
  X(ULONG, SetTxAntennaBB, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, antenna))   \
  X(ULONG, SetAntennaBB, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, antenna))     \
  X(ULONG, SetCRScrambler, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, scrambler)) \
  X(ULONG, SetTxPowerControl, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, power))  \
  X(ULONG, SetCRTxConfig, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, config))     \
  X(ULONG, SetModulation, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, modulation)) \
  X(ULONG, GetTxPowerControl, 2, (Adapter*, PULONG), status, (adapter, out), (adapter, power))   \
  X(ULONG, GetCRSignalQuality, 2, (Adapter*, PULONG), status,                                    \
    (adapter, out), (adapter, quality))                                                          \
  X(ULONG, SetCRSetpoint, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, setpoint))   \
  X(ULONG, SetIntegrator, 3, (Adapter*, ULONG, ULONG), status,                                   \
    (adapter, value, value), (adapter, first, second))                                           \
  X(ULONG, SetSignalQuality, 3, (Adapter*, ULONG, ULONG), status,                                \
    (adapter, value, value), (adapter, first, second))                                           \
  X(ULONG, GetIntegrator, 3, (Adapter*, ULONG, PULONG), status,                                  \
    (adapter, value, out), (adapter, index, value))                                              \
  X(ULONG, GetSignalQuality, 3, (Adapter*, ULONG, PULONG), status,                               \
    (adapter, value, out), (adapter, index, value))                                              \
  X(ULONG, TunePhilipsRfParameters, 2, (Adapter*, ULONG), status,                                \
    (adapter, value), (adapter, value))                                                          \
  X(ULONG, SetInitialGain, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, gain))      \
  X(ULONG, SetBBRFStandbyMode, 2, (Adapter*, ULONG), status,                                     \
    (adapter, value), (adapter, standby))                                                        \
  X(ULONG, SetBBRFShutdownMode, 2, (Adapter*, ULONG), status,                                    \
    (adapter, value), (adapter, shutdown))                                                       \
  X(ULONG, SetTxChargePump, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, value))    \
  X(ULONG, SetRxChargePump, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, value))    \
  X(ULONG, QueryRFType, 2, (Adapter*, PULONG), status, (adapter, out), (adapter, rfType))        \
  X(ULONG, SetTxPowerBaseOffset, 3, (Adapter*, ULONG, ULONG), status,                            \
    (adapter, value, value), (adapter, high, low))                                               \
  X(ULONG, GetTxPowerBaseOffset, 3, (Adapter*, PUCHAR, PUCHAR), status,                          \
    (adapter, out, out), (adapter, high, low))                                                   \
  /* traffic counters */                                                                         \
  X(ULONG, ResetTxPacketSent, 1, (Adapter*), status, (adapter), (adapter))                       \
  X(ULONG, QueryTxPacketSent, 2, (Adapter*, PULONG), status, (adapter, out), (adapter, count))   \
  X(ULONG, ResetRxPacketReceived, 1, (Adapter*), status, (adapter), (adapter))                   \
  X(ULONG, QueryRxPacketReceived, 2, (Adapter*, PULONG), status,                                 \
    (adapter, out), (adapter, count))                                                            \
  X(ULONG, QueryRxPacketCRC32Error, 2, (Adapter*, PULONG), status,                               \
    (adapter, out), (adapter, count))                                                            \
  X(ULONG, EnableAckCounter, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, enable))  \
  X(ULONG, ResetAckCounter, 1, (Adapter*), status, (adapter), (adapter))                         \
  X(ULONG, GetAckCounter, 2, (Adapter*, PULONG), status, (adapter, out), (adapter, count))       \
  /* MAC, baseband and RF registers */                                                           \
  X(ULONG, WriteRegData, 4, (Adapter*, ULONG, LONG, ULONG), status,                              \
    (adapter, value, value, value), (adapter, address, width, value))                            \
  X(ULONG, ReadRegData, 4, (Adapter*, ULONG, LONG, PULONG), status,                              \
    (adapter, value, value, out), (adapter, address, width, value))                              \
  X(ULONG, RFWriteRegData, 4, (Adapter*, ULONG, ULONG, ULONG), status,                           \
    (adapter, value, value, value), (adapter, address, selector, value))                         \
  X(ULONG, RFReadRegData, 4, (Adapter*, ULONG, ULONG, PULONG), status,                           \
    (adapter, value, value, out), (adapter, address, selector, value))                           \
  X(ULONG, WriteBBData, 4, (Adapter*, ULONG, ULONG, ULONG), status,                              \
    (adapter, value, value, value), (adapter, address, bank, value))                             \
  X(ULONG, ReadBBData, 4, (Adapter*, ULONG, ULONG, PULONG), status,                              \
    (adapter, value, value, out), (adapter, address, bank, value))                               \
  /* EEPROM access */                                                                            \
  X(ULONG, QueryEEpromType, 2, (Adapter*, PULONG), status, (adapter, out), (adapter, type))      \
  X(ULONG, ReadEEpromByte, 3, (Adapter*, ULONG, PUCHAR), status,                                 \
    (adapter, value, out), (adapter, offset, value))                                             \
  X(ULONG, WriteEEpromByte, 3, (Adapter*, ULONG, ULONG), status,                                 \
    (adapter, value, value), (adapter, offset, value))                                           \
  X(ULONG, ReadEEprom, 3, (Adapter*, PUCHAR, ULONG), status,                                     \
    (adapter, bytes_out, value), (adapter, image, type))                                         \
  X(ULONG, WriteEEprom, 3, (Adapter*, const UCHAR*, ULONG), status,                              \
    (adapter, bytes_in, value), (adapter, image, type))                                          \
  /* transmit power-control table */                                                             \
  X(ULONG, ReadPowerControl, 3, (Adapter*, PUCHAR, LONG), status,                                \
    (adapter, bytes_out, value), (adapter, table, length))                                       \
  X(ULONG, WritePowerControl, 3, (Adapter*, const UCHAR*, LONG), status,                         \
    (adapter, bytes_in, value), (adapter, table, length))                                        \
  /* identity and address data */                                                                \
  X(ULONG, WriteEEpromVid, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, vendorId))  \
  X(ULONG, WriteEEpromDid, 2, (Adapter*, ULONG), status, (adapter, value), (adapter, deviceId))  \
  X(ULONG, WriteEEpromMacAddr, 2, (Adapter*, const UCHAR*), status,                              \
    (adapter, mac_in), (adapter, mac))                                                           \
  X(ULONG, ReadEEpromMacAddr, 2, (Adapter*, PUCHAR), status, (adapter, mac_out), (adapter, mac)) \
  X(ULONG, WriteMACAddress, 2, (Adapter*, const UCHAR*), status,                                 \
    (adapter, mac_in), (adapter, mac))                                                           \
  X(ULONG, ReadMACAddress, 2, (Adapter*, PUCHAR), status, (adapter, mac_out), (adapter, mac))    \
  X(ULONG, QueryPermanentAddress, 2, (Adapter*, PUCHAR), status,                                 \
    (adapter, mac_out), (adapter, mac))                                                          \
  X(ULONG, WriteCISData, 3, (Adapter*, const UCHAR*, ULONG), status,                             \
    (adapter, bytes_in, value), (adapter, data, length))                                         \
  X(ULONG, ReadCISData, 3, (Adapter*, PUCHAR, PULONG), status,                                   \
    (adapter, bytes_out, out), (adapter, data, length))                                          \
  X(ULONG, WriteEEpromTxPowerBaseOffset, 3, (Adapter*, ULONG, ULONG), status,                    \
    (adapter, value, value), (adapter, high, low))                                               \
  X(ULONG, ReadEEpromTxPowerBaseOffset, 3, (Adapter*, PUCHAR, PUCHAR), status,                   \
    (adapter, out, out), (adapter, high, low))                                                   \
  /* packet objects and frame I/O */                                                             \
  X(Packet*, PacketAllocatePacket, 1, (Adapter*), packet, (adapter), (adapter))                  \
  X(ULONG, PacketFreePacket, 1, (Packet*), one, (packet), (packet))                              \
  X(ULONG, PacketInitPacket, 3, (Packet*, PVOID, ULONG), one,                                    \
    (packet, buffer, value), (packet, buffer, length))                                           \
  X(ULONG, PacketSendPacket, 3, (Adapter*, Packet*, ULONG), status,                              \
    (adapter, packet, value), (adapter, packet, sync))                                           \
  X(ULONG, PacketWaitPacket, 4, (Adapter*, Packet*, PULONG, ULONG), status,                      \
    (adapter, packet, out, value), (adapter, packet, bytes, wait))                               \
  X(ULONG, PacketReceivePacket, 4, (Adapter*, Packet*, ULONG, PULONG), status,                   \
    (adapter, packet, value, out), (adapter, packet, unused, length))                            \
  X(BOOLEAN, PacketResetAdapter, 1, (Adapter*), bool8, (adapter), (adapter))                     \
  X(BOOLEAN, PacketSetFilter, 2, (Adapter*, ULONG), bool8, (adapter, value), (adapter, filter))  \
  /* packet driver service and adapter discovery */                                              \
  X(ULONG, StartPacketDriver, 2, (LPCWSTR, ULONG), status, (wstr, value), (serviceName, unused)) \
  X(ULONG, StopPacketDriver, 1, (ULONG), one, (value), (unused))                                 \
  X(ULONG, PacketGetAdapterNames, 2, (PVOID, PULONG), status,                                    \
    (bytes_out, inout), (buffer, size))                                                          \
  /* test frames */                                                                              \
  X(ULONG, PKT32XmitOnePacket, 1, (Adapter*), status, (adapter), (adapter))                      \
  X(ULONG, PKT32OFDMContinuousTx, 2, (Adapter*, ULONG), one, (adapter, value), (adapter, start))
// clang-format on

// The first four columns only, for callers that need no more:
// X(result type, name, count, (types)).
#define TALVEN_OPERATIONS(X) TALVEN_OPS_EXPAND_(TALVEN_OPERATION_TABLE(X TALVEN_OPS_FIRST_FOUR_))
#define TALVEN_OPS_FIRST_FOUR_(ret, name, argc, types, result, kinds, names) \
  (ret, name, argc, types)
#define TALVEN_OPS_EXPAND_(x) x
