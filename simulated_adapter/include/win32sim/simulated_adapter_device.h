// The simulated adapter's device for the Win32 subset and the default machine, by their
// earlier include name (both live with the simulated adapter, not in the subset).
#pragma once

#include "simulated_adapter/adapter_device.h"
#include "simulated_adapter/simulated_machine.h"
