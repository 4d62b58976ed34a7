// The virtual adapter's control device: how a test harness (or a developer on a test PC)
// scripts the kernel-mode virtual adapter and reads back what it received. This is not part of
// the packet driver's contract with talven; talven never opens this device.
//
// The control device is \Device\TalvenVirtualAdapterControl with the DOS name
// TalvenVirtualAdapterControl, so user mode opens \\.\TalvenVirtualAdapterControl; only
// SYSTEM and members of Administrators may open it (its security descriptor), and nothing
// below it. Every control code is buffered (METHOD_BUFFERED, FILE_ANY_ACCESS, device type
// 0x8001) and completes at once. All records are little-endian, fixed size, naturally aligned
// (driver and harness are built by the same compiler for the same architecture). A record whose
// size or values are out of range is refused with STATUS_INVALID_PARAMETER, and changes nothing.
#pragma once

#include <cstdint>

namespace talven::vadapter {

constexpr char16_t kControlDeviceName[] = u"\\Device\\TalvenVirtualAdapterControl";
constexpr char16_t kControlDosName[] = u"\\DosDevices\\TalvenVirtualAdapterControl";
constexpr char16_t kControlUserPath[] = u"\\\\.\\TalvenVirtualAdapterControl";
// The adapter device the driver creates, and lists in its service key's Linkage "Export".
constexpr char16_t kAdapterDevicePath[] =
    u"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";

constexpr uint32_t kControlDeviceType = 0x8001;
constexpr uint32_t control_code(uint32_t function) {
  return (kControlDeviceType << 16) | (function << 2);  // METHOD_BUFFERED, FILE_ANY_ACCESS
}

// ---- Control codes: input record -> output record ----
// Back to the power-on state: factory EEPROM, default registers and addresses, no faults, all
// completions at once, logs empty; held requests are completed with their current error first.
constexpr uint32_t CTL_RESET = control_code(0x800);           // ResetConfig -> none
constexpr uint32_t CTL_ADD_FAULT = control_code(0x801);       // FaultRecord -> none
constexpr uint32_t CTL_CLEAR_FAULTS = control_code(0x802);    // none -> none
constexpr uint32_t CTL_SET_COMPLETION = control_code(0x803);  // CompletionRecord -> none
constexpr uint32_t CTL_RELEASE_HELD = control_code(0x804);    // ReleaseRecord -> uint32 released
constexpr uint32_t CTL_GET_STATE = control_code(0x805);       // none -> StateRecord
constexpr uint32_t CTL_READ_REQUESTS = control_code(0x806);   // uint32 first -> RequestPage
                                                              // (first: up to the total logged)
constexpr uint32_t CTL_CLEAR_REQUESTS = control_code(0x807);  // none -> none
constexpr uint32_t CTL_READ_FRAMES = control_code(0x808);     // none -> FramePage
constexpr uint32_t CTL_READ_EEPROM = control_code(0x809);     // none -> EepromRecord
constexpr uint32_t CTL_WRITE_EEPROM = control_code(0x80A);    // EepromRecord -> none
constexpr uint32_t CTL_SET_QUERY_WORD = control_code(0x80B);  // WordRecord -> none
constexpr uint32_t CTL_QUEUE_RX_FRAME = control_code(0x80C);  // FrameRecord -> none
constexpr uint32_t CTL_SET_REGISTER = control_code(0x80D);    // RegisterRecord -> none
constexpr uint32_t CTL_GET_REGISTER = control_code(0x80E);    // RegisterRecord -> RegisterRecord
constexpr uint32_t CTL_SET_ADDRESSES = control_code(0x80F);   // AddressRecord -> none

// The limits of the values a record may carry.
constexpr uint32_t kMaxCompletionPolls = 1000000;  // ResetConfig.completion_polls
constexpr uint32_t kMaxDelayUs = 60000000;         // CompletionRecord.delay_us: 60 s
// A status a request is completed with (CompletionRecord.error, ReleaseRecord.error) is 0
// (success) or a warning or error status (its top bit set); anything else, STATUS_PENDING
// above all, no request may be completed with.
constexpr bool valid_completion_status(uint32_t status) {
  return status == 0 || (status & 0x80000000u) != 0;
}

struct ResetConfig {
  uint32_t eeprom_type;       // 1: 128 bytes, 2: 256 bytes
  uint32_t chip_variant;      // reported in Param[2] of the chip information answer
  uint32_t completion_polls;  // status polls that read "busy" before a command finishes
  uint32_t rf_type;
};

// One scripted fault, as the simulated adapter's faults.
enum FaultMode : uint32_t {
  kFailRequest = 0,     // the OID request fails (STATUS_UNSUCCESSFUL)
  kNeverComplete = 1,   // accepted; its command never finishes
  kWrongCommandId = 2,  // the command finishes under another CommandId
  kFailAndAnswer = 3,   // fails, with its answer written anyway
  kResultWord = 4,      // finishes reporting `result` as its result word
};
struct FaultRecord {
  uint32_t oid;            // one the adapter answers
  uint32_t mode;           // FaultMode
  uint32_t match_address;  // 1: only requests for `address`; 0: all
  uint32_t address;
  int32_t remaining;  // matching requests it hits; -1 = all
  uint32_t result;
};

// How requests of one kind complete from now on.
enum CompletionTarget : uint32_t { kOidRequests = 0, kWrites = 1, kResets = 2, kCancels = 3 };
enum CompletionKind : uint32_t {
  kNow = 0,      // completed in the dispatch routine
  kLater = 1,    // pended, completed by a timer after delay_us
  kNever = 2,    // pended until cancelled (or forever, for kCancels: the cancel is ignored)
  kRefused = 3,  // failed at once with `error`, never started
  kHeld = 4,     // pended until CTL_RELEASE_HELD
};
struct CompletionRecord {
  uint32_t target;    // CompletionTarget
  uint32_t kind;      // CompletionKind
  uint32_t error;     // NTSTATUS the request completes with; 0 = STATUS_SUCCESS
  uint32_t delay_us;  // kLater; at most kMaxDelayUs
  int32_t count;      // kOidRequests: how many requests it applies to; -1 = all
};

struct ReleaseRecord {
  uint32_t count;  // oldest first; 0xFFFFFFFF = all
  uint32_t error;  // NTSTATUS to complete them with; 0 = their own status
};

struct StateRecord {
  uint32_t held;     // requests held now
  uint32_t pending;  // requests pended for any reason (held, later, never) and not yet completed
  uint32_t test_mode;
  uint32_t rx_test;
  uint32_t reset_dut_count;
  uint32_t adapter_resets;
  uint32_t tx_sent, rx_received, rx_crc_errors, ack, ack_enabled;
  uint32_t packet_filter;
  uint8_t mac_address[8];        // 6 used
  uint8_t permanent_address[8];  // 6 used
  uint32_t cis_length;
  uint8_t cis[256];
  uint64_t frames_written;
  uint32_t all_frames_identical;
  uint32_t requests_logged;  // total since the last clear (the log keeps the newest ones)
  uint32_t opens, closes;    // IRP_MJ_CREATE / IRP_MJ_CLOSE on the adapter device
  uint32_t cancels;          // cancel routines run
  // The control device's DACL as the object manager reports it back: its entries, and which
  // grants it holds (kGrants... bits).
  uint32_t control_aces;
  uint32_t control_grants;
};
// control_grants: SYSTEM and Administrators each allowed all access; kGrantsOthers for any
// other entry (another SID, less access, a deny entry) or a missing DACL.
constexpr uint32_t kGrantsSystem = 1;
constexpr uint32_t kGrantsAdministrators = 2;
constexpr uint32_t kGrantsOthers = 4;

// One request as the adapter device received it: the control code and the first bytes of its
// input, which covers the whole OidData record (303 + Length bytes; Length up to 256 here).
constexpr uint32_t kLoggedBytes = 560;
struct RequestEntry {
  uint32_t sequence;  // 0, 1, 2, ... since the last clear
  uint32_t code;
  uint32_t in_size;
  uint32_t out_size;
  uint8_t bytes[kLoggedBytes];  // min(in_size, kLoggedBytes) valid
};
constexpr uint32_t kRequestsPerPage = 16;
struct RequestPage {
  uint32_t total;  // requests logged since the last clear
  uint32_t first;  // sequence of entries[0]
  uint32_t count;  // valid entries
  uint32_t reserved;
  RequestEntry entries[kRequestsPerPage];
};

constexpr uint32_t kFrameCapacity = 1536;
constexpr uint32_t kFramesKept = 4;
struct FrameEntry {
  uint32_t size;
  uint32_t reserved;
  uint64_t offset;  // the write's byte offset (OVERLAPPED Offset/OffsetHigh)
  uint8_t bytes[kFrameCapacity];
};
struct FramePage {
  uint64_t frames_written;
  uint32_t count;  // newest last
  uint32_t all_identical;
  FrameEntry frames[kFramesKept];
};

struct EepromRecord {
  uint32_t type;  // 1: 128 bytes, 2: 256 bytes
  uint32_t reserved;
  uint8_t image[256];
};

struct WordRecord {
  uint32_t oid;  // every query of `oid` answers `value` in Param[0]
  uint32_t value;
};

struct FrameRecord {
  uint32_t size;
  uint32_t reserved;
  uint8_t bytes[kFrameCapacity];
};

enum RegisterFile : uint32_t { kMacRegisters = 0, kBbBank0 = 1, kBbBank1 = 2, kRfRegisters = 3 };
struct RegisterRecord {
  uint32_t file;  // RegisterFile
  uint32_t address;
  uint32_t value;
};

struct AddressRecord {
  uint8_t mac_address[8];  // 6 used: the runtime address
  uint8_t permanent_address[8];
};

}  // namespace talven::vadapter
