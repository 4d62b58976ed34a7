/*
 * talven.h - test control of a wireless-LAN adapter in test mode.
 *
 * talven.dll drives the adapter under test (DUT) through its packet protocol driver and its
 * network driver: test mode, radio settings, registers, EEPROM and calibration data, traffic
 * counters and test frames. Every operation uses the stdcall convention and returns a 32-bit
 * integer, 1 for success and 0 for failure, unless its comment says otherwise. Each is
 * exported under its decorated name (_OpenDUT@4) and under the alias VB_OpenDUT.
 *
 * Usable from C and C++. On Windows it includes the system <windows.h>; on Linux the same
 * name resolves to the project's Win32 subset, which runs the library against a simulated
 * adapter.
 */
#ifndef TALVEN_H
#define TALVEN_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Length of Adapter.DeviceName in UTF-16 code units. */
#define TALVEN_DEVICE_NAME_LENGTH 64
/* A device path passed to OpenDUT is 8 to 60 characters long. */
#define TALVEN_MIN_DEVICE_PATH 8
#define TALVEN_MAX_DEVICE_PATH 60
/* Size of the fixed test frame of PKT32XmitOnePacket and PKT32OFDMContinuousTx. */
#define TALVEN_TEST_FRAME_LENGTH 1400
/* Capacity a Packet buffer needs for PacketReceivePacket. */
#define TALVEN_RECEIVE_CAPACITY 2000
/* Minimum size of a PowerControlTable buffer. */
#define TALVEN_POWER_TABLE_LENGTH 74
/* Capacity of the buffer of ReadCISData. */
#define TALVEN_CIS_CAPACITY 256

/* An open adapter: returned by OpenDUT, released by a successful CloseDUT. */
typedef struct Adapter {
  HANDLE Handle;                               /* device file, opened for overlapped I/O */
  WCHAR DeviceName[TALVEN_DEVICE_NAME_LENGTH]; /* "\\.\Packet_..."; from [4] the DOS name */
} Adapter;

/* A frame descriptor: returned by PacketAllocatePacket, released by PacketFreePacket. */
typedef struct Packet {
  DWORD Reserved;
  OVERLAPPED Overlapped; /* hEvent is the packet's own auto-reset event */
  PVOID Buffer;          /* the caller's frame bytes; never owned by the packet */
  DWORD Length;          /* bytes to send, or bytes received */
} Packet;

/* ---- Adapter open and close ---- */
Adapter* WINAPI OpenDUT(LPCWSTR devicePath);
ULONG WINAPI CloseDUT(Adapter* adapter);

/* ---- Test control and radio configuration ---- */
ULONG WINAPI ResetDUT(Adapter* adapter);
ULONG WINAPI StartTest(Adapter* adapter);
ULONG WINAPI StopTest(Adapter* adapter);
ULONG WINAPI SetDataRate(Adapter* adapter, ULONG rate);
ULONG WINAPI SetPreamble(Adapter* adapter, ULONG preamble);
ULONG WINAPI SetFilterBB(Adapter* adapter, ULONG filter);
ULONG WINAPI SetManualDiversityBB(Adapter* adapter, ULONG diversity);
ULONG WINAPI SetChannelDirectCall(Adapter* adapter, ULONG channel);
ULONG WINAPI SetSleepModeDirectCall(Adapter* adapter);
ULONG WINAPI SetWakeModeDirectCall(Adapter* adapter);
ULONG WINAPI SetTxContinuousDirectCall(Adapter* adapter, ULONG value);
ULONG WINAPI SetSingleCarrierTxContinuous(Adapter* adapter, ULONG value);
ULONG WINAPI SetCarrierSuppressionTxContinuous(Adapter* adapter, ULONG value);
ULONG WINAPI SetPacketRxTest(Adapter* adapter, ULONG enable);
ULONG WINAPI SetTxAntennaBB(Adapter* adapter, ULONG antenna);
ULONG WINAPI SetAntennaBB(Adapter* adapter, ULONG antenna);
ULONG WINAPI SetCRScrambler(Adapter* adapter, ULONG scrambler);
ULONG WINAPI SetTxPowerControl(Adapter* adapter, ULONG power);
ULONG WINAPI SetCRTxConfig(Adapter* adapter, ULONG config);
ULONG WINAPI SetModulation(Adapter* adapter, ULONG modulation);
ULONG WINAPI GetTxPowerControl(Adapter* adapter, PULONG power);
ULONG WINAPI GetCRSignalQuality(Adapter* adapter, PULONG quality);
ULONG WINAPI SetCRSetpoint(Adapter* adapter, ULONG setpoint);
ULONG WINAPI SetIntegrator(Adapter* adapter, ULONG first, ULONG second);
ULONG WINAPI SetSignalQuality(Adapter* adapter, ULONG first, ULONG second);
ULONG WINAPI GetIntegrator(Adapter* adapter, ULONG index, PULONG value);
ULONG WINAPI GetSignalQuality(Adapter* adapter, ULONG index, PULONG value);
/* Returns the low 8 bits of the request's result. */
ULONG WINAPI TunePhilipsRfParameters(Adapter* adapter, ULONG value);
ULONG WINAPI SetInitialGain(Adapter* adapter, ULONG gain);
ULONG WINAPI SetBBRFStandbyMode(Adapter* adapter, ULONG standby);
ULONG WINAPI SetBBRFShutdownMode(Adapter* adapter, ULONG shutdown);
ULONG WINAPI SetTxChargePump(Adapter* adapter, ULONG value);
ULONG WINAPI SetRxChargePump(Adapter* adapter, ULONG value);
ULONG WINAPI QueryRFType(Adapter* adapter, PULONG rfType);
/* Only the low 4 bits of high and low count. */
ULONG WINAPI SetTxPowerBaseOffset(Adapter* adapter, ULONG high, ULONG low);
ULONG WINAPI GetTxPowerBaseOffset(Adapter* adapter, PUCHAR high, PUCHAR low);

