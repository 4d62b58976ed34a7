#include "tests/windows/support.h"

#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace wintest {

namespace {

int g_pass = 0;
int g_fail = 0;

// The 83 operations and their argument counts, as test applications bind to them.
struct OperationName {
  const char* name;
  int arguments;
};
const OperationName kOperations[] = {
    {"OpenDUT", 1},
    {"CloseDUT", 1},
    {"ResetDUT", 1},
    {"StartTest", 1},
    {"StopTest", 1},
    {"SetDataRate", 2},
    {"SetPreamble", 2},
    {"SetFilterBB", 2},
    {"SetManualDiversityBB", 2},
    {"SetChannelDirectCall", 2},
    {"SetSleepModeDirectCall", 1},
    {"SetWakeModeDirectCall", 1},
    {"SetTxContinuousDirectCall", 2},
    {"SetSingleCarrierTxContinuous", 2},
    {"SetCarrierSuppressionTxContinuous", 2},
    {"SetPacketRxTest", 2},
    {"SetTxAntennaBB", 2},
    {"SetAntennaBB", 2},
    {"SetCRScrambler", 2},
    {"SetTxPowerControl", 2},
    {"SetCRTxConfig", 2},
    {"SetModulation", 2},
    {"GetTxPowerControl", 2},
    {"GetCRSignalQuality", 2},
    {"SetCRSetpoint", 2},
    {"SetIntegrator", 3},
    {"SetSignalQuality", 3},
    {"GetIntegrator", 3},
    {"GetSignalQuality", 3},
    {"TunePhilipsRfParameters", 2},
    {"SetInitialGain", 2},
    {"SetBBRFStandbyMode", 2},
    {"SetBBRFShutdownMode", 2},
    {"SetTxChargePump", 2},
    {"SetRxChargePump", 2},
    {"QueryRFType", 2},
    {"SetTxPowerBaseOffset", 3},
    {"GetTxPowerBaseOffset", 3},
    {"ResetTxPacketSent", 1},
    {"QueryTxPacketSent", 2},
    {"ResetRxPacketReceived", 1},
    {"QueryRxPacketReceived", 2},
    {"QueryRxPacketCRC32Error", 2},
    {"EnableAckCounter", 2},
    {"ResetAckCounter", 1},
    {"GetAckCounter", 2},
    {"WriteRegData", 4},
    {"ReadRegData", 4},
    {"RFWriteRegData", 4},
    {"RFReadRegData", 4},
    {"WriteBBData", 4},
    {"ReadBBData", 4},
    {"QueryEEpromType", 2},
    {"ReadEEpromByte", 3},
    {"WriteEEpromByte", 3},
    {"ReadEEprom", 3},
    {"WriteEEprom", 3},
    {"ReadPowerControl", 3},
    {"WritePowerControl", 3},
    {"WriteEEpromVid", 2},
    {"WriteEEpromDid", 2},
    {"WriteEEpromMacAddr", 2},
    {"ReadEEpromMacAddr", 2},
    {"WriteMACAddress", 2},
    {"ReadMACAddress", 2},
    {"QueryPermanentAddress", 2},
    {"WriteCISData", 3},
    {"ReadCISData", 3},
    {"WriteEEpromTxPowerBaseOffset", 3},
    {"ReadEEpromTxPowerBaseOffset", 3},
    {"PacketAllocatePacket", 1},
    {"PacketFreePacket", 1},
    {"PacketInitPacket", 3},
    {"PacketSendPacket", 3},
    {"PacketWaitPacket", 4},
    {"PacketReceivePacket", 4},
    {"PacketResetAdapter", 1},
    {"PacketSetFilter", 2},
    {"StartPacketDriver", 2},
    {"StopPacketDriver", 1},
    {"PacketGetAdapterNames", 2},
    {"PKT32XmitOnePacket", 1},
    {"PKT32OFDMContinuousTx", 2},
};
static_assert(sizeof(kOperations) / sizeof(kOperations[0]) == 83);

HMODULE g_module = nullptr;
NameSet g_names = NameSet::Decorated;
std::map<std::string, FARPROC> g_decorated, g_alias;
std::map<std::string, bool> g_called_decorated, g_called_alias;

// ---- Replaced imports ----
CRITICAL_SECTION g_lock;
bool g_lock_ready = false;
volatile LONG g_quiet = 0;
volatile LONG g_allocs = 0;
volatile LONG g_frees = 0;
std::vector<std::wstring> g_debug;
std::vector<CapturedBox> g_boxes;
std::vector<DosDefinition> g_dos;
struct Quarantined {
  HGLOBAL handle;
  SIZE_T size;
};
std::vector<Quarantined> g_quarantine;
int g_freed_pending = 0;
// Manual-reset events the library created and has not closed: those its requests keep between
// calls (a packet's event is auto-reset).
std::set<HANDLE> g_request_events;

struct Lock {
  Lock() { EnterCriticalSection(&g_lock); }
  ~Lock() { LeaveCriticalSection(&g_lock); }
};

constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ULONG kObjPermanent = 0x10;
constexpr ACCESS_MASK kSymbolicLinkAllAccess = 0xF0001;
constexpr ACCESS_MASK kDeleteAccess = 0x10000;
using NtCreateSymbolicLinkObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                  PUNICODE_STRING);
using NtOpenSymbolicLinkObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using NtMakeTemporaryObjectFn = LONG(NTAPI*)(HANDLE);
using NtCloseFn = LONG(NTAPI*)(HANDLE);

