// The simulated adapter as a device of the Win32 subset: the packet driver's device file for
// one adapter, answering OID requests, resets and frame writes from a SimulatedAdapter.
#pragma once

#include <memory>
#include <string>

#include "simulated_adapter/simulated_adapter.h"
#include "win32sim/device.h"

namespace win32sim {

std::shared_ptr<Device> make_simulated_adapter_device(
    std::shared_ptr<simadapter::SimulatedAdapter> adapter);

// The default machine: the packet driver service NORVAKS (stopped), its Linkage key whose
// "Export" value lists one adapter, and that adapter's device without a DOS name, so that the
// first open takes the DOS-device fallback. When TALVEN_SIM_EEPROM names a file, the adapter's
// EEPROM is loaded from it (if present) and saved back to it when the process exits.
constexpr char16_t kDefaultServiceName[] = u"NORVAKS";
constexpr char16_t kDefaultLinkageKey[] = u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage";
constexpr char16_t kDefaultAdapterPath[] =
    u"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";

// The default machine's adapter; null until install_default_machine has run.
std::shared_ptr<simadapter::SimulatedAdapter> default_adapter();

}  // namespace win32sim
