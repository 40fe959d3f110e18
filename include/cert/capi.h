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
// Contexts and stores (below) state their own rule.
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

// The trust status of a chain and of each of its elements: error bits and
// information bits (the library sets no information bits).
struct CERT_TRUST_STATUS {
    DWORD dwErrorStatus;
    DWORD dwInfoStatus;
};
constexpr DWORD CERT_TRUST_NO_ERROR = 0;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x1;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x4;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x8;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x20;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x40;
constexpr DWORD CERT_TRUST_IS_CYCLIC = 0x80;
constexpr DWORD CERT_TRUST_INVALID_BASIC_CONSTRAINTS = 0x400;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x10000;

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

// ===========================================================================
// Certificate and CRL contexts and stores.
//
// Contexts. A CERT_CONTEXT or CRL_CONTEXT is one allocation: the structure,
// the encoding it points at (pbCertEncoded / pbCrlEncoded) and the decoded
// information (pCertInfo / pCrlInfo), all owned by the context. Contexts are
// reference counted: every function that hands one out gives a reference
// the caller frees (CertFreeCertificateContext / CertFreeCRLContext), a
// duplicate adds one. A context in a store is the store's element: its
// properties are the element's, and it stays valid, with its properties,
// after it was deleted or its store was closed (also with the force flag)
// until its last reference goes. hCertStore names the store it was taken
// from (null for a context made from bytes); once that store's last handle
// is closed it is a closed handle, which every store function refuses.
//
// Stores. An HCERTSTORE is an id from a locked table, never a pointer into
// memory: a closed handle fails with E_INVALIDARG. CertOpenStore gives one
// open count, CertDuplicateStore adds one and returns the same handle,
// CertCloseStore takes one away; the last close of a file store opened with
// CERT_FILE_STORE_COMMIT_ENABLE_FLAG writes it. Elements keep the order in
// which they were added; a replacement keeps its place. Finds by SHA-1 hash,
// issuer and serial, subject name and key identifier go through indexes.
//
// Enumerations and finds take the previous context (null to start), free
// it, and return the next with a reference, or null with CRYPT_E_NOT_FOUND
// at the end. A previous context deleted in between is no obstacle: the
// search goes on after its place.
//
// Properties. Ids up to 0xFFFF are kept with the element as bytes; three
// have a meaning here: CERT_KEY_PROV_INFO_PROP_ID (2) takes and gives a
// CRYPT_KEY_PROV_INFO (given out as one blob, the structure and what its
// pointers point at, kept in the self-relative form files hold);
// CERT_KEY_SPEC_PROP_ID (6) a DWORD, when not set the key spec of
// property 2; CERT_SHA1_HASH_PROP_ID (3) is the SHA-1 of the encoding,
// computed when first asked. A property missing is CRYPT_E_NOT_FOUND. Adding
// a context to a store copies its properties.
//
// Thread safety: contexts may be used and freed from any thread; each store
// has one lock over its elements, indexes and properties.

using HCERTSTORE = void*;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    CERT_INFO* pCertInfo;
    HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRL_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCrlEncoded;
    DWORD cbCrlEncoded;
    CRL_INFO* pCrlInfo;
    HCERTSTORE hCertStore;
};
using PCRL_CONTEXT = CRL_CONTEXT*;
using PCCRL_CONTEXT = const CRL_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
};

struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    CRYPT_KEY_PROV_PARAM* rgProvParam;
    DWORD dwKeySpec;
};

// Property ids.
constexpr DWORD CERT_KEY_PROV_HANDLE_PROP_ID = 1;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;
constexpr DWORD CERT_MD5_HASH_PROP_ID = 4;
constexpr DWORD CERT_KEY_CONTEXT_PROP_ID = 5;
constexpr DWORD CERT_KEY_SPEC_PROP_ID = 6;
constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;
constexpr DWORD CERT_ARCHIVED_PROP_ID = 19;
constexpr DWORD CERT_KEY_IDENTIFIER_PROP_ID = 20;
constexpr DWORD CERT_FIRST_USER_PROP_ID = 0x8000;
constexpr DWORD CERT_LAST_USER_PROP_ID = 0xFFFF;
// CertSetCertificateContextProperty: set in memory only (never written to
// the store's file); and do not replace a property already set.
constexpr DWORD CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG = 0x40000000;
constexpr DWORD CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG = 0x80000000;

