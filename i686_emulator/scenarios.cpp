// The emulator's own checks, beyond the shared operation cases: opening and closing, the service
// and discovery, I/O the platform completes (pended, held, refused, late cancel), continuous
// transmit under seeded interleavings, unloading right after a stop, load and unload cycles,
// a failure sweep over the platform calls, and the instruction and kernel-call counts.
#include <algorithm>
#include <cstring>
#include <set>

#include "i686_emulator/runner.h"
#include "tests/cases/operation_cases.h"
#include "win32sim/machine.h"

namespace emu {
namespace {

namespace tc = talven::cases;
namespace vad = talven::vadapter;
using tc::hex;

constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kFileFlagOverlapped = 0x40000000u;

std::string tag(const Harness& h) {
  return h.names == Names::Decorated ? " [_Name@N]" : " [VB_Name]";
}

void add(std::string* why, const std::string& what) {
  if (!what.empty()) *why += (why->empty() ? "" : "; ") + what;
}
void expect(std::string* why, bool ok, const std::string& what) {
  if (!ok) add(why, what);
}
template <class T>
void expect_eq(std::string* why, T got, T want, const std::string& what) {
  if (!(got == want)) add(why, what + " " + hex(uint64_t(got)) + ", want " + hex(uint64_t(want)));
}

std::vector<uint8_t> wide_bytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  return bytes;
}

std::u16string read_wide(Harness& h, uint32_t address) {
  std::u16string s;
  h.process().cpu().read_wide(address, &s, 128);
  return s;
}

// The fixed 1400-byte test frame, written out from its table.
std::vector<uint8_t> test_frame() {
  std::vector<uint8_t> f(1400, 0);
  const uint8_t head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x5B, 0xA7, 0x4D, 0x10,
                          0x01, 0x01, 0x23, 0x39, 0x81, 0xEC, 0x10, 0x01, 0x78, 0x05, 0x01};
  std::memcpy(f.data(), head, sizeof head);
  return f;
}

vad::CompletionRecord completion(uint32_t target, uint32_t kind, uint32_t error = 0,
                                 uint32_t delay_us = 0, int32_t count = -1) {
  return {target, kind, error, delay_us, count};
}

vad::StateRecord adapter_state(Harness& h) {
  vad::StateRecord s{};
  h.process().adapter().fill_state(&s);
  return s;
}

// The newest frame the adapter sent.
std::vector<uint8_t> last_frame(Harness& h) {
  auto page = std::make_unique<vad::FramePage>();
  h.process().adapter().read_frames(page.get());
  if (page->count == 0) return {};
  const vad::FrameEntry& f = page->frames[page->count - 1];
  return std::vector<uint8_t>(f.bytes, f.bytes + std::min<uint32_t>(f.size, vad::kFrameCapacity));
}

void fresh_adapter(Harness& h) {
  h.process().adapter().reset(vad::ResetConfig{2, 0, 0, 0});
}

// Opens the adapter by its path (the DOS name defined or not), as a second Adapter.
uint32_t open_adapter(Harness& h) {
  return h.call("OpenDUT", {h.put_wide(Harness::kAdapterPath)}).eax;
}

}  // namespace

// ---- Opening and closing ----

