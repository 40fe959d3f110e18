// `ctf tdir add-crl`: installs a CRL into the trust storages of the
// transport directory and their files.
#include <cstdio>

#include "cert/transdir.h"
#include "certs.h"
#include "crls.h"
#include "io.h"
#include "tdir.h"
#include "text.h"

namespace {

int AddCrl(ctf::Context& ctx, ctf::Args& args) {
    const std::string in = args.Positional("CRL");
    const auto node = args.Option("node");
    args.Done();
    ctf::InputRules rules;
    rules.ber = true;
    const IdentObj der = ctf::ReadEncodedInput(in, rules).bytes;
    const CCTF_CRL_List model = ctf::DecodeCrl(in, der);  // refuses what is no CRL (exit 2)
    const CCTFCRLContext crl(der);
    if (!crl.IsInitialized()) throw ctf::UsageError(in + ": not a CRL");
    ctf::OpenTransportDir(ctx, node, 0);
    int error = 0;
    CTOOString place;
    CTFUpdateCRLContext(crl, &error, &place);
    const bool refused = error == CTFERR_CRL_ISSUER_UNKNOWN || error == CTFERR_CRL_NOT_NEWER;
    if (error && !refused)
        throw ctf::Error(ctf::ExitForStatus(error), in + ": the CRL was not installed", error, place.str());
    const std::string issuer = ctf::NameOrHex(model.m_info.m_issuer);
    const std::string reason =
        error == CTFERR_CRL_NOT_NEWER ? "not newer than the CRL installed" : "its issuer is in no trust storage";
    if (ctx.json) {
        ctf::JsonObject o;
        o.Add("installed", !refused).Add("issuer", issuer);
        if (refused) o.Add("code", std::uint64_t(error)).Add("reason", reason);
        std::printf("%s\n", o.str().c_str());
    } else if (refused) {
        std::printf("%s: not installed, %s\n", in.c_str(), reason.c_str());
        for (const std::string& line : ctf::ExplainStatus(error).Lines()) std::printf("%s\n", line.c_str());
    } else {
        std::printf("installed the CRL of %s\n", issuer.c_str());
    }
    if (refused) return ctf::kCheckFailed;
    return ctf::kOk;
}

ctf::Registrar addCrl({"tdir add-crl",
                       "install a CRL into the trust storages of the transport directory",
                       "CRL [--node ID]\n\n"
                       "Finds the issuer of CRL (DER or PEM) in the trust lists of --transport-dir\n"
                       "by its authority key identifier and installs the CRL beside it: in the list\n"
                       "file and the node's \"_rem.crl\" file when there is one. Exit 1, with the\n"
                       "reason and its status, when the issuer is unknown (212) or the CRL is not\n"
                       "newer than the one installed (143); exit 2 when CRL is no CRL.",
                       {},
                       AddCrl});

}  // namespace
