// `ctf crl show`: one CRL through the library's CRL model.
#include <cstdio>

#include "crls.h"
#include "text.h"

namespace {

int Show(ctf::Context& ctx, ctf::Args& args) {
    const std::string in = args.Positional("FILE");
    const bool entries = args.Flag("entries");
    const auto issuerPath = args.Option("issuer-cert");
    args.Done();
    const CCTF_CRL_List crl = ctf::ReadCrl(in);
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
                     "FILE is one CRL, DER or PEM. --entries lists the revoked certificates\n"
                     "(serial, date, reason); --issuer-cert checks the signature with CERT's key:\n"
                     "exit 1 when it does not verify.",
                     {"entries"},
                     Show});

}  // namespace