void run_open_checks(Harness& h) {
  const Report::Mark before = h.report().mark();
  Process& p = h.process();
  const std::u16string device_file = u"\\\\.\\" + Harness::kDosName;
  for (Names set : {Names::Decorated, Names::Alias}) {
    h.names = set;
    uint32_t opened = 0;
    h.run_case(
        "OpenDUT defines the missing DOS name and opens the device; the 32-bit Adapter" + tag(h),
        [&] {
          std::string why;
          win32sim::remove_dos_name(Harness::kDosName);
          const size_t defines = win32sim::define_dos_device_log().size();
          p.create_file_log.clear();
          p.debug_strings.clear();
          opened = open_adapter(h);
          expect(&why, opened != 0, "OpenDUT returned NULL");
          expect(&why, p.debug_strings.empty(), "debug strings on the fallback's success");
          const auto log = win32sim::define_dos_device_log();
          expect(&why,
                 log.size() == defines + 1 && log.back().flags == 1 &&
                     log.back().name == Harness::kDosName &&
                     log.back().target == Harness::kAdapterPath,
                 "DefineDosDevice(DDD_RAW_TARGET_PATH, the DOS name, the device path) once");
          expect(&why, p.create_file_log.size() == 2, "two CreateFileW calls");
          for (const auto& c : p.create_file_log)
            expect(&why,
                   c.path == device_file && c.access == 0xC0000000u && c.share == 0 &&
                       c.disposition == 3 && c.flags == kFileFlagOverlapped,
                   "CreateFileW(\\\\.\\Packet_..., GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, "
                   "FILE_FLAG_OVERLAPPED)");
          if (opened == 0) return why;
          // The public Adapter as a 32-bit caller sees it: Handle at 0, DeviceName at 4.
          auto file = p.object_as<File>(p.cpu().read32(opened));
          expect(&why, file && file->overlapped,
                 "Adapter.Handle (offset 0) is the overlapped file");
          expect(&why, read_wide(h, opened + 4) == device_file,
                 "Adapter.DeviceName (offset 4) is \"\\\\.\\" + tc::printable(Harness::kDosName) +
                     "\"");
          const Heap::Block* b = p.heap().block_at(opened);
          expect(&why, b != nullptr && b->size >= 132 && b->moveable,
                 "the Adapter is a movable global block of at least 132 bytes");
          return why;
        },
        [&](Balance& b) {
          const Heap::Block* block = opened != 0 ? p.heap().block_at(opened) : nullptr;
          if (block == nullptr) return;
          ++b.global_blocks;
          b.global_bytes += block->size;
          ++b.handles["file"];
        });
    if (set == Names::Decorated) {
      h.adapter = opened;
    } else if (opened != 0) {
      h.call("CloseDUT", {opened});
    }
    h.run_case("OpenDUT with the DOS name defined, then CloseDUT" + tag(h), [&] {
      std::string why;
      p.debug_strings.clear();
      const uint32_t a = open_adapter(h);
      expect(&why, a != 0, "OpenDUT returned NULL");
      expect(&why, tc::compare_strings(p.debug_strings, {u"OpenDUT success.\n"}).empty(),
             "debug strings: " + tc::compare_strings(p.debug_strings, {u"OpenDUT success.\n"}));
      p.debug_strings.clear();
      expect_eq(&why, h.call("CloseDUT", {a}).eax, 1u, "CloseDUT");
      add(&why, tc::compare_strings(p.debug_strings, {u"TALVEN: CloseDUT Success.\n"}));
      return why;
    });
    const std::u16string missing = u"\\Device\\NORVAKS_{00000000-0000-0000-0000-000000000000}";
    h.run_case("OpenDUT of an adapter that does not exist takes its definition back" + tag(h), [&] {
      std::string why;
      const size_t defines = win32sim::define_dos_device_log().size();
      p.debug_strings.clear();
      expect_eq(&why, h.call("OpenDUT", {h.put_wide(missing)}).eax, 0u, "OpenDUT");
      add(&why,
          tc::compare_strings(p.debug_strings, {u"TALVEN:: CreateFile() failed !!!\n",
                                                u"TALVEN: OpenDUT Could not open adapter\n"}));
      const auto log = win32sim::define_dos_device_log();
      const std::u16string name = u"Packet_" + missing.substr(8);
      expect(&why,
             log.size() == defines + 2 && log[defines].flags == 1 && log[defines].name == name &&
                 log[defines + 1].flags == 7 && log[defines + 1].name == name &&
                 log[defines + 1].target == missing,
             "defined (1) and removed again (DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | "
             "DDD_EXACT_MATCH_ON_REMOVE)");
      expect(&why, !win32sim::dos_name_target(name, nullptr), "the DOS name is left defined");
      return why;
    });
    h.run_case("OpenDUT, DefineDosDevice fails" + tag(h), [&] {
      std::string why;
      win32sim::remove_dos_name(Harness::kDosName);
      p.fail_nth("DefineDosDeviceW", 1, 5);
      p.debug_strings.clear();
      expect_eq(&why, open_adapter(h), 0u, "OpenDUT");
      add(&why,
          tc::compare_strings(p.debug_strings, {u"TALVEN:: DefineDosDevice() failed !!!\n",
                                                u"TALVEN: OpenDUT Could not open adapter\n"}));
      p.clear_injections();
      return why;
    });
    h.run_case("OpenDUT, no memory for the Adapter" + tag(h), [&] {
      std::string why;
      p.fail_nth("GlobalAlloc", 1, 8);
      p.debug_strings.clear();
      expect_eq(&why, open_adapter(h), 0u, "OpenDUT");
      add(&why, tc::compare_strings(p.debug_strings, {u"   TALVEN: OpenDUT GlobalAlloc Failed\n",
                                                      u"<==TALVEN: -OpenDUT\n"}));
      p.clear_injections();
      return why;
    });
    h.run_case("OpenDUT, a 60-character path fits DeviceName; 61 are refused" + tag(h), [&] {
      std::string why;
      const std::u16string tail(52, u'X');
      p.create_file_log.clear();
      p.debug_strings.clear();
      expect_eq(&why, h.call("OpenDUT", {h.put_wide(u"\\Device\\" + tail)}).eax, 0u, "OpenDUT(60)");
      expect(
          &why,
          !p.create_file_log.empty() && p.create_file_log.front().path == u"\\\\.\\Packet_" + tail,
          "the 60-character path's device file name (63 characters)");
      p.debug_strings.clear();
      expect_eq(&why, h.call("OpenDUT", {h.put_wide(u"\\Device\\X" + tail)}).eax, 0u,
                "OpenDUT(61)");
      add(&why,
          tc::compare_strings(p.debug_strings,
                              {u"TALVEN: OpenDUT device path must be 8 to 60 characters !!!\n"}));
      return why;
    });
    h.run_case("CloseDUT, CloseHandle fails: the Adapter stays the caller's" + tag(h), [&] {
      std::string why;
      const uint32_t a = open_adapter(h);
      p.fail_nth("CloseHandle", 1, 6);
      p.debug_strings.clear();
      expect_eq(&why, h.call("CloseDUT", {a}).eax, 0u, "CloseDUT");
      add(&why,
          tc::compare_strings(p.debug_strings, {u"TALVEN: CloseDUT CloseHandle() failed !!!\n"}));
      expect(&why, p.heap().block_at(a) != nullptr, "the Adapter was freed");
      p.clear_injections();
      expect_eq(&why, h.call("CloseDUT", {a}).eax, 1u, "the second CloseDUT");
      return why;
    });
  }
  h.names = Names::Decorated;
  h.report().group("OpenDUT and CloseDUT at base " + hex(h.base()), before);
}

// ---- Service and discovery ----

