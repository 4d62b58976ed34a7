// Devices behind the device namespace of the Win32 subset: what a driver model implements to
// receive the device-control requests and writes issued on its device files.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace win32sim {

// A request a device left pending; completed later from any thread.
class PendingIo {
 public:
  virtual ~PendingIo() = default;
  // error 0 = success. Only the first call counts; later calls are ignored.
  virtual void complete(uint32_t error, uint32_t bytes) = 0;
  // True once the requester asked for the request to be cancelled.
  virtual bool cancel_requested() const = 0;
  // True once the request has completed.
  virtual bool completed() const = 0;
  // Device control: the request's system buffer, input in and output out; it lives as long as
  // this object. Writes have none (null).
  virtual uint8_t* buffer() = 0;
  // A write's bytes, read from the caller's buffer at the time of the call, as a driver that
  // maps the caller's pages reads them when it sends: a buffer released or reused before the
  // write completed shows here (freed global blocks read as 0xDD). Empty for device control.
  virtual std::vector<uint8_t> frame() = 0;
  // The OVERLAPPED's Offset and OffsetHigh (0 for a request issued without OVERLAPPED).
  virtual uint64_t offset() const = 0;
};

struct IoOutcome {
  enum Kind { Completed, Pending } kind = Completed;
  uint32_t error = 0;  // Completed: 0 or a Win32 error code
  uint32_t bytes = 0;  // Completed: bytes transferred / output bytes to copy back
};

class Device {
 public:
  virtual ~Device() = default;
  // Nonzero refuses CreateFileW with that error.
  virtual uint32_t open_error() { return 0; }
  // buffer: system buffer of max(in_size, out_size) bytes holding the input. A device that
  // returns Pending keeps `pending` and completes it later (or never).
  virtual IoOutcome device_control(uint32_t code, uint8_t* buffer, uint32_t in_size,
                                   uint32_t out_size,
                                   const std::shared_ptr<PendingIo>& pending) = 0;
  // data: the caller's bytes, valid during this call. A device that pends the write reads them
  // again through pending->frame() when it completes it.
  virtual IoOutcome write(const uint8_t* data, uint32_t size,
                          const std::shared_ptr<PendingIo>& pending) = 0;
  // The requester asked for a pending request to be cancelled (CancelIo, CancelIoEx or closing
  // the handle); the call has already returned to it or returns right after this. The device
  // completes the request when it chooses; by default at once with ERROR_OPERATION_ABORTED.
  virtual void cancel(const std::shared_ptr<PendingIo>& pending) { pending->complete(995, 0); }
};

}  // namespace win32sim
