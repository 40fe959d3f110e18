// Stores in memory: the handle table, elements in order with their
// indexes, the add dispositions, enumeration and finds, and the backings
// below (serialized blob, file and system stores) loaded at open, told of
// each change and committed at close.
#include <algorithm>
#include <array>
#include <string_view>
#include <cstring>
#include <map>
#include <unordered_map>

#include "capi/context.h"
#include "capi/flat_index.h"
#include "cert/tools.h"

namespace cert::capi {

namespace store = ::capi::store;

// One open store. The table holds it while a handle is open; its elements
// hold it weakly, so that contexts outlive it.
class Store {
public:
    std::mutex m;  // everything below
    HCERTSTORE handle = nullptr;
    DWORD flags = 0;
    bool commitAtClose = false;
    std::unique_ptr<store::Backing> backing;
    std::vector<store::Element> opened;
    std::uint64_t nextSeq = 1;
    std::map<std::uint64_t, CertContext*> certs;
    std::map<std::uint64_t, CrlContext*> crls;
    std::map<std::uint64_t, store::Element> ctls;
    // One table per kind of key (its first character: hash, serial and
    // issuer, subject name, key id, issuer name, serial alone), so that
    // none grows beyond the number of elements.
    static constexpr std::string_view kKinds = "hsnkir";
    std::array<FlatIndex<CertContext>, kKinds.size()> certIndex;
    std::array<FlatIndex<CrlContext>, kKinds.size()> crlIndex;
    std::weak_ptr<Store> self;
    ContextHeap heap;  // where the store's own contexts are made

    // Whether changes go to the backing.
    bool Writes() const { return backing && !(flags & CERT_STORE_READONLY_FLAG); }
    void Tell(const store::Element* before, const store::Element* after) {
        if (Writes() && !backing->Changed(before, after)) Throw(GetLastError());
    }

    std::map<std::uint64_t, CertContext*>& Members(CertContext*) { return certs; }
    std::map<std::uint64_t, CrlContext*>& Members(CrlContext*) { return crls; }
    static std::size_t KindOf(std::string_view key) {
        const std::size_t at = kKinds.find(key[0]);
        return at == std::string_view::npos ? 0 : at;
    }
    FlatIndex<CertContext>& IndexOf(CertContext*, std::string_view key) { return certIndex[KindOf(key)]; }
    FlatIndex<CrlContext>& IndexOf(CrlContext*, std::string_view key) { return crlIndex[KindOf(key)]; }

    // Takes over the reference `c` holds.
    template <class C>
    void Insert(C* c, std::uint64_t seq) {
        c->core.store = self;
        c->core.seq = seq;
        c->core.member = true;
        c->pub.hCertStore = handle;
        Members(c)[seq] = c;
        for (std::string_view key : c->Keys()) IndexOf(c, key).Insert(key, c);
    }
    // Drops the store's reference to `c`.
    template <class C>
    void Remove(C* c) {
        Members(c).erase(c->core.seq);
        for (std::string_view key : c->Keys()) IndexOf(c, key).Erase(key, c);
        c->core.member = false;
        Release(c);
    }
    // The first element under `key` after place `after`, or null.
    template <class C>
    C* Next(std::string_view key, std::uint64_t after) {
        return IndexOf(static_cast<C*>(nullptr), key).Next(key, after);
    }

    std::vector<store::Element> Elements() {
        std::map<std::uint64_t, store::Element> all = ctls;
        for (auto& [seq, c] : certs) all.emplace(seq, ElementOf(*c));
        for (auto& [seq, c] : crls) all.emplace(seq, ElementOf(*c));
        std::vector<store::Element> out;
        out.reserve(all.size());
        for (auto& [seq, e] : all) out.push_back(std::move(e));
        return out;
    }

    void Load(const std::vector<store::Element>& elements) {
        for (const store::Element& e : elements) {
            const std::uint64_t seq = nextSeq++;
            if (e.kind == store::kCtl) {
                ctls.emplace(seq, e);
                continue;
            }
            try {
                if (e.kind == store::kCert) {
                    Loaded(NewCert(e.encoded.data(), e.encoded.size(), &heap), e, seq);
                } else if (e.kind == store::kCrl) {
                    Loaded(NewCrl(e.encoded.data(), e.encoded.size(), &heap), e, seq);
                }
            } catch (const std::bad_alloc&) {
                throw;
            } catch (...) {
                Throw(CRYPT_E_FILE_ERROR);
            }
        }
    }
    template <class C>
    void Loaded(C* c, const store::Element& e, std::uint64_t seq) {
        SetProps(c->core, e.props);
        c->core.readOnly = e.readOnly;
        Insert(c, seq);
    }

