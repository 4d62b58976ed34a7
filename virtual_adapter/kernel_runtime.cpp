// The C++ runtime a kernel driver needs and libstdc++ cannot give it: operator new and delete
// over the non-paged pool, and the pure-virtual trap. No global constructors run in this driver
// (nothing walks __CTOR_LIST__), so globals must be constant-initialised.
#include <new>

#include "virtual_adapter/kernel.h"

// libstdc++ defines the tag object; this driver links without it. Constant-initialised.
namespace std {
const nothrow_t nothrow{};
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return ExAllocatePoolWithTag(NonPagedPool, size != 0 ? size : 1, vadapter::kPoolTag);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
// Built with -fno-exceptions: a plain new cannot report failure, so callers use the nothrow
// form; these exist for completeness and return null on failure all the same.
void* operator new(size_t size) {
  return operator new(size, std::nothrow);
}
void* operator new[](size_t size) {
  return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
  if (p != nullptr) ExFreePoolWithTag(p, vadapter::kPoolTag);
}
void operator delete[](void* p) noexcept {
  operator delete(p);
}
void operator delete(void* p, size_t) noexcept {
  operator delete(p);
}
void operator delete[](void* p, size_t) noexcept {
  operator delete(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  operator delete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  operator delete(p);
}

extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(0xDEADDEAD, 0, 0, 0, 0);
}
