// Packet objects and frame I/O on the adapter's device file: overlapped writes through each
// packet's own OVERLAPPED and auto-reset event, the adapter reset, the NDIS packet filter and
// the receive of one frame through the vendor receive OID.
#include <cstring>

#include "library/core/request_runner.h"

using namespace talven::wire;

namespace {

// Records, in the packet's OVERLAPPED, the error of a write that the platform refused before
// it ever started, as the status of a finished request (a Win32-facility NTSTATUS), so that
// GetOverlappedResult reports the error at once instead of waiting for a completion that will
// never come.
void fail_unstarted_write(OVERLAPPED* overlapped, DWORD error) {
  overlapped->Internal = 0xC0070000u | (error & 0xFFFFu);
  overlapped->InternalHigh = 0;
}

}  // namespace

extern "C" Packet* WINAPI PacketAllocatePacket(Adapter*) {
  talven::GlobalBlock block(sizeof(Packet));
  if (!block) {
    OutputDebugStringW(TEXT("TALVEN: PacketAllocateSendPacket: GlobalAlloc Failed\n"));
    return nullptr;
  }
  auto* packet = static_cast<Packet*>(block.get());
  packet->Overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (packet->Overlapped.hEvent == nullptr) {
    OutputDebugStringW(TEXT("TALVEN: PacketAllocateSendPacket: CreateEvent Failed\n"));
    return nullptr;
  }
  return static_cast<Packet*>(block.release());
}

extern "C" ULONG WINAPI PacketFreePacket(Packet* packet) {
  if (talven::refuse_null(TEXT("PacketFreePacket"), {{packet, TEXT("Packet")}})) return 0;
  CloseHandle(packet->Overlapped.hEvent);
  talven::global_record_free(packet);
  return 1;
}

extern "C" ULONG WINAPI PacketInitPacket(Packet* packet, PVOID buffer, ULONG length) {
  if (talven::refuse_null(TEXT("PacketInitPacket"), {{packet, TEXT("Packet")}})) return 0;
  packet->Buffer = buffer;
  packet->Length = length;
  return 1;
}

extern "C" ULONG WINAPI PacketSendPacket(Adapter* adapter, Packet* packet, ULONG sync) {
  if (packet == nullptr) {
    OutputDebugStringW(TEXT("PacketSendPacket(): lpPacket == NULL !!!\n"));
    return 0;
  }
  if (adapter == nullptr) {
    OutputDebugStringW(TEXT("PacketSendPacket(): lpAdapter == NULL !!!\n"));
    return 0;
  }
  packet->Overlapped.Offset = 0;
  packet->Overlapped.OffsetHigh = 0;
  if (packet->Buffer == nullptr) {
    OutputDebugStringW(TEXT("PacketSendPacket(): lpPacket->Buffer == NULL !!!\n"));
    return 0;
  }
  if (!ResetEvent(packet->Overlapped.hEvent)) {
    OutputDebugStringW(TEXT("PacketSendPacket(): !ResetEvent() !!!\n"));
    return 0;
  }
  DWORD written = 0;
  if (!WriteFile(adapter->Handle, packet->Buffer, packet->Length, &written, &packet->Overlapped)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      // Refused at once: nothing is outstanding, so nothing may be waited for.
      fail_unstarted_write(&packet->Overlapped, error);
      SetLastError(error);
      return 0;
    }
  }
  if ((sync & 0xFF) == 0) return 1;
  DWORD transferred = 0;
  return static_cast<ULONG>(
      GetOverlappedResult(adapter->Handle, &packet->Overlapped, &transferred, TRUE));
}

extern "C" ULONG WINAPI PacketWaitPacket(Adapter* adapter, Packet* packet, PULONG bytes,
                                         ULONG wait) {
  if (talven::refuse_null(
          TEXT("PacketWaitPacket"),
          {{adapter, TEXT("Adapter")}, {packet, TEXT("Packet")}, {bytes, TEXT("bytes")}}))
    return 0;
  DWORD transferred = 0;
  const BOOL done =
      GetOverlappedResult(adapter->Handle, &packet->Overlapped, &transferred, (wait & 0xFF) != 0);
  if (done || HasOverlappedIoCompleted(&packet->Overlapped)) *bytes = transferred;
  return static_cast<ULONG>(done);
}

