// The operation cases both end-to-end harnesses run, as data: the 64-bit talven.dll under Wine
// against the kernel-mode virtual adapter (tests/windows) and the 32-bit talven.dll in the x86-32
// emulator against the same device model (i686_emulator). Each case scripts the adapter with the
// virtual adapter's control records, calls operations by name, and states by hand the requests
// the adapter must receive (byte for byte), the result, the debug strings, the caller's outputs
// and the adapter's state afterwards. Every harness runs every case under both name sets.
// Portable C++17: no OS headers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "virtual_adapter/control_protocol.h"

namespace talven::cases {

// ---- Requests as the adapter device must receive them ----
// The control code, the transfer size (input and output alike) and the bytes that are not zero;
// everything else zero.
struct Expect {
  uint32_t code = 0;
  uint32_t size = 0;
  std::vector<std::pair<uint32_t, uint32_t>> words;              // record offset -> 32-bit value
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> bytes;  // record offset -> bytes
};
Expect set_request(uint32_t oid, uint32_t length, std::initializer_list<uint32_t> params = {});
Expect query_request(uint32_t oid, uint32_t length, std::initializer_list<uint32_t> params = {});
Expect status_query();
Expect eeprom_read(uint32_t offset, uint32_t width);
Expect eeprom_write(uint32_t offset, uint32_t width, uint32_t value);
Expect reset_request();
// An async command: the request, then `polls` status queries.
std::vector<Expect> command(const Expect& request, int polls = 1);
std::vector<Expect> concat(std::initializer_list<std::vector<Expect>> parts);

// The OID and reset requests of `log` (other codes are left out) against `want`; "" when equal.
// `total` is how many requests were logged since the clear: a log that kept only the newest
// is checked by its count and the tail it kept.
std::string compare_requests(const std::vector<talven::vadapter::RequestEntry>& log, uint32_t total,
                             const std::vector<Expect>& want);
std::string compare_strings(const std::vector<std::u16string>& got,
                            const std::vector<std::u16string>& want);
std::string hex(uint64_t value);
std::string printable(const std::u16string& text);  // control characters as \n, \xNN

// ---- The caller's side ----
// Outputs go into one area of the caller's memory, prefilled with 0xEE before every case.
constexpr uint32_t kOutputArea = 4096;
constexpr uint32_t kWord = 0;   // a 32-bit output
constexpr uint32_t kCount = 4;  // a second 32-bit output
constexpr uint32_t kHigh = 8;   // 8-bit outputs
constexpr uint32_t kLow = 9;
constexpr uint32_t kBytes = 16;    // byte outputs (images, addresses, tables): up to 300
constexpr uint32_t kFrame = 1024;  // a receive buffer of 2000 bytes

// An argument as the harness makes it concrete.
struct Arg {
  enum Kind {
    Value,    // the 32-bit value
    Adapter,  // the adapter the harness opened
    Null,     // a null pointer
    Out,      // a pointer into the output area, at `value`
    In,       // a pointer to `bytes` in the caller's memory
    Earlier,  // the pointer an earlier step returned (its index in `value`)
  } kind = Value;
  uint32_t value = 0;
  std::vector<uint8_t> bytes;
};
inline Arg V(uint32_t v) {
  return {Arg::Value, v, {}};
}
inline Arg A() {
  return {Arg::Adapter, 0, {}};
}
inline Arg N() {
  return {Arg::Null, 0, {}};
}
inline Arg O(uint32_t at) {
  return {Arg::Out, at, {}};
}
inline Arg In(std::vector<uint8_t> bytes) {
  return {Arg::In, 0, std::move(bytes)};
}
inline Arg E(uint32_t step) {
  return {Arg::Earlier, step, {}};
}

// One call of an operation through the name set in use. The pseudo-operation "@PacketLength"
// (args: E(step), O(at)) copies the Length field of an earlier step's Packet into the output
// area, as the caller would read it.
struct Step {
  std::string op;
  std::vector<Arg> args;
};

// 32-bit little-endian bytes of a word, for expected outputs.
std::vector<uint8_t> le32(uint32_t value);

struct Case {
  std::string label;
  // The adapter: power-on state, then the script.
  talven::vadapter::ResetConfig reset{2, 0, 0, 0};
  std::vector<talven::vadapter::FaultRecord> faults;
  std::vector<talven::vadapter::WordRecord> query_words;
  std::vector<talven::vadapter::RegisterRecord> registers;
  std::vector<uint8_t> eeprom;  // written with reset.eeprom_type when not empty
  std::vector<std::vector<uint8_t>> rx_frames;
  bool addresses_set = false;
  talven::vadapter::AddressRecord addresses{};
  // Calls made through the other name set before the request log is cleared.
  std::vector<Step> prepare;
  // The calls; the result of steps[result_step] is the case's result (8 bits for BOOLEAN).
  std::vector<Step> steps;
  size_t result_step = 0;
  uint32_t result = 0;
  bool result8 = false;
  std::vector<Expect> requests;
  std::vector<std::u16string> debug;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> outputs;  // output area offset -> bytes
  // The adapter afterwards.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> eeprom_after;  // EEPROM offset -> bytes
  std::vector<uint8_t> mac_after;
  std::vector<uint8_t> cis_after;  // with its length
  int64_t filter_after = -1;
  int64_t resets_after = -1;
};

// Every case, in order.
const std::vector<Case>& operation_cases();

// The operations and their argument counts, by the name without decoration: the harnesses call
// _Name@N (N = 4 x count) and VB_Name.
struct Operation {
  const char* name;
  int args;
};
const std::vector<Operation>& operations();
int argument_count(const std::string& op);  // -1 for an unknown name

}  // namespace talven::cases
