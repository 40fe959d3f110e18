// The platform's certificate functions, for Linux: the machinery behind
// CryptEncodeObject / CryptDecodeObject (include/cert/capi.h) shared by the
// codec files of this layer, and the table that maps structure types and
// OIDs to codecs.
//
// Internal to the library (not exported). Conventions for the whole layer:
// - Errors are thrown as Fail{code} (a Windows code) or, from the
//   foundation's reader, asn::Error; Guard() at the exported boundary turns
//   them into the thread's last error and FALSE, so nothing escapes.
//   Decoding: asn::Error becomes CRYPT_E_ASN1_EOD (input ends inside an
//   element), CRYPT_E_ASN1_LARGE (beyond the codec's limits) or
//   CRYPT_E_ASN1_CORRUPT; the codecs themselves throw CRYPT_E_ASN1_BADTAG
//   (Take), CRYPT_E_ASN1_LARGE (a number beyond its field), CRYPT_E_ASN1_CHOICE
//   (a choice the structures cannot hold); the entry point throws
//   CRYPT_E_ASN1_NOEOD for bytes after the structure. Encoding: the codecs
//   check their input and throw E_INVALIDARG, CRYPT_E_OID_FORMAT,
//   CRYPT_E_BAD_ENCODE or a CRYPT_E_INVALID_*_STRING code; an asn::Error
//   from the writer is CRYPT_E_BAD_ENCODE. Out of memory is E_OUTOFMEMORY,
//   anything else CRYPT_E_ASN1_INTERNAL.
// - Byte orders: INTEGERs that are serial numbers, and signatures, are
//   reversed between DER and the structures (least significant byte first
//   there), byte for byte, never trimmed or padded (SerialOut/PutSerial).
//   Every other byte string keeps its order.
// - A decoder builds its structure in an Arena: the root structure is its
//   first allocation, every pointer it stores is set with Link/Bytes/Text/
//   Wide so that it can be moved into the caller's buffer as one blob.
// - Thread safety: nothing here is shared; the table is constant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/asn.h"
#include "cert/capi.h"

namespace cert::capi {

struct Fail {
    DWORD code;
};
[[noreturn]] inline void Throw(DWORD code) { throw Fail{code}; }

// The last error for a reader fault.
DWORD DecodeErrorCode(const asn::Error& e);

// Runs `body` at an exported boundary: TRUE when it ran through (the last
// error untouched), else FALSE with the last error set.
template <class F>
BOOL Guard(bool encoding, F&& body) {
    try {
        body();
        return TRUE;
    } catch (const Fail& f) {
        SetLastError(f.code);
    } catch (const asn::Error& e) {
        SetLastError(encoding ? CRYPT_E_BAD_ENCODE : DecodeErrorCode(e));
    } catch (const std::bad_alloc&) {
        SetLastError(E_OUTOFMEMORY);
    } catch (...) {
        SetLastError(CRYPT_E_ASN1_INTERNAL);
    }
    return FALSE;
}

// Hands `size` bytes of result to a caller by the size protocol: a null
// `out` learns the size, a short buffer gets ERROR_MORE_DATA, otherwise
// `write` fills `out`. `alignedOutput`: `out` must be aligned for pointers.
template <class W>
void Deliver(std::size_t size, void* out, DWORD* pcb, bool alignedOutput, W&& write) {
    if (size > 0xFFFFFFFFu) Throw(CRYPT_E_ASN1_LARGE);
    if (!out) {
        *pcb = static_cast<DWORD>(size);
        return;
    }
    if (*pcb < size) {
        *pcb = static_cast<DWORD>(size);
        Throw(ERROR_MORE_DATA);
    }
    if (alignedOutput && reinterpret_cast<std::uintptr_t>(out) % alignof(void*)) Throw(E_INVALIDARG);
    write();
    *pcb = static_cast<DWORD>(size);
}

// ---------------------------------------------------------------------------
// The decoded structure under construction. Allocations are zeroed and
// never move; pointers between them are recorded, so that CopyTo can lay
// the whole out contiguously in the caller's buffer and point them there.
class Arena {
public:
    template <class T>
    T* New(std::size_t count = 1) {
        return static_cast<T*>(Alloc(sizeof(T) * count, alignof(T)));
    }
    // Sets `field` (inside the arena) to `target` (inside the arena, or null).
    template <class T>
    void Link(T*& field, T* target) {
        field = target;
        if (target) m_links.push_back({&field, target});
    }
    // A copy of `data` with `zeros` zero bytes after it; null when both are
    // empty.
    BYTE* Copy(asn::Bytes data, std::size_t zeros = 0);
    // `blob` (inside the arena) set to a Copy.
    void Bytes(CRYPTOAPI_BLOB& blob, asn::Bytes data, std::size_t zeros = 0);
    void Text(LPSTR& field, std::string_view text);
    void Wide(LPWSTR& field, std::u16string_view text);

