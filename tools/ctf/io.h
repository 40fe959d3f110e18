// The tool's inputs and outputs. Every file a command reads goes through
// ReadInputFile and every file it writes through WriteOutputFile, so that
// the rules below hold for every command and each can be switched to the
// library's own reader and writer in one place. Failures are thrown as
// ctf::Error: exit 2 for input the user gave that cannot be used, 3 for
// the system failing.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/tools.h"
#include "cli.h"

namespace ctf {

using ByteSpan = std::span<const std::uint8_t>;
inline ByteSpan Span(const IdentObj& b) { return ByteSpan(b.data(), b.size()); }

constexpr std::uint64_t kUnknownSize = UINT64_MAX;
// The largest certificate, CRL, message or key file a command takes whole.
constexpr std::size_t kMaxObjectFile = 64u << 20;
constexpr std::size_t kMaxPasswordFile = 4096;

// Called once with the first bytes of an input (16, or all of a shorter
// one) and its size (kUnknownSize for a stream) before anything else is
// read; throws to stop there.
using HeadCheck = std::function<void(ByteSpan head, std::uint64_t size)>;

// The one function that reads a file: "-" is standard input. A regular file
// is read into one buffer of its size, a stream (pipe, terminal, device) in
// growing buffers whose old copies are wiped, up to `limit` bytes. Refused
// (exit 2): a file that cannot be opened or read, a folder, more than
// `limit` bytes.
IdentObj ReadInputFile(const std::string& path, std::size_t limit, const HeadCheck& atHead = {});
// The same input in chunks, for commands that take any length (hashing):
// each byte is read once and passed to `chunk` once.
void StreamInputFile(const std::string& path, const std::function<void(ByteSpan)>& chunk);

// One encoded object: a first byte 0x30 is DER, a start "-----BEGIN" is
// PEM (its first block, turned into DER); anything else is refused (exit
// 2) unless the command has a format of its own (`ownFormat`), when the
// bytes are given as they are. DER whose outer header declares more bytes
// than there are fails at that header, before the rest is read. An empty
// file is refused.
enum class Encoding { Der, Pem, Other };
struct EncodedInput {
    Encoding encoding = Encoding::Other;
    std::string pemLabel;
    IdentObj bytes;  // DER (also of PEM), or the input as it is
};
struct InputRules {
    bool ownFormat = false;  // take what is neither DER nor PEM as it is
    bool ber = false;        // the outer header may be BER (indefinite, non-minimal length)
    std::size_t limit = kMaxObjectFile;
};
EncodedInput ReadEncodedInput(const std::string& path, const InputRules& rules = {});

// The one function that writes an output file: "-" is standard output. An
// existing device or FIFO is written in place, never renamed over; a
// symbolic link is refused rather than replaced or followed (an output may
// hold a private key, and a link can point anywhere); a folder is refused;
// anything else is replaced whole through a synced work copy with `mode`.
void WriteOutputFile(const std::string& path, ByteSpan bytes, unsigned mode = 0644);

// Standard output is checked once, at the end (FinishStandardOutput): a
// write that failed there makes the command fail with exit 3.
void WriteStandardOutput(ByteSpan bytes);
// Flushes and closes standard output; the message when that failed.
bool FinishStandardOutput(std::string& failure);

// Bytes that must not outlive their use (passwords, exported keys): they
// live in one buffer that never grows and is wiped when the object goes,
// on every path.
class Secret {
public:
    Secret() = default;
    // Copies `bytes`; the caller wipes its own copy (see WipeString).
    explicit Secret(std::string_view bytes);
    // Takes the bytes and wipes `from`.
    explicit Secret(IdentObj& from);
    ~Secret();
    Secret(Secret&& o) noexcept;
    Secret& operator=(Secret&& o) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    std::string_view view() const { return {b_.data(), size_}; }
    const char* c_str() const { return b_.empty() ? "" : b_.data(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool operator==(const Secret& o) const { return view() == o.view(); }

    // Room for `capacity` bytes, filled by Append without reallocation.
    static Secret WithCapacity(std::size_t capacity);
    bool Append(char c);

private:
    void Wipe();
    std::vector<char> b_;  // NUL after the bytes, never reallocated
    std::size_t size_ = 0;
};
void WipeString(std::string& s);
// Wipes a string that held a secret when it goes, on every path (for the
// std::string parameters of the library's key calls).
class WipedString {
public:
    explicit WipedString(std::string_view s) : s_(s) {}
    ~WipedString() { WipeString(s_); }
    WipedString(const WipedString&) = delete;
    WipedString& operator=(const WipedString&) = delete;
    std::string& get() { return s_; }

private:
    std::string s_;
};

// Wipes a blob that held key material when the guard goes.
struct BlobWiper {
    IdentObj& blob;
    ~BlobWiper() { blob.Wipe(); }
};

// A password file: its bytes without trailing line breaks. Refused (exit
// 2): an empty file, one that holds a NUL, a folder, more than 4 KiB, or
// nothing but line breaks. "-" reads standard input.
Secret ReadPasswordFile(const std::string& path);
// A password typed at the terminal without echo; a new password is asked
// twice and must match. An empty answer is refused: --no-password is the
// way to ask for none.
Secret AskPassword(const std::string& prompt, bool isNew);

}  // namespace ctf
