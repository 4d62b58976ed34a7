// The failure sweep: every operation of the export list, by both names, run once per failure
// point on a fresh machine. One platform call fails per run (the Nth call of one kind, N = 1, 2,
// ... until a run no longer reaches the Nth call); each run must end without a crash, with the
// operation's failure result (or its usual one where it rides out that failure), the caller's
// outputs untouched, nothing sent to the driver after the failing point, and every heap block,
// handle, key, service handle and thread given back.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
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

using win32sim::Api;
using win32sim::ApiCall;
using win32sim::Injection;

constexpr uint32_t kOidQueryCode = 0x80000004u;
constexpr uint32_t kCommandStatusOid = 0xFF4E5280u;
constexpr char16_t kLinkageKey[] = u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage";

uint32_t le32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool is_status_poll(const ApiCall& c) {
  return c.api == Api::DeviceIoControl && c.code == kOidQueryCode && c.in != nullptr &&
         c.in_size >= 4 && le32(c.in) == kCommandStatusOid;
}

// ---- Failure points ----

enum class Fault { Fail, FailAnswered, Pend, NeverFinished, OtherCommandId };
enum class Site { Any, Request, StatusPoll };  // Request: a device control other than a poll

struct Point {
  const char* name;
  Api api;
  Site site;
  Fault fault;
};

const Point kPoints[] = {
    {"GlobalAlloc fails", Api::GlobalAlloc, Site::Any, Fault::Fail},
    {"CreateEvent fails", Api::CreateEvent, Site::Any, Fault::Fail},
    {"ResetEvent fails", Api::ResetEvent, Site::Any, Fault::Fail},
    {"WaitForSingleObject fails", Api::WaitForSingleObject, Site::Any, Fault::Fail},
    {"CreateThread fails", Api::CreateThread, Site::Any, Fault::Fail},
    {"GetModuleHandleEx fails", Api::GetModuleHandleEx, Site::Any, Fault::Fail},
    {"DefineDosDevice fails", Api::DefineDosDevice, Site::Any, Fault::Fail},
    {"CreateFile fails", Api::CreateFile, Site::Any, Fault::Fail},
    {"request fails", Api::DeviceIoControl, Site::Request, Fault::Fail},
    {"request fails with its answer written", Api::DeviceIoControl, Site::Request,
     Fault::FailAnswered},
    {"request pends", Api::DeviceIoControl, Site::Request, Fault::Pend},
    {"status poll fails", Api::DeviceIoControl, Site::StatusPoll, Fault::Fail},
    {"status poll fails with its answer written", Api::DeviceIoControl, Site::StatusPoll,
     Fault::FailAnswered},
    {"status poll pends", Api::DeviceIoControl, Site::StatusPoll, Fault::Pend},
    {"command never finishes", Api::DeviceIoControl, Site::StatusPoll, Fault::NeverFinished},
    {"status reports another CommandId", Api::DeviceIoControl, Site::StatusPoll,
     Fault::OtherCommandId},
    {"write fails", Api::WriteFile, Site::Any, Fault::Fail},
    {"write pends", Api::WriteFile, Site::Any, Fault::Pend},
    {"GetOverlappedResult fails", Api::GetOverlappedResult, Site::Any, Fault::Fail},
    {"CancelIoEx fails", Api::CancelIoEx, Site::Any, Fault::Fail},
    {"RegOpenKeyEx fails", Api::RegOpenKey, Site::Any, Fault::Fail},
    {"RegQueryValueEx fails", Api::RegQueryValue, Site::Any, Fault::Fail},
    {"OpenSCManager fails", Api::OpenSCManager, Site::Any, Fault::Fail},
    {"OpenService fails", Api::OpenService, Site::Any, Fault::Fail},
    {"StartService fails", Api::StartService, Site::Any, Fault::Fail},
};