    // Gives up every element; true when some context is still referenced
    // elsewhere.
    bool Clear() {
        bool pending = false;
        auto drop = [&](auto& members) {
            for (auto& [seq, c] : members) {
                pending |= c->core.refs.load() > 1;
                c->core.member = false;
                Release(c);
            }
            members.clear();
        };
        drop(certs);
        drop(crls);
        ctls.clear();
        for (auto& index : certIndex) index.Clear();
        for (auto& index : crlIndex) index.Clear();
        return pending;
    }
};

namespace {

struct HandleTable {
    std::mutex m;
    std::uintptr_t next = 1;
    struct Entry {
        std::shared_ptr<Store> store;
        std::uint32_t opens = 1;
    };
    std::unordered_map<std::uintptr_t, Entry> open;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;  // outlives every static destructor that may close a store
    return *table;
}

std::shared_ptr<Store> Lookup(HCERTSTORE h) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> hold(t.m);
    auto at = t.open.find(reinterpret_cast<std::uintptr_t>(h));
    if (at == t.open.end()) Throw(E_INVALIDARG);
    return at->second.store;
}

HCERTSTORE Register(const std::shared_ptr<Store>& s) {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> hold(t.m);
    const std::uintptr_t id = t.next++;
    s->handle = reinterpret_cast<HCERTSTORE>(id);
    t.open.emplace(id, HandleTable::Entry{s, 1});
    return s->handle;
}

// Owns a fresh context until a store takes it.
template <class C>
struct Fresh {
    C* c;
    explicit Fresh(C* p) : c(p) {}
    ~Fresh() {
        if (c) Release(c);
    }
    C* Take() { return std::exchange(c, nullptr); }
};

template <class C>
std::shared_ptr<Store> StoreOf(C* c) {
    std::shared_ptr<Store> s = c->core.store.lock();
    return s;
}

// The element the new one would replace or join.
CertContext* MatchOf(Store& s, CertContext* fresh) {
    for (std::uint64_t after = 0;;) {
        CertContext* c = s.Next<CertContext>(fresh->Key('h'), after);
        if (!c) return nullptr;
        if (c->pub.cbCertEncoded == fresh->pub.cbCertEncoded &&
            std::memcmp(c->pub.pbCertEncoded, fresh->pub.pbCertEncoded, c->pub.cbCertEncoded) == 0)
            return c;
        after = c->core.seq;
    }
}

CrlContext* MatchOf(Store& s, CrlContext* fresh) {
    const CRL_INFO& mine = *fresh->pub.pCrlInfo;
    const std::string keyId = AuthorityKeyId(mine.cExtension, mine.rgExtension);
    for (std::uint64_t after = 0;;) {
        CrlContext* c = s.Next<CrlContext>(fresh->Key('i'), after);
        if (!c) return nullptr;
        const CRL_INFO& theirs = *c->pub.pCrlInfo;
        if (AuthorityKeyId(theirs.cExtension, theirs.rgExtension) == keyId) return c;
        after = c->core.seq;
    }
}

ULONGLONG Issued(CertContext* c) { return Ticks(c->pub.pCertInfo->NotBefore); }
ULONGLONG Issued(CrlContext* c) { return Ticks(c->pub.pCrlInfo->ThisUpdate); }

template <class C>
std::vector<std::pair<DWORD, std::vector<BYTE>>> Merged(C* base, C* over) {
    auto props = PersistedProps(base->core);
    for (auto& prop : PersistedProps(over->core)) {
        auto at = std::find_if(props.begin(), props.end(), [&](const auto& p) { return p.first == prop.first; });
        if (at != props.end()) {
            at->second = std::move(prop.second);
        } else {
            props.push_back(std::move(prop));
        }
    }
    return props;
}

template <class C, class Pub>
void Add(const std::shared_ptr<Store>& s, C* created, DWORD disposition, const Pub** out) {
    Fresh<C> fresh(created);
    if (out) *out = nullptr;
    std::lock_guard<std::mutex> hold(s->m);
    C* match = disposition == CERT_STORE_ADD_ALWAYS ? nullptr : MatchOf(*s, fresh.c);
    bool replace = false;
    switch (disposition) {
        case CERT_STORE_ADD_NEW:
            if (match) Throw(CRYPT_E_EXISTS);
            break;
        case CERT_STORE_ADD_USE_EXISTING:
            if (match) {
                if (match->core.readOnly) Throw(ERROR_ACCESS_DENIED);
                store::Element before = ElementOf(*match), after = before;
                after.props = Merged(match, fresh.c);
                s->Tell(&before, &after);
                SetProps(match->core, after.props);
                if (out) *out = &AddRef(match)->pub;
                return;
            }
            break;
        case CERT_STORE_ADD_REPLACE_EXISTING:
        case CERT_STORE_ADD_ALWAYS:
            replace = match != nullptr;
            break;
        case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
            if (match) {
                SetProps(fresh.c->core, Merged(fresh.c, match));
                replace = true;
            }
            break;
        case CERT_STORE_ADD_NEWER:
            if (match && Issued(fresh.c) <= Issued(match)) Throw(CRYPT_E_EXISTS);
            replace = match != nullptr;
            break;
        default:
            Throw(E_INVALIDARG);
    }
    // A machine's element shown in the user's store may be replaced: the new
    // one is the user's own (the backing decides where it lands).
    store::Element added = ElementOf(*fresh.c);
    if (replace) {
        store::Element before = ElementOf(*match);
        s->Tell(&before, &added);
    } else {
        s->Tell(nullptr, &added);
    }
    const std::uint64_t seq = replace ? match->core.seq : s->nextSeq++;
    if (replace) s->Remove(match);
    C* c = fresh.Take();
    s->Insert(c, seq);
    if (out) *out = &AddRef(c)->pub;
}

CertContext* CopyOf(const CERT_CONTEXT& c, ContextHeap* heap) {
    return NewCert(c.pbCertEncoded, c.cbCertEncoded, heap);
}
CrlContext* CopyOf(const CRL_CONTEXT& c, ContextHeap* heap) { return NewCrl(c.pbCrlEncoded, c.cbCrlEncoded, heap); }

// A copy of `given` with its properties, added by the disposition.
template <class Pub>
BOOL AddCopy(HCERTSTORE h, const Pub* given, DWORD disposition, const Pub** out) {
    return Guard(false, [&] {
        if (out) *out = nullptr;
        if (!given) Throw(E_INVALIDARG);
        std::shared_ptr<Store> s = Lookup(h);
        Fresh fresh(CopyOf(*given, &s->heap));
        SetProps(fresh.c->core, PersistedProps(Of(given)->core));
        Add(s, fresh.Take(), disposition, out);
    });
}

template <class Pub, class Make>
BOOL AddEncoded(HCERTSTORE h, DWORD encoding, const BYTE* p, DWORD n, DWORD disposition, const Pub** out, Make make) {
    return Guard(false, [&] {
        if (out) *out = nullptr;
        if (!(encoding & X509_ASN_ENCODING)) Throw(E_INVALIDARG);
        std::shared_ptr<Store> s = Lookup(h);
        Add(s, make(p, n, &s->heap), disposition, out);
    });
}

template <class C>
BOOL Delete(C* c) {
    if (!c) {
        SetLastError(E_INVALIDARG);
        return FALSE;
    }
    const BOOL ok = Guard(false, [&] {
        std::shared_ptr<Store> s = StoreOf(c);
        if (!s) Throw(E_INVALIDARG);
        std::lock_guard<std::mutex> hold(s->m);
        if (!c->core.member) return;
        if (c->core.readOnly) Throw(ERROR_ACCESS_DENIED);
        store::Element before = ElementOf(*c);
        s->Tell(&before, nullptr);
        s->Remove(c);
    });
    Release(c);
    return ok;
}

// The place after `prev` in `s` (0 to start); `prev` is freed.
template <class C>
std::uint64_t After(Store& s, C* prev) {
    if (!prev) return 0;
    std::shared_ptr<Store> its = StoreOf(prev);
    const std::uint64_t seq = prev->core.seq;
    Release(prev);
    if (its.get() != &s) Throw(E_INVALIDARG);
    return seq;
}

// The element `next` picks in the store after the place of `prev` (which
// is freed, also on failure), with a reference; CRYPT_E_NOT_FOUND for none.
template <class C, class F>
C* Continue(HCERTSTORE h, C* prev, F&& next) {
    std::shared_ptr<Store> s;
    try {
        s = Lookup(h);
    } catch (...) {
        if (prev) Release(prev);
        throw;
    }
    std::lock_guard<std::mutex> hold(s->m);
    C* c = next(*s, After(*s, prev));
    if (!c) Throw(CRYPT_E_NOT_FOUND);
    return AddRef(c);
}

// The first element of `members` after place `after`, or null.
template <class C>
C* FirstAfter(const std::map<std::uint64_t, C*>& members, std::uint64_t after) {
    auto next = members.upper_bound(after);
    return next == members.end() ? nullptr : next->second;
}

bool SameKey(const CERT_PUBLIC_KEY_INFO& a, const CERT_PUBLIC_KEY_INFO& b) {
    auto same = [](const auto& x, const auto& y) {
        return x.cbData == y.cbData && (x.cbData == 0 || std::memcmp(x.pbData, y.pbData, x.cbData) == 0);
    };
    return a.Algorithm.pszObjId && b.Algorithm.pszObjId &&
           std::strcmp(a.Algorithm.pszObjId, b.Algorithm.pszObjId) == 0 && same(a.PublicKey, b.PublicKey);
}

CertContext* FindCert(Store& s, DWORD type, const void* para, std::uint64_t after) {
    if (type != CERT_FIND_ANY && !para) Throw(E_INVALIDARG);
    auto blob = [&] { return Bytes(*static_cast<const CRYPTOAPI_BLOB*>(para)); };
    switch (type) {
        case CERT_FIND_ANY:
            return FirstAfter(s.certs, after);
        case CERT_FIND_SHA1_HASH:
            return s.Next<CertContext>("h" + blob(), after);
        case CERT_FIND_ISSUER_NAME:
            return s.Next<CertContext>("i" + blob(), after);
        case CERT_FIND_SUBJECT_NAME:
            return s.Next<CertContext>("n" + blob(), after);
        case CERT_FIND_KEY_IDENTIFIER:
            return s.Next<CertContext>("k" + blob(), after);
        case CERT_FIND_SUBJECT_CERT: {
            const auto& info = *static_cast<const CERT_INFO*>(para);
            const std::string issuer = Bytes(info.Issuer);
            // Without an issuer, the serial alone.
            if (issuer.empty()) return s.Next<CertContext>("r" + Bytes(info.SerialNumber), after);
            return s.Next<CertContext>("s" + std::to_string(issuer.size()) + ":" + issuer + Bytes(info.SerialNumber),
                                       after);
        }
        case CERT_FIND_EXISTING: {
            const auto* want = static_cast<const CERT_CONTEXT*>(para);
            for (;;) {
                CertContext* c = s.Next<CertContext>(Of(want)->Key('h'), after);
                if (!c || (c->pub.cbCertEncoded == want->cbCertEncoded &&
                           std::memcmp(c->pub.pbCertEncoded, want->pbCertEncoded, want->cbCertEncoded) == 0))
                    return c;
                after = c->core.seq;
            }
        }
        case CERT_FIND_PUBLIC_KEY: {
            const auto& key = *static_cast<const CERT_PUBLIC_KEY_INFO*>(para);
            for (auto at = s.certs.upper_bound(after); at != s.certs.end(); ++at)
                if (SameKey(at->second->pub.pCertInfo->SubjectPublicKeyInfo, key)) return at->second;
            return nullptr;
        }
        default:
            Throw(E_INVALIDARG);
    }
}

template <class C>
BOOL SetProperty(C* c, DWORD id, DWORD flags, const void* data) {
    return Guard(false, [&] {
        if (!c) Throw(E_INVALIDARG);
        std::shared_ptr<Store> s = StoreOf(c);
        std::unique_lock<std::mutex> hold;
        if (s) hold = std::unique_lock<std::mutex>(s->m);
        std::vector<Property> props = PropsWith(c->core, id, flags, data);
        if (s && c->core.member) {
            if (c->core.readOnly) Throw(ERROR_ACCESS_DENIED);
            store::Element before = ElementOf(*c), after = before;
            after.props.clear();
            for (const Property& p : props)
                if (p.persist) after.props.emplace_back(p.id, p.value);
            if (after.props != before.props) s->Tell(&before, &after);
        }
        std::lock_guard<std::mutex> own(c->core.lock);
        c->core.props = std::move(props);
    });
}

std::string Utf8(const char16_t* text) {
    std::string out;
    if (!text || !TOOUtf16ToUtf8(text, out)) Throw(E_INVALIDARG);
    return out;
}

std::u16string Utf16(const char* text) {
    std::u16string out;
    if (!text || !TOOUtf8ToUtf16(text, out)) Throw(E_INVALIDARG);
    return out;
}

std::shared_ptr<Store> OpenStore(std::uintptr_t provider, DWORD flags, const void* para) {
    auto s = std::make_shared<Store>();
    s->self = s;
    s->flags = flags;
    std::vector<store::Element> elements;
    switch (provider) {
        case 2:
            return s;
        case 6: {
            const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(para);
            if (!blob || (blob->cbData && !blob->pbData)) Throw(E_INVALIDARG);
            std::size_t fault = 0;
            if (!store::ParseSerialized(blob->pbData, blob->cbData, elements, &fault)) Throw(GetLastError());
            break;
        }
        case 7:
        case 8:
            s->backing = store::OpenFileBacking(
                provider == 7 ? std::string(static_cast<const char*>(para)) : Utf8(static_cast<const char16_t*>(para)),
                flags);
            s->commitAtClose = (flags & CERT_FILE_STORE_COMMIT_ENABLE_FLAG) != 0;
            break;
        case 9:
        case 10:
            s->backing = store::OpenSystemBacking(provider == 9 ? Utf16(static_cast<const char*>(para))
                                                                : std::u16string(static_cast<const char16_t*>(para)),
                                                  flags);
            break;
        default:
            Throw(ERROR_FILE_NOT_FOUND);
    }
    if (provider != 6) {
        if (!para) Throw(E_INVALIDARG);
        if (!s->backing) Throw(GetLastError());
        if (!s->backing->Load(elements)) Throw(GetLastError());
    }
    s->Load(elements);
    s->opened = std::move(elements);
    return s;
}

}  // namespace

