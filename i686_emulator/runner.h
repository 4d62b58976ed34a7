// The test program around the emulated process: loads talven.dll at a base, sets up the machine
// (the packet driver's service and Linkage key, the adapter device), calls operations by either
// name set the way a test application does, and checks every case for the calling contract,
// leaks and misuse besides its own expectations.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "i686_emulator/process.h"

namespace emu {

// PASS/FAIL lines: failures one by one, passes counted and summed up per group.
class Report {
 public:
  bool check(bool ok, const std::string& name, const std::string& why = "");
  // Where a group of checks starts, and its summary: "PASS: <name> (N checks)" when none of
  // them failed.
  struct Mark {
    int checks, failed;
  };
  Mark mark() const { return {checks(), failed_}; }
  void group(const std::string& name, const Mark& start);
  int passed() const { return passed_; }
  int failed() const { return failed_; }
  int checks() const { return passed_ + failed_; }
  bool quiet = true;  // passes are not printed one by one

 private:
  int passed_ = 0, failed_ = 0;
};

enum class Names { Decorated, Alias };

// What a case must leave as it found it.
struct Balance {
  size_t global_blocks = 0, crt_blocks = 0;
  uint64_t global_bytes = 0, crt_bytes = 0;
  std::map<std::string, size_t> handles;
  size_t threads = 0;
  long module_references = 0;
  size_t pending_io = 0;
  size_t registry_keys = 0, service_handles = 0;
  size_t critical_sections = 0, tls_slots = 0;
  // Events the library keeps for its requests, reused by later calls and closed at process
  // detach: left out of compare(), which a call that made the first one would otherwise fail.
  size_t request_events = 0;
  // "" when equal; else what changed.
  std::string compare(const Balance& before) const;
};

class Harness {
 public:
  Harness(const PeImage& image, uint32_t base, const Options& options, Report& report);
  bool loaded() const { return loaded_; }
  const std::string& load_error() const { return load_error_; }
  Process& process() { return *process_; }
  Report& report() { return report_; }
  uint32_t base() const { return base_; }

  // ---- Calls ----
  Names names = Names::Decorated;
  std::string export_name(const std::string& op) const;
  // Calls an operation through the name set in use; a missing export or a call that does not
  // return is a failure of the current case.
  CallOutcome call(const std::string& op, const std::vector<uint32_t>& args);
  uint32_t adapter = 0;  // the Adapter the harness opened

  // ---- The calling program's memory ----
  uint32_t output() const { return layout::kCaller; }  // the output area of the cases
  void reset_caller_memory();                          // before every case
  uint32_t put_bytes(const std::vector<uint8_t>& bytes);
  uint32_t put_wide(const std::u16string& text);
  std::vector<uint8_t> read(uint32_t address, uint32_t size);
  // Guest code for an application thread: calls fn(args...) as stdcall, stores EAX at
  // `result`, returns 0.
  uint32_t thread_routine(uint32_t fn, const std::vector<uint32_t>& args, uint32_t result);

  // ---- Cases ----
  Balance balance();
  // Runs `body` between two looks at the balance; the case fails on a nonempty answer, a
  // violation in the emulated process, or anything left behind (`allowed` is what it may
  // leave, for the one case that keeps a block for good).
  bool run_case(const std::string& name, const std::function<std::string()>& body,
                const std::function<void(Balance&)>& allowed = nullptr);
  size_t cases() const { return cases_; }
  // The exports called so far (both name sets), for the check that none was left out.
  const std::set<std::string>& called() const { return called_; }

  // The adapter's device path and its DOS name.
  static const std::u16string kAdapterPath;
  static const std::u16string kDosName;

 private:
  std::unique_ptr<Process> process_;
  Report& report_;
  uint32_t base_;
  bool loaded_ = false;
  std::string load_error_;
  uint32_t caller_next_ = 0;
  uint32_t code_next_ = 0;
  size_t cases_ = 0;
  std::set<std::string> called_;
};

// The groups of checks, each run on one harness (runner.cpp, scenarios.cpp).
void run_operation_cases(Harness& h);
void run_open_checks(Harness& h);
void run_service_checks(Harness& h);
void run_io_checks(Harness& h);
void run_transmit_checks(Harness& h, const std::vector<uint64_t>& seeds);
void run_layout_checks(Harness& h);
void run_failure_sweep(Harness& h);
void run_lifecycle_checks(const PeImage& image, uint32_t base, Report& report);
// Returns true when the worker, not the main thread, gave up the last reference and ran the
// process detach.
bool run_unload_after_stop(const PeImage& image, uint32_t base, uint64_t seed, Report& report);

void run_unload_while_worker_leaves(const PeImage& image, uint32_t base, Report& report);

// Instruction and kernel-call counts of the measured operations (preferred base, no preemption).
struct Measure {
  std::string label;
  uint64_t instructions = 0;
  std::map<std::string, uint64_t> calls;
};
std::vector<Measure> measure_operations(Harness& h);
// The kernel calls each measured operation makes today, pinned; false with the differences.
bool check_kernel_calls(const std::vector<Measure>& measures, Report& report);

}  // namespace emu
