// Packet objects and frame I/O: allocation, sends that wait or not, write outcomes collected
// later, receive, packet filter and adapter reset.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "support/machine.h"

namespace talven_test {
namespace {

using simadapter::Completion;

class PacketTest : public MachineTest {
 protected:
  Packet* allocate() {
    Packet* p = PacketAllocatePacket(adapter_);
    EXPECT_NE(nullptr, p);
    return p;
  }
  // Holds a reset and, while it is pending, has another thread issue on the same handle a
  // status query without an event that completes 50 ms later. Returns the reset's result.
  BOOLEAN reset_woken_by_other_request(std::chrono::steady_clock::duration* took) {
    sim_->set_reset_completion({Completion::Held, 0, 0});
    sim_->set_oid_completion({Completion::Later, 0, 50000}, 1);
    const uint8_t status_query[] = {0x80, 0x52, 0x4E, 0xFF, 4};  // Oid 0xFF4E5280, Length 4
    std::copy(std::begin(status_query), std::end(status_query), record_.begin());
    std::thread other([this] {
      if (!sim_->wait_held(1, 2000)) return;
      DWORD n = 0;
      EXPECT_FALSE(DeviceIoControl(adapter_->Handle, 0x80000004, record_.data(), 307,
                                   record_.data(), 307, &n, &other_ov_));
      EXPECT_EQ(DWORD(ERROR_IO_PENDING), GetLastError());
    });
    const auto start = std::chrono::steady_clock::now();
    const BOOLEAN result = PacketResetAdapter(adapter_);
    *took = std::chrono::steady_clock::now() - start;
    other.join();
    for (int i = 0; i < 3000 && !HasOverlappedIoCompleted(&other_ov_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return result;
  }
  OVERLAPPED other_ov_{};  // no event: its completion signals the handle
  std::vector<uint8_t> record_ = std::vector<uint8_t>(307);
  std::vector<uint8_t> frame_{std::vector<uint8_t>(100)};
  void SetUp() override {
    MachineTest::SetUp();
    for (size_t i = 0; i < frame_.size(); ++i) frame_[i] = uint8_t(i * 3 + 1);
  }
};

TEST_F(PacketTest, AllocationGivesAZeroedRecordWithItsOwnEventAndFreeReleasesBoth) {
  open();
  Packet* p = allocate();
  EXPECT_EQ(0x42u, win32sim::heap_alloc_log().at(0).flags);
  EXPECT_EQ(sizeof(Packet), win32sim::heap_alloc_log().at(0).size);
  EXPECT_EQ(nullptr, p->Buffer);
  EXPECT_EQ(0u, p->Length);
  EXPECT_EQ(0u, p->Reserved);
  EXPECT_NE(nullptr, p->Overlapped.hEvent);
  EXPECT_EQ(1u, win32sim::open_event_handles());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(p->Overlapped.hEvent, 0)) << "not signalled";
  SetEvent(p->Overlapped.hEvent);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p->Overlapped.hEvent, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(p->Overlapped.hEvent, 0)) << "auto-reset";
  EXPECT_EQ(1u, PacketInitPacket(p, frame_.data(), 100));
  EXPECT_EQ(1u, PacketFreePacket(p));
  EXPECT_EQ(0u, win32sim::open_event_handles());
  EXPECT_EQ(1, frame_[0]) << "the caller's buffer is left alone";
}

TEST_F(PacketTest, AllocationFailuresReportAndLeaveNothingBehind) {
  open();
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(nullptr, PacketAllocatePacket(adapter_));
  win32sim::fail_nth_create_event(1);
  EXPECT_EQ(nullptr, PacketAllocatePacket(adapter_));
  EXPECT_EQ((std::vector<std::string>{"TALVEN: PacketAllocateSendPacket: GlobalAlloc Failed\n",
                                      "TALVEN: PacketAllocateSendPacket: CreateEvent Failed\n"}),
            debug());
}

TEST_F(PacketTest, SendRefusesBadPacketsBeforeWriting) {
  open();
  Packet* p = allocate();
  EXPECT_EQ(0u, PacketSendPacket(adapter_, nullptr, 1));
  p->Overlapped.Offset = 7;
  EXPECT_EQ(0u, PacketSendPacket(adapter_, p, 1)) << "never initialised";
  EXPECT_EQ(0u, p->Overlapped.Offset) << "zeroed before the buffer is checked";
  PacketInitPacket(p, frame_.data(), 100);
  win32sim::fail_nth_reset_event(1);
  EXPECT_EQ(0u, PacketSendPacket(adapter_, p, 1));
  EXPECT_EQ((std::vector<std::string>{"PacketSendPacket(): lpPacket == NULL !!!\n",
                                      "PacketSendPacket(): lpPacket->Buffer == NULL !!!\n",
                                      "PacketSendPacket(): !ResetEvent() !!!\n"}),
            debug());
  EXPECT_EQ(0u, sim_->frames_written());
  PacketFreePacket(p);
}

TEST_F(PacketTest, SynchronousSendWritesTheFrameByteForByte) {
  open();
  Packet* p = allocate();
  PacketInitPacket(p, frame_.data(), 100);
  p->Overlapped.Offset = 0x1234;
  p->Overlapped.OffsetHigh = 0x5678;
  EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 1));
  ASSERT_EQ(1u, sim_->frames_written());
  EXPECT_EQ(frame_, sim_->recent_frames()[0]);
  EXPECT_EQ(0u, win32sim::io_log().back().offset) << "every write starts at offset 0";
  PacketInitPacket(p, frame_.data(), 0);
  p->Overlapped.OffsetHigh = 1;
  EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 1));
  EXPECT_TRUE(sim_->recent_frames()[1].empty()) << "lengths are not checked";
  EXPECT_EQ((std::vector<uint64_t>{0, 0}), sim_->recent_frame_offsets());
  PacketFreePacket(p);
}

