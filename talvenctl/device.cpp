// talvenctl: adapters, info, registers, radio settings, test control, counters, receive and
// transmit tests.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>

#include "tool.h"

namespace talvenctl {
namespace {

std::basic_string<WCHAR> widen(const std::string& s) {
  std::basic_string<WCHAR> w;
  for (unsigned char c : s) w.push_back(static_cast<WCHAR>(c));
  return w;
}

std::string narrow(const WCHAR* w, size_t n) {
  std::string s;
  for (size_t i = 0; i < n && w[i] != 0; ++i)
    s.push_back(w[i] < 128 ? static_cast<char>(w[i]) : '?');
  return s;
}

void start_service(const std::string& service) {
  if (service.empty()) return;
  const std::basic_string<WCHAR> name = widen(service);
  const ULONG r = StartPacketDriver(name.c_str(), 0);
  if (r != 1)
    throw NoAdapterError("the packet driver's service " + service + " could not be started",
                         "StartPacketDriver", r);
}

std::vector<std::string> adapter_names() {
  std::vector<WCHAR> buffer(4096, 0);
  ULONG size = ULONG(buffer.size() * sizeof(WCHAR));
  const ULONG r = PacketGetAdapterNames(buffer.data(), &size);
  if (r != 1)
    throw NoAdapterError("the adapter list could not be read", "PacketGetAdapterNames", r);
  std::vector<std::string> names;
  if (size > buffer.size() * sizeof(WCHAR) || size == buffer.size() * sizeof(WCHAR)) return names;
  const size_t units = size / sizeof(WCHAR);
  for (size_t i = 0; i < units && buffer[i] != 0;) {
    size_t end = i;
    while (end < units && buffer[end] != 0) ++end;
    names.push_back(narrow(&buffer[i], end - i));
    i = end + 1;
  }
  return names;
}

// Two-band channel lists: 2.4 GHz 1 to 14, and at 5 GHz the 46 channels of the power table's
// channel list (buffer bytes 14 to 59), twelve of which have an EEPROM entry.
bool known_channel(uint32_t ch) {
  if (ch >= 1 && ch <= 14) return true;
  if (ch >= 26 && ch <= 86) return ch % 2 == 0;
  if (ch >= 100 && ch <= 140) return ch % 4 == 0;
  return ch == 149 || ch == 153 || ch == 157 || ch == 161;
}

// An RAII stop for a test that must not outlive the tool.
class TestStopper {
 public:
  TestStopper(Adapter* adapter, ULONG(WINAPI* stop)(Adapter*, ULONG), const char* name)
      : adapter_(adapter), stop_(stop), name_(name) {}
  ~TestStopper() {
    if (armed_) stop_(adapter_, 0);
  }
  // Stops explicitly, once more on failure; throws when the stop still fails.
  void stop() {
    armed_ = false;
    ULONG r = stop_(adapter_, 0);
    if (r != 1) r = stop_(adapter_, 0);
    check(name_, r, std::string("stopping the test (it may still run!)"));
  }

