// `ctf key ...`: key containers of the crypto provider.
#include <cstdio>
#include <string>

#include "cert/asn.h"
#include "cert/certmodel.h"
#include "cert/ctfuser.h"
#include "cert/lecursor.h"
#include "cert/vrkscapi.h"
#include "cli.h"
#include "io.h"
#include "keys.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::JsonObject;
using ctf::KeyOptions;

DWORD SpecOf(Args& args, DWORD dflt) {
    auto s = args.Option("spec");
    return s ? ctf::KeySpecByName(*s) : dflt;
}

void Print(const ctf::Context& ctx, const JsonObject& json, const std::string& text) {
    std::printf("%s\n", ctx.json ? json.str().c_str() : text.c_str());
}

std::string KeyNewDetails() {
    std::string s = "\nParameter sets (--paramset, by name or OID), as the OID registry gives them:\n";
    for (const auto& a : ctf::KeyAlgorithms()) {
        for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
            s += "  " + std::string(a.name) + " " + ctf::KeySpecName(spec) + ":";
            for (const auto& oid : ctf::ParamSets(a, spec)) s += " " + ctf::ParamSetName(oid) + " (" + oid + ")";
            s += "\n";
        }
    }
    return s + "Without --paramset the provider's default set is taken.\n";
}

int New(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const ctf::KeyAlgorithm& alg = ctf::KeyAlgorithmByName(args.Required("alg"));
    const auto paramset = args.Option("paramset");
    const DWORD spec = SpecOf(args, AT_SIGNATURE);
    const bool replace = args.Flag("replace");
    args.Done();
    const std::string oid = paramset ? ctf::ParamSetOid(alg, spec, *paramset) : std::string();
    const auto password = ctf::TakePassword(k.passwordFrom, "Password for the new key in " + k.container, true);

    ctf::ContainerLock lock(k);
    ctf::RefuseToReplace(k, spec, replace);
    bool created = false;
    VRKSCApi::CryptProvider p = ctf::OpenOrCreateContainer(k, alg.provType, created);
    if (password &&
        !VRKSetProvParam(p, spec == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN, password->c_str(), 0))
        ctf::ThrowKeyError(GetLastError(), k, true, "cannot set the password");
    if (!oid.empty() &&
        !VRKSetProvParam(p, spec == AT_SIGNATURE ? VRK_PP_SIGN_PARAMSET : VRK_PP_EXCHANGE_PARAMSET, oid.c_str(), 0))
        ctf::ThrowKeyError(GetLastError(), k, true, "cannot choose parameter set " + oid);
    VRKSCApi::CryptKey key;
    if (!VRKGenKey(p, spec, alg.bits << 16, &key)) ctf::ThrowKeyError(GetLastError(), k, true, "cannot make the key");
    IdentObj made;
    if (!VRKGetKeyParam(key, VRK_KP_PUBKEY_PARAMSET, made))
        ctf::ThrowKeyError(GetLastError(), k, true, "cannot read the new key's parameter set");
    std::string madeOid(made.view());
    while (!madeOid.empty() && madeOid.back() == '\0') madeOid.pop_back();
    // The provider may take another set than asked instead of refusing one;
    // a key on a set nobody asked for must not pass for the one asked.
    if (!oid.empty() && madeOid != oid) {
        std::string fate = " (the key stays there)";
        if (created) {
            key.Destroy();
            p.Release();
            HCRYPTPROV gone = 0;
            if (VRKAcquireContext(&gone, k.container.c_str(), nullptr, alg.provType,
                                  k.acquireFlags() | CRYPT_DELETEKEYSET))
                fate = " (the container made for it is removed again)";
        }
        throw ctf::Error(ctf::kFailure, "the provider made the key in container \"" + k.container +
                                            "\" on parameter set " + madeOid + ", not on " + oid + " as asked" + fate);
    }
    Print(ctx,
          JsonObject()
              .Add("container", k.container)
              .Add("machine", k.machine)
              .Add("spec", ctf::KeySpecName(spec))
              .Add("alg", alg.name)
              .Add("paramSet", madeOid)
              .Add("containerCreated", created),
          k.container + ": " + ctf::KeySpecName(spec) + " key " + alg.name + " (" + ctf::ParamSetName(madeOid) + ")");
    return ctf::kOk;
}

