#include "core/record.h"

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

ULONG OidRequest(const Adapter* adapter, ULONG set, uint8_t* record) {
  const DWORD size = wire::transfer_size(wire::get_u32(record + wire::kLengthOffset));
  const DWORD code = (set & 0xFF) != 0 ? wire::IOCTL_OID_SET : wire::IOCTL_OID_QUERY;
  DWORD returned = 0;
  return static_cast<ULONG>(
      DeviceIoControl(adapter->Handle, code, record, size, record, size, &returned, nullptr));
}

ULONG CompleteCommand(const Adapter* adapter, ULONG request_result, int32_t command_id,
                      int32_t poll_limit, ULONG* value) {
  if (request_result != 1) return request_result;
  return WaitCommandComplete(adapter, command_id, poll_limit, value) & 0xFF;
}

}  // namespace talven
