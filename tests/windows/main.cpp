// talven_wintests.exe: the Windows conformance program and its helpers.
//   talven_wintests install <driver file name>   create (or point) the services NORVAKS and
//                                                TALVENNOSYS (whose .sys does not exist)
//   talven_wintests stop <service>               stop a running service
//   talven_wintests link                         define the adapter's DOS name
//   talven_wintests conformance                  all checks; ends with "SUMMARY: ..."
//   talven_wintests timing                       library calls against raw requests
//   talven_wintests adapter-reset|adapter-eeprom FILE|adapter-state|adapter-hold|
//                   adapter-wait-held|adapter-release
//                                                the virtual adapter for the talvenctl run
//                                                (station.cpp)
//   talven_wintests control                      the control device: security, malformed
//                                                requests; restarts the driver
#include <cstdio>
#include <cstring>

#include "tests/windows/cases.h"

namespace wintest {

std::string compare_strings(const std::vector<std::wstring>& got,
                            const std::vector<std::wstring>& want) {
  for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
    if (i < got.size() && i < want.size() && got[i] == want[i]) continue;
    return "string " + std::to_string(i) + " is \"" +
           (i < got.size() ? narrow(got[i]) : std::string("(none)")) + "\", want \"" +
           (i < want.size() ? narrow(want[i]) : std::string("(none)")) + "\" (" +
           std::to_string(got.size()) + " strings, want " + std::to_string(want.size()) + ")";
  }
  return "";
}

namespace {
// The case running now, for the report of a crash.
std::string g_case = "(before the first case)";

LONG WINAPI report_crash(EXCEPTION_POINTERS* e) {
  check(false, "no crash",
        "exception " + hex(e->ExceptionRecord->ExceptionCode) + " at " +
            hex(reinterpret_cast<uintptr_t>(e->ExceptionRecord->ExceptionAddress)) + " in case \"" +
            g_case + "\"");
  std::printf("SUMMARY: %d passed, %d failed (crashed)\n", passes(), failures());
  std::fflush(stdout);
  ExitProcess(4);
}
}  // namespace

void run_case(Env& env, const std::string& name, const std::function<void()>& body) {
  g_case = name;
  release_quarantine();
  // The events the library keeps for its requests are not leaks: a case may add one for each
  // request it has in flight beside others, which the next cases reuse.
  const long before = handle_count() - request_events();
  long after = before;
  const long balance = heap_balance();
  body();
  env.control.wait_idle(3000);
  for (int i = 0; i < 40; ++i) {
    after = handle_count() - request_events();
    if (after == before && heap_balance() == balance) break;
    Sleep(25);
  }
  const QuarantineReport q = release_quarantine();
  std::string why;
  if (before <= 0) why += "no handle count; ";
  if (after != before)
    why += "handles " + std::to_string(before) + " -> " + std::to_string(after) + "; ";
  if (request_events() > 4) why += std::to_string(request_events()) + " request events kept; ";
  if (heap_balance() != balance)
    why += "GlobalAlloc - GlobalFree " + std::to_string(heap_balance() - balance) + "; ";
  if (q.overwritten != 0)
    why += std::to_string(q.overwritten) + " freed record(s) written after their free; ";
  if (q.freed_pending != 0)
    why += std::to_string(q.freed_pending) + " OVERLAPPED freed while pending; ";
  check(why.empty(), name + ": nothing leaked, no freed record written", why);
}

std::vector<uint8_t> test_frame() {
  std::vector<uint8_t> f(1400, 0);
  const uint8_t head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x5B, 0xA7, 0x4D, 0x10,
                          0x01, 0x01, 0x23, 0x39, 0x81, 0xEC, 0x10, 0x01, 0x78, 0x05, 0x01};
  std::memcpy(f.data(), head, sizeof head);
  return f;
}

}  // namespace wintest