 private:
  Adapter* adapter_;
  ULONG(WINAPI* stop_)(Adapter*, ULONG);
  const char* name_;
  bool armed_ = true;
};

ULONG WINAPI stop_frames(Adapter* adapter, ULONG) {
  return PKT32OFDMContinuousTx(adapter, 0);
}

}  // namespace

Adapter* open_adapter(const std::string& path, const std::string& service, std::string* opened) {
  start_service(service);
  std::string chosen = path;
  if (chosen.empty()) {
    const std::vector<std::string> names = adapter_names();
    if (names.empty()) throw NoAdapterError("no adapter is bound to the packet driver");
    chosen = names.front();
  }
  const std::basic_string<WCHAR> wide = widen(chosen);
  Adapter* adapter = OpenDUT(wide.c_str());
  if (adapter == nullptr) throw NoAdapterError("cannot open the adapter " + chosen, "OpenDUT", 0);
  *opened = chosen;
  return adapter;
}

void close_adapter(Adapter* adapter) {
  if (adapter != nullptr) CloseDUT(adapter);
}

Report cmd_adapters(const std::string& service) {
  start_service(service);
  Report rep;
  const std::vector<std::string> names = adapter_names();
  rep.data["adapters"] = names;
  for (size_t i = 0; i < names.size(); ++i)
    rep.line((i == 0 ? "* " : "  ") + names[i] + (i == 0 ? "   (default)" : ""));
  if (names.empty()) throw NoAdapterError("no adapter is bound to the packet driver");
  return rep;
}

Report cmd_info(Context& ctx) {
  Report rep;
  json failures = json::array();
  auto note = [&](const char* op, ULONG r) {
    if (r != 1) failures.push_back({{"operation", op}, {"result", r}});
    return r == 1;
  };
  Adapter* a = ctx.adapter;
  ULONG type = 0;
  if (note("QueryEEpromType", QueryEEpromType(a, &type))) {
    rep.data["eeprom_type"] = type;
    rep.data["eeprom_size"] = type == 1 ? 128 : type == 2 ? 256 : 0;
    rep.line("EEPROM type:        " + std::to_string(type) + " (" +
             (type == 1   ? "128"
              : type == 2 ? "256"
                          : "unknown") +
             " bytes)");
  }
  UCHAR id[4] = {};
  bool ids_ok = true;
  for (ULONG i = 0; i < 4; ++i)
    ids_ok = note("ReadEEpromByte", ReadEEpromByte(a, 2 + i, &id[i])) && ids_ok;
  if (ids_ok) {
    // Stored with their two bytes exchanged: the byte at 2 holds the id's high byte.
    const uint32_t vid = uint32_t(id[0]) << 8 | id[1], did = uint32_t(id[2]) << 8 | id[3];
    rep.data["vendor_id"] = vid;
    rep.data["device_id"] = did;
    rep.line("Vendor / device id: " + hex(vid, 4) + " / " + hex(did, 4));
  }
  UCHAR mac[6];
  if (note("ReadEEpromMacAddr", ReadEEpromMacAddr(a, mac))) {
    rep.data["eeprom_mac"] = format_mac(mac);
    rep.line("MAC in EEPROM:      " + format_mac(mac));
  }
  if (note("ReadMACAddress", ReadMACAddress(a, mac))) {
    rep.data["runtime_mac"] = format_mac(mac);
    rep.line("Runtime MAC:        " + format_mac(mac));
  }
  if (note("QueryPermanentAddress", QueryPermanentAddress(a, mac))) {
    rep.data["permanent_mac"] = format_mac(mac);
    rep.line("Permanent address:  " + format_mac(mac));
  }
  ULONG rf = 0;
  if (note("QueryRFType", QueryRFType(a, &rf))) {
    rep.data["rf_type"] = rf;
    rep.line("RF type:            " + std::to_string(rf));
  }
  // The chip variant is answered to the library's own chip query, which talven.h does not
  // export; the power table commands use it inside the library.
  rep.data["chip_variant"] = nullptr;
  rep.line("Chip variant:       (not reported through talven.h)");
  UCHAR high = 0, low = 0;
  if (note("ReadEEpromTxPowerBaseOffset", ReadEEpromTxPowerBaseOffset(a, &high, &low))) {
    rep.data["eeprom_power_base_offset"] = {{"high", high}, {"low", low}};
    rep.line("Power base offset:  EEPROM high " + std::to_string(high) + " low " +
             std::to_string(low));
  }
  if (note("GetTxPowerBaseOffset", GetTxPowerBaseOffset(a, &high, &low))) {
    rep.data["runtime_power_base_offset"] = {{"high", high}, {"low", low}};
    rep.line("                    runtime high " + std::to_string(high) + " low " +
             std::to_string(low));
  }
  // talven.h has no query for the continuous-transmit modes; where the adapter itself can
  // report them (the simulated adapter) they are shown, elsewhere info says that it cannot.
  const json transmitter = sim_transmitter_state();
  if (transmitter.is_null()) {
    rep.data["transmitter"] = {{"reported", false},
                               {"note",
                                "the adapter does not report its transmit modes; "
                                "'tx off' switches every one off"}};
    rep.line("Transmitter:        not reported by the adapter ('tx off' switches it off)");
  } else {
    rep.data["transmitter"] = transmitter;
    std::string on;
    for (const auto& [mode, value] : transmitter["modes"].items())
      if (value.get<uint32_t>() != 0) on += (on.empty() ? "" : ", ") + mode;
    rep.line("Transmitter:        " + (on.empty() ? std::string("off") : "ON: " + on) +
             " (as the simulated adapter reports it)");
  }
  std::vector<UCHAR> cis(TALVEN_CIS_CAPACITY, 0);
  ULONG cis_length = 0;
  if (note("ReadCISData", ReadCISData(a, cis.data(), &cis_length))) {
    rep.data["cis_length"] = cis_length;
    rep.line("CIS length:         " + std::to_string(cis_length) + " bytes");
  }
  if (!failures.empty()) {
    const std::string first = failures[0]["operation"].get<std::string>();
    throw OperationError(
        first, failures[0]["result"].get<unsigned long>(),
        "info: " + std::to_string(failures.size()) + " operation(s) failed, first " + first,
        {{"failures", failures}, {"partial", rep.data}});
  }
  return rep;
}

// ---- registers ----
namespace {
struct RegTarget {
  char kind;
  uint32_t width, bank, selector, max_value;
};
// The widths and banks talven.h documents: MAC registers 1, 2 or 4 bytes wide, baseband bank 0
// or 1 (the library takes any other bank as 0; the tool refuses it). The RF selector is the
// driver's, passed unchanged.
RegTarget reg_target(const RegOptions& o) {
  RegTarget t{};
  t.width = parse_number(o.width, 4, "width", 1);
  t.bank = parse_number(o.bank, 1, "bank");
  t.selector = parse_number(o.selector, 0xFFFFFFFFu, "selector");
  if (o.block == "mac") {
    if (t.width != 1 && t.width != 2 && t.width != 4)
      throw UsageError("bad width " + o.width + " (1, 2 or 4)");
    t.kind = 'm';
    t.max_value = t.width == 1 ? 0xFFu : t.width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    return t;
  }
  t.max_value = 0xFFFFFFFFu;
  if (o.block == "bb") return t.kind = 'b', t;
  if (o.block == "rf") return t.kind = 'r', t;
  throw UsageError("unknown register block '" + o.block + "' (mac, bb or rf)");
}
json reg_entry(const RegOptions& o, const RegTarget& t, uint32_t address, uint32_t value) {
  json e = {{"block", o.block}, {"address", address}, {"value", value}};
  if (t.kind == 'm') e["width"] = t.width;
  if (t.kind == 'b') e["bank"] = t.bank;
  if (t.kind == 'r') e["selector"] = t.selector;
  return e;
}
std::vector<uint32_t> reg_addresses(const RegOptions& o) {
  std::vector<uint32_t> addresses;
  for (const std::string& item : o.items)
    addresses.push_back(parse_number(item, 0xFFFFFFFFu, "register address"));
  if (addresses.empty()) throw UsageError("reg read: no address given");
  return addresses;
}
std::vector<std::pair<uint32_t, uint32_t>> reg_writes(const RegOptions& o, const RegTarget& t) {
  std::vector<std::pair<uint32_t, uint32_t>> writes;
  for (const std::string& item : o.items) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      throw UsageError("reg write: expected ADDR=VALUE, got '" + item + "'");
    writes.push_back({parse_number(item.substr(0, eq), 0xFFFFFFFFu, "register address"),
                      parse_number(item.substr(eq + 1), t.max_value, "register value")});
  }
  if (writes.empty()) throw UsageError("reg write: no ADDR=VALUE given");
  return writes;
}
}  // namespace

