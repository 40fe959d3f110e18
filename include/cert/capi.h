// The platform's certificate structures and their encoders, for Linux:
// CryptEncodeObject / CryptDecodeObject over the CryptoAPI structures at
// their Windows field order and widths, CertRDNValueToStrA/W and
// CryptExportPublicKeyInfo.
//
// Calls. Every function here reports as Windows does: a BOOL (or, for
// CertRDNValueToStr, a count) and the thread's last error on failure. No
// exception leaves them. On success the last error is left as it was.
//
// Structure types. `lpszStructType` is either one of the X509_* numbers
// below, which travel as a pointer value (any value below 0x10000), or the
// dotted text of an OID the table knows (szOID-style, e.g. "2.5.29.15").
// Both name the same structure where the comment of a constant says so.
// An unknown type or OID fails with ERROR_FILE_NOT_FOUND, as on Windows
// when no encoder is installed for it; the encoding type must include
// X509_ASN_ENCODING (PKCS_7_ASN_ENCODING beside it is ignored).
//
// Sizes. A null output pointer asks for the size (*pcb receives it, TRUE).
// A buffer smaller than the size fails with ERROR_MORE_DATA (234) and *pcb
// set to the size; nothing is written. Any other failure writes nothing,
// neither the buffer nor *pcb.
//
// Decoded output is ONE blob: the structure at its start, then everything
// its pointers point at, all inside the caller's buffer. The buffer must be
// aligned for a pointer (malloc'ed memory and IdentObj are); never copy the
// blob to another place as bytes: its pointers would still point into the
// old one. Keep it where it was decoded, or decode again.
//
// Byte orders. Serial numbers (CERT_INFO, CRL_ENTRY, both authority key
// identifiers) and signatures (CERT_SIGNED_CONTENT_INFO) are held least
// significant byte first, the reverse of DER; they are reversed back exactly
// as held: no sign byte is added or dropped (the INTEGER content 00 80
// decodes to 80 00 and encodes back to 00 80). A CRL number or delta CRL
// indicator is no serial: it decodes to the INTEGER content in its encoded
// order. Key bits, key identifiers and everything else keep their order.
//
// Text. 8-bit string values (numeric, printable, IA5, T61, ...) are their
// bytes (a PrintableString may hold any visible ASCII character, as names
// in the field do); BMPString and UTF8String values are UTF-16 (char16_t, Value.cbData
// in bytes), UniversalString values 32-bit code points. Names in
// alternative-name entries (e-mail, DNS, URL) are zero-terminated UTF-16 and
// must be IA5 (ASCII) to encode. Decoded strings carry a terminating zero
// after Value.cbData bytes.
//
// X509_CERT_TO_BE_SIGNED and X509_CERT_CRL_TO_BE_SIGNED decode the
// to-be-signed part, given alone or, as on Windows, inside the whole signed
// certificate or CRL; CRYPT_DECODE_TO_BE_SIGNED_FLAG says it is alone.
// They encode the part alone.
//
// Times are FILETIME (UTC). They encode as UTCTime for 1950-2049, else
// GeneralizedTime, in whole seconds; both forms decode.
//
// Input is strict DER, read by the foundation's asn::Reader: a malformed,
// truncated or oversized element, a wrong tag or bytes after the structure
// fail with a CRYPT_E_ASN1_* code. A value the structure cannot carry (an
// unimplemented alternative-name kind, a distribution point named relative
// to the CRL issuer) fails with CRYPT_E_ASN1_CHOICE. Encoding checks what
// it writes: embedded encodings (names, parameters, to-be-signed parts)
// must be one DER element (else CRYPT_E_BAD_ENCODE), string values must fit
// their type (CRYPT_E_INVALID_NUMERIC_STRING, _PRINTABLE_STRING,
// _IA5_STRING, otherwise CRYPT_E_INVALID_X500_STRING), OIDs must be dotted
// decimal (CRYPT_E_OID_FORMAT); missing pointers and unknown choices are
// E_INVALIDARG.
//
// Thread safety: every function here is reentrant; the table is constant.
#pragma once

#include <cstdint>