namespace {

using namespace wintest;

int install(const wchar_t* driver_file) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    std::printf("install: OpenSCManager failed with %lu\n", GetLastError());
    return 1;
  }
  struct Service {
    const wchar_t* name;
    std::wstring path;
  } services[] = {
      {L"NORVAKS", std::wstring(L"\\SystemRoot\\system32\\drivers\\") + driver_file},
      {L"TALVENNOSYS", L"\\SystemRoot\\system32\\drivers\\talven_not_installed.sys"},
  };
  int status = 0;
  for (const Service& s : services) {
    SC_HANDLE service = CreateServiceW(
        scm, s.name, s.name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, s.path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
      service = OpenServiceW(scm, s.name, SERVICE_ALL_ACCESS);
      if (service != nullptr &&
          !ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                SERVICE_ERROR_NORMAL, s.path.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr)) {
        std::printf("install: ChangeServiceConfig(%ls) failed with %lu\n", s.name, GetLastError());
        status = 1;
      }
    }
    if (service == nullptr) {
      std::printf("install: service %ls: error %lu\n", s.name, GetLastError());
      status = 1;
      continue;
    }
    std::printf("install: service %ls -> %ls\n", s.name, s.path.c_str());
    CloseServiceHandle(service);
  }
  CloseServiceHandle(scm);
  return status;
}

int stop(const wchar_t* name) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = scm ? OpenServiceW(scm, name, SERVICE_ALL_ACCESS) : nullptr;
  int status = 1;
  if (service != nullptr) {
    SERVICE_STATUS s{};
    if (QueryServiceStatus(service, &s) && s.dwCurrentState == SERVICE_STOPPED) {
      status = 0;
    } else if (ControlService(service, SERVICE_CONTROL_STOP, &s) ||
               GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
      for (int i = 0;
           i < 100 && QueryServiceStatus(service, &s) && s.dwCurrentState != SERVICE_STOPPED; ++i)
        Sleep(50);
      status = s.dwCurrentState == SERVICE_STOPPED ? 0 : 1;
    }
    std::printf("stop %ls: %s (%lu)\n", name, status == 0 ? "stopped" : "failed", GetLastError());
    CloseServiceHandle(service);
  }
  if (scm) CloseServiceHandle(scm);
  return status;
}

int conformance() {
  SetUnhandledExceptionFilter(&report_crash);
  std::string error;
  if (!check(load_library(&error),
             "LoadLibrary(talven.dll), imports replaced, 83 operations resolved by both names",
             error))
    return 2;
  Env env;
  // The control device exists once the driver runs: the first check starts its service.
  run_service_start_check(env);
  if (!check(env.control.open(), "virtual adapter control device opens",
             "CreateFile error " + std::to_string(env.control.last_error()))) {
    std::printf("SUMMARY: %d passed, %d failed\n", passes(), failures());
    return 1;
  }
  run_service_checks(env);
  run_open_checks(env);
  if (env.adapter != nullptr) {
    run_operation_checks(env);
    run_io_checks(env);
    run_unload_check(env);
  }
  env.control.close();
  for (NameSet set : {NameSet::Decorated, NameSet::Alias}) {
    use_names(set);
    const std::string missing = never_called(set);
    check(missing.empty(), std::string("all 83 operations called as ") + name_set_label(),
          "never called:" + missing);
  }
  std::printf("SUMMARY: %d passed, %d failed\n", passes(), failures());
  return failures() == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"install" && argc > 2) return install(argv[2]);
  if (mode == L"stop" && argc > 2) return stop(argv[2]);
  if (mode == L"link") {
    remove_dos_name(kDosName);
    const bool ok = define_dos_name(kDosName, kAdapterPath);
    std::printf("link %ls -> %ls: %s\n", kDosName, kAdapterPath, ok ? "ok" : "failed");
    return ok ? 0 : 1;
  }
  if (mode == L"conformance") return conformance();
  if (mode.rfind(L"adapter-", 0) == 0)
    return run_station_helper(mode, argc > 2 ? argv[2] : nullptr);
  if (mode == L"control") return run_control_checks();
  if (mode == L"timing") {
    std::string error;
    if (!load_library(&error)) {
      std::printf("FAIL: timing: %s\n", error.c_str());
      return 2;
    }
    Env env;
    call<ULONG>("StartPacketDriver", L"NORVAKS", ULONG(0));  // when run on its own
    if (!env.control.open()) {
      std::printf("FAIL: timing: control device does not open\n");
      return 1;
    }
    return run_timing(env);
  }
  std::printf(
      "usage: talven_wintests install <file>|stop <service>|link|conformance|control|timing\n");
  return 2;
}
