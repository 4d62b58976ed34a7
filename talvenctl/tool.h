// talvenctl: shared types of the station tool. The commands talk to the adapter only through
// talven.h; parsing and output live in main.cpp, the platform's own calls in platform.cpp and
// the simulated machine's state file in sim_state_linux.cpp.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
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
// person reads.
struct Report {
  json data = json::object();
  std::string text;
  void line(const std::string& s) { text += s + "\n"; }
};

// The open adapter and the output choices, shared by the commands of one process.
struct Context {
  Adapter* adapter = nullptr;
  bool json_output = false;
  bool progress = false;  // progress lines on stderr (a terminal, and not --json)
};

// ---- helpers (helpers.cpp) ----
std::string hex(uint64_t value, int digits = 0);
std::string format_mac(const uint8_t mac[6]);
// "00:5B:A7:12:34:56", "00-5b-a7-12-34-56" or "005BA7123456"; throws UsageError.
std::vector<uint8_t> parse_mac(const std::string& text);
uint64_t mac_to_u64(const std::vector<uint8_t>& mac);
std::vector<uint8_t> u64_to_mac(uint64_t value);
// Decimal or 0x-hex unsigned number not above `max`; throws UsageError naming `what`.
uint32_t parse_number(const std::string& text, uint32_t max, const std::string& what);
// "10s", "500ms", "2m", "1.5s" or plain seconds; in milliseconds; throws UsageError.
uint32_t parse_duration_ms(const std::string& text, const std::string& what);
std::string utc_timestamp(bool compact);
// Throws OperationError when `result` is not 1.
void check(const char* operation, unsigned long result, const std::string& what);
void progress(const Context& ctx, const std::string& text);

// ---- EEPROM geometry shared by commands ----
struct EepromInfo {
  uint32_t type = 0;
  uint32_t size = 0;
};
EepromInfo eeprom_info(Context& ctx);  // queries the type; throws on failure
std::vector<uint8_t> read_image(Context& ctx, const EepromInfo& info);

// ---- platform.cpp ----
bool stderr_is_terminal();
// Ctrl-C (SIGINT; the console control events on Windows) sets the flag instead of ending the
// process, so that a running test is stopped before the tool exits.
void install_interrupt_handler();
bool interrupted();
void clear_interrupt();
// Marks that the tool has finished its cleanup (the console handler may then let Windows end
// the process).
void cleanup_done();
// Sleeps up to `ms`, in short slices; returns false when interrupted.
bool sleep_interruptible(uint32_t ms);
uint64_t monotonic_ms();
// Writes a whole file and flushes it to the disk; throws std::runtime_error.
void write_file_durable(const std::string& path, const std::vector<uint8_t>& bytes);
bool read_file(const std::string& path, std::vector<uint8_t>* bytes);
// Renames `from` to `to`, replacing `to`; throws std::runtime_error.
void replace_file(const std::string& from, const std::string& to);
bool file_exists(const std::string& path);

// An append-only text journal held open and locked by this process; every append reaches
// the disk before it returns.
class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  // Opens (creating when `create`) and locks the file; throws std::runtime_error.
  void open(const std::string& path, bool create);
  std::string contents() const;  // the whole file as it is now
  void append_line(const std::string& line);

 private:
  void* handle_ = nullptr;  // Windows: HANDLE
  int fd_ = -1;             // elsewhere: file descriptor
  std::string path_;
};

// Test hook: TALVENCTL_TEST_ABORT_AT=<step> ends the process abruptly (exit status 134, no
// cleanup, no output flushed) when the tool reaches the named step, as a crash or a power cut
// would. The simulated adapter keeps what was written up to then. Steps are named where they
// are reached (for example "provision-after-journal").
// Test hook: TALVENCTL_TEST_MARK_DIR=<folder> creates the empty file <folder>/<step> at each
// step reached, so that a test can wait for a step (a transmission started, say) rather than
// for a length of time.
void test_abort_point(const char* step);

// ---- sim_state_linux.cpp (no-ops on Windows) ----
// Loads the simulated adapter's state from --sim-state / TALVENCTL_SIM_STATE before the
// adapter is opened, and saves it when the tool ends.
void sim_state_begin(const std::string& path);
void sim_state_save();
// Test hook: installs the simulated faults meant for this step (TALVENCTL_TEST_SIM_FAULT).
void sim_state_test_step(const std::string& step);

// ---- command groups ----
// device.cpp
// Starts the packet driver's service when `service` is not empty, then opens `path` or, when
// it is empty, the first bound adapter; throws NoAdapterError. *opened: the path opened.
Adapter* open_adapter(const std::string& path, const std::string& service, std::string* opened);
void close_adapter(Adapter* adapter);
Report cmd_adapters(const std::string& service);
Report cmd_info(Context& ctx);
struct RegArgs {
  std::string kind;  // mac, bb, rf
  std::vector<std::string> items;
  uint32_t width = 4, bank = 0, selector = 0;
};
Report cmd_reg_read(Context& ctx, const RegArgs& args);
Report cmd_reg_write(Context& ctx, const RegArgs& args);
Report cmd_radio_set(Context& ctx, const std::vector<std::string>& assignments);
Report cmd_test(Context& ctx, const std::string& action);
Report cmd_counters(Context& ctx, bool reset);
Report cmd_rx(Context& ctx, const std::string& duration, const std::string& interval);
Report cmd_tx_single(Context& ctx, uint32_t count);
Report cmd_tx_mode(Context& ctx, const std::string& mode, const std::string& duration,
                   uint32_t value);

// eeprom.cpp
struct DumpArgs {
  std::string format = "hex";  // hex, bin, json
  std::string file;            // empty: standard output
};
Report cmd_eeprom_dump(Context& ctx, const DumpArgs& args, std::string* raw_output);
Report cmd_eeprom_diff(Context& ctx, const std::string& file);
Report cmd_eeprom_get(Context& ctx, const std::string& offset, bool word);
Report cmd_eeprom_set(Context& ctx, const std::string& offset, const std::string& value, bool word);
struct LoadArgs {
  std::string file;
  bool no_backup = false;
  std::string backup_dir = ".";
  bool changed_only = false;
};
Report cmd_eeprom_load(Context& ctx, const LoadArgs& args);
Report cmd_power_show(Context& ctx);
Report cmd_power_set(Context& ctx, const std::vector<std::string>& assignments);
Report cmd_power_export(Context& ctx, const std::string& file, const std::string& format);
Report cmd_power_import(Context& ctx, const std::string& file);
Report cmd_id_set(Context& ctx, const std::string& vid, const std::string& did);

// mac.cpp
Report cmd_mac_show(Context& ctx);
Report cmd_mac_set(Context& ctx, const std::string& address, bool runtime);
Report cmd_pool_init(const std::string& first, const std::string& last, const std::string& file);
Report cmd_pool_status(const std::string& file);
Report cmd_provision(Context& ctx, const std::string& file, const std::string& serial);

}  // namespace talvenctl
