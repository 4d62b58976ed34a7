#include "i686_emulator/cpu.h"

#include <sys/mman.h>

#include <cstring>
#include <stdexcept>

namespace emu {
namespace {

constexpr uint32_t kPage = 0x1000;

// A segment descriptor: base, 20-bit limit, access byte, flags nibble (G, D/B).
uint64_t descriptor(uint32_t base, uint32_t limit, uint8_t access, uint8_t flags) {
  uint64_t d = (limit & 0xFFFFu) | uint64_t(base & 0xFFFFFFu) << 16;
  d |= uint64_t(access) << 40;
  d |= uint64_t((limit >> 16) & 0xFu) << 48;
  d |= uint64_t(flags & 0xFu) << 52;
  d |= uint64_t(base >> 24) << 56;
  return d;
}

constexpr uint8_t kCodeAccess = 0x9A;  // present, ring 0, code, execute/read
constexpr uint8_t kDataAccess = 0x92;  // present, ring 0, data, read/write
constexpr uint8_t kFlat = 0xC;         // 4 KB granularity, 32-bit

void check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

}  // namespace

Cpu::Cpu() {
  check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
  map(layout::kGdt, kPage, kProtRead | kProtWrite, "GDT");
  const uint64_t null = 0;
  write(layout::kGdt, &null, 8);
  const uint64_t code = descriptor(0, 0xFFFFF, kCodeAccess, kFlat);
  const uint64_t data = descriptor(0, 0xFFFFF, kDataAccess, kFlat);
  write(layout::kGdt + 8 * kCodeIndex, &code, 8);
  write(layout::kGdt + 8 * kDataIndex, &data, 8);
  uc_x86_mmr gdtr{};
  gdtr.base = layout::kGdt;
  gdtr.limit = kPage - 1;
  check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "GDTR");
  // A 32-bit stack segment is essential: without it pushes use the 16-bit SP.
  for (int id : {UC_X86_REG_SS, UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_GS}) {
    const uint32_t sel = selector(kDataIndex);
    check(uc_reg_write(uc_, id, &sel), "segment");
  }
  // SSE on (OSFXSR, OSXMMEXCPT), x87 present: MXCSR is part of the state each call keeps.
  uint32_t cr4 = reg(UC_X86_REG_CR4) | (1u << 9) | (1u << 10);
  check(uc_reg_write(uc_, UC_X86_REG_CR4, &cr4), "CR4");
  uint32_t cr0 = (reg(UC_X86_REG_CR0) | 0x2u | 0x1u) & ~0x4u;
  check(uc_reg_write(uc_, UC_X86_REG_CR0, &cr0), "CR0");
}

Cpu::~Cpu() {
  if (uc_ != nullptr) uc_close(uc_);
  for (auto& entry : regions_) munmap(entry.second.memory, entry.second.size);
}

void Cpu::map(uint32_t address, uint32_t size, int prot, const std::string& name) {
  size = (size + kPage - 1) & ~(kPage - 1);
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) throw std::runtime_error("mmap for " + name);
  check(uc_mem_map_ptr(uc_, address, size, uint32_t(prot), memory), name.c_str());
  regions_[address] = Region{size, name, memory};
}

void Cpu::unmap(uint32_t address, uint32_t size) {
  auto it = regions_.find(address);
  if (it == regions_.end()) return;
  size = it->second.size;
  uc_mem_unmap(uc_, address, size);
  munmap(it->second.memory, size);
  regions_.erase(it);
}

bool Cpu::protect(uint32_t address, uint32_t size, int prot) {
  return uc_mem_protect(uc_, address & ~(kPage - 1),
                        ((address + size + kPage - 1) & ~(kPage - 1)) - (address & ~(kPage - 1)),
                        uint32_t(prot)) == UC_ERR_OK;
}

const Cpu::Region* Cpu::region_of(uint32_t address, uint32_t* start) const {
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return nullptr;
  --it;
  if (address - it->first >= it->second.size) return nullptr;
  *start = it->first;
  return &it->second;
}

bool Cpu::mapped(uint32_t address) const {
  uint32_t start = 0;
  return region_of(address, &start) != nullptr;
}

uint8_t* Cpu::host(uint32_t address, uint32_t size) const {
  uint32_t start = 0;
  const Region* r = region_of(address, &start);
  if (r == nullptr) return nullptr;
  const uint64_t offset = address - start;
  if (offset + size > r->size) return nullptr;
  return static_cast<uint8_t*>(r->memory) + offset;
}

std::string Cpu::region_name(uint32_t address) const {
  uint32_t start = 0;
  const Region* r = region_of(address, &start);
  return r != nullptr ? r->name : "unmapped";
}

bool Cpu::read(uint32_t address, void* out, uint32_t size) const {
  const uint8_t* p = host(address, size);
  if (p == nullptr) return false;
  std::memcpy(out, p, size);
  return true;
}

bool Cpu::write(uint32_t address, const void* data, uint32_t size) {
  uint8_t* p = host(address, size);
  if (p == nullptr) return false;
  std::memcpy(p, data, size);
  return true;
}

uint32_t Cpu::read32(uint32_t address) const {
  uint32_t v = 0;
  read(address, &v, 4);
  return v;
}

bool Cpu::write32(uint32_t address, uint32_t value) {
  return write(address, &value, 4);
}

bool Cpu::read_wide(uint32_t address, std::u16string* out, size_t limit) const {
  out->clear();
  for (size_t i = 0; i < limit; ++i) {
    uint16_t c = 0;
    if (!read(address + uint32_t(2 * i), &c, 2)) return false;
    if (c == 0) return true;
    out->push_back(char16_t(c));
  }
  return false;
}

bool Cpu::read_narrow(uint32_t address, std::string* out, size_t limit) const {
  out->clear();
  for (size_t i = 0; i < limit; ++i) {
    char c = 0;
    if (!read(address + uint32_t(i), &c, 1)) return false;
    if (c == 0) return true;
    out->push_back(c);
  }
  return false;
}

uint32_t Cpu::reg(int id) const {
  uint32_t v = 0;
  uc_reg_read(uc_, id, &v);
  return v;
}

void Cpu::set_reg(int id, uint32_t value) {
  uc_reg_write(uc_, id, &value);
}

void Cpu::set_data_segment(uint32_t index, uint32_t base, uint32_t limit) {
  const uint64_t d = descriptor(base, limit, kDataAccess, 0x4);  // byte granularity, 32-bit
  write(layout::kGdt + 8 * index, &d, 8);
}

uc_context* Cpu::new_context() {
  uc_context* c = nullptr;
  check(uc_context_alloc(uc_, &c), "uc_context_alloc");
  return c;
}

void Cpu::save(uc_context* context) {
  check(uc_context_save(uc_, context), "uc_context_save");
}

void Cpu::restore(uc_context* context) {
  check(uc_context_restore(uc_, context), "uc_context_restore");
}

}  // namespace emu
