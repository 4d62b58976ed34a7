// The export surface: every operation of the list is reachable under its name and its VB_
// alias, the two give the same result and the same side effects, and every operation refuses
// null arguments alike.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <type_traits>

#include "library/exports/operations.h"
#include "support/machine.h"

#define TALVEN_DECLARE_ALIAS(ret, name, argc, types) extern "C" ret WINAPI VB_##name types;
TALVEN_OPERATIONS(TALVEN_DECLARE_ALIAS)

namespace talven_test {
namespace {

constexpr char16_t kLinkageKey[] = u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage";

// Everything a call can change or produce, as bytes that two runs can compare.
struct Observation {
  std::string result;
  std::vector<std::vector<uint8_t>> requests;
  std::vector<std::string> debug;
  std::vector<std::string> boxes;
  std::vector<uint32_t> sleeps;
  std::vector<uint8_t> outputs;
  std::vector<uint8_t> eeprom;
  std::vector<std::vector<uint8_t>> frames;
  bool service_running = false;

  bool operator==(const Observation& o) const {
    return result == o.result && requests == o.requests && debug == o.debug && boxes == o.boxes &&
           sleeps == o.sleeps && outputs == o.outputs && eeprom == o.eeprom && frames == o.frames &&
           service_running == o.service_running;
  }
};

// Which arguments a call gets as null pointers: One nulls only the pointer argument at one
// position (0 = the first pointer argument).
enum class Nulls { None, Adapter, Packet, Outputs, One };

// A fresh machine with the packet driver's service and registry key, one open adapter, one
// initialised packet and the caller's buffers; it hands out the arguments of a call by type.
class Env {
 public:
  explicit Env(const std::string& op, Nulls nulls = Nulls::None, size_t null_at = 0)
      : op_(op), nulls_(nulls), null_at_(null_at) {
    win32sim::reset_machine();
    win32sim::set_sleep_mode(win32sim::SleepMode::Counting);
    sim_ = std::make_shared<simadapter::SimulatedAdapter>();
    sim_->queue_received_frame(std::vector<uint8_t>(60, 0x3C));
    win32sim::add_device(kDevicePath, win32sim::make_simulated_adapter_device(sim_));
    win32sim::add_dos_name(kDosName, kDevicePath);
    std::u16string list = std::u16string(kDevicePath) + u'\0' + u'\0';
    std::vector<uint8_t> value(reinterpret_cast<const uint8_t*>(list.data()),
                               reinterpret_cast<const uint8_t*>(list.data() + list.size()));
    win32sim::reg_set_value(kLinkageKey, u"Export", REG_MULTI_SZ, value);
    win32sim::add_service(u"NORVAKS", win32sim::ServiceConfig{});
    adapter_ = OpenDUT(w(kDevicePath));
    packet_ = PacketAllocatePacket(adapter_);
    PacketInitPacket(packet_, frame_.data(), ULONG(frame_.size()));
    for (size_t i = 0; i < in_.size(); ++i) in_[i] = uint8_t(i * 7 + 1);
    out_.fill(0xCD);
    ulong_out_ = op == "PacketGetAdapterNames" ? ULONG(out_.size()) : 0xCDCDCDCDu;
    sim_->clear_requests();
    win32sim::clear_debug_strings();
    win32sim::clear_message_boxes();
    win32sim::clear_sleep_log();
    win32sim::clear_io_log();
  }

  template <typename T>
  T arg();

  Observation observe(std::string result) const {
    Observation o;
    o.result = std::move(result);
    for (const Request& r : sim_->requests()) {
      std::vector<uint8_t> bytes = r.bytes;
      bytes.push_back(uint8_t(r.code >> 2));
      o.requests.push_back(std::move(bytes));
    }
    o.debug = win32sim::debug_strings_utf8();
    for (const auto& box : win32sim::message_boxes())
      o.boxes.push_back(win32sim::utf8(box.caption + u"|" + box.text));
    o.sleeps = win32sim::sleep_log();
    o.outputs.assign(out_.begin(), out_.end());
    const auto* u = reinterpret_cast<const uint8_t*>(&ulong_out_);
    o.outputs.insert(o.outputs.end(), u, u + sizeof ulong_out_);
    o.eeprom = sim_->eeprom();
    o.frames = sim_->recent_frames();
    o.service_running = win32sim::service_running(u"NORVAKS");
    return o;
  }

