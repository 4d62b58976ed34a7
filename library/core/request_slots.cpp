#include "library/core/request_slots.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "library/core/record.h"

namespace talven {

namespace {

enum SlotState : uint32_t { kFree = 0, kTaken = 1, kAbandoned = 2 };

// The OVERLAPPED first, so that a request's OVERLAPPED leads back to its slot.
struct Slot {
  OVERLAPPED overlapped;
  HANDLE event;
  std::atomic<uint32_t> state;
};
static_assert(std::is_standard_layout_v<Slot>, "an OVERLAPPED* must point at its slot");

// Enough for every thread of a test station to have a request in flight at once; a request
// that finds them all taken gets a slot of its own from the global heap.
constexpr size_t kPooledSlots = 64;
Slot g_slots[kPooledSlots];  // zero-filled at load: free, no event yet

Slot* slot_of(OVERLAPPED* overlapped) {
  return reinterpret_cast<Slot*>(overlapped);
}

bool pooled(const Slot* slot) {
  const auto at = reinterpret_cast<uintptr_t>(slot);
  return at >= reinterpret_cast<uintptr_t>(&g_slots[0]) &&
         at < reinterpret_cast<uintptr_t>(&g_slots[kPooledSlots]);
}

OVERLAPPED* ready(Slot* slot) {
  slot->overlapped = OVERLAPPED{};
  slot->overlapped.hEvent = slot->event;
  return &slot->overlapped;
}

}  // namespace

OVERLAPPED* take_request_slot() {
  for (Slot& slot : g_slots) {
    uint32_t expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire)) continue;
    if (slot.event == nullptr) {
      slot.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (slot.event == nullptr) {
        slot.state.store(kFree, std::memory_order_release);
        return nullptr;
      }
    }
    return ready(&slot);
  }
  void* block = global_record_alloc(sizeof(Slot));
  if (block == nullptr) return nullptr;
  Slot* own = new (block) Slot{};
  own->state.store(kTaken);
  own->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (own->event == nullptr) {
    global_record_free(block);
    return nullptr;
  }
  return ready(own);
}

void give_back_request_slot(OVERLAPPED* overlapped) {
  Slot* slot = slot_of(overlapped);
  if (pooled(slot)) {
    slot->state.store(kFree, std::memory_order_release);
    return;
  }
  CloseHandle(slot->event);
  global_record_free(slot);
}

void abandon_request_slot(OVERLAPPED* overlapped) {
  slot_of(overlapped)->state.store(kAbandoned, std::memory_order_release);
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&g_slots),
                     &self);
}

void close_request_slots() {
  for (Slot& slot : g_slots) {
    uint32_t expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire)) {
      if (slot.event != nullptr) CloseHandle(slot.event);
      slot.event = nullptr;
      slot.state.store(kFree, std::memory_order_release);
    } else if (expected == kAbandoned && slot.event != nullptr &&
               HasOverlappedIoCompleted(&slot.overlapped)) {
      // Its request has ended since: the event is no longer the driver's to signal. The slot
      // itself is not reused.
      CloseHandle(slot.event);
      slot.event = nullptr;
    }
  }
}

}  // namespace talven