void check_reg(const RegOptions& o, bool write) {
  const RegTarget t = reg_target(o);
  if (write)
    reg_writes(o, t);
  else
    reg_addresses(o);
}

Report cmd_reg_read(Context& ctx, const RegOptions& o) {
  const RegTarget t = reg_target(o);
  const std::vector<uint32_t> addresses = reg_addresses(o);
  Report rep;
  json values = json::array();
  for (uint32_t address : addresses) {
    ULONG v = 0;
    ULONG r = 0;
    const char* op = "";
    if (t.kind == 'm') r = ReadRegData(ctx.adapter, address, LONG(t.width), &v), op = "ReadRegData";
    if (t.kind == 'b') r = ReadBBData(ctx.adapter, address, t.bank, &v), op = "ReadBBData";
    if (t.kind == 'r')
      r = RFReadRegData(ctx.adapter, address, t.selector, &v), op = "RFReadRegData";
    check(op, r, o.block + " register " + hex(address) + " read");
    values.push_back(reg_entry(o, t, address, v));
    rep.line(o.block + " " + hex(address) + " = " + hex(v));
  }
  rep.data["registers"] = values;
  return rep;
}

Report cmd_reg_write(Context& ctx, const RegOptions& o) {
  const RegTarget t = reg_target(o);
  const auto writes = reg_writes(o, t);
  Report rep;
  json values = json::array();
  for (const auto& [address, value] : writes) {
    ULONG r = 0;
    const char* op = "";
    if (t.kind == 'm')
      r = WriteRegData(ctx.adapter, address, LONG(t.width), value), op = "WriteRegData";
    if (t.kind == 'b') r = WriteBBData(ctx.adapter, address, t.bank, value), op = "WriteBBData";
    if (t.kind == 'r')
      r = RFWriteRegData(ctx.adapter, address, t.selector, value), op = "RFWriteRegData";
    check(op, r, o.block + " register " + hex(address) + " write");
    values.push_back(reg_entry(o, t, address, value));
    rep.line(o.block + " " + hex(address) + " <- " + hex(value));
  }
  rep.data["registers"] = values;
  return rep;
}

