// The certificate model: the library's own values for an X.509 v3
// certificate and what it carries (algorithm identifiers, subject public
// keys, extensions, the authority key identifier, the to-be-signed
// information and the signed certificate), the builders of a new
// certificate's information, and the exchange of public keys with the
// crypto provider. Names are CCTFX509Name (cert/x500name.h).
//
// Values. The classes are plain copyable values whose fields are public,
// in the order the rest of the library knows them; nothing keeps them in
// step with each other (a certificate's kept encoding is not updated when
// its fields change: see CCTFX509Certificate). Object identifiers are
// dotted text; DWORD stands for the 32-bit "unsigned long" of the
// interfaces, so -1 is 0xFFFFFFFF.
//
// Byte orders. Every serial number the model holds (a certificate's, an
// authority key identifier's) is least significant byte first, the
// platform's order: decoding reverses the INTEGER content and keeps every
// byte, so the content 00 80 is held as 80 00. Signatures are held least
// significant byte first too, as the platform and the provider give them.
// Key bits, key identifiers and extension values keep their encoded order.
//
// Errors. Methods that answer with bool, a count or a blob report a failure
// by false, 0 or an empty blob and never throw. The others throw XTOOStatus
// and nothing else: the platform structure constructors for an OID that is
// not dotted text (28), ReadData of malformed DER (206, with the method as
// the place, unless an `int* error` is given to take the code), the
// public key's WriteData without key bits (42), CreateCertReq as it says,
// and CCTFX509Name as x500name.h says; out of memory is 16. Decoding reads
// strict DER with the foundation's reader; a failed decode leaves the
// object as it was.
//
// Decoded platform structures (CCTFCertExtension::DecodeData) are one blob
// whose pointers point into it: keep it where it was decoded, never copy
// it as bytes.
//
// Thread safety: an object belongs to one thread at a time (CCTFString's
// conversions fill a cache inside a const object); distinct objects are
// independent.
#pragma once

#include <list>
#include <string>

#include "cert/asn.h"
#include "cert/capi.h"
#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"
#include "cert/tootime.h"
#include "cert/x500name.h"

class CTOOFile;
// A platform certificate context: it comes with the certificate contexts,
// which are built over this model.
struct CERT_CONTEXT;

// ---------------------------------------------------------------------------
// A text kept in the form it was given, 8-bit (UTF-8) or wide (UTF-16),
// whose other form is made on first use and kept. A null text is the empty
// string; text that does not convert gives an empty other form. Used for
// lists of URLs.
class CERT_API CCTFString {
public:
    CCTFString() = default;
    CCTFString(const char* text);
    CCTFString(const char16_t* text);
    CCTFString(const CCTFString&) = default;
    CCTFString& operator=(const CCTFString&) = default;
    CCTFString(CCTFString&&) = default;
    CCTFString& operator=(CCTFString&&) = default;
    virtual ~CCTFString();

    operator const char*() const;
    operator const char16_t*() const;
    // The length of the form given: bytes of 8-bit text, UTF-16 units of
    // wide text.
    DWORD GetLength() const { return m_length; }
    bool IsWide() const { return m_wide; }

private:
    DWORD m_length = 0;
    bool m_wide = false;
    mutable bool m_converted = false;
    mutable std::u16string m_wideText;
    mutable std::string m_text;
};

// ---------------------------------------------------------------------------
// An algorithm identifier: the OID and the DER of the parameters element
// (empty when absent), always written as SEQUENCE { OID, parameters }.
class CERT_API CCTFAlgorithmIdentifier : public ASNAlgorithmIdentifier {
public:
    CCTFAlgorithmIdentifier() = default;
    explicit CCTFAlgorithmIdentifier(const CRYPT_ALGORITHM_IDENTIFIER& alg);
    explicit CCTFAlgorithmIdentifier(const char* oid, const IdentObj& parameters = IdentObj());
    CCTFAlgorithmIdentifier(const CCTFAlgorithmIdentifier&) = default;
    CCTFAlgorithmIdentifier& operator=(const CCTFAlgorithmIdentifier&) = default;
    CCTFAlgorithmIdentifier(CCTFAlgorithmIdentifier&&) = default;
    CCTFAlgorithmIdentifier& operator=(CCTFAlgorithmIdentifier&&) = default;
    CCTFAlgorithmIdentifier& operator=(const CRYPT_ALGORITHM_IDENTIFIER& alg);
    ~CCTFAlgorithmIdentifier() override;

