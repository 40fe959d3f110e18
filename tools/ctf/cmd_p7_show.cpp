// `ctf p7 show`: one signed data through the library's SignedData model.
#include <cstdio>

#include "p7.h"

namespace {

int Show(ctf::Context& ctx, ctf::Args& args) {
    const std::string in = args.Positional("FILE");
    args.Done();
    const CCTFSignData data = ctf::ReadSignedData(in);
    std::printf("%s", ctx.json ? (ctf::SignedDataJson(data) + "\n").c_str() : ctf::SignedDataText(data).c_str());
    return ctf::kOk;
}

ctf::Registrar show({"p7 show",
                     "show a signed data: its content, certificates, CRLs and signers",
                     "FILE\n\n"
                     "FILE is one signed data (PKCS #7 / CMS), DER, BER or PEM. The content is not\n"
                     "loaded: its size is shown, or \"detached\". Each signer shows its certificate's\n"
                     "serial and issuer (or its key identifier), its digest and signature algorithms,\n"
                     "the types of its attributes in order, the signing time, and whether the\n"
                     "signed data carries its certificate.",
                     {},
                     Show});

}  // namespace