// ---- radio settings ----
namespace {
struct RadioSetting {
  const char* key;
  const char* operation;
  ULONG(WINAPI* apply)(Adapter*, ULONG);
};
// Applied in this order, whatever order they are given in: the channel first, then the
// modulation and the rate that suit it, the preamble, the antennas, and the power and gain last,
// since their calibration depends on channel and rate.
const RadioSetting kRadioSettings[] = {
    {"channel", "SetChannelDirectCall", SetChannelDirectCall},
    {"modulation", "SetModulation", SetModulation},
    {"rate", "SetDataRate", SetDataRate},
    {"preamble", "SetPreamble", SetPreamble},
    {"antenna", "SetAntennaBB", SetAntennaBB},
    {"txantenna", "SetTxAntennaBB", SetTxAntennaBB},
    {"power", "SetTxPowerControl", SetTxPowerControl},
    {"gain", "SetInitialGain", SetInitialGain},
};

// Every value is checked against what the tool knows of its range. The channel is checked
// against the adapter's channel list; every other setting is a code whose meaning and range
// the adapter's driver defines (talven.h passes it unchanged), so the tool takes any 32-bit
// value and the driver refuses what it does not know (an operation failure, exit 1).
std::map<std::string, uint32_t> radio_values(const RadioSetOptions& o) {
  std::map<std::string, uint32_t> values;
  for (const std::string& item : o.assignments) {
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const auto known = std::find_if(std::begin(kRadioSettings), std::end(kRadioSettings),
                                    [&](const RadioSetting& s) { return key == s.key; });
    if (eq == std::string::npos || known == std::end(kRadioSettings))
      throw UsageError(
          "radio set: expected KEY=VALUE with KEY one of channel, modulation, rate, "
          "preamble, antenna, txantenna, power, gain; got '" +
          item + "'");
    if (values.count(key)) throw UsageError("radio set: " + key + " given twice");
    const uint32_t v = parse_number(item.substr(eq + 1), 0xFFFFFFFFu, key);
    if (key == "channel" && !known_channel(v))
      throw UsageError(
          "unknown channel " + std::to_string(v) +
          " (2.4 GHz: 1 to 14; 5 GHz: the 46 channels of the power table's channel list, 26 to"
          " 86 even, 100 to 140 by 4 and 149 to 161 by 4, of which only 36 to 64 by 4 and 149 to"
          " 161 by 4 have a calibration entry)");
    values[key] = v;
  }
  if (values.empty()) throw UsageError("radio set: nothing to set");
  return values;
}
}  // namespace

