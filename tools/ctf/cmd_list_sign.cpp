// `ctf list sign`: a signature over a PKCS #7 trust list's certificates.
#include <cstdio>

#include "cert/capi.h"
#include "cert/ctfuser.h"
#include "cert/signeddata.h"
#include "certs.h"
#include "crls.h"
#include "keys.h"
#include "lists.h"
#include "text.h"

namespace {

int Sign(ctf::Context& ctx, ctf::Args& args) {
    const ctf::KeyOptions k = ctf::ReadKeyOptions(args);
    const auto certPath = args.Option("cert");
    const std::string path = args.Positional("LIST");
    args.Done();
    ctf::OpenedList l = ctf::OpenList(path, nullptr, false);
    if (!l.pkcs7) throw ctf::UsageError(path + ": a record list is not signed here: make it with --pkcs7");

    CCTFCertContext certificate;
    if (certPath) certificate = ctf::ReadCertificateContext(*certPath);
    ctf::PasswordPrompt prompt(k);
    CCTFUser user;
    const ctf::SigningKey key = ctf::OpenSigningKey(k, prompt, user, certificate);
    CCTFProvider provider;
    int err = 0;
    if (!provider.Init(k.container.c_str(), nullptr, VRK_PROV_TYPE_GOST, k.machine ? CRYPT_MACHINE_KEYSET : 0, &err)) {
        prompt.Rethrow();
        ctf::ThrowKeyStatus(err, "CCTFProvider::Init", k, key.hadPassword, "cannot open the container");
    }

    // The signature covers the certificates in the order the list is
    // written: the store's.
    CCTFSignData& sd = l.Trust()->GetSignData();
    sd.m_certificates.clear();
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(l.list->ReturnStorage()->GetHandle(), c)) != nullptr)
        sd.m_certificates.emplace_back(c->pbCertEncoded, c->cbCertEncoded);
    try {
        CTFSignTrustList(provider, key.spec, certificate, sd);
    } catch (const XTOOStatus& e) {
        prompt.Rethrow();
        if (e.Status() == 106)
            throw ctf::Error(ctf::kCheckFailed, "the certificate is neither a CA nor a trust-list signer", 106,
                             e.Place());
        ctf::ThrowKeyStatus(e.Status(), e.Place(), k, key.hadPassword, "cannot sign the list");
    }
    ctf::WriteList(*l.list, path);
    const std::size_t signers = sd.m_signerInfos.size();
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject().Add("file", path).Add("signers", std::uint64_t(signers)).str().c_str());
    else
        std::printf("%s: signed, %zu signer(s)\n", path.c_str(), signers);
    return ctf::kOk;
}

ctf::Registrar sign({"list sign",
                     "sign a PKCS #7 trust list with a CA's key",
                     "LIST --container NAME [--machine] [--password-file F | --no-password] [--cert FILE]\n\n"
                     "Adds a signer over the list's certificates, concatenated in list order\n"
                     "(GOST R 34.11-94). The certificate (the container's by default) must be a\n"
                     "CA or a trust-list signer: else exit 1. A record list is refused (exit 2).",
                     {"machine", "no-password"},
                     Sign});

}  // namespace