void run_service_checks(Harness& h) {
  const Report::Mark before = h.report().mark();
  Process& p = h.process();
  auto boxes_are = [&](const std::u16string& text) -> std::string {
    std::string why;
    if (text.empty()) {
      if (!p.message_boxes.empty())
        why = "message box \"" + tc::printable(p.message_boxes[0].text) + "\"";
    } else if (p.message_boxes.size() != 1) {
      why = std::to_string(p.message_boxes.size()) + " message boxes, want 1";
    } else {
      const Process::Box& b = p.message_boxes[0];
      if (b.text != text) why += "text \"" + tc::printable(b.text) + "\"; ";
      if (b.caption != u"TALVEN.DLL") why += "caption \"" + tc::printable(b.caption) + "\"; ";
      if (b.type != 0) why += "style " + hex(b.type) + ", want MB_OK";
    }
    p.message_boxes.clear();
    return why;
  };
  auto start = [&](const std::u16string& name, uint32_t unused) {
    return h.call("StartPacketDriver", {h.put_wide(name), unused}).eax;
  };
  for (Names set : {Names::Decorated, Names::Alias}) {
    h.names = set;
    h.run_case("StartPacketDriver starts the stopped service" + tag(h), [&] {
      std::string why;
      win32sim::add_service(u"NORVAKS", win32sim::ServiceConfig{});
      const size_t starts = win32sim::start_service_log().size();
      expect_eq(&why, start(u"NORVAKS", 0xFFFFFFFFu), 1u, "StartPacketDriver");
      expect(&why, win32sim::service_running(u"NORVAKS"), "the service runs");
      const auto log = win32sim::start_service_log();
      expect(&why, log.size() == starts + 1 && log.back().argc == 0 && log.back().argv_null,
             "StartServiceW(service, 0, NULL) once");
      add(&why, boxes_are(u""));
      return why;
    });
    h.run_case("StartPacketDriver, service already running: no message box" + tag(h), [&] {
      std::string why;
      expect_eq(&why, start(u"NORVAKS", 0), 1u, "StartPacketDriver");
      add(&why, boxes_are(u""));
      return why;
    });
    h.run_case("StartPacketDriver, service not installed" + tag(h), [&] {
      std::string why;
      expect_eq(&why, start(u"TALVEN_NOT_A_SERVICE", 0), 0u, "StartPacketDriver");
      add(&why, boxes_are(u"Could not open the service.\n"));
      return why;
    });
    h.run_case("StartPacketDriver, the start fails" + tag(h), [&] {
      std::string why;
      win32sim::add_service(u"TALVENNOSYS", win32sim::ServiceConfig{false, 1058, nullptr});
      expect_eq(&why, start(u"TALVENNOSYS", 0), 0u, "StartPacketDriver");
      add(&why, boxes_are(u"Failed to start the service, ErrorNo: 0x422(1058).\n"));
      return why;
    });
    h.run_case("StartPacketDriver, the service control manager does not open" + tag(h), [&] {
      std::string why;
      win32sim::fail_open_sc_manager(5);
      expect_eq(&why, start(u"NORVAKS", 0), 0u, "StartPacketDriver");
      win32sim::fail_open_sc_manager(0);
      add(&why, boxes_are(u"Could not open SC Manager database.\n"));
      return why;
    });
    const std::vector<uint8_t> list = [] {
      std::vector<uint8_t> b = wide_bytes(Harness::kAdapterPath);
      b.insert(b.end(), {0, 0, 0, 0});
      return b;
    }();
    h.run_case("PacketGetAdapterNames reads the Export list key by key" + tag(h), [&] {
      std::string why;
      const size_t opens = win32sim::reg_open_log().size();
      const uint32_t size = h.output() + tc::kCount;
      p.cpu().write32(size, 512);
      expect_eq(&why, h.call("PacketGetAdapterNames", {h.output() + tc::kBytes, size}).eax, 1u,
                "PacketGetAdapterNames");
      expect_eq(&why, p.cpu().read32(size), uint32_t(list.size()), "size");
      expect(&why, h.read(h.output() + tc::kBytes, uint32_t(list.size())) == list,
             "the list as the registry holds it");
      const auto log = win32sim::reg_open_log();
      const std::u16string keys[] = {u"SYSTEM", u"CurrentControlSet", u"Services", u"NORVAKS",
                                     u"Linkage"};
      expect(&why, log.size() == opens + 5, "five RegOpenKeyExW calls");
      for (size_t i = 0; i < 5 && opens + i < log.size(); ++i)
        expect(&why,
               log[opens + i].sub_key == keys[i] && log[opens + i].sam == 0x20019 &&
                   log[opens + i].parent_is_hklm == (i == 0),
               "RegOpenKeyExW " + std::to_string(i) + " opens " + tc::printable(keys[i]) +
                   " for KEY_READ");
      return why;
    });
    h.run_case("PacketGetAdapterNames, buffer too small or NULL: the size it needs" + tag(h), [&] {
      std::string why;
      const uint32_t size = h.output() + tc::kCount;
      p.cpu().write32(size, 10);
      expect_eq(&why, h.call("PacketGetAdapterNames", {h.output() + tc::kBytes, size}).eax, 1u,
                "small buffer");
      expect_eq(&why, p.cpu().read32(size), uint32_t(list.size()), "size");
      p.cpu().write32(size, 0);
      expect_eq(&why, h.call("PacketGetAdapterNames", {0, size}).eax, 1u, "NULL buffer");
      expect_eq(&why, p.cpu().read32(size), uint32_t(list.size()), "size");
      return why;
    });
    h.run_case("PacketGetAdapterNames, a key missing or denied" + tag(h), [&] {
      std::string why;
      const uint32_t size = h.output() + tc::kCount;
      win32sim::reg_deny_key(u"SYSTEM\\CurrentControlSet\\Services", 5);
      expect_eq(&why, h.call("PacketGetAdapterNames", {h.output() + tc::kBytes, size}).eax, 1u,
                "a deeper key denied");
      win32sim::reg_deny_key(u"SYSTEM\\CurrentControlSet\\Services", 0);
      win32sim::reg_deny_key(u"SYSTEM", 5);
      expect_eq(&why, h.call("PacketGetAdapterNames", {h.output() + tc::kBytes, size}).eax, 0u,
                "the first key denied");
      win32sim::reg_deny_key(u"SYSTEM", 0);
      expect_eq(&why, p.cpu().read32(size), 0xEEEEEEEEu, "size (untouched)");
      return why;
    });
  }
  h.names = Names::Decorated;
  h.report().group("service start and adapter discovery at base " + hex(h.base()), before);
}

// ---- I/O the platform completes ----

