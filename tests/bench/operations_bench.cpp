// Benchmarks on the Linux simulated machine: each library operation against the same records
// sent straight through DeviceIoControl to the same simulated adapter (the raw path: one
// preallocated record, one event created once), continuous transmit against a raw write loop,
// and the time from a stop request to the worker's end. Ratios are printed at the end of the
// run, from the times measured in that run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver_contract/driver_contract.h"
#include "simulated_adapter/simulated_adapter.h"
#include "talven.h"
#include "win32sim/machine.h"
#include "win32sim/simulated_adapter_device.h"

namespace {

namespace wire = talven::wire;
using Clock = std::chrono::steady_clock;

constexpr char16_t kDevicePath[] = u"\\Device\\BENCH0001";
constexpr char16_t kDosName[] = u"Packet_BENCH0001";

// One machine per benchmark: the adapter answers at once, a command is finished by the first
// status poll unless `busy_polls` says otherwise, and frames take their air time (250 us).
struct Machine {
  explicit Machine(uint32_t busy_polls = 0) {
    win32sim::reset_machine();
    simadapter::Config config;
    config.completion_polls = busy_polls;
    config.write_completion = {simadapter::Completion::Later, 0, 250};
    sim = std::make_shared<simadapter::SimulatedAdapter>(config);
    win32sim::add_device(kDevicePath, win32sim::make_simulated_adapter_device(sim));
    win32sim::add_dos_name(kDosName, kDevicePath);
    adapter = OpenDUT(reinterpret_cast<const WCHAR*>(kDevicePath));
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Machine() {
    CloseHandle(event);
    CloseDUT(adapter);
    win32sim::wait_for_threads(10000);
  }

  // The raw path: one record through DeviceIoControl with an OVERLAPPED, waited for if pended.
  bool raw(uint32_t code, std::vector<uint8_t>& record) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD bytes = 0;
    const DWORD size = DWORD(record.size());
    BOOL ok = DeviceIoControl(adapter->Handle, code, record.data(), size, record.data(), size,
                              &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
      ok = GetOverlappedResult(adapter->Handle, &ov, &bytes, TRUE);
    return ok != 0;
  }
  // A command record and the status polls until the driver reports it finished.
  void raw_command(std::vector<uint8_t>& record, std::vector<uint8_t>& status) {
    raw(wire::IOCTL_OID_SET, record);
    do {
      std::memset(status.data() + wire::param_offset(0), 0, 16);
      raw(wire::IOCTL_OID_QUERY, status);
    } while (wire::get_u32(status.data() + wire::param_offset(0)) == 0);
  }

  std::shared_ptr<simadapter::SimulatedAdapter> sim;
  Adapter* adapter = nullptr;
  HANDLE event = nullptr;
};

std::vector<uint8_t> record(uint32_t oid, uint32_t length, std::vector<uint32_t> params = {}) {
  std::vector<uint8_t> r(wire::transfer_size(length), 0);
  wire::put_u32(r.data() + wire::kOidOffset, oid);
  wire::put_u32(r.data() + wire::kLengthOffset, length);
  for (size_t i = 0; i < params.size(); ++i)
    wire::put_u32(r.data() + wire::param_offset(i), params[i]);
  return r;
}

std::vector<uint8_t> status_record() {
  return record(wire::OID_COMMAND_STATUS, wire::kStatusLength);
}

// ---- A query ----
void BM_Query_Library(benchmark::State& state) {
  Machine m;
  ULONG value = 0;
  for (auto _ : state) benchmark::DoNotOptimize(QueryRFType(m.adapter, &value));
}
void BM_Query_Raw(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> r = record(wire::OID_QUERY_RF_TYPE, 4);
  for (auto _ : state) benchmark::DoNotOptimize(m.raw(wire::IOCTL_OID_QUERY, r));
}

// ---- A command with its completion wait ----
void BM_Command_Library(benchmark::State& state) {
  Machine m(uint32_t(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(SetChannelDirectCall(m.adapter, 6));
}
void BM_Command_Raw(benchmark::State& state) {
  Machine m(uint32_t(state.range(0)));
  std::vector<uint8_t> r = record(wire::OID_SET_CHANNEL, 4, {6});
  std::vector<uint8_t> s = status_record();
  for (auto _ : state) m.raw_command(r, s);
}

// ---- Whole EEPROM image (256 bytes, 128 word accesses with their waits) ----
void BM_EepromRead_Library(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> image(256);
  for (auto _ : state) benchmark::DoNotOptimize(ReadEEprom(m.adapter, image.data(), 2));
}
void BM_EepromRead_Raw(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> s = status_record();
  for (auto _ : state) {
    for (uint32_t offset = 0; offset < 256; offset += 2) {
      std::vector<uint8_t> r = record(wire::OID_EEPROM_READ, 12,
                                      {offset, wire::kEepromWidthWord, wire::kReadPlaceholder});
      m.raw_command(r, s);
    }
  }
}
void BM_EepromWrite_Library(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> image = m.sim->eeprom();
  for (auto _ : state) benchmark::DoNotOptimize(WriteEEprom(m.adapter, image.data(), 2));
}
void BM_EepromWrite_Raw(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> image = m.sim->eeprom();
  std::vector<uint8_t> s = status_record();
  for (auto _ : state) {
    for (uint32_t offset = 0; offset < 256; offset += 2) {
      const uint32_t word = image[offset] | uint32_t(image[offset + 1]) << 8;
      std::vector<uint8_t> r = record(wire::OID_EEPROM_WRITE, 12);
      wire::put_u32(r.data() + wire::kEepromWriteOffsetAt, offset);
      wire::put_u32(r.data() + wire::kEepromWriteWidthAt, wire::kEepromWidthWord);
      wire::put_u32(r.data() + wire::kEepromWriteValueAt, word);
      m.raw_command(r, s);
    }
  }
}

// ---- Continuous transmit: frames per second over a fixed window ----
constexpr auto kWindow = std::chrono::milliseconds(200);

void BM_ContinuousTx_Library(benchmark::State& state) {
  Machine m;
  double frames = 0, seconds = 0;
  for (auto _ : state) {
    const uint64_t before = m.sim->frames_written();
    const auto start = Clock::now();
    PKT32OFDMContinuousTx(m.adapter, 1);
    std::this_thread::sleep_for(kWindow);
    const uint64_t sent = m.sim->frames_written() - before;
    const auto end = Clock::now();
    PKT32OFDMContinuousTx(m.adapter, 0);
    frames += double(sent);
    seconds += std::chrono::duration<double>(end - start).count();
  }
  state.counters["fps"] = frames / seconds;
}
void BM_ContinuousTx_Raw(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> frame(TALVEN_TEST_FRAME_LENGTH, 0);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  double frames = 0, seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (Clock::now() - start < kWindow) {
      OVERLAPPED ov{};
      ov.hEvent = event;
      DWORD bytes = 0;
      if (!WriteFile(m.adapter->Handle, frame.data(), DWORD(frame.size()), &bytes, &ov) &&
          GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(m.adapter->Handle, &ov, &bytes, TRUE);
      ++sent;
    }
    frames += double(sent);
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  CloseHandle(event);
  state.counters["fps"] = frames / seconds;
}

// ---- From the stop request to the worker's end ----
void BM_StopLatency(benchmark::State& state) {
  Machine m;
  for (auto _ : state) {
    state.PauseTiming();
    PKT32OFDMContinuousTx(m.adapter, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    state.ResumeTiming();
    PKT32OFDMContinuousTx(m.adapter, 0);  // returns once no worker is left
  }
}

BENCHMARK(BM_Query_Library);
BENCHMARK(BM_Query_Raw);
BENCHMARK(BM_Command_Library)->Arg(0)->Arg(1);
BENCHMARK(BM_Command_Raw)->Arg(0)->Arg(1);
BENCHMARK(BM_EepromRead_Library)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EepromRead_Raw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EepromWrite_Library)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EepromWrite_Raw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContinuousTx_Library)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ContinuousTx_Raw)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StopLatency)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps every run's time per iteration and counters, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const double ns = r.GetAdjustedRealTime() * (r.time_unit == benchmark::kMillisecond   ? 1e6
                                                   : r.time_unit == benchmark::kMicrosecond ? 1e3
                                                                                            : 1.0);
      ns_[r.benchmark_name()] = ns;
      auto fps = r.counters.find("fps");
      if (fps != r.counters.end()) fps_[r.benchmark_name()] = fps->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_ratios() const {
    std::printf("\nratios (library / raw time; goal <= 1.20):\n");
    for (const char* name : {"Query", "Command/0", "Command/1", "EepromRead", "EepromWrite"}) {
      std::string lib = std::string("BM_") + name, raw = lib;
      const std::string arg = lib.find('/') != std::string::npos ? lib.substr(lib.find('/')) : "";
      lib = lib.substr(0, lib.find('/')) + "_Library" + arg;
      raw = raw.substr(0, raw.find('/')) + "_Raw" + arg;
      if (ns_.count(lib) && ns_.count(raw))
        std::printf("  %-12s %8.2f  (%.1f us vs %.1f us)\n", name, ns_.at(lib) / ns_.at(raw),
                    ns_.at(lib) / 1e3, ns_.at(raw) / 1e3);
    }
    const std::string lib = "BM_ContinuousTx_Library/iterations:5/real_time";
    const std::string raw = "BM_ContinuousTx_Raw/iterations:5/real_time";
    if (fps_.count(lib) && fps_.count(raw))
      std::printf("continuous transmit: %.0f vs %.0f frames/s, ratio %.3f (goal >= 0.95)\n",
                  fps_.at(lib), fps_.at(raw), fps_.at(lib) / fps_.at(raw));
    const std::string stop = "BM_StopLatency/iterations:20/real_time";
    if (ns_.count(stop))
      std::printf("stop to worker end: %.2f ms (goal <= one frame + 12 ms = 12.25 ms)\n",
                  ns_.at(stop) / 1e6);
  }

 private:
  std::map<std::string, double> ns_, fps_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
