// The little-endian cursor of cert/lecursor.h.
#include "cert/lecursor.h"

#include <cstring>

namespace le {

Error::Error(std::uint64_t offset, const std::string& reason)
    : XTOOStatus(TOOERR_BADFORMAT, ("offset " + std::to_string(offset) + ": " + reason).c_str()),
      m_offset(offset),
      m_reason(reason) {}

namespace {

std::uint64_t Load(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void Store(std::uint8_t* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

// ---------------------------------------------------------------------------
Reader::Reader(const void* data, std::size_t size, std::uint64_t base)
    : m_data(static_cast<const std::uint8_t*>(data)), m_size(data ? size : 0), m_base(base) {}

void Reader::ThrowAt(std::uint64_t at, const std::string& reason) const { throw Error(at, reason); }

const std::uint8_t* Reader::Need(std::size_t n, const char* what) {
    if (n > remaining())
        ThrowAt(offset(), std::string(what) + " of " + std::to_string(n) + " bytes with " +
                              std::to_string(remaining()) + " left");
    const std::uint8_t* p = m_data + m_pos;
    m_pos += n;
    return p;
}

std::uint8_t Reader::U8() { return *Need(1, "8-bit field"); }
std::uint16_t Reader::U16() { return static_cast<std::uint16_t>(Load(Need(2, "16-bit field"), 2)); }
std::uint32_t Reader::U32() { return static_cast<std::uint32_t>(Load(Need(4, "32-bit field"), 4)); }
std::uint64_t Reader::U64() { return Load(Need(8, "64-bit field"), 8); }

Bytes Reader::Take(std::size_t n) { return Bytes(Need(n, "byte range"), n); }

void Reader::Copy(void* out, std::size_t n) {
    const std::uint8_t* p = Need(n, "byte range");
    if (n) std::memcpy(out, p, n);
}

void Reader::Expect(const char (&code)[5], const char* what) {
    std::size_t at = m_pos;
    if (U32() != FourCC(code)) {
        m_pos = at;
        ThrowAt(offset(), std::string(what) + ": not \"" + code + "\"");
    }
}

void Reader::ExpectU32(std::uint32_t value, const char* what) {
    std::size_t at = m_pos;
    std::uint32_t v = U32();
    if (v != value) {
        m_pos = at;
        ThrowAt(offset(), std::string(what) + " is " + std::to_string(v) + ", not " + std::to_string(value));
    }
}

Reader Reader::Sub(std::size_t n) {
    std::uint64_t at = offset();
    const std::uint8_t* p = Need(n, "range");
    return Reader(p, n, at);
}

Reader Reader::Counted32() {
    std::size_t at = m_pos;
    std::uint32_t n = U32();
    if (n > remaining()) {
        std::size_t left = remaining();
        m_pos = at;
        ThrowAt(offset(), "counted range of " + std::to_string(n) + " bytes with " + std::to_string(left) + " left");
    }
    return Sub(n);
}

Bytes Reader::Rest() { return Take(remaining()); }

void Reader::Finish() const {
    if (!AtEnd()) ThrowAt(offset(), std::to_string(remaining()) + " bytes left over");
}

// ---------------------------------------------------------------------------
Writer& Writer::U8(std::uint8_t v) {
    m_out.push_back(v);
    return *this;
}

Writer& Writer::U16(std::uint16_t v) {
    std::uint8_t b[2];
    Store(b, v, 2);
    return Put(b, 2);
}

Writer& Writer::U32(std::uint32_t v) {
    std::uint8_t b[4];
    Store(b, v, 4);
    return Put(b, 4);
}

Writer& Writer::U64(std::uint64_t v) {
    std::uint8_t b[8];
    Store(b, v, 8);
    return Put(b, 8);
}

Writer& Writer::Put(Bytes bytes) {
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    return *this;
}

Writer& Writer::Zeros(std::size_t n) {
    m_out.resize(m_out.size() + n);
    return *this;
}

std::size_t Writer::BeginCounted32() {
    std::size_t mark = m_out.size();
    U32(0);
    return mark;
}

Writer& Writer::EndCounted32(std::size_t mark) {
    if (mark > m_out.size() || m_out.size() - mark < 4) throw Error(mark, "counted range was not begun here");
    std::uint64_t n = m_out.size() - mark - 4;
    if (n > 0xFFFFFFFFu) throw Error(mark, "counted range of " + std::to_string(n) + " bytes exceeds 32 bits");
    return PatchU32(mark, static_cast<std::uint32_t>(n));
}

Writer& Writer::PatchU32(std::size_t at, std::uint32_t v) {
    if (at > m_out.size() || m_out.size() - at < 4) throw Error(at, "32-bit field beyond what was written");
    Store(m_out.data() + at, v, 4);
    return *this;
}

IdentObj Writer::Take() {
    if (m_out.size() > 0xFFFFFFFFu) throw Error(m_out.size(), "blob exceeds 4 GiB");
    IdentObj b(m_out.data(), static_cast<DWORD>(m_out.size()));
    m_out.clear();
    return b;
}

cert::Secret Writer::TakeSecret() {
    cert::Secret s(m_out.data(), m_out.size());
    decltype(m_out)().swap(m_out);
    return s;
}

}  // namespace le
