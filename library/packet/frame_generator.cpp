// The fixed test frame and the continuous-transmit worker that sends it back to back.
#include <array>
#include <atomic>
#include <cstring>

#include "library/core/adapter.h"
#include "library/core/policy.h"
#include "library/core/record.h"

namespace {

using Frame = std::array<uint8_t, TALVEN_TEST_FRAME_LENGTH>;

// Broadcast destination, the source address, the type field in transmission order, the fixed
// header bytes, the frame's own length little-endian, then zeros to the end.
constexpr Frame make_test_frame() {
  Frame f{};
  // clang-format off
  constexpr uint8_t head[] = {
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,      // 0: destination, broadcast
      0x00, 0x5B, 0xA7, 0x4D, 0x10, 0x01,      // 6: source
      0x01, 0x23,                              // 12: type field
      0x39, 0x81, 0xEC, 0x10, 0x01,            // 14: fixed
      TALVEN_TEST_FRAME_LENGTH & 0xFF,         // 19: length, low byte (0x78)
      TALVEN_TEST_FRAME_LENGTH >> 8,           // 20: length, high byte (0x05)
      0x01,                                    // 21: fixed, the last nonzero byte
  };
  // clang-format on
  for (size_t i = 0; i < sizeof head; ++i) f[i] = head[i];
  return f;
}
constexpr Frame kTestFrame = make_test_frame();
static_assert(kTestFrame[19] == 0x78 && kTestFrame[20] == 0x05 && kTestFrame[22] == 0);

constexpr DWORD kSinglePauseMs = 500;

}  // namespace

namespace talven {

void BuildTestFrame(uint8_t* buffer) {
  std::memcpy(buffer, kTestFrame.data(), kTestFrame.size());
}

namespace {

// Waits for the packet's write to end. While the write is pending the worker looks every 10 ms
// whether it is to stop; once it is, it cancels its own write (no other request on the handle)
// and waits for the driver to end it: a driver that keeps a frame write until it is cancelled
// then holds neither the worker nor the stop that waits for it.
void await_write(Adapter* adapter, Packet* packet) {
  OVERLAPPED* overlapped = &packet->Overlapped;
  bool cancelled = false;
  while (!HasOverlappedIoCompleted(overlapped)) {
    if (WaitForSingleObject(overlapped->hEvent, policy::kStopPollMs) == WAIT_FAILED)
      Sleep(policy::kStopPollMs);
    if (!cancelled && !keeps_sending(adapter) && !HasOverlappedIoCompleted(overlapped)) {
      CancelIoEx(adapter->Handle, overlapped);
      cancelled = true;
    }
  }
}

}  // namespace

// The worker's thread holds a reference on this module from before it exists until its last
// instruction, so that a caller who stops the transmission and unloads the library cannot pull
// the code from under it: the reference is taken by the starting call and given back by
// FreeLibraryAndExitThread, which ends the thread without returning into this code.
DWORD WINAPI ContinuousTxWorker(LPVOID parameter) {
  auto* adapter = static_cast<Adapter*>(parameter);
  Packet* packet = PacketAllocatePacket(adapter);
  if (packet != nullptr) {
    Frame frame;
    BuildTestFrame(frame.data());
    PacketInitPacket(packet, frame.data(), ULONG(frame.size()));
    do {
      // A write the system refused at once has its outcome in the OVERLAPPED already.
      PacketSendPacket(adapter, packet, FALSE);
      await_write(adapter, packet);
    } while (keeps_sending(adapter));
    PacketFreePacket(packet);
  }
  uncount_worker_from_adapter(adapter);  // the adapter and its record are not touched after this
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ContinuousTxWorker), &self);
  uncount_worker_from_process();  // last: a stop may return now
  if (self != nullptr) FreeLibraryAndExitThread(self, 0);
  return 0;
}

}  // namespace talven

extern "C" ULONG WINAPI PKT32XmitOnePacket(Adapter* adapter) {
  if (talven::refuse_null(TEXT("PKT32XmitOnePacket"), {{adapter, TEXT("Adapter")}})) return 0;
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

// Only the stop works without an adapter: it stops every worker of the process.
extern "C" ULONG WINAPI PKT32OFDMContinuousTx(Adapter* adapter, ULONG start) {
  if ((start & 0xFF) == 0) {
    talven::StopContinuousTx();
    return 1;
  }
  if (talven::refuse_null(TEXT("PKT32OFDMContinuousTx"), {{adapter, TEXT("Adapter")}})) return 0;
  talven::ContinuousTxRun.store(1);
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&talven::ContinuousTxWorker), &self))
    return 1;  // nothing is sent; a later stop returns after its first poll
  talven::count_worker(adapter);
  HANDLE worker =
      CreateThread(nullptr, 0, talven::ContinuousTxWorker, adapter, CREATE_SUSPENDED, nullptr);
  if (worker == nullptr) {
    talven::uncount_worker_from_adapter(adapter);
    talven::uncount_worker_from_process();
    FreeLibrary(self);
    return 1;
  }
  ResumeThread(worker);
  CloseHandle(worker);
  return 1;
}