FARPROC ntdll(const char* name) {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
}

void unicode(UNICODE_STRING* u, const std::wstring& s) {
  u->Buffer = const_cast<PWSTR>(s.c_str());
  u->Length = static_cast<USHORT>(s.size() * sizeof(wchar_t));
  u->MaximumLength = static_cast<USHORT>(u->Length + sizeof(wchar_t));
}

LONG create_link(const std::wstring& name, const std::wstring& target) {
  auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(
      reinterpret_cast<void (*)()>(ntdll("NtCreateSymbolicLinkObject")));
  auto close = reinterpret_cast<NtCloseFn>(reinterpret_cast<void (*)()>(ntdll("NtClose")));
  if (create == nullptr || close == nullptr) return -1;
  const std::wstring full = L"\\DosDevices\\" + name;
  UNICODE_STRING link_name, link_target;
  unicode(&link_name, full);
  unicode(&link_target, target);
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof attributes;
  attributes.ObjectName = &link_name;
  attributes.Attributes = kObjCaseInsensitive | kObjPermanent;
  HANDLE link = nullptr;
  const LONG status = create(&link, kSymbolicLinkAllAccess, &attributes, &link_target);
  if (status >= 0) close(link);
  return status;
}

// DefineDosDeviceW for raw target paths, on the object manager directly (Wine 8's own overflows
// a stack buffer for names longer than two characters).
BOOL WINAPI hook_define_dos_device(DWORD flags, LPCWSTR name, LPCWSTR target) {
  DosDefinition d{flags, name ? name : L"", target ? target : L"", FALSE};
  if (name != nullptr && (flags & DDD_REMOVE_DEFINITION) != 0) {
    d.result = remove_dos_name(name);
  } else if (name != nullptr && target != nullptr && (flags & DDD_RAW_TARGET_PATH) != 0) {
    LONG status = create_link(name, target);
    if (status == static_cast<LONG>(0xC0000035)) {  // STATUS_OBJECT_NAME_COLLISION
      remove_dos_name(name);
      status = create_link(name, target);
    }
    d.result = status >= 0;
  }
  {
    Lock lock;
    g_dos.push_back(d);
  }
  if (!d.result) SetLastError(ERROR_INVALID_PARAMETER);
  return d.result;
}

void WINAPI hook_output_debug_string(LPCWSTR text) {
  if (g_quiet) return;
  Lock lock;
  g_debug.emplace_back(text ? text : L"(null)");
}

int WINAPI hook_message_box(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
  Lock lock;
  g_boxes.push_back({text ? text : L"(null)", caption ? caption : L"(null)", type});
  return IDOK;
}

HGLOBAL WINAPI hook_global_alloc(UINT flags, SIZE_T bytes) {
  HGLOBAL h = ::GlobalAlloc(flags, bytes);
  if (h != nullptr) InterlockedIncrement(&g_allocs);
  return h;
}

HGLOBAL WINAPI hook_global_free(HGLOBAL handle) {
  if (handle == nullptr) return nullptr;
  InterlockedIncrement(&g_frees);
  if (g_quiet) return ::GlobalFree(handle);
  const SIZE_T size = GlobalSize(handle);
  void* p = GlobalLock(handle);
  if (p == nullptr) return ::GlobalFree(handle);
  bool pending = false;
  if (size >= sizeof(OVERLAPPED) && size < 2 * sizeof(OVERLAPPED))
    pending = static_cast<OVERLAPPED*>(p)->Internal == 0x103;  // STATUS_PENDING
  std::memset(p, 0xDD, size);
  GlobalUnlock(handle);
  Lock lock;
  if (pending) ++g_freed_pending;
  g_quarantine.push_back({handle, size});
  return nullptr;
}