bool matches(const Point& p, const ApiCall& c) {
  if (c.api != p.api) return false;
  if (p.site == Site::Any) return true;
  return is_status_poll(c) == (p.site == Site::StatusPoll);
}

// Counts the calls of one point's kind while armed and makes the Nth one fail (0: none).
// Remembers, in order, whether each device request came before or after the failing one.
class Injector {
 public:
  Injector(const Point& point, uint64_t nth) : point_(point), nth_(nth) {}

  Injection operator()(const ApiCall& c) {
    if (!armed_.load()) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    const bool request = c.api == Api::DeviceIoControl || c.api == Api::WriteFile;
    const bool match = matches(point_, c);
    if (match) ++matched_;
    const bool hit = match && matched_ == nth_;
    if (hit) {
      fired_ = true;
    } else if (fired_ && request) {
      // What the operation sent after the failing point; a command that never finishes keeps
      // being polled, which is no new request.
      if (!(point_.fault == Fault::NeverFinished && is_status_poll(c))) {
        if (sent_after_ == 0) first_after_is_poll_ = is_status_poll(c);
        ++sent_after_;
      }
    }
    Injection out;
    const bool never = point_.fault == Fault::NeverFinished && fired_ && is_status_poll(c);
    if (!hit && !never) return out;
    switch (point_.fault) {
      case Fault::Fail:
        out.kind = Injection::Fail;
        break;
      case Fault::FailAnswered:
        out.kind = Injection::FailAnswered;
        break;
      case Fault::Pend:
        out.kind = Injection::Pend;
        break;
      case Fault::NeverFinished:
        out.edit_answer = [](uint8_t* answer, uint32_t size) {
          if (size >= 12) std::memset(answer + 8, 0, 4);  // Param[0]: not finished
        };
        break;
      case Fault::OtherCommandId:
        out.edit_answer = [](uint8_t* answer, uint32_t size) {
          if (size < 16) return;
          answer[8] = 1;                         // Param[0]: finished,
          answer[12] = uint8_t(answer[12] + 1);  // Param[1]: under another CommandId
        };
        break;
    }
    return out;
  }

  void arm(bool on) { armed_.store(on); }
  uint64_t matched() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return matched_;
  }
  bool fired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }
  uint64_t sent_after() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_after_;
  }
  // The first request after the failing call was a status poll: the call failed inside a
  // completion wait, which polls again.
  bool first_after_is_poll() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_after_is_poll_;
  }

 private:
  Point point_;
  uint64_t nth_;
  std::atomic<bool> armed_{false};
  mutable std::mutex mutex_;
  uint64_t matched_ = 0;
  bool fired_ = false;
  uint64_t sent_after_ = 0;
  bool first_after_is_poll_ = false;
};

// ---- The operations and their arguments ----

// What an operation makes of a failure, beyond returning its failure value with its outputs
// untouched and nothing sent after the failing call.
enum Trait : unsigned {
  kPlain = 0,
  kAlwaysSucceeds = 1,     // its result reports no platform failure (1 by definition)
  kOutputsAlways = 2,      // hands the answer's word on whatever the request returned
  kPartialOutput = 4,      // a multi-request read: the parts before the failure are filled in
  kRegistryTolerant = 8,   // only the first key's open decides its result
  kContinuesAfter = 16,    // goes on to the next part after a failed one
  kUncheckedCommand = 32,  // waits for a command whose CommandId the status is not checked for
};

struct Recipe {
  Recipe(std::vector<uint32_t> i = {}, unsigned t = kPlain,
         std::function<bool(const Point&, uint64_t)> r = nullptr)
      : ints(std::move(i)), traits(t), rides_out(std::move(r)) {}
  std::vector<uint32_t> ints;  // the integer arguments, in order
  unsigned traits = kPlain;
  // Failure points, besides the common ones, that the operation rides out by its definition.
  std::function<bool(const Point&, uint64_t nth)> rides_out;
};

