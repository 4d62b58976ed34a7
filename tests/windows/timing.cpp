// Library calls against the same records sent raw through DeviceIoControl on the same handle to
// the same driver, debug strings dropped on the library's side (the raw side writes none).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/windows/cases.h"

namespace wintest {

namespace {

// The floor: one buffered request on the overlapped handle, as any correct caller must send it
// (an OVERLAPPED with an event, waited for only if the driver pends it).
struct Raw {
  HANDLE handle;
  HANDLE event;
  bool request(uint32_t code, uint8_t* record) {
    const DWORD size = 303 + (uint32_t(record[4]) | uint32_t(record[5]) << 8);
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(handle, code, record, size, record, size, &returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
      ok = GetOverlappedResult(handle, &ov, &returned, TRUE);
    return ok != FALSE;
  }
};

void fill(uint8_t* record, uint32_t oid, uint32_t length, uint32_t p0, uint32_t p1, uint32_t p2) {
  std::memset(record, 0, 320);
  const uint32_t words[] = {oid, length, p0, p1, p2};
  std::memcpy(record, words, sizeof words);
}

// Library and raw blocks of `n` calls alternate for `rounds` rounds, so that both see the same
// load on a shared machine; the best block of each gives ms per call.
struct Pair {
  double library, raw;
};
template <class L, class R>
Pair race(int rounds, int n, L library, R raw) {
  Pair best{1e9, 1e9};
  for (int r = 0; r < rounds; ++r) {
    double t0 = now_ms();
    for (int i = 0; i < n; ++i) library();
    best.library = std::min(best.library, (now_ms() - t0) / n);
    t0 = now_ms();
    for (int i = 0; i < n; ++i) raw();
    best.raw = std::min(best.raw, (now_ms() - t0) / n);
  }
  return best;
}

}  // namespace

int run_timing(Env& env) {
  set_quiet(true);
  Adapter* a = call<Adapter*>("OpenDUT", kAdapterPath);
  if (a == nullptr || !env.control.reset(1, 0, 0, 0)) {
    std::printf("FAIL: timing: adapter does not open\n");
    return 1;
  }
  Raw raw{a->Handle, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  static uint8_t record[320];
  static uint8_t status[320];
  int failed = 0;
  auto report = [&](const char* what, Pair p) {
    std::printf("TIMING: %-40s library %.3f ms  raw %.3f ms  ratio %.2f\n", what, p.library, p.raw,
                p.library / p.raw);
  };

  // A query.
  ULONG v = 0;
  report("query (GetTxPowerControl)",
         race(
             25, 20, [&] { failed += call<ULONG>("GetTxPowerControl", a, &v) != 1; },
             [&] {
               fill(record, 0xFF4D1013u, 4, 0, 0, 0);
               failed += !raw.request(0x80000004u, record);
             }));

  // The same query raw, with an event created and closed per request as the library does: how
  // much of the difference those two calls make.
  report("query, raw with an event per request",
         race(
             25, 20, [&] { failed += call<ULONG>("GetTxPowerControl", a, &v) != 1; },
             [&] {
               fill(record, 0xFF4D1013u, 4, 0, 0, 0);
               Raw own{a->Handle, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
               failed += !own.request(0x80000004u, record);
               CloseHandle(own.event);
             }));

  // A command with one status poll.
  report("command + 1 status poll (SetChannel...)",
         race(
             25, 10, [&] { failed += call<ULONG>("SetChannelDirectCall", a, ULONG(6)) != 1; },
             [&] {
               fill(record, 0xFF4D1008u, 4, 6, 0, 0);
               failed += !raw.request(0x80000000u, record);
               fill(status, 0xFF4E5280u, 16, 0, 0, 0);
               failed += !raw.request(0x80000004u, status);
             }));

  // A whole 128-byte EEPROM image: 64 word reads, each a request and a status poll.
  static UCHAR image[256];
  report("EEPROM image, 64 words (ReadEEprom)",
         race(
             7, 1, [&] { failed += call<ULONG>("ReadEEprom", a, image, ULONG(1)) != 1; },
             [&] {
               for (uint32_t o = 0; o < 128; o += 2) {
                 fill(record, 0xFF4D1022u, 12, o, 2, 0xFFFFFFFFu);
                 failed += !raw.request(0x80000000u, record);
                 fill(status, 0xFF4E5280u, 16, 0, 0, 0);
                 failed += !raw.request(0x80000004u, status);
               }
             }));

  // The library's image read made no more requests than the raw one: no busy status polls (and
  // no pauses) in its figure.
  env.control.clear_requests();
  call<ULONG>("ReadEEprom", a, image, ULONG(1));
  std::vector<talven::vadapter::RequestEntry> log;
  uint32_t total = 0;
  env.control.requests(&log, &total);
  std::printf("%s: timing: one library image read is %u requests, want 128\n",
              total == 128 ? "PASS" : "FAIL", total);
  failed += total != 128;

  CloseHandle(raw.event);
  call<ULONG>("CloseDUT", a);
  std::printf("%s: timing, %d failed requests\n", failed ? "FAIL" : "PASS", failed);
  return failed ? 1 : 0;
}

}  // namespace wintest
