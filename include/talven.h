/*
 * talven.h - test control of a wireless-LAN adapter in test mode.
 *
 * talven.dll drives the adapter under test (DUT) through its packet protocol driver and its
 * network driver: test mode, radio settings, registers, EEPROM and calibration data, traffic
 * counters and test frames. Every operation uses the stdcall convention and returns a 32-bit
 * integer, 1 for success and 0 for failure, unless its comment says otherwise. Each is
 * exported under its decorated name (_OpenDUT@4) and under the alias VB_OpenDUT.
 *
 * The comment above each operation names its outputs and when they are written: an output
 * "written only when the result is 1" keeps its previous value on failure, one "written
 * whatever the result" then holds what the driver left (often 0), so test the result first.
 * A NULL Adapter, Packet or needed pointer is refused (failure value, nothing sent). Values
 * are passed to the driver unchanged unless a mask is named. docs/reference.md has the details.
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
/* Opens the adapter whose kernel device path (8 to 60 characters, as PacketGetAdapterNames
 * lists it) is given. Returns a new Adapter, or NULL on failure. */
Adapter* WINAPI OpenDUT(LPCWSTR devicePath);
/* Closes the device file and frees the Adapter (1); on failure (0) the Adapter stays yours.
 * Stops the continuous transmission through this adapter first (others go on); waits for it
 * at most about 2 s. */
ULONG WINAPI CloseDUT(Adapter* adapter);

/* ---- Test control and radio configuration ---- */
/* Resets the adapter's test state. No completion wait. */
ULONG WINAPI ResetDUT(Adapter* adapter);
/* Puts the adapter into test mode; waits up to 100 polls for the driver to finish. */
ULONG WINAPI StartTest(Adapter* adapter);
/* Ends test mode. No completion wait. */
ULONG WINAPI StopTest(Adapter* adapter);
/* Data-rate code, passed unchanged (for example 108); waits for completion. */
ULONG WINAPI SetDataRate(Adapter* adapter, ULONG rate);
/* Preamble code, passed unchanged. No completion wait. */
ULONG WINAPI SetPreamble(Adapter* adapter, ULONG preamble);
/* Baseband filter code, passed unchanged. */
ULONG WINAPI SetFilterBB(Adapter* adapter, ULONG filter);
/* Diversity code, passed unchanged. */
ULONG WINAPI SetManualDiversityBB(Adapter* adapter, ULONG diversity);
/* Channel number, passed unchanged; waits for completion. */
ULONG WINAPI SetChannelDirectCall(Adapter* adapter, ULONG channel);
/* Sleep mode. */
ULONG WINAPI SetSleepModeDirectCall(Adapter* adapter);
/* Wake mode. */
ULONG WINAPI SetWakeModeDirectCall(Adapter* adapter);
/* The driver's own continuous transmit, code passed unchanged; waits for completion. */
ULONG WINAPI SetTxContinuousDirectCall(Adapter* adapter, ULONG value);
/* Single-carrier continuous transmit; waits for completion. */
ULONG WINAPI SetSingleCarrierTxContinuous(Adapter* adapter, ULONG value);
/* Carrier-suppression continuous transmit; waits for completion. */
ULONG WINAPI SetCarrierSuppressionTxContinuous(Adapter* adapter, ULONG value);
/* Receive test on (enable nonzero) or off; waits for completion. */
ULONG WINAPI SetPacketRxTest(Adapter* adapter, ULONG enable);
/* Transmit-antenna code, passed unchanged. */
ULONG WINAPI SetTxAntennaBB(Adapter* adapter, ULONG antenna);
/* Antenna code, passed unchanged; waits for completion. */
ULONG WINAPI SetAntennaBB(Adapter* adapter, ULONG antenna);
/* Scrambler code, passed unchanged. */
ULONG WINAPI SetCRScrambler(Adapter* adapter, ULONG scrambler);
/* Transmit-power level, passed unchanged (for example 12); waits for completion. */
ULONG WINAPI SetTxPowerControl(Adapter* adapter, ULONG power);
/* Transmit configuration code, passed unchanged. */
ULONG WINAPI SetCRTxConfig(Adapter* adapter, ULONG config);
/* Modulation code, passed unchanged; waits for completion. */
ULONG WINAPI SetModulation(Adapter* adapter, ULONG modulation);
/* *power: the driver's transmit-power word, written whatever the result (0 after a
 * failed request): use it only when the result is 1. */
