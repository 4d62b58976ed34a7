#include "simulated_adapter/device_model.h"

#include <cstring>
#include <type_traits>

namespace simadapter {

using namespace talven::wire;

static_assert(std::is_trivially_destructible<DeviceModel>::value,
              "a kernel host frees the model's memory without running anything");
static_assert(sizeof(LoggedRequest) == 16 + kLoggedRequestBytes, "one memcpy per control entry");
static_assert((kRequestLogEntries & (kRequestLogEntries - 1)) == 0, "ring index by mask");
static_assert((kRegisterSlots & (kRegisterSlots - 1)) == 0, "probe by mask");

namespace {

constexpr int32_t kReportOtherId = -2;
constexpr uint32_t kBusyResultWord = 0xB5B5B5B5;
constexpr uint8_t kDefaultCis[] = {0x01, 0x03, 0xD9, 0x01, 0xFF, 0x1C,
                                   0x04, 0x03, 0xD9, 0x01, 0xFF, 0xFF};

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
static_assert(sizeof(kOids) / sizeof(kOids[0]) == kKnownOids, "one setting slot per OID");

// Index of `oid` in kOids; -1 when the adapter does not know it.
constexpr int oid_index(uint32_t oid) {
  for (uint32_t i = 0; i < kKnownOids; ++i)
    if (kOids[i].oid == oid) return int(i);
  return -1;
}
constexpr int kTxPowerControlSlot = oid_index(OID_SET_TX_POWER_CONTROL);
constexpr int kTxPowerBaseOffsetSlot = oid_index(OID_SET_TX_POWER_BASE_OFFSET);
static_assert(kTxPowerControlSlot >= 0 && kTxPowerBaseOffsetSlot >= 0);

uint32_t width_mask(uint32_t width) {
  return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

uint32_t smaller(uint32_t a, size_t b) {
  return b < a ? uint32_t(b) : a;
}

// FNV-1a over a whole frame: frames longer than the bytes kept still compare in full.
uint64_t frame_hash(const uint8_t* data, uint32_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (uint32_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

uint32_t register_hash(uint32_t file, uint32_t address) {
  uint32_t h = address * 0x9E3779B1u ^ (file + 1) * 0x85EBCA77u;
  return (h ^ (h >> 15)) & (kRegisterSlots - 1);
}

}  // namespace

void write_factory_eeprom(uint8_t (&image)[kEepromBytes]) {
  std::memset(image, 0xFF, sizeof(image));
  static constexpr uint8_t kHead[] = {0x29, 0x80, 0x1A, 0x2B, 0x3C, 0x4D,
                                      0x01, 0x00, 0x00, 0x00, 0x35};
  std::memcpy(image, kHead, sizeof(kHead));
  static constexpr uint8_t kMac[] = {0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  std::memcpy(image + 14, kMac, sizeof(kMac));
  static constexpr uint32_t kPower24[] = {44, 46, 48, 122, 124, 54, 56};  // channels 1 to 14
  for (uint32_t offset : kPower24) {
    image[offset] = 0x9A;
    image[offset + 1] = 0x9B;
  }
  for (uint32_t offset = 32; offset <= 42; offset += 2) {  // 5 GHz channels
    image[offset] = uint8_t(0x20 + offset);
    image[offset + 1] = uint8_t(0x21 + offset);
  }
}

DeviceModel::DeviceModel(const Config& config) {
  power_on(config);
}

void DeviceModel::power_on(const Config& config) {
  config_ = config;
  oid_completion_ = Completion{};
  oid_completion_count_ = 0;
  command_ = Command{};
  status_sequence_ = 0;
  never_finish_ = false;
  reported_command_id_ = -1;
  cis_reported_length_ = 0;
  receive_reported_length_ = 0;
  fault_count_ = 0;
  std::memset(settings_, 0, sizeof(settings_));
  std::memset(query_words_, 0, sizeof(query_words_));
  query_answer_count_ = 0;
  std::memset(registers_, 0, sizeof(registers_));
  register_count_ = 0;
  std::memset(eeprom_, 0xFF, sizeof(eeprom_));
  test_mode_ = false;
  rx_test_ = false;
  reset_dut_count_ = 0;
  adapter_resets_ = 0;
  counters_ = Counters{};
  std::memcpy(mac_, config.mac_address, sizeof(mac_));
  std::memcpy(permanent_, config.permanent_address, sizeof(permanent_));
  set_cis(kDefaultCis, sizeof(kDefaultCis));
  packet_filter_ = 0;
  received_head_ = 0;
  received_count_ = 0;
  logged_ = 0;
  clear_frames();
}

// ---------------------------------------------------------------------------------------------
// Driver contract

void DeviceModel::log_request(uint32_t code, const uint8_t* buffer, uint32_t in_size,
                              uint32_t out_size) {
  LoggedRequest& entry = log_[logged_ & (kRequestLogEntries - 1)];
  entry.sequence = logged_++;
  entry.code = code;
  entry.in_size = in_size;
  entry.out_size = out_size;
  const uint32_t kept = buffer != nullptr ? smaller(kLoggedRequestBytes, in_size) : 0;
  if (kept > 0) std::memcpy(entry.bytes, buffer, kept);
  std::memset(entry.bytes + kept, 0, kLoggedRequestBytes - kept);
}

bool DeviceModel::oid_request(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                              uint32_t* out_bytes) {
  log_request(code, buffer, in_size, out_size);
  *out_bytes = 0;
  if (code != IOCTL_OID_SET && code != IOCTL_OID_QUERY) return false;
  if (buffer == nullptr || in_size < kDataOffset || out_size < kDataOffset) return false;
  return handle(code, buffer, in_size, out_size, out_bytes);
}

Completion DeviceModel::oid_completion() {
  if (oid_completion_count_ == 0) return Completion{};
  if (oid_completion_count_ > 0) --oid_completion_count_;
  return oid_completion_;
}

OidAnswer DeviceModel::answer_oid(uint32_t code, uint8_t* buffer, uint32_t in_size,
                                  uint32_t out_size) {
  OidAnswer answer;
  answer.ok = oid_request(code, buffer, in_size, out_size, &answer.out_bytes);
  answer.completion = oid_completion();
  return answer;
}

Completion DeviceModel::reset() {
  log_request(IOCTL_ADAPTER_RESET, nullptr, 0, 0);
  ++adapter_resets_;
  return config_.reset_completion;
}

Completion DeviceModel::write_issued() const {
  return config_.write_completion;
}

void DeviceModel::frame_sent(const uint8_t* data, uint32_t size, uint64_t offset) {
  if (data == nullptr) size = 0;
  const uint32_t stored = smaller(kFrameBytes, size);
  const uint64_t hash = frame_hash(data, size);
  if (frames_written_ == 0) {
    first_frame_size_ = size;
    first_frame_hash_ = hash;
    if (stored > 0) std::memcpy(first_frame_, data, stored);
  } else if (size != first_frame_size_ || hash != first_frame_hash_ ||
             (stored > 0 && std::memcmp(data, first_frame_, stored) != 0)) {
    frames_identical_ = false;
  }
  ++frames_written_;
  ++counters_.tx_sent;
  if (counters_.ack_enabled) ++counters_.ack;
  LoggedFrame& frame = frames_[frame_next_];
  frame_next_ = (frame_next_ + 1) % kFramesKept;
  frame.size = size;
  frame.stored = stored;
  frame.offset = offset;
  if (stored > 0) std::memcpy(frame.bytes, data, stored);
}

Completion DeviceModel::cancel_completion() const {
  return config_.cancel_completion;
}

// ---------------------------------------------------------------------------------------------
// Requests

DeviceModel::Outcome DeviceModel::apply_fault(uint32_t oid, uint32_t address, Command* command) {
  for (uint32_t i = 0; i < fault_count_; ++i) {
    Fault& f = faults_[i];
    if (f.oid != oid || f.remaining == 0) continue;
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

void DeviceModel::start_command(int32_t id, uint32_t result) {
  command_.id = id;
  command_.result = result;
  command_.busy_polls = config_.completion_polls;
  command_.finished = false;
  command_.never = never_finish_;
}

void DeviceModel::answer_status(uint8_t* buffer) {
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
  const int64_t reported = reported_command_id_ >= 0 ? reported_command_id_ : command_.id;
  put_u32(buffer + param_offset(0), 1);
  put_u32(buffer + param_offset(1), static_cast<uint32_t>(reported));
  put_u32(buffer + param_offset(3), command_.result);
}

uint32_t DeviceModel::eeprom_read(uint32_t offset, uint32_t width) const {
  const uint32_t n = eeprom_size();
  uint32_t v = eeprom_[offset % n];
  if (width == kEepromWidthWord) v |= uint32_t(eeprom_[(offset + 1) % n]) << 8;
  return v;
}

void DeviceModel::eeprom_write(uint32_t offset, uint32_t width, uint32_t value) {
  const uint32_t n = eeprom_size();
  eeprom_[offset % n] = uint8_t(value);
  if (width == kEepromWidthWord) eeprom_[(offset + 1) % n] = uint8_t(value >> 8);
}

void DeviceModel::advance_rx_test() {
  if (!rx_test_) return;
  counters_.rx_received += config_.rx_frames_per_query;
  counters_.rx_crc_errors += config_.rx_crc_errors_per_query;
}

bool DeviceModel::handle(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                         uint32_t* out_bytes) {
  // The answer is written into the same buffer: every input word is read before it is.
  const uint32_t oid = get_u32(buffer + kOidOffset);
  const uint32_t length = get_u32(buffer + kLengthOffset);
  const int slot = oid_index(oid);
  if (slot < 0) return false;
  const OidInfo& info = kOids[slot];
  // The driver needs the whole payload it was promised, and a record that covers it.
  if (length < info.min_length) return false;
  if (uint64_t(in_size) < uint64_t(kTransferBase) + length) return false;
  const bool query = code == IOCTL_OID_QUERY;
  if ((info.kind == Kind::Query) != query) return false;

  // in_size covers the whole record head and the first Data words from here on.
  const uint32_t p0 = get_u32(buffer + param_offset(0));
  const uint32_t p1 = get_u32(buffer + param_offset(1));
  const uint32_t p2 = get_u32(buffer + param_offset(2));
  const uint32_t d0 = get_u32(buffer + kEepromWriteOffsetAt);
  const uint32_t d1 = get_u32(buffer + kEepromWriteWidthAt);
  const uint32_t d2 = get_u32(buffer + kEepromWriteValueAt);

  Command marks;
  const Outcome fault = apply_fault(oid, oid == OID_EEPROM_WRITE ? d0 : p0, &marks);
  if (fault == Outcome::Fail) return false;

  auto set_param = [buffer](size_t i, uint32_t v) { put_u32(buffer + param_offset(i), v); };
  uint8_t* data = buffer + kDataOffset;
  const uint32_t data_room = out_size - uint32_t(kDataOffset);

  int32_t command = info.command;
  uint32_t result = 0;
  // Every set request leaves its words as the adapter's current setting for that OID.
  if (!query) settings_[slot] = Setting{true, p0, p1};

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
      const Setting& s = settings_[kTxPowerControlSlot];
      set_param(0, s.set ? s.first : 0);
      break;
    }
    case OID_GET_CR_SIGNAL_QUALITY:
    case OID_GET_INTEGRATOR:
    case OID_GET_SIGNAL_QUALITY: {
      const uint32_t index = oid == OID_GET_CR_SIGNAL_QUALITY ? 0 : p0;
      uint32_t value = 0x40 + index;
      for (uint32_t i = 0; i < query_answer_count_; ++i)
        if (query_answers_[i].oid == oid && query_answers_[i].index == index)
          value = query_answers_[i].value;
      set_param(0, value);
      break;
    }
    case OID_QUERY_RF_TYPE:
      set_param(0, config_.rf_type);
      break;
    case OID_GET_TX_POWER_BASE_OFFSET: {
      const Setting& s = settings_[kTxPowerBaseOffsetSlot];
      set_param(0, s.set ? s.first : 0);
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
        set_register(RegisterFile::Mac, p0, p2 & width_mask(p1));
      else
        result = register_value(RegisterFile::Mac, p0) & width_mask(p1);
      break;
    }
    case OID_BB_REG_WRITE:
    case OID_BB_REG_READ: {
      const bool bank1 = p1 == 1;
      const RegisterFile file = bank1 ? RegisterFile::BbBank1 : RegisterFile::BbBank0;
      if (oid == OID_BB_REG_WRITE) {
        command = bank1 ? CMD_BB_WRITE_BANK1 : CMD_BB_WRITE_BANK0;
        set_register(file, p0, p2);
      } else {
        command = bank1 ? CMD_BB_READ_BANK1 : CMD_BB_READ_BANK0;
        result = register_value(file, p0);
      }
      break;
    }
    case OID_RF_REG_WRITE:
      set_register(RegisterFile::Rf, p0, p2);
      break;
    case OID_RF_REG_READ:
      result = register_value(RegisterFile::Rf, p0);
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
    case OID_EEPROM_WRITE:
      if (d1 != kEepromWidthByte && d1 != kEepromWidthWord) return false;
      command = d1 == kEepromWidthByte ? CMD_EEPROM_WRITE_BYTE : CMD_EEPROM_WRITE_WORD;
      eeprom_write(d0, d1, d2);
      break;
    // ---- identity ----
    case OID_WRITE_MAC_ADDRESS:
      std::memcpy(mac_, data, kMacAddressLength);
      break;
    case OID_READ_MAC_ADDRESS:
      std::memcpy(data, mac_, kMacAddressLength);
      break;
    case OID_PERMANENT_ADDRESS:
      std::memcpy(data, permanent_, kMacAddressLength);
      break;
    case OID_WRITE_CIS_DATA:
      set_cis(data, smaller(length, in_size - kDataOffset));
      break;
    case OID_READ_CIS_DATA: {
      const uint32_t n = smaller(cis_size_, data_room);
      std::memcpy(data, cis_, n);
      put_u32(buffer + kLengthOffset, cis_reported_length_ ? cis_reported_length_ : cis_size_);
      break;
    }
    case OID_CHIP_INFO:
      set_param(1, 0x0100);
      set_param(kChipVariantParam, config_.chip_variant);
      break;
    // ---- packet path ----
    case OID_RECEIVE_PACKET: {
      if (received_count_ == 0) return false;
      const ReceivedFrame& frame = received_[received_head_];
      received_head_ = (received_head_ + 1) % kReceivedFramesQueued;
      --received_count_;
      const uint32_t n = smaller(frame.stored, data_room);
      std::memcpy(data, frame.bytes, n);
      put_u32(buffer + kLengthOffset,
              receive_reported_length_ ? receive_reported_length_ : frame.size);
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
  if (info.kind == Kind::Query && query_words_[slot].set) set_param(0, query_words_[slot].value);
  if (info.kind == Kind::Command) {
    start_command(command, marks.result_set ? marks.result : result);
    if (marks.never) command_.never = true;
    if (marks.id == kReportOtherId) command_.id = command + 1;
  }

  *out_bytes = out_size;
  return fault != Outcome::FailAnswered;
}

// ---------------------------------------------------------------------------------------------
// Request log

uint32_t DeviceModel::requests_logged() const {
  return logged_;
}

uint32_t DeviceModel::oldest_logged() const {
  return logged_ > kRequestLogEntries ? logged_ - kRequestLogEntries : 0;
}

const LoggedRequest* DeviceModel::logged_request(uint32_t sequence) const {
  if (sequence >= logged_ || sequence < oldest_logged()) return nullptr;
  return &log_[sequence & (kRequestLogEntries - 1)];
}

void DeviceModel::clear_requests() {
  logged_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Scripted behaviour

bool DeviceModel::add_fault(const Fault& fault) {
  if (fault_count_ == kFaultSlots) return false;
  faults_[fault_count_++] = fault;
  return true;
}

void DeviceModel::clear_faults() {
  fault_count_ = 0;
  never_finish_ = false;
  reported_command_id_ = -1;
  cis_reported_length_ = 0;
  receive_reported_length_ = 0;
  oid_completion_count_ = 0;
  std::memset(query_words_, 0, sizeof(query_words_));
}

void DeviceModel::set_completion_polls(uint32_t polls) {
  config_.completion_polls = polls;
}

void DeviceModel::set_never_finish(bool never) {
  never_finish_ = never;
  command_.never = never;
}

void DeviceModel::set_reported_command_id(int64_t id) {
  reported_command_id_ = id;
}

void DeviceModel::set_write_completion(const Completion& c) {
  config_.write_completion = c;
}

void DeviceModel::set_reset_completion(const Completion& c) {
  config_.reset_completion = c;
}

void DeviceModel::set_cancel_completion(const Completion& c) {
  config_.cancel_completion = c;
}

void DeviceModel::set_oid_completion(const Completion& c, int count) {
  oid_completion_ = c;
  oid_completion_count_ = count;
}

bool DeviceModel::knows_oid(uint32_t oid) {
  return oid_index(oid) >= 0;
}

bool DeviceModel::set_query_word(uint32_t oid, uint32_t value) {
  const int slot = oid_index(oid);
  if (slot < 0) return false;
  query_words_[slot] = QueryWord{true, value};
  return true;
}

bool DeviceModel::set_query_answer(uint32_t oid, uint32_t index, uint32_t value) {
  for (uint32_t i = 0; i < query_answer_count_; ++i) {
    if (query_answers_[i].oid == oid && query_answers_[i].index == index) {
      query_answers_[i].value = value;
      return true;
    }
  }
  if (query_answer_count_ == kQueryAnswerSlots) return false;
  query_answers_[query_answer_count_++] = QueryAnswer{oid, index, value};
  return true;
}

void DeviceModel::set_cis_reported_length(uint32_t length) {
  cis_reported_length_ = length;
}

void DeviceModel::set_receive_reported_length(uint32_t length) {
  receive_reported_length_ = length;
}

// ---------------------------------------------------------------------------------------------
// EEPROM

uint32_t DeviceModel::eeprom_type() const {
  return config_.eeprom_type;
}

uint32_t DeviceModel::eeprom_size() const {
  return config_.eeprom_type == kEepromType128 ? 128 : 256;
}

const uint8_t* DeviceModel::eeprom() const {
  return eeprom_;
}

void DeviceModel::set_eeprom_type(uint32_t type) {
  const uint32_t before = eeprom_size();
  config_.eeprom_type = type;
  const uint32_t after = eeprom_size();
  // Bytes past the image always read 0xFF, so that an image that grows again gains 0xFF.
  if (after < before) std::memset(eeprom_ + after, 0xFF, before - after);
}

bool DeviceModel::set_eeprom(const uint8_t* image, size_t size) {
  if (image == nullptr || (size != 128 && size != 256)) return false;
  std::memset(eeprom_, 0xFF, sizeof(eeprom_));
  std::memcpy(eeprom_, image, size);
  config_.eeprom_type = size == 128 ? kEepromType128 : kEepromType256;
  return true;
}

void DeviceModel::load_factory_eeprom() {
  uint8_t image[kEepromBytes];
  write_factory_eeprom(image);
  std::memcpy(eeprom_, image, eeprom_size());
}

// ---------------------------------------------------------------------------------------------
// Registers: one open-addressing table for all files; entries are never removed (power_on
// empties it).

const DeviceModel::RegisterSlot* DeviceModel::find_register(uint32_t file, uint32_t address) const {
  uint32_t i = register_hash(file, address);
  for (uint32_t probes = 0; probes < kRegisterSlots; ++probes) {
    const RegisterSlot& slot = registers_[i];
    if (slot.key_high == 0) return nullptr;
    if (slot.key_high == file + 1 && slot.address == address) return &slot;
    i = (i + 1) & (kRegisterSlots - 1);
  }
  return nullptr;
}

uint32_t DeviceModel::register_value(RegisterFile file, uint32_t address) const {
  const RegisterSlot* slot = find_register(uint32_t(file), address);
  return slot != nullptr ? slot->value : 0;
}

bool DeviceModel::set_register(RegisterFile file, uint32_t address, uint32_t value) {
  const uint32_t f = uint32_t(file);
  if (f > uint32_t(RegisterFile::Rf)) return false;
  uint32_t i = register_hash(f, address);
  for (uint32_t probes = 0; probes < kRegisterSlots; ++probes) {
    RegisterSlot& slot = registers_[i];
    if (slot.key_high == f + 1 && slot.address == address) {
      slot.value = value;
      return true;
    }
    if (slot.key_high == 0) {
      slot = RegisterSlot{f + 1, address, value};
      ++register_count_;
      return true;
    }
    i = (i + 1) & (kRegisterSlots - 1);
  }
  return false;  // every slot holds another address
}

uint32_t DeviceModel::mac_register(uint32_t address) const {
  return register_value(RegisterFile::Mac, address);
}

void DeviceModel::set_mac_register(uint32_t address, uint32_t value) {
  set_register(RegisterFile::Mac, address, value);
}

uint32_t DeviceModel::bb_register(uint32_t bank, uint32_t address) const {
  return register_value(bank == 1 ? RegisterFile::BbBank1 : RegisterFile::BbBank0, address);
}

void DeviceModel::set_bb_register(uint32_t bank, uint32_t address, uint32_t value) {
  set_register(bank == 1 ? RegisterFile::BbBank1 : RegisterFile::BbBank0, address, value);
}

uint32_t DeviceModel::rf_register(uint32_t address) const {
  return register_value(RegisterFile::Rf, address);
}

void DeviceModel::set_rf_register(uint32_t address, uint32_t value) {
  set_register(RegisterFile::Rf, address, value);
}

// ---------------------------------------------------------------------------------------------
// State

void DeviceModel::set_chip_variant(uint32_t variant) {
  config_.chip_variant = variant;
}

uint32_t DeviceModel::chip_variant() const {
  return config_.chip_variant;
}

bool DeviceModel::setting(uint32_t oid, uint32_t* first, uint32_t* second) const {
  const int slot = oid_index(oid);
  if (slot < 0 || !settings_[slot].set) return false;
  if (first) *first = settings_[slot].first;
  if (second) *second = settings_[slot].second;
  return true;
}

bool DeviceModel::test_mode() const {
  return test_mode_;
}

bool DeviceModel::rx_test_running() const {
  return rx_test_;
}

uint32_t DeviceModel::reset_count() const {
  return reset_dut_count_;
}

uint32_t DeviceModel::adapter_resets() const {
  return adapter_resets_;
}

Counters DeviceModel::counters() const {
  return counters_;
}

uint32_t DeviceModel::packet_filter() const {
  return packet_filter_;
}

const uint8_t* DeviceModel::mac_address() const {
  return mac_;
}

void DeviceModel::set_mac_address(const uint8_t (&address)[6]) {
  std::memcpy(mac_, address, sizeof(mac_));
}

const uint8_t* DeviceModel::permanent_address() const {
  return permanent_;
}

void DeviceModel::set_permanent_address(const uint8_t (&address)[6]) {
  std::memcpy(permanent_, address, sizeof(permanent_));
}

const uint8_t* DeviceModel::cis() const {
  return cis_;
}

uint32_t DeviceModel::cis_size() const {
  return cis_size_;
}

void DeviceModel::set_cis(const uint8_t* cis, size_t size) {
  cis_size_ = cis != nullptr ? smaller(kCisBytes, size) : 0;
  if (cis_size_ > 0) std::memcpy(cis_, cis, cis_size_);
}

// ---------------------------------------------------------------------------------------------
// Frames

bool DeviceModel::queue_received_frame(const uint8_t* frame, size_t size) {
  if (received_count_ == kReceivedFramesQueued) return false;
  if (frame == nullptr) size = 0;
  ReceivedFrame& slot = received_[(received_head_ + received_count_) % kReceivedFramesQueued];
  slot.size = smaller(0xFFFFFFFFu, size);
  slot.stored = smaller(kFrameBytes, size);
  if (slot.stored > 0) std::memcpy(slot.bytes, frame, slot.stored);
  ++received_count_;
  return true;
}

uint32_t DeviceModel::queued_received_frames() const {
  return received_count_;
}

uint64_t DeviceModel::frames_written() const {
  return frames_written_;
}

uint32_t DeviceModel::frames_kept() const {
  return frames_written_ < kFramesKept ? uint32_t(frames_written_) : kFramesKept;
}

const LoggedFrame& DeviceModel::frame(uint32_t i) const {
  const uint32_t kept = frames_kept();
  if (i >= kept) i = kept > 0 ? kept - 1 : 0;
  return frames_[(frame_next_ + kFramesKept - kept + i) % kFramesKept];
}

bool DeviceModel::all_frames_identical() const {
  return frames_identical_;
}

void DeviceModel::clear_frames() {
  frames_written_ = 0;
  frame_next_ = 0;
  first_frame_size_ = 0;
  first_frame_hash_ = 0;
  frames_identical_ = true;
}

}  // namespace simadapter
