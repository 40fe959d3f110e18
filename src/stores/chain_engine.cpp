// The chain engine: a certificate's chain built issuer by issuer through the
// CRL cache, the trust storages, an additional storage, the system stores
// and a caller's search, with the CRL updater told of what it met.
//
// Bounds on hostile input: a chain stops at kMaxChainLength (partial), a
// certificate met twice ends it (cyclic), and every store search tries a
// bounded number of same-name candidates (CCTFCertStorage), so one build
// verifies at most a bounded number of signatures whatever the stores hold.
#include <algorithm>

#include "cert/certlog.h"
#include "cert/transdir.h"
#include "stores/chain_internal.h"
#include "stores/collection_internal.h"
#include "stores/crl_hooks.h"

using cert::stores::ApplicationFlag;

namespace {

constexpr unsigned long kAllChecks = CTF_CHECK_SIGNATURE | CTF_CHECK_TIME | CTF_CHECK_REVOCATION;
constexpr const char* kHandlePlace = "CCTFChainEngine::HandleDownloadedCRL";

// A hook of another layer must not take the build down with it.
template <class F>
auto Safely(F&& f, decltype(f()) failed) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        return failed;
    }
}

bool HasExtension(const CCTFCertContext& cert, const char* oid) {
    const CERT_INFO* info = cert.GetContext()->pCertInfo;
    for (DWORD i = 0; i < info->cExtension; ++i)
        if (info->rgExtension[i].pszObjId && std::string_view(info->rgExtension[i].pszObjId) == oid) return true;
    return false;
}

// The revocation check against a CRL already known to be the issuer's.
void Decide(const CCTFCertContext& subject, const CCTFCRLContext& crl, unsigned long& flags) {
    flags &= ~CTF_CHECK_NO_CRL;
    if (subject.IsRevoked(crl))
        flags |= CTF_CHECK_REVOCATION;
    else
        flags &= ~CTF_CHECK_REVOCATION;
}

// A trust store's issuer search: found unless 0x20000 comes back; the
// certificate found as its own issuer is a root, whose CRL is no question.
template <class Search>
bool StoreAnswer(Search&& search, const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl,
                 bool& isRoot, unsigned long& flags) {
    unsigned long f = flags;
    CCTFCertContext found;
    CCTFCRLContext foundCrl;
    if (!search(found, &f, &foundCrl) || (f & CTF_CHECK_NO_ISSUER)) return false;
    if (found == subject) {
        isRoot = true;
        f &= ~CTF_CHECK_NO_CRL;
    }
    issuer = found;
    crl = foundCrl;
    flags = f;
    return true;
}

}  // namespace

// The engine's steps are its own: kept out of the library's exports.
struct __attribute__((visibility("hidden"))) CCTFChainEngine::Impl {
    CTFIssuerSearchCallback callback = nullptr;
    void* context = nullptr;
    CCTFCertStorage msRoot, msCa;
    bool msOpened = false;

    // One issuer search: each answers whether it found the issuer, with
    // the check bits left in `flags`.
    bool FindInCache(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl, bool& isRoot,
                     unsigned long& flags);
    bool FindInMainStore(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl, bool& isRoot,
                         unsigned long& flags);
    bool FindInAdditionalStore(const CCTFCertStorage& additional, const CCTFCertContext& subject,
                               CCTFCertContext& issuer, CCTFCRLContext& crl, bool& isRoot, unsigned long& flags);
    bool FindInMsStore(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl, bool& isRoot,
                       unsigned long& flags);
    bool FindInRemoteStorage(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl, bool& isRoot,
                             unsigned long& flags);
    void OpenMSStorages();

    void ImmediateCrlUpdate(const CCTFCertContext& subject, const CCTFCertContext& issuer, CCTFCRLContext& crl,
                            unsigned long requested, unsigned long& flags);
    void PlanPeriodicalCrlUpdate(const CCTFCertContext& cert);
    bool FindCrlUsingCdp(const CertDll::CrlUpdaterHooks& up, const CCTFCertContext& subject, CCTFCRLContext& crl);
    bool FindCrlUsingNetworkStores(const CertDll::CrlUpdaterHooks& up, const CCTFCertContext& subject,
                                   CCTFCRLContext& crl);
    void HandleDownloadedCRL(const CCTFCRLContext& crl);
};

