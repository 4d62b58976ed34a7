// Every function the i686 talven.dll and its statically linked runtime import, implemented on
// the host with the Windows semantics the library relies on. The registry, the service control
// manager, DefineDosDevice's DOS names and wsprintfW's formatting are the Win32 subset's own
// (called with the guest's arguments); handles, events, threads, waits, device I/O and the heaps
// are the emulated process's (process.cpp, kernel.cpp, heap.cpp), which follow the subset's
// written-down semantics in guest memory and virtual time.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "i686_emulator/process.h"
#include "win32sim/machine.h"
#include "win32sim/text.h"
#include "windows.h"

namespace emu {
namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kStatusPending = 0x103;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kWaitTimeout = 0x102;

// ---- Guest memory helpers ----
std::u16string wide_arg(Call& c, uint32_t address) {
  std::u16string s;
  if (address != 0 && !c.p.cpu().read_wide(address, &s))
    c.p.violation(std::string(c.def.name) + ": string argument at an invalid address");
  return s;
}

std::string narrow_arg(Call& c, uint32_t address) {
  std::string s;
  if (address != 0 && !c.p.cpu().read_narrow(address, &s))
    c.p.violation(std::string(c.def.name) + ": string argument at an invalid address");
  return s;
}

// A guest output pointer the host writes: null allowed, else it must be mapped memory.
bool put32(Call& c, uint32_t address, uint32_t value) {
  if (address == 0) return true;
  if (!c.p.cpu().write32(address, value)) {
    c.p.violation(std::string(c.def.name) + ": output pointer at an invalid address");
    return false;
  }
  c.p.heap().check_access(address, 4, true, c.p.cpu().read32(c.p.cpu().esp()));
  return true;
}

uint32_t return_address(Call& c) {
  return c.p.cpu().read32(c.p.cpu().esp());
}

// Bytes the host reads or writes for the guest go through the same heap checks as the guest's
// own accesses.
uint8_t* guest_bytes(Call& c, uint32_t address, uint32_t size, bool write) {
  if (size == 0) return nullptr;
  uint8_t* p = c.p.cpu().host(address, size);
  if (p == nullptr) {
    char at[16];
    std::snprintf(at, sizeof at, "0x%08X", address);
    c.p.violation(std::string(c.def.name) + ": " + std::to_string(size) + " bytes at " + at +
                  " are not mapped");
    return nullptr;
  }
  c.p.heap().check_access(address, size, write, return_address(c));
  return p;
}

bool inject(Call& c, uint32_t* error) {
  return c.p.injected(c.def.name, error);
}

// The subset's functions report errors through their own GetLastError.
Result subset_error(Call& c, uint32_t value) {
  if (value == 0) c.set_error(::GetLastError());
  return c.value(value);
}

// Guest HKEY and SC_HANDLE values are the subset's (small handle numbers, HKEY_LOCAL_MACHINE
// sign-extended from its 32-bit value).
HKEY host_key(uint32_t key) {
  return reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(key)));
}
template <class H>
uint32_t guest_value(H handle) {
  return uint32_t(reinterpret_cast<uintptr_t>(handle));
}
template <class H>
H host_handle(uint32_t value) {
  return reinterpret_cast<H>(uintptr_t(value));
}

// ---- advapi32: the subset's service control manager and registry ----
Result OpenSCManagerW_(Call& c) {
  const std::u16string machine = wide_arg(c, c.arg(0)), db = wide_arg(c, c.arg(1));
  SC_HANDLE h = ::OpenSCManagerW(c.arg(0) ? machine.c_str() : nullptr,
                                 c.arg(1) ? db.c_str() : nullptr, c.arg(2));
  return subset_error(c, guest_value(h));
}
Result OpenServiceW_(Call& c) {
  const std::u16string name = wide_arg(c, c.arg(1));
  SC_HANDLE h =
      ::OpenServiceW(host_handle<SC_HANDLE>(c.arg(0)), c.arg(1) ? name.c_str() : nullptr, c.arg(2));
  return subset_error(c, guest_value(h));
}
Result StartServiceW_(Call& c) {
  std::vector<std::u16string> texts;
  std::vector<LPCWSTR> argv;
  for (uint32_t i = 0; c.arg(2) != 0 && i < c.arg(1); ++i)
    texts.push_back(wide_arg(c, c.p.cpu().read32(c.arg(2) + 4 * i)));
  for (const auto& t : texts) argv.push_back(t.c_str());
  const BOOL ok =
      ::StartServiceW(host_handle<SC_HANDLE>(c.arg(0)), c.arg(1), c.arg(2) ? argv.data() : nullptr);
  return subset_error(c, uint32_t(ok));
}
Result CloseServiceHandle_(Call& c) {
  return subset_error(c, uint32_t(::CloseServiceHandle(host_handle<SC_HANDLE>(c.arg(0)))));
}
Result RegOpenKeyExW_(Call& c) {
  const std::u16string sub = wide_arg(c, c.arg(1));
  HKEY result = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(host_key(c.arg(0)), c.arg(1) ? sub.c_str() : nullptr,
                                         c.arg(2), c.arg(3), c.arg(4) ? &result : nullptr);
  put32(c, c.arg(4), guest_value(result));
  return c.value(uint32_t(status));
}
Result RegQueryValueExW_(Call& c) {
  const std::u16string name = wide_arg(c, c.arg(1));
  if (c.arg(2) != 0) return c.value(ERROR_INVALID_PARAMETER);
  DWORD type = 0, size = c.arg(5) ? c.p.cpu().read32(c.arg(5)) : 0;
  uint8_t* data = c.arg(4) && c.arg(5) ? guest_bytes(c, c.arg(4), size, true) : nullptr;
  if (c.arg(4) != 0 && size != 0 && data == nullptr) return c.value(998);  // ERROR_NOACCESS
  const LSTATUS status =
      ::RegQueryValueExW(host_key(c.arg(0)), c.arg(1) ? name.c_str() : nullptr, nullptr,
                         c.arg(3) ? &type : nullptr, data, c.arg(5) ? &size : nullptr);
  put32(c, c.arg(3), type);
  put32(c, c.arg(5), size);
  return c.value(uint32_t(status));
}
Result RegCloseKey_(Call& c) {
  return c.value(uint32_t(::RegCloseKey(host_key(c.arg(0)))));
}