// Store providers: small integers in an LPCSTR.
inline const LPCSTR CERT_STORE_PROV_MEMORY = reinterpret_cast<LPCSTR>(std::uintptr_t{2});
inline const LPCSTR CERT_STORE_PROV_SERIALIZED = reinterpret_cast<LPCSTR>(std::uintptr_t{6});  // CRYPT_DATA_BLOB*
inline const LPCSTR CERT_STORE_PROV_FILENAME_A = reinterpret_cast<LPCSTR>(std::uintptr_t{7});  // const char* (UTF-8)
inline const LPCSTR CERT_STORE_PROV_FILENAME_W = reinterpret_cast<LPCSTR>(std::uintptr_t{8});  // const char16_t*
inline const LPCSTR CERT_STORE_PROV_FILENAME = CERT_STORE_PROV_FILENAME_W;
inline const LPCSTR CERT_STORE_PROV_SYSTEM_A = reinterpret_cast<LPCSTR>(std::uintptr_t{9});   // const char* (UTF-8)
inline const LPCSTR CERT_STORE_PROV_SYSTEM_W = reinterpret_cast<LPCSTR>(std::uintptr_t{10});  // const char16_t*
inline const LPCSTR CERT_STORE_PROV_SYSTEM = CERT_STORE_PROV_SYSTEM_W;

// CertOpenStore flags. The others of the platform are accepted and ignored.
constexpr DWORD CERT_STORE_NO_CRYPT_RELEASE_FLAG = 0x1;
constexpr DWORD CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG = 0x4;
constexpr DWORD CERT_STORE_DELETE_FLAG = 0x10;
constexpr DWORD CERT_STORE_SHARE_CONTEXT_FLAG = 0x80;
constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x2000;           // fails with ERROR_FILE_EXISTS when there is one
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x4000;        // fails with ERROR_FILE_NOT_FOUND when there is none
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x8000;             // never written; adds stay in memory
constexpr DWORD CERT_FILE_STORE_COMMIT_ENABLE_FLAG = 0x10000;  // file stores: write at the last close
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x10000;      // system stores: the user's ...
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x20000;     // ... or the machine's
constexpr DWORD CERT_SYSTEM_STORE_LOCATION_MASK = 0x00FF0000;

// CertCloseStore flags. With the check flag a close that leaves contexts
// alive returns FALSE with CRYPT_E_PENDING_CLOSE (the store is closed all
// the same).
constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x1;
constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x2;
constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200Fu;

// Add dispositions. A certificate matches one in the store with the same
// encoding; a CRL one with the same issuer-name bytes and authority key
// identifier (both absent counts as equal).
constexpr DWORD CERT_STORE_ADD_NEW = 1;           // a match fails with CRYPT_E_EXISTS
constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;  // a match stays, the new properties merged into it
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES = 5;  // the new one takes the old's properties
// Only when newer than a match (a CRL's ThisUpdate, a certificate's
// NotBefore), else CRYPT_E_EXISTS; the newer one replaces the match.
constexpr DWORD CERT_STORE_ADD_NEWER = 6;

