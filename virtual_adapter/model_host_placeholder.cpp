// Placeholder model until the portable device model is merged: logs requests and answers the
// EEPROM type query, fails every other OID.
#include <cstring>
#include <new>

#include "driver_contract/driver_contract.h"
#include "virtual_adapter/kernel.h"
#include "virtual_adapter/model_host.h"

namespace vadapter {

using namespace talven::vadapter;
using namespace talven::wire;

struct ModelHost::Impl {
  RequestEntry log[kRequestsPerPage];
  uint32_t total = 0;
  uint32_t eeprom_type = kEepromType256;
  uint8_t eeprom[256];
  uint32_t adapter_resets = 0;
  uint64_t frames = 0;
};

ModelHost* ModelHost::create() {
  ModelHost* host = new (std::nothrow) ModelHost();
  if (host == nullptr) return nullptr;
  host->impl_ = new (std::nothrow) Impl();
  if (host->impl_ == nullptr) {
    delete host;
    return nullptr;
  }
  memset(host->impl_->eeprom, 0xFF, sizeof host->impl_->eeprom);
  return host;
}

void ModelHost::destroy(ModelHost* host) {
  if (host == nullptr) return;
  delete host->impl_;
  delete host;
}

OidOutcome ModelHost::oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size,
                                  uint32_t out_size, uint32_t* out_bytes) {
  RequestEntry& e = impl_->log[impl_->total % kRequestsPerPage];
  e.sequence = impl_->total++;
  e.code = code;
  e.in_size = in_size;
  e.out_size = out_size;
  memset(e.bytes, 0, sizeof e.bytes);
  if (buffer != nullptr) memcpy(e.bytes, buffer, in_size < kLoggedBytes ? in_size : kLoggedBytes);
  *out_bytes = 0;
  if (code != IOCTL_OID_QUERY || in_size < kDataOffset || out_size < kDataOffset)
    return OidOutcome::Fail;
  if (get_u32(buffer + kOidOffset) != OID_EEPROM_TYPE) return OidOutcome::Fail;
  put_u32(buffer + param_offset(0), impl_->eeprom_type);
  *out_bytes = out_size;
  return OidOutcome::Ok;
}

void ModelHost::adapter_reset() {
  ++impl_->adapter_resets;
}
void ModelHost::frame_sent(const uint8_t*, uint32_t, uint64_t) {
  ++impl_->frames;
}
bool ModelHost::reset(const ResetConfig& config) {
  if (config.eeprom_type != kEepromType128 && config.eeprom_type != kEepromType256) return false;
  impl_->total = 0;
  impl_->eeprom_type = config.eeprom_type;
  impl_->adapter_resets = 0;
  impl_->frames = 0;
  return true;
}
bool ModelHost::add_fault(const FaultRecord&) {
  return true;
}
void ModelHost::clear_faults() {}
void ModelHost::set_query_word(uint32_t, uint32_t) {}
bool ModelHost::queue_rx_frame(const uint8_t*, uint32_t) {
  return true;
}
bool ModelHost::set_register(uint32_t, uint32_t, uint32_t) {
  return true;
}
bool ModelHost::get_register(uint32_t, uint32_t, uint32_t* value) {
  *value = 0;
  return true;
}
void ModelHost::set_addresses(const AddressRecord&) {}
void ModelHost::read_eeprom(EepromRecord* record) {
  record->type = impl_->eeprom_type;
  memcpy(record->image, impl_->eeprom, sizeof record->image);
}
bool ModelHost::write_eeprom(const EepromRecord& record) {
  impl_->eeprom_type = record.type;
  memcpy(impl_->eeprom, record.image, sizeof impl_->eeprom);
  return true;
}
void ModelHost::fill_state(StateRecord* state) {
  state->adapter_resets = impl_->adapter_resets;
  state->frames_written = impl_->frames;
  state->requests_logged = impl_->total;
}
void ModelHost::read_requests(uint32_t first, RequestPage* page) {
  const uint32_t total = impl_->total;
  const uint32_t oldest = total > kRequestsPerPage ? total - kRequestsPerPage : 0;
  if (first < oldest) first = oldest;
  page->total = total;
  page->first = first;
  page->count = 0;
  for (uint32_t s = first; s < total && page->count < kRequestsPerPage; ++s)
    page->entries[page->count++] = impl_->log[s % kRequestsPerPage];
}
void ModelHost::clear_requests() {
  impl_->total = 0;
}
void ModelHost::read_frames(FramePage* page) {
  page->frames_written = impl_->frames;
  page->count = 0;
  page->all_identical = 1;
}

}  // namespace vadapter
