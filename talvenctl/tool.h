// talvenctl: shared types of the station tool. The commands talk to the adapter only through
// talven.h; parsing and output live in main.cpp, the recipes in recipe.cpp, the platform's own
// calls in platform.cpp and the simulated machine's state file in sim_state_linux.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "talven.h"

namespace talvenctl {

using json = nlohmann::ordered_json;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;     // an operation of the adapter failed
constexpr int kExitUsage = 2;      // bad usage or bad input; nothing was written
constexpr int kExitNoAdapter = 3;  // no adapter could be found or opened

// Bad usage or input, found before anything was written.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// No adapter to work on.
struct NoAdapterError : std::runtime_error {
  NoAdapterError(const std::string& message, std::string op = "", unsigned long res = 0)
      : std::runtime_error(message), operation(std::move(op)), result(res) {}
  std::string operation;
  unsigned long result;
};
// A library operation reported failure. `details` carries what the command knows about the
// state it leaves behind (for example the EEPROM words that differ from the image).
struct OperationError : std::runtime_error {
  OperationError(std::string op, unsigned long res, const std::string& message,
                 json more = json::object())
      : std::runtime_error(message),
        operation(std::move(op)),
        result(res),
        details(std::move(more)) {}
  std::string operation;
  unsigned long result;
  json details;
};

// What one command reports: the JSON object (without "command" and "ok") and the text a
// person reads. `status` is the exit status of a command that did its work and still reports
// a finding through it (eeprom diff: 1 when the images differ).
struct Report {
  json data = json::object();
  std::string text;
  std::string raw;  // bytes for standard output instead of `text` (a binary dump)
  int status = 0;
  void line(const std::string& s) { text += s + "\n"; }
};

// The open adapter and the output choices, shared by the commands of one process.
struct Context {
  Adapter* adapter = nullptr;
  bool json_output = false;
  bool progress = false;     // progress lines on stderr (a terminal, and not --json)
  uint32_t eeprom_type = 0;  // cached by eeprom_info(): the EEPROM cannot change its type
  // Files that earlier lines of the recipe being checked will write: a later line that reads
  // one cannot have it checked before the recipe runs.
  std::set<std::string> recipe_outputs;
  bool written_by_recipe(const std::string& path) const { return recipe_outputs.count(path) > 0; }
};

// One command of a command line or of a recipe line: what it needs, its checks and its work.
struct Command {
  std::string name;
  bool needs_adapter = true;
  // Everything that can be known before anything is written: arguments and their ranges
  // (against the adapter's EEPROM size), the files to read, the pools. May query the adapter,
  // never changes it. Throws UsageError.
  std::function<void(Context&)> check;
  // The work; runs check() first itself.
  std::function<Report(Context&)> run;
  // Files the command writes (a recipe's later lines may read them).
  std::function<std::vector<std::string>()> outputs;
};

// ---- Options of each command, each field named for what it holds ----
struct EepromDumpOptions {
  std::string format = "hex";  // hex, bin, json
  std::string file;            // empty: standard output
};
struct EepromDiffOptions {
  std::string file;
};
struct EepromGetOptions {
  std::string offset;
  bool word = false;
};
struct EepromSetOptions {
  std::string offset, value;
  bool word = false;
};
struct EepromLoadOptions {
  std::string file;
  bool no_backup = false;
  std::string backup_dir = ".";
  bool changed_only = false;
  bool with_identity = false;  // write the image's MAC address too
};
struct PowerSetOptions {
  std::vector<std::string> assignments;  // CH=HIGH/LOW or CH=VALUE
};
struct PowerExportOptions {
  std::string file, format;
};
struct PowerImportOptions {
  std::string file;
};
struct IdSetOptions {
  std::string vendor_id, device_id;
};
struct MacSetOptions {
  std::string address;
  bool runtime = false;
};
struct PoolInitOptions {
  std::string first, last, file;
  std::string warn_below;  // stored in the pool: warn when fewer are free
  std::string wait = "0";  // seconds to wait for the pool's lock
};
struct PoolStatusOptions {
  std::string file;
  std::string warn_below;
};
struct PoolReviewOptions {
  std::string address, outcome, pool;
  std::string wait = "0";
};
struct ProvisionOptions {
  std::string pool, serial;
  bool force = false;  // a new address for a serial that already has one
  std::string wait = "0";
  std::string warn_below;
};
struct RegOptions {
  std::string block;  // mac, bb, rf
  std::vector<std::string> items;
  std::string width = "4", bank = "0", selector = "0";
};
struct RadioSetOptions {
  std::vector<std::string> assignments;  // KEY=VALUE
};
struct TestOptions {
  std::string action;  // start, stop, reset
};
struct CountersOptions {
  bool reset = false;
};
struct RxOptions {
  std::string duration = "5s", interval = "1s";
  std::string expected;  // frames the sender sends; missing ones count as errors
};
struct TxSingleOptions {
  std::string count = "1";
};
struct TxModeOptions {
  std::string mode;  // continuous, carrier, suppression, frames
  std::string duration, value = "1";
};

// ---- helpers (helpers.cpp) ----
std::string hex(uint64_t value, int digits = 0);
std::string format_mac(const uint8_t mac[6]);
// "00:5B:A7:12:34:56", "00-5b-a7-12-34-56" or "005BA7123456"; throws UsageError.
std::vector<uint8_t> parse_mac(const std::string& text);
uint64_t mac_to_u64(const std::vector<uint8_t>& mac);
std::vector<uint8_t> u64_to_mac(uint64_t value);
std::string mac_text(uint64_t value);
// Refuses multicast, broadcast and all-zero addresses (UsageError).
void check_unicast(const std::vector<uint8_t>& mac, const std::string& text);
// Decimal or 0x-hex unsigned number from `min` to `max`; throws UsageError naming `what`.
uint32_t parse_number(const std::string& text, uint32_t max, const std::string& what,
                      uint32_t min = 0);
// "10s", "500ms", "2m", "1h", "1.5s" or plain seconds, at most 24 h; in milliseconds; throws
// UsageError. Zero only when `allow_zero`.
uint32_t parse_duration_ms(const std::string& text, const std::string& what,
                           bool allow_zero = false);
std::string utc_timestamp(bool compact);
// Throws OperationError when `result` is not 1.
void check(const char* operation, unsigned long result, const std::string& what);
void progress(const Context& ctx, const std::string& text);

// ---- EEPROM geometry shared by commands ----
struct EepromInfo {
  uint32_t type = 0;
  uint32_t size = 0;
};
EepromInfo eeprom_info(Context& ctx);  // queries the type once; throws on failure
std::vector<uint8_t> read_image(Context& ctx, const EepromInfo& info);

// ---- platform.cpp ----
bool stderr_is_terminal();
bool stdout_is_terminal();
// Writes bytes to standard output unchanged (binary mode on Windows); throws on failure.
void write_stdout_binary(const std::string& bytes);
// Ctrl-C (SIGINT, SIGTERM, SIGHUP; the console control events on Windows) sets the flag
// instead of ending the process, so that a running test is stopped before the tool exits.
void install_interrupt_handler();
bool interrupted();
void clear_interrupt();
// Marks that the tool has finished its cleanup (the console handler may then let Windows end
// the process).
void cleanup_done();
// Sleeps up to `ms`, in short slices; returns false when interrupted.
bool sleep_interruptible(uint32_t ms);
uint64_t monotonic_ms();
// Windows: timer resolution 1 ms for the tool's run (timeBeginPeriod), so that the library's
// Sleep(1) between status polls lasts 1 ms and not a 15.6 ms tick. Nothing elsewhere.
class TimerResolution {
 public:
  TimerResolution();
  ~TimerResolution();
  TimerResolution(const TimerResolution&) = delete;
  TimerResolution& operator=(const TimerResolution&) = delete;

