// The device model as the driver uses it: one simadapter::DeviceModel, built once in non-paged
// pool and driven under the driver's spin lock (the model itself is not thread safe). Turns the
// control protocol's records into model calls and fills the protocol's pages straight into the
// caller's system buffer. How requests complete (the scripted completions) is kept by the model.
#pragma once

#include <cstdint>

#include "simulated_adapter/device_model.h"
#include "virtual_adapter/control_protocol.h"

namespace vadapter {

enum class OidOutcome { Ok, Fail, FailAnswered };

struct OidResult {
  OidOutcome outcome;
  uint32_t out_bytes;  // answer bytes to hand back (also for FailAnswered)
  simadapter::Completion completion;
};

class ModelHost {
 public:
  // Null when the pool is exhausted. The model starts in the power-on state of `config`.
  static ModelHost* create(const talven::vadapter::ResetConfig& config);
  static void destroy(ModelHost* host);

  // ---- The adapter device ----
  // One buffered request (any control code but the reset): logged, answered in `buffer`
  // (room for max(in_size, out_size) bytes).
  OidResult oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size);
  simadapter::Completion adapter_reset();  // IOCTL_ADAPTER_RESET: logged and counted
  simadapter::Completion write_issued() const;
  void frame_sent(const uint8_t* data, uint32_t size, uint64_t offset);
  simadapter::Completion cancel_completion() const;

  // ---- The control device; false: the record's values are refused ----
  bool reset(const talven::vadapter::ResetConfig& config);  // power-on state, factory EEPROM
  bool add_fault(const talven::vadapter::FaultRecord& fault);
  void clear_faults();
  bool set_completion(const talven::vadapter::CompletionRecord& record);
  bool set_query_word(uint32_t oid, uint32_t value);
  bool queue_rx_frame(const uint8_t* data, uint32_t size);
  bool set_register(uint32_t file, uint32_t address, uint32_t value);
  uint32_t register_value(uint32_t file, uint32_t address) const;
  void set_addresses(const talven::vadapter::AddressRecord& record);
  void read_eeprom(talven::vadapter::EepromRecord* record) const;
  bool write_eeprom(const talven::vadapter::EepromRecord& record);
  // Everything of the state record the model knows (the driver adds its own counts).
  void fill_state(talven::vadapter::StateRecord* state) const;
  // The page of logged requests from sequence `first` (or the oldest kept); false, and the page
  // untouched, for a `first` beyond the requests logged.
  bool read_requests(uint32_t first, talven::vadapter::RequestPage* page) const;
  void clear_requests();
  void read_frames(talven::vadapter::FramePage* page) const;

 private:
  simadapter::DeviceModel* model_ = nullptr;
};

}  // namespace vadapter
