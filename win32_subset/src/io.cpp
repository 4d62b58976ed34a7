// Device namespace, DOS device names, device files and their I/O: buffered device control and
// writes, overlapped completion, cancellation, and CloseHandle for every kernel handle.
#include <algorithm>
#include <cstring>

#include "state.h"

namespace win32sim {
namespace detail {

// One request issued on a device file. Its fields are guarded by the machine's mutex.
class IoRequest : public PendingIo {
 public:
  void complete(uint32_t error, uint32_t bytes) override {
    State& s = machine_raw();
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (done) return;
      finish_locked(s, error, bytes, true);
    }
    s.changed.notify_all();
  }

  bool cancel_requested() const override {
    State& s = machine_raw();
    std::lock_guard<std::mutex> lock(s.mutex);
    return cancel;
  }

  bool completed() const override {
    State& s = machine_raw();
    std::lock_guard<std::mutex> lock(s.mutex);
    return done;
  }

  uint8_t* buffer() override { return data.empty() ? nullptr : data.data(); }

  std::vector<uint8_t> frame() override {
    if (user_in == nullptr || size == 0) return {};
    State& s = machine_raw();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (heap_freed_locked(s, user_in, size)) ++s.misuse.late_reads;
    return std::vector<uint8_t>(user_in, user_in + size);
  }

  uint64_t offset() const override { return position; }

  // Records the end of the request. With `apply` the caller's side sees it: the OVERLAPPED
  // filled in and the event (or the file) signalled. A device-control request's output is
  // copied back in any case, as the system copies a buffered request's output when the driver
  // completes it: into whatever the caller's buffer has become by then.
  void finish_locked(State& s, uint32_t err, uint32_t count, bool apply) {
    done = true;
    error = err;
    bytes = std::min(count, limit);
    const std::shared_ptr<FileObject> owner = file.lock();
    if (owner) {
      auto& list = owner->pending;
      list.erase(
          std::remove_if(list.begin(), list.end(),
                         [this](const std::shared_ptr<IoRequest>& r) { return r.get() == this; }),
          list.end());
    }
    if (log_generation == s.io_log_generation && log_index < s.io_log.size()) {
      IoCall& entry = s.io_log[log_index];
      entry.state = IoCall::Completed;
      entry.error = error;
      entry.bytes = bytes;
      entry.cancel_requested = cancel;
    }
    // The caller returned before the request ended; on Windows its status block was in that
    // caller's stack frame, which the system writes now.
    if (caller_gone) ++s.misuse.dead_status_blocks;
    if (copy_back && out != nullptr && bytes > 0) {
      if (heap_freed_locked(s, out, bytes))
        ++s.misuse.late_writes;
      else
        std::memcpy(out, data.data(), bytes);
    }
    if (apply) {
      if (ov != nullptr) {
        if (heap_freed_locked(s, ov, sizeof(OVERLAPPED))) {
          ++s.misuse.late_writes;
        } else {
          // The status last: a caller polling HasOverlappedIoCompleted sees the count with it.
          ov->InternalHigh = bytes;
          __atomic_store_n(&ov->Internal,
                           ULONG_PTR(error != 0 ? (0xC0070000u | (error & 0xFFFFu)) : 0),
                           __ATOMIC_RELEASE);
        }
      }
      if (event) {
        event->signaled = true;
      } else if (owner) {
        owner->signaled = true;
      }
    }
    file.reset();
    event.reset();
  }

