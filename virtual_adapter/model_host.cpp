#include "virtual_adapter/model_host.h"

#include <cstring>
#include <new>

namespace vadapter {

namespace cp = talven::vadapter;
using simadapter::Completion;
using simadapter::DeviceModel;

static_assert(sizeof(simadapter::LoggedRequest) == sizeof(cp::RequestEntry),
              "a logged request is copied into the request page as it is");
static_assert(simadapter::kLoggedRequestBytes == cp::kLoggedBytes);
static_assert(uint32_t(Completion::Now) == cp::kNow && uint32_t(Completion::Later) == cp::kLater &&
              uint32_t(Completion::Never) == cp::kNever &&
              uint32_t(Completion::Refused) == cp::kRefused &&
              uint32_t(Completion::Held) == cp::kHeld);

namespace {

simadapter::Config model_config(const cp::ResetConfig& config) {
  simadapter::Config c;
  c.eeprom_type = config.eeprom_type;
  c.chip_variant = config.chip_variant;
  c.completion_polls = config.completion_polls;
  c.rf_type = config.rf_type;
  return c;
}

bool valid(const cp::ResetConfig& config) {
  return config.eeprom_type == talven::wire::kEepromType128 ||
         config.eeprom_type == talven::wire::kEepromType256;
}

uint32_t smaller(uint32_t a, uint32_t b) {
  return a < b ? a : b;
}

}  // namespace

ModelHost* ModelHost::create(const cp::ResetConfig& config) {
  if (!valid(config)) return nullptr;
  ModelHost* host = new (std::nothrow) ModelHost();
  if (host == nullptr) return nullptr;
  host->model_ = new (std::nothrow) DeviceModel(model_config(config));
  if (host->model_ == nullptr) {
    delete host;
    return nullptr;
  }
  host->model_->load_factory_eeprom();
  return host;
}

void ModelHost::destroy(ModelHost* host) {
  if (host == nullptr) return;
  delete host->model_;
  delete host;
}

OidResult ModelHost::oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size,
                                 uint32_t out_size) {
  const simadapter::OidAnswer a = model_->answer_oid(code, buffer, in_size, out_size);
  OidResult r;
  r.outcome = a.ok ? OidOutcome::Ok : a.out_bytes > 0 ? OidOutcome::FailAnswered : OidOutcome::Fail;
  r.out_bytes = smaller(a.out_bytes, out_size);
  r.completion = a.completion;
  return r;
}

Completion ModelHost::adapter_reset() {
  return model_->reset();
}

Completion ModelHost::write_issued() const {
  return model_->write_issued();
}

void ModelHost::frame_sent(const uint8_t* data, uint32_t size, uint64_t offset) {
  model_->frame_sent(data, size, offset);
}

Completion ModelHost::cancel_completion() const {
  return model_->cancel_completion();
}

bool ModelHost::reset(const cp::ResetConfig& config) {
  if (!valid(config)) return false;
  model_->power_on(model_config(config));
  model_->load_factory_eeprom();
  return true;
}

bool ModelHost::add_fault(const cp::FaultRecord& record) {
  if (record.mode > cp::kResultWord) return false;
  simadapter::Fault fault;
  fault.oid = record.oid;
  fault.mode = simadapter::Fault::Mode(record.mode);
  fault.match_address = record.match_address != 0;
  fault.address = record.address;
  fault.remaining = record.remaining;
  fault.result = record.result;
  return model_->add_fault(fault);
}

void ModelHost::clear_faults() {
  model_->clear_faults();
}

bool ModelHost::set_completion(const cp::CompletionRecord& record) {
  if (record.kind > cp::kHeld) return false;
  Completion c;
  c.kind = Completion::Kind(record.kind);
  c.error = record.error;
  c.delay_us = record.delay_us;
  switch (record.target) {
    case cp::kOidRequests:
      model_->set_oid_completion(c, record.count);
      return true;
    case cp::kWrites:
      model_->set_write_completion(c);
      return true;
    case cp::kResets:
      model_->set_reset_completion(c);
      return true;
    case cp::kCancels:
      model_->set_cancel_completion(c);
      return true;
    default:
      return false;
  }
}