HANDLE WINAPI hook_create_event(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial,
                                LPCWSTR name) {
  HANDLE h = ::CreateEventW(security, manual, initial, name);
  if (h != nullptr && manual) {
    Lock lock;
    g_request_events.insert(h);
  }
  return h;
}

BOOL WINAPI hook_close_handle(HANDLE handle) {
  {
    Lock lock;
    g_request_events.erase(handle);
  }
  return ::CloseHandle(handle);
}

struct Hook {
  const char* name;
  void* replacement;
  bool patched;
};
Hook g_hooks[] = {
    {"DefineDosDeviceW", reinterpret_cast<void*>(&hook_define_dos_device), false},
    {"OutputDebugStringW", reinterpret_cast<void*>(&hook_output_debug_string), false},
    {"MessageBoxW", reinterpret_cast<void*>(&hook_message_box), false},
    {"GlobalAlloc", reinterpret_cast<void*>(&hook_global_alloc), false},
    {"GlobalFree", reinterpret_cast<void*>(&hook_global_free), false},
    {"CreateEventW", reinterpret_cast<void*>(&hook_create_event), false},
    {"CloseHandle", reinterpret_cast<void*>(&hook_close_handle), false},
};

// Walks the module's import directory and points the named slots at the replacements.
bool patch_imports(HMODULE module, std::string* error) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (Hook& h : g_hooks) h.patched = false;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name;
       ++d) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      for (Hook& h : g_hooks) {
        if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), h.name) != 0) continue;
        DWORD old = 0;
        if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old))
          return false;
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(h.replacement);
        VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
        h.patched = true;
      }
    }
  }
  for (const Hook& h : g_hooks) {
    if (!h.patched) {
      *error = std::string("talven.dll does not import ") + h.name;
      return false;
    }
  }
  return true;
}

}  // namespace

const wchar_t kAdapterPath[] = L"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
const wchar_t kDosName[] = L"Packet_NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
const wchar_t kDeviceFile[] = L"\\\\.\\Packet_NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";

bool check(bool ok, const std::string& name, const std::string& why) {
  if (ok) {
    ++g_pass;
    std::printf("PASS: %s\n", name.c_str());
  } else {
    ++g_fail;
    std::printf("FAIL: %s%s%s\n", name.c_str(), why.empty() ? "" : ": ", why.c_str());
  }
  std::fflush(stdout);
  return ok;
}
int failures() {
  return g_fail;
}
int passes() {
  return g_pass;
}

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c == L'\n') {
      out += "\\n";
    } else if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char esc[12];
      std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(c));
      out += esc;
    }
  }
  return out;
}

bool load_library(std::string* error) {
  if (!g_lock_ready) {
    InitializeCriticalSection(&g_lock);
    g_lock_ready = true;
  }
  g_module = LoadLibraryW(L"talven.dll");
  if (g_module == nullptr) {
    *error = "LoadLibrary(talven.dll) failed with " + std::to_string(GetLastError());
    return false;
  }
  if (!patch_imports(g_module, error)) return false;
  g_decorated.clear();
  g_alias.clear();
  std::string missing;
  for (const OperationName& op : kOperations) {
    const std::string decorated =
        "_" + std::string(op.name) + "@" + std::to_string(4 * op.arguments);
    const std::string alias = "VB_" + std::string(op.name);
    FARPROC d = GetProcAddress(g_module, decorated.c_str());
    FARPROC a = GetProcAddress(g_module, alias.c_str());
    if (d == nullptr) missing += " " + decorated;
    if (a == nullptr) missing += " " + alias;
    g_decorated[op.name] = d;
    g_alias[op.name] = a;
  }
  if (!missing.empty()) {
    *error = "unresolved:" + missing;
    return false;
  }
  return true;
}

void unload_library() {
  if (g_module != nullptr) FreeLibrary(g_module);
  g_module = nullptr;
}

HMODULE library_module() {
  return g_module;
}

void use_names(NameSet set) {
  g_names = set;
}
NameSet names_in_use() {
  return g_names;
}
const char* name_set_label() {
  return g_names == NameSet::Decorated ? "_Name@N" : "VB_Name";
}

FARPROC entry(const char* name) {
  auto& table = g_names == NameSet::Decorated ? g_decorated : g_alias;
  (g_names == NameSet::Decorated ? g_called_decorated : g_called_alias)[name] = true;
  auto it = table.find(name);
  if (it == table.end() || it->second == nullptr) {
    std::printf("FAIL: no entry point for %s\n", name);
    std::fflush(stdout);
    ExitProcess(3);
  }
  return it->second;
}

