#include "tests/cases/operation_cases.h"

#include <cstdio>
#include <tuple>

namespace talven::cases {

namespace vad = talven::vadapter;

// ---- Requests ----

namespace {

void put(Expect* e, uint32_t offset, uint32_t value) {
  e->words.emplace_back(offset, value);
}

Expect request(uint32_t code, uint32_t oid, uint32_t length,
               std::initializer_list<uint32_t> params) {
  Expect e;
  e.code = code;
  e.size = 303 + length;
  put(&e, 0, oid);
  put(&e, 4, length);
  uint32_t offset = 8;
  for (uint32_t p : params) {
    put(&e, offset, p);
    offset += 4;
  }
  return e;
}

uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string describe(const vad::RequestEntry& e) {
  std::string s = "code " + hex(e.code) + " size " + std::to_string(e.in_size) + "/" +
                  std::to_string(e.out_size);
  if (e.in_size >= 8)
    s += " oid " + hex(u32(e.bytes)) + " length " + std::to_string(u32(e.bytes + 4));
  return s;
}

std::string compare_one(const vad::RequestEntry& got, const Expect& want, size_t index) {
  const std::string at = "request " + std::to_string(index) + " (" + describe(got) + "): ";
  if (got.code != want.code) return at + "code, want " + hex(want.code);
  if (got.in_size != want.size || got.out_size != want.size)
    return at + "size, want " + std::to_string(want.size) + " each way";
  std::vector<uint8_t> image(want.size < vad::kLoggedBytes ? want.size : vad::kLoggedBytes, 0);
  for (const auto& [offset, value] : want.words)
    for (uint32_t i = 0; i < 4; ++i)
      if (offset + i < image.size()) image[offset + i] = uint8_t(value >> (8 * i));
  for (const auto& [offset, bytes] : want.bytes)
    for (size_t i = 0; i < bytes.size(); ++i)
      if (offset + i < image.size()) image[offset + i] = bytes[i];
  for (size_t i = 0; i < image.size(); ++i) {
    if (got.bytes[i] == image[i]) continue;
    const size_t word = i & ~size_t(3);
    return at + "byte " + std::to_string(i) + " is " + hex(got.bytes[i]) + ", want " +
           hex(image[i]) + " (word at " + std::to_string(word) + ": " + hex(u32(got.bytes + word)) +
           ")";
  }
  return "";
}

}  // namespace

Expect set_request(uint32_t oid, uint32_t length, std::initializer_list<uint32_t> params) {
  return request(0x80000000u, oid, length, params);
}
Expect query_request(uint32_t oid, uint32_t length, std::initializer_list<uint32_t> params) {
  return request(0x80000004u, oid, length, params);
}
Expect status_query() {
  return query_request(0xFF4E5280u, 16);
}
Expect eeprom_read(uint32_t offset, uint32_t width) {
  return set_request(0xFF4D1022u, 12, {offset, width, 0xFFFFFFFFu});
}
Expect eeprom_write(uint32_t offset, uint32_t width, uint32_t value) {
  Expect e = set_request(0xFF4D1021u, 12);
  put(&e, 48, offset);
  put(&e, 52, width);
  put(&e, 56, value);
  return e;
}
Expect reset_request() {
  Expect e;
  e.code = 0x80000008u;
  e.size = 0;
  return e;
}
std::vector<Expect> command(const Expect& request, int polls) {
  std::vector<Expect> out{request};
  for (int i = 0; i < polls; ++i) out.push_back(status_query());
  return out;
}
std::vector<Expect> concat(std::initializer_list<std::vector<Expect>> parts) {
  std::vector<Expect> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::string compare_requests(const std::vector<vad::RequestEntry>& log, uint32_t total,
                             const std::vector<Expect>& want) {
  std::vector<vad::RequestEntry> got;
  for (const auto& e : log)
    if (e.code == 0x80000000u || e.code == 0x80000004u || e.code == 0x80000008u) got.push_back(e);
  if (total == log.size()) {
    if (got.size() != want.size()) {
      std::string s = std::to_string(got.size()) + " requests, want " + std::to_string(want.size());
      if (!got.empty()) s += "; first: " + describe(got.front());
      if (got.size() > 1) s += "; last: " + describe(got.back());
      return s;
    }
    for (size_t i = 0; i < got.size(); ++i) {
      std::string diff = compare_one(got[i], want[i], i);
      if (!diff.empty()) return diff;
    }
    return "";
  }
  // The log kept only the newest requests: the count must match, and the tail it kept.
  if (total != want.size())
    return std::to_string(total) + " requests logged, want " + std::to_string(want.size());
  if (got.size() != log.size()) return "log lost requests and holds other requests";
  const size_t skip = want.size() - got.size();
  for (size_t i = 0; i < got.size(); ++i) {
    std::string diff = compare_one(got[i], want[skip + i], skip + i);
    if (!diff.empty()) return diff;
  }
  return "";
}

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string printable(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c == u'\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(char(c));
    } else {
      char esc[12];
      std::snprintf(esc, sizeof esc, "\\x%02X", unsigned(c));
      out += esc;
    }
  }
  return out;
}

std::string compare_strings(const std::vector<std::u16string>& got,
                            const std::vector<std::u16string>& want) {
  for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
    if (i < got.size() && i < want.size() && got[i] == want[i]) continue;
    return "string " + std::to_string(i) + " is \"" +
           (i < got.size() ? printable(got[i]) : std::string("(none)")) + "\", want \"" +
           (i < want.size() ? printable(want[i]) : std::string("(none)")) + "\" (" +
           std::to_string(got.size()) + " strings, want " + std::to_string(want.size()) + ")";
  }
  return "";
}

