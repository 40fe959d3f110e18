// Load and unload of the library: the exported data constants, the
// library-wide objects in their fixed order, and the attach and detach steps.
#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>

#include "cert/certlog.h"
#include "cert/frame.h"
#include "cert/logdisp.h"
#include "frame/frame_internal.h"

const char c_TRCL_FILE_PURPOSE_CODE[5] = "TRCL";
const char c_ASSK_FILE_PURPOSE_CODE[5] = "ASSK";
const char c_ASPK_FILE_PURPOSE_CODE[5] = "ASPK";
const char c_CREQ_FILE_PURPOSE_CODE[5] = "CREQ";
const char c_CONTROL_INFO_CODE[5] = "CTRL";
const char c_USER_AUTHENT_CODE[5] = "USER";
const char c_USER_IDENT_CODE[5] = "U_ID";
const char c_CERTIF_MAC_CODE[5] = "CMAC";
const char c_CERTIF_SIGN_CODE[5] = "CSGN";
const char c_CERTIF_INFO_CODE[5] = "CINF";
const char c_CERTIF_NUMBER_CODE[5] = "CNUM";
const char c_CERTIF_SIZES_CODE[5] = "C_SZ";
const char c_HEADER_END_CODE[5] = "HEND";
const char c_SIGN_ALGO_CODE[5] = "ASGN";
const char c_SIGN_VALUE_CODE[5] = "VSGN";
const char c_SIGN_KEY_ID_CODE[5] = "SKID";
const char c_MAC_ALGO_CODE[5] = "AMAC";
const char c_MAC_VALUE_CODE[5] = "VMAC";
const char c_MAC_KEY_ID_CODE[5] = "MKID";
const std::uint32_t c_TRCL_FILE_VERSION = 0x00010001;
const std::uint32_t c_ASSK_FILE_VERSION = 0x00010001;
const std::uint32_t c_ASPK_FILE_VERSION = 0x00010001;
const std::uint32_t c_EXT_USER_FILE_VER = 0x00010002;
const char DS_LawCertFileNamePart[5] = "cert";
const char DS_LawCertFileNameExt[5] = ".sok";
const char DS_LawChiefFileNameExt[5] = ".ctl";

namespace {

// An object of a higher layer, destroyed with the frame's objects.
struct Slot {
    void* object = nullptr;
    CertDll::SlotDestroyFn destroy = nullptr;
    Slot() = default;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() {
        if (object && destroy) destroy(object);
    }
};

// What attach sets up; constant-initialised so that it is usable before and
// after the objects below.
struct AttachState {
    std::mutex mutex;
    bool attached = false;
    CLogDisp* logDisp = nullptr;
    CertDll::AttachHookFn storageFactory = nullptr;
    char modulePath[PATH_MAX] = {};
    // The dispatcher's folder has been made (see PrepareLogDispFolder).
    std::atomic<bool> logDispFolderReady{false};
};
constinit AttachState g_attach;

// Construction order is the order of the members; C++ destroys them in the
// reverse one. The constructor body and the destructor body are the attach
// and detach handlers.
struct LibraryObjects {
    std::mutex slotMutex;
    CertDll::CriticalSection cacheSingletonLock;
    CertDll::CriticalSection updaterSingletonLock;
    CertDll::CriticalSection cacheLock;
    CertDll::ReadWriteLock requestContextLock;
    Slot requestContextList;
    Slot storageCollection;
    CertDll::CriticalSection updaterLock;
    CertDll::Log log{"cert.log", 0, true};
    CertDll::ReadWriteLock storageLock;
    Slot nameParserTable;

    LibraryObjects() { CertDll::ProcessAttach(); }
    ~LibraryObjects() { CertDll::ProcessDetach(); }

    Slot& SlotOf(CertDll::LibrarySlot s) {
        switch (s) {
            case CertDll::LibrarySlot::RequestContextList:
                return requestContextList;
            case CertDll::LibrarySlot::StorageCollection:
                return storageCollection;
            case CertDll::LibrarySlot::NameParserTable:
                break;
        }
        return nameParserTable;
    }
};

// Built before the library's other static objects so that they may log.
LibraryObjects g_objects __attribute__((init_priority(200)));

void KeepModulePath() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&CertDll::ProcessAttach), &info) || !info.dli_fname) return;
    char resolved[PATH_MAX];
    const char* path = ::realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    std::snprintf(g_attach.modulePath, sizeof g_attach.modulePath, "%s", path);
}

