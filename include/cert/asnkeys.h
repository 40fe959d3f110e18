// ASN.1 structures of key containers and GOST key transport.
//
// Decode methods follow the reporting rule of the record classes: a failure
// stores a status in *pStatus when given, else throws XTOOStatus; the
// result is then false.
#pragma once

#include <vector>

#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"

namespace asn {
class Reader;
class Writer;
}  // namespace asn

// Bits of ASNKeyInfo::dwFlags (the first word of the key information).
constexpr DWORD VRK_KEYINFO_EXCHANGE = 0x1;       // the container holds an exchange key
constexpr DWORD VRK_KEYINFO_SIGNATURE = 0x2;      // the container holds a signature key
constexpr DWORD VRK_KEYINFO_CERTIFICATE = 0x100;  // a certificate is stored with the key
constexpr DWORD VRK_KEYINFO_PASSWORD = 0x400;     // this key is sealed under a password
// Bits of ASNProtectionKeyInfo::dwFlags (the first word of the protection
// key information).
constexpr DWORD VRK_PROTECT_OWN_SECRET = 0x001;  // sealed under the key set's own secret
constexpr DWORD VRK_PROTECT_PASSWORD = 0x400;    // sealed under a password; it may be changed

// One key of a container.
//   KeyInfo ::= SEQUENCE { flags INTEGER, keySpec INTEGER, algId INTEGER,
//       keyId OCTET STRING, publicKey OCTET STRING,
//       paramSet OBJECT IDENTIFIER OPTIONAL,
//       validity SEQUENCE { notBefore GeneralizedTime, notAfter GeneralizedTime },
//       certificate [0] EXPLICIT Certificate OPTIONAL }
// The certificate is carried so that a container's certificates can be
// listed without opening its keys; records written before it still read.
class CERT_API ASNKeyInfo {
public:
    virtual ~ASNKeyInfo() = default;
    DWORD dwFlags = 0;
    DWORD dwKeySpec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE
    ALG_ID algId = 0;
    IdentObj keyId;       // SHA-1 of the public key as a certificate's BIT STRING holds it
    IdentObj publicKey;   // the public key bytes (GOST: X||Y little-endian)
    CTOOString paramSet;  // public-key parameter set OID
    FILETIME notBefore{};
    FILETIME notAfter{};
    IdentObj certificate;  // DER of the certificate stored with the key, or empty

    void Write(asn::Writer& w) const;
    // Reads one KeyInfo; on failure (thrown) the object is unchanged.
    void Read(asn::Reader& r);
    bool operator==(const ASNKeyInfo& o) const;
};

//   ProtectionKeyInfo ::= SEQUENCE { flags INTEGER, kdf OBJECT IDENTIFIER,
//       iterations INTEGER }
class CERT_API ASNProtectionKeyInfo {
public:
    virtual ~ASNProtectionKeyInfo() = default;
    DWORD dwFlags = 0;
    CTOOString kdf = "1.2.840.113549.1.5.12";  // PBKDF2
    DWORD iterations = 0;

    void Write(asn::Writer& w) const;
    void Read(asn::Reader& r);
    bool operator==(const ASNProtectionKeyInfo& o) const;
};

// The container information of provider parameter 102.
//   ContainerInfo ::= SEQUENCE { version INTEGER (1), name UTF8String,
//       keyInfo KeyInfo (the default key: signature, else exchange),
//       protectionKeyInfo ProtectionKeyInfo, keys SEQUENCE OF KeyInfo }
class CERT_API ASNContainerInfo {
public:
    virtual ~ASNContainerInfo() = default;
    DWORD version = 1;
    CTOOString name;
    ASNKeyInfo keyInfo;
    ASNProtectionKeyInfo protectionKeyInfo;
    std::vector<ASNKeyInfo> keys;

    IdentObj Encode() const;
    // The whole input must be one record; on failure the object is unchanged.
    bool Decode(const void* data, DWORD size, int* pStatus = nullptr);
    bool Decode(const IdentObj& der, int* pStatus = nullptr) { return Decode(der.data(), der.size(), pStatus); }
    bool operator==(const ASNContainerInfo& o) const;
    // The key spec of the default key (0 when there is none).
    DWORD DefaultKeySpec() const { return keyInfo.dwKeySpec; }
};

// Gost28147-89-EncryptedKey ::= SEQUENCE { encryptedKey OCTET STRING (32),
//     maskKey [0] IMPLICIT OCTET STRING OPTIONAL, macKey OCTET STRING (1..4) }
class CERT_API CASNEncryptedKey {
public:
    virtual ~CASNEncryptedKey() = default;
    IdentObj encryptedKey;
    IdentObj maskKey;
    IdentObj macKey;

    void Write(asn::Writer& w) const;
    void Read(asn::Reader& r);
    IdentObj Encode() const;
    bool Decode(const IdentObj& der, int* pStatus = nullptr);
};

// GostR3410-TransportParameters ::= SEQUENCE { encryptionParamSet OBJECT
//     IDENTIFIER, ephemeralPublicKey [0] IMPLICIT SubjectPublicKeyInfo
//     OPTIONAL, ukm OCTET STRING (8) }; carried [0] IMPLICIT in the key
// transport.
class CERT_API CASNEphemeralKeyInfo {
public:
    virtual ~CASNEphemeralKeyInfo() = default;
    CTOOString encryptionParamSet = "1.2.643.2.2.31.1";
    IdentObj ephemeralPublicKey;  // DER of the SubjectPublicKeyInfo (SEQUENCE form)
    IdentObj ukm;

    // `tagged`: as [0] IMPLICIT (inside the key transport), else a SEQUENCE.
    void Write(asn::Writer& w, bool tagged) const;
    void ReadContent(asn::Reader& content);
};

// GostR3410-KeyTransport ::= SEQUENCE { sessionEncryptedKey
//     Gost28147-89-EncryptedKey, transportParameters [0] IMPLICIT
//     GostR3410-TransportParameters OPTIONAL }
class CERT_API CASNExportKeyInfo {
public:
    virtual ~CASNExportKeyInfo() = default;
    CASNEncryptedKey sessionEncryptedKey;
    bool hasTransportParameters = true;
    CASNEphemeralKeyInfo transportParameters;

    IdentObj Encode() const;
    bool Decode(const void* data, DWORD size, int* pStatus = nullptr);
    bool Decode(const IdentObj& der, int* pStatus = nullptr) { return Decode(der.data(), der.size(), pStatus); }
};
