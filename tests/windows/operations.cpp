// Every operation by both names, from the case table the i686 emulator runs too
// (tests/cases/operation_cases.h): the adapter scripted through the control device, the calls,
// then the requests the adapter device received byte for byte, the result, the debug strings,
// the caller's outputs and the adapter's state.
#include <cstring>

#include "tests/cases/operation_cases.h"
#include "tests/windows/cases.h"

namespace wintest {

namespace {

namespace tc = talven::cases;

// The calling program's memory for one case: the output area, prefilled with 0xEE, and the
// inputs the case hands over.
alignas(16) uint8_t g_output[tc::kOutputArea];
std::vector<std::vector<uint8_t>> g_inputs;

// Pointer-returning operations; every other result is a 32-bit integer in EAX.
bool returns_pointer(const std::string& op) {
  return op == "OpenDUT" || op == "PacketAllocatePacket";
}

// Calls an operation through the name set in use. On x86_64 the first four arguments travel in
// 64-bit registers whatever their C type, and a 32-bit parameter reads the low half: one
// signature serves every operation.
uintptr_t invoke(const std::string& op, const std::vector<uintptr_t>& args) {
  uintptr_t a[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < args.size() && i < 4; ++i) a[i] = args[i];
  using Fn = uintptr_t(WINAPI*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
  const uintptr_t r =
      reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry(op.c_str())))(a[0], a[1], a[2], a[3]);
  return returns_pointer(op) ? r : uint32_t(r);
}

uintptr_t argument(Env& env, const tc::Arg& a, const std::vector<uintptr_t>& results) {
  switch (a.kind) {
    case tc::Arg::Value:
      return a.value;
    case tc::Arg::Adapter:
      return reinterpret_cast<uintptr_t>(env.adapter);
    case tc::Arg::Null:
      return 0;
    case tc::Arg::Out:
      return reinterpret_cast<uintptr_t>(g_output + a.value);
    case tc::Arg::In:
      g_inputs.push_back(a.bytes);
      g_inputs.back().push_back(0);  // never an empty buffer
      return reinterpret_cast<uintptr_t>(g_inputs.back().data());
    case tc::Arg::Earlier:
      return a.value < results.size() ? results[a.value] : 0;
  }
  return 0;
}

std::vector<uintptr_t> run_steps(Env& env, const std::vector<tc::Step>& steps) {
  std::vector<uintptr_t> results;
  for (const tc::Step& s : steps) {
    std::vector<uintptr_t> args;
    for (const tc::Arg& a : s.args) args.push_back(argument(env, a, results));
    if (s.op == "@PacketLength") {
      const ULONG length = reinterpret_cast<const Packet*>(args[0])->Length;
      std::memcpy(reinterpret_cast<void*>(args[1]), &length, sizeof length);
      results.push_back(0);
      continue;
    }
    results.push_back(invoke(s.op, args));
  }
  return results;
}

void prepare(Env& env, const tc::Case& c) {
  env.control.reset(c.reset.eeprom_type, c.reset.chip_variant, c.reset.completion_polls,
                    c.reset.rf_type);
  for (const auto& f : c.faults) env.control.add_fault(f);
  for (const auto& w : c.query_words) env.control.set_query_word(w.oid, w.value);
  for (const auto& r : c.registers) env.control.set_register(r.file, r.address, r.value);
  if (!c.eeprom.empty()) {
    std::vector<uint8_t> image(c.eeprom);
    image.resize(256, 0xFF);
    env.control.write_eeprom(c.reset.eeprom_type, image.data());
  }
  for (const auto& f : c.rx_frames) env.control.queue_rx_frame(f.data(), uint32_t(f.size()));
  if (c.addresses_set)
    env.control.set_addresses(c.addresses.mac_address, c.addresses.permanent_address);
  if (!c.prepare.empty()) {
    const NameSet mine = names_in_use();
    use_names(mine == NameSet::Decorated ? NameSet::Alias : NameSet::Decorated);
    run_steps(env, c.prepare);
    use_names(mine);
  }
}

std::vector<std::u16string> as_u16(const std::vector<std::wstring>& strings) {
  std::vector<std::u16string> out;
  for (const std::wstring& s : strings) out.emplace_back(s.begin(), s.end());
  return out;
}

std::string check_adapter(Env& env, const tc::Case& c) {
  std::string why;
  if (!c.eeprom_after.empty()) {
    talven::vadapter::EepromRecord e{};
    env.control.read_eeprom(&e);
    for (const auto& [at, want] : c.eeprom_after)
      for (size_t i = 0; i < want.size(); ++i)
        if (e.image[at + i] != want[i]) {
          why += "EEPROM byte " + std::to_string(at + i) + " " + hex(e.image[at + i]) + ", want " +
                 hex(want[i]) + "; ";
          break;
        }
  }
  talven::vadapter::StateRecord s{};
  env.control.state(&s);
  if (!c.mac_after.empty() && std::memcmp(s.mac_address, c.mac_after.data(), 6) != 0)
    why += "adapter's address differs; ";
  if (!c.cis_after.empty() && (s.cis_length != c.cis_after.size() ||
                               std::memcmp(s.cis, c.cis_after.data(), c.cis_after.size()) != 0))
    why += "adapter's CIS (length " + std::to_string(s.cis_length) + ") differs; ";
  if (c.filter_after >= 0 && s.packet_filter != uint32_t(c.filter_after))
    why += "adapter's filter " + hex(s.packet_filter) + "; ";
  if (c.resets_after >= 0 && s.adapter_resets != uint32_t(c.resets_after))
    why += "adapter resets " + std::to_string(s.adapter_resets) + "; ";
  return why;
}

}  // namespace

void run_operation_checks(Env& env) {
  for (NameSet set : {NameSet::Decorated, NameSet::Alias}) {
    use_names(set);
    for (const tc::Case& c : tc::operation_cases()) {
      const std::string name = c.label + " [" + name_set_label() + "]";
      run_case(env, name, [&] {
        std::memset(g_output, 0xEE, sizeof g_output);
        g_inputs.clear();
        g_inputs.reserve(64);
        prepare(env, c);
        env.control.clear_requests();
        take_debug_strings();
        const std::vector<uintptr_t> results = run_steps(env, c.steps);
        uint32_t result = c.result_step < results.size() ? uint32_t(results[c.result_step]) : 0xBAD;
        if (c.result8) result &= 0xFF;
        check(result == c.result, name + ": result",
              "got " + hex(result) + ", want " + hex(c.result));
        std::vector<talven::vadapter::RequestEntry> log;
        uint32_t total = 0;
        env.control.requests(&log, &total);
        const std::string requests = tc::compare_requests(log, total, c.requests);
        check(requests.empty(), name + ": requests as the adapter received them", requests);
        const std::string strings = tc::compare_strings(as_u16(take_debug_strings()), c.debug);
        check(strings.empty(), name + ": debug strings", strings);
        std::string outputs;
        for (const auto& [at, want] : c.outputs)
          for (size_t i = 0; i < want.size(); ++i)
            if (g_output[at + i] != want[i]) {
              outputs += "byte " + std::to_string(at + i) + " " + hex(g_output[at + i]) +
                         ", want " + hex(want[i]) + "; ";
              break;
            }
        outputs += check_adapter(env, c);
        check(outputs.empty(), name + ": outputs and the adapter's state", outputs);
      });
    }
  }
  use_names(NameSet::Decorated);
}

}  // namespace wintest
