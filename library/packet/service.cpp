// Starting the packet driver's service and reading the adapters it is bound to.
#include "library/core/record.h"

namespace {

constexpr const WCHAR* kCaption = TEXT("TALVEN.DLL");
// The packet driver's Linkage key is fixed, whatever service name the caller starts.
using talven::wire::kLinkageKeyParts;

void show(const WCHAR* text) {
  MessageBoxW(nullptr, text, kCaption, MB_OK);
}

}  // namespace

extern "C" ULONG WINAPI StartPacketDriver(LPCWSTR serviceName, ULONG) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    show(TEXT("Could not open SC Manager database.\n"));
    return 0;
  }
  SC_HANDLE service = OpenServiceW(manager, serviceName, SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    show(TEXT("Could not open the service.\n"));
    CloseServiceHandle(manager);
    return 0;
  }
  ULONG result = 1;
  if (!StartServiceW(service, 0, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING) {
      WCHAR text[256];
      wsprintfW(text, TEXT("Failed to start the service, ErrorNo: 0x%X(%d).\n"), error, error);
      show(text);
      result = 0;
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

extern "C" ULONG WINAPI StopPacketDriver(ULONG) {
  return 1;
}

extern "C" ULONG WINAPI PacketGetAdapterNames(PVOID buffer, PULONG size) {
  if (talven::refuse_null(TEXT("PacketGetAdapterNames"), {{size, TEXT("size")}})) return 0;
  constexpr size_t kDepth = sizeof kLinkageKeyParts / sizeof kLinkageKeyParts[0];
  HKEY keys[kDepth] = {};
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(kLinkageKeyParts[0]), 0, KEY_READ, &keys[0]) !=
      ERROR_SUCCESS)
    return 0;
  size_t opened = 1;
  while (opened < kDepth && RegOpenKeyExW(keys[opened - 1], wide(kLinkageKeyParts[opened]), 0,
                                          KEY_READ, &keys[opened]) == ERROR_SUCCESS)
    ++opened;
  if (opened == kDepth) {
    DWORD type = 0;
    RegQueryValueExW(keys[kDepth - 1], wide(talven::wire::kLinkageValue), nullptr, &type,
                     static_cast<LPBYTE>(buffer), size);
  }
  while (opened > 0) RegCloseKey(keys[--opened]);
  return 1;
}
