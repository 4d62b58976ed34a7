// The fixed test frame, single sends and the continuous-transmit worker.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "support/machine.h"

namespace talven_test {
namespace {

// The frame as a test station expects it on the air.
std::vector<uint8_t> expected_frame() {
  std::vector<uint8_t> f(1400, 0);
  const uint8_t head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x5B, 0xA7, 0x4D, 0x10,
                          0x01, 0x01, 0x23, 0x39, 0x81, 0xEC, 0x10, 0x01, 0x78, 0x05, 0x01};
  std::copy(std::begin(head), std::end(head), f.begin());
  return f;
}

class ContinuousTxTest : public MachineTest {
 protected:
  std::vector<uint32_t> sleeps_of(uint32_t ms) const {
    std::vector<uint32_t> out;
    for (uint32_t s : win32sim::sleep_log())
      if (s == ms) out.push_back(s);
    return out;
  }
};

TEST_F(ContinuousTxTest, SingleSendWritesTheFrameThenPausesHalfASecond) {
  open();
  EXPECT_EQ(1u, PKT32XmitOnePacket(adapter_));
  ASSERT_EQ(1u, sim_->frames_written());
  EXPECT_EQ(expected_frame(), sim_->recent_frames()[0]);
  EXPECT_EQ(std::vector<uint32_t>{500}, win32sim::sleep_log());

  sim_->set_write_completion({simadapter::Completion::Refused, ERROR_GEN_FAILURE, 0});
  EXPECT_EQ(1u, PKT32XmitOnePacket(adapter_)) << "a failed write is not reported";
  EXPECT_EQ(2u, win32sim::sleep_log().size());

  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(0u, PKT32XmitOnePacket(adapter_));
  EXPECT_EQ(2u, win32sim::sleep_log().size()) << "no packet: no pause";
}

TEST_F(ContinuousTxTest, SingleSendLastsHalfASecondInRealTime) {
  open();
  win32sim::set_sleep_mode(win32sim::SleepMode::Real);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1u, PKT32XmitOnePacket(adapter_));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(ContinuousTxTest, StartThenStopSendsIdenticalFramesAndNoneAfterTheStop) {
  open();
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
  const uint64_t sent = sim_->frames_written();
  EXPECT_GE(sent, 1u) << "every start sends at least one frame";
  EXPECT_TRUE(sim_->all_frames_identical());
  EXPECT_EQ(expected_frame(), sim_->recent_frames().back());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sent, sim_->frames_written()) << "nothing after the stop";
  EXPECT_EQ(0u, win32sim::open_event_handles()) << "the worker freed its packet";
}

TEST_F(ContinuousTxTest, StopWithoutWorkerReturnsAfterOnePollAndOnlyTheLowByteStarts) {
  open();
  for (ULONG stop : {0u, 0x100u, 0xFF00u}) {
    win32sim::clear_sleep_log();
    EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, stop));
    EXPECT_EQ(std::vector<uint32_t>{10}, win32sim::sleep_log()) << std::hex << stop;
  }
  EXPECT_EQ(0u, sim_->frames_written());
}

TEST_F(ContinuousTxTest, StopWaitsForEveryWorkerOfRepeatedStarts) {
  open();
  sim_->set_write_completion({simadapter::Completion::Later, 0, 2000});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0x101));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
  EXPECT_EQ(0u, win32sim::pending_io_count()) << "no write outstanding once the stop returned";
  const uint64_t sent = sim_->frames_written();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(sent, sim_->frames_written());
  EXPECT_EQ(0u, win32sim::open_event_handles()) << "both workers freed their packets";
}

TEST_F(ContinuousTxTest, WorkerThatCannotStartOrAllocateSendsNothing) {
  open();
  win32sim::fail_nth_create_thread(1);
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  win32sim::clear_sleep_log();
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
  EXPECT_EQ(std::vector<uint32_t>{10}, win32sim::sleep_log());

  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
  EXPECT_EQ(0u, sim_->frames_written());
}

}  // namespace
}  // namespace talven_test