// The reset waits on the device handle, which the request signals when it completes: its
// OVERLAPPED has no event. That signal is no proof: any request issued on the handle clears it,
// and the completion of any request without an event sets it. So the reset's own OVERLAPPED
// decides, looked at before every wait and after it; the waits last at most kResetSliceMs, so
// that a completion whose signal another request cleared is seen within that slice, not after
// the whole time-out. The OVERLAPPED lives in a global block rather than on the stack, so that
// it outlives a reset the driver has not finished: one that did not complete in time is
// cancelled, and its block is released once the driver has completed it; a driver that neither
// completes nor cancels it keeps the block for good, never freed memory.
extern "C" BOOLEAN WINAPI PacketResetAdapter(Adapter* adapter) {
  using talven::policy::kResetSliceMs;
  using talven::policy::kResetTimeoutMs;
  if (talven::refuse_null(TEXT("PacketResetAdapter"), {{adapter, TEXT("Adapter")}})) return FALSE;
  auto* overlapped = static_cast<OVERLAPPED*>(talven::global_record_alloc(sizeof(OVERLAPPED)));
  if (overlapped == nullptr) return FALSE;
  DWORD returned = 0;
  if (DeviceIoControl(adapter->Handle, IOCTL_ADAPTER_RESET, nullptr, 0, nullptr, 0, &returned,
                      overlapped)) {
    talven::global_record_free(overlapped);
    return TRUE;  // completed at once
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    talven::global_record_free(overlapped);
    return FALSE;  // refused: nothing was started, so there is nothing to wait for
  }

  // A reset that completed, with or without an error, is a success. A wait that failed, or
  // that another request's completion ended while the reset is still pending, ends the wait.
  const DWORD start = GetTickCount();
  for (;;) {
    if (HasOverlappedIoCompleted(overlapped)) {
      talven::global_record_free(overlapped);
      return TRUE;
    }
    // The tick count moves in steps: the wait ends only once more than the time-out passed.
    const DWORD waited = GetTickCount() - start;
    if (waited > kResetTimeoutMs) break;
    const DWORD left = kResetTimeoutMs + 1 - waited;
    const DWORD woke =
        WaitForSingleObject(adapter->Handle, left < kResetSliceMs ? left : kResetSliceMs);
    if (woke == WAIT_TIMEOUT) continue;
    if (HasOverlappedIoCompleted(overlapped)) continue;
    break;
  }
  // Only the reset itself is cancelled: other requests on the handle (a running transmission's
  // writes) go on.
  CancelIoEx(adapter->Handle, overlapped);
  // The cancelled request signals the handle when it ends; a completion of another request
  // may have signalled it already, so it is the request itself that tells when to stop.
  const DWORD cancelled = GetTickCount();
  while (!HasOverlappedIoCompleted(overlapped)) {
    const DWORD waited = GetTickCount() - cancelled;
    if (waited >= talven::policy::kCancelWaitMs) break;
    const DWORD woke = WaitForSingleObject(adapter->Handle, talven::policy::kCancelWaitMs - waited);
    if (woke != WAIT_OBJECT_0) break;
    if (!HasOverlappedIoCompleted(overlapped)) Sleep(1);
  }
  if (HasOverlappedIoCompleted(overlapped)) talven::global_record_free(overlapped);
  return FALSE;
}

extern "C" BOOLEAN WINAPI PacketSetFilter(Adapter* adapter, ULONG filter) {
  using namespace talven::family;
  constexpr Op kSetFilter{
      TEXT("PacketSetFilter"), OID_GEN_CURRENT_PACKET_FILTER, 4, kSet, kNoWait, Output::None};
  return static_cast<BOOLEAN>(send(adapter, kSetFilter, {filter}) & 0xFF);
}

extern "C" ULONG WINAPI PacketReceivePacket(Adapter* adapter, Packet* packet, ULONG,
                                            PULONG length) {
  if (talven::refuse_null(
          TEXT("PacketReceivePacket"),
          {{adapter, TEXT("Adapter")}, {packet, TEXT("Packet")}, {length, TEXT("length")}}) ||
      talven::refuse_null(TEXT("PacketReceivePacket"), {{packet->Buffer, TEXT("Buffer")}}))
    return 0;
  talven::OidRecord record(OID_RECEIVE_PACKET, kReceiveCapacity);
  if (!record) return 0;
  const ULONG result = talven::OidRequest(adapter, false, record);
  if (result == 1) {
    // A driver that reports more than the capacity asked for gets its frame cut to it.
    const ULONG received = record.length() < kReceiveCapacity ? record.length() : kReceiveCapacity;
    *length = received;
    packet->Length = received;
    std::memcpy(packet->Buffer, record.data(), received);
  }
  return result;
}