  // The file the request was issued on; not owned, so that a request nobody completes does
  // not keep its closed file (which holds it) alive for good.
  std::weak_ptr<FileObject> file;
  std::shared_ptr<Waitable> event;   // the OVERLAPPED's event, if any
  std::vector<uint8_t> data;         // device control: the system buffer
  const uint8_t* user_in = nullptr;  // write: the caller's bytes, read in place
  uint32_t size = 0;                 // write: their count
  uint8_t* out = nullptr;
  uint32_t limit = 0;  // most bytes the request can transfer
  bool copy_back = false;
  OVERLAPPED* ov = nullptr;
  uint64_t position = 0;
  DWORD thread = 0;
  bool done = false;
  bool cancel = false;
  bool caller_gone = false;
  uint32_t error = 0;
  uint32_t bytes = 0;
  uint64_t log_generation = 0;
  size_t log_index = 0;
};

namespace {

struct Dropped {
  std::map<uintptr_t, HandleEntry> handles;
  std::map<std::u16string, std::shared_ptr<Device>> devices;
};

std::shared_ptr<FileObject> file_locked(State& s, HANDLE h) {
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == s.handles.end() || it->second.kind != HandleKind::File) return nullptr;
  return std::static_pointer_cast<FileObject>(it->second.object);
}

// Marks the matching requests of a file cancelled; the caller calls the device afterwards.
std::vector<std::shared_ptr<IoRequest>> mark_cancelled_locked(State& s, FileObject& file,
                                                              const OVERLAPPED* ov, bool any_ov,
                                                              DWORD thread, bool any_thread) {
  std::vector<std::shared_ptr<IoRequest>> hit;
  for (const auto& r : file.pending) {
    if (r->done || (!any_ov && r->ov != ov) || (!any_thread && r->thread != thread)) continue;
    r->cancel = true;
    if (r->log_generation == s.io_log_generation && r->log_index < s.io_log.size())
      s.io_log[r->log_index].cancel_requested = true;
    hit.push_back(r);
  }
  return hit;
}

void cancel_on_device(const std::shared_ptr<Device>& device,
                      const std::vector<std::shared_ptr<IoRequest>>& requests) {
  for (const auto& r : requests) device->cancel(r);
}

// Issues one request: validates the event, prepares the OVERLAPPED and the signals, logs it,
// hands it to the device and settles the outcome the way the Win32 caller sees it.
struct Issue {
  IoCall::Kind kind;
  HANDLE handle;
  uint32_t code;
  const void* in;
  uint32_t in_size;
  void* out;
  uint32_t out_size;
  LPDWORD transferred;
  LPOVERLAPPED ov;
};

BOOL issue(const Issue& call) {
  const bool is_write = call.kind == IoCall::Write;
  const Injection injection =
      injected(is_write ? Api::WriteFile : Api::DeviceIoControl, call.code, call.in, call.in_size);
  if (injection.kind == Injection::Fail) {
    set_last_error(injection.error != 0 ? injection.error : DWORD(ERROR_GEN_FAILURE));
    return FALSE;
  }
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  std::shared_ptr<FileObject> file = file_locked(s, call.handle);
  if (!file) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((call.in_size > 0 && call.in == nullptr) || (call.out_size > 0 && call.out == nullptr) ||
      (call.ov == nullptr && call.transferred == nullptr)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (call.kind == IoCall::Write && call.ov == nullptr && file->overlapped) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto request = std::make_shared<IoRequest>();
  if (call.ov != nullptr && call.ov->hEvent != nullptr) {
    // The low bit only keeps a completion port away; it is not part of the handle.
    const uintptr_t h = reinterpret_cast<uintptr_t>(call.ov->hEvent) & ~uintptr_t(1);
    auto it = s.handles.find(h);
    if (it == s.handles.end() || it->second.kind != HandleKind::Event) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    request->event = it->second.object;
  }
  if (is_write) {
    request->user_in = static_cast<const uint8_t*>(call.in);
    request->size = call.in_size;
  } else {
    request->data.resize(std::max(call.in_size, call.out_size));
    if (call.in_size > 0) std::memcpy(request->data.data(), call.in, call.in_size);
  }
  request->file = file;
  request->out = static_cast<uint8_t*>(call.out);
  request->limit = is_write ? call.in_size : call.out_size;
  request->copy_back = !is_write;
  request->ov = call.ov;
  request->thread = current_thread_id();
  if (call.ov != nullptr) {
    request->position = uint64_t(call.ov->Offset) | (uint64_t(call.ov->OffsetHigh) << 32);
    call.ov->Internal = STATUS_PENDING;
    call.ov->InternalHigh = 0;
  }
  // The system clears the file object's signal whenever a request is issued on it, and the
  // request's own event, if it has one.
  file->signaled = false;
  if (request->event) request->event->signaled = false;
  file->pending.push_back(request);
  request->log_generation = s.io_log_generation;
  request->log_index = s.io_log.size();
  s.io_log.push_back(IoCall{call.kind, call.handle, call.code, call.in_size,
                            is_write ? 0u : call.out_size, call.ov != nullptr, request->position,
                            IoCall::Issued, false, 0, 0,
                            call.ov != nullptr ? call.ov->hEvent : nullptr});
  std::shared_ptr<Device> device = file->device;
  lock.unlock();

  IoOutcome outcome;
  if (is_write) {
    outcome = device->write(request->user_in, call.in_size, request);
  } else {
    outcome = device->device_control(call.code, request->data.data(), call.in_size, call.out_size,
                                     request);
  }

  lock.lock();
  if (outcome.kind == IoOutcome::Pending) {
    if (!request->done && request->log_generation == s.io_log_generation &&
        request->log_index < s.io_log.size())
      s.io_log[request->log_index].state = IoCall::Pending;
    if (call.ov != nullptr && file->overlapped) {
      set_last_error(ERROR_IO_PENDING);
      return FALSE;
    }
    if (file->overlapped) {
      // No OVERLAPPED on an overlapped handle: the system waits on the file handle, which any
      // completion of a request without an event signals, and then reports the status block
      // as it finds it. Still pending is a success status: the call returns TRUE while the
      // driver has yet to write the output and the status block.
      wait_locked(s, lock, *file, INFINITE);
      if (!request->done) {
        request->caller_gone = true;
        if (call.transferred != nullptr) *call.transferred = 0;
        return TRUE;
      }
    } else {
      s.changed.wait(lock, [&] { return request->done; });
    }
  } else if (!request->done) {
    // An injected outcome of a request the device completed at once: its answer edited, a
    // failure with the answer copied back, or a completion reported as pending.
    if (injection.edit_answer && !is_write)
      injection.edit_answer(request->data.data(), uint32_t(request->data.size()));
    if (injection.kind == Injection::FailAnswered && !is_write && outcome.error == 0) {
      outcome.error = ERROR_MORE_DATA;
      if (outcome.bytes == 0) outcome.bytes = call.out_size;
    }
    const bool pend = injection.kind == Injection::Pend && call.ov != nullptr && file->overlapped;
    request->finish_locked(s, outcome.error, outcome.bytes, outcome.error == 0 || pend);
    lock.unlock();
    s.changed.notify_all();
    lock.lock();
    if (pend) {
      set_last_error(ERROR_IO_PENDING);
      return FALSE;
    }
  }
  if (call.transferred != nullptr) *call.transferred = request->bytes;
  if (request->error != 0) {
    set_last_error(request->error);
    return FALSE;
  }
  return TRUE;
}

bool starts_with_device_prefix(const std::u16string& path) {
  return path.size() >= 4 && path[0] == u'\\' && path[1] == u'\\' && path[2] == u'.' &&
         path[3] == u'\\';
}

}  // namespace

std::u16string fold(const std::u16string& text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  return out;
}

std::u16string fold(const char16_t* text) {
  return fold(text == nullptr ? std::u16string() : std::u16string(text));
}

std::shared_ptr<void> reset_io_locked(State& s) {
  auto dropped = std::make_shared<Dropped>();
  dropped->handles.swap(s.handles);
  dropped->devices.swap(s.devices);
  s.dos_names.clear();
  s.define_log.clear();
  s.create_log.clear();
  s.io_log.clear();
  ++s.io_log_generation;
  return dropped;
}

}  // namespace detail