TEST_F(PacketTest, OnlyTheLowByteOfTheFlagsCountsAndTheWaitCollectsTheOutcome) {
  // The device reads the frame from the caller's buffer when the write completes, so what goes
  // on the air is the buffer as it stands then.
  struct Case {
    Completion completion;
    ULONG waited;
  } cases[] = {{{Completion::Later, 0, 100000}, 1},
               {{Completion::Later, ERROR_GEN_FAILURE, 100000}, 0},
               {{Completion::Held, 0, 0}, 1}};
  open();
  Packet* p = allocate();
  PacketInitPacket(p, frame_.data(), 100);
  for (const Case& c : cases) {
    const uint32_t error = c.completion.error;
    sim_->clear_frames();
    sim_->set_write_completion(c.completion);
    // A held write is released once the send and the first look have returned, or after 2 s
    // if either of them waits for it.
    std::promise<void> looked;
    std::future<void> look = looked.get_future();
    std::thread releaser;
    if (c.completion.kind == Completion::Held)
      releaser = std::thread([&] {
        look.wait_for(std::chrono::seconds(2));
        sim_->release_held(1);
      });
    EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 0x100)) << "0x100 is false: no wait";
    ULONG bytes = 77;
    EXPECT_EQ(0u, PacketWaitPacket(adapter_, p, &bytes, 0x200));
    EXPECT_EQ(DWORD(ERROR_IO_INCOMPLETE), GetLastError());
    EXPECT_EQ(77u, bytes);
    looked.set_value();
    EXPECT_EQ(c.waited, PacketWaitPacket(adapter_, p, &bytes, 1));
    if (releaser.joinable()) releaser.join();
    EXPECT_EQ(error ? 0u : 100u, bytes);
    if (error) {
      EXPECT_EQ(error, GetLastError());
    }
    EXPECT_EQ(error ? 0u : 1u, sim_->frames_written());
    if (!error) {
      EXPECT_EQ(frame_, sim_->recent_frames().at(0));
    }
  }
  sim_->set_write_completion({Completion::Later, ERROR_GEN_FAILURE, 1000});
  EXPECT_EQ(0u, PacketSendPacket(adapter_, p, 1)) << "a waiting send reports the failure";
  PacketFreePacket(p);
}