void CreateLogDisp() {
    if (g_attach.logDisp) return;
    g_attach.logDisp = new (std::nothrow) CLogDisp(nullptr, nullptr, 0, 0);
    if (!g_attach.logDisp) return;
    char folder[MAX_PATH];
    // `create` makes the application-data folder only; the product folder
    // under it is made by the first line (PrepareLogDispFolder).
    g_attach.logDispFolderReady = false;
    if (GetCommonPath(0, folder, sizeof folder, true, nullptr)) {
        g_attach.logDisp->SetFullPathName(cert::platform::NativePath(std::string(folder) + "\\ss_cert.log").c_str());
        g_attach.logDisp->Flag(true);
    } else {
        g_attach.logDisp->Flag(false);
    }
}

}  // namespace

namespace CertDll {

CriticalSection& CacheSingletonLock() { return g_objects.cacheSingletonLock; }
CriticalSection& UpdaterSingletonLock() { return g_objects.updaterSingletonLock; }
CriticalSection& CacheLock() { return g_objects.cacheLock; }
ReadWriteLock& RequestContextLock() { return g_objects.requestContextLock; }
CriticalSection& UpdaterLock() { return g_objects.updaterLock; }
ReadWriteLock& StorageLock() { return g_objects.storageLock; }
Log& GetLog() { return g_objects.log; }

void* InstallLibraryObject(LibrarySlot slot, void* object, SlotDestroyFn destroy) {
    std::lock_guard<std::mutex> lock(g_objects.slotMutex);
    Slot& s = g_objects.SlotOf(slot);
    if (!s.object) {
        s.object = object;
        s.destroy = destroy;
    } else if (object != s.object && destroy) {
        destroy(object);
    }
    return s.object;
}

void* LibraryObject(LibrarySlot slot) {
    std::lock_guard<std::mutex> lock(g_objects.slotMutex);
    return g_objects.SlotOf(slot).object;
}

namespace {
// An attach step of a higher layer: its failures are its own to report,
// and attach always succeeds (it runs while the library loads).
void RunHook(AttachHookFn hook) noexcept {
    try {
        if (hook) hook();
    } catch (...) {
    }
}
}  // namespace

void SetStorageFactoryHook(AttachHookFn create) {
    AttachHookFn run = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_attach.mutex);
        g_attach.storageFactory = create;
        if (g_attach.attached) run = create;
    }
    RunHook(run);
}

void ProcessAttach() {
    try {
        detail::RegisterErrorTexts();
    } catch (...) {
        // Explanations fall back to their defaults.
    }
    AttachHookFn factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_attach.mutex);
        factory = g_attach.storageFactory;
    }
    RunHook(factory);
    std::lock_guard<std::mutex> lock(g_attach.mutex);
    KeepModulePath();
    try {
        CreateLogDisp();
    } catch (...) {
        // The library then runs without diagnostics.
    }
    g_attach.attached = true;
}

void ProcessDetach() {
    std::lock_guard<std::mutex> lock(g_attach.mutex);
    delete g_attach.logDisp;
    g_attach.logDisp = nullptr;
    g_attach.attached = false;
}

std::string ModulePath() try {
    std::lock_guard<std::mutex> lock(g_attach.mutex);
    return g_attach.modulePath;
} catch (...) {
    return {};
}

CLogDisp* GetLogDisp() { return g_attach.logDisp; }

void detail::PrepareLogDispFolder() {
    if (g_attach.logDispFolderReady) return;
    std::lock_guard<std::mutex> lock(g_attach.mutex);
    if (g_attach.logDispFolderReady || !g_attach.logDisp) return;
    const std::string path = g_attach.logDisp->GetFullPathName();
    const auto slash = path.rfind('/');
    // A folder that cannot be made loses the lines, as a failed write does.
    if (slash != std::string::npos && slash > 0) (void)cert::platform::MakeFolders(path.substr(0, slash), 0700);
    g_attach.logDispFolderReady = true;
}

}  // namespace CertDll