void run_io_checks(Harness& h) {
  const Report::Mark before = h.report().mark();
  Process& p = h.process();
  vadapter::ModelHost& a = p.adapter();
  const std::vector<uint8_t> frame = test_frame();
  for (Names set : {Names::Decorated, Names::Alias}) {
    h.names = set;
    // A packet with the test frame as its buffer; 0 when none could be made.
    auto packet = [&](uint32_t* buffer) {
      *buffer = h.put_bytes(frame);
      const uint32_t pk = h.call("PacketAllocatePacket", {h.adapter}).eax;
      if (pk != 0) h.call("PacketInitPacket", {pk, *buffer, 1400});
      return pk;
    };
    h.run_case("the packet life cycle and the 32-bit Packet" + tag(h), [&] {
      std::string why;
      const uint32_t buffer = h.put_bytes(frame);
      const uint32_t pk = h.call("PacketAllocatePacket", {h.adapter}).eax;
      if (pk == 0) return std::string("PacketAllocatePacket returned NULL");
      const Heap::Block* b = p.heap().block_at(pk);
      expect(&why, b != nullptr && b->size == 32, "the Packet is a 32-byte block");
      expect_eq(&why, p.cpu().read32(pk), 0u, "Reserved (offset 0)");
      auto event = p.object_as<Event>(p.cpu().read32(pk + 20));
      expect(&why, event && !event->manual && !event->set,
             "Overlapped.hEvent (offset 20) is an auto-reset event, not signalled");
      expect_eq(&why, h.call("PacketInitPacket", {pk, buffer, 1400}).eax, 1u, "PacketInitPacket");
      expect_eq(&why, p.cpu().read32(pk + 24), buffer, "Buffer (offset 24)");
      expect_eq(&why, p.cpu().read32(pk + 28), 1400u, "Length (offset 28)");
      expect_eq(&why, h.call("PacketFreePacket", {pk}).eax, 1u, "PacketFreePacket");
      return why;
    });
    h.run_case("a synchronous send waits for a write the adapter completes later" + tag(h), [&] {
      std::string why;
      fresh_adapter(h);
      a.set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
      uint32_t buffer = 0;
      const uint32_t pk = packet(&buffer);
      const uint64_t frames = adapter_state(h).frames_written;
      expect_eq(&why, h.call("PacketSendPacket", {h.adapter, pk, 0x101}).eax, 1u,
                "PacketSendPacket(sync)");
      expect_eq(&why, adapter_state(h).frames_written, frames + 1, "frames written");
      expect(&why, last_frame(h) == frame, "the frame sent is the buffer's 1400 bytes");
      expect(&why, !p.all_io.empty() && p.all_io.back()->overlapped == pk + 4,
             "WriteFile's OVERLAPPED is the Packet's, at offset 4");
      expect_eq(&why, p.cpu().read32(pk + 4), 0u, "Overlapped.Internal");
      expect_eq(&why, p.cpu().read32(pk + 8), 1400u, "Overlapped.InternalHigh");
      auto event = p.object_as<Event>(p.cpu().read32(pk + 20));
      expect(&why, event && !event->set, "the auto-reset event was consumed by the wait");
      h.call("PacketFreePacket", {pk});
      return why;
    });
    h.run_case("an asynchronous send, PacketWaitPacket without and with waiting" + tag(h), [&] {
      std::string why;
      fresh_adapter(h);
      a.set_completion(completion(vad::kWrites, vad::kLater, 0, 1000));
      uint32_t buffer = 0;
      const uint32_t pk = packet(&buffer);
      const uint32_t bytes = h.output() + tc::kWord;
      expect_eq(&why, h.call("PacketSendPacket", {h.adapter, pk, 0x100}).eax, 1u,
                "PacketSendPacket(0x100: not sync)");
      expect_eq(&why, h.call("PacketWaitPacket", {h.adapter, pk, bytes, 0}).eax, 0u,
                "PacketWaitPacket(no wait)");
      expect_eq(&why, p.last_error(), kErrorIoIncomplete, "its error");
      expect_eq(&why, p.cpu().read32(bytes), 0xEEEEEEEEu, "bytes before the write finished");
      expect_eq(&why, h.call("PacketWaitPacket", {h.adapter, pk, bytes, 0x201}).eax, 1u,
                "PacketWaitPacket(wait)");
      expect_eq(&why, p.cpu().read32(bytes), 1400u, "bytes");
      h.call("PacketFreePacket", {pk});
      return why;
    });
    h.run_case(
        "a write refused at once: 0, and the wait reports its error without waiting" + tag(h), [&] {
          std::string why;
          fresh_adapter(h);
          a.set_completion(completion(vad::kWrites, vad::kRefused, 31));
          uint32_t buffer = 0;
          const uint32_t pk = packet(&buffer);
          expect_eq(&why, h.call("PacketSendPacket", {h.adapter, pk, 1}).eax, 0u,
                    "PacketSendPacket");
          expect_eq(&why, p.last_error(), 31u, "its error");
          expect_eq(&why, p.cpu().read32(pk + 4), 0xC007001Fu,
                    "Overlapped.Internal holds the error as a finished status");
          const uint32_t bytes = h.output() + tc::kWord;
          expect_eq(&why, h.call("PacketWaitPacket", {h.adapter, pk, bytes, 1}).eax, 0u,
                    "PacketWaitPacket");
          expect_eq(&why, p.last_error(), 31u, "its error");
          h.call("PacketFreePacket", {pk});
          return why;
        });
    h.run_case("PacketResetAdapter: at once, later, later with an error, refused" + tag(h), [&] {
      std::string why;
      const struct {
        uint32_t kind, error, delay;
        uint32_t want;
      } resets[] = {{vad::kNow, 0, 0, 1},
                    {vad::kLater, 0, 20000, 1},
                    {vad::kLater, 31, 1000, 1},
                    {vad::kRefused, 31, 0, 0}};
      for (const auto& r : resets) {
        fresh_adapter(h);
        a.set_completion(completion(vad::kResets, r.kind, r.error, r.delay));
        const uint32_t got = h.call("PacketResetAdapter", {h.adapter}).eax & 0xFF;
        expect_eq(&why, got, r.want,
                  "PacketResetAdapter (completion " + std::to_string(r.kind) + ", error " +
                      std::to_string(r.error) + ")");
      }
      return why;
    });
    h.run_case("the reset times out after 3 s and waits for its late cancel" + tag(h), [&] {
      std::string why;
      fresh_adapter(h);
      a.set_completion(completion(vad::kResets, vad::kNever));
      a.set_completion(completion(vad::kCancels, vad::kLater, 0, 300000));
      const uint64_t t0 = p.now_us();
      const uint64_t cancels = p.import_calls["CancelIoEx"];
      expect_eq(&why, h.call("PacketResetAdapter", {h.adapter}).eax & 0xFF, 0u,
                "PacketResetAdapter");
      const uint64_t waited = (p.now_us() - t0) / 1000;
      expect(&why, waited >= 3300 && waited < 3400,
             "returned after " + std::to_string(waited) +
                 " ms, want the 3000 ms wait and the "
                 "300 ms cancel");
      expect_eq(&why, p.import_calls["CancelIoEx"], cancels + 1, "CancelIoEx calls");
      return why;
    });
    h.run_case(
        "a reset neither completed nor cancelled keeps its OVERLAPPED for good" + tag(h),
        [&] {
          std::string why;
          const uint32_t second = open_adapter(h);
          fresh_adapter(h);
          a.set_completion(completion(vad::kResets, vad::kNever));
          a.set_completion(completion(vad::kCancels, vad::kNever));
          expect_eq(&why, h.call("PacketResetAdapter", {second}).eax & 0xFF, 0u,
                    "PacketResetAdapter");
          expect_eq(&why, p.pending_io(), size_t(1), "requests pending");
          fresh_adapter(h);  // cancels complete at once again
          expect_eq(&why, h.call("CloseDUT", {second}).eax, 1u, "CloseDUT");
          p.run_until([&] { return p.pending_io() == 0; });
          return why;
        },
        [](Balance& b) {
          ++b.global_blocks;  // the reset's OVERLAPPED, never freed
          b.global_bytes += 20;
        });
    h.run_case(
        "a query the adapter holds while writes and a reset complete on its handle" + tag(h), [&] {
          std::string why;
          fresh_adapter(h);
          a.set_query_word(0xFF0111CAu, 0x77);
          a.set_completion(completion(vad::kOidRequests, vad::kHeld, 0, 0, 1));
          a.set_completion(completion(vad::kWrites, vad::kLater, 0, 100));
          a.set_completion(completion(vad::kResets, vad::kLater, 0, 1000));
          const uint32_t out = h.output() + tc::kWord, result = h.output() + tc::kCount;
          Thread& t =
              p.create_thread(h.thread_routine(p.export_address(h.export_name("QueryRFType")),
                                               {h.adapter, out}, result),
                              0, false);
          p.run_until([&] { return p.held_requests() == 1; });
          uint32_t buffer = 0;
          const uint32_t pk = packet(&buffer);
          for (int i = 0; i < 5; ++i)
            expect_eq(&why, h.call("PacketSendPacket", {h.adapter, pk, 1}).eax, 1u,
                      "PacketSendPacket " + std::to_string(i));
          expect_eq(&why, h.call("PacketResetAdapter", {h.adapter}).eax & 0xFF, 1u,
                    "PacketResetAdapter");
          h.call("PacketFreePacket", {pk});
          p.run_until([&] { return false; });
          expect(&why, t.state != Thread::Exited, "the query returned before its release");
          expect_eq(&why, p.cpu().read32(out), 0xEEEEEEEEu, "output before the release");
          p.release_held(1, 0);
          p.run_until([&] { return t.state == Thread::Exited; });
          expect_eq(&why, p.cpu().read32(result), 1u, "QueryRFType");
          expect_eq(&why, p.cpu().read32(out), 0x77u, "its output");
          return why;
        });
    h.run_case("requests the adapter completes later: a query and a command" + tag(h), [&] {
      std::string why;
      fresh_adapter(h);
      a.set_query_word(0xFF4D1013u, 0x5A5A);
      a.set_completion(completion(vad::kOidRequests, vad::kLater, 0, 500));
      expect_eq(&why, h.call("GetTxPowerControl", {h.adapter, h.output()}).eax, 1u,
                "GetTxPowerControl");
      expect_eq(&why, p.cpu().read32(h.output()), 0x5A5Au, "its output");
      expect_eq(&why, h.call("SetChannelDirectCall", {h.adapter, 3}).eax, 1u,
                "SetChannelDirectCall");
      return why;
    });
    h.run_case(
        "requests the adapter refuses at once: a query stores 0, a command does not wait" + tag(h),
        [&] {
          std::string why;
          fresh_adapter(h);
          a.set_completion(completion(vad::kOidRequests, vad::kRefused, 31));
          const uint64_t requests = p.import_calls["DeviceIoControl"];
          expect_eq(&why, h.call("GetTxPowerControl", {h.adapter, h.output()}).eax, 0u,
                    "GetTxPowerControl");
          expect_eq(&why, p.cpu().read32(h.output()), 0u, "its output");
          expect_eq(&why, h.call("SetChannelDirectCall", {h.adapter, 3}).eax, 0u,
                    "SetChannelDirectCall");
          expect_eq(&why, p.import_calls["DeviceIoControl"] - requests, uint64_t(2),
                    "requests (no status poll after a refused command)");
          return why;
        });
    h.run_case("PKT32XmitOnePacket sends the test frame, then pauses 500 ms" + tag(h), [&] {
      std::string why;
      fresh_adapter(h);
      const uint64_t t0 = p.now_us();
      expect_eq(&why, h.call("PKT32XmitOnePacket", {h.adapter}).eax, 1u, "PKT32XmitOnePacket");
      expect_eq(&why, (p.now_us() - t0) / 1000, uint64_t(500), "ms");
      expect_eq(&why, adapter_state(h).frames_written, uint64_t(1), "frames written");
      expect(&why, last_frame(h) == frame, "the test frame");
      return why;
    });
  }
  fresh_adapter(h);
  h.names = Names::Decorated;
  h.report().group("I/O the platform completes at base " + hex(h.base()), before);
}

