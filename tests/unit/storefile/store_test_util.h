// Fixtures of the store-backing tests: certificates made at run time and
// serialized stores written field by field from the documented layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "capi/store_backing.h"

namespace storetest {

using Bytes = std::vector<BYTE>;
using capi::store::Element;

// A signed certificate whose serial is the four bytes 0x11 0x22 0x33 0x44;
// Cert(n) patches them, so every n gives another encoding (its signature no
// longer verifies: these tests keep bytes, they do not check them). Key,
// times and signature are fixed, so every process makes the same bytes.
inline const Bytes& TemplateCert() {
    static const Bytes der = [] {
        static const unsigned char seed[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
        EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed);
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 0x11223344);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("store test"), -1,
                                   -1, 0);
        X509_set_issuer_name(x, name);
        ASN1_TIME_set_string(X509_getm_notBefore(x), "20250101000000Z");
        ASN1_TIME_set_string(X509_getm_notAfter(x), "20350101000000Z");
        X509_set_pubkey(x, key);
        X509_sign(x, key, nullptr);  // Ed25519 signs the same bytes the same way
        unsigned char* out = nullptr;
        int n = i2d_X509(x, &out);
        Bytes der(out, out + n);
        OPENSSL_free(out);
        X509_free(x);
        EVP_PKEY_free(key);
        return der;
    }();
    return der;
}

inline Bytes Cert(std::uint32_t n) {
    Bytes der = TemplateCert();
    static const BYTE serial[] = {0x02, 0x04, 0x11, 0x22, 0x33, 0x44};
    auto it = std::search(der.begin(), der.end(), std::begin(serial), std::end(serial));
    EXPECT_NE(it, der.end());
    const std::uint32_t v = 0x10000000u | (n & 0x0FFFFFFFu);
    for (int i = 0; i < 4; ++i) it[2 + i] = BYTE(v >> (24 - 8 * i));
    return der;
}

// A CRL-shaped and a CTL-shaped element: the backings keep their bytes.
inline Bytes Sequence(const std::string& content) {
    Bytes b{0x30, BYTE(content.size())};
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

inline Element Make(DWORD kind, Bytes der, std::vector<std::pair<DWORD, Bytes>> props = {}) {
    return Element{kind, std::move(der), std::move(props), false};
}

// The serialized-store layout, one field at a time.
class Layout {
public:
    Layout& U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(BYTE(v >> (8 * i)));
        return *this;
    }
    Layout& Put(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Layout& Header() { return U32(0).Put({'C', 'E', 'R', 'T'}); }
    Layout& Record(std::uint32_t id, const Bytes& data, std::uint32_t encoding = 1) {
        return U32(id).U32(encoding).U32(std::uint32_t(data.size())).Put(data);
    }
    Layout& End() { return U32(0).U32(0).U32(0); }
    Bytes bytes;
};

inline std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Kinds and encodings in order, to compare stores in one line.
inline std::vector<std::pair<DWORD, Bytes>> Contents(const std::vector<Element>& v) {
    std::vector<std::pair<DWORD, Bytes>> out;
    for (const Element& e : v) out.emplace_back(e.kind, e.encoded);
    return out;
}

}  // namespace storetest