 private:
  bool raised_ = false;
};
// Writes a whole file and flushes it to the disk; throws std::runtime_error.
void write_file_durable(const std::string& path, const std::vector<uint8_t>& bytes);
// Creates a new file exclusively (never an existing name, nor through a link) as
// `<folder>/<stem><ext>`, or `<stem>-2<ext>`, `-3`, ... when taken; writes and flushes it and
// its folder to the disk. Returns its path; throws std::runtime_error.
std::string write_new_file_durable(const std::string& folder, const std::string& stem,
                                   const std::string& ext, const std::vector<uint8_t>& bytes);
// Replaces `path` with `bytes` through a temporary file of a name no other process uses,
// flushed, renamed over `path`, and the folder flushed; throws std::runtime_error.
void replace_file_durable(const std::string& path, const std::vector<uint8_t>& bytes);
bool read_file(const std::string& path, std::vector<uint8_t>* bytes);
bool file_exists(const std::string& path);  // also a dangling link
bool is_directory(const std::string& path);
// Creates the folder and its parents; throws std::runtime_error.
void make_directories(const std::string& path);
std::string folder_of(const std::string& path);
std::vector<std::string> list_folder(const std::string& folder);  // plain file names
std::string station_name();                                       // the computer's name

// A file held open and locked by this process (an exclusive lock other talvenctl processes
// wait for; readers without the lock are not blocked). Appends reach the disk before they
// return.
class LockedFile {
 public:
  LockedFile() = default;
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  // Opens the file (creating it when `create`) and takes its lock, waiting up to `wait_ms`;
  // throws std::runtime_error (missing, or still locked after the wait).
  void open(const std::string& path, bool create, uint32_t wait_ms);
  bool is_open() const;
  std::string contents() const;  // the whole file as it is now
  // Appends `line` and a line feed; a line cut short by an earlier crash is closed first.
  void append_line(const std::string& line);
  const std::string& path() const { return path_; }

