// The emulated x86-32 CPU (Unicorn) and its address space: host-backed memory regions, a GDT
// with a flat 32-bit code and data segment and one data segment per thread's TEB, register
// access and whole-context save and restore.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace emu {

// Guest address layout.
namespace layout {
constexpr uint32_t kGdt = 0x00010000;          // one page
constexpr uint32_t kThunks = 0x00020000;       // import thunks and host stubs, 64 KB
constexpr uint32_t kRuntimeData = 0x00030000;  // data the host hands the DLL (msvcrt variables)
constexpr uint32_t kCaller = 0x00400000;       // the calling program's own memory, 1 MB
constexpr uint32_t kCallerSize = 0x00100000;
constexpr uint32_t kThreadSlots = 0x01000000;     // stacks and TEBs, one slot per thread
constexpr uint32_t kThreadSlotSize = 0x00030000;  // 128 KB stack, a TEB page, an unmapped gap
constexpr uint32_t kStackSize = 0x00020000;
constexpr uint32_t kMaxThreads = 2048;
constexpr uint32_t kHeap = 0x20000000;  // the global heap and the C runtime's heap
constexpr uint32_t kHeapSize = 0x20000000;
constexpr uint32_t kHandleValues = 0x0F000000;  // movable global blocks' handles (never mapped)
constexpr uint32_t kOtherBase = 0x10000000;     // the second load base
}  // namespace layout

constexpr int kProtRead = UC_PROT_READ, kProtWrite = UC_PROT_WRITE, kProtExec = UC_PROT_EXEC;

class Cpu {
 public:
  Cpu();
  ~Cpu();
  Cpu(const Cpu&) = delete;
  Cpu& operator=(const Cpu&) = delete;

  uc_engine* uc() const { return uc_; }

  // ---- Memory: page-aligned regions backed by host memory ----
  // Large regions are reserved lazily (pages cost memory only when touched).
  void map(uint32_t address, uint32_t size, int prot, const std::string& name);
  void unmap(uint32_t address, uint32_t size);
  bool protect(uint32_t address, uint32_t size, int prot);
  bool mapped(uint32_t address) const;
  // Host view of [address, address + size) when it lies inside one mapped region; else null.
  uint8_t* host(uint32_t address, uint32_t size) const;
  // The region holding an address, as the name given to map().
  std::string region_name(uint32_t address) const;

  bool read(uint32_t address, void* out, uint32_t size) const;
  bool write(uint32_t address, const void* data, uint32_t size);
  uint32_t read32(uint32_t address) const;  // 0 when unmapped (callers validate first)
  bool write32(uint32_t address, uint32_t value);
  // A NUL-terminated string of at most `limit` units; false when it runs into unmapped memory
  // or past the limit.
  bool read_wide(uint32_t address, std::u16string* out, size_t limit = 4096) const;
  bool read_narrow(uint32_t address, std::string* out, size_t limit = 4096) const;

  // ---- Registers ----
  uint32_t reg(int id) const;
  void set_reg(int id, uint32_t value);
  uint32_t eip() const { return reg(UC_X86_REG_EIP); }
  uint32_t esp() const { return reg(UC_X86_REG_ESP); }

  // ---- Segments: GDT entry `index` as a 32-bit data segment based at `base` ----
  void set_data_segment(uint32_t index, uint32_t base, uint32_t limit);
  static uint16_t selector(uint32_t index) { return uint16_t(index << 3); }
  static constexpr uint32_t kCodeIndex = 1, kDataIndex = 2, kFirstTebIndex = 3;

  // ---- Contexts ----
  uc_context* new_context();
  void save(uc_context* context);
  void restore(uc_context* context);

 private:
  struct Region {
    uint32_t size;
    std::string name;
    void* memory;  // mmap'ed, size bytes
  };
  const Region* region_of(uint32_t address, uint32_t* start) const;

  uc_engine* uc_ = nullptr;
  std::map<uint32_t, Region> regions_;  // by start address
};

}  // namespace emu
