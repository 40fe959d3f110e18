// `ctf list crl`: a CRL file and the verdict on its signature against the
// certificates given.
#include <cstdio>

#include "cert/capi.h"
#include "certs.h"
#include "lists.h"
#include "text.h"

namespace {

std::string Meaning(unsigned long status) {
    switch (status) {
        case CTF_CRLFILE_VERIFIED:
            return "the signature verified with the issuer found";
        case CTF_CRLFILE_BAD_SIGNATURE:
            return "the issuer was found and the signature did not verify";
        case CTF_CRLFILE_NO_ISSUER:
            return "no issuer: no certificates given, or none of them is the CRL's issuer";
        default:
            return "nothing loaded";
    }
}

int Crl(ctf::Context& ctx, ctf::Args& args) {
    const std::string path = args.Positional("CRL");
    const std::vector<std::string> issuers = args.Options("issuer-cert");
    args.Done();
    CCTFCertStorage storage;
    if (!issuers.empty()) {
        storage.OpenStorage(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
        for (const auto& f : issuers)
            for (const auto& c : ctf::ReadCertificates(f))
                if (!storage.AddEncodetCertificate(c))
                    throw ctf::UsageError(f + ": not a certificate", WinErr2ToolsErr(GetLastError()));
    }
    CCTFCRLFileList crl;
    XTOOStatus status(0);
    if (!crl.LoadFile(path, storage, &status))
        throw ctf::UsageError(path + ": does not load as a CRL (status " + std::to_string(status.Status()) + ")",
                              status.Status());
    const unsigned long st = crl.GetStatus();
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("file", path)
                                .Add("status", std::uint64_t(st))
                                .Add("meaning", Meaning(st))
                                .str()
                                .c_str());
    else
        std::printf("%s: status 0x%08lX: %s\n", path.c_str(), st, Meaning(st).c_str());
    return st == CTF_CRLFILE_VERIFIED ? ctf::kOk : ctf::kCheckFailed;
}

ctf::Registrar crl({"list crl",
                    "load a CRL file as the storages do and tell whether its issuer signed it",
                    "CRL [--issuer-cert FILE]...\n\n"
                    "The issuer is looked for among the certificates given, by the CRL's\n"
                    "authority key identifier. Status 0 verified (exit 0); 8 the issuer's key\n"
                    "does not verify it, 0x10000 no issuer found (exit 1).",
                    {},
                    Crl,
                    {},
                    {"issuer-cert"}});

}  // namespace
