// Instructions executed inside talven.dll and platform calls made, per operation: figures that do
// not change from run to run. The platform calls are pinned below; a change to the request path
// changes them on purpose, and then its row here is updated with it.
#include <cstdio>
#include <cstring>

#include "i686_emulator/runner.h"
#include "tests/cases/operation_cases.h"

namespace emu {
namespace {

namespace vad = talven::vadapter;

// The platform calls each measured operation makes today (calls not named: none).
struct KernelCalls {
  const char* label;
  std::map<std::string, uint64_t> calls;
};
// clang-format off
const KernelCalls kKernelCalls[] = {
    {"a query (GetTxPowerControl)",
     {{"GlobalAlloc", 1}, {"GlobalLock", 1}, {"GlobalHandle", 1}, {"GlobalUnlock", 1}, {"GlobalFree", 1},
      {"DeviceIoControl", 1}}},
    {"a command with one poll (SetChannelDirectCall)",
     {{"GlobalAlloc", 2}, {"GlobalLock", 2}, {"GlobalHandle", 2}, {"GlobalUnlock", 2}, {"GlobalFree", 2},
      {"DeviceIoControl", 2}}},
    {"an EEPROM byte read (ReadEEpromByte)",
     {{"GlobalAlloc", 2}, {"GlobalLock", 2}, {"GlobalHandle", 2}, {"GlobalUnlock", 2}, {"GlobalFree", 2},
      {"DeviceIoControl", 2}}},
    {"a whole EEPROM image, 128 bytes (ReadEEprom type 1)",
     {{"GlobalAlloc", 128}, {"GlobalLock", 128}, {"GlobalHandle", 128}, {"GlobalUnlock", 128},
      {"GlobalFree", 128}, {"DeviceIoControl", 128},
      {"OutputDebugStringW", 130}}},
    {"a whole EEPROM image, 256 bytes (ReadEEprom type 2)",
     {{"GlobalAlloc", 256}, {"GlobalLock", 256}, {"GlobalHandle", 256}, {"GlobalUnlock", 256},
      {"GlobalFree", 256}, {"DeviceIoControl", 256},
      {"OutputDebugStringW", 258}}},
    {"a frame send (PacketSendPacket, sync)",
     {{"ResetEvent", 1}, {"WriteFile", 1}, {"GetOverlappedResult", 1}}},
};
// clang-format on

// The calls counted: every import the operations use.
const char* const kCounted[] = {
    "GlobalAlloc",         "GlobalLock",   "GlobalHandle",    "GlobalUnlock", "GlobalFree",
    "CreateEventW",        "CloseHandle",  "DeviceIoControl", "WriteFile",    "GetOverlappedResult",
    "WaitForSingleObject", "ResetEvent",   "Sleep",           "CancelIoEx",   "OutputDebugStringW",
    "wsprintfW",           "GetLastError", "SetLastError",    "CreateThread", "GetModuleHandleExW",
};

}  // namespace

std::vector<Measure> measure_operations(Harness& h) {
  Process& p = h.process();
  std::vector<Measure> out;
  auto measure = [&](const std::string& label, const std::function<CallOutcome()>& run) {
    const std::map<std::string, uint64_t> before = p.import_calls;
    const CallOutcome r = run();
    Measure m;
    m.label = label;
    m.instructions = r.instructions;
    for (const char* name : kCounted) {
      const uint64_t was = before.count(name) ? before.at(name) : 0;
      const uint64_t now = p.import_calls.count(name) ? p.import_calls.at(name) : 0;
      if (now != was) m.calls[name] = now - was;
    }
    out.push_back(m);
  };
  h.names = Names::Decorated;
  p.adapter().reset(vad::ResetConfig{2, 0, 0, 0});
  h.reset_caller_memory();
  measure("a query (GetTxPowerControl)", [&] {
    return h.call("GetTxPowerControl", {h.adapter, h.output()});
  });
  measure("a command with one poll (SetChannelDirectCall)", [&] {
    return h.call("SetChannelDirectCall", {h.adapter, 11});
  });
  measure("an EEPROM byte read (ReadEEpromByte)", [&] {
    return h.call("ReadEEpromByte", {h.adapter, 10, h.output()});
  });
  p.adapter().reset(vad::ResetConfig{1, 0, 0, 0});
  measure("a whole EEPROM image, 128 bytes (ReadEEprom type 1)", [&] {
    return h.call("ReadEEprom", {h.adapter, h.output() + 16, 1});
  });
  p.adapter().reset(vad::ResetConfig{2, 0, 0, 0});
  measure("a whole EEPROM image, 256 bytes (ReadEEprom type 2)", [&] {
    return h.call("ReadEEprom", {h.adapter, h.output() + 16, 2});
  });
  std::vector<uint8_t> frame(1400, 0x5A);
  const uint32_t buffer = h.put_bytes(frame);
  const uint32_t pk = h.call("PacketAllocatePacket", {h.adapter}).eax;
  h.call("PacketInitPacket", {pk, buffer, 1400});
  measure("a frame send (PacketSendPacket, sync)", [&] {
    return h.call("PacketSendPacket", {h.adapter, pk, 1});
  });
  h.call("PacketFreePacket", {pk});
  p.take_violations();
  return out;
}

bool check_kernel_calls(const std::vector<Measure>& measures, Report& report) {
  bool all = true;
  for (const KernelCalls& want : kKernelCalls) {
    const Measure* m = nullptr;
    for (const Measure& x : measures)
      if (x.label == want.label) m = &x;
    std::string why;
    if (m == nullptr) {
      why = "not measured";
    } else {
      std::map<std::string, uint64_t> names = want.calls;
      for (const auto& e : m->calls) names[e.first];
      for (const auto& e : names) {
        const uint64_t got = m->calls.count(e.first) ? m->calls.at(e.first) : 0;
        const uint64_t expected = want.calls.count(e.first) ? want.calls.at(e.first) : 0;
        if (got != expected)
          why += e.first + " " + std::to_string(got) + ", want " + std::to_string(expected) + "; ";
      }
    }
    all = report.check(why.empty(), std::string("platform calls of ") + want.label, why) && all;
  }
  return all;
}

}  // namespace emu
