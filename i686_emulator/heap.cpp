#include "i686_emulator/heap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace emu {
namespace {

constexpr uint32_t kGranule = 16;
constexpr uint32_t kGuardSize = 16;
constexpr uint8_t kGuardByte = 0xFD;
constexpr uint8_t kFillByte = 0xCD;
constexpr uint8_t kPoisonByte = 0xDD;
constexpr uint32_t kGmemMoveable = 0x0002, kGmemZeroinit = 0x0040;

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

uint32_t round_up(uint32_t v) {
  return (v + kGranule - 1) & ~(kGranule - 1);
}

}  // namespace

void Heap::FreeDeleter::operator()(uint8_t* p) const {
  std::free(p);
}

Heap::Heap(Cpu& cpu, std::function<void(const std::string&)> report)
    : cpu_(cpu),
      report_(std::move(report)),
      granules_(static_cast<uint8_t*>(std::calloc(layout::kHeapSize / kGranule, 1))) {
  cpu_.map(layout::kHeap, layout::kHeapSize, kProtRead | kProtWrite, "heap");
}

void Heap::mark(uint32_t address, uint32_t size, Granule state) {
  const uint32_t first = (address - layout::kHeap) / kGranule;
  const uint32_t count = round_up(size) / kGranule;
  std::memset(granules_.get() + first, state, count);
}

uint32_t Heap::allocate(Kind kind, uint32_t size, bool zero) {
  ++calls_[kind];
  const uint32_t body = round_up(size == 0 ? 1 : size);
  const uint64_t need = uint64_t(body) + kGuardSize;
  if (uint64_t(next_) + need > layout::kHeapSize) return 0;
  const uint32_t address = layout::kHeap + next_;
  next_ += uint32_t(need);
  uint8_t* p = cpu_.host(address, uint32_t(need));
  std::memset(p, zero ? 0 : kFillByte, size);
  std::memset(p + size, kGuardByte, uint32_t(need) - size);
  mark(address, body, Live);
  mark(address + body, kGuardSize, Guard);
  Block b;
  b.address = address;
  b.size = size;
  b.kind = kind;
  b.handle = address;
  blocks_[address] = b;
  return address;
}

bool Heap::release(Kind kind, uint32_t address) {
  auto it = blocks_.find(address);
  if (it == blocks_.end() || it->second.kind != kind) {
    ++misuse_.bad_frees;
    report_("free of " + hex(address) + ", which is not a live block of this heap");
    return false;
  }
  const Block b = it->second;
  const uint32_t body = round_up(b.size == 0 ? 1 : b.size);
  const uint8_t* p = cpu_.host(address, body + kGuardSize);
  for (uint32_t i = b.size; i < body + kGuardSize; ++i) {
    if (p[i] != kGuardByte) {
      ++misuse_.guard_overwrites;
      report_("block " + hex(address) + " of " + std::to_string(b.size) +
              " bytes was written past its end (byte " + std::to_string(i) + ")");
      break;
    }
  }
  std::memset(cpu_.host(address, body), kPoisonByte, body);
  mark(address, body, Freed);
  if (b.moveable) handles_.erase(b.handle);
  blocks_.erase(it);
  freed_[address] = b.size;
  return true;
}

const Heap::Block* Heap::block_at(uint32_t address) const {
  auto it = blocks_.find(address);
  return it == blocks_.end() ? nullptr : &it->second;
}

bool Heap::freed(uint32_t address, uint32_t size) const {
  if (size == 0 || address < layout::kHeap || address - layout::kHeap >= layout::kHeapSize)
    return false;
  const uint32_t first = (address - layout::kHeap) / kGranule;
  const uint32_t last = (address + size - 1 - layout::kHeap) / kGranule;
  for (uint32_t g = first; g <= last && g < layout::kHeapSize / kGranule; ++g)
    if (granules_[g] == Freed) return true;
  return false;
}

Heap::Block* Heap::by_handle(uint32_t handle) {
  auto h = handles_.find(handle);
  const uint32_t address = h != handles_.end() ? h->second : handle;
  auto it = blocks_.find(address);
  if (it == blocks_.end() || it->second.kind != Global || it->second.handle != handle)
    return nullptr;
  return &it->second;
}