// PKT32XmitOnePacket: 0 only when its packet cannot be allocated (the block, its event).
bool only_the_packet_counts(const Point& p, uint64_t nth) {
  return !(nth == 1 && (p.api == Api::GlobalAlloc || p.api == Api::CreateEvent));
}
// OpenDUT: a first open that fails defines the DOS name and opens once more.
bool second_open_counts(const Point& p, uint64_t nth) {
  return p.api == Api::CreateFile && nth == 1;
}

// Every operation of the list must have a row: an operation without one fails the sweep.
const std::map<std::string, Recipe>& recipes() {
  static const std::map<std::string, Recipe> table = {
      {"OpenDUT", {{}, kPlain, second_open_counts}},
      {"CloseDUT", {}},
      {"ResetDUT", {}},
      {"StartTest", {{}, kUncheckedCommand}},
      {"StopTest", {}},
      {"SetDataRate", {{108}, kUncheckedCommand}},
      {"SetPreamble", {{1}}},
      {"SetFilterBB", {{2}}},
      {"SetManualDiversityBB", {{1}}},
      {"SetChannelDirectCall", {{11}, kUncheckedCommand}},
      {"SetSleepModeDirectCall", {}},
      {"SetWakeModeDirectCall", {}},
      {"SetTxContinuousDirectCall", {{1}, kUncheckedCommand}},
      {"SetSingleCarrierTxContinuous", {{1}, kUncheckedCommand}},
      {"SetCarrierSuppressionTxContinuous", {{1}, kUncheckedCommand}},
      {"SetPacketRxTest", {{1}, kUncheckedCommand}},
      {"SetTxAntennaBB", {{1}}},
      {"SetAntennaBB", {{2}, kUncheckedCommand}},
      {"SetCRScrambler", {{1}}},
      {"SetTxPowerControl", {{40}, kUncheckedCommand}},
      {"SetCRTxConfig", {{3}}},
      {"SetModulation", {{2}, kUncheckedCommand}},
      {"GetTxPowerControl", {{}, kOutputsAlways}},
      {"GetCRSignalQuality", {{}, kOutputsAlways}},
      {"SetCRSetpoint", {{7}}},
      {"SetIntegrator", {{1, 2}}},
      {"SetSignalQuality", {{3, 4}}},
      {"GetIntegrator", {{1}, kOutputsAlways}},
      {"GetSignalQuality", {{2}, kOutputsAlways}},
      {"TunePhilipsRfParameters", {{5}}},
      {"SetInitialGain", {{20}, kUncheckedCommand}},
      {"SetBBRFStandbyMode", {{1}}},
      {"SetBBRFShutdownMode", {{1}}},
      {"SetTxChargePump", {{3}}},
      {"SetRxChargePump", {{4}}},
      {"QueryRFType", {{}, kOutputsAlways}},
      {"SetTxPowerBaseOffset", {{5, 6}, kUncheckedCommand}},
      {"GetTxPowerBaseOffset", {}},
      {"ResetTxPacketSent", {}},
      {"QueryTxPacketSent", {{}, kOutputsAlways}},
      {"ResetRxPacketReceived", {}},
      {"QueryRxPacketReceived", {{}, kOutputsAlways}},
      {"QueryRxPacketCRC32Error", {{}, kOutputsAlways}},
      {"EnableAckCounter", {{1}}},
      {"ResetAckCounter", {}},
      {"GetAckCounter", {}},
      {"WriteRegData", {{0x40, 4, 0x11223344}}},
      {"ReadRegData", {{0x40, 4}}},
      {"RFWriteRegData", {{0x12, 1, 0x5A5A}}},
      {"RFReadRegData", {{0x12, 1}}},
      {"WriteBBData", {{0x21, 1, 0x77}}},
      {"ReadBBData", {{0x21, 1}}},
      {"QueryEEpromType", {{}, kOutputsAlways}},
      {"ReadEEpromByte", {{0x10}}},
      {"WriteEEpromByte", {{0x10, 0xA5}}},
      {"ReadEEprom", {{1}, kPartialOutput}},
      {"WriteEEprom", {{1}}},
      {"ReadPowerControl", {{100}, kPartialOutput | kContinuesAfter}},
      {"WritePowerControl", {{100}, kContinuesAfter}},
      {"WriteEEpromVid", {{0x1234}}},
      {"WriteEEpromDid", {{0x5678}}},
      {"WriteEEpromMacAddr", {{}, kContinuesAfter}},
      {"ReadEEpromMacAddr", {}},
      {"WriteMACAddress", {}},
      {"ReadMACAddress", {}},
      {"QueryPermanentAddress", {}},
      {"WriteCISData", {{12}}},
      {"ReadCISData", {}},
      {"WriteEEpromTxPowerBaseOffset", {{5, 6}}},
      {"ReadEEpromTxPowerBaseOffset", {}},
      {"PacketAllocatePacket", {}},
      {"PacketFreePacket", {{}, kAlwaysSucceeds}},
      {"PacketInitPacket", {{64}}},
      {"PacketSendPacket", {{1}}},
      // Once the write has finished, the byte count is stored whatever the call returns.
      {"PacketWaitPacket", {{1}, kOutputsAlways}},
      {"PacketReceivePacket", {{0}}},
      {"PacketResetAdapter", {}},
      {"PacketSetFilter", {{0x20}}},
      {"StartPacketDriver", {{0}}},
      {"StopPacketDriver", {{0}, kAlwaysSucceeds}},
      {"PacketGetAdapterNames", {{}, kRegistryTolerant}},
      {"PKT32XmitOnePacket", {{}, kPlain, only_the_packet_counts}},
      {"PKT32OFDMContinuousTx", {{1}, kAlwaysSucceeds}},
  };
  return table;
}

