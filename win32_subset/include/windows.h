/*
 * windows.h - the part of the Win32 API that talven uses, for building and running it on Linux.
 *
 * Types, constants and functions carry their Windows names, signatures and values (DWORD is 32
 * bits, WCHAR is a UTF-16 code unit, error codes are the Win32 ones). The functions run over
 * in-process models of the kernel objects; win32sim/machine.h sets up and observes the machine
 * they run on. Usable from C and C++.
 */
#ifndef TALVEN_WIN32_SUBSET_WINDOWS_H
#define TALVEN_WIN32_SUBSET_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

/* ---- Calling conventions (one convention on x86-64) ---- */
#define WINAPI
#define WINAPIV
#define APIENTRY
#define CALLBACK
#define CONST const

#ifdef __cplusplus
#define WIN32SIM_EXTERN_C extern "C"
#else
#define WIN32SIM_EXTERN_C
#endif

/* ---- Basic types ---- */
typedef void VOID;
typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef DWORD ACCESS_MASK;

#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef UCHAR* PUCHAR;
typedef WORD* PWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* PWCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;

#ifdef UNICODE
typedef WCHAR TCHAR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
#endif

/* Strings of TEXT() are UTF-16 (L"" on Windows, where wchar_t is 16 bits). */
#define TEXT(s) u##s
#define __TEXT(s) u##s

/* ---- Handles ---- */
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;
#define WIN32SIM_DECLARE_HANDLE(name) \
  struct name##__ {                   \
    int unused;                       \
  };                                  \
  typedef struct name##__* name
WIN32SIM_DECLARE_HANDLE(HINSTANCE);
WIN32SIM_DECLARE_HANDLE(HWND);
WIN32SIM_DECLARE_HANDLE(HKEY);
WIN32SIM_DECLARE_HANDLE(SC_HANDLE);
typedef HINSTANCE HMODULE;
typedef HKEY* PHKEY;
typedef SC_HANDLE* LPSC_HANDLE;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* ---- Records ---- */
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

/* ---- Constants ---- */
#define TRUE 1
#define FALSE 0

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define DDD_RAW_TARGET_PATH 0x00000001u
#define DDD_REMOVE_DEFINITION 0x00000002u
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004u
#define DDD_NO_BROADCAST_SYSTEM 0x00000008u

#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u
#define CREATE_SUSPENDED 0x00000004u

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ICONERROR 0x00000010u
#define MB_ICONHAND MB_ICONERROR
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1
#define IDCANCEL 2

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x20019u
#define KEY_ALL_ACCESS 0xF003Fu
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_ALL_ACCESS 0xF01FFu

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define STATUS_PENDING ((DWORD)0x00000103u)

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NOT_LOCKED 158L
#define ERROR_MORE_DATA 234L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_NOT_FOUND 1168L

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

/* The system writes Internal when the request completes, from another thread: a word-sized
   store that the caller polls, read here as the atomic load it is on the hardware. */
#define HasOverlappedIoCompleted(lpOverlapped) \
  (((DWORD)__atomic_load_n(&(lpOverlapped)->Internal, __ATOMIC_ACQUIRE)) != STATUS_PENDING)

/* ---- kernel32: handles, files and device I/O ---- */
WIN32SIM_EXTERN_C HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess,
                                            DWORD dwShareMode,
                                            LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                            DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                            HANDLE hTemplateFile);
WIN32SIM_EXTERN_C BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName,
                                               LPCWSTR lpTargetPath);
WIN32SIM_EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);
WIN32SIM_EXTERN_C BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode,
                                              LPVOID lpInBuffer, DWORD nInBufferSize,
                                              LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                              LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
WIN32SIM_EXTERN_C BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WIN32SIM_EXTERN_C BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                                  LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WIN32SIM_EXTERN_C BOOL WINAPI CancelIo(HANDLE hFile);
WIN32SIM_EXTERN_C BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

/* ---- kernel32: events, waits, threads ---- */
WIN32SIM_EXTERN_C HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes,
                                             BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
WIN32SIM_EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent);
WIN32SIM_EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent);
WIN32SIM_EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WIN32SIM_EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                             SIZE_T dwStackSize,
                                             LPTHREAD_START_ROUTINE lpStartAddress,
                                             LPVOID lpParameter, DWORD dwCreationFlags,
                                             LPDWORD lpThreadId);
WIN32SIM_EXTERN_C DWORD WINAPI ResumeThread(HANDLE hThread);
WIN32SIM_EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WIN32SIM_EXTERN_C VOID WINAPI Sleep(DWORD dwMilliseconds);
WIN32SIM_EXTERN_C DWORD WINAPI GetTickCount(void);
WIN32SIM_EXTERN_C BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName,
                                                 HMODULE* phModule);
WIN32SIM_EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WIN32SIM_EXTERN_C __attribute__((noreturn)) VOID WINAPI FreeLibraryAndExitThread(HMODULE hLibModule,
                                                                                 DWORD dwExitCode);
WIN32SIM_EXTERN_C DWORD WINAPI GetLastError(void);
WIN32SIM_EXTERN_C VOID WINAPI SetLastError(DWORD dwErrCode);
WIN32SIM_EXTERN_C DWORD WINAPI GetCurrentThreadId(void);

/* ---- kernel32: global heap ---- */
WIN32SIM_EXTERN_C HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
WIN32SIM_EXTERN_C LPVOID WINAPI GlobalLock(HGLOBAL hMem);
WIN32SIM_EXTERN_C BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
WIN32SIM_EXTERN_C HGLOBAL WINAPI GlobalHandle(LPCVOID pMem);
WIN32SIM_EXTERN_C HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);
WIN32SIM_EXTERN_C SIZE_T WINAPI GlobalSize(HGLOBAL hMem);

/* ---- kernel32 and user32: text and user interface ---- */
WIN32SIM_EXTERN_C VOID WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
WIN32SIM_EXTERN_C int WINAPI lstrlenW(LPCWSTR lpString);
WIN32SIM_EXTERN_C int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
WIN32SIM_EXTERN_C int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

/* ---- advapi32: service control manager and registry ---- */
WIN32SIM_EXTERN_C SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                                  DWORD dwDesiredAccess);
WIN32SIM_EXTERN_C SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                                DWORD dwDesiredAccess);
WIN32SIM_EXTERN_C BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                                            LPCWSTR* lpServiceArgVectors);
WIN32SIM_EXTERN_C BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);
WIN32SIM_EXTERN_C LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                               REGSAM samDesired, PHKEY phkResult);
WIN32SIM_EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName,
                                                  LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                                  LPDWORD lpcbData);
WIN32SIM_EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey);

#endif /* TALVEN_WIN32_SUBSET_WINDOWS_H */