  bool sent_anything() const { return !win32sim::io_log().empty(); }

  // Counts the pointer arguments handed out; true for the one Nulls::One makes null.
  bool null_here() { return pointers_++ == null_at_ && nulls_ == Nulls::One; }

  // Releases what the call left behind (the call may have closed or freed it already).
  void finish(bool adapter_closed, bool packet_freed) {
    win32sim::wait_for_threads(10000);
    if (packet_ != nullptr && !packet_freed) PacketFreePacket(packet_);
    if (adapter_ != nullptr && !adapter_closed) CloseDUT(adapter_);
  }

 private:
  std::string op_;
  Nulls nulls_;
  size_t null_at_;
  size_t pointers_ = 0;
  std::shared_ptr<simadapter::SimulatedAdapter> sim_;
  Adapter* adapter_ = nullptr;
  Packet* packet_ = nullptr;
  std::array<uint8_t, 2048> in_{};
  std::array<uint8_t, 2048> frame_{};
  std::array<uint8_t, 2048> out_{};
  ULONG ulong_out_ = 0;
};

// Values of the plain integer arguments, chosen per operation so that each call does real
// work: a valid width, a power table length, a start flag that stops, and so on.
ULONG ulong_argument(const std::string& op) {
  static const std::map<std::string, ULONG> values = {
      {"ReadEEprom", 1},       {"WriteEEprom", 1},      {"PKT32OFDMContinuousTx", 0},
      {"PacketSendPacket", 1}, {"PacketWaitPacket", 1}, {"WriteCISData", 12},
      {"ReadBBData", 1},       {"WriteBBData", 1},      {"PacketInitPacket", 64},
  };
  auto it = values.find(op);
  return it == values.end() ? 0x12345 : it->second;
}

template <>
Adapter* Env::arg<Adapter*>() {
  return null_here() || nulls_ == Nulls::Adapter ? nullptr : adapter_;
}
template <>
Packet* Env::arg<Packet*>() {
  return null_here() || nulls_ == Nulls::Packet ? nullptr : packet_;
}
template <>
LPCWSTR Env::arg<LPCWSTR>() {
  if (null_here()) return nullptr;
  return op_ == "OpenDUT" ? w(kDevicePath) : w(u"NORVAKS");
}
template <>
ULONG Env::arg<ULONG>() {
  // A start, so that the continuous transmission has something to refuse.
  if (nulls_ != Nulls::None && op_ == "PKT32OFDMContinuousTx") return 1;
  return ulong_argument(op_);
}
template <>
LONG Env::arg<LONG>() {
  return op_ == "ReadPowerControl" || op_ == "WritePowerControl" ? 100 : 2;
}
template <>
PULONG Env::arg<PULONG>() {
  return null_here() || nulls_ == Nulls::Outputs ? nullptr : &ulong_out_;
}
template <>
PUCHAR Env::arg<PUCHAR>() {
  return null_here() || nulls_ == Nulls::Outputs ? nullptr : out_.data();
}
template <>
const UCHAR* Env::arg<const UCHAR*>() {
  return null_here() || nulls_ == Nulls::Outputs ? nullptr : in_.data();
}
template <>
PVOID Env::arg<PVOID>() {
  if (null_here() || nulls_ == Nulls::Outputs) return nullptr;
  return op_ == "PacketInitPacket" ? static_cast<PVOID>(in_.data()) : out_.data();
}

template <typename R>
std::string describe(R result) {
  if constexpr (std::is_pointer_v<R>)
    return result == nullptr ? "null" : "object";
  else
    return std::to_string(static_cast<uint64_t>(result));
}

struct Call {
  std::string name;
  int argc;
  std::function<std::string(Env&)> direct, alias;
  bool takes_adapter, takes_packet, takes_outputs;
  size_t pointers;  // pointer arguments
};

// Arguments are taken left to right (braced initialisation fixes the order).
template <typename R, typename... A>
std::function<std::string(Env&)> bind(R(WINAPI* f)(A...)) {
  return [f](Env& env) {
    std::tuple<A...> args{env.arg<A>()...};
    return describe(std::apply(f, args));
  };
}

template <typename R, typename... A>
Call make_call(const char* name, int argc, R(WINAPI* f)(A...), R(WINAPI* alias)(A...)) {
  constexpr bool outputs = (... || (std::is_same_v<A, PULONG> || std::is_same_v<A, PUCHAR> ||
                                    std::is_same_v<A, const UCHAR*> || std::is_same_v<A, PVOID>));
  return Call{name,
              argc,
              bind(f),
              bind(alias),
              (... || std::is_same_v<A, Adapter*>),
              (... || std::is_same_v<A, Packet*>),
              outputs,
              (size_t(0) + ... + size_t(std::is_pointer_v<A>))};
}

#define TALVEN_CALL(ret, name, argc, types) make_call(#name, argc, &name, &VB_##name),
const std::vector<Call>& calls() {
  static const std::vector<Call> all = {TALVEN_OPERATIONS(TALVEN_CALL)};
  return all;
}

Observation run(const Call& call, bool alias) {
  Env env(call.name);
  const std::string result = alias ? call.alias(env) : call.direct(env);
  Observation o = env.observe(result);
  env.finish(call.name == "CloseDUT", call.name == "PacketFreePacket");
  return o;
}

class BothNamesTest : public ::testing::TestWithParam<size_t> {};

TEST_P(BothNamesTest, AliasGivesTheSameResultAndSideEffects) {
  const Call& call = calls()[GetParam()];
  const Observation direct = run(call, false);
  const Observation alias = run(call, true);
  EXPECT_EQ(direct.result, alias.result);
  EXPECT_EQ(direct.requests, alias.requests) << "records sent to the driver";
  EXPECT_EQ(direct.debug, alias.debug);
  EXPECT_EQ(direct.boxes, alias.boxes);
  EXPECT_EQ(direct.sleeps, alias.sleeps);
  EXPECT_EQ(direct.outputs, alias.outputs);
  EXPECT_EQ(direct.eeprom, alias.eeprom);
  EXPECT_EQ(direct.frames, alias.frames);
  EXPECT_EQ(direct.service_running, alias.service_running);
}

INSTANTIATE_TEST_SUITE_P(AllOperations, BothNamesTest, ::testing::Range<size_t>(0, calls().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return calls()[info.param].name;
                         });

// Every operation that takes an Adapter or a Packet refuses a null one: its failure value,
// one debug string, and nothing sent. Operations that need an output buffer refuse a null
// one the same way; register reads, which may do without an output, and the buffer that
// PacketInitPacket only records are the exceptions, and the adapter PacketAllocatePacket does
// not use and a stop does not need.
class NullArgumentTest : public ::testing::TestWithParam<size_t> {};

TEST_P(NullArgumentTest, IsRefusedWithOneDebugStringAndNothingSent) {
  const Call& call = calls()[GetParam()];
  static const std::set<std::pair<std::string, Nulls>> may_be_null = {
      {"ReadRegData", Nulls::Outputs},
      {"RFReadRegData", Nulls::Outputs},
      {"ReadBBData", Nulls::Outputs},
      {"PacketInitPacket", Nulls::Outputs},
      {"PacketAllocatePacket", Nulls::Adapter}};
  for (Nulls nulls : {Nulls::Adapter, Nulls::Packet, Nulls::Outputs}) {
    const bool applies = (nulls == Nulls::Adapter && call.takes_adapter) ||
                         (nulls == Nulls::Packet && call.takes_packet) ||
                         (nulls == Nulls::Outputs && call.takes_outputs);
    if (!applies) continue;
    for (bool alias : {false, true}) {
      Env env(call.name, nulls);
      const std::string result = alias ? call.alias(env) : call.direct(env);
      const Observation o = env.observe(result);
      const bool sent = env.sent_anything();
      env.finish(false, false);
      const std::string what = call.name + (nulls == Nulls::Adapter  ? " (null adapter)"
                                            : nulls == Nulls::Packet ? " (null packet)"
                                                                     : " (null outputs)");
      if (may_be_null.count({call.name, nulls}) != 0) {
        EXPECT_TRUE(o.debug.empty()) << what;
        continue;
      }
      EXPECT_TRUE(result == "0" || result == "null") << what << " returned " << result;
      ASSERT_EQ(1u, o.debug.size()) << what;
      EXPECT_NE(std::string::npos, o.debug[0].find("NULL")) << what << ": " << o.debug[0];
      EXPECT_FALSE(sent) << what << " sent a request";
      EXPECT_TRUE(o.frames.empty()) << what;
      EXPECT_TRUE(o.boxes.empty()) << what;
    }
  }
}

TEST(NullArgumentTextTest, NamesTheOperationAndTheArgument) {
  win32sim::reset_machine();
  EXPECT_EQ(0u, SetDataRate(nullptr, 108));
  EXPECT_EQ(0u, GetAckCounter(nullptr, nullptr));
  EXPECT_EQ(0u, PacketSendPacket(nullptr, reinterpret_cast<Packet*>(8), 1));
  EXPECT_EQ((std::vector<std::string>{"TALVEN: SetDataRate Adapter == NULL !!!\n",
                                      "TALVEN: GetAckCounter Adapter == NULL !!!\n",
                                      "PacketSendPacket(): lpAdapter == NULL !!!\n"}),
            win32sim::debug_strings_utf8());
  // CIS data may be absent when there is nothing to send.
  Env env("WriteCISData");
  EXPECT_EQ(1u, WriteCISData(env.arg<Adapter*>(), nullptr, 0));
  EXPECT_TRUE(env.sent_anything());
  env.finish(false, false);
}

// An operation with several pointer arguments, given one null pointer and the others valid,
// refuses that very pointer: its failure value, its one debug string naming the argument, and
// nothing sent. The names, in the order of the arguments; "" where a null is allowed.
TEST(OneNullArgumentTest, EachPointerAloneIsRefusedByName) {
  static const std::map<std::string, std::vector<const char*>> names = {
      {"GetTxPowerControl", {"Adapter", "output"}},
      {"GetCRSignalQuality", {"Adapter", "output"}},
      {"GetIntegrator", {"Adapter", "output"}},
      {"GetSignalQuality", {"Adapter", "output"}},
      {"QueryRFType", {"Adapter", "output"}},
      {"GetTxPowerBaseOffset", {"Adapter", "high", "low"}},
      {"QueryTxPacketSent", {"Adapter", "output"}},
      {"QueryRxPacketReceived", {"Adapter", "output"}},
      {"QueryRxPacketCRC32Error", {"Adapter", "output"}},
      {"GetAckCounter", {"Adapter", "output"}},
      {"ReadRegData", {"Adapter", ""}},
      {"RFReadRegData", {"Adapter", ""}},
      {"ReadBBData", {"Adapter", ""}},
      {"QueryEEpromType", {"Adapter", "output"}},
      {"ReadEEpromByte", {"Adapter", "value"}},
      {"ReadEEprom", {"Adapter", "image"}},
      {"WriteEEprom", {"Adapter", "image"}},
      {"ReadPowerControl", {"Adapter", "table"}},
      {"WritePowerControl", {"Adapter", "table"}},
      {"WriteEEpromMacAddr", {"Adapter", "mac"}},
      {"ReadEEpromMacAddr", {"Adapter", "mac"}},
      {"WriteMACAddress", {"Adapter", "mac"}},
      {"ReadMACAddress", {"Adapter", "mac"}},
      {"QueryPermanentAddress", {"Adapter", "mac"}},
      {"WriteCISData", {"Adapter", "data"}},
      {"ReadCISData", {"Adapter", "data", "length"}},
      {"ReadEEpromTxPowerBaseOffset", {"Adapter", "high", "low"}},
      {"PacketInitPacket", {"Packet", ""}},
      {"PacketSendPacket", {"lpAdapter", "lpPacket"}},
      {"PacketWaitPacket", {"Adapter", "Packet", "bytes"}},
      {"PacketReceivePacket", {"Adapter", "Packet", "length"}},
      {"PacketGetAdapterNames", {"", "size"}},
  };
  size_t covered = 0;
  for (const Call& call : calls()) {
    if (call.pointers < 2) continue;
    auto row = names.find(call.name);
    ASSERT_NE(names.end(), row) << call.name << " takes several pointers and has no row";
    ASSERT_EQ(call.pointers, row->second.size()) << call.name;
    ++covered;
    for (size_t k = 0; k < call.pointers; ++k) {
      for (bool alias : {false, true}) {
        Env env(call.name, Nulls::One, k);
        const std::string result = alias ? call.alias(env) : call.direct(env);
        const Observation o = env.observe(result);
        const bool sent = env.sent_anything();
        const size_t keys = win32sim::reg_open_log().size();
        env.finish(false, false);
        const std::string what = call.name + " with argument pointer " + std::to_string(k) +
                                 " null" + (alias ? " (VB_)" : "");
        const std::string name = row->second[k];
        if (name.empty()) {
          EXPECT_TRUE(o.debug.empty()) << what;
          continue;
        }
        const std::string text = call.name == "PacketSendPacket"
                                     ? "PacketSendPacket(): " + name + " == NULL !!!\n"
                                     : "TALVEN: " + call.name + " " + name + " == NULL !!!\n";
        EXPECT_EQ("0", result) << what;
        EXPECT_EQ(std::vector<std::string>{text}, o.debug) << what;
        EXPECT_FALSE(sent) << what << " sent a request";
        EXPECT_EQ(0u, keys) << what << " read the registry";
        EXPECT_TRUE(o.frames.empty()) << what;
      }
    }
  }
  EXPECT_EQ(names.size(), covered);
}

// The register operations refuse a null adapter whatever their width or bank argument, also
// one they would refuse anyway.
TEST(OneNullArgumentTest, RegisterAccessRefusesANullAdapterAtEveryWidthAndBank) {
  for (LONG width : {1, 2, 4, 3, 0}) {
    win32sim::reset_machine();
    ULONG value = 0;
    EXPECT_EQ(0u, WriteRegData(nullptr, 0x50, width, 7)) << width;
    EXPECT_EQ(0u, ReadRegData(nullptr, 0x50, width, &value)) << width;
    EXPECT_EQ((std::vector<std::string>{"TALVEN: WriteRegData Adapter == NULL !!!\n",
                                        "TALVEN: ReadRegData Adapter == NULL !!!\n"}),
              win32sim::debug_strings_utf8())
        << width;
  }
  for (ULONG bank : {0u, 1u, 0x101u}) {
    win32sim::reset_machine();
    ULONG value = 0;
    EXPECT_EQ(0u, WriteBBData(nullptr, 0x10, bank, 7)) << bank;
    EXPECT_EQ(0u, ReadBBData(nullptr, 0x10, bank, &value)) << bank;
    EXPECT_EQ((std::vector<std::string>{"TALVEN: WriteBBData Adapter == NULL !!!\n",
                                        "TALVEN: ReadBBData Adapter == NULL !!!\n"}),
              win32sim::debug_strings_utf8())
        << bank;
  }
  EXPECT_TRUE(win32sim::io_log().empty());
}

INSTANTIATE_TEST_SUITE_P(AllOperations, NullArgumentTest,
                         ::testing::Range<size_t>(0, calls().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return calls()[info.param].name;
                         });

}  // namespace
}  // namespace talven_test
