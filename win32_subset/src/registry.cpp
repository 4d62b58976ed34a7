// The registry below HKEY_LOCAL_MACHINE and the service control manager.
#include <cstring>

#include "state.h"

namespace win32sim {
namespace detail {
namespace {

constexpr DWORD ERROR_KEY_DELETED_ = 1018;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST_ = 1065;

std::vector<std::u16string> split_path(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) parts.push_back(fold(path.substr(start, end - start)));
    start = end + 1;
  }
  return parts;
}

std::shared_ptr<RegKey> find_key_locked(const std::shared_ptr<RegKey>& from,
                                        const std::u16string& path) {
  std::shared_ptr<RegKey> key = from;
  for (const std::u16string& part : split_path(path)) {
    auto it = key->children.find(part);
    if (it == key->children.end()) return nullptr;
    key = it->second;
  }
  return key;
}

std::shared_ptr<RegKey> create_key_locked(State& s, const std::u16string& path) {
  std::shared_ptr<RegKey> key = s.hklm;
  for (const std::u16string& part : split_path(path)) {
    auto& child = key->children[part];
    if (!child) child = std::make_shared<RegKey>();
    key = child;
  }
  return key;
}

void mark_deleted(RegKey& key) {
  key.deleted = true;
  for (auto& child : key.children) mark_deleted(*child.second);
}

bool is_hklm(HKEY key) {
  return key == HKEY_LOCAL_MACHINE;
}

std::shared_ptr<RegKey> key_for_handle_locked(State& s, HKEY key) {
  if (is_hklm(key)) return s.hklm;
  auto it = s.reg_handles.find(reinterpret_cast<uintptr_t>(key));
  return it == s.reg_handles.end() ? nullptr : it->second;
}

ScEntry* sc_entry_locked(State& s, SC_HANDLE h) {
  auto it = s.sc_handles.find(reinterpret_cast<uintptr_t>(h));
  return it == s.sc_handles.end() ? nullptr : &it->second;
}

}  // namespace

void reset_registry_locked(State& s) {
  mark_deleted(*s.hklm);
  s.hklm = std::make_shared<RegKey>();
  s.reg_handles.clear();
  s.reg_handle_names.clear();
  s.reg_log.clear();
  s.reg_close_log.clear();
  s.services.clear();
  s.sc_handles.clear();
  s.open_scm_error = 0;
  s.scm_log.clear();
  s.open_service_log.clear();
  s.start_service_log.clear();
  s.sc_close_log.clear();
}

}  // namespace detail

using detail::fold;
using detail::machine;
using detail::State;

void reg_create_key(const std::u16string& path) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  detail::create_key_locked(s, path);
}

void reg_set_value(const std::u16string& key_path, const std::u16string& name, uint32_t type,
                   const std::vector<uint8_t>& bytes) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  detail::create_key_locked(s, key_path)->values[fold(name)] = {type, bytes};
}

void reg_delete_key(const std::u16string& path) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto parts = detail::split_path(path);
  if (parts.empty()) return;  // HKLM itself stays
  const std::u16string last = parts.back();
  parts.pop_back();
  std::shared_ptr<detail::RegKey> parent = s.hklm;
  for (const auto& part : parts) {
    auto it = parent->children.find(part);
    if (it == parent->children.end()) return;
    parent = it->second;
  }
  auto it = parent->children.find(last);
  if (it == parent->children.end()) return;
  detail::mark_deleted(*it->second);
  parent->children.erase(it);
}

void reg_deny_key(const std::u16string& path, uint32_t error) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  detail::create_key_locked(s, path)->deny_error = error;
}

std::vector<RegOpenCall> reg_open_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.reg_log;
}

std::vector<std::u16string> reg_close_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.reg_close_log;
}

size_t open_reg_keys() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.reg_handles.size();
}

void add_service(const std::u16string& name, ServiceConfig config) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.services[fold(name)].config = std::move(config);
}

bool service_running(const std::u16string& name) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.services.find(fold(name));
  return it != s.services.end() && it->second.config.running;
}

void set_service_start_error(const std::u16string& name, uint32_t error) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.services.find(fold(name));
  if (it != s.services.end()) it->second.config.start_error = error;
}

void fail_open_sc_manager(uint32_t error) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.open_scm_error = error;
}

std::vector<OpenSCManagerCall> open_sc_manager_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.scm_log;
}

std::vector<OpenServiceCall> open_service_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.open_service_log;
}

std::vector<StartServiceCall> start_service_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.start_service_log;
}

std::vector<std::u16string> close_service_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sc_close_log;
}

size_t open_sc_handles() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sc_handles.size();
}

}  // namespace win32sim

using win32sim::detail::fold;
using win32sim::detail::machine;
using win32sim::detail::set_last_error;
using win32sim::detail::State;

// ---- Registry (results are returned, the last error is left alone) ----

extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                        REGSAM samDesired, PHKEY phkResult) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::RegOpenKey, ERROR_ACCESS_DENIED))
    return static_cast<LSTATUS>(injected);
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::u16string sub = lpSubKey != nullptr ? lpSubKey : u"";
  s.reg_log.push_back({sub, ulOptions, samDesired, win32sim::detail::is_hklm(hKey)});
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  auto parent = win32sim::detail::key_for_handle_locked(s, hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  auto key = win32sim::detail::find_key_locked(parent, sub);
  if (!key) return ERROR_FILE_NOT_FOUND;
  if (key->deny_error != 0) return static_cast<LSTATUS>(key->deny_error);
  const uintptr_t h = s.new_handle();
  s.reg_handles[h] = key;
  s.reg_handle_names[h] = sub;
  *phkResult = reinterpret_cast<HKEY>(h);
  return ERROR_SUCCESS;
}
WIN32SIM_NOTHROW_RETURN(ERROR_NOT_ENOUGH_MEMORY)

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::RegQueryValue, ERROR_ACCESS_DENIED))
    return static_cast<LSTATUS>(injected);
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto key = win32sim::detail::key_for_handle_locked(s, hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  if (key->deleted) return static_cast<LSTATUS>(win32sim::detail::ERROR_KEY_DELETED_);
  auto it = key->values.find(fold(lpValueName));
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  const win32sim::detail::RegValue& value = it->second;
  const DWORD size = static_cast<DWORD>(value.bytes.size());
  if (lpType != nullptr) *lpType = value.type;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(lpData, value.bytes.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}
WIN32SIM_NOTHROW_RETURN(ERROR_NOT_ENOUGH_MEMORY)

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (win32sim::detail::is_hklm(hKey)) return ERROR_SUCCESS;  // predefined keys stay open
  const auto h = reinterpret_cast<uintptr_t>(hKey);
  if (s.reg_handles.erase(h) == 0) {
    ++s.misuse.bad_closes;
    return ERROR_INVALID_HANDLE;
  }
  s.reg_close_log.push_back(s.reg_handle_names[h]);
  s.reg_handle_names.erase(h);
  return ERROR_SUCCESS;
}

// ---- Service control manager ----

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                           DWORD dwDesiredAccess) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::OpenSCManager, ERROR_ACCESS_DENIED)) {
    set_last_error(injected);
    return nullptr;
  }
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.scm_log.push_back({lpMachineName == nullptr, lpDatabaseName == nullptr,
                       lpMachineName != nullptr ? lpMachineName : u"",
                       lpDatabaseName != nullptr ? lpDatabaseName : u"", dwDesiredAccess});
  if (s.open_scm_error != 0) {
    set_last_error(s.open_scm_error);
    return nullptr;
  }
  if (lpDatabaseName != nullptr && fold(lpDatabaseName) != u"SERVICESACTIVE") {
    set_last_error(win32sim::detail::ERROR_DATABASE_DOES_NOT_EXIST_);
    return nullptr;
  }
  const uintptr_t h = s.new_handle();
  s.sc_handles[h] = {true, u"", u""};
  return reinterpret_cast<SC_HANDLE>(h);
}
WIN32SIM_NOTHROW_RETURN(nullptr)

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                         DWORD dwDesiredAccess) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected =
          win32sim::detail::injected_error(win32sim::Api::OpenService, ERROR_ACCESS_DENIED)) {
    set_last_error(injected);
    return nullptr;
  }
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.open_service_log.push_back({lpServiceName != nullptr ? lpServiceName : u"", dwDesiredAccess});
  const win32sim::detail::ScEntry* manager = win32sim::detail::sc_entry_locked(s, hSCManager);
  if (manager == nullptr || !manager->manager) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (lpServiceName == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::u16string name = fold(lpServiceName);
  if (s.services.count(name) == 0) {
    set_last_error(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  const uintptr_t h = s.new_handle();
  s.sc_handles[h] = {false, name, lpServiceName};
  return reinterpret_cast<SC_HANDLE>(h);
}
WIN32SIM_NOTHROW_RETURN(nullptr)

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                                     LPCWSTR* lpServiceArgVectors) try {
  win32sim::detail::count_kernel_call();
  if (const DWORD injected = win32sim::detail::injected_error(win32sim::Api::StartService,
                                                              ERROR_SERVICE_REQUEST_TIMEOUT)) {
    set_last_error(injected);
    return FALSE;
  }
  State& s = machine();
  std::function<void()> on_start;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const win32sim::detail::ScEntry* entry = win32sim::detail::sc_entry_locked(s, hService);
    if (entry == nullptr || entry->manager) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    s.start_service_log.push_back(
        {entry->service, dwNumServiceArgs, lpServiceArgVectors == nullptr});
    auto it = s.services.find(entry->service);
    if (it == s.services.end()) {  // removed by a reset since it was opened
      set_last_error(ERROR_SERVICE_DOES_NOT_EXIST);
      return FALSE;
    }
    win32sim::ServiceConfig& config = it->second.config;
    if (config.running) {
      set_last_error(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    if (config.start_error != 0) {
      set_last_error(config.start_error);
      return FALSE;
    }
    config.running = true;
    on_start = config.on_start;
  }
  if (on_start) on_start();  // outside the lock: it builds on the machine
  return TRUE;
}
WIN32SIM_NOTHROW_RETURN(FALSE)

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  win32sim::detail::count_kernel_call();
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.sc_handles.find(reinterpret_cast<uintptr_t>(hSCObject));
  if (it == s.sc_handles.end()) {
    ++s.misuse.bad_closes;
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  s.sc_close_log.push_back(it->second.opened_as);
  s.sc_handles.erase(it);
  return TRUE;
}
