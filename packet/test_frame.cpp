// The fixed test frame and the continuous-transmit worker that sends it back to back.
#include <array>
#include <atomic>
#include <cstring>

#include "core/platform.h"

namespace {

using Frame = std::array<uint8_t, TALVEN_TEST_FRAME_LENGTH>;

// Broadcast destination, the source address, the type field in transmission order, the fixed
// header bytes, the frame's own length little-endian, then zeros to the end.
constexpr Frame make_test_frame() {
  Frame f{};
  constexpr uint8_t head[] = {
      0xFF,
      0xFF,
      0xFF,
      0xFF,
      0xFF,
      0xFF,  // 0: destination
      0x00,
      0x5B,
      0xA7,
      0x4D,
      0x10,
      0x01,  // 6: source
      0x01,
      0x23,  // 12: type field
      0x39,
      0x81,
      0xEC,
      0x10,
      0x01,                             // 14: fixed
      TALVEN_TEST_FRAME_LENGTH & 0xFF,  // 19: length, low byte (0x78)
      TALVEN_TEST_FRAME_LENGTH >> 8,    // 20: length, high byte (0x05)
      0x01,                             // 21: fixed, the last nonzero byte
  };
  for (size_t i = 0; i < sizeof head; ++i) f[i] = head[i];
  return f;
}
constexpr Frame kTestFrame = make_test_frame();
static_assert(kTestFrame[19] == 0x78 && kTestFrame[20] == 0x05 && kTestFrame[22] == 0);

// The continuous transmission's shared state. Run: the workers go on while it is exactly 1.
// Done: 1 when no worker is sending. Workers: how many are between their start and their end,
// so that two starts without a stop between them still make the stop wait for both.
std::atomic<uint8_t> ContinuousTxRun{0};
std::atomic<uint8_t> ContinuousTxDone{1};
std::atomic<uint32_t> ContinuousTxWorkers{0};

constexpr DWORD kSinglePauseMs = 500;
constexpr DWORD kStopPollMs = 10;

void worker_finished() {
  if (ContinuousTxWorkers.fetch_sub(1) == 1) ContinuousTxDone.store(1);
}

}  // namespace

namespace talven {

void BuildTestFrame(uint8_t* buffer) {
  std::memcpy(buffer, kTestFrame.data(), kTestFrame.size());
}

DWORD WINAPI ContinuousTxWorker(LPVOID parameter) {
  auto* adapter = static_cast<Adapter*>(parameter);
  Packet* packet = PacketAllocatePacket(adapter);
  if (packet == nullptr) {
    worker_finished();
    return 0;
  }
  Frame frame;
  BuildTestFrame(frame.data());
  PacketInitPacket(packet, frame.data(), ULONG(frame.size()));
  do {
    PacketSendPacket(adapter, packet, TRUE);
  } while (ContinuousTxRun.load() == 1);
  PacketFreePacket(packet);
  worker_finished();
  return 0;
}

}  // namespace talven

extern "C" ULONG WINAPI PKT32XmitOnePacket(Adapter* adapter) {
  Packet* packet = PacketAllocatePacket(adapter);
  if (packet == nullptr) return 0;
  Frame frame;
  talven::BuildTestFrame(frame.data());
  PacketInitPacket(packet, frame.data(), ULONG(frame.size()));
  PacketSendPacket(adapter, packet, TRUE);
  PacketFreePacket(packet);
  Sleep(kSinglePauseMs);
  return 1;
}

extern "C" ULONG WINAPI PKT32OFDMContinuousTx(Adapter* adapter, ULONG start) {
  if ((start & 0xFF) != 0) {
    ContinuousTxRun.store(1);
    ContinuousTxWorkers.fetch_add(1);
    ContinuousTxDone.store(0);
    HANDLE worker =
        CreateThread(nullptr, 0, talven::ContinuousTxWorker, adapter, CREATE_SUSPENDED, nullptr);
    if (worker == nullptr) {
      worker_finished();  // nothing is sent; a later stop returns after its first poll
      return 1;
    }
    ResumeThread(worker);
    CloseHandle(worker);
    return 1;
  }
  ContinuousTxRun.store(0);
  do {
    Sleep(kStopPollMs);
  } while (ContinuousTxDone.load() == 0);
  return 1;
}