TEST_F(PacketTest, WriteRefusedAtOnceIsNeverWaitedFor) {
  open();
  Packet* p = allocate();
  PacketInitPacket(p, frame_.data(), 100);
  sim_->set_write_completion({Completion::Refused, ERROR_INVALID_PARAMETER, 0});
  for (ULONG sync : {1u, 0u}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, PacketSendPacket(adapter_, p, sync));
    ULONG bytes = 5;
    EXPECT_EQ(0u, PacketWaitPacket(adapter_, p, &bytes, 1));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  EXPECT_EQ(0u, sim_->frames_written());
  sim_->set_write_completion({Completion::Now, 0, 0});
  EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 1)) << "the packet stays usable";
  PacketFreePacket(p);
}

TEST_F(PacketTest, ReceiveCopiesExactlyTheFrameAndChangesNothingOnFailure) {
  open();
  Packet* p = allocate();
  ULONG length = 0xABCD;
  EXPECT_EQ(0u, PacketReceivePacket(adapter_, p, 0, &length)) << "a packet without a buffer";
  EXPECT_EQ(std::vector<std::string>{"TALVEN: PacketReceivePacket Buffer == NULL !!!\n"}, debug());
  EXPECT_TRUE(oid_requests().empty());
  std::vector<uint8_t> buffer(2100, 0xEE);
  PacketInitPacket(p, buffer.data(), 9);
  EXPECT_EQ(0u, PacketReceivePacket(adapter_, p, 0, &length)) << "nothing received";
  EXPECT_EQ(0xABCDu, length);
  EXPECT_EQ(9u, p->Length);
  sim_->queue_received_frame(std::vector<uint8_t>(30, 0x55));
  sim_->add_fault({0xFF4D102C, simadapter::Fault::FailAndAnswer});
  EXPECT_EQ(0u, PacketReceivePacket(adapter_, p, 0, &length)) << "failed, answer written anyway";
  EXPECT_EQ(0u, sim_->queued_received_frames()) << "the driver did answer";
  EXPECT_EQ(0xABCDu, length);
  EXPECT_EQ(9u, p->Length);
  EXPECT_EQ(std::vector<uint8_t>(2100, 0xEE), buffer);
  sim_->clear_faults();

  for (size_t n : {60u, 0u, 2000u}) {
    sim_->queue_received_frame(std::vector<uint8_t>(n, 0x42));
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(1u, PacketReceivePacket(adapter_, p, ULONG(n) * 7, &length));
    EXPECT_EQ(n, length);
    EXPECT_EQ(n, p->Length);
    EXPECT_EQ(size_t(std::count(buffer.begin(), buffer.end(), 0x42)), n);
    EXPECT_EQ(0xEE, buffer[n]);
  }
  const Request r = sim_->requests_for(0xFF4D102C).back();
  EXPECT_TRUE(r.is_query());
  EXPECT_EQ(2000u, r.length());
  EXPECT_EQ(2303u, r.in_size);
  EXPECT_EQ(0u, r.param(0)) << "the third argument is ignored";
  PacketFreePacket(p);
}

TEST_F(PacketTest, ReportedLengthAboveTheCapacityIsCutToIt) {
  open();
  Packet* p = allocate();
  std::vector<uint8_t> buffer(5100, 0xEE);  // room for an uncut copy, so that it shows
  PacketInitPacket(p, buffer.data(), 0);
  sim_->queue_received_frame(std::vector<uint8_t>(2000, 0x42));
  sim_->set_receive_reported_length(5000);
  ULONG length = 0;
  EXPECT_EQ(1u, PacketReceivePacket(adapter_, p, 0, &length));
  EXPECT_EQ(2000u, length);
  EXPECT_EQ(2000u, p->Length);
  EXPECT_EQ(0xEE, buffer[2000]) << "nothing past the capacity";
  PacketFreePacket(p);
}