// ---- kernel32: errors, threads, time ----
Result GetLastError_(Call& c) {
  return c.value(c.error());
}
Result SetLastError_(Call& c) {
  c.set_error(c.arg(0));
  return c.value(0);
}
Result GetCurrentThreadId_(Call& c) {
  return c.value(c.t.id);
}
Result GetTickCount_(Call& c) {
  // Starts a few seconds before the 32-bit wrap, so that elapsed-time arithmetic crosses it.
  return c.value(uint32_t(0xFFFFE000u + c.p.now_us() / 1000));
}
Result Sleep_(Call& c) {
  if (c.resumed()) return c.value(0);
  return c.block(nullptr, c.arg(0));
}

Result CreateThread_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
  if (c.arg(2) == 0) return c.fail(ERROR_INVALID_PARAMETER);
  Thread& t = c.p.create_thread(c.arg(2), c.arg(3), (c.arg(4) & CREATE_SUSPENDED) != 0);
  put32(c, c.arg(5), t.id);
  return c.value(c.p.add_handle(t.object));
}
Result ResumeThread_(Call& c) {
  auto object = c.p.object_as<ThreadObject>(c.arg(0));
  Thread* t = object ? c.p.thread_by_id(object->id) : nullptr;
  if (t == nullptr) return c.fail(ERROR_INVALID_HANDLE, 0xFFFFFFFFu);
  const uint32_t previous = t->suspend_count;
  if (t->suspend_count > 0 && --t->suspend_count == 0 && t->state == Thread::Suspended)
    t->state = Thread::Runnable;
  return c.value(previous);
}
Result GetExitCodeThread_(Call& c) {
  auto object = c.p.object_as<ThreadObject>(c.arg(0));
  if (!object) return c.fail(ERROR_INVALID_HANDLE);
  put32(c, c.arg(1), object->exit_code);
  return c.value(1);
}

// ---- kernel32: handles, events, semaphores, waits ----
Result CloseHandle_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_INVALID_HANDLE);
  if (!c.p.close_handle(c.arg(0))) {
    c.p.violation("CloseHandle of " + std::to_string(c.arg(0)) + ", not an open handle");
    return c.fail(ERROR_INVALID_HANDLE);
  }
  return c.value(1);
}
Result CreateEventW_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
  if (c.arg(3) != 0) c.p.violation("CreateEventW with a name: the library's events are unnamed");
  auto e = std::make_shared<Event>();
  e->manual = c.arg(1) != 0;
  e->set = c.arg(2) != 0;
  return c.value(c.p.add_handle(e));
}
Result SetEvent_(Call& c) {
  auto e = c.p.object_as<Event>(c.arg(0));
  if (!e) return c.fail(ERROR_INVALID_HANDLE);
  e->set = true;
  return c.value(1);
}
Result ResetEvent_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_INVALID_HANDLE);
  auto e = c.p.object_as<Event>(c.arg(0));
  if (!e) return c.fail(ERROR_INVALID_HANDLE);
  e->set = false;
  return c.value(1);
}
Result CreateSemaphoreW_(Call& c) {
  const int32_t initial = int32_t(c.arg(1)), maximum = int32_t(c.arg(2));
  if (maximum <= 0 || initial < 0 || initial > maximum) return c.fail(ERROR_INVALID_PARAMETER);
  auto s = std::make_shared<Semaphore>();
  s->count = initial;
  s->maximum = maximum;
  return c.value(c.p.add_handle(s));
}
Result ReleaseSemaphore_(Call& c) {
  auto s = c.p.object_as<Semaphore>(c.arg(0));
  if (!s) return c.fail(ERROR_INVALID_HANDLE);
  const int32_t n = int32_t(c.arg(1));
  if (n <= 0 || s->count + n > s->maximum) return c.fail(298);  // ERROR_TOO_MANY_POSTS
  put32(c, c.arg(2), uint32_t(s->count));
  s->count += n;
  return c.value(1);
}
Result WaitForSingleObject_(Call& c) {
  if (c.resumed()) return c.value(c.wake());
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_INVALID_HANDLE, kWaitFailed);
  auto w = c.p.object_as<Waitable>(c.arg(0));
  if (!w) return c.fail(ERROR_INVALID_HANDLE, kWaitFailed);
  if (w->signaled(c.t)) {
    w->acquire(c.t);
    return c.value(0);
  }
  if (c.arg(1) == 0) return c.value(kWaitTimeout);
  return c.block(w, c.arg(1));
}

