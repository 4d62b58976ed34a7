// talvenctl on Linux: the simulated adapter's state kept in a JSON file between invocations
// (--sim-state FILE or TALVENCTL_SIM_STATE), so that a sequence of commands works on one
// adapter. This is the only file of the tool that knows the simulated machine.
//
// Kept: EEPROM type and image, runtime and permanent addresses, chip variant, CIS data, the
// MAC/BB/RF registers written (found in the adapter's request log) and those loaded from the
// file, test mode and the last
// value of each radio setting, the transmit modes among them. Traffic counters start at zero
// in every process.
//
// A killed process leaves the adapter as the hardware would be left: every request that changes
// what the file keeps (an EEPROM word, the runtime address, the CIS, a register, a setting, test
// mode) is appended, as it reaches the adapter, to FILE.writes with one write(2) per entry; the
// next process replays those entries over FILE. A normal end folds everything into FILE (a new
// file renamed over the old, with a generation number one higher) and removes FILE.writes; the
// entries of an older generation are never replayed.
//
// Test hook: TALVENCTL_TEST_SIM_FAULT="eeprom-write@0x40,eeprom-read@0x10x2" makes the
// requests of that kind for that EEPROM offset (or register address) fail, every time or the
// given number of times (the "xN" suffix); with "/STEP" appended, only from the named test
// step on (see test_abort_point), e.g. "eeprom-read@0x60/load-after-write".
// Test hook: TALVENCTL_TEST_SIM_HOLD="eeprom-write@0x80" stops the process when that request
// reaches the adapter (before the adapter acts on it): it creates the file
// $TALVENCTL_TEST_MARK_DIR/sim-hold and waits there to be killed, or for the test to remove
// the file (the request then goes on).
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "simulated_adapter/adapter_device.h"
#include "simulated_adapter/simulated_adapter.h"
#include "simulated_adapter/simulated_machine.h"
#include "win32sim/machine.h"
#include "tool.h"
#include "win32sim/simulated_adapter_device.h"