/* ---- Traffic counters ---- */
ULONG WINAPI ResetTxPacketSent(Adapter* adapter);
ULONG WINAPI QueryTxPacketSent(Adapter* adapter, PULONG count);
ULONG WINAPI ResetRxPacketReceived(Adapter* adapter);
ULONG WINAPI QueryRxPacketReceived(Adapter* adapter, PULONG count);
ULONG WINAPI QueryRxPacketCRC32Error(Adapter* adapter, PULONG count);
ULONG WINAPI EnableAckCounter(Adapter* adapter, ULONG enable);
ULONG WINAPI ResetAckCounter(Adapter* adapter);
ULONG WINAPI GetAckCounter(Adapter* adapter, PULONG count);

/* ---- MAC (width 1, 2 or 4), baseband (bank 0 or 1) and RF registers ---- */
ULONG WINAPI WriteRegData(Adapter* adapter, ULONG address, LONG width, ULONG value);
ULONG WINAPI ReadRegData(Adapter* adapter, ULONG address, LONG width, PULONG value);
ULONG WINAPI RFWriteRegData(Adapter* adapter, ULONG address, ULONG selector, ULONG value);
ULONG WINAPI RFReadRegData(Adapter* adapter, ULONG address, ULONG selector, PULONG value);
ULONG WINAPI WriteBBData(Adapter* adapter, ULONG address, ULONG bank, ULONG value);
ULONG WINAPI ReadBBData(Adapter* adapter, ULONG address, ULONG bank, PULONG value);

/* ---- EEPROM (type 1: 128 bytes, type 2: 256 bytes) ---- */
ULONG WINAPI QueryEEpromType(Adapter* adapter, PULONG type);
ULONG WINAPI ReadEEpromByte(Adapter* adapter, ULONG offset, PUCHAR value);
ULONG WINAPI WriteEEpromByte(Adapter* adapter, ULONG offset, ULONG value);
ULONG WINAPI ReadEEprom(Adapter* adapter, PUCHAR image, ULONG type);
ULONG WINAPI WriteEEprom(Adapter* adapter, const UCHAR* image, ULONG type);

/* ---- Transmit power-control table (at least TALVEN_POWER_TABLE_LENGTH bytes) ---- */
ULONG WINAPI ReadPowerControl(Adapter* adapter, PUCHAR table, LONG length);
ULONG WINAPI WritePowerControl(Adapter* adapter, const UCHAR* table, LONG length);

/* ---- Identity and address data ---- */
ULONG WINAPI WriteEEpromVid(Adapter* adapter, ULONG vendorId);
ULONG WINAPI WriteEEpromDid(Adapter* adapter, ULONG deviceId);
ULONG WINAPI WriteEEpromMacAddr(Adapter* adapter, const UCHAR* mac);
ULONG WINAPI ReadEEpromMacAddr(Adapter* adapter, PUCHAR mac);
ULONG WINAPI WriteMACAddress(Adapter* adapter, const UCHAR* mac);
ULONG WINAPI ReadMACAddress(Adapter* adapter, PUCHAR mac);
ULONG WINAPI QueryPermanentAddress(Adapter* adapter, PUCHAR mac);
ULONG WINAPI WriteCISData(Adapter* adapter, const UCHAR* data, ULONG length);
ULONG WINAPI ReadCISData(Adapter* adapter, PUCHAR data, PULONG length);
ULONG WINAPI WriteEEpromTxPowerBaseOffset(Adapter* adapter, ULONG high, ULONG low);
ULONG WINAPI ReadEEpromTxPowerBaseOffset(Adapter* adapter, PUCHAR high, PUCHAR low);

/* ---- Packet objects and frame I/O (flags: only the low 8 bits count) ---- */
Packet* WINAPI PacketAllocatePacket(Adapter* adapter);
ULONG WINAPI PacketFreePacket(Packet* packet);
ULONG WINAPI PacketInitPacket(Packet* packet, PVOID buffer, ULONG length);
ULONG WINAPI PacketSendPacket(Adapter* adapter, Packet* packet, ULONG sync);
ULONG WINAPI PacketWaitPacket(Adapter* adapter, Packet* packet, PULONG bytes, ULONG wait);
ULONG WINAPI PacketReceivePacket(Adapter* adapter, Packet* packet, ULONG unused, PULONG length);
/* These two return an 8-bit boolean: only the low 8 bits of the result are defined. */
BOOLEAN WINAPI PacketResetAdapter(Adapter* adapter);
BOOLEAN WINAPI PacketSetFilter(Adapter* adapter, ULONG filter);

/* ---- Packet driver service and adapter discovery ---- */
ULONG WINAPI StartPacketDriver(LPCWSTR serviceName, ULONG unused);
ULONG WINAPI StopPacketDriver(ULONG unused);
ULONG WINAPI PacketGetAdapterNames(PVOID buffer, PULONG size);

/* ---- Test frames ---- */
ULONG WINAPI PKT32XmitOnePacket(Adapter* adapter);
ULONG WINAPI PKT32OFDMContinuousTx(Adapter* adapter, ULONG start);

#ifdef __cplusplus
}
#endif

#endif /* TALVEN_H */