CCTFChainEngine::CCTFChainEngine() : m_impl(std::make_unique<Impl>()) {}
CCTFChainEngine::~CCTFChainEngine() = default;

void CCTFChainEngine::SetCallbackForCertStoreSearch(CTFIssuerSearchCallback callback, void* context) {
    m_impl->callback = callback;
    m_impl->context = context;
}

bool CCTFChainEngine::GetCertificateChain(const CCTFCertContext& cert, CCTFCertificateChain& chain,
                                          unsigned long* flags, const CCTFCertStorage* additional) try {
    chain.Clear();
    if (!cert.IsInitialized()) return false;
    const unsigned long applicationFlag = ApplicationFlag();
    unsigned long requested = (flags ? *flags : kAllChecks) & kAllChecks;
    if (!requested) requested = kAllChecks;

    Impl& m = *m_impl;
    CCTFCertContext current = cert;
    bool endedAtRoot = false;
    for (;;) {
        if (chain.elements.size() >= cert::stores::kMaxChainLength) {
            chain.status.dwErrorStatus |= CERT_TRUST_IS_PARTIAL_CHAIN;
            break;
        }
        CCTFCertContext issuer;
        CCTFCRLContext crl;
        bool isRoot = false, fromCache = false;
        unsigned long f = requested;
        bool found = m.FindInCache(current, issuer, crl, isRoot, f);
        if (found) fromCache = true;
        if (!found) found = m.FindInMainStore(current, issuer, crl, isRoot, f = requested);
        if (!found && additional && additional->IsOpen())
            found = m.FindInAdditionalStore(*additional, current, issuer, crl, isRoot, f = requested);
        if (!found && (applicationFlag & CTF_APP_SYSTEM_STORES))
            found = m.FindInMsStore(current, issuer, crl, isRoot, f = requested);
        if (!found) found = m.FindInRemoteStorage(current, issuer, crl, isRoot, f = requested);
        if (!found) {
            issuer.Reset();
            crl.Reset();
            if (cert::stores::IsSelfSignedRoot(current)) {
                // Known nowhere but sound in itself: an untrusted root.
                found = isRoot = true;
                issuer = current;
                f = requested & ~(CTF_CHECK_SIGNATURE | CTF_CHECK_REVOCATION | CTF_CHECK_NO_CRL);
                if ((f & CTF_CHECK_TIME) && current.IsValidTime()) f &= ~CTF_CHECK_TIME;
                f |= CTF_CHECK_UNTRUSTED_ROOT;
            } else {
                f = CTF_CHECK_NO_ISSUER;
            }
        }
        chain.fromCache = chain.fromCache && fromCache;

        if (found) m.ImmediateCrlUpdate(current, issuer, crl, requested, f);
        m.PlanPeriodicalCrlUpdate(current);
        if (found && issuer != current) m.PlanPeriodicalCrlUpdate(issuer);

        const DWORD bits = found ? cert::stores::ElementBits(f, applicationFlag) : 0;
        const bool seen = std::any_of(chain.elements.begin(), chain.elements.end(),
                                      [&](const CCTFChainElement& e) { return e.cert == current; });
        if (seen) {
            chain.status.dwErrorStatus |= CERT_TRUST_IS_CYCLIC;
            break;
        }
        CCTFChainElement element;
        element.cert = current;
        if (found) element.issuer = issuer;
        element.status.dwErrorStatus = bits;
        element.crl = crl;
        chain.elements.push_back(std::move(element));
        chain.status.dwErrorStatus |= bits;

        if (!found) {
            chain.status.dwErrorStatus |= CERT_TRUST_IS_PARTIAL_CHAIN;
            break;
        }
        if (isRoot) {
            endedAtRoot = true;
            break;
        }
        current = issuer;
    }

    if (chain.status.dwErrorStatus == 0 && !cert::stores::CheckBasicConstraints(chain))
        chain.status.dwErrorStatus |= CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    GetSystemTimeAsFileTime(&chain.time);
    if (chain.status.dwErrorStatus == 0 && endedAtRoot && !chain.fromCache)
        if (const CertDll::CrlCacheHooks* cache = CertDll::RunningCrlCache(); cache && cache->set)
            Safely([&] { return cache->set(chain); }, false);
    return true;
} catch (...) {
    // Out of memory half way: what was built stays, marked unfinished.
    chain.status.dwErrorStatus |= CERT_TRUST_IS_PARTIAL_CHAIN;
    return true;
}

