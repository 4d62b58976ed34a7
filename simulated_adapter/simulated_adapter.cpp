#include "simulated_adapter/simulated_adapter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

namespace simadapter {

using namespace talven::wire;

namespace {

constexpr size_t kRecentFrames = 16;
constexpr int32_t kReportOtherId = -2;
constexpr uint32_t kBusyResultWord = 0xB5B5B5B5;

// Kinds of OID the driver knows, with the least Length each needs.
enum class Kind {
  Command,    // set, Param[0] (and Param[1]) applied, then an asynchronous command
  Immediate,  // set, applied at once
  Query,      // query, answer in Param[0] or Data
};

struct OidInfo {
  uint32_t oid;
  Kind kind;
  uint32_t min_length;
  int32_t command;  // CommandId of a Command OID whose id does not depend on the request
};

constexpr OidInfo kOids[] = {
    {OID_START_TEST, Kind::Command, 4, CMD_TEST_START},
    {OID_STOP_TEST, Kind::Immediate, 4, -1},
    {OID_RESET_DUT, Kind::Immediate, 4, -1},
    {OID_SET_INITIAL_GAIN, Kind::Command, 4, CMD_INITIAL_GAIN},
    {OID_SET_MODULATION, Kind::Command, 4, CMD_MODULATION},
    {OID_SET_CHANNEL, Kind::Command, 4, CMD_CHANNEL},
    {OID_SET_DATA_RATE, Kind::Command, 4, CMD_DATA_RATE},
    {OID_SET_ANTENNA_BB, Kind::Command, 4, CMD_ANTENNA},
    {OID_SET_TX_POWER_CONTROL, Kind::Command, 4, CMD_TX_POWER},
    {OID_SET_TX_POWER_BASE_OFFSET, Kind::Command, 4, CMD_TX_POWER},
    {OID_SET_TX_CONTINUOUS, Kind::Command, 4, CMD_TX_CONTINUOUS},
    {OID_SET_SINGLE_CARRIER_TX, Kind::Command, 4, CMD_SINGLE_CARRIER_TX},
    {OID_SET_CARRIER_SUPPRESSION_TX, Kind::Command, 4, CMD_CARRIER_SUPPRESSION_TX},
    {OID_SET_PACKET_RX_TEST, Kind::Command, 4, CMD_PACKET_RX_TEST},
    {OID_SET_PREAMBLE, Kind::Immediate, 4, -1},
    {OID_SET_FILTER_BB, Kind::Immediate, 4, -1},
    {OID_SET_MANUAL_DIVERSITY_BB, Kind::Immediate, 4, -1},
    {OID_SET_TX_ANTENNA_BB, Kind::Immediate, 4, -1},
    {OID_SET_CR_SCRAMBLER, Kind::Immediate, 4, -1},
    {OID_SET_CR_TX_CONFIG, Kind::Immediate, 4, -1},
    {OID_SET_CR_SETPOINT, Kind::Immediate, 4, -1},
    {OID_TUNE_PHILIPS_RF, Kind::Immediate, 4, -1},
    {OID_SET_BBRF_STANDBY, Kind::Immediate, 4, -1},
    {OID_SET_BBRF_SHUTDOWN, Kind::Immediate, 4, -1},
    {OID_SET_TX_CHARGE_PUMP, Kind::Immediate, 4, -1},
    {OID_SET_RX_CHARGE_PUMP, Kind::Immediate, 4, -1},
    {OID_SET_SLEEP_MODE, Kind::Immediate, 4, -1},
    {OID_SET_WAKE_MODE, Kind::Immediate, 4, -1},
    {OID_SET_INTEGRATOR, Kind::Immediate, 8, -1},
    {OID_SET_SIGNAL_QUALITY, Kind::Immediate, 8, -1},
    {OID_GET_TX_POWER_CONTROL, Kind::Query, 4, -1},
    {OID_GET_CR_SIGNAL_QUALITY, Kind::Query, 4, -1},
    {OID_QUERY_RF_TYPE, Kind::Query, 4, -1},
    {OID_GET_INTEGRATOR, Kind::Query, 4, -1},
    {OID_GET_SIGNAL_QUALITY, Kind::Query, 4, -1},
    {OID_GET_TX_POWER_BASE_OFFSET, Kind::Query, 4, -1},
    {OID_RESET_TX_PACKET_SENT, Kind::Immediate, 4, -1},
    {OID_QUERY_TX_PACKET_SENT, Kind::Query, 4, -1},
    {OID_RESET_RX_PACKET_RECEIVED, Kind::Immediate, 4, -1},
    {OID_QUERY_RX_PACKET_RECEIVED, Kind::Query, 4, -1},
    {OID_QUERY_RX_PACKET_CRC32_ERROR, Kind::Query, 4, -1},
    {OID_ENABLE_ACK_COUNTER, Kind::Immediate, 4, -1},
    {OID_RESET_ACK_COUNTER, Kind::Immediate, 4, -1},
    {OID_GET_ACK_COUNTER, Kind::Query, 4, -1},
    {OID_MAC_REG_WRITE, Kind::Command, 12, -1},
    {OID_MAC_REG_READ, Kind::Command, 12, -1},
    {OID_BB_REG_WRITE, Kind::Command, 12, -1},
    {OID_BB_REG_READ, Kind::Command, 12, -1},
    {OID_RF_REG_WRITE, Kind::Command, 12, CMD_RF_WRITE},
    {OID_RF_REG_READ, Kind::Command, 12, CMD_RF_READ},
    {OID_EEPROM_TYPE, Kind::Query, 4, -1},
    {OID_EEPROM_READ, Kind::Command, 12, -1},
    {OID_EEPROM_WRITE, Kind::Command, 12, -1},
    {OID_WRITE_MAC_ADDRESS, Kind::Immediate, kMacAddressLength, -1},
    {OID_READ_MAC_ADDRESS, Kind::Query, kMacAddressLength, -1},
    {OID_PERMANENT_ADDRESS, Kind::Query, kMacAddressLength, -1},
    {OID_WRITE_CIS_DATA, Kind::Immediate, 0, -1},
    {OID_READ_CIS_DATA, Kind::Query, kCisCapacity, -1},
    {OID_CHIP_INFO, Kind::Query, kChipInfoLength, -1},
    {OID_RECEIVE_PACKET, Kind::Query, kReceiveCapacity, -1},
    {OID_GEN_CURRENT_PACKET_FILTER, Kind::Immediate, 4, -1},
    {OID_COMMAND_STATUS, Kind::Query, kStatusLength, -1},
};

const OidInfo* find_oid(uint32_t oid) {
  for (const OidInfo& info : kOids)
    if (info.oid == oid) return &info;
  return nullptr;
}

// The register address or EEPROM offset a request is about (for address-matched faults).
uint32_t request_address(const Request& r) {
  if (r.oid() == OID_EEPROM_WRITE) return r.data_word(0);
  return r.param(0);
}

uint32_t width_mask(uint32_t width) {
  return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

}  // namespace

SimulatedAdapter::SimulatedAdapter(const Config& config)
    : config_(config),
      mac_(config.mac_address, config.mac_address + 6),
      permanent_(config.permanent_address, config.permanent_address + 6) {
  eeprom_.assign(config.eeprom_type == kEepromType128 ? 128 : 256, 0xFF);
  cis_ = {0x01, 0x03, 0xD9, 0x01, 0xFF, 0x1C, 0x04, 0x03, 0xD9, 0x01, 0xFF, 0xFF};
}

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
  log_.push_back(request);
  *out_bytes = 0;
  if (code != IOCTL_OID_SET && code != IOCTL_OID_QUERY) return false;
  if (in_size < kDataOffset || out_size < kDataOffset) return false;
  return handle(request, buffer, out_size, out_bytes);
}

Completion SimulatedAdapter::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  Request request;
  request.code = IOCTL_ADAPTER_RESET;
  log_.push_back(request);
  ++adapter_resets_;
  return config_.reset_completion;
}