// ---- Continuous transmit under seeded interleavings ----

void run_transmit_checks(Harness& h0, const std::vector<uint64_t>& seeds) {
  const Report::Mark before = h0.report().mark();
  for (uint64_t seed : seeds) {
    Options options;
    options.seed = seed;
    Harness h(h0.process().image(), h0.base(), options, h0.report());
    if (!h.report().check(h.loaded(), "load for seed " + std::to_string(seed), h.load_error()))
      continue;
    Process& p = h.process();
    vadapter::ModelHost& a = p.adapter();
    h.names = seed % 2 == 0 ? Names::Decorated : Names::Alias;
    const std::string s = " [seed " + std::to_string(seed) + "]" + tag(h);
    h.adapter = open_adapter(h);
    const std::vector<uint8_t> frame = test_frame();
    auto frames = [&] { return adapter_state(h).frames_written; };
    h.run_case("continuous transmit: start, frames, stop, the worker gone" + s, [&] {
      std::string why;
      a.set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
      const size_t ended = p.threads_ended_by_free_library();
      const int attached = p.notifications_sent[2], detached = p.notifications_sent[3];
      expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 0x201}).eax, 1u, "start");
      p.run_until([&] { return frames() >= 8; });
      expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 0x100}).eax, 1u, "stop");
      const uint64_t at_stop = frames();
      p.run_until([&] { return p.live_threads() == 0; });
      expect_eq(&why, frames(), at_stop, "frames written after the stop returned");
      const vad::StateRecord st = adapter_state(h);
      expect(&why, st.frames_written >= 8 && st.all_frames_identical != 0,
             std::to_string(st.frames_written) + " frames, all identical");
      expect(&why, last_frame(h) == frame, "each frame is the test frame");
      expect_eq(&why, p.threads_ended_by_free_library(), ended + 1,
                "workers ended by FreeLibraryAndExitThread");
      expect(&why,
             p.notifications_sent[2] == attached + 1 && p.notifications_sent[3] == detached + 1,
             "DLL_THREAD_ATTACH and DLL_THREAD_DETACH once each");
      return why;
    });
    h.run_case("continuous transmit: two starts, one stop ends both workers" + s, [&] {
      std::string why;
      a.set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
      h.call("PKT32OFDMContinuousTx", {h.adapter, 1});
      h.call("PKT32OFDMContinuousTx", {h.adapter, 1});
      p.run_until([&] { return frames() >= 4; });
      expect_eq(&why, h.call("PKT32OFDMContinuousTx", {0, 0}).eax, 1u, "stop (no adapter)");
      p.run_until([&] { return p.live_threads() == 0; });
      return why;
    });
    h.run_case("CloseDUT during a transmission stops it before closing" + s, [&] {
      std::string why;
      const uint32_t second = open_adapter(h);
      a.set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
      h.call("PKT32OFDMContinuousTx", {second, 1});
      p.run_until([&] { return frames() >= 3; });
      expect_eq(&why, h.call("CloseDUT", {second}).eax, 1u, "CloseDUT");
      const uint64_t at_close = frames();
      p.run_until([&] { return p.live_threads() == 0; });
      expect_eq(&why, frames(), at_close, "frames written after CloseDUT returned");
      return why;
    });
    if (seed != seeds.front()) continue;
    h.run_case("a stop with nothing running returns after one 10 ms pause" + s, [&] {
      std::string why;
      const uint64_t t0 = p.now_us();
      expect_eq(&why, h.call("PKT32OFDMContinuousTx", {0, 0}).eax, 1u, "stop");
      expect_eq(&why, p.now_us() - t0, uint64_t(10000), "µs");
      return why;
    });
    h.run_case("continuous transmit, CreateThread fails: 1, the module reference given back" + s,
               [&] {
                 std::string why;
                 p.fail_nth("CreateThread", 1, 8);
                 expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 1}).eax, 1u, "start");
                 expect_eq(&why, p.live_threads(), size_t(0), "threads");
                 expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 0}).eax, 1u, "stop");
                 p.clear_injections();
                 return why;
               });
    h.run_case("continuous transmit, GetModuleHandleExW fails: 1, no worker" + s, [&] {
      std::string why;
      p.fail_nth("GetModuleHandleExW", 1, 126);
      const size_t created = p.threads_created();
      expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 1}).eax, 1u, "start");
      expect_eq(&why, p.threads_created(), created, "threads created");
      expect_eq(&why, p.live_threads(), size_t(0), "threads");
      expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 0}).eax, 1u, "stop");
      p.clear_injections();
      return why;
    });
    h.call("CloseDUT", {h.adapter});
  }
  h0.report().group("continuous transmit in " + std::to_string(seeds.size()) +
                        " interleavings at base " + hex(h0.base()),
                    before);
}