using detail::fold;
using detail::machine;
using detail::State;

void add_device(const std::u16string& nt_path, std::shared_ptr<Device> device) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.devices[fold(nt_path)].swap(device);  // a replaced device is released after the lock
}

void remove_device(const std::u16string& nt_path) {
  State& s = machine();
  std::shared_ptr<Device> dropped;
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.devices.find(fold(nt_path));
  if (it == s.devices.end()) return;
  dropped.swap(it->second);
  s.devices.erase(it);
}

void add_dos_name(const std::u16string& name, const std::u16string& target) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.dos_names[fold(name)] = {target};
}

void remove_dos_name(const std::u16string& name) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.dos_names.erase(fold(name));
}

bool dos_name_target(const std::u16string& name, std::u16string* target) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.dos_names.find(fold(name));
  if (it == s.dos_names.end() || it->second.empty()) return false;
  if (target != nullptr) *target = it->second.back();
  return true;
}

void fail_next_define_dos_device(uint32_t error) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.define_dos_device_error = error;
}

std::vector<DefineDosDeviceCall> define_dos_device_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.define_log;
}

std::vector<CreateFileCall> create_file_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.create_log;
}

size_t open_file_handles() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  size_t n = 0;
  for (const auto& entry : s.handles) n += entry.second.kind == detail::HandleKind::File;
  return n;
}

