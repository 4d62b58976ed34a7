// The continuous transmission's shared state. The starting and stopping calls and the workers
// meet only through these atomics: no lock is taken.
#include "library/core/adapter.h"
#include "library/core/policy.h"

namespace talven {

namespace {

std::atomic<uint32_t> g_workers{0};

// Sleeps 10 ms and looks again until `done`, at least once and for at most `bound_ms`.
template <typename Done>
bool poll_until(Done done, DWORD bound_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    Sleep(policy::kStopPollMs);
    if (done()) return true;
    if (GetTickCount() - start > bound_ms) return false;  // the tick moves in steps
  }
}

}  // namespace

std::atomic<uint8_t> ContinuousTxRun{0};

bool ContinuousTxDone() {
  return g_workers.load() == 0;
}

uint32_t workers_alive() {
  return g_workers.load();
}

uint32_t workers_on(Adapter* adapter) {
  return record_of(adapter)->tx_workers.load();
}

void count_worker(Adapter* adapter) {
  g_workers.fetch_add(1);
  record_of(adapter)->tx_workers.fetch_add(1);
}

void uncount_worker_from_adapter(Adapter* adapter) {
  record_of(adapter)->tx_workers.fetch_sub(1);
}

void uncount_worker_from_process() {
  g_workers.fetch_sub(1);
}

bool keeps_sending(Adapter* adapter) {
  return ContinuousTxRun.load() == 1 && record_of(adapter)->tx_closing.load() == 0;
}

void StopContinuousTx() {
  ContinuousTxRun.store(0);
  if (!poll_until([] { return ContinuousTxDone(); }, policy::kStopWaitMs))
    OutputDebugStringW(TEXT("TALVEN: PKT32OFDMContinuousTx a transmit worker did not end\n"));
}

bool StopContinuousTxOn(Adapter* adapter) {
  record_of(adapter)->tx_closing.store(1);
  return poll_until([adapter] { return workers_on(adapter) == 0; }, policy::kStopWaitMs);
}

}  // namespace talven
