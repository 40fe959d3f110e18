// `ctf sign`: adds a signer to a file with a container's key, through the
// library's file signing.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "cert/signeddata.h"
#include "certs.h"
#include "cli.h"
#include "crls.h"
#include "keys.h"
#include "p7.h"
#include "progress.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::KeyOptions;

constexpr int kStatusNotForSigning = 106;
constexpr int kStatusOutsidePeriod = 203;
constexpr char kOidSha256[] = "2.16.840.1.101.3.4.2.1";
constexpr char kOidRsa[] = "1.2.840.113549.1.1.1";

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// --hash: a name of ours or a dotted OID.
std::string HashOid(const std::string& text) {
    static const std::pair<const char*, const char*> kNames[] = {{"gost94", "1.2.643.2.2.9"},
                                                                 {"gost12-256", "1.2.643.7.1.1.2.2"},
                                                                 {"gost12-512", "1.2.643.7.1.1.2.3"},
                                                                 {"sha1", "1.3.14.3.2.26"},
                                                                 {"sha256", kOidSha256},
                                                                 {"sha384", "2.16.840.1.101.3.4.2.2"},
                                                                 {"sha512", "2.16.840.1.101.3.4.2.3"}};
    for (const auto& [name, oid] : kNames)
        if (text == name) return oid;
    const bool dotted = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                        text.front() != '.' && text.back() != '.' && text.find("..") == std::string::npos;
    if (!dotted)
        throw ctf::UsageError("--hash " + Quoted(text) +
                              ": a name (gost94, gost12-256, gost12-512, sha1, "
                              "sha256, sha384, sha512) or an OID");
    return text;
}

// Where the library writes an attached signature: OUT itself when it is a
// regular file or new (the library replaces it through a work copy, also
// when OUT is IN); else ("-", a device, a FIFO) a file of a folder of our
// own, copied to OUT once signing succeeded. A link or a folder is refused
// before anything is signed.
class AttachedOutput {
public:
    explicit AttachedOutput(const std::string& out) : out_(out) {
        struct stat st {};
        if (out != "-" && ::lstat(out.c_str(), &st) != 0) return;
        if (out != "-" && S_ISLNK(st.st_mode))
            throw ctf::UsageError(out + ": is a symbolic link; name the file it points to");
        if (out != "-" && S_ISDIR(st.st_mode)) throw ctf::UsageError(out + ": is a folder");
        if (out != "-" && S_ISREG(st.st_mode)) return;
        std::string folder = cert::platform::TempFolder() + "/ctf-sign-XXXXXX";
        if (!::mkdtemp(folder.data())) ctf::ThrowWinError(cert::platform::SetLastErrorFromErrno(), "no work folder");
        folder_ = folder;
    }
    ~AttachedOutput() {
        if (folder_.empty()) return;
        ::unlink(Path().c_str());
        ::rmdir(folder_.c_str());
    }
    AttachedOutput(const AttachedOutput&) = delete;
    AttachedOutput& operator=(const AttachedOutput&) = delete;

    // The file the library writes.
    std::string Path() const { return folder_.empty() ? out_ : folder_ + "/signed"; }
    // Copies the work file to OUT in pieces.
    void Deliver() const {
        if (folder_.empty()) return;
        cert::platform::FileReader from;
        if (const DWORD e = from.Open(Path())) ctf::ThrowWinError(e, "cannot read the signed data back");
        const int fd = out_ == "-" ? STDOUT_FILENO : ::open(out_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) ctf::ThrowWinError(cert::platform::SetLastErrorFromErrno(), "cannot write " + out_);
        const std::unique_ptr<int, void (*)(int*)> closer(fd == STDOUT_FILENO ? nullptr : new int(fd), [](int* f) {
            if (f) ::close(*f);
            delete f;
        });
        std::unique_ptr<char[]> buf(new char[1 << 20]);
        for (;;) {
            std::size_t got = 0;
            if (const DWORD e = from.Read(buf.get(), 1 << 20, got))
                ctf::ThrowWinError(e, "cannot read the signed data back");
            if (got == 0) break;
            for (std::size_t at = 0; at < got;) {
                const ssize_t n = ::write(fd, buf.get() + at, got - at);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) ctf::ThrowWinError(cert::platform::SetLastErrorFromErrno(), "cannot write " + out_);
                at += static_cast<std::size_t>(n);
            }
        }
    }

private:
    std::string out_, folder_;
};

