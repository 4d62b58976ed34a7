// libFuzzer target: the bytes a driver writes back. Every answer to a device-control request
// (Length, Param words with the status and result words, the Data area with CIS data and
// received frames) and the adapter-name list in the registry come from the fuzzer's input,
// and they reach every operation that reads them. The caller's buffers are exactly as big as
// the operations require, so that ASan sees a byte written past them; a run that leaks a heap
// block or handle, or misuses one, aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "simulated_adapter/simulated_adapter.h"
#include "talven.h"
#include "win32sim/machine.h"
#include "win32sim/simulated_adapter_device.h"

namespace {

constexpr char16_t kDevicePath[] = u"\\Device\\FUZZ0001";
constexpr char16_t kDosName[] = u"Packet_FUZZ0001";
constexpr char16_t kLinkageKey[] = u"SYSTEM\\CurrentControlSet\\Services\\NORVAKS\\Linkage";

const WCHAR* w(const char16_t* s) {
  return reinterpret_cast<const WCHAR*>(s);
}

// The input, read front to back; once it is used up, reads give 0 and answers stay as the
// simulated driver wrote them.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(byte()) << (8 * i);
    return v;
  }
  // Up to n bytes.
  std::vector<uint8_t> bytes(size_t n) {
    const size_t take = std::min(n, size_ - std::min(pos_, size_));
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Rewrites one answer as the input says: a few edits, each a word (Length or a Param) or a run
// of Data bytes.
void edit_answer(Input& in, uint8_t* answer, uint32_t size) {
  const unsigned edits = in.byte() % 4;
  for (unsigned e = 0; e < edits && !in.empty(); ++e) {
    const uint8_t what = in.byte();
    if (what % 3 == 0 && size >= 8) {
      put32(answer + 4, in.word());  // Length
    } else if (what % 3 == 1) {
      const size_t at = 8 + 4 * (in.byte() % 10);  // Param[0..9]
      if (at + 4 <= size) put32(answer + at, in.word());
    } else {
      const size_t at = 48 + in.byte();  // Data
      const std::vector<uint8_t> run = in.bytes(in.byte());
      for (size_t i = 0; i < run.size() && at + i < size; ++i) answer[at + i] = run[i];
    }
  }
}

// A caller's buffer of exactly `size` bytes on the C++ heap, where ASan guards its ends.
struct Buffer {
  explicit Buffer(size_t size) : bytes(new uint8_t[size]), n(size) {
    std::memset(bytes.get(), 0xCD, n);
  }
  uint8_t* get() { return bytes.get(); }
  std::unique_ptr<uint8_t[]> bytes;
  size_t n;
};

void call(Input& in, Adapter* a, uint8_t which) {
  ULONG u = 0;
  switch (which % 24) {
    case 0:
      QueryEEpromType(a, &u);
      break;
    case 1: {
      Buffer b(1);
      ReadEEpromByte(a, in.byte(), b.get());
      break;
    }
    case 2: {
      Buffer b(256);
      ReadEEprom(a, b.get(), 1);
      break;
    }
    case 3: {
      Buffer b(74);
      ReadPowerControl(a, b.get(), 74);
      break;
    }
    case 4: {
      Buffer b(6);
      ReadEEpromMacAddr(a, b.get());
      break;
    }
    case 5: {
      Buffer b(6);
      ReadMACAddress(a, b.get());
      break;
    }
    case 6: {
      Buffer b(6);
      QueryPermanentAddress(a, b.get());
      break;
    }
    case 7: {
      Buffer b(256);
      ULONG n = 0;
      ReadCISData(a, b.get(), &n);
      break;
    }
    case 8: {
      Buffer h(1), l(1);
      ReadEEpromTxPowerBaseOffset(a, h.get(), l.get());
      break;
    }
    case 9: {
      Buffer h(1), l(1);
      GetTxPowerBaseOffset(a, h.get(), l.get());
      break;
    }
    case 10:
      ReadRegData(a, in.byte(), LONG(1u << (in.byte() % 3)), &u);
      break;
    case 11:
      RFReadRegData(a, in.byte(), in.byte() % 2, &u);
      break;
    case 12:
      ReadBBData(a, in.byte(), in.byte() % 2, &u);
      break;
    case 13:
      GetTxPowerControl(a, &u);
      GetCRSignalQuality(a, &u);
      QueryRFType(a, &u);
      break;
    case 14:
      GetIntegrator(a, in.byte() % 4, &u);
      GetSignalQuality(a, in.byte() % 4, &u);
      break;
    case 15:
      QueryTxPacketSent(a, &u);
      QueryRxPacketReceived(a, &u);
      break;
    case 16:
      QueryRxPacketCRC32Error(a, &u);
      GetAckCounter(a, &u);
      break;
    case 17: {
      Buffer frame(2000);
      Packet* p = PacketAllocatePacket(a);
      if (p == nullptr) break;
      PacketInitPacket(p, frame.get(), 2000);
      ULONG n = 0;
      PacketReceivePacket(a, p, 0, &n);
      PacketFreePacket(p);
      break;
    }
    case 18:
      StartTest(a);
      break;
    case 19:
      SetChannelDirectCall(a, in.byte());
      break;
    case 20:
      WriteEEpromByte(a, in.byte(), in.byte());
      break;
    case 21: {
      Buffer t(74);
      std::memset(t.get(), in.byte(), 74);
      WritePowerControl(a, t.get(), 74);
      break;
    }
    case 22: {
      // The adapter-name list of the registry, as the driver's installation left it.
      std::vector<uint8_t> list = in.bytes(in.byte());
      win32sim::reg_set_value(kLinkageKey, u"Export", REG_MULTI_SZ, list);
      ULONG size = in.byte();
      Buffer names(size == 0 ? 1 : size);
      PacketGetAdapterNames(names.get(), &size);
      break;
    }
    case 23:
      ResetDUT(a);
      StopTest(a);
      break;
  }
}

}  // namespace

