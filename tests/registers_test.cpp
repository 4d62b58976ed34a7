// MAC, baseband and RF registers: addresses, widths and banks as the driver sees them, the
// command each access awaits, and values delivered only by a matching completion.
#include <functional>

#include "support/machine.h"

namespace talven_test {
namespace {

// Register OIDs and the command status as the driver receives them.
constexpr uint32_t kMacWrite = 0xFF0111C1;
constexpr uint32_t kMacRead = 0xFF0111C2;
constexpr uint32_t kBbWrite = 0xFF4E5281;
constexpr uint32_t kBbRead = 0xFF4E5282;
constexpr uint32_t kRfWrite = 0xFF0111C8;
constexpr uint32_t kRfRead = 0xFF0111C9;
constexpr uint32_t kCommandStatus = 0xFF4E5280;

class RegisterTest : public MachineTest {
 protected:
  // The one register request sent since the last clear.
  Request sent(uint32_t oid) const {
    const auto r = sim_->requests_for(oid);
    EXPECT_EQ(1u, r.size());
    return r.empty() ? Request{} : r[0];
  }
};

TEST_F(RegisterTest, MacPageRuleSetsBits8To15OnlyWhenAllAreClear) {
  struct Case {
    ULONG address, sent;
  } cases[] = {{0x0050, 0xFF50},         {0xFF50, 0xFF50},   {0xFE12, 0xFE12},
               {0x0150, 0x0150},         {0x10050, 0x1FF50}, {0x0000, 0xFF00},
               {0xFFFF00FF, 0xFFFFFFFF}, {0x1050, 0x1050},   {0xF0050, 0xFFF50}};
  open();
  for (const Case& c : cases) {
    sim_->clear_requests();
    ULONG value = 0;
    ASSERT_EQ(1u, ReadRegData(adapter_, c.address, 1, &value));
    EXPECT_EQ(c.sent, sent(kMacRead).param(0)) << std::hex << c.address;
    ASSERT_EQ(1u, WriteRegData(adapter_, c.address, 4, 0xABCD1234));
    EXPECT_EQ(c.sent, sent(kMacWrite).param(0)) << std::hex << c.address;
  }
}

TEST_F(RegisterTest, MacWidthSelectsTheCommandAndOtherWidthsSendNothing) {
  struct Case {
    LONG width;
    int32_t read_cmd, write_cmd;  // -1: refused before anything is sent
  } cases[] = {{1, 1, 4},   {2, 2, 5},    {4, 3, 6},       {0, -1, -1},     {3, -1, -1},
               {8, -1, -1}, {-1, -1, -1}, {0x101, -1, -1}, {0x102, -1, -1}, {0x104, -1, -1}};
  open();
  for (const Case& c : cases) {
    // A completion reported under the expected id is the only one a read accepts.
    sim_->clear_requests();
    sim_->set_reported_command_id(c.read_cmd);
    ULONG value = 0x5555;
    const ULONG read = ReadRegData(adapter_, 0x10, c.width, &value);
    sim_->set_reported_command_id(c.write_cmd);
    const ULONG write = WriteRegData(adapter_, 0x10, c.width, 0x12345678);
    if (c.read_cmd < 0) {
      EXPECT_EQ(0u, read);
      EXPECT_EQ(0u, write);
      EXPECT_TRUE(oid_requests().empty()) << c.width;
      EXPECT_EQ(0x5555u, value);
      continue;
    }
    EXPECT_EQ(1u, read) << c.width;
    EXPECT_EQ(1u, write) << c.width;
    const Request r = sent(kMacRead);
    EXPECT_EQ(12u, r.length());
    EXPECT_EQ(315u, r.in_size);
    EXPECT_TRUE(r.is_set()) << "reads go in the set direction";
    EXPECT_EQ(ULONG(c.width), r.param(1));
    EXPECT_EQ(0xFFFFFFFFu, r.param(2));
    EXPECT_EQ(ULONG(c.width), sent(kMacWrite).param(1));
    EXPECT_EQ(0x12345678u, sent(kMacWrite).param(2)) << "never masked to the width";
  }
}

TEST_F(RegisterTest, BankByteSelectsBankOneOnlyForALowByteOfOne) {
  struct Case {
    ULONG bank, param, read_cmd, write_cmd;
  } cases[] = {{1, 1, 9, 10}, {0x101, 1, 9, 10}, {0, 0, 7, 8}, {2, 0, 7, 8}, {0x100, 0, 7, 8}};
  open();
  for (const Case& c : cases) {
    sim_->clear_requests();
    sim_->set_reported_command_id(c.read_cmd);
    ULONG value = 0;
    EXPECT_EQ(1u, ReadBBData(adapter_, 0x123, c.bank, &value)) << c.bank;
    sim_->set_reported_command_id(c.write_cmd);
    EXPECT_EQ(1u, WriteBBData(adapter_, 0x123, c.bank, 0xFFFFFFFF)) << c.bank;
    EXPECT_EQ(c.param, sent(kBbRead).param(1));
    EXPECT_EQ(0x123u, sent(kBbRead).param(0)) << "baseband addresses are kept";
    EXPECT_EQ(0xFFFFFFFFu, sent(kBbRead).param(2)) << "a read's placeholder";
    EXPECT_EQ(c.param, sent(kBbWrite).param(1));
    EXPECT_EQ(0xFFFFFFFFu, sent(kBbWrite).param(2));
  }
}

TEST_F(RegisterTest, RfArgumentsPassThroughUnchanged) {
  open();
  sim_->set_reported_command_id(12);
  EXPECT_EQ(1u, RFWriteRegData(adapter_, 0x0050, 0xDEADBEEF, 0x12345678));
  const Request w = sent(kRfWrite);
  EXPECT_EQ(0x0050u, w.param(0));
  EXPECT_EQ(0xDEADBEEFu, w.param(1));
  EXPECT_EQ(0x12345678u, w.param(2));
  sim_->set_reported_command_id(11);
  ULONG value = 0;
  EXPECT_EQ(1u, RFReadRegData(adapter_, 0x0050, 7, &value));
  EXPECT_EQ(7u, sent(kRfRead).param(1));
  EXPECT_EQ(0xFFFFFFFFu, sent(kRfRead).param(2)) << "a read's placeholder";
  EXPECT_EQ(0x12345678u, value);
}

TEST_F(RegisterTest, ReadDeliversTheWholeResultWordOnlyOnAMatchingCompletion) {
  open();
  sim_->set_mac_register(0xFF10, 0xA1B2C3D4);
  sim_->set_bb_register(1, 0x20, 0x11223344);
  sim_->set_rf_register(0x30, 0x55667788);
  // Narrow MAC reads: the driver's result word reaches the caller unmasked.
  sim_->add_fault({kMacRead, simadapter::Fault::ResultWord, true, 0xFF11, -1, 0xA1B2C3D4});
  sim_->add_fault({kMacRead, simadapter::Fault::ResultWord, true, 0xFF12, -1, 0x99887766});
  struct Case {
    const char* what;
    std::function<ULONG(PULONG)> read;
    ULONG value;
  } cases[] = {
      {"MAC width 4", [&](PULONG v) { return ReadRegData(adapter_, 0x10, 4, v); }, 0xA1B2C3D4},
      {"MAC width 1", [&](PULONG v) { return ReadRegData(adapter_, 0x11, 1, v); }, 0xA1B2C3D4},
      {"MAC width 2", [&](PULONG v) { return ReadRegData(adapter_, 0x12, 2, v); }, 0x99887766},
      {"baseband bank 1", [&](PULONG v) { return ReadBBData(adapter_, 0x20, 1, v); }, 0x11223344},
      {"RF", [&](PULONG v) { return RFReadRegData(adapter_, 0x30, 0, v); }, 0x55667788},
  };
  for (const Case& c : cases) {
    ULONG value = 0;
    EXPECT_EQ(1u, c.read(&value)) << c.what;
    EXPECT_EQ(c.value, value) << c.what;
    EXPECT_EQ(1u, c.read(nullptr)) << c.what << ": a null output is allowed";

    sim_->set_reported_command_id(16);
    value = 0x5A5A;
    EXPECT_EQ(0u, c.read(&value)) << c.what << ": another command's completion";
    EXPECT_EQ(0x5A5Au, value);
    sim_->set_reported_command_id(-1);
  }
}

TEST_F(RegisterTest, FailedRequestOrMissingCompletionLeavesTheOutput) {
  open();
  ULONG value = 0x5A5A;
  sim_->add_fault({kMacRead, simadapter::Fault::FailRequest, false, 0, 1});
  EXPECT_EQ(0u, ReadRegData(adapter_, 0x10, 2, &value));
  EXPECT_TRUE(sim_->requests_for(kCommandStatus).empty()) << "no wait after a failure";
  sim_->set_never_finish(true);
  EXPECT_EQ(0u, ReadBBData(adapter_, 0x10, 0, &value));
  EXPECT_EQ(2001u, sim_->requests_for(kCommandStatus).size());
  EXPECT_EQ(0x5A5Au, value);
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(0u, RFWriteRegData(adapter_, 1, 2, 3));
  EXPECT_TRUE(sim_->requests_for(kRfWrite).empty());
}

}  // namespace
}  // namespace talven_test