Completion SimulatedAdapter::write_issued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.write_completion;
}

void SimulatedAdapter::frame_sent(const uint8_t* data, uint32_t size, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> frame(data, data + size);
  if (frames_written_ == 0)
    first_frame_ = frame;
  else if (frame != first_frame_)
    frames_identical_ = false;
  ++frames_written_;
  ++counters_.tx_sent;
  if (counters_.ack_enabled) ++counters_.ack;
  recent_frames_.push_back(std::move(frame));
  recent_offsets_.push_back(offset);
  if (recent_frames_.size() > kRecentFrames) {
    recent_frames_.pop_front();
    recent_offsets_.pop_front();
  }
}

Completion SimulatedAdapter::oid_completion() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (oid_completion_count_ == 0) return Completion{};
  if (oid_completion_count_ > 0) --oid_completion_count_;
  return oid_completion_;
}

Completion SimulatedAdapter::cancel_completion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.cancel_completion;
}

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

SimulatedAdapter::Outcome SimulatedAdapter::apply_fault(const Request& request, uint32_t address,
                                                        Command* command) {
  for (Fault& f : faults_) {
    if (f.oid != request.oid() || f.remaining == 0) continue;
    if (f.match_address && f.address != address) continue;
    if (f.remaining > 0) --f.remaining;
    switch (f.mode) {
      case Fault::FailRequest:
        return Outcome::Fail;
      case Fault::FailAndAnswer:
        return Outcome::FailAnswered;
      case Fault::NeverComplete:
        command->never = true;
        return Outcome::Ok;
      case Fault::WrongCommandId:
        command->id = kReportOtherId;
        return Outcome::Ok;
      case Fault::ResultWord:
        command->result = f.result;
        command->result_set = true;
        return Outcome::Ok;
    }
  }
  return Outcome::Ok;
}