// ---------------------------------------------------------------------------
// The sources.

bool CCTFChainEngine::Impl::FindInCache(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl,
                                        bool& isRoot, unsigned long& flags) {
    const CertDll::CrlCacheHooks* cache = CertDll::RunningCrlCache();
    if (!cache || !cache->get) return false;
    // Trust in a root comes from the trust storages alone, never from a
    // cache that anything may have filled.
    if (cert::stores::IsSelfSignedRoot(subject)) return false;
    CCTFCertContext cachedIssuer;
    CCTFCRLContext cachedCrl;
    if (!Safely([&] { return cache->get(subject, cachedIssuer, cachedCrl); }, false) || !cachedIssuer.IsInitialized())
        return false;
    const bool self = cachedIssuer == subject;
    if (self && !subject.IsSelfIssued()) return false;

    unsigned long f = flags;
    if ((f & CTF_CHECK_SIGNATURE) && subject.IsValidSignature(cachedIssuer)) f &= ~CTF_CHECK_SIGNATURE;
    if (self) {
        // Only a self-issued certificate whose own key does not verify it
        // gets here: it ends the chain, its bad signature reported.
        f &= ~(CTF_CHECK_REVOCATION | CTF_CHECK_NO_CRL);
    } else if (f & CTF_CHECK_REVOCATION) {
        if (cachedCrl.IsInitialized() && cert::stores::IsCrlOfIssuer(cachedCrl, cachedIssuer)) {
            Decide(subject, cachedCrl, f);
        } else {
            cachedCrl.Reset();
            f = (f & ~CTF_CHECK_REVOCATION) | CTF_CHECK_NO_CRL;
        }
    }
    if ((f & CTF_CHECK_TIME) && subject.IsValidTime()) f &= ~CTF_CHECK_TIME;
    issuer = cachedIssuer;
    crl = cachedCrl;
    isRoot = self;
    flags = f;
    return true;
}

bool CCTFChainEngine::Impl::FindInMainStore(const CCTFCertContext& subject, CCTFCertContext& issuer,
                                            CCTFCRLContext& crl, bool& isRoot, unsigned long& flags) {
    return StoreAnswer(
        [&](CCTFCertContext& found, unsigned long* f, CCTFCRLContext* c) {
            return CTFGetStorageCollection().FindIssuerCertificate(subject, found, f, c);
        },
        subject, issuer, crl, isRoot, flags);
}

bool CCTFChainEngine::Impl::FindInAdditionalStore(const CCTFCertStorage& additional, const CCTFCertContext& subject,
                                                  CCTFCertContext& issuer, CCTFCRLContext& crl, bool& isRoot,
                                                  unsigned long& flags) {
    return StoreAnswer([&](CCTFCertContext& found, unsigned long* f,
                           CCTFCRLContext* c) { return additional.FindIssuerCertificate(subject, found, f, c); },
                       subject, issuer, crl, isRoot, flags);
}

void CCTFChainEngine::Impl::OpenMSStorages() {
    if (msOpened) return;
    msOpened = true;
    msRoot = cert::stores::OpenSystemStore("Root", cert::stores::kSystemStoreFlags, cert::stores::kSystemRootType);
    msCa = cert::stores::OpenSystemStore("CA", cert::stores::kSystemStoreFlags, cert::stores::kSystemCaType);
    if (ApplicationFlag() & CTF_APP_SYSTEM_UNTRUSTED) {
        if (msRoot.IsOpen()) msRoot.SetStatus(0x20);
        if (msCa.IsOpen()) msCa.SetStatus(0x20);
    }
}