    // The OID with no parameters, except for a GOST R 34.10-2001 public key
    // ("1.2.643.2.2.19"), which gets the GOST key parameters: `paramSetOid`
    // and the 34.11-94 digest set "1.2.643.2.2.30.1".
    void SetParams(const char* algorithmOid, const char* paramSetOid);
    // Any pointer may be null. `oid` gets the algorithm OID; the others the
    // public-key, digest and encryption parameter sets of GOST key
    // parameters, empty when absent or when the parameters are no such.
    void GetParams(CTOOString* oid, CTOOString* signParamSet, CTOOString* hashParamSet,
                   CTOOString* encryptParamSet) const;
    void ClearParameters() { m_params.Empty(); }
};

// ---------------------------------------------------------------------------
// A subject public key: the algorithm and the BIT STRING's bytes (without
// the unused-bits octet, which m_publicKey keeps as its count).
class CERT_API CCTFCertPublicKeyInfo {
public:
    CCTFCertPublicKeyInfo() = default;
    explicit CCTFCertPublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info);
    CCTFCertPublicKeyInfo(const CCTFCertPublicKeyInfo&) = default;
    CCTFCertPublicKeyInfo& operator=(const CCTFCertPublicKeyInfo&) = default;
    CCTFCertPublicKeyInfo(CCTFCertPublicKeyInfo&&) = default;
    CCTFCertPublicKeyInfo& operator=(CCTFCertPublicKeyInfo&&) = default;
    CCTFCertPublicKeyInfo& operator=(const CERT_PUBLIC_KEY_INFO& info);
    virtual ~CCTFCertPublicKeyInfo();

    // Algorithm and key equal.
    bool operator==(const CCTFCertPublicKeyInfo& o) const;
    bool operator!=(const CCTFCertPublicKeyInfo& o) const { return !(*this == o); }
    // Only when both the algorithm and the key compare so.
    bool operator<(const CCTFCertPublicKeyInfo& o) const;
    bool operator>(const CCTFCertPublicKeyInfo& o) const;

    // A SubjectPublicKeyInfo: SEQUENCE of exactly the algorithm and a BIT
    // STRING. Returns the bytes taken, 0 for no input; malformed DER throws
    // 206 "CCTFCertPublicKeyInfo::ReadData". The file form reads the element
    // at the file's position.
    DWORD ReadData(const void* data, DWORD size);
    DWORD ReadData(const CTOOFile& file);
    // The DER; throws 42 "CCTFCertPublicKeyInfo" without key bits. The file
    // form returns the bytes written, 0 when the file refused them.
    IdentObj WriteData() const;
    DWORD WriteData(CTOOFile& file) const;
    // In the foundation's serialised form: the OID text, the parameters
    // and the key bits as blobs (a 32-bit length each) and the unused-bit
    // count.
    DWORD GetObjectSize() const;

    // SHA-1 of the key bits, as subject key identifiers carry it: hashed in
    // the DSS provider (type 3), else in the type 1 provider; empty for no
    // key bits or when neither hashes.
    IdentObj GetKeyID() const;
    // SHA-1 of the whole encoded SubjectPublicKeyInfo (type 1 provider);
    // empty on failure or for no key bits.
    IdentObj GetKeyInfoID() const;
    // 8 times the key's byte count: the content of the element the key
    // bits hold when they are exactly one (an OCTET STRING for GOST: 512 for
    // a 256-bit key), the first item of a constructed one without its
    // leading zero bytes (the modulus of an RSA key), else all the bytes; 0
    // for no key bits or a malformed element.
    DWORD GetKeyLength() const;

    CCTFAlgorithmIdentifier m_algorithm;
    CTOOCryptBitBlob m_publicKey;
};

// ---------------------------------------------------------------------------
// One extension: its OID, the critical flag and the value (the content of
// extnValue: the DER of the extension's own structure).
class CERT_API CCTFCertExtension {
public:
    CCTFCertExtension() = default;
    explicit CCTFCertExtension(const CERT_EXTENSION& ext);
    CCTFCertExtension(const char* oid, BOOL critical, const IdentObj& value);
    CCTFCertExtension(const CCTFCertExtension&) = default;
    CCTFCertExtension& operator=(const CCTFCertExtension&) = default;
    CCTFCertExtension(CCTFCertExtension&&) = default;
    CCTFCertExtension& operator=(CCTFCertExtension&&) = default;
    CCTFCertExtension& operator=(const CERT_EXTENSION& ext);
    virtual ~CCTFCertExtension();

