// Starting the packet driver's service and reading the bound adapters from its registry key.
#include <algorithm>
#include <functional>

#include "support/machine.h"

namespace talven_test {
namespace {

constexpr char16_t kLinkage[] = u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage";

class ServiceTest : public MachineTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(0u, win32sim::open_sc_handles());
    EXPECT_EQ(0u, win32sim::open_reg_keys());
    MachineTest::TearDown();
  }
};

TEST_F(ServiceTest, StartReportsEachFailureInItsOwnBox) {
  // The caller's service name, not the packet driver's usual one, is the one started.
  const std::u16string kService = u"PktDrv7";
  const std::vector<std::u16string> both = {kService, u""}, manager = {u""};
  struct Case {
    const char* what;
    std::function<void()> machine;
    ULONG result;
    const char16_t* box;  // null: no message box
    bool running;
    std::vector<std::u16string> closed;  // service handles closed, in order (u"": the manager)
  } cases[] = {
      {"starts", [&] { win32sim::add_service(kService, {}); }, 1, nullptr, true, both},
      {"already running",
       [&] {
         win32sim::ServiceConfig c;
         c.running = true;
         win32sim::add_service(kService, c);
       },
       1, nullptr, true, both},
      {"no manager",
       [&] {
         win32sim::add_service(kService, {});
         win32sim::fail_open_sc_manager(ERROR_ACCESS_DENIED);
       },
       0,
       u"Could not open SC Manager database.\n",
       false,
       {}},
      {"no service", [] { win32sim::add_service(u"NORVAKS", {}); }, 0,
       u"Could not open the service.\n", false, manager},
      {"disabled",
       [&] {
         win32sim::ServiceConfig c;
         c.start_error = 1058;
         win32sim::add_service(kService, c);
       },
       0, u"Failed to start the service, ErrorNo: 0x422(1058).\n", false, both},
      {"negative error",
       [&] {
         win32sim::ServiceConfig c;
         c.start_error = 0xC0000022;
         win32sim::add_service(kService, c);
       },
       0, u"Failed to start the service, ErrorNo: 0xC0000022(-1073741790).\n", false, both},
  };
  for (const Case& c : cases) {
    win32sim::reset_machine();
    c.machine();
    EXPECT_EQ(c.result, StartPacketDriver(w(kService.c_str()), 0xDEAD)) << c.what;
    const auto boxes = win32sim::message_boxes();
    if (c.box == nullptr) {
      EXPECT_TRUE(boxes.empty()) << c.what;
    } else {
      ASSERT_EQ(1u, boxes.size()) << c.what;
      EXPECT_EQ(c.box, boxes[0].text) << c.what;
      EXPECT_EQ(u"TALVEN.DLL", boxes[0].caption);
      EXPECT_EQ(nullptr, boxes[0].owner);
      EXPECT_EQ(uint32_t(MB_OK), boxes[0].type);
    }
    EXPECT_EQ(c.running, win32sim::service_running(kService)) << c.what;
    EXPECT_EQ(0u, win32sim::open_sc_handles()) << c.what;
    EXPECT_EQ(c.closed, win32sim::close_service_log()) << c.what << ": service, then manager";

    const auto managers = win32sim::open_sc_manager_log();
    ASSERT_EQ(1u, managers.size()) << c.what;
    EXPECT_TRUE(managers[0].machine_null && managers[0].database_null) << "this machine's own";
    EXPECT_EQ(0xF003Fu, managers[0].access);
    const auto services = win32sim::open_service_log();
    ASSERT_EQ(c.closed.empty() ? 0u : 1u, services.size()) << c.what;
    if (!services.empty()) {
      EXPECT_EQ(kService, services[0].name) << c.what;
      EXPECT_EQ(0xF01FFu, services[0].access) << c.what;
    }
    const auto starts = win32sim::start_service_log();
    ASSERT_EQ(c.closed.size() == 2 ? 1u : 0u, starts.size()) << c.what;
    if (!starts.empty()) {
      EXPECT_EQ(0u, starts[0].argc) << "no start arguments";
      EXPECT_TRUE(starts[0].argv_null);
    }
  }
  baseline_blocks_ = win32sim::heap_live_blocks();
}

