// One emulated 32-bit Windows process around talven.dll: the loader (mapping at a chosen base,
// relocation, import binding, TLS callbacks and DllMain for process and thread attach and
// detach, module references), kernel objects (events, semaphores, threads, device files with
// overlapped I/O on the adapter's device model), emulated threads under a deterministic
// scheduler in virtual time, and the checks every guest call gets: the stdcall contract
// (ESP, EBX, ESI, EDI, EBP, the direction flag, the x87 control word and stack, MXCSR).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "i686_emulator/cpu.h"
#include "i686_emulator/heap.h"
#include "i686_emulator/pe_image.h"
#include "virtual_adapter/model_host.h"

namespace emu {

struct Thread;
class Process;

// ---- Kernel objects ----
struct Object {
  virtual ~Object() = default;
  virtual const char* kind() const = 0;
};

// Something a thread can wait for.
struct Waitable : Object {
  virtual bool signaled(const Thread& t) const = 0;
  virtual void acquire(Thread& t) = 0;  // takes the signal (auto-reset events, semaphores)
};

struct Event : Waitable {
  bool manual = false, set = false;
  // The library's manual-reset events are those its requests keep between calls (a packet's
  // event is auto-reset): counted apart, since they outlive the call that made them.
  const char* kind() const override { return manual ? "request event" : "event"; }
  bool signaled(const Thread&) const override { return set; }
  void acquire(Thread&) override {
    if (!manual) set = false;
  }
};

struct Semaphore : Waitable {
  int32_t count = 0, maximum = 0;
  const char* kind() const override { return "semaphore"; }
  bool signaled(const Thread&) const override { return count > 0; }
  void acquire(Thread&) override { --count; }
};

struct ThreadObject : Waitable {
  bool exited = false;
  uint32_t exit_code = 0x103;  // STILL_ACTIVE
  uint32_t id = 0;
  const char* kind() const override { return "thread"; }
  bool signaled(const Thread&) const override { return exited; }
  void acquire(Thread&) override {}
};

struct Io;
struct Device;

// An open device file; signalled like a manual-reset event by completions without an event.
struct File : Waitable {
  std::shared_ptr<Device> device;
  bool overlapped = false;
  bool set = false;
  std::vector<std::shared_ptr<Io>> pending;
  const char* kind() const override { return "file"; }
  bool signaled(const Thread&) const override { return set; }
  void acquire(Thread&) override {}
};

// A CRITICAL_SECTION of the guest, known by its address.
struct CriticalSection : Waitable {
  const Thread* owner = nullptr;
  uint32_t recursion = 0;
  const char* kind() const override { return "critical section"; }
  bool signaled(const Thread& t) const override { return owner == nullptr || owner == &t; }
  void acquire(Thread& t) override {
    owner = &t;
    ++recursion;
  }
};

// The adapter behind a device path: the device model as the virtual adapter driver hosts it
// (scripted with the control protocol's records), and the requests it holds.
struct Device {
  vadapter::ModelHost* host = nullptr;
  std::deque<std::shared_ptr<Io>> held;  // Completion::Held, oldest first
  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() { vadapter::ModelHost::destroy(host); }
};

// One request issued on a device file.
struct Io {
  uint32_t serial = 0;
  bool write = false;
  uint32_t code = 0;
  std::vector<uint8_t> system_buffer;  // device control: input in, answer out
  uint32_t user_in = 0, size = 0;      // write: the caller's bytes, read at completion
  uint32_t out = 0, out_size = 0;      // device control: where the answer goes
  uint32_t overlapped = 0;             // guest OVERLAPPED, 0 for none
  uint64_t offset = 0;
  std::shared_ptr<Waitable> event;  // the OVERLAPPED's event
  std::weak_ptr<File> file;
  uint32_t thread = 0;
  bool done = false, cancel = false, caller_gone = false;
  uint32_t error = 0, bytes = 0, answer_bytes = 0;
  std::shared_ptr<Event> done_signal;  // set when it completes (callers that block on it)
};

// ---- Threads ----
// A guest call the host started on a thread: when it returns to the host stub, the stdcall
// contract is checked against what was set up here.
struct Frame {
  std::string label;
  uint32_t esp0 = 0;  // ESP once the callee has removed its arguments
  uint32_t ebx = 0, esi = 0, edi = 0, ebp = 0;
  uint32_t fpcw = 0, mxcsr = 0;
  bool check = true;
  uc_context* saved = nullptr;  // the thread's state before the call, restored after it
  std::function<void(uint32_t eax)> done;
};

struct Thread {
  uint32_t id = 0;
  uint32_t slot = 0;
  uint32_t stack_low = 0, stack_high = 0, teb = 0;
  bool main = false;
  bool fresh = true;  // not yet started: its attach notifications and routine are still to come
  uint32_t start = 0, parameter = 0;
  std::shared_ptr<ThreadObject> object;
  uc_context* context = nullptr;
  enum State { Runnable, Blocked, Suspended, Idle, Exited } state = Runnable;
  uint32_t suspend_count = 0;
  // A blocking call waits for `wait_on` (or for nothing) until `deadline` (virtual µs).
  std::shared_ptr<Waitable> wait_on;
  uint64_t deadline = UINT64_MAX;
  bool resumed = false;     // the blocking call runs again after its wait ended
  uint32_t wake = 0;        // WAIT_OBJECT_0 or WAIT_TIMEOUT
  uint32_t skip_at = 0;     // thunk whose return is prepared: let its ret run
  uint32_t yielded_at = 0;  // thunk where the scheduler switched away before the call
  std::vector<Frame> frames;
  uint64_t instructions = 0;         // executed inside the DLL's image
  uint32_t tls_block = 0;            // this thread's copy of the image's TLS data
  std::shared_ptr<Io> io_in_flight;  // a blocking request the thread waits for
  bool exiting = false;  // in ExitThread: it runs no more of the module's code of its own
  // Host work the thread does once the wait it blocked on ends (the loader lock).
  std::function<void()> resume_action;
};

// ---- The import table ----
struct Call;
struct Result {
  enum Kind { Value, Block, Host, Exit } kind = Value;
  uint32_t value = 0;
};
using Handler = Result (*)(Call& c);
struct ImportDef {
  const char* dll;
  const char* name;
  int args;  // 32-bit argument slots; -1 for cdecl (the caller removes its arguments)
  Handler handler;
  uint32_t (*data)(Process& p) = nullptr;  // data imports: the variable's address
};
const std::vector<ImportDef>& import_table();

// Arguments and services for one import call.
struct Call {
  Process& p;
  Thread& t;
  const ImportDef& def;
  uint32_t arg(int i) const;
  bool resumed() const { return t.resumed; }
  uint32_t wake() const { return t.wake; }
  void set_error(uint32_t error);
  uint32_t error() const;
  // Ends the call blocked until `on` is signalled (acquired then) or `ms` pass (INFINITE:
  // never); the handler runs again then with resumed() true and wake() telling which.
  Result block(std::shared_ptr<Waitable> on, uint32_t ms);
  // Ends the call with work the host does outside the emulation on this thread: guest
  // callbacks (Process::run_steps) or an unload; the action ends the import with
  // Process::finish_import.
  Result host(std::function<void(Thread&)> action);
  Result exit_thread(uint32_t code, bool free_library = false);
  Result value(uint32_t v) const { return {Result::Value, v}; }
  Result fail(uint32_t error, uint32_t v = 0) {
    set_error(error);
    return {Result::Value, v};
  }
};

// What a guest call came to.
struct CallOutcome {
  bool finished = false;  // returned to the host
  uint32_t eax = 0;
  std::vector<std::string> abi;  // contract violations of this call
  uint64_t instructions = 0;     // inside the DLL, on the calling thread
};

struct Options {
  uint64_t seed = 0;  // 0: no preemption; else switches at import calls and after random slices
  uint64_t budget = 200'000'000;  // instructions per host call before it counts as runaway
};

class Process {
 public:
  explicit Process(const Options& options);
  ~Process();

