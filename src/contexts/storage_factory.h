// The process-wide storage implementation factory: one platform store per
// file, shared by every CCTFCertStorage opened on it.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include "cert/certstore.h"

namespace vrks::certificate {

// One open file store: the platform handle and the flags it was opened
// with. Closed (flags 0) when the last storage lets it go.
class CTFStorageImpl {
public:
    CTFStorageImpl(HCERTSTORE store, DWORD flags, std::string path)
        : m_store(store), m_flags(flags), m_path(std::move(path)) {}
    ~CTFStorageImpl();
    CTFStorageImpl(const CTFStorageImpl&) = delete;
    CTFStorageImpl& operator=(const CTFStorageImpl&) = delete;

    HCERTSTORE Handle() const { return m_store; }
    DWORD Flags() const { return m_flags; }
    const std::string& Path() const { return m_path; }
    // The result of the platform close (the commit of a file store), once
    // the implementation has gone: kept for the storage that let it go.
    bool Closed() const { return m_closedOk; }

private:
    HCERTSTORE m_store;
    DWORD m_flags;
    std::string m_path;
    bool m_closedOk = true;
};

// The path a file store is known by: "\" as a separator, absolute (the
// current folder for a relative one, which is logged), normalised, and each
// existing folder and the file spelled as on disk when they differ only in
// case.
std::string StoragePath(const std::string& given);

// A store on `path` opened with `flags`: shared when one is open with the
// same flags; null with the last error (status 195 for other flags, as a
// CTFERR code carried by WinErr2ToolsErr's rule) otherwise.
boost::shared_ptr<CTFStorageImpl> CreateStorage(const std::string& path, DWORD flags, int* status);

// Lets a storage's implementation go and closes the storage's own handle,
// under the factory's mutex; false when either close failed.
bool CloseStorage(boost::shared_ptr<CTFStorageImpl>& impl, HCERTSTORE& handle, bool force);

}  // namespace vrks::certificate