ULONG WINAPI GetTxPowerControl(Adapter* adapter, PULONG power);
/* *quality: written whatever the result, as GetTxPowerControl. */
ULONG WINAPI GetCRSignalQuality(Adapter* adapter, PULONG quality);
/* Setpoint code, passed unchanged. */
ULONG WINAPI SetCRSetpoint(Adapter* adapter, ULONG setpoint);
/* Two words, passed unchanged. */
ULONG WINAPI SetIntegrator(Adapter* adapter, ULONG first, ULONG second);
/* Two words, passed unchanged. */
ULONG WINAPI SetSignalQuality(Adapter* adapter, ULONG first, ULONG second);
/* *value: the answer for index, written whatever the result (the index itself after a
 * failed request): use it only when the result is 1. */
ULONG WINAPI GetIntegrator(Adapter* adapter, ULONG index, PULONG value);
/* *value: as GetIntegrator. */
ULONG WINAPI GetSignalQuality(Adapter* adapter, ULONG index, PULONG value);
/* Tuning code, passed unchanged. Returns the low 8 bits of the request's result. */
ULONG WINAPI TunePhilipsRfParameters(Adapter* adapter, ULONG value);
/* Initial-gain code, passed unchanged; waits for completion. */
ULONG WINAPI SetInitialGain(Adapter* adapter, ULONG gain);
/* Baseband and RF standby code, passed unchanged. */
ULONG WINAPI SetBBRFStandbyMode(Adapter* adapter, ULONG standby);
/* Baseband and RF shutdown code, passed unchanged. */
ULONG WINAPI SetBBRFShutdownMode(Adapter* adapter, ULONG shutdown);
/* Transmit charge-pump code, passed unchanged. */
ULONG WINAPI SetTxChargePump(Adapter* adapter, ULONG value);
/* Receive charge-pump code, passed unchanged. */
ULONG WINAPI SetRxChargePump(Adapter* adapter, ULONG value);
/* *rfType: written whatever the result, as GetTxPowerControl. */
ULONG WINAPI QueryRFType(Adapter* adapter, PULONG rfType);
/* Only the low 4 bits of high and low count; waits for completion. */
ULONG WINAPI SetTxPowerBaseOffset(Adapter* adapter, ULONG high, ULONG low);
/* *high, *low: the two 4-bit values (0 to 15), written only when the result is 1. */
ULONG WINAPI GetTxPowerBaseOffset(Adapter* adapter, PUCHAR high, PUCHAR low);

/* ---- Traffic counters ---- */
/* Clears the transmit counter. */
ULONG WINAPI ResetTxPacketSent(Adapter* adapter);
/* *count: frames sent, written whatever the result (0 after a failed request). */
ULONG WINAPI QueryTxPacketSent(Adapter* adapter, PULONG count);
/* Clears the receive counters. */
ULONG WINAPI ResetRxPacketReceived(Adapter* adapter);
/* *count: frames received, written whatever the result (0 after a failed request). */
ULONG WINAPI QueryRxPacketReceived(Adapter* adapter, PULONG count);
/* *count: frames with a CRC32 error, written whatever the result. */
ULONG WINAPI QueryRxPacketCRC32Error(Adapter* adapter, PULONG count);
/* ACK counter on (enable nonzero) or off. */
ULONG WINAPI EnableAckCounter(Adapter* adapter, ULONG enable);
/* Clears the ACK counter. */
ULONG WINAPI ResetAckCounter(Adapter* adapter);
/* *count: the ACK counter, written only when the result is 1. */
ULONG WINAPI GetAckCounter(Adapter* adapter, PULONG count);

