// The default machine of the Win32 subset, built around one simulated adapter.
#include "simulated_adapter/simulated_machine.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "simulated_adapter/adapter_device.h"
#include "win32sim/machine.h"
#include "windows.h"

namespace win32sim {
namespace {

using simadapter::Completion;

std::mutex g_default_mutex;
std::shared_ptr<simadapter::SimulatedAdapter> g_default_adapter;

void save_default_eeprom() {
  const char* path = std::getenv("TALVEN_SIM_EEPROM");
  std::lock_guard<std::mutex> lock(g_default_mutex);
  if (path != nullptr && *path != 0 && g_default_adapter) g_default_adapter->save_eeprom(path);
}

// REG_MULTI_SZ: the strings, each with its NUL, and the empty string that ends the list.
std::vector<uint8_t> multi_string(const char16_t* item) {
  std::u16string list(item);
  list.push_back(0);
  list.push_back(0);
  std::vector<uint8_t> bytes(list.size() * 2);
  for (size_t i = 0; i < list.size(); ++i) {
    bytes[2 * i] = uint8_t(list[i]);
    bytes[2 * i + 1] = uint8_t(list[i] >> 8);
  }
  return bytes;
}

// Linking the machine plugs it in: the subset runs it when its machine is first used.
[[maybe_unused]] const bool g_plugged_in =
    (set_default_machine_installer(&install_simulated_machine), true);

}  // namespace

std::vector<uint8_t> factory_eeprom() {
  uint8_t image[simadapter::kEepromBytes];
  simadapter::write_factory_eeprom(image);
  return std::vector<uint8_t>(image, image + sizeof(image));
}

std::shared_ptr<simadapter::SimulatedAdapter> default_adapter() {
  std::lock_guard<std::mutex> lock(g_default_mutex);
  return g_default_adapter;
}

void install_simulated_machine() {
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
  reg_set_value(talven::wire::kLinkageKey, talven::wire::kLinkageValue, REG_MULTI_SZ,
                multi_string(kDefaultAdapterPath));
  add_service(talven::wire::kPacketServiceName, ServiceConfig{});
}

}  // namespace win32sim

// The symbol the simulated_machine target asks the linker to keep, so that the object holding
// the registration above is part of every program that links the machine.
extern "C" const char talven_simulated_machine = 1;