std::vector<IoCall> io_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.io_log;
}

void clear_io_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.io_log.clear();
  ++s.io_log_generation;
}

size_t pending_io_count() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  size_t n = 0;
  for (const auto& entry : s.handles)
    if (entry.second.kind == detail::HandleKind::File)
      n += static_cast<detail::FileObject*>(entry.second.object.get())->pending.size();
  return n;
}

}  // namespace win32sim

using win32sim::detail::FileObject;
using win32sim::detail::fold;
using win32sim::detail::HandleKind;
using win32sim::detail::IoRequest;
using win32sim::detail::machine;
using win32sim::detail::set_last_error;
using win32sim::detail::State;

extern "C" BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName,
                                        LPCWSTR lpTargetPath) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::DefineDosDevice, ERROR_ACCESS_DENIED)) {
    set_last_error(injected);
    return FALSE;
  }
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::u16string name = lpDeviceName != nullptr ? lpDeviceName : u"";
  s.define_log.push_back({dwFlags, name, lpTargetPath != nullptr ? lpTargetPath : u""});
  if (s.define_dos_device_error != 0) {
    set_last_error(s.define_dos_device_error);
    s.define_dos_device_error = 0;
    return FALSE;
  }
  constexpr DWORD known = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE |
                          DDD_NO_BROADCAST_SYSTEM;
  if (lpDeviceName == nullptr || name.empty() || name.find(u'\\') != std::u16string::npos ||
      (dwFlags & ~known) != 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((dwFlags & DDD_REMOVE_DEFINITION) != 0) {
    auto it = s.dos_names.find(fold(name));
    if (it == s.dos_names.end() || it->second.empty()) {
      set_last_error(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    auto& targets = it->second;
    if (lpTargetPath == nullptr) {
      targets.pop_back();  // the most recent definition
    } else {
      const std::u16string wanted = fold(lpTargetPath);
      const bool exact = (dwFlags & DDD_EXACT_MATCH_ON_REMOVE) != 0;
      auto match = std::find_if(targets.rbegin(), targets.rend(), [&](const std::u16string& t) {
        const std::u16string f = fold(t);
        return exact ? f == wanted : f.compare(0, wanted.size(), wanted) == 0;
      });
      if (match == targets.rend()) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return FALSE;
      }
      targets.erase(std::next(match).base());
    }
    if (targets.empty()) s.dos_names.erase(it);
    return TRUE;
  }
  // Only raw NT targets can be defined here.
  if ((dwFlags & DDD_RAW_TARGET_PATH) == 0 || (dwFlags & DDD_EXACT_MATCH_ON_REMOVE) != 0 ||
      lpTargetPath == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  s.dos_names[fold(name)].push_back(lpTargetPath);
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::CreateFile, ERROR_ACCESS_DENIED)) {
    set_last_error(injected);
    return INVALID_HANDLE_VALUE;
  }
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  const std::u16string path = lpFileName != nullptr ? lpFileName : u"";
  s.create_log.push_back(
      {path, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes});
  if (lpFileName == nullptr) {
    set_last_error(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition != OPEN_EXISTING) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!win32sim::detail::starts_with_device_prefix(path)) {
    set_last_error(ERROR_PATH_NOT_FOUND);  // only device files exist on this machine
    return INVALID_HANDLE_VALUE;
  }
  auto name = s.dos_names.find(fold(path.substr(4)));
  if (name == s.dos_names.end() || name->second.empty()) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto device_it = s.devices.find(fold(name->second.back()));
  if (device_it == s.devices.end()) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<win32sim::Device> device = device_it->second;
  lock.unlock();
  const uint32_t refused = device->open_error();
  lock.lock();
  if (refused != 0) {
    set_last_error(refused);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  file->device = std::move(device);
  file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  const uintptr_t h = s.new_handle();
  s.handles[h] = {HandleKind::File, file};
  return reinterpret_cast<HANDLE>(h);
}
WIN32SIM_NOTHROW_RETURN(INVALID_HANDLE_VALUE)

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) try {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.close_handle_fault.hit()) {
    set_last_error(s.close_handle_fault.error);
    return FALSE;
  }
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(hObject));
  if (it == s.handles.end()) {
    ++s.misuse.bad_closes;
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  win32sim::detail::HandleEntry entry = std::move(it->second);
  s.handles.erase(it);
  if (entry.kind != HandleKind::File) return TRUE;
  // Requests still pending are cancelled as by CancelIoEx(h, NULL).
  auto* file = static_cast<FileObject*>(entry.object.get());
  auto cancelled = win32sim::detail::mark_cancelled_locked(s, *file, nullptr, true, 0, true);
  std::shared_ptr<win32sim::Device> device = file->device;
  lock.unlock();
  win32sim::detail::cancel_on_device(device, cancelled);
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) try {
  win32sim::detail::count_kernel_call();
  return win32sim::detail::issue({win32sim::IoCall::Ioctl, hDevice, dwIoControlCode, lpInBuffer,
                                  nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned,
                                  lpOverlapped});
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) try {
  win32sim::detail::count_kernel_call();
  return win32sim::detail::issue({win32sim::IoCall::Write, hFile, 0, lpBuffer,
                                  nNumberOfBytesToWrite, nullptr, 0, lpNumberOfBytesWritten,
                                  lpOverlapped});
}
WIN32SIM_NOTHROW_RETURN(FALSE)