int Sign(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const auto certPath = args.Option("cert");
    const bool detached = args.Flag("detached");
    const auto add = args.Option("add");
    const auto hash = args.Option("hash");
    const bool noAttrs = args.Flag("no-attrs");
    const bool byKeyId = args.Flag("by-key-id");
    const std::string out = args.Required("out");
    const std::string in = args.Positional("IN");
    args.Done();
    if (add && !detached)
        throw ctf::UsageError(
            "--add goes with --detached; an attached signature "
            "gets one more signer as IN");
    CTOOString hashOid;
    if (hash) hashOid = HashOid(*hash).c_str();
    CCTFCertContext certificate;
    if (certPath) certificate = ctf::ReadCertificateContext(*certPath);
    std::unique_ptr<AttachedOutput> attached;
    if (!detached) attached = std::make_unique<AttachedOutput>(out);
    IdentObj signature;
    if (add) {
        ctf::InputRules rules;
        rules.ber = true;
        signature = ctf::ReadEncodedInput(*add, rules).bytes;
    }

    ctf::PasswordPrompt prompt(k);
    CCTFUser user;
    const ctf::SigningKey key = ctf::OpenSigningKey(k, prompt, user, certificate);
    // The library finds the key through the certificate's key-provider
    // property: the container's unique name and which of its keys matches.
    IdentObj unique;
    std::string container = k.container;
    if (VRKGetProvParam(user.GetProvider(), PP_UNIQUE_CONTAINER, unique, 0)) container = unique.view().data();
    if (!ctf::SetKeyProvider(certificate, container, key.spec))
        ctf::ThrowWinError(GetLastError(), "cannot name the key of the certificate");
    const char* keyAlg = certificate.GetContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    if (!hash && keyAlg && std::string(keyAlg) == kOidRsa) hashOid = kOidSha256;

    unsigned long flags =
        (detached ? 0 : kSignPreviousContent) | (noAttrs ? kSignNoAttributes : 0) | (byKeyId ? kSignByKeyId : 0);
    // Content of a few MiB signs in a blink; beyond that the bar shows the
    // bytes read for the hash and for the copy into the output.
    ctf::Progress progress("signing", 0, 8u << 20, ctf::Progress::Unit::Bytes);
    CTFSetSignProgress(
        [](std::uint64_t done, std::uint64_t total, void* bar) { static_cast<ctf::Progress*>(bar)->Show(done, total); },
        &progress);
    struct Unset {
        ~Unset() { CTFSetSignProgress(nullptr, nullptr); }
    } unset;
    try {
        if (detached)
            CTFSignFile(user, certificate, in.c_str(), nullptr, &signature, flags,
                        hashOid.str().empty() ? nullptr : &hashOid, nullptr);
        else
            CTFSignFile(user, certificate, in.c_str(), attached->Path().c_str(), nullptr, flags,
                        hashOid.str().empty() ? nullptr : &hashOid, nullptr);
    } catch (const XTOOStatus& e) {
        prompt.Rethrow();
        const int status = e.Status();
        const std::string place = e.Place() ? e.Place() : "";
        if (status == kStatusOutsidePeriod)
            throw ctf::Error(ctf::kUsage, "the certificate is not valid now; nothing signed", status, place);
        if (status == kStatusNotForSigning)
            throw ctf::Error(ctf::kUsage, "the certificate is not made for signing; nothing signed", status, place);
        if (status == TOOERR_NOKEY_FOR_CERT)
            throw ctf::Error(ctf::kUsage,
                             "the certificate is not of a key of container " + Quoted(k.container) + "; nothing signed",
                             status, place);
        if (status == TOOERR_BADARG || ctf::ExitForStatus(status) == ctf::kUsage)
            throw ctf::Error(ctf::kUsage, in + ": cannot be signed", status, place);
        ctf::ThrowKeyStatus(status, place.c_str(), k, key.hadPassword || prompt.GaveOpenPassword(), "cannot sign");
    }
    std::size_t signers = 0;
    if (detached) {
        ctf::WriteOutputFile(out, ctf::Span(signature));
        CCTFSignData made;
        if (made.ReadObject(signature.data(), signature.size(), nullptr)) signers = made.m_signerInfos.size();
    } else {
        signers = ctf::ReadSignedData(attached->Path()).m_signerInfos.size();
        attached->Deliver();
    }
    if (out == "-") return ctf::kOk;  // standard output holds the signed data alone
    if (ctx.json) {
        std::printf("%s\n", ctf::JsonObject()
                                .Add("output", out)
                                .Add("attached", !detached)
                                .Add("signers", std::uint64_t(signers))
                                .str()
                                .c_str());
    } else {
        std::printf("%s: %s signature, %zu signer%s\n", out.c_str(), detached ? "detached" : "attached", signers,
                    signers == 1 ? "" : "s");
    }
    return ctf::kOk;
}

ctf::Registrar reg({"sign",
                    "sign a file with a container's key",
                    "--container NAME [--machine] [--password-file F | --no-password]\n"
                    "     [--cert FILE] [--detached [--add SIG]] [--hash NAME|OID] "
                    "[--no-attrs]\n"
                    "     [--by-key-id] IN -o OUT\n\n"
                    "Writes a signed data to OUT (which may be IN). Attached unless "
                    "--detached: the\n"
                    "signed data carries IN; when IN already is a signed data it gets one "
                    "more\n"
                    "signer over the content it carries. --detached signs IN's bytes alone; "
                    "--add\n"
                    "SIG adds the signer to the detached signature SIG. The certificate is "
                    "--cert,\n"
                    "else the one bound to the container's key; it must be of a key of the\n"
                    "container and valid now. --hash is gost94, gost12-256, gost12-512, "
                    "sha1,\n"
                    "sha256, sha384, sha512 or an OID (default: the key's own; SHA-256 for "
                    "RSA).\n"
                    "--no-attrs signs without signed attributes; --by-key-id names the signer "
                    "by\n"
                    "its key identifier. On failure OUT is left as it was.",
                    {"machine", "no-password", "detached", "no-attrs", "by-key-id"},
                    Sign});

}  // namespace