std::vector<uint8_t> le32(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// ---- The operations ----

const std::vector<Operation>& operations() {
  static const std::vector<Operation> all = {
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
  return all;
}

int argument_count(const std::string& op) {
  for (const Operation& o : operations())
    if (op == o.name) return o.args;
  return -1;
}

// ---- The cases ----

namespace {

std::vector<uint8_t> pattern_image() {
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 37 + 11);
  return image;
}

// A scripted fault on one OID, for every matching request.
vad::FaultRecord fault(uint32_t oid, uint32_t mode, uint32_t result = 0) {
  return {oid, mode, 0, 0, -1, result};
}

const std::u16string kRead2In = u"==>TALVEN: ReadEEprom2Byte\n";
const std::u16string kRead2Out = u"<==TALVEN: ReadEEprom2Byte\n";

std::vector<std::u16string> word_read_traces(int words) {
  std::vector<std::u16string> s;
  for (int i = 0; i < words; ++i) {
    s.push_back(kRead2In);
    s.push_back(kRead2Out);
  }
  return s;
}

// The power-control table's EEPROM image: a few distinct entries, zero elsewhere.
std::vector<uint8_t> power_image() {
  std::vector<uint8_t> image(256, 0);
  image[44] = 0x21;  // channel 1
  image[45] = 0x43;  // channel 2
  image[54] = 0x65;  // channel 11 (standard placement) / one of the variant's bytes
  image[55] = 0x87;  // channel 12 (standard placement)
  image[20] = 0xA9;  // the variant's other byte
  image[32] = 0x5A;  // channel 36
  image[43] = 0xC3;  // channel 161
  return image;
}

std::vector<Expect> power_reads(bool variant) {
  std::vector<Expect> r{query_request(0xFF0101CBu, 28)};
  auto word = [&](uint32_t offset) {
    r.push_back(eeprom_read(offset, 2));
    r.push_back(status_query());
  };
  auto byte = [&](uint32_t offset) {
    r.push_back(eeprom_read(offset, 1));
    r.push_back(status_query());
  };
  for (uint32_t o : {44u, 46u, 48u, 122u, 124u}) word(o);
  if (variant) {
    byte(54);
    byte(20);
  } else {
    word(54);
  }
  for (uint32_t o : {56u, 32u, 34u, 36u, 38u, 40u, 42u}) word(o);
  return r;
}

std::vector<uint8_t> bytes_of(const uint8_t* p, size_t n) {
  return std::vector<uint8_t>(p, p + n);
}

Case simple(std::string label, std::string op, std::vector<Arg> args, uint32_t result,
            std::vector<Expect> requests, std::vector<std::u16string> debug = {}) {
  Case c;
  c.label = std::move(label);
  c.steps = {{std::move(op), std::move(args)}};
  c.result = result;
  c.requests = std::move(requests);
  c.debug = std::move(debug);
  return c;
}

// A refused argument: result 0, nothing sent, one debug string.
Case refused(std::string label, std::string op, std::vector<Arg> args, std::u16string debug,
             uint32_t result = 0) {
  return simple(std::move(label), std::move(op), std::move(args), result, {}, {std::move(debug)});
}

std::u16string wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

void add_test_control(std::vector<Case>& c) {
  auto one = [](uint32_t oid, uint32_t value) { return set_request(oid, 4, {value}); };
  c.push_back(simple(
      "StartTest", "StartTest", {A()}, 1, command(one(0xFF4D1002u, 0)),
      {u"==>TALVEN: StartTest()\n", u"TALVEN: StartTest success.\n", u"<==TALVEN: StartTest()\n"}));
  {
    Case t = simple(
        "StartTest, command never finishes: 101 status queries", "StartTest", {A()}, 0,
        command(one(0xFF4D1002u, 0), 101),
        {u"==>TALVEN: StartTest()\n", u"TALVEN: StartTest failed.\n", u"<==TALVEN: StartTest()\n"});
    t.faults = {fault(0xFF4D1002u, vad::kNeverComplete)};
    c.push_back(t);
  }
  {
    Case t = simple(
        "StartTest, request fails: no wait", "StartTest", {A()}, 0, {one(0xFF4D1002u, 0)},
        {u"==>TALVEN: StartTest()\n", u"TALVEN: StartTest failed.\n", u"<==TALVEN: StartTest()\n"});
    t.faults = {fault(0xFF4D1002u, vad::kFailRequest)};
    c.push_back(t);
  }
  c.push_back(simple("StopTest", "StopTest", {A()}, 1, {one(0xFF4D1003u, 0)},
                     {u"==>TALVEN: StopTest()\n", u"<==TALVEN: StopTest()\n"}));

  // Immediate one-word commands: values pass bit for bit.
  struct Immediate {
    const char* name;
    uint32_t oid;
    bool has_arg;
    uint32_t value;
  };
  for (const Immediate& m : {Immediate{"ResetDUT", 0xFF4D1000u, false, 0},
                             Immediate{"SetPreamble", 0xFF4D1004u, true, 0x80000001u},
                             Immediate{"SetFilterBB", 0xFF4D1006u, true, 3},
                             Immediate{"SetManualDiversityBB", 0xFF4D1007u, true, 0xFFFFFFFFu},
                             Immediate{"SetSleepModeDirectCall", 0xFF4D1009u, false, 0},
                             Immediate{"SetWakeModeDirectCall", 0xFF4D100Au, false, 0},
                             Immediate{"SetTxAntennaBB", 0xFF4D100Du, true, 2},
                             Immediate{"SetCRScrambler", 0xFF4D100Fu, true, 0x5A},
                             Immediate{"SetCRTxConfig", 0xFF4D1012u, true, 0x12345678u},
                             Immediate{"SetCRSetpoint", 0xFF4D1015u, true, 77},
                             Immediate{"TunePhilipsRfParameters", 0xFF4D102Au, true, 0x101},
                             Immediate{"SetBBRFStandbyMode", 0xFF0111C4u, true, 1},
                             Immediate{"SetBBRFShutdownMode", 0xFF0111C5u, true, 0x7FFFFFFFu},
                             Immediate{"SetTxChargePump", 0xFF0111C6u, true, 6},
                             Immediate{"SetRxChargePump", 0xFF0111C7u, true, 0x10007}}) {
    std::vector<Arg> args{A()};
    if (m.has_arg) args.push_back(V(m.value));
    c.push_back(simple(m.name, m.name, args, 1, {one(m.oid, m.value)}));
  }
  c.push_back(simple("SetIntegrator", "SetIntegrator", {A(), V(0x11), V(0x22)}, 1,
                     {set_request(0xFF4D1016u, 8, {0x11, 0x22})}));
  c.push_back(simple("SetSignalQuality", "SetSignalQuality", {A(), V(0xAAAA5555u), V(9)}, 1,
                     {set_request(0xFF4D1017u, 8, {0xAAAA5555u, 9})}));
  {
    Case t =
        simple("SetPreamble, request fails", "SetPreamble", {A(), V(1)}, 0, {one(0xFF4D1004u, 1)});
    t.faults = {fault(0xFF4D1004u, vad::kFailRequest)};
    c.push_back(t);
  }

  // Asynchronous commands: the request, then the status until it reports finished.
  struct Async {
    const char* name;
    uint32_t oid;
    uint32_t value;
    uint32_t sent;
  };
  for (const Async& m :
       {Async{"SetInitialGain", 0xFF0111C3u, 0x1C, 0x1C}, Async{"SetModulation", 0xFF4D102Fu, 2, 2},
        Async{"SetChannelDirectCall", 0xFF4D1008u, 11, 11},
        Async{"SetDataRate", 0xFF4D1001u, 0x8000006Cu, 0x8000006Cu},
        Async{"SetAntennaBB", 0xFF4D100Eu, 1, 1}, Async{"SetTxPowerControl", 0xFF4D1011u, 63, 63},
        Async{"SetTxContinuousDirectCall", 0xFF4D100Bu, 1, 1},
        Async{"SetSingleCarrierTxContinuous", 0xFF4D100Cu, 0x101, 0x101},
        Async{"SetCarrierSuppressionTxContinuous", 0xFF4D102Bu, 1, 1},
        Async{"SetPacketRxTest", 0xFF4D1030u, 5, 1},
        Async{"SetPacketRxTest", 0xFF4D1030u, 0x80000000u, 1},
        Async{"SetPacketRxTest", 0xFF4D1030u, 0, 0}}) {
    c.push_back(simple(std::string(m.name) + "(" + hex(m.value) + ")", m.name, {A(), V(m.value)}, 1,
                       command(one(m.oid, m.sent))));
  }
  c.push_back(simple("SetTxPowerBaseOffset(0x12, 0x34) packs 0x24", "SetTxPowerBaseOffset",
                     {A(), V(0x12), V(0x34)}, 1, command(one(0xFF4E5286u, 0x24))));
  c.push_back(simple("SetTxPowerBaseOffset(0x0F, 0x0F) packs 0xFF", "SetTxPowerBaseOffset",
                     {A(), V(0x0F), V(0x0F)}, 1, command(one(0xFF4E5286u, 0xFF))));
  {
    Case t = simple("SetChannelDirectCall, two busy polls: three status queries",
                    "SetChannelDirectCall", {A(), V(6)}, 1, command(one(0xFF4D1008u, 6), 3));
    t.reset.completion_polls = 2;
    c.push_back(t);
  }
  {
    Case t = simple("SetChannelDirectCall, never finishes: 2001 status queries",
                    "SetChannelDirectCall", {A(), V(6)}, 0, command(one(0xFF4D1008u, 6), 2001));
    t.faults = {fault(0xFF4D1008u, vad::kNeverComplete)};
    c.push_back(t);
  }
}

void add_queries(std::vector<Case>& c) {
  struct Query {
    const char* name;
    uint32_t oid;
    uint32_t length;
    bool indexed;
    uint32_t answer;
  };
  for (const Query& q : {Query{"GetTxPowerControl", 0xFF4D1013u, 4, false, 0x1234ABCDu},
                         Query{"GetCRSignalQuality", 0xFF4D1014u, 4, false, 0x55},
                         Query{"QueryRFType", 0xFF0111CAu, 4, false, 3},
                         Query{"GetIntegrator", 0xFF4D1018u, 8, true, 0xBEEF},
                         Query{"GetSignalQuality", 0xFF4D1019u, 4, true, 0x42},
                         Query{"QueryTxPacketSent", 0xFF4D1024u, 4, false, 1000},
                         Query{"QueryRxPacketReceived", 0xFF4D1026u, 4, false, 2000},
                         Query{"QueryRxPacketCRC32Error", 0xFF4D1027u, 4, false, 3},
                         Query{"GetAckCounter", 0xFF4E5285u, 4, false, 44},
                         Query{"QueryEEpromType", 0xFF4D101Au, 4, false, 1}}) {
    std::vector<Arg> args{A()};
    if (q.indexed) args.push_back(V(7));
    args.push_back(O(kWord));
    Case t =
        simple(q.name, q.name, args, 1,
               {q.indexed ? query_request(q.oid, q.length, {7}) : query_request(q.oid, q.length)});
    t.query_words = {{q.oid, q.answer}};
    t.outputs = {{kWord, le32(q.answer)}};
    c.push_back(t);
    // A failed request: the plain and indexed queries store what the record holds (0, or the
    // index); the ACK counter stores nothing.
    const uint32_t stored = std::string(q.name) == "GetAckCounter" ? 0xEEEEEEEEu
                            : q.indexed                            ? 7
                                                                   : 0;
    Case f = t;
    f.label = std::string(q.name) + ", request fails";
    f.result = 0;
    f.query_words.clear();
    f.faults = {fault(q.oid, vad::kFailRequest)};
    f.outputs = {{kWord, le32(stored)}};
    c.push_back(f);
  }
  {
    Case t = simple("GetTxPowerBaseOffset splits the low byte of 0x1A5", "GetTxPowerBaseOffset",
                    {A(), O(kHigh), O(kLow)}, 1, {query_request(0xFF4E5287u, 4)});
    t.query_words = {{0xFF4E5287u, 0x1A5}};
    t.outputs = {{kHigh, {0x0A, 0x05}}};
    c.push_back(t);
    Case f = t;
    f.label = "GetTxPowerBaseOffset, request fails: bytes untouched";
    f.result = 0;
    f.query_words.clear();
    f.faults = {fault(0xFF4E5287u, vad::kFailRequest)};
    f.outputs = {{kHigh, {0xEE, 0xEE}}};
    c.push_back(f);
  }
  // Traffic counters: the resets and the ACK switch.
  auto one = [](uint32_t oid, uint32_t value) { return set_request(oid, 4, {value}); };
  c.push_back(simple("ResetTxPacketSent", "ResetTxPacketSent", {A()}, 1, {one(0xFF4D1023u, 0)}));
  c.push_back(
      simple("ResetRxPacketReceived", "ResetRxPacketReceived", {A()}, 1, {one(0xFF4D1025u, 0)}));
  c.push_back(simple("ResetAckCounter", "ResetAckCounter", {A()}, 1, {one(0xFF4E5284u, 0)}));
  c.push_back(simple("EnableAckCounter(5) sends 1", "EnableAckCounter", {A(), V(5)}, 1,
                     {one(0xFF4E5283u, 1)}));
  c.push_back(simple("EnableAckCounter(0x80000000) sends 1", "EnableAckCounter",
                     {A(), V(0x80000000u)}, 1, {one(0xFF4E5283u, 1)}));
  c.push_back(simple("EnableAckCounter(0) sends 0", "EnableAckCounter", {A(), V(0)}, 1,
                     {one(0xFF4E5283u, 0)}));
}

void add_registers(std::vector<Case>& c) {
  c.push_back(simple("WriteRegData(0x0050, 1) pages to 0xFF50", "WriteRegData",
                     {A(), V(0x50), V(1), V(0xA5)}, 1,
                     command(set_request(0xFF0111C1u, 12, {0xFF50, 1, 0xA5}))));
  c.push_back(simple("WriteRegData(0x10050, 4) sends 0x1FF50", "WriteRegData",
                     {A(), V(0x10050), V(4), V(0xDEADBEEF)}, 1,
                     command(set_request(0xFF0111C1u, 12, {0x1FF50, 4, 0xDEADBEEFu}))));
  c.push_back(simple("WriteRegData(0x0150, 2) unchanged", "WriteRegData",
                     {A(), V(0x150), V(2), V(0x12345)}, 1,
                     command(set_request(0xFF0111C1u, 12, {0x150, 2, 0x12345}))));
  c.push_back(simple("WriteRegData width 3: nothing sent", "WriteRegData",
                     {A(), V(0x50), V(3), V(1)}, 0, {}));
  {
    Case t = simple("WriteRegData, another command reported: 0 after one poll", "WriteRegData",
                    {A(), V(0xFF10), V(1), V(1)}, 0,
                    command(set_request(0xFF0111C1u, 12, {0xFF10, 1, 1})));
    t.faults = {fault(0xFF0111C1u, vad::kWrongCommandId)};
    c.push_back(t);
  }
  {
    Case t =
        simple("ReadRegData(0x0050, 4) reads 0xFF50", "ReadRegData", {A(), V(0x50), V(4), O(kWord)},
               1, command(set_request(0xFF0111C2u, 12, {0xFF50, 4, 0xFFFFFFFFu})));
    t.registers = {{vad::kMacRegisters, 0xFF50, 0xCAFEF00Du}};
    t.outputs = {{kWord, le32(0xCAFEF00Du)}};
    c.push_back(t);
  }
  {
    Case t = simple("ReadRegData, another command reported: output untouched", "ReadRegData",
                    {A(), V(0xFF50), V(1), O(kWord)}, 0,
                    command(set_request(0xFF0111C2u, 12, {0xFF50, 1, 0xFFFFFFFFu})));
    t.faults = {fault(0xFF0111C2u, vad::kWrongCommandId)};
    t.outputs = {{kWord, le32(0xEEEEEEEEu)}};
    c.push_back(t);
  }
  {
    Case t = simple("ReadRegData width 0: nothing sent", "ReadRegData",
                    {A(), V(0x50), V(0), O(kWord)}, 0, {});
    t.outputs = {{kWord, le32(0xEEEEEEEEu)}};
    c.push_back(t);
  }
  c.push_back(simple("ReadRegData with a null output still reads", "ReadRegData",
                     {A(), V(0x1234), V(2), N()}, 1,
                     command(set_request(0xFF0111C2u, 12, {0x1234, 2, 0xFFFFFFFFu}))));
  c.push_back(simple("WriteBBData bank 0x101 is bank 1", "WriteBBData",
                     {A(), V(0x20), V(0x101), V(0x7F)}, 1,
                     command(set_request(0xFF4E5281u, 12, {0x20, 1, 0x7F}))));
  {
    Case t = simple("ReadBBData bank 2 is bank 0", "ReadBBData", {A(), V(0x21), V(2), O(kWord)}, 1,
                    command(set_request(0xFF4E5282u, 12, {0x21, 0, 0xFFFFFFFFu})));
    t.registers = {{vad::kBbBank0, 0x21, 0x3C}};
    t.outputs = {{kWord, le32(0x3C)}};
    c.push_back(t);
    Case b1 = simple("ReadBBData bank 1", "ReadBBData", {A(), V(0x21), V(1), O(kWord)}, 1,
                     command(set_request(0xFF4E5282u, 12, {0x21, 1, 0xFFFFFFFFu})));
    b1.registers = {{vad::kBbBank1, 0x21, 0x4D}};
    b1.outputs = {{kWord, le32(0x4D)}};
    c.push_back(b1);
  }
  c.push_back(simple("RFWriteRegData passes its words unchanged", "RFWriteRegData",
                     {A(), V(5), V(0xABCD), V(0x12345)}, 1,
                     command(set_request(0xFF0111C8u, 12, {5, 0xABCD, 0x12345}))));
  {
    Case t = simple("RFReadRegData", "RFReadRegData", {A(), V(6), V(7), O(kWord)}, 1,
                    command(set_request(0xFF0111C9u, 12, {6, 7, 0xFFFFFFFFu})));
    t.registers = {{vad::kRfRegisters, 6, 0x1F2F3}};
    t.outputs = {{kWord, le32(0x1F2F3)}};
    c.push_back(t);
  }
}

void add_eeprom(std::vector<Case>& c) {
  const std::vector<uint8_t> image = pattern_image();
  {
    Case t = simple("QueryEEpromType answers the adapter's type 2", "QueryEEpromType",
                    {A(), O(kWord)}, 1, {query_request(0xFF4D101Au, 4)});
    t.outputs = {{kWord, le32(2)}};
    c.push_back(t);
  }
  {
    Case t = simple("ReadEEpromByte(0x1A5) reads offset 0xA5", "ReadEEpromByte",
                    {A(), V(0x1A5), O(kLow)}, 1, command(eeprom_read(0xA5, 1)));
    t.eeprom = image;
    t.outputs = {{kLow, {image[0xA5]}}};
    c.push_back(t);
  }
  {
    Case t = simple("WriteEEpromByte(0x0A, 0x1234) writes 0x34", "WriteEEpromByte",
                    {A(), V(0x0A), V(0x1234)}, 1, command(eeprom_write(0x0A, 1, 0x34)));
    t.eeprom_after = {{10, {0x34}}};
    c.push_back(t);
  }
  {
    std::vector<Expect> reads;
    for (uint32_t o = 0; o < 128; o += 2) {
      reads.push_back(eeprom_read(o, 2));
      reads.push_back(status_query());
    }
    std::vector<std::u16string> traces{u"==>TALVEN: ReadEEprom\n"};
    for (const auto& s : word_read_traces(64)) traces.push_back(s);
    traces.push_back(u"<==TALVEN: ReadEEprom\n");
    Case t = simple("ReadEEprom type 1: 64 word reads", "ReadEEprom", {A(), O(kBytes), V(1)}, 1,
                    reads, traces);
    t.reset.eeprom_type = 1;
    t.eeprom = std::vector<uint8_t>(image.begin(), image.begin() + 128);
    std::vector<uint8_t> want(image.begin(), image.begin() + 128);
    want.push_back(0xEE);  // byte 128 is not written
    t.outputs = {{kBytes, want}};
    c.push_back(t);
  }
  {
    Case t = simple(
        "ReadEEprom type 3: refused, nothing sent", "ReadEEprom", {A(), O(kBytes), V(3)}, 0, {},
        {u"==>TALVEN: ReadEEprom\n", u"TALVEN: Unknown EEPROM type\n", u"<==TALVEN: ReadEEprom\n"});
    t.outputs = {{kBytes, {0xEE}}};
    c.push_back(t);
  }
  {
    std::vector<Expect> writes;
    for (uint32_t o = 0; o < 128; o += 2) {
      writes.push_back(eeprom_write(o, 2, uint32_t(image[o]) | uint32_t(image[o + 1]) << 8));
      writes.push_back(status_query());
    }
    Case t = simple("WriteEEprom type 1: 64 word writes", "WriteEEprom", {A(), In(image), V(1)}, 1,
                    writes);
    t.reset.eeprom_type = 1;
    t.eeprom_after = {{0, std::vector<uint8_t>(image.begin(), image.begin() + 128)}};
    c.push_back(t);
  }
  c.push_back(
      simple("WriteEEprom type 0: refused silently", "WriteEEprom", {A(), In(image), V(0)}, 0, {}));

  // The power-control table.
  {
    Case t = simple("ReadPowerControl, standard placement", "ReadPowerControl",
                    {A(), O(kBytes), V(100)}, 1, power_reads(false), word_read_traces(13));
    t.eeprom = power_image();
    std::vector<uint8_t> want(101, 0);
    want[0] = 0x1;
    want[60] = 0x2;  // channel 1: 0x21
    want[1] = 0x3;
    want[61] = 0x4;  // channel 2: 0x43
    want[10] = 0x5;
    want[70] = 0x6;  // channel 11: 0x65
    want[11] = 0x7;
    want[71] = 0x8;    // channel 12: 0x87
    want[19] = 0x5A;   // channel 36
    want[59] = 0xC3;   // channel 161
    want[100] = 0xEE;  // past the caller's length
    t.outputs = {{kBytes, want}};
    c.push_back(t);
    // The variant reads byte 54 for channel 11 and byte 20 for channel 12, in that order.
    Case v = simple("ReadPowerControl, variant placement (ChipVariant 2): bytes at 54 and 20",
                    "ReadPowerControl", {A(), O(kBytes), V(100)}, 1, power_reads(true),
                    word_read_traces(12));
    v.eeprom = power_image();
    v.reset.chip_variant = 2;
    v.outputs = {{kBytes + 10, {0x5, 0x9}}, {kBytes + 70, {0x6, 0xA}}, {kBytes + 19, {0x5A}}};
    c.push_back(v);
    Case s =
        simple("ReadPowerControl length 73: only the chip information query", "ReadPowerControl",
               {A(), O(kBytes), V(73)}, 0, {query_request(0xFF0101CBu, 28)});
    s.outputs = {{kBytes, {0xEE}}};
    c.push_back(s);
  }
  {
    std::vector<Expect> writes{query_request(0xFF0101CBu, 28)};
    for (auto [offset, value] : {std::pair<uint32_t, uint32_t>{44, 0x003F},
                                 {46, 0},
                                 {48, 0},
                                 {122, 0},
                                 {124, 0},
                                 {54, 0},
                                 {56, 0},
                                 {32, 0x00A7},
                                 {34, 0},
                                 {36, 0},
                                 {38, 0},
                                 {40, 0},
                                 {42, 0}}) {
      writes.push_back(eeprom_write(offset, 2, value));
      writes.push_back(status_query());
    }
    std::vector<uint8_t> table(80, 0);
    table[0] = 0x1F;
    table[60] = 0x13;
    table[19] = 0xA7;  // channel 36
    table[14] = 0x99;  // channel 26 has no EEPROM entry
    table[75] = 0x99;  // past the table
    c.push_back(simple("WritePowerControl: 0x1F and 0x13 store 0x3F for channel 1",
                       "WritePowerControl", {A(), In(table), V(80)}, 1, writes));
  }
}

void add_identity(std::vector<Case>& c) {
  const std::vector<uint8_t> image = pattern_image();
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  const uint8_t other_mac[6] = {0x02, 0xAB, 0xCD, 0xEF, 0x01, 0x23};
  const uint8_t cis[10] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA};
  c.push_back(simple("WriteEEpromVid(0xABCD1234) writes 0x3412 at 2", "WriteEEpromVid",
                     {A(), V(0xABCD1234u)}, 1, command(eeprom_write(2, 2, 0x3412))));
  c.push_back(simple("WriteEEpromDid(0x1234) writes 0x3412 at 4", "WriteEEpromDid",
                     {A(), V(0x1234)}, 1, command(eeprom_write(4, 2, 0x3412))));
  c.push_back(
      simple("WriteEEpromMacAddr: three words at 14, 16, 18", "WriteEEpromMacAddr",
             {A(), In(bytes_of(mac, 6))}, 1,
             concat({command(eeprom_write(14, 2, 0x1100)), command(eeprom_write(16, 2, 0x3322)),
                     command(eeprom_write(18, 2, 0x5544))})));
  {
    std::vector<uint8_t> id(image);
    for (int i = 0; i < 6; ++i) id[14 + i] = other_mac[i];
    Case t = simple("ReadEEpromMacAddr", "ReadEEpromMacAddr", {A(), O(kBytes)}, 1,
                    concat({command(eeprom_read(14, 2)), command(eeprom_read(16, 2)),
                            command(eeprom_read(18, 2))}),
                    word_read_traces(3));
    t.eeprom = id;
    t.outputs = {{kBytes, bytes_of(other_mac, 6)}};
    c.push_back(t);
  }
  {
    Expect w = set_request(0xFF4D101Bu, 6);
    w.bytes.push_back({48, bytes_of(mac, 6)});
    Case t = simple("WriteMACAddress", "WriteMACAddress", {A(), In(bytes_of(mac, 6))}, 1, {w});
    t.mac_after = bytes_of(mac, 6);
    c.push_back(t);
  }
  for (const auto& [name, oid, permanent] :
       {std::tuple<const char*, uint32_t, bool>{"ReadMACAddress", 0xFF4D101Cu, false},
        {"QueryPermanentAddress", 0xFF4D1029u, true}}) {
    Case t = simple(name, name, {A(), O(kBytes)}, 1, {query_request(oid, 6)});
    t.addresses_set = true;
    for (int i = 0; i < 6; ++i) {
      t.addresses.mac_address[i] = mac[i];
      t.addresses.permanent_address[i] = other_mac[i];
    }
    t.outputs = {{kBytes, bytes_of(permanent ? other_mac : mac, 6)}};
    c.push_back(t);
    Case f = t;
    f.label = std::string(name) + ", request fails: bytes untouched";
    f.result = 0;
    f.faults = {fault(oid, vad::kFailRequest)};
    f.outputs = {{kBytes, std::vector<uint8_t>(6, 0xEE)}};
    c.push_back(f);
  }
  {
    Expect w = set_request(0xFF4D101Du, 10);
    w.bytes.push_back({48, bytes_of(cis, 10)});
    Case t = simple("WriteCISData, 10 bytes", "WriteCISData", {A(), In(bytes_of(cis, 10)), V(10)},
                    1, {w});
    t.cis_after = bytes_of(cis, 10);
    c.push_back(t);
    c.push_back(simple("WriteCISData, length 0 still sends", "WriteCISData",
                       {A(), In({0x77}), V(0)}, 1, {set_request(0xFF4D101Du, 0)}));
    // The adapter's CIS is set through the other name set's WriteCISData first.
    Case r = simple("ReadCISData: count and bytes from the answer's Length", "ReadCISData",
                    {A(), O(kBytes), O(kCount)}, 1, {query_request(0xFF4D101Eu, 256)});
    r.prepare = {{"WriteCISData", {A(), In(bytes_of(cis, 10)), V(10)}}};
    std::vector<uint8_t> want = bytes_of(cis, 10);
    want.push_back(0xEE);  // the rest of the buffer is not touched
    r.outputs = {{kCount, le32(10)}, {kBytes, want}};
    c.push_back(r);
  }
  c.push_back(simple("WriteEEpromTxPowerBaseOffset(0x12, 0x34) writes byte 0x24 at 10",
                     "WriteEEpromTxPowerBaseOffset", {A(), V(0x12), V(0x34)}, 1,
                     command(eeprom_write(10, 1, 0x24))));
  {
    std::vector<uint8_t> id(image);
    id[10] = 0xA5;
    Case t = simple("ReadEEpromTxPowerBaseOffset splits 0xA5", "ReadEEpromTxPowerBaseOffset",
                    {A(), O(kHigh), O(kLow)}, 1, command(eeprom_read(10, 1)));
    t.eeprom = id;
    t.outputs = {{kHigh, {0x0A, 0x05}}};
    c.push_back(t);
  }
}

void add_packet_path(std::vector<Case>& c) {
  {
    Case t = simple("PacketSetFilter(0x9)", "PacketSetFilter", {A(), V(9)}, 1,
                    {set_request(0x0001010Eu, 4, {9})});
    t.result8 = true;
    t.filter_after = 9;
    c.push_back(t);
  }
  {
    Case t = simple("PacketResetAdapter", "PacketResetAdapter", {A()}, 1, {reset_request()});
    t.result8 = true;
    t.resets_after = 1;
    c.push_back(t);
  }
  {
    Case t;
    t.label = "PacketReceivePacket: a 60-byte frame";
    t.steps = {{"PacketAllocatePacket", {A()}},
               {"PacketInitPacket", {E(0), O(kFrame), V(2000)}},
               {"PacketReceivePacket", {A(), E(0), V(0x5EED), O(kCount)}},
               {"@PacketLength", {E(0), O(kWord)}},
               {"PacketFreePacket", {E(0)}}};
    t.result_step = 2;
    t.result = 1;
    t.requests = {query_request(0xFF4D102Cu, 2000)};
    std::vector<uint8_t> frame(60), want(61, 0xEE);
    for (int i = 0; i < 60; ++i) frame[i] = want[i] = uint8_t(0x80 + i);
    t.rx_frames = {frame};
    t.outputs = {{kCount, le32(60)}, {kWord, le32(60)}, {kFrame, want}};
    c.push_back(t);
  }
  c.push_back(simple("StopPacketDriver does nothing", "StopPacketDriver", {V(0x1234)}, 1, {}));
}

// Refused arguments: every operation's null Adapter, and the null outputs it checks. Nothing is
// sent, the result is 0, one debug string names the argument.
void add_refusals(std::vector<Case>& c) {
  struct NullAdapter {
    const char* name;
    std::vector<Arg> rest;
  };
  const std::vector<uint8_t> zeros(300, 0);
  const std::vector<NullAdapter> adapters = {
      {"CloseDUT", {}},
      {"ResetDUT", {}},
      {"StartTest", {}},
      {"StopTest", {}},
      {"SetDataRate", {V(1)}},
      {"SetPreamble", {V(1)}},
      {"SetFilterBB", {V(1)}},
      {"SetManualDiversityBB", {V(1)}},
      {"SetChannelDirectCall", {V(1)}},
      {"SetSleepModeDirectCall", {}},
      {"SetWakeModeDirectCall", {}},
      {"SetTxContinuousDirectCall", {V(1)}},
      {"SetSingleCarrierTxContinuous", {V(1)}},
      {"SetCarrierSuppressionTxContinuous", {V(1)}},
      {"SetPacketRxTest", {V(1)}},
      {"SetTxAntennaBB", {V(1)}},
      {"SetAntennaBB", {V(1)}},
      {"SetCRScrambler", {V(1)}},
      {"SetTxPowerControl", {V(1)}},
      {"SetCRTxConfig", {V(1)}},
      {"SetModulation", {V(1)}},
      {"GetTxPowerControl", {O(kWord)}},
      {"GetCRSignalQuality", {O(kWord)}},
      {"SetCRSetpoint", {V(1)}},
      {"SetIntegrator", {V(1), V(2)}},
      {"SetSignalQuality", {V(1), V(2)}},
      {"GetIntegrator", {V(1), O(kWord)}},
      {"GetSignalQuality", {V(1), O(kWord)}},
      {"TunePhilipsRfParameters", {V(1)}},
      {"SetInitialGain", {V(1)}},
      {"SetBBRFStandbyMode", {V(1)}},
      {"SetBBRFShutdownMode", {V(1)}},
      {"SetTxChargePump", {V(1)}},
      {"SetRxChargePump", {V(1)}},
      {"QueryRFType", {O(kWord)}},
      {"SetTxPowerBaseOffset", {V(1), V(2)}},
      {"GetTxPowerBaseOffset", {O(kHigh), O(kLow)}},
      {"ResetTxPacketSent", {}},
      {"QueryTxPacketSent", {O(kWord)}},
      {"ResetRxPacketReceived", {}},
      {"QueryRxPacketReceived", {O(kWord)}},
      {"QueryRxPacketCRC32Error", {O(kWord)}},
      {"EnableAckCounter", {V(1)}},
      {"ResetAckCounter", {}},
      {"GetAckCounter", {O(kWord)}},
      {"WriteRegData", {V(0x50), V(4), V(1)}},
      {"ReadRegData", {V(0x50), V(4), O(kWord)}},
      {"RFWriteRegData", {V(1), V(2), V(3)}},
      {"RFReadRegData", {V(1), V(2), O(kWord)}},
      {"WriteBBData", {V(1), V(1), V(3)}},
      {"ReadBBData", {V(1), V(1), O(kWord)}},
      {"QueryEEpromType", {O(kWord)}},
      {"ReadEEpromByte", {V(1), O(kLow)}},
      {"WriteEEpromByte", {V(1), V(2)}},
      {"ReadEEprom", {O(kBytes), V(1)}},
      {"WriteEEprom", {In(zeros), V(1)}},
      {"ReadPowerControl", {O(kBytes), V(74)}},
      {"WritePowerControl", {In(zeros), V(74)}},
      {"WriteEEpromVid", {V(1)}},
      {"WriteEEpromDid", {V(1)}},
      {"WriteEEpromMacAddr", {In(zeros)}},
      {"ReadEEpromMacAddr", {O(kBytes)}},
      {"WriteMACAddress", {In(zeros)}},
      {"ReadMACAddress", {O(kBytes)}},
      {"QueryPermanentAddress", {O(kBytes)}},
      {"WriteCISData", {In(zeros), V(4)}},
      {"ReadCISData", {O(kBytes), O(kCount)}},
      {"WriteEEpromTxPowerBaseOffset", {V(1), V(2)}},
      {"ReadEEpromTxPowerBaseOffset", {O(kHigh), O(kLow)}},
      {"PacketWaitPacket", {O(kFrame), O(kWord), V(1)}},
      {"PacketReceivePacket", {O(kFrame), V(0), O(kWord)}},
      {"PacketResetAdapter", {}},
      {"PacketSetFilter", {V(1)}},
      {"PKT32XmitOnePacket", {}},
  };
  for (const NullAdapter& n : adapters) {
    std::vector<Arg> args{N()};
    args.insert(args.end(), n.rest.begin(), n.rest.end());
    Case t = refused(std::string(n.name) + "(NULL adapter)", n.name, args,
                     u"TALVEN: " + wide(n.name) + u" Adapter == NULL !!!\n");
    // A refused call writes no output.
    t.outputs = {{kWord, le32(0xEEEEEEEEu)}, {kHigh, {0xEE, 0xEE}}, {kBytes, {0xEE, 0xEE}}};
    t.result8 =
        std::string(n.name) == "PacketResetAdapter" || std::string(n.name) == "PacketSetFilter";
    c.push_back(t);
  }
  {
    Case t = refused("PKT32OFDMContinuousTx(NULL adapter, start)", "PKT32OFDMContinuousTx",
                     {N(), V(1)}, u"TALVEN: PKT32OFDMContinuousTx Adapter == NULL !!!\n");
    c.push_back(t);
  }
  // Null outputs and buffers the operation needs.
  struct NullOutput {
    const char* name;
    std::vector<Arg> args;
    const char* argument;
  };
  for (const NullOutput& n : std::vector<NullOutput>{
           {"GetTxPowerControl", {A(), N()}, "output"},
           {"GetCRSignalQuality", {A(), N()}, "output"},
           {"GetIntegrator", {A(), V(7), N()}, "output"},
           {"GetSignalQuality", {A(), V(7), N()}, "output"},
           {"QueryRFType", {A(), N()}, "output"},
           {"GetTxPowerBaseOffset", {A(), N(), O(kLow)}, "high"},
           {"GetTxPowerBaseOffset", {A(), O(kHigh), N()}, "low"},
           {"QueryTxPacketSent", {A(), N()}, "output"},
           {"QueryRxPacketReceived", {A(), N()}, "output"},
           {"QueryRxPacketCRC32Error", {A(), N()}, "output"},
           {"GetAckCounter", {A(), N()}, "output"},
           {"QueryEEpromType", {A(), N()}, "output"},
           {"ReadEEpromByte", {A(), V(1), N()}, "value"},
           {"ReadEEprom", {A(), N(), V(1)}, "image"},
           {"WriteEEprom", {A(), N(), V(1)}, "image"},
           {"ReadPowerControl", {A(), N(), V(74)}, "table"},
           {"WritePowerControl", {A(), N(), V(74)}, "table"},
           {"WriteEEpromMacAddr", {A(), N()}, "mac"},
           {"ReadEEpromMacAddr", {A(), N()}, "mac"},
           {"WriteMACAddress", {A(), N()}, "mac"},
           {"ReadMACAddress", {A(), N()}, "mac"},
           {"QueryPermanentAddress", {A(), N()}, "mac"},
           {"WriteCISData", {A(), N(), V(5)}, "data"},
           {"ReadCISData", {A(), N(), O(kCount)}, "data"},
           {"ReadCISData", {A(), O(kBytes), N()}, "length"},
           {"ReadEEpromTxPowerBaseOffset", {A(), N(), O(kLow)}, "high"},
           {"ReadEEpromTxPowerBaseOffset", {A(), O(kHigh), N()}, "low"},
           {"PacketFreePacket", {N()}, "Packet"},
           {"PacketInitPacket", {N(), O(kFrame), V(10)}, "Packet"},
           {"PacketWaitPacket", {A(), N(), O(kWord), V(1)}, "Packet"},
           {"PacketReceivePacket", {A(), N(), V(0), O(kWord)}, "Packet"},
           {"PacketGetAdapterNames", {O(kBytes), N()}, "size"},
       }) {
    Case t = refused(std::string(n.name) + "(NULL " + n.argument + ")", n.name, n.args,
                     u"TALVEN: " + wide(n.name) + u" " + wide(n.argument) + u" == NULL !!!\n");
    t.outputs = {{kWord, le32(0xEEEEEEEEu)}, {kHigh, {0xEE, 0xEE}}, {kBytes, {0xEE, 0xEE}}};
    c.push_back(t);
  }
  c.push_back(refused("PacketSendPacket(NULL packet)", "PacketSendPacket", {A(), N(), V(1)},
                      u"PacketSendPacket(): lpPacket == NULL !!!\n"));
  c.push_back(
      refused("OpenDUT(NULL)", "OpenDUT", {N()}, u"TALVEN: OpenDUT device path is NULL !!!\n"));
  {
    const char16_t path[] = u"\\Device";  // 7 characters
    std::vector<uint8_t> text;
    for (char16_t ch : path) {
      text.push_back(uint8_t(ch));
      text.push_back(uint8_t(ch >> 8));
    }
    c.push_back(refused("OpenDUT with a 7-character path", "OpenDUT", {In(text)},
                        u"TALVEN: OpenDUT device path must be 8 to 60 characters !!!\n"));
  }
}

}  // namespace

const std::vector<Case>& operation_cases() {
  static const std::vector<Case> all = [] {
    std::vector<Case> c;
    add_test_control(c);
    add_queries(c);
    add_registers(c);
    add_eeprom(c);
    add_identity(c);
    add_packet_path(c);
    add_refusals(c);
    return c;
  }();
  return all;
}

}  // namespace talven::cases
