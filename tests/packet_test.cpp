// Packet objects and frame I/O: allocation, sends that wait or not, write outcomes collected
// later, receive, packet filter and adapter reset.
#include <algorithm>
#include <chrono>
#include <cstring>

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
  EXPECT_EQ(0u, PacketSendPacket(adapter_, p, 1)) << "never initialised";
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
  EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 1));
  ASSERT_EQ(1u, sim_->frames_written());
  EXPECT_EQ(frame_, sim_->recent_frames()[0]);
  PacketInitPacket(p, frame_.data(), 0);
  EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 1));
  EXPECT_TRUE(sim_->recent_frames()[1].empty()) << "lengths are not checked";
  PacketFreePacket(p);
}

TEST_F(PacketTest, OnlyTheLowByteOfTheFlagsCountsAndTheWaitCollectsTheOutcome) {
  struct Case {
    uint32_t error;  // of the late completion
    ULONG waited;
  } cases[] = {{0, 1}, {ERROR_GEN_FAILURE, 0}};
  open();
  Packet* p = allocate();
  PacketInitPacket(p, frame_.data(), 100);
  for (const Case& c : cases) {
    sim_->set_write_completion({Completion::Later, c.error, 100000});
    EXPECT_EQ(1u, PacketSendPacket(adapter_, p, 0x100)) << "0x100 is false: no wait";
    ULONG bytes = 77;
    EXPECT_EQ(0u, PacketWaitPacket(adapter_, p, &bytes, 0x200));
    EXPECT_EQ(DWORD(ERROR_IO_INCOMPLETE), GetLastError());
    EXPECT_EQ(77u, bytes);
    EXPECT_EQ(c.waited, PacketWaitPacket(adapter_, p, &bytes, 1));
    EXPECT_EQ(c.error ? 0u : 100u, bytes);
    if (c.error) {
      EXPECT_EQ(c.error, GetLastError());
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
  std::vector<uint8_t> buffer(2100, 0xEE);
  PacketInitPacket(p, buffer.data(), 9);
  ULONG length = 0xABCD;
  EXPECT_EQ(0u, PacketReceivePacket(adapter_, p, 0, &length)) << "nothing received";
  EXPECT_EQ(0xABCDu, length);
  EXPECT_EQ(9u, p->Length);

  for (size_t n : {60u, 0u, 2000u}) {
    sim_->queue_received_frame(std::vector<uint8_t>(n, 0x42));
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(1u, PacketReceivePacket(adapter_, p, ULONG(n) * 7, &length));
    EXPECT_EQ(n, length);
    EXPECT_EQ(n, p->Length);
    EXPECT_EQ(size_t(std::count(buffer.begin(), buffer.end(), 0x42)), n);
    EXPECT_EQ(0xEE, buffer[n]);
  }
  const Request r = sim_->requests_for(wire::OID_RECEIVE_PACKET).back();
  EXPECT_TRUE(r.is_query());
  EXPECT_EQ(2000u, r.length());
  EXPECT_EQ(2303u, r.in_size);
  EXPECT_EQ(0u, r.param(0)) << "the third argument is ignored";
  PacketFreePacket(p);
}

TEST_F(PacketTest, ReportedLengthAboveTheCapacityIsCutToIt) {
  open();
  Packet* p = allocate();
  std::vector<uint8_t> buffer(2100, 0xEE);
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
  const Request r = sim_->requests_for(wire::OID_GEN_CURRENT_PACKET_FILTER).at(0);
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
  struct Case {
    Completion completion;
    BOOLEAN result;
  } cases[] = {
      {{Completion::Now, 0, 0}, TRUE},
      {{Completion::Later, 0, 50000}, TRUE},
      {{Completion::Later, ERROR_GEN_FAILURE, 1000}, TRUE},
      {{Completion::Never, 0, 0}, FALSE},
  };
  open();
  for (const Case& c : cases) {
    sim_->set_reset_completion(c.completion);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.result, PacketResetAdapter(adapter_) & 0xFF);
    const auto took = std::chrono::steady_clock::now() - start;
    if (c.result)
      EXPECT_LT(took, std::chrono::milliseconds(1500));
    else
      EXPECT_GE(took, std::chrono::milliseconds(3000));
    EXPECT_EQ(0u, win32sim::pending_io_count()) << "the request ended before the record did";
  }
  EXPECT_EQ(4u, sim_->adapter_resets());
}

}  // namespace
}  // namespace talven_test