 private:
  void* handle_ = nullptr;  // Windows: HANDLE
  int fd_ = -1;             // elsewhere: file descriptor
  std::string path_;
};

// Test hooks (for the tool's own tests):
// TALVENCTL_TEST_ABORT_AT=<step> ends the process abruptly (exit status 134, no cleanup, no
// output flushed) when the tool reaches the named step, as a crash or a power cut would. The
// simulated adapter keeps what was written up to then, as the hardware would.
// TALVENCTL_TEST_MARK_DIR=<folder> creates the empty file <folder>/<step> at each step reached,
// so that a test can wait for a step (a transmission started, say) rather than for a time.
// TALVENCTL_TEST_FAIL_AT=<step> makes the file write of the named step fail (test_fail_point).
void test_abort_point(const char* step);
bool test_fail_point(const char* step);

// ---- sim_state_linux.cpp (no-ops on Windows) ----
// Loads the simulated adapter's state from --sim-state / TALVENCTL_SIM_STATE before the
// adapter is opened; from then on every write to the simulated EEPROM, addresses, CIS,
// registers and settings is kept in the state as it happens, so that a killed process leaves
// the adapter as the hardware would be left. sim_state_save folds it all into the file.
void sim_state_begin(const std::string& path);
void sim_state_save();
// Test hook: installs the simulated faults meant for this step (TALVENCTL_TEST_SIM_FAULT).
void sim_state_test_step(const std::string& step);
// The continuous-transmit modes as the simulated adapter holds them; null where the adapter
// cannot report them (Windows: talven.h has no query for them).
json sim_transmitter_state();

// ---- command groups ----
// device.cpp
// Starts the packet driver's service when `service` is not empty, then opens `path` or, when
// it is empty, the first bound adapter; throws NoAdapterError. *opened: the path opened.
Adapter* open_adapter(const std::string& path, const std::string& service, std::string* opened);
void close_adapter(Adapter* adapter);
Report cmd_adapters(const std::string& service);
Report cmd_info(Context& ctx);
void check_reg(const RegOptions& o, bool write);
Report cmd_reg_read(Context& ctx, const RegOptions& o);
Report cmd_reg_write(Context& ctx, const RegOptions& o);
void check_radio_set(const RadioSetOptions& o);
Report cmd_radio_set(Context& ctx, const RadioSetOptions& o);
Report cmd_test(Context& ctx, const TestOptions& o);
Report cmd_counters(Context& ctx, const CountersOptions& o);
void check_rx(const RxOptions& o);
Report cmd_rx(Context& ctx, const RxOptions& o);
void check_tx_single(const TxSingleOptions& o);
Report cmd_tx_single(Context& ctx, const TxSingleOptions& o);
void check_tx_mode(const TxModeOptions& o);
Report cmd_tx_mode(Context& ctx, const TxModeOptions& o);
// Stops every continuous mode (continuous, carrier, suppression, frame stream); each stop is
// tried even when another fails.
Report cmd_tx_off(Context& ctx);
// The receive test off.
Report cmd_rx_off(Context& ctx);

// eeprom.cpp
void check_eeprom_dump(Context& ctx, const EepromDumpOptions& o);
Report cmd_eeprom_dump(Context& ctx, const EepromDumpOptions& o);
void check_eeprom_diff(Context& ctx, const EepromDiffOptions& o);
Report cmd_eeprom_diff(Context& ctx, const EepromDiffOptions& o);
void check_eeprom_get(Context& ctx, const EepromGetOptions& o);
Report cmd_eeprom_get(Context& ctx, const EepromGetOptions& o);
void check_eeprom_set(Context& ctx, const EepromSetOptions& o);
Report cmd_eeprom_set(Context& ctx, const EepromSetOptions& o);
void check_eeprom_load(Context& ctx, const EepromLoadOptions& o);
Report cmd_eeprom_load(Context& ctx, const EepromLoadOptions& o);
Report cmd_power_show(Context& ctx);
void check_power_set(const PowerSetOptions& o);
Report cmd_power_set(Context& ctx, const PowerSetOptions& o);
void check_power_export(const PowerExportOptions& o);
Report cmd_power_export(Context& ctx, const PowerExportOptions& o);
void check_power_import(Context& ctx, const PowerImportOptions& o);
Report cmd_power_import(Context& ctx, const PowerImportOptions& o);
void check_id_set(const IdSetOptions& o);
Report cmd_id_set(Context& ctx, const IdSetOptions& o);

// mac.cpp
Report cmd_mac_show(Context& ctx);
void check_mac_set(const MacSetOptions& o);
Report cmd_mac_set(Context& ctx, const MacSetOptions& o);
void check_pool_init(const PoolInitOptions& o);
Report cmd_pool_init(const PoolInitOptions& o);
void check_pool_status(const PoolStatusOptions& o);
Report cmd_pool_status(const PoolStatusOptions& o);
void check_pool_review(Context& ctx, const PoolReviewOptions& o);
Report cmd_pool_review(const PoolReviewOptions& o);
void check_provision(Context& ctx, const ProvisionOptions& o);
Report cmd_provision(Context& ctx, const ProvisionOptions& o);

}  // namespace talvenctl
