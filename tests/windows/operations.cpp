// Every operation by both names: the requests the adapter device received, byte for byte,
// against records written out by hand; the result; the debug strings; the caller's outputs.
#include <cstring>

#include "tests/windows/cases.h"

namespace wintest {

namespace {

using talven::vadapter::kBbBank0;
using talven::vadapter::kBbBank1;
using talven::vadapter::kFailRequest;
using talven::vadapter::kMacRegisters;
using talven::vadapter::kNeverComplete;
using talven::vadapter::kRfRegisters;
using talven::vadapter::kWrongCommandId;

// What operations write for their caller; prefilled with 0xEE before every case.
struct Outputs {
  ULONG word;
  UCHAR high, low;
  UCHAR bytes[300];
  ULONG count;
} out;

struct OpCase {
  std::string label;
  std::function<ULONG(Adapter*)> run;
  ULONG result;
  std::vector<Expect> requests;
  std::vector<std::wstring> debug = {};
  std::function<std::string(Env&)> after = nullptr;
  std::function<void(Env&)> setup = nullptr;
  uint32_t eeprom_type = 2;
  uint32_t chip_variant = 0;
  uint32_t polls = 0;  // status polls that read busy before a command finishes
};

ULONG op(const char* name, Adapter* a) {
  return call<ULONG>(name, a);
}
ULONG op(const char* name, Adapter* a, ULONG x) {
  return call<ULONG>(name, a, x);
}
ULONG op(const char* name, Adapter* a, ULONG x, ULONG y) {
  return call<ULONG>(name, a, x, y);
}

std::string expect_word(ULONG got, ULONG want, const char* what = "output") {
  return got == want ? "" : std::string(what) + " " + hex(got) + ", want " + hex(want);
}

std::string expect_bytes(const UCHAR* got, const std::vector<uint8_t>& want, const char* what) {
  for (size_t i = 0; i < want.size(); ++i)
    if (got[i] != want[i])
      return std::string(what) + " byte " + std::to_string(i) + " " + hex(got[i]) + ", want " +
             hex(want[i]);
  return "";
}

std::vector<uint8_t> pattern_image() {
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 37 + 11);
  return image;
}

// A scripted fault on one OID, for every matching request.
talven::vadapter::FaultRecord fault(uint32_t oid, uint32_t mode, uint32_t result = 0) {
  return {oid, mode, 0, 0, -1, result};
}

const std::wstring kRead2In = L"==>TALVEN: ReadEEprom2Byte\n";
const std::wstring kRead2Out = L"<==TALVEN: ReadEEprom2Byte\n";

std::vector<std::wstring> word_read_traces(int words) {
  std::vector<std::wstring> s;
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

std::vector<OpCase> cases() {
  const std::vector<uint8_t> image = pattern_image();
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  const uint8_t other_mac[6] = {0x02, 0xAB, 0xCD, 0xEF, 0x01, 0x23};
  const uint8_t cis[10] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA};
  auto one = [](uint32_t oid, uint32_t value) { return set_request(oid, 4, {value}); };
  std::vector<OpCase> c;

  // ---- Test control ----
  c.push_back({"StartTest",
               [](Adapter* a) { return op("StartTest", a); },
               1,
               command(one(0xFF4D1002u, 0)),
               {L"==>TALVEN: StartTest()\n", L"TALVEN: StartTest success.\n",
                L"<==TALVEN: StartTest()\n"}});
  {
    OpCase t{
        "StartTest, command never finishes: 101 status queries",
        [](Adapter* a) { return op("StartTest", a); },
        0,
        command(one(0xFF4D1002u, 0), 101),
        {L"==>TALVEN: StartTest()\n", L"TALVEN: StartTest failed.\n", L"<==TALVEN: StartTest()\n"}};
    t.setup = [](Env& e) { e.control.add_fault(fault(0xFF4D1002u, kNeverComplete)); };
    c.push_back(t);
  }
  {
    OpCase t{
        "StartTest, request fails: no wait",
        [](Adapter* a) { return op("StartTest", a); },
        0,
        {one(0xFF4D1002u, 0)},
        {L"==>TALVEN: StartTest()\n", L"TALVEN: StartTest failed.\n", L"<==TALVEN: StartTest()\n"}};
    t.setup = [](Env& e) { e.control.add_fault(fault(0xFF4D1002u, kFailRequest)); };
    c.push_back(t);
  }
  c.push_back({"StopTest",
               [](Adapter* a) { return op("StopTest", a); },
               1,
               {one(0xFF4D1003u, 0)},
               {L"==>TALVEN: StopTest()\n", L"<==TALVEN: StopTest()\n"}});

  // ---- Immediate one-word and two-word commands: values pass bit for bit ----
  struct Immediate {
    const char* name;
    uint32_t oid;
    bool has_arg;
    ULONG value;
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
    const char* name = m.name;
    const ULONG value = m.value;
    const bool has_arg = m.has_arg;
    c.push_back(
        {name,
         [name, value, has_arg](Adapter* a) { return has_arg ? op(name, a, value) : op(name, a); },
         1,
         {one(m.oid, value)}});
  }
  c.push_back({"SetIntegrator",
               [](Adapter* a) { return op("SetIntegrator", a, 0x11, 0x22); },
               1,
               {set_request(0xFF4D1016u, 8, {0x11, 0x22})}});
  c.push_back({"SetSignalQuality",
               [](Adapter* a) { return op("SetSignalQuality", a, 0xAAAA5555u, 9); },
               1,
               {set_request(0xFF4D1017u, 8, {0xAAAA5555u, 9})}});
  {
    OpCase t{"SetPreamble, request fails",
             [](Adapter* a) { return op("SetPreamble", a, 1); },
             0,
             {one(0xFF4D1004u, 1)}};
    t.setup = [](Env& e) { e.control.add_fault(fault(0xFF4D1004u, kFailRequest)); };
    c.push_back(t);
  }

  // ---- Asynchronous commands: request, then the status until it reports finished ----
  struct Async {
    const char* name;
    uint32_t oid;
    ULONG value;
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
    const char* name = m.name;
    const ULONG value = m.value;
    c.push_back({std::string(name) + "(" + hex(value) + ")",
                 [name, value](Adapter* a) { return op(name, a, value); }, 1,
                 command(one(m.oid, m.sent))});
  }
  c.push_back({"SetTxPowerBaseOffset(0x12, 0x34) packs 0x24",
               [](Adapter* a) { return op("SetTxPowerBaseOffset", a, 0x12, 0x34); }, 1,
               command(one(0xFF4E5286u, 0x24))});
  c.push_back({"SetTxPowerBaseOffset(0x0F, 0x0F) packs 0xFF",
               [](Adapter* a) { return op("SetTxPowerBaseOffset", a, 0x0F, 0x0F); }, 1,
               command(one(0xFF4E5286u, 0xFF))});
  {
    OpCase t{"SetChannelDirectCall, two busy polls: three status queries",
             [](Adapter* a) { return op("SetChannelDirectCall", a, 6); }, 1,
             command(one(0xFF4D1008u, 6), 3)};
    t.polls = 2;
    c.push_back(t);
  }

  // ---- Queries ----
  struct Query {
    const char* name;
    uint32_t oid;
    uint32_t length;
    bool indexed;
    ULONG answer;
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
    const char* name = q.name;
    const bool indexed = q.indexed;
    const uint32_t oid = q.oid;
    const ULONG answer = q.answer;
    OpCase t{name,
             [name, indexed](Adapter* a) {
               return indexed ? call<ULONG>(name, a, ULONG(7), &out.word)
                              : call<ULONG>(name, a, &out.word);
             },
             1,
             {indexed ? query_request(oid, q.length, {7}) : query_request(oid, q.length)},
             {},
             [answer](Env&) { return expect_word(out.word, answer); }};
    t.setup = [oid, answer](Env& e) { e.control.set_query_word(oid, answer); };
    c.push_back(t);
    // A failed request: the plain and indexed queries store what the record holds (0, or
    // the index); the ACK counter stores nothing.
    const ULONG stored = std::string(name) == "GetAckCounter" ? 0xEEEEEEEEu : indexed ? 7 : 0;
    OpCase f{std::string(name) + ", request fails", t.run, 0, t.requests, {}, [stored](Env&) {
               return expect_word(out.word, stored);
             }};
    f.setup = [oid](Env& e) { e.control.add_fault(fault(oid, kFailRequest)); };
    c.push_back(f);
  }
  {
    OpCase t{"GetTxPowerBaseOffset splits the low byte of 0x1A5",
             [](Adapter* a) { return call<ULONG>("GetTxPowerBaseOffset", a, &out.high, &out.low); },
             1,
             {query_request(0xFF4E5287u, 4)},
             {},
             [](Env&) {
               return expect_word(out.high, 0x0A, "high") + expect_word(out.low, 0x05, "low");
             }};
    t.setup = [](Env& e) { e.control.set_query_word(0xFF4E5287u, 0x1A5); };
    c.push_back(t);
    OpCase f = t;
    f.label = "GetTxPowerBaseOffset, request fails: bytes untouched";
    f.result = 0;
    f.after = [](Env&) {
      return expect_word(out.high, 0xEE, "high") + expect_word(out.low, 0xEE, "low");
    };
    f.setup = [](Env& e) { e.control.add_fault(fault(0xFF4E5287u, kFailRequest)); };
    c.push_back(f);
  }

  // ---- Traffic counters: the resets and the ACK switch ----
  c.push_back({"ResetTxPacketSent",
               [](Adapter* a) { return op("ResetTxPacketSent", a); },
               1,
               {one(0xFF4D1023u, 0)}});
  c.push_back({"ResetRxPacketReceived",
               [](Adapter* a) { return op("ResetRxPacketReceived", a); },
               1,
               {one(0xFF4D1025u, 0)}});
  c.push_back({"ResetAckCounter",
               [](Adapter* a) { return op("ResetAckCounter", a); },
               1,
               {one(0xFF4E5284u, 0)}});
  c.push_back({"EnableAckCounter(5) sends 1",
               [](Adapter* a) { return op("EnableAckCounter", a, 5); },
               1,
               {one(0xFF4E5283u, 1)}});
  c.push_back({"EnableAckCounter(0x80000000) sends 1",
               [](Adapter* a) { return op("EnableAckCounter", a, 0x80000000u); },
               1,
               {one(0xFF4E5283u, 1)}});
  c.push_back({"EnableAckCounter(0) sends 0",
               [](Adapter* a) { return op("EnableAckCounter", a, 0); },
               1,
               {one(0xFF4E5283u, 0)}});

  // ---- Registers ----
  c.push_back(
      {"WriteRegData(0x0050, 1) pages to 0xFF50",
       [](Adapter* a) { return call<ULONG>("WriteRegData", a, ULONG(0x50), LONG(1), ULONG(0xA5)); },
       1, command(set_request(0xFF0111C1u, 12, {0xFF50, 1, 0xA5}))});
  c.push_back({"WriteRegData(0x10050, 4) sends 0x1FF50",
               [](Adapter* a) {
                 return call<ULONG>("WriteRegData", a, ULONG(0x10050), LONG(4), ULONG(0xDEADBEEF));
               },
               1, command(set_request(0xFF0111C1u, 12, {0x1FF50, 4, 0xDEADBEEFu}))});
  c.push_back({"WriteRegData(0x0150, 2) unchanged",
               [](Adapter* a) {
                 return call<ULONG>("WriteRegData", a, ULONG(0x150), LONG(2), ULONG(0x12345));
               },
               1, command(set_request(0xFF0111C1u, 12, {0x150, 2, 0x12345}))});
  c.push_back(
      {"WriteRegData width 3: nothing sent",
       [](Adapter* a) { return call<ULONG>("WriteRegData", a, ULONG(0x50), LONG(3), ULONG(1)); },
       0,
       {}});
  {
    OpCase t{
        "WriteRegData, another command reported: 0 after one poll",
        [](Adapter* a) { return call<ULONG>("WriteRegData", a, ULONG(0xFF10), LONG(1), ULONG(1)); },
        0, command(set_request(0xFF0111C1u, 12, {0xFF10, 1, 1}))};
    t.setup = [](Env& e) { e.control.add_fault(fault(0xFF0111C1u, kWrongCommandId)); };
    c.push_back(t);
  }
  {
    OpCase t{
        "ReadRegData(0x0050, 4) reads 0xFF50",
        [](Adapter* a) { return call<ULONG>("ReadRegData", a, ULONG(0x50), LONG(4), &out.word); },
        1,
        command(set_request(0xFF0111C2u, 12, {0xFF50, 4, 0xFFFFFFFFu})),
        {},
        [](Env&) { return expect_word(out.word, 0xCAFEF00Du); }};
    t.setup = [](Env& e) { e.control.set_register(kMacRegisters, 0xFF50, 0xCAFEF00Du); };
    c.push_back(t);
  }
  {
    OpCase t{
        "ReadRegData, another command reported: output untouched",
        [](Adapter* a) { return call<ULONG>("ReadRegData", a, ULONG(0xFF50), LONG(1), &out.word); },
        0,
        command(set_request(0xFF0111C2u, 12, {0xFF50, 1, 0xFFFFFFFFu})),
        {},
        [](Env&) { return expect_word(out.word, 0xEEEEEEEEu); }};
    t.setup = [](Env& e) { e.control.add_fault(fault(0xFF0111C2u, kWrongCommandId)); };
    c.push_back(t);
  }
  c.push_back(
      {"ReadRegData width 0: nothing sent",
       [](Adapter* a) { return call<ULONG>("ReadRegData", a, ULONG(0x50), LONG(0), &out.word); },
       0,
       {},
       {},
       [](Env&) { return expect_word(out.word, 0xEEEEEEEEu); }});
  c.push_back({"WriteBBData bank 0x101 is bank 1",
               [](Adapter* a) {
                 return call<ULONG>("WriteBBData", a, ULONG(0x20), ULONG(0x101), ULONG(0x7F));
               },
               1, command(set_request(0xFF4E5281u, 12, {0x20, 1, 0x7F}))});
  {
    OpCase t{
        "ReadBBData bank 2 is bank 0",
        [](Adapter* a) { return call<ULONG>("ReadBBData", a, ULONG(0x21), ULONG(2), &out.word); },
        1,
        command(set_request(0xFF4E5282u, 12, {0x21, 0, 0xFFFFFFFFu})),
        {},
        [](Env&) { return expect_word(out.word, 0x3C); }};
    t.setup = [](Env& e) { e.control.set_register(kBbBank0, 0x21, 0x3C); };
    c.push_back(t);
    OpCase b1{
        "ReadBBData bank 1",
        [](Adapter* a) { return call<ULONG>("ReadBBData", a, ULONG(0x21), ULONG(1), &out.word); },
        1,
        command(set_request(0xFF4E5282u, 12, {0x21, 1, 0xFFFFFFFFu})),
        {},
        [](Env&) { return expect_word(out.word, 0x4D); }};
    b1.setup = [](Env& e) { e.control.set_register(kBbBank1, 0x21, 0x4D); };
    c.push_back(b1);
  }
  c.push_back({"RFWriteRegData passes its words unchanged",
               [](Adapter* a) {
                 return call<ULONG>("RFWriteRegData", a, ULONG(5), ULONG(0xABCD), ULONG(0x12345));
               },
               1, command(set_request(0xFF0111C8u, 12, {5, 0xABCD, 0x12345}))});
  {
    OpCase t{
        "RFReadRegData",
        [](Adapter* a) { return call<ULONG>("RFReadRegData", a, ULONG(6), ULONG(7), &out.word); },
        1,
        command(set_request(0xFF0111C9u, 12, {6, 7, 0xFFFFFFFFu})),
        {},
        [](Env&) { return expect_word(out.word, 0x1F2F3); }};
    t.setup = [](Env& e) { e.control.set_register(kRfRegisters, 6, 0x1F2F3); };
    c.push_back(t);
  }

  // ---- EEPROM ----
  {
    OpCase t{"QueryEEpromType answers the adapter's type 2",
             [](Adapter* a) { return call<ULONG>("QueryEEpromType", a, &out.word); },
             1,
             {query_request(0xFF4D101Au, 4)},
             {},
             [](Env&) { return expect_word(out.word, 2); }};
    c.push_back(t);
  }
  {
    OpCase t{"ReadEEpromByte(0x1A5) reads offset 0xA5",
             [](Adapter* a) { return call<ULONG>("ReadEEpromByte", a, ULONG(0x1A5), &out.low); },
             1,
             command(eeprom_read(0xA5, 1)),
             {},
             [image](Env&) { return expect_word(out.low, image[0xA5]); }};
    t.setup = [image](Env& e) { e.control.write_eeprom(2, image.data()); };
    c.push_back(t);
  }
  c.push_back({"WriteEEpromByte(0x0A, 0x1234) writes 0x34",
               [](Adapter* a) { return op("WriteEEpromByte", a, 0x0A, 0x1234); },
               1,
               command(eeprom_write(0x0A, 1, 0x34)),
               {},
               [](Env& e) {
                 talven::vadapter::EepromRecord r{};
                 e.control.read_eeprom(&r);
                 return expect_word(r.image[10], 0x34, "EEPROM byte 10");
               }});
  {
    std::vector<Expect> reads;
    for (uint32_t o = 0; o < 128; o += 2) {
      reads.push_back(eeprom_read(o, 2));
      reads.push_back(status_query());
    }
    std::vector<std::wstring> traces{L"==>TALVEN: ReadEEprom\n"};
    for (const auto& s : word_read_traces(64)) traces.push_back(s);
    traces.push_back(L"<==TALVEN: ReadEEprom\n");
    OpCase t{"ReadEEprom type 1: 64 word reads",
             [](Adapter* a) { return call<ULONG>("ReadEEprom", a, out.bytes, ULONG(1)); },
             1,
             reads,
             traces,
             [image](Env&) {
               std::vector<uint8_t> want(image.begin(), image.begin() + 128);
               want.push_back(0xEE);  // byte 128 is not written
               return expect_bytes(out.bytes, want, "image");
             }};
    t.eeprom_type = 1;
    t.setup = [image](Env& e) { e.control.write_eeprom(1, image.data()); };
    c.push_back(t);
  }
  c.push_back(
      {"ReadEEprom type 3: refused, nothing sent",
       [](Adapter* a) { return call<ULONG>("ReadEEprom", a, out.bytes, ULONG(3)); },
       0,
       {},
       {L"==>TALVEN: ReadEEprom\n", L"TALVEN: Unknown EEPROM type\n", L"<==TALVEN: ReadEEprom\n"},
       [](Env&) { return expect_word(out.bytes[0], 0xEE, "buffer byte 0"); }});
  {
    std::vector<Expect> writes;
    for (uint32_t o = 0; o < 128; o += 2) {
      writes.push_back(eeprom_write(o, 2, uint32_t(image[o]) | uint32_t(image[o + 1]) << 8));
      writes.push_back(status_query());
    }
    OpCase t{"WriteEEprom type 1: 64 word writes",
             [image](Adapter* a) {
               return call<ULONG>("WriteEEprom", a, static_cast<const UCHAR*>(image.data()),
                                  ULONG(1));
             },
             1,
             writes,
             {},
             [image](Env& e) {
               talven::vadapter::EepromRecord r{};
               e.control.read_eeprom(&r);
               return expect_bytes(
                   r.image, std::vector<uint8_t>(image.begin(), image.begin() + 128), "EEPROM");
             }};
    t.eeprom_type = 1;
    c.push_back(t);
  }
  c.push_back({"WriteEEprom type 0: refused silently",
               [image](Adapter* a) {
                 return call<ULONG>("WriteEEprom", a, static_cast<const UCHAR*>(image.data()),
                                    ULONG(0));
               },
               0,
               {}});

  // ---- Power-control table ----
  {
    OpCase t{"ReadPowerControl, standard placement",
             [](Adapter* a) { return call<ULONG>("ReadPowerControl", a, out.bytes, LONG(100)); },
             1,
             power_reads(false),
             word_read_traces(13),
             [](Env&) {
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
               return expect_bytes(out.bytes, want, "table");
             }};
    t.setup = [](Env& e) { e.control.write_eeprom(2, power_image().data()); };
    c.push_back(t);
    OpCase v{"ReadPowerControl, variant placement (ChipVariant 2): bytes at 54 and 20",
             t.run,
             1,
             power_reads(true),
             word_read_traces(12),
             [](Env&) {
               const unsigned e11 = out.bytes[10] | out.bytes[70] << 4;
               const unsigned e12 = out.bytes[11] | out.bytes[71] << 4;
               const bool ok = (e11 == 0x65 && e12 == 0xA9) || (e11 == 0xA9 && e12 == 0x65);
               return ok ? expect_word(out.bytes[19], 0x5A, "channel 36")
                         : "channels 11 and 12 read " + hex(e11) + ", " + hex(e12) +
                               ", want 0x65 and 0xA9";
             }};
    v.setup = t.setup;
    v.chip_variant = 2;
    c.push_back(v);
    c.push_back({"ReadPowerControl length 73: only the chip information query",
                 [](Adapter* a) { return call<ULONG>("ReadPowerControl", a, out.bytes, LONG(73)); },
                 0,
                 {query_request(0xFF0101CBu, 28)},
                 {},
                 [](Env&) { return expect_word(out.bytes[0], 0xEE, "buffer byte 0"); }});
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
    c.push_back({"WritePowerControl: 0x1F and 0x13 store 0x3F for channel 1",
                 [](Adapter* a) {
                   static UCHAR table[80];
                   std::memset(table, 0, sizeof table);
                   table[0] = 0x1F;
                   table[60] = 0x13;
                   table[19] = 0xA7;  // channel 36
                   table[14] = 0x99;  // channel 26 has no EEPROM entry
                   table[75] = 0x99;  // past the table
                   return call<ULONG>("WritePowerControl", a, static_cast<const UCHAR*>(table),
                                      LONG(80));
                 },
                 1, writes});
  }

  // ---- Identity and address data ----
  c.push_back({"WriteEEpromVid(0xABCD1234) writes 0x3412 at 2",
               [](Adapter* a) { return op("WriteEEpromVid", a, 0xABCD1234u); }, 1,
               command(eeprom_write(2, 2, 0x3412))});
  c.push_back({"WriteEEpromDid(0x1234) writes 0x3412 at 4",
               [](Adapter* a) { return op("WriteEEpromDid", a, 0x1234); }, 1,
               command(eeprom_write(4, 2, 0x3412))});
  c.push_back({"WriteEEpromMacAddr: three words at 14, 16, 18",
               [mac](Adapter* a) {
                 static UCHAR m[6];
                 std::memcpy(m, mac, 6);
                 return call<ULONG>("WriteEEpromMacAddr", a, static_cast<const UCHAR*>(m));
               },
               1,
               concat({command(eeprom_write(14, 2, 0x1100)), command(eeprom_write(16, 2, 0x3322)),
                       command(eeprom_write(18, 2, 0x5544))})});
  {
    std::vector<uint8_t> id(image);
    std::memcpy(id.data() + 14, other_mac, 6);
    OpCase t{"ReadEEpromMacAddr",
             [](Adapter* a) { return call<ULONG>("ReadEEpromMacAddr", a, out.bytes); },
             1,
             concat({command(eeprom_read(14, 2)), command(eeprom_read(16, 2)),
                     command(eeprom_read(18, 2))}),
             word_read_traces(3),
             [other_mac](Env&) {
               return expect_bytes(out.bytes, {other_mac, other_mac + 6}, "address");
             }};
    t.setup = [id](Env& e) { e.control.write_eeprom(2, id.data()); };
    c.push_back(t);
  }
  {
    Expect w = set_request(0xFF4D101Bu, 6);
    w.bytes.push_back({48, {mac, mac + 6}});
    c.push_back({"WriteMACAddress",
                 [mac](Adapter* a) {
                   static UCHAR m[6];
                   std::memcpy(m, mac, 6);
                   return call<ULONG>("WriteMACAddress", a, static_cast<const UCHAR*>(m));
                 },
                 1,
                 {w},
                 {},
                 [mac](Env& e) {
                   talven::vadapter::StateRecord s{};
                   e.control.state(&s);
                   return expect_bytes(s.mac_address, {mac, mac + 6}, "adapter's address");
                 }});
  }
  for (const auto& [name, oid, permanent] :
       {std::tuple<const char*, uint32_t, bool>{"ReadMACAddress", 0xFF4D101Cu, false},
        {"QueryPermanentAddress", 0xFF4D1029u, true}}) {
    const char* n = name;
    const bool perm = permanent;
    OpCase t{n,
             [n](Adapter* a) { return call<ULONG>(n, a, out.bytes); },
             1,
             {query_request(oid, 6)},
             {},
             [perm, mac, other_mac](Env&) {
               const uint8_t* want = perm ? other_mac : mac;
               return expect_bytes(out.bytes, {want, want + 6}, "address");
             }};
    t.setup = [mac, other_mac](Env& e) { e.control.set_addresses(mac, other_mac); };
    c.push_back(t);
    OpCase f = t;
    f.label = std::string(n) + ", request fails: bytes untouched";
    f.result = 0;
    f.after = [](Env&) {
      return expect_bytes(out.bytes, std::vector<uint8_t>(6, 0xEE), "address");
    };
    const uint32_t o = oid;
    f.setup = [o](Env& e) { e.control.add_fault(fault(o, kFailRequest)); };
    c.push_back(f);
  }
  {
    Expect w = set_request(0xFF4D101Du, 10);
    w.bytes.push_back({48, {cis, cis + 10}});
    c.push_back({"WriteCISData, 10 bytes",
                 [cis](Adapter* a) {
                   static UCHAR d[10];
                   std::memcpy(d, cis, 10);
                   return call<ULONG>("WriteCISData", a, static_cast<const UCHAR*>(d), ULONG(10));
                 },
                 1,
                 {w},
                 {},
                 [cis](Env& e) {
                   talven::vadapter::StateRecord s{};
                   e.control.state(&s);
                   return expect_word(s.cis_length, 10, "CIS length") +
                          expect_bytes(s.cis, {cis, cis + 10}, "CIS");
                 }});
    c.push_back({"WriteCISData, length 0 still sends",
                 [](Adapter* a) {
                   static UCHAR d[1] = {0x77};
                   return call<ULONG>("WriteCISData", a, static_cast<const UCHAR*>(d), ULONG(0));
                 },
                 1,
                 {set_request(0xFF4D101Du, 0)}});
    OpCase r{"ReadCISData: count and bytes from the answer's Length",
             [](Adapter* a) { return call<ULONG>("ReadCISData", a, out.bytes, &out.count); },
             1,
             {query_request(0xFF4D101Eu, 256)},
             {},
             [cis](Env&) {
               std::vector<uint8_t> want(cis, cis + 10);
               want.push_back(0xEE);  // the rest of the buffer is not touched
               return expect_word(out.count, 10, "count") + expect_bytes(out.bytes, want, "CIS");
             }};
    // The adapter's CIS is set through the other name set's WriteCISData; its request is
    // cleared from the log before the case runs.
    r.setup = [cis](Env& e) {
      static UCHAR d[10];
      std::memcpy(d, cis, 10);
      const NameSet mine = names_in_use();
      use_names(mine == NameSet::Decorated ? NameSet::Alias : NameSet::Decorated);
      call<ULONG>("WriteCISData", e.adapter, static_cast<const UCHAR*>(d), ULONG(10));
      use_names(mine);
    };
    c.push_back(r);
  }
  c.push_back({"WriteEEpromTxPowerBaseOffset(0x12, 0x34) writes byte 0x24 at 10",
               [](Adapter* a) { return op("WriteEEpromTxPowerBaseOffset", a, 0x12, 0x34); }, 1,
               command(eeprom_write(10, 1, 0x24))});
  {
    std::vector<uint8_t> id(image);
    id[10] = 0xA5;
    OpCase t{"ReadEEpromTxPowerBaseOffset splits 0xA5",
             [](Adapter* a) {
               return call<ULONG>("ReadEEpromTxPowerBaseOffset", a, &out.high, &out.low);
             },
             1,
             command(eeprom_read(10, 1)),
             {},
             [](Env&) {
               return expect_word(out.high, 0x0A, "high") + expect_word(out.low, 0x05, "low");
             }};
    t.setup = [id](Env& e) { e.control.write_eeprom(2, id.data()); };
    c.push_back(t);
  }

  // ---- Packet path requests ----
  c.push_back({"PacketSetFilter(0x9)",
               [](Adapter* a) { return ULONG(call<BOOLEAN>("PacketSetFilter", a, ULONG(9))); },
               1,
               {one(0x0001010Eu, 9)},
               {},
               [](Env& e) {
                 talven::vadapter::StateRecord s{};
                 e.control.state(&s);
                 return expect_word(s.packet_filter, 9, "adapter's filter");
               }});
  c.push_back({"PacketResetAdapter",
               [](Adapter* a) { return ULONG(call<BOOLEAN>("PacketResetAdapter", a)); },
               1,
               {reset_request()},
               {},
               [](Env& e) {
                 talven::vadapter::StateRecord s{};
                 e.control.state(&s);
                 return expect_word(s.adapter_resets, 1, "adapter resets");
               }});
  {
    OpCase t{"PacketReceivePacket: a 60-byte frame",
             [](Adapter* a) {
               static UCHAR buffer[2000];
               std::memset(buffer, 0xEE, sizeof buffer);
               Packet* p = call<Packet*>("PacketAllocatePacket", a);
               if (p == nullptr) return ULONG(0xBAD);
               call<ULONG>("PacketInitPacket", p, static_cast<PVOID>(buffer), ULONG(2000));
               const ULONG r = call<ULONG>("PacketReceivePacket", a, p, ULONG(0x5EED), &out.count);
               out.word = p->Length;
               std::memcpy(out.bytes, buffer, 61);
               call<ULONG>("PacketFreePacket", p);
               return r;
             },
             1,
             {query_request(0xFF4D102Cu, 2000)},
             {},
             [](Env&) {
               std::vector<uint8_t> want(61, 0xEE);
               for (int i = 0; i < 60; ++i) want[i] = uint8_t(0x80 + i);
               return expect_word(out.count, 60, "length") +
                      expect_word(out.word, 60, "packet length") +
                      expect_bytes(out.bytes, want, "frame");
             }};
    t.setup = [](Env& e) {
      uint8_t frame[60];
      for (int i = 0; i < 60; ++i) frame[i] = uint8_t(0x80 + i);
      e.control.queue_rx_frame(frame, 60);
    };
    c.push_back(t);
  }
  return c;
}

}  // namespace

void run_operation_checks(Env& env) {
  const std::vector<OpCase> all = cases();
  for (NameSet set : {NameSet::Decorated, NameSet::Alias}) {
    use_names(set);
    for (const OpCase& t : all) {
      const std::string name = t.label + " [" + name_set_label() + "]";
      run_case(env, name, [&] {
        env.control.reset(t.eeprom_type, t.chip_variant, t.polls, 0);
        std::memset(&out, 0xEE, sizeof out);
        if (t.setup) t.setup(env);
        env.control.clear_requests();
        take_debug_strings();
        const ULONG result = t.run(env.adapter);
        check(result == t.result, name + ": result",
              "got " + hex(result) + ", want " + hex(t.result));
        const std::string requests = compare_requests(env.control, t.requests);
        check(requests.empty(), name + ": requests as the adapter received them", requests);
        const std::string strings = compare_strings(take_debug_strings(), t.debug);
        check(strings.empty(), name + ": debug strings", strings);
        if (t.after) {
          const std::string outputs = t.after(env);
          check(outputs.empty(), name + ": outputs", outputs);
        }
      });
    }
  }
  use_names(NameSet::Decorated);
}

}  // namespace wintest