    // OID, critical flag and value equal.
    bool operator==(const CCTFCertExtension& o) const;
    bool operator!=(const CCTFCertExtension& o) const { return !(*this == o); }
    // Only when the OID, the flag and the value all compare so.
    bool operator<(const CCTFCertExtension& o) const;
    bool operator>(const CCTFCertExtension& o) const;

    bool IsOID(const char* oid) const;
    std::string GetOID() const { return std::string(m_oid.view()); }

    // One Extension: SEQUENCE { OID, BOOLEAN (optional), value }, the value
    // taken as the content of its element whatever its tag. Returns the
    // bytes taken, 0 for no input. Malformed DER stores 206 in *error, or
    // throws 206 "CCTFCertExtension::ReadData" without `error`. The file
    // form reads at `offset`, or at the file's position for 0xFFFFFFFF.
    DWORD ReadData(const void* data, DWORD size, int* error);
    DWORD ReadData(const CTOOFile& file, DWORD offset, int* error);
    // SEQUENCE { OID, BOOLEAN TRUE when critical, OCTET STRING value }; the
    // same rule for failures.
    IdentObj WriteData(int* error) const;
    DWORD WriteData(CTOOFile& file, int* error) const;
    // 4 (the flag) plus the OID text and the value as blobs.
    DWORD GetObjectSize() const;

    // The value as the platform structure `structType` (an X509_* number
    // or an OID text) in `out`: one blob whose pointers point into it.
    // Four OIDs are read here: "2.5.29.14" gives the bare key identifier
    // (an OCTET STRING's content, not a structure); "2.5.29.19" the 12-byte
    // CERT_BASIC_CONSTRAINTS2_INFO, also from the form with a BOOLEAN for
    // the path length's presence (both forms give {1, flag, length}; an
    // empty SEQUENCE gives zeros); "2.5.29.15" a CRYPT_BIT_BLOB and its
    // bytes; "2.5.29.37" a CERT_ENHKEY_USAGE and its texts. Everything else
    // goes to CryptDecodeObject. False, `out` unchanged, when it does not
    // decode.
    bool DecodeData(IdentObj& out, const char* structType) const;
    // The value from a platform structure (CryptEncodeObject); false, the
    // value unchanged, when it does not encode.
    bool EncodeData(const void* structInfo, const char* structType);

    IdentObj m_oid;  // dotted text, no terminating zero
    BOOL m_critical = FALSE;
    IdentObj m_value;
};

// ---------------------------------------------------------------------------
// The extensions of a certificate in their order. Decoded certificates keep
// duplicate OIDs; Update keeps one entry per OID.
class CERT_API CCTFCertExtensionList : public std::list<CCTFCertExtension> {
public:
    CCTFCertExtensionList() = default;
    CCTFCertExtensionList(const CCTFCertExtensionList&) = default;
    CCTFCertExtensionList& operator=(const CCTFCertExtensionList&) = default;
    CCTFCertExtensionList(CCTFCertExtensionList&&) = default;
    CCTFCertExtensionList& operator=(CCTFCertExtensionList&&) = default;
    virtual ~CCTFCertExtensionList();

    // Replaces the list with the SEQUENCE OF Extension at `data`; a
    // malformed one throws 206 "CCTFCertExtension::ReadData" and leaves
    // the list as it was.
    void ReadData(const void* data, DWORD size);
    // The first entry with this OID in `out`; `out`'s OID is emptied first,
    // so a miss leaves an extension without OID.
    bool FindExtension(CTOOString oid, CCTFCertExtension& out) const;
    // The first entry with this OID, or null.
    const CCTFCertExtension* Find(const char* oid) const;
    // Removes every entry with this OID.
    void DeleteExtension(const char* oid);
    // An entry with the same OID: false when it is equal in every field,
    // else the first such is replaced (true); without one, appended (true).
    bool Update(const CCTFCertExtension& ext);
    // Update with each entry of `other`, in order.
    void MergeLists(const CCTFCertExtensionList& other);
    // 4 plus each entry's size.
    DWORD GetObjectSize() const;
};

