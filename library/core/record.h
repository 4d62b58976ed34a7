// Request records and their memory. Every record the library sends, and the Adapter and Packet
// records it hands out, comes from the global heap as movable, zero-filled memory that stays
// locked while in use; it is released by unlocking and freeing the handle that GlobalHandle
// returns for the pointer.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "library/core/platform.h"
#include "library/core/policy.h"
#include "driver_contract/driver_contract.h"

// The public header repeats a few contract values for callers; they must agree.
static_assert(TALVEN_MIN_DEVICE_PATH == talven::wire::kSkippedPathChars);
static_assert(TALVEN_RECEIVE_CAPACITY == talven::wire::kReceiveCapacity);
static_assert(TALVEN_CIS_CAPACITY == talven::wire::kCisCapacity);
static_assert(TALVEN_DEVICE_NAME_LENGTH >= sizeof talven::wire::kDevicePrefix / 2 +
                                               sizeof talven::wire::kPacketPrefix / 2 - 2 +
                                               TALVEN_MAX_DEVICE_PATH - TALVEN_MIN_DEVICE_PATH + 1);

namespace talven {

// Allocates and locks a zero-filled movable block; null when the heap gives no memory.
void* global_record_alloc(SIZE_T size);
// Unlocks and frees a block from global_record_alloc; null is ignored.
void global_record_free(void* record);

// Owns one locked global block for the lifetime of an operation.
class GlobalBlock {
 public:
  GlobalBlock() = default;
  explicit GlobalBlock(SIZE_T size) : ptr_(global_record_alloc(size)) {}
  ~GlobalBlock() { global_record_free(ptr_); }
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;

  explicit operator bool() const { return ptr_ != nullptr; }
  void* get() const { return ptr_; }
  // Gives up ownership: the block now belongs to the caller (Adapter, Packet).
  void* release() {
    void* p = ptr_;
    ptr_ = nullptr;
    return p;
  }

 private:
  void* ptr_ = nullptr;
};

// An OidData request record: Oid, Length, Param[0..9] and the Data area, in a zero-filled
// block of at least 303 + Length bytes. A Length whose transfer size does not fit 32 bits is
// refused: no block is allocated and the record tests false.
class OidRecord {
 public:
  OidRecord(uint32_t oid, uint32_t length) : OidRecord(oid, length, block_size_for(length)) {}
  // For records that need a fixed block size (the 320-byte status record).
  OidRecord(uint32_t oid, uint32_t length, SIZE_T block_size);

  explicit operator bool() const { return static_cast<bool>(block_); }
  uint8_t* bytes() const { return static_cast<uint8_t*>(block_.get()); }

  // The words of the record; 0 once the record has been given up to the driver.
  uint32_t oid() const { return word(wire::kOidOffset); }
  uint32_t length() const { return word(wire::kLengthOffset); }
  uint32_t param(size_t i) const { return word(wire::param_offset(i)); }
  void set_param(size_t i, uint32_t v) { wire::put_u32(bytes() + wire::param_offset(i), v); }
  uint8_t* data() const { return bytes() + wire::kDataOffset; }

  // The driver still has the request this record went out with and it could not be waited
  // for: the block is left to the driver for good (never freed, never read again) and the
  // record tests false from now on.
  void abandon() { block_.release(); }

  // The block size the library uses for a Length: the transfer size, but never smaller than
  // the fixed record; 0 when the transfer size would overflow 32 bits.
  static SIZE_T block_size_for(uint32_t length);

 private:
  uint32_t word(size_t offset) const { return block_ ? wire::get_u32(bytes() + offset) : 0; }
  GlobalBlock block_;
};

// Sends one OidData record through DeviceIoControl on the adapter's device handle, as a set
// request when the low 8 bits of set are nonzero and as a query otherwise. Input and output
// are the record itself, 303 + Length bytes each way. The handle is open for overlapped I/O, so
// the request carries an OVERLAPPED and an event of its own (a request slot): a driver that
// pends it is waited for through that event, never through the handle that other requests
// signal too, and the record is the caller's again only once the request has completed.
// Returns DeviceIoControl's result, or for a pended request the result of its completion.
// Returns 0 when no slot could be had (nothing is sent then), and when the wait for a pended
// request failed: the request is then cancelled and its end awaited, and one that does not end
// keeps the record (abandoned: it tests false afterwards) and its slot for good.
ULONG OidRequest(const Adapter* adapter, ULONG set, OidRecord& record);
inline ULONG OidRequest(const Adapter* adapter, bool set, OidRecord& record) {
  return OidRequest(adapter, static_cast<ULONG>(set ? 1 : 0), record);
}

// A pointer argument and its name in the debug strings.
struct NamedArgument {
  const void* value;
  const WCHAR* name;
};
// When an argument is null, writes "TALVEN: <operation> <name> == NULL !!!\n" for the first
// one and returns true: the operation then returns its failure value and sends nothing.
bool refuse_null(const WCHAR* operation, std::initializer_list<NamedArgument> arguments);

// Polls the command status until the driver reports a finished command (see wait.cpp).
BOOLEAN WaitCommandComplete(const Adapter* adapter, int32_t command_id, int32_t poll_limit,
                            ULONG* result);

// The common end of an asynchronous command: wait only when the request returned exactly 1,
// and then the wait's truth value is the result; any other request result stands.
ULONG CompleteCommand(const Adapter* adapter, ULONG request_result, int32_t command_id,
                      int32_t poll_limit = policy::kDefaultPollLimit, ULONG* value = nullptr);

}  // namespace talven
