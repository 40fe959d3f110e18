// CryptEncodeObject / CryptDecodeObject: the table of structure types, the
// output blob and the error mapping.
#include <algorithm>
#include <cstring>

#include "capi/codec.h"
#include "cert/oids.h"

namespace cert::capi {

namespace {

constexpr std::uintptr_t kMaxStructId = 0xFFFF;
constexpr DWORD kKnownDecodeFlags = CRYPT_DECODE_NOCOPY_FLAG | CRYPT_DECODE_TO_BE_SIGNED_FLAG |
                                    CRYPT_DECODE_SHARE_OID_STRING_FLAG | CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG;

// One row per structure; a row with both a number and an OID answers to
// either. Alternative names (X509_ALTERNATE_NAME 12 for "2.5.29.7", ".8",
// ".17", ".18") and policies (X509_CERT_POLICIES 16 for "2.5.29.32",
// X509_POLICY_MAPPINGS 56 for "2.5.29.33") join this table with their own
// rows; the alternative-name entry codec they need is common.cpp's.
constexpr Codec kCodecs[] = {
    {1, nullptr, EncodeSignedContent, DecodeSignedContent},
    {2, nullptr, EncodeCertInfo, DecodeCertInfo},
    {3, nullptr, EncodeCrlInfo, DecodeCrlInfo},
    {6, nullptr, EncodeNameValue, DecodeNameValue},
    {7, nullptr, EncodeName, DecodeName},
    {8, nullptr, EncodePublicKeyInfo, DecodePublicKeyInfo},
    {9, cert::oids::kAuthorityKeyIdentifierOld, EncodeAuthorityKeyId, DecodeAuthorityKeyId},
    {13, cert::oids::kBasicConstraintsOld, EncodeBasicConstraints, DecodeBasicConstraints},
    {14, cert::oids::kKeyUsage, EncodeKeyUsage, DecodeKeyUsage},
    {15, cert::oids::kBasicConstraints, EncodeBasicConstraints2, DecodeBasicConstraints2},
    {25, cert::oids::kSubjectKeyIdentifier, EncodeOctetString, DecodeOctetString},
    {29, cert::oids::kCrlReason, EncodeEnumerated, DecodeEnumerated},
    {31, cert::oids::kAuthorityKeyIdentifier, EncodeAuthorityKeyId2, DecodeAuthorityKeyId2},
    {32, cert::oids::kAuthorityInfoAccess, EncodeAuthorityInfoAccess, DecodeAuthorityInfoAccess},
    {35, cert::oids::kCrlDistributionPoints, EncodeCrlDistPoints, DecodeCrlDistPoints},
    {36, cert::oids::kExtKeyUsage, EncodeEnhancedKeyUsage, DecodeEnhancedKeyUsage},
    {0, cert::oids::kCrlNumber, EncodeCrlNumber, DecodeCrlNumber},
    {0, cert::oids::kDeltaCrlIndicator, EncodeCrlNumber, DecodeCrlNumber},
};

const Codec& CodecFor(DWORD encodingType, LPCSTR structType) {
    if (!(encodingType & X509_ASN_ENCODING)) Throw(ERROR_FILE_NOT_FOUND);
    const Codec* c = FindCodec(structType);
    if (!c) Throw(ERROR_FILE_NOT_FOUND);
    return *c;
}

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

const Codec* FindCodec(LPCSTR structType) {
    const auto value = reinterpret_cast<std::uintptr_t>(structType);
    if (value == 0) return nullptr;
    for (const Codec& c : kCodecs) {
        if (value <= kMaxStructId ? c.id == value : c.oid && std::strcmp(c.oid, structType) == 0) return &c;
    }
    return nullptr;
}

DWORD DecodeErrorCode(const asn::Error& e) {
    if (e.Status() == TOOERR_DER_LIMIT) return CRYPT_E_ASN1_LARGE;
    const std::string& why = e.Reason();
    if (Contains(why, "truncated") || Contains(why, "exceeds") || Contains(why, "end of data")) return CRYPT_E_ASN1_EOD;
    return CRYPT_E_ASN1_CORRUPT;
}

// ---------------------------------------------------------------------------
void* Arena::Alloc(std::size_t size, std::size_t align) {
    if (m_chunks.empty() || (m_chunks.back().used + align - 1) / align * align + size > m_chunks.back().cap) {
        Chunk c;
        c.cap = std::max<std::size_t>({size, 512, m_chunks.empty() ? 0 : m_chunks.back().cap * 2});
        c.mem = std::make_unique<std::byte[]>(c.cap);  // value-initialised: zeroed
        m_chunks.push_back(std::move(c));
    }
    Chunk& c = m_chunks.back();
    std::size_t at = (c.used + align - 1) / align * align;
    c.used = at + size;
    return c.mem.get() + at;
}

BYTE* Arena::Copy(asn::Bytes data, std::size_t zeros) {
    if (data.empty() && !zeros) return nullptr;
    BYTE* p = New<BYTE>(data.size() + zeros);
    if (!data.empty()) std::memcpy(p, data.data(), data.size());
    return p;
}

void Arena::Bytes(CRYPTOAPI_BLOB& blob, asn::Bytes data, std::size_t zeros) {
    blob.cbData = static_cast<DWORD>(data.size());
    Link(blob.pbData, Copy(data, zeros));
}

void Arena::Text(LPSTR& field, std::string_view text) {
    char* p = New<char>(text.size() + 1);
    std::memcpy(p, text.data(), text.size());
    Link(field, p);
}

void Arena::Wide(LPWSTR& field, std::u16string_view text) {
    char16_t* p = New<char16_t>(text.size() + 1);
    std::memcpy(p, text.data(), text.size() * sizeof(char16_t));
    Link(field, p);
}

std::vector<std::size_t> Arena::ChunkOffsets() const {
    std::vector<std::size_t> at;
    std::size_t next = 0;
    for (const Chunk& c : m_chunks) {
        next = (next + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
        at.push_back(next);
        next += c.used;
    }
    return at;
}

std::size_t Arena::Size() const {
    std::vector<std::size_t> at = ChunkOffsets();
    return at.empty() ? 0 : at.back() + m_chunks.back().used;
}

std::size_t Arena::OffsetOf(const void* p, const std::vector<std::size_t>& at) const {
    const auto* b = static_cast<const std::byte*>(p);
    for (std::size_t i = 0; i < m_chunks.size(); ++i) {
        const std::byte* base = m_chunks[i].mem.get();
        if (b >= base && b < base + m_chunks[i].cap) return at[i] + static_cast<std::size_t>(b - base);
    }
    Throw(CRYPT_E_ASN1_INTERNAL);
}

void Arena::CopyTo(void* out) const {
    auto* dst = static_cast<std::byte*>(out);
    std::vector<std::size_t> at = ChunkOffsets();
    std::memset(dst, 0, Size());
    for (std::size_t i = 0; i < m_chunks.size(); ++i) std::memcpy(dst + at[i], m_chunks[i].mem.get(), m_chunks[i].used);
    for (const Pointer& p : m_links) {
        void* target = dst + OffsetOf(p.target, at);
        std::memcpy(dst + OffsetOf(p.field, at), &target, sizeof target);
    }
}

}  // namespace cert::capi

using namespace cert::capi;

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo, BYTE* pbEncoded,
                       DWORD* pcbEncoded) {
    return Guard(true, [&] {
        if (!pcbEncoded || !pvStructInfo) Throw(E_INVALIDARG);
        const Codec& c = CodecFor(dwCertEncodingType, lpszStructType);
        asn::Writer w;
        c.encode(w, pvStructInfo);
        Deliver(w.bytes().size(), pbEncoded, pcbEncoded, false,
                [&] { std::memcpy(pbEncoded, w.bytes().data(), w.bytes().size()); });
    });
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                       DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo) {
    return Guard(false, [&] {
        if (!pcbStructInfo || (!pbEncoded && cbEncoded) || (dwFlags & ~kKnownDecodeFlags)) Throw(E_INVALIDARG);
        const Codec& c = CodecFor(dwCertEncodingType, lpszStructType);
        Arena arena;
        asn::Reader in(asn::View(pbEncoded, cbEncoded));
        c.decode(in, arena, dwFlags);
        if (!in.AtEnd()) Throw(CRYPT_E_ASN1_NOEOD);
        Deliver(arena.Size(), pvStructInfo, pcbStructInfo, true, [&] { arena.CopyTo(pvStructInfo); });
    });
}
