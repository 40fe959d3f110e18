// `ctf verify`: every signer of a signed file, its signature through the
// library's verification and then its certificate's chain, against the
// trust `ctf verify-cert` takes.
#include <cstdio>
#include <list>
#include <optional>
#include <span>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cert/errtext.h"
#include "cert/verify.h"
#include "certs.h"
#include "chains.h"
#include "cli.h"
#include "io.h"
#include "p7.h"
#include "progress.h"
#include "text.h"
#include "trust.h"

namespace {

std::string Hex32(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

// What a signer is called when its certificate was not found: the issuer
// and serial (or key identifier) its signer info names.
struct SignerName {
    std::string subject;  // empty when unknown
    std::string serial;
};

SignerName NameOf(const CCTFWholeSignature& s, const CCTFCertContext* cert) {
    SignerName n;
    if (cert) {
        const CERT_INFO& info = *cert->GetContext()->pCertInfo;
        n.subject = ctf::NameText(info.Subject);
        n.serial = ctf::ModelSerial(IdentObj(info.SerialNumber.pbData, info.SerialNumber.cbData));
    } else if (!s.m_signerInfo.m_keyId.IsEmpty()) {
        n.serial = "key id " + ctf::Hex(ctf::Span(s.m_signerInfo.m_keyId));
    } else {
        const IdentObj& v = s.m_signerInfo.m_serialNumber;
        n.serial = ctf::FormatSerial(std::span<const std::uint8_t>(v.data(), v.size()));
    }
    return n;
}

// The signing time the signer claims, empty without one.
std::string SigningTime(const CCTFMessageSignerInfo& si) {
    int error = 0;
    const FILETIME t = si.GetSigningDate(&error);
    return error ? std::string() : ctf::IsoTime(t);
}

int Verify(ctf::Context& ctx, ctf::Args& args) {
    const std::string sig = args.Positional("SIG");
    const auto content = args.Option("content");
    const ctf::TrustOptions options = ctf::ReadTrustOptions(ctx, args);
    args.Done();

    // The library reads SIG as a file of its own.
    if (sig == "-") throw ctf::UsageError("SIG: name a file; standard input cannot be read as a stream here");
    // The signed data is read in place first: a detached one wants its
    // content before anything is judged, and its certificates help build
    // the chains.
    const CCTFSignData data = ctf::ReadSignedData(sig);
    const bool detached = data.IsDetached();
    if (detached && !content) throw ctf::UsageError(sig + ": a detached signature; give the signed file as --content");
    if (!detached && content) throw ctf::UsageError(sig + ": carries its content; --content is for a detached one");
    IdentObj detachedBytes;
    if (detached) {
        ctf::InputRules rules;
        rules.ber = true;
        detachedBytes = ctf::ReadEncodedInput(sig, rules).bytes;
        if (const DWORD e = cert::platform::FileReader().Open(*content))
            throw ctf::UsageError("cannot read " + *content + ": " + ctf::FileErrorText(e), WinErr2ToolsErr(e));
    }

    ctf::TrustStorages storages(ctx, options);
    storages.AddUntrusted(std::vector<IdentObj>(data.m_certificates.begin(), data.m_certificates.end()),
                          std::vector<IdentObj>(data.m_crls.begin(), data.m_crls.end()));

    std::list<CCTFWholeSignatureCheck> results;
    {
        // The content is hashed in pieces; a few MiB go by in a blink.
        ctf::Progress progress("verifying", 0, 8u << 20, ctf::Progress::Unit::Bytes);
        CTFSetSignProgress([](std::uint64_t done, std::uint64_t total,
                              void* bar) { static_cast<ctf::Progress*>(bar)->Show(done, total); },
                           &progress);
        struct Unset {
            ~Unset() { CTFSetSignProgress(nullptr, nullptr); }
        } unset;
        const std::string& file = detached ? *content : sig;
        int error = 0;
        if (!CTFVerifySignatureOnFile(results, file.c_str(), detached ? &detachedBytes : nullptr, &storages.Given(),
                                      &error)) {
            const int exit =
                ctf::ExitForStatus(error) == ctf::kUsage || error == TOOERR_BADARG ? ctf::kUsage : ctf::kFailure;
            throw ctf::Error(exit, file + ": cannot be verified", error, "CTFVerifySignatureOnFile");
        }
    }

    if (!ctx.json) std::fputs(storages.Header().c_str(), stdout);
    std::vector<std::string> json;
    bool clean = !results.empty();
    std::size_t n = 0;
    for (const CCTFWholeSignatureCheck& r : results) {
        ++n;
        const DWORD status = r.m_status;
        // The library explains every status it sets, but not a valid one;
        // that gets the text of its code as well.
        const std::string text =
            status && !r.m_text.IsEmpty() ? r.m_text.str() : CTFGetWinErrorExplaination(status).str();
        std::optional<CCTFCertContext> cert;
        if (!r.m_certificate.IsEmpty()) cert.emplace(r.m_certificate);
        const SignerName name = NameOf(r, cert ? &*cert : nullptr);
        const std::string when = SigningTime(r.m_signerInfo);
        std::optional<ctf::TrustStorages::Verdict> verdict;
        if (cert) verdict = storages.Judge(*cert);
        clean &= status == 0 && verdict && verdict->bits == 0;
        if (ctx.json) {
            ctf::JsonObject o;
            if (name.subject.empty())
                o.AddJson("subject", "null");
            else
                o.Add("subject", name.subject);
            o.Add("serial", name.serial);
            if (when.empty())
                o.AddJson("signingTime", "null");
            else
                o.Add("signingTime", when);
            o.Add("status", std::uint32_t(status)).Add("text", text);
            o.AddJson("chain", verdict ? ctf::ChainJson(sig, verdict->chain, verdict->bits, storages.At()) : "null");
            json.push_back(o.str());
            continue;
        }
        const bool good = status == 0 && verdict && verdict->bits == 0;
        std::printf("%ssigner %zu: %s, serial %s: %s\n", n > 1 ? "\n" : "", n,
                    name.subject.empty() ? "(certificate not found)" : name.subject.c_str(), name.serial.c_str(),
                    good ? "OK" : "NOT VALID");
        std::printf("  signed at:   %s\n", when.empty() ? "(not said)" : when.c_str());
        std::printf("  signature:   %s %s\n", Hex32(status).c_str(), text.c_str());
        if (!verdict) {
            std::printf("  certificate: not found, no chain\n");
            continue;
        }
        std::string title = "  certificate: ";
        title += verdict->bits ? "chain NOT TRUSTED" : "chain trusted";
        if (storages.HasAt()) title += " at " + ctf::IsoTime(storages.At());
        std::fputs(ctf::ChainText(title, verdict->chain, verdict->bits, storages.At()).c_str(), stdout);
    }
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject().AddJson("signers", ctf::JsonArray(json)).str().c_str());
    else if (results.empty())
        std::printf("%s: no signer\n", sig.c_str());
    return clean ? ctf::kOk : ctf::kCheckFailed;
}

ctf::Registrar reg({"verify",
                    "verify the signatures of a signed file and their signers' chains",
                    "SIG [--content FILE] [--trust F]... [--untrusted F]... [--crl F]...\n"
                    "        [--at TIME] [--app-flag MASK] [--node ID]\n\n"
                    "Each signer of SIG (DER or BER; a detached one may be PEM) is verified: "
                    "its\n"
                    "signature over the content, then its certificate's chain (now, or at "
                    "--at).\n"
                    "The certificates SIG carries help build the chains; the signer's own "
                    "may\n"
                    "also come from --trust or --untrusted. --content FILE is the signed file "
                    "of\n"
                    "a detached SIG, and must be given for one.\n"
                    "Files: PEM (several objects), DER or PKCS #7 bundles; options repeat.\n" +
                        std::string(ctf::kTrustOptionsHelp) +
                        "Exit 0 when every signature is valid and every chain clean, 1 "
                        "otherwise\n"
                        "(also when SIG has no signer).",
                    {},
                    Verify,
                    {},
                    {"trust", "untrusted", "crl"}});

}  // namespace
