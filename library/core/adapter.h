// What the library keeps behind every Adapter it hands out, and the continuous-transmit state
// that outlives a call: the run flag and the workers still alive, per process and per adapter.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "library/core/platform.h"

namespace talven {

// The block OpenDUT allocates: the caller's Adapter first, so that both pointers are the same
// address, then the continuous-transmit workers sending through this adapter and the flag with
// which CloseDUT stops them (and only them).
struct AdapterRecord {
  Adapter adapter;
  std::atomic<uint32_t> tx_workers;
  std::atomic<uint8_t> tx_closing;
};

static_assert(std::is_standard_layout_v<AdapterRecord>, "an Adapter* must point at its record");

inline AdapterRecord* record_of(Adapter* adapter) {
  return reinterpret_cast<AdapterRecord*>(adapter);
}

// The workers go on sending while this is exactly 1 and their adapter is not closing.
extern std::atomic<uint8_t> ContinuousTxRun;
// True when no continuous-transmit worker is alive.
bool ContinuousTxDone();
// Workers alive in the process, and sending through one adapter.
uint32_t workers_alive();
uint32_t workers_on(Adapter* adapter);

// A worker is counted, on its adapter and in the process, before its thread exists. At its end
// it is uncounted from its adapter first, as the last thing it does with the adapter record,
// and from the process last: a stop that finds no worker left in the process knows that no
// worker still uses any adapter record or packet.
void count_worker(Adapter* adapter);
void uncount_worker_from_adapter(Adapter* adapter);
void uncount_worker_from_process();
// Whether a worker on this adapter goes on with another frame.
bool keeps_sending(Adapter* adapter);

// The stop of PKT32OFDMContinuousTx: clears the run flag, then sleeps 10 ms and looks again
// until no worker is left in the process (it always sleeps at least once). Workers cancel a
// write still pending when they see the stop. After kStopWaitMs it gives up on workers that do
// not end (one ended by process exit never lowers the count) and returns all the same.
void StopContinuousTx();
// CloseDUT's stop: ends the workers of this adapter only, and waits for them as the stop does
// (its bound included). True when none is left.
bool StopContinuousTxOn(Adapter* adapter);

}  // namespace talven
