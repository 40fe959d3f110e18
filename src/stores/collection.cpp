// The storage collection: the loaded trust storages and their searches.
#include <strings.h>

#include <mutex>

#include "cert/frame.h"
#include "stores/collection_internal.h"

namespace {

using Lock = std::unique_lock<std::shared_mutex>;
using SharedLock = std::shared_lock<std::shared_mutex>;

}  // namespace

CCTFCertStorageCollection::CCTFCertStorageCollection() : m_impl(std::make_unique<Impl>()) {}
CCTFCertStorageCollection::~CCTFCertStorageCollection() = default;

CCTFCertStorageCollection& CTFGetStorageCollection() {
    using CertDll::LibrarySlot;
    if (void* c = CertDll::LibraryObject(LibrarySlot::StorageCollection))
        return *static_cast<CCTFCertStorageCollection*>(c);
    auto* made = new CCTFCertStorageCollection;
    return *static_cast<CCTFCertStorageCollection*>(CertDll::InstallLibraryObject(
        LibrarySlot::StorageCollection, made, [](void* p) { delete static_cast<CCTFCertStorageCollection*>(p); }));
}

void CCTFCertStorageCollection::Init(const CTOOString& dir, const CCTFCertStorage& root) {
    IPC::CWriteLocker storageLock(CertDll::StorageLock());
    Lock lock(m_impl->mutex);
    m_impl->storages.clear();
    m_impl->storages.push_back(root);
    m_impl->rootHandle = root.GetHandle();
    m_impl->transDir = dir;
    m_impl->allLoaded = false;
    m_impl->flags = 0;
}

void CCTFCertStorageCollection::Reset() {
    std::list<CCTFCertStorage> dropped;
    {
        Lock lock(m_impl->mutex);
        dropped.swap(m_impl->storages);
        m_impl->rootHandle = nullptr;
        m_impl->allLoaded = false;
        m_impl->flags = 0;
    }
}

void CCTFCertStorageCollection::AddUsersSertificate(const CCTFCertStorage& storage) {
    Lock lock(m_impl->mutex);
    m_impl->storages.push_back(storage);
}

bool CCTFCertStorageCollection::IsInit() const {
    SharedLock lock(m_impl->mutex);
    return !m_impl->storages.empty();
}

bool CCTFCertStorageCollection::IsLoad(const char* name) const {
    CCTFCertStorage unused;
    return FindStorage(name, unused) != 0;
}

int CCTFCertStorageCollection::FindStorage(const char* name, CCTFCertStorage& out) const {
    if (!name) return 0;
    SharedLock lock(m_impl->mutex);
    for (const CCTFCertStorage& s : m_impl->storages)
        if (::strcasecmp(static_cast<const char*>(s.GetName()), name) == 0) {
            out = s;
            return 1;
        }
    return 0;
}

int CCTFCertStorageCollection::FindStorage(HCERTSTORE handle, CCTFCertStorage& out) const {
    if (!handle) return 0;
    SharedLock lock(m_impl->mutex);
    for (const CCTFCertStorage& s : m_impl->storages)
        if (s.GetHandle() == handle) {
            out = s;
            return 1;
        }
    return 0;
}

std::list<CCTFCertStorage> CCTFCertStorageCollection::GetStorages() const {
    SharedLock lock(m_impl->mutex);
    std::list<CCTFCertStorage> out;
    for (const CCTFCertStorage& s : m_impl->storages)
        if (s.GetHandle() == m_impl->rootHandle)
            out.push_front(s);
        else
            out.push_back(s);
    return out;
}

int CCTFCertStorageCollection::GetRootStorage(CCTFCertStorage& out) const {
    SharedLock lock(m_impl->mutex);
    if (!m_impl->rootHandle) return 0;
    for (const CCTFCertStorage& s : m_impl->storages)
        if (s.GetHandle() == m_impl->rootHandle) {
            out = s;
            return 1;
        }
    return 0;
}

int CCTFCertStorageCollection::FindIssuerCertificate(const CCTFCertContext& subject, CCTFCertContext& issuer,
                                                     unsigned long* flags, CCTFCRLContext* crl) {
    unsigned long dummy = 0;
    if (!flags) flags = &dummy;
    if (!subject.IsInitialized()) return 0;
    CCTFCertStorage root;
    if (GetRootStorage(root)) {
        unsigned long f = *flags;
        if (root.FindIssuerCertificate(subject, issuer, &f, crl)) {
            *flags = f;
            return 1;
        }
    }
    // TODO(tdir): the subject's node list, then the common list.
    *flags |= CTF_CHECK_NO_ISSUER;
    return 0;
}

CTOOString CCTFCertStorageCollection::GetTransDir() const {
    SharedLock lock(m_impl->mutex);
    return m_impl->transDir;
}

void CCTFCertStorageCollection::SetTransDir(const CTOOString& dir) {
    Lock lock(m_impl->mutex);
    m_impl->transDir = dir;
}

unsigned long CCTFCertStorageCollection::GetFlags() const {
    SharedLock lock(m_impl->mutex);
    return m_impl->flags;
}

void CCTFCertStorageCollection::SetFlags(unsigned long flags) {
    Lock lock(m_impl->mutex);
    m_impl->flags = flags;
}
