// The tool's inputs and outputs: ctf's own rules ("-" for standard input
// and output, DER or PEM told by the first bytes, limits, messages in the
// user's terms, exit statuses) over the library's reader and writer
// (cert::platform::FileReader, cert::platform::WriteOutputFile). Every file
// a command reads or writes goes through here. Failures are thrown as
// ctf::Error: exit 2 for input the user gave that cannot be used, 3 for the
// system failing.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "cert/platform.h"
#include "cert/secret.h"
#include "cert/tools.h"
#include "cli.h"

namespace ctf {

using ByteSpan = std::span<const std::uint8_t>;
inline ByteSpan Span(const IdentObj& b) { return ByteSpan(b.data(), b.size()); }
inline ByteSpan Span(std::string_view s) { return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

constexpr std::uint64_t kUnknownSize = cert::platform::FileReader::kUnknownSize;
// The largest certificate, CRL, message or key file a command takes whole.
constexpr std::size_t kMaxObjectFile = 64u << 20;
constexpr std::size_t kMaxPasswordFile = 4096;

// Called once with the first bytes of an input (16, or all of a shorter
// one) and its size (kUnknownSize for a stream) before anything else is
// read; throws to stop there.
using HeadCheck = std::function<void(ByteSpan head, std::uint64_t size)>;

// A file read whole: "-" is standard input. A regular file is read into one
// buffer of its size, a stream in a buffer that doubles, up to `limit`
// bytes. Refused (exit 2): a file that cannot be opened or read, a folder,
// more than `limit` bytes, a file that shrank while it was read.
IdentObj ReadInputFile(const std::string& path, std::size_t limit, const HeadCheck& atHead = {});
// The same into memory that is wiped when it goes (keys, passwords).
cert::Secret ReadSecretFile(const std::string& path, std::size_t limit, const HeadCheck& atHead = {});
// The same input in pieces, for commands that take any length (hashing):
// each byte is read once and passed to `piece` once.
void StreamInputFile(const std::string& path, const std::function<void(ByteSpan)>& piece);

// One encoded object: a first byte 0x30 is DER, a start "-----BEGIN" is
// PEM (its first block, turned into DER); anything else is refused (exit
// 2) unless the command has a format of its own (`ownFormat`), when the
// bytes are given as they are. DER whose outer header declares more bytes
// than there are fails at that header, before the rest is read. An empty
// file is refused.
enum class Encoding { Der, Pem, Other };
template <class Buffer>
struct Encoded {
    Encoding encoding = Encoding::Other;
    std::string pemLabel;
    Buffer bytes;  // DER (also of PEM), or the input as it is
};
using EncodedInput = Encoded<IdentObj>;
// A private key: read, and turned from PEM into DER, in wiped memory only.
using EncodedSecret = Encoded<cert::Secret>;
struct InputRules {
    bool ownFormat = false;  // take what is neither DER nor PEM as it is
    bool ber = false;        // the outer header may be BER (indefinite, non-minimal length)
    std::size_t limit = kMaxObjectFile;
};
EncodedInput ReadEncodedInput(const std::string& path, const InputRules& rules = {});
EncodedSecret ReadEncodedSecret(const std::string& path, const InputRules& rules = {});

// Writes an output file by the library's rules ("-" is standard output; a
// device or FIFO is written in place; anything else is replaced whole
// through a synced work copy with `mode`). Refused (exit 2): a symbolic
// link (an output may hold a private key, and a link can point anywhere)
// and a folder.
void WriteOutputFile(const std::string& path, ByteSpan bytes, unsigned mode = 0644);

// An output file the library writes itself (it cannot write to standard
// output or a device): OUT itself when it is a regular file or new (the
// library replaces it through a work copy, also when OUT is an input);
// else ("-", a device, a FIFO) `name` in a folder of our own, copied to OUT
// by Deliver() once the library succeeded, and removed with this object.
// Refused before anything is written (exit 2): a symbolic link, a folder.
class StagedOutput {
public:
    StagedOutput(const std::string& out, const std::string& name);
    ~StagedOutput();
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // The file the library writes.
    std::string Path() const { return folder_.empty() ? out_ : folder_ + "/" + name_; }
    // Copies the work file to OUT in pieces (nothing when OUT was written).
    void Deliver() const;

private:
    std::string out_, name_, folder_;
};

// A Windows code of the file functions, in the user's terms ("permission
// denied"); the platform's own text for the rest.
std::string FileErrorText(DWORD winError);

// Standard output is checked once, at the end: flushes and closes it; the
// message when a write there failed (the command then fails with exit 3).
bool FinishStandardOutput(std::string& failure);

// A password file: its bytes without trailing line breaks. Refused (exit
// 2): an empty file, one that holds a NUL, a folder, more than 4 KiB, or
// nothing but line breaks. "-" reads standard input.
cert::Secret ReadPasswordFile(const std::string& path);
// A password typed at the terminal without echo; a new password is asked
// twice and must match. An empty answer is refused: --no-password is the
// way to ask for none.
cert::Secret AskPassword(const std::string& prompt, bool isNew);

}  // namespace ctf