// Unloading right after a stop: the worker may still be between its last look at the adapter
// and FreeLibraryAndExitThread; its reference keeps the code mapped until it is gone.
bool run_unload_after_stop(const PeImage& image, uint32_t base, uint64_t seed, Report& report) {
  Options options;
  options.seed = seed;
  Harness h(image, base, options, report);
  if (!report.check(h.loaded(), "load for the unload check", h.load_error())) return false;
  Process& p = h.process();
  h.adapter = open_adapter(h);
  p.adapter().set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
  const std::string s = " [seed " + std::to_string(seed) + ", base " + hex(base) + "]";
  std::string why;
  h.call("PKT32OFDMContinuousTx", {h.adapter, 1});
  p.run_until([&] { return adapter_state(h).frames_written >= 2; });
  h.call("PKT32OFDMContinuousTx", {h.adapter, 0});
  h.call("CloseDUT", {h.adapter});
  p.free_library();
  p.run_until([&] { return p.live_threads() == 0 && !p.loaded(); });
  expect(&why, !p.loaded(), "the module is still loaded");
  expect_eq(&why, p.live_threads(), size_t(0), "threads");
  expect_eq(&why, p.threads_ended_by_free_library(), size_t(1),
            "the worker ended by FreeLibraryAndExitThread");
  for (const std::string& v : p.take_violations()) add(&why, v);
  report.check(why.empty(), "FreeLibrary right after a stop: the worker's reference holds" + s,
               why);
  return !p.detached_on_main;
}

