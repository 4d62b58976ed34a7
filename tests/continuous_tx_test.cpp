// The fixed test frame, single sends and the continuous-transmit worker.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
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

// The 10 ms polls of stops so far (in counting mode nothing else sleeps 10 ms here).
size_t stop_polls() {
  const auto log = win32sim::sleep_log();
  return size_t(std::count(log.begin(), log.end(), 10u));
}

// A stop on a thread of its own, so that a test can look at it before it returns. It is built
// once the stop has cleared the run flag (its first poll), so that a worker released after
// that sends no further frame.
class Stop {
 public:
  explicit Stop(std::function<ULONG()> call)
      : polls_(stop_polls()), thread_([this, call] {
          result_ = call();
          done_ = true;
        }) {
    while (stop_polls() == polls_ && !done_) std::this_thread::yield();
  }
  ~Stop() {
    if (thread_.joinable()) thread_.join();
  }
  bool returned_within(std::chrono::milliseconds ms) {
    const auto end = std::chrono::steady_clock::now() + ms;
    while (!done_ && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done_;
  }
  ULONG result() {
    thread_.join();
    return result_;
  }

 private:
  std::atomic<bool> done_{false};
  ULONG result_ = 0;
  size_t polls_;
  std::thread thread_;
};

TEST_F(ContinuousTxTest, StopReturnsOnlyWhenNoWorkerIsLeft) {
  open();
  sim_->set_write_completion({simadapter::Completion::Held, 0, 0});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0x101));  // a second worker beside the first
  ASSERT_TRUE(sim_->wait_held(2, 5000));
  EXPECT_EQ(0u, win32sim::open_thread_handles()) << "the starts keep no thread handle";
  EXPECT_EQ(3, win32sim::module_references()) << "each worker holds the module";

  Stop stop([this] { return PKT32OFDMContinuousTx(adapter_, 0); });
  EXPECT_FALSE(stop.returned_within(std::chrono::milliseconds(30)));
  sim_->release_held(1);
  EXPECT_FALSE(stop.returned_within(std::chrono::milliseconds(50))) << "one worker still sends";
  sim_->release_held(1);
  EXPECT_EQ(1u, stop.result());
  EXPECT_EQ(0u, win32sim::pending_io_count()) << "no write outstanding once the stop returned";
  EXPECT_EQ(0u, win32sim::open_event_handles()) << "both workers freed their packets";
  EXPECT_EQ(2u, sim_->frames_written());
  ASSERT_TRUE(win32sim::wait_for_threads(5000));
  EXPECT_EQ(2u, win32sim::threads_ended_by_free_library());
  EXPECT_EQ(1, win32sim::module_references());
}

TEST_F(ContinuousTxTest, EveryStartSendsAFrameEvenWhenTheStopComesFirst) {
  open();
  win32sim::close_thread_gate();
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  ASSERT_TRUE(win32sim::wait_threads_at_gate(1, 5000));
  Stop stop([this] { return PKT32OFDMContinuousTx(adapter_, 0); });
  EXPECT_FALSE(stop.returned_within(std::chrono::milliseconds(20)));
  win32sim::open_thread_gate();
  EXPECT_EQ(1u, stop.result());
  EXPECT_EQ(1u, sim_->frames_written());
}

TEST_F(ContinuousTxTest, TheCallerMayUnloadAsSoonAsTheStopReturns) {
  open();
  sim_->set_write_completion({simadapter::Completion::Held, 0, 0});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  EXPECT_EQ(2, win32sim::module_references());
  Stop stop([this] { return PKT32OFDMContinuousTx(adapter_, 0); });
  sim_->release_held();
  EXPECT_EQ(1u, stop.result());
  HMODULE module = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&PKT32OFDMContinuousTx), &module));
  EXPECT_TRUE(FreeLibrary(module)) << "the process's own reference";
  ASSERT_TRUE(win32sim::wait_for_threads(5000));
  EXPECT_EQ(0u, win32sim::misuse().unloads_while_running);
  EXPECT_EQ(1u, win32sim::threads_ended_by_free_library());
  EXPECT_EQ(0, win32sim::module_references());
}

TEST_F(ContinuousTxTest, AWorkerThatEndedOnItsOwnDoesNotEndTheNextStopEarly) {
  open();
  win32sim::fail_nth_global_alloc(1);  // the first worker gets no packet
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  ASSERT_TRUE(win32sim::wait_for_threads(5000));
  sim_->set_write_completion({simadapter::Completion::Held, 0, 0});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  Stop stop([this] { return PKT32OFDMContinuousTx(adapter_, 0); });
  EXPECT_FALSE(stop.returned_within(std::chrono::milliseconds(50)));
  sim_->release_held();
  EXPECT_EQ(1u, stop.result());
  EXPECT_EQ(0u, win32sim::pending_io_count());
}

TEST_F(ContinuousTxTest, CloseDUTEndsATransmissionThroughItsAdapterFirst) {
  open();
  // A second adapter whose transmission closing the first one leaves alone.
  auto other = std::make_shared<simadapter::SimulatedAdapter>();
  win32sim::add_device(u"\\Device\\TEST0002", win32sim::make_simulated_adapter_device(other));
  win32sim::add_dos_name(u"Packet_TEST0002", u"\\Device\\TEST0002");
  Adapter* second = OpenDUT(w(u"\\Device\\TEST0002"));
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(second, 1));
  while (other->frames_written() == 0) std::this_thread::yield();

  sim_->set_write_completion({simadapter::Completion::Held, 0, 0});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  Stop close([this] { return CloseDUT(adapter_); });
  EXPECT_FALSE(close.returned_within(std::chrono::milliseconds(50)))
      << "closed while a worker still wrote through the adapter";
  sim_->release_held();
  EXPECT_EQ(1u, close.result());
  adapter_ = nullptr;
  EXPECT_EQ(1u, sim_->frames_written());
  EXPECT_EQ(0u, win32sim::pending_io_count());

  // The closing stopped every worker of the process: the run flag is one per process.
  const uint64_t sent = other->frames_written();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(sent, other->frames_written());
  EXPECT_EQ(1u, CloseDUT(second));

  // Closing an adapter without a transmission does not touch another adapter's.
  open();
  second = OpenDUT(w(u"\\Device\\TEST0002"));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(second, 1));
  EXPECT_EQ(1u, CloseDUT(adapter_));
  adapter_ = nullptr;
  const uint64_t before = other->frames_written();
  while (other->frames_written() < before + 3) std::this_thread::yield();
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(second, 0));
  EXPECT_EQ(1u, CloseDUT(second));
}

TEST_F(ContinuousTxTest, WorkerThatCannotStartOrAllocateSendsNothing) {
  open();
  win32sim::fail_nth_create_thread(1);
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(1, win32sim::module_references()) << "the worker's reference is given back";
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