std::string never_called(NameSet set) {
  const auto& called = set == NameSet::Decorated ? g_called_decorated : g_called_alias;
  std::string missing;
  for (const OperationName& op : kOperations)
    if (called.find(op.name) == called.end()) missing += std::string(" ") + op.name;
  return missing;
}

std::vector<std::wstring> take_debug_strings() {
  Lock lock;
  std::vector<std::wstring> out;
  out.swap(g_debug);
  return out;
}
std::vector<CapturedBox> take_message_boxes() {
  Lock lock;
  std::vector<CapturedBox> out;
  out.swap(g_boxes);
  return out;
}
std::vector<DosDefinition> take_dos_definitions() {
  Lock lock;
  std::vector<DosDefinition> out;
  out.swap(g_dos);
  return out;
}
void set_quiet(bool quiet) {
  InterlockedExchange(&g_quiet, quiet ? 1 : 0);
}
long heap_balance() {
  return g_allocs - g_frees;
}

QuarantineReport release_quarantine() {
  std::vector<Quarantined> blocks;
  QuarantineReport report;
  {
    Lock lock;
    blocks.swap(g_quarantine);
    report.freed_pending = g_freed_pending;
    g_freed_pending = 0;
  }
  report.blocks = static_cast<int>(blocks.size());
  for (const Quarantined& q : blocks) {
    auto* p = static_cast<const uint8_t*>(GlobalLock(q.handle));
    bool changed = p == nullptr;
    for (SIZE_T i = 0; p != nullptr && i < q.size; ++i) changed |= p[i] != 0xDD;
    if (p != nullptr) GlobalUnlock(q.handle);
    if (changed) ++report.overwritten;
    ::GlobalFree(q.handle);
  }
  return report;
}

std::vector<size_t> quarantined_sizes() {
  Lock lock;
  std::vector<size_t> sizes;
  for (const Quarantined& q : g_quarantine) sizes.push_back(q.size);
  return sizes;
}

bool remove_dos_name(const wchar_t* name) {
  auto open = reinterpret_cast<NtOpenSymbolicLinkObjectFn>(
      reinterpret_cast<void (*)()>(ntdll("NtOpenSymbolicLinkObject")));
  auto temporary = reinterpret_cast<NtMakeTemporaryObjectFn>(
      reinterpret_cast<void (*)()>(ntdll("NtMakeTemporaryObject")));
  auto close = reinterpret_cast<NtCloseFn>(reinterpret_cast<void (*)()>(ntdll("NtClose")));
  if (open == nullptr || temporary == nullptr || close == nullptr) return false;
  const std::wstring full = std::wstring(L"\\DosDevices\\") + name;
  UNICODE_STRING link_name;
  unicode(&link_name, full);
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof attributes;
  attributes.ObjectName = &link_name;
  attributes.Attributes = kObjCaseInsensitive;
  HANDLE link = nullptr;
  if (open(&link, kDeleteAccess, &attributes) < 0) return false;
  const LONG status = temporary(link);
  close(link);
  return status >= 0;
}

bool define_dos_name(const wchar_t* name, const wchar_t* target) {
  return create_link(name, target) >= 0;
}

// ---- Control device ----
using namespace talven::vadapter;