// ---------------------------------------------------------------------------
// The authority key identifier, "2.5.29.35" or the obsolete "2.5.29.1":
// the extension and the key identifier, the issuer's serial number (least
// significant byte first) and the issuer's name it holds.
class CERT_API CCTFIssuerPublicKeyID : public CCTFCertExtension {
public:
    CCTFIssuerPublicKeyID() = default;
    // Each may be null (absent). The extension becomes "2.5.29.35", not
    // critical, encoded from them.
    CCTFIssuerPublicKeyID(const IdentObj* keyId, const IdentObj* serial, const CCTFX509Name* issuer);
    // Copies and decodes either OID; any other extension leaves all empty.
    explicit CCTFIssuerPublicKeyID(const CCTFCertExtension& ext);
    CCTFIssuerPublicKeyID(const CCTFIssuerPublicKeyID&) = default;
    CCTFIssuerPublicKeyID& operator=(const CCTFIssuerPublicKeyID&) = default;
    CCTFIssuerPublicKeyID(CCTFIssuerPublicKeyID&&) = default;
    CCTFIssuerPublicKeyID& operator=(CCTFIssuerPublicKeyID&&) = default;
    CCTFIssuerPublicKeyID& operator=(const CCTFCertExtension& ext);
    ~CCTFIssuerPublicKeyID() override;

    // Serial number, issuer name (as names compare, by bytes when one does
    // not decode) and key identifier; the extension's fields do not count.
    bool operator==(const CCTFIssuerPublicKeyID& o) const;
    bool operator!=(const CCTFIssuerPublicKeyID& o) const { return !(*this == o); }

    const IdentObj& GetKeyID() const { return m_keyId; }
    const IdentObj& GetSerialNumber() const { return m_serial; }
    const CCTFX509Name& GetIssuerName() const { return m_issuer; }

    // The three fields from the value. "2.5.29.35" takes the issuer from
    // the first directory-name entry of the issuer names (no other kind is
    // a name); any other OID is read as "2.5.29.1". A value that does not
    // decode leaves the fields as they were.
    void DecodeData();
    // The value from the three fields: "2.5.29.35" with the issuer as one
    // directory-name entry (none for an empty name), else "2.5.29.1". The
    // extension becomes not critical.
    void EncodeData();
    using CCTFCertExtension::DecodeData;
    using CCTFCertExtension::EncodeData;

private:
    IdentObj m_keyId;
    IdentObj m_serial;
    CCTFX509Name m_issuer;
};

// ---------------------------------------------------------------------------
// The to-be-signed part of a certificate.
class CERT_API CCTFCertInfo {
public:
    CCTFCertInfo() = default;
    explicit CCTFCertInfo(const CERT_INFO& info);
    // Defined with the certificate contexts, which bring CERT_CONTEXT: the
    // fields of its CERT_INFO, then the private key type from its key
    // spec property (6), -1 without one.
    explicit CCTFCertInfo(const CERT_CONTEXT& context);
    CCTFCertInfo(const CCTFCertInfo&) = default;
    CCTFCertInfo& operator=(const CCTFCertInfo&) = default;
    CCTFCertInfo(CCTFCertInfo&&) = default;
    CCTFCertInfo& operator=(CCTFCertInfo&&) = default;
    // Every field, extensions in order; both state words become 1.
    CCTFCertInfo& operator=(const CERT_INFO& info);
    CCTFCertInfo& operator=(const CERT_CONTEXT& context);  // with the contexts, as above
    virtual ~CCTFCertInfo();

    // A TBSCertificate. It must carry the version field (a v1 certificate
    // without it does not decode) and, when it has [3], at least one
    // extension; names are kept as they stand, the serial reversed. False
    // for no input or any fault; `fault` (when given) then says what and at
    // which offset.
    bool DecodeInfo(const IdentObj& tbsCertificate);
    bool DecodeInfo(const IdentObj& tbsCertificate, CTOOString* fault);
    // The DER of the fields through the platform encoder, always as v3 and
    // with the signature algorithm's OID alone (no parameters); empty when
    // they do not encode.
    IdentObj GetEncodetInfo() const;
    // 24 plus the serialised sizes of the unique identifiers, names,
    // signature algorithm, serial number, extensions and public key.
    DWORD GetObjectSize() const;

