// The adapter's device model on its own, as a kernel driver hosts it: no allocation once built,
// no state shared between models, bounded logs that keep the newest entries, fixed tables that
// refuse what they cannot hold, and the answers written in place into the request's buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "simulated_adapter/device_model.h"

// ---- Every global allocation of this test program is counted ----
// The replacements below are the program's allocator: malloc and free pair up by design.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++g_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using simadapter::Completion;
using simadapter::DeviceModel;
using simadapter::Fault;
using simadapter::LoggedRequest;

// Control codes, OIDs and record offsets as the driver receives them.
constexpr uint32_t kSet = 0x80000000;
constexpr uint32_t kQuery = 0x80000004;
constexpr uint32_t kAdapterReset = 0x80000008;
constexpr uint32_t kSetChannel = 0xFF4D1008;
constexpr uint32_t kMacWrite = 0xFF0111C1;
constexpr uint32_t kMacRead = 0xFF0111C2;
constexpr uint32_t kBbWrite = 0xFF4E5281;
constexpr uint32_t kRfWrite = 0xFF0111C8;
constexpr uint32_t kEepromType = 0xFF4D101A;
constexpr uint32_t kEepromWrite = 0xFF4D1021;
constexpr uint32_t kEepromRead = 0xFF4D1022;
constexpr uint32_t kWriteCis = 0xFF4D101D;
constexpr uint32_t kReadCis = 0xFF4D101E;
constexpr uint32_t kReceive = 0xFF4D102C;
constexpr uint32_t kTxSent = 0xFF4D1024;
constexpr uint32_t kReadMac = 0xFF4D101C;
constexpr uint32_t kStatus = 0xFF4E5280;
constexpr uint32_t kRfType = 0xFF0111CA;

