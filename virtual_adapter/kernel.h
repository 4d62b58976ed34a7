// The kernel headers as C++ sees them, and the few helpers every file of the driver uses.
// MinGW-w64's <ddk/wdm.h> needs two intrinsics declared as already defined to compile as C++.
#pragma once

#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ddk/wdm.h>

#include <cstdint>

// Kernel routines <ddk/wdm.h> leaves to <ddk/ntifs.h>, which does not build in this setting;
// all exported by ntoskrnl.exe since Windows 2000.
extern "C" {
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL acl, ULONG length, ULONG revision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL acl, ULONG revision, ACCESS_MASK mask,
                                               PSID sid);
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG attributes,
                                                 PACCESS_STATE access_state, ACCESS_MASK access,
                                                 POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                                 PHANDLE handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                            PSECURITY_DESCRIPTOR descriptor);
NTSYSAPI NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                              PSECURITY_DESCRIPTOR descriptor, ULONG length,
                                              PULONG needed);
}

namespace vadapter {

// Pool tag of every allocation the driver makes ("TVad" in a pool dump).
constexpr ULONG kPoolTag = 0x64615654;

// The driver's one lock: a spin lock, held only for short, non-blocking work (never across
// IoCompleteRequest, a timer call or a wait).
class SpinLock {
 public:
  void init() { KeInitializeSpinLock(&lock_); }
  KSPIN_LOCK* raw() { return &lock_; }

 private:
  KSPIN_LOCK lock_;
};

class LockGuard {
 public:
  explicit LockGuard(SpinLock& lock) : lock_(lock) { KeAcquireSpinLock(lock_.raw(), &irql_); }
  ~LockGuard() { KeReleaseSpinLock(lock_.raw(), irql_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  SpinLock& lock_;
  KIRQL irql_;
};

// A counted UNICODE_STRING over a constant wide literal (no copy; the literal outlives it).
template <size_t N>
UNICODE_STRING unicode(const char16_t (&text)[N]) {
  UNICODE_STRING s;
  s.Length = USHORT((N - 1) * sizeof(WCHAR));
  s.MaximumLength = USHORT(N * sizeof(WCHAR));
  s.Buffer = const_cast<PWCH>(reinterpret_cast<const WCHAR*>(text));
  return s;
}

}  // namespace vadapter