// Find types for CertFindCertificateInStore (dwFindFlags must be 0).
constexpr DWORD CERT_COMPARE_SHIFT = 16;
constexpr DWORD CERT_FIND_ANY = 0;              // pvFindPara unused
constexpr DWORD CERT_FIND_SHA1_HASH = 0x10000;  // const CRYPT_HASH_BLOB*
constexpr DWORD CERT_FIND_HASH = CERT_FIND_SHA1_HASH;
constexpr DWORD CERT_FIND_ISSUER_NAME = 0x20004;   // const CERT_NAME_BLOB*, compared as bytes
constexpr DWORD CERT_FIND_SUBJECT_NAME = 0x20007;  // const CERT_NAME_BLOB*, compared as bytes
constexpr DWORD CERT_FIND_PUBLIC_KEY = 0x60000;    // const CERT_PUBLIC_KEY_INFO*
// const CERT_INFO*: its Issuer and SerialNumber; an empty Issuer: the serial alone.
constexpr DWORD CERT_FIND_SUBJECT_CERT = 0xB0000;
constexpr DWORD CERT_FIND_EXISTING = 0xD0000;  // PCCERT_CONTEXT: the same encoding
// const CRYPT_HASH_BLOB*: the subject key identifier ("2.5.29.14"), else
// the SHA-1 of the public key bits.
constexpr DWORD CERT_FIND_KEY_IDENTIFIER = 0xF0000;

// Verification flags (CertVerifySubjectCertificateContext,
// CertGetCRLFromStore): the checks asked for, each cleared when it passes.
constexpr DWORD CERT_STORE_SIGNATURE_FLAG = 0x1;
constexpr DWORD CERT_STORE_TIME_VALIDITY_FLAG = 0x2;
constexpr DWORD CERT_STORE_REVOCATION_FLAG = 0x4;
constexpr DWORD CERT_STORE_NO_CRL_FLAG = 0x10000;
constexpr DWORD CERT_STORE_NO_ISSUER_FLAG = 0x20000;

// CertSaveStore.
constexpr DWORD CERT_STORE_SAVE_AS_STORE = 1;       // the serialized-store form
constexpr DWORD CERT_STORE_SAVE_AS_PKCS7 = 2;       // certificates and CRLs as degenerate SignedData
constexpr DWORD CERT_STORE_SAVE_TO_MEMORY = 2;      // CRYPT_DATA_BLOB*, by the size protocol
constexpr DWORD CERT_STORE_SAVE_TO_FILENAME_A = 3;  // const char* (UTF-8), replaced through a work copy
constexpr DWORD CERT_STORE_SAVE_TO_FILENAME_W = 4;  // const char16_t*
constexpr DWORD CERT_STORE_SAVE_TO_FILENAME = CERT_STORE_SAVE_TO_FILENAME_W;

// --- Contexts.

// A context from an encoded certificate (X509_ASN_ENCODING required; a v1
// certificate loads), or null with the decoder's last error.
CERT_API PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                     DWORD cbCertEncoded);
// The same context with one more reference (null gives null).
CERT_API PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
// Takes one reference away; null is accepted. Always TRUE.
CERT_API BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

CERT_API PCCRL_CONTEXT CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded, DWORD cbCrlEncoded);
CERT_API PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext);
CERT_API BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext);

// Property `dwPropId` into pvData (*pcbData bytes; null asks the size; a
// short buffer fails with ERROR_MORE_DATA and the size in *pcbData).
CERT_API BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                                DWORD* pcbData);
// Sets property `dwPropId` from pvData: a CRYPT_KEY_PROV_INFO* for 2, a
// DWORD* for 6, a CRYPT_DATA_BLOB* for any other id; null pvData deletes
// it. Id 0 or above 0xFFFF fails with E_INVALIDARG. A change to an element
// of a system store is written at once.
CERT_API BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                                const void* pvData);
// The property ids set on the context in ascending order, after dwPropId
// (0 to start); 0 at the end.
CERT_API DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);
CERT_API BOOL CertGetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId, void* pvData, DWORD* pcbData);
CERT_API BOOL CertSetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId, DWORD dwFlags, const void* pvData);

// --- Stores.

// Opens a store (see the provider constants for pvPara). Provider 6 loads
// a serialized store; 7/8 a file store (a serialized store, a PKCS #7
// bundle or one DER certificate; a missing file is an empty store unless
// CERT_STORE_OPEN_EXISTING_FLAG); 9/10 a system store by name. Null with the
// last error on failure (CRYPT_E_FILE_ERROR for a store file that is none
// of the three forms).
CERT_API HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV hCryptProv, DWORD dwFlags,
                                  const void* pvPara);