void check_radio_set(const RadioSetOptions& o) {
  radio_values(o);
}

Report cmd_radio_set(Context& ctx, const RadioSetOptions& o) {
  const std::map<std::string, uint32_t> values = radio_values(o);
  Report rep;
  json applied = json::array();
  for (const RadioSetting& s : kRadioSettings) {
    auto it = values.find(s.key);
    if (it == values.end()) continue;
    const ULONG r = s.apply(ctx.adapter, it->second);
    applied.push_back(
        {{"setting", s.key}, {"value", it->second}, {"operation", s.operation}, {"result", r}});
    rep.line(std::string(s.key) + " = " + std::to_string(it->second) + ": " + s.operation +
             (r == 1 ? " ok" : " FAILED (" + std::to_string(r) + ")"));
    if (r != 1)
      throw OperationError(s.operation, r,
                           std::string("radio set ") + s.key + ": " + s.operation + " returned " +
                               std::to_string(r) + "; later settings not applied",
                           {{"applied", applied}});
  }
  rep.data["applied"] = applied;
  return rep;
}

Report cmd_test(Context& ctx, const TestOptions& o) {
  Report rep;
  const std::string& action = o.action;
  const char* op = action == "start" ? "StartTest" : action == "stop" ? "StopTest" : "ResetDUT";
  ULONG r = 0;
  if (action == "start")
    r = StartTest(ctx.adapter);
  else if (action == "stop")
    r = StopTest(ctx.adapter);
  else if (action == "reset")
    r = ResetDUT(ctx.adapter);
  else
    throw UsageError("test: expected start, stop or reset");
  check(op, r, "test " + action);
  rep.data["operation"] = op;
  rep.data["result"] = r;
  rep.line(std::string(op) + ": ok");
  return rep;
}

Report cmd_counters(Context& ctx, const CountersOptions& o) {
  Report rep;
  ULONG tx = 0, rx = 0, crc = 0, ack = 0;
  check("QueryTxPacketSent", QueryTxPacketSent(ctx.adapter, &tx), "counters");
  check("QueryRxPacketReceived", QueryRxPacketReceived(ctx.adapter, &rx), "counters");
  check("QueryRxPacketCRC32Error", QueryRxPacketCRC32Error(ctx.adapter, &crc), "counters");
  check("GetAckCounter", GetAckCounter(ctx.adapter, &ack), "counters");
  rep.data = {{"tx_sent", tx}, {"rx_received", rx}, {"rx_crc_errors", crc}, {"ack", ack}};
  rep.line("tx sent " + std::to_string(tx) + ", rx received " + std::to_string(rx) +
           ", CRC errors " + std::to_string(crc) + ", ACKs " + std::to_string(ack));
  if (o.reset) {
    check("ResetTxPacketSent", ResetTxPacketSent(ctx.adapter), "counter reset");
    check("ResetRxPacketReceived", ResetRxPacketReceived(ctx.adapter), "counter reset");
    check("ResetAckCounter", ResetAckCounter(ctx.adapter), "counter reset");
    rep.line("counters reset");
  }
  rep.data["reset"] = o.reset;
  return rep;
}

// ---- receive test ----
namespace {
struct RxPlan {
  uint32_t total, step, expected;  // expected 0: not given
};
RxPlan rx_plan(const RxOptions& o) {
  RxPlan p{};
  p.total = parse_duration_ms(o.duration, "duration");
  p.step = parse_duration_ms(o.interval, "interval");
  if (p.step > p.total) throw UsageError("the interval is longer than the duration");
  if (!o.expected.empty()) p.expected = parse_number(o.expected, 0xFFFFFFFFu, "expected", 1);
  return p;
}
}  // namespace

void check_rx(const RxOptions& o) {
  rx_plan(o);
}