// ---- kernel32: critical sections, by the guest address of their record ----
std::shared_ptr<CriticalSection> section(Call& c) {
  auto it = c.p.critical_sections.find(c.arg(0));
  if (it != c.p.critical_sections.end()) return it->second;
  c.p.violation(std::string(c.def.name) + " of a critical section never initialised");
  return nullptr;
}
Result InitializeCriticalSection_(Call& c) {
  c.p.critical_sections[c.arg(0)] = std::make_shared<CriticalSection>();
  return c.value(0);
}
Result DeleteCriticalSection_(Call& c) {
  if (section(c)) c.p.critical_sections.erase(c.arg(0));
  return c.value(0);
}
Result EnterCriticalSection_(Call& c) {
  if (c.resumed()) return c.value(0);  // acquired when the wait ended
  auto cs = section(c);
  if (!cs) return c.value(0);
  if (cs->signaled(c.t)) {
    cs->acquire(c.t);
    return c.value(0);
  }
  return c.block(cs, kInfinite);
}
Result LeaveCriticalSection_(Call& c) {
  auto cs = section(c);
  if (!cs) return c.value(0);
  if (cs->owner != &c.t || cs->recursion == 0) {
    c.p.violation("LeaveCriticalSection by a thread that does not own it");
    return c.value(0);
  }
  if (--cs->recursion == 0) cs->owner = nullptr;
  return c.value(0);
}

// ---- kernel32: thread-local storage (slots in the TEB, as on Windows) ----
constexpr uint32_t kTlsSlots = 0xE10, kTlsSlotCount = 64;
Result TlsAlloc_(Call& c) {
  for (uint32_t i = 1; i < kTlsSlotCount; ++i) {
    if (c.p.tls_slots.count(i) != 0) continue;
    c.p.tls_slots.insert(i);
    return c.value(i);
  }
  return c.fail(ERROR_NOT_ENOUGH_MEMORY, 0xFFFFFFFFu);
}
Result TlsFree_(Call& c) {
  if (c.p.tls_slots.erase(c.arg(0)) == 0) return c.fail(ERROR_INVALID_PARAMETER);
  return c.value(1);
}
Result TlsGetValue_(Call& c) {
  if (c.arg(0) >= kTlsSlotCount) return c.fail(ERROR_INVALID_PARAMETER);
  c.set_error(0);
  return c.value(c.p.cpu().read32(c.t.teb + kTlsSlots + 4 * c.arg(0)));
}
Result TlsSetValue_(Call& c) {
  if (c.arg(0) >= kTlsSlotCount) return c.fail(ERROR_INVALID_PARAMETER);
  c.p.cpu().write32(c.t.teb + kTlsSlots + 4 * c.arg(0), c.arg(1));
  return c.value(1);
}

// ---- kernel32: the module ----
bool is_this_module(const std::string& name) {
  std::string lower;
  for (char ch : name) lower.push_back(char(std::tolower(static_cast<unsigned char>(ch))));
  return lower == "talven.dll" || lower == "talven";
}
Result GetModuleHandleA_(Call& c) {
  const std::string name = narrow_arg(c, c.arg(0));
  if (c.arg(0) != 0 && is_this_module(name)) return c.value(c.p.base());
  return c.fail(ERROR_MOD_NOT_FOUND);  // the runtime asks for helper DLLs that are not there
}
Result GetModuleHandleW_(Call& c) {
  std::string name;
  for (char16_t ch : wide_arg(c, c.arg(0))) name.push_back(ch < 0x80 ? char(ch) : '?');
  if (c.arg(0) != 0 && is_this_module(name)) return c.value(c.p.base());
  return c.fail(ERROR_MOD_NOT_FOUND);
}
Result GetModuleHandleExW_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) {
    put32(c, c.arg(2), 0);
    return c.fail(error != 0 ? error : ERROR_MOD_NOT_FOUND);
  }
  const uint32_t flags = c.arg(0);
  bool found = false;
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    found = c.p.in_image(c.arg(1));
  } else {
    std::string name;
    for (char16_t ch : wide_arg(c, c.arg(1))) name.push_back(ch < 0x80 ? char(ch) : '?');
    found = c.p.loaded() && is_this_module(name);
  }
  if (!found) {
    put32(c, c.arg(2), 0);
    return c.fail(ERROR_MOD_NOT_FOUND);
  }
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) c.p.add_module_reference();
  put32(c, c.arg(2), c.p.base());
  return c.value(1);
}
Result FreeLibrary_(Call& c) {
  if (!c.p.loaded() || c.arg(0) != c.p.base()) return c.fail(ERROR_INVALID_HANDLE);
  return c.host(
      [&p = c.p](Thread& t) { p.release_module(t, [&p, &t] { p.finish_import(t, 1); }); });
}
Result FreeLibraryAndExitThread_(Call& c) {
  if (!c.p.loaded() || c.arg(0) != c.p.base()) {
    c.p.violation("FreeLibraryAndExitThread with a handle that is not the module's");
    return c.exit_thread(c.arg(1), false);
  }
  return c.exit_thread(c.arg(1), true);
}
Result GetProcAddress_(Call& c) {
  // The runtime looks for frame-registration helpers of a shared libgcc: none here.
  c.p.note_lookup("GetProcAddress(" + narrow_arg(c, c.arg(1)) + ")");
  return c.fail(127);  // ERROR_PROC_NOT_FOUND
}
Result LoadLibraryA_(Call& c) {
  c.p.note_lookup("LoadLibraryA(" + narrow_arg(c, c.arg(0)) + ")");
  return c.fail(ERROR_MOD_NOT_FOUND);
}

