#include "simulated_adapter/simulated_adapter.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

namespace simadapter {

using namespace talven::wire;

SimulatedAdapter::SimulatedAdapter(const Config& config)
    : model_(std::make_unique<DeviceModel>(config)) {}

// ---------------------------------------------------------------------------------------------
// Driver contract

bool SimulatedAdapter::oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size,
                                   uint32_t out_size, uint32_t* out_bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  Request request;
  request.code = code;
  request.in_size = in_size;
  request.out_size = out_size;
  request.bytes.assign(buffer, buffer + in_size);
  log_.push_back(std::move(request));
  return model_->oid_request(code, buffer, in_size, out_size, out_bytes);
}

Completion SimulatedAdapter::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  Request request;
  request.code = IOCTL_ADAPTER_RESET;
  log_.push_back(request);
  return model_->reset();
}

Completion SimulatedAdapter::write_issued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->write_issued();
}

void SimulatedAdapter::frame_sent(const uint8_t* data, uint32_t size, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->frame_sent(data, size, offset);
}

Completion SimulatedAdapter::oid_completion() {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->oid_completion();
}

Completion SimulatedAdapter::cancel_completion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->cancel_completion();
}

// ---------------------------------------------------------------------------------------------
// Held requests

void SimulatedAdapter::hold(std::function<void(uint32_t)> release) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(std::move(release));
  }
  held_changed_.notify_all();
}

size_t SimulatedAdapter::held_requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

bool SimulatedAdapter::wait_held(size_t count, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return held_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return held_.size() >= count; });
}

void SimulatedAdapter::release_held(size_t count, uint32_t error) {
  std::vector<std::function<void(uint32_t)>> releasing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (count-- > 0 && !held_.empty()) {
      releasing.push_back(std::move(held_.front()));
      held_.pop_front();
    }
  }
  held_changed_.notify_all();
  for (auto& release : releasing) release(error);  // outside the lock: they complete requests
}

// ---------------------------------------------------------------------------------------------
// Request log

std::vector<Request> SimulatedAdapter::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<Request> SimulatedAdapter::requests_for(uint32_t oid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Request> out;
  std::copy_if(log_.begin(), log_.end(), std::back_inserter(out),
               [oid](const Request& r) { return r.code != IOCTL_ADAPTER_RESET && r.oid() == oid; });
  return out;
}

size_t SimulatedAdapter::request_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_.size();
}

void SimulatedAdapter::clear_requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
  model_->clear_requests();
}

// ---------------------------------------------------------------------------------------------
// Scripted behaviour

void SimulatedAdapter::add_fault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->add_fault(fault);
}

void SimulatedAdapter::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->clear_faults();
}

void SimulatedAdapter::set_completion_polls(uint32_t polls) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_completion_polls(polls);
}

void SimulatedAdapter::set_never_finish(bool never) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_never_finish(never);
}

void SimulatedAdapter::set_reported_command_id(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_reported_command_id(id);
}

void SimulatedAdapter::set_write_completion(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_write_completion(c);
}

void SimulatedAdapter::set_reset_completion(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_reset_completion(c);
}

void SimulatedAdapter::set_cancel_completion(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_cancel_completion(c);
}

void SimulatedAdapter::set_oid_completion(const Completion& c, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_oid_completion(c, count);
}

void SimulatedAdapter::set_query_word(uint32_t oid, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_query_word(oid, value);
}

void SimulatedAdapter::set_cis_reported_length(uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_cis_reported_length(length);
}

void SimulatedAdapter::set_receive_reported_length(uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_receive_reported_length(length);
}

// ---------------------------------------------------------------------------------------------
// EEPROM and its files

void SimulatedAdapter::set_eeprom_type(uint32_t type) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_eeprom_type(type);
}

uint32_t SimulatedAdapter::eeprom_type() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->eeprom_type();
}

