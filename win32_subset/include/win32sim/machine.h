// Control API of the Win32 subset: builds the machine that the Win32 functions of windows.h run
// on (devices, DOS device names, registry, services), scripts their failures and observes what
// was called. All state is process global and thread safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "win32sim/device.h"

namespace win32sim {

// Empties the machine: no devices, DOS names, registry keys below HKLM or services; all logs,
// captures, counters and scripted faults cleared; sleep mode back to real, without a tick. Handles
// still open are forgotten. It ends the machine's process: the module's entry point (DllMain,
// when the program links one) is called with DLL_PROCESS_DETACH first, while its handles are
// still valid. Precondition: no thread started through CreateThread is still running.
void reset_machine();
// The machine a program finds by default: the subset runs the installer set here once, the
// first time the machine is used (before any Win32 call acts on it); with none set the machine
// starts empty. install_default_machine runs it again (reset_machine does not). A library that
// plugs in a machine sets its installer from a static initializer. Returns the previous one.
using MachineInstaller = void (*)();
MachineInstaller set_default_machine_installer(MachineInstaller installer);
void install_default_machine();

// ---- Global heap ----
size_t heap_live_blocks();
size_t heap_live_bytes();
uint64_t heap_alloc_calls();
struct HeapAlloc {
  uint32_t flags;
  size_t size;
};
std::vector<HeapAlloc> heap_alloc_log();  // GlobalAlloc calls since the last clear
void clear_heap_alloc_log();
size_t heap_block_size(const void* p);   // 0 if p is not the start of a live block
bool heap_block_freed(const void* p);    // p lies in a block freed not long ago (poisoned 0xDD)
void fail_nth_global_alloc(uint64_t n);  // 1 = the next call; 0 cancels

// ---- Scripted failures (n: 1 = the next call; 0 cancels) ----
void fail_nth_create_event(uint64_t n);
void fail_nth_reset_event(uint64_t n);
void fail_nth_create_thread(uint64_t n);
void fail_nth_close_handle(uint64_t n, uint32_t error);
void fail_next_define_dos_device(uint32_t error);  // 0 cancels

// Misuse of handles, heap blocks, I/O buffers and the module; a correct program leaves all of
// these at zero.
struct Misuse {
  uint64_t bad_frees;         // GlobalFree of an unknown or already freed block
  uint64_t locked_frees;      // GlobalFree of a block still locked
  uint64_t guard_overwrites;  // writes past the end of a block, found when it is freed
  uint64_t bad_closes;        // CloseHandle / RegCloseKey / CloseServiceHandle of unknown handles
  uint64_t bad_unlocks;       // GlobalUnlock of an unknown or unlocked block
  // A request completed into memory freed before it completed: its output, its OVERLAPPED.
  uint64_t late_writes;
  // A device read a write's bytes from a block freed before the write completed.
  uint64_t late_reads;
  // A request completed after its caller had returned from a call without OVERLAPPED that the
  // device pended: on Windows the system then writes into the caller's dead stack frame.
  uint64_t dead_status_blocks;
  // The module's last reference went while a thread still ran its code.
  uint64_t unloads_while_running;

