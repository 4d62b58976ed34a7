// EEPROM access: the records of byte and word accesses, the EEPROM type, and whole images
// with their order, trace lines and stop rules.
#include <algorithm>
#include <array>
#include <functional>

#include "library/eeprom/eeprom.h"
#include "support/machine.h"

namespace talven_test {
namespace {

using simadapter::Fault;

// EEPROM OIDs and the command status as the driver receives them.
constexpr uint32_t kEepromType = 0xFF4D101A;
constexpr uint32_t kEepromWrite = 0xFF4D1021;
constexpr uint32_t kEepromRead = 0xFF4D1022;
constexpr uint32_t kCommandStatus = 0xFF4E5280;

const std::vector<std::string> kWordTrace = {"==>TALVEN: ReadEEprom2Byte\n",
                                             "<==TALVEN: ReadEEprom2Byte\n"};

class EepromTest : public MachineTest {
 protected:
  std::vector<uint8_t> pattern(size_t n) const {
    std::vector<uint8_t> image(n);
    for (size_t i = 0; i < n; ++i) image[i] = uint8_t(i * 7 + 3);
    return image;
  }
  // A fault on the word access at one EEPROM offset.
  void fail_at(uint32_t oid, uint32_t offset, Fault::Mode mode = Fault::FailRequest) {
    Fault f{oid, mode, true, offset, -1};
    sim_->add_fault(f);
  }
};

TEST_F(EepromTest, AccessRecordsCarryTheirWordsInTheirOwnPlaces) {
  struct Case {
    const char* what;
    std::function<ULONG(Adapter*)> call;
    uint32_t oid;
    std::array<uint32_t, 3> params, data;
    int32_t command;
  } cases[] = {
      {"ReadEEpromByte 0x1A5",
       [](Adapter* a) {
         UCHAR b;
         return ReadEEpromByte(a, 0x1A5, &b);
       },
       kEepromRead,
       {0xA5, 1, 0xFFFFFFFF},
       {0, 0, 0},
       13},
      {"ReadEEprom2Byte 0x104",
       [](Adapter* a) {
         USHORT v;
         return talven::ReadEEprom2Byte(a, 0x104, &v);
       },
       kEepromRead,
       {0x04, 2, 0xFFFFFFFF},
       {0, 0, 0},
       15},
      {"WriteEEpromByte 0x10A 0x1234",
       [](Adapter* a) { return WriteEEpromByte(a, 0x10A, 0x1234); },
       kEepromWrite,
       {0, 0, 0},
       {0x0A, 1, 0x34},
       14},
      {"WriteEEprom2Byte 0x210 0x12345",
       [](Adapter* a) { return talven::WriteEEprom2Byte(a, 0x210, 0x12345); },
       kEepromWrite,
       {0, 0, 0},
       {0x10, 2, 0x2345},
       16},
  };
  open();
  for (const Case& c : cases) {
    sim_->clear_requests();
    sim_->set_reported_command_id(c.command);  // only the awaited id completes the access
    EXPECT_EQ(1u, c.call(adapter_)) << c.what;
    const auto sent = sim_->requests_for(c.oid);
    ASSERT_EQ(1u, sent.size()) << c.what;
    EXPECT_TRUE(sent[0].is_set()) << c.what;
    EXPECT_EQ(12u, sent[0].length());
    EXPECT_EQ(315u, sent[0].in_size);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(c.params[i], sent[0].param(i)) << c.what << " Param[" << i << "]";
      EXPECT_EQ(c.data[i], sent[0].data_word(i)) << c.what << " Data word " << i;
    }
    EXPECT_EQ(0u, sent[0].data_word(3));
    sim_->set_reported_command_id(c.command + 1);
    EXPECT_EQ(0u, c.call(adapter_)) << c.what << ": another command's completion";

    sim_->set_reported_command_id(-1);
    sim_->set_never_finish(true);
    sim_->clear_requests();
    win32sim::clear_sleep_log();
    EXPECT_EQ(0u, c.call(adapter_)) << c.what << ": no completion";
    EXPECT_EQ(2001u, sim_->requests_for(kCommandStatus).size()) << c.what;
    EXPECT_EQ(2000u, pauses()) << c.what;
    sim_->set_never_finish(false);
  }
}

TEST_F(EepromTest, ReadsDeliverOnlyWhatTheCompletionReportsAndOnlyOnSuccess) {
  open();
  std::vector<uint8_t> image = pattern(256);
  image[4] = 0xCD;
  image[5] = 0xAB;
  sim_->set_eeprom(image);
  UCHAR byte = 0;
  USHORT word = 0;
  EXPECT_EQ(1u, ReadEEpromByte(adapter_, 0x104, &byte));
  EXPECT_EQ(0xCD, byte);
  EXPECT_EQ(1u, talven::ReadEEprom2Byte(adapter_, 4, &word));
  EXPECT_EQ(0xABCD, word);
  EXPECT_EQ(kWordTrace, debug());

  // No value on any failure; the word read still writes its exit line.
  struct Failure {
    const char* what;
    std::function<void()> script;
  } failures[] = {
      {"request fails", [&] { fail_at(kEepromRead, 4); }},
      {"no completion", [&] { sim_->set_never_finish(true); }},
      {"another command", [&] { fail_at(kEepromRead, 4, Fault::WrongCommandId); }},
  };
  for (const Failure& f : failures) {
    sim_->clear_faults();
    f.script();
    byte = 0x11;
    word = 0x2222;
    EXPECT_EQ(0u, ReadEEpromByte(adapter_, 4, &byte)) << f.what;
    EXPECT_EQ(0x11, byte) << f.what;
    win32sim::clear_debug_strings();
    EXPECT_EQ(0u, talven::ReadEEprom2Byte(adapter_, 4, &word)) << f.what;
    EXPECT_EQ(0x2222, word) << f.what;
    EXPECT_EQ(kWordTrace, debug()) << f.what;
  }
  sim_->clear_faults();

  win32sim::clear_debug_strings();
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(0u, talven::ReadEEprom2Byte(adapter_, 4, &word));
  EXPECT_EQ(std::vector<std::string>{"==>TALVEN: ReadEEprom2Byte\n"}, debug()) << "no exit line";
}

TEST_F(EepromTest, TypeQueryStoresParamZeroWhateverTheResult) {
  open();
  ULONG type = 0;
  EXPECT_EQ(1u, QueryEEpromType(adapter_, &type));
  EXPECT_EQ(2u, type);
  const Request query = sim_->requests_for(kEepromType).at(0);
  EXPECT_TRUE(query.is_query());
  EXPECT_EQ(4u, query.length());
  EXPECT_EQ(307u, query.in_size);
  sim_->add_fault({kEepromType});
  type = 9;
  EXPECT_EQ(0u, QueryEEpromType(adapter_, &type));
  EXPECT_EQ(0u, type);
}

TEST_F(EepromTest, WholeImageReadsAndWritesEveryWordInOrder) {
  struct Case {
    ULONG type;
    size_t size;
  } cases[] = {{1, 128}, {2, 256}};
  open();
  for (const Case& c : cases) {
    sim_->set_eeprom_type(c.type);
    sim_->set_eeprom(pattern(c.size));
    sim_->clear_requests();
    win32sim::clear_debug_strings();
    std::vector<uint8_t> buffer(300, 0xEE);
    EXPECT_EQ(1u, ReadEEprom(adapter_, buffer.data(), c.type));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.size, pattern(c.size).begin()));
    EXPECT_EQ(0xEE, buffer[c.size]) << "exactly the image";
    const auto reads = sim_->requests_for(kEepromRead);
    ASSERT_EQ(c.size / 2, reads.size());
    for (size_t i = 0; i < reads.size(); ++i) EXPECT_EQ(2 * i, reads[i].param(0));
    const auto lines = debug();
    ASSERT_EQ(c.size + 2, lines.size());
    EXPECT_EQ("==>TALVEN: ReadEEprom\n", lines.front());
    EXPECT_EQ("<==TALVEN: ReadEEprom\n", lines.back());

