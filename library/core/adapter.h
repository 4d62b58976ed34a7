// What the library keeps behind every Adapter it hands out, and the continuous-transmit state
// that outlives a call: the run flag and the workers still alive, per process and per adapter.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "library/core/platform.h"

namespace talven {

// The block OpenDUT allocates: the caller's Adapter first, so that both pointers are the same
// address, then the count of continuous-transmit workers sending through this adapter.
struct AdapterRecord {
  Adapter adapter;
  std::atomic<uint32_t> tx_workers;
};

static_assert(std::is_standard_layout_v<AdapterRecord>, "an Adapter* must point at its record");

inline AdapterRecord* record_of(Adapter* adapter) {
  return reinterpret_cast<AdapterRecord*>(adapter);
}

// The workers go on sending while this is exactly 1.
extern std::atomic<uint8_t> ContinuousTxRun;
// True when no continuous-transmit worker is alive.
bool ContinuousTxDone();

// A worker is counted before its thread exists and uncounted as the last thing it does with
// the adapter, so that "no worker left" means no thread still uses an adapter or a packet.
void count_worker(Adapter* adapter);
void uncount_worker(Adapter* adapter);
bool has_workers(Adapter* adapter);

// Clears the run flag, then sleeps 10 ms and looks again until no worker is left; it always
// sleeps at least once.
void StopContinuousTx();

}  // namespace talven
