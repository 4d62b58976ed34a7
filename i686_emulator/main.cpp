// talven_emulator: runs the 32-bit talven.dll in an x86-32 emulator.
//   talven_emulator <talven.dll> [--seeds N] [--counts]
// Loads the DLL at its preferred base and at another base and runs, at each: the shared
// operation cases by both names, the open, service, I/O and continuous-transmit checks (the
// latter in N seeded interleavings, default 6), and a failure sweep; then load and unload cycles
// and unloading right after a stop. Every call is checked for the stdcall contract and every case
// for leaks. Prints FAIL: lines, a PASS: line per group, the instruction and platform-call counts
// (COUNT: lines), and a last line "i686 emulator: N passed, M failed ...".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "i686_emulator/runner.h"
#include "tests/cases/operation_cases.h"

int main(int argc, char** argv) {
  using namespace emu;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <talven.dll> [--seeds N] [--verbose]\n", argv[0]);
    return 2;
  }
  uint64_t seed_count = 64;
  Report report;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seeds") == 0 && i + 1 < argc)
      seed_count = std::strtoull(argv[++i], nullptr, 10);
    if (std::strcmp(argv[i], "--verbose") == 0) report.quiet = false;
  }
  const auto started = std::chrono::steady_clock::now();
  PeImage image;
  std::string error;
  if (!load_pe(argv[1], &image, &error)) {
    std::printf("FAIL: emulator: %s: %s\n", argv[1], error.c_str());
    std::printf("i686 emulator: 0 passed, 1 failed\n");
    return 1;
  }
  std::vector<uint64_t> seeds;
  for (uint64_t s = 0; s < seed_count; ++s) seeds.push_back(s == 0 ? 0 : 0x9E3779B97F4A7C15ULL * s);
  size_t cases = 0;
  std::vector<Measure> measures;
  for (uint32_t base : {image.image_base, layout::kOtherBase}) {
    Harness h(image, base, Options{}, report);
    if (!report.check(h.loaded(), "talven.dll loads at " + talven::cases::hex(base),
                      h.load_error()))
      continue;
    report.check(h.process().dll_main_result() == 1, "DllMain(DLL_PROCESS_ATTACH) returns 1");
    run_service_checks(h);
    run_open_checks(h);
    if (h.adapter == 0) continue;
    run_operation_cases(h);
    run_io_checks(h);
    h.names = base == image.image_base ? Names::Decorated : Names::Alias;
    run_failure_sweep(h);
    h.names = Names::Decorated;
    if (base == image.image_base) {
      measures = measure_operations(h);
      check_kernel_calls(measures, report);
    }
    std::string missing;
    for (const talven::cases::Operation& op : talven::cases::operations()) {
      for (Names set : {Names::Decorated, Names::Alias}) {
        h.names = set;
        if (h.called().count(h.export_name(op.name)) == 0) missing += " " + h.export_name(op.name);
      }
    }
    h.names = Names::Decorated;
    report.check(missing.empty(),
                 "all 83 operations called by both names at base " + talven::cases::hex(base),
                 "never called:" + missing);
    cases += h.cases();
    run_transmit_checks(h, seeds);
    run_lifecycle_checks(image, base, report);
    const Report::Mark unload = report.mark();
    // The race this explores (the stop seeing the worker gone before the worker has called
    // FreeLibraryAndExitThread) comes up in few interleavings; the held worker makes it certain.
    run_unload_while_worker_leaves(image, base, report);
    size_t on_worker = 0, runs = 0;
    for (uint64_t i = 1; i <= 2 * seeds.size(); ++i, ++runs)
      on_worker += run_unload_after_stop(image, base, 0xD1B54A32D192ED03ULL * i, report);
    report.group(
        "FreeLibrary right after a stop: the worker held at FreeLibraryAndExitThread, and " +
            std::to_string(runs) + " interleavings (in " + std::to_string(on_worker) +
            " the worker ran the process detach) at base " + talven::cases::hex(base),
        unload);
  }
  for (const Measure& m : measures) {
    std::string calls;
    for (const auto& e : m.calls) calls += " " + e.first + "=" + std::to_string(e.second);
    std::printf("COUNT: %s: %llu instructions;%s\n", m.label.c_str(),
                static_cast<unsigned long long>(m.instructions), calls.c_str());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("i686 emulator: %d passed, %d failed (%zu cases at two bases, %zu seeds) in %.1f s\n",
              report.passed(), report.failed(), cases, seeds.size(), seconds);
  return report.failed() == 0 ? 0 : 1;
}