    std::vector<uint8_t> image = pattern(c.size);
    std::reverse(image.begin(), image.end());
    sim_->clear_requests();
    win32sim::clear_debug_strings();
    EXPECT_EQ(1u, WriteEEprom(adapter_, image.data(), c.type));
    EXPECT_EQ(image, sim_->eeprom());
    const auto writes = sim_->requests_for(kEepromWrite);
    ASSERT_EQ(c.size / 2, writes.size());
    EXPECT_EQ(ULONG(image[5]) << 8 | image[4], writes[2].data_word(2));
    EXPECT_TRUE(debug().empty()) << "the image write traces nothing";
  }
}

TEST_F(EepromTest, UnknownTypesSendNothing) {
  open();
  std::vector<uint8_t> buffer(256, 0xEE);
  EXPECT_EQ(0u, ReadEEprom(adapter_, buffer.data(), 3));
  EXPECT_EQ((std::vector<std::string>{"==>TALVEN: ReadEEprom\n", "TALVEN: Unknown EEPROM type\n",
                                      "<==TALVEN: ReadEEprom\n"}),
            debug());
  win32sim::clear_debug_strings();
  EXPECT_EQ(0u, WriteEEprom(adapter_, buffer.data(), 0));
  EXPECT_TRUE(debug().empty());
  EXPECT_TRUE(oid_requests().empty());
  EXPECT_EQ(std::vector<uint8_t>(256, 0xEE), buffer);
}

TEST_F(EepromTest, WholeImageTransfersStopAtTheFirstFailedWord) {
  open();
  sim_->set_eeprom_type(1);
  sim_->set_eeprom(pattern(128));
  fail_at(kEepromRead, 18, Fault::WrongCommandId);  // the tenth word
  std::vector<uint8_t> buffer(128, 0xEE);
  win32sim::clear_debug_strings();
  EXPECT_EQ(0u, ReadEEprom(adapter_, buffer.data(), 1));
  std::vector<std::string> trace = {"==>TALVEN: ReadEEprom\n"};
  for (int word = 0; word < 10; ++word)
    trace.insert(trace.end(), kWordTrace.begin(), kWordTrace.end());
  trace.push_back("<==TALVEN: ReadEEprom\n");
  EXPECT_EQ(trace, debug()) << "the exit line follows the failed word";
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 18, pattern(128).begin()));
  EXPECT_EQ(std::vector<uint8_t>(110, 0xEE),
            std::vector<uint8_t>(buffer.begin() + 18, buffer.end()));
  EXPECT_EQ(10u, sim_->requests_for(kEepromRead).size()) << "no word is retried";

  fail_at(kEepromWrite, 18);
  const std::vector<uint8_t> image(128, 0x5A);
  EXPECT_EQ(0u, WriteEEprom(adapter_, image.data(), 1));
  EXPECT_EQ(10u, sim_->requests_for(kEepromWrite).size());
  const auto eeprom = sim_->eeprom();
  EXPECT_EQ(std::vector<uint8_t>(18, 0x5A),
            std::vector<uint8_t>(eeprom.begin(), eeprom.begin() + 18))
      << "the words before stay written";
  EXPECT_EQ(pattern(128)[18], eeprom[18]);
}

}  // namespace
}  // namespace talven_test
