// The fixed test frame, single sends and the continuous-transmit worker.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <thread>

#include "library/core/adapter.h"
#include "library/core/record.h"
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
  // The stop's and CloseDUT's waits for the workers are bounded by the tick: held still, a stop
  // ends only when its workers have, however long a loaded machine keeps them from running.
  void SetUp() override {
    MachineTest::SetUp();
    win32sim::hold_tick_count(true);
  }
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
  // Writes that the driver holds and whose cancel it ignores: each worker stays in its write.
  sim_->set_write_completion({simadapter::Completion::Held, 0, 0});
  sim_->set_cancel_completion({simadapter::Completion::Never, 0, 0});
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
  sim_->set_cancel_completion({simadapter::Completion::Never, 0, 0});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  ASSERT_TRUE(sim_->wait_held(1, 5000));
  Stop stop([this] { return PKT32OFDMContinuousTx(adapter_, 0); });
  EXPECT_FALSE(stop.returned_within(std::chrono::milliseconds(50)));
  sim_->release_held();
  EXPECT_EQ(1u, stop.result());
  EXPECT_EQ(0u, win32sim::pending_io_count());
}

// Two adapters, each with its own transmission: CloseDUT(A) waits for A's worker only, and B
// keeps sending. The adapter's count goes up by one per start and down by one per worker's end.
TEST_F(ContinuousTxTest, CloseDUTStopsOnlyTheWorkersOfItsAdapter) {
  open();
  auto other = std::make_shared<simadapter::SimulatedAdapter>();
  win32sim::add_device(u"\\Device\\TEST0002", win32sim::make_simulated_adapter_device(other));
  win32sim::add_dos_name(u"Packet_TEST0002", u"\\Device\\TEST0002");
  Adapter* second = OpenDUT(w(u"\\Device\\TEST0002"));
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(second, 1));
  EXPECT_EQ(1u, talven::workers_on(second));

  sim_->set_write_completion({simadapter::Completion::Held, 0, 0});
  sim_->set_cancel_completion({simadapter::Completion::Never, 0, 0});
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(2u, talven::workers_on(adapter_)) << "one count a start";
  EXPECT_EQ(3u, talven::workers_alive());
  ASSERT_TRUE(sim_->wait_held(2, 5000));
  sim_->release_held(1);
  // The released worker goes on: its next write is held in turn.
  ASSERT_TRUE(sim_->wait_held(2, 5000));
  EXPECT_EQ(2u, talven::workers_on(adapter_));

  Stop close([this] { return CloseDUT(adapter_); });
  EXPECT_FALSE(close.returned_within(std::chrono::milliseconds(50)))
      << "closed while a worker still wrote through the adapter";
  sim_->release_held(1);
  EXPECT_FALSE(close.returned_within(std::chrono::milliseconds(50))) << "one worker still sends";
  sim_->release_held(1);
  EXPECT_EQ(1u, close.result());
  adapter_ = nullptr;
  EXPECT_EQ(3u, sim_->frames_written());
  for (const std::string& line : debug())
    EXPECT_EQ(std::string::npos, line.find("did not end")) << line;
  EXPECT_TRUE(eventually([] { return talven::workers_alive() == 1; })) << "A's workers left";
  EXPECT_EQ(1u, talven::workers_on(second)) << "the other adapter's worker";
  EXPECT_EQ(1, talven::ContinuousTxRun.load());

  const uint64_t before = other->frames_written();
  EXPECT_TRUE(eventually([&] { return other->frames_written() >= before + 3; }))
      << "the other adapter keeps sending";
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(second, 0));
  EXPECT_EQ(0u, talven::workers_on(second));
  EXPECT_EQ(1u, CloseDUT(second));
  EXPECT_EQ(0u, win32sim::pending_io_count());
}

