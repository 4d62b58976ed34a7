// What the Windows test programs share: PASS/FAIL reporting, talven.dll loaded at run time with
// both name sets resolved, its imports replaced where Wine falls short or where a test must watch
// (DefineDosDeviceW, OutputDebugStringW, MessageBoxW, GlobalAlloc, GlobalFree), and the client of
// the virtual adapter's control device.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_adapter/control_protocol.h"

namespace wintest {

// ---- Reporting: one line per check, "PASS: <name>" or "FAIL: <name>: <why>" ----
bool check(bool ok, const std::string& name, const std::string& why = "");
int failures();
int passes();
std::string hex(uint64_t value);
std::string narrow(const std::wstring& text);  // escapes control characters as \n, \xNN

// ---- talven.dll ----
// The adapter device the virtual adapter creates and its DOS name as OpenDUT defines it.
extern const wchar_t kAdapterPath[];
extern const wchar_t kDosName[];
extern const wchar_t kDeviceFile[];

struct Library {
  HMODULE module = nullptr;
  std::string error;
};
// Loads talven.dll from the program's folder and replaces its imports.
bool load_library(std::string* error);
void unload_library();
HMODULE library_module();
// The entry point of `name` (bare operation name) in the name set in use: decorated
// (_Name@N, N = 4 * arguments) or alias (VB_Name).
enum class NameSet { Decorated, Alias };
void use_names(NameSet set);
NameSet names_in_use();
const char* name_set_label();
FARPROC entry(const char* name);
// The operations not yet called through `set`, space separated.
std::string never_called(NameSet set);

// Calls an operation through the current name set; the argument types are the caller's.
template <class R, class... A>
R call(const char* name, A... args) {
  using Fn = R(WINAPI*)(A...);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry(name)))(args...);
}

// ---- The replaced imports ----
struct CapturedBox {
  std::wstring text, caption;
  UINT type;
};
// Debug strings the library wrote since the last take, in order.
std::vector<std::wstring> take_debug_strings();
std::vector<CapturedBox> take_message_boxes();
struct DosDefinition {
  DWORD flags;
  std::wstring name, target;
  BOOL result;
};
std::vector<DosDefinition> take_dos_definitions();
// Timing runs: debug strings are dropped without a trace, freed blocks are really freed.
void set_quiet(bool quiet);
// GlobalAlloc minus GlobalFree calls of the library since it was loaded.
long heap_balance();
// Blocks the library freed are kept, filled with a pattern, until release_quarantine(): a write
// into one after its free (a late I/O completion) shows as a changed pattern. Returns the number
// of freed blocks found changed, and the number freed while they held a pending OVERLAPPED.
struct QuarantineReport {
  int blocks = 0;
  int overwritten = 0;
  int freed_pending = 0;
};
QuarantineReport release_quarantine();
// Sizes of the blocks freed since the last release, still kept.
std::vector<size_t> quarantined_sizes();
// Removes the DOS name of the adapter so that OpenDUT's fallback runs.
bool remove_dos_name(const wchar_t* name);
bool define_dos_name(const wchar_t* name, const wchar_t* target);

// ---- The virtual adapter's control device ----
class Control {
 public:
  bool open();
  void close();
  bool reset(uint32_t eeprom_type = 1, uint32_t chip_variant = 0, uint32_t completion_polls = 0,
             uint32_t rf_type = 0);
  bool add_fault(const talven::vadapter::FaultRecord& fault);
  bool set_completion(uint32_t target, uint32_t kind, uint32_t error = 0, uint32_t delay_us = 0,
                      int32_t count = -1);
  uint32_t release_held(uint32_t count, uint32_t error = 0);
  bool state(talven::vadapter::StateRecord* out);
  // Every request logged since the last clear, oldest first; false if the log lost some.
  bool requests(std::vector<talven::vadapter::RequestEntry>* out, uint32_t* total = nullptr);
  bool clear_requests();
  bool frames(talven::vadapter::FramePage* out);
  bool read_eeprom(talven::vadapter::EepromRecord* out);
  bool write_eeprom(uint32_t type, const uint8_t* image);
  bool set_query_word(uint32_t oid, uint32_t value);
  bool queue_rx_frame(const uint8_t* bytes, uint32_t size);
  bool set_register(uint32_t file, uint32_t address, uint32_t value);
  bool get_register(uint32_t file, uint32_t address, uint32_t* value);
  bool set_addresses(const uint8_t mac[6], const uint8_t permanent[6]);
  // Waits until the adapter holds no pended request (at most `ms`).
  bool wait_idle(DWORD ms);
  DWORD last_error() const { return error_; }

 private:
  bool io(uint32_t code, const void* in, DWORD in_size, void* out, DWORD out_size);
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD error_ = 0;
};

// A running thread's result, for calls made on another thread.
class Worker {
 public:
  template <class F>
  explicit Worker(F f) : fn_(new F(f)), run_(&invoke<F>), drop_(&destroy<F>) {
    thread_ = CreateThread(nullptr, 0, &start, this, 0, nullptr);
  }
  ~Worker();
  bool wait(DWORD ms);  // true once the thread ended
  ULONG result() const { return result_; }
  bool started() const { return thread_ != nullptr; }

 private:
  template <class F>
  static ULONG invoke(void* f) {
    return (*static_cast<F*>(f))();
  }
  template <class F>
  static void destroy(void* f) {
    delete static_cast<F*>(f);
  }
  static DWORD WINAPI start(void* self);
  void* fn_;
  ULONG (*run_)(void*);
  void (*drop_)(void*);
  HANDLE thread_ = nullptr;
  volatile ULONG result_ = 0;
};

double now_ms();
// Handles the process holds: GetProcessHandleCount, or where that reports nothing (Wine 8 always
// gives 0) the process's entries in the system handle list.
long handle_count();
// Events the library keeps open between calls for its requests (one per request that was ever
// in flight at the same time as others); it closes them when it is unloaded.
long request_events();

}  // namespace wintest
