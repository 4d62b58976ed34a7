// The exported operations, one line each: result type, name, argument count, argument types.
// This list drives the VB_ alias entry points (aliases.cpp), the module-definition file that the
// build generates from it (cmake/ModuleDefinition.cmake) and the export checks of the tests.
// Every argument occupies one 32-bit stack slot, so the decorated name is _Name@(4 * count).
#pragma once

// clang-format off
#define TALVEN_OPERATIONS(X)                                                                  \
  /* adapter open and close */                                                                \
  X(Adapter*, OpenDUT, 1, (LPCWSTR))                                                          \
  X(ULONG, CloseDUT, 1, (Adapter*))                                                           \
  /* test control and radio configuration */                                                  \
  X(ULONG, ResetDUT, 1, (Adapter*))                                                           \
  X(ULONG, StartTest, 1, (Adapter*))                                                          \
  X(ULONG, StopTest, 1, (Adapter*))                                                           \
  X(ULONG, SetDataRate, 2, (Adapter*, ULONG))                                                 \
  X(ULONG, SetPreamble, 2, (Adapter*, ULONG))                                                 \
  X(ULONG, SetFilterBB, 2, (Adapter*, ULONG))                                                 \
  X(ULONG, SetManualDiversityBB, 2, (Adapter*, ULONG))                                        \
  X(ULONG, SetChannelDirectCall, 2, (Adapter*, ULONG))                                        \
  X(ULONG, SetSleepModeDirectCall, 1, (Adapter*))                                             \
  X(ULONG, SetWakeModeDirectCall, 1, (Adapter*))                                              \
  X(ULONG, SetTxContinuousDirectCall, 2, (Adapter*, ULONG))                                   \
  X(ULONG, SetSingleCarrierTxContinuous, 2, (Adapter*, ULONG))                                \
  X(ULONG, SetCarrierSuppressionTxContinuous, 2, (Adapter*, ULONG))                           \
  X(ULONG, SetPacketRxTest, 2, (Adapter*, ULONG))                                             \
  X(ULONG, SetTxAntennaBB, 2, (Adapter*, ULONG))                                              \
  X(ULONG, SetAntennaBB, 2, (Adapter*, ULONG))                                                \
  X(ULONG, SetCRScrambler, 2, (Adapter*, ULONG))                                              \
  X(ULONG, SetTxPowerControl, 2, (Adapter*, ULONG))                                           \
  X(ULONG, SetCRTxConfig, 2, (Adapter*, ULONG))                                               \
  X(ULONG, SetModulation, 2, (Adapter*, ULONG))                                               \
  X(ULONG, GetTxPowerControl, 2, (Adapter*, PULONG))                                          \
  X(ULONG, GetCRSignalQuality, 2, (Adapter*, PULONG))                                         \
  X(ULONG, SetCRSetpoint, 2, (Adapter*, ULONG))                                               \
  X(ULONG, SetIntegrator, 3, (Adapter*, ULONG, ULONG))                                        \
  X(ULONG, SetSignalQuality, 3, (Adapter*, ULONG, ULONG))                                     \
  X(ULONG, GetIntegrator, 3, (Adapter*, ULONG, PULONG))                                       \
  X(ULONG, GetSignalQuality, 3, (Adapter*, ULONG, PULONG))                                    \
  X(ULONG, TunePhilipsRfParameters, 2, (Adapter*, ULONG))                                     \
  X(ULONG, SetInitialGain, 2, (Adapter*, ULONG))                                              \
  X(ULONG, SetBBRFStandbyMode, 2, (Adapter*, ULONG))                                          \
  X(ULONG, SetBBRFShutdownMode, 2, (Adapter*, ULONG))                                         \
  X(ULONG, SetTxChargePump, 2, (Adapter*, ULONG))                                             \
  X(ULONG, SetRxChargePump, 2, (Adapter*, ULONG))                                             \
  X(ULONG, QueryRFType, 2, (Adapter*, PULONG))                                                \
  X(ULONG, SetTxPowerBaseOffset, 3, (Adapter*, ULONG, ULONG))                                 \
  X(ULONG, GetTxPowerBaseOffset, 3, (Adapter*, PUCHAR, PUCHAR))                               \
  /* traffic counters */                                                                      \
  X(ULONG, ResetTxPacketSent, 1, (Adapter*))                                                  \
  X(ULONG, QueryTxPacketSent, 2, (Adapter*, PULONG))                                          \
  X(ULONG, ResetRxPacketReceived, 1, (Adapter*))                                              \
  X(ULONG, QueryRxPacketReceived, 2, (Adapter*, PULONG))                                      \
  X(ULONG, QueryRxPacketCRC32Error, 2, (Adapter*, PULONG))                                    \
  X(ULONG, EnableAckCounter, 2, (Adapter*, ULONG))                                            \
  X(ULONG, ResetAckCounter, 1, (Adapter*))                                                    \
  X(ULONG, GetAckCounter, 2, (Adapter*, PULONG))                                              \
  /* MAC, baseband and RF registers */                                                        \
  X(ULONG, WriteRegData, 4, (Adapter*, ULONG, LONG, ULONG))                                   \
  X(ULONG, ReadRegData, 4, (Adapter*, ULONG, LONG, PULONG))                                   \
  X(ULONG, RFWriteRegData, 4, (Adapter*, ULONG, ULONG, ULONG))                                \
  X(ULONG, RFReadRegData, 4, (Adapter*, ULONG, ULONG, PULONG))                                \
  X(ULONG, WriteBBData, 4, (Adapter*, ULONG, ULONG, ULONG))                                   \
  X(ULONG, ReadBBData, 4, (Adapter*, ULONG, ULONG, PULONG))                                  \
  /* EEPROM access */                                                                          \
  X(ULONG, QueryEEpromType, 2, (Adapter*, PULONG))                                            \
  X(ULONG, ReadEEpromByte, 3, (Adapter*, ULONG, PUCHAR))                                      \
  X(ULONG, WriteEEpromByte, 3, (Adapter*, ULONG, ULONG))                                      \
  X(ULONG, ReadEEprom, 3, (Adapter*, PUCHAR, ULONG))                                          \
  X(ULONG, WriteEEprom, 3, (Adapter*, const UCHAR*, ULONG))                                   \
  /* transmit power-control table */                                                          \
  X(ULONG, ReadPowerControl, 3, (Adapter*, PUCHAR, LONG))                                     \
  X(ULONG, WritePowerControl, 3, (Adapter*, const UCHAR*, LONG))                              \
  /* identity and address data */                                                             \
  X(ULONG, WriteEEpromVid, 2, (Adapter*, ULONG))                                              \
  X(ULONG, WriteEEpromDid, 2, (Adapter*, ULONG))                                              \
  X(ULONG, WriteEEpromMacAddr, 2, (Adapter*, const UCHAR*))                                   \
  X(ULONG, ReadEEpromMacAddr, 2, (Adapter*, PUCHAR))                                          \
  X(ULONG, WriteMACAddress, 2, (Adapter*, const UCHAR*))                                      \
  X(ULONG, ReadMACAddress, 2, (Adapter*, PUCHAR))                                             \
  X(ULONG, QueryPermanentAddress, 2, (Adapter*, PUCHAR))                                      \
  X(ULONG, WriteCISData, 3, (Adapter*, const UCHAR*, ULONG))                                  \
  X(ULONG, ReadCISData, 3, (Adapter*, PUCHAR, PULONG))                                        \
  X(ULONG, WriteEEpromTxPowerBaseOffset, 3, (Adapter*, ULONG, ULONG))                         \
  X(ULONG, ReadEEpromTxPowerBaseOffset, 3, (Adapter*, PUCHAR, PUCHAR))                        \
  /* packet objects and frame I/O */                                                          \
  X(Packet*, PacketAllocatePacket, 1, (Adapter*))                                             \
  X(ULONG, PacketFreePacket, 1, (Packet*))                                                    \
  X(ULONG, PacketInitPacket, 3, (Packet*, PVOID, ULONG))                                      \
  X(ULONG, PacketSendPacket, 3, (Adapter*, Packet*, ULONG))                                   \
  X(ULONG, PacketWaitPacket, 4, (Adapter*, Packet*, PULONG, ULONG))                           \
  X(ULONG, PacketReceivePacket, 4, (Adapter*, Packet*, ULONG, PULONG))                        \
  X(BOOLEAN, PacketResetAdapter, 1, (Adapter*))                                               \
  X(BOOLEAN, PacketSetFilter, 2, (Adapter*, ULONG))                                           \
  /* packet driver service and adapter discovery */                                           \
  X(ULONG, StartPacketDriver, 2, (LPCWSTR, ULONG))                                            \
  X(ULONG, StopPacketDriver, 1, (ULONG))                                                      \
  X(ULONG, PacketGetAdapterNames, 2, (PVOID, PULONG))                                         \
  /* test frames */                                                                           \
  X(ULONG, PKT32XmitOnePacket, 1, (Adapter*))                                                 \
  X(ULONG, PKT32OFDMContinuousTx, 2, (Adapter*, ULONG))
// clang-format on