uint32_t Heap::global_alloc(uint32_t flags, uint32_t size) {
  const uint32_t address = allocate(Global, size, (flags & kGmemZeroinit) != 0);
  if (address == 0) return 0;
  Block& b = blocks_[address];
  b.moveable = (flags & kGmemMoveable) != 0;
  if (b.moveable) {
    b.handle = next_handle_;
    next_handle_ += 8;
    handles_[b.handle] = address;
  }
  return b.handle;
}

uint32_t Heap::global_lock(uint32_t handle) {
  Block* b = by_handle(handle);
  if (b == nullptr) return 0;
  if (b->moveable) ++b->locks;
  return b->address;
}

bool Heap::global_unlock(uint32_t handle, bool* still_locked, uint32_t* error) {
  *still_locked = false;
  Block* b = by_handle(handle);
  if (b == nullptr || (b->moveable && b->locks == 0)) {
    ++misuse_.bad_unlocks;
    report_("GlobalUnlock of " + hex(handle) +
            (b == nullptr ? ", not a live block" : ", not locked"));
    *error = b == nullptr ? 6 : 158;  // ERROR_INVALID_HANDLE, ERROR_NOT_LOCKED
    return false;
  }
  *error = 0;
  if (!b->moveable) return true;
  *still_locked = --b->locks > 0;
  return *still_locked;
}

uint32_t Heap::global_handle(uint32_t pointer) {
  auto it = blocks_.find(pointer);
  if (it == blocks_.end() || it->second.kind != Global) return 0;
  return it->second.handle;
}

uint32_t Heap::global_free(uint32_t handle) {
  Block* b = by_handle(handle);
  if (b == nullptr) {
    ++misuse_.bad_frees;
    report_("GlobalFree of " + hex(handle) + ", not a live block");
    return handle;
  }
  if (b->locks > 0) {
    ++misuse_.locked_frees;
    report_("GlobalFree of " + hex(handle) + " while it is still locked");
  }
  release(Global, b->address);
  return 0;
}

uint32_t Heap::global_size(uint32_t handle) {
  Block* b = by_handle(handle);
  return b == nullptr ? 0 : b->size;
}

void Heap::check_access(uint32_t address, uint32_t size, bool write, uint32_t eip) {
  if (address < layout::kHeap || address - layout::kHeap >= layout::kHeapSize) return;
  const uint32_t first = (address - layout::kHeap) / kGranule;
  const uint32_t last = (address + (size == 0 ? 0 : size - 1) - layout::kHeap) / kGranule;
  for (uint32_t g = first; g <= last && g < layout::kHeapSize / kGranule; ++g) {
    const uint8_t state = granules_[g];
    if (state == Live) continue;
    const char* kind = write ? "write" : "read";
    if (state == Freed) {
      ++misuse_.freed_accesses;
      auto it = freed_.upper_bound(address);
      std::string block = "a freed block";
      if (it != freed_.begin()) {
        --it;
        block = "the freed block " + hex(it->first) + " (" + std::to_string(it->second) + " bytes)";
      }
      report_(std::string(kind) + " of " + std::to_string(size) + " bytes at " + hex(address) +
              " in " + block + ", by the instruction at " + hex(eip));
    } else {
      ++misuse_.stray_accesses;
      report_(
          std::string(kind) + " of " + std::to_string(size) + " bytes at " + hex(address) +
          (state == Guard ? " past the end of a heap block" : " in heap memory never allocated") +
          ", by the instruction at " + hex(eip));
    }
    return;
  }
}

size_t Heap::live_blocks(Kind kind) const {
  size_t n = 0;
  for (const auto& e : blocks_) n += e.second.kind == kind;
  return n;
}

uint64_t Heap::live_bytes(Kind kind) const {
  uint64_t n = 0;
  for (const auto& e : blocks_)
    if (e.second.kind == kind) n += e.second.size;
  return n;
}

std::vector<Heap::Block> Heap::live(Kind kind) const {
  std::vector<Block> out;
  for (const auto& e : blocks_)
    if (e.second.kind == kind) out.push_back(e.second);
  return out;
}

}  // namespace emu
