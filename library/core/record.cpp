#include "library/core/record.h"

#include "library/core/request_slots.h"

namespace talven {

void* global_record_alloc(SIZE_T size) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (handle == nullptr) return nullptr;
  void* p = GlobalLock(handle);
  if (p == nullptr) GlobalFree(handle);
  return p;
}

void global_record_free(void* record) {
  if (record == nullptr) return;
  HGLOBAL handle = GlobalHandle(record);
  GlobalUnlock(handle);
  GlobalFree(handle);
}

SIZE_T OidRecord::block_size_for(uint32_t length) {
  if (length > UINT32_MAX - wire::kTransferBase) return 0;
  const uint32_t transfer = wire::transfer_size(length);
  return transfer < wire::kRecordSize ? wire::kRecordSize : transfer;
}

OidRecord::OidRecord(uint32_t oid, uint32_t length, SIZE_T block_size)
    : block_(block_size == 0 ? GlobalBlock() : GlobalBlock(block_size)) {
  if (!block_) return;
  wire::put_u32(bytes() + wire::kOidOffset, oid);
  wire::put_u32(bytes() + wire::kLengthOffset, length);
}

namespace {

// Cancels a pended request whose wait failed and polls its OVERLAPPED, which the system writes
// when the request ends, for up to kCancelWaitMs; true once it has ended.
bool end_pended_request(HANDLE device, OVERLAPPED* overlapped) {
  CancelIoEx(device, overlapped);
  const DWORD start = GetTickCount();
  while (!HasOverlappedIoCompleted(overlapped)) {
    if (GetTickCount() - start >= policy::kCancelWaitMs) return false;
    Sleep(1);
  }
  return true;
}

}  // namespace

ULONG OidRequest(const Adapter* adapter, ULONG set, OidRecord& record) {
  uint8_t* bytes = record.bytes();
  const DWORD size = wire::transfer_size(wire::get_u32(bytes + wire::kLengthOffset));
  const DWORD code = (set & 0xFF) != 0 ? wire::IOCTL_OID_SET : wire::IOCTL_OID_QUERY;
  OVERLAPPED* overlapped = take_request_slot();
  if (overlapped == nullptr) return 0;
  DWORD returned = 0;
  BOOL done =
      DeviceIoControl(adapter->Handle, code, bytes, size, bytes, size, &returned, overlapped);
  // A pended request owns the record and the OVERLAPPED until it ends: wait for its own
  // completion, and decide from the OVERLAPPED whether it came.
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    done = GetOverlappedResult(adapter->Handle, overlapped, &returned, TRUE);
    if (!HasOverlappedIoCompleted(overlapped)) {
      done = FALSE;  // the wait failed, or something else woke it
      if (!end_pended_request(adapter->Handle, overlapped)) {
        abandon_request_slot(overlapped);
        record.abandon();
        return 0;
      }
    }
  }
  give_back_request_slot(overlapped);
  return static_cast<ULONG>(done);
}

bool refuse_null(const WCHAR* operation, std::initializer_list<NamedArgument> arguments) {
  for (const NamedArgument& argument : arguments) {
    if (argument.value != nullptr) continue;
    WCHAR text[128];
    wsprintfW(text, TEXT("TALVEN: %s %s == NULL !!!\n"), operation, argument.name);
    OutputDebugStringW(text);
    return true;
  }
  return false;
}

ULONG CompleteCommand(const Adapter* adapter, ULONG request_result, int32_t command_id,
                      int32_t poll_limit, ULONG* value) {
  if (request_result != 1) return request_result;
  return WaitCommandComplete(adapter, command_id, poll_limit, value) & 0xFF;
}

}  // namespace talven
