// The file forms of a file store and the helpers the backings share, beside
// the backing interface (store_backing.h), whose rules hold here too.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "capi/store_backing.h"
#include "cert/asn.h"
#include "cert/lecursor.h"

namespace capi::store {

// Open flags both kinds of backing honour.
constexpr DWORD kCreateNew = 0x2000;     // fails when the store exists
constexpr DWORD kOpenExisting = 0x4000;  // fails when it does not
constexpr DWORD kReadOnly = 0x8000;      // never written

// False with ERROR_FILE_EXISTS or ERROR_FILE_NOT_FOUND when `flags` forbid
// opening a store that does or does not exist.
inline bool ExistenceAllowed(DWORD flags, bool exists) {
    if ((flags & kCreateNew) && exists) {
        SetLastError(ERROR_FILE_EXISTS);
        return false;
    }
    if ((flags & kOpenExisting) && !exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

// Runs the parser `body` for the bool-returning readers: a fault it throws
// (le::Error, asn::Error) is CRYPT_E_FILE_ERROR at its offset, anything else
// the last error of its kind; nothing escapes.
inline bool FileFault(size_t* faultOffset, std::uint64_t at) {
    if (faultOffset) *faultOffset = static_cast<size_t>(at);
    SetLastError(CRYPT_E_FILE_ERROR);
    return false;
}
template <class F>
bool ParseGuard(size_t* faultOffset, F&& body) {
    try {
        return body();
    } catch (const le::Error& e) {
        return FileFault(faultOffset, e.Offset());
    } catch (const asn::Error& e) {
        return FileFault(faultOffset, e.Offset());
    } catch (...) {
        SetLastError(cert::platform::WinErrorOfCurrentException());
    }
    return false;
}

// How a store file was written; a commit writes the same form again.
// kDer is one certificate alone: it stays so while the store holds one
// certificate and nothing else, and becomes a PKCS #7 bundle beyond that
// (the form other tools read as "certificates" too), never a serialized
// store that they could not read.
enum class FileForm { kSerialized, kPkcs7, kDer };

// Bytes of a store file in any form: empty (an empty store), a serialized
// store, a PKCS #7 bundle or one DER certificate. False with
// CRYPT_E_FILE_ERROR (and the offset of the fault) otherwise.
bool ParseStoreFile(const BYTE* p, size_t n, std::vector<Element>& out, FileForm& form, size_t* faultOffset);

// A degenerate SignedData: its certificates, then its CRLs. Anything
// signed, or with content, is not a bundle and fails.
bool ParsePkcs7Bundle(const BYTE* p, size_t n, std::vector<Element>& out, size_t* faultOffset);

// The store's elements in `form`. A bundle or a lone certificate holds
// encodings only: properties are not written; a CTL cannot be written so
// (throws cert::capi::Fail{ERROR_NOT_SUPPORTED}; std::bad_alloc as well).
std::vector<BYTE> WriteStoreFile(const std::vector<Element>& elements, FileForm form);

// The writers over elements that stay where they are (a merge result points
// into the stores it merged, so 100,000 certificates are not copied).
using ElementRefs = std::vector<const Element*>;
ElementRefs RefsOf(const std::vector<Element>& elements);
std::vector<BYTE> WriteSerializedRefs(const ElementRefs& elements);
std::vector<BYTE> WritePkcs7BundleRefs(const ElementRefs& elements);
std::vector<BYTE> WriteStoreFileRefs(const ElementRefs& elements, FileForm form);

// Upper-case hex SHA-1 of `bytes`: a system store's file name for an element.
std::string Sha1Hex(const std::vector<BYTE>& bytes);

// Same kind, encoding and properties (readOnly is where it is shown, not what).
bool SameElement(const Element& a, const Element& b);

// Largest store file read: far above 100,000 certificates.
constexpr std::size_t kMaxStoreFile = std::size_t(1) << 30;

}  // namespace capi::store
