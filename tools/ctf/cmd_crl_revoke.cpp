// `ctf crl revoke`: a CRL signed again with entries added or removed.
#include <cstdio>

#include "crls.h"
#include "text.h"

namespace {

int Revoke(ctf::Context& ctx, ctf::Args& args) {
    const std::string in = args.Positional("CRL");
    const ctf::KeyOptions k = ctf::ReadKeyOptions(args);
    const std::string caPath = args.Required("cert");
    const std::vector<std::string> removes = args.Options("remove");
    const std::string out = args.Required("out");
    const ctf::Revocations revocations(args);
    args.Done();
    CCTF_CRL_List crl = ctf::ReadCrl(in);
    ctf::AddRevocations(crl.m_info, revocations);
    for (const auto& r : removes)
        if (!crl.m_info.m_entries.EraseElement(ctf::SerialArgument(r, "--remove")))
            throw ctf::UsageError("--remove " + r + ": not on the CRL");
    const CCTFCertContext ca = ctf::ReadCertificateContext(caPath);
    // Signing fills only unset times: cleared, both are made anew.
    crl.m_info.m_thisUpdate = crl.m_info.m_nextUpdate = FILETIME{0, 0};
    const IdentObj der = ctf::SignCrl(crl, k, ca);
    ctf::WriteOutputFile(out, ctf::Span(der));
    ctf::ReportCrl(ctx, out, crl, der.size());
    return ctf::kOk;
}

ctf::Registrar revoke({"crl revoke",
                       "sign a CRL again with entries added or removed, its counter one up",
                       "CRL --container NAME [--machine] [--password-file F | --no-password] --cert CA\n"
                       "          [--revoke SERIAL[:REASON]]... [--revoke-cert CERT[:REASON]]...\n"
                       "          [--remove SERIAL]... --out F\n\n"
                       "The CRL keeps its list identifier; the counter goes one up, both times are\n"
                       "made anew (a month apart) and the extensions are the number and the\n"
                       "authority key identifier only.",
                       {"machine", "no-password"},
                       Revoke,
                       {},
                       {"revoke", "revoke-cert", "remove"}});

}  // namespace
