// Last error, thread ids, events, waits, threads and Sleep; the machine's reset.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "state.h"

namespace win32sim {
namespace detail {
namespace {

thread_local DWORD t_last_error = 0;
thread_local DWORD t_thread_id = 0;
thread_local ThreadObject* t_thread = nullptr;  // set on threads started by CreateThread
thread_local bool t_installing = false;
std::atomic<DWORD> g_next_thread_id{0x100};
std::once_flag g_boot;
std::atomic<MachineInstaller> g_installer{nullptr};

std::atomic<uint64_t> g_kernel_calls{0};

DWORD allocate_thread_id() {
  return g_next_thread_id.fetch_add(4);
}

}  // namespace

void count_kernel_call() {
  g_kernel_calls.fetch_add(1, std::memory_order_relaxed);
}

State& machine_raw() {
  static State* state = new State;  // never destroyed: detached threads may outlive main
  return *state;
}

State& machine() {
  if (!t_installing) {
    std::call_once(g_boot, [] {
      t_installing = true;
      install_default_machine();
      t_installing = false;
    });
  }
  return machine_raw();
}

void set_last_error(DWORD error) {
  t_last_error = error;
}

DWORD current_thread_id() {
  if (t_thread_id == 0) t_thread_id = allocate_thread_id();
  return t_thread_id;
}

DWORD wait_locked(State& s, std::unique_lock<std::mutex>& lock, Waitable& w, DWORD ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!w.signaled) {
    if (ms == 0) return WAIT_TIMEOUT;
    if (ms == INFINITE) {
      s.changed.wait(lock);
    } else if (s.changed.wait_until(lock, deadline) == std::cv_status::timeout && !w.signaled) {
      return WAIT_TIMEOUT;
    }
  }
  if (w.auto_reset) w.signaled = false;
  return WAIT_OBJECT_0;
}

namespace {

std::shared_ptr<Waitable> find_locked(State& s, HANDLE h, HandleKind kind) {
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == s.handles.end() || it->second.kind != kind) return nullptr;
  return it->second.object;
}

size_t count_kind_locked(const State& s, HandleKind kind) {
  size_t n = 0;
  for (const auto& entry : s.handles) n += entry.second.kind == kind;
  return n;
}

}  // namespace
}  // namespace detail

// ---- Control API ----

using detail::machine;
using detail::State;

MachineInstaller set_default_machine_installer(MachineInstaller installer) {
  return detail::g_installer.exchange(installer);
}

void install_default_machine() {
  if (MachineInstaller install = detail::g_installer.load()) install();
}

}  // namespace win32sim

namespace {
// The library's image: the one module of this machine.
const HMODULE kModule = reinterpret_cast<HMODULE>(uintptr_t(0x10000000));
}  // namespace

// The entry point of the machine's one module, when the program links one: the library's own.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) __attribute__((weak));

namespace win32sim {

void reset_machine() {
  std::call_once(detail::g_boot, [] {});  // an explicit reset replaces the default machine
  // The process ends: its module is told first, while its handles still name this machine's
  // objects.
  if (&DllMain != nullptr) DllMain(kModule, DLL_PROCESS_DETACH, nullptr);
  State& s = detail::machine_raw();
  std::shared_ptr<void> dropped;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    dropped = detail::reset_io_locked(s);
    detail::reset_heap_locked(s);
    detail::reset_registry_locked(s);
    s.handles.clear();
    s.create_event_fault = {};
    s.reset_event_fault = {};
    s.create_thread_fault = {};
    s.close_handle_fault = {};
    s.define_dos_device_error = 0;
    s.misuse = Misuse{};
    s.exiting_threads = 0;
    s.ended_by_free_library = 0;
    s.thread_gate_closed = false;
    s.module_references = 1;
    s.sleep_mode = SleepMode::Real;
    s.sleep_log.clear();
    s.sleep_tick_us = 0;
    hold_tick_count(false);
    s.debug_strings.clear();
    s.message_boxes.clear();
  }
  s.changed.notify_all();
  // Devices and their pending requests are released here, outside the machine's lock.
}

void fail_nth_create_event(uint64_t n) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.create_event_fault = {n, ERROR_NOT_ENOUGH_MEMORY};
}

void fail_nth_reset_event(uint64_t n) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.reset_event_fault = {n, ERROR_INVALID_HANDLE};
}

void fail_nth_create_thread(uint64_t n) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.create_thread_fault = {n, ERROR_NOT_ENOUGH_MEMORY};
}

void fail_nth_close_handle(uint64_t n, uint32_t error) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.close_handle_fault = {n, error};
}

Misuse misuse() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.misuse;
}