  Cpu& cpu() { return cpu_; }
  Heap& heap() { return *heap_; }

  // ---- Loader ----
  // Maps the image at `base`, binds every import (fails naming the first one the host does not
  // implement), runs the TLS callbacks and DllMain for DLL_PROCESS_ATTACH. False with *error.
  bool load(const PeImage& image, uint32_t base, std::string* error);
  // FreeLibrary from the host: one reference less; at 0 the process detach runs on the main
  // thread and the image is unmapped.
  void free_library();
  bool loaded() const { return loaded_; }
  uint32_t base() const { return base_; }
  long module_references() const { return module_refs_; }
  uint32_t export_address(const std::string& name) const;  // 0 when absent
  bool in_image(uint32_t address) const {
    return loaded_ && address - base_ < image_.size_of_image;
  }
  uint32_t dll_main_result() const { return dll_main_result_; }
  void add_module_reference() { ++module_refs_; }
  const PeImage& image() const { return image_; }

  // ---- Calls from the host (the test program's main thread) ----
  CallOutcome call(const std::string& label, uint32_t fn, const std::vector<uint32_t>& args);
  // Lets the other threads run, the main thread idle, until `done` or nothing can run.
  bool run_until(const std::function<bool()>& done);
  uint64_t now_us() const { return now_; }
  // The last error of the main thread (the calling program's), as GetLastError would give it.
  uint32_t last_error() { return cpu_.read32(threads_.front()->teb + 0x34); }
  size_t held_requests() const {
    size_t n = 0;
    for (const auto& d : devices) n += d.second->held.size();
    return n;
  }
  bool fatal() const { return fatal_; }