namespace talvenctl {
namespace {

namespace wire = talven::wire;

std::string g_path;
uint64_t g_generation = 0;  // of the state file as read
int g_writes = -1;          // FILE.writes, opened on the first change
json g_loaded;              // the state as read (without its generation)
std::set<std::tuple<char, uint32_t, uint32_t>> g_registers;  // kind, bank, address

// Radio settings whose last value the adapter keeps and the file carries.
constexpr uint32_t kSettingOids[] = {
    wire::OID_SET_DATA_RATE,         wire::OID_SET_PREAMBLE,
    wire::OID_SET_FILTER_BB,         wire::OID_SET_MANUAL_DIVERSITY_BB,
    wire::OID_SET_CHANNEL,           wire::OID_SET_TX_CONTINUOUS,
    wire::OID_SET_SINGLE_CARRIER_TX, wire::OID_SET_TX_ANTENNA_BB,
    wire::OID_SET_ANTENNA_BB,        wire::OID_SET_CR_SCRAMBLER,
    wire::OID_SET_TX_POWER_CONTROL,  wire::OID_SET_CR_TX_CONFIG,
    wire::OID_SET_CR_SETPOINT,       wire::OID_SET_CARRIER_SUPPRESSION_TX,
    wire::OID_SET_MODULATION,        wire::OID_SET_PACKET_RX_TEST,
    wire::OID_SET_INITIAL_GAIN,      wire::OID_SET_BBRF_STANDBY,
    wire::OID_SET_BBRF_SHUTDOWN,     wire::OID_SET_TX_CHARGE_PUMP,
    wire::OID_SET_RX_CHARGE_PUMP,    wire::OID_SET_TX_POWER_BASE_OFFSET,
};

std::shared_ptr<simadapter::SimulatedAdapter> adapter() {
  ::Sleep(0);  // any Win32 call builds the default machine on first use
  return win32sim::default_adapter();
}

std::string to_hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::vector<uint8_t> from_hex(const std::string& s) {
  if (s.size() % 2 != 0) throw std::runtime_error("odd number of hex digits");
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < s.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return bytes;
}

// One OID request straight to the adapter, as the driver would receive it.
bool request(simadapter::SimulatedAdapter& a, uint32_t code, uint32_t oid, uint32_t length,
             const std::vector<uint32_t>& params, const std::vector<uint8_t>& data,
             std::vector<uint8_t>* answer = nullptr) {
  std::vector<uint8_t> buffer(wire::kRecordSize + wire::kDataSize, 0);
  wire::put_u32(buffer.data() + wire::kOidOffset, oid);
  wire::put_u32(buffer.data() + wire::kLengthOffset, length);
  for (size_t i = 0; i < params.size(); ++i)
    wire::put_u32(buffer.data() + wire::param_offset(i), params[i]);
  std::copy(data.begin(), data.end(), buffer.begin() + wire::kDataOffset);
  const uint32_t size = wire::transfer_size(length);
  uint32_t out_bytes = 0;
  const bool ok = a.oid_request(code, buffer.data(), size, size, &out_bytes);
  if (answer != nullptr) *answer = buffer;
  return ok;
}

std::vector<uint8_t> permanent_address(simadapter::SimulatedAdapter& a) {
  std::vector<uint8_t> answer;
  request(a, wire::IOCTL_OID_QUERY, wire::OID_PERMANENT_ADDRESS, wire::kMacAddressLength, {}, {},
          &answer);
  return std::vector<uint8_t>(answer.begin() + wire::kDataOffset,
                              answer.begin() + wire::kDataOffset + wire::kMacAddressLength);
}

uint32_t chip_variant(simadapter::SimulatedAdapter& a) {
  std::vector<uint8_t> answer;
  request(a, wire::IOCTL_OID_QUERY, wire::OID_CHIP_INFO, wire::kChipInfoLength, {}, {}, &answer);
  return wire::get_u32(answer.data() + wire::param_offset(wire::kChipVariantParam));
}

void load(simadapter::SimulatedAdapter& a, const json& s) {
  g_generation = s.value("generation", uint64_t(0));
  if (s.contains("eeprom_type")) a.set_eeprom_type(s["eeprom_type"].get<uint32_t>());
  if (s.contains("eeprom")) {
    const std::vector<uint8_t> image = from_hex(s["eeprom"].get<std::string>());
    if (image.size() != a.eeprom().size()) throw std::runtime_error("EEPROM size and type differ");
    a.set_eeprom(image);
  }
  if (s.contains("mac_address"))
    request(a, wire::IOCTL_OID_SET, wire::OID_WRITE_MAC_ADDRESS, wire::kMacAddressLength, {},
            from_hex(s["mac_address"].get<std::string>()));
  if (s.contains("permanent_address"))
    a.set_permanent_address(from_hex(s["permanent_address"].get<std::string>()));
  if (s.contains("chip_variant")) a.set_chip_variant(s["chip_variant"].get<uint32_t>());
  if (s.contains("cis")) a.set_cis(from_hex(s["cis"].get<std::string>()));
  for (const json& r : s.value("registers", json::array())) {
    const std::string kind = r.at("kind").get<std::string>();
    const uint32_t address = r.at("address").get<uint32_t>();
    const uint32_t bank = r.value("bank", 0u), value = r.at("value").get<uint32_t>();
    if (kind == "mac") a.set_mac_register(address, value);
    if (kind == "bb") a.set_bb_register(bank, address, value);
    if (kind == "rf") a.set_rf_register(address, value);
    g_registers.insert({kind[0], bank, address});
  }
  for (const json& st : s.value("settings", json::array()))
    request(a, wire::IOCTL_OID_SET, st.at("oid").get<uint32_t>(), 8,
            {st.at("first").get<uint32_t>(), st.at("second").get<uint32_t>()}, {});
  if (s.value("test_mode", false))
    request(a, wire::IOCTL_OID_SET, wire::OID_START_TEST, 4, {0}, {});
}

json state(simadapter::SimulatedAdapter& a) {
  json s = json::object();
  s["generation"] = g_generation + 1;
  s["eeprom_type"] = a.eeprom_type();
  s["eeprom"] = to_hex(a.eeprom());
  s["mac_address"] = to_hex(a.mac_address());
  s["permanent_address"] = to_hex(permanent_address(a));
  s["chip_variant"] = chip_variant(a);
  s["cis"] = to_hex(a.cis());
  // The registers written in this process, at the addresses that reached the adapter.
  for (const simadapter::Request& r : a.requests_for(wire::OID_MAC_REG_WRITE))
    g_registers.insert({'m', 0u, r.param(0)});
  for (const simadapter::Request& r : a.requests_for(wire::OID_BB_REG_WRITE))
    g_registers.insert({'b', r.param(1) == 1 ? 1u : 0u, r.param(0)});
  for (const simadapter::Request& r : a.requests_for(wire::OID_RF_REG_WRITE))
    g_registers.insert({'r', 0u, r.param(0)});
  json regs = json::array();
  for (const auto& [kind, bank, address] : g_registers) {
    json r = {{"kind", kind == 'm' ? "mac" : kind == 'b' ? "bb" : "rf"}, {"address", address}};
    if (kind == 'b') r["bank"] = bank;
    r["value"] = kind == 'm'   ? a.mac_register(address)
                 : kind == 'b' ? a.bb_register(bank, address)
                               : a.rf_register(address);
    regs.push_back(r);
  }
  s["registers"] = regs;
  json settings = json::array();
  for (uint32_t oid : kSettingOids) {
    uint32_t first = 0, second = 0;
    if (a.setting(oid, &first, &second))
      settings.push_back({{"oid", oid}, {"first", first}, {"second", second}});
  }
  s["settings"] = settings;
  s["test_mode"] = a.test_mode();
  // For people and tests reading the file: is anything transmitting?
  auto last = [&](uint32_t oid) {
    uint32_t v = 0;
    return a.setting(oid, &v) ? v : 0u;
  };
  s["transmitter"] = {{"continuous", last(wire::OID_SET_TX_CONTINUOUS)},
                      {"single_carrier", last(wire::OID_SET_SINGLE_CARRIER_TX)},
                      {"carrier_suppression", last(wire::OID_SET_CARRIER_SUPPRESSION_TX)},
                      {"frames_sent", a.frames_written()}};
  return s;
}

// ---- Writes kept as they happen ----
std::string writes_path() {
  return g_path + ".writes";
}

// One entry, appended with a single write(2): a process killed at any point leaves whole
// entries before it (a power cut could tear the last one, which the replay skips).
void append_write(json entry) {
  if (g_path.empty()) return;
  if (g_writes < 0) {
    g_writes = ::open(writes_path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_writes < 0) throw std::runtime_error("cannot open " + writes_path());
  }
  entry["generation"] = g_generation;
  const std::string line = entry.dump() + "\n";
  if (::write(g_writes, line.data(), line.size()) != ssize_t(line.size()))
    throw std::runtime_error("cannot write " + writes_path());
}

void set_test_mode(simadapter::SimulatedAdapter& a, bool on) {
  request(a, wire::IOCTL_OID_SET, on ? wire::OID_START_TEST : wire::OID_STOP_TEST, 4, {0}, {});
}

void apply_write(simadapter::SimulatedAdapter& a, const json& w) {
  if (w.contains("eeprom")) {
    const std::vector<uint8_t> image = from_hex(w["eeprom"].get<std::string>());
    if (image.size() == a.eeprom().size()) a.set_eeprom(image);
  }
  if (w.contains("mac_address"))
    request(a, wire::IOCTL_OID_SET, wire::OID_WRITE_MAC_ADDRESS, wire::kMacAddressLength, {},
            from_hex(w["mac_address"].get<std::string>()));
  if (w.contains("cis")) a.set_cis(from_hex(w["cis"].get<std::string>()));
  if (w.contains("test_mode")) set_test_mode(a, w["test_mode"].get<bool>());
  if (w.contains("setting")) {
    const json& st = w["setting"];
    request(a, wire::IOCTL_OID_SET, st.at("oid").get<uint32_t>(), 8,
            {st.at("first").get<uint32_t>(), st.at("second").get<uint32_t>()}, {});
  }
  if (w.contains("register")) {
    const json& r = w["register"];
    const std::string kind = r.at("kind").get<std::string>();
    const uint32_t address = r.at("address").get<uint32_t>(), bank = r.value("bank", 0u);
    const uint32_t value = r.at("value").get<uint32_t>();
    if (kind == "mac") a.set_mac_register(address, value);
    if (kind == "bb") a.set_bb_register(bank, address, value);
    if (kind == "rf") a.set_rf_register(address, value);
    g_registers.insert({kind[0], bank, address});
  }
}

void replay_writes(simadapter::SimulatedAdapter& a) {
  std::ifstream in(writes_path());
  std::string line;
  while (std::getline(in, line)) {
    const json w = json::parse(line, nullptr, false);
    if (w.is_discarded() || !w.is_object() || w.value("generation", uint64_t(0)) != g_generation)
      continue;
    apply_write(a, w);
  }
}

// What a set request changed, read back from the adapter once it has acted on it.
void record_change(simadapter::SimulatedAdapter& a, uint32_t oid, const std::vector<uint8_t>& in) {
  auto param = [&](size_t i) {
    return wire::param_offset(i) + 4 <= in.size() ? wire::get_u32(in.data() + wire::param_offset(i))
                                                  : 0u;
  };
  if (oid == wire::OID_EEPROM_WRITE) {
    append_write({{"eeprom", to_hex(a.eeprom())}});
  } else if (oid == wire::OID_WRITE_MAC_ADDRESS) {
    append_write({{"mac_address", to_hex(a.mac_address())}});
  } else if (oid == wire::OID_WRITE_CIS_DATA) {
    append_write({{"cis", to_hex(a.cis())}});
  } else if (oid == wire::OID_START_TEST || oid == wire::OID_STOP_TEST ||
             oid == wire::OID_RESET_DUT) {
    append_write({{"test_mode", a.test_mode()}});
  } else if (oid == wire::OID_MAC_REG_WRITE) {
    append_write({{"register",
                   {{"kind", "mac"}, {"address", param(0)}, {"value", a.mac_register(param(0))}}}});
  } else if (oid == wire::OID_BB_REG_WRITE) {
    const uint32_t bank = param(1) == 1 ? 1u : 0u;
    append_write({{"register",
                   {{"kind", "bb"},
                    {"bank", bank},
                    {"address", param(0)},
                    {"value", a.bb_register(bank, param(0))}}}});
  } else if (oid == wire::OID_RF_REG_WRITE) {
    append_write({{"register",
                   {{"kind", "rf"}, {"address", param(0)}, {"value", a.rf_register(param(0))}}}});
  } else if (std::find(std::begin(kSettingOids), std::end(kSettingOids), oid) !=
             std::end(kSettingOids)) {
    uint32_t first = 0, second = 0;
    if (a.setting(oid, &first, &second))
      append_write({{"setting", {{"oid", oid}, {"first", first}, {"second", second}}}});
  }
}

// TALVENCTL_TEST_SIM_HOLD: the request kind and EEPROM offset that stop the process.
struct Hold {
  uint32_t oid = 0;
  bool match_address = false;
  uint32_t address = 0;
};
Hold g_hold;

void hold_if_asked(uint32_t oid, const std::vector<uint8_t>& in) {
  if (g_hold.oid == 0 || oid != g_hold.oid) return;
  const size_t at =
      oid == wire::OID_EEPROM_WRITE ? wire::kEepromWriteOffsetAt : wire::param_offset(0);
  const uint32_t address = at + 4 <= in.size() ? wire::get_u32(in.data() + at) : 0;
  if (g_hold.match_address && address != g_hold.address) return;
  const char* marks = std::getenv("TALVENCTL_TEST_MARK_DIR");
  if (marks == nullptr)
    for (;;) pause();  // until killed
  const std::string mark = std::string(marks) + "/sim-hold";
  std::ofstream(mark).flush();
  // Until killed, or released: the test removes the file.
  while (access(mark.c_str(), F_OK) == 0) usleep(10000);
}

// The adapter's device file with every state change kept as it happens.
class KeepingDevice : public win32sim::Device {
 public:
  KeepingDevice(std::shared_ptr<win32sim::Device> inner,
                std::shared_ptr<simadapter::SimulatedAdapter> adapter)
      : inner_(std::move(inner)), adapter_(std::move(adapter)) {}
  uint32_t open_error() override { return inner_->open_error(); }
  win32sim::IoOutcome device_control(uint32_t code, uint8_t* buffer, uint32_t in_size,
                                     uint32_t out_size,
                                     const std::shared_ptr<win32sim::PendingIo>& pending) override {
    const bool set = code == wire::IOCTL_OID_SET && in_size >= wire::kDataOffset + 12;
    std::vector<uint8_t> in;
    uint32_t oid = 0;
    if (set) {
      in.assign(buffer, buffer + wire::kDataOffset + 12);
      oid = wire::get_u32(buffer + wire::kOidOffset);
      hold_if_asked(oid, in);
    }
    const win32sim::IoOutcome outcome =
        inner_->device_control(code, buffer, in_size, out_size, pending);
    if (set) record_change(*adapter_, oid, in);
    return outcome;
  }
  win32sim::IoOutcome write(const uint8_t* data, uint32_t size,
                            const std::shared_ptr<win32sim::PendingIo>& pending) override {
    return inner_->write(data, size, pending);
  }
  void cancel(const std::shared_ptr<win32sim::PendingIo>& pending) override {
    inner_->cancel(pending);
  }