int Import(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const std::string in = args.Required("in");
    const DWORD spec = SpecOf(args, AT_SIGNATURE);
    const auto inPassword = args.Option("in-password-file");
    const bool replace = args.Flag("replace");
    args.Done();
    const ctf::EncodedSecret data = ctf::ReadEncodedSecret(in);
    const auto pkcs8Password = inPassword ? std::optional(ctf::ReadPasswordFile(*inPassword)) : std::nullopt;
    const auto password = ctf::TakePassword(k.passwordFrom, "Password for the imported key in " + k.container, true);

    ctf::ContainerLock lock(k);
    ctf::RefuseToReplace(k, spec, replace);
    const DWORD rc = vrk::ImportPkcs8(k.container, k.machine, data.bytes.view(), ctf::OrNone(pkcs8Password), spec,
                                      ctf::OrNone(password), replace);
    if (rc == NTE_BAD_KEYSET_PARAM || rc == NTE_BAD_DATA || rc == ERROR_CANCELLED)
        ctf::ThrowWinError(rc, in + ": " +
                                   (pkcs8Password ? "wrong password, or not a PKCS #8 private key"
                                                  : "not a PKCS #8 private key, or one that wants --in-password-file"));
    if (rc) ctf::ThrowKeyError(rc, k, password.has_value(), "cannot import " + in);
    Print(ctx,
          JsonObject()
              .Add("container", k.container)
              .Add("machine", k.machine)
              .Add("spec", ctf::KeySpecName(spec))
              .Add("in", in),
          k.container + ": " + ctf::KeySpecName(spec) + " key imported from " + in);
    return ctf::kOk;
}

// A GOST public key as the container describes it, in the provider's
// public-key blob, which a verify-only context takes without any password.
IdentObj PublicKeyBlob(const CCTFUserKeyInfo& key) {
    asn::Writer params;
    auto m = params.BeginSequence();
    params.Oid(key.m_paramSet.str());
    params.End(m);
    return le::Writer()
        .U8(PUBLICKEYBLOB)
        .U8(VRK_PUBLICKEY_BLOB_VERSION)
        .U16(0)
        .U32(key.m_algId)
        .U32(VRK_PUBLICKEY_MAGIC)
        .U32(key.m_publicKey.size() * 8)
        .Put(params.Take())
        .Put(key.m_publicKey)
        .Take();
}

// The SubjectPublicKeyInfo of the key `spec` (0: the container's default
// key). Only a container that does not describe the key's public part
// needs its password.
CCTFCertPublicKeyInfo PublicKeyOf(const KeyOptions& k, DWORD spec) {
    const CCTFContainer c = ctf::DescribeContainer(k);
    const CCTFUserContainerInfo info = c.GetContainerInfo();
    if (!spec && !c.GetEntries().empty()) spec = c.GetEntries().front().DefaultKeySpec();
    const CCTFUserKeyInfo* key = nullptr;
    for (const auto& one : info.m_keys)
        if (one.m_keySpec == spec) key = &one;
    if (!key) ctf::ThrowKeyError(static_cast<DWORD>(NTE_NO_KEY), k, false, "");
    CCTFCertPublicKeyInfo pk;
    if (key->m_publicKey.IsEmpty()) {
        const auto password = ctf::TakePassword(k.passwordFrom, "Password of the key in " + k.container, false);
        VRKSCApi::CryptProvider p = ctf::OpenContainer(k, VRK_PROV_TYPE_GOST);
        ctf::SetPassword(p, k, password);
        VRKSCApi::CryptKey h;
        if (!VRKGetUserKey(p, spec, &h) || !CTFExportPKInfo(p, h, pk))
            ctf::ThrowKeyError(GetLastError(), k, password.has_value(), "cannot read the public key");
        return pk;
    }
    if (key->m_algId == CALG_RSA_SIGN || key->m_algId == CALG_RSA_KEYX) {
        // An RSA key is described by its SubjectPublicKeyInfo already.
        pk.ReadData(key->m_publicKey.data(), key->m_publicKey.size());
        return pk;
    }
    const IdentObj blob = PublicKeyBlob(*key);
    VRKSCApi::CryptProvider verify;
    VRKSCApi::CryptKey h;
    if (!VRKAcquireContext(&verify, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !VRKImportKey(verify, blob.data(), blob.size(), 0, 0, &h) || !CTFExportPKInfo(verify, h, pk))
        throw ctf::Error(ctf::kFailure, "container \"" + k.container + "\" describes a public key that cannot be used",
                         WinErr2ToolsErr(GetLastError()));
    return pk;
}

int ExportPublic(ctf::Context& ctx, const KeyOptions& k, DWORD spec, const std::string& out) {
    const IdentObj der = PublicKeyOf(k, spec).WriteData();
    std::string body = TOO_MIMEBase64Encode(der.data(), der.size(), 64);
    std::erase(body, '\r');  // PEM lines end with LF alone, as openssl writes them
    const std::string pem = "-----BEGIN PUBLIC KEY-----\n" + body + "-----END PUBLIC KEY-----\n";
    ctf::WriteOutputFile(out, ctf::Span(pem));
    if (out != "-")
        Print(ctx, JsonObject().Add("container", k.container).Add("machine", k.machine).Add("out", out),
              k.container + ": public key exported to " + out);
    return ctf::kOk;
}

int Export(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const std::string out = args.Required("out");
    const DWORD spec = SpecOf(args, 0);
    const bool publicOnly = args.Flag("public");
    const auto outPassword = args.Option("out-password-file");
    args.Done();
    if (publicOnly) {
        if (outPassword)
            throw ctf::UsageError("--out-password-file encrypts private keys; a public key goes out plain");
        return ExportPublic(ctx, k, spec, out);
    }
    const auto password = ctf::TakePassword(k.passwordFrom, "Password of the key in " + k.container, false);
    const auto encryptWith = outPassword ? std::optional(ctf::ReadPasswordFile(*outPassword)) : std::nullopt;

    cert::Secret pem;
    const DWORD rc =
        vrk::ExportPkcs8(k.container, k.machine, spec, ctf::OrNone(password), ctf::OrNone(encryptWith), pem);
    if (rc) ctf::ThrowKeyError(rc, k, password.has_value(), "cannot export the key");
    ctf::WriteOutputFile(out, pem.view(), 0600);
    std::fprintf(stderr, "warning: the private key has left the container%s; keep %s safe and delete it when done\n",
                 encryptWith ? " (encrypted)" : " in clear", out == "-" ? "it" : out.c_str());
    // Standard output carries the key itself then; nothing else goes there.
    if (out != "-")
        Print(ctx,
              JsonObject()
                  .Add("container", k.container)
                  .Add("machine", k.machine)
                  .Add("out", out)
                  .Add("encrypted", encryptWith.has_value()),
              k.container + ": key exported to " + out);
    return ctf::kOk;
}

int Passwd(ctf::Context& ctx, Args& args) {
    KeyOptions k = ctf::ReadKeyOptions(args);
    const ctf::PasswordSource next = ctf::ReadPasswordSource(args, "new-password-file", "new-no-password");
    args.Done();
    const auto old = ctf::TakePassword(k.passwordFrom, "Current password of " + k.container, false);
    const auto fresh = ctf::TakePassword(next, "New password for " + k.container, true);
    VRKSCApi::CryptProvider p = ctf::OpenContainer(k, VRK_PROV_TYPE_GOST);
    ctf::SetPassword(p, k, old);
    if (!VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, fresh ? fresh->c_str() : "", 0))
        ctf::ThrowKeyError(GetLastError(), k, old.has_value(), "cannot change the password");
    Print(ctx,
          JsonObject().Add("container", k.container).Add("machine", k.machine).Add("hasPassword", fresh.has_value()),
          k.container + (fresh ? ": password changed" : ": password removed"));
    return ctf::kOk;
}

