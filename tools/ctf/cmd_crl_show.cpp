// `ctf crl show`: one CRL, or the CRLs of a CRL file, through the library's
// CRL model.
#include <cstdio>

#include "crls.h"
#include "io.h"
#include "text.h"

namespace {

// A CRL file: every CRL, each checked with --issuer-cert when that
// certificate's subject is its issuer. Exit 1 when one checked fails or
// none is that issuer's.
int ShowFile(ctf::Context& ctx, const std::string& in, const IdentObj& bytes, bool entries,
             const std::optional<std::string>& issuerPath) {
    const std::vector<CCTF_CRL_List> crls = ctf::CrlsOfFile(in, bytes);
    CCTFCertContext issuer;
    CCTFX509Name subject;
    if (issuerPath) {
        issuer = ctf::ReadCertificateContext(*issuerPath);
        subject = CCTFX509Name(issuer.GetContext()->pCertInfo->Subject);
    }
    bool good = true;
    std::size_t checked = 0;
    std::vector<std::string> json;
    std::string text = in + ": a CRL file of " + std::to_string(crls.size()) + " CRL(s)\n";
    for (std::size_t i = 0; i < crls.size(); ++i) {
        const CCTF_CRL_List& crl = crls[i];
        std::string verified;
        bool mine = false;
        if (issuerPath) {
            try {
                mine = crl.m_info.m_issuer == subject;
            } catch (const XTOOStatus&) {
            }
        }
        if (mine) {
            ++checked;
            int error = 0;
            CTOOString place;
            const bool ok = crl.CheckSign(issuer, &error, &place) == 1;
            good &= ok;
            verified = ok ? "good" : error == TOOERR_BADSIGN ? "bad" : "bad (status " + std::to_string(error) + ")";
        }
        const std::string* v = mine ? &verified : nullptr;
        if (ctx.json)
            json.push_back(ctf::CrlJson(crl, entries, v));
        else
            text += "\nCRL " + std::to_string(i + 1) + ":\n" + ctf::CrlText(crl, entries, v);
    }
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("count", std::uint64_t(crls.size()))
                                .AddJson("crls", ctf::JsonArray(json))
                                .str()
                                .c_str());
    else
        std::printf("%s", text.c_str());
    return good && (!issuerPath || checked) ? ctf::kOk : ctf::kCheckFailed;
}

int Show(ctf::Context& ctx, ctf::Args& args) {
    const std::string in = args.Positional("FILE");
    const bool entries = args.Flag("entries");
    const auto issuerPath = args.Option("issuer-cert");
    args.Done();
    ctf::InputRules rules;
    rules.ber = true;
    const IdentObj bytes = ctf::ReadEncodedInput(in, rules).bytes;
    if (ctf::IsCrlFile(bytes)) return ShowFile(ctx, in, bytes, entries, issuerPath);
    const CCTF_CRL_List crl = ctf::DecodeCrl(in, bytes);
    std::string verified;
    bool good = true;
    if (issuerPath) {
        const CCTFCertContext issuer = ctf::ReadCertificateContext(*issuerPath);
        int error = 0;
        CTOOString place;
        good = crl.CheckSign(issuer, &error, &place) == 1;
        if (error == TOOERR_UNKNOWN_ALG)
            throw ctf::Error(ctf::kUsage,
                             in + ": unknown signature algorithm " + crl.m_signatureAlgorithm.GetOID().str(), error,
                             place.str());
        // A key that cannot check this signature (another algorithm) is
        // the wrong issuer, as much as one whose signature does not verify.
        verified = good                      ? "good"
                   : error == TOOERR_BADSIGN ? "bad"
                                             : "bad (this key cannot check it: status " + std::to_string(error) + ")";
    }
    const std::string* v = issuerPath ? &verified : nullptr;
    std::printf("%s",
                ctx.json ? (ctf::CrlJson(crl, entries, v) + "\n").c_str() : ctf::CrlText(crl, entries, v).c_str());
    return good ? ctf::kOk : ctf::kCheckFailed;
}

ctf::Registrar show({"crl show",
                     "show a CRL through the CRL model, and check its signature",
                     "FILE [--entries] [--issuer-cert CERT]\n\n"
                     "FILE is one CRL, DER or PEM, or a CRL file (PKCS #7 signed data carrying\n"
                     "CRLs), whose CRLs are shown in order. --entries lists the revoked\n"
                     "certificates (serial, date, reason); --issuer-cert checks the signature with\n"
                     "CERT's key (in a CRL file, of the CRLs CERT issued): exit 1 when it does not\n"
                     "verify, or when no CRL of the file is CERT's.",
                     {"entries"},
                     Show});

}  // namespace