void set_sleep_mode(SleepMode mode) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sleep_mode = mode;
}

void set_sleep_tick_us(uint32_t tick_us) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sleep_tick_us = tick_us;
}

std::vector<uint32_t> sleep_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sleep_log;
}

size_t sleep_count() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sleep_log.size();
}

void clear_sleep_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sleep_log.clear();
}

size_t open_event_handles() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return detail::count_kind_locked(s, detail::HandleKind::Event);
}

size_t open_thread_handles() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return detail::count_kind_locked(s, detail::HandleKind::Thread);
}

size_t live_threads() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.live_threads;
}

bool wait_for_threads(uint32_t timeout_ms) {
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return s.live_threads == 0; });
}

void close_thread_gate() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.thread_gate_closed = true;
}

void open_thread_gate() {
  State& s = machine();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.thread_gate_closed = false;
  }
  s.changed.notify_all();
}

bool wait_threads_at_gate(size_t count, uint32_t timeout_ms) {
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return s.threads_at_gate >= count; });
}

size_t threads_ended_by_free_library() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.ended_by_free_library;
}

uint64_t kernel_calls() {
  return detail::g_kernel_calls.load();
}

void clear_kernel_calls() {
  detail::g_kernel_calls.store(0);
}

long module_references() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.module_references;
}

}  // namespace win32sim

// ---- Win32 functions ----

using win32sim::detail::EventObject;
using win32sim::detail::HandleKind;
using win32sim::detail::machine;
using win32sim::detail::set_last_error;
using win32sim::detail::State;
using win32sim::detail::ThreadObject;
using win32sim::detail::Waitable;

