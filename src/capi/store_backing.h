// Where the platform's certificate stores keep their elements: files in the
// serialized-store form (and the other forms a file store reads), system
// stores as one file per element, and the property-2 layout they share.
//
// Internal to the library. The in-memory stores of this layer call these
// backings; nothing here knows about contexts.
// - Errors: functions returning bool or a pointer report by the thread's
//   last error (CRYPT_E_FILE_ERROR for bytes in no known form or with a
//   fault, the platform's file errors, ERROR_INVALID_PARAMETER for a bad
//   system store name); none lets an exception out. The writers, which
//   return bytes, throw only std::bad_alloc, or cert::capi::Fail for an
//   element no file can hold (a property id 0 or above 0xFFFF, an unknown
//   kind, more than 4 GiB). A fault in stored bytes is reported with its
//   byte offset (faultOffset, or the library log for a backing's Load).
// - Byte order: every field of the stored forms is little-endian, strings
//   are UTF-16LE; certificates, CRLs and CTLs are kept as their DER.
// - Thread safety: a backing object belongs to one store, which serialises
//   its calls; different backings on the same file or system store, in this
//   process or another, may run at once (see each kind).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cert/platform.h"

namespace capi::store {

enum : DWORD { kCert = 0x20, kCrl = 0x21, kCtl = 0x22 };

struct Element {
    DWORD kind;                 // kCert, kCrl, kCtl
    std::vector<BYTE> encoded;  // the DER as stored
    // id <= 0xFFFF, in file order; property 2 in its self-relative file form
    std::vector<std::pair<DWORD, std::vector<BYTE>>> props;
    bool readOnly = false;  // shown from another place (the machine's Root/CA in the user's)
};

class Backing {
public:
    virtual ~Backing() = default;
    // The elements as stored now, in order. False with the last error set (CRYPT_E_FILE_ERROR, ...).
    virtual bool Load(std::vector<Element>& out) = 0;
    // After a change in memory: before = null for an add, after = null for a delete, both for a replacement or a
    // property change. System stores write here; others return true.
    virtual bool Changed(const Element* before, const Element* after) = 0;
    // At close with CERT_STORE_COMMIT (file stores): the elements as loaded at open and as now. Writes nothing when
    // equal.
    virtual bool Commit(const std::vector<Element>& opened, const std::vector<Element>& now) = 0;
};

// provider 7/8: path as given (UTF-8); flags of CertOpenStore. Null with the last error on failure.
std::unique_ptr<Backing> OpenFileBacking(const std::string& path, DWORD flags);
// provider 9/10: store name; flags (0x10000 user, 0x20000 machine, 0x8000 read-only ...).
std::unique_ptr<Backing> OpenSystemBacking(const std::u16string& name, DWORD flags);

// provider 6 and CertSaveStore: the serialized-store form.
bool ParseSerialized(const BYTE* p, size_t n, std::vector<Element>& out, size_t* faultOffset);
std::vector<BYTE> WriteSerialized(const std::vector<Element>& elements);
// certificates and CRLs as a degenerate SignedData
std::vector<BYTE> WritePkcs7Bundle(const std::vector<Element>& elements);

// property 2: self-relative (file) form <-> fields
struct KeyProvInfo {
    std::u16string container, provider;
    DWORD provType = 0, flags = 0, keySpec = 0;
    std::vector<std::pair<DWORD, std::vector<BYTE>>> params;
};
bool DecodeKeyProvInfo(const BYTE* p, size_t n, KeyProvInfo& out);
std::vector<BYTE> EncodeKeyProvInfo(const KeyProvInfo& info);

}  // namespace capi::store
