// Benchmarks on the Linux simulated machine: each library operation against the same records
// sent straight through DeviceIoControl to the same simulated adapter (the raw path: one
// preallocated record, one event created once), continuous transmit against a raw write loop,
// and the time from a stop request to the worker's end. Ratios are printed at the end of the
// run, from the times measured in that run.
#include <benchmark/benchmark.h>

#include <algorithm>
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

  // The machine's logs (every request the adapter saw, every I/O call) grow with each request;
  // they are emptied between measurements, so that neither path pays for their growth.
  void trim() {
    sim->clear_requests();
    sim->clear_frames();
    win32sim::clear_io_log();
    win32sim::clear_heap_alloc_log();
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

// Runs `batch` library calls and `batch` raw ones by turns, so that both see the same load,
// and reports their times per call and the ratio library / raw.
template <typename Library, typename Raw>
void paired(benchmark::State& state, Machine& m, int batch, Library library, Raw raw) {
  double lib = 0, direct = 0;
  int64_t rounds = 0;
  for (auto _ : state) {
    m.trim();
    const auto t0 = Clock::now();
    for (int i = 0; i < batch; ++i) library();
    const auto t1 = Clock::now();
    for (int i = 0; i < batch; ++i) raw();
    const auto t2 = Clock::now();
    lib += std::chrono::duration<double>(t1 - t0).count();
    direct += std::chrono::duration<double>(t2 - t1).count();
    ++rounds;
  }
  m.trim();
  state.counters["lib_us"] = lib / double(rounds * batch) * 1e6;
  state.counters["raw_us"] = direct / double(rounds * batch) * 1e6;
  state.counters["ratio"] = lib / direct;
}

// ---- A query ----
void BM_Query(benchmark::State& state) {
  Machine m;
  ULONG value = 0;
  std::vector<uint8_t> r = record(wire::OID_QUERY_RF_TYPE, 4);
  paired(
      state, m, 200, [&] { benchmark::DoNotOptimize(QueryRFType(m.adapter, &value)); },
      [&] { benchmark::DoNotOptimize(m.raw(wire::IOCTL_OID_QUERY, r)); });
}

// ---- A command with its completion wait (Arg: status polls that report busy first) ----
void BM_Command(benchmark::State& state) {
  Machine m(uint32_t(state.range(0)));
  std::vector<uint8_t> r = record(wire::OID_SET_CHANNEL, 4, {6});
  std::vector<uint8_t> s = status_record();
  paired(
      state, m, state.range(0) == 0 ? 200 : 20,
      [&] { benchmark::DoNotOptimize(SetChannelDirectCall(m.adapter, 6)); },
      [&] { m.raw_command(r, s); });
}

// ---- Whole EEPROM image (256 bytes, 128 word accesses with their waits) ----
void BM_EepromRead(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> image(256);
  std::vector<uint8_t> s = status_record();
  paired(
      state, m, 2, [&] { benchmark::DoNotOptimize(ReadEEprom(m.adapter, image.data(), 2)); },
      [&] {
        for (uint32_t offset = 0; offset < 256; offset += 2) {
          std::vector<uint8_t> r = record(wire::OID_EEPROM_READ, 12,
                                          {offset, wire::kEepromWidthWord, wire::kReadPlaceholder});
          m.raw_command(r, s);
        }
      });
}
void BM_EepromWrite(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> image = m.sim->eeprom();
  std::vector<uint8_t> s = status_record();
  paired(
      state, m, 2, [&] { benchmark::DoNotOptimize(WriteEEprom(m.adapter, image.data(), 2)); },
      [&] {
        for (uint32_t offset = 0; offset < 256; offset += 2) {
          std::vector<uint8_t> r = record(wire::OID_EEPROM_WRITE, 12);
          wire::put_u32(r.data() + wire::kEepromWriteOffsetAt, offset);
          wire::put_u32(r.data() + wire::kEepromWriteWidthAt, wire::kEepromWidthWord);
          wire::put_u32(r.data() + wire::kEepromWriteValueAt,
                        image[offset] | uint32_t(image[offset + 1]) << 8);
          m.raw_command(r, s);
        }
      });
}

// ---- Whole EEPROM image write on a station's timer: every word's first status poll finds the
// command busy, so each word pauses once in Sleep(1), which lasts until the next timer tick
// (Arg: the tick in microseconds; 15625 is Windows' default, 1000 after timeBeginPeriod(1)).
void BM_EepromWriteTick(benchmark::State& state) {
  Machine m(1);
  win32sim::set_sleep_tick_us(uint32_t(state.range(0)));
  std::vector<uint8_t> image = m.sim->eeprom();
  for (auto _ : state) {
    m.trim();
    benchmark::DoNotOptimize(WriteEEprom(m.adapter, image.data(), 2));
  }
  win32sim::set_sleep_tick_us(0);
  state.counters["tick_us"] = double(state.range(0));
}

// ---- Continuous transmit: frames per second, library and raw loop in alternating windows ----
constexpr auto kWindow = std::chrono::milliseconds(100);

void BM_ContinuousTx(benchmark::State& state) {
  Machine m;
  std::vector<uint8_t> frame(TALVEN_TEST_FRAME_LENGTH, 0);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  double lib_frames = 0, lib_seconds = 0, raw_frames = 0, raw_seconds = 0;
  for (auto _ : state) {
    m.trim();
    // The library's worker, counted from the start request to the stop request.
    const uint64_t before = m.sim->frames_written();
    const auto start = Clock::now();
    PKT32OFDMContinuousTx(m.adapter, 1);
    std::this_thread::sleep_for(kWindow);
    lib_frames += double(m.sim->frames_written() - before);
    lib_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    PKT32OFDMContinuousTx(m.adapter, 0);
    // The raw loop: the same frame, written and waited for back to back.
    const auto raw_start = Clock::now();
    while (Clock::now() - raw_start < kWindow) {
      OVERLAPPED ov{};
      ov.hEvent = event;
      DWORD bytes = 0;
      if (!WriteFile(m.adapter->Handle, frame.data(), DWORD(frame.size()), &bytes, &ov) &&
          GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(m.adapter->Handle, &ov, &bytes, TRUE);
      ++raw_frames;
    }
    raw_seconds += std::chrono::duration<double>(Clock::now() - raw_start).count();
  }
  CloseHandle(event);
  state.counters["lib_fps"] = lib_frames / lib_seconds;
  state.counters["raw_fps"] = raw_frames / raw_seconds;
  state.counters["ratio"] = (lib_frames / lib_seconds) / (raw_frames / raw_seconds);
}

// ---- From the stop request to the worker's end ----
void BM_StopLatency(benchmark::State& state) {
  Machine m;
  double worst = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PKT32OFDMContinuousTx(m.adapter, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    state.ResumeTiming();
    const auto t0 = Clock::now();
    PKT32OFDMContinuousTx(m.adapter, 0);  // returns once no worker is left
    worst = std::max(worst, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  state.counters["worst_ms"] = worst;
}

BENCHMARK(BM_Query)->MinTime(0.5);
BENCHMARK(BM_Command)->Arg(0)->Arg(1)->MinTime(0.5);
BENCHMARK(BM_EepromRead)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EepromWrite)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EepromWriteTick)
    ->Arg(15625)
    ->Arg(1000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ContinuousTx)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StopLatency)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the goals next to the ratios measured in this run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      std::map<std::string, double>& c = counters_[r.benchmark_name()];
      for (const auto& counter : r.counters) c[counter.first] = counter.second.value;
      c["real_ms"] =
          r.GetAdjustedRealTime() * (r.time_unit == benchmark::kMillisecond ? 1.0 : 1e-6);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_ratios() const {
    std::printf("\nratios measured in this run (library / raw):\n");
    for (const auto& entry : counters_) {
      const auto& c = entry.second;
      if (c.count("lib_us"))
        std::printf("  %-28s %6.2f  (%.1f us vs %.1f us; goal <= 1.20)\n", entry.first.c_str(),
                    c.at("ratio"), c.at("lib_us"), c.at("raw_us"));
      else if (c.count("lib_fps"))
        std::printf("  %-28s %6.3f  (%.0f vs %.0f frames/s; goal >= 0.95)\n", entry.first.c_str(),
                    c.at("ratio"), c.at("lib_fps"), c.at("raw_fps"));
      else if (c.count("tick_us"))
        std::printf("  %-28s %.1f ms per 256-byte image (Sleep(1) on a %.3f ms timer tick)\n",
                    entry.first.c_str(), c.at("real_ms"), c.at("tick_us") / 1000.0);
      else if (c.count("worst_ms"))
        std::printf("  %-28s mean %.2f ms, worst %.2f ms (goal <= 250 us frame + 12 ms)\n",
                    entry.first.c_str(), c.at("real_ms"), c.at("worst_ms"));
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> counters_;
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