PCCRL_CONTEXT NextCrl(HCERTSTORE h, const CERT_NAME_BLOB* issuer, PCCRL_CONTEXT prev) {
    return &Continue(h, prev ? Of(prev) : nullptr, [&](Store& s, std::uint64_t after) {
                return issuer ? s.Next<CrlContext>("i" + Bytes(*issuer), after) : FirstAfter(s.crls, after);
            })->pub;
}

}  // namespace cert::capi

using namespace cert::capi;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV, DWORD dwFlags, const void* pvPara) {
    return GuardPtr<void>([&]() -> HCERTSTORE {
        const auto provider = reinterpret_cast<std::uintptr_t>(lpszStoreProvider);
        if (provider > 0xFFFF) Throw(ERROR_FILE_NOT_FOUND);
        if ((provider == 7 || provider == 8 || provider == 9 || provider == 10) && !pvPara) Throw(E_INVALIDARG);
        std::shared_ptr<Store> s = OpenStore(provider, dwFlags, pvPara);
        return Register(s);
    });
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
    return GuardPtr<void>([&] {
        HandleTable& t = Handles();
        std::lock_guard<std::mutex> hold(t.m);
        auto at = t.open.find(reinterpret_cast<std::uintptr_t>(hCertStore));
        if (at == t.open.end()) Throw(E_INVALIDARG);
        ++at->second.opens;
        return hCertStore;
    });
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (!hCertStore) return TRUE;
    return Guard(false, [&] {
        std::shared_ptr<Store> s;
        {
            HandleTable& t = Handles();
            std::lock_guard<std::mutex> hold(t.m);
            auto at = t.open.find(reinterpret_cast<std::uintptr_t>(hCertStore));
            if (at == t.open.end()) Throw(E_INVALIDARG);
            if (--at->second.opens > 0 && !(dwFlags & CERT_CLOSE_STORE_FORCE_FLAG)) return;
            s = std::move(at->second.store);
            t.open.erase(at);
        }
        std::lock_guard<std::mutex> hold(s->m);
        DWORD failed = 0;
        if (s->commitAtClose && s->Writes()) {
            try {
                if (!s->backing->Commit(s->opened, s->Elements())) failed = GetLastError();
            } catch (const std::bad_alloc&) {
                failed = E_OUTOFMEMORY;
            }
        }
        const bool pending = s->Clear();
        s->backing.reset();
        if (failed) Throw(failed);
        if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG)) Throw(CRYPT_E_PENDING_CLOSE);
    });
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext) {
    return AddCopy(hCertStore, pCertContext, dwAddDisposition, ppStoreContext);
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
    return AddEncoded(hCertStore, dwCertEncodingType, pbCertEncoded, cbCertEncoded, dwAddDisposition, ppCertContext,
                      NewCert);
}