void SimulatedAdapter::start_command(int32_t id, uint32_t result) {
  command_.id = id;
  command_.result = result;
  command_.busy_polls = config_.completion_polls;
  command_.finished = false;
  command_.never = never_finish_;
}

void SimulatedAdapter::answer_status(uint8_t* buffer) {
  // A busy answer still fills the other words (the command in flight, a sequence number, a
  // stale result): only Param[0] says whether a command has finished.
  put_u32(buffer + param_offset(0), 0);
  put_u32(buffer + param_offset(1), static_cast<uint32_t>(command_.id));
  put_u32(buffer + param_offset(2), static_cast<uint32_t>(++status_sequence_));
  put_u32(buffer + param_offset(3), kBusyResultWord);
  if (command_.id == -1 || command_.never) return;
  if (!command_.finished) {
    if (command_.busy_polls > 0) {
      --command_.busy_polls;
      return;
    }
    command_.finished = true;
  }
  int64_t reported = reported_command_id_ >= 0 ? reported_command_id_ : command_.id;
  put_u32(buffer + param_offset(0), 1);
  put_u32(buffer + param_offset(1), static_cast<uint32_t>(reported));
  put_u32(buffer + param_offset(3), command_.result);
}

uint32_t SimulatedAdapter::eeprom_read(uint32_t offset, uint32_t width) const {
  const size_t n = eeprom_.size();
  uint32_t v = eeprom_[offset % n];
  if (width == kEepromWidthWord) v |= uint32_t(eeprom_[(offset + 1) % n]) << 8;
  return v;
}

void SimulatedAdapter::eeprom_write(uint32_t offset, uint32_t width, uint32_t value) {
  const size_t n = eeprom_.size();
  eeprom_[offset % n] = uint8_t(value);
  if (width == kEepromWidthWord) eeprom_[(offset + 1) % n] = uint8_t(value >> 8);
}

void SimulatedAdapter::advance_rx_test() {
  if (!rx_test_) return;
  counters_.rx_received += config_.rx_frames_per_query;
  counters_.rx_crc_errors += config_.rx_crc_errors_per_query;
}

