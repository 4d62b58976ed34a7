// The transmit power-control table: EEPROM placement in both chip variants, the caller's
// 74-byte layout, length checks and the go-on-after-failure rule.
#include <algorithm>

#include "support/machine.h"

namespace talven_test {
namespace {

using simadapter::Fault;

constexpr uint32_t kEepromWrite = 0xFF4D1021;
constexpr uint32_t kEepromRead = 0xFF4D1022;
constexpr uint32_t kChipInfo = 0xFF0101CB;

// A hand-built calibration with every entry distinct. 2.4 GHz channel c has the byte
// (15 - c) << 4 | c: low values 1..14, high values 14..1. EEPROM byte and its value:
const std::vector<std::pair<size_t, uint8_t>> k24Bytes = {
    {44, 0xE1}, {45, 0xD2},  {46, 0xC3},  {47, 0xB4},  {48, 0xA5},   // channels 1 to 5
    {49, 0x96}, {122, 0x87}, {123, 0x78}, {124, 0x69}, {125, 0x5A},  // channels 6 to 10
    {54, 0x4B}, {56, 0x2D},  {57, 0x1E}};                            // channels 11, 13, 14
const std::pair<size_t, uint8_t> kCh12Standard = {55, 0x3C};
const std::pair<size_t, uint8_t> kCh12Variant = {20, 0xFF};  // low 15, high 15
const std::vector<std::pair<size_t, uint8_t>> k5Bytes = {
    {32, 0x11}, {33, 0x22}, {34, 0x33}, {35, 0x44}, {36, 0x55}, {37, 0x66},   // 36 to 56
    {38, 0x77}, {39, 0x88}, {40, 0x99}, {41, 0xAA}, {42, 0xBB}, {43, 0xCC}};  // 60 to 161

// The caller's table for that calibration in the standard placement.
// clang-format off
const std::vector<uint8_t> kTableStandard = {
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,  // low
    0x00, 0x00, 0x00, 0x00, 0x00,                                                  // 26 to 34
    0x11, 0x00, 0x22, 0x00, 0x33, 0x00, 0x44, 0x00,                                // 36 to 50
    0x55, 0x00, 0x66, 0x00, 0x77, 0x00, 0x88,                                      // 52 to 64
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // 66 to 86
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // 100 to 140
    0x99, 0xAA, 0xBB, 0xCC,                                                        // 149 to 161
    0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // high
};
// clang-format on

// The same table in the variant placement, where channel 12 comes from the byte at 20.
std::vector<uint8_t> table_for(uint32_t variant) {
  std::vector<uint8_t> t = kTableStandard;
  if (variant == 2) t[11] = t[71] = 0x0F;
  return t;
}

// EEPROM contents around the table; no table access may change an uncovered byte.
std::vector<uint8_t> background() {
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + 7);
  return image;
}

std::vector<uint8_t> with(std::vector<uint8_t> image,
                          const std::vector<std::pair<size_t, uint8_t>>& bytes) {
  for (const auto& b : bytes) image[b.first] = b.second;
  return image;
}

const std::vector<std::string> kOrderStandard = {"w44", "w46", "w48", "w122", "w124", "w54", "w56",
                                                 "w32", "w34", "w36", "w38",  "w40",  "w42"};
const std::vector<std::string> kOrderVariant = {"w44", "w46", "w48", "w122", "w124", "b54", "b20",
                                                "w56", "w32", "w34", "w36",  "w38",  "w40", "w42"};

// Buffer bytes of the 12 channels with an EEPROM entry (14 + position in the channel list).
const std::vector<size_t> kMapped = {19, 21, 23, 25, 27, 29, 31, 33, 56, 57, 58, 59};

// A table with 4-bit values 0..15 and distinct 8-bit entries for the mapped channels.
std::vector<uint8_t> sample_table(size_t length = 74) {
  std::vector<uint8_t> t(length, 0);
  for (size_t k = 0; k < 14; ++k) {
    t[k] = uint8_t(k);
    t[60 + k] = uint8_t(15 - k);
  }
  for (size_t i = 0; i < kMapped.size(); ++i) t[kMapped[i]] = uint8_t(0xA0 + i);
  return t;
}

class PowerTableTest : public MachineTest {
 protected:
  // Offsets of the EEPROM accesses in order, words as "w<offset>", bytes as "b<offset>".
  std::vector<std::string> accesses() const {
    std::vector<std::string> out;
    for (const Request& r : sim_->requests()) {
      if (r.oid() == kEepromRead)
        out.push_back((r.param(1) == 2 ? "w" : "b") + std::to_string(r.param(0)));
      if (r.oid() == kEepromWrite)
        out.push_back((r.data_word(1) == 2 ? "w" : "b") + std::to_string(r.data_word(0)));
    }
    return out;
  }
};

TEST_F(PowerTableTest, RoundTripInBothPlacementsWithTheirAccessOrder) {
  struct Case {
    uint32_t variant;
    std::vector<std::string> order;
  } cases[] = {{0, kOrderStandard}, {1, kOrderStandard}, {3, kOrderStandard}, {2, kOrderVariant}};
  open();
  for (const Case& c : cases) {
    sim_->set_chip_variant(c.variant);
    sim_->set_eeprom(std::vector<uint8_t>(256, 0xFF));
    const std::vector<uint8_t> table = sample_table();
    sim_->clear_requests();
    EXPECT_EQ(1u, WritePowerControl(adapter_, table.data(), 74)) << c.variant;
    EXPECT_EQ(c.order, accesses()) << c.variant;
    const auto chip = sim_->requests_for(kChipInfo);
    ASSERT_EQ(1u, chip.size());
    EXPECT_TRUE(chip[0].is_query());
    EXPECT_EQ(28u, chip[0].length());
    EXPECT_EQ(331u, chip[0].in_size);

    const auto eeprom = sim_->eeprom();
    EXPECT_EQ(0xF0, eeprom[44]) << "channel 1: low 0, high 15";
    EXPECT_EQ(0xA0, eeprom[32]) << "channel 36";
    EXPECT_EQ(0xAB, eeprom[43]) << "channel 161";
    if (c.variant == 2) {
      EXPECT_EQ(0x5A, eeprom[54]) << "channel 11 (low 10, high 5) in the byte at 54";
      EXPECT_EQ(0x4B, eeprom[20]) << "channel 12 in the byte at 20";
      EXPECT_EQ(0xFF, eeprom[55]) << "the word at 54 is not used";
    } else {
      EXPECT_EQ(0x5A, eeprom[54]);
      EXPECT_EQ(0x4B, eeprom[55]);
      EXPECT_EQ(0xFF, eeprom[20]);
    }

    std::vector<uint8_t> back(100, 0xEE);
    sim_->clear_requests();
    EXPECT_EQ(1u, ReadPowerControl(adapter_, back.data(), 100));
    EXPECT_EQ(c.order, accesses()) << "reads go in the same order";
    EXPECT_EQ(table, std::vector<uint8_t>(back.begin(), back.begin() + 74));
    EXPECT_EQ(std::vector<uint8_t>(26, 0), std::vector<uint8_t>(back.begin() + 74, back.end()));
  }
}

TEST_F(PowerTableTest, UnmappedChannelsAndExtraBytesMakeNoDifference) {
  open();
  std::vector<uint8_t> plain = sample_table(90);
  std::vector<uint8_t> noisy = plain;
  for (size_t i = 14; i < 60; ++i)
    if (std::find(kMapped.begin(), kMapped.end(), i) == kMapped.end()) noisy[i] = uint8_t(i);
  for (size_t i = 74; i < 90; ++i) noisy[i] = 0x77;
  ASSERT_EQ(1u, WritePowerControl(adapter_, plain.data(), 90));
  const auto first = sim_->eeprom();
  const auto first_requests = sim_->requests();
  sim_->clear_requests();
  ASSERT_EQ(1u, WritePowerControl(adapter_, noisy.data(), 90));
  EXPECT_EQ(first, sim_->eeprom());
  EXPECT_EQ(first_requests.size(), sim_->requests().size());

  std::vector<uint8_t> back(74, 0xEE);
  ASSERT_EQ(1u, ReadPowerControl(adapter_, back.data(), 74));
  for (size_t i = 14; i < 60; ++i)
    if (std::find(kMapped.begin(), kMapped.end(), i) == kMapped.end()) {
      EXPECT_EQ(0, back[i]) << i;
    }
}

TEST_F(PowerTableTest, OnlyTheLowFourBitsOfEachValueCount) {
  struct Case {
    uint8_t low, high, stored, low_back, high_back;
  } cases[] = {{0x1F, 0x13, 0x3F, 0x0F, 0x03},
               {0xF5, 0x03, 0x35, 0x05, 0x03},
               {0x03, 0xF5, 0x53, 0x03, 0x05}};
  open();
  for (const Case& c : cases) {
    std::vector<uint8_t> table = sample_table();
    table[3] = c.low;
    table[63] = c.high;
    ASSERT_EQ(1u, WritePowerControl(adapter_, table.data(), 74));
    EXPECT_EQ(c.stored, sim_->eeprom()[47]) << "channel 4: bits 8..15 of the word at 46";
    std::vector<uint8_t> back(74);
    ASSERT_EQ(1u, ReadPowerControl(adapter_, back.data(), 74));
    EXPECT_EQ(c.low_back, back[3]);
    EXPECT_EQ(c.high_back, back[63]);
  }
}

// Every entry is read from its own place; an entry whose read failed reads 0, never a value
// left over from another pass, and a failure does not stop the later accesses.
TEST_F(PowerTableTest, ReadGathersEveryEntryFromItsPlace) {
  struct Case {
    const char* what;
    uint32_t variant;
    Fault fault;  // oid 0: none
    std::vector<size_t> zeroed;
  } cases[] = {
      {"standard", 0, {}, {}},
      {"variant", 2, {}, {}},
      {"5 GHz word at 34 fails", 0, {kEepromRead, Fault::WrongCommandId, true, 34}, {23, 25}},
      {"2.4 GHz word at 46 fails", 0, {kEepromRead, Fault::FailRequest, true, 46}, {2, 3, 62, 63}},
      {"variant byte at 54 fails", 2, {kEepromRead, Fault::FailRequest, true, 54}, {10, 70}},
      {"variant byte at 20 fails", 2, {kEepromRead, Fault::NeverComplete, true, 20}, {11, 71}},
  };
  open();
  for (const Case& c : cases) {
    sim_->clear_faults();
    if (c.fault.oid != 0) sim_->add_fault(c.fault);
    sim_->set_chip_variant(c.variant);
    auto bytes = k24Bytes;
    bytes.insert(bytes.end(), k5Bytes.begin(), k5Bytes.end());
    bytes.push_back(kCh12Standard);
    bytes.push_back(kCh12Variant);
    sim_->set_eeprom(with(background(), bytes));
    sim_->clear_requests();
    std::vector<uint8_t> expected = table_for(c.variant);
    for (size_t i : c.zeroed) expected[i] = 0;

    std::vector<uint8_t> buffer(74, 0xEE);
    EXPECT_EQ(c.zeroed.empty() ? 1u : 0u, ReadPowerControl(adapter_, buffer.data(), 74)) << c.what;
    EXPECT_EQ(expected, buffer) << c.what;
    EXPECT_EQ(c.variant == 2 ? kOrderVariant : kOrderStandard, accesses()) << c.what;
  }
}

// Every covered EEPROM byte is written from the table, every other byte keeps its value, and
// a failed access does not stop the later ones.
TEST_F(PowerTableTest, WriteSpreadsTheTableOverItsBytesOnly) {
  struct Case {
    const char* what;
    uint32_t variant;
    Fault fault;       // oid 0: none
    size_t unwritten;  // the byte whose write fails; 0: none
  } cases[] = {
      {"standard", 0, {}, 0},
      {"variant", 2, {}, 0},
      {"variant byte at 54 fails", 2, {kEepromWrite, Fault::FailRequest, true, 54}, 54},
      {"variant byte at 20 fails", 2, {kEepromWrite, Fault::FailRequest, true, 20}, 20},
  };
  open();
  for (const Case& c : cases) {
    sim_->clear_faults();
    if (c.fault.oid != 0) sim_->add_fault(c.fault);
    sim_->set_chip_variant(c.variant);
    sim_->set_eeprom(background());
    sim_->clear_requests();
    auto bytes = k24Bytes;
    bytes.insert(bytes.end(), k5Bytes.begin(), k5Bytes.end());
    bytes.push_back(c.variant == 2 ? kCh12Variant : kCh12Standard);
    std::vector<uint8_t> expected = with(background(), bytes);
    if (c.unwritten != 0) expected[c.unwritten] = background()[c.unwritten];

    const std::vector<uint8_t> table = table_for(c.variant);
    EXPECT_EQ(c.unwritten == 0 ? 1u : 0u, WritePowerControl(adapter_, table.data(), 74)) << c.what;
    EXPECT_EQ(c.variant == 2 ? kOrderVariant : kOrderStandard, accesses()) << c.what;
    const auto eeprom = sim_->eeprom();
    for (size_t i = 0; i < eeprom.size(); ++i)
      EXPECT_EQ(expected[i], eeprom[i]) << c.what << " byte " << i;
  }
}

TEST_F(PowerTableTest, ShortLengthsAndAFailedChipQueryTouchNothing) {
  open();
  for (LONG length : {73, 0, -1, LONG(0x80000000)}) {
    sim_->clear_requests();
    std::vector<uint8_t> buffer(74, 0xEE);
    EXPECT_EQ(0u, ReadPowerControl(adapter_, buffer.data(), length));
    EXPECT_EQ(0u, WritePowerControl(adapter_, buffer.data(), length));
    EXPECT_EQ(std::vector<uint8_t>(74, 0xEE), buffer);
    EXPECT_EQ(2u, sim_->requests().size()) << "the chip information query only";
  }
  sim_->add_fault({kChipInfo});
  sim_->clear_requests();
  std::vector<uint8_t> buffer(74, 0xEE);
  EXPECT_EQ(0u, ReadPowerControl(adapter_, buffer.data(), 74));
  EXPECT_EQ(0u, WritePowerControl(adapter_, buffer.data(), 74));
  EXPECT_EQ(std::vector<uint8_t>(74, 0xEE), buffer);
  EXPECT_EQ(2u, sim_->requests().size());
}

TEST_F(PowerTableTest, FailedAccessesDoNotStopTheOthers) {
  open();
  sim_->add_fault({kEepromWrite, Fault::FailRequest, true, 122, -1});
  const std::vector<uint8_t> table = sample_table();
  EXPECT_EQ(0u, WritePowerControl(adapter_, table.data(), 74));
  EXPECT_EQ(13u, sim_->requests_for(kEepromWrite).size());
  EXPECT_EQ(0xAB, sim_->eeprom()[43]) << "the last word is still written";

  sim_->add_fault({kEepromRead, Fault::WrongCommandId, true, 34, -1});
  std::vector<uint8_t> back(74, 0xEE);
  EXPECT_EQ(0u, ReadPowerControl(adapter_, back.data(), 74));
  EXPECT_EQ(13u, sim_->requests_for(kEepromRead).size());
  EXPECT_EQ(0xAB, back[59]) << "channel 161 read after the failure";
}

}  // namespace
}  // namespace talven_test
