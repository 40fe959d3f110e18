// What the chain engine and the storages ask of the CRL cache and the CRL
// updater, which live in a layer above. The services register their hooks
// when they start (CTFCacheInit, CTFCRLUpdaterInit) and clear them when
// they stop; a null table, or a hook whose `running` answers false, is a
// service that is not running. A hook holds the service's singleton
// reference for the length of its call. No hook is called while the
// storage lock is held.
#pragma once

#include <cstdint>

#include "cert/chain.h"

namespace CertDll {

// The updater's on-demand settings (its settings file's names for them).
struct OnDemandCrlUpdate {
    bool allowUsingCdp = false;
    bool allowUsingNetworkCrlStores = false;
    bool allowCrlUpdate = false;
    bool forceCrlUpdate = false;
    std::uint32_t badCdpIgnoreIntervalInSec = 0;
    std::uint32_t maxTimeDownloadingCrlInSec = 0;
};

struct CrlCacheHooks {
    bool (*running)() = nullptr;
    // The issuer and CRL cached for the subject's authority key identifier.
    bool (*get)(const CCTFCertContext& subject, CCTFCertContext& issuer, CCTFCRLContext& crl) = nullptr;
    // Keeps every (issuer, CRL) element of a good chain.
    bool (*set)(const CCTFCertificateChain& chain) = nullptr;
    // Replaces the cached CRL of the CRL's authority.
    bool (*update)(const CCTFCRLContext& crl) = nullptr;
};

struct CrlUpdaterHooks {
    bool (*running)() = nullptr;
    bool (*onDemand)(OnDemandCrlUpdate& out) = nullptr;
    // The periodical setting collectLocallyDetectedCdp.
    bool (*collectLocallyDetectedCdp)() = nullptr;
    // A CRL by the certificate's distribution points.
    bool (*retrieveCrlUsingCertCdp)(const CCTFCertContext& cert, CCTFCRLContext& crl) = nullptr;
    bool (*canSearchNetworkCrlStore)() = nullptr;
    bool (*searchCrlUsingNetworkCrlStore)(const CCTFCertContext& cert, CCTFCRLContext& crl) = nullptr;
    void (*planPeriodicalUpdate)(const CCTFCertContext& cert) = nullptr;
    // Whether the CRL is one of the product's (false: not recognised).
    bool (*isTelvarCrl)(const CCTFCRLContext& crl, bool& isTelvar) = nullptr;
    bool (*installCrl)(const CCTFCRLContext& crl) = nullptr;
};

// Registers a table (null: not running); the table must outlive its use.
void SetCrlCacheHooks(const CrlCacheHooks* hooks);
void SetCrlUpdaterHooks(const CrlUpdaterHooks* hooks);
// The registered tables when their service runs, else null.
const CrlCacheHooks* RunningCrlCache();
const CrlUpdaterHooks* RunningCrlUpdater();

}  // namespace CertDll