// ---- kernel32: memory protection (the runtime's pseudo-relocations) ----
uint32_t page_protection(uint32_t uc_prot) {
  const bool r = uc_prot & UC_PROT_READ, w = uc_prot & UC_PROT_WRITE, x = uc_prot & UC_PROT_EXEC;
  if (x) return w ? 0x40 : r ? 0x20 : 0x10;
  return w ? 0x04 : r ? 0x02 : 0x01;
}
uint32_t uc_protection(uint32_t page) {
  switch (page & 0xFF) {
    case 0x02:
      return UC_PROT_READ;
    case 0x04:
    case 0x08:
      return UC_PROT_READ | UC_PROT_WRITE;
    case 0x10:
      return UC_PROT_EXEC;
    case 0x20:
      return UC_PROT_READ | UC_PROT_EXEC;
    case 0x40:
    case 0x80:
      return UC_PROT_ALL;
    default:
      return UC_PROT_NONE;
  }
}
bool region_protection(Process& p, uint32_t address, uint32_t* prot, uint32_t* start,
                       uint32_t* end) {
  uc_mem_region* regions = nullptr;
  uint32_t count = 0;
  if (uc_mem_regions(p.cpu().uc(), &regions, &count) != UC_ERR_OK) return false;
  bool found = false;
  for (uint32_t i = 0; i < count; ++i) {
    if (address >= regions[i].begin && address <= regions[i].end) {
      *prot = regions[i].perms;
      *start = uint32_t(regions[i].begin);
      *end = uint32_t(regions[i].end);
      found = true;
    }
  }
  uc_free(regions);
  return found;
}
Result VirtualQuery_(Call& c) {
  uint32_t prot = 0, start = 0, end = 0;
  if (c.arg(2) < 28 || !region_protection(c.p, c.arg(0), &prot, &start, &end))
    return c.fail(ERROR_INVALID_PARAMETER);
  const uint32_t page = c.arg(0) & ~0xFFFu;
  const uint32_t info[7] = {page,
                            c.p.in_image(page) ? c.p.base() : start,
                            page_protection(prot),
                            end + 1 - page,
                            0x1000,
                            page_protection(prot),
                            c.p.in_image(page) ? 0x1000000u : 0x20000u};
  if (!c.p.cpu().write(c.arg(1), info, sizeof info)) return c.fail(998);
  return c.value(28);
}
Result VirtualProtect_(Call& c) {
  uint32_t prot = 0, start = 0, end = 0;
  if (!region_protection(c.p, c.arg(0), &prot, &start, &end)) return c.fail(487);
  put32(c, c.arg(3), page_protection(prot));
  if (!c.p.cpu().protect(c.arg(0), c.arg(1), int(uc_protection(c.arg(2)))))
    return c.fail(487);  // ERROR_INVALID_ADDRESS
  return c.value(1);
}

// ---- kernel32: the global heap ----
Result GlobalAlloc_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
  const uint32_t h = c.p.heap().global_alloc(c.arg(0), c.arg(1));
  if (h == 0) return c.fail(ERROR_NOT_ENOUGH_MEMORY);
  return c.value(h);
}
Result GlobalLock_(Call& c) {
  const uint32_t p = c.p.heap().global_lock(c.arg(0));
  if (p == 0) return c.fail(ERROR_INVALID_HANDLE);
  return c.value(p);
}
Result GlobalUnlock_(Call& c) {
  bool still = false;
  uint32_t error = 0;
  const bool result = c.p.heap().global_unlock(c.arg(0), &still, &error);
  c.set_error(error);
  return c.value(result ? 1 : 0);
}
Result GlobalHandle_(Call& c) {
  const uint32_t h = c.p.heap().global_handle(c.arg(0));
  if (h == 0) return c.fail(ERROR_INVALID_HANDLE);
  return c.value(h);
}
Result GlobalFree_(Call& c) {
  if (c.arg(0) == 0) return c.value(0);
  const uint32_t r = c.p.heap().global_free(c.arg(0));
  if (r != 0) c.set_error(ERROR_INVALID_HANDLE);
  return c.value(r);
}
Result GlobalSize_(Call& c) {
  return c.value(c.p.heap().global_size(c.arg(0)));
}

// ---- kernel32: device files and their I/O ----
Result DefineDosDeviceW_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_ACCESS_DENIED);
  const std::u16string name = wide_arg(c, c.arg(1)), target = wide_arg(c, c.arg(2));
  const BOOL ok = ::DefineDosDeviceW(c.arg(0), c.arg(1) ? name.c_str() : nullptr,
                                     c.arg(2) ? target.c_str() : nullptr);
  return subset_error(c, uint32_t(ok));
}
Result CreateFileW_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_ACCESS_DENIED, 0xFFFFFFFFu);
  const std::u16string path = wide_arg(c, c.arg(0));
  c.p.create_file_log.push_back({path, c.arg(1), c.arg(2), c.arg(4), c.arg(5)});
  if (c.arg(0) == 0) return c.fail(ERROR_PATH_NOT_FOUND, 0xFFFFFFFFu);
  if (c.arg(4) != OPEN_EXISTING) return c.fail(ERROR_INVALID_PARAMETER, 0xFFFFFFFFu);
  if (path.compare(0, 4, u"\\\\.\\") != 0) return c.fail(ERROR_PATH_NOT_FOUND, 0xFFFFFFFFu);
  std::u16string target;
  if (!win32sim::dos_name_target(path.substr(4), &target))
    return c.fail(ERROR_FILE_NOT_FOUND, 0xFFFFFFFFu);
  for (char16_t& ch : target)
    if (ch >= u'a' && ch <= u'z') ch = char16_t(ch - u'a' + u'A');
  auto device = c.p.devices.find(target);
  if (device == c.p.devices.end()) return c.fail(ERROR_FILE_NOT_FOUND, 0xFFFFFFFFu);
  auto file = std::make_shared<File>();
  file->device = device->second;
  file->overlapped = (c.arg(5) & FILE_FLAG_OVERLAPPED) != 0;
  return c.value(c.p.add_handle(file));
}

