#include "i686_emulator/runner.h"

#include <cstdio>
#include <cstring>

#include "tests/cases/operation_cases.h"
#include "win32sim/machine.h"

namespace emu {

using talven::cases::hex;

const std::u16string Harness::kAdapterPath =
    u"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
const std::u16string Harness::kDosName = u"Packet_NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";

namespace {

constexpr uint32_t kCallerCode = 0x00500000;  // the calling program's own code
constexpr uint32_t kCallerCodeSize = 0x00100000;
constexpr uint32_t kCallerData = layout::kCaller + 0x2000;  // after the output area

// REG_MULTI_SZ: the strings, each with its NUL, and the empty string that ends the list.
std::vector<uint8_t> multi_string(const std::u16string& item) {
  std::vector<uint8_t> bytes;
  for (char16_t c : item) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  for (int i = 0; i < 4; ++i) bytes.push_back(0);
  return bytes;
}

}  // namespace

// ---- Report ----

bool Report::check(bool ok, const std::string& name, const std::string& why) {
  if (ok) {
    ++passed_;
    if (!quiet) std::printf("PASS: emulator: %s\n", name.c_str());
  } else {
    ++failed_;
    std::printf("FAIL: emulator: %s: %s\n", name.c_str(), why.c_str());
  }
  std::fflush(stdout);
  return ok;
}

void Report::group(const std::string& name, const Mark& start) {
  const int n = checks() - start.checks, failed = failed_ - start.failed;
  if (failed == 0)
    std::printf("PASS: emulator: %s (%d checks)\n", name.c_str(), n);
  else
    std::printf("FAILED GROUP: emulator: %s (%d of %d checks failed)\n", name.c_str(), failed, n);
  std::fflush(stdout);
}

// ---- Balance ----

std::string Balance::compare(const Balance& before) const {
  std::string why;
  auto field = [&](const char* name, uint64_t was, uint64_t now) {
    if (was != now)
      why += std::string(name) + " " + std::to_string(was) + " -> " + std::to_string(now) + "; ";
  };
  field("global heap blocks", before.global_blocks, global_blocks);
  field("global heap bytes", before.global_bytes, global_bytes);
  field("C runtime blocks", before.crt_blocks, crt_blocks);
  field("C runtime bytes", before.crt_bytes, crt_bytes);
  std::map<std::string, size_t> kinds = before.handles;
  for (const auto& e : handles) kinds[e.first];
  for (const auto& e : kinds) {
    const auto it = handles.find(e.first);
    field((e.first + " handles").c_str(), e.second, it == handles.end() ? 0 : it->second);
  }
  field("threads", before.threads, threads);
  field("module references", uint64_t(before.module_references), uint64_t(module_references));
  field("pending requests", before.pending_io, pending_io);
  field("registry keys open", before.registry_keys, registry_keys);
  field("service handles open", before.service_handles, service_handles);
  field("critical sections", before.critical_sections, critical_sections);
  field("TLS slots", before.tls_slots, tls_slots);
  return why;
}

// ---- Harness ----

Harness::Harness(const PeImage& image, uint32_t base, const Options& options, Report& report)
    : process_(std::make_unique<Process>(options)), report_(report), base_(base) {
  // The machine: the packet driver's service (stopped), its Linkage key listing the adapter,
  // and the adapter's device without a DOS name (OpenDUT's first open takes the fallback).
  win32sim::reset_machine();
  win32sim::reg_set_value(u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage", u"Export", 7,
                          multi_string(kAdapterPath));
  win32sim::add_service(u"NORVAKS", win32sim::ServiceConfig{});
  process_->add_adapter(kAdapterPath, talven::vadapter::ResetConfig{2, 0, 0, 0});
  process_->cpu().map(kCallerCode, kCallerCodeSize, kProtRead | kProtExec, "caller code");
  loaded_ = process_->load(image, base, &load_error_);
  for (const std::string& v : process_->take_violations()) load_error_ += "; " + v;
  if (loaded_ && !load_error_.empty()) loaded_ = false;
}

std::string Harness::export_name(const std::string& op) const {
  const int args = talven::cases::argument_count(op);
  if (names == Names::Alias) return "VB_" + op;
  return "_" + op + "@" + std::to_string(4 * (args < 0 ? 0 : args));
}

CallOutcome Harness::call(const std::string& op, const std::vector<uint32_t>& args) {
  const std::string name = export_name(op);
  const uint32_t fn = process_->export_address(name);
  if (fn == 0) {
    process_->violation("no export " + name);
    return {};
  }
  called_.insert(name);
  if (talven::cases::argument_count(op) != int(args.size()))
    process_->violation(name + " called with " + std::to_string(args.size()) + " arguments");
  return process_->call(name, fn, args);
}

void Harness::reset_caller_memory() {
  std::vector<uint8_t> fill(talven::cases::kOutputArea, 0xEE);
  process_->cpu().write(output(), fill.data(), uint32_t(fill.size()));
  caller_next_ = 0;
}

uint32_t Harness::put_bytes(const std::vector<uint8_t>& bytes) {
  const uint32_t at = kCallerData + caller_next_;
  caller_next_ += (uint32_t(bytes.size()) + 15) & ~15u;
  if (!bytes.empty()) process_->cpu().write(at, bytes.data(), uint32_t(bytes.size()));
  return at;
}

uint32_t Harness::put_wide(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return put_bytes(bytes);
}

std::vector<uint8_t> Harness::read(uint32_t address, uint32_t size) {
  std::vector<uint8_t> out(size);
  if (!process_->cpu().read(address, out.data(), size)) out.clear();
  return out;
}

uint32_t Harness::thread_routine(uint32_t fn, const std::vector<uint32_t>& args, uint32_t result) {
  std::vector<uint8_t> code;
  auto imm = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) code.push_back(uint8_t(v >> (8 * i)));
  };
  for (size_t i = args.size(); i-- > 0;) {
    code.push_back(0x68);  // push imm32
    imm(args[i]);
  }
  code.push_back(0xB8);  // mov eax, fn
  imm(fn);
  code.insert(code.end(), {0xFF, 0xD0});  // call eax
  code.push_back(0xA3);                   // mov [result], eax
  imm(result);
  code.insert(code.end(), {0x31, 0xC0, 0xC2, 0x04, 0x00});  // xor eax, eax; ret 4
  const uint32_t at = kCallerCode + code_next_;
  code_next_ += (uint32_t(code.size()) + 15) & ~15u;
  // Fresh addresses every time: code is written once and never changed.
  std::memcpy(process_->cpu().host(at, uint32_t(code.size())), code.data(), code.size());
  return at;
}