bool CCTFChainEngine::Impl::FindInMsStore(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl,
                                          bool& isRoot, unsigned long& flags) {
    OpenMSStorages();
    const unsigned long requested = flags;
    CCTFCertContext found;
    CCTFCRLContext foundCrl;
    unsigned long f = requested;
    if (msCa.IsOpen() && msCa.FindIssuerCertificate(subject, found, &f, &foundCrl) && !(f & CTF_CHECK_NO_ISSUER)) {
        if (found != subject) {
            issuer = found;
            crl = foundCrl;
            flags = f;
            return true;
        }
        // A self-signed certificate kept among the intermediates is a root
        // only when "Root" holds it too.
        unsigned long again = requested & (CTF_CHECK_SIGNATURE | CTF_CHECK_TIME);
        CCTFCertContext inRoot;
        if (msRoot.IsOpen() && msRoot.FindIssuerCertificate(subject, inRoot, &again, nullptr) && inRoot == subject &&
            !(again & CTF_CHECK_NO_ISSUER))
            f = again;
        else
            f = (f & (CTF_CHECK_SIGNATURE | CTF_CHECK_TIME)) | CTF_CHECK_UNTRUSTED_ROOT;
        issuer = found;
        crl.Reset();
        isRoot = true;
        flags = f;
        return true;
    }
    f = requested;
    found.Reset();
    foundCrl.Reset();
    if (!msRoot.IsOpen() || !msRoot.FindIssuerCertificate(subject, found, &f, nullptr) || (f & CTF_CHECK_NO_ISSUER))
        return false;
    if (found == subject) {
        isRoot = true;
        f &= ~CTF_CHECK_NO_CRL;
        issuer = found;
        flags = f;
        return true;
    }
    // Another issuer's CRL is looked for among the intermediates first.
    f &= ~(CTF_CHECK_REVOCATION | CTF_CHECK_NO_CRL);
    if (requested & CTF_CHECK_REVOCATION) {
        if ((msCa.IsOpen() && msCa.GetCrlFromStorage(found, foundCrl)) || msRoot.GetCrlFromStorage(found, foundCrl))
            Decide(subject, foundCrl, f);
        else
            f |= CTF_CHECK_NO_CRL;
    }
    issuer = found;
    crl = foundCrl;
    flags = f;
    return true;
}

bool CCTFChainEngine::Impl::FindInRemoteStorage(const CCTFCertContext& subject, CCTFCertContext& issuer,
                                                CCTFCRLContext& crl, bool& isRoot, unsigned long& flags) {
    if (!callback) return false;
    CCTFCertContext found;
    CCTFCRLContext given;
    const unsigned long answer = Safely([&] { return callback(subject, found, given, context); }, 0ul);
    if (!(answer & 0x10) || !found.IsInitialized()) return false;
    unsigned long f = flags;
    if ((f & CTF_CHECK_SIGNATURE) && subject.IsValidSignature(found)) f &= ~CTF_CHECK_SIGNATURE;
    if ((f & CTF_CHECK_TIME) && subject.IsValidTime()) f &= ~CTF_CHECK_TIME;
    CCTFCRLContext used;
    if (f & CTF_CHECK_REVOCATION) {
        // The caller's CRL counts like any other: only when the issuer
        // signed it.
        if (given.IsInitialized() && cert::stores::IsCrlOfIssuer(given, found)) {
            used = given;
        } else {
            OpenMSStorages();
            if (!(msCa.IsOpen() && msCa.GetCrlFromStorage(found, used)) &&
                !(msRoot.IsOpen() && msRoot.GetCrlFromStorage(found, used)))
                used.Reset();
        }
        if (used.IsInitialized())
            Decide(subject, used, f);
        else
            f = (f & ~CTF_CHECK_REVOCATION) | CTF_CHECK_NO_CRL;
    }
    issuer = found;
    crl = used;
    isRoot = cert::stores::IsSelfSignedRoot(found);
    flags = f;
    return true;
}

// ---------------------------------------------------------------------------
// The CRL updater.

