// The simulated machine: the machine a program finds when it runs against the Win32 subset
// without setting one up itself. It holds the packet driver service (stopped), the service's
// Linkage key whose Export value lists one adapter, and that adapter's device without a DOS
// name, so that the first open takes the DOS-device fallback. Its adapter starts with the
// factory EEPROM; when TALVEN_SIM_EEPROM names a file, the EEPROM is loaded from it (if it
// holds an image) and saved back to it when the process exits.
//
// Linking this library plugs the machine into the subset (set_default_machine_installer);
// its target makes the linker keep that registration.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver_contract/driver_contract.h"
#include "simulated_adapter/simulated_adapter.h"

namespace win32sim {

constexpr char16_t kDefaultAdapterPath[] =
    u"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";
// The packet driver's names, as the contract has them.
inline constexpr auto& kDefaultServiceName = talven::wire::kPacketServiceName;
inline constexpr auto& kDefaultLinkageKey = talven::wire::kLinkageKey;

// The default machine's adapter; null until the machine has been installed.
std::shared_ptr<simadapter::SimulatedAdapter> default_adapter();

// Adds the simulated machine to the current machine: what the subset runs as its default
// machine installer.
void install_simulated_machine();

// The adapter's factory EEPROM image (256 bytes).
std::vector<uint8_t> factory_eeprom();

}  // namespace win32sim