/* ---- MAC (width 1, 2 or 4), baseband (bank 0 or 1) and RF registers ---- */
/* width 1, 2 or 4 (else 0, nothing sent); an address with bits 8 to 15 all 0 gets them set. */
ULONG WINAPI WriteRegData(Adapter* adapter, ULONG address, LONG width, ULONG value);
/* *value (may be NULL): the 32-bit word the driver reports, written only when the result is 1. */
ULONG WINAPI ReadRegData(Adapter* adapter, ULONG address, LONG width, PULONG value);
/* selector is passed unchanged. */
ULONG WINAPI RFWriteRegData(Adapter* adapter, ULONG address, ULONG selector, ULONG value);
/* *value (may be NULL): written only when the result is 1. */
ULONG WINAPI RFReadRegData(Adapter* adapter, ULONG address, ULONG selector, PULONG value);
/* bank: low 8 bits, 1 is bank 1, anything else bank 0. */
ULONG WINAPI WriteBBData(Adapter* adapter, ULONG address, ULONG bank, ULONG value);
/* *value (may be NULL): written only when the result is 1. */
ULONG WINAPI ReadBBData(Adapter* adapter, ULONG address, ULONG bank, PULONG value);

/* ---- EEPROM (type 1: 128 bytes, type 2: 256 bytes) ---- */
/* *type: 1 or 2 (or the driver's own code), written whatever the result. */
ULONG WINAPI QueryEEpromType(Adapter* adapter, PULONG type);
/* offset: low 8 bits. *value: the byte, written only when the result is 1. */
ULONG WINAPI ReadEEpromByte(Adapter* adapter, ULONG offset, PUCHAR value);
/* offset and value: low 8 bits. */
ULONG WINAPI WriteEEpromByte(Adapter* adapter, ULONG offset, ULONG value);
/* image: 128 bytes for type 1, 256 for type 2, filled word by word until the first failed
 * word; on failure the bytes from that word on are left as they were. */
ULONG WINAPI ReadEEprom(Adapter* adapter, PUCHAR image, ULONG type);
/* Stops at the first failed word; the words before it stay written. */
ULONG WINAPI WriteEEprom(Adapter* adapter, const UCHAR* image, ULONG type);

/* ---- Transmit power-control table (at least TALVEN_POWER_TABLE_LENGTH bytes) ---- */
/* table: cleared and filled when the chip query succeeds and length >= 74; an entry
 * whose EEPROM read failed is 0. Untouched when the result is 0 before any EEPROM read. */
ULONG WINAPI ReadPowerControl(Adapter* adapter, PUCHAR table, LONG length);
/* Writes every table entry (low 4 bits of the 2.4 GHz bytes); a failed write does not
 * stop the others. */
ULONG WINAPI WritePowerControl(Adapter* adapter, const UCHAR* table, LONG length);

/* ---- Identity and address data ---- */
/* Low 16 bits, stored at EEPROM offset 2 with its bytes exchanged. */
ULONG WINAPI WriteEEpromVid(Adapter* adapter, ULONG vendorId);
/* Low 16 bits, stored at EEPROM offset 4 with its bytes exchanged. */
ULONG WINAPI WriteEEpromDid(Adapter* adapter, ULONG deviceId);
/* The 6 bytes into EEPROM offsets 14 to 19; used from the driver's next load. */
ULONG WINAPI WriteEEpromMacAddr(Adapter* adapter, const UCHAR* mac);
/* mac[6]: the EEPROM copy, written only when the result is 1. */
ULONG WINAPI ReadEEpromMacAddr(Adapter* adapter, PUCHAR mac);
/* The runtime address the driver uses now; the EEPROM copy is unchanged. */
ULONG WINAPI WriteMACAddress(Adapter* adapter, const UCHAR* mac);
/* mac[6]: the runtime address, written only when the result is 1. */
ULONG WINAPI ReadMACAddress(Adapter* adapter, PUCHAR mac);
/* mac[6]: the permanent address, written only when the result is 1. */
ULONG WINAPI QueryPermanentAddress(Adapter* adapter, PUCHAR mac);
/* length bytes of data (data may be NULL when length is 0). */
ULONG WINAPI WriteCISData(Adapter* adapter, const UCHAR* data, ULONG length);
/* data[256], *length: written only when the result is 1; at most 256 bytes. */
ULONG WINAPI ReadCISData(Adapter* adapter, PUCHAR data, PULONG length);
/* EEPROM byte 10 = high << 4 | low (low 4 bits of each). */
ULONG WINAPI WriteEEpromTxPowerBaseOffset(Adapter* adapter, ULONG high, ULONG low);
/* *high, *low: the 4-bit values of EEPROM byte 10, written only when the result is 1. */
ULONG WINAPI ReadEEpromTxPowerBaseOffset(Adapter* adapter, PUCHAR high, PUCHAR low);

