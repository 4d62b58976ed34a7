// Handles and device I/O of the emulated process, with the semantics the Win32 subset writes
// down for the Linux build (win32_subset/src/io.cpp): a request's system buffer, the OVERLAPPED
// set to STATUS_PENDING when issued and written (InternalHigh, then Internal) when it completes,
// its event or else the file signalled, output copied back whenever the request completes, a
// failure at once leaving the OVERLAPPED and the event alone, and the adapter device's
// completions (adapter_device.cpp): at once, later, held, never (until cancelled), refused.
// Here the memory is the guest's 32-bit memory and "later" is virtual time.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "i686_emulator/process.h"

namespace emu {
namespace {

using simadapter::Completion;

constexpr uint32_t kStatusPending = 0x103;
constexpr uint32_t kErrorInvalidHandle = 6, kErrorGenFailure = 31, kErrorInvalidParameter = 87,
                   kErrorMoreData = 234, kErrorOperationAborted = 995, kErrorIoPending = 997,
                   kErrorNoAccess = 998;
constexpr uint32_t kOverlappedSize = 20;  // Internal, InternalHigh, Offset, OffsetHigh, hEvent

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

}  // namespace

uint32_t Process::add_handle(std::shared_ptr<Object> object) {
  const uint32_t h = next_handle_;
  next_handle_ += 4;
  handles_[h] = std::move(object);
  return h;
}

std::shared_ptr<Object> Process::object(uint32_t handle) const {
  auto it = handles_.find(handle & ~3u);
  return it == handles_.end() ? nullptr : it->second;
}

bool Process::close_handle(uint32_t handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return false;
  std::shared_ptr<Object> object = std::move(it->second);
  handles_.erase(it);
  // Requests still pending on a file are cancelled as by CancelIoEx(handle, NULL).
  if (auto file = std::dynamic_pointer_cast<File>(object)) cancel(*file, 0, true);
  return true;
}

std::map<std::string, size_t> Process::open_handles() const {
  std::map<std::string, size_t> out;
  for (const auto& e : handles_) ++out[e.second->kind()];
  return out;
}

std::shared_ptr<Device> Process::add_adapter(const std::u16string& nt_path,
                                             const talven::vadapter::ResetConfig& config) {
  auto device = std::make_shared<Device>();
  device->host = vadapter::ModelHost::create(config);
  std::u16string key = nt_path;
  for (char16_t& c : key)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  devices[key] = device;
  return device;
}

vadapter::ModelHost& Process::adapter() {
  return *devices.begin()->second->host;
}

size_t Process::pending_io() const {
  size_t n = 0;
  for (const auto& io : all_io) n += !io->done;
  return n;
}

Process::IoResult Process::issue(Thread& t, uint32_t handle, bool write, uint32_t code, uint32_t in,
                                 uint32_t in_size, uint32_t out, uint32_t out_size,
                                 uint32_t overlapped) {
  auto file = std::dynamic_pointer_cast<File>(object(handle));
  if (!file) return {false, false, nullptr, kErrorInvalidHandle};
  if ((in_size > 0 && cpu_.host(in, in_size) == nullptr) ||
      (out_size > 0 && cpu_.host(out, out_size) == nullptr) ||
      (overlapped != 0 && cpu_.host(overlapped, kOverlappedSize) == nullptr))
    return {false, false, nullptr, kErrorNoAccess};
  if (write && overlapped == 0 && file->overlapped)
    return {false, false, nullptr, kErrorInvalidParameter};
  auto io = std::make_shared<Io>();
  io->serial = ++io_serial_;
  io->write = write;
  io->code = code;
  io->thread = t.id;
  io->file = file;
  if (overlapped != 0) {
    // The low bit of hEvent only keeps a completion port away; it is not part of the handle.
    const uint32_t event_handle = cpu_.read32(overlapped + 16) & ~1u;
    if (event_handle != 0) {
      io->event = std::dynamic_pointer_cast<Event>(object(event_handle));
      if (!io->event) return {false, false, nullptr, kErrorInvalidHandle};
    }
    io->overlapped = overlapped;
    io->offset = uint64_t(cpu_.read32(overlapped + 8)) | uint64_t(cpu_.read32(overlapped + 12))
                                                             << 32;
    cpu_.write32(overlapped, kStatusPending);
    cpu_.write32(overlapped + 4, 0);
  }
  // Issuing a request clears the file's signal, and the request's own event.
  file->set = false;
  if (io->event) static_cast<Event&>(*io->event).set = false;
  file->pending.push_back(io);
  all_io.push_back(io);
  Device& device = *file->device;
  Completion c;
  if (write) {
    io->user_in = in;
    io->size = in_size;
    c = device.host->write_issued();
    if (c.kind == Completion::Now && c.error == 0)
      device.host->frame_sent(cpu_.host(in, in_size), in_size, io->offset);
    if (c.kind == Completion::Now) io->answer_bytes = c.error != 0 ? 0 : in_size;
  } else {
    io->out = out;
    io->out_size = out_size;
    io->system_buffer.assign(std::max(in_size, out_size), 0);
    if (in_size > 0) std::memcpy(io->system_buffer.data(), cpu_.host(in, in_size), in_size);
    if (code == talven::wire::IOCTL_ADAPTER_RESET) {
      c = device.host->adapter_reset();
    } else {
      const vadapter::OidResult a =
          device.host->oid_request(code, io->system_buffer.data(), in_size, out_size);
      c = a.completion;
      // A request that failed with its answer written ends as a warning status does: the
      // output is copied back and the call still fails.
      if (c.kind != Completion::Refused)
        c.error = a.outcome == vadapter::OidOutcome::Ok             ? 0
                  : a.outcome == vadapter::OidOutcome::FailAnswered ? kErrorMoreData
                                                                    : kErrorGenFailure;
      io->answer_bytes = a.out_bytes;
    }
  }
  auto bytes_for = [io](uint32_t error) -> uint32_t {
    if (io->write) return error != 0 ? 0 : io->size;
    return error == 0 || error == kErrorMoreData ? io->answer_bytes : 0;
  };
  switch (c.kind) {
    case Completion::Now: {
      const uint32_t error = c.error;
      // At once: the output is copied; the OVERLAPPED and the signal only for a success.
      io->done = true;
      io->error = error;
      io->bytes = std::min(bytes_for(error), write ? in_size : out_size);
      file->pending.erase(std::find(file->pending.begin(), file->pending.end(), io));
      if (!write && io->bytes > 0) cpu_.write(out, io->system_buffer.data(), io->bytes);
      if (error == 0) {
        if (overlapped != 0) {
          cpu_.write32(overlapped + 4, io->bytes);
          cpu_.write32(overlapped, 0);
        }
        if (io->event)
          static_cast<Event&>(*io->event).set = true;
        else
          file->set = true;
      }
      return {error == 0, false, io, error};
    }
    case Completion::Refused: {
      const uint32_t error = c.error != 0 ? c.error : kErrorGenFailure;
      io->done = true;
      io->error = error;
      file->pending.erase(std::find(file->pending.begin(), file->pending.end(), io));
      return {false, false, io, error};
    }
    case Completion::Later: {
      const uint32_t error = c.error;
      at(now_ + c.delay_us, [this, io, error, bytes_for, file] {
        if (io->done) return;  // cancelled meanwhile
        if (io->write && error == 0) {
          // The adapter sends what the caller's buffer holds now.
          const uint8_t* bytes = cpu_.host(io->user_in, io->size);
          if (bytes == nullptr || heap_->freed(io->user_in, io->size)) {
            ++late_reads;
            violation("a frame write completed from " + hex(io->user_in) +
                      ", memory released before the write completed");
          } else {
            file->device->host->frame_sent(bytes, io->size, io->offset);
          }
        }
        complete(io, error, bytes_for(error));
      });
      break;
    }
    case Completion::Held:
      io->error = c.error;  // the scripted error, unless the release names one
      device.held.push_back(io);
      break;
    case Completion::Never:
      break;
  }
  if (overlapped != 0 && file->overlapped) return {false, true, io, kErrorIoPending};
  return {false, true, io, 0};
}

void Process::complete(const std::shared_ptr<Io>& io, uint32_t error, uint32_t bytes) {
  if (io->done) return;
  io->done = true;
  io->error = error;
  io->bytes = std::min(bytes, io->write ? io->size : io->out_size);
  std::shared_ptr<File> file = io->file.lock();
  if (file) {
    auto& list = file->pending;
    auto it = std::find(list.begin(), list.end(), io);
    if (it != list.end()) list.erase(it);
  }
  auto writable = [this](uint32_t address, uint32_t size) {
    return cpu_.host(address, size) != nullptr && !heap_->freed(address, size);
  };
  if (!io->write && io->out != 0 && io->bytes > 0) {
    if (writable(io->out, io->bytes)) {
      cpu_.write(io->out, io->system_buffer.data(), io->bytes);
    } else {
      ++late_writes;
      violation("a request completed into " + hex(io->out) +
                ", memory released before it completed (its output)");
    }
  }
  if (io->overlapped != 0) {
    if (writable(io->overlapped, kOverlappedSize)) {
      cpu_.write32(io->overlapped + 4, io->bytes);
      cpu_.write32(io->overlapped, error != 0 ? (0xC0070000u | (error & 0xFFFFu)) : 0);
    } else {
      ++late_writes;
      violation("a request completed into its OVERLAPPED at " + hex(io->overlapped) +
                ", memory released before it completed");
    }
  }
  if (io->caller_gone) {
    ++dead_status_blocks;
    violation(
        "a request issued without an OVERLAPPED completed after its caller had returned: "
        "Windows writes its status into that caller's dead stack frame");
  }
  if (io->event)
    static_cast<Event&>(*io->event).set = true;
  else if (file)
    file->set = true;
  if (io->done_signal) io->done_signal->set = true;
}

size_t Process::cancel(File& file, uint32_t overlapped, bool any) {
  std::vector<std::shared_ptr<Io>> hit;
  for (const auto& io : file.pending) {
    if (io->done || (!any && io->overlapped != overlapped)) continue;
    io->cancel = true;
    hit.push_back(io);
  }
  const Completion c = file.device->host->cancel_completion();
  const uint32_t error = c.error != 0 ? c.error : kErrorOperationAborted;
  for (const auto& io : hit) {
    // The driver ends a cancelled request after the cancel call returns, or later, or never.
    if (c.kind == Completion::Now || c.kind == Completion::Refused)
      at(now_, [this, io, error] { complete(io, error, 0); });
    else if (c.kind == Completion::Later)
      at(now_ + c.delay_us, [this, io, error] { complete(io, error, 0); });
  }
  return hit.size();
}

size_t Process::release_held(size_t count, uint32_t error) {
  size_t n = 0;
  for (auto& entry : devices) {
    Device& d = *entry.second;
    while (n < count && !d.held.empty()) {
      std::shared_ptr<Io> io = d.held.front();
      d.held.pop_front();
      ++n;
      if (io->done) continue;
      const uint32_t e = error != 0 ? error : io->error;
      uint32_t bytes = 0;
      if (io->write) {
        if (e == 0) {
          const uint8_t* frame = cpu_.host(io->user_in, io->size);
          if (frame != nullptr && !heap_->freed(io->user_in, io->size))
            d.host->frame_sent(frame, io->size, io->offset);
          bytes = io->size;
        }
      } else {
        bytes = e == 0 || e == kErrorMoreData ? io->answer_bytes : 0;
      }
      complete(io, e, bytes);
    }
  }
  return n;
}

}  // namespace emu