extern "C" DWORD WINAPI GetLastError(void) {
  return win32sim::detail::t_last_error;
}

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) {
  set_last_error(dwErrCode);
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
  return win32sim::detail::current_thread_id();
}

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                      LPCWSTR lpName) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::CreateEvent, ERROR_NOT_ENOUGH_MEMORY)) {
    set_last_error(injected);
    return nullptr;
  }
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.create_event_fault.hit()) {
    set_last_error(s.create_event_fault.error);
    return nullptr;
  }
  if (lpName != nullptr) {  // named events are not part of this machine
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto event = std::make_shared<EventObject>();
  event->auto_reset = !bManualReset;
  event->signaled = bInitialState != FALSE;
  const uintptr_t h = s.new_handle();
  s.handles[h] = {HandleKind::Event, event};
  set_last_error(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(h);
}
WIN32SIM_NOTHROW_RETURN(nullptr)

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) try {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto event = win32sim::detail::find_locked(s, hEvent, HandleKind::Event);
    if (!event) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    event->signaled = true;
  }
  s.changed.notify_all();
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::ResetEvent, ERROR_INVALID_HANDLE)) {
    set_last_error(injected);
    return FALSE;
  }
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.reset_event_fault.hit()) {
    set_last_error(s.reset_event_fault.error);
    return FALSE;
  }
  auto event = win32sim::detail::find_locked(s, hEvent, HandleKind::Event);
  if (!event) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->signaled = false;
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected = win32sim::detail::injected_error(win32sim::Api::WaitForSingleObject,
                                                              ERROR_INVALID_HANDLE)) {
    set_last_error(injected);
    return WAIT_FAILED;
  }
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(hHandle));
  if (it == s.handles.end()) {
    set_last_error(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::shared_ptr<Waitable> object = it->second.object;  // kept alive across a CloseHandle
  return win32sim::detail::wait_locked(s, lock, *object, dwMilliseconds);
}
WIN32SIM_NOTHROW_RETURN(WAIT_FAILED)

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::CreateThread, ERROR_NOT_ENOUGH_MEMORY)) {
    set_last_error(injected);
    return nullptr;
  }
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.create_thread_fault.hit()) {
    set_last_error(s.create_thread_fault.error);
    return nullptr;
  }
  if (lpStartAddress == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<ThreadObject>();
  thread->id = win32sim::detail::allocate_thread_id();
  thread->suspend_count = (dwCreationFlags & CREATE_SUSPENDED) != 0 ? 1 : 0;
  try {
    std::thread([&s, thread, lpStartAddress, lpParameter] {
      win32sim::detail::t_thread_id = thread->id;
      win32sim::detail::t_thread = thread.get();
      {
        std::unique_lock<std::mutex> wait_lock(s.mutex);
        s.changed.wait(wait_lock, [&] { return thread->suspend_count == 0; });
        if (s.thread_gate_closed) {
          ++s.threads_at_gate;
          s.changed.notify_all();
          s.changed.wait(wait_lock, [&] { return !s.thread_gate_closed; });
          --s.threads_at_gate;
        }
      }
      DWORD code = 0;
      try {
        code = lpStartAddress(lpParameter);
      } catch (const win32sim::detail::ThreadExit& exit) {
        code = exit.code;
      }
      {
        std::lock_guard<std::mutex> done_lock(s.mutex);
        thread->exit_code = code;
        thread->signaled = true;
        if (thread->exiting) --s.exiting_threads;
        --s.live_threads;
      }
      s.changed.notify_all();
    }).detach();
  } catch (...) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  ++s.live_threads;
  const uintptr_t h = s.new_handle();
  s.handles[h] = {HandleKind::Thread, thread};
  if (lpThreadId != nullptr) *lpThreadId = thread->id;
  return reinterpret_cast<HANDLE>(h);
}
WIN32SIM_NOTHROW_RETURN(nullptr)

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) try {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  DWORD previous = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto object = win32sim::detail::find_locked(s, hThread, HandleKind::Thread);
    if (!object) {
      set_last_error(ERROR_INVALID_HANDLE);
      return static_cast<DWORD>(-1);
    }
    auto* thread = static_cast<ThreadObject*>(object.get());
    previous = thread->suspend_count;
    if (thread->suspend_count > 0) --thread->suspend_count;
  }
  s.changed.notify_all();
  return previous;
}
WIN32SIM_NOTHROW_RETURN(static_cast<DWORD>(-1))

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) try {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto object = win32sim::detail::find_locked(s, hThread, HandleKind::Thread);
  if (!object) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = static_cast<ThreadObject*>(object.get())->exit_code;
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

namespace {
DWORD real_tick_count() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
// The tick while hold_tick_count holds it; kTickRuns otherwise.
constexpr uint64_t kTickRuns = ~uint64_t{0};
std::atomic<uint64_t> g_held_tick{kTickRuns};
}  // namespace

namespace win32sim {
void hold_tick_count(bool held) {
  g_held_tick = held ? real_tick_count() : kTickRuns;
}
}  // namespace win32sim

// Milliseconds of real time since an arbitrary start, wrapping at 2^32 as on Windows.
extern "C" DWORD WINAPI GetTickCount(void) {
  const uint64_t held = g_held_tick;
  return held == kTickRuns ? real_tick_count() : static_cast<DWORD>(held);
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  bool counting = false;
  bool instant = false;
  uint32_t tick_us = 0;
  try {
    std::lock_guard<std::mutex> lock(s.mutex);
    tick_us = s.sleep_tick_us;
    instant = s.sleep_mode == win32sim::SleepMode::Instant;
    counting = instant || s.sleep_mode == win32sim::SleepMode::Counting;
    if (counting) s.sleep_log.push_back(dwMilliseconds);
  } catch (...) {
    counting = true;  // the log could not grow; do not block either
  }
  if (instant) {
    return;
  } else if (counting) {
    std::this_thread::yield();
  } else if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  } else if (tick_us > 0 && dwMilliseconds > 0) {
    // Woken by the first timer tick at or after the time asked for.
    using namespace std::chrono;
    const auto due = steady_clock::now() + milliseconds(dwMilliseconds);
    const auto tick = microseconds(tick_us);
    const auto ticks =
        (duration_cast<microseconds>(due.time_since_epoch()) + tick - microseconds(1)) / tick;
    std::this_thread::sleep_until(
        steady_clock::time_point(duration_cast<steady_clock::duration>(tick * ticks)));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
  }
}

// ---- The module ----

extern "C" BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName,
                                          HMODULE* phModule) try {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (phModule == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = nullptr;
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::GetModuleHandleEx, ERROR_MOD_NOT_FOUND)) {
    set_last_error(injected);
    return FALSE;
  }
  // Only addresses inside the library's image name a module here.
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0 || lpModuleName == nullptr ||
      s.module_references <= 0) {
    set_last_error(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) ++s.module_references;
  *phModule = kModule;
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (hLibModule != kModule || s.module_references <= 0) {
    ++s.misuse.bad_closes;
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (--s.module_references == 0 && s.live_threads > s.exiting_threads)
    ++s.misuse.unloads_while_running;
  return TRUE;
}

extern "C" VOID WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode) {
  win32sim::detail::count_kernel_call();
  ThreadObject* self = win32sim::detail::t_thread;
  if (self == nullptr) {
    std::fprintf(stderr, "FreeLibraryAndExitThread on a thread CreateThread did not start\n");
    std::abort();
  }
  State& s = machine();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    self->exiting = true;
    ++s.exiting_threads;
    ++s.ended_by_free_library;
  }
  FreeLibrary(hLibModule);
  throw win32sim::detail::ThreadExit{dwExitCode};
}
