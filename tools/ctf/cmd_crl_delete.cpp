// `ctf crl delete`: a CRL removed from a CRL file.
#include <cstdio>

#include "cert/crlfile.h"
#include "crls.h"
#include "io.h"
#include "text.h"

namespace {

int Delete(ctf::Context& ctx, ctf::Args& args) {
    const std::string file = args.Positional("FILE");
    const std::string like = args.Required("like");
    const bool byNumber = args.Flag("by-number");
    args.Done();
    const CCTF_CRL_List crl = ctf::ReadCrl(like);
    const IdentObj id = byNumber ? crl.GetSerial() : ctf::CrlKeyId(crl.m_info);
    int error = 0;
    CTOOString place;
    const bool removed = CTFDeleteCrlFromFile(byNumber, crl.m_info.m_issuer, id, file, &error, &place);
    if (!removed && error != CTFERR_CRL_NOT_IN_FILE) throw ctf::CrlFileError(file, error, place);
    const std::string what = byNumber ? "number " + ctf::Hex(ctf::Span(id)) : "key id " + ctf::Hex(ctf::Span(id));
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("file", file)
                                .Add("removed", removed)
                                .Add("count", std::uint64_t(ctf::ReadCrlFile(file).size()))
                                .str()
                                .c_str());
    else if (removed)
        std::printf("%s: the CRL of that issuer with %s removed\n", file.c_str(), what.c_str());
    else
        std::printf("%s: no CRL of that issuer with %s\n", file.c_str(), what.c_str());
    return removed ? ctf::kOk : ctf::kCheckFailed;
}

ctf::Registrar del({"crl delete",
                    "remove a CRL from a CRL file",
                    "FILE --like CRL [--by-number]\n\n"
                    "Removes the first CRL of FILE whose issuer is CRL's and whose authority key\n"
                    "identifier (with --by-number: CRL number) is CRL's. Exit 1, the file\n"
                    "untouched, when none matches.",
                    {"by-number"},
                    Delete});

}  // namespace