bool SimulatedAdapter::handle(const Request& r, uint8_t* buffer, uint32_t out_size,
                              uint32_t* out_bytes) {
  const uint32_t oid = r.oid();
  const OidInfo* info = find_oid(oid);
  if (info == nullptr) return false;
  // The driver needs the whole payload it was promised, and a record that covers it.
  if (r.length() < info->min_length) return false;
  if (uint64_t(r.in_size) < uint64_t(kTransferBase) + r.length()) return false;
  if ((info->kind == Kind::Query) != r.is_query()) return false;

  Command marks;
  const Outcome fault = apply_fault(r, request_address(r), &marks);
  if (fault == Outcome::Fail) return false;

  auto set_param = [&](size_t i, uint32_t v) { put_u32(buffer + param_offset(i), v); };
  uint8_t* data = buffer + kDataOffset;
  const size_t data_room = out_size - kDataOffset;
  const uint32_t p0 = r.param(0), p1 = r.param(1), p2 = r.param(2);

  int32_t command = info->command;
  uint32_t result = 0;
  // Every set request leaves its words as the adapter's current setting for that OID.
  if (r.is_set()) settings_[oid] = {p0, p1};

  switch (oid) {
    // ---- test control ----
    case OID_START_TEST:
      test_mode_ = true;
      break;
    case OID_STOP_TEST:
      test_mode_ = false;
      rx_test_ = false;
      break;
    case OID_RESET_DUT:
      ++reset_dut_count_;
      break;
    case OID_SET_PACKET_RX_TEST:
      rx_test_ = p0 != 0;
      break;
    // ---- radio queries ----
    case OID_GET_TX_POWER_CONTROL: {
      auto it = settings_.find(OID_SET_TX_POWER_CONTROL);
      set_param(0, it == settings_.end() ? 0 : it->second.first);
      break;
    }
    case OID_GET_CR_SIGNAL_QUALITY:
    case OID_GET_INTEGRATOR:
    case OID_GET_SIGNAL_QUALITY: {
      const uint32_t index = oid == OID_GET_CR_SIGNAL_QUALITY ? 0 : p0;
      auto it = indexed_answers_.find({oid, index});
      set_param(0, it == indexed_answers_.end() ? 0x40 + index : it->second);
      break;
    }
    case OID_QUERY_RF_TYPE:
      set_param(0, config_.rf_type);
      break;
    case OID_GET_TX_POWER_BASE_OFFSET: {
      auto it = settings_.find(OID_SET_TX_POWER_BASE_OFFSET);
      set_param(0, it == settings_.end() ? 0 : it->second.first);
      break;
    }
    // ---- counters ----
    case OID_RESET_TX_PACKET_SENT:
      counters_.tx_sent = 0;
      break;
    case OID_QUERY_TX_PACKET_SENT:
      set_param(0, counters_.tx_sent);
      break;
    case OID_RESET_RX_PACKET_RECEIVED:
      counters_.rx_received = 0;
      counters_.rx_crc_errors = 0;
      break;
    case OID_QUERY_RX_PACKET_RECEIVED:
      advance_rx_test();
      set_param(0, counters_.rx_received);
      break;
    case OID_QUERY_RX_PACKET_CRC32_ERROR:
      set_param(0, counters_.rx_crc_errors);
      break;
    case OID_ENABLE_ACK_COUNTER:
      counters_.ack_enabled = p0 != 0;
      break;
    case OID_RESET_ACK_COUNTER:
      counters_.ack = 0;
      break;
    case OID_GET_ACK_COUNTER:
      set_param(0, counters_.ack);
      break;
    // ---- registers ----
    case OID_MAC_REG_WRITE:
    case OID_MAC_REG_READ: {
      const bool write = oid == OID_MAC_REG_WRITE;
      if (p1 != 1 && p1 != 2 && p1 != 4) return false;
      const int32_t width_index = p1 == 1 ? 0 : p1 == 2 ? 1 : 2;
      command = (write ? CMD_MAC_WRITE_1 : CMD_MAC_READ_1) + width_index;
      if (write)
        mac_regs_[p0] = p2 & width_mask(p1);
      else
        result = mac_regs_.count(p0) ? mac_regs_[p0] & width_mask(p1) : 0;
      break;
    }
    case OID_BB_REG_WRITE:
    case OID_BB_REG_READ: {
      const uint32_t bank = p1 == 1 ? 1 : 0;
      if (oid == OID_BB_REG_WRITE) {
        command = bank ? CMD_BB_WRITE_BANK1 : CMD_BB_WRITE_BANK0;
        bb_regs_[bank][p0] = p2;
      } else {
        command = bank ? CMD_BB_READ_BANK1 : CMD_BB_READ_BANK0;
        result = bb_regs_[bank].count(p0) ? bb_regs_[bank][p0] : 0;
      }
      break;
    }
    case OID_RF_REG_WRITE:
      rf_regs_[p0] = p2;
      break;
    case OID_RF_REG_READ:
      result = rf_regs_.count(p0) ? rf_regs_[p0] : 0;
      break;
    // ---- EEPROM ----
    case OID_EEPROM_TYPE:
      set_param(0, config_.eeprom_type);
      break;
    case OID_EEPROM_READ:
      if (p1 != kEepromWidthByte && p1 != kEepromWidthWord) return false;
      command = p1 == kEepromWidthByte ? CMD_EEPROM_READ_BYTE : CMD_EEPROM_READ_WORD;
      result = eeprom_read(p0, p1);
      break;
    case OID_EEPROM_WRITE: {
      const uint32_t offset = r.data_word(0), width = r.data_word(1), value = r.data_word(2);
      if (width != kEepromWidthByte && width != kEepromWidthWord) return false;
      command = width == kEepromWidthByte ? CMD_EEPROM_WRITE_BYTE : CMD_EEPROM_WRITE_WORD;
      eeprom_write(offset, width, value);
      break;
    }
    // ---- identity ----
    case OID_WRITE_MAC_ADDRESS:
      mac_.assign(data, data + kMacAddressLength);
      break;
    case OID_READ_MAC_ADDRESS:
      std::copy(mac_.begin(), mac_.end(), data);
      break;
    case OID_PERMANENT_ADDRESS:
      std::copy(permanent_.begin(), permanent_.end(), data);
      break;
    case OID_WRITE_CIS_DATA:
      cis_.assign(data, data + std::min<size_t>(r.length(), r.in_size - kDataOffset));
      break;
    case OID_READ_CIS_DATA: {
      const size_t n = std::min(cis_.size(), data_room);
      std::copy(cis_.begin(), cis_.begin() + n, data);
      put_u32(buffer + kLengthOffset,
              cis_reported_length_ ? cis_reported_length_ : uint32_t(cis_.size()));
      break;
    }
    case OID_CHIP_INFO:
      set_param(1, 0x0100);
      set_param(kChipVariantParam, config_.chip_variant);
      break;
    // ---- packet path ----
    case OID_RECEIVE_PACKET: {
      if (received_.empty()) return false;
      std::vector<uint8_t> frame = std::move(received_.front());
      received_.pop_front();
      const size_t n = std::min(frame.size(), data_room);
      std::copy(frame.begin(), frame.begin() + n, data);
      put_u32(buffer + kLengthOffset,
              receive_reported_length_ ? receive_reported_length_ : uint32_t(frame.size()));
      break;
    }
    case OID_GEN_CURRENT_PACKET_FILTER:
      packet_filter_ = p0;
      break;
    case OID_COMMAND_STATUS:
      answer_status(buffer);
      break;
    default:  // plain settings: the value recorded above is all there is
      break;
  }
  if (info->kind == Kind::Query) {
    auto word = query_words_.find(oid);
    if (word != query_words_.end()) set_param(0, word->second);
  }
  if (info->kind == Kind::Command) {
    start_command(command, marks.result_set ? marks.result : result);
    if (marks.never) command_.never = true;
    if (marks.id == kReportOtherId) command_.id = command + 1;
  }

  *out_bytes = out_size;
  if (fault == Outcome::FailAnswered) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Log, scripts and state

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
}