#include "cert/export.h"
#include "cert/platform.h"

// ---------------------------------------------------------------------------
// Encoding types.
constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr DWORD CAPI_ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Decode flags. The copy and sharing hints are accepted (output is always
// one self-contained blob); any other flag is E_INVALIDARG.
constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;
constexpr DWORD CRYPT_DECODE_TO_BE_SIGNED_FLAG = 0x2;  // the input is the to-be-signed part alone
constexpr DWORD CRYPT_DECODE_SHARE_OID_STRING_FLAG = 0x4;
// X509_CERT: the signature in its encoded order instead of reversed.
constexpr DWORD CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG = 0x8;

// The ASN.1 failures of decoding, at their Windows values (CRYPT_E_ASN1_ERROR
// and CRYPT_E_ASN1_BADTAG are in platform.h).
constexpr DWORD CRYPT_E_ASN1_INTERNAL = 0x80093101u;  // an unexpected fault
constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102u;       // the input ends inside an element
constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103u;   // malformed or not DER
constexpr DWORD CRYPT_E_ASN1_LARGE = 0x80093104u;     // a value too large for its field
constexpr DWORD CRYPT_E_ASN1_MEMORY = 0x80093106u;
constexpr DWORD CRYPT_E_ASN1_CHOICE = 0x8009310Cu;  // a choice the structure cannot hold
constexpr DWORD CRYPT_E_ASN1_NOEOD = 0x80093202u;   // bytes after the structure

// ---------------------------------------------------------------------------
// Structure types. A number travels as a pointer value: pass these
// constants, or an OID text.
inline const LPCSTR X509_CERT = reinterpret_cast<LPCSTR>(std::uintptr_t{1});               // CERT_SIGNED_CONTENT_INFO
inline const LPCSTR X509_CERT_TO_BE_SIGNED = reinterpret_cast<LPCSTR>(std::uintptr_t{2});  // CERT_INFO
inline const LPCSTR X509_CERT_CRL_TO_BE_SIGNED = reinterpret_cast<LPCSTR>(std::uintptr_t{3});  // CRL_INFO
inline const LPCSTR X509_NAME_VALUE = reinterpret_cast<LPCSTR>(std::uintptr_t{6});             // CERT_NAME_VALUE
inline const LPCSTR X509_NAME = reinterpret_cast<LPCSTR>(std::uintptr_t{7});                   // CERT_NAME_INFO
inline const LPCSTR X509_PUBLIC_KEY_INFO = reinterpret_cast<LPCSTR>(std::uintptr_t{8});        // CERT_PUBLIC_KEY_INFO
// "2.5.29.1": CERT_AUTHORITY_KEY_ID_INFO.
inline const LPCSTR X509_AUTHORITY_KEY_ID = reinterpret_cast<LPCSTR>(std::uintptr_t{9});
// "2.5.29.10": CERT_BASIC_CONSTRAINTS_INFO.
inline const LPCSTR X509_BASIC_CONSTRAINTS = reinterpret_cast<LPCSTR>(std::uintptr_t{13});
// "2.5.29.15": CRYPT_BIT_BLOB; trailing zero bits are dropped on encode.
inline const LPCSTR X509_KEY_USAGE = reinterpret_cast<LPCSTR>(std::uintptr_t{14});
// "2.5.29.19": CERT_BASIC_CONSTRAINTS2_INFO.
inline const LPCSTR X509_BASIC_CONSTRAINTS2 = reinterpret_cast<LPCSTR>(std::uintptr_t{15});
// "2.5.29.14": CRYPT_DATA_BLOB, the content of an OCTET STRING.
inline const LPCSTR X509_OCTET_STRING = reinterpret_cast<LPCSTR>(std::uintptr_t{25});
// "2.5.29.21": an int, ENUMERATED (the CRL_REASON_* codes).
inline const LPCSTR X509_ENUMERATED = reinterpret_cast<LPCSTR>(std::uintptr_t{29});
inline const LPCSTR X509_CRL_REASON_CODE = X509_ENUMERATED;
// "2.5.29.35": CERT_AUTHORITY_KEY_ID2_INFO.
inline const LPCSTR X509_AUTHORITY_KEY_ID2 = reinterpret_cast<LPCSTR>(std::uintptr_t{31});
// "1.3.6.1.5.5.7.1.1": CERT_AUTHORITY_INFO_ACCESS.
inline const LPCSTR X509_AUTHORITY_INFO_ACCESS = reinterpret_cast<LPCSTR>(std::uintptr_t{32});
// "2.5.29.31": CRL_DIST_POINTS_INFO.
inline const LPCSTR X509_CRL_DIST_POINTS = reinterpret_cast<LPCSTR>(std::uintptr_t{35});
// "2.5.29.37": CERT_ENHKEY_USAGE.
inline const LPCSTR X509_ENHANCED_KEY_USAGE = reinterpret_cast<LPCSTR>(std::uintptr_t{36});
// "2.5.29.20" (CRL number) and "2.5.29.27" (delta CRL indicator) have no
// number: CRYPT_INTEGER_BLOB in encoded order (the library's CRL numbers
// are 16 bytes, more than an int holds).

// ---------------------------------------------------------------------------
// Structures.

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;  // the content of extnValue: the extension's own DER
};

