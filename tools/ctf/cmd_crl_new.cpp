// `ctf crl new`: a CRL signed with a container's key as the CA's.
#include <cstdio>

#include "cert/tootime.h"
#include "crls.h"
#include "text.h"

namespace {}  // namespace

namespace {

int New(ctf::Context& ctx, ctf::Args& args) {
    const ctf::KeyOptions k = ctf::ReadKeyOptions(args);
    const std::string caPath = args.Required("cert");
    const auto listId = args.Option("list-id");
    const auto days = args.Option("days");
    const std::string out = args.Required("out");
    const ctf::Revocations revocations(args);
    args.Done();
    CCTF_CRL_List crl;
    if (listId) crl.m_listId = ctf::NumberArgument("list-id", *listId, 0xFFFFFFFFu);
    ctf::AddRevocations(crl.m_info, revocations);
    const CCTFCertContext ca = ctf::ReadCertificateContext(caPath);
    if (days) {
        const ULONGLONG now = CTOOFileTime::now().Ticks();
        const CTOOFileTime start(now - now % CTOOFileTime::kTicksPerSecond);
        crl.m_info.m_thisUpdate = start;
        crl.m_info.m_nextUpdate = CTOOFileTime(start).AddDays(ctf::NumberArgument("days", *days, 36500));
    }
    const IdentObj der = ctf::SignCrl(crl, k, ca);
    ctf::WriteOutputFile(out, ctf::Span(der));
    ctf::ReportCrl(ctx, out, crl, der.size());
    return ctf::kOk;
}

ctf::Registrar make({"crl new",
                     "issue a CRL signed with a container's key as the CA's",
                     "--container NAME [--machine] [--password-file F | --no-password] --cert CA\n"
                     "          [--list-id N] [--days N] [--revoke SERIAL[:REASON]]...\n"
                     "          [--revoke-cert CERT[:REASON]]... --out F\n\n"
                     "CA is the certificate of the container's signature key; the CRL's issuer is\n"
                     "its subject. The CRL number is the list identifier (--list-id, 0xFFFFFFFF by\n"
                     "default), a counter from 0 and the issue time. --days sets the next update\n"
                     "(a month by default). REASON is a code or OpenSSL's name (keyCompromise,\n"
                     "CACompromise, affiliationChanged, superseded, cessationOfOperation,\n"
                     "certificateHold, removeFromCRL, privilegeWithdrawn, AACompromise).",
                     {"machine", "no-password"},
                     New,
                     {},
                     {"revoke", "revoke-cert"}});

}  // namespace