    // Version, serial, signature algorithm, issuer, times, subject, public
    // key, unique identifiers, extensions (in order) and the private key
    // type; the state words and the text do not count.
    bool operator==(const CCTFCertInfo& o) const;
    bool operator!=(const CCTFCertInfo& o) const { return !(*this == o); }
    // Only when every one of those compares so (the extensions entry by
    // entry).
    bool operator<(const CCTFCertInfo& o) const;
    bool operator>(const CCTFCertInfo& o) const;

    // `keyType` 1 when the key usage allows key or data encipherment, else
    // 2; `signParamSet` the public key algorithm OID, or, for keys with GOST
    // parameters, the public-key parameter set, with the digest and
    // encryption sets beside it. A GOST R 34.10-2012 256-bit key's
    // parameters are cleared from this object instead of being read.
    void GetKeyParam(DWORD& keyType, CTOOString& signParamSet, CTOOString& hashParamSet, CTOOString& encryptParamSet);
    DWORD GetPrivateKeyType() const { return m_privateKeyType; }
    void SetPrivateKeyType(DWORD keyType) { m_privateKeyType = keyType; }

    // The information of a new certificate or request: v3, `subject`,
    // `signatureAlgorithm`, `publicKey`; `serial` or, when it is empty, 16
    // bytes made of the key identifier word read from `keyIdText` as hex (0
    // for null), a zero word and the current FILETIME, at the most
    // significant end; valid from now (whole seconds) for `validityMonths`;
    // the usages (AddUsageToReq); a subject key identifier when there are
    // key bits; `keyIdText`'s bytes as the subject unique identifier;
    // `alternativeName`'s bytes as a "2.5.29.7" extension when not empty.
    // A failure is stored in *status or thrown when `status` is null (the
    // platform's as "CreateCertReq::CryptEncodeObject"); what was built so
    // far is returned.
    static CCTFCertInfo CreateCertReq(const CCTFX509Name& subject, const CCTFAlgorithmIdentifier& signatureAlgorithm,
                                      DWORD keyType, WORD validityMonths, DWORD extendedUsage,
                                      const CCTFCertPublicKeyInfo& publicKey, const char* keyIdText,
                                      const IdentObj& serial, const CCTFX509Name& alternativeName, int isCA,
                                      XTOOStatus* status);
    // Version 3 and, each only when the list has none of its OID: key usage
    // (critical; 0x38 for an exchange key (1), else 0xF0, or 0xC6 for a
    // CA), extended key usage (not for a CA; the bits 0x01 server, 0x02
    // client, 0x04 code signing, 0x08 e-mail, 0x10 trust list signing, 0x20
    // time stamping) and basic constraints (critical, no path length).
    // False when one does not encode; those added before stay.
    static bool AddUsageToReq(CCTFCertInfo& info, DWORD extendedUsage, DWORD keyType, bool isCA);
    // One distribution point per URL in a "2.5.29.31" extension, not
    // critical; AddCRLPoint makes one of a single URL, critical. An
    // identical extension already there is not added again; no URL adds
    // nothing. False when it does not encode.
    static bool AddCRLPoints(CCTFCertInfo& info, int count, const CCTFString* const urls[]);
    static bool AddCRLPoint(CCTFCertInfo& info, const CTOOString& url);
    // An authority information access extension, not critical: the OCSP
    // URLs first, then the CA issuers', by the same rules.
    static bool AddAiaPoints(CCTFCertInfo& info, int caIssuerCount, const CCTFString* const caIssuerUrls[],
                             int ocspCount, const CCTFString* const ocspUrls[]);

    DWORD m_state[2] = {3, 0};  // carried and copied only
    IdentObj m_encodedCert;     // the certificate this was decoded from, if any
    DWORD m_version = 0;        // 0, 1, 2 for v1, v2, v3
    IdentObj m_serialNumber;    // least significant byte first
    CCTFAlgorithmIdentifier m_signatureAlgorithm;
    CCTFX509Name m_issuer;
    FILETIME m_notBefore{0, 0};
    FILETIME m_notAfter{0, 0};
    CCTFX509Name m_subject;
    CCTFCertPublicKeyInfo m_publicKey;
    CTOOCryptBitBlob m_issuerUniqueId;  // empty: absent
    CTOOCryptBitBlob m_subjectUniqueId;
    CCTFCertExtensionList m_extensions;
    CCTFString m_text;  // carried and copied only
    // The key spec of the certificate's private key (1 exchange,
    // 2 signature), 0xFFFFFFFF when unknown.
    DWORD m_privateKeyType = 0xFFFFFFFFu;
};

