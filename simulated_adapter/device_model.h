// The device model of the simulated wireless-LAN adapter: the part of the adapter that answers
// the packet driver's requests. It knows every vendor OID talven sends, runs the asynchronous
// commands and reports them through the command status, keeps register files, the EEPROM
// image (128 or 256 bytes), counters, addresses, CIS data and a queue of received frames, and
// logs what it received in bounded logs (the newest requests with their first bytes, the
// newest frames written).
//
// Portable enough for a kernel driver: no OS calls, no exceptions, no RTTI, no allocation (all
// state is fixed size, inside the object), no global constructors, trivially destructible.
// Freestanding C++17; the only library calls the compiled code makes are memcpy, memset,
// memcmp and memmove. Not thread safe: every host serialises its calls with its own lock (a
// mutex on Linux, a spin lock in a kernel driver; no call blocks or waits).
//
// Hosts: simadapter::SimulatedAdapter (Linux: the Win32 subset's device file) and the
// kernel-mode virtual adapter (virtual_adapter/). The object is large (see kModelBytes); a
// kernel host places it in non-paged pool with placement new:
//   void* p = ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceModel), tag);
//   DeviceModel* model = new (p) DeviceModel(config);   // <new>; nothing to destroy
//
// ---- What a kernel host calls for each IRP on the adapter device ----
// (all under the host's lock; "error" values of Completion are chosen by the host: Win32 error
// codes on Linux, NTSTATUS values in a kernel driver; 0 means success)
//
// IRP_MJ_DEVICE_CONTROL, IOCTL_OID_SET / IOCTL_OID_QUERY (METHOD_BUFFERED):
//   OidAnswer a = model.answer_oid(code, Irp->AssociatedIrp.SystemBuffer,
//                                  InputBufferLength, OutputBufferLength);
//   The system buffer holds the input and receives the answer in place (it must have room for
//   max(in, out) bytes, as the I/O manager allocates it). Every request is logged, also a
//   malformed one (code other than the two OID codes, sizes below the record head) which then
//   fails with nothing written.
//   a.ok            the driver completed it successfully;
//   a.out_bytes     bytes of the answer to hand back (IoStatus.Information);
//   a.completion    how the IRP completes:
//     Now      complete in the dispatch routine: ok -> STATUS_SUCCESS, Information out_bytes;
//              !ok && out_bytes > 0 -> a warning status (STATUS_BUFFER_OVERFLOW) so that the
//              I/O manager copies the answer back and the call still fails; !ok && out_bytes
//              == 0 -> STATUS_UNSUCCESSFUL, Information 0.
//     Refused  fail at once with completion.error (STATUS_UNSUCCESSFUL when 0), Information 0.
//              (The model has already answered and logged it.)
//     Later    pend; complete after completion.delay_us with the status chosen as for Now.
//     Held     pend until the harness releases it; then as for Now unless the release names
//              an error of its own.
//     Never    pend until cancelled (see cancel below).
//   The answer is already in the system buffer when answer_oid returns, whatever the
//   completion; a pended IRP keeps it there until it completes.
//   (answer_oid is oid_request followed by oid_completion; a host may call them separately.)
//
// IRP_MJ_DEVICE_CONTROL, IOCTL_ADAPTER_RESET:
//   Completion c = model.reset();   // logged and counted; complete as c says (Now: at once
//                                   // with c.error; Later/Held/Never: pend, with a cancel
//                                   // routine; Refused: fail at once)
//
// IRP_MJ_WRITE (a frame):
//   Completion c = model.write_issued();
//   Now with error 0: call model.frame_sent(bytes, length, ByteOffset) and complete with
//   Information = length. Refused (or Now with an error): fail with c.error, Information 0,
//   nothing sent. Later / Held: pend; when it completes successfully, call frame_sent with the
//   bytes the caller's buffer holds at that moment (a driver that maps the caller's pages sends
//   what is there then). Never: pend until cancelled. frame_sent counts the frame (tx_sent, and
//   the ACK counter while it is enabled) and keeps it in the frame log.
//
// Cancel routine of a pended IRP:
//   Completion c = model.cancel_completion();
//   Now (or Refused): complete the IRP now with c.error, STATUS_CANCELLED when 0;
//   Later: complete it after c.delay_us; Never / Held: ignore the cancel (the IRP stays pended
//   until the harness releases it or the driver unloads).
//
// ---- What a control device needs (virtual_adapter/control_protocol.h) ----
//   CTL_RESET           power_on(config) with a Config whose eeprom_type, chip_variant,
//                       completion_polls and rf_type come from ResetConfig (the rest left at
//                       its defaults), then load_factory_eeprom(). Complete held IRPs first.
//   CTL_ADD_FAULT       add_fault(Fault{...}) (false: the fault table is full)
//   CTL_CLEAR_FAULTS    clear_faults()
//   CTL_SET_COMPLETION  set_oid_completion(c, count) / set_write_completion(c) /
//                       set_reset_completion(c) / set_cancel_completion(c)
//   CTL_GET_STATE       test_mode(), rx_test_running(), reset_count(), adapter_resets(),
//                       counters(), packet_filter(), mac_address(), permanent_address(),
//                       cis() / cis_size(), frames_written(), all_frames_identical(),
//                       requests_logged()
//   CTL_READ_REQUESTS   requests_logged(), oldest_logged(), logged_request(sequence)
//                       (LoggedRequest has RequestEntry's layout: one memcpy each)
//   CTL_CLEAR_REQUESTS  clear_requests()
//   CTL_READ_FRAMES     frames_written(), frames_kept(), frame(i) (oldest first, newest last),
//                       all_frames_identical()
//   CTL_READ_EEPROM     eeprom_type(), eeprom(), eeprom_size()
//   CTL_WRITE_EEPROM    set_eeprom(image, type == 1 ? 128 : 256)
//   CTL_SET_QUERY_WORD  set_query_word(oid, value)
//   CTL_QUEUE_RX_FRAME  queue_received_frame(bytes, size) (false: the queue is full)
//   CTL_SET_REGISTER    set_register(RegisterFile(file), address, value)
//   CTL_GET_REGISTER    register_value(RegisterFile(file), address)
//   CTL_SET_ADDRESSES   set_mac_address(mac), set_permanent_address(permanent)
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver_contract/driver_contract.h"