// DeviceIoControl and WriteFile: a request the device pends returns ERROR_IO_PENDING on an
// overlapped handle with an OVERLAPPED; without one the call waits for the file handle (and
// returns with the request still pending if another completion signalled it); on a handle
// without FILE_FLAG_OVERLAPPED it waits for the request.
Result finish_request(Call& c, uint32_t bytes_out) {
  std::shared_ptr<Io> io = std::move(c.t.io_in_flight);
  if (!io->done) {
    io->caller_gone = true;
    put32(c, bytes_out, 0);
    return c.value(1);
  }
  put32(c, bytes_out, io->bytes);
  if (io->error != 0) return c.fail(io->error);
  return c.value(1);
}
Result request(Call& c, bool write) {
  const uint32_t bytes_out = write ? c.arg(3) : c.arg(6);
  const uint32_t overlapped = write ? c.arg(4) : c.arg(7);
  if (c.resumed()) return finish_request(c, bytes_out);
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_GEN_FAILURE);
  if (overlapped == 0 && bytes_out == 0) return c.fail(ERROR_INVALID_PARAMETER);
  // The host reads and writes the buffers for the device: they get the heap checks too.
  if (write) {
    guest_bytes(c, c.arg(1), c.arg(2), false);
  } else {
    guest_bytes(c, c.arg(2), c.arg(3), false);
    guest_bytes(c, c.arg(4), c.arg(5), true);
  }
  if (overlapped != 0) guest_bytes(c, overlapped, 20, true);
  const Process::IoResult r =
      write ? c.p.issue(c.t, c.arg(0), true, 0, c.arg(1), c.arg(2), 0, 0, overlapped)
            : c.p.issue(c.t, c.arg(0), false, c.arg(1), c.arg(2), c.arg(3), c.arg(4), c.arg(5),
                        overlapped);
  if (!r.pending) {
    if (r.io) put32(c, bytes_out, r.io->bytes);
    if (!r.ok) return c.fail(r.error);
    return c.value(1);
  }
  if (r.error == ERROR_IO_PENDING) return c.fail(ERROR_IO_PENDING);
  auto file = c.p.object_as<File>(c.arg(0));
  c.t.io_in_flight = r.io;
  if (file->overlapped) return c.block(file, kInfinite);
  r.io->done_signal = std::make_shared<Event>();
  r.io->done_signal->manual = true;
  return c.block(r.io->done_signal, kInfinite);
}
Result DeviceIoControl_(Call& c) {
  return request(c, false);
}
Result WriteFile_(Call& c) {
  return request(c, true);
}

// As Windows does: one wait on the event (or, without one, on the file handle) while the
// request is pending, then the OVERLAPPED is reported as it stands.
Result GetOverlappedResult_(Call& c) {
  const uint32_t ov = c.arg(1);
  if (!c.resumed()) {
    uint32_t error = 0;
    if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_GEN_FAILURE);
    if (ov == 0 || guest_bytes(c, ov, 20, false) == nullptr) return c.fail(ERROR_INVALID_PARAMETER);
    if (c.p.cpu().read32(ov) == kStatusPending) {
      if (c.arg(3) == 0) return c.fail(ERROR_IO_INCOMPLETE);
      const uint32_t event = c.p.cpu().read32(ov + 16) & ~1u;
      auto w = c.p.object_as<Waitable>(event != 0 ? event : c.arg(0));
      if (!w) return c.fail(ERROR_INVALID_HANDLE);
      return c.block(w, kInfinite);
    }
  }
  put32(c, c.arg(2), c.p.cpu().read32(ov + 4));
  const uint32_t status = c.p.cpu().read32(ov);
  if (status == 0 || status == kStatusPending) return c.value(1);
  return c.fail((status & 0xFFFF0000u) == 0xC0070000u ? status & 0xFFFFu : ERROR_GEN_FAILURE);
}
Result CancelIoEx_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.fail(error != 0 ? error : ERROR_NOT_FOUND);
  auto file = c.p.object_as<File>(c.arg(0));
  if (!file) return c.fail(ERROR_INVALID_HANDLE);
  if (c.p.cancel(*file, c.arg(1), c.arg(1) == 0) == 0) return c.fail(ERROR_NOT_FOUND);
  return c.value(1);
}
Result CancelIo_(Call& c) {
  auto file = c.p.object_as<File>(c.arg(0));
  if (!file) return c.fail(ERROR_INVALID_HANDLE);
  c.p.cancel(*file, 0, true);
  return c.value(1);
}

// ---- kernel32 and user32: text ----
Result OutputDebugStringW_(Call& c) {
  if (c.arg(0) == 0) return c.value(0);
  std::u16string text = wide_arg(c, c.arg(0));
  if (const char* echo = std::getenv("TALVEN_DEBUG_ECHO"); echo != nullptr && *echo != 0)
    std::fprintf(stderr, "%s", win32sim::utf8(text).c_str());
  c.p.debug_strings.push_back(std::move(text));
  return c.value(0);
}
Result MessageBoxW_(Call& c) {
  c.p.message_boxes.push_back({wide_arg(c, c.arg(1)), wide_arg(c, c.arg(2)), c.arg(3)});
  return c.value(IDOK);
}

// wsprintfW's arguments from the guest's stack: one 32-bit slot each.
class GuestArguments : public win32sim::FormatArguments {
 public:
  GuestArguments(Call& c, int first) : c_(c), next_(first) {}
  uint32_t word() override { return c_.arg(next_++); }
  bool text(bool narrow, std::u16string* out) override {
    const uint32_t address = c_.arg(next_++);
    if (address == 0) return false;
    if (narrow) {
      *out = win32sim::u16(narrow_arg(c_, address));
    } else {
      *out = wide_arg(c_, address);
    }
    return true;
  }

 private:
  Call& c_;
  int next_;
};
Result wsprintfW_(Call& c) {
  if (c.arg(0) == 0 || c.arg(1) == 0) return c.value(0);
  const std::u16string format = wide_arg(c, c.arg(1));
  GuestArguments args(c, 2);
  std::u16string text = win32sim::format_wide(format.c_str(), args);
  text.push_back(0);
  uint8_t* out = guest_bytes(c, c.arg(0), uint32_t(2 * text.size()), true);
  if (out == nullptr) return c.value(0);
  std::memcpy(out, text.data(), 2 * text.size());
  return c.value(uint32_t(text.size() - 1));
}

