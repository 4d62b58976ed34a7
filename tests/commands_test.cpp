// Test control, radio configuration and traffic counters: the records each operation sends,
// its completion wait, and what reaches the caller on every path.
#include <functional>

#include "support/machine.h"

namespace talven_test {
namespace {

constexpr ULONG kValue = 0x89ABCDEF;
constexpr ULONG kUntouched = 0xC0FFEE00;

// Control codes and the command-status OID of the driver contract.
constexpr uint32_t kIoctlOidSet = 0x80000000;
constexpr uint32_t kIoctlOidQuery = 0x80000004;
constexpr uint32_t kCommandStatus = 0xFF4E5280;

// The answer a query row gets from the driver: a distinct word per row, high bits set.
ULONG answer_for(size_t row) {
  return 0x7A5E0000u | ULONG(row);
}

void put_word(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = uint8_t(value >> (8 * i));
}

enum class Out { None, Always, OnSuccess };

struct Row {
  const char* name;
  std::function<ULONG(Adapter*, PULONG)> call;
  uint32_t oid;
  uint32_t length;
  bool set;
  std::vector<uint32_t> params;  // Param[0..] sent; the rest must be zero
  int32_t poll_limit;            // 0: no completion wait
  Out out;
};

// Every one-request operation of the family, as the driver must see it.
const std::vector<Row>& rows() {
  // clang-format off
  static const std::vector<Row> all = {
      {"StartTest", [](Adapter* a, PULONG) { return StartTest(a); }, 0xFF4D1002, 4, true, {0}, 100, Out::None},
      {"StopTest", [](Adapter* a, PULONG) { return StopTest(a); }, 0xFF4D1003, 4, true, {0}, 0, Out::None},
      {"ResetDUT", [](Adapter* a, PULONG) { return ResetDUT(a); }, 0xFF4D1000, 4, true, {0}, 0, Out::None},
      {"SetInitialGain", [](Adapter* a, PULONG) { return SetInitialGain(a, kValue); }, 0xFF0111C3, 4, true, {kValue}, 2000, Out::None},
      {"SetModulation", [](Adapter* a, PULONG) { return SetModulation(a, kValue); }, 0xFF4D102F, 4, true, {kValue}, 2000, Out::None},
      {"SetChannelDirectCall", [](Adapter* a, PULONG) { return SetChannelDirectCall(a, kValue); }, 0xFF4D1008, 4, true, {kValue}, 2000, Out::None},
      {"SetDataRate", [](Adapter* a, PULONG) { return SetDataRate(a, kValue); }, 0xFF4D1001, 4, true, {kValue}, 2000, Out::None},
      {"SetAntennaBB", [](Adapter* a, PULONG) { return SetAntennaBB(a, kValue); }, 0xFF4D100E, 4, true, {kValue}, 2000, Out::None},
      {"SetTxPowerControl", [](Adapter* a, PULONG) { return SetTxPowerControl(a, kValue); }, 0xFF4D1011, 4, true, {kValue}, 2000, Out::None},
      {"SetTxPowerBaseOffset", [](Adapter* a, PULONG) { return SetTxPowerBaseOffset(a, 0x12, 0x34); }, 0xFF4E5286, 4, true, {0x24}, 2000, Out::None},
      {"SetTxContinuousDirectCall", [](Adapter* a, PULONG) { return SetTxContinuousDirectCall(a, kValue); }, 0xFF4D100B, 4, true, {kValue}, 2000, Out::None},
      {"SetSingleCarrierTxContinuous", [](Adapter* a, PULONG) { return SetSingleCarrierTxContinuous(a, kValue); }, 0xFF4D100C, 4, true, {kValue}, 2000, Out::None},
      {"SetCarrierSuppressionTxContinuous", [](Adapter* a, PULONG) { return SetCarrierSuppressionTxContinuous(a, kValue); }, 0xFF4D102B, 4, true, {kValue}, 2000, Out::None},
      {"SetPacketRxTest", [](Adapter* a, PULONG) { return SetPacketRxTest(a, 0x80000000); }, 0xFF4D1030, 4, true, {1}, 2000, Out::None},
      {"SetPreamble", [](Adapter* a, PULONG) { return SetPreamble(a, kValue); }, 0xFF4D1004, 4, true, {kValue}, 0, Out::None},
      {"SetFilterBB", [](Adapter* a, PULONG) { return SetFilterBB(a, kValue); }, 0xFF4D1006, 4, true, {kValue}, 0, Out::None},
      {"SetManualDiversityBB", [](Adapter* a, PULONG) { return SetManualDiversityBB(a, kValue); }, 0xFF4D1007, 4, true, {kValue}, 0, Out::None},
      {"SetTxAntennaBB", [](Adapter* a, PULONG) { return SetTxAntennaBB(a, kValue); }, 0xFF4D100D, 4, true, {kValue}, 0, Out::None},
      {"SetCRScrambler", [](Adapter* a, PULONG) { return SetCRScrambler(a, kValue); }, 0xFF4D100F, 4, true, {kValue}, 0, Out::None},
      {"SetCRTxConfig", [](Adapter* a, PULONG) { return SetCRTxConfig(a, kValue); }, 0xFF4D1012, 4, true, {kValue}, 0, Out::None},
      {"SetCRSetpoint", [](Adapter* a, PULONG) { return SetCRSetpoint(a, kValue); }, 0xFF4D1015, 4, true, {kValue}, 0, Out::None},
      {"TunePhilipsRfParameters", [](Adapter* a, PULONG) { return TunePhilipsRfParameters(a, kValue); }, 0xFF4D102A, 4, true, {kValue}, 0, Out::None},
      {"SetBBRFStandbyMode", [](Adapter* a, PULONG) { return SetBBRFStandbyMode(a, kValue); }, 0xFF0111C4, 4, true, {kValue}, 0, Out::None},
      {"SetBBRFShutdownMode", [](Adapter* a, PULONG) { return SetBBRFShutdownMode(a, kValue); }, 0xFF0111C5, 4, true, {kValue}, 0, Out::None},
      {"SetTxChargePump", [](Adapter* a, PULONG) { return SetTxChargePump(a, kValue); }, 0xFF0111C6, 4, true, {kValue}, 0, Out::None},
      {"SetRxChargePump", [](Adapter* a, PULONG) { return SetRxChargePump(a, kValue); }, 0xFF0111C7, 4, true, {kValue}, 0, Out::None},
      {"SetSleepModeDirectCall", [](Adapter* a, PULONG) { return SetSleepModeDirectCall(a); }, 0xFF4D1009, 4, true, {0}, 0, Out::None},
      {"SetWakeModeDirectCall", [](Adapter* a, PULONG) { return SetWakeModeDirectCall(a); }, 0xFF4D100A, 4, true, {0}, 0, Out::None},
      {"SetIntegrator", [](Adapter* a, PULONG) { return SetIntegrator(a, kValue, 0x55); }, 0xFF4D1016, 8, true, {kValue, 0x55}, 0, Out::None},
      {"SetSignalQuality", [](Adapter* a, PULONG) { return SetSignalQuality(a, 0x66, kValue); }, 0xFF4D1017, 8, true, {0x66, kValue}, 0, Out::None},
      {"GetTxPowerControl", [](Adapter* a, PULONG o) { return GetTxPowerControl(a, o); }, 0xFF4D1013, 4, false, {}, 0, Out::Always},
      {"GetCRSignalQuality", [](Adapter* a, PULONG o) { return GetCRSignalQuality(a, o); }, 0xFF4D1014, 4, false, {}, 0, Out::Always},
      {"QueryRFType", [](Adapter* a, PULONG o) { return QueryRFType(a, o); }, 0xFF0111CA, 4, false, {}, 0, Out::Always},
      {"GetIntegrator", [](Adapter* a, PULONG o) { return GetIntegrator(a, 7, o); }, 0xFF4D1018, 8, false, {7}, 0, Out::Always},
      {"GetSignalQuality", [](Adapter* a, PULONG o) { return GetSignalQuality(a, 7, o); }, 0xFF4D1019, 4, false, {7}, 0, Out::Always},
      {"ResetTxPacketSent", [](Adapter* a, PULONG) { return ResetTxPacketSent(a); }, 0xFF4D1023, 4, true, {0}, 0, Out::None},
      {"QueryTxPacketSent", [](Adapter* a, PULONG o) { return QueryTxPacketSent(a, o); }, 0xFF4D1024, 4, false, {0}, 0, Out::Always},
      {"ResetRxPacketReceived", [](Adapter* a, PULONG) { return ResetRxPacketReceived(a); }, 0xFF4D1025, 4, true, {0}, 0, Out::None},
      {"QueryRxPacketReceived", [](Adapter* a, PULONG o) { return QueryRxPacketReceived(a, o); }, 0xFF4D1026, 4, false, {0}, 0, Out::Always},
      {"QueryRxPacketCRC32Error", [](Adapter* a, PULONG o) { return QueryRxPacketCRC32Error(a, o); }, 0xFF4D1027, 4, false, {0}, 0, Out::Always},
      {"EnableAckCounter", [](Adapter* a, PULONG) { return EnableAckCounter(a, 5); }, 0xFF4E5283, 4, true, {1}, 0, Out::None},
      {"ResetAckCounter", [](Adapter* a, PULONG) { return ResetAckCounter(a); }, 0xFF4E5284, 4, true, {0}, 0, Out::None},
      {"GetAckCounter", [](Adapter* a, PULONG o) { return GetAckCounter(a, o); }, 0xFF4E5285, 4, false, {0}, 0, Out::OnSuccess},
  };
  // clang-format on
  return all;
}

class FamilyTest : public MachineTest, public ::testing::WithParamInterface<size_t> {
 protected:
  const Row& row() const { return rows()[GetParam()]; }
  size_t status_polls() const { return sim_->requests_for(kCommandStatus).size(); }
};

TEST_P(FamilyTest, SendsExactlyItsRecordAndWaitsOnlyForAsynchronousCommands) {
  const Row& r = row();
  open();
  sim_->set_query_word(r.oid, answer_for(GetParam()));  // only queries are answered with it
  ULONG out = kUntouched;
  EXPECT_EQ(1u, r.call(adapter_, &out));

  const auto sent = sim_->requests_for(r.oid);
  ASSERT_EQ(1u, sent.size());
  // Oid at 0, Length at 4, Param[i] at 8 + 4i; 303 + Length bytes travel.
  std::vector<uint8_t> expected(303 + r.length, 0);
  put_word(expected, 0, r.oid);
  put_word(expected, 4, r.length);
  for (size_t i = 0; i < r.params.size(); ++i) put_word(expected, 8 + 4 * i, r.params[i]);
  EXPECT_EQ(expected, sent[0].bytes) << "every byte not set is zero";
  EXPECT_EQ(r.set ? kIoctlOidSet : kIoctlOidQuery, sent[0].code);
  EXPECT_EQ(sent[0].in_size, sent[0].out_size);
  EXPECT_EQ(r.poll_limit ? 2u : 0u, status_polls()) << "a busy poll, then the completion";
  EXPECT_EQ(r.out != Out::None ? answer_for(GetParam()) : kUntouched, out)
      << "a query hands on exactly the driver's answer";
}

TEST_P(FamilyTest, UnfinishedCommandStopsAtItsPollLimitWhileOthersNeverPoll) {
  const Row& r = row();
  open();
  sim_->set_never_finish(true);
  ULONG out = 0;
  EXPECT_EQ(r.poll_limit ? 0u : 1u, r.call(adapter_, &out));
  EXPECT_EQ(r.poll_limit ? size_t(r.poll_limit) + 1 : 0u, status_polls());
  EXPECT_EQ(size_t(r.poll_limit), pauses());
}

TEST_P(FamilyTest, FailedRequestReturnsZeroWithoutWaitingAndOutputsAsTheRuleSays) {
  const Row& r = row();
  open();
  sim_->add_fault({r.oid, simadapter::Fault::FailRequest});
  ULONG out = kUntouched;
  EXPECT_EQ(0u, r.call(adapter_, &out));
  EXPECT_EQ(0u, status_polls());
  // Queries that copy always hand on what the record held: zero, or the index sent.
  const ULONG expected = r.out == Out::Always ? (r.params.empty() ? 0 : r.params[0]) : kUntouched;
  EXPECT_EQ(expected, out);
}

TEST_P(FamilyTest, NoMemorySendsNothingAndWritesNothing) {
  const Row& r = row();
  open();
  win32sim::fail_nth_global_alloc(1);
  ULONG out = kUntouched;
  EXPECT_EQ(0u, r.call(adapter_, &out));
  EXPECT_TRUE(oid_requests().empty());
  EXPECT_EQ(kUntouched, out);
}

INSTANTIATE_TEST_SUITE_P(AllOperations, FamilyTest, ::testing::Range<size_t>(0, rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return rows()[info.param].name;
                         });

class CommandTest : public MachineTest {};

TEST_F(CommandTest, FlagsBecomeZeroOrOne) {
  open();
  for (ULONG flag : {0u, 1u, 5u, 0x100u, 0x80000000u}) {
    sim_->clear_requests();
    ASSERT_EQ(1u, SetPacketRxTest(adapter_, flag));
    ASSERT_EQ(1u, EnableAckCounter(adapter_, flag));
    EXPECT_EQ(flag ? 1u : 0u, sim_->requests_for(0xFF4D1030)[0].param(0));
    EXPECT_EQ(flag ? 1u : 0u, sim_->requests_for(0xFF4E5283)[0].param(0));
  }
}

TEST_F(CommandTest, PowerBaseOffsetPacksAndSplitsFourBitValues) {
  struct Case {
    ULONG high, low, packed;
  } cases[] = {{0x12, 0x34, 0x24}, {0x0F, 0x0F, 0xFF}, {0, 0, 0}, {0xA, 0x5, 0xA5}};
  open();
  for (const Case& c : cases) {
    sim_->clear_requests();
    ASSERT_EQ(1u, SetTxPowerBaseOffset(adapter_, c.high, c.low));
    EXPECT_EQ(c.packed, sim_->requests_for(0xFF4E5286)[0].param(0));
    UCHAR high = 0xEE, low = 0xEE;
    ASSERT_EQ(1u, GetTxPowerBaseOffset(adapter_, &high, &low));
    EXPECT_EQ(c.packed >> 4, high);
    EXPECT_EQ(c.packed & 0x0F, low);
  }
}

TEST_F(CommandTest, PowerBaseOffsetReadUsesOnlyTheLowByteAndNothingOnFailure) {
  open();
  UCHAR high = 0xEE, low = 0xEE;
  sim_->set_query_word(0xFF4E5287, 0x1A5);
  ASSERT_EQ(1u, GetTxPowerBaseOffset(adapter_, &high, &low));
  EXPECT_EQ(0x0A, high) << "bits 4 to 7 of the low byte only";
  EXPECT_EQ(0x05, low);
  high = low = 0xEE;
  sim_->add_fault({0xFF4E5287, simadapter::Fault::FailAndAnswer});
  EXPECT_EQ(0u, GetTxPowerBaseOffset(adapter_, &high, &low));
  EXPECT_EQ(0xEE, high);
  EXPECT_EQ(0xEE, low);
}

TEST_F(CommandTest, StartAndStopTraceInOrder) {
  struct Case {
    const char* what;
    std::function<void(simadapter::SimulatedAdapter&)> script;
    ULONG result;
    std::vector<std::string> trace;
  } cases[] = {
      {"success",
       [](simadapter::SimulatedAdapter&) {},
       1,
       {"==>TALVEN: StartTest()\n", "TALVEN: StartTest success.\n", "<==TALVEN: StartTest()\n"}},
      {"no completion",
       [](simadapter::SimulatedAdapter& s) { s.set_never_finish(true); },
       0,
       {"==>TALVEN: StartTest()\n", "TALVEN: StartTest failed.\n", "<==TALVEN: StartTest()\n"}},
      {"request fails",
       [](simadapter::SimulatedAdapter& s) { s.add_fault({0xFF4D1002}); },
       0,
       {"==>TALVEN: StartTest()\n", "TALVEN: StartTest failed.\n", "<==TALVEN: StartTest()\n"}},
  };
  open();
  for (const Case& c : cases) {
    sim_->clear_faults();
    sim_->set_never_finish(false);
    c.script(*sim_);
    win32sim::clear_debug_strings();
    EXPECT_EQ(c.result, StartTest(adapter_)) << c.what;
    EXPECT_EQ(c.trace, debug()) << c.what;
  }
  sim_->clear_faults();
  win32sim::clear_debug_strings();
  EXPECT_EQ(1u, StopTest(adapter_));
  EXPECT_EQ((std::vector<std::string>{"==>TALVEN: StopTest()\n", "<==TALVEN: StopTest()\n"}),
            debug());
  EXPECT_FALSE(sim_->test_mode());
}

TEST_F(CommandTest, StartAndStopReportAMissingRecordWithoutAnExitTrace) {
  open();
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(0u, StartTest(adapter_));
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(0u, StopTest(adapter_));
  EXPECT_EQ((std::vector<std::string>{
                "==>TALVEN: StartTest()\n", "TALVEN: StartTest(): failed to allocate OidData !!!\n",
                "==>TALVEN: StopTest()\n", "TALVEN: StopTest(): failed to allocate OidData !!!\n"}),
            debug());
}

TEST_F(CommandTest, CompletionOfAnyCommandIsAccepted) {
  open();
  sim_->set_reported_command_id(3);
  EXPECT_EQ(1u, SetChannelDirectCall(adapter_, 11));
  EXPECT_EQ(1u, StartTest(adapter_));
}

TEST_F(CommandTest, ReceiveTestMovesTheCountersAndResetsClearThem) {
  open();
  ASSERT_EQ(1u, ResetRxPacketReceived(adapter_));
  ASSERT_EQ(1u, SetPacketRxTest(adapter_, 1));
  ULONG received = 0, errors = 0;
  ASSERT_EQ(1u, QueryRxPacketReceived(adapter_, &received));
  ASSERT_EQ(1u, QueryRxPacketCRC32Error(adapter_, &errors));
  EXPECT_EQ(sim_->counters().rx_received, received);
  EXPECT_GT(received, 0u);
  EXPECT_EQ(sim_->counters().rx_crc_errors, errors);
  ASSERT_EQ(1u, SetPacketRxTest(adapter_, 0));
  ASSERT_EQ(1u, ResetRxPacketReceived(adapter_));
  ASSERT_EQ(1u, QueryRxPacketReceived(adapter_, &received));
  EXPECT_EQ(0u, received);
}

}  // namespace
}  // namespace talven_test
