// The virtual adapter's control device against a caller that is not the harness: who may open
// it, what lies below it, and every control code at every size from 0 to its record's size + 16,
// then values out of range. The driver must answer each as its sizes and values say, still serve
// afterwards, and end everything when it unloads (LeftAtUnload 0).
#include <cstring>

#include "tests/windows/cases.h"

namespace wintest {

namespace {

namespace cp = talven::vadapter;

constexpr DWORD kInvalidParameter = ERROR_INVALID_PARAMETER;  // STATUS_INVALID_PARAMETER
constexpr DWORD kBufferTooSmall = ERROR_INSUFFICIENT_BUFFER;  // STATUS_BUFFER_TOO_SMALL
constexpr DWORD kTableFull = ERROR_NO_SYSTEM_RESOURCES;       // STATUS_INSUFFICIENT_RESOURCES

bool under_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// One call straight to the control device; its error (0 for success).
DWORD call_control(HANDLE control, uint32_t code, const void* in, DWORD in_size, void* out,
                   DWORD out_size) {
  DWORD returned = 0;
  return DeviceIoControl(control, code, const_cast<void*>(in), in_size, out, out_size, &returned,
                         nullptr)
             ? 0
             : GetLastError();
}

// A control code, its input and output record sizes, and an input that is valid in every value.
struct Code {
  const char* name;
  uint32_t code;
  DWORD in, out;
  std::vector<uint8_t> valid;
};

template <class Record>
std::vector<uint8_t> bytes_of(const Record& r) {
  std::vector<uint8_t> b(sizeof r);
  std::memcpy(b.data(), &r, sizeof r);
  return b;
}

std::vector<Code> codes() {
  const cp::FaultRecord fault{0xFF0111CAu, cp::kFailRequest, 0, 0, 0, 0};  // hits no request
  const cp::CompletionRecord now{cp::kOidRequests, cp::kNow, 0, 0, -1};
  const cp::RegisterRecord reg{cp::kMacRegisters, 0x50, 7};
  cp::EepromRecord eeprom{};
  eeprom.type = 2;
  cp::FrameRecord frame{};
  frame.size = 60;
  return {
      {"CTL_RESET", cp::CTL_RESET, sizeof(cp::ResetConfig), 0,
       bytes_of(cp::ResetConfig{2, 0, 1, 3})},
      {"CTL_ADD_FAULT", cp::CTL_ADD_FAULT, sizeof fault, 0, bytes_of(fault)},
      {"CTL_CLEAR_FAULTS", cp::CTL_CLEAR_FAULTS, 0, 0, {}},
      {"CTL_SET_COMPLETION", cp::CTL_SET_COMPLETION, sizeof now, 0, bytes_of(now)},
      {"CTL_RELEASE_HELD", cp::CTL_RELEASE_HELD, sizeof(cp::ReleaseRecord), sizeof(uint32_t),
       bytes_of(cp::ReleaseRecord{0, 0})},
      {"CTL_GET_STATE", cp::CTL_GET_STATE, 0, sizeof(cp::StateRecord), {}},
      {"CTL_READ_REQUESTS", cp::CTL_READ_REQUESTS, sizeof(uint32_t), sizeof(cp::RequestPage),
       bytes_of(uint32_t(0))},
      {"CTL_CLEAR_REQUESTS", cp::CTL_CLEAR_REQUESTS, 0, 0, {}},
      {"CTL_READ_FRAMES", cp::CTL_READ_FRAMES, 0, sizeof(cp::FramePage), {}},
      {"CTL_READ_EEPROM", cp::CTL_READ_EEPROM, 0, sizeof(cp::EepromRecord), {}},
      {"CTL_WRITE_EEPROM", cp::CTL_WRITE_EEPROM, sizeof eeprom, 0, bytes_of(eeprom)},
      {"CTL_SET_QUERY_WORD", cp::CTL_SET_QUERY_WORD, sizeof(cp::WordRecord), 0,
       bytes_of(cp::WordRecord{0xFF0111CAu, 3})},
      {"CTL_QUEUE_RX_FRAME", cp::CTL_QUEUE_RX_FRAME, sizeof frame, 0, bytes_of(frame)},
      {"CTL_SET_REGISTER", cp::CTL_SET_REGISTER, sizeof reg, 0, bytes_of(reg)},
      {"CTL_GET_REGISTER", cp::CTL_GET_REGISTER, sizeof reg, sizeof reg, bytes_of(reg)},
      {"CTL_SET_ADDRESSES", cp::CTL_SET_ADDRESSES, sizeof(cp::AddressRecord), 0,
       bytes_of(cp::AddressRecord{})},
  };
}

// Every input size 0 .. in + 16 with room for the output, then every output size 0 .. out + 16
// with the valid input: the exact input and enough output room succeed (or find a model table
// full), a wrong input size is refused with 87, too little output room with 122.
void sweep_sizes(HANDLE control, const Code& c) {
  std::vector<uint8_t> in(c.in + 16, 0), out(c.out + 16, 0);
  std::memcpy(in.data(), c.valid.data(), c.valid.size());
  std::string why;
  int calls = 0;
  auto expect = [&](DWORD in_size, DWORD out_size, DWORD got) {
    ++calls;
    const DWORD want = in_size != c.in ? kInvalidParameter : out_size < c.out ? kBufferTooSmall : 0;
    if (got == want || (want == 0 && got == kTableFull)) return;
    if (why.size() < 200)
      why += "in " + std::to_string(in_size) + " out " + std::to_string(out_size) + ": error " +
             std::to_string(got) + ", want " + std::to_string(want) + "; ";
  };
  for (DWORD n = 0; n <= c.in + 16; ++n) {
    std::vector<uint8_t> input = in;  // the output overwrites the buffer it shares with the input
    const DWORD out_size = c.out + 16;
    expect(n, out_size,
           call_control(control, c.code, n ? input.data() : nullptr, n, out.data(), out_size));
  }
  for (DWORD n = 0; n <= c.out + 16; ++n) {
    std::vector<uint8_t> input = in;
    expect(c.in, n,
           call_control(control, c.code, c.in ? input.data() : nullptr, c.in,
                        n ? out.data() : nullptr, n));
  }
  check(why.empty(),
        std::string(c.name) + ": every input size 0 to " + std::to_string(c.in + 16) +
            " and output size 0 to " + std::to_string(c.out + 16) + " answered by its sizes (" +
            std::to_string(calls) + " calls)",
        why);
}

// Values out of range in a record of the right size: each refused with 87.
void sweep_values(HANDLE control) {
  struct Bad {
    const char* what;
    uint32_t code;
    std::vector<uint8_t> record;
    DWORD out;
  };
  auto fault = [](uint32_t oid, uint32_t mode, uint32_t match, int32_t remaining) {
    return bytes_of(cp::FaultRecord{oid, mode, match, 0, remaining, 0});
  };
  auto completion = [](uint32_t target, uint32_t kind, uint32_t error, uint32_t delay,
                       int32_t count) {
    return bytes_of(cp::CompletionRecord{target, kind, error, delay, count});
  };
  cp::EepromRecord eeprom{};
  eeprom.type = 3;
  cp::FrameRecord frame{};
  frame.size = cp::kFrameCapacity + 1;
  const std::vector<Bad> bad = {
      {"an EEPROM type of 0", cp::CTL_RESET, bytes_of(cp::ResetConfig{0, 0, 1, 3}), 0},
      {"an EEPROM type of 3", cp::CTL_RESET, bytes_of(cp::ResetConfig{3, 0, 1, 3}), 0},
      {"1000001 busy polls", cp::CTL_RESET, bytes_of(cp::ResetConfig{2, 0, 1000001, 3}), 0},
      {"fault mode 5", cp::CTL_ADD_FAULT, fault(0xFF0111CAu, 5, 0, -1), 0},
      {"fault mode 0xFFFFFFFF", cp::CTL_ADD_FAULT, fault(0xFF0111CAu, 0xFFFFFFFFu, 0, -1), 0},
      {"an address match of 2", cp::CTL_ADD_FAULT, fault(0xFF0111CAu, 0, 2, -1), 0},
      {"a fault count of -2", cp::CTL_ADD_FAULT, fault(0xFF0111CAu, 0, 0, -2), 0},
      {"a fault on an unknown OID", cp::CTL_ADD_FAULT, fault(0x12345678u, 0, 0, -1), 0},
      {"completion target 4", cp::CTL_SET_COMPLETION, completion(4, 0, 0, 0, -1), 0},
      {"completion kind 5", cp::CTL_SET_COMPLETION, completion(0, 5, 0, 0, -1), 0},
      {"a completion count of -2", cp::CTL_SET_COMPLETION, completion(0, 1, 0, 10, -2), 0},
      {"a delay over 60 s", cp::CTL_SET_COMPLETION, completion(1, 1, 0, 60000001, -1), 0},
      {"completion with STATUS_PENDING", cp::CTL_SET_COMPLETION, completion(1, 4, 0x103, 0, -1), 0},
      {"completion with an informational status", cp::CTL_SET_COMPLETION,
       completion(3, 0, 0x40000000u, 0, -1), 0},
      {"release with STATUS_PENDING", cp::CTL_RELEASE_HELD,
       bytes_of(cp::ReleaseRecord{0xFFFFFFFFu, 0x103}), sizeof(uint32_t)},
      {"requests read from past the log", cp::CTL_READ_REQUESTS, bytes_of(uint32_t(0xFFFFFFFFu)),
       sizeof(cp::RequestPage)},
      {"an EEPROM image of type 3", cp::CTL_WRITE_EEPROM, bytes_of(eeprom), 0},
      {"a query word for an unknown OID", cp::CTL_SET_QUERY_WORD,
       bytes_of(cp::WordRecord{0x12345678u, 1}), 0},
      {"a frame of 1537 bytes", cp::CTL_QUEUE_RX_FRAME, bytes_of(frame), 0},
      {"register file 4", cp::CTL_SET_REGISTER, bytes_of(cp::RegisterRecord{4, 0, 0}), 0},
      {"register file 0xFFFFFFFF", cp::CTL_GET_REGISTER,
       bytes_of(cp::RegisterRecord{0xFFFFFFFFu, 0, 0}), sizeof(cp::RegisterRecord)},
  };
  std::string why;
  for (const Bad& b : bad) {
    std::vector<uint8_t> record = b.record;
    std::vector<uint8_t> out(b.out + 1);
    const DWORD got =
        call_control(control, b.code, record.data(), DWORD(record.size()), out.data(), b.out);
    if (got != kInvalidParameter) why += std::string(b.what) + ": " + std::to_string(got) + "; ";
  }
  check(why.empty(),
        "every value out of range refused with 87 (" + std::to_string(bad.size()) + " records)",
        why);
}

bool left_at_unload(DWORD* value) {
  DWORD size = sizeof *value;
  return RegGetValueW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Parameters", L"LeftAtUnload",
                      RRF_RT_REG_DWORD, nullptr, value, &size) == ERROR_SUCCESS;
}

bool control_service(bool start) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = scm ? OpenServiceW(scm, L"NORVAKS", SERVICE_ALL_ACCESS) : nullptr;
  bool ok = false;
  if (service != nullptr) {
    SERVICE_STATUS s{};
    if (start)
      ok = StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    else
      ok = ControlService(service, SERVICE_CONTROL_STOP, &s) != FALSE;
    const DWORD want = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; ok && i < 200 && QueryServiceStatus(service, &s) && s.dwCurrentState != want;
         ++i)
      Sleep(25);
    ok = ok && s.dwCurrentState == want;
    CloseServiceHandle(service);
  }
  if (scm) CloseServiceHandle(scm);
  return ok;
}

}  // namespace