// A fresh machine: the packet driver's service and Linkage key, one open adapter and one
// initialised packet, and the caller's buffers filled with a pattern.
class Env {
 public:
  Env(const std::string& op, const Recipe& recipe) : op_(op), recipe_(recipe) {
    win32sim::reset_machine();
    // A command that never finishes is polled 2000 times with a pause between polls.
    win32sim::set_sleep_mode(op == "PKT32OFDMContinuousTx" ? win32sim::SleepMode::Counting
                                                           : win32sim::SleepMode::Instant);
    sim_ = std::make_shared<simadapter::SimulatedAdapter>();
    sim_->queue_received_frame(std::vector<uint8_t>(60, 0x3C));
    win32sim::add_device(kDevicePath, win32sim::make_simulated_adapter_device(sim_));
    std::u16string list = std::u16string(kDevicePath) + u'\0' + u'\0';
    std::vector<uint8_t> value(reinterpret_cast<const uint8_t*>(list.data()),
                               reinterpret_cast<const uint8_t*>(list.data() + list.size()));
    win32sim::reg_set_value(kLinkageKey, u"Export", REG_MULTI_SZ, value);
    win32sim::add_service(u"NORVAKS", win32sim::ServiceConfig{});
    // OpenDUT itself finds no DOS name, so that its run takes the define-and-retry path.
    if (op != "OpenDUT") {
      win32sim::add_dos_name(kDosName, kDevicePath);
      adapter_ = OpenDUT(w(kDevicePath));
      packet_ = PacketAllocatePacket(adapter_);
      PacketInitPacket(packet_, frame_.data(), ULONG(frame_.size()));
    }
    for (size_t i = 0; i < in_.size(); ++i) in_[i] = uint8_t(i * 7 + 1);
    out_.fill(0xCD);
    frame_.fill(0x5E);
    ulong_out_ = op == "PacketGetAdapterNames" ? ULONG(out_.size()) : 0xCDCDCDCDu;
    if (op == "PacketWaitPacket") PacketSendPacket(adapter_, packet_, 0);
    sim_->clear_requests();
  }