// Code pages: the runtime converts only ASCII here.
Result IsDBCSLeadByteEx_(Call& c) {
  return c.value(0);
}
Result MultiByteToWideChar_(Call& c) {
  const int32_t count = int32_t(c.arg(3));
  std::string text;
  if (count < 0) {
    text = narrow_arg(c, c.arg(2));
    text.push_back(0);
  } else {
    text.resize(size_t(count));
    if (count > 0 && !c.p.cpu().read(c.arg(2), text.data(), uint32_t(count)))
      return c.fail(ERROR_INVALID_PARAMETER);
  }
  if (c.arg(5) == 0) return c.value(uint32_t(text.size()));
  if (c.arg(5) < text.size()) return c.fail(ERROR_INSUFFICIENT_BUFFER);
  for (size_t i = 0; i < text.size(); ++i) {
    const uint16_t ch = static_cast<unsigned char>(text[i]);
    c.p.cpu().write(c.arg(4) + uint32_t(2 * i), &ch, 2);
  }
  return c.value(uint32_t(text.size()));
}
Result WideCharToMultiByte_(Call& c) {
  const int32_t count = int32_t(c.arg(3));
  std::u16string text;
  if (count < 0) {
    text = wide_arg(c, c.arg(2));
    text.push_back(0);
  } else {
    for (int32_t i = 0; i < count; ++i) {
      uint16_t ch = 0;
      c.p.cpu().read(c.arg(2) + uint32_t(2 * i), &ch, 2);
      text.push_back(char16_t(ch));
    }
  }
  if (c.arg(5) == 0) return c.value(uint32_t(text.size()));
  if (c.arg(5) < text.size()) return c.fail(ERROR_INSUFFICIENT_BUFFER);
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i] < 0x80 ? char(text[i]) : '?';
    c.p.cpu().write(c.arg(4) + uint32_t(i), &ch, 1);
  }
  return c.value(uint32_t(text.size()));
}

