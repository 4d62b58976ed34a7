// The DLL's heaps in guest memory: the Windows global heap (GlobalAlloc and friends, fixed and
// movable blocks with lock counts) and the C runtime's heap (malloc, calloc, realloc, free), with
// the Win32 subset's conventions: 16 guard bytes 0xFD behind every block, 0xCD in blocks not
// asked zero-filled, 0xDD in freed ones. Addresses are never reused within a process, so every
// freed block stays poisoned for good; every guest read or write of the heap arena is checked
// against the block map (a freed block, a guard, memory never allocated).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "i686_emulator/cpu.h"

namespace emu {

class Heap {
 public:
  enum Kind { Global = 0, Crt = 1 };
  struct Block {
    uint32_t address = 0, size = 0;
    Kind kind = Global;
    uint32_t handle = 0;  // movable global blocks; else the address
    uint32_t locks = 0;
    bool moveable = false;
  };
  struct Misuse {
    uint64_t bad_frees = 0, locked_frees = 0, guard_overwrites = 0, bad_unlocks = 0;
    uint64_t freed_accesses = 0, stray_accesses = 0;  // guest accesses, see check_access
    uint64_t total() const {
      return bad_frees + locked_frees + guard_overwrites + bad_unlocks + freed_accesses +
             stray_accesses;
    }
  };

  // Maps the arena and reports misuse through `report` (text naming the block and access).
  Heap(Cpu& cpu, std::function<void(const std::string&)> report);

  // Allocates; 0 when the arena is exhausted.
  uint32_t allocate(Kind kind, uint32_t size, bool zero);
  // Frees the block at `address` of `kind`; false (and misuse) when there is none.
  bool release(Kind kind, uint32_t address);
  const Block* block_at(uint32_t address) const;  // a live block starting there
  // True when any byte of [address, address + size) lies in a freed block.
  bool freed(uint32_t address, uint32_t size) const;

  // ---- The global heap's API, with the Windows semantics the library relies on ----
  uint32_t global_alloc(uint32_t flags, uint32_t size);  // handle (movable) or pointer; 0 = none
  uint32_t global_lock(uint32_t handle);                 // pointer; 0 = bad handle
  bool global_unlock(uint32_t handle, bool* still_locked, uint32_t* error);
  uint32_t global_handle(uint32_t pointer);  // 0 = not a block's start
  uint32_t global_free(uint32_t handle);     // 0 on success, else the handle
  uint32_t global_size(uint32_t handle);

  // ---- Guest accesses (memory hook): counts and reports an access to a freed block, a guard
  // or never-allocated memory ----
  void check_access(uint32_t address, uint32_t size, bool write, uint32_t eip);

  size_t live_blocks(Kind kind) const;
  uint64_t live_bytes(Kind kind) const;
  std::vector<Block> live(Kind kind) const;
  const Misuse& misuse() const { return misuse_; }
  uint64_t alloc_calls(Kind kind) const { return calls_[kind]; }

 private:
  enum Granule : uint8_t { Unused = 0, Live = 1, Guard = 2, Freed = 3 };
  void mark(uint32_t address, uint32_t size, Granule state);
  Block* by_handle(uint32_t handle);

  Cpu& cpu_;
  std::function<void(const std::string&)> report_;
  uint32_t next_ = 0;  // bump pointer, offset into the arena
  struct FreeDeleter {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t[], FreeDeleter> granules_;  // one per 16 bytes of arena, lazily zero
  std::map<uint32_t, Block> blocks_;                  // live, by address
  std::map<uint32_t, uint32_t> handles_;              // movable handle -> address
  std::map<uint32_t, uint32_t> freed_;                // address -> size, for the reports
  uint32_t next_handle_ = layout::kHandleValues;
  uint64_t calls_[2] = {0, 0};
  Misuse misuse_;
};

}  // namespace emu
