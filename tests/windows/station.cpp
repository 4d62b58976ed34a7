// What the talvenctl run under Wine asks of the virtual adapter through its control device
// (tests/windows/talvenctl_wine.py): a known adapter, its EEPROM and state as the adapter holds
// them, and requests held while the tool waits in one.
#include <cstdio>

#include "tests/windows/cases.h"

namespace wintest {
namespace {

using talven::vadapter::EepromRecord;
using talven::vadapter::RequestEntry;
using talven::vadapter::StateRecord;

uint32_t word_at(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The last Param[0] the adapter received for `oid`; -1 when none is in its log.
long long last_value(Control& control, uint32_t oid) {
  std::vector<RequestEntry> log;
  control.requests(&log);
  long long value = -1;
  for (const RequestEntry& e : log)
    if (e.code == 0x80000000u && e.in_size >= 12 && word_at(e.bytes) == oid)
      value = word_at(e.bytes + 8);
  return value;
}

}  // namespace

int run_station_helper(const std::wstring& mode, const wchar_t* argument) {
  Control control;
  if (!control.open()) {
    std::printf("station: the control device does not open (%lu)\n", control.last_error());
    return 1;
  }
  if (mode == L"adapter-reset") {  // a 256-byte factory EEPROM, every command done at once
    const bool ok = control.reset(2) && control.clear_requests();
    std::printf("adapter-reset: %s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
  }
  if (mode == L"adapter-eeprom" && argument != nullptr) {  // the EEPROM image, raw, to a file
    EepromRecord record{};
    if (!control.read_eeprom(&record)) return 1;
    FILE* f = _wfopen(argument, L"wb");
    if (f == nullptr) return 1;
    const size_t size = record.type == 1 ? 128 : 256;
    const bool ok = std::fwrite(record.image, 1, size, f) == size;
    return std::fclose(f) == 0 && ok ? 0 : 1;
  }
  if (mode == L"adapter-state") {  // one "name value" line each
    StateRecord s{};
    if (!control.state(&s)) return 1;
    std::printf("test_mode %u\ntx_sent %u\nheld %u\n", s.test_mode, s.tx_sent, s.held);
    std::printf("continuous %lld\ncarrier %lld\nsuppression %lld\n",
                last_value(control, 0xFF4D100Bu), last_value(control, 0xFF4D100Cu),
                last_value(control, 0xFF4D102Bu));
    return 0;
  }
  if (mode == L"adapter-hold") {  // every OID request from now on is held until released
    return control.set_completion(talven::vadapter::kOidRequests, talven::vadapter::kHeld) ? 0 : 1;
  }
  if (mode == L"adapter-wait-held") {  // until one request is held (at most 60 s)
    StateRecord s{};
    for (int i = 0; i < 6000; ++i) {
      if (control.state(&s) && s.held > 0) return 0;
      Sleep(10);
    }
    std::printf("adapter-wait-held: nothing held after 60 s\n");
    return 1;
  }
  if (mode == L"adapter-release") {  // requests complete at once again; the held ones now
    const bool ok = control.set_completion(talven::vadapter::kOidRequests, talven::vadapter::kNow);
    control.release_held(0xFFFFFFFFu);
    return ok ? 0 : 1;
  }
  std::printf("station: unknown mode\n");
  return 2;
}

}  // namespace wintest
