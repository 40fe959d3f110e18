// Fixed-width little-endian layouts: key blobs, list files, serialized
// stores, request logs, the send list and the library's own files.
//
// le::Reader is a cursor over bytes it does not own. Every read is checked
// against the bytes left before anything is taken; a read that does not fit
// throws le::Error (an XTOOStatus with TOOERR_BADFORMAT) carrying the offset
// where it was attempted, and leaves the cursor where it was. Offsets count
// from the start of the outermost input, also in a sub-cursor, so an error
// deep in a record names its place in the file. Lengths and offsets are
// kept in 64 bits: a 32-bit count read from the input cannot wrap a sum.
// Parse a record into locals and store them once the whole record has been
// read, so a failure leaves the caller's object as it was.
//
// le::Writer appends the same fields to a buffer that wipes itself (so a
// blob with key material in clear leaves nothing behind as it grows) and
// hands the result over as an IdentObj or a cert::Secret.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/export.h"
#include "cert/secret.h"
#include "cert/tools.h"

namespace le {

using Bytes = std::span<const std::uint8_t>;

class CERT_API Error : public XTOOStatus {
public:
    Error(std::uint64_t offset, const std::string& reason);
    std::uint64_t Offset() const { return m_offset; }
    const std::string& Reason() const { return m_reason; }

private:
    std::uint64_t m_offset;
    std::string m_reason;
};

// A four-character code as it stands in a file ("VRKC" is the bytes
// 'V' 'R' 'K' 'C'), compared as a 32-bit little-endian value.
constexpr std::uint32_t FourCC(const char (&code)[5]) {
    return std::uint32_t(std::uint8_t(code[0])) | std::uint32_t(std::uint8_t(code[1])) << 8 |
           std::uint32_t(std::uint8_t(code[2])) << 16 | std::uint32_t(std::uint8_t(code[3])) << 24;
}

class CERT_API Reader {
public:
    Reader() = default;
    // `base` is the offset of data[0] in the outermost input (for errors).
    Reader(const void* data, std::size_t size, std::uint64_t base = 0);
    explicit Reader(Bytes bytes, std::uint64_t base = 0) : Reader(bytes.data(), bytes.size(), base) {}
    explicit Reader(const IdentObj& b) : Reader(b.data(), b.size()) {}

    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    std::uint64_t U64();
    // The next `n` bytes (a view into the input).
    Bytes Take(std::size_t n);
    // Copies the next `n` bytes to `out`.
    void Copy(void* out, std::size_t n);
    template <std::size_t N>
    std::array<std::uint8_t, N> Array() {
        std::array<std::uint8_t, N> a;
        Copy(a.data(), N);
        return a;
    }
    // Reads a four-character code and fails unless it is `code`; `what`
    // names the field in the error.
    void Expect(const char (&code)[5], const char* what);
    // Reads a 32-bit value and fails unless it is `value`.
    void ExpectU32(std::uint32_t value, const char* what);
    void Skip(std::size_t n) { Take(n); }
    // A cursor over the next `n` bytes; this one moves past them.
    Reader Sub(std::size_t n);
    // A 32-bit length followed by that many bytes, as a cursor of its own.
    Reader Counted32();
    // Everything left; the cursor ends at the end.
    Bytes Rest();

    std::size_t remaining() const { return m_size - m_pos; }
    // Offset of the next byte in the outermost input.
    std::uint64_t offset() const { return m_base + m_pos; }
    bool AtEnd() const { return m_pos == m_size; }
    // Fails when bytes are left over.
    void Finish() const;
    // Throws le::Error at `offset` (of the outermost input).
    [[noreturn]] void ThrowAt(std::uint64_t offset, const std::string& reason) const;

private:
    const std::uint8_t* Need(std::size_t n, const char* what);
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_pos = 0;
    std::uint64_t m_base = 0;
};

class CERT_API Writer {
public:
    Writer& U8(std::uint8_t v);
    Writer& U16(std::uint16_t v);
    Writer& U32(std::uint32_t v);
    Writer& U64(std::uint64_t v);
    Writer& Put(Bytes bytes);
    Writer& Put(const void* p, std::size_t n) { return Put(Bytes(static_cast<const std::uint8_t*>(p), n)); }
    Writer& Put(const IdentObj& b) { return Put(b.data(), b.size()); }
    Writer& Put(std::string_view s) { return Put(s.data(), s.size()); }
    Writer& Code(const char (&code)[5]) { return U32(FourCC(code)); }
    Writer& Zeros(std::size_t n);
    // Counted ranges: Begin writes a 32-bit length to be filled in by End,
    // which throws le::Error when the range exceeds 32 bits. Ranges nest.
    std::size_t BeginCounted32();
    Writer& EndCounted32(std::size_t mark);
    // Overwrites a 32-bit value written before at `at`.
    Writer& PatchU32(std::size_t at, std::uint32_t v);

    std::size_t size() const { return m_out.size(); }
    Bytes view() const { return Bytes(m_out.data(), m_out.size()); }
    // The bytes as a blob (fails beyond 4 GiB); the writer is empty after.
    IdentObj Take();
    cert::Secret TakeSecret();

private:
    std::vector<std::uint8_t, cert::WipingAllocator<std::uint8_t>> m_out;
};

}  // namespace le