TEST_F(PacketTest, FilterSendsTheMaskAndReturnsTheLowByteOfTheRequest) {
  open();
  EXPECT_EQ(1, PacketSetFilter(adapter_, 0x2F));
  const Request r = sim_->requests_for(0x0001010E).at(0);
  EXPECT_TRUE(r.is_set());
  EXPECT_EQ(4u, r.length());
  EXPECT_EQ(0x2Fu, r.param(0));
  EXPECT_EQ(0x2Fu, sim_->packet_filter());
  sim_->add_fault({wire::OID_GEN_CURRENT_PACKET_FILTER});
  EXPECT_EQ(0, PacketSetFilter(adapter_, 1));
  win32sim::fail_nth_global_alloc(1);
  EXPECT_EQ(0, PacketSetFilter(adapter_, 1));
}

TEST_F(PacketTest, ResetReportsCompletionAndTimesOutAfterThreeSeconds) {
  // A reset still pending after 3000 ms is cancelled, and the call waits up to 1000 ms more for
  // the driver to end it; its OVERLAPPED block goes once the request has ended, never before.
  const HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t(0xBAD0));
  struct Case {
    Completion completion;
    Completion cancel;  // how the driver ends a cancelled reset
    BOOLEAN result;
    int min_ms, max_ms;
    HANDLE handle;  // null: the adapter's own
    size_t kept;    // requests still pending and global blocks kept afterwards
  } cases[] = {
      {{Completion::Now, 0, 0}, {}, TRUE, 0, 1500, nullptr, 0},
      {{Completion::Later, 0, 50000}, {}, TRUE, 0, 1500, nullptr, 0},
      {{Completion::Later, ERROR_GEN_FAILURE, 1000}, {}, TRUE, 0, 1500, nullptr, 0},
      {{Completion::Refused, ERROR_INVALID_PARAMETER, 0}, {}, FALSE, 0, 1500, nullptr, 0},
      {{Completion::Now, 0, 0}, {}, FALSE, 0, 1500, bogus, 0},
      {{Completion::Never, 0, 0}, {Completion::Now, 0, 0}, FALSE, 3000, 4000, nullptr, 0},
      {{Completion::Never, 0, 0}, {Completion::Later, 0, 300000}, FALSE, 3300, 4000, nullptr, 0},
      // Last: the driver ignores the cancel, so the request and its block stay for good.
      {{Completion::Never, 0, 0}, {Completion::Never, 0, 0}, FALSE, 4000, 5000, nullptr, 1},
  };
  open();
  const HANDLE own = adapter_->Handle;
  for (const Case& c : cases) {
    const std::string what = "row " + std::to_string(&c - cases);
    sim_->set_reset_completion(c.completion);
    sim_->set_cancel_completion(c.cancel);
    win32sim::clear_io_log();
    const size_t blocks = win32sim::heap_live_blocks();
    if (c.handle != nullptr) adapter_->Handle = c.handle;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.result, PacketResetAdapter(adapter_) & 0xFF) << what;
    const auto took = std::chrono::steady_clock::now() - start;
    adapter_->Handle = own;
    EXPECT_GE(took, std::chrono::milliseconds(c.min_ms)) << what;
    EXPECT_LT(took, std::chrono::milliseconds(c.max_ms)) << what;
    EXPECT_EQ(c.kept, win32sim::pending_io_count()) << what;
    EXPECT_EQ(blocks + c.kept, win32sim::heap_live_blocks()) << what;
    const auto log = win32sim::io_log();
    ASSERT_EQ(c.handle != nullptr ? 0u : 1u, log.size()) << what;
    if (!log.empty()) {
      EXPECT_EQ(0x80000008u, log[0].code);
      EXPECT_EQ(0u, log[0].in_size + log[0].out_size);
      EXPECT_EQ(c.min_ms >= 3000, log[0].cancel_requested) << what;
    }
  }
  EXPECT_EQ(7u, sim_->adapter_resets());
  baseline_blocks_ += 1;  // the block of the reset the driver never ended
}