uint32_t get(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
void put(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// One OidData request as talven sends it: 303 + Length bytes, OID at 0, Length at 4, Param[i] at
// 8 + 4i, Data at 48; the same size in and out.
struct Oid {
  explicit Oid(uint32_t oid, uint32_t length = 4) : bytes(303 + length, 0) {
    put(bytes, 0, oid);
    put(bytes, 4, length);
  }
  Oid& param(size_t i, uint32_t v) {
    put(bytes, 8 + 4 * i, v);
    return *this;
  }
  Oid& data(size_t i, uint32_t v) {
    put(bytes, 48 + 4 * i, v);
    return *this;
  }
  uint32_t answer(size_t i) const { return get(bytes, 8 + 4 * i); }
  uint32_t length() const { return get(bytes, 4); }
  std::vector<uint8_t> bytes;
};

struct Sent {
  bool ok;
  uint32_t out_bytes;
};
Sent send(DeviceModel& m, uint32_t code, Oid& r) {
  const uint32_t size = uint32_t(r.bytes.size());
  Sent s{false, 0xABCD};
  s.ok = m.oid_request(code, r.bytes.data(), size, size, &s.out_bytes);
  return s;
}

// Param[0] of one status poll: nonzero once the last command has finished; its id in *id.
uint32_t poll(DeviceModel& m, uint32_t* id = nullptr, uint32_t* result = nullptr) {
  Oid status(kStatus, 16);
  send(m, kQuery, status);
  if (id) *id = status.answer(1);
  if (result) *result = status.answer(3);
  return status.answer(0);
}

std::unique_ptr<DeviceModel> make_model(const simadapter::Config& config = {}) {
  return std::make_unique<DeviceModel>(config);
}

TEST(DeviceModelTest, IsPlainMemoryAKernelHostCanPlaceAndFree) {
  EXPECT_TRUE(std::is_trivially_destructible<DeviceModel>::value);
  // Placement into raw memory, as from a pool allocation, then dropped without a destructor.
  void* memory = std::malloc(sizeof(DeviceModel));
  ASSERT_NE(nullptr, memory);
  Oid rf(kRfType);
  const uint64_t before = g_allocations;
  DeviceModel* m = new (memory) DeviceModel();
  EXPECT_TRUE(send(*m, kQuery, rf).ok);
  EXPECT_EQ(3u, rf.answer(0));
  EXPECT_EQ(before, g_allocations.load()) << "built and used without the heap";
  std::free(memory);
}

// The control device's records carry the model's values as they are: its request entries are
// one copy of a logged request, its enums number completions, faults and register files alike.
TEST(DeviceModelTest, ValuesAndLayoutsMatchTheControlDeviceRecords) {
  EXPECT_EQ(576u, sizeof(LoggedRequest));
  EXPECT_EQ(0u, offsetof(LoggedRequest, sequence));
  EXPECT_EQ(4u, offsetof(LoggedRequest, code));
  EXPECT_EQ(8u, offsetof(LoggedRequest, in_size));
  EXPECT_EQ(12u, offsetof(LoggedRequest, out_size));
  EXPECT_EQ(16u, offsetof(LoggedRequest, bytes));
  const int kinds[] = {Completion::Now, Completion::Later, Completion::Never, Completion::Refused,
                       Completion::Held};
  const int modes[] = {Fault::FailRequest, Fault::NeverComplete, Fault::WrongCommandId,
                       Fault::FailAndAnswer, Fault::ResultWord};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(i, kinds[i]);
    EXPECT_EQ(i, modes[i]);
  }
  EXPECT_EQ(0u, uint32_t(simadapter::RegisterFile::Mac));
  EXPECT_EQ(1u, uint32_t(simadapter::RegisterFile::BbBank0));
  EXPECT_EQ(2u, uint32_t(simadapter::RegisterFile::BbBank1));
  EXPECT_EQ(3u, uint32_t(simadapter::RegisterFile::Rf));
  // Whole control records fit: a 1536-byte frame, a 256-byte CIS and EEPROM image.
  EXPECT_LE(1536u, simadapter::kFrameBytes);
  EXPECT_EQ(256u, simadapter::kCisBytes);
  EXPECT_EQ(256u, simadapter::kEepromBytes);
}

TEST(DeviceModelTest, AnswersABurstOfEveryKindWithoutAllocating) {
  auto m = make_model();
  std::vector<Oid> records;  // built before counting starts
  for (uint32_t i = 0; i < 1500; ++i) {
    switch (i % 10) {
      case 0:
        records.push_back(Oid(kSetChannel).param(0, i % 14 + 1));
        break;
      case 1:
        records.push_back(Oid(kStatus, 16));
        break;
      case 2:
        records.push_back(Oid(kMacWrite, 12).param(0, i).param(1, 4).param(2, i * 7));
        break;
      case 3:
        records.push_back(Oid(kMacRead, 12).param(0, i - 1).param(1, 2));
        break;
      case 4:
        records.push_back(Oid(kEepromWrite, 12).data(0, i % 256).data(1, 2).data(2, i));
        break;
      case 5:
        records.push_back(Oid(kEepromRead, 12).param(0, i % 256).param(1, 1));
        break;
      case 6:
        records.push_back(Oid(kWriteCis, 256));
        break;
      case 7:
        records.push_back(Oid(kReadCis, 256));
        break;
      case 8:
        records.push_back(Oid(kReceive, 2000));
        break;
      default:
        records.push_back(Oid(kTxSent));
        break;
    }
  }
  std::vector<uint8_t> frame(3000, 0x5A);
  const uint64_t before = g_allocations;
  uint32_t answered = 0;
  for (uint32_t i = 0; i < records.size(); ++i) {
    Oid& r = records[i];
    const bool query = i % 10 == 1 || i % 10 == 7 || i % 10 == 8 || i % 10 == 9;
    if (i % 10 == 8) m->queue_received_frame(frame.data(), 100 + i);
    answered += send(*m, query ? kQuery : kSet, r).ok;
    m->frame_sent(frame.data(), uint32_t(frame.size()) - i % 3, i);
    m->add_fault({kMacRead, Fault::ResultWord, true, 0xFFFF, 1, 0});
    if (i % 100 == 0) m->clear_faults();
    m->set_query_answer(0xFF4D1019, i % 80, i);
  }
  m->reset();
  m->power_on(simadapter::Config());
  m->load_factory_eeprom();
  const uint64_t after = g_allocations;
  EXPECT_EQ(before, after) << "the model allocated while answering";
  EXPECT_EQ(1500u, answered);
}

TEST(DeviceModelTest, TwoModelsShareNoState) {
  auto a = make_model(), b = make_model();
  Oid write(kMacWrite, 12);
  write.param(0, 0x40).param(1, 4).param(2, 0x11223344);
  ASSERT_TRUE(send(*a, kSet, write).ok);
  a->frame_sent(write.bytes.data(), 10, 0);
  a->add_fault({kRfType});
  EXPECT_EQ(0x11223344u, a->mac_register(0x40));
  EXPECT_EQ(0u, b->mac_register(0x40));
  EXPECT_EQ(0u, b->frames_written());
  EXPECT_EQ(0u, b->requests_logged());
  Oid rf(kRfType);
  EXPECT_TRUE(send(*b, kQuery, rf).ok) << "a's fault does not reach b";
  EXPECT_FALSE(send(*a, kQuery, rf).ok);
}

TEST(DeviceModelTest, RequestLogKeepsTheNewestAndNumbersOnAcrossTheWrap) {
  auto m = make_model();
  for (uint32_t i = 0; i < 1029; ++i) {
    Oid r(kSetChannel);
    r.param(0, i);
    send(*m, kSet, r);
  }
  EXPECT_EQ(1029u, m->requests_logged());
  EXPECT_EQ(5u, m->oldest_logged());
  EXPECT_EQ(nullptr, m->logged_request(4)) << "overwritten";
  EXPECT_EQ(nullptr, m->logged_request(1029)) << "not yet logged";
  for (uint32_t sequence : {5u, 6u, 600u, 1023u, 1024u, 1028u}) {
    const LoggedRequest* e = m->logged_request(sequence);
    ASSERT_NE(nullptr, e) << sequence;
    EXPECT_EQ(sequence, e->sequence);
    EXPECT_EQ(kSet, e->code);
    EXPECT_EQ(307u, e->in_size);
    EXPECT_EQ(307u, e->out_size);
    uint32_t param0;
    std::memcpy(&param0, e->bytes + 8, 4);
    EXPECT_EQ(sequence, param0) << "the entry holds its own request's bytes";
  }

  // Resets are logged among the OID requests; a long request keeps its first 560 bytes.
  m->reset();
  Oid cis(kWriteCis, 400);  // 703 bytes in
  for (size_t i = 48; i < cis.bytes.size(); ++i) cis.bytes[i] = uint8_t(i);
  send(*m, kSet, cis);
  const LoggedRequest* reset = m->logged_request(1029);
  ASSERT_NE(nullptr, reset);
  EXPECT_EQ(kAdapterReset, reset->code);
  EXPECT_EQ(0u, reset->in_size);
  const LoggedRequest* long_one = m->logged_request(1030);
  ASSERT_NE(nullptr, long_one);
  EXPECT_EQ(703u, long_one->in_size);
  EXPECT_EQ(0, std::memcmp(cis.bytes.data(), long_one->bytes, 560));

  // A short request in the slot of a long one leaves no stale bytes behind its own.
  for (uint32_t i = 0; i < 1024; ++i) {
    Oid rf(kRfType);
    send(*m, kQuery, rf);
  }
  const LoggedRequest* reused = m->logged_request(2054);  // the slot of 1030
  ASSERT_NE(nullptr, reused);
  EXPECT_EQ(307u, reused->in_size);
  EXPECT_EQ(std::vector<uint8_t>(253, 0),
            std::vector<uint8_t>(reused->bytes + 307, reused->bytes + 560));

  m->clear_requests();
  EXPECT_EQ(0u, m->requests_logged());
  EXPECT_EQ(nullptr, m->logged_request(0));
  Oid rf(kRfType);
  send(*m, kQuery, rf);
  ASSERT_NE(nullptr, m->logged_request(0));
  EXPECT_EQ(0u, m->logged_request(0)->sequence) << "numbering starts again after a clear";
  EXPECT_EQ(kQuery, m->logged_request(0)->code);
}

TEST(DeviceModelTest, MalformedRequestsAreLoggedAndFailWithNothingWritten) {
  struct Case {
    const char* what;
    uint32_t code, in_size, out_size;
  } cases[] = {{"unknown control code", 0x80000010, 307, 307},
               {"input shorter than the record head", kQuery, 47, 307},
               {"output shorter than the record head", kQuery, 307, 47},
               {"transfer shorter than 303 + Length", kQuery, 306, 307},
               {"set code on a query OID", kSet, 307, 307}};
  auto m = make_model();
  for (const Case& c : cases) {
    Oid r(kRfType);
    const std::vector<uint8_t> sent = r.bytes;
    uint32_t out = 0xABCD;
    EXPECT_FALSE(m->oid_request(c.code, r.bytes.data(), c.in_size, c.out_size, &out)) << c.what;
    EXPECT_EQ(0u, out) << c.what;
    EXPECT_EQ(sent, r.bytes) << c.what;
  }
  EXPECT_EQ(5u, m->requests_logged());
  uint32_t out = 0xABCD;
  EXPECT_FALSE(m->oid_request(kQuery, nullptr, 307, 307, &out)) << "no buffer";
  EXPECT_EQ(6u, m->requests_logged());
}

TEST(DeviceModelTest, FrameLogKeepsTheNewestSixteenWithTheirOffsets) {
  auto m = make_model();
  for (uint32_t i = 0; i < 20; ++i) {
    std::vector<uint8_t> f(60 + i, uint8_t(i));
    m->frame_sent(f.data(), uint32_t(f.size()), 1000 + i);
  }
  EXPECT_EQ(20u, m->frames_written());
  ASSERT_EQ(16u, m->frames_kept());
  for (uint32_t i = 0; i < 16; ++i) {
    const simadapter::LoggedFrame& f = m->frame(i);
    EXPECT_EQ(64 + i, f.size) << i;
    EXPECT_EQ(1004u + i, f.offset) << i;
    EXPECT_EQ(uint8_t(4 + i), f.bytes[0]) << i;
  }
  EXPECT_FALSE(m->all_frames_identical());
  EXPECT_EQ(20u, m->counters().tx_sent);
  m->clear_frames();
  EXPECT_EQ(0u, m->frames_written());
  EXPECT_EQ(0u, m->frames_kept());
  EXPECT_TRUE(m->all_frames_identical());
}

TEST(DeviceModelTest, FramesCompareInFullBeyondTheBytesKept) {
  struct Case {
    const char* what;
    size_t size_second;
    size_t changed_at;  // byte changed in the second frame; 0 = none
    bool identical;
  } cases[] = {{"same long frame", 3000, 0, true},
               {"differs past the bytes kept", 3000, 2900, false},
               {"differs inside the bytes kept", 3000, 10, false},
               {"longer by one byte", 3001, 0, false},
               {"differs in the last byte kept", 3000, 2399, false}};
  for (const Case& c : cases) {
    auto m = make_model();
    std::vector<uint8_t> first(3000, 0x33), second(c.size_second, 0x33);
    if (c.changed_at) second[c.changed_at] = 0x34;
    m->frame_sent(first.data(), uint32_t(first.size()), 0);
    m->frame_sent(first.data(), uint32_t(first.size()), 0);
    m->frame_sent(second.data(), uint32_t(second.size()), 0);
    EXPECT_EQ(c.identical, m->all_frames_identical()) << c.what;
    EXPECT_EQ(c.size_second, m->frame(2).size) << c.what;
    EXPECT_EQ(2400u, m->frame(2).stored) << c.what;
  }
}

TEST(DeviceModelTest, EepromTypeSwitchKeepsTheFirstBytesAndRefillsWhatItGains) {
  auto m = make_model();
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i ^ 0x5A);
  ASSERT_TRUE(m->set_eeprom(image.data(), image.size()));
  EXPECT_EQ(2u, m->eeprom_type());

  m->set_eeprom_type(1);
  EXPECT_EQ(128u, m->eeprom_size());
  EXPECT_EQ(0, std::memcmp(image.data(), m->eeprom(), 128));
  Oid type(kEepromType);
  send(*m, kQuery, type);
  EXPECT_EQ(1u, type.answer(0));
  // Offsets wrap at the image's size: 130 is byte 2 of a 128-byte EEPROM.
  Oid read(kEepromRead, 12);
  read.param(0, 130).param(1, 2);
  ASSERT_TRUE(send(*m, kSet, read).ok);
  uint32_t result = 0;
  EXPECT_EQ(0u, poll(*m)) << "busy first";
  EXPECT_EQ(1u, poll(*m, nullptr, &result));
  EXPECT_EQ(uint32_t(image[2]) | uint32_t(image[3]) << 8, result);
  Oid write(kEepromWrite, 12);
  write.data(0, 127).data(1, 2).data(2, 0xBEEF);  // the word's high byte wraps to offset 0
  ASSERT_TRUE(send(*m, kSet, write).ok);
  EXPECT_EQ(0xEF, m->eeprom()[127]);
  EXPECT_EQ(0xBE, m->eeprom()[0]);

  m->set_eeprom_type(2);
  EXPECT_EQ(256u, m->eeprom_size());
  for (size_t i = 128; i < 256; ++i) ASSERT_EQ(0xFF, m->eeprom()[i]) << i;

  EXPECT_FALSE(m->set_eeprom(image.data(), 100)) << "only 128 or 256 bytes";
  EXPECT_EQ(2u, m->eeprom_type());
  ASSERT_TRUE(m->set_eeprom(image.data(), 256));
  ASSERT_TRUE(m->set_eeprom(image.data(), 128));
  EXPECT_EQ(1u, m->eeprom_type());
  m->set_eeprom_type(2);
  EXPECT_EQ(0xFF, m->eeprom()[200]) << "a 128-byte image leaves no old bytes behind it";

  m->set_eeprom_type(1);
  m->load_factory_eeprom();
  const uint8_t factory_head[] = {0x29, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x01};
  EXPECT_EQ(0, std::memcmp(factory_head, m->eeprom(), sizeof(factory_head)));
  const uint8_t factory_mac[] = {0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  EXPECT_EQ(0, std::memcmp(factory_mac, m->eeprom() + 14, 6));
}

TEST(DeviceModelTest, FaultsMatchTheAddressAndRunOut) {
  struct Step {
    uint32_t oid;
    uint32_t address;  // Param[0], or Data word 0 of an EEPROM write
    bool ok;
  };
  auto m = make_model();
  m->add_fault({kMacRead, Fault::FailRequest, true, 0x40, 2, 0});
  m->add_fault({kEepromWrite, Fault::FailRequest, true, 0x10, -1, 0});
  const Step steps[] = {
      {kMacRead, 0x44, true},      {kMacRead, 0x40, false},
      {kMacRead, 0x40, false},     {kMacRead, 0x40, true},  // ran out after two
      {kEepromWrite, 0x11, true},  {kEepromWrite, 0x10, false},
      {kEepromWrite, 0x10, false}, {kMacWrite, 0x40, true},  // another OID
  };
  for (const Step& s : steps) {
    Oid r(s.oid, 12);
    if (s.oid == kEepromWrite)
      r.param(0, 0x10).data(0, s.address).data(1, 1).data(2, 0x77);  // Param[0] is not it
    else
      r.param(0, s.address).param(1, 1);
    EXPECT_EQ(s.ok, send(*m, kSet, r).ok) << std::hex << s.oid << " " << s.address;
  }
}

TEST(DeviceModelTest, FaultModesShapeTheAnswerAndTheCommand) {
  struct Case {
    Fault::Mode mode;
    bool ok;
    bool answered;      // out_bytes set, answer written
    uint32_t finished;  // status Param[0] after the busy poll
    uint32_t id;        // status Param[1]
    uint32_t result;    // status Param[3]
  } cases[] = {
      {Fault::FailRequest, false, false, 0, 0, 0},
      {Fault::FailAndAnswer, false, true, 1, 2, 0x12AB},
      {Fault::NeverComplete, true, true, 0, 2, 0xB5B5B5B5},
      {Fault::WrongCommandId, true, true, 1, 3, 0x12AB},
      {Fault::ResultWord, true, true, 1, 2, 0xCAFEF00D},
  };
  for (const Case& c : cases) {
    auto m = make_model();
    m->set_mac_register(0x20, 0x12AB);
    m->add_fault({kMacRead, c.mode, false, 0, -1, 0xCAFEF00D});
    Oid read(kMacRead, 12);
    read.param(0, 0x20).param(1, 2);  // width 2: command 2
    const Sent s = send(*m, kSet, read);
    EXPECT_EQ(c.ok, s.ok) << c.mode;
    EXPECT_EQ(c.answered ? 315u : 0u, s.out_bytes) << c.mode;
    if (!c.answered) continue;
    EXPECT_EQ(0u, poll(*m)) << "one busy poll first";
    uint32_t id = 0, result = 0;
    EXPECT_EQ(c.finished, poll(*m, &id, &result)) << c.mode;
    EXPECT_EQ(c.id, id) << c.mode;
    EXPECT_EQ(c.result, result) << c.mode;
  }
}

TEST(DeviceModelTest, FixedTablesRefuseWhatTheyCannotHold) {
  auto m = make_model();
  for (uint32_t i = 0; i < 32; ++i) ASSERT_TRUE(m->add_fault({0xFF4D1000 + i})) << i;
  EXPECT_FALSE(m->add_fault({0xFF4D1040})) << "32 faults at most";
  m->clear_faults();
  EXPECT_TRUE(m->add_fault({0xFF4D1040}));

  std::vector<uint8_t> frame(50, 0x42);
  for (uint32_t i = 0; i < 16; ++i) ASSERT_TRUE(m->queue_received_frame(frame.data(), 10 + i));
  EXPECT_FALSE(m->queue_received_frame(frame.data(), 50)) << "16 frames wait at most";
  EXPECT_EQ(16u, m->queued_received_frames());
  Oid first(kReceive, 2000);
  ASSERT_TRUE(send(*m, kQuery, first).ok);
  EXPECT_EQ(10u, first.length()) << "oldest first";
  EXPECT_TRUE(m->queue_received_frame(frame.data(), 50)) << "room again";

  EXPECT_FALSE(m->set_query_word(0x12345678, 1)) << "an OID the adapter never answers";
  for (uint32_t i = 0; i < 64; ++i) ASSERT_TRUE(m->set_query_answer(0xFF4D1019, i, i));
  EXPECT_FALSE(m->set_query_answer(0xFF4D1019, 64, 1));
  EXPECT_TRUE(m->set_query_answer(0xFF4D1019, 3, 99)) << "an existing one still updates";
}

TEST(DeviceModelTest, RegisterFilesDoNotAliasAndTheTableFillsUp) {
  auto m = make_model();
  m->set_mac_register(0x40, 1);
  m->set_bb_register(0, 0x40, 2);
  m->set_bb_register(1, 0x40, 3);
  m->set_rf_register(0x40, 4);
  EXPECT_EQ(1u, m->mac_register(0x40));
  EXPECT_EQ(2u, m->bb_register(0, 0x40));
  EXPECT_EQ(3u, m->bb_register(1, 0x40));
  EXPECT_EQ(2u, m->bb_register(7, 0x40)) << "any other bank is bank 0";
  EXPECT_EQ(4u, m->rf_register(0x40));
  EXPECT_FALSE(m->set_register(simadapter::RegisterFile(4), 0x40, 5));

  // Writes through the OIDs land in the same files.
  Oid bb(kBbWrite, 12), rf(kRfWrite, 12);
  bb.param(0, 0x41).param(1, 1).param(2, 0x99);
  rf.param(0, 0x41).param(2, 0x77);
  ASSERT_TRUE(send(*m, kSet, bb).ok);
  ASSERT_TRUE(send(*m, kSet, rf).ok);
  EXPECT_EQ(0x99u, m->bb_register(1, 0x41));
  EXPECT_EQ(0x77u, m->rf_register(0x41));
  EXPECT_EQ(0u, m->mac_register(0x41));

  m->power_on(simadapter::Config());
  for (uint32_t i = 0; i < 1024; ++i)
    ASSERT_TRUE(m->set_register(simadapter::RegisterFile::Mac, i * 4096, i + 1)) << i;
  EXPECT_FALSE(m->set_register(simadapter::RegisterFile::Rf, 0x40, 1)) << "1024 addresses";
  EXPECT_EQ(0u, m->rf_register(0x40));
  EXPECT_TRUE(m->set_register(simadapter::RegisterFile::Mac, 4096, 0xAA)) << "update when full";
  EXPECT_EQ(0xAAu, m->mac_register(4096));
  EXPECT_EQ(1024u, m->mac_register(1023 * 4096));
  EXPECT_EQ(0u, m->mac_register(3)) << "a miss in a full table ends";
}

TEST(DeviceModelTest, AnswersInPlaceAndCompletesAsScripted) {
  auto m = make_model();
  // A command, its busy poll and its completion, answered into the request's own buffer.
  Oid channel(kSetChannel);
  channel.param(0, 11);
  simadapter::OidAnswer a = m->answer_oid(kSet, channel.bytes.data(), 307, 307);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(307u, a.out_bytes);
  EXPECT_EQ(Completion::Now, a.completion.kind);
  uint32_t id = 0;
  EXPECT_EQ(0u, poll(*m, &id));
  EXPECT_EQ(1u, poll(*m, &id));
  EXPECT_EQ(24u, id);
  uint32_t first = 0;
  ASSERT_TRUE(m->setting(kSetChannel, &first));
  EXPECT_EQ(11u, first);

  m->set_oid_completion({Completion::Held, 0, 0}, 2);
  Oid mac(kReadMac, 6);
  EXPECT_EQ(Completion::Held, m->answer_oid(kQuery, mac.bytes.data(), 309, 309).completion.kind);
  const uint8_t expected_mac[] = {0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  EXPECT_EQ(0, std::memcmp(expected_mac, mac.bytes.data() + 48, 6)) << "answered at once";
  EXPECT_EQ(Completion::Held, m->answer_oid(kQuery, mac.bytes.data(), 309, 309).completion.kind);
  EXPECT_EQ(Completion::Now, m->answer_oid(kQuery, mac.bytes.data(), 309, 309).completion.kind);

  // A CIS longer than 256 bytes keeps 256; the read copies no more than the room it has.
  Oid cis(kWriteCis, 300);
  for (size_t i = 0; i < 300; ++i) cis.bytes[48 + i] = uint8_t(i + 1);
  ASSERT_TRUE(send(*m, kSet, cis).ok);
  EXPECT_EQ(256u, m->cis_size());
  Oid read(kReadCis, 256);
  ASSERT_TRUE(m->oid_request(kQuery, read.bytes.data(), 559, 148, &a.out_bytes));
  EXPECT_EQ(148u, a.out_bytes);
  EXPECT_EQ(256u, read.length());
  EXPECT_EQ(100, read.bytes[48 + 99]);
  EXPECT_EQ(0, read.bytes[48 + 100]) << "nothing past out_size";
}

TEST(DeviceModelTest, PowerOnForgetsEverything) {
  simadapter::Config config;
  config.completion_polls = 0;
  config.rf_type = 7;
  auto m = make_model(config);
  Oid write(kMacWrite, 12);
  write.param(0, 0x40).param(1, 4).param(2, 5);
  send(*m, kSet, write);
  m->frame_sent(write.bytes.data(), 10, 0);
  m->add_fault({kRfType});
  m->set_never_finish(true);
  m->queue_received_frame(write.bytes.data(), 10);
  m->set_oid_completion({Completion::Never, 0, 0});
  m->set_eeprom_type(1);

  m->power_on(config);
  EXPECT_EQ(0u, m->mac_register(0x40));
  EXPECT_EQ(0u, m->frames_written());
  EXPECT_EQ(0u, m->requests_logged());
  EXPECT_EQ(0u, m->queued_received_frames());
  EXPECT_EQ(0u, m->counters().tx_sent);
  EXPECT_EQ(2u, m->eeprom_type());
  EXPECT_EQ(0xFF, m->eeprom()[200]);
  EXPECT_FALSE(m->setting(kMacWrite, nullptr));
  Oid rf(kRfType);
  const simadapter::OidAnswer a = m->answer_oid(kQuery, rf.bytes.data(), 307, 307);
  EXPECT_TRUE(a.ok) << "faults gone";
  EXPECT_EQ(Completion::Now, a.completion.kind);
  EXPECT_EQ(7u, rf.answer(0));
  Oid channel(kSetChannel);
  send(*m, kSet, channel);
  EXPECT_EQ(1u, poll(*m)) << "commands finish again, with no busy poll";
}

}  // namespace