struct CERT_EXTENSIONS {
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};

constexpr DWORD CERT_V1 = 0;
constexpr DWORD CERT_V2 = 1;
constexpr DWORD CERT_V3 = 2;
constexpr DWORD CRL_V1 = 0;
constexpr DWORD CRL_V2 = 1;

struct CERT_INFO {
    DWORD dwVersion;                  // written only when not CERT_V1
    CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;  // an encoded Name; empty writes the empty Name
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;  // empty: absent
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;  // 0: no extensions field
    CERT_EXTENSION* rgExtension;
};

// X509_CERT: any signed structure (certificate, CRL, request).
struct CERT_SIGNED_CONTENT_INFO {
    CRYPT_DER_BLOB ToBeSigned;  // the whole encoded to-be-signed element
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CRYPT_BIT_BLOB Signature;  // least significant byte first
};

struct CRL_ENTRY {
    CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
    FILETIME RevocationDate;
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};

struct CRL_INFO {
    DWORD dwVersion;  // written only when not CRL_V1
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME ThisUpdate;
    FILETIME NextUpdate;  // zero: absent
    DWORD cCRLEntry;
    CRL_ENTRY* rgCRLEntry;
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};

// Value types of name attributes, and the ASN.1 type each stands for.
constexpr DWORD CERT_RDN_ANY_TYPE = 0;
constexpr DWORD CERT_RDN_ENCODED_BLOB = 1;  // Value is the whole encoded value
constexpr DWORD CERT_RDN_OCTET_STRING = 2;
constexpr DWORD CERT_RDN_NUMERIC_STRING = 3;
constexpr DWORD CERT_RDN_PRINTABLE_STRING = 4;
constexpr DWORD CERT_RDN_TELETEX_STRING = 5;
constexpr DWORD CERT_RDN_T61_STRING = 5;
constexpr DWORD CERT_RDN_VIDEOTEX_STRING = 6;
constexpr DWORD CERT_RDN_IA5_STRING = 7;
constexpr DWORD CERT_RDN_GRAPHIC_STRING = 8;
constexpr DWORD CERT_RDN_VISIBLE_STRING = 9;
constexpr DWORD CERT_RDN_ISO646_STRING = 9;
constexpr DWORD CERT_RDN_GENERAL_STRING = 10;
constexpr DWORD CERT_RDN_UNIVERSAL_STRING = 11;  // 32-bit code points
constexpr DWORD CERT_RDN_INT4_STRING = 11;
constexpr DWORD CERT_RDN_BMP_STRING = 12;  // UTF-16
constexpr DWORD CERT_RDN_UNICODE_STRING = 12;
constexpr DWORD CERT_RDN_UTF8_STRING = 13;  // UTF-16 here, UTF-8 on the wire

struct CERT_RDN_ATTR {
    LPSTR pszObjId;
    DWORD dwValueType;
    CERT_RDN_VALUE_BLOB Value;
};

struct CERT_RDN {
    DWORD cRDNAttr;
    CERT_RDN_ATTR* rgRDNAttr;
};

