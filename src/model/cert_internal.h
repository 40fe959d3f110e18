// What the certificate model's files share: views of its values as platform
// structures, the platform encoder and decoder into blobs, and the readers
// of its DER parts. Internal to the library.
//
// The readers work on the foundation's asn::Reader and throw asn::Error at
// the absolute offset of a fault (XTOOStatus 206 with "offset N: reason"
// as its place); the exported methods turn that into their own rule. The
// views point into the values they were made from and live as long as
// those stay unchanged.
#pragma once

#include <string>
#include <vector>

#include "cert/asn.h"
#include "cert/certmodel.h"

namespace cert::model {

// Encoding type of every platform call of the model.
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The algorithm as the platform takes it; with `parameters` false the OID
// alone.
CRYPT_ALGORITHM_IDENTIFIER AlgorithmView(const CASNTIdData& alg, bool parameters = true);
CERT_PUBLIC_KEY_INFO PublicKeyView(const CCTFCertPublicKeyInfo& key);
inline CRYPTOAPI_BLOB BlobView(const IdentObj& b) { return CRYPTOAPI_BLOB{b.size(), const_cast<BYTE*>(b.data())}; }
inline CRYPT_BIT_BLOB BitsView(const CTOOCryptBitBlob& b) {
    return CRYPT_BIT_BLOB{b.size(), const_cast<BYTE*>(b.data()), b.GetUnusedBits()};
}

// CryptEncodeObject into a blob, the sizing call first; false (the last
// error set, `out` unchanged) when either call fails.
bool EncodeObject(DWORD encodingType, LPCSTR structType, const void* info, IdentObj& out);
// CryptDecodeObject into one aligned blob; false (`out` unchanged) on failure.
bool DecodeObject(LPCSTR structType, const IdentObj& encoded, IdentObj& out);

// The bytes in reverse order.
IdentObj Reversed(asn::Bytes bytes);

// A GOST public key's parameters: SEQUENCE { public-key set, digest set,
// encryption set } with the later ones optional; false when they are no
// such.
bool ReadGostParams(const IdentObj& parameters, CTOOString& sign, CTOOString& hash, CTOOString& encrypt);

// Parts read from `r`, stored only when whole.
CCTFAlgorithmIdentifier ReadAlgorithm(asn::Reader& r);
CCTFCertPublicKeyInfo ReadPublicKeyInfo(asn::Reader& r);
CCTFCertExtension ReadExtension(asn::Reader& r);
// The TBSCertificate that is the next element of `r`.
CCTFCertInfo ReadCertInfo(asn::Reader& r);

// Runs a decoder for the methods that answer false: true when it ran
// through; false otherwise, with the reason (the reader's offset where it
// has one) in *fault when given. Nothing is thrown.
template <class F>
bool Decoding(CTOOString* fault, F&& body) noexcept {
    try {
        body();
        return true;
    } catch (const XTOOStatus& s) {
        try {
            if (fault) *fault = s.Place();
        } catch (...) {
        }
    } catch (...) {
        try {
            if (fault) *fault = TOOStatusText(TOOStatusOfCurrentException());
        } catch (...) {
        }
    }
    return false;
}

// Runs the body of a method that reports by throwing: a reader fault
// becomes XTOOStatus(206, place, 0); any other exception XTOOStatus as
// TOORethrowAsStatus makes it.
template <class F>
auto Throwing(const char* place, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const asn::Error&) {
        throw XTOOStatus(TOOERR_DER_FORMAT, place, 0);
    } catch (...) {
        TOORethrowAsStatus(place);
    }
}

// Runs the body of a method that answers false, 0 or empty on failure.
template <class R, class F>
R Quietly(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failed;
    }
}

// The serialised size of a blob or text: its 32-bit length and its bytes.
inline DWORD Serialised(DWORD bytes) { return 4 + bytes; }

}  // namespace cert::model
