// Certificates and CRLs made through the library's own encoders for the
// store tests: names, serials, times and key identifiers as a test needs
// them, with a signature of fixed bytes (stores never verify).
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/asn.h"
#include "cert/capi.h"

// Specs are written with designated initializers naming only what a case
// changes; the rest keep their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace storetest {

using Der = std::vector<BYTE>;

inline Der Encode(LPCSTR type, const void* info) {
    DWORD size = 0;
    EXPECT_TRUE(CryptEncodeObject(CAPI_ENCODING, type, info, nullptr, &size)) << std::hex << GetLastError();
    Der out(size);
    EXPECT_TRUE(CryptEncodeObject(CAPI_ENCODING, type, info, out.data(), &size));
    return out;
}

inline std::string Bytes(const CRYPTOAPI_BLOB& b) {
    return b.cbData ? std::string(reinterpret_cast<const char*>(b.pbData), b.cbData) : std::string();
}
inline CRYPTOAPI_BLOB Blob(const Der& d) { return {DWORD(d.size()), const_cast<BYTE*>(d.data())}; }
inline CRYPTOAPI_BLOB Blob(std::string&&) = delete;  // would point into a temporary
inline CRYPTOAPI_BLOB Blob(const std::string& s) {
    return {DWORD(s.size()), reinterpret_cast<BYTE*>(const_cast<char*>(s.data()))};
}

// CN=cn as an encoded name.
inline Der Name(const std::string& cn) {
    char oid[] = "2.5.4.3";
    CERT_RDN_ATTR attr{oid, CERT_RDN_PRINTABLE_STRING, Blob(cn)};
    CERT_RDN rdn{1, &attr};
    CERT_NAME_INFO name{1, &rdn};
    return Encode(X509_NAME, &name);
}

inline FILETIME Year(int y) { return asn::MakeFileTime(y, 1, 1, 0, 0, 0); }

inline Der Sign(const Der& toBeSigned) {
    char alg[] = "1.2.840.113549.1.1.11";
    BYTE sig[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    CERT_SIGNED_CONTENT_INFO s{Blob(toBeSigned), {alg, {}}, {sizeof sig, sig, 0}};
    return Encode(X509_CERT, &s);
}

struct CertSpec {
    std::string subject = "leaf", issuer = "ca";
    std::string serial = "\x01";  // least significant byte first
    int from = 2020, to = 2040;
    std::string keyBits = "key";
    std::string ski;  // "2.5.29.14" when not empty
    DWORD version = CERT_V3;
};

inline Der MakeCert(const CertSpec& c) {
    Der issuer = Name(c.issuer), subject = Name(c.subject), skiValue;
    char alg[] = "1.2.840.113549.1.1.11", keyAlg[] = "1.2.840.113549.1.1.1", skiOid[] = "2.5.29.14";
    CERT_INFO info{};
    info.dwVersion = c.version;
    info.SerialNumber = Blob(c.serial);
    info.SignatureAlgorithm.pszObjId = alg;
    info.Issuer = Blob(issuer);
    info.NotBefore = Year(c.from);
    info.NotAfter = Year(c.to);
    info.Subject = Blob(subject);
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = keyAlg;
    info.SubjectPublicKeyInfo.PublicKey = {DWORD(c.keyBits.size()),
                                           reinterpret_cast<BYTE*>(const_cast<char*>(c.keyBits.data())), 0};
    CERT_EXTENSION ext{};
    if (!c.ski.empty()) {
        CRYPT_DATA_BLOB id = Blob(c.ski);
        skiValue = Encode(X509_OCTET_STRING, &id);
        ext = {skiOid, FALSE, Blob(skiValue)};
        info.cExtension = 1;
        info.rgExtension = &ext;
    }
    return Sign(Encode(X509_CERT_TO_BE_SIGNED, &info));
}

struct CrlSpec {
    std::string issuer = "ca";
    int thisUpdate = 2024, nextUpdate = 2030;
    std::vector<std::string> revoked;  // serials, least significant byte first
    std::string authorityKeyId;        // "2.5.29.35" when not empty
};

inline Der MakeCrl(const CrlSpec& c) {
    Der issuer = Name(c.issuer), akiValue;
    char alg[] = "1.2.840.113549.1.1.11", akiOid[] = "2.5.29.35";
    CRL_INFO info{};
    info.dwVersion = CRL_V2;
    info.SignatureAlgorithm.pszObjId = alg;
    info.Issuer = Blob(issuer);
    info.ThisUpdate = Year(c.thisUpdate);
    info.NextUpdate = Year(c.nextUpdate);
    std::vector<CRL_ENTRY> entries;
    for (const std::string& s : c.revoked) entries.push_back({Blob(s), Year(c.thisUpdate), 0, nullptr});
    info.cCRLEntry = DWORD(entries.size());
    info.rgCRLEntry = entries.data();
    CERT_EXTENSION ext{};
    if (!c.authorityKeyId.empty()) {
        CERT_AUTHORITY_KEY_ID2_INFO aki{};
        aki.KeyId = Blob(c.authorityKeyId);
        akiValue = Encode(X509_AUTHORITY_KEY_ID2, &aki);
        ext = {akiOid, FALSE, Blob(akiValue)};
        info.cExtension = 1;
        info.rgExtension = &ext;
    }
    return Sign(Encode(X509_CERT_CRL_TO_BE_SIGNED, &info));
}

inline HCERTSTORE MemoryStore() { return CertOpenStore(CERT_STORE_PROV_MEMORY, CAPI_ENCODING, 0, 0, nullptr); }

inline PCCERT_CONTEXT AddCert(HCERTSTORE s, const Der& der, DWORD disposition = CERT_STORE_ADD_ALWAYS) {
    PCCERT_CONTEXT c = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(s, CAPI_ENCODING, der.data(), DWORD(der.size()), disposition, &c))
        << std::hex << GetLastError();
    return c;
}

// The serial numbers' first bytes of the store's certificates, in order.
inline std::string Serials(HCERTSTORE s) {
    std::string out;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(s, c));)
        out += char(c->pCertInfo->SerialNumber.pbData[0]);
    return out;
}

// The friendly-name property, "-" when not set.
inline std::string Friendly(PCCERT_CONTEXT c) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size)) return "-";
    std::string out(size, '\0');
    CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, out.data(), &size);
    return out;
}

}  // namespace storetest