Balance Harness::balance() {
  Balance b;
  Process& p = *process_;
  b.global_blocks = p.heap().live_blocks(Heap::Global);
  b.global_bytes = p.heap().live_bytes(Heap::Global);
  b.crt_blocks = p.heap().live_blocks(Heap::Crt);
  b.crt_bytes = p.heap().live_bytes(Heap::Crt);
  b.handles = p.open_handles();
  const auto kept = b.handles.find("request event");
  if (kept != b.handles.end()) {
    b.request_events = kept->second;
    b.handles.erase(kept);
  }
  b.threads = p.live_threads();
  b.module_references = p.module_references();
  b.pending_io = p.pending_io();
  b.registry_keys = win32sim::open_reg_keys();
  b.service_handles = win32sim::open_sc_handles();
  for (const auto& cs : p.critical_sections) b.critical_sections += cs.first < 0xC0000000u;
  b.tls_slots = p.tls_slots.size();
  return b;
}

bool Harness::run_case(const std::string& name, const std::function<std::string()>& body,
                       const std::function<void(Balance&)>& allowed) {
  ++cases_;
  reset_caller_memory();
  process_->take_violations();
  Balance before = balance();
  std::string why = body();
  if (allowed) allowed(before);
  const Balance after = balance();
  const std::string leaks = after.compare(before);
  if (!leaks.empty()) why += (why.empty() ? "" : "; ") + std::string("left behind: ") + leaks;
  // One request in flight at a time keeps one event; a case with a few beside each other a few.
  if (after.request_events > 4)
    why +=
        (why.empty() ? "" : "; ") + std::to_string(after.request_events) + " request events kept";
  for (const std::string& v : process_->take_violations()) why += (why.empty() ? "" : "; ") + v;
  return report_.check(why.empty(), name, why);
}

// ---- The shared operation cases ----