// ---- msvcrt (cdecl: the caller removes the arguments) ----
Result malloc_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.value(0);
  return c.value(c.p.heap().allocate(Heap::Crt, c.arg(0), false));
}
Result calloc_(Call& c) {
  uint32_t error = 0;
  if (inject(c, &error)) return c.value(0);
  const uint64_t size = uint64_t(c.arg(0)) * c.arg(1);
  if (size > 0x7FFFFFFF) return c.value(0);
  return c.value(c.p.heap().allocate(Heap::Crt, uint32_t(size), true));
}
Result free_(Call& c) {
  if (c.arg(0) != 0) c.p.heap().release(Heap::Crt, c.arg(0));
  return c.value(0);
}
Result realloc_(Call& c) {
  const uint32_t old = c.arg(0), size = c.arg(1);
  if (old == 0) return c.value(c.p.heap().allocate(Heap::Crt, size, false));
  const Heap::Block* b = c.p.heap().block_at(old);
  if (b == nullptr || b->kind != Heap::Crt) {
    c.p.heap().release(Heap::Crt, old);  // reports it
    return c.value(0);
  }
  if (size == 0) {
    c.p.heap().release(Heap::Crt, old);
    return c.value(0);
  }
  const uint32_t keep = std::min(b->size, size);
  const uint32_t fresh = c.p.heap().allocate(Heap::Crt, size, false);
  if (fresh == 0) return c.value(0);
  c.p.cpu().write(fresh, c.p.cpu().host(old, keep), keep);
  c.p.heap().release(Heap::Crt, old);
  return c.value(fresh);
}
Result memcpy_(Call& c) {
  const uint32_t n = c.arg(2);
  uint8_t* to = guest_bytes(c, c.arg(0), n, true);
  const uint8_t* from = guest_bytes(c, c.arg(1), n, false);
  if (n > 0 && to != nullptr && from != nullptr) std::memmove(to, from, n);
  return c.value(c.arg(0));
}
Result memset_(Call& c) {
  const uint32_t n = c.arg(2);
  uint8_t* to = guest_bytes(c, c.arg(0), n, true);
  if (n > 0 && to != nullptr) std::memset(to, int(c.arg(1) & 0xFF), n);
  return c.value(c.arg(0));
}
Result strlen_(Call& c) {
  return c.value(uint32_t(narrow_arg(c, c.arg(0)).size()));
}
Result wcslen_(Call& c) {
  return c.value(uint32_t(wide_arg(c, c.arg(0)).size()));
}
Result strcmp_(Call& c) {
  return c.value(
      uint32_t(std::strcmp(narrow_arg(c, c.arg(0)).c_str(), narrow_arg(c, c.arg(1)).c_str())));
}
Result strncmp_(Call& c) {
  return c.value(uint32_t(
      std::strncmp(narrow_arg(c, c.arg(0)).c_str(), narrow_arg(c, c.arg(1)).c_str(), c.arg(2))));
}
Result strchr_(Call& c) {
  const std::string s = narrow_arg(c, c.arg(0));
  const char ch = char(c.arg(1) & 0xFF);
  if (ch == 0) return c.value(c.arg(0) + uint32_t(s.size()));
  const size_t at = s.find(ch);
  return c.value(at == std::string::npos ? 0 : c.arg(0) + uint32_t(at));
}
Result atoi_(Call& c) {
  return c.value(uint32_t(std::atoi(narrow_arg(c, c.arg(0)).c_str())));
}
Result errno_(Call& c) {
  auto it = c.p.errno_cells.find(c.t.id);
  if (it == c.p.errno_cells.end())
    it = c.p.errno_cells.emplace(c.t.id, c.p.runtime_data("errno " + std::to_string(c.t.id))).first;
  return c.value(it->second);
}
// Calls every non-null function pointer of [begin, end), in order: the runtime's constructors.
Result initterm_(Call& c) {
  std::vector<Process::Step> steps;
  for (uint32_t at = c.arg(0); at < c.arg(1); at += 4) {
    const uint32_t fn = c.p.cpu().read32(at);
    if (fn != 0) steps.push_back({"initialiser " + std::to_string(fn), fn, {}});
  }
  if (steps.empty()) return c.value(0);
  return c.host([&p = c.p, steps](Thread& t) {
    p.run_steps(
        t, steps, [&p, &t](uint32_t) { p.finish_import(t, 0); }, false);
  });
}
// The runtime's numbered locks, as critical sections of their own.
Result lock_(Call& c) {
  const uint32_t key = 0xC0000000u | (c.arg(0) & 0xFFFF);
  auto& cs = c.p.critical_sections[key];
  if (!cs) cs = std::make_shared<CriticalSection>();
  if (c.resumed()) return c.value(0);
  if (cs->signaled(c.t)) {
    cs->acquire(c.t);
    return c.value(0);
  }
  return c.block(cs, kInfinite);
}
Result unlock_(Call& c) {
  const uint32_t key = 0xC0000000u | (c.arg(0) & 0xFFFF);
  auto it = c.p.critical_sections.find(key);
  if (it == c.p.critical_sections.end() || it->second->owner != &c.t) {
    c.p.violation("_unlock of a runtime lock this thread does not hold");
    return c.value(0);
  }
  if (--it->second->recursion == 0) it->second->owner = nullptr;
  return c.value(0);
}
Result setlocale_(Call& c) {
  const uint32_t text = c.p.runtime_data("locale name");
  c.p.cpu().write(text, "C", 2);
  return c.value(text);
}
Result localeconv_(Call& c) {
  const uint32_t conv = c.p.runtime_data("lconv");
  const uint32_t strings = c.p.runtime_data("lconv strings");
  c.p.cpu().write(strings, ".\0\0", 3);
  // decimal_point, thousands_sep, grouping, then the monetary strings: all but the first "".
  c.p.cpu().write32(conv, strings);
  for (uint32_t i = 1; i < 10; ++i) c.p.cpu().write32(conv + 4 * i, strings + 2);
  return c.value(conv);
}
Result strerror_(Call& c) {
  const uint32_t text = c.p.runtime_data("strerror");
  c.p.cpu().write(text, "error", 6);
  return c.value(text);
}
// Output of the C runtime happens only on its fatal paths (terminate handlers, assertions).
Result runtime_print(Call& c, const std::string& text) {
  c.p.runtime_output.push_back(text);
  c.p.violation("the C runtime printed: " + text);
  return c.value(uint32_t(text.size()));
}
Result fputc_(Call& c) {
  return runtime_print(c, std::string(1, char(c.arg(0))));
}
Result fputs_(Call& c) {
  return runtime_print(c, narrow_arg(c, c.arg(0)));
}
Result fwrite_(Call& c) {
  std::string text(size_t(c.arg(1)) * c.arg(2), '\0');
  c.p.cpu().read(c.arg(0), text.data(), uint32_t(text.size()));
  runtime_print(c, text);
  return c.value(c.arg(2));
}
Result vfprintf_(Call& c) {
  return runtime_print(c, narrow_arg(c, c.arg(1)));
}
Result abort_(Call& c) {
  c.p.fatal("the C runtime called abort()");
  return c.block(nullptr, kInfinite);
}
Result amsg_exit_(Call& c) {
  c.p.fatal("the C runtime called _amsg_exit(" + std::to_string(c.arg(0)) + ")");
  return c.block(nullptr, kInfinite);
}
uint32_t mb_cur_max_data(Process& p) {
  const uint32_t at = p.runtime_data("__mb_cur_max");
  p.cpu().write32(at, 1);
  return at;
}
uint32_t iob_data(Process& p) {
  return p.runtime_data("_iob");  // three zeroed 32-byte FILE records
}

}  // namespace

