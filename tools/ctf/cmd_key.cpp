// `ctf key`: key containers of the crypto provider.
#include <cstdio>
#include <string>

#include "cert/vrkscapi.h"
#include "cli.h"
#include "provider/gost.h"

namespace {

namespace gost = cert::gost;
using ctf::Args;

[[noreturn]] void Fail(DWORD winError, const std::string& place) {
    throw XTOOStatus(WinErr2ToolsErr(winError), place.c_str());
}

DWORD SpecOf(Args& args, DWORD dflt) {
    auto s = args.Option("spec");
    if (!s) return dflt;
    if (*s == "exchange") return AT_KEYEXCHANGE;
    if (*s == "signature") return AT_SIGNATURE;
    throw ctf::UsageError("--spec is exchange or signature");
}

const char* SpecName(DWORD spec) {
    return spec == AT_KEYEXCHANGE ? "exchange" : spec == AT_SIGNATURE ? "signature" : "-";
}

std::string AlgName(ALG_ID alg) {
    switch (alg) {
        case CALG_GOST_R3410_2001:
        case CALG_GOST_R3410_2001_DH:
            return "gost2001";
        case CALG_GOST_R3410_2012_256:
        case CALG_GOST_R3410_2012_256_DH:
            return "gost12-256";
        case CALG_GOST_R3410_2012_512:
        case CALG_GOST_R3410_2012_512_DH:
            return "gost12-512";
        case CALG_RSA_SIGN:
        case CALG_RSA_KEYX:
            return "rsa";
        default: {
            if (!alg) return "-";
            char b[16];
            std::snprintf(b, sizeof b, "0x%04X", alg);
            return b;
        }
    }
}

int New(ctf::Context&, Args& args) {
    std::string name = args.Required("container");
    std::string algText = args.Required("alg");
    auto paramset = args.Option("paramset");
    bool machine = args.Flag("machine");
    bool noPassword = args.Flag("no-password");
    DWORD spec = SpecOf(args, AT_SIGNATURE);
    gost::KeyAlg ka;
    if (!gost::KeyAlgFromName(algText, ka) || ka == gost::KeyAlg::Rsa)
        throw ctf::UsageError("--alg is gost2001, gost12-256 or gost12-512");
    std::string password = noPassword ? "" : ctf::ReadPassword(args, "Password for the new key");
    args.Done();
    std::string oid = paramset ? gost::ParamsetOidFromName(ka, *paramset) : gost::DefaultParamset(ka);

    VRKSCApi::CryptProvider p;
    DWORD type = ka == gost::KeyAlg::Gost2001 ? 2 : ka == gost::KeyAlg::Gost2012_256 ? 77 : 78;
    if (!VRKAcquireContext(
            &p, name.c_str(), nullptr, type,
            CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER | CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0)))
        Fail(GetLastError(), "VRKAcquireContext");
    if (!password.empty() &&
        !VRKSetProvParam(p, spec == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN, password.c_str(), 0))
        Fail(GetLastError(), "VRKSetProvParam");
    if (!VRKSetProvParam(p, spec == AT_SIGNATURE ? VRK_PP_SIGN_PARAMSET : VRK_PP_EXCHANGE_PARAMSET, oid.c_str(), 0))
        Fail(GetLastError(), "VRKSetProvParam");
    VRKSCApi::CryptKey k;
    if (!VRKGenKey(p, spec, DWORD(8 * gost::GostKeyBytes(ka)) << 16, &k)) Fail(GetLastError(), "VRKGenKey");
    std::printf("%s: %s key %s (%s)\n", name.c_str(), SpecName(spec), gost::KeyAlgName(ka),
                gost::ParamsetName(oid).c_str());
    return ctf::kOk;
}

int List(ctf::Context& ctx, Args& args) {
    bool machine = args.Flag("machine");
    args.Done();
    auto rows = vrk::ListContainerKeys(machine);
    if (ctx.json) {
        std::printf("[");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& r = rows[i];
            std::printf(
                "%s{\"container\": %s, \"machine\": %s, \"spec\": %s, \"alg\": %s, \"paramset\": %s, "
                "\"certificate\": %s, \"password\": %s, \"damaged\": %s}",
                i ? ", " : "", ctf::JsonQuote(r.name).c_str(), r.machine ? "true" : "false",
                ctf::JsonQuote(SpecName(r.keySpec)).c_str(), ctf::JsonQuote(AlgName(r.alg)).c_str(),
                ctf::JsonQuote(r.paramSet).c_str(), r.hasCertificate ? "true" : "false",
                r.passwordProtected ? "true" : "false", r.damaged ? "true" : "false");
        }
        std::printf("]\n");
        return ctf::kOk;
    }
    for (const auto& r : rows) {
        if (r.damaged) {
            std::printf("%s\tdamaged\n", r.name.c_str());
            continue;
        }
        std::printf("%s\t%s\t%s\t%s\t%s%s\n", r.name.c_str(), SpecName(r.keySpec), AlgName(r.alg).c_str(),
                    r.paramSet.empty() ? "-" : gost::ParamsetName(r.paramSet).c_str(),
                    r.passwordProtected ? "password" : "no password", r.hasCertificate ? "\tcertificate" : "");
    }
    return ctf::kOk;
}