Report cmd_rx(Context& ctx, const RxOptions& o) {
  const RxPlan plan = rx_plan(o);
  Adapter* a = ctx.adapter;
  check("ResetRxPacketReceived", ResetRxPacketReceived(a), "receive test");
  check("SetPacketRxTest", SetPacketRxTest(a, 1), "starting the receive test");
  Report rep;
  json samples = json::array();
  ULONG frames = 0, errors = 0;
  {
    TestStopper stopper(a, SetPacketRxTest, "SetPacketRxTest");
    test_abort_point("rx-started");
    const uint64_t start = monotonic_ms();
    bool more = true;
    while (more) {
      const uint64_t now = monotonic_ms() - start;
      const uint32_t wait =
          uint32_t(std::min<uint64_t>(plan.step, now >= plan.total ? 0 : plan.total - now));
      more = sleep_interruptible(wait) && monotonic_ms() - start < plan.total;
      check("QueryRxPacketReceived", QueryRxPacketReceived(a, &frames), "receive test sample");
      check("QueryRxPacketCRC32Error", QueryRxPacketCRC32Error(a, &errors), "receive test sample");
      samples.push_back(
          {{"ms", monotonic_ms() - start}, {"frames", frames}, {"crc_errors", errors}});
      progress(ctx, "rx: " + std::to_string(frames) + " frames, " + std::to_string(errors) +
                        " CRC errors");
    }
    stopper.stop();
  }
  if (ctx.progress) std::cerr << "\n";
  // Frames counts every frame received, good or not; the CRC errors are among them. With the
  // number of frames the sender sent, a frame never received is an error too.
  const uint64_t missing = plan.expected > frames ? uint64_t(plan.expected) - frames : 0;
  const uint64_t base = std::max<uint64_t>(plan.expected, frames);
  const double per = base > 0 ? double(errors + missing) / double(base) : 0.0;
  rep.data = {{"duration_ms", plan.total},
              {"interrupted", interrupted()},
              {"frames", frames},
              {"crc_errors", errors}};
  if (plan.expected > 0) {
    rep.data["expected"] = plan.expected;
    rep.data["missing"] = missing;
  }
  rep.data["per"] = per;
  rep.data["samples"] = samples;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f%%", per * 100);
  rep.line("frames " + std::to_string(frames) + ", CRC errors " + std::to_string(errors) +
           (plan.expected > 0 ? ", missing " + std::to_string(missing) + " of " +
                                    std::to_string(plan.expected) + " expected"
                              : std::string()) +
           ", packet error rate " + buf + (interrupted() ? " (interrupted)" : ""));
  return rep;
}

Report cmd_rx_off(Context& ctx) {
  check("SetPacketRxTest", SetPacketRxTest(ctx.adapter, 0), "receive test off");
  Report rep;
  rep.data = {{"operation", "SetPacketRxTest"}, {"result", 1}};
  rep.line("receive test off");
  return rep;
}

// ---- transmit tests ----
void check_tx_single(const TxSingleOptions& o) {
  parse_number(o.count, 100000, "count", 1);
}

Report cmd_tx_single(Context& ctx, const TxSingleOptions& o) {
  const uint32_t count = parse_number(o.count, 100000, "count", 1);
  Report rep;
  uint32_t sent = 0;
  while (sent < count && !interrupted()) {
    check("PKT32XmitOnePacket", PKT32XmitOnePacket(ctx.adapter), "sending a test frame");
    ++sent;
    progress(ctx, "tx: " + std::to_string(sent) + "/" + std::to_string(count));
  }
  if (ctx.progress) std::cerr << "\n";
  rep.data = {{"requested", count}, {"sent", sent}, {"interrupted", interrupted()}};
  rep.line("sent " + std::to_string(sent) + " of " + std::to_string(count) + " test frames" +
           (interrupted() ? " (interrupted)" : ""));
  return rep;
}