CERT_API HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore);
// FALSE when a commit failed (its last error; the store file stays as it
// was) or, with CERT_CLOSE_STORE_CHECK_FLAG, CRYPT_E_PENDING_CLOSE.
CERT_API BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

CERT_API BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                               DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
CERT_API BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                               const BYTE* pbCertEncoded, DWORD cbCertEncoded, DWORD dwAddDisposition,
                                               PCCERT_CONTEXT* ppCertContext);
CERT_API BOOL CertAddCRLContextToStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pCrlContext, DWORD dwAddDisposition,
                                       PCCRL_CONTEXT* ppStoreContext);
CERT_API BOOL CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                                       DWORD cbCrlEncoded, DWORD dwAddDisposition, PCCRL_CONTEXT* ppCrlContext);
// Removes the context from its store and frees the reference given, also
// on failure. A context in no store fails with E_INVALIDARG.
CERT_API BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
CERT_API BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext);

CERT_API PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
CERT_API PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext);
CERT_API PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                                   DWORD dwFindType, const void* pvFindPara,
                                                   PCCERT_CONTEXT pPrevCertContext);
// The next CRL whose issuer name is the issuer's subject (any CRL when
// pIssuerContext is null). *pdwFlags asks for checks of the CRL found:
// CERT_STORE_SIGNATURE_FLAG (with the issuer's key) and
// CERT_STORE_TIME_VALIDITY_FLAG (now within ThisUpdate ... NextUpdate);
// each passed check is cleared. Other bits: E_INVALIDARG.
CERT_API PCCRL_CONTEXT CertGetCRLFromStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pIssuerContext,
                                           PCCRL_CONTEXT pPrevCrlContext, DWORD* pdwFlags);
// The next certificate in the store that issued the subject (its subject
// name is the subject's issuer), with *pdwFlags checked as by
// CertVerifySubjectCertificateContext; null with CRYPT_E_NOT_FOUND at the
// end, CRYPT_E_SELF_SIGNED for a self-signed subject.
CERT_API PCCERT_CONTEXT CertGetIssuerCertificateFromStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pSubjectContext,
                                                          PCCERT_CONTEXT pPrevIssuerContext, DWORD* pdwFlags);

// Checks the subject against its issuer as *pdwFlags asks, clearing each
// check that passes: CERT_STORE_SIGNATURE_FLAG (GOST through the provider,
// RSA through OpenSSL), CERT_STORE_TIME_VALIDITY_FLAG (now within the
// subject's validity), CERT_STORE_REVOCATION_FLAG (a CRL of the issuer in
// the issuer's store: none sets CERT_STORE_NO_CRL_FLAG and clears the bit;
// the bit stays when the subject's serial is listed). FALSE (with
// E_INVALIDARG) only for bad arguments or unknown bits.
CERT_API BOOL CertVerifySubjectCertificateContext(PCCERT_CONTEXT pSubject, PCCERT_CONTEXT pIssuer, DWORD* pdwFlags);
// -1 when the time (now when null) is before ThisUpdate, 1 after a present
// NextUpdate, else 0.
CERT_API LONG CertVerifyCRLTimeValidity(const FILETIME* pTimeToVerify, const CRL_INFO* pCrlInfo);
// TRUE when the two encoded names are equal byte for byte.
CERT_API BOOL CertCompareCertificateName(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pCertName1,
                                         const CERT_NAME_BLOB* pCertName2);
// Writes every element of the store as a serialized store (with
// properties) or as a PKCS #7 bundle, to memory (pvSaveToPara a
// CRYPT_DATA_BLOB*, size protocol) or to a file replaced whole.
CERT_API BOOL CertSaveStore(HCERTSTORE hCertStore, DWORD dwEncodingType, DWORD dwSaveAs, DWORD dwSaveTo,
                            void* pvSaveToPara, DWORD dwFlags);
