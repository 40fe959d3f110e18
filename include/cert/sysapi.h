// The Windows system services beyond files that the library calls: the
// registry, events, threads and interlocked counters, for Linux.
//
// Registry keys and kernel objects are 32-bit ids from locked tables; the
// pointer-typed HKEY and HANDLE only carry the id (through uintptr_t), they
// never point anywhere.
#pragma once

#include <cstdint>
#include <string>

#include "cert/export.h"
#include "cert/platform.h"

#ifndef WINAPI
#define WINAPI
#endif
#ifndef __stdcall
#define __stdcall
#endif

constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTREAD = 1012;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_BADKEY = 1010;

// ---------------------------------------------------------------------------
// Registry. HKEY_LOCAL_MACHINE lives in $CERT_HOME/common/registry.txt,
// HKEY_CURRENT_USER in $CERT_HOME/local/registry.txt (layout in
// docs/FORMATS.md). Every call sees what other processes wrote before it.

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;  // accepted; there is one view
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// All return ERROR_SUCCESS or a Windows error code (and do not touch the
// thread's last error, as on Windows). Sizes are in bytes; name lengths in
// characters without the terminating NUL on return, with it on input.
CERT_API LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result);
CERT_API LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM sam,
                              void* security, PHKEY result, LPDWORD disposition);
CERT_API LONG RegCloseKey(HKEY key);
// `data` null with `dataSize` given: only the size. Too small a buffer gives
// ERROR_MORE_DATA with the required size in *dataSize.
CERT_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD dataSize);
CERT_API LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
CERT_API LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
// Fails with ERROR_ACCESS_DENIED while the key has subkeys.
CERT_API LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
// Removes the subkey (or, with a null/empty name, everything below `key`).
CERT_API LONG RegDeleteTreeA(HKEY key, LPCSTR subKey);
// Subkeys enumerate in case-insensitive name order, values in creation order.
CERT_API LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPSTR keyClass,
                            LPDWORD classLength, FILETIME* lastWriteTime);
CERT_API LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength, LPDWORD reserved,
                            LPDWORD type, LPBYTE data, LPDWORD dataSize);
CERT_API LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                               LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                               LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                               FILETIME* lastWriteTime);

namespace cert::platform {

// Convenience over the calls above: one value of `hive`\`keyPath`.
struct CERT_API Registry {
    // False when the key or value is missing or has another type.
    static bool GetString(HKEY hive, const std::string& keyPath, const std::string& name, std::string& value);
    static bool GetDword(HKEY hive, const std::string& keyPath, const std::string& name, DWORD& value);
    // Create the key as needed; return the registry error code.
    static LONG SetString(HKEY hive, const std::string& keyPath, const std::string& name, const std::string& value);
    static LONG SetDword(HKEY hive, const std::string& keyPath, const std::string& name, DWORD value);
};

// The file a predefined hive is kept in under the current $CERT_HOME.
CERT_API std::string RegistryFile(HKEY hive);

}  // namespace cert::platform

// ---------------------------------------------------------------------------
// Kernel objects: events and threads behind waitable HANDLEs.

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD SYNCHRONIZE = 0x00100000;

// Named events are shared within the process only; opening an existing name
// returns a new handle to it and sets the last error to ERROR_ALREADY_EXISTS.
CERT_API HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, LPCSTR name);
CERT_API HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
CERT_API BOOL SetEvent(HANDLE event);
CERT_API BOOL ResetEvent(HANDLE event);
// WAIT_OBJECT_0 (+ index), WAIT_TIMEOUT or WAIT_FAILED with the last error.
// Satisfying a wait resets an auto-reset event; waiting for all takes every
// object at once or none.
CERT_API DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
CERT_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds);
// The object lives on while a wait or a running thread still uses it.
CERT_API BOOL CloseHandle(HANDLE object);
// A second handle to the same object.
CERT_API BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD access,
                              BOOL inherit, DWORD options);

// A thread whose handle is signalled when it ends. Returns the handle as an
// integer (0 and errno/last error on failure), as the C runtime does.
using TOOThreadProc = unsigned(__stdcall*)(void*);
CERT_API uintptr_t _beginthreadex(void* security, unsigned stackSize, TOOThreadProc start, void* arg, unsigned flags,
                                  unsigned* threadId);
// Starts a thread created with CREATE_SUSPENDED; returns the previous
// suspend count, (DWORD)-1 on error.
CERT_API DWORD ResumeThread(HANDLE thread);
// STILL_ACTIVE while the thread runs, then its result.
CERT_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
CERT_API DWORD GetThreadId(HANDLE thread);

// Timer-queue timers: `callback(param, TRUE)` runs in a thread of the timer
// first after `dueTime` ms, then every `period` ms (0: once). The queue and
// flags are accepted and ignored (every callback runs in its timer's own
// thread). Deleting with INVALID_HANDLE_VALUE waits for a running callback
// to finish; with an event handle that event is set once it has.
using BOOLEAN = unsigned char;
using WAITORTIMERCALLBACK = void(__stdcall*)(void* param, BOOLEAN timerOrWaitFired);
constexpr ULONG WT_EXECUTEDEFAULT = 0x00;
constexpr ULONG WT_EXECUTEINTIMERTHREAD = 0x20;
CERT_API BOOL CreateTimerQueueTimer(HANDLE* timer, HANDLE queue, WAITORTIMERCALLBACK callback, void* param,
                                    DWORD dueTime, DWORD period, ULONG flags);
CERT_API BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent);

// Atomic counters on plain LONG variables; the result is the new value
// (Increment/Decrement) or the value before (Exchange*, CompareExchange).
CERT_API LONG InterlockedIncrement(volatile LONG* value);
CERT_API LONG InterlockedDecrement(volatile LONG* value);
CERT_API LONG InterlockedExchange(volatile LONG* target, LONG value);
CERT_API LONG InterlockedExchangeAdd(volatile LONG* target, LONG value);
CERT_API LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand);
CERT_API void* InterlockedCompareExchangePointer(void* volatile* target, void* exchange, void* comparand);