namespace {
struct TxMode {
  const char* mode;
  const char* operation;
  ULONG(WINAPI* set)(Adapter*, ULONG);  // value 0 switches it off
};
const TxMode kTxModes[] = {
    {"continuous", "SetTxContinuousDirectCall", SetTxContinuousDirectCall},
    {"carrier", "SetSingleCarrierTxContinuous", SetSingleCarrierTxContinuous},
    {"suppression", "SetCarrierSuppressionTxContinuous", SetCarrierSuppressionTxContinuous},
    {"frames", "PKT32OFDMContinuousTx", nullptr},
};
const TxMode& tx_mode(const std::string& mode) {
  for (const TxMode& m : kTxModes)
    if (mode == m.mode) return m;
  throw UsageError("tx: unknown mode " + mode);
}
}  // namespace

void check_tx_mode(const TxModeOptions& o) {
  tx_mode(o.mode);
  parse_duration_ms(o.duration, "duration");
  // The mode value is the driver's code; 0 would switch the mode off.
  if (parse_number(o.value, 0xFFFFFFFFu, "value") == 0)
    throw UsageError("tx: the mode value must not be 0 (0 switches it off)");
}

Report cmd_tx_mode(Context& ctx, const TxModeOptions& o) {
  check_tx_mode(o);
  const TxMode& m = tx_mode(o.mode);
  const uint32_t total = parse_duration_ms(o.duration, "duration");
  const uint32_t value = parse_number(o.value, 0xFFFFFFFFu, "value");
  const bool frames = m.set == nullptr;
  // The frame stream's frames are counted by the adapter's transmit counter.
  ULONG sent_before = 0, sent_after = 0;
  if (frames) check("QueryTxPacketSent", QueryTxPacketSent(ctx.adapter, &sent_before), "frames");
  Report rep;
  const uint64_t start = monotonic_ms();
  {
    TestStopper stopper(ctx.adapter, frames ? stop_frames : m.set, m.operation);
    const ULONG r = frames ? PKT32OFDMContinuousTx(ctx.adapter, 1) : m.set(ctx.adapter, value);
    check(m.operation, r, "starting " + o.mode + " transmit");
    test_abort_point("tx-started");
    progress(ctx, "transmitting (" + o.mode + "), Ctrl-C stops");
    sleep_interruptible(total);
    stopper.stop();
  }
  if (ctx.progress) std::cerr << "\n";
  const uint64_t elapsed = monotonic_ms() - start;
  rep.data = {{"mode", o.mode},        {"operation", m.operation},     {"duration_ms", total},
              {"elapsed_ms", elapsed}, {"interrupted", interrupted()}, {"stopped", true}};
  std::string sent_text;
  if (frames) {
    check("QueryTxPacketSent", QueryTxPacketSent(ctx.adapter, &sent_after), "frames sent");
    const uint32_t sent = uint32_t(sent_after - sent_before);  // the counter wraps at 2^32
    rep.data["frames_sent"] = sent;
    sent_text = ", " + std::to_string(sent) + " frames sent";
  }
  rep.line(o.mode + " transmit for " + std::to_string(elapsed) + " ms" + sent_text +
           (interrupted() ? " (interrupted)" : "") + ", transmitter stopped");
  return rep;
}

Report cmd_tx_off(Context& ctx) {
  Report rep;
  json stops = json::array();
  json failures = json::array();
  for (const TxMode& m : kTxModes) {
    const ULONG r =
        m.set != nullptr ? m.set(ctx.adapter, 0) : PKT32OFDMContinuousTx(ctx.adapter, 0);
    stops.push_back({{"mode", m.mode}, {"operation", m.operation}, {"result", r}});
    if (r != 1) failures.push_back(stops.back());
    rep.line(std::string(m.mode) + " off: " + m.operation +
             (r == 1 ? " ok" : " FAILED (" + std::to_string(r) + ")"));
  }
  rep.data["stopped"] = stops;
  if (!failures.empty()) {
    const std::string op = failures[0]["operation"].get<std::string>();
    throw OperationError(op, failures[0]["result"].get<unsigned long>(),
                         "tx off: " + std::to_string(failures.size()) + " stop(s) failed, first " +
                             op + " (that mode may still run!)",
                         {{"stopped", stops}});
  }
  return rep;
}

}  // namespace talvenctl