// One machine for the whole run (a fresh one per input costs a device thread); every input
// starts from the same adapter state and registry value, and opens the adapter anew.
std::shared_ptr<simadapter::SimulatedAdapter>& simulated() {
  static std::shared_ptr<simadapter::SimulatedAdapter> sim = [] {
    win32sim::reset_machine();
    win32sim::set_sleep_mode(win32sim::SleepMode::Instant);  // the operations run on this thread
    // Commands are finished by the first status poll unless an answer says otherwise: the
    // input, not the model, decides how long a wait lasts.
    simadapter::Config config;
    config.completion_polls = 0;
    auto adapter = std::make_shared<simadapter::SimulatedAdapter>(config);
    win32sim::add_device(kDevicePath, win32sim::make_simulated_adapter_device(adapter));
    win32sim::add_dos_name(kDosName, kDevicePath);
    return adapter;
  }();
  return sim;
}

// The library's entry point.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> image = simulated()->eeprom();
  auto& sim = simulated();
  sim->clear_requests();
  sim->clear_frames();
  sim->set_eeprom(image);
  if (sim->queued_received_frames() == 0) sim->queue_received_frame(std::vector<uint8_t>(64, 0x3C));
  std::u16string list = std::u16string(kDevicePath) + u'\0' + u'\0';
  win32sim::reg_set_value(
      kLinkageKey, u"Export", REG_MULTI_SZ,
      std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(list.data()),
                           reinterpret_cast<const uint8_t*>(list.data() + list.size())));
  win32sim::clear_debug_strings();
  win32sim::clear_io_log();
  win32sim::clear_sleep_log();
  win32sim::clear_heap_alloc_log();
  Adapter* adapter = OpenDUT(w(kDevicePath));
  if (adapter == nullptr) std::abort();
  const size_t blocks = win32sim::heap_live_blocks();

  Input in(data, size);
  win32sim::set_injection_hook([&in](const win32sim::ApiCall& c) {
    win32sim::Injection out;
    if (c.api == win32sim::Api::DeviceIoControl && !in.empty())
      out.edit_answer = [&in](uint8_t* answer, uint32_t n) { edit_answer(in, answer, n); };
    return out;
  });
  for (int calls = 0; calls < 6 && !in.empty(); ++calls) call(in, adapter, in.byte());
  win32sim::set_injection_hook(nullptr);

  const bool leaked = win32sim::heap_live_blocks() != blocks;
  const bool closed = CloseDUT(adapter) == 1;
  // The events the library keeps for its requests outlive the calls; the process detach closes
  // them, and the next input's requests make them again.
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
  if (!closed || leaked || win32sim::misuse().total() != 0 ||
      win32sim::heap_live_blocks() + 1 != blocks || win32sim::open_event_handles() != 0 ||
      win32sim::open_file_handles() != 0 || win32sim::open_reg_keys() != 0) {
    std::fprintf(stderr, "driver answers left blocks, handles or misuse behind\n");
    std::abort();
  }
  return 0;
}