// ---------------------------------------------------------------------------
// A signed certificate: the information, the outer signature algorithm, the
// signature (least significant byte first), the whole encoding as read and
// the to-be-signed part as it stood in it. The kept encoding is what was
// read: editing the fields does not change it, so WriteEncodetData goes on
// writing the input while GetEncodetCert encodes the fields.
class CERT_API CCTFX509Certificate {
public:
    CCTFX509Certificate() = default;
    CCTFX509Certificate(const CCTFX509Certificate&) = default;
    CCTFX509Certificate& operator=(const CCTFX509Certificate&) = default;
    CCTFX509Certificate(CCTFX509Certificate&&) = default;
    CCTFX509Certificate& operator=(CCTFX509Certificate&&) = default;
    virtual ~CCTFX509Certificate();

    // Exactly one Certificate: SEQUENCE { TBSCertificate (DecodeInfo),
    // AlgorithmIdentifier, BIT STRING }. False for no input or any fault;
    // `fault` then says what and at which offset.
    bool DecodeCert(const IdentObj& certificate);
    bool DecodeCert(const IdentObj& certificate, CTOOString* fault);
    // The fields encoded (GetEncodetInfo, then the outer algorithm with its
    // parameters and the signature); empty when they do not encode. Equal
    // to the input only where GetEncodetInfo gives the input's part back.
    IdentObj GetEncodetCert() const;

    // The certificate as a serialised blob (a 32-bit length, then the
    // bytes), decoded: the bytes taken, or 0 when the blob is cut short or
    // does not decode, or the file is in an error state or `offset` lies
    // beyond its end (0xFFFFFFFF reads at the file's position).
    DWORD ReadEncodetData(const void* data, DWORD size);
    DWORD ReadEncodetData(const CTOOFile& file, DWORD offset);
    // The kept encoding (GetEncodetCert when none is kept) as a serialised
    // blob: the bytes written, or 0 when there is nothing to write, the
    // buffer is too small, the file is in an error state, `offset` lies
    // beyond its end or the write fell short.
    DWORD WriteEncodetData(CTOOFile& file, DWORD offset) const;
    DWORD WriteEncodetData(void* buffer, DWORD size) const;

    // Information, signature algorithm and signature.
    bool operator==(const CCTFX509Certificate& o) const;
    bool operator!=(const CCTFX509Certificate& o) const { return !(*this == o); }
    bool operator<(const CCTFX509Certificate& o) const;
    bool operator>(const CCTFX509Certificate& o) const;

    CCTFCertInfo m_info;
    ASNAlgorithmIdentifier m_signatureAlgorithm;
    CTOOCryptBitBlob m_signature;  // least significant byte first
    IdentObj m_encoded;            // the certificate as read
    IdentObj m_toBeSigned;         // its to-be-signed part as read
};

// ---------------------------------------------------------------------------
// The public key `hKey` of the provider `hProv` as a SubjectPublicKeyInfo:
// GOST keys of the GOST providers through their public key blob and the
// registry's public-key OID, other keys through CryptExportPublicKeyInfo.
// Non-zero on success; 0 with the last error set (NTE_BAD_ALGID for a key
// algorithm the registry has no OID for).
CERT_API int CTFExportPKInfo(HCRYPTPROV hProv, HCRYPTKEY hKey, CCTFCertPublicKeyInfo& out);
// Imports `info` into the provider (VRKImportPKInfo): its result, the key
// handle in *hKey.
CERT_API int CTFIportPKInfo(HCRYPTPROV hProv, const CCTFCertPublicKeyInfo& info, HCRYPTKEY* hKey);

// ---------------------------------------------------------------------------
// Whether `at` (now, universal, when empty) lies inside the certificate's
// private-key usage period ("2.5.29.16"). `secondsLeft` becomes -1 and `end`
// 0 first; a certificate without the extension answers true. With it `end`
// is the period's end (0 when it has none) and, inside the period,
// `secondsLeft` the whole seconds left (-1 when it has no end); outside it
// `secondsLeft` is 0 and the answer false. An extension that does not decode
// answers false.
CERT_API bool CTFIsSignKeyPeriodValid(const CCTFCertInfo& cert, LONGLONG& secondsLeft, FILETIME& end,
                                      const CTOOFileTime& at);