namespace {

namespace tc = talven::cases;

// Scripts the adapter as the Windows suite's control device does.
void prepare_adapter(Process& p, const tc::Case& c) {
  vadapter::ModelHost& a = p.adapter();
  a.reset(c.reset);
  for (const auto& f : c.faults) a.add_fault(f);
  for (const auto& w : c.query_words) a.set_query_word(w.oid, w.value);
  for (const auto& r : c.registers) a.set_register(r.file, r.address, r.value);
  if (!c.eeprom.empty()) {
    talven::vadapter::EepromRecord e{};
    e.type = c.reset.eeprom_type;
    std::memcpy(e.image, c.eeprom.data(), std::min(c.eeprom.size(), sizeof e.image));
    a.write_eeprom(e);
  }
  for (const auto& f : c.rx_frames) a.queue_rx_frame(f.data(), uint32_t(f.size()));
  if (c.addresses_set) a.set_addresses(c.addresses);
}

std::vector<talven::vadapter::RequestEntry> request_log(vadapter::ModelHost& a, uint32_t* total) {
  std::vector<talven::vadapter::RequestEntry> all;
  auto page = std::make_unique<talven::vadapter::RequestPage>();
  uint32_t first = 0;
  for (;;) {
    a.read_requests(first, page.get());
    *total = page->total;
    for (uint32_t i = 0; i < page->count; ++i) all.push_back(page->entries[i]);
    if (page->count == 0 || page->first + page->count >= page->total) break;
    first = page->first + page->count;
  }
  return all;
}

// The arguments of one step, in guest terms; false when an earlier result it needs is null.
std::vector<uint32_t> arguments(Harness& h, const tc::Step& s,
                                const std::vector<uint32_t>& results) {
  std::vector<uint32_t> out;
  for (const tc::Arg& a : s.args) {
    switch (a.kind) {
      case tc::Arg::Value:
        out.push_back(a.value);
        break;
      case tc::Arg::Adapter:
        out.push_back(h.adapter);
        break;
      case tc::Arg::Null:
        out.push_back(0);
        break;
      case tc::Arg::Out:
        out.push_back(h.output() + a.value);
        break;
      case tc::Arg::In:
        out.push_back(h.put_bytes(a.bytes));
        break;
      case tc::Arg::Earlier:
        out.push_back(a.value < results.size() ? results[a.value] : 0);
        break;
    }
  }
  return out;
}

// Runs the steps; returns the results of each, in order.
std::vector<uint32_t> run_steps(Harness& h, const std::vector<tc::Step>& steps) {
  std::vector<uint32_t> results;
  for (const tc::Step& s : steps) {
    const std::vector<uint32_t> args = arguments(h, s, results);
    if (s.op == "@PacketLength") {
      // The i686 Packet: Reserved, the 20-byte OVERLAPPED, Buffer, then Length at 28.
      const uint32_t length = h.process().cpu().read32(args[0] + 28);
      h.process().cpu().write32(args[1], length);
      results.push_back(0);
      continue;
    }
    results.push_back(h.call(s.op, args).eax);
  }
  return results;
}

std::string run_one(Harness& h, const tc::Case& c) {
  Process& p = h.process();
  vadapter::ModelHost& a = p.adapter();
  prepare_adapter(p, c);
  if (!c.prepare.empty()) {
    const Names mine = h.names;
    h.names = mine == Names::Decorated ? Names::Alias : Names::Decorated;
    run_steps(h, c.prepare);
    h.names = mine;
  }
  a.clear_requests();
  p.debug_strings.clear();
  const std::vector<uint32_t> results = run_steps(h, c.steps);
  std::string why;
  auto add = [&](const std::string& what, const std::string& diff) {
    if (!diff.empty()) why += (why.empty() ? "" : "; ") + what + ": " + diff;
  };
  uint32_t result = c.result_step < results.size() ? results[c.result_step] : 0xBAD;
  if (c.result8) result &= 0xFF;
  if (result != c.result) add("result", hex(result) + ", want " + hex(c.result));
  uint32_t total = 0;
  const auto log = request_log(a, &total);
  add("requests as the adapter received them", tc::compare_requests(log, total, c.requests));
  add("debug strings", tc::compare_strings(p.debug_strings, c.debug));
  for (const auto& [at, want] : c.outputs) {
    const std::vector<uint8_t> got = h.read(h.output() + at, uint32_t(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
      if (got[i] == want[i]) continue;
      add("outputs", "byte " + std::to_string(at + i) + " of the output area is " + hex(got[i]) +
                         ", want " + hex(want[i]));
      break;
    }
  }
  if (!c.eeprom_after.empty()) {
    talven::vadapter::EepromRecord e{};
    a.read_eeprom(&e);
    for (const auto& [at, want] : c.eeprom_after)
      for (size_t i = 0; i < want.size(); ++i)
        if (e.image[at + i] != want[i]) {
          add("EEPROM", "byte " + std::to_string(at + i) + " is " + hex(e.image[at + i]) +
                            ", want " + hex(want[i]));
          break;
        }
  }
  talven::vadapter::StateRecord s{};
  a.fill_state(&s);
  if (!c.mac_after.empty() && std::memcmp(s.mac_address, c.mac_after.data(), 6) != 0)
    add("adapter's address", "differs");
  if (!c.cis_after.empty() && (s.cis_length != c.cis_after.size() ||
                               std::memcmp(s.cis, c.cis_after.data(), c.cis_after.size()) != 0))
    add("adapter's CIS", "length " + std::to_string(s.cis_length) + " or bytes differ");
  if (c.filter_after >= 0 && s.packet_filter != uint32_t(c.filter_after))
    add("adapter's filter", hex(s.packet_filter));
  if (c.resets_after >= 0 && s.adapter_resets != uint32_t(c.resets_after))
    add("adapter resets", std::to_string(s.adapter_resets));
  return why;
}

}  // namespace

void run_operation_cases(Harness& h) {
  const Report::Mark before = h.report().mark();
  for (Names set : {Names::Decorated, Names::Alias}) {
    h.names = set;
    const std::string tag = set == Names::Decorated ? " [_Name@N]" : " [VB_Name]";
    for (const tc::Case& c : tc::operation_cases())
      h.run_case(c.label + tag, [&] { return run_one(h, c); });
  }
  h.names = Names::Decorated;
  h.report().group("operation cases by both names at base " + hex(h.base()), before);
}

}  // namespace emu
