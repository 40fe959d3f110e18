// The storage implementation factory. It lives from the attach step (or
// first use) until the process ends: the storage collection, destroyed at
// unload after the attach objects, still closes its file stores through it,
// so it is never destroyed.
#include "contexts/storage_factory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>
#include <cstdio>
#include <map>

#include "cert/frame.h"
#include "contexts/contexts_internal.h"
#include "platform/files.h"

namespace vrks::certificate {

namespace {

class Factory {
public:
    boost::mutex mutex;
    std::map<std::string, boost::weak_ptr<CTFStorageImpl>> table;
};

Factory& TheFactory() {
    static Factory* factory = new Factory;
    return *factory;
}

void CreateAtAttach() { (void)TheFactory(); }

struct RegisterFactory {
    RegisterFactory() { CertDll::SetStorageFactoryHook(CreateAtAttach); }
} g_registerFactory;

std::string Hex8(DWORD code) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", code);
    return text;
}

}  // namespace

CTFStorageImpl::~CTFStorageImpl() {
    if (m_store && !CertCloseStore(m_store, 0)) {
        m_closedOk = false;
        cert::contexts::Log("CertCloseStore failed. LastError Code = " + Hex8(GetLastError()) + "\n", 2);
    }
}

std::string StoragePath(const std::string& given) {
    namespace fs = boost::filesystem;
    std::string slashed = given;
    // On POSIX a backslash is a name character: the library's literal
    // paths use it as the separator.
    for (char& c : slashed)
        if (c == '\\') c = '/';
    fs::path p(slashed);
    if (!p.is_absolute()) {
        const fs::path whole = fs::absolute(p);
        cert::contexts::Log("Relative path to file storage: " + given + " complete from current: " + whole.string(), 1);
        p = whole;
    }
    p = p.lexically_normal();
    // Existing components spelled as on disk, so that one file is one key.
    fs::path out = p.root_path();
    for (const fs::path& part : p.relative_path()) {
        const std::string name = part.string();
        if (name.empty() || name == "." || name == "..") {
            out /= part;
            continue;
        }
        out /= cert::platform::OnDiskSpelling(out.string(), name);
    }
    std::string text = out.string();
    if (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

boost::shared_ptr<CTFStorageImpl> CreateStorage(const std::string& path, DWORD flags, int* status) {
    Factory& f = TheFactory();
    boost::unique_lock<boost::mutex> lock(f.mutex);
    auto it = f.table.find(path);
    if (it != f.table.end()) {
        if (boost::shared_ptr<CTFStorageImpl> live = it->second.lock()) {
            if (live->Flags() == flags) return live;
            *status = CTFERR_STORAGE_OTHER_FLAGS;
            const char* text = TOOStatusText(CTFERR_STORAGE_OTHER_FLAGS);
            cert::contexts::Log(std::string("StorageImplFactory::CreateStorage") + "  " +
                                    (text ? text : std::to_string(CTFERR_STORAGE_OTHER_FLAGS)) + " <" +
                                    "Same time open with other flags" + ">.",
                                2);
            return {};
        }
        f.table.erase(it);
    }
    std::u16string wide;
    if (!TOOUtf8ToUtf16(path, wide)) {
        *status = WinErr2ToolsErr(ERROR_INVALID_PARAMETER);
        SetLastError(ERROR_INVALID_PARAMETER);
        return {};
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_FILENAME_W, CAPI_ENCODING, 0, flags, wide.c_str());
    if (!store) {
        const DWORD code = GetLastError();
        *status = WinErr2ToolsErr(code);
        // The first "с" of the message is a Cyrillic letter, as readers of
        // the log know it.
        cert::contexts::Log(
            "Can't open \xD1\x81"
            "ertificate store: " +
                path + " errCode: " + std::to_string(code),
            2);
        SetLastError(code);
        return {};
    }
    boost::shared_ptr<CTFStorageImpl> impl(new CTFStorageImpl(store, flags, path));
    f.table[path] = impl;
    return impl;
}

bool CloseStorage(boost::shared_ptr<CTFStorageImpl>& impl, HCERTSTORE& handle, bool force) {
    Factory& f = TheFactory();
    boost::unique_lock<boost::mutex> lock(f.mutex);
    bool ok = true;
    if (impl) {
        // The last storage on the file closes the implementation's handle;
        // the store itself (and its commit) goes with the storage's own
        // handle below, still under the mutex, so that no one reopens the
        // file half committed.
        impl.reset();
    }
    if (handle) {
        if (CertCloseStore(handle, force ? CERT_CLOSE_STORE_FORCE_FLAG : 0)) {
            handle = nullptr;
        } else {
            ok = false;
            const DWORD code = GetLastError();
            cert::contexts::Log("CertCloseStore failed. LastError Code = " + Hex8(code) + "\n", 2);
            handle = nullptr;
            SetLastError(code);
        }
    }
    return ok;
}

}  // namespace vrks::certificate
