// The library's own CRL values: one revoked certificate (CCTF_CRL_Entry),
// the revoked certificates in CRL order (CCTF_CRL_EntryList), the
// to-be-signed CRL (CCTF_CRL_Info) and the signed CRL (CCTF_CRL_List),
// which a certification centre fills, numbers, signs and encodes, and a
// verifier decodes and checks against the issuer's certificate.
//
// Byte orders. Entry serial numbers are least significant byte first, the
// platform's order, every byte kept (the INTEGER content 00 80 is held as
// 80 00). The signature is held least significant byte first, as the
// provider gives it; it is reversed into the DER bit string. The CRL number
// is the INTEGER content in its encoded order.
//
// The CRL number of a CRL this library signs is an INTEGER of exactly 16
// content bytes, little-endian words: the list identifier (4), the counter
// (4) and thisUpdate as a FILETIME (8). It is written verbatim, even when
// it is no minimal DER (the first list identifier, 0xFFFFFFFF, begins with
// FF FF), and read back verbatim.
//
// Round trips. Decoding and encoding again gives the input's bytes for
// every CRL the platform encoder writes canonically: a v1 CRL keeps its
// missing version, algorithm parameters (NULL ones too) are kept as read,
// an empty entry list stays absent, times from 2050 on are GeneralizedTime.
//
// Errors. DecodeData, DecodeObject, EncodeData, GetEncodetObject and
// AddEntry throw XTOOStatus (the platform's last error through
// WinErr2ToolsErr; 16 for memory) and nothing else. The signing and
// checking methods return 1 or 0 under the `int* error, CTOOString* place`
// rule: the code (and place) stored when `error` is given, else thrown as
// XTOOStatus. ReadData and WriteData answer 0 on any failure. A failed
// decode leaves the object as it was.
//
// Lookup. CCTF_CRL_EntryList keeps an index from a serial's exact bytes to
// its first entry, built on the first lookup of a decoded list and kept up
// to date by AddEntry and EraseElement. A list edited through std::list's
// own members is indexed again on its next lookup when its size or its
// first or last entry changed; any other such edit (a serial replaced in
// place, an entry swapped for another in the middle) must be followed by
// Reindex().
//
// Thread safety: an object belongs to one thread at a time (a lookup builds
// the index inside a const list).
#pragma once

#include <list>
#include <memory>

#include "cert/capi.h"
#include "cert/certmodel.h"
#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"
#include "cert/x500name.h"

class CTOOFile;
class CCTFCertContext;

// ---------------------------------------------------------------------------
// One revoked certificate.
class CERT_API CCTF_CRL_Entry {
public:
    CCTF_CRL_Entry() = default;
    explicit CCTF_CRL_Entry(const CRL_ENTRY& entry);
    CCTF_CRL_Entry(const CCTF_CRL_Entry&) = default;
    CCTF_CRL_Entry& operator=(const CCTF_CRL_Entry&) = default;
    CCTF_CRL_Entry(CCTF_CRL_Entry&&) = default;
    CCTF_CRL_Entry& operator=(CCTF_CRL_Entry&&) = default;
    CCTF_CRL_Entry& operator=(const CRL_ENTRY& entry);
    virtual ~CCTF_CRL_Entry();

    // Serial, both halves of the date and the extensions entry by entry.
    bool operator==(const CCTF_CRL_Entry& o) const;
    bool operator!=(const CCTF_CRL_Entry& o) const { return !(*this == o); }
    // By serial, then date, then extension count and extensions.
    bool operator<(const CCTF_CRL_Entry& o) const;

    // The reason code of "2.5.29.21" (CRL_REASON_*); 0 without it or when
    // it does not decode.
    DWORD GetReasonCode() const;
    // 8 plus the serialised serial and extension list.
    DWORD GetObjectSize() const;

    IdentObj m_serialNumber;  // least significant byte first
    FILETIME m_revocationDate{0, 0};
    CCTFCertExtensionList m_extensions;
};

