// Machine state shared by the Win32 functions of the subset: one mutex guards everything, one
// condition variable wakes every waiter when anything waitable changes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "win32sim/device.h"
#include "win32sim/machine.h"
#include "windows.h"

namespace win32sim {
namespace detail {

// Anything WaitForSingleObject can wait on.
struct Waitable {
  virtual ~Waitable() = default;
  bool signaled = false;
  bool auto_reset = false;
};

struct EventObject : Waitable {};

struct ThreadObject : Waitable {
  DWORD id = 0;
  DWORD exit_code = STILL_ACTIVE;
  DWORD suspend_count = 0;
  bool exiting = false;  // in FreeLibraryAndExitThread: it runs no more module code
};

// Thrown by FreeLibraryAndExitThread and caught where the thread began, so that the thread ends
// without returning into the routine that called it.
struct ThreadExit {
  DWORD code;
};

class IoRequest;

// An open device file. Signalled as a manual-reset notification object.
struct FileObject : Waitable {
  std::shared_ptr<Device> device;
  bool overlapped = false;
  std::vector<std::shared_ptr<IoRequest>> pending;
};

enum class HandleKind { Event, File, Thread };

struct HandleEntry {
  HandleKind kind;
  std::shared_ptr<Waitable> object;
};

struct HeapBlock {
  uint8_t* memory = nullptr;  // size bytes followed by the guard
  size_t size = 0;
  uint32_t flags = 0;
  uintptr_t handle = 0;  // the pointer itself for fixed blocks
  uint32_t locks = 0;
  bool moveable = false;
};

struct RegValue {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
};

struct RegKey {
  std::map<std::u16string, std::shared_ptr<RegKey>> children;  // by folded name
  std::map<std::u16string, RegValue> values;                   // by folded name
  uint32_t deny_error = 0;
  bool deleted = false;
};

struct Service {
  ServiceConfig config;
};

struct ScEntry {
  bool manager = false;
  std::u16string service;    // folded name of the service
  std::u16string opened_as;  // the name as the caller gave it
};

// Scripted failure of the Nth call from now (0 = none).
struct NthFault {
  uint64_t countdown = 0;
  uint32_t error = 0;
  // Counts one call; true when this call is to fail.
  bool hit() {
    if (countdown == 0) return false;
    return --countdown == 0;
  }
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;

  uintptr_t next_handle = 0x1000;
  std::map<uintptr_t, HandleEntry> handles;

  // Global heap.
  std::map<uintptr_t, HeapBlock*> blocks_by_handle;
  std::map<const void*, HeapBlock*> blocks_by_pointer;
  std::map<const void*, HeapBlock*> freed_by_pointer;  // the quarantine, by memory
  std::deque<HeapBlock*> quarantine;                   // oldest first
  size_t quarantine_bytes = 0;
  size_t heap_bytes = 0;
  uint64_t heap_calls = 0;
  std::vector<HeapAlloc> heap_log;
  NthFault alloc_fault;
  Misuse misuse{};

  NthFault create_event_fault, reset_event_fault, create_thread_fault, close_handle_fault;
  uint32_t define_dos_device_error = 0;

  // Threads.
  size_t live_threads = 0;
  size_t exiting_threads = 0;
  size_t ended_by_free_library = 0;
  bool thread_gate_closed = false;
  size_t threads_at_gate = 0;

  // The module's reference count.
  long module_references = 1;

  // Sleep.
  SleepMode sleep_mode = SleepMode::Real;
  std::vector<uint32_t> sleep_log;
  uint32_t sleep_tick_us = 0;  // 0: Sleep waits exactly what it is asked

  // Text capture.
  std::vector<std::u16string> debug_strings;
  std::vector<MessageBoxCall> message_boxes;

  // Devices: by folded NT path; DOS names: by folded name, a stack of targets (last current).
  std::map<std::u16string, std::shared_ptr<Device>> devices;
  std::map<std::u16string, std::vector<std::u16string>> dos_names;
  std::vector<DefineDosDeviceCall> define_log;
  std::vector<CreateFileCall> create_log;
  std::vector<IoCall> io_log;
  uint64_t io_log_generation = 0;

  // Registry.
  std::shared_ptr<RegKey> hklm = std::make_shared<RegKey>();
  std::map<uintptr_t, std::shared_ptr<RegKey>> reg_handles;
  std::map<uintptr_t, std::u16string> reg_handle_names;  // sub-key each handle was opened by
  std::vector<RegOpenCall> reg_log;
  std::vector<std::u16string> reg_close_log;

  // Service control manager.
  std::map<std::u16string, Service> services;  // by folded name
  std::map<uintptr_t, ScEntry> sc_handles;
  uint32_t open_scm_error = 0;
  std::vector<OpenSCManagerCall> scm_log;
  std::vector<OpenServiceCall> open_service_log;
  std::vector<StartServiceCall> start_service_log;
  std::vector<std::u16string> sc_close_log;

  uintptr_t new_handle() {
    const uintptr_t h = next_handle;
    next_handle += 4;
    return h;
  }
};

// The machine; installs the default machine on first use unless reset_machine came first.
State& machine();
// The machine without that first-use step (for reset_machine).
State& machine_raw();

void set_last_error(DWORD error);
DWORD current_thread_id();

// Waits under `lock` until w is signalled (consuming an auto-reset signal) or ms pass.
DWORD wait_locked(State& s, std::unique_lock<std::mutex>& lock, Waitable& w, DWORD ms);

// Case-insensitive key for names and paths (ASCII letters folded to upper case).
std::u16string fold(const std::u16string& text);
std::u16string fold(const char16_t* text);

// Drops every open file, device, registry and service object (for reset_machine); the
// returned holder is destroyed by the caller after the machine mutex is released.
std::shared_ptr<void> reset_io_locked(State& s);
void reset_heap_locked(State& s);
// True when any byte of [p, p + size) lies in a block that was freed (and is still remembered).
bool heap_freed_locked(const State& s, const void* p, size_t size);
void reset_registry_locked(State& s);

// Counts one call that enters the kernel on Windows (see kernel_calls()).
void count_kernel_call();

// What the injection hook chose for this call; None when no hook is set.
Injection injected(Api api, uint32_t code = 0, const void* in = nullptr, uint32_t in_size = 0);
// The error a call must fail with because the hook chose Fail (`usual` when it named none);
// 0 when the call runs as usual.
inline uint32_t injected_error(Api api, uint32_t usual) {
  const Injection injection = injected(api);
  if (injection.kind != Injection::Fail) return 0;
  return injection.error != 0 ? injection.error : usual;
}

}  // namespace detail
}  // namespace win32sim

// Function-try-block tail for the exported functions: nothing is thrown across the C boundary.
#define WIN32SIM_NOTHROW_RETURN(value)                           \
  catch (...) {                                                  \
    ::win32sim::detail::set_last_error(ERROR_NOT_ENOUGH_MEMORY); \
    return value;                                                \
  }