// As Windows does: one wait on the event (or, without one, on the file handle) while the
// request is pending, then the OVERLAPPED is reported as it stands. A wait woken by something
// else than this request's completion reports success with the request still pending.
extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) try {
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::GetOverlappedResult, ERROR_GEN_FAILURE)) {
    set_last_error(injected);
    return FALSE;
  }
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (lpOverlapped == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpOverlapped->Internal == STATUS_PENDING) {
    if (!bWait) {
      set_last_error(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    // Only a wait enters the kernel; the status of a finished request is read in place.
    win32sim::detail::count_kernel_call();
    std::shared_ptr<win32sim::detail::Waitable> waitable;
    const HANDLE object = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(object) & ~uintptr_t(1));
    if (it != s.handles.end()) waitable = it->second.object;
    if (!waitable) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    win32sim::detail::wait_locked(s, lock, *waitable, INFINITE);
  }
  if (lpNumberOfBytesTransferred != nullptr)
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  const ULONG_PTR status = lpOverlapped->Internal;
  if (status == 0 || status == STATUS_PENDING) return TRUE;
  set_last_error((status & 0xFFFF0000u) == 0xC0070000u ? DWORD(status & 0xFFFFu)
                                                       : DWORD(ERROR_GEN_FAILURE));
  return FALSE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

namespace {

BOOL cancel_requests(HANDLE hFile, const OVERLAPPED* ov, bool any_ov, bool own_thread_only,
                     bool fail_when_none) {
  State& s = machine();
  std::unique_lock<std::mutex> lock(s.mutex);
  std::shared_ptr<FileObject> file = win32sim::detail::file_locked(s, hFile);
  if (!file) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto cancelled = win32sim::detail::mark_cancelled_locked(
      s, *file, ov, any_ov, win32sim::detail::current_thread_id(), !own_thread_only);
  std::shared_ptr<win32sim::Device> device = file->device;
  lock.unlock();
  win32sim::detail::cancel_on_device(device, cancelled);
  if (cancelled.empty() && fail_when_none) {
    set_last_error(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::CancelIoEx, ERROR_NOT_FOUND)) {
    set_last_error(injected);
    return FALSE;
  }
  return cancel_requests(hFile, lpOverlapped, lpOverlapped == nullptr, false, true);
}
WIN32SIM_NOTHROW_RETURN(FALSE)

// As on Windows, CancelIo succeeds when the thread has nothing outstanding on the handle.
extern "C" BOOL WINAPI CancelIo(HANDLE hFile) try {
  win32sim::detail::count_kernel_call();
  return cancel_requests(hFile, nullptr, true, true, false);
}
WIN32SIM_NOTHROW_RETURN(FALSE)
