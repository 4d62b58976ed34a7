// The continuous transmission's shared state. The starting and stopping calls and the workers
// meet only through these atomics: no lock is taken.
#include "library/core/adapter.h"

namespace talven {

namespace {
std::atomic<uint32_t> g_workers{0};
constexpr DWORD kStopPollMs = 10;
}  // namespace

std::atomic<uint8_t> ContinuousTxRun{0};

bool ContinuousTxDone() {
  return g_workers.load() == 0;
}

void count_worker(Adapter* adapter) {
  g_workers.fetch_add(1);
  record_of(adapter)->tx_workers.fetch_add(1);
}

void uncount_worker(Adapter* adapter) {
  record_of(adapter)->tx_workers.fetch_sub(1);
  g_workers.fetch_sub(1);
}

bool has_workers(Adapter* adapter) {
  return record_of(adapter)->tx_workers.load() != 0;
}

void StopContinuousTx() {
  ContinuousTxRun.store(0);
  do {
    Sleep(kStopPollMs);
  } while (!ContinuousTxDone());
}

}  // namespace talven
