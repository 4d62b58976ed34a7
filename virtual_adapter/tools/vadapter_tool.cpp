// Installs, starts, stops and removes the virtual adapter (service NORVAKS), and runs a smoke
// check against its two devices:
//   vadapter_tool install <file.sys>   service NORVAKS, kernel driver, demand start,
//                                      \SystemRoot\system32\drivers\<file.sys>
//   vadapter_tool start | stop | remove
//   vadapter_tool smoke                prints one "PASS: ..." or "FAIL: ..." line a check;
//                                      exits with the number of failed checks
//   vadapter_tool leave-pending        leaves three requests pended (held, later, cancel
//                                      ignored) and exits: the next stop must end them
//   vadapter_tool unloaded             after a stop: the unload left nothing behind
// Values the smoke expects (control codes, OIDs, record sizes, names) are written here as
// literals, independent of the headers the driver is built from; the control protocol's records
// are the harness's interface and come from its header.
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "virtual_adapter/control_protocol.h"

extern "C" NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE link, ACCESS_MASK access,
                                                     POBJECT_ATTRIBUTES attributes,
                                                     PUNICODE_STRING target);

namespace {

namespace cp = talven::vadapter;

const wchar_t kService[] = L"NORVAKS";
const wchar_t kAdapterFile[] = L"\\\\.\\Packet_NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
const wchar_t kAdapterDosName[] =
    L"\\DosDevices\\Packet_NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
const wchar_t kAdapterDevice[] = L"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
const wchar_t kControlFile[] = L"\\\\.\\TalvenVirtualAdapterControl";
constexpr DWORD kOidSet = 0x80000000;
constexpr DWORD kOidQuery = 0x80000004;
constexpr DWORD kAdapterReset = 0x80000008;
constexpr uint32_t kOidEepromType = 0xFF4D101A;
constexpr DWORD kQueryBytes = 303 + 4;  // the record's transfer size with Length 4

int g_failed = 0;

void check(bool ok, const char* what, unsigned long detail = 0) {
  if (ok) {
    std::printf("PASS: driver: %s\n", what);
  } else {
    std::printf("FAIL: driver: %s (%lu)\n", what, detail);
    ++g_failed;
  }
  std::fflush(stdout);
}

int report(const char* what, bool ok) {
  if (ok)
    std::printf("PASS: %s\n", what);
  else
    std::printf("FAIL: %s (%lu)\n", what, GetLastError());
  return ok ? 0 : 1;
}

// ---- Service control ----

int install(const wchar_t* file) {
  wchar_t path[MAX_PATH];
  _snwprintf(path, MAX_PATH, L"\\SystemRoot\\system32\\drivers\\%ls", file);
  path[MAX_PATH - 1] = 0;
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return report("install: OpenSCManager", false);
  SC_HANDLE service = CreateServiceW(
      scm, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr, nullptr, nullptr);
  bool ok = service != nullptr;
  if (!ok && GetLastError() == ERROR_SERVICE_EXISTS) {
    service = OpenServiceW(scm, kService, SERVICE_ALL_ACCESS);
    ok = service != nullptr &&
         ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
  }
  const int result = report("install: service NORVAKS", ok);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return result;
}

int control_service(const char* verb) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) return report("OpenSCManager", false);
  SC_HANDLE service = OpenServiceW(scm, kService, SERVICE_ALL_ACCESS);
  bool ok = service != nullptr;
  char what[64];
  std::snprintf(what, sizeof what, "%s: service NORVAKS", verb);
  if (ok && std::strcmp(verb, "start") == 0) {
    ok = StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
  } else if (ok && std::strcmp(verb, "stop") == 0) {
    SERVICE_STATUS status;
    ok = ControlService(service, SERVICE_CONTROL_STOP, &status) ||
         GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    for (int i = 0; ok && i < 100; ++i) {
      if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) break;
      Sleep(20);
    }
    ok = ok && status.dwCurrentState == SERVICE_STOPPED;
  } else if (ok) {
    ok = DeleteService(service);
  }
  const int result = report(what, ok);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return result;
}

// ---- Smoke check ----

