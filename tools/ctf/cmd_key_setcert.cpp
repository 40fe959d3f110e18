// `ctf key set-cert`: binds a certificate issued elsewhere to the key of a
// container it was issued for, once the key pair is proved.
#include <cstdio>
#include <string>

#include "cert/asnkeys.h"
#include "cert/ctfuser.h"
#include "certs.h"
#include "cli.h"
#include "keys.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::KeyOptions;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The container's default key: its signature key, else its exchange key.
DWORD DefaultSpec(HCRYPTPROV prov, const KeyOptions& k) {
    IdentObj der;
    ASNContainerInfo info;
    if (!VRKGetProvParam(prov, VRK_PP_CONTAINER_INFO, der, 0))
        ctf::ThrowKeyError(GetLastError(), k, false, "cannot read the container's keys");
    if (!info.Decode(der) || !info.DefaultKeySpec())
        throw ctf::UsageError("container " + Quoted(k.container) + " holds no key");
    return info.DefaultKeySpec();
}

int SetCert(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const auto specName = args.Option("spec");
    const DWORD asked = specName ? ctf::KeySpecByName(*specName) : 0;
    const std::string path = args.Positional("certificate file");
    args.Done();
    const std::vector<IdentObj> found = ctf::ReadCertificates(path);
    if (found.size() != 1)
        throw ctf::UsageError(path + ": holds " + std::to_string(found.size()) + " objects; give one certificate");
    ctf::DecodeCertificate(found.front(), path + ": certificate");
    CCTFCertContext certificate(found.front());
    if (!certificate.IsInitialized()) throw ctf::UsageError(path + ": not a certificate", TOOERR_DER_FORMAT);
    const auto password = ctf::TakePassword(k.passwordFrom, "Password of container " + k.container, false);
    // Without a password the provider may ask; the options answer it.
    ctf::PasswordPrompt prompt(k);
    const bool hadPassword = password.has_value();

    CCTFUser user;
    const char* keyOid = certificate.GetContext()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    if (int rc = user.LogInUser(k.container.c_str(), ctf::OrNone(password), ctf::OrNone(password), keyOid, false, true,
                                k.machine)) {
        prompt.Rethrow();
        ctf::ThrowKeyStatus(rc, "CCTFUser::LogInUser", k, hadPassword, "cannot open the container");
    }
    const DWORD spec = asked ? asked : DefaultSpec(user.GetProvider(), k);
    IdentObj unique;
    std::string container = k.container;
    if (VRKGetProvParam(user.GetProvider(), PP_UNIQUE_CONTAINER, unique, 0)) container = unique.view().data();
    if (!ctf::SetKeyProvider(certificate, container, spec))
        ctf::ThrowWinError(GetLastError(), "cannot name the key of the certificate");

    int status = 0;
    CTOOString place;
    if (!user.CheckSignKeys(certificate, &status, &place)) {
        prompt.Rethrow();
        if (status == TOOERR_NOKEY_FOR_CERT || status == TOOERR_KEYPAIR_CHECK)
            throw ctf::Error(ctf::kCheckFailed,
                             path + ": the certificate's public key is not the " + ctf::KeySpecName(spec) +
                                 " key of container " + Quoted(k.container) + "; nothing was bound",
                             status, place.str());
        ctf::ThrowKeyStatus(status, place, k, hadPassword || prompt.GaveOpenPassword(), "cannot prove the key pair");
    }
    if (!user.PutCertificate(certificate, &status, &place)) {
        prompt.Rethrow();
        ctf::ThrowKeyStatus(status, place, k, hadPassword || prompt.GaveOpenPassword(), "cannot bind the certificate");
    }
    const std::string text = k.container + ": " + path + " bound to the " + ctf::KeySpecName(spec) + " key";
    std::printf("%s\n", ctx.json ? ctf::JsonObject()
                                       .Add("container", k.container)
                                       .Add("machine", k.machine)
                                       .Add("spec", ctf::KeySpecName(spec))
                                       .Add("certificate", path)
                                       .Add("bound", true)
                                       .str()
                                       .c_str()
                                 : text.c_str());
    return ctf::kOk;
}

ctf::Registrar reg({"key set-cert",
                    "bind a certificate to the key of a container it was issued for",
                    "--container NAME [--machine] [--password-file F | --no-password]\n"
                    "          [--spec signature|exchange] CERT\n\n"
                    "The key pair is proved first: the container's key signs, the certificate's key\n"
                    "verifies. The key is the one of --spec, else the container's default key\n"
                    "(its signature key, else its exchange key). A certificate of another key is\n"
                    "refused with exit status 1 and nothing is bound; an earlier binding stays.",
                    {"machine", "no-password"},
                    SetCert});

}  // namespace