  uint64_t total() const {
    return bad_frees + locked_frees + guard_overwrites + bad_closes + bad_unlocks + late_writes +
           late_reads + dead_status_blocks + unloads_while_running;
  }
};
Misuse misuse();

// ---- Debug output and message boxes ----
std::vector<std::u16string> debug_strings();
std::vector<std::string> debug_strings_utf8();
void clear_debug_strings();
struct MessageBoxCall {
  void* owner;
  std::u16string text, caption;
  uint32_t type;
};
std::vector<MessageBoxCall> message_boxes();
void clear_message_boxes();

// ---- Sleep ----
// Real: Sleep waits. Counting: Sleep records its argument and only yields. Instant: Sleep
// records its argument and returns at once (for long single-threaded poll loops on a busy
// machine, where every yield may give the processor away for a whole time slice).
enum class SleepMode { Real, Counting, Instant };
void set_sleep_mode(SleepMode mode);
std::vector<uint32_t> sleep_log();  // arguments of Sleep calls in Counting mode, in order
size_t sleep_count();
void clear_sleep_log();
// Real mode: the system timer's tick. Windows wakes a sleeping thread on a timer interrupt, so
// Sleep(ms) lasts until the first tick at least `ms` away: with the default 15.625 ms tick a
// Sleep(1) lasts a whole tick; timeBeginPeriod(1) makes the tick 1 ms. Ticks fall on multiples
// of `tick_us` since an arbitrary start. 0 (the default, and after reset_machine): Sleep waits
// exactly what it is asked.
void set_sleep_tick_us(uint32_t tick_us);
// GetTickCount stands still while held (from the call on, until released or the machine is
// reset), so that a wait bounded by the tick, such as a stop's wait for its workers, ends only
// on its condition: a test that holds a worker on purpose then does not depend on the load.
void hold_tick_count(bool held);

// ---- Devices and DOS device names ----
void add_device(const std::u16string& nt_path, std::shared_ptr<Device> device);
void remove_device(const std::u16string& nt_path);
void add_dos_name(const std::u16string& name, const std::u16string& target);
void remove_dos_name(const std::u16string& name);
bool dos_name_target(const std::u16string& name, std::u16string* target);
struct DefineDosDeviceCall {
  uint32_t flags;
  std::u16string name, target;
};
std::vector<DefineDosDeviceCall> define_dos_device_log();
struct CreateFileCall {
  std::u16string path;
  uint32_t access, share, disposition, flags;
};
std::vector<CreateFileCall> create_file_log();
size_t open_file_handles();
size_t open_event_handles();
size_t open_thread_handles();

// One device request: how it was issued and how it ended.
struct IoCall {
  enum Kind { Ioctl, Write } kind;
  void* handle;
  uint32_t code;  // control code; 0 for writes
  uint32_t in_size, out_size;
  bool overlapped;  // issued with an OVERLAPPED
  uint64_t offset;  // the OVERLAPPED's Offset and OffsetHigh (0 without OVERLAPPED)
  enum State { Issued, Pending, Completed } state;
  bool cancel_requested;
  uint32_t error;  // final error once Completed
  uint32_t bytes;  // final byte count once Completed
  void* event;     // the OVERLAPPED's event (null without one)
};
std::vector<IoCall> io_log();
void clear_io_log();
size_t pending_io_count();  // requests issued and not yet completed

// ---- Threads ----
size_t live_threads();                       // started through CreateThread and not yet ended
bool wait_for_threads(uint32_t timeout_ms);  // true when none is left running
// While the gate is closed, threads that CreateThread starts (and that are resumed) wait before
// their routine's first instruction; opening it lets them run. Closing affects later starts too.
void close_thread_gate();
void open_thread_gate();
bool wait_threads_at_gate(size_t count, uint32_t timeout_ms);  // true once `count` are waiting
// Threads that ended through FreeLibraryAndExitThread (the others returned from their routine).
size_t threads_ended_by_free_library();

// ---- Kernel calls ----
// Calls of the subset's functions that are system calls on Windows, from every thread since the
// last clear: events, waits (GetOverlappedResult only when it has to wait), handles, threads,
// Sleep, device files and their I/O, cancels, registry and service calls, debug strings and
// message boxes. Global-heap calls, GetLastError, GetTickCount, wsprintfW and the module calls
// run in user mode there and are not counted. reset_machine does not clear the count.
uint64_t kernel_calls();
void clear_kernel_calls();

// ---- The module (the library's own image; one on this machine) ----
// Reference count of the module: 1 after reset (the process's own load), plus every
// GetModuleHandleExW that takes a reference, minus every FreeLibrary.
long module_references();

// ---- Registry (paths below HKEY_LOCAL_MACHINE, e.g. u"SYSTEM\\CurrentControlSet") ----
void reg_create_key(const std::u16string& path);
// Creates the key if needed.
void reg_set_value(const std::u16string& key_path, const std::u16string& name, uint32_t type,
                   const std::vector<uint8_t>& bytes);
void reg_delete_key(const std::u16string& path);  // and its subtree
// Opening the key fails with `error` (0 lifts the denial).
void reg_deny_key(const std::u16string& path, uint32_t error);
struct RegOpenCall {
  std::u16string sub_key;
  uint32_t options, sam;
  bool parent_is_hklm;
};
std::vector<RegOpenCall> reg_open_log();
std::vector<std::u16string> reg_close_log();  // sub-key names of the keys closed, in order
size_t open_reg_keys();

// ---- Service control manager ----
struct ServiceConfig {
  bool running = false;
  uint32_t start_error = 0;        // StartServiceW fails with it, the state unchanged
  std::function<void()> on_start;  // runs after a successful start
};
void add_service(const std::u16string& name, ServiceConfig config);
bool service_running(const std::u16string& name);
void set_service_start_error(const std::u16string& name, uint32_t error);
void fail_open_sc_manager(uint32_t error);  // 0 cancels
struct OpenSCManagerCall {
  bool machine_null, database_null;
  std::u16string machine, database;
  uint32_t access;
};
std::vector<OpenSCManagerCall> open_sc_manager_log();
struct OpenServiceCall {
  std::u16string name;
  uint32_t access;
};
std::vector<OpenServiceCall> open_service_log();
struct StartServiceCall {
  std::u16string name;
  uint32_t argc;
  bool argv_null;
};
std::vector<StartServiceCall> start_service_log();
// CloseServiceHandle calls in order: u"" for the manager, else the service's name as opened.
std::vector<std::u16string> close_service_log();
size_t open_sc_handles();

// ---- Failure injection: one seam in front of every platform call a program can see fail ----
// The hook, when set, is asked at the start of each of these calls (from any thread, without
// the machine's lock held) and chooses how the call ends. Releases (CloseHandle, GlobalFree,
// RegCloseKey, CloseServiceHandle) have no seam: a release that fails leaves its caller nothing
// to do. ResumeThread has none either: it cannot fail on a handle CreateThread just returned.
enum class Api {
  GlobalAlloc,
  CreateEvent,
  ResetEvent,
  WaitForSingleObject,
  CreateThread,
  GetModuleHandleEx,
  DefineDosDevice,
  CreateFile,
  DeviceIoControl,
  WriteFile,
  GetOverlappedResult,
  CancelIoEx,
  RegOpenKey,
  RegQueryValue,
  OpenSCManager,
  OpenService,
  StartService,
};
struct ApiCall {
  Api api;
  uint32_t code;   // DeviceIoControl: the control code; else 0
  const void* in;  // DeviceIoControl and WriteFile: the caller's input; else null
  uint32_t in_size;
};
struct Injection {
  enum Kind {
    None,          // the call runs as usual
    Fail,          // fails at once with `error` (0: the call's usual error); nothing reaches a
                   // device
    FailAnswered,  // DeviceIoControl: the device answers, the answer is copied back and the
                   // call still fails, as with a warning status (ERROR_MORE_DATA)
    Pend,          // DeviceIoControl and WriteFile on an overlapped handle: the device
                   // completes the request before the call returns, yet the call reports
                   // ERROR_IO_PENDING, as Windows may
  } kind = None;
  uint32_t error = 0;
  // DeviceIoControl: edits the device's answer (the system buffer) before the caller sees it.
  std::function<void(uint8_t* answer, uint32_t size)> edit_answer;
};
using InjectionHook = std::function<Injection(const ApiCall& call)>;
// An empty hook removes it; reset_machine does not.
void set_injection_hook(InjectionHook hook);

}  // namespace win32sim
