// The storage collection: the loaded trust storages and their searches.
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <string_view>

#include "cert/certlist.h"
#include "cert/crlfile.h"
#include "cert/frame.h"
#include "cert/toofile.h"
#include "cert/transdir.h"
#include "platform/files.h"
#include "stores/collection_internal.h"
#include "stores/list_internal.h"

using namespace cert::stores;

namespace {

using Lock = std::unique_lock<std::shared_mutex>;
using SharedLock = std::shared_lock<std::shared_mutex>;

constexpr char kCommonList[] = "0000_trl.p7s";

// Who reads which list and who waits for which, across all collections. A
// protection check reading one list may search for another that a second
// thread is reading; it waits for it unless that thread waits, directly or
// through others, for a list this one reads: the wait would close a circle
// of checks, so the list is unavailable to this check instead.
using ListKey = std::pair<const void*, std::string>;
struct ListReads {
    std::mutex mutex;
    std::map<ListKey, std::thread::id> readers;
    std::map<std::thread::id, ListKey> waiting;

    // With `mutex` held.
    bool ClosesCircle(std::thread::id self, ListKey wanted) const {
        for (std::size_t hops = 0; hops <= waiting.size(); ++hops) {
            const auto reader = readers.find(wanted);
            if (reader == readers.end()) return false;
            if (reader->second == self) return true;
            const auto next = waiting.find(reader->second);
            if (next == waiting.end()) return false;
            wanted = next->second;
        }
        return true;
    }
};

ListReads& Reads() {
    static ListReads reads;
    return reads;
}

std::atomic<ListReadObserver> g_listReadObserver{nullptr};

bool HasStorage(const std::list<CCTFCertStorage>& storages, const char* name) {
    for (const CCTFCertStorage& s : storages)
        if (::strcasecmp(static_cast<const char*>(s.GetName()), name) == 0) return true;
    return false;
}

// Reads "<station>/<name>" as a protected trust list with the CRLs of its
// node's remote-CRL file into `out`, a storage named `name`. 0 or the
// status; throws nothing.
int ReadTrustList(const CTOOString& transDir, const std::string& name, CCTFCertStorage& out, CTOOString& place) {
    try {
        const std::string folder = StationFolder(transDir);
        const std::string path = InFolder(folder, name);
        place = path.c_str();
        if (!IsFile(path)) return TOOERR_NOFILE;
        // The storage is named by the list's bare name, the file by its path.
        CCTFTrustRootCertList list(name.c_str());
        list.SetNewFileName(path.c_str());
        list.LoadFile();
        CCTFCertStorage storage = *list.ReturnStorage();
        // A list whose signature or signer did not verify still loads: its
        // certificates may help build chains, but its own roots anchor none.
        if (list.GetProtectStatus() == CTF_TRUST_E_NOSIGNATURE) storage.SetStatus(CTF_STORAGE_UNTRUSTED);
        const std::string rem = InFolder(folder, name.substr(0, 4) + "_REM.CRL");
        if (IsFile(rem)) {
            std::string bytes;
            // A remote-CRL file that does not read leaves the list as it is.
            if (cert::lists::ReadListFile(rem, bytes) == 0 && !bytes.empty()) {
                const CCTFCRLContext crl{IdentObj(bytes)};
                if (crl.IsInitialized()) storage.AddCRLContext(crl, CERT_STORE_ADD_NEWER);
            }
        }
        out = storage;
        return 0;
    } catch (...) {
        CTOOString inner;
        const int st = TOOStatusOfCurrentException(&inner);
        if (!inner.str().empty()) place = inner;
        return st;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
void cert::stores::SetListReadObserver(ListReadObserver observer) { g_listReadObserver.store(observer); }

std::string cert::stores::Folded(const std::string& s) {
    std::string o(s);
    for (char& c : o)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return o;
}

std::string cert::stores::BaseFolder(const CTOOString& transDir) {
    std::string base = transDir.str();
    for (char& c : base)
        if (c == '\\') c = '/';
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base.empty() ? "." : base;
}

std::string cert::stores::StationFolder(const CTOOString& transDir) {
    const std::string base = BaseFolder(transDir);
    if (ApplicationFlag() & CTF_APP_ALTERNATIVE) return base;
    return cert::platform::ResolveNoCase(base, "d_station");
}

std::string cert::stores::InFolder(const std::string& folder, const std::string& name) {
    return cert::platform::ResolveNoCase(folder, name);
}

bool cert::stores::IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool cert::stores::IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string cert::stores::IssuerNodeId(const CCTFCertContext& subject) {
    if (!subject.IsInitialized()) return {};
    const CERT_INFO* info = subject.GetContext()->pCertInfo;
    // The identifier names a file: bytes that could leave the folder (a
    // separator, a dot) or are no text do not make one.
    const auto usable = [](const CRYPT_BIT_BLOB* id) {
        if (id->cbData < 4) return false;
        for (DWORD i = 0; i < 4; ++i)
            if (!std::isalnum(id->pbData[i])) return false;
        return true;
    };
    for (const CRYPT_BIT_BLOB* id : {&info->IssuerUniqueId, &info->SubjectUniqueId})
        if (usable(id)) return std::string(reinterpret_cast<const char*>(id->pbData), 4);
    if (info->SerialNumber.cbData == 16) {
        const BYTE* s = info->SerialNumber.pbData;
        char text[8];
        std::snprintf(text, sizeof text, "%04x", (unsigned(s[3]) << 8) | s[2]);
        return text;
    }
    return {};
}

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
    m_impl->fromFiles.clear();
    ++m_impl->generation;
}

void CCTFCertStorageCollection::Reset() {
    std::list<CCTFCertStorage> dropped;
    {
        Lock lock(m_impl->mutex);
        dropped.swap(m_impl->storages);
        m_impl->rootHandle = nullptr;
        m_impl->allLoaded = false;
        m_impl->flags = 0;
        m_impl->fromFiles.clear();
        ++m_impl->generation;
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

namespace {

// A new transport directory (flags 8) makes the lists read from the old one
// stale: they leave the collection before the next list is looked for, so
// that the new directory's lists load in their place. The root storage and
// the users' storages are the host's and stay. Under the collection's lock.
void DropStale(CCTFCertStorageCollection::Impl& impl) {
    if (!(impl.flags & 8)) return;
    impl.storages.remove_if([&](const CCTFCertStorage& s) { return impl.fromFiles.count(s.GetHandle()) != 0; });
    impl.fromFiles.clear();
    impl.allLoaded = false;
    impl.flags &= ~8ul;
    ++impl.generation;
}

}  // namespace

int cert::stores::Ensure(CCTFCertStorageCollection& c, const std::string& name, CCTFCertStorage& out) {
    // Load drops the stale lists of an old directory first.
    if (!(c.GetFlags() & 8) && c.FindStorage(name.c_str(), out)) return 1;
    XTOOStatus status(0);
    if (!c.Load(name.c_str(), &status)) return 0;
    return c.FindStorage(name.c_str(), out);
}

int CCTFCertStorageCollection::Load(const char* name, XTOOStatus* status) {
    Impl& impl = *m_impl;
    const auto fail = [&](int st, const CTOOString& place) {
        if (status) *status = XTOOStatus(st, place.c_str());
        return 0;
    };
    if (!name || !*name) return fail(TOOERR_NOFILE, CTOOString("CCTFCertStorageCollection::Load"));
    // A storage is a list of the station folder, named by its bare name.
    if (std::strpbrk(name, "/\\") || std::string_view(name) == "." || std::string_view(name) == "..")
        return fail(TOOERR_BADARG, CTOOString(name));
    try {
        const std::string key = Folded(name);
        unsigned generation = 0;
        CTOOString dir;
        {
            Lock lock(impl.mutex);
            DropStale(impl);
            const ListKey list{&impl, key};
            for (;;) {
                if (HasStorage(impl.storages, name)) return 1;
                ListReads& reads = Reads();
                std::unique_lock<std::mutex> readsLock(reads.mutex);
                const auto reader = reads.readers.find(list);
                if (reader == reads.readers.end()) {
                    reads.readers.emplace(list, std::this_thread::get_id());
                    break;
                }
                // Our own protection check asking for the list it checks, or
                // a wait that would close a circle of checks.
                if (reads.ClosesCircle(std::this_thread::get_id(), list)) return fail(TOOERR_NOFILE, CTOOString(name));
                reads.waiting[std::this_thread::get_id()] = list;
                readsLock.unlock();
                impl.loadDone.wait(lock);
                readsLock.lock();
                reads.waiting.erase(std::this_thread::get_id());
            }
            generation = impl.generation;
            dir = impl.transDir;
        }
        struct Done {
            Impl& impl;
            const std::string& key;
            ~Done() {
                Lock lock(impl.mutex);
                {
                    ListReads& reads = Reads();
                    std::lock_guard<std::mutex> readsLock(reads.mutex);
                    reads.readers.erase(ListKey{&impl, key});
                }
                impl.loadDone.notify_all();
            }
        } done{impl, key};

        CCTFCertStorage loaded;
        CTOOString place;
        if (const int st = ReadTrustList(dir, name, loaded, place)) return fail(st, place);
        if (ListReadObserver observe = g_listReadObserver.load()) observe(name);
        IPC::CWriteLocker storageLock(CertDll::StorageLock());
        Lock lock(impl.mutex);
        if (generation == impl.generation && !HasStorage(impl.storages, name)) {
            impl.storages.push_back(loaded);
            impl.fromFiles.insert(loaded.GetHandle());
        }
        return 1;
    } catch (...) {
        CTOOString place;
        const int st = TOOStatusOfCurrentException(&place);
        return fail(st, place);
    }
}

void CCTFCertStorageCollection::LoadAll() {
    try {
        CTOOString dir;
        unsigned generation = 0;
        {
            Lock lock(m_impl->mutex);
            DropStale(*m_impl);
            if (m_impl->allLoaded) return;
            dir = m_impl->transDir;
            generation = m_impl->generation;
        }
        const std::string folder = StationFolder(dir);
        std::vector<std::string> names;
        for (const char* mask : {"*.p7s", "*.trl"}) {
            if (std::string_view(mask) == "*.trl" && (ApplicationFlag() & CTF_APP_ALTERNATIVE)) break;
            CTOOFindFile ff;
            for (bool ok = ff.Get(folder.c_str(), mask); ok; ok = ff.GetLast())
                if (!ff.IsFolder()) names.emplace_back(ff.Name());
        }
        for (const std::string& n : names) {
            XTOOStatus status(0);
            Load(n.c_str(), &status);  // a list that does not load is skipped
        }
        Lock lock(m_impl->mutex);
        if (generation == m_impl->generation) m_impl->allLoaded = true;
    } catch (...) {
        // Out of memory listing the folder: what loaded stays, the rest
        // loads on demand.
    }
}

int CCTFCertStorageCollection::FindIssuerCertificate(const CCTFCertContext& subject, CCTFCertContext& issuer,
                                                     unsigned long* flags, CCTFCRLContext* crl) {
    unsigned long dummy = 0;
    if (!flags) flags = &dummy;
    if (!subject.IsInitialized()) return 0;
    try {
        const unsigned long asked = *flags;
        const auto tryIn = [&](const CCTFCertStorage& s) {
            unsigned long f = asked;
            CCTFCertContext found;
            CCTFCRLContext foundCrl;
            if (!s.FindIssuerCertificate(subject, found, &f, &foundCrl)) return false;
            *flags = f;
            issuer = found;
            if (crl) *crl = foundCrl;
            return true;
        };
        CCTFCertStorage root;
        if (GetRootStorage(root) && tryIn(root)) return 1;
        const std::string id = IssuerNodeId(subject);
        CCTFCertStorage s;
        if (!id.empty())
            for (const char* suffix : {"_trl.p7s", ".trl"})
                if (Ensure(*this, id + suffix, s) && tryIn(s)) return 1;
        if (Ensure(*this, kCommonList, s) && tryIn(s)) {
            // The common list carries the centres' certificates; their CRLs
            // travel in each node's own list.
            CCTFCertStorage node;
            CCTFCRLContext nodeCrl;
            if ((*flags & CTF_CHECK_NO_CRL) && !id.empty() && Ensure(*this, id + "_trl.p7s", node) &&
                node.GetCrlFromStorage(issuer, nodeCrl)) {
                *flags &= ~CTF_CHECK_NO_CRL;
                *flags &= ~CTF_CHECK_REVOCATION;
                if (subject.IsRevoked(nodeCrl)) *flags |= CTF_CHECK_REVOCATION;
                if (crl) *crl = nodeCrl;
            }
            return 1;
        }
    } catch (...) {
        // Out of memory: as not found.
    }
    *flags |= CTF_CHECK_NO_ISSUER;
    return 0;
}

namespace {

ULONGLONG ThisUpdate(const CCTFCRLContext& c) { return CTOOFileTime(c.GetContext()->pCrlInfo->ThisUpdate).Ticks(); }

}  // namespace

bool CCTFCertStorageCollection::UpdateCRLInStorage(const CCTFCRLContext& crl, int* error, CTOOString* place) {
    int code = 0;
    CTOOString where;
    try {
        const IdentObj der = crl.GetEncoded();
        CCTF_CRL_List model;
        if (!crl.IsInitialized() || der.IsEmpty()) {
            code = TOOERR_BADARG;
            where = "UpdateCRLInStorage";
        } else {
            model.DecodeObject(der);
            if (!model.m_info.m_extensions.Find("2.5.29.35") && !model.m_info.m_extensions.Find("2.5.29.1")) {
                code = CTFERR_CRL_ISSUER_UNKNOWN;
                where = "GD_RegCRLRequest ";
            }
        }
        CCTFCertStorage target;
        CCTFCertContext crlIssuer;
        if (code == 0) {
            LoadAll();
            for (const CCTFCertStorage& s : GetStorages()) {
                for (const CCTFCertContext& candidate : cert::lists::CrlIssuerCandidates(model.m_info, s)) {
                    int err = 0;
                    if (model.CheckSign(candidate, &err, nullptr)) {
                        target = s;
                        crlIssuer = candidate;
                        break;
                    }
                }
                if (crlIssuer.IsInitialized()) break;
            }
            if (!crlIssuer.IsInitialized()) {
                code = CTFERR_CRL_ISSUER_UNKNOWN;
                where = "GD_RegCRLRequest ";
            }
        }
        if (code == 0) {
            CCTFCRLContext old;
            if (target.GetCrlFromStorage(crlIssuer, old) && ThisUpdate(crl) <= ThisUpdate(old)) {
                code = CTFERR_CRL_NOT_NEWER;
                where = "UpdateCRLInStorage";
            } else {
                IPC::CWriteLocker storageLock(CertDll::StorageLock());
                if (old.IsInitialized()) target.DeleteCRL(old);
                target.AddCRLContext(crl, CERT_STORE_ADD_REPLACE_EXISTING);
            }
        }
        if (code == 0) {
            const std::string name = static_cast<const char*>(target.GetName());
            const std::string folder = StationFolder(GetTransDir());
            const std::string rem = InFolder(folder, name.substr(0, 4) + "_rem.crl");
            if (IsFile(rem)) {
                if (const int st = cert::lists::WriteListFile(rem, std::string(der.view()))) {
                    code = st;
                    where = rem.c_str();
                }
            }
        }
        if (code == 0) {
            const std::string name = static_cast<const char*>(target.GetName());
            const std::string list = InFolder(StationFolder(GetTransDir()), name);
            // Only a PKCS #7 list carries CRLs; a record-form list keeps its
            // CRL in the storage alone.
            if (IsFile(list) && Folded(name).ends_with(".p7s") &&
                !CTFUpdateCRLInFile(CTOOString(list.c_str()), der, false, {}, nullptr)) {
                code = cert::lists::LastErrorStatus();
                where = list.c_str();
            }
        }
        if (code == 0 && (ApplicationFlag() & CTF_APP_SYSTEM_STORES)) CTFUpdateCrlInSystemStorage({crl});
    } catch (...) {
        code = TOOStatusOfCurrentException(&where);
        if (where.str().empty()) where = "UpdateCRLInStorage";
    }
    if (code == 0) {
        if (error) *error = 0;
        return true;
    }
    TOOReport(code, where.c_str(), error, place);
    return false;
}

int CCTFCertStorageCollection::FindSubjectCertificate(const CCTFCertInfo& info, CCTFCertContext& out) const {
    try {
        for (const CCTFCertStorage& s : GetStorages()) {
            std::list<CCTFCertContext> found;
            if (s.FindCertList(found, CERT_FIND_SUBJECT_CERT, &info) && !found.empty()) {
                out = found.front();
                return 1;
            }
        }
    } catch (...) {
    }
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
