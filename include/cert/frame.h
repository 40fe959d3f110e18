// The library frame: the exported data constants, the library-wide objects
// built at load and destroyed at unload, the attach and detach steps, and the
// fixed paths under the application-data folders.
//
// Errors, for the frame (this header, certlog.h, errtext.h, oid.h,
// convert.h): what is in the CertDll namespace never throws (it returns
// false, an empty result, or loses a log record); the other functions
// report by their result where they have one for failure (GetCommonPath)
// and otherwise by throwing XTOOStatus, never another exception type, also
// when a hook of a higher layer throws.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "cert/export.h"
#include "cert/ipc.h"
#include "cert/platform.h"

// ---------------------------------------------------------------------------
// Section codes of the protected files and the versions of those files.
extern CERT_API const char c_TRCL_FILE_PURPOSE_CODE[5];
extern CERT_API const char c_ASSK_FILE_PURPOSE_CODE[5];
extern CERT_API const char c_ASPK_FILE_PURPOSE_CODE[5];
extern CERT_API const char c_CREQ_FILE_PURPOSE_CODE[5];
extern CERT_API const char c_CONTROL_INFO_CODE[5];
extern CERT_API const char c_USER_AUTHENT_CODE[5];
extern CERT_API const char c_USER_IDENT_CODE[5];
extern CERT_API const char c_CERTIF_MAC_CODE[5];
extern CERT_API const char c_CERTIF_SIGN_CODE[5];
extern CERT_API const char c_CERTIF_INFO_CODE[5];
extern CERT_API const char c_CERTIF_NUMBER_CODE[5];
extern CERT_API const char c_CERTIF_SIZES_CODE[5];
extern CERT_API const char c_HEADER_END_CODE[5];
extern CERT_API const char c_SIGN_ALGO_CODE[5];
extern CERT_API const char c_SIGN_VALUE_CODE[5];
extern CERT_API const char c_SIGN_KEY_ID_CODE[5];
extern CERT_API const char c_MAC_ALGO_CODE[5];
extern CERT_API const char c_MAC_VALUE_CODE[5];
extern CERT_API const char c_MAC_KEY_ID_CODE[5];
extern CERT_API const std::uint32_t c_TRCL_FILE_VERSION;
extern CERT_API const std::uint32_t c_ASSK_FILE_VERSION;
extern CERT_API const std::uint32_t c_ASPK_FILE_VERSION;
extern CERT_API const std::uint32_t c_EXT_USER_FILE_VER;
extern CERT_API const char DS_LawCertFileNamePart[5];
extern CERT_API const char DS_LawCertFileNameExt[5];
extern CERT_API const char DS_LawChiefFileNameExt[5];

// ---------------------------------------------------------------------------
// Fixed paths under the application-data folders.
struct CommonPathError {
    std::uint32_t code;   // 1 bad argument or unknown id, 2 buffer too small, 4 folder not available,
                          // 8 the system failed (out of memory)
    std::uint32_t value;  // code 2: the size needed with the zero; code 4: the folder id (35 or 28);
                          // code 8: the Windows error, also the last error
    char text[256];       // cleared
};
constexpr std::uint32_t kCommonPathBadArgument = 1;
constexpr std::uint32_t kCommonPathBufferTooSmall = 2;
constexpr std::uint32_t kCommonPathNoFolder = 4;
constexpr std::uint32_t kCommonPathSystemError = 8;

// Ids: 0 and 7 the product folder, 1 the provider's folder, 2 the user's
// containers (local folder), 3 the machine containers, 4 the containers
// suffix alone, 5 seed.bin, 6 for_rand.key, 8 cont_info.dat, 9 csp_config.ini,
// 10 device_type_filter.xml. Paths use "\" as the platform layer accepts it.
CERT_API bool GetCommonPath(unsigned id, char* buffer, std::size_t size, bool create, CommonPathError* error = nullptr);

class CLogDisp;

namespace CertDll {

// ---------------------------------------------------------------------------
// Library-wide objects. They live from load to unload, are built in this
// order and destroyed in the reverse one.
using CriticalSection = std::recursive_mutex;
// Unnamed: a lock of this process only; hold it with IPC::CReadLocker and
// IPC::CWriteLocker.
using ReadWriteLock = IPC::CReadWriteLock;

// The singletons of the CRL cache and of the CRL updater (instance pointer
// and reference count).
CERT_API CriticalSection& CacheSingletonLock();
CERT_API CriticalSection& UpdaterSingletonLock();
// The CRL cache itself.
CERT_API CriticalSection& CacheLock();
// The open request contexts.
CERT_API ReadWriteLock& RequestContextLock();
// The CRL updater.
CERT_API CriticalSection& UpdaterLock();
// Loading of the trust storages and list files (exclusive) against searches
// in them (shared).
CERT_API ReadWriteLock& StorageLock();

// Objects of the higher layers that must share the frame's lifetime order
// are kept in slots: the owner installs the object once (under its own lock)
// and the frame destroys it at unload in its place of the order.
enum class LibrarySlot : int {
    RequestContextList,  // after the request-context lock
    StorageCollection,   // before the updater's critical section
    NameParserTable,     // last
};
using SlotDestroyFn = void (*)(void* object);
// Installs `object` unless the slot is taken; returns the object in the slot.
CERT_API void* InstallLibraryObject(LibrarySlot slot, void* object, SlotDestroyFn destroy);
CERT_API void* LibraryObject(LibrarySlot slot);

// Attach steps run once the library-wide objects exist. The storage
// implementation factory lives above the frame: its layer registers how to
// create it; registration after attach creates it at once.
using AttachHookFn = void (*)();
CERT_API void SetStorageFactoryHook(AttachHookFn create);

// Process attach and detach of the library: the static objects run them at
// load and unload. Attach keeps the module path and sets up the diagnostics
// dispatcher under GetCommonPath(0); detach destroys the dispatcher. A host
// that moves its special folders (tools, tests) may detach and attach again.
CERT_API void ProcessAttach();
CERT_API void ProcessDetach();

// The full path of the loaded library module (libcert.so), or empty.
CERT_API std::string ModulePath();

// The library's diagnostics dispatcher, or null when it could not be made.
CERT_API CLogDisp* GetLogDisp();

}  // namespace CertDll