void SimulatedAdapter::add_fault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(fault);
}

void SimulatedAdapter::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
  never_finish_ = false;
  reported_command_id_ = -1;
  cis_reported_length_ = 0;
  receive_reported_length_ = 0;
  oid_completion_count_ = 0;
  query_words_.clear();
}

void SimulatedAdapter::set_completion_polls(uint32_t polls) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.completion_polls = polls;
}

void SimulatedAdapter::set_never_finish(bool never) {
  std::lock_guard<std::mutex> lock(mutex_);
  never_finish_ = never;
  command_.never = never;
}

void SimulatedAdapter::set_reported_command_id(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  reported_command_id_ = id;
}

void SimulatedAdapter::set_write_completion(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.write_completion = c;
}

void SimulatedAdapter::set_reset_completion(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.reset_completion = c;
}

void SimulatedAdapter::set_cancel_completion(const Completion& c) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.cancel_completion = c;
}

void SimulatedAdapter::set_oid_completion(const Completion& c, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  oid_completion_ = c;
  oid_completion_count_ = count;
}

void SimulatedAdapter::set_query_word(uint32_t oid, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  query_words_[oid] = value;
}

void SimulatedAdapter::set_cis_reported_length(uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  cis_reported_length_ = length;
}

void SimulatedAdapter::set_receive_reported_length(uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  receive_reported_length_ = length;
}