namespace simadapter {

// ---- Capacities of the fixed-size state ----
constexpr uint32_t kLoggedRequestBytes = 560;   // input bytes kept of each logged request
constexpr uint32_t kRequestLogEntries = 1024;   // newest requests kept
constexpr uint32_t kFramesKept = 16;            // newest frames written kept
constexpr uint32_t kFrameBytes = 2400;          // bytes kept of each frame (sent or queued)
constexpr uint32_t kReceivedFramesQueued = 16;  // received frames waiting to be read
constexpr uint32_t kRegisterSlots = 1024;       // distinct register addresses, all files together
constexpr uint32_t kFaultSlots = 32;
constexpr uint32_t kQueryAnswerSlots = 64;  // set_query_answer entries
constexpr uint32_t kEepromBytes = 256;      // the image as stored (128 used by a type 1 EEPROM)
constexpr uint32_t kCisBytes = 256;
constexpr uint32_t kKnownOids = 62;  // OIDs the adapter answers

// How a request completes: at once, after a delay, never (until cancelled), refused at once
// without being started, or held pending until the test releases it.
struct Completion {
  enum Kind { Now, Later, Never, Refused, Held } kind = Now;
  uint32_t error = 0;     // the completion's error (Win32 error or NTSTATUS, by host); 0 = success
  uint32_t delay_us = 0;  // Later: time until completion
};

// A scripted fault on the requests of one OID.
struct Fault {
  enum Mode {
    FailRequest,     // the request fails
    NeverComplete,   // the request is accepted, its command never finishes
    WrongCommandId,  // the command finishes under another CommandId
    FailAndAnswer,   // the request fails, but the driver has written its answer anyway
    ResultWord,      // the command finishes reporting `result` as its result word, unmasked
  };
  uint32_t oid = 0;
  Mode mode = FailRequest;
  bool match_address = false;  // only requests for this register address / EEPROM offset
  uint32_t address = 0;
  int remaining = -1;   // how many matching requests it hits; -1 = all
  uint32_t result = 0;  // ResultWord: the word reported
};

// The adapter's state at power-on and the completions it starts with.
struct Config {
  uint32_t eeprom_type = talven::wire::kEepromType256;  // 1: 128 bytes, 2: 256 bytes
  uint32_t chip_variant = 0;
  uint32_t completion_polls = 1;  // status polls that report "busy" before a command finishes
  uint32_t rf_type = 3;
  uint8_t mac_address[6] = {0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  uint8_t permanent_address[6] = {0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  // Receive test: frames seen on the air per counter query while the test runs.
  uint32_t rx_frames_per_query = 250;
  uint32_t rx_crc_errors_per_query = 3;
  Completion write_completion{Completion::Now, 0, 0};
  Completion reset_completion{Completion::Now, 0, 0};
  // How the driver ends a request the caller cancelled: Now = right after the cancel call
  // returns, Later = after the delay, Never = it ignores the cancel. 0 = the host's own
  // "cancelled" error.
  Completion cancel_completion{Completion::Now, 0, 0};
};

struct Counters {
  uint32_t tx_sent = 0, rx_received = 0, rx_crc_errors = 0, ack = 0;
  bool ack_enabled = false;
};

// Register files, numbered as the control device numbers them.
enum class RegisterFile : uint32_t { Mac = 0, BbBank0 = 1, BbBank1 = 2, Rf = 3 };

// One request as the device received it: its control code, sizes and first input bytes.
struct LoggedRequest {
  uint32_t sequence;  // 0, 1, 2, ... since the last clear_requests
  uint32_t code;
  uint32_t in_size;
  uint32_t out_size;
  uint8_t bytes[kLoggedRequestBytes];  // min(in_size, kLoggedRequestBytes) valid
};

// One frame written (sent on the air).
struct LoggedFrame {
  uint32_t size;    // the write's length
  uint32_t stored;  // bytes kept: min(size, kFrameBytes)
  uint64_t offset;  // the write's byte offset
  uint8_t bytes[kFrameBytes];
};

// The outcome of one OID request.
struct OidAnswer {
  bool ok = false;         // the driver completed it successfully
  uint32_t out_bytes = 0;  // answer bytes to hand back (also when it failed with an answer)
  Completion completion;   // how the request completes
};

// The adapter's factory EEPROM image (ids, MAC address, power base offset, power tables).
void write_factory_eeprom(uint8_t (&image)[kEepromBytes]);

class DeviceModel {
 public:
  explicit DeviceModel(const Config& config = Config());
  // Back to the power-on state of `config`: EEPROM all 0xFF of the configured type, default
  // CIS, no registers, settings, faults, scripted answers, completions or queued frames; every
  // counter and log empty.
  void power_on(const Config& config);

  // ---- Driver contract: one call per request the device receives ----
  // One buffered OID request: `buffer` holds in_size input bytes and has room for
  // max(in_size, out_size) bytes. Returns true when the driver completed it successfully;
  // *out_bytes is the number of answer bytes to hand back (nonzero also when the request
  // failed with its answer written). Logged whatever its code and sizes.
  bool oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                   uint32_t* out_bytes);
  // How the OID request just answered completes (Now, unless set_oid_completion says so).
  Completion oid_completion();
  // Both of the above.
  OidAnswer answer_oid(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size);
  // IOCTL_ADAPTER_RESET: logged, counted, and how it completes.
  Completion reset();
  // A frame write was issued: how it completes.
  Completion write_issued() const;
  // A frame write completed successfully: these bytes went on the air.
  void frame_sent(const uint8_t* data, uint32_t size, uint64_t offset);
  // How a pended request the caller cancelled ends.
  Completion cancel_completion() const;

  // ---- Request log: the newest kRequestLogEntries requests ----
  uint32_t requests_logged() const;  // since the last clear; the next request's sequence
  uint32_t oldest_logged() const;    // sequence of the oldest entry kept
  // The entry with `sequence`; null when it was never logged or is no longer kept. Valid until
  // the next call that logs or clears.
  const LoggedRequest* logged_request(uint32_t sequence) const;
  void clear_requests();

  // ---- Scripted behaviour ----
  bool add_fault(const Fault& fault);  // false: kFaultSlots faults are active already
  // Removes every fault and the scripted answers: never-finish, reported CommandId, reported
  // lengths, query words and the OID completion.
  void clear_faults();
  void set_completion_polls(uint32_t polls);
  void set_never_finish(bool never);         // every command stays busy
  void set_reported_command_id(int64_t id);  // -1: report the real CommandId
  void set_write_completion(const Completion& c);
  void set_reset_completion(const Completion& c);
  void set_cancel_completion(const Completion& c);
  // The next `count` OID requests (-1: all) complete as `c` says.
  void set_oid_completion(const Completion& c, int count = -1);
  // Answer every query of `oid` with `value` in Param[0] (an unmasked, unfiltered word).
  // False for an OID the adapter does not know (it would never be answered).
  bool set_query_word(uint32_t oid, uint32_t value);
  // Whether the adapter answers `oid` (a fault or a query word for another would never apply).
  static bool knows_oid(uint32_t oid);
  // The answer of an indexed query (signal quality, integrator) for one index; false when
  // kQueryAnswerSlots different ones are set already.
  bool set_query_answer(uint32_t oid, uint32_t index, uint32_t value);
  // The next ReadCISData / receive answers report this Length whatever they hold; 0 = off.
  void set_cis_reported_length(uint32_t length);
  void set_receive_reported_length(uint32_t length);

  // ---- EEPROM ----
  uint32_t eeprom_type() const;
  uint32_t eeprom_size() const;   // 128 or 256
  const uint8_t* eeprom() const;  // eeprom_size() bytes
  // Switches the type: the image keeps its first bytes; bytes it gains read 0xFF.
  void set_eeprom_type(uint32_t type);
  bool set_eeprom(const uint8_t* image, size_t size);  // 128 or 256 bytes; sets the type
  void load_factory_eeprom();  // the factory image, cut to the current type's size

  // ---- Registers ----
  uint32_t register_value(RegisterFile file, uint32_t address) const;  // 0 when never written
  // False when the file is unknown or kRegisterSlots addresses are in use already.
  bool set_register(RegisterFile file, uint32_t address, uint32_t value);
  uint32_t mac_register(uint32_t address) const;
  void set_mac_register(uint32_t address, uint32_t value);
  uint32_t bb_register(uint32_t bank, uint32_t address) const;  // bank 1, else bank 0
  void set_bb_register(uint32_t bank, uint32_t address, uint32_t value);
  uint32_t rf_register(uint32_t address) const;
  void set_rf_register(uint32_t address, uint32_t value);

  // ---- State ----
  void set_chip_variant(uint32_t variant);
  uint32_t chip_variant() const;
  // Last value of a one- or two-word setting (by OID); false when never set.
  bool setting(uint32_t oid, uint32_t* first, uint32_t* second = nullptr) const;
  bool test_mode() const;
  bool rx_test_running() const;
  uint32_t reset_count() const;     // ResetDUT requests
  uint32_t adapter_resets() const;  // IOCTL_ADAPTER_RESET requests
  Counters counters() const;
  uint32_t packet_filter() const;

  const uint8_t* mac_address() const;  // 6 bytes
  void set_mac_address(const uint8_t (&address)[6]);
  const uint8_t* permanent_address() const;  // 6 bytes
  void set_permanent_address(const uint8_t (&address)[6]);
  const uint8_t* cis() const;  // cis_size() bytes
  uint32_t cis_size() const;
  void set_cis(const uint8_t* cis, size_t size);  // at most kCisBytes kept

  // ---- Received frames, read by OID_RECEIVE_PACKET queries, oldest first ----
  // False when kReceivedFramesQueued frames wait already. At most kFrameBytes are kept; the
  // answer reports the frame's whole size.
  bool queue_received_frame(const uint8_t* frame, size_t size);
  uint32_t queued_received_frames() const;

  // ---- Frames written: a count, the newest kFramesKept frames, and whether every frame so far
  // was byte for byte the same as the first ----
  uint64_t frames_written() const;
  uint32_t frames_kept() const;                // min(frames_written(), kFramesKept)
  const LoggedFrame& frame(uint32_t i) const;  // i < frames_kept(): 0 oldest, last newest
  bool all_frames_identical() const;
  void clear_frames();

 private:
  struct Command {
    int32_t id = -1;
    uint32_t result = 0;
    uint32_t busy_polls = 0;
    bool finished = false;
    bool never = false;
    bool result_set = false;  // a ResultWord fault chose the result word
  };
  enum class Outcome { Ok, Fail, FailAnswered };
  struct Setting {
    bool set;
    uint32_t first, second;
  };
  struct QueryWord {
    bool set;
    uint32_t value;
  };
  struct QueryAnswer {
    uint32_t oid, index, value;
  };
  struct RegisterSlot {
    uint32_t key_high;  // file + 1; 0 = free
    uint32_t address;
    uint32_t value;
  };
  struct ReceivedFrame {
    uint32_t size;
    uint32_t stored;
    uint8_t bytes[kFrameBytes];
  };

  void log_request(uint32_t code, const uint8_t* buffer, uint32_t in_size, uint32_t out_size);
  Outcome apply_fault(uint32_t oid, uint32_t address, Command* command);
  bool handle(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
              uint32_t* out_bytes);
  void start_command(int32_t id, uint32_t result);
  void answer_status(uint8_t* buffer);
  uint32_t eeprom_read(uint32_t offset, uint32_t width) const;
  void eeprom_write(uint32_t offset, uint32_t width, uint32_t value);
  void advance_rx_test();
  const RegisterSlot* find_register(uint32_t file, uint32_t address) const;

  Config config_;
  Completion oid_completion_;
  int oid_completion_count_ = 0;
  Command command_;
  uint64_t status_sequence_ = 0;
  bool never_finish_ = false;
  int64_t reported_command_id_ = -1;
  uint32_t cis_reported_length_ = 0;
  uint32_t receive_reported_length_ = 0;

  Fault faults_[kFaultSlots];
  uint32_t fault_count_ = 0;
  Setting settings_[kKnownOids];
  QueryWord query_words_[kKnownOids];
  QueryAnswer query_answers_[kQueryAnswerSlots];
  uint32_t query_answer_count_ = 0;
  RegisterSlot registers_[kRegisterSlots];
  uint32_t register_count_ = 0;

  uint8_t eeprom_[kEepromBytes];
  bool test_mode_ = false;
  bool rx_test_ = false;
  uint32_t reset_dut_count_ = 0;
  uint32_t adapter_resets_ = 0;
  Counters counters_;
  uint8_t mac_[6];
  uint8_t permanent_[6];
  uint8_t cis_[kCisBytes];
  uint32_t cis_size_ = 0;
  uint32_t packet_filter_ = 0;

  ReceivedFrame received_[kReceivedFramesQueued];
  uint32_t received_head_ = 0;  // index of the oldest
  uint32_t received_count_ = 0;

  LoggedRequest log_[kRequestLogEntries];
  uint32_t logged_ = 0;  // requests since the last clear

  LoggedFrame frames_[kFramesKept];
  uint32_t frame_next_ = 0;  // slot of the next frame written
  uint64_t frames_written_ = 0;
  uint32_t first_frame_size_ = 0;
  uint64_t first_frame_hash_ = 0;
  uint8_t first_frame_[kFrameBytes];
  bool frames_identical_ = true;
};

// Size of the model object, for hosts that reserve memory for it.
constexpr size_t kModelBytes = sizeof(DeviceModel);

}  // namespace simadapter