bool ModelHost::set_query_word(uint32_t oid, uint32_t value) {
  return model_->set_query_word(oid, value);
}

bool ModelHost::queue_rx_frame(const uint8_t* data, uint32_t size) {
  return model_->queue_received_frame(data, size);
}

bool ModelHost::set_register(uint32_t file, uint32_t address, uint32_t value) {
  return model_->set_register(simadapter::RegisterFile(file), address, value);
}

uint32_t ModelHost::register_value(uint32_t file, uint32_t address) const {
  return model_->register_value(simadapter::RegisterFile(file), address);
}

void ModelHost::set_addresses(const cp::AddressRecord& record) {
  uint8_t mac[6], permanent[6];
  std::memcpy(mac, record.mac_address, sizeof mac);
  std::memcpy(permanent, record.permanent_address, sizeof permanent);
  model_->set_mac_address(mac);
  model_->set_permanent_address(permanent);
}

void ModelHost::read_eeprom(cp::EepromRecord* record) const {
  record->type = model_->eeprom_type();
  std::memcpy(record->image, model_->eeprom(),
              smaller(model_->eeprom_size(), sizeof record->image));
}

bool ModelHost::write_eeprom(const cp::EepromRecord& record) {
  if (record.type != talven::wire::kEepromType128 && record.type != talven::wire::kEepromType256)
    return false;
  return model_->set_eeprom(record.image, record.type == talven::wire::kEepromType128 ? 128 : 256);
}

void ModelHost::fill_state(cp::StateRecord* state) const {
  state->test_mode = model_->test_mode();
  state->rx_test = model_->rx_test_running();
  state->reset_dut_count = model_->reset_count();
  state->adapter_resets = model_->adapter_resets();
  const simadapter::Counters counters = model_->counters();
  state->tx_sent = counters.tx_sent;
  state->rx_received = counters.rx_received;
  state->rx_crc_errors = counters.rx_crc_errors;
  state->ack = counters.ack;
  state->ack_enabled = counters.ack_enabled;
  state->packet_filter = model_->packet_filter();
  std::memcpy(state->mac_address, model_->mac_address(), 6);
  std::memcpy(state->permanent_address, model_->permanent_address(), 6);
  state->cis_length = smaller(model_->cis_size(), sizeof state->cis);
  std::memcpy(state->cis, model_->cis(), state->cis_length);
  state->frames_written = model_->frames_written();
  state->all_frames_identical = model_->all_frames_identical();
  state->requests_logged = model_->requests_logged();
}

bool ModelHost::read_requests(uint32_t first, cp::RequestPage* page) const {
  const uint32_t total = model_->requests_logged();
  if (first > total) return false;
  std::memset(page, 0, sizeof *page);
  const uint32_t oldest = model_->oldest_logged();
  if (first < oldest) first = oldest;
  page->total = total;
  page->first = first;
  page->count = 0;
  for (uint32_t sequence = first; sequence < total && page->count < cp::kRequestsPerPage;
       ++sequence) {
    const simadapter::LoggedRequest* entry = model_->logged_request(sequence);
    if (entry == nullptr) break;
    std::memcpy(&page->entries[page->count++], entry, sizeof *entry);
  }
  return true;
}

void ModelHost::clear_requests() {
  model_->clear_requests();
}

void ModelHost::read_frames(cp::FramePage* page) const {
  page->frames_written = model_->frames_written();
  page->all_identical = model_->all_frames_identical();
  const uint32_t kept = model_->frames_kept();
  const uint32_t count = smaller(kept, cp::kFramesKept);
  page->count = count;
  for (uint32_t i = 0; i < count; ++i) {
    const simadapter::LoggedFrame& frame = model_->frame(kept - count + i);
    cp::FrameEntry& entry = page->frames[i];
    entry.size = frame.size;
    entry.offset = frame.offset;
    std::memcpy(entry.bytes, frame.bytes, smaller(frame.stored, cp::kFrameCapacity));
  }
}

}  // namespace vadapter