// ---------------------------------------------------------------------------
// The revoked certificates in CRL order, with an index by serial.
class CERT_API CCTF_CRL_EntryList : public std::list<CCTF_CRL_Entry> {
public:
    CCTF_CRL_EntryList();
    // Copies and moves carry the entries, never the index: the copy builds
    // its own on its first lookup.
    CCTF_CRL_EntryList(const CCTF_CRL_EntryList& o);
    CCTF_CRL_EntryList& operator=(const CCTF_CRL_EntryList& o);
    CCTF_CRL_EntryList(CCTF_CRL_EntryList&& o) noexcept;
    CCTF_CRL_EntryList& operator=(CCTF_CRL_EntryList&& o) noexcept;
    virtual ~CCTF_CRL_EntryList();

    // The first entry with exactly these serial bytes, copied to `out`
    // (whose serial is emptied first); false when there is none.
    bool FindElement(const IdentObj& serial, CCTF_CRL_Entry& out) const;
    // The first entry with these serial bytes, or null; valid until the
    // list changes.
    const CCTF_CRL_Entry* Find(const IdentObj& serial) const;
    // Removes the first entry with this serial: true; false, nothing
    // changed, when there is none.
    bool EraseElement(const IdentObj& serial);
    // Appends through the index (the way AddEntry appends).
    void Append(CCTF_CRL_Entry&& entry);
    // Forgets the index; the next lookup builds it again.
    void Reindex() const;
    // 4 plus the sizes of the entries.
    DWORD GetObjectSize() const;

private:
    struct Index;
    Index& Indexed() const;
    mutable std::unique_ptr<Index> m_index;
};

// ---------------------------------------------------------------------------
// The to-be-signed CRL.
class CERT_API CCTF_CRL_Info {
public:
    CCTF_CRL_Info() = default;
    CCTF_CRL_Info(const CCTF_CRL_Info&) = default;
    CCTF_CRL_Info& operator=(const CCTF_CRL_Info&) = default;
    CCTF_CRL_Info(CCTF_CRL_Info&&) = default;
    CCTF_CRL_Info& operator=(CCTF_CRL_Info&&) = default;
    virtual ~CCTF_CRL_Info();

    // Version, issuer, both times, signature algorithm, extensions and
    // entries; the changed flag does not count.
    bool operator==(const CCTF_CRL_Info& o) const;
    bool operator!=(const CCTF_CRL_Info& o) const { return !(*this == o); }

    // A TBSCertList, alone or inside a whole CRL, through the platform
    // (structure type 3). Throws "CCTF_CRL_Info::DecodeData()".
    void DecodeData(const IdentObj& tbsCrl);
    // The fields through the platform encoder. Throws
    // "CCTF_CRL_Info::EncodeData()".
    IdentObj EncodeData() const;

    // Appends an entry revoked at *revocationDate (now when null), with a
    // "2.5.29.21" extension unless `reason` is 0. An entry of the same
    // serial that equals it in every field is kept and nothing is added;
    // one that differs is dropped first, so the new one moves to the end.
    void AddEntry(const IdentObj& serial, DWORD reason, const FILETIME* revocationDate);
    // 28 for a certificate without a serial; else AddEntry, thisUpdate
    // becomes now, the changed flag is set, 0.
    int AddCertToList(const CCTFCertInfo& certificate, DWORD reason, const FILETIME* revocationDate);
    // The CRL number: the INTEGER content of "2.5.29.20"; the raw
    // extension value when that is no INTEGER or reads empty; empty
    // without the extension.
    IdentObj GetSerial() const;
    bool GetIsUpdate() const { return m_changed; }
    // 20 plus the sizes of the signature algorithm, issuer, entries and
    // extensions.
    DWORD GetObjectSize() const;

    DWORD m_version = CRL_V2;
    CCTFAlgorithmIdentifier m_signatureAlgorithm;
    CCTFX509Name m_issuer;
    FILETIME m_thisUpdate{0, 0};  // zero: unset
    FILETIME m_nextUpdate{0, 0};  // zero: unset (absent)
    CCTF_CRL_EntryList m_entries;
    CCTFCertExtensionList m_extensions;
    bool m_changed = false;
};

// ---------------------------------------------------------------------------
// The signed CRL.
class CERT_API CCTF_CRL_List {
public:
    CCTF_CRL_List() = default;
    CCTF_CRL_List(const CCTF_CRL_List&) = default;
    CCTF_CRL_List& operator=(const CCTF_CRL_List&) = default;
    CCTF_CRL_List(CCTF_CRL_List&&) = default;
    CCTF_CRL_List& operator=(CCTF_CRL_List&&) = default;
    virtual ~CCTF_CRL_List();