bool Control::open() {
  handle_ =
      CreateFileW(reinterpret_cast<const wchar_t*>(kControlUserPath), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  error_ = handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  return handle_ != INVALID_HANDLE_VALUE;
}

void Control::close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

bool Control::io(uint32_t code, const void* in, DWORD in_size, void* out, DWORD out_size) {
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(handle_, code, const_cast<void*>(in), in_size, out, out_size,
                                  &returned, nullptr);
  error_ = ok ? 0 : GetLastError();
  return ok != FALSE;
}

bool Control::reset(uint32_t eeprom_type, uint32_t chip_variant, uint32_t completion_polls,
                    uint32_t rf_type) {
  ResetConfig config{eeprom_type, chip_variant, completion_polls, rf_type};
  return io(CTL_RESET, &config, sizeof config, nullptr, 0);
}
bool Control::add_fault(const FaultRecord& fault) {
  return io(CTL_ADD_FAULT, &fault, sizeof fault, nullptr, 0);
}
bool Control::set_completion(uint32_t target, uint32_t kind, uint32_t error, uint32_t delay_us,
                             int32_t count) {
  CompletionRecord record{target, kind, error, delay_us, count};
  return io(CTL_SET_COMPLETION, &record, sizeof record, nullptr, 0);
}
uint32_t Control::release_held(uint32_t count, uint32_t error) {
  ReleaseRecord record{count, error};
  uint32_t released = 0;
  if (!io(CTL_RELEASE_HELD, &record, sizeof record, &released, sizeof released)) return 0;
  return released;
}
bool Control::state(StateRecord* out) {
  return io(CTL_GET_STATE, nullptr, 0, out, sizeof *out);
}
bool Control::requests(std::vector<RequestEntry>* out, uint32_t* total_out) {
  out->clear();
  std::vector<uint8_t> buffer(sizeof(RequestPage));
  auto* page = reinterpret_cast<RequestPage*>(buffer.data());
  uint32_t next = 0;
  bool complete = true;
  for (;;) {
    if (!io(CTL_READ_REQUESTS, &next, sizeof next, page, sizeof(RequestPage))) return false;
    if (total_out != nullptr) *total_out = page->total;
    if (page->count == 0) break;
    if (page->first > next) complete = false;
    for (uint32_t i = 0; i < page->count && i < kRequestsPerPage; ++i)
      out->push_back(page->entries[i]);
    next = page->first + page->count;
    if (next >= page->total) break;
  }
  return complete;
}
bool Control::clear_requests() {
  return io(CTL_CLEAR_REQUESTS, nullptr, 0, nullptr, 0);
}
bool Control::frames(FramePage* out) {
  return io(CTL_READ_FRAMES, nullptr, 0, out, sizeof *out);
}
bool Control::read_eeprom(EepromRecord* out) {
  return io(CTL_READ_EEPROM, nullptr, 0, out, sizeof *out);
}
bool Control::write_eeprom(uint32_t type, const uint8_t* image) {
  EepromRecord record{};
  record.type = type;
  std::memcpy(record.image, image, type == 2 ? 256 : 128);
  return io(CTL_WRITE_EEPROM, &record, sizeof record, nullptr, 0);
}
bool Control::set_query_word(uint32_t oid, uint32_t value) {
  WordRecord record{oid, value};
  return io(CTL_SET_QUERY_WORD, &record, sizeof record, nullptr, 0);
}
bool Control::queue_rx_frame(const uint8_t* bytes, uint32_t size) {
  std::vector<uint8_t> buffer(sizeof(FrameRecord));
  auto* record = reinterpret_cast<FrameRecord*>(buffer.data());
  record->size = size;
  std::memcpy(record->bytes, bytes, size);
  return io(CTL_QUEUE_RX_FRAME, record, sizeof(FrameRecord), nullptr, 0);
}
bool Control::set_register(uint32_t file, uint32_t address, uint32_t value) {
  RegisterRecord record{file, address, value};
  return io(CTL_SET_REGISTER, &record, sizeof record, nullptr, 0);
}
bool Control::get_register(uint32_t file, uint32_t address, uint32_t* value) {
  RegisterRecord record{file, address, 0};
  if (!io(CTL_GET_REGISTER, &record, sizeof record, &record, sizeof record)) return false;
  *value = record.value;
  return true;
}
bool Control::set_addresses(const uint8_t mac[6], const uint8_t permanent[6]) {
  AddressRecord record{};
  std::memcpy(record.mac_address, mac, 6);
  std::memcpy(record.permanent_address, permanent, 6);
  return io(CTL_SET_ADDRESSES, &record, sizeof record, nullptr, 0);
}
bool Control::wait_idle(DWORD ms) {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  const double end = now_ms() + ms;
  StateRecord s{};
  do {
    if (state(&s) && s.pending == 0) return true;
    Sleep(10);
  } while (now_ms() < end);
  return false;
}

// ---- Worker ----
Worker::~Worker() {
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
  drop_(fn_);
}
bool Worker::wait(DWORD ms) {
  return thread_ != nullptr && WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0;
}
DWORD WINAPI Worker::start(void* self) {
  auto* w = static_cast<Worker*>(self);
  w->result_ = w->run_(w->fn_);
  return 0;
}

long request_events() {
  Lock lock;
  return long(g_request_events.size());
}

long handle_count() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return long(count);
  struct Entry {
    ULONG pid;
    BYTE type, flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
  };
  using QueryFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  auto query =
      reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(ntdll("NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<uint8_t> buffer(1 << 16);
  for (;;) {
    ULONG returned = 0;
    const LONG status = query(16, buffer.data(), ULONG(buffer.size()), &returned);  // handles
    if (status == LONG(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status < 0) return -1;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* e = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
    long mine = 0;
    for (ULONG i = 0; i < entries; ++i) mine += e[i].pid == GetCurrentProcessId();
    return mine;
  }
}

double now_ms() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace wintest
