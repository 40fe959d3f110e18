// Fuzz iterations over the platform decoders, one per family, shared by the
// libFuzzer targets and the corpus replay test of the normal build. Each
// returns false when the codec disagrees with itself: a structure it
// decoded does not encode, the encoding does not come back to itself, the
// sizing call and the filling call disagree, or a failure is reported as an
// internal fault (a crash or sanitizer report is a fault too).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cert/capi.h"

namespace capifuzz {

using Bytes = std::vector<std::uint8_t>;

// One decoded blob in pointer-aligned memory (empty when decoding failed).
struct Blob {
    std::vector<std::uint64_t> mem;
    bool ok = false;
    template <class T>
    const T& As() const {
        return *reinterpret_cast<const T*>(mem.data());
    }
};

inline bool DecodeInto(LPCSTR type, const std::uint8_t* data, std::size_t size, Blob& out, bool& consistent) {
    DWORD need = 0;
    consistent = true;
    if (!CryptDecodeObject(CAPI_ENCODING, type, data, DWORD(size), 0, nullptr, &need)) {
        consistent = GetLastError() != CRYPT_E_ASN1_INTERNAL;
        return false;
    }
    out.mem.assign(need / 8 + 1, 0);
    DWORD got = need;
    consistent = CryptDecodeObject(CAPI_ENCODING, type, data, DWORD(size), 0, out.mem.data(), &got) && got == need;
    out.ok = consistent;
    return consistent;
}

inline bool EncodeFrom(LPCSTR type, const void* info, Bytes& out) {
    DWORD need = 0;
    if (!CryptEncodeObject(CAPI_ENCODING, type, info, nullptr, &need)) return false;
    out.assign(need, 0);
    DWORD got = need;
    return CryptEncodeObject(CAPI_ENCODING, type, info, out.data(), &got) && got == need;
}

// Decode, encode, decode the encoding and encode again: the two encodings
// must be the same. `blob` keeps the first decoding for the caller.
inline bool Cycle(LPCSTR type, const std::uint8_t* data, std::size_t size, Blob& blob) {
    bool consistent;
    if (!DecodeInto(type, data, size, blob, consistent)) return consistent;
    Bytes first, second;
    if (!EncodeFrom(type, blob.mem.data(), first)) return false;
    Blob again;
    if (!DecodeInto(type, first.data(), first.size(), again, consistent)) return false;
    return EncodeFrom(type, again.mem.data(), second) && second == first;
}

inline bool Cycle(LPCSTR type, const std::uint8_t* data, std::size_t size) {
    Blob unused;
    return Cycle(type, data, size, unused);
}

inline bool Cycle(LPCSTR type, const CRYPTOAPI_BLOB& b) { return Cycle(type, b.pbData, b.cbData); }

// Every extension through the codec its OID names, where there is one.
inline bool Extensions(DWORD count, const CERT_EXTENSION* list) {
    bool ok = true;
    for (DWORD i = 0; i < count; ++i) ok = Cycle(list[i].pszObjId, list[i].Value) && ok;
    return ok;
}

inline const LPCSTR kExtensionTypes[] = {X509_AUTHORITY_KEY_ID,
                                         X509_BASIC_CONSTRAINTS,
                                         X509_KEY_USAGE,
                                         X509_BASIC_CONSTRAINTS2,
                                         X509_OCTET_STRING,
                                         X509_ENUMERATED,
                                         X509_AUTHORITY_KEY_ID2,
                                         X509_AUTHORITY_INFO_ACCESS,
                                         X509_CRL_DIST_POINTS,
                                         X509_ENHANCED_KEY_USAGE,
                                         "2.5.29.20"};

// The input as signed content whose to-be-signed part is `tbsType`, or as
// that part itself; `info` keeps the part's decoding.
inline bool SignedPart(LPCSTR tbsType, const std::uint8_t* data, std::size_t size, Blob& info) {
    Blob signedContent;
    bool ok = Cycle(X509_CERT, data, size, signedContent);
    if (!signedContent.ok) return Cycle(tbsType, data, size, info) && ok;
    const auto& tbs = signedContent.As<CERT_SIGNED_CONTENT_INFO>().ToBeSigned;
    return Cycle(tbsType, tbs.pbData, tbs.cbData, info) && ok;
}

// A certificate or its to-be-signed part, with every extension it carries.
inline bool RunCert(const std::uint8_t* data, std::size_t size) {
    Blob info;
    bool ok = Cycle(X509_PUBLIC_KEY_INFO, data, size);
    ok = SignedPart(X509_CERT_TO_BE_SIGNED, data, size, info) && ok;
    if (!info.ok) return ok;
    const auto& ci = info.As<CERT_INFO>();
    return Cycle(X509_NAME, ci.Issuer) && Extensions(ci.cExtension, ci.rgExtension) && ok;
}

// A CRL or its to-be-signed part, with the extensions of it and its entries.
// The whole CRL as a context and in a store: a context decodes as its
// to-be-signed part does, keeps its bytes inside itself, and a store takes
// it, refuses the same CRL as not newer, enumerates and deletes it.
inline bool CrlContext(const std::uint8_t* data, std::size_t size, const Blob& info) {
    PCCRL_CONTEXT c = CertCreateCRLContext(CAPI_ENCODING, data, DWORD(size));
    if (!c) return GetLastError() != CRYPT_E_ASN1_INTERNAL;
    bool ok = info.ok && c->cbCrlEncoded == size && std::equal(data, data + size, c->pbCrlEncoded) &&
              c->pCrlInfo->cCRLEntry == info.As<CRL_INFO>().cCRLEntry;
    CertVerifyCRLTimeValidity(nullptr, c->pCrlInfo);
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, CAPI_ENCODING, 0, 0, nullptr);
    PCCRL_CONTEXT added = nullptr;
    ok = ok && CertAddCRLContextToStore(s, c, CERT_STORE_ADD_NEWER, &added) && added != c;
    ok = ok && !CertAddCRLContextToStore(s, c, CERT_STORE_ADD_NEWER, nullptr) && GetLastError() == CRYPT_E_EXISTS;
    PCCRL_CONTEXT first = CertEnumCRLsInStore(s, nullptr);
    ok = ok && first == added && CertDeleteCRLFromStore(first);
    CertFreeCRLContext(added);
    CertFreeCRLContext(c);
    return CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG) && ok;
}

