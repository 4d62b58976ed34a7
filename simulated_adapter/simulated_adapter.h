// A simulated wireless-LAN adapter behind the packet driver, as the Linux Win32 subset hosts it:
// the device model (device_model.h) that answers the vendor OIDs talven sends, under a mutex,
// with what tests and the example session use around it: the full request log byte for byte,
// requests held pending until a test releases them, inspection as standard containers, and the
// EEPROM image loaded from and saved to files. Thread safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver_contract/driver_contract.h"
#include "simulated_adapter/device_model.h"

namespace simadapter {

// One DeviceIoControl request as the driver received it.
struct Request {
  uint32_t code = 0;
  uint32_t in_size = 0;
  uint32_t out_size = 0;
  std::vector<uint8_t> bytes;  // the in_size input bytes

  bool is_set() const { return code == talven::wire::IOCTL_OID_SET; }
  bool is_query() const { return code == talven::wire::IOCTL_OID_QUERY; }
  uint32_t oid() const { return word(talven::wire::kOidOffset); }
  uint32_t length() const { return word(talven::wire::kLengthOffset); }
  uint32_t param(size_t i) const { return word(talven::wire::param_offset(i)); }
  uint32_t data_word(size_t i) const { return word(talven::wire::kDataOffset + 4 * i); }
  uint32_t word(size_t offset) const {
    return offset + 4 <= bytes.size() ? talven::wire::get_u32(bytes.data() + offset) : 0;
  }
};

class SimulatedAdapter {
 public:
  explicit SimulatedAdapter(const Config& config = Config());

  // ---- Driver contract ----
  // One buffered OID request (IOCTL_OID_SET or IOCTL_OID_QUERY): `buffer` holds in_size input
  // bytes and has room for out_size bytes of output. Returns true when the driver completed
  // the request successfully. *out_bytes is the number of output bytes to hand back.
  bool oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                   uint32_t* out_bytes);
  // IOCTL_ADAPTER_RESET: logged, counted, and how it completes.
  Completion reset();
  // A frame write was issued: how it completes.
  Completion write_issued();
  // A frame went on the air: its write completed successfully. Its bytes are the ones the
  // caller's buffer held at that moment.
  void frame_sent(const uint8_t* data, uint32_t size, uint64_t offset);
  // How the OID request just answered completes (at once unless set_oid_completion says so).
  Completion oid_completion();
  Completion cancel_completion() const;

  // ---- Held requests (Completion::Held) ----
  // The device hands over how to end a held request; release_held ends the oldest ones.
  void hold(std::function<void(uint32_t error)> release);
  size_t held_requests() const;
  bool wait_held(size_t count, uint32_t timeout_ms) const;  // true once `count` are held
  // Ends up to `count` held requests, oldest first, with `error` (0: success).
  void release_held(size_t count = SIZE_MAX, uint32_t error = 0);

  // ---- Request log ----
  std::vector<Request> requests() const;
  std::vector<Request> requests_for(uint32_t oid) const;  // OID requests of one OID
  size_t request_count() const;
  void clear_requests();

  // ---- Scripted behaviour ----
  void add_fault(const Fault& fault);  // up to kFaultSlots at a time; more are not added
  void clear_faults();
  void set_completion_polls(uint32_t polls);
  void set_never_finish(bool never);         // every command stays busy
  void set_reported_command_id(int64_t id);  // -1: report the real CommandId
  void set_write_completion(const Completion& c);
  void set_reset_completion(const Completion& c);
  void set_cancel_completion(const Completion& c);
  // The next `count` OID requests (-1: all) complete as `c` says; their answers are written into
  // the request at once and reach the caller when the request completes.
  void set_oid_completion(const Completion& c, int count = -1);
  // Answer every query of `oid` with `value` in Param[0] (an unmasked, unfiltered word).
  void set_query_word(uint32_t oid, uint32_t value);
  // The next ReadCISData / receive answer reports this Length whatever it holds; 0 = off.
  void set_cis_reported_length(uint32_t length);
  void set_receive_reported_length(uint32_t length);

  // ---- State ----
  void set_eeprom_type(uint32_t type);  // resizes the image (1: 128, 2: 256 bytes)
  uint32_t eeprom_type() const;
  std::vector<uint8_t> eeprom() const;
  void set_eeprom(const std::vector<uint8_t>& image);  // size must match the type
  bool load_eeprom(const std::string& path);           // 128 or 256 bytes; sets the type
  bool save_eeprom(const std::string& path) const;
  void set_chip_variant(uint32_t variant);

  uint32_t mac_register(uint32_t address) const;
  void set_mac_register(uint32_t address, uint32_t value);
  uint32_t bb_register(uint32_t bank, uint32_t address) const;
  void set_bb_register(uint32_t bank, uint32_t address, uint32_t value);
  uint32_t rf_register(uint32_t address) const;
  void set_rf_register(uint32_t address, uint32_t value);

  // Last value of a one- or two-word setting (by OID); false when never set.
  bool setting(uint32_t oid, uint32_t* first, uint32_t* second = nullptr) const;
  void set_query_answer(uint32_t oid, uint32_t index, uint32_t value);  // indexed queries
  bool test_mode() const;
  bool rx_test_running() const;
  uint32_t reset_count() const;     // ResetDUT requests
  uint32_t adapter_resets() const;  // IOCTL_ADAPTER_RESET requests

  using Counters = simadapter::Counters;
  Counters counters() const;

  std::vector<uint8_t> mac_address() const;
  void set_permanent_address(const std::vector<uint8_t>& address);
  std::vector<uint8_t> cis() const;
  void set_cis(const std::vector<uint8_t>& cis);  // at most kCisBytes are kept
  uint32_t packet_filter() const;

  // Up to kReceivedFramesQueued frames wait (more are dropped); at most kFrameBytes of each
  // are kept, and the answer reports its whole size.
  void queue_received_frame(const std::vector<uint8_t>& frame);
  size_t queued_received_frames() const;

  // Frames sent: a count, the most recent kFramesKept frames (at most kFrameBytes of each) and
  // their write offsets, and whether every frame so far was byte for byte the same as the first.
  uint64_t frames_written() const;
  std::vector<std::vector<uint8_t>> recent_frames() const;
  std::vector<uint64_t> recent_frame_offsets() const;
  bool all_frames_identical() const;
  void clear_frames();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable held_changed_;
  std::unique_ptr<DeviceModel> model_;  // built once; it allocates nothing after that
  std::deque<std::function<void(uint32_t)>> held_;
  std::vector<Request> log_;  // every request since the last clear, whole
};

}  // namespace simadapter