BOOL CertAddCRLContextToStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pCrlContext, DWORD dwAddDisposition,
                              PCCRL_CONTEXT* ppStoreContext) {
    return AddCopy(hCertStore, pCrlContext, dwAddDisposition, ppStoreContext);
}

BOOL CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                              DWORD cbCrlEncoded, DWORD dwAddDisposition, PCCRL_CONTEXT* ppCrlContext) {
    return AddEncoded(hCertStore, dwCertEncodingType, pbCrlEncoded, cbCrlEncoded, dwAddDisposition, ppCrlContext,
                      NewCrl);
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    return Delete(pCertContext ? Of(pCertContext) : nullptr);
}

BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext) { return Delete(pCrlContext ? Of(pCrlContext) : nullptr); }

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    return GuardPtr<const CERT_CONTEXT>([&]() -> PCCERT_CONTEXT {
        return &Continue(hCertStore, pPrevCertContext ? Of(pPrevCertContext) : nullptr,
                         [](Store& s, std::uint64_t after) { return FirstAfter(s.certs, after); })
                    ->pub;
    });
}

PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext) {
    return GuardPtr<const CRL_CONTEXT>([&] { return NextCrl(hCertStore, nullptr, pPrevCrlContext); });
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType, const void* pvFindPara,
                                          PCCERT_CONTEXT pPrevCertContext) {
    return GuardPtr<const CERT_CONTEXT>([&] {
        return &Continue(hCertStore, pPrevCertContext ? Of(pPrevCertContext) : nullptr,
                         [&](Store& s, std::uint64_t after) { return FindCert(s, dwFindType, pvFindPara, after); })
                    ->pub;
    });
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags, const void* pvData) {
    return SetProperty(pCertContext ? Of(pCertContext) : nullptr, dwPropId, dwFlags, pvData);
}

