// The simulated adapter as a device of the Win32 subset: the packet driver's device file for
// one adapter, answering OID requests, resets and frame writes from a SimulatedAdapter and
// completing them as it scripts (at once, later, held, never, refused).
#pragma once

#include <memory>

#include "simulated_adapter/simulated_adapter.h"
#include "win32sim/device.h"

namespace win32sim {

std::shared_ptr<Device> make_simulated_adapter_device(
    std::shared_ptr<simadapter::SimulatedAdapter> adapter);

}  // namespace win32sim