  // ---- Kernel state ----
  uint32_t add_handle(std::shared_ptr<Object> object);
  std::shared_ptr<Object> object(uint32_t handle) const;
  template <class T>
  std::shared_ptr<T> object_as(uint32_t handle) const {
    return std::dynamic_pointer_cast<T>(object(handle));
  }
  bool close_handle(uint32_t handle);
  std::map<std::string, size_t> open_handles() const;  // by kind
  size_t live_threads() const;                         // besides the main thread
  size_t threads_created() const { return threads_.size() - 1; }
  size_t threads_ended_by_free_library() const { return ended_by_free_library_; }
  Thread* thread_by_id(uint32_t id);
  Thread& create_thread(uint32_t start, uint32_t parameter, bool suspended);
  void exit_current_thread(Thread& t, uint32_t code, bool free_library);
  std::map<uint32_t, std::shared_ptr<CriticalSection>> critical_sections;
  std::set<uint32_t> tls_slots;
  std::map<uint32_t, std::map<uint32_t, uint32_t>> tls_values;  // thread id -> slot -> value
  uint32_t next_tls_slot = 0;

  // ---- Devices: NT path (folded) -> adapter ----
  std::map<std::u16string, std::shared_ptr<Device>> devices;
  std::shared_ptr<Device> add_adapter(const std::u16string& nt_path,
                                      const talven::vadapter::ResetConfig& config);
  vadapter::ModelHost& adapter();  // the first adapter added
  // Issues a request; see kernel.cpp. Returns FALSE/TRUE as the Win32 call does.
  struct IoResult {
    bool ok;
    bool pending;  // the call returned ERROR_IO_PENDING
    std::shared_ptr<Io> io;
    uint32_t error;
  };
  IoResult issue(Thread& t, uint32_t handle, bool write, uint32_t code, uint32_t in,
                 uint32_t in_size, uint32_t out, uint32_t out_size, uint32_t overlapped);
  void complete(const std::shared_ptr<Io>& io, uint32_t error, uint32_t bytes);
  size_t cancel(File& file, uint32_t overlapped, bool any);  // requests marked
  size_t release_held(size_t count, uint32_t error);
  size_t pending_io() const;
  std::vector<std::shared_ptr<Io>> all_io;  // every request issued (for late-completion checks)

  // ---- Guest calls made by the host on a thread (callbacks, notifications) ----
  struct Step {
    std::string label;
    uint32_t fn;
    std::vector<uint32_t> args;
  };
  // Runs the calls one after the other on `t` (which the CPU holds), then `then` with the last
  // result. fresh_stack: from the top of the thread's stack (a thread's own start and end);
  // else below the current stack pointer (callbacks from inside an import).
  void run_steps(Thread& t, std::vector<Step> steps, std::function<void(uint32_t)> then,
                 bool fresh_stack = true);
  // Ends the import `t` is in with `value` in EAX; its thunk's ret then runs.
  void finish_import(Thread& t, uint32_t value);
  // FreeLibrary from inside the process (the DLL's own call): one reference less; at 0 the
  // process detach runs on `t` first. `then` runs afterwards, outside the emulation.
  void release_module(Thread& t, std::function<void()> then);
  void fatal(const std::string& text);

  // ---- Timers in virtual time ----
  void at(uint64_t when_us, std::function<void()> action);

  // ---- Holding threads: a thread other than the main one that calls `import` stops right
  // before the call until release_held_thread (the host's breakpoint) ----
  void hold_at_import(const std::string& import) { hold_at_ = import; }
  Thread* held_thread() const { return held_thread_; }
  void release_held_thread();

  // ---- Failure injection: the nth call (1 = next) of an import fails with `error` ----
  void fail_nth(const std::string& import, uint64_t n, uint32_t error);
  bool injected(const std::string& import, uint32_t* error);
  void clear_injections() { injections_.clear(); }

