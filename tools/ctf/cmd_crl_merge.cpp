// `ctf crl merge`: CRLs put into a CRL file, each replacing the older CRL of
// its issuer and authority key.
#include <cstdio>

#include "cert/crlfile.h"
#include "crls.h"
#include "io.h"
#include "text.h"

namespace {

int Merge(ctf::Context& ctx, ctf::Args& args) {
    std::vector<std::string> what = args.Positionals();
    args.Done();
    if (what.size() < 2) throw ctf::UsageError("give a CRL file and at least one CRL");
    const std::string file = what[0];
    std::list<IdentObj> crls;
    for (std::size_t i = 1; i < what.size(); ++i) {
        IdentObj der = ctf::ReadEncodedInput(what[i]).bytes;
        ctf::DecodeCrl(what[i], der);  // what is no CRL is refused before the file is touched
        crls.push_back(std::move(der));
    }
    int error = 0;
    CTOOString place;
    if (!CTFUpdateCRLsInFile(file, crls, false, {}, nullptr, true, &error, &place))
        throw ctf::CrlFileError(file, error, place);
    const std::vector<CCTF_CRL_List> now = ctf::ReadCrlFile(file);
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("file", file)
                                .Add("merged", std::uint64_t(crls.size()))
                                .Add("count", std::uint64_t(now.size()))
                                .str()
                                .c_str());
    else
        std::printf("%s: %zu CRL(s) merged, %zu in the file\n", file.c_str(), crls.size(), now.size());
    return ctf::kOk;
}

ctf::Registrar merge({"crl merge",
                      "put CRLs into a CRL file",
                      "FILE CRL...\n\n"
                      "FILE is a CRL file (PKCS #7 signed data carrying CRLs); a missing one is\n"
                      "created. Each CRL (DER or PEM) replaces the CRL of the same issuer and\n"
                      "authority key identifier, if the file has one, and is appended. Other\n"
                      "processes editing FILE wait; the file is replaced whole, and stays as it was\n"
                      "when anything fails (exit 2 for a file or a CRL that does not decode).",
                      {},
                      Merge});

}  // namespace
