// Opening and closing the adapter under test through the packet driver's device file.
#include "core/record.h"

namespace {

// Counts the characters of a device path, looking no further than one past the longest path
// that fits Adapter.DeviceName.
size_t bounded_length(LPCWSTR path) {
  size_t n = 0;
  while (n <= TALVEN_MAX_DEVICE_PATH && path[n] != 0) ++n;
  return n;
}

HANDLE open_device(const Adapter* adapter) {
  return CreateFileW(adapter->DeviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

// "\\.\" in front of the DOS device name.
constexpr size_t kDosNameStart = 4;

}  // namespace

extern "C" Adapter* WINAPI OpenDUT(LPCWSTR devicePath) {
  if (devicePath == nullptr) {
    OutputDebugStringW(TEXT("TALVEN: OpenDUT device path is NULL !!!\n"));
    return nullptr;
  }
  const size_t length = bounded_length(devicePath);
  if (length < TALVEN_MIN_DEVICE_PATH || length > TALVEN_MAX_DEVICE_PATH) {
    OutputDebugStringW(TEXT("TALVEN: OpenDUT device path must be 8 to 60 characters !!!\n"));
    return nullptr;
  }

  talven::GlobalBlock block(sizeof(Adapter));
  if (!block) {
    OutputDebugStringW(TEXT("   TALVEN: OpenDUT GlobalAlloc Failed\n"));
    OutputDebugStringW(TEXT("<==TALVEN: -OpenDUT\n"));
    return nullptr;
  }
  auto* adapter = static_cast<Adapter*>(block.get());
  // The first 8 characters are the device-directory prefix ("\Device\").
  wsprintfW(adapter->DeviceName, TEXT("\\\\.\\%s%s"), TEXT("Packet_"),
            devicePath + TALVEN_MIN_DEVICE_PATH);

  adapter->Handle = open_device(adapter);
  if (adapter->Handle != INVALID_HANDLE_VALUE) {
    OutputDebugStringW(TEXT("OpenDUT success.\n"));
    return static_cast<Adapter*>(block.release());
  }

  // No DOS name for the device yet: define it onto the kernel path and try once more.
  if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, adapter->DeviceName + kDosNameStart, devicePath)) {
    OutputDebugStringW(TEXT("TALVEN:: DefineDosDevice() failed !!!\n"));
  } else {
    adapter->Handle = open_device(adapter);
    if (adapter->Handle != INVALID_HANDLE_VALUE) return static_cast<Adapter*>(block.release());
    OutputDebugStringW(TEXT("TALVEN:: CreateFile() failed !!!\n"));
  }
  OutputDebugStringW(TEXT("TALVEN: OpenDUT Could not open adapter\n"));
  return nullptr;
}

extern "C" ULONG WINAPI CloseDUT(Adapter* adapter) {
  if (adapter == nullptr) {
    OutputDebugStringW(TEXT("TALVEN: CloseDUT Adapter == NULL !!!\n"));
    return 0;
  }
  const BOOL closed = CloseHandle(adapter->Handle);
  if (closed == 1) {
    talven::global_record_free(adapter);
    OutputDebugStringW(TEXT("TALVEN: CloseDUT Success.\n"));
    return 1;
  }
  OutputDebugStringW(TEXT("TALVEN: CloseDUT CloseHandle() failed !!!\n"));
  return static_cast<ULONG>(closed);
}