int Import(ctf::Context&, Args& args) {
    std::string name = args.Required("container");
    std::string in = args.Required("in");
    bool machine = args.Flag("machine");
    bool noPassword = args.Flag("no-password");
    DWORD spec = SpecOf(args, AT_SIGNATURE);
    auto inPw = args.Option("in-password-file");
    std::string password = noPassword ? "" : ctf::ReadPassword(args, "Password for the imported key");
    args.Done();
    IdentObj data(ctf::ReadFileBytes(in));
    std::string pkcs8Password = inPw ? ctf::ReadSecretFile(*inPw) : "";
    if (DWORD rc = vrk::ImportPkcs8(name, machine, data, pkcs8Password, spec, password)) Fail(rc, in);
    std::printf("%s: %s key imported from %s\n", name.c_str(), SpecName(spec), in.c_str());
    return ctf::kOk;
}

int Export(ctf::Context&, Args& args) {
    std::string name = args.Required("container");
    std::string out = args.Required("out");
    bool machine = args.Flag("machine");
    DWORD spec = SpecOf(args, 0);
    auto outPw = args.Option("out-password-file");
    std::string password = args.Flag("no-password") ? "" : ctf::ReadPassword(args, "Password of the key");
    args.Done();
    std::string pem;
    if (DWORD rc = vrk::ExportPkcs8(name, machine, spec, password, outPw ? ctf::ReadSecretFile(*outPw) : "", pem))
        Fail(rc, name);
    std::fprintf(stderr, "warning: the private key leaves the container%s; keep %s safe and delete it when done\n",
                 outPw ? " (encrypted)" : " in clear", out.c_str());
    if (cert::platform::WriteFileAtomic(out, pem.data(), pem.size(), 0600)) Fail(GetLastError(), out);
    volatile char* wipe = pem.data();
    for (std::size_t i = 0; i < pem.size(); ++i) wipe[i] = 0;
    return ctf::kOk;
}

int Passwd(ctf::Context&, Args& args) {
    std::string name = args.Required("container");
    bool machine = args.Flag("machine");
    std::string old = ctf::ReadPassword(args, "Current password");
    auto fresh = args.Option("new-password-file");
    args.Done();
    if (!fresh) throw ctf::UsageError("--new-password-file FILE is needed");
    std::string next = ctf::ReadSecretFile(*fresh);
    VRKSCApi::CryptProvider p;
    if (!VRKAcquireContext(&p, name.c_str(), VRK_PROV_GOST, 2, CRYPT_SILENT | (machine ? CRYPT_MACHINE_KEYSET : 0)))
        Fail(GetLastError(), "VRKAcquireContext");
    if (!old.empty() && (!VRKSetProvParam(p, PP_SIGNATURE_PIN, old.c_str(), 0) ||
                         !VRKSetProvParam(p, PP_KEYEXCHANGE_PIN, old.c_str(), 0)))
        Fail(GetLastError(), "VRKSetProvParam");
    if (!VRKSetProvParam(p, VRK_PP_CHANGE_PASSWORD, next.c_str(), 0)) Fail(GetLastError(), name);
    std::printf("%s: password changed\n", name.c_str());
    return ctf::kOk;
}

int Run(ctf::Context& ctx, Args& args) {
    auto pos = args.Positionals();
    if (pos.empty()) throw ctf::UsageError("ctf key new|list|import|export|passwd ...");
    const std::string& sub = pos[0];
    if (sub == "new") return New(ctx, args);
    if (sub == "list") return List(ctx, args);
    if (sub == "import") return Import(ctx, args);
    if (sub == "export") return Export(ctx, args);
    if (sub == "passwd") return Passwd(ctx, args);
    throw ctf::UsageError("unknown key command: " + sub);
}

ctf::Registrar reg({"key",
                    "key containers: make, list, import, export, change passwords",
                    "new --container NAME --alg gost2001|gost12-256|gost12-512 [--paramset NAME-OR-OID]\n"
                    "          [--spec exchange|signature] [--machine] [--password-file F | --no-password]\n"
                    "  key list [--machine]   (global --json for JSON)\n"
                    "  key import --container NAME --in FILE [--in-password-file F] [--spec ...] [--machine]\n"
                    "          [--password-file F | --no-password]   (PKCS #8, PEM or DER, GOST or RSA)\n"
                    "  key export --container NAME --out FILE [--out-password-file F] [--spec ...] [--machine]\n"
                    "          [--password-file F | --no-password]   (PKCS #8 PEM; warns)\n"
                    "  key passwd --container NAME [--machine] --password-file F --new-password-file F",
                    {"machine", "no-password"},
                    Run});

}  // namespace