TEST_F(PacketTest, ResetWhoseWaitAnotherCompletionEndsFails) {
  open();
  const size_t blocks = win32sim::heap_live_blocks();
  std::chrono::steady_clock::duration took;
  EXPECT_EQ(FALSE, reset_woken_by_other_request(&took) & 0xFF);
  EXPECT_LT(took, std::chrono::milliseconds(1500)) << "ended by the other completion";
  const auto log = win32sim::io_log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(0x80000008u, log[0].code);
  EXPECT_TRUE(log[0].cancel_requested) << "the reset still pending is cancelled";
  EXPECT_EQ(win32sim::IoCall::Completed, log[1].state);
  EXPECT_FALSE(log[1].cancel_requested);
  EXPECT_EQ(0u, win32sim::pending_io_count()) << "the cancelled reset was waited for";
  EXPECT_EQ(blocks, win32sim::heap_live_blocks()) << "and its block released";
}

// A reset that completed is reported as completed, also when another request on the handle
// cleared the handle's signal between the reset's completion and its wait.
TEST_F(PacketTest, ResetWhoseSignalAnotherRequestClearedSucceeds) {
  open();
  sim_->set_reset_completion({Completion::Held, 0, 0});
  std::atomic<bool> once{false};
  win32sim::set_injection_hook([this, &once](const win32sim::ApiCall& call) {
    if (call.api == win32sim::Api::WaitForSingleObject && !once.exchange(true)) {
      sim_->release_held();  // the reset completes and signals the handle,
      ULONG power = 0;
      EXPECT_EQ(1u, GetTxPowerControl(adapter_, &power));  // and this request clears it again
    }
    return win32sim::Injection{};
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TRUE, PacketResetAdapter(adapter_) & 0xFF);
  const auto took = std::chrono::steady_clock::now() - start;
  win32sim::set_injection_hook(nullptr);
  EXPECT_LT(took, std::chrono::milliseconds(2500)) << "seen before the time-out";
  const auto log = win32sim::io_log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(0x80000008u, log[0].code);
  EXPECT_FALSE(log[0].cancel_requested);
}

// A reset that ends unfinished cancels itself only: a frame write in flight on the same handle
// goes on and completes.
TEST_F(PacketTest, ResetCancelsOnlyItself) {
  open();
  sim_->set_write_completion({Completion::Held, 0, 0});
  sim_->set_reset_completion({Completion::Never, 0, 0});
  Packet* p = allocate();
  PacketInitPacket(p, frame_.data(), ULONG(frame_.size()));
  ASSERT_EQ(1u, PacketSendPacket(adapter_, p, FALSE));
  std::atomic<bool> once{false};
  win32sim::set_injection_hook([&once](const win32sim::ApiCall& call) {
    win32sim::Injection out;  // the reset's first wait fails: it gives up at once
    if (call.api == win32sim::Api::WaitForSingleObject && !once.exchange(true))
      out.kind = win32sim::Injection::Fail;
    return out;
  });
  EXPECT_EQ(FALSE, PacketResetAdapter(adapter_) & 0xFF);
  win32sim::set_injection_hook(nullptr);
  const auto log = win32sim::io_log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(win32sim::IoCall::Write, log[0].kind);
  EXPECT_FALSE(log[0].cancel_requested) << "the write was cancelled with the reset";
  EXPECT_TRUE(log[1].cancel_requested);
  sim_->release_held();
  ULONG bytes = 0;
  EXPECT_EQ(1u, PacketWaitPacket(adapter_, p, &bytes, TRUE));
  EXPECT_EQ(frame_.size(), bytes);
  EXPECT_EQ(1u, sim_->frames_written());
  PacketFreePacket(p);
}

}  // namespace
}  // namespace talven_test
