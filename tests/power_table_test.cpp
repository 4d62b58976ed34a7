// The transmit power-control table: EEPROM placement in both chip variants, the caller's
// 74-byte layout, length checks and the go-on-after-failure rule.
#include <algorithm>

#include "support/machine.h"

namespace talven_test {
namespace {

using simadapter::Fault;

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
      if (r.oid() == wire::OID_EEPROM_READ)
        out.push_back((r.param(1) == 2 ? "w" : "b") + std::to_string(r.param(0)));
      if (r.oid() == wire::OID_EEPROM_WRITE)
        out.push_back((r.data_word(1) == 2 ? "w" : "b") + std::to_string(r.data_word(0)));
    }
    return out;
  }
};

TEST_F(PowerTableTest, RoundTripInBothPlacementsWithTheirAccessOrder) {
  struct Case {
    uint32_t variant;
    std::vector<std::string> order;
  } cases[] = {
      {0,
       {"w44", "w46", "w48", "w122", "w124", "w54", "w56", "w32", "w34", "w36", "w38", "w40",
        "w42"}},
      {1,
       {"w44", "w46", "w48", "w122", "w124", "w54", "w56", "w32", "w34", "w36", "w38", "w40",
        "w42"}},
      {3,
       {"w44", "w46", "w48", "w122", "w124", "w54", "w56", "w32", "w34", "w36", "w38", "w40",
        "w42"}},
      {2,
       {"w44", "w46", "w48", "w122", "w124", "b54", "b20", "w56", "w32", "w34", "w36", "w38", "w40",
        "w42"}},
  };
  open();
  for (const Case& c : cases) {
    sim_->set_chip_variant(c.variant);
    sim_->set_eeprom(std::vector<uint8_t>(256, 0xFF));
    const std::vector<uint8_t> table = sample_table();
    sim_->clear_requests();
    EXPECT_EQ(1u, WritePowerControl(adapter_, table.data(), 74)) << c.variant;
    EXPECT_EQ(c.order, accesses()) << c.variant;
    const auto chip = sim_->requests_for(wire::OID_CHIP_INFO);
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
  open();
  std::vector<uint8_t> table = sample_table();
  table[3] = 0x1F;
  table[63] = 0x13;
  ASSERT_EQ(1u, WritePowerControl(adapter_, table.data(), 74));
  EXPECT_EQ(0x3F, sim_->eeprom()[47]) << "channel 4: bits 8..15 of the word at 46";
  std::vector<uint8_t> back(74);
  ASSERT_EQ(1u, ReadPowerControl(adapter_, back.data(), 74));
  EXPECT_EQ(0x0F, back[3]);
  EXPECT_EQ(0x03, back[63]);
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
  sim_->add_fault({wire::OID_CHIP_INFO});
  sim_->clear_requests();
  std::vector<uint8_t> buffer(74, 0xEE);
  EXPECT_EQ(0u, ReadPowerControl(adapter_, buffer.data(), 74));
  EXPECT_EQ(0u, WritePowerControl(adapter_, buffer.data(), 74));
  EXPECT_EQ(std::vector<uint8_t>(74, 0xEE), buffer);
  EXPECT_EQ(2u, sim_->requests().size());
}

TEST_F(PowerTableTest, FailedAccessesDoNotStopTheOthers) {
  open();
  sim_->add_fault({wire::OID_EEPROM_WRITE, Fault::FailRequest, true, 122, -1});
  const std::vector<uint8_t> table = sample_table();
  EXPECT_EQ(0u, WritePowerControl(adapter_, table.data(), 74));
  EXPECT_EQ(13u, sim_->requests_for(wire::OID_EEPROM_WRITE).size());
  EXPECT_EQ(0xAB, sim_->eeprom()[43]) << "the last word is still written";

  sim_->add_fault({wire::OID_EEPROM_READ, Fault::WrongCommandId, true, 34, -1});
  std::vector<uint8_t> back(74, 0xEE);
  EXPECT_EQ(0u, ReadPowerControl(adapter_, back.data(), 74));
  EXPECT_EQ(13u, sim_->requests_for(wire::OID_EEPROM_READ).size());
  EXPECT_EQ(0xAB, back[59]) << "channel 161 read after the failure";
}

}  // namespace
}  // namespace talven_test