std::vector<uint8_t> SimulatedAdapter::eeprom() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint8_t* image = model_->eeprom();
  return std::vector<uint8_t>(image, image + model_->eeprom_size());
}

void SimulatedAdapter::set_eeprom(const std::vector<uint8_t>& image) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_eeprom(image.data(), image.size());
}

bool SimulatedAdapter::load_eeprom(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (image.size() != 128 && image.size() != 256) return false;
  set_eeprom(image);
  return true;
}

bool SimulatedAdapter::save_eeprom(const std::string& path) const {
  const std::vector<uint8_t> image = eeprom();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  return bool(out);
}

// ---------------------------------------------------------------------------------------------
// Registers and state

void SimulatedAdapter::set_chip_variant(uint32_t variant) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_chip_variant(variant);
}

uint32_t SimulatedAdapter::mac_register(uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->mac_register(address);
}

void SimulatedAdapter::set_mac_register(uint32_t address, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_mac_register(address, value);
}

uint32_t SimulatedAdapter::bb_register(uint32_t bank, uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->bb_register(bank, address);
}

void SimulatedAdapter::set_bb_register(uint32_t bank, uint32_t address, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_bb_register(bank, address, value);
}

uint32_t SimulatedAdapter::rf_register(uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->rf_register(address);
}

void SimulatedAdapter::set_rf_register(uint32_t address, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_rf_register(address, value);
}

bool SimulatedAdapter::setting(uint32_t oid, uint32_t* first, uint32_t* second) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->setting(oid, first, second);
}

void SimulatedAdapter::set_query_answer(uint32_t oid, uint32_t index, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_query_answer(oid, index, value);
}

bool SimulatedAdapter::test_mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->test_mode();
}

bool SimulatedAdapter::rx_test_running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->rx_test_running();
}

uint32_t SimulatedAdapter::reset_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->reset_count();
}

uint32_t SimulatedAdapter::adapter_resets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->adapter_resets();
}

SimulatedAdapter::Counters SimulatedAdapter::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->counters();
}

std::vector<uint8_t> SimulatedAdapter::mac_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint8_t* mac = model_->mac_address();
  return std::vector<uint8_t>(mac, mac + kMacAddressLength);
}

void SimulatedAdapter::set_permanent_address(const std::vector<uint8_t>& address) {
  uint8_t bytes[6] = {};  // a shorter address is padded with zeros
  std::copy_n(address.begin(), std::min<size_t>(address.size(), sizeof(bytes)), bytes);
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_permanent_address(bytes);
}

std::vector<uint8_t> SimulatedAdapter::cis() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<uint8_t>(model_->cis(), model_->cis() + model_->cis_size());
}

void SimulatedAdapter::set_cis(const std::vector<uint8_t>& cis) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->set_cis(cis.data(), cis.size());
}

uint32_t SimulatedAdapter::packet_filter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->packet_filter();
}

// ---------------------------------------------------------------------------------------------
// Frames

void SimulatedAdapter::queue_received_frame(const std::vector<uint8_t>& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->queue_received_frame(frame.data(), frame.size());
}

size_t SimulatedAdapter::queued_received_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->queued_received_frames();
}

uint64_t SimulatedAdapter::frames_written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->frames_written();
}

std::vector<std::vector<uint8_t>> SimulatedAdapter::recent_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::vector<uint8_t>> frames;
  for (uint32_t i = 0; i < model_->frames_kept(); ++i) {
    const LoggedFrame& f = model_->frame(i);
    frames.emplace_back(f.bytes, f.bytes + f.stored);
  }
  return frames;
}

std::vector<uint64_t> SimulatedAdapter::recent_frame_offsets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> offsets;
  for (uint32_t i = 0; i < model_->frames_kept(); ++i) offsets.push_back(model_->frame(i).offset);
  return offsets;
}

bool SimulatedAdapter::all_frames_identical() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_->all_frames_identical();
}

void SimulatedAdapter::clear_frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  model_->clear_frames();
}

}  // namespace simadapter
