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
// Test hook: TALVENCTL_TEST_SIM_FAULT="eeprom-write@0x40,eeprom-read@0x10x2" makes the
// requests of that kind for that EEPROM offset (or register address) fail, every time or the
// given number of times (the "xN" suffix); with "/STEP" appended, only from the named test
// step on (see test_abort_point), e.g. "eeprom-read@0x60/load-after-write".
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "simulated_adapter/simulated_adapter.h"
#include "tool.h"
#include "win32sim/simulated_adapter_device.h"

namespace talvenctl {
namespace {

namespace wire = talven::wire;

std::string g_path;
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
  if (!g_path.empty() && file_exists(g_path)) {
    std::ifstream in(g_path);
    try {
      load(*a, json::parse(in));
    } catch (const std::exception& e) {
      throw UsageError("cannot read the simulated adapter's state " + g_path + ": " + e.what());
    }
  }
  install_faults(*a);
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
  const std::string text = state(*a).dump(2) + "\n";
  const std::string temporary = g_path + ".tmp";
  write_file_durable(temporary, std::vector<uint8_t>(text.begin(), text.end()));
  replace_file(temporary, g_path);
}

}  // namespace talvenctl
