// The global heap: fixed and movable blocks with lock counts, guard bytes behind every block,
// fill patterns that show missing zero-initialisation, and fault injection. Freed blocks are
// poisoned and kept for a while, so that a device that writes into or reads from a block after
// it was freed (a request completed late into a released record) is seen instead of corrupting
// the process.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "state.h"

namespace win32sim {
namespace detail {
namespace {

constexpr size_t kGuardSize = 16;
constexpr uint8_t kGuardByte = 0xFD;
constexpr uint8_t kFillByte = 0xCD;
constexpr uint8_t kPoisonByte = 0xDD;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = size_t(64) << 20;

HeapBlock* block_by_handle_locked(State& s, HGLOBAL h) {
  auto it = s.blocks_by_handle.find(reinterpret_cast<uintptr_t>(h));
  return it == s.blocks_by_handle.end() ? nullptr : it->second;
}

bool guard_intact(const HeapBlock& b) {
  for (size_t i = 0; i < kGuardSize; ++i)
    if (b.memory[b.size + i] != kGuardByte) return false;
  return true;
}

void destroy(HeapBlock* b) {
  std::free(b->memory);
  delete b;
}

// Takes a block out of the live heap; its memory stays mapped, poisoned, until the quarantine
// needs the room.
void release_locked(State& s, HeapBlock* b) {
  s.blocks_by_handle.erase(b->handle);
  s.blocks_by_pointer.erase(b->memory);
  s.heap_bytes -= b->size;
  if (b->size > kQuarantineBytes) {  // too big to keep (and to poison page by page)
    destroy(b);
    return;
  }
  std::memset(b->memory, kPoisonByte, b->size);
  s.freed_by_pointer[b->memory] = b;
  s.quarantine.push_back(b);
  s.quarantine_bytes += b->size;
  while (s.quarantine.size() > kQuarantineBlocks || s.quarantine_bytes > kQuarantineBytes) {
    HeapBlock* old = s.quarantine.front();
    s.quarantine.pop_front();
    s.quarantine_bytes -= old->size;
    s.freed_by_pointer.erase(old->memory);
    destroy(old);
  }
}

// The block of `blocks` that holds p, if any.
HeapBlock* holding(const std::map<const void*, HeapBlock*>& blocks, const void* p) {
  auto it = blocks.upper_bound(p);
  if (it == blocks.begin()) return nullptr;
  HeapBlock* b = std::prev(it)->second;
  const auto* byte = static_cast<const uint8_t*>(p);
  return byte < b->memory + b->size ? b : nullptr;
}

}  // namespace

bool heap_freed_locked(const State& s, const void* p, size_t size) {
  if (p == nullptr || size == 0) return false;
  const auto* first = static_cast<const uint8_t*>(p);
  return holding(s.freed_by_pointer, first) != nullptr ||
         holding(s.freed_by_pointer, first + size - 1) != nullptr;
}

void reset_heap_locked(State& s) {
  for (auto& entry : s.blocks_by_handle) destroy(entry.second);
  for (HeapBlock* b : s.quarantine) destroy(b);
  s.blocks_by_handle.clear();
  s.blocks_by_pointer.clear();
  s.freed_by_pointer.clear();
  s.quarantine.clear();
  s.quarantine_bytes = 0;
  s.heap_bytes = 0;
  s.heap_calls = 0;
  s.heap_log.clear();
  s.alloc_fault = {};
}

}  // namespace detail

using detail::machine;
using detail::State;

size_t heap_live_blocks() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.blocks_by_handle.size();
}

size_t heap_live_bytes() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.heap_bytes;
}

uint64_t heap_alloc_calls() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.heap_calls;
}

std::vector<HeapAlloc> heap_alloc_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.heap_log;
}

void clear_heap_alloc_log() {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.heap_log.clear();
}

bool heap_block_freed(const void* p) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  return detail::heap_freed_locked(s, p, 1);
}

size_t heap_block_size(const void* p) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.blocks_by_pointer.find(p);
  return it == s.blocks_by_pointer.end() ? 0 : it->second->size;
}

void fail_nth_global_alloc(uint64_t n) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.alloc_fault = {n, ERROR_NOT_ENOUGH_MEMORY};
}

}  // namespace win32sim

using win32sim::detail::HeapBlock;
using win32sim::detail::machine;
using win32sim::detail::set_last_error;
using win32sim::detail::State;

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) try {
  const bool injected =
      win32sim::detail::injected_error(win32sim::Api::GlobalAlloc, ERROR_NOT_ENOUGH_MEMORY) != 0;
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.heap_calls;
  s.heap_log.push_back({uFlags, dwBytes});
  if (injected || s.alloc_fault.hit() || dwBytes > SIZE_MAX - win32sim::detail::kGuardSize) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Zero-filled blocks come from calloc, so that even huge ones cost only the pages touched.
  const size_t total = dwBytes + win32sim::detail::kGuardSize;
  const bool zero = (uFlags & GMEM_ZEROINIT) != 0;
  auto* memory = static_cast<uint8_t*>(zero ? std::calloc(1, total) : std::malloc(total));
  if (memory == nullptr) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!zero) std::memset(memory, win32sim::detail::kFillByte, dwBytes);
  std::memset(memory + dwBytes, win32sim::detail::kGuardByte, win32sim::detail::kGuardSize);
  auto* block = new HeapBlock;
  block->memory = memory;
  block->size = dwBytes;
  block->flags = uFlags;
  block->moveable = (uFlags & GMEM_MOVEABLE) != 0;
  block->handle = block->moveable ? s.new_handle() : reinterpret_cast<uintptr_t>(memory);
  s.blocks_by_handle[block->handle] = block;
  s.blocks_by_pointer[memory] = block;
  s.heap_bytes += dwBytes;
  return reinterpret_cast<HGLOBAL>(block->handle);
}
WIN32SIM_NOTHROW_RETURN(nullptr)

extern "C" LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  HeapBlock* b = win32sim::detail::block_by_handle_locked(s, hMem);
  if (b == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (b->moveable) ++b->locks;  // fixed blocks have no lock count
  return b->memory;
}

extern "C" BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  HeapBlock* b = win32sim::detail::block_by_handle_locked(s, hMem);
  if (b == nullptr) {
    ++s.misuse.bad_unlocks;
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!b->moveable) return TRUE;
  if (b->locks == 0) {
    ++s.misuse.bad_unlocks;
    set_last_error(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--b->locks > 0) return TRUE;
  set_last_error(NO_ERROR);
  return FALSE;
}

extern "C" HGLOBAL WINAPI GlobalHandle(LPCVOID pMem) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.blocks_by_pointer.find(pMem);
  if (it == s.blocks_by_pointer.end()) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return reinterpret_cast<HGLOBAL>(it->second->handle);
}

extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  HeapBlock* b = win32sim::detail::block_by_handle_locked(s, hMem);
  if (b == nullptr) {
    ++s.misuse.bad_frees;
    set_last_error(ERROR_INVALID_HANDLE);
    return hMem;
  }
  if (b->locks > 0) ++s.misuse.locked_frees;
  if (!win32sim::detail::guard_intact(*b)) ++s.misuse.guard_overwrites;
  win32sim::detail::release_locked(s, b);
  return nullptr;
}

extern "C" SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
  State& s = machine();
  std::lock_guard<std::mutex> lock(s.mutex);
  HeapBlock* b = win32sim::detail::block_by_handle_locked(s, hMem);
  if (b == nullptr) {
    set_last_error(ERROR_INVALID_HANDLE);
    return 0;
  }
  return b->size;
}