const char* kKeyOptions = "--container NAME [--machine] [--password-file F | --no-password]";

ctf::Registrar regNew({"key new",
                       "make a key in a container (made when missing)",
                       std::string(kKeyOptions) +
                           "\n          --alg gost2001|gost12-256|gost12-512 [--paramset NAME-OR-OID]\n"
                           "          [--spec signature|exchange] [--replace]\n\n"
                           "A container that already holds a key of that spec is left alone unless\n"
                           "--replace is given. A password typed at the terminal is asked twice.",
                       {"machine", "no-password", "replace"},
                       New,
                       KeyNewDetails});

ctf::Registrar regImport({"key import",
                          "import a PKCS #8 private key into a container",
                          std::string(kKeyOptions) +
                              "\n          --in FILE [--in-password-file F] [--spec signature|exchange] [--replace]\n\n"
                              "FILE is PKCS #8, PEM or DER, plain or encrypted (with --in-password-file), GOST\n"
                              "or RSA; '-' reads standard input.",
                          {"machine", "no-password", "replace"},
                          Import});

ctf::Registrar regExport(
    {"key export",
     "export a container's private key as PKCS #8 PEM, or its public key",
     std::string(kKeyOptions) +
         "\n          --out FILE [--out-password-file F | --public] [--spec signature|exchange]\n\n"
         "Warns: the key leaves the container. --out - writes it to standard output.\n"
         "--public writes the SubjectPublicKeyInfo as PEM (\"PUBLIC KEY\") instead; it\n"
         "needs no password, as the container describes its keys' public parts.",
     {"machine", "no-password", "public"},
     Export});

ctf::Registrar regPasswd({"key passwd",
                          "change (or set, or remove) a container's password",
                          std::string(kKeyOptions) +
                              "\n          [--new-password-file F | --new-no-password]\n\n"
                              "--no-password: the keys have none now; --new-no-password: they get none.",
                          {"machine", "no-password", "new-no-password"},
                          Passwd});

}  // namespace