/* ---- Packet objects and frame I/O (flags: only the low 8 bits count) ---- */
/* A new Packet with its own event (adapter is not used), or NULL. */
Packet* WINAPI PacketAllocatePacket(Adapter* adapter);
/* Returns 1 (0 for NULL); the caller's buffer is not touched. */
ULONG WINAPI PacketFreePacket(Packet* packet);
/* The packet keeps buffer until it is freed or initialised again. Returns 1 (0 for NULL). */
ULONG WINAPI PacketInitPacket(Packet* packet, PVOID buffer, ULONG length);
/* sync nonzero: waits, returns the write's outcome; else returns 1 once the write is issued. */
ULONG WINAPI PacketSendPacket(Adapter* adapter, Packet* packet, ULONG sync);
/* *bytes: bytes written, once the write has finished; wait nonzero waits for it. */
ULONG WINAPI PacketWaitPacket(Adapter* adapter, Packet* packet, PULONG bytes, ULONG wait);
/* Buffer needs TALVEN_RECEIVE_CAPACITY bytes; *length, Length and the frame bytes are
 * written only when the result is 1. */
ULONG WINAPI PacketReceivePacket(Adapter* adapter, Packet* packet, ULONG unused, PULONG length);
/* 1 when the reset completed within 3000 ms. Only the low 8 bits of the result are defined. */
BOOLEAN WINAPI PacketResetAdapter(Adapter* adapter);
/* The NDIS packet filter, unchanged. Only the low 8 bits of the result are defined. */
BOOLEAN WINAPI PacketSetFilter(Adapter* adapter, ULONG filter);

/* ---- Packet driver service and adapter discovery ---- */
/* Starts the service (1 also when it already runs); a failure shows a modal message box. */
ULONG WINAPI StartPacketDriver(LPCWSTR serviceName, ULONG unused);
/* Does nothing; returns 1. */
ULONG WINAPI StopPacketDriver(ULONG unused);
/* Copies the registry value Linkage "Export" of the NORVAKS service into buffer as stored, type
 * and termination unchecked: the packet driver keeps there UTF-16 device paths, each ended by a
 * NUL, then an empty string, but a value that lacks them is handed on without them, so zero
 * the buffer first. *size: the buffer's bytes in, the value's bytes out, also when the buffer
 * was too small (its contents are then not to be used); buffer NULL asks for the size only.
 * Both are left alone when the key or the value is missing. */
ULONG WINAPI PacketGetAdapterNames(PVOID buffer, PULONG size);

/* ---- Test frames ---- */
/* Sends one 1400-byte test frame, then pauses 500 ms; 1 even when the write failed. */
ULONG WINAPI PKT32XmitOnePacket(Adapter* adapter);
/* start nonzero (low 8 bits): the worker sends test frames until a call with 0. One run
 * flag per process: a stop ends the workers of every adapter, waiting at most about 2 s. */
ULONG WINAPI PKT32OFDMContinuousTx(Adapter* adapter, ULONG start);

#ifdef __cplusplus
}
#endif

#endif /* TALVEN_H */