const std::vector<ImportDef>& import_table() {
  static const std::vector<ImportDef> table = {
      // advapi32
      {"ADVAPI32.dll", "CloseServiceHandle", 1, CloseServiceHandle_},
      {"ADVAPI32.dll", "OpenSCManagerW", 3, OpenSCManagerW_},
      {"ADVAPI32.dll", "OpenServiceW", 3, OpenServiceW_},
      {"ADVAPI32.dll", "RegCloseKey", 1, RegCloseKey_},
      {"ADVAPI32.dll", "RegOpenKeyExW", 5, RegOpenKeyExW_},
      {"ADVAPI32.dll", "RegQueryValueExW", 6, RegQueryValueExW_},
      {"ADVAPI32.dll", "StartServiceW", 3, StartServiceW_},
      // kernel32
      {"KERNEL32.dll", "CancelIo", 1, CancelIo_},
      {"KERNEL32.dll", "CancelIoEx", 2, CancelIoEx_},
      {"KERNEL32.dll", "CloseHandle", 1, CloseHandle_},
      {"KERNEL32.dll", "CreateEventW", 4, CreateEventW_},
      {"KERNEL32.dll", "CreateFileW", 7, CreateFileW_},
      {"KERNEL32.dll", "CreateSemaphoreW", 4, CreateSemaphoreW_},
      {"KERNEL32.dll", "CreateThread", 6, CreateThread_},
      {"KERNEL32.dll", "DefineDosDeviceW", 3, DefineDosDeviceW_},
      {"KERNEL32.dll", "DeleteCriticalSection", 1, DeleteCriticalSection_},
      {"KERNEL32.dll", "DeviceIoControl", 8, DeviceIoControl_},
      {"KERNEL32.dll", "EnterCriticalSection", 1, EnterCriticalSection_},
      {"KERNEL32.dll", "FreeLibrary", 1, FreeLibrary_},
      {"KERNEL32.dll", "FreeLibraryAndExitThread", 2, FreeLibraryAndExitThread_},
      {"KERNEL32.dll", "GetCurrentThreadId", 0, GetCurrentThreadId_},
      {"KERNEL32.dll", "GetExitCodeThread", 2, GetExitCodeThread_},
      {"KERNEL32.dll", "GetLastError", 0, GetLastError_},
      {"KERNEL32.dll", "GetModuleHandleA", 1, GetModuleHandleA_},
      {"KERNEL32.dll", "GetModuleHandleExW", 3, GetModuleHandleExW_},
      {"KERNEL32.dll", "GetModuleHandleW", 1, GetModuleHandleW_},
      {"KERNEL32.dll", "GetOverlappedResult", 4, GetOverlappedResult_},
      {"KERNEL32.dll", "GetProcAddress", 2, GetProcAddress_},
      {"KERNEL32.dll", "GetTickCount", 0, GetTickCount_},
      {"KERNEL32.dll", "GlobalAlloc", 2, GlobalAlloc_},
      {"KERNEL32.dll", "GlobalFree", 1, GlobalFree_},
      {"KERNEL32.dll", "GlobalHandle", 1, GlobalHandle_},
      {"KERNEL32.dll", "GlobalLock", 1, GlobalLock_},
      {"KERNEL32.dll", "GlobalSize", 1, GlobalSize_},
      {"KERNEL32.dll", "GlobalUnlock", 1, GlobalUnlock_},
      {"KERNEL32.dll", "InitializeCriticalSection", 1, InitializeCriticalSection_},
      {"KERNEL32.dll", "IsDBCSLeadByteEx", 2, IsDBCSLeadByteEx_},
      {"KERNEL32.dll", "LeaveCriticalSection", 1, LeaveCriticalSection_},
      {"KERNEL32.dll", "LoadLibraryA", 1, LoadLibraryA_},
      {"KERNEL32.dll", "MultiByteToWideChar", 6, MultiByteToWideChar_},
      {"KERNEL32.dll", "OutputDebugStringW", 1, OutputDebugStringW_},
      {"KERNEL32.dll", "ReleaseSemaphore", 3, ReleaseSemaphore_},
      {"KERNEL32.dll", "ResetEvent", 1, ResetEvent_},
      {"KERNEL32.dll", "ResumeThread", 1, ResumeThread_},
      {"KERNEL32.dll", "SetEvent", 1, SetEvent_},
      {"KERNEL32.dll", "SetLastError", 1, SetLastError_},
      {"KERNEL32.dll", "Sleep", 1, Sleep_},
      {"KERNEL32.dll", "TlsAlloc", 0, TlsAlloc_},
      {"KERNEL32.dll", "TlsFree", 1, TlsFree_},
      {"KERNEL32.dll", "TlsGetValue", 1, TlsGetValue_},
      {"KERNEL32.dll", "TlsSetValue", 2, TlsSetValue_},
      {"KERNEL32.dll", "VirtualProtect", 4, VirtualProtect_},
      {"KERNEL32.dll", "VirtualQuery", 3, VirtualQuery_},
      {"KERNEL32.dll", "WaitForSingleObject", 2, WaitForSingleObject_},
      {"KERNEL32.dll", "WideCharToMultiByte", 8, WideCharToMultiByte_},
      {"KERNEL32.dll", "WriteFile", 5, WriteFile_},
      // user32
      {"USER32.dll", "MessageBoxW", 4, MessageBoxW_},
      {"USER32.dll", "wsprintfW", -1, wsprintfW_},
      // msvcrt
      {"msvcrt.dll", "__mb_cur_max", -1, nullptr, mb_cur_max_data},
      {"msvcrt.dll", "_amsg_exit", -1, amsg_exit_},
      {"msvcrt.dll", "_errno", -1, errno_},
      {"msvcrt.dll", "_initterm", -1, initterm_},
      {"msvcrt.dll", "_iob", -1, nullptr, iob_data},
      {"msvcrt.dll", "_lock", -1, lock_},
      {"msvcrt.dll", "_unlock", -1, unlock_},
      {"msvcrt.dll", "abort", -1, abort_},
      {"msvcrt.dll", "atoi", -1, atoi_},
      {"msvcrt.dll", "calloc", -1, calloc_},
      {"msvcrt.dll", "fputc", -1, fputc_},
      {"msvcrt.dll", "fputs", -1, fputs_},
      {"msvcrt.dll", "free", -1, free_},
      {"msvcrt.dll", "fwrite", -1, fwrite_},
      {"msvcrt.dll", "localeconv", -1, localeconv_},
      {"msvcrt.dll", "malloc", -1, malloc_},
      {"msvcrt.dll", "memcpy", -1, memcpy_},
      {"msvcrt.dll", "memset", -1, memset_},
      {"msvcrt.dll", "realloc", -1, realloc_},
      {"msvcrt.dll", "setlocale", -1, setlocale_},
      {"msvcrt.dll", "strchr", -1, strchr_},
      {"msvcrt.dll", "strcmp", -1, strcmp_},
      {"msvcrt.dll", "strerror", -1, strerror_},
      {"msvcrt.dll", "strlen", -1, strlen_},
      {"msvcrt.dll", "strncmp", -1, strncmp_},
      {"msvcrt.dll", "vfprintf", -1, vfprintf_},
      {"msvcrt.dll", "wcslen", -1, wcslen_},
  };
  return table;
}

}  // namespace emu