inline bool RunCrl(const std::uint8_t* data, std::size_t size) {
    Blob info;
    bool ok = SignedPart(X509_CERT_CRL_TO_BE_SIGNED, data, size, info);
    ok = CrlContext(data, size, info) && ok;
    if (!info.ok) return ok;
    const auto& crl = info.As<CRL_INFO>();
    ok = Extensions(crl.cExtension, crl.rgExtension) && ok;
    for (DWORD i = 0; i < crl.cCRLEntry; ++i)
        ok = Extensions(crl.rgCRLEntry[i].cExtension, crl.rgCRLEntry[i].rgExtension) && ok;
    return ok;
}

// A name or a name value, and the text of every value.
inline bool RunName(const std::uint8_t* data, std::size_t size) {
    Blob name;
    bool ok = Cycle(X509_NAME_VALUE, data, size) && Cycle(X509_NAME, data, size, name);
    if (!name.ok) return ok;
    const auto& info = name.As<CERT_NAME_INFO>();
    for (DWORD i = 0; i < info.cRDN; ++i) {
        for (DWORD j = 0; j < info.rgRDN[i].cRDNAttr; ++j) {
            const CERT_RDN_ATTR& a = info.rgRDN[i].rgRDNAttr[j];
            char text[64];
            char16_t wide[64];
            DWORD n = CertRDNValueToStrA(a.dwValueType, &a.Value, nullptr, 0);
            DWORD w = CertRDNValueToStrW(a.dwValueType, &a.Value, nullptr, 0);
            if (CertRDNValueToStrA(a.dwValueType, &a.Value, text, sizeof text) > std::min<DWORD>(n, sizeof text) ||
                CertRDNValueToStrW(a.dwValueType, &a.Value, wide, 64) > std::min<DWORD>(w, 64))
                ok = false;
        }
    }
    return ok;
}

// The bytes as each extension structure.
inline bool RunExtension(const std::uint8_t* data, std::size_t size) {
    bool ok = true;
    for (LPCSTR type : kExtensionTypes) ok = Cycle(type, data, size) && ok;
    return ok;
}

}  // namespace capifuzz