// The start raises the counts and the run flag before the worker's thread exists, so that the
// worker finds the flag set and a stop finds the worker counted; at its end the worker leaves
// its adapter before the process, so that a stop that sees no worker left in the process is
// never followed by a worker touching an adapter record.
TEST_F(ContinuousTxTest, CountsAndFlagComeBeforeTheWorkerAndItsAdapterBeforeTheProcess) {
  open();
  const DWORD caller = GetCurrentThreadId();
  std::atomic<int> at_create{-1}, adapter_at_end{-1}, process_at_end{-1};
  Adapter* adapter = adapter_;
  win32sim::set_injection_hook([&, adapter](const win32sim::ApiCall& call) {
    // Reads the library's counters only: GetModuleHandleEx asks with the machine's lock held.
    if (call.api == win32sim::Api::CreateThread)
      at_create = int(talven::ContinuousTxRun.load()) * 100 + int(talven::workers_on(adapter));
    if (call.api == win32sim::Api::GetModuleHandleEx && GetCurrentThreadId() != caller) {
      adapter_at_end = int(talven::workers_on(adapter));
      process_at_end = int(talven::workers_alive());
    }
    return win32sim::Injection{};
  });
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
  EXPECT_EQ(101, at_create.load()) << "run flag 1 and the worker counted (flag * 100 + count)";
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
  ASSERT_TRUE(win32sim::wait_for_threads(5000));
  win32sim::set_injection_hook(nullptr);
  EXPECT_EQ(0, adapter_at_end.load());
  EXPECT_EQ(1, process_at_end.load());
  EXPECT_GE(sim_->frames_written(), 1u);
}

// A write that the driver keeps until it is cancelled does not hold a stop, nor CloseDUT: the
// worker cancels its own write once it is told to stop.
TEST_F(ContinuousTxTest, StuckWriteIsCancelledByItsWorker) {
  for (bool close : {false, true}) {
    open();
    sim_->set_write_completion({simadapter::Completion::Never, 0, 0});
    EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 1));
    ASSERT_TRUE(eventually([] { return win32sim::pending_io_count() == 1; }));
    if (close) {
      EXPECT_EQ(1u, CloseDUT(adapter_));
    } else {
      EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
      EXPECT_EQ(0u, talven::workers_alive());
    }
    ASSERT_TRUE(win32sim::wait_for_threads(5000));
    const auto log = win32sim::io_log();
    ASSERT_EQ(1u, log.size());
    EXPECT_TRUE(log[0].cancel_requested) << (close ? "CloseDUT" : "stop");
    EXPECT_EQ(0u, sim_->frames_written());
    for (const std::string& line : debug())
      EXPECT_EQ(std::string::npos, line.find("did not end")) << line;
    if (!close) {
      EXPECT_EQ(1u, CloseDUT(adapter_));
    }
    adapter_ = nullptr;
    win32sim::clear_io_log();
  }
}

// A worker that can no longer run, and so never lowers its count (the system ended it at
// process exit), holds neither a stop nor CloseDUT for good: each gives up after its bound,
// and CloseDUT keeps the adapter's record, which such a worker might still touch.
TEST_F(ContinuousTxTest, WorkerThatVanishedHoldsNeitherTheStopNorTheClose) {
  open();
  win32sim::set_sleep_mode(win32sim::SleepMode::Real);
  win32sim::hold_tick_count(false);
  talven::count_worker(adapter_);  // counted, and no thread behind it
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1u, PKT32OFDMContinuousTx(adapter_, 0));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(
      (std::vector<std::string>{"TALVEN: PKT32OFDMContinuousTx a transmit worker did not end\n"}),
      debug());
  win32sim::clear_debug_strings();
  const size_t blocks = win32sim::heap_live_blocks();
  Adapter* kept = adapter_;
  EXPECT_EQ(1u, CloseDUT(adapter_));
  adapter_ = nullptr;
  EXPECT_EQ((std::vector<std::string>{
                "TALVEN: CloseDUT a transmit worker did not end, its record is kept\n",
                "TALVEN: CloseDUT Success.\n"}),
            debug());
  EXPECT_EQ(blocks, win32sim::heap_live_blocks()) << "the record is kept";
  EXPECT_EQ(0u, win32sim::open_file_handles()) << "the handle is closed";
  // The worker that never comes back, played out: the record goes with it.
  talven::uncount_worker_from_adapter(kept);
  talven::uncount_worker_from_process();
  talven::global_record_free(kept);
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