void CCTFChainEngine::Impl::ImmediateCrlUpdate(const CCTFCertContext& subject, const CCTFCertContext& issuer,
                                               CCTFCRLContext& crl, unsigned long requested, unsigned long& flags) {
    const CertDll::CrlUpdaterHooks* up = CertDll::RunningCrlUpdater();
    if (!up) return;
    if (issuer == subject) {
        flags &= ~CTF_CHECK_NO_CRL;
        return;
    }
    CertDll::OnDemandCrlUpdate settings;
    if (!up->onDemand || !Safely([&] { return up->onDemand(settings); }, false)) return;
    if (!settings.allowCrlUpdate) return;
    if (crl.IsInitialized() && !settings.forceCrlUpdate) return;
    CCTFCRLContext downloaded;
    bool have = settings.allowUsingCdp && FindCrlUsingCdp(*up, subject, downloaded);
    if (!have && settings.allowUsingNetworkCrlStores) have = FindCrlUsingNetworkStores(*up, subject, downloaded);
    if (!have) return;
    HandleDownloadedCRL(downloaded);
    // Whatever the network answered decides only when the issuer signed it.
    if (!issuer.IsInitialized() || !cert::stores::IsCrlOfIssuer(downloaded, issuer)) return;
    crl = downloaded;
    flags &= ~CTF_CHECK_NO_CRL;
    if (requested & CTF_CHECK_REVOCATION) Decide(subject, downloaded, flags);
}

bool CCTFChainEngine::Impl::FindCrlUsingCdp(const CertDll::CrlUpdaterHooks& up, const CCTFCertContext& subject,
                                            CCTFCRLContext& crl) {
    if (!up.retrieveCrlUsingCertCdp || !HasExtension(subject, "2.5.29.31")) return false;
    return Safely([&] { return up.retrieveCrlUsingCertCdp(subject, crl); }, false) && crl.IsInitialized();
}

bool CCTFChainEngine::Impl::FindCrlUsingNetworkStores(const CertDll::CrlUpdaterHooks& up,
                                                      const CCTFCertContext& subject, CCTFCRLContext& crl) {
    if (!up.canSearchNetworkCrlStore || !up.searchCrlUsingNetworkCrlStore) return false;
    if (!Safely([&] { return up.canSearchNetworkCrlStore(); }, false)) return false;
    if (!HasExtension(subject, "2.5.29.35") && !HasExtension(subject, "2.5.29.1")) return false;
    return Safely([&] { return up.searchCrlUsingNetworkCrlStore(subject, crl); }, false) && crl.IsInitialized();
}

void CCTFChainEngine::Impl::PlanPeriodicalCrlUpdate(const CCTFCertContext& cert) {
    const CertDll::CrlUpdaterHooks* up = CertDll::RunningCrlUpdater();
    if (!up || !up->collectLocallyDetectedCdp || !up->planPeriodicalUpdate) return;
    if (!Safely([&] { return up->collectLocallyDetectedCdp(); }, false)) return;
    Safely(
        [&] {
            up->planPeriodicalUpdate(cert);
            return true;
        },
        false);
}

void CCTFChainEngine::Impl::HandleDownloadedCRL(const CCTFCRLContext& crl) {
    if (!crl.IsInitialized()) return;
    const CertDll::CrlUpdaterHooks* up = CertDll::RunningCrlUpdater();
    if (!up || !up->isTelvarCrl) return;
    bool ours = false;
    if (!Safely([&] { return up->isTelvarCrl(crl, ours); }, false)) return;
    if (ours) {
        if (!up->installCrl || !Safely([&] { return up->installCrl(crl); }, false))
            CertDll::GetLog().Write("crlUp->InstallCRL() failed.", CertDll::LogLevel::Debug, kHandlePlace);
        int error = 0;
        CTOOString place;
        if (!CTFUpdateCRLContext(crl, &error, &place))
            CertDll::GetLog().Write("CTFUpdateCRLContext() failed with tools2ErrorCode %u.", CertDll::LogLevel::Debug,
                                    kHandlePlace, unsigned(error));
    }
    CTFUpdateCacheCrl(crl);
}
