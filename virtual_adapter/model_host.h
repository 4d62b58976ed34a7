// The device model as the driver uses it: one object, built once, driven under the driver's spin
// lock (the model itself is not thread safe). Translates the control protocol's records into
// model calls and fills the protocol's pages straight into the caller's system buffer.
#pragma once

#include <cstdint>

#include "virtual_adapter/control_protocol.h"

namespace vadapter {

enum class OidOutcome { Ok, Fail, FailAnswered };

class ModelHost {
 public:
  // Null when the pool is exhausted.
  static ModelHost* create();
  static void destroy(ModelHost* host);

  // ---- The adapter device ----
  // One buffered request (any control code but the reset): logged, answered in `buffer`.
  OidOutcome oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                         uint32_t* out_bytes);
  void adapter_reset();  // IOCTL_ADAPTER_RESET: logged and counted
  void frame_sent(const uint8_t* data, uint32_t size, uint64_t offset);

  // ---- The control device ----
  bool reset(const talven::vadapter::ResetConfig& config);  // false: invalid configuration
  bool add_fault(const talven::vadapter::FaultRecord& fault);
  void clear_faults();
  void set_query_word(uint32_t oid, uint32_t value);
  bool queue_rx_frame(const uint8_t* data, uint32_t size);
  bool set_register(uint32_t file, uint32_t address, uint32_t value);
  bool get_register(uint32_t file, uint32_t address, uint32_t* value);
  void set_addresses(const talven::vadapter::AddressRecord& record);
  void read_eeprom(talven::vadapter::EepromRecord* record);
  bool write_eeprom(const talven::vadapter::EepromRecord& record);
  // Everything of the state record the model knows (the driver adds its own counts).
  void fill_state(talven::vadapter::StateRecord* state);
  void read_requests(uint32_t first, talven::vadapter::RequestPage* page);
  void clear_requests();
  void read_frames(talven::vadapter::FramePage* page);

 private:
  ModelHost() = default;
  struct Impl;
  Impl* impl_ = nullptr;
};

}  // namespace vadapter