    // One CertificateList through the platform (structure type 1): the
    // to-be-signed bytes kept, the signature algorithm and signature taken,
    // the information decoded. A 16-byte CRL number seeds the list
    // identifier and counter, so a CRL signed again stays in its list.
    // Throws "CCTF_CRL_Info::DecodeData()".
    void DecodeObject(const IdentObj& crl);
    // The whole CRL encoded from the fields. Throws
    // "CCTF_CRL_List::GetEncodetObject".
    IdentObj GetEncodetObject() const;

    // DecodeObject, then the kept encoding becomes GetEncodetObject(): its
    // length, 0 when the input does not decode (the object unchanged).
    DWORD ReadData(const void* data, DWORD size);
    // From `offset` (0xFFFFFFFF: the file's position; beyond the end: 0) to
    // the end of the file, leaving the file just after the CRL.
    DWORD ReadData(const CTOOFile& file, DWORD offset);
    // GetEncodetObject() at `offset` (0xFFFFFFFF: the file's position;
    // beyond the end: 0): the bytes written, 0 on failure.
    DWORD WriteData(CTOOFile& file, DWORD offset) const;
    // Copied when it fits: its length, else 0.
    DWORD WriteData(void* buffer, DWORD size) const;

    IdentObj GetSerial() const { return m_info.GetSerial(); }
    // The CRL number "2.5.29.20", not critical, an INTEGER of exactly these
    // content bytes, updated in the extension list; the changed flag is set
    // when the list changed.
    void SetSerial(const unsigned char* number, DWORD length);

    // Drops entries whose certificates have expired (found through the
    // certificate search hook) and one-byte placeholders once there are
    // other entries; never the last entry.
    void CheckAndRemoveOld();

    // Fill the to-be-signed part from the signer's certificate (algorithm,
    // unset times, issuer, a new CRL number, only the number and an
    // authority key identifier as extensions) and sign it with `hKey` of
    // `hProv`. `hashAlgorithm` 0xFFFF chooses the hash by the key. 1, or 0
    // with 42 (no provider, key or certificate), 73 (a key without a GOST
    // row) or the provider's error; the fields filled stay.
    int SignList(HCRYPTPROV hProv, HCRYPTKEY hKey, const CCTFCertContext& signer, unsigned int hashAlgorithm,
                 int* error, CTOOString* place);
    // The same, the hash by the key's OID; `keyIdFlags` 0x2 puts the key
    // identifier into the authority key identifier, 0x1 the signer's
    // issuer and serial.
    int SignCrlList(HCRYPTPROV hProv, HCRYPTKEY hKey, const CCTFCertContext& signer, DWORD keyIdFlags, int* error,
                    CTOOString* place);
    // The signature checked with the issuer's key over the fields encoded
    // again: 1, or 0 with 28 (no issuer), 73 (unknown algorithm), 7 (does
    // not verify) or the provider's error.
    int CheckSign(const CCTFCertContext& issuer, int* error, CTOOString* place) const;

    // The sizes of the signature, the signature algorithm and the
    // information.
    DWORD GetObjectSize() const;

    CCTF_CRL_Info m_info;
    CCTFAlgorithmIdentifier m_signatureAlgorithm;
    CTOOCryptBitBlob m_signature;  // least significant byte first
    IdentObj m_encoded;            // the to-be-signed part after DecodeObject; the whole CRL after ReadData
    DWORD m_listId = 0xFFFFFFFFu;
    DWORD m_counter = 0;
};

namespace CertDll {
// How CheckAndRemoveOld finds the certificate of an entry: by serial
// (least significant byte first) with the search flags 0x20000010, then
// 0x20000020; true with the certificate in `found`. Registered by the
// layer that owns the transport directory's search; without one no entry
// is ever found, so none expires.
using CrlCertificateSearch = bool (*)(const IdentObj& serial, DWORD searchFlags, CCTFCertContext& found);
CERT_API void SetCrlCertificateSearch(CrlCertificateSearch search);
}  // namespace CertDll