// The same, deterministic: the worker is held right at its FreeLibraryAndExitThread call (after
// its last look at the adapter) while the caller stops, closes and unloads; then it goes on.
void run_unload_while_worker_leaves(const PeImage& image, uint32_t base, Report& report) {
  Harness h(image, base, Options{}, report);
  if (!report.check(h.loaded(), "load for the unload check", h.load_error())) return;
  Process& p = h.process();
  h.adapter = open_adapter(h);
  p.adapter().set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
  std::string why;
  h.call("PKT32OFDMContinuousTx", {h.adapter, 1});
  p.run_until([&] { return adapter_state(h).frames_written >= 2; });
  p.hold_at_import("FreeLibraryAndExitThread");
  expect_eq(&why, h.call("PKT32OFDMContinuousTx", {h.adapter, 0}).eax, 1u, "stop");
  expect(&why, p.held_thread() != nullptr, "the worker did not reach FreeLibraryAndExitThread");
  expect_eq(&why, h.call("CloseDUT", {h.adapter}).eax, 1u, "CloseDUT");
  p.free_library();
  expect(&why, p.loaded(), "the module unloaded under the worker");
  expect_eq(&why, p.module_references(), 1L, "module references (the worker's)");
  p.release_held_thread();
  p.run_until([&] { return p.live_threads() == 0; });
  expect(&why, !p.loaded() && p.detached_on_main == false,
         "the worker's FreeLibraryAndExitThread did not unload the module");
  expect_eq(&why, p.threads_ended_by_free_library(), size_t(1),
            "the worker ended by FreeLibraryAndExitThread");
  for (const std::string& v : p.take_violations()) add(&why, v);
  report.check(why.empty(),
               "FreeLibrary while the worker is at its FreeLibraryAndExitThread: the worker "
               "unloads the module on its way out [base " +
                   hex(base) + "]",
               why);
}

// ---- Load and unload cycles ----

void run_lifecycle_checks(const PeImage& image, uint32_t base, Report& report) {
  const Report::Mark before = report.mark();
  Harness h(image, base, Options{}, report);
  if (!report.check(h.loaded(), "load at " + hex(base), h.load_error())) return;
  Process& p = h.process();
  for (int cycle = 1; cycle <= 3; ++cycle) {
    const std::string c = " (cycle " + std::to_string(cycle) + ", base " + hex(base) + ")";
    std::string why;
    expect_eq(&why, p.dll_main_result(), 1u, "DllMain(DLL_PROCESS_ATTACH)");
    // An application thread while the library is loaded: its attach and detach notifications
    // keep the calling contract (the x87 control word among it).
    const int attached = p.notifications_sent[2];
    Thread& t = p.create_thread(
        h.thread_routine(p.export_address("_StopPacketDriver@4"), {0}, h.output()), 0, false);
    p.run_until([&] { return t.state == Thread::Exited; });
    expect_eq(&why, p.notifications_sent[2], attached + 1, "DLL_THREAD_ATTACH notifications");
    // A request keeps its event for the next; the unload closes it.
    const uint32_t a = open_adapter(h);
    expect(&why,
           a != 0 && h.call("QueryRFType", {a, h.output()}).eax == 1u &&
               h.call("CloseDUT", {a}).eax == 1u,
           "an adapter opened, queried and closed");
    expect_eq(&why, h.balance().request_events, size_t(1), "request events kept before the unload");
    p.free_library();
    expect(&why, !p.loaded() && !p.cpu().mapped(base), "the image is still mapped");
    const Balance b = h.balance();
    const Balance empty;
    std::string left = b.compare(empty);
    if (b.request_events != 0) left += std::to_string(b.request_events) + " request events; ";
    if (!left.empty()) {
      for (const Heap::Block& blk : p.heap().live(Heap::Crt))
        left +=
            " C runtime block " + hex(blk.address) + " of " + std::to_string(blk.size) + " bytes;";
    }
    add(&why, left.empty() ? "" : "after DLL_PROCESS_DETACH: " + left);
    for (const std::string& v : p.take_violations()) add(&why, v);
    report.check(why.empty(), "load, DllMain, unload: nothing left behind" + c, why);
    if (cycle < 3) {
      std::string error;
      report.check(p.load(image, base, &error), "load again" + c, error);
    }
  }
  report.group("load and unload cycles at base " + hex(base), before);
}

// ---- Failure sweep ----

namespace {

// The platform calls the sweep makes fail, in turn. Not among them: GetOverlappedResult, which
// with a wait fails on Windows only once the request has failed (the adapter's faults cover
// that) and never leaves it pending; and GetModuleHandleExW, which cannot fail for the module's
// own code address (its failure at the start is a case of its own).
const char* const kInjectable[] = {
    "GlobalAlloc",         "CreateEventW", "DeviceIoControl", "ResetEvent",  "WriteFile",
    "WaitForSingleObject", "CancelIoEx",   "CreateThread",    "CreateFileW", "DefineDosDeviceW",
};

}  // namespace

