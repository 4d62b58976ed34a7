// The simulated adapter behind the Win32 subset's device namespace: OID requests, adapter
// resets, frame writes and cancels on its device file, completed at once, later (on a timer
// thread of the device), when a test releases them, or never, as the adapter scripts them.
#include "simulated_adapter/adapter_device.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "windows.h"

namespace win32sim {
namespace {

using simadapter::Completion;
using talven::wire::IOCTL_ADAPTER_RESET;

// Runs the completions of pending requests after their delay, on one thread per device.
class CompletionTimer {
 public:
  CompletionTimer() : thread_([this] { run(); }) {}
  ~CompletionTimer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void schedule(std::chrono::microseconds delay, std::function<void()> action) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      due_.emplace(Clock::now() + delay, std::move(action));
    }
    wake_.notify_all();
  }

 private:
  using Clock = std::chrono::steady_clock;
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (due_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = due_.begin();
      if (wake_.wait_until(lock, first->first) == std::cv_status::no_timeout && !stop_) continue;
      if (stop_) break;
      first = due_.begin();
      if (first->first > Clock::now()) continue;
      std::function<void()> action = std::move(first->second);
      due_.erase(first);
      lock.unlock();
      action();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> due_;
  bool stop_ = false;
  std::thread thread_;
};

class SimulatedAdapterDevice : public Device {
 public:
  explicit SimulatedAdapterDevice(std::shared_ptr<simadapter::SimulatedAdapter> adapter)
      : adapter_(std::move(adapter)) {}

  IoOutcome device_control(uint32_t code, uint8_t* buffer, uint32_t in_size, uint32_t out_size,
                           const std::shared_ptr<PendingIo>& pending) override {
    if (code == IOCTL_ADAPTER_RESET) {
      const Completion c = adapter_->reset();
      return finish(c, [pending](uint32_t error) { pending->complete(error, 0); });
    }
    uint32_t bytes = 0;
    const bool ok = adapter_->oid_request(code, buffer, in_size, out_size, &bytes);
    // The answer is in the system buffer now; the caller sees it when the request completes.
    // A request that fails with an answer written anyway ends with a warning status, as
    // STATUS_BUFFER_OVERFLOW does: the output is copied back and the call still fails.
    Completion c = adapter_->oid_completion();
    if (c.kind != Completion::Refused)
      c.error = ok ? 0 : bytes > 0 ? ERROR_MORE_DATA : ERROR_GEN_FAILURE;
    auto copied = [bytes](uint32_t error) {
      return error == 0 || error == ERROR_MORE_DATA ? bytes : 0;
    };
    return finish(
        c, [pending, copied](uint32_t error) { pending->complete(error, copied(error)); },
        copied(c.error));
  }

  IoOutcome write(const uint8_t* data, uint32_t size,
                  const std::shared_ptr<PendingIo>& pending) override {
    const Completion c = adapter_->write_issued();
    if (c.kind == Completion::Now && c.error == 0)
      adapter_->frame_sent(data, size, pending->offset());
    // A pended write reads the caller's bytes when it completes, as the adapter sends them.
    auto adapter = adapter_;
    return finish(
        c,
        [adapter, pending, size](uint32_t error) {
          if (pending->completed()) return;  // cancelled meanwhile
          if (error == 0) {
            const std::vector<uint8_t> frame = pending->frame();
            adapter->frame_sent(frame.data(), uint32_t(frame.size()), pending->offset());
          }
          pending->complete(error, error != 0 ? 0 : size);
        },
        c.error != 0 ? 0 : size);
  }

  void cancel(const std::shared_ptr<PendingIo>& pending) override {
    const Completion c = adapter_->cancel_completion();
    const uint32_t error = c.error != 0 ? c.error : ERROR_OPERATION_ABORTED;
    auto abort = [pending, error] { pending->complete(error, 0); };
    if (c.kind == Completion::Now || c.kind == Completion::Refused)
      timer_.schedule(std::chrono::microseconds(0), abort);
    else if (c.kind == Completion::Later)
      timer_.schedule(std::chrono::microseconds(c.delay_us), abort);
    // Never and Held: the driver ignores the cancel.
  }

 private:
  IoOutcome finish(const Completion& c, std::function<void(uint32_t)> end, uint32_t bytes = 0) {
    IoOutcome outcome;
    switch (c.kind) {
      case Completion::Now:
        outcome.error = c.error;
        outcome.bytes = bytes;  // what the caller gets back, chosen by the request's kind
        break;
      case Completion::Refused:
        outcome.error = c.error ? c.error : ERROR_GEN_FAILURE;
        break;
      case Completion::Later:
        timer_.schedule(std::chrono::microseconds(c.delay_us),
                        [end, error = c.error] { end(error); });
        outcome.kind = IoOutcome::Pending;
        break;
      case Completion::Held:
        adapter_->hold(
            [end, scripted = c.error](uint32_t error) { end(error != 0 ? error : scripted); });
        outcome.kind = IoOutcome::Pending;
        break;
      case Completion::Never:  // completes only when cancelled
        outcome.kind = IoOutcome::Pending;
        break;
    }
    return outcome;
  }

  std::shared_ptr<simadapter::SimulatedAdapter> adapter_;
  CompletionTimer timer_;
};

}  // namespace

std::shared_ptr<Device> make_simulated_adapter_device(
    std::shared_ptr<simadapter::SimulatedAdapter> adapter) {
  return std::make_shared<SimulatedAdapterDevice>(std::move(adapter));
}

}  // namespace win32sim