// X509_NAME. A multi-valued RDN stays one SET (in DER order when encoded).
struct CERT_NAME_INFO {
    DWORD cRDN;
    CERT_RDN* rgRDN;
};

// X509_NAME_VALUE: one attribute value.
struct CERT_NAME_VALUE {
    DWORD dwValueType;
    CERT_RDN_VALUE_BLOB Value;
};

// X509_BASIC_CONSTRAINTS ("2.5.29.10").
constexpr BYTE CERT_CA_SUBJECT_FLAG = 0x80;
constexpr BYTE CERT_END_ENTITY_SUBJECT_FLAG = 0x40;
struct CERT_BASIC_CONSTRAINTS_INFO {
    CRYPT_BIT_BLOB SubjectType;
    BOOL fPathLenConstraint;
    DWORD dwPathLenConstraint;
    DWORD cSubtreesConstraint;
    CERT_NAME_BLOB* rgSubtreesConstraint;
};

// X509_BASIC_CONSTRAINTS2 ("2.5.29.19").
struct CERT_BASIC_CONSTRAINTS2_INFO {
    BOOL fCA;
    BOOL fPathLenConstraint;
    DWORD dwPathLenConstraint;
};

// Key usage bits: the first byte of the bit string, then the second.
constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
constexpr BYTE CERT_OFFLINE_CRL_SIGN_KEY_USAGE = 0x02;
constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;
constexpr BYTE CERT_ENCIPHER_ONLY_KEY_USAGE = 0x01;
constexpr BYTE CERT_DECIPHER_ONLY_KEY_USAGE = 0x80;  // second byte

// X509_ENHANCED_KEY_USAGE ("2.5.29.37").
struct CERT_ENHKEY_USAGE {
    DWORD cUsageIdentifier;
    LPSTR* rgpszUsageIdentifier;
};
using CTL_USAGE = CERT_ENHKEY_USAGE;

// Alternative-name entries: the kind is the GeneralName tag plus one.
constexpr DWORD CERT_ALT_NAME_OTHER_NAME = 1;
constexpr DWORD CERT_ALT_NAME_RFC822_NAME = 2;
constexpr DWORD CERT_ALT_NAME_DNS_NAME = 3;
constexpr DWORD CERT_ALT_NAME_X400_ADDRESS = 4;  // not carried
constexpr DWORD CERT_ALT_NAME_DIRECTORY_NAME = 5;
constexpr DWORD CERT_ALT_NAME_EDI_PARTY_NAME = 6;  // not carried
constexpr DWORD CERT_ALT_NAME_URL = 7;
constexpr DWORD CERT_ALT_NAME_IP_ADDRESS = 8;
constexpr DWORD CERT_ALT_NAME_REGISTERED_ID = 9;

struct CERT_OTHER_NAME {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Value;  // the encoded value inside the [0] wrapper
};

struct CERT_ALT_NAME_ENTRY {
    DWORD dwAltNameChoice;
    union {
        CERT_OTHER_NAME* pOtherName;   // 1
        LPWSTR pwszRfc822Name;         // 2
        LPWSTR pwszDNSName;            // 3
        CERT_NAME_BLOB DirectoryName;  // 5, an encoded Name
        LPWSTR pwszURL;                // 7
        CRYPT_DATA_BLOB IPAddress;     // 8, the address bytes
        LPSTR pszRegisteredID;         // 9
    };
};

struct CERT_ALT_NAME_INFO {
    DWORD cAltEntry;
    CERT_ALT_NAME_ENTRY* rgAltEntry;
};

// X509_AUTHORITY_KEY_ID ("2.5.29.1", the obsolete form).
struct CERT_AUTHORITY_KEY_ID_INFO {
    CRYPT_DATA_BLOB KeyId;
    CERT_NAME_BLOB CertIssuer;
    CRYPT_INTEGER_BLOB CertSerialNumber;  // least significant byte first
};