  template <typename T>
  T arg();

  // Everything the caller can see of the call's outputs.
  std::vector<uint8_t> outputs() const {
    std::vector<uint8_t> o(out_.begin(), out_.end());
    o.insert(o.end(), frame_.begin(), frame_.end());
    const auto* u = reinterpret_cast<const uint8_t*>(&ulong_out_);
    o.insert(o.end(), u, u + sizeof ulong_out_);
    return o;
  }

  // Gives back what the call left: the adapter and packet of the machine, or the ones the
  // operation itself handed out.
  void finish(const std::string& result_kind, void* returned) {
    win32sim::wait_for_threads(10000);
    if (op_ == "PacketAllocatePacket" && returned != nullptr) {
      EXPECT_EQ(1u, PacketFreePacket(static_cast<Packet*>(returned)));
    }
    if (op_ == "OpenDUT" && returned != nullptr) {
      EXPECT_EQ(1u, CloseDUT(static_cast<Adapter*>(returned)));
    }
    if (packet_ != nullptr && !(op_ == "PacketFreePacket" && result_kind == "1"))
      PacketFreePacket(packet_);
    if (adapter_ != nullptr && !(op_ == "CloseDUT" && result_kind == "1")) {
      EXPECT_EQ(1u, CloseDUT(adapter_));
    }
  }

  const std::string& op() const { return op_; }

 private:
  uint32_t next_int() {
    EXPECT_LT(next_, recipe_.ints.size()) << op_ << ": its row names too few integer arguments";
    return next_ < recipe_.ints.size() ? recipe_.ints[next_++] : 0;
  }

  std::string op_;
  Recipe recipe_;
  size_t next_ = 0;
  std::shared_ptr<simadapter::SimulatedAdapter> sim_;
  Adapter* adapter_ = nullptr;
  Packet* packet_ = nullptr;
  std::array<uint8_t, 2048> in_{};
  std::array<uint8_t, 2048> frame_{};
  std::array<uint8_t, 2048> out_{};
  ULONG ulong_out_ = 0;
};

template <>
Adapter* Env::arg<Adapter*>() {
  return adapter_;
}
template <>
Packet* Env::arg<Packet*>() {
  return packet_;
}
template <>
LPCWSTR Env::arg<LPCWSTR>() {
  return op_ == "OpenDUT" ? w(kDevicePath) : w(u"NORVAKS");
}
template <>
ULONG Env::arg<ULONG>() {
  return next_int();
}
template <>
LONG Env::arg<LONG>() {
  return LONG(next_int());
}
template <>
PULONG Env::arg<PULONG>() {
  return &ulong_out_;
}
template <>
PUCHAR Env::arg<PUCHAR>() {
  return out_.data();
}
template <>
const UCHAR* Env::arg<const UCHAR*>() {
  return in_.data();
}
template <>
PVOID Env::arg<PVOID>() {
  return op_ == "PacketInitPacket" ? static_cast<PVOID>(in_.data()) : out_.data();
}

// A call's outcome: its result as text ("0", "1", "null", "object") and a returned object.
struct Outcome {
  std::string result;
  void* object = nullptr;
};

template <typename R>
Outcome describe(R r) {
  if constexpr (std::is_pointer_v<R>)
    return {r == nullptr ? "null" : "object", static_cast<void*>(r)};
  else
    return {std::to_string(static_cast<uint64_t>(r)), nullptr};
}

struct Operation {
  std::string name;
  std::function<Outcome(Env&)> direct, alias;
  bool returns_pointer;
};

