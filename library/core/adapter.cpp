// Opening and closing the adapter under test through the packet driver's device file.
#include <new>

#include "library/core/adapter.h"
#include "library/core/record.h"

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
constexpr size_t kDosNameStart = sizeof talven::wire::kDevicePrefix / sizeof(char16_t) - 1;

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

  talven::GlobalBlock block(sizeof(talven::AdapterRecord));
  if (!block) {
    OutputDebugStringW(TEXT("   TALVEN: OpenDUT GlobalAlloc Failed\n"));
    OutputDebugStringW(TEXT("<==TALVEN: -OpenDUT\n"));
    return nullptr;
  }
  auto* record = new (block.get()) talven::AdapterRecord{};
  Adapter* adapter = &record->adapter;
  // The first 8 characters are the device-directory prefix ("\Device\").
  wsprintfW(adapter->DeviceName, TEXT("%s%s%s"), wide(talven::wire::kDevicePrefix),
            wide(talven::wire::kPacketPrefix), devicePath + talven::wire::kSkippedPathChars);

  adapter->Handle = open_device(adapter);
  if (adapter->Handle != INVALID_HANDLE_VALUE) {
    OutputDebugStringW(TEXT("OpenDUT success.\n"));
    return static_cast<Adapter*>(block.release());
  }

  // No DOS name for the device yet: define it onto the kernel path and try once more.
  const WCHAR* dos_name = adapter->DeviceName + kDosNameStart;
  if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, dos_name, devicePath)) {
    OutputDebugStringW(TEXT("TALVEN:: DefineDosDevice() failed !!!\n"));
  } else {
    adapter->Handle = open_device(adapter);
    if (adapter->Handle != INVALID_HANDLE_VALUE) return static_cast<Adapter*>(block.release());
    OutputDebugStringW(TEXT("TALVEN:: CreateFile() failed !!!\n"));
    // The name led nowhere: take back this one definition, so that a station polling for an
    // adapter does not pile up mappings.
    DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                     dos_name, devicePath);
  }
  OutputDebugStringW(TEXT("TALVEN: OpenDUT Could not open adapter\n"));
  return nullptr;
}

extern "C" ULONG WINAPI CloseDUT(Adapter* adapter) {
  if (adapter == nullptr) {
    OutputDebugStringW(TEXT("TALVEN: CloseDUT Adapter == NULL !!!\n"));
    return 0;
  }
  // A continuous transmission through this adapter ends before the adapter does: its workers
  // write through the handle and use the record. Other adapters' transmissions go on.
  if (talven::workers_on(adapter) != 0) talven::StopContinuousTxOn(adapter);
  const BOOL closed = CloseHandle(adapter->Handle);
  if (closed == 1) {
    if (talven::workers_on(adapter) == 0) {
      talven::global_record_free(adapter);
    } else {
      // A worker that did not end may still lower its count in the record: it stays.
      OutputDebugStringW(
          TEXT("TALVEN: CloseDUT a transmit worker did not end, its record is kept\n"));
    }
    OutputDebugStringW(TEXT("TALVEN: CloseDUT Success.\n"));
    return 1;
  }
  // The adapter stays the caller's; with its workers gone, it may transmit again.
  if (talven::workers_on(adapter) == 0) talven::record_of(adapter)->tx_closing.store(0);
  OutputDebugStringW(TEXT("TALVEN: CloseDUT CloseHandle() failed !!!\n"));
  return static_cast<ULONG>(closed);
}