    std::size_t Size() const;
    void CopyTo(void* out) const;
    // The first object made, with its pointers valid in place until the
    // arena goes: a decoded structure can be read before it is laid out.
    const void* Root() const { return m_chunks.empty() ? nullptr : m_chunks.front().mem.get(); }

private:
    struct Chunk {
        std::unique_ptr<std::byte[]> mem;
        std::size_t cap = 0, used = 0;
    };
    struct Pointer {
        const void* field;
        const void* target;
    };
    void* Alloc(std::size_t size, std::size_t align);
    // Where `p` lands in the output, chunks starting at `at`.
    std::size_t OffsetOf(const void* p, const std::vector<std::size_t>& at) const;
    std::vector<std::size_t> ChunkOffsets() const;

    std::vector<Chunk> m_chunks;
    std::vector<Pointer> m_links;
};

// ---------------------------------------------------------------------------
// Reading. Each reads the next element of `r` and moves past it. Take:
// an element of this universal tag, else CRYPT_E_ASN1_BADTAG; TakeContext:
// context tag [n] in the given form; Has: whether the next element is one.
asn::Element TakeAny(asn::Reader& r);
asn::Element Take(asn::Reader& r, std::uint32_t tag);
asn::Element TakeContext(asn::Reader& r, std::uint32_t n, bool constructed);
bool Has(asn::Reader& r, std::uint32_t tag, std::uint8_t cls = asn::kUniversal);
// The elements left in `r` (a copy is walked).
std::size_t Count(asn::Reader r);
// A non-negative INTEGER (or ENUMERATED) content that fits 32 bits.
DWORD SmallUnsigned(const asn::Element& e);
// INTEGER content (the tag is the caller's), reversed.
void SerialOut(Arena& a, CRYPT_INTEGER_BLOB& out, const asn::Element& integer);
// BIT STRING content (the tag is the caller's).
void BitsOut(Arena& a, CRYPT_BIT_BLOB& out, const asn::Element& bits);

void OidOut(asn::Reader& r, Arena& a, LPSTR& field);
void AlgorithmOut(asn::Reader& r, Arena& a, CRYPT_ALGORITHM_IDENTIFIER& out);
void PublicKeyInfoOut(asn::Reader& r, Arena& a, CERT_PUBLIC_KEY_INFO& out);
// A Name, kept whole (tag and length included).
void NameOut(asn::Reader& r, Arena& a, CERT_NAME_BLOB& out);
FILETIME TimeOut(asn::Reader& r);
// One zeroed item per element left in `r`: `count` and `list` (inside the
// arena) are set, and the items returned for the caller to fill.
template <class T>
T* ArrayOut(const asn::Reader& r, Arena& a, DWORD& count, T*& list) {
    const std::size_t n = Count(r);
    count = static_cast<DWORD>(n);
    T* items = n ? a.New<T>(n) : nullptr;
    a.Link(list, items);
    return items;
}
// Every element left in `r` as an Extension.
void ExtensionsOut(asn::Reader& r, Arena& a, DWORD& count, CERT_EXTENSION*& list);
// Every element left in `r` as a GeneralName.
void AltNamesOut(asn::Reader& r, Arena& a, CERT_ALT_NAME_INFO& out);
void AltNameOut(asn::Reader& r, Arena& a, CERT_ALT_NAME_ENTRY& out);

// ---------------------------------------------------------------------------
// Writing. Each checks what the caller's structure holds before it writes.
template <class T>
std::span<const T> Items(const T* list, DWORD count) {
    if (count && !list) Throw(E_INVALIDARG);
    return std::span<const T>(list, count);
}
// A SEQUENCE OF the caller's items, each written by `put`.
template <class T, class F>
void PutSequenceOf(asn::Writer& w, const T* list, DWORD count, F&& put) {
    auto m = w.BeginSequence();
    for (const T& item : Items(list, count)) put(item);
    w.End(m);
}
asn::Bytes View(const CRYPTOAPI_BLOB& b);
void PutOid(asn::Writer& w, const char* oid);
void PutAlgorithm(asn::Writer& w, const CRYPT_ALGORITHM_IDENTIFIER& alg);
void PutPublicKeyInfo(asn::Writer& w, const CERT_PUBLIC_KEY_INFO& info);
// Exactly one DER element, written as it is.
void PutEncoded(asn::Writer& w, const CRYPTOAPI_BLOB& b);
// Exactly one DER element that is a SEQUENCE.
void PutSequence(asn::Writer& w, const CRYPTOAPI_BLOB& b);
// An encoded Name; an empty blob writes the empty Name.
void PutName(asn::Writer& w, const CERT_NAME_BLOB& name);
// The reversed bytes as INTEGER content under the given tag.
void PutSerial(asn::Writer& w, const CRYPT_INTEGER_BLOB& serial, std::uint8_t cls = asn::kUniversal,
               std::uint32_t tag = asn::kInteger);
void PutTime(asn::Writer& w, const FILETIME& t);
// A BIT STRING under the given tag; `named`: a named bit list, whose
// trailing zero bits DER drops.
void PutBits(asn::Writer& w, const CRYPT_BIT_BLOB& bits, bool named, std::uint8_t cls = asn::kUniversal,
             std::uint32_t tag = asn::kBitString);
void PutExtensions(asn::Writer& w, DWORD count, const CERT_EXTENSION* list);
// GeneralNames under the given tag (SEQUENCE, or an implicit context tag).
void PutAltNames(asn::Writer& w, const CERT_ALT_NAME_INFO& names, std::uint8_t cls = asn::kUniversal,
                 std::uint32_t tag = asn::kSequence);
void PutAltName(asn::Writer& w, const CERT_ALT_NAME_ENTRY& name);

// ---------------------------------------------------------------------------
// The codec table. A decoder reads one element from `in` (the entry point
// refuses what follows it); an encoder writes one.
using Encoder = void (*)(asn::Writer& out, const void* info);
using Decoder = void (*)(asn::Reader& in, Arena& out, DWORD flags);

struct Codec {
    std::uintptr_t id;  // X509_* number, 0 when the row has only an OID
    const char* oid;    // nullptr when the row has only a number
    Encoder encode;
    Decoder decode;
};

// The row for a structure type, or null.
const Codec* FindCodec(LPCSTR structType);

// certs.cpp
void EncodeSignedContent(asn::Writer&, const void*);
void DecodeSignedContent(asn::Reader&, Arena&, DWORD);
void EncodeCertInfo(asn::Writer&, const void*);
void DecodeCertInfo(asn::Reader&, Arena&, DWORD);
void EncodeCrlInfo(asn::Writer&, const void*);
void DecodeCrlInfo(asn::Reader&, Arena&, DWORD);
void EncodePublicKeyInfo(asn::Writer&, const void*);
void DecodePublicKeyInfo(asn::Reader&, Arena&, DWORD);
// names.cpp
void EncodeNameValue(asn::Writer&, const void*);
void DecodeNameValue(asn::Reader&, Arena&, DWORD);
void EncodeName(asn::Writer&, const void*);
void DecodeName(asn::Reader&, Arena&, DWORD);
// extensions.cpp
void EncodeAuthorityKeyId(asn::Writer&, const void*);
void DecodeAuthorityKeyId(asn::Reader&, Arena&, DWORD);
void EncodeAuthorityKeyId2(asn::Writer&, const void*);
void DecodeAuthorityKeyId2(asn::Reader&, Arena&, DWORD);
void EncodeBasicConstraints(asn::Writer&, const void*);
void DecodeBasicConstraints(asn::Reader&, Arena&, DWORD);
void EncodeBasicConstraints2(asn::Writer&, const void*);
void DecodeBasicConstraints2(asn::Reader&, Arena&, DWORD);
void EncodeKeyUsage(asn::Writer&, const void*);
void DecodeKeyUsage(asn::Reader&, Arena&, DWORD);
void EncodeEnhancedKeyUsage(asn::Writer&, const void*);
void DecodeEnhancedKeyUsage(asn::Reader&, Arena&, DWORD);
void EncodeCrlDistPoints(asn::Writer&, const void*);
void DecodeCrlDistPoints(asn::Reader&, Arena&, DWORD);
void EncodeAuthorityInfoAccess(asn::Writer&, const void*);
void DecodeAuthorityInfoAccess(asn::Reader&, Arena&, DWORD);
void EncodeOctetString(asn::Writer&, const void*);
void DecodeOctetString(asn::Reader&, Arena&, DWORD);
void EncodeEnumerated(asn::Writer&, const void*);
void DecodeEnumerated(asn::Reader&, Arena&, DWORD);
void EncodeCrlNumber(asn::Writer&, const void*);
void DecodeCrlNumber(asn::Reader&, Arena&, DWORD);

}  // namespace cert::capi