template <typename R, typename... A>
std::function<Outcome(Env&)> bind(const std::string& name, R(WINAPI* f)(A...)) {
  if constexpr (std::is_same_v<std::tuple<A...>, std::tuple<Adapter*, ULONG>>) {
    if (name != "PKT32OFDMContinuousTx")
      return [f](Env& env) {
        std::tuple<A...> args{env.arg<A>()...};
        return describe(std::apply(f, args));
      };
    // A start and the stop that ends it, through the same name.
    return [f](Env& env) {
      Adapter* adapter = env.arg<Adapter*>();
      const Outcome start = describe(f(adapter, env.arg<ULONG>()));
      f(adapter, 0);
      return start;
    };
  } else {
    (void)name;
    // Arguments are taken left to right (braced initialisation fixes the order).
    return [f](Env& env) {
      std::tuple<A...> args{env.arg<A>()...};
      return describe(std::apply(f, args));
    };
  }
}

#define TALVEN_OPERATION(ret, name, argc, types) \
  Operation{#name, bind(#name, &name), bind(#name, &VB_##name), std::is_pointer_v<ret>},
const std::vector<Operation>& operations() {
  static const std::vector<Operation> all = {TALVEN_OPERATIONS(TALVEN_OPERATION)};
  return all;
}

// ---- Counts that must be back where they started ----

struct Counts {
  size_t blocks, files, events, threads, keys, sc_handles, live_threads;
  uint64_t misuse;
  bool operator==(const Counts& o) const {
    return blocks == o.blocks && files == o.files && events == o.events && threads == o.threads &&
           keys == o.keys && sc_handles == o.sc_handles && live_threads == o.live_threads &&
           misuse == o.misuse;
  }
};

Counts counts() {
  return {win32sim::heap_live_blocks(),   win32sim::open_file_handles(),
          win32sim::open_event_handles(), win32sim::open_thread_handles(),
          win32sim::open_reg_keys(),      win32sim::open_sc_handles(),
          win32sim::live_threads(),       win32sim::misuse().total()};
}

std::string describe(const Counts& c) {
  std::ostringstream s;
  s << "blocks " << c.blocks << ", files " << c.files << ", events " << c.events << ", threads "
    << c.threads << ", keys " << c.keys << ", service handles " << c.sc_handles << ", live threads "
    << c.live_threads << ", misuse " << c.misuse;
  return s.str();
}

// ---- One run ----

struct RunResult {
  Outcome outcome;
  std::vector<uint8_t> outputs;
  uint64_t matched = 0;
  bool fired = false;
  uint64_t sent_after = 0;
  bool first_after_is_poll = false;
};

RunResult run_once(const Operation& op, bool alias, const Recipe& recipe, const Point& point,
                   uint64_t nth) {
  const Counts before = [] {
    win32sim::reset_machine();
    return counts();
  }();
  RunResult run;
  auto injector = std::make_shared<Injector>(point, nth);
  {
    Env env(op.name, recipe);
    win32sim::set_injection_hook([injector](const ApiCall& c) { return (*injector)(c); });
    injector->arm(true);
    run.outcome = alias ? op.alias(env) : op.direct(env);
    win32sim::wait_for_threads(10000);
    injector->arm(false);
    win32sim::set_injection_hook(nullptr);
    run.outputs = env.outputs();
    env.finish(run.outcome.result, run.outcome.object);
  }
  run.matched = injector->matched();
  run.fired = injector->fired();
  run.sent_after = injector->sent_after();
  run.first_after_is_poll = injector->first_after_is_poll();
  detach_library();  // the events requests keep between calls are the library's until then
  const Counts after = counts();
  EXPECT_TRUE(before == after) << op.name << (alias ? " (VB_)" : "") << ", " << point.name << " #"
                               << nth << ": before " << describe(before) << "; after "
                               << describe(after);
  return run;
}

// Whether the operation, by its definition, reports this failure with its usual result.
bool rides_out(const Recipe& recipe, const Point& point, uint64_t nth, const RunResult& r) {
  if (recipe.traits & kAlwaysSucceeds) return true;
  if (point.fault == Fault::Pend) return true;  // a pended request that completed is no failure
  // A failed status query is polled again; the next poll sees the command finished.
  if (point.site == Site::StatusPoll &&
      (point.fault == Fault::Fail || point.fault == Fault::FailAnswered))
    return true;
  if ((recipe.traits & kUncheckedCommand) && point.fault == Fault::OtherCommandId) return true;
  // No event for a status poll: the poll is sent again.
  if (point.api == Api::CreateEvent && r.first_after_is_poll) return true;
  if (recipe.rides_out && recipe.rides_out(point, nth)) return true;
  if (recipe.traits & kRegistryTolerant)
    return point.api == Api::RegQueryValue || (point.api == Api::RegOpenKey && nth > 1);
  return false;
}

std::atomic<uint64_t> g_points_exercised{0};

class FailureSweepTest : public ::testing::TestWithParam<size_t> {};

TEST(FailureSweepTableTest, EveryOperationHasARowAndEveryRowAnOperation) {
  std::set<std::string> listed;
  for (const Operation& op : operations()) {
    listed.insert(op.name);
    EXPECT_EQ(1u, recipes().count(op.name)) << op.name << " has no row in the sweep's table";
  }
  for (const auto& row : recipes()) EXPECT_EQ(1u, listed.count(row.first)) << row.first;
  EXPECT_EQ(83u, listed.size());
}

TEST_P(FailureSweepTest, EveryFailurePointEndsCleanly) {
  const Operation& op = operations()[GetParam()];
  auto row = recipes().find(op.name);
  ASSERT_NE(recipes().end(), row) << op.name << " has no row in the sweep's table";
  const Recipe& recipe = row->second;
  const std::string failure = op.returns_pointer ? "null" : "0";

  for (bool alias : {false, true}) {
    const std::string who = (alias ? "VB_" : "") + op.name;
    const Point none{"no failure", Api::GlobalAlloc, Site::Any, Fault::Fail};
    const RunResult baseline = run_once(op, alias, recipe, none, 0);
    if (!(recipe.traits & kAlwaysSucceeds)) {
      ASSERT_NE(failure, baseline.outcome.result) << who << " fails without any injected fault";
    }
    const std::vector<uint8_t> untouched = [&] {
      Env env(op.name, recipe);
      std::vector<uint8_t> o = env.outputs();
      env.finish("", nullptr);
      return o;
    }();

    for (const Point& point : kPoints) {
      for (uint64_t nth = 1;; ++nth) {
        const RunResult r = run_once(op, alias, recipe, point, nth);
        if (!r.fired) break;  // the run never got to the Nth call: this kind is done
        ++g_points_exercised;
        const std::string where = who + ", " + point.name + " #" + std::to_string(nth);
        if (rides_out(recipe, point, nth, r)) {
          EXPECT_EQ(baseline.outcome.result, r.outcome.result) << where;
          if (!(recipe.traits & kAlwaysSucceeds) && op.name != "PacketGetAdapterNames") {
            EXPECT_EQ(baseline.outputs, r.outputs) << where << ": outputs";
          }
          continue;
        }
        EXPECT_EQ(failure, r.outcome.result) << where;
        if (!(recipe.traits & (kOutputsAlways | kPartialOutput))) {
          EXPECT_EQ(untouched, r.outputs) << where << ": outputs written on failure";
        }
        if (!(recipe.traits & kContinuesAfter)) {
          EXPECT_EQ(0u, r.sent_after) << where << ": requests sent after the failing call";
        }
        if (::testing::Test::HasFailure()) return;  // one report per operation is enough
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllOperations, FailureSweepTest,
                         ::testing::Range<size_t>(0, operations().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return operations()[info.param].name;
                         });

// The number of failure points the sweep exercised, for the log.
class SweepReport : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_points_exercised.load() > 0)
      std::printf("failure sweep: %llu failure points exercised\n",
                  static_cast<unsigned long long>(g_points_exercised.load()));
  }
};
const auto* const g_report = ::testing::AddGlobalTestEnvironment(new SweepReport);

}  // namespace
}  // namespace talven_test
