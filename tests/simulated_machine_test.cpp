// The simulated machine as it plugs itself into the Win32 subset: the installer it registers,
// the machine it builds (service, Linkage value, adapter with its factory EEPROM, reached
// through the DOS-device fallback) and the EEPROM file named by TALVEN_SIM_EEPROM.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "support/machine.h"

namespace talven_test {
namespace {

class SimulatedMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win32sim::reset_machine();
    win32sim::set_sleep_mode(win32sim::SleepMode::Counting);
  }
  void TearDown() override {
    EXPECT_TRUE(win32sim::wait_for_threads(10000));
    ::unsetenv("TALVEN_SIM_EEPROM");  // nothing saved when the program exits
    win32sim::reset_machine();
  }
};

constexpr char16_t kAdapter[] = u"\\Device\\NORVAKS_{5C2E4A10-7B3D-4E8F-9A61-0D5BA74D1001}";

TEST_F(SimulatedMachineTest, LinkingTheMachineRegistersItsInstaller) {
  const win32sim::MachineInstaller registered = win32sim::set_default_machine_installer(nullptr);
  EXPECT_EQ(&win32sim::install_simulated_machine, registered)
      << "the registration was kept by the linker";
  win32sim::install_default_machine();  // no installer: the machine stays empty
  ULONG size = 77;
  PacketGetAdapterNames(nullptr, &size);
  EXPECT_EQ(77u, size) << "no adapter list";
  EXPECT_EQ(nullptr, OpenDUT(w(kAdapter)));
  EXPECT_EQ(nullptr, win32sim::set_default_machine_installer(registered));
}

TEST_F(SimulatedMachineTest, DefaultMachineListsItsAdapterAndOpensItThroughTheFallback) {
  win32sim::install_default_machine();
  const auto adapter = win32sim::default_adapter();
  ASSERT_NE(nullptr, adapter);

  std::vector<uint8_t> names(512, 0xEE);
  ULONG size = ULONG(names.size());
  ASSERT_EQ(1u, PacketGetAdapterNames(names.data(), &size));
  std::u16string listed(kAdapter);
  listed.push_back(0);
  listed.push_back(0);
  ASSERT_EQ(listed.size() * 2, size);
  EXPECT_EQ(0, std::memcmp(listed.data(), names.data(), size));
  EXPECT_EQ(1u, StartPacketDriver(w(u"NORVAKS"), 0));
  EXPECT_TRUE(win32sim::service_running(u"NORVAKS"));

  Adapter* dut = OpenDUT(w(kAdapter));
  ASSERT_NE(nullptr, dut);
  EXPECT_FALSE(win32sim::define_dos_device_log().empty()) << "no DOS name at first";
  ULONG type = 0;
  EXPECT_EQ(1u, QueryEEpromType(dut, &type));
  EXPECT_EQ(2u, type);
  const std::vector<uint8_t> image = adapter->eeprom();
  ASSERT_EQ(256u, image.size());
  const std::vector<uint8_t> head = {0x29, 0x80, 0x1A, 0x2B, 0x3C, 0x4D, 0x01, 0x00, 0x00, 0x00,
                                     0x35, 0xFF, 0xFF, 0xFF, 0x00, 0x5B, 0xA7, 0x12, 0x34, 0x56};
  EXPECT_EQ(head, std::vector<uint8_t>(image.begin(), image.begin() + 20));
  EXPECT_EQ(0x9A, image[44]);
  EXPECT_EQ(0x9B, image[57]);
  EXPECT_EQ(0x40, image[32]) << "5 GHz table";
  EXPECT_EQ(1u, CloseDUT(dut));
  EXPECT_LT(0u, adapter->request_count()) << "the default adapter answered them";
}

TEST_F(SimulatedMachineTest, EepromFileReplacesTheFactoryImageWhenItHoldsOne) {
  struct Case {
    size_t size;
    uint32_t type;  // the adapter's EEPROM type afterwards
    bool loaded;
  } cases[] = {{128, 1, true}, {256, 2, true}, {100, 2, false}, {0, 2, false}};
  const std::string path = ::testing::TempDir() + "talven_sim_eeprom.bin";
  for (const Case& c : cases) {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      for (size_t i = 0; i < c.size; ++i) out.put(char(i + 7));
    }
    ::setenv("TALVEN_SIM_EEPROM", path.c_str(), 1);
    win32sim::reset_machine();
    win32sim::install_default_machine();
    const auto adapter = win32sim::default_adapter();
    ASSERT_NE(nullptr, adapter);
    EXPECT_EQ(c.type, adapter->eeprom_type()) << c.size;
    EXPECT_EQ(c.loaded ? 7 : 0x29, adapter->eeprom()[0]) << c.size;
    EXPECT_EQ(c.loaded ? 8 : 0x80, adapter->eeprom()[1]) << c.size;
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace talven_test