TEST_F(ServiceTest, StopDoesNothing) {
  win32sim::ServiceConfig c;
  c.running = true;
  win32sim::add_service(u"NORVAKS", c);
  EXPECT_EQ(1u, StopPacketDriver(0));
  EXPECT_EQ(1u, StopPacketDriver(0xFFFFFFFF));
  EXPECT_TRUE(win32sim::service_running(u"NORVAKS"));
}

class AdapterNamesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    const std::u16string list =
        std::u16string(u"\\Device\\A1") + u'\0' + u"\\Device\\B2" + u'\0' + u'\0';
    value_.assign(reinterpret_cast<const uint8_t*>(list.data()),
                  reinterpret_cast<const uint8_t*>(list.data() + list.size()));
    win32sim::reg_set_value(kLinkage, u"Export", REG_MULTI_SZ, value_);
  }
  std::vector<uint8_t> value_;
};

TEST_F(AdapterNamesTest, CopiesTheValueAsStoredOpeningOneLevelAtATime) {
  std::vector<uint8_t> buffer(256, 0xEE);
  ULONG size = ULONG(buffer.size());
  EXPECT_EQ(1u, PacketGetAdapterNames(buffer.data(), &size));
  EXPECT_EQ(value_.size(), size);
  EXPECT_TRUE(std::equal(value_.begin(), value_.end(), buffer.begin()))
      << "including the empty string that ends the list";

  const auto opens = win32sim::reg_open_log();
  const std::vector<std::u16string> levels = {u"SYSTEM", u"CurrentControlSet", u"Services",
                                              u"NORVAKS", u"Linkage"};
  ASSERT_EQ(levels.size(), opens.size());
  for (size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i], opens[i].sub_key);
    EXPECT_EQ(uint32_t(KEY_READ), opens[i].sam);
    EXPECT_EQ(0u, opens[i].options);
    EXPECT_EQ(i == 0, opens[i].parent_is_hklm);
  }
  EXPECT_EQ(std::vector<std::u16string>(levels.rbegin(), levels.rend()), win32sim::reg_close_log())
      << "innermost first";
}

TEST_F(AdapterNamesTest, SizeRulesForSmallAndMissingBuffers) {
  std::vector<uint8_t> buffer(8, 0xEE);
  ULONG size = 8;
  EXPECT_EQ(1u, PacketGetAdapterNames(buffer.data(), &size));
  EXPECT_EQ(value_.size(), size) << "too small: the full size comes back";
  size = 3;
  EXPECT_EQ(1u, PacketGetAdapterNames(nullptr, &size));
  EXPECT_EQ(value_.size(), size) << "no buffer: the platform's size query";
}

TEST_F(AdapterNamesTest, MissingKeysLeaveBufferAndSizeAndDeniedSystemFails) {
  struct Case {
    const char16_t* remove;
    ULONG result;
    std::vector<std::u16string> closed;  // the keys that were opened, innermost first
  } cases[] = {{u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS",
                1,
                {u"Services", u"CurrentControlSet", u"SYSTEM"}},
               {kLinkage, 1, {u"NORVAKS", u"Services", u"CurrentControlSet", u"SYSTEM"}}};
  for (const Case& c : cases) {
    win32sim::reg_set_value(kLinkage, u"Export", REG_MULTI_SZ, value_);
    win32sim::reg_delete_key(c.remove);
    const size_t closes = win32sim::reg_close_log().size();
    std::vector<uint8_t> buffer(64, 0xEE);
    ULONG size = 64;
    EXPECT_EQ(c.result, PacketGetAdapterNames(buffer.data(), &size));
    EXPECT_EQ(64u, size);
    EXPECT_EQ(std::vector<uint8_t>(64, 0xEE), buffer);
    const auto log = win32sim::reg_close_log();
    EXPECT_EQ(c.closed, std::vector<std::u16string>(log.begin() + closes, log.end()));
  }
  win32sim::reg_set_value(kLinkage, u"Other", REG_SZ, {0, 0});
  ULONG size = 64;
  EXPECT_EQ(1u, PacketGetAdapterNames(nullptr, &size)) << "key without the value";
  EXPECT_EQ(64u, size);
  win32sim::reg_deny_key(u"SYSTEM", ERROR_ACCESS_DENIED);
  EXPECT_EQ(0u, PacketGetAdapterNames(nullptr, &size));
  EXPECT_EQ(64u, size);
}

}  // namespace
}  // namespace talven_test
