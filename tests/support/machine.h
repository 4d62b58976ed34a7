// Test machines: a fresh Win32 subset machine per test with one simulated adapter behind the
// packet driver's device namespace, and helpers to read what reached the driver.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver_contract/driver_contract.h"
#include "simulated_adapter/simulated_adapter.h"
#include "talven.h"
#include "win32sim/machine.h"
#include "win32sim/simulated_adapter_device.h"
#include "win32sim/text.h"

namespace talven_test {

namespace wire = talven::wire;
using simadapter::Request;

// Kernel path of the test adapter and the names OpenDUT derives from it.
constexpr char16_t kDevicePath[] = u"\\Device\\TEST0001";
constexpr char16_t kDosName[] = u"Packet_TEST0001";
constexpr char16_t kDeviceFile[] = u"\\\\.\\Packet_TEST0001";

inline const WCHAR* w(const char16_t* s) {
  return reinterpret_cast<const WCHAR*>(s);
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens the test adapter (its DOS name already defined, so the first open succeeds) and
  // forgets what the open itself logged.
  Adapter* open();
  // Log of OID requests (resets excluded) since the last clear.
  std::vector<Request> oid_requests() const;
  std::vector<std::string> debug() const { return win32sim::debug_strings_utf8(); }
  // Sleep(1) pauses recorded since the last clear.
  size_t pauses() const;

  simadapter::Config config_;
  std::shared_ptr<simadapter::SimulatedAdapter> sim_;
  Adapter* adapter_ = nullptr;
  size_t baseline_blocks_ = 0;
};

// Starts an asynchronous command on the adapter so that a completion wait has one to see.
void start_channel_command(Adapter* adapter, uint32_t channel = 6);

// Polls `done` (yielding between looks) until it holds or `ms` have passed; true when it holds.
bool eventually(const std::function<bool()>& done, uint32_t ms = 10000);

// The library's process detach: it closes the events its requests keep between calls. A test
// that resets the machine calls it first (those events belong to the machine that goes), and
// before it counts the machine's open events.
void detach_library();

}  // namespace talven_test