BOOL CertSetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId, DWORD dwFlags, const void* pvData) {
    return SetProperty(pCrlContext ? Of(pCrlContext) : nullptr, dwPropId, dwFlags, pvData);
}

BOOL CertSaveStore(HCERTSTORE hCertStore, DWORD, DWORD dwSaveAs, DWORD dwSaveTo, void* pvSaveToPara, DWORD) {
    return Guard(false, [&] {
        if (!pvSaveToPara) Throw(E_INVALIDARG);
        std::shared_ptr<Store> s = Lookup(hCertStore);
        std::vector<store::Element> elements;
        {
            std::lock_guard<std::mutex> hold(s->m);
            elements = s->Elements();
        }
        std::vector<BYTE> bytes;
        if (dwSaveAs == CERT_STORE_SAVE_AS_STORE) {
            bytes = store::WriteSerialized(elements);
        } else if (dwSaveAs == CERT_STORE_SAVE_AS_PKCS7) {
            bytes = store::WritePkcs7Bundle(elements);
            if (bytes.empty()) Throw(GetLastError() ? GetLastError() : CRYPT_E_BAD_ENCODE);
        } else {
            Throw(E_INVALIDARG);
        }
        if (dwSaveTo == CERT_STORE_SAVE_TO_MEMORY) {
            auto& blob = *static_cast<CRYPT_DATA_BLOB*>(pvSaveToPara);
            Deliver(bytes.size(), blob.pbData, &blob.cbData, false,
                    [&] { std::memcpy(blob.pbData, bytes.data(), bytes.size()); });
            return;
        }
        std::string path;
        if (dwSaveTo == CERT_STORE_SAVE_TO_FILENAME_A) {
            path = static_cast<const char*>(pvSaveToPara);
        } else if (dwSaveTo == CERT_STORE_SAVE_TO_FILENAME_W) {
            path = Utf8(static_cast<const char16_t*>(pvSaveToPara));
        } else {
            Throw(E_INVALIDARG);
        }
        if (DWORD e = cert::platform::WriteFileAtomic(path, bytes.data(), bytes.size())) Throw(e);
    });
}
