// The simulated adapter behind the device namespace, and the machine a program finds when it
// runs against the Win32 subset without setting one up itself.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "win32sim/machine.h"
#include "win32sim/simulated_adapter_device.h"
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

std::mutex g_default_mutex;
std::shared_ptr<simadapter::SimulatedAdapter> g_default_adapter;

// A plausible factory image: ids, MAC address, power base offset and power table.
std::vector<uint8_t> factory_eeprom() {
  std::vector<uint8_t> image(256, 0xFF);
  const uint8_t head[] = {0x29, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x01, 0x00, 0x00, 0x00, 0x35};
  std::copy(std::begin(head), std::end(head), image.begin());
  const uint8_t mac[] = {0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  std::copy(std::begin(mac), std::end(mac), image.begin() + 14);
  for (size_t offset : {44, 46, 48, 122, 124, 54, 56}) {  // 2.4 GHz: channels 1 to 14
    image[offset] = 0x9A;
    image[offset + 1] = 0x9B;
  }
  for (size_t offset = 32; offset <= 42; offset += 2) {  // 5 GHz channels
    image[offset] = uint8_t(0x20 + offset);
    image[offset + 1] = uint8_t(0x21 + offset);
  }
  return image;
}

void save_default_eeprom() {
  const char* path = std::getenv("TALVEN_SIM_EEPROM");
  std::lock_guard<std::mutex> lock(g_default_mutex);
  if (path != nullptr && *path != 0 && g_default_adapter) g_default_adapter->save_eeprom(path);
}

}  // namespace

std::shared_ptr<Device> make_simulated_adapter_device(
    std::shared_ptr<simadapter::SimulatedAdapter> adapter) {
  return std::make_shared<SimulatedAdapterDevice>(std::move(adapter));
}

std::shared_ptr<simadapter::SimulatedAdapter> default_adapter() {
  std::lock_guard<std::mutex> lock(g_default_mutex);
  return g_default_adapter;
}

void install_default_machine() {
  simadapter::Config config;
  // Frames take their air time: 1400 bytes at 54 Mbit/s plus preamble and spacing.
  config.write_completion = {Completion::Later, 0, 250};
  config.reset_completion = {Completion::Later, 0, 20000};
  auto adapter = std::make_shared<simadapter::SimulatedAdapter>(config);
  adapter->set_eeprom(factory_eeprom());
  const char* path = std::getenv("TALVEN_SIM_EEPROM");
  if (path != nullptr && *path != 0) {
    adapter->load_eeprom(path);
    static bool registered = (std::atexit(save_default_eeprom), true);
    (void)registered;
  }
  {
    std::lock_guard<std::mutex> lock(g_default_mutex);
    g_default_adapter = adapter;
  }
  add_device(kDefaultAdapterPath, make_simulated_adapter_device(adapter));

  // REG_MULTI_SZ: the path, its NUL, and the empty string that ends the list.
  std::u16string list(kDefaultAdapterPath);
  list.push_back(0);
  list.push_back(0);
  std::vector<uint8_t> bytes(list.size() * 2);
  for (size_t i = 0; i < list.size(); ++i) {
    bytes[2 * i] = uint8_t(list[i]);
    bytes[2 * i + 1] = uint8_t(list[i] >> 8);
  }
  reg_set_value(kDefaultLinkageKey, u"Export", REG_MULTI_SZ, bytes);
  add_service(kDefaultServiceName, ServiceConfig{});
}

}  // namespace win32sim