void SimulatedAdapter::set_eeprom_type(uint32_t type) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.eeprom_type = type;
  eeprom_.resize(type == kEepromType128 ? 128 : 256, 0xFF);
}

uint32_t SimulatedAdapter::eeprom_type() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.eeprom_type;
}

std::vector<uint8_t> SimulatedAdapter::eeprom() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eeprom_;
}

void SimulatedAdapter::set_eeprom(const std::vector<uint8_t>& image) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (image.size() != 128 && image.size() != 256) return;
  eeprom_ = image;
  config_.eeprom_type = image.size() == 128 ? kEepromType128 : kEepromType256;
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

void SimulatedAdapter::set_chip_variant(uint32_t variant) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.chip_variant = variant;
}

uint32_t SimulatedAdapter::mac_register(uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = mac_regs_.find(address);
  return it == mac_regs_.end() ? 0 : it->second;
}

void SimulatedAdapter::set_mac_register(uint32_t address, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  mac_regs_[address] = value;
}

uint32_t SimulatedAdapter::bb_register(uint32_t bank, uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto& regs = bb_regs_[bank == 1 ? 1 : 0];
  auto it = regs.find(address);
  return it == regs.end() ? 0 : it->second;
}

void SimulatedAdapter::set_bb_register(uint32_t bank, uint32_t address, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  bb_regs_[bank == 1 ? 1 : 0][address] = value;
}

uint32_t SimulatedAdapter::rf_register(uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rf_regs_.find(address);
  return it == rf_regs_.end() ? 0 : it->second;
}

void SimulatedAdapter::set_rf_register(uint32_t address, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  rf_regs_[address] = value;
}

bool SimulatedAdapter::setting(uint32_t oid, uint32_t* first, uint32_t* second) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = settings_.find(oid);
  if (it == settings_.end()) return false;
  if (first) *first = it->second.first;
  if (second) *second = it->second.second;
  return true;
}

void SimulatedAdapter::set_query_answer(uint32_t oid, uint32_t index, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  indexed_answers_[{oid, index}] = value;
}

bool SimulatedAdapter::test_mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return test_mode_;
}

bool SimulatedAdapter::rx_test_running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rx_test_;
}

uint32_t SimulatedAdapter::reset_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reset_dut_count_;
}

uint32_t SimulatedAdapter::adapter_resets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return adapter_resets_;
}

SimulatedAdapter::Counters SimulatedAdapter::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::vector<uint8_t> SimulatedAdapter::mac_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mac_;
}

void SimulatedAdapter::set_permanent_address(const std::vector<uint8_t>& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  permanent_ = address;
  permanent_.resize(kMacAddressLength);
}

std::vector<uint8_t> SimulatedAdapter::cis() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cis_;
}

void SimulatedAdapter::set_cis(const std::vector<uint8_t>& cis) {
  std::lock_guard<std::mutex> lock(mutex_);
  cis_ = cis;
}

uint32_t SimulatedAdapter::packet_filter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packet_filter_;
}

void SimulatedAdapter::queue_received_frame(const std::vector<uint8_t>& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.push_back(frame);
}

size_t SimulatedAdapter::queued_received_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

uint64_t SimulatedAdapter::frames_written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_written_;
}

std::vector<std::vector<uint8_t>> SimulatedAdapter::recent_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {recent_frames_.begin(), recent_frames_.end()};
}

std::vector<uint64_t> SimulatedAdapter::recent_frame_offsets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {recent_offsets_.begin(), recent_offsets_.end()};
}

bool SimulatedAdapter::all_frames_identical() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_identical_;
}

void SimulatedAdapter::clear_frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_written_ = 0;
  recent_frames_.clear();
  recent_offsets_.clear();
  first_frame_.clear();
  frames_identical_ = true;
}

}  // namespace simadapter
