// Identity and address data: ids and MAC address in the EEPROM, the runtime and permanent
// addresses, CIS data and the EEPROM transmit-power base offset.
#include <algorithm>

#include "support/machine.h"

namespace talven_test {
namespace {

using simadapter::Fault;

// OIDs of identity and address data as the driver receives them.
constexpr uint32_t kEepromWrite = 0xFF4D1021;
constexpr uint32_t kEepromRead = 0xFF4D1022;
constexpr uint32_t kWriteMacAddress = 0xFF4D101B;
constexpr uint32_t kReadMacAddress = 0xFF4D101C;
constexpr uint32_t kWriteCisData = 0xFF4D101D;
constexpr uint32_t kReadCisData = 0xFF4D101E;
constexpr uint32_t kPermanentAddress = 0xFF4D1029;

class IdentityTest : public MachineTest {};

TEST_F(IdentityTest, IdsAreStoredWithTheirBytesExchanged) {
  open();
  EXPECT_EQ(1u, WriteEEpromVid(adapter_, 0xFFFF1234));
  EXPECT_EQ(1u, WriteEEpromDid(adapter_, 0x00005678));
  const auto writes = sim_->requests_for(kEepromWrite);
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ(2u, writes[0].data_word(0));
  EXPECT_EQ(0x3412u, writes[0].data_word(2)) << "bits 16 to 31 make no difference";
  EXPECT_EQ(4u, writes[1].data_word(0));
  EXPECT_EQ(0x7856u, writes[1].data_word(2));
  EXPECT_EQ(0x12, sim_->eeprom()[2]);
  EXPECT_EQ(0x34, sim_->eeprom()[3]);
}

TEST_F(IdentityTest, EepromMacAddressRoundTripsWordByWord) {
  open();
  const UCHAR mac[6] = {0x02, 0x5B, 0xA7, 0x01, 0x02, 0x03};
  EXPECT_EQ(1u, WriteEEpromMacAddr(adapter_, mac));
  const auto writes = sim_->requests_for(kEepromWrite);
  ASSERT_EQ(3u, writes.size());
  EXPECT_EQ(0x5B02u, writes[0].data_word(2));
  EXPECT_EQ(18u, writes[2].data_word(0));
  UCHAR back[6] = {};
  EXPECT_EQ(1u, ReadEEpromMacAddr(adapter_, back));
  EXPECT_TRUE(std::equal(mac, mac + 6, back));
}

TEST_F(IdentityTest, MacWriteGoesOnAfterAFailureWhileTheReadStopsAtOnce) {
  open();
  sim_->add_fault({kEepromWrite, Fault::FailRequest, true, 14, 1});
  const UCHAR mac[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(0u, WriteEEpromMacAddr(adapter_, mac));
  EXPECT_EQ(3u, sim_->requests_for(kEepromWrite).size());
  EXPECT_EQ(6, sim_->eeprom()[19]) << "offsets 16 and 18 still written";

  sim_->add_fault({kEepromRead, Fault::NeverComplete, true, 16, 1});
  UCHAR back[6] = {9, 9, 9, 9, 9, 9};
  sim_->clear_requests();
  EXPECT_EQ(0u, ReadEEpromMacAddr(adapter_, back));
  const auto reads = sim_->requests_for(kEepromRead);
  ASSERT_EQ(2u, reads.size()) << "no read at offset 18";
  EXPECT_EQ(16u, reads[1].param(0));
  EXPECT_EQ(std::vector<UCHAR>(6, 9), std::vector<UCHAR>(back, back + 6));
}

TEST_F(IdentityTest, RuntimeAndPermanentAddressesCopySixBytesOnlyOnSuccess) {
  open();
  const UCHAR mac[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  EXPECT_EQ(1u, WriteMACAddress(adapter_, mac));
  const Request w = sim_->requests_for(kWriteMacAddress).at(0);
  EXPECT_TRUE(w.is_set());
  EXPECT_EQ(6u, w.length());
  EXPECT_EQ(309u, w.in_size);
  EXPECT_EQ(0u, w.param(0));

  sim_->set_permanent_address({1, 2, 3, 4, 5, 6});
  struct Case {
    uint32_t oid;
    ULONG (*call)(Adapter*, PUCHAR);
    std::vector<UCHAR> expected;
  } cases[] = {{kReadMacAddress, ReadMACAddress, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}},
               {kPermanentAddress, QueryPermanentAddress, {1, 2, 3, 4, 5, 6}}};
  for (const Case& c : cases) {
    UCHAR out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(1u, c.call(adapter_, out));
    EXPECT_EQ(c.expected, std::vector<UCHAR>(out, out + 6));
    EXPECT_EQ(0xEE, out[6]);
    const Request q = sim_->requests_for(c.oid).at(0);
    EXPECT_TRUE(q.is_query());
    EXPECT_EQ(6u, q.length());
    EXPECT_EQ(309u, q.in_size);
    sim_->add_fault({c.oid, Fault::FailAndAnswer});
    std::fill(out, out + 8, 0xEE);
    EXPECT_EQ(0u, c.call(adapter_, out));
    EXPECT_EQ(std::vector<UCHAR>(8, 0xEE), std::vector<UCHAR>(out, out + 8));
  }
}

TEST_F(IdentityTest, CisReadCopiesTheReportedCountAndNeverMoreThanTheBuffer) {
  struct Case {
    size_t stored;
    uint32_t reported;  // 0: the stored size
    ULONG count;
  } cases[] = {{10, 0, 10},   {0, 0, 0},      {256, 0, 256},  {300, 0, 256},
               {257, 0, 256}, {10, 257, 256}, {10, 5000, 256}};
  open();
  for (const Case& c : cases) {
    std::vector<uint8_t> cis(c.stored);
    for (size_t i = 0; i < cis.size(); ++i) cis[i] = uint8_t(i + 1);
    sim_->set_cis(cis);
    sim_->set_cis_reported_length(c.reported);
    std::vector<uint8_t> buffer(300, 0xEE);
    ULONG count = 0xABCD;
    EXPECT_EQ(1u, ReadCISData(adapter_, buffer.data(), &count));
    EXPECT_EQ(c.count, count) << c.stored << "/" << c.reported;
    EXPECT_EQ(0xEE, buffer[c.count]) << "nothing past the count";
    EXPECT_TRUE(std::equal(cis.begin(), cis.begin() + std::min<size_t>(c.count, cis.size()),
                           buffer.begin()));
  }
  sim_->add_fault({kReadCisData});
  std::vector<uint8_t> buffer(256, 0xEE);
  ULONG count = 0xABCD;
  EXPECT_EQ(0u, ReadCISData(adapter_, buffer.data(), &count));
  EXPECT_EQ(0xABCDu, count);
  EXPECT_EQ(std::vector<uint8_t>(256, 0xEE), buffer);
  const Request r = sim_->requests_for(kReadCisData).at(0);
  EXPECT_EQ(256u, r.length());
  EXPECT_EQ(559u, r.in_size);
}

TEST_F(IdentityTest, CisWriteSendsAnyLengthButRefusesOneThatOverflows) {
  open();
  std::vector<uint8_t> data(600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 5);
  for (ULONG length : {0u, 12u, 600u}) {
    sim_->clear_requests();
    EXPECT_EQ(1u, WriteCISData(adapter_, data.data(), length));
    const Request r = sim_->requests_for(kWriteCisData).at(0);
    EXPECT_EQ(length, r.length());
    EXPECT_EQ(303u + length, r.in_size);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + length, r.bytes.begin() + 48));
  }
  sim_->clear_requests();
  const uint64_t allocs = win32sim::heap_alloc_calls();
  EXPECT_EQ(0u, WriteCISData(adapter_, data.data(), 0xFFFFFFF0u));
  EXPECT_TRUE(oid_requests().empty());
  EXPECT_EQ(allocs, win32sim::heap_alloc_calls());
}

TEST_F(IdentityTest, PowerBaseOffsetPacksIntoTheByteAtTen) {
  open();
  std::vector<uint8_t> before(256);
  for (size_t i = 0; i < before.size(); ++i) before[i] = uint8_t(i * 11 + 5);
  sim_->set_eeprom(before);
  EXPECT_EQ(1u, WriteEEpromTxPowerBaseOffset(adapter_, 0x12, 0x34));
  std::vector<uint8_t> expected = before;
  expected[10] = 0x24;
  EXPECT_EQ(expected, sim_->eeprom()) << "the byte at 10 and nothing else";
  auto image = sim_->eeprom();
  image[10] = 0xA5;
  sim_->set_eeprom(image);
  UCHAR high = 0, low = 0;
  EXPECT_EQ(1u, ReadEEpromTxPowerBaseOffset(adapter_, &high, &low));
  EXPECT_EQ(0x0A, high);
  EXPECT_EQ(0x05, low);
  sim_->add_fault({kEepromRead});
  high = low = 0xEE;
  EXPECT_EQ(0u, ReadEEpromTxPowerBaseOffset(adapter_, &high, &low));
  EXPECT_EQ(0xEE, high);
  EXPECT_EQ(0xEE, low);
}

}  // namespace
}  // namespace talven_test
