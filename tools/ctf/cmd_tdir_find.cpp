// `ctf tdir find`: a certificate of the transport directory by its serial.
#include <cstdio>

#include "cert/transdir.h"
#include "certs.h"
#include "crls.h"
#include "tdir.h"
#include "text.h"

namespace {

int Find(ctf::Context& ctx, ctf::Args& args) {
    const std::string serialText = args.Positional("SERIAL");
    const auto node = args.Option("node");
    args.Done();
    const IdentObj serial = ctf::SerialArgument(serialText, "SERIAL");
    ctf::OpenTransportDir(ctx, node, 0);
    const CCTFCertContext found =
        CTFFindCertificate(serial, CTF_SL_OWN_USERS | CTF_SL_EXT_USERS | CTF_SL_TRUST | CTF_SL_TRUST_OTHER);
    if (!found.IsInitialized()) {
        if (ctx.json)
            std::printf("%s\n", ctf::JsonObject().Add("found", false).str().c_str());
        else
            std::printf("no certificate with serial %s\n", serialText.c_str());
        return ctf::kCheckFailed;
    }
    const IdentObj der = found.GetEncoded();
    const CCTFX509Certificate cert = ctf::DecodeCertificate(der, "the certificate found");
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("found", true)
                                .Add("storageType", std::uint64_t(found.GetStorageType()))
                                .AddJson("certificate", ctf::CertificateJson(cert, der))
                                .str()
                                .c_str());
    else
        std::printf("%s", ctf::CertificateText(cert, der).c_str());
    return ctf::kOk;
}

ctf::Registrar find({"tdir find",
                     "find a certificate of the transport directory by its serial",
                     "SERIAL [--node ID]\n\n"
                     "Looks SERIAL (hex, as openssl prints it) up in the own users', the external\n"
                     "users', the trust storage and the other trust lists of --transport-dir, in\n"
                     "that order, and shows the first certificate found. Exit 1 when there is none.",
                     {},
                     Find});

}  // namespace