// HKLM\SYSTEM\CurrentControlSet\Services\NORVAKS\Parameters, LeftAtUnload: 0xFFFFFFFF while the
// driver runs, then what its unload could not end (0: everything).
bool left_at_unload(DWORD* value) {
  DWORD size = sizeof *value;
  return RegGetValueW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Parameters", L"LeftAtUnload",
                      RRF_RT_REG_DWORD, nullptr, value, &size) == ERROR_SUCCESS;
}

int unloaded() {
  DWORD left = 0xDEAD;
  check(left_at_unload(&left) && left == 0, "the unload ended every request and timer (0 left)",
        left);
  return g_failed;
}

HANDLE g_control = INVALID_HANDLE_VALUE;

DWORD control(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
              DWORD* returned = nullptr) {
  DWORD bytes = 0;
  const BOOL ok = DeviceIoControl(g_control, code, const_cast<void*>(in), in_size, out, out_size,
                                  &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok ? 0 : GetLastError();
}

template <typename Record>
DWORD control_in(DWORD code, const Record& record) {
  return control(code, &record, sizeof record, nullptr, 0);
}

bool get_state(cp::StateRecord* state) {
  DWORD bytes = 0;
  return control(cp::CTL_GET_STATE, nullptr, 0, state, sizeof *state, &bytes) == 0 &&
         bytes == sizeof *state;
}

DWORD set_completion(uint32_t target, uint32_t kind, uint32_t error, uint32_t delay_us,
                     int32_t count) {
  cp::CompletionRecord r{target, kind, error, delay_us, count};
  return control_in(cp::CTL_SET_COMPLETION, r);
}

uint32_t word(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void put_word(uint8_t* p, uint32_t v) {
  std::memcpy(p, &v, 4);
}

// An overlapped request with its own event.
struct Overlapped {
  OVERLAPPED ov{};
  Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(ov.hEvent); }
};

// Starts an EEPROM-type query; returns the error of the DeviceIoControl call itself.
DWORD start_query(HANDLE adapter, uint8_t* record, Overlapped* o) {
  std::memset(record, 0, 304);
  put_word(record, kOidEepromType);
  put_word(record + 4, 4);
  DWORD bytes = 0;
  if (DeviceIoControl(adapter, kOidQuery, record, kQueryBytes, record, kQueryBytes, &bytes, &o->ov))
    return 0;
  return GetLastError();
}

// Waits for an overlapped request; returns its error (0 = success) and the bytes.
DWORD finish(HANDLE adapter, Overlapped* o, DWORD* bytes, DWORD timeout_ms = 5000) {
  if (WaitForSingleObject(o->ov.hEvent, timeout_ms) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
  *bytes = 0;
  return GetOverlappedResult(adapter, &o->ov, bytes, FALSE) ? 0 : GetLastError();
}

void smoke_adapter(HANDLE adapter) {
  uint8_t record[304];
  DWORD bytes = 0;

  // An OID query answered at once.
  Overlapped q;
  DWORD error = start_query(adapter, record, &q);
  if (error == ERROR_IO_PENDING)
    error = finish(adapter, &q, &bytes);
  else
    bytes = q.ov.InternalHigh;
  check(error == 0, "IOCTL_OID_QUERY OID_EEPROM_TYPE succeeds", error);
  check(bytes == kQueryBytes, "the query hands back 307 bytes", bytes);
  check(word(record + 8) == 2, "the EEPROM type answered is 2 (256 bytes)", word(record + 8));

  cp::RequestPage* page = new cp::RequestPage();
  uint32_t first = 0;
  DWORD returned = 0;
  error = control(cp::CTL_READ_REQUESTS, &first, sizeof first, page, sizeof *page, &returned);
  check(error == 0 && returned == sizeof *page, "CTL_READ_REQUESTS", error);
  const cp::RequestEntry& e = page->entries[0];
  check(page->count == 1 && page->total == 1 && e.sequence == 0,
        "the request log holds the one query", page->count);
  check(e.code == kOidQuery && e.in_size == kQueryBytes && e.out_size == kQueryBytes,
        "logged: IOCTL_OID_QUERY, 307 bytes in and out", e.code);
  check(word(e.bytes) == kOidEepromType && word(e.bytes + 4) == 4,
        "logged bytes: OID_EEPROM_TYPE, Length 4", word(e.bytes));
  delete page;

  // Scripted faults: a failed request hands nothing back (STATUS_UNSUCCESSFUL: 31); one that
  // fails with its answer written ends with a warning status (234) and the answer copied back.
  cp::FaultRecord fail{kOidEepromType, cp::kFailRequest, 0, 0, 1, 0};
  check(control_in(cp::CTL_ADD_FAULT, fail) == 0, "CTL_ADD_FAULT: fail one EEPROM type query");
  Overlapped f;
  error = start_query(adapter, record, &f);
  if (error == ERROR_IO_PENDING) error = finish(adapter, &f, &bytes);
  check(error == ERROR_GEN_FAILURE && word(record + 8) == 0,
        "the failed query ends with 31 and no answer", error);
  cp::FaultRecord answered{kOidEepromType, cp::kFailAndAnswer, 0, 0, 1, 0};
  check(control_in(cp::CTL_ADD_FAULT, answered) == 0, "CTL_ADD_FAULT: fail with the answer");
  Overlapped fa;
  error = start_query(adapter, record, &fa);
  if (error == ERROR_IO_PENDING) error = finish(adapter, &fa, &bytes);
  check(error == ERROR_MORE_DATA, "the query failed with its answer ends with 234", error);
  check(word(record + 8) == 2, "... and its answer is copied back", word(record + 8));

  // Held until released: pending at once, completed with the model's answer on release.
  check(set_completion(cp::kOidRequests, cp::kHeld, 0, 0, 1) == 0, "script: hold one OID request");
  Overlapped h;
  error = start_query(adapter, record, &h);
  check(error == ERROR_IO_PENDING, "a held query is pending", error);
  cp::StateRecord state{};
  check(get_state(&state) && state.held == 1 && state.pending == 1, "state: 1 held, 1 pending",
        state.held);
  check(WaitForSingleObject(h.ov.hEvent, 50) == WAIT_TIMEOUT, "the held query stays pending");
  uint32_t released = 0;
  cp::ReleaseRecord all{0xFFFFFFFFu, 0};
  error = control(cp::CTL_RELEASE_HELD, &all, sizeof all, &released, sizeof released);
  check(error == 0 && released == 1, "CTL_RELEASE_HELD releases 1", released);
  error = finish(adapter, &h, &bytes);
  check(error == 0 && bytes == kQueryBytes && word(record + 8) == 2,
        "the released query completes with its answer", error);

  // A frame write completed by the timer after 2 ms, logged when it completes.
  check(set_completion(cp::kWrites, cp::kLater, 0, 2000, -1) == 0, "script: writes later");
  uint8_t frame[64];
  for (size_t i = 0; i < sizeof frame; ++i) frame[i] = uint8_t(i * 3);
  Overlapped w;
  w.ov.Offset = 0x1234;
  BOOL wrote = WriteFile(adapter, frame, sizeof frame, nullptr, &w.ov);
  error = wrote ? 0 : GetLastError();
  check(error == ERROR_IO_PENDING, "a later write is pending", error);
  if (error == ERROR_IO_PENDING) error = finish(adapter, &w, &bytes);
  check(error == 0 && bytes == sizeof frame, "the later write completes with 64 bytes", error);
  cp::FramePage* frames = new cp::FramePage();
  error = control(cp::CTL_READ_FRAMES, nullptr, 0, frames, sizeof *frames);
  check(error == 0 && frames->frames_written == 1, "one frame logged",
        DWORD(frames->frames_written));
  delete frames;

  // A reset that never completes, cancelled: the cancel routine ends it with 995.
  check(set_completion(cp::kResets, cp::kNever, 0, 0, -1) == 0, "script: resets never");
  Overlapped r;
  DeviceIoControl(adapter, kAdapterReset, nullptr, 0, nullptr, 0, &bytes, &r.ov);
  error = GetLastError();
  check(error == ERROR_IO_PENDING, "a never-completing reset is pending", error);
  check(WaitForSingleObject(r.ov.hEvent, 50) == WAIT_TIMEOUT, "the reset stays pending");
  CancelIoEx(adapter, &r.ov);
  error = finish(adapter, &r, &bytes);
  check(error == ERROR_OPERATION_ABORTED, "the cancelled reset ends with 995", error);

  // A cancel that the driver completes 3 ms later, by its cancel timer.
  check(set_completion(cp::kCancels, cp::kLater, 0, 3000, -1) == 0, "script: cancels later");
  Overlapped c;
  DeviceIoControl(adapter, kAdapterReset, nullptr, 0, nullptr, 0, &bytes, &c.ov);
  CancelIoEx(adapter, &c.ov);
  error = finish(adapter, &c, &bytes);
  check(error == ERROR_OPERATION_ABORTED, "the reset cancelled later ends with 995", error);

  // An OID request completed by the timer, with its answer; a held one released with an error.
  check(set_completion(cp::kOidRequests, cp::kLater, 0, 2000, 1) == 0, "script: one OID later");
  Overlapped l;
  error = start_query(adapter, record, &l);
  check(error == ERROR_IO_PENDING, "a later query is pending", error);
  error = finish(adapter, &l, &bytes);
  check(error == 0 && bytes == kQueryBytes && word(record + 8) == 2,
        "the later query completes with its answer", error);
  check(set_completion(cp::kOidRequests, cp::kHeld, 0, 0, 1) == 0, "script: hold one OID request");
  Overlapped he;
  error = start_query(adapter, record, &he);
  cp::ReleaseRecord failing{1, 0xC000009A};  // STATUS_INSUFFICIENT_RESOURCES
  error = control(cp::CTL_RELEASE_HELD, &failing, sizeof failing, &released, sizeof released);
  check(error == 0 && released == 1, "CTL_RELEASE_HELD with an error releases 1", released);
  error = finish(adapter, &he, &bytes);
  check(error == ERROR_NO_SYSTEM_RESOURCES, "the held query ends with that error (1450)", error);

  // The cancel ignored: the request ends only at CTL_RESET.
  check(set_completion(cp::kCancels, cp::kNever, 0, 0, -1) == 0, "script: cancels ignored");
  Overlapped n;
  DeviceIoControl(adapter, kAdapterReset, nullptr, 0, nullptr, 0, &bytes, &n.ov);
  CancelIoEx(adapter, &n.ov);
  check(WaitForSingleObject(n.ov.hEvent, 100) == WAIT_TIMEOUT, "an ignored cancel ends nothing");
  check(get_state(&state) && state.cancels == 3 && state.pending == 1 && state.adapter_resets == 3,
        "state: 3 cancels, 1 pending, 3 adapter resets", state.cancels);
  cp::ResetConfig config{2, 0, 1, 3};
  check(control_in(cp::CTL_RESET, config) == 0, "CTL_RESET with a request pending");
  error = finish(adapter, &n, &bytes);
  check(error == ERROR_OPERATION_ABORTED, "CTL_RESET ends the pending reset with 995", error);
  check(get_state(&state) && state.pending == 0 && state.requests_logged == 0,
        "state after CTL_RESET: nothing pending, log empty", state.pending);
}

// A query of `oid` (Length 4) answered at once; returns its error and Param[0].
DWORD query_word(HANDLE adapter, uint32_t oid, uint32_t* value) {
  uint8_t record[304] = {};
  put_word(record, oid);
  put_word(record + 4, 4);
  Overlapped o;
  DWORD bytes = 0;
  DWORD error =
      DeviceIoControl(adapter, kOidQuery, record, kQueryBytes, record, kQueryBytes, &bytes, &o.ov)
          ? 0
          : GetLastError();
  if (error == ERROR_IO_PENDING) error = finish(adapter, &o, &bytes);
  *value = word(record + 8);
  return error;
}

DWORD write_frame(HANDLE adapter, const uint8_t* frame, DWORD size, DWORD offset) {
  Overlapped o;
  o.ov.Offset = offset;
  DWORD bytes = 0;
  DWORD error = WriteFile(adapter, frame, size, nullptr, &o.ov) ? 0 : GetLastError();
  if (error == ERROR_IO_PENDING) error = finish(adapter, &o, &bytes);
  return error;
}

// The control codes that set and read the model, each through the adapter or back.
void smoke_control(HANDLE adapter) {
  cp::ResetConfig config{2, 0, 1, 3};
  check(control_in(cp::CTL_RESET, config) == 0, "CTL_RESET before the control-code checks");

  // Records with values out of range, and sizes off by one either way.
  struct Refused {
    const char* what;
    DWORD code;
    DWORD in_size;
    DWORD error;
  } refused[] = {
      {"CTL_CLEAR_FAULTS with 4 input bytes", cp::CTL_CLEAR_FAULTS, 4, ERROR_INVALID_PARAMETER},
      {"CTL_ADD_FAULT one byte over", cp::CTL_ADD_FAULT, sizeof(cp::FaultRecord) + 1,
       ERROR_INVALID_PARAMETER},
      {"an unknown control code", 0x80012FFC, 0, ERROR_INVALID_FUNCTION},
  };
  static uint8_t scratch[sizeof(cp::FrameRecord) + 8];
  for (const Refused& r : refused) {
    const DWORD error = control(r.code, scratch, r.in_size, nullptr, 0);
    check(error == r.error, r.what, error);
  }
  cp::RegisterRecord bad_file{4, 0x20, 1};
  check(control_in(cp::CTL_SET_REGISTER, bad_file) == ERROR_INVALID_PARAMETER,
        "CTL_SET_REGISTER of register file 4 fails with 87");
  cp::WordRecord unknown{0x12345678, 1};
  check(control_in(cp::CTL_SET_QUERY_WORD, unknown) == ERROR_INVALID_PARAMETER,
        "CTL_SET_QUERY_WORD of an unknown OID fails with 87");
  auto* big = reinterpret_cast<cp::FrameRecord*>(scratch);
  big->size = 1537;
  check(control_in(cp::CTL_QUEUE_RX_FRAME, *big) == ERROR_INVALID_PARAMETER,
        "CTL_QUEUE_RX_FRAME of 1537 bytes fails with 87");
  cp::CompletionRecord bad_kind{cp::kWrites, 5, 0, 0, -1};
  check(control_in(cp::CTL_SET_COMPLETION, bad_kind) == ERROR_INVALID_PARAMETER,
        "CTL_SET_COMPLETION of kind 5 fails with 87");

  // Registers: written, read back; another bank keeps its own.
  cp::RegisterRecord reg{1, 0x20, 0x5A};
  check(control_in(cp::CTL_SET_REGISTER, reg) == 0, "CTL_SET_REGISTER bank 0 0x20 = 0x5A");
  cp::RegisterRecord read{1, 0x20, 0}, other{2, 0x20, 0};
  check(control(cp::CTL_GET_REGISTER, &read, sizeof read, &read, sizeof read) == 0 &&
            read.value == 0x5A,
        "CTL_GET_REGISTER bank 0 0x20 reads 0x5A", read.value);
  check(control(cp::CTL_GET_REGISTER, &other, sizeof other, &other, sizeof other) == 0 &&
            other.value == 0,
        "CTL_GET_REGISTER bank 1 0x20 reads 0", other.value);

  // EEPROM: a 128-byte image written, read back, and the type query follows it.
  cp::EepromRecord image{};
  image.type = 1;
  for (int i = 0; i < 128; ++i) image.image[i] = uint8_t(0x80 ^ i);
  check(control_in(cp::CTL_WRITE_EEPROM, image) == 0, "CTL_WRITE_EEPROM of 128 bytes");
  cp::EepromRecord back{};
  check(control(cp::CTL_READ_EEPROM, nullptr, 0, &back, sizeof back) == 0 && back.type == 1 &&
            std::memcmp(back.image, image.image, 128) == 0,
        "CTL_READ_EEPROM gives the image back", back.type);
  uint32_t value = 0;
  check(query_word(adapter, kOidEepromType, &value) == 0 && value == 1,
        "the EEPROM type query answers 1 now", value);

  // A query word answers in Param[0].
  cp::WordRecord words{0xFF4D1024, 0xDEADBEEF};  // OID_QUERY_TX_PACKET_SENT
  check(control_in(cp::CTL_SET_QUERY_WORD, words) == 0, "CTL_SET_QUERY_WORD");
  check(query_word(adapter, 0xFF4D1024, &value) == 0 && value == 0xDEADBEEF,
        "the transmit counter query answers 0xDEADBEEF", value);

  // Addresses, in the state record.
  cp::AddressRecord addresses{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55},
                              {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}};
  check(control_in(cp::CTL_SET_ADDRESSES, addresses) == 0, "CTL_SET_ADDRESSES");
  cp::StateRecord state{};
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  const uint8_t permanent[6] = {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
  check(get_state(&state) && std::memcmp(state.mac_address, mac, 6) == 0 &&
            std::memcmp(state.permanent_address, permanent, 6) == 0,
        "the state record holds both addresses");

  // Frames: five writes at once; the page keeps the newest four, newest last.
  for (DWORD i = 0; i < 5; ++i) {
    uint8_t frame[20];
    std::memset(frame, int(0x10 + i), sizeof frame);
    check(write_frame(adapter, frame, sizeof frame - i, 0x100 * i) == 0, "a frame written at once");
  }
  cp::FramePage* frames = new cp::FramePage();
  DWORD error = control(cp::CTL_READ_FRAMES, nullptr, 0, frames, sizeof *frames);
  check(
      error == 0 && frames->frames_written == 5 && frames->count == 4 && frames->all_identical == 0,
      "CTL_READ_FRAMES: 5 written, 4 kept, not all identical", frames->count);
  bool newest_last = true;
  for (uint32_t i = 0; i < 4 && i < frames->count; ++i) {
    const cp::FrameEntry& f = frames->frames[i];
    newest_last = newest_last && f.size == 20 - (i + 1) && f.offset == 0x100 * (i + 1) &&
                  f.bytes[0] == 0x11 + i && f.bytes[f.size - 1] == 0x11 + i;
  }
  check(newest_last, "frames 2 to 5 kept with their sizes, offsets and bytes, newest last");
  delete frames;

  // Request pages: 20 queries read in pages of 16 from a given sequence.
  check(control(cp::CTL_CLEAR_REQUESTS, nullptr, 0, nullptr, 0) == 0, "CTL_CLEAR_REQUESTS");
  for (int i = 0; i < 20; ++i) query_word(adapter, 0xFF4D1024, &value);
  cp::RequestPage* page = new cp::RequestPage();
  uint32_t first = 0;
  error = control(cp::CTL_READ_REQUESTS, &first, sizeof first, page, sizeof *page);
  check(error == 0 && page->total == 20 && page->first == 0 && page->count == 16 &&
            page->entries[15].sequence == 15,
        "CTL_READ_REQUESTS from 0: 16 of 20", page->count);
  first = 16;
  error = control(cp::CTL_READ_REQUESTS, &first, sizeof first, page, sizeof *page);
  check(error == 0 && page->first == 16 && page->count == 4 && page->entries[3].sequence == 19 &&
            word(page->entries[3].bytes) == 0xFF4D1024,
        "CTL_READ_REQUESTS from 16: the last 4", page->count);
  delete page;
}

int smoke() {
  g_control = CreateFileW(kControlFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr);
  check(g_control != INVALID_HANDLE_VALUE, "open \\\\.\\TalvenVirtualAdapterControl",
        GetLastError());
  if (g_control == INVALID_HANDLE_VALUE) return g_failed;

  cp::ResetConfig config{2, 0, 1, 3};
  check(control_in(cp::CTL_RESET, config) == 0, "CTL_RESET");
  // Sizes are checked: a short input record, a short output buffer, a bad EEPROM type.
  DWORD error = control(cp::CTL_RESET, &config, sizeof config - 1, nullptr, 0);
  check(error == ERROR_INVALID_PARAMETER, "CTL_RESET with a short record fails with 87", error);
  cp::StateRecord state{};
  error = control(cp::CTL_GET_STATE, nullptr, 0, &state, sizeof state - 4);
  check(error == ERROR_INSUFFICIENT_BUFFER, "CTL_GET_STATE into a short buffer fails with 122",
        error);
  cp::ResetConfig bad{3, 0, 1, 3};
  error = control_in(cp::CTL_RESET, bad);
  check(error == ERROR_INVALID_PARAMETER, "CTL_RESET with EEPROM type 3 fails with 87", error);

  // No DOS name for the adapter until a caller defines one.
  HANDLE adapter = CreateFileW(kAdapterFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  error = GetLastError();
  check(adapter == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND,
        "the adapter has no DOS name of its own (2)", error);
  if (adapter != INVALID_HANDLE_VALUE) CloseHandle(adapter);

  UNICODE_STRING name, target;
  RtlInitUnicodeString(&name, kAdapterDosName);
  RtlInitUnicodeString(&target, kAdapterDevice);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE link = nullptr;
  const NTSTATUS status = NtCreateSymbolicLinkObject(&link, 0xF0001, &attributes, &target);
  check(status >= 0, "define \\DosDevices\\Packet_NORVAKS_{...}", DWORD(status));

  adapter = CreateFileW(kAdapterFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  check(adapter != INVALID_HANDLE_VALUE, "open the adapter through its DOS name", GetLastError());
  if (adapter != INVALID_HANDLE_VALUE) {
    smoke_adapter(adapter);
    smoke_control(adapter);
    CloseHandle(adapter);
    check(get_state(&state) && state.closes == 1, "the adapter close is counted", state.closes);
  }
  if (link != nullptr) CloseHandle(link);
  CloseHandle(g_control);
  DWORD left = 0;
  check(left_at_unload(&left) && left == 0xFFFFFFFF, "LeftAtUnload reads 0xFFFFFFFF while running",
        left);
  std::printf("driver smoke: %d failed\n", g_failed);
  return g_failed;
}

// Leaves requests pended for the unload to end: a held OID query, a write due in 30 s, and a
// reset whose cancel the driver ignores; then exits without waiting for any of them.
int leave_pending() {
  g_control = CreateFileW(kControlFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr);
  check(g_control != INVALID_HANDLE_VALUE, "open the control device", GetLastError());
  if (g_control == INVALID_HANDLE_VALUE) return g_failed;
  UNICODE_STRING name, target;
  RtlInitUnicodeString(&name, kAdapterDosName);
  RtlInitUnicodeString(&target, kAdapterDevice);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE link = nullptr;
  NtCreateSymbolicLinkObject(&link, 0xF0001, &attributes, &target);
  HANDLE adapter = CreateFileW(kAdapterFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  check(adapter != INVALID_HANDLE_VALUE, "open the adapter", GetLastError());
  if (adapter == INVALID_HANDLE_VALUE) return g_failed;

  check(set_completion(cp::kCancels, cp::kNever, 0, 0, -1) == 0, "script: cancels ignored");
  check(set_completion(cp::kOidRequests, cp::kHeld, 0, 0, 1) == 0, "script: hold one OID request");
  check(set_completion(cp::kWrites, cp::kLater, 0, 30000000, -1) == 0, "script: writes in 30 s");
  check(set_completion(cp::kResets, cp::kNever, 0, 0, -1) == 0, "script: resets never");
  static uint8_t record[304];
  static uint8_t frame[100];
  static Overlapped q, w, r;
  DWORD bytes = 0;
  check(start_query(adapter, record, &q) == ERROR_IO_PENDING, "a held query is pending");
  check(!WriteFile(adapter, frame, sizeof frame, nullptr, &w.ov) &&
            GetLastError() == ERROR_IO_PENDING,
        "a write due in 30 s is pending");
  check(!DeviceIoControl(adapter, kAdapterReset, nullptr, 0, nullptr, 0, &bytes, &r.ov) &&
            GetLastError() == ERROR_IO_PENDING,
        "a reset is pending");
  CancelIoEx(adapter, &r.ov);
  cp::StateRecord state{};
  check(get_state(&state) && state.pending == 3 && state.held == 1,
        "state: 3 pending, 1 held, left for the unload", state.pending);
  std::fflush(stdout);
  ExitProcess(DWORD(g_failed));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"install") == 0) return install(argv[2]);
  if (argc == 2 && (wcscmp(argv[1], L"start") == 0)) return control_service("start");
  if (argc == 2 && (wcscmp(argv[1], L"stop") == 0)) return control_service("stop");
  if (argc == 2 && (wcscmp(argv[1], L"remove") == 0)) return control_service("remove");
  if (argc == 2 && wcscmp(argv[1], L"smoke") == 0) return smoke();
  if (argc == 2 && wcscmp(argv[1], L"leave-pending") == 0) return leave_pending();
  if (argc == 2 && wcscmp(argv[1], L"unloaded") == 0) return unloaded();
  std::fprintf(stderr,
               "usage: vadapter_tool install <file.sys> | start | stop | remove | smoke | "
               "leave-pending | unloaded\n");
  return 2;
}