// X509_AUTHORITY_KEY_ID2 ("2.5.29.35"). Empty fields are absent.
struct CERT_AUTHORITY_KEY_ID2_INFO {
    CRYPT_DATA_BLOB KeyId;
    CERT_ALT_NAME_INFO AuthorityCertIssuer;
    CRYPT_INTEGER_BLOB AuthorityCertSerialNumber;  // least significant byte first
};

// X509_AUTHORITY_INFO_ACCESS ("1.3.6.1.5.5.7.1.1").
struct CERT_ACCESS_DESCRIPTION {
    LPSTR pszAccessMethod;
    CERT_ALT_NAME_ENTRY AccessLocation;
};

struct CERT_AUTHORITY_INFO_ACCESS {
    DWORD cAccDescr;
    CERT_ACCESS_DESCRIPTION* rgAccDescr;
};

// X509_CRL_DIST_POINTS ("2.5.29.31").
constexpr DWORD CRL_DIST_POINT_NO_NAME = 0;
constexpr DWORD CRL_DIST_POINT_FULL_NAME = 1;
constexpr DWORD CRL_DIST_POINT_ISSUER_RDN_NAME = 2;  // not carried

struct CRL_DIST_POINT_NAME {
    DWORD dwDistPointNameChoice;
    union {
        CERT_ALT_NAME_INFO FullName;
    };
};

struct CRL_DIST_POINT {
    CRL_DIST_POINT_NAME DistPointName;
    CRYPT_BIT_BLOB ReasonFlags;  // empty: absent
    CERT_ALT_NAME_INFO CRLIssuer;
};

struct CRL_DIST_POINTS_INFO {
    DWORD cDistPoint;
    CRL_DIST_POINT* rgDistPoint;
};

// CRL reason codes ("2.5.29.21").
constexpr int CRL_REASON_UNSPECIFIED = 0;
constexpr int CRL_REASON_KEY_COMPROMISE = 1;
constexpr int CRL_REASON_CA_COMPROMISE = 2;
constexpr int CRL_REASON_AFFILIATION_CHANGED = 3;
constexpr int CRL_REASON_SUPERSEDED = 4;
constexpr int CRL_REASON_CESSATION_OF_OPERATION = 5;
constexpr int CRL_REASON_CERTIFICATE_HOLD = 6;
constexpr int CRL_REASON_REMOVE_FROM_CRL = 8;
constexpr int CRL_REASON_PRIVILEGE_WITHDRAWN = 9;
constexpr int CRL_REASON_AA_COMPROMISE = 10;

// ---------------------------------------------------------------------------
// Functions.

// Encodes the structure `pvStructInfo` of type `lpszStructType` into
// `pbEncoded` (*pcbEncoded bytes of room; null asks for the size).
CERT_API BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                                BYTE* pbEncoded, DWORD* pcbEncoded);

// Decodes `pbEncoded` into one blob at `pvStructInfo` (*pcbStructInfo bytes
// of room; null asks for the size). The whole input must be the structure.
CERT_API BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                                DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);

// The text of a name attribute value, zero-terminated: A as UTF-8, W as
// UTF-16. String types give their characters; an encoded blob or octet
// string gives '#' and the upper-case hex of its encoding. Returns the
// characters written including the terminating zero, or with a null `psz`
// or `csz` 0 the count needed; a short buffer gets what fits (never half a
// UTF-8 sequence) and a zero. An unknown type or a value that is no text of
// its type gives the empty string (1).
CERT_API DWORD CertRDNValueToStrA(DWORD dwValueType, const CERT_RDN_VALUE_BLOB* pValue, LPSTR psz, DWORD csz);
CERT_API DWORD CertRDNValueToStrW(DWORD dwValueType, const CERT_RDN_VALUE_BLOB* pValue, LPWSTR psz, DWORD csz);

// The public key `dwKeySpec` of the provider's container as a
// CERT_PUBLIC_KEY_INFO blob (size protocol as above): RSA keys, as
// rsaEncryption with NULL parameters. Other keys fail with NTE_BAD_ALGID
// (GOST keys leave the provider through VRKEncodePublicKeyAndParametrs);
// provider failures keep the provider's last error.
CERT_API BOOL CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                                       CERT_PUBLIC_KEY_INFO* pInfo, DWORD* pcbInfo);
