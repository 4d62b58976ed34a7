#include "library/core/record.h"

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

// A kernel handle closed when the owner goes.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE h) : h_(h) {}
  ~OwnedHandle() {
    if (h_ != nullptr) CloseHandle(h_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

ULONG OidRequest(const Adapter* adapter, ULONG set, uint8_t* record) {
  const DWORD size = wire::transfer_size(wire::get_u32(record + wire::kLengthOffset));
  const DWORD code = (set & 0xFF) != 0 ? wire::IOCTL_OID_SET : wire::IOCTL_OID_QUERY;
  OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (event.get() == nullptr) return 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  DWORD returned = 0;
  BOOL done =
      DeviceIoControl(adapter->Handle, code, record, size, record, size, &returned, &overlapped);
  // A pended request still owns the record and the OVERLAPPED: wait for its own completion.
  if (!done && GetLastError() == ERROR_IO_PENDING)
    done = GetOverlappedResult(adapter->Handle, &overlapped, &returned, TRUE);
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