void run_failure_sweep(Harness& h) {
  const Report::Mark before = h.report().mark();
  Process& p = h.process();
  // One body per operation: the first success case of the shared table for it, and the
  // operations those do not reach.
  struct Body {
    std::string label;
    std::function<void()> run;
  };
  std::vector<Body> bodies;
  std::set<std::string> seen;
  for (const tc::Case& c : tc::operation_cases()) {
    const std::string& op = c.steps[c.result_step].op;
    if (c.result != 1 || !c.faults.empty() || !seen.insert(op).second) continue;
    bodies.push_back({c.label, [&h, &c] {
                        vadapter::ModelHost& a = h.process().adapter();
                        a.reset(c.reset);
                        for (const auto& w : c.query_words) a.set_query_word(w.oid, w.value);
                        for (const auto& f : c.rx_frames)
                          a.queue_rx_frame(f.data(), uint32_t(f.size()));
                        std::vector<uint32_t> results;
                        for (const tc::Step& s : c.steps) {
                          if (s.op == "@PacketLength") {
                            results.push_back(0);
                            continue;
                          }
                          std::vector<uint32_t> args;
                          bool missing = false;  // a packet that could not be made
                          for (const tc::Arg& g : s.args) {
                            if (g.kind == tc::Arg::Earlier && results[g.value] == 0) missing = true;
                            args.push_back(g.kind == tc::Arg::Value     ? g.value
                                           : g.kind == tc::Arg::Adapter ? h.adapter
                                           : g.kind == tc::Arg::Out     ? h.output() + g.value
                                           : g.kind == tc::Arg::In      ? h.put_bytes(g.bytes)
                                           : g.kind == tc::Arg::Earlier ? results[g.value]
                                                                        : 0);
                          }
                          if (missing) {
                            results.push_back(0);
                            continue;
                          }
                          results.push_back(h.call(s.op, args).eax);
                        }
                      }});
  }
  bodies.push_back({"OpenDUT and CloseDUT", [&h] {
                      win32sim::remove_dos_name(Harness::kDosName);
                      const uint32_t a = h.call("OpenDUT", {h.put_wide(Harness::kAdapterPath)}).eax;
                      if (a != 0 && h.call("CloseDUT", {a}).eax == 0) h.call("CloseDUT", {a});
                    }});
  bodies.push_back({"PacketSendPacket, sync and not", [&h] {
                      h.process().adapter().reset(vad::ResetConfig{2, 0, 0, 0});
                      h.process().adapter().set_completion(
                          completion(vad::kWrites, vad::kLater, 0, 100));
                      const uint32_t buffer = h.put_bytes(test_frame());
                      const uint32_t pk = h.call("PacketAllocatePacket", {h.adapter}).eax;
                      if (pk == 0) return;
                      h.call("PacketInitPacket", {pk, buffer, 1400});
                      h.call("PacketSendPacket", {h.adapter, pk, 1});
                      h.call("PacketSendPacket", {h.adapter, pk, 0});
                      h.call("PacketWaitPacket", {h.adapter, pk, h.output(), 1});
                      h.process().run_until([&h] { return h.process().pending_io() == 0; });
                      h.call("PacketFreePacket", {pk});
                    }});
  bodies.push_back({"PacketResetAdapter, late cancel", [&h] {
                      vadapter::ModelHost& a = h.process().adapter();
                      a.reset(vad::ResetConfig{2, 0, 0, 0});
                      a.set_completion(completion(vad::kResets, vad::kNever));
                      a.set_completion(completion(vad::kCancels, vad::kLater, 0, 1000));
                      h.call("PacketResetAdapter", {h.adapter});
                      a.reset(vad::ResetConfig{2, 0, 0, 0});
                      h.process().run_until([&h] { return h.process().pending_io() == 0; });
                    }});
  bodies.push_back({"PKT32XmitOnePacket", [&h] {
                      h.process().adapter().reset(vad::ResetConfig{2, 0, 0, 0});
                      h.call("PKT32XmitOnePacket", {h.adapter});
                    }});
  bodies.push_back(
      {"continuous transmit start and stop", [&h] {
         Process& p = h.process();
         p.adapter().reset(vad::ResetConfig{2, 0, 0, 0});
         p.adapter().set_completion(completion(vad::kWrites, vad::kLater, 0, 250));
         h.call("PKT32OFDMContinuousTx", {h.adapter, 1});
         p.run_until([&p] { return p.import_calls["WriteFile"] >= 2 || p.live_threads() == 0; });
         h.call("PKT32OFDMContinuousTx", {h.adapter, 0});
         p.run_until([&p] { return p.live_threads() == 0; });
       }});
  bodies.push_back({"StartPacketDriver", [&h] {
                      win32sim::add_service(u"NORVAKS", win32sim::ServiceConfig{});
                      h.call("StartPacketDriver", {h.put_wide(u"NORVAKS"), 0});
                    }});
  bodies.push_back({"PacketGetAdapterNames", [&h] {
                      h.process().cpu().write32(h.output(), 512);
                      h.call("PacketGetAdapterNames", {h.output() + tc::kBytes, h.output()});
                    }});

  size_t runs = 0;
  for (const Body& body : bodies) {
    // A clean run counts the platform calls; then each of them fails once, in turn (the first
    // eight of each kind and the last).
    const std::map<std::string, uint64_t> start = p.import_calls;
    h.run_case("sweep: " + body.label + " without a failure" + tag(h), [&] {
      body.run();
      return std::string();
    });
    std::map<std::string, uint64_t> counts;
    for (const char* api : kInjectable)
      counts[api] = p.import_calls[api] - (start.count(api) ? start.at(api) : 0);
    for (const char* api : kInjectable) {
      const uint64_t n = counts[api];
      for (uint64_t k = 1; k <= n; ++k) {
        if (k > 8 && k != n) continue;
        ++runs;
        const std::string label = "sweep: " + body.label + ", " + api + " call " +
                                  std::to_string(k) + " of " + std::to_string(n) + " fails" +
                                  tag(h);
        // The reset gives up on an OVERLAPPED whose cancel it cannot see through (its wait or
        // the cancel failed): it keeps the 20-byte block for good rather than free it under a
        // request that may still complete into it.
        const bool reset_may_keep =
            body.label.rfind("PacketResetAdapter", 0) == 0 &&
            (std::string(api) == "WaitForSingleObject" || std::string(api) == "CancelIoEx");
        h.run_case(
            label,
            [&] {
              p.fail_nth(api, k, 0);
              p.debug_strings.clear();
              p.message_boxes.clear();
              body.run();
              p.clear_injections();
              p.run_until([&] { return p.live_threads() == 0 && p.pending_io() == 0; });
              return std::string();
            },
            [&](Balance& b) {
              if (!reset_may_keep || h.balance().global_blocks != b.global_blocks + 1) return;
              ++b.global_blocks;
              b.global_bytes += 20;
              b.pending_io = p.pending_io();
            });
      }
    }
  }
  h.report().group("failure sweep (" + std::to_string(runs) + " injected failures over " +
                       std::to_string(bodies.size()) + " operations) at base " + hex(h.base()),
                   before);
}

}  // namespace emu
