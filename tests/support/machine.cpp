#include "support/machine.h"

#include <chrono>
#include <thread>

#include "library/core/record.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace talven_test {

bool eventually(const std::function<bool()>& done, uint32_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::yield();
  }
  return true;
}

void detach_library() {
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

void MachineTest::SetUp() {
  detach_library();
  win32sim::reset_machine();
  win32sim::set_sleep_mode(win32sim::SleepMode::Counting);
  sim_ = std::make_shared<simadapter::SimulatedAdapter>(config_);
  win32sim::add_device(kDevicePath, win32sim::make_simulated_adapter_device(sim_));
  baseline_blocks_ = win32sim::heap_live_blocks();
}

void MachineTest::TearDown() {
  if (adapter_ != nullptr) {
    EXPECT_EQ(1u, CloseDUT(adapter_));
  }
  adapter_ = nullptr;
  EXPECT_TRUE(win32sim::wait_for_threads(10000));
  detach_library();
  EXPECT_EQ(baseline_blocks_, win32sim::heap_live_blocks()) << "global heap blocks leaked";
  const win32sim::Misuse m = win32sim::misuse();
  EXPECT_EQ(0u, m.total()) << "heap, handle, I/O buffer or module misuse";
  EXPECT_EQ(0u, win32sim::open_file_handles());
  EXPECT_EQ(0u, win32sim::open_event_handles());
}

Adapter* MachineTest::open() {
  win32sim::add_dos_name(kDosName, kDevicePath);
  adapter_ = OpenDUT(w(kDevicePath));
  EXPECT_NE(nullptr, adapter_);
  sim_->clear_requests();
  win32sim::clear_debug_strings();
  win32sim::clear_sleep_log();
  win32sim::clear_heap_alloc_log();
  return adapter_;
}

std::vector<Request> MachineTest::oid_requests() const {
  std::vector<Request> out;
  for (const Request& r : sim_->requests())
    if (r.code != wire::IOCTL_ADAPTER_RESET) out.push_back(r);
  return out;
}

size_t MachineTest::pauses() const {
  size_t n = 0;
  for (uint32_t ms : win32sim::sleep_log()) n += ms == 1;
  return n;
}

void start_channel_command(Adapter* adapter, uint32_t channel) {
  talven::OidRecord record(wire::OID_SET_CHANNEL, 4);
  record.set_param(0, channel);
  ASSERT_EQ(1u, talven::OidRequest(adapter, true, record));
}

}  // namespace talven_test
