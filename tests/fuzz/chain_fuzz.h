// One fuzz iteration over the chain engine, shared by the libFuzzer target
// and the corpus replay test of the normal build. The input is a control
// byte, a storage mask and DER objects back to back; each object that reads
// as a certificate or a CRL goes into the trust storage (its bit in the mask
// set) or the additional storage, and a chain is built for every
// certificate. Returns false when a chain breaks the engine's own rules:
// no answer, longer than its bound, chain bits that are not its elements'
// plus its own, an element without issuer that carries bits, or a
// correction that loses the chain's shape (a crash, a hang or a sanitizer
// report is a fault too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cert/chain.h"
#include "cert/transdir.h"

namespace chainfuzz {

// The length of the DER element at the start of `p` (tag, length and
// content), or 0 when it is not one that fits.
inline std::size_t ElementSize(const std::uint8_t* p, std::size_t size) {
    if (size < 2) return 0;
    std::size_t length = p[1], header = 2;
    if (length & 0x80) {
        const std::size_t n = length & 0x7F;
        if (n == 0 || n > 3 || size < 2 + n) return 0;
        length = 0;
        for (std::size_t i = 0; i < n; ++i) length = (length << 8) | p[2 + i];
        header += n;
    }
    return header + length <= size ? header + length : 0;
}

inline bool RunChain(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > (1u << 16)) return true;
    constexpr unsigned long kFlags[] = {0, CTF_APP_NO_CRL_UNKNOWN, CTF_APP_SYSTEM_UNTRUSTED, 0x5};
    const unsigned long applicationFlag = kFlags[data[0] & 3];
    const std::uint8_t mask = data[1];

    CCTFCertStorage trusted(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
    CCTFCertStorage additional(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0x20, nullptr);
    additional.SetStatus(0x20);
    std::vector<CCTFCertContext> certs;
    std::size_t index = 0;
    for (std::size_t at = 2; at < size; ++index) {
        const std::size_t n = ElementSize(data + at, size - at);
        if (!n) break;
        const IdentObj der(data + at, static_cast<DWORD>(n));
        at += n;
        CCTFCertStorage& into = (mask >> (index % 8)) & 1 ? trusted : additional;
        CCTFCertContext cert;
        if (cert.CreateContext(der)) {
            into.AddCertificate(cert);
            certs.push_back(cert);
            continue;
        }
        CCTFCRLContext crl;
        if (crl.CreateCRLContext(der)) into.AddCRLContext(crl, CERT_STORE_ADD_ALWAYS);
    }

    // A folder that is not there: the collection holds the trust storage
    // alone.
    CTFLoadRootStorage(trusted, CTOOString("/nonexistent/chain-fuzz"), applicationFlag);
    bool ok = true;
    constexpr DWORD kChainOnly =
        CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC | CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    for (const CCTFCertContext& cert : certs) {
        CCTFCertificateChain chain;
        if (!CTFVerifyCertificate(cert, chain, nullptr, &additional) || chain.elements.empty() ||
            chain.elements.size() > 128) {
            ok = false;
            break;
        }
        DWORD ored = 0;
        for (const CCTFChainElement& e : chain.elements) {
            ored |= e.status.dwErrorStatus;
            if (!e.issuer.IsInitialized() && e.status.dwErrorStatus != 0) ok = false;
        }
        if ((chain.status.dwErrorStatus & ~kChainOnly) != (ored & ~kChainOnly)) ok = false;
        const DWORD shape = chain.status.dwErrorStatus & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC);
        CTFCorrectChainStatus(chain, CTOOFileTime::now(), &additional);
        if ((chain.status.dwErrorStatus & shape) != shape) ok = false;
        if (!ok) break;
    }
    CTFFreeRootStorage();
    CTFSetAplicationFlag(0);
    return ok;
}

}  // namespace chainfuzz