int run_control_checks() {
  Control control;
  if (!check(control.open(), "control device opens for an administrator",
             "error " + std::to_string(control.last_error())))
    return 1;
  HANDLE raw = CreateFileW(reinterpret_cast<const wchar_t*>(cp::kControlUserPath),
                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);

  // Who may open it: the descriptor the system keeps for the device.
  cp::StateRecord s{};
  control.state(&s);
  check(s.control_aces == 2 && s.control_grants == (cp::kGrantsSystem | cp::kGrantsAdministrators),
        "the control device's DACL grants SYSTEM and Administrators all access, nobody else any",
        std::to_string(s.control_aces) + " entries, grants " + hex(s.control_grants));
  {
    // A caller outside Administrators: its token with that group for deny only.
    HANDLE token = nullptr, restricted = nullptr, impersonation = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                             0, 0, 0, &admins);
    SID_AND_ATTRIBUTES deny{admins, 0};
    HANDLE opened = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    const bool impersonating =
        OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token) &&
        CreateRestrictedToken(token, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted) &&
        DuplicateToken(restricted, SecurityImpersonation, &impersonation) &&
        SetThreadToken(nullptr, impersonation);
    if (impersonating) {
      opened = CreateFileW(reinterpret_cast<const wchar_t*>(cp::kControlUserPath),
                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      error = GetLastError();
      RevertToSelf();
    }
    if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
    for (HANDLE h : {token, restricted, impersonation})
      if (h != nullptr) CloseHandle(h);
    if (admins != nullptr) FreeSid(admins);
    if (under_wine() && opened != INVALID_HANDLE_VALUE)
      std::printf(
          "NOTE: Wine does not check a device's DACL when a file is opened: a caller "
          "outside Administrators opened the control device here\n");
    else
      check(impersonating && opened == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED,
            "a caller outside Administrators cannot open the control device",
            "impersonating " + std::to_string(impersonating) + ", error " + std::to_string(error));
  }

  // Nothing below either device: a name past the device is refused and not served.
  define_dos_name(kDosName, kAdapterPath);
  control.state(&s);
  const uint32_t opens = s.opens;
  std::string why;
  for (const std::wstring& path :
       {std::wstring(reinterpret_cast<const wchar_t*>(cp::kControlUserPath)) + L"\\below",
        std::wstring(kDeviceFile) + L"\\below"}) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      why += narrow(path) + " opened; ";
      CloseHandle(h);
    }
  }
  control.state(&s);
  if (s.opens != opens) why += "the adapter counted an open below it; ";
  check(why.empty(), "names below the control and the adapter device open nothing", why);

  // What the library's request slots rely on: a request issued with an event sets the event to
  // non-signalled before it starts, so that an event left signalled by an earlier request is
  // signalled again only by this one's completion.
  {
    HANDLE adapter = CreateFileW(kDeviceFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    control.set_completion(cp::kOidRequests, cp::kHeld, 0, 0, 1);
    uint8_t record[307] = {0x1A, 0x10, 0x4D, 0xFF, 4};  // OID 0xFF4D101A (EEPROM type), Length 4
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD returned = 0;
    const BOOL done = DeviceIoControl(adapter, 0x80000004u, record, sizeof record, record,
                                      sizeof record, &returned, &ov);
    const DWORD error = GetLastError();
    const DWORD cleared = WaitForSingleObject(event, 0);
    control.release_held(1);
    const BOOL finished = GetOverlappedResult(adapter, &ov, &returned, TRUE);
    check(!done && error == ERROR_IO_PENDING && cleared == WAIT_TIMEOUT && finished &&
              WaitForSingleObject(event, 0) == WAIT_OBJECT_0,
          "a request issued with a signalled event clears it; its completion sets it",
          "pending " + std::to_string(!done && error == ERROR_IO_PENDING) + ", wait " +
              std::to_string(cleared) + ", completed " + std::to_string(finished));
    CloseHandle(event);
    if (adapter != INVALID_HANDLE_VALUE) CloseHandle(adapter);
  }

  // Every code at every size, then bad values; codes no control request has are unknown.
  for (const Code& c : codes()) sweep_sizes(raw, c);
  sweep_values(raw);
  why.clear();
  for (uint32_t code : {cp::control_code(0x810), cp::control_code(0x7FF), 0x80000000u}) {
    uint8_t buffer[64] = {};
    const DWORD got = call_control(raw, code, buffer, sizeof buffer, buffer, sizeof buffer);
    if (got != ERROR_INVALID_FUNCTION) why += hex(code) + ": " + std::to_string(got) + "; ";
  }
  check(why.empty(), "control codes the device does not have are refused with 1", why);

  // Still serving: back to power-on, then an OID request on the adapter device.
  check(control.reset(2, 0, 1, 3), "the control device still serves after the sweep",
        "CTL_RESET error " + std::to_string(control.last_error()));
  HANDLE adapter =
      CreateFileW(kDeviceFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  uint8_t record[307] = {0x1A, 0x10, 0x4D, 0xFF, 4};  // OID 0xFF4D101A (EEPROM type), Length 4
  DWORD returned = 0;
  const bool answered = adapter != INVALID_HANDLE_VALUE &&
                        DeviceIoControl(adapter, 0x80000004u, record, sizeof record, record,
                                        sizeof record, &returned, nullptr) &&
                        record[8] == 2;
  check(answered, "the adapter device still answers an OID query after the sweep",
        "error " + std::to_string(GetLastError()));
  if (adapter != INVALID_HANDLE_VALUE) CloseHandle(adapter);
  CloseHandle(raw);
  control.close();

  // The unload ends everything: LeftAtUnload 0. Then the driver runs again for what follows.
  DWORD left = 0xDEAD;
  const bool stopped = control_service(false);
  check(stopped && left_at_unload(&left) && left == 0,
        "after the sweep the unload ended every request and timer (LeftAtUnload 0)",
        "stopped " + std::to_string(stopped) + ", LeftAtUnload " + hex(left));
  check(control_service(true) && left_at_unload(&left) && left == 0xFFFFFFFFu,
        "the driver starts again (LeftAtUnload 0xFFFFFFFF while it runs)", hex(left));
  std::printf("SUMMARY: %d passed, %d failed\n", passes(), failures());
  return failures() == 0 ? 0 : 1;
}

}  // namespace wintest