 private:
  std::shared_ptr<win32sim::Device> inner_;
  std::shared_ptr<simadapter::SimulatedAdapter> adapter_;
};

void install_hold() {
  const char* hold = std::getenv("TALVENCTL_TEST_SIM_HOLD");
  if (hold == nullptr || *hold == 0) return;
  const std::string item = hold;
  const size_t at = item.find('@');
  const std::string name = item.substr(0, at);
  g_hold.oid = name == "eeprom-write" ? wire::OID_EEPROM_WRITE
               : name == "mac-write"  ? wire::OID_WRITE_MAC_ADDRESS
               : name == "start-test" ? wire::OID_START_TEST
                                      : 0;
  if (g_hold.oid == 0) throw std::runtime_error("unknown hold " + name);
  if (at != std::string::npos) {
    g_hold.match_address = true;
    g_hold.address = static_cast<uint32_t>(std::stoul(item.substr(at + 1), nullptr, 0));
  }
}

std::multimap<std::string, simadapter::Fault> g_later_faults;  // by the step that installs them

void install_faults(simadapter::SimulatedAdapter& a) {
  const char* faults = std::getenv("TALVENCTL_TEST_SIM_FAULT");
  if (faults == nullptr || *faults == 0) return;
  std::stringstream list(faults);
  std::string item;
  while (std::getline(list, item, ',')) {
    std::string step;
    const size_t slash = item.find('/');
    if (slash != std::string::npos) {
      step = item.substr(slash + 1);
      item = item.substr(0, slash);
    }
    const size_t at = item.find('@');
    const std::string name = item.substr(0, at);
    simadapter::Fault f;
    f.oid = name == "eeprom-write"    ? wire::OID_EEPROM_WRITE
            : name == "eeprom-read"   ? wire::OID_EEPROM_READ
            : name == "mac-write"     ? wire::OID_WRITE_MAC_ADDRESS
            : name == "tx-continuous" ? wire::OID_SET_TX_CONTINUOUS
                                      : 0;
    if (f.oid == 0) throw std::runtime_error("unknown fault " + name);
    if (at != std::string::npos) {
      std::string where = item.substr(at + 1);
      const size_t times = where.find('x', 2);
      if (times != std::string::npos) {
        f.remaining = std::stoi(where.substr(times + 1));
        where = where.substr(0, times);
      }
      f.match_address = true;
      f.address = static_cast<uint32_t>(std::stoul(where, nullptr, 0));
    }
    if (step.empty())
      a.add_fault(f);
    else
      g_later_faults.insert({step, f});
  }
}

}  // namespace

void sim_state_begin(const std::string& path) {
  g_path = path;
  auto a = adapter();
  if (!a) return;
  if (!g_path.empty()) {
    try {
      if (file_exists(g_path)) {
        std::ifstream in(g_path);
        g_loaded = json::parse(in);
        load(*a, g_loaded);
        g_loaded.erase("generation");
      }
      replay_writes(*a);
    } catch (const std::exception& e) {
      throw UsageError("cannot read the simulated adapter's state " + g_path + ": " + e.what());
    }
  }
  install_faults(*a);
  install_hold();
  win32sim::add_device(
      win32sim::kDefaultAdapterPath,
      std::make_shared<KeepingDevice>(win32sim::make_simulated_adapter_device(a), a));
}

void sim_state_test_step(const std::string& step) {
  auto a = adapter();
  const auto range = g_later_faults.equal_range(step);
  for (auto it = range.first; it != range.second && a; ++it) a->add_fault(it->second);
}

void sim_state_save() {
  if (g_path.empty()) return;
  auto a = adapter();
  if (!a) return;
  json now = state(*a);
  json compared = now;
  compared.erase("generation");
  // Nothing changed and nothing kept on the side: the file stays as it is.
  if (compared == g_loaded && g_writes < 0 && !file_exists(writes_path())) return;
  const std::string text = now.dump(2) + "\n";
  replace_file_durable(g_path, std::vector<uint8_t>(text.begin(), text.end()));
  // The entries kept so far are in the file now, and their generation is past.
  if (g_writes >= 0) ::close(g_writes);
  g_writes = -1;
  ::unlink(writes_path().c_str());
  ++g_generation;
  g_loaded = compared;
}

json sim_transmitter_state() {
  auto a = adapter();
  if (!a) return nullptr;
  auto last = [&](uint32_t oid) {
    uint32_t v = 0;
    return a->setting(oid, &v) ? v : 0u;
  };
  return {{"reported", true},
          {"source", "simulated adapter"},
          {"modes",
           {{"continuous", last(wire::OID_SET_TX_CONTINUOUS)},
            {"carrier", last(wire::OID_SET_SINGLE_CARRIER_TX)},
            {"suppression", last(wire::OID_SET_CARRIER_SUPPRESSION_TX)}}},
          {"test_mode", a->test_mode()}};
}

}  // namespace talvenctl
