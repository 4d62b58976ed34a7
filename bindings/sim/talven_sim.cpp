// The C fault interface of libtalven.so over the default machine's simulated adapter.
#if __has_include("win32sim/simulated_adapter_device.h")
#include "win32sim/simulated_adapter_device.h"
#else
#include "simulated_adapter/simulated_adapter_device.h"
#endif
#include "bindings/sim/talven_sim.h"
#include "win32sim/machine.h"

namespace {

// The default machine is installed by the first Win32 call; make sure it exists.
std::shared_ptr<simadapter::SimulatedAdapter> adapter() {
  (void)win32sim::misuse();
  return win32sim::default_adapter();
}

}  // namespace

extern "C" int talven_sim_fail_oid(unsigned int oid, int mode, int count) {
  simadapter::Fault fault;
  switch (mode) {
    case TALVEN_SIM_FAIL_REQUEST:
      fault.mode = simadapter::Fault::FailRequest;
      break;
    case TALVEN_SIM_NEVER_COMPLETE:
      fault.mode = simadapter::Fault::NeverComplete;
      break;
    case TALVEN_SIM_WRONG_COMMAND_ID:
      fault.mode = simadapter::Fault::WrongCommandId;
      break;
    case TALVEN_SIM_FAIL_AND_ANSWER:
      fault.mode = simadapter::Fault::FailAndAnswer;
      break;
    default:
      return 0;
  }
  const auto sim = adapter();
  if (!sim) return 0;
  fault.oid = oid;
  fault.remaining = count < 0 ? -1 : count;
  sim->add_fault(fault);
  return 1;
}

extern "C" void talven_sim_clear_faults(void) {
  if (const auto sim = adapter()) sim->clear_faults();
}

extern "C" unsigned int talven_sim_request_count(unsigned int oid) {
  const auto sim = adapter();
  if (!sim) return 0;
  return static_cast<unsigned int>(oid == 0 ? sim->request_count() : sim->requests_for(oid).size());
}
