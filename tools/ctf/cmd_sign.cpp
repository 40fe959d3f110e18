// `ctf sign`: adds a signer to a file with a container's key, through the
// library's file signing.
#include <cstdio>
#include <memory>
#include <string>

#include "cert/signeddata.h"
#include "certs.h"
#include "cli.h"
#include "crls.h"
#include "io.h"
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
    std::unique_ptr<ctf::StagedOutput> attached;
    if (!detached) attached = std::make_unique<ctf::StagedOutput>(out, "signed");
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