  // ---- What the process observed ----
  void violation(const std::string& text);
  std::vector<std::string> take_violations();
  std::map<std::string, uint64_t> import_calls;  // every import call by name
  std::map<uint32_t, int> notifications_sent;    // DllMain notification sequences, by reason
  std::vector<std::string> lookups;  // GetProcAddress and LoadLibraryA names asked (none given)
  void note_lookup(const std::string& what) { lookups.push_back(what); }
  struct CreateFileCall {
    std::u16string path;
    uint32_t access, share, disposition, flags;
  };
  std::vector<CreateFileCall> create_file_log;
  std::vector<std::u16string> debug_strings;
  struct Box {
    std::u16string text, caption;
    uint32_t type;
  };
  std::vector<Box> message_boxes;
  std::vector<std::string> runtime_output;   // what the C runtime printed (fputs and friends)
  std::map<uint32_t, uint32_t> errno_cells;  // thread id -> guest address of its errno
  uint64_t late_writes = 0, late_reads = 0, dead_status_blocks = 0;
  uint64_t unloads_while_running = 0;
  bool detached_on_main = false;  // DLL_PROCESS_DETACH ran on the main thread (else a worker's)
  uint32_t runtime_data(const std::string& name);  // guest address of a runtime variable

 private:
  friend struct Call;
  enum class Action { None, Block, Yield, Frame, Host, Exit };
  void on_code(uint32_t address);
  bool on_invalid(uc_mem_type type, uint32_t address, int size);
  void on_memory(uc_mem_type type, uint32_t address, int size);
  void dispatch(uint32_t address);

  Thread& new_thread(bool main);
  void activate(Thread& t);
  void start_thread(Thread& t);
  void push_frame(Thread& t, const std::string& label, uint32_t fn,
                  const std::vector<uint32_t>& args, bool check, bool fresh_stack,
                  std::function<void(uint32_t)> done);
  void frame_returned(Thread& t);
  std::vector<Step> notifications(uint32_t reason);  // TLS callbacks, then DllMain
  void detach_process(Thread& t, std::function<void()> then);
  // The loader lock: notifications and the unload run under it, one thread at a time. `body`
  // runs at once when `t` can take it, else once `t` has waited for it; it ends by releasing.
  void with_loader_lock(Thread& t, std::function<void()> body);
  void release_loader_lock(Thread& t);
  void unmap_image();
  void finish_exit(Thread& t, uint32_t code);
  // Runs threads until `done`; with nothing left to run, reports a deadlock when `strict`.
  void schedule(const std::function<bool()>& done, bool strict = true);
  Thread* pick();
  bool wake_blocked();
  bool advance_time();
  uint64_t random();
  void fire_due_timers();

  Options options_;
  Cpu cpu_;
  std::unique_ptr<Heap> heap_;
  PeImage image_;
  bool loaded_ = false;
  uint32_t base_ = 0;
  long module_refs_ = 0;
  uint32_t dll_main_result_ = 0;
  uc_hook code_hook_ = 0, image_hook_ = 0, invalid_hook_ = 0, memory_hook_ = 0;
  std::vector<const ImportDef*> thunks_;  // by thunk index
  std::map<std::string, uint32_t> runtime_data_;
  uint32_t runtime_data_next_ = layout::kRuntimeData;

  std::vector<std::unique_ptr<Thread>> threads_;
  Thread* current_ = nullptr;
  uc_context* clean_ = nullptr;
  Action action_ = Action::None;
  uint32_t pending_eax_ = 0;
  std::function<void(Thread&)> pending_host_;
  uint32_t pending_exit_ = 0;
  bool pending_free_library_ = false;
  bool fatal_ = false;
  size_t ended_by_free_library_ = 0;

  std::shared_ptr<CriticalSection> loader_lock_ = std::make_shared<CriticalSection>();
  std::string hold_at_;
  Thread* held_thread_ = nullptr;
  std::map<uint32_t, std::shared_ptr<Object>> handles_;
  uint32_t next_handle_ = 0x100;
  uint64_t now_ = 0;
  std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> timers_;
  uint64_t timer_serial_ = 0;
  uint32_t io_serial_ = 0;
  uint64_t rng_ = 0;
  uint32_t sentinel_ = 0x5EED0000;
  struct Injection {
    uint64_t countdown;
    uint32_t error;
  };
  std::map<std::string, Injection> injections_;
  std::vector<std::string> violations_;
};

// Guest addresses of the host's stubs.
constexpr uint32_t kThunkSize = 4;
constexpr uint32_t kFrameReturnStub = layout::kThunks + 0xFFF0;

}  // namespace emu
