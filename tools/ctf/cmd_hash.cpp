// `ctf hash`: a file's digest with one of the provider's hashes, printed as
// `openssl dgst -r` prints it.
#include <cstdio>
#include <string>

#include "cert/vrkscapi.h"
#include "cli.h"
#include "io.h"
#include "text.h"

namespace {

struct HashName {
    const char* name;
    ALG_ID alg;
};
const HashName kHashes[] = {
    {"gost94", CALG_GOST_R3411_94},
    {"gost12-256", CALG_GOST_R3411_2012_256},
    {"gost12-512", CALG_GOST_R3411_2012_512},
    {"sha1", CALG_SHA1},
    {"sha256", CALG_SHA_256},
};

ALG_ID HashByName(const std::string& name) {
    std::string names;
    for (const auto& h : kHashes) {
        if (name == h.name) return h.alg;
        names += (names.empty() ? "" : ", ") + std::string(h.name);
    }
    throw ctf::UsageError("unknown hash algorithm \"" + name + "\" (--alg is one of " + names + ")");
}

int Hash(ctf::Context& ctx, const std::string& algName, const std::string& path) {
    const ALG_ID alg = HashByName(algName);
    VRKSCApi::CryptProvider prov;
    VRKSCApi::CryptHash h;
    if (!VRKAcquireContext(&prov, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT) ||
        !VRKCreateHash(prov, alg, 0, &h)) {
        const DWORD e = GetLastError();
        ctf::ThrowWinError(e, e == NTE_PROVIDER_DLL_FAIL ? "the GOST engine is not available (OpenSSL cannot load it)"
                                                         : "cannot start a " + algName + " hash");
    }
    ctf::StreamInputFile(path, [&](ctf::ByteSpan chunk) {
        if (!VRKHashData(h, chunk.data(), static_cast<DWORD>(chunk.size())))
            ctf::ThrowWinError(GetLastError(), "cannot hash " + path);
    });
    IdentObj digest;
    if (!VRKGetHashParam(h, HP_HASHVAL, digest)) ctf::ThrowWinError(GetLastError(), "cannot finish the hash");
    const std::string hex = ctf::Hex(ctf::Span(digest), false);
    const std::string shown = path == "-" ? "stdin" : path;
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject().Add("alg", algName).Add("digest", hex).Add("file", shown).str().c_str());
    else
        std::printf("%s *%s\n", hex.c_str(), shown.c_str());
    return ctf::kOk;
}

int Run(ctf::Context& ctx, ctf::Args& args) {
    const std::string algName = args.Required("alg");
    const std::string path = args.Positional("FILE");
    args.Done();
    return Hash(ctx, algName, path);
}

ctf::Registrar reg({"hash",
                    "hash a file with a GOST or foreign hash",
                    "--alg gost94|gost12-256|gost12-512|sha1|sha256 FILE\n\n"
                    "Prints the digest as `openssl dgst -r` does: hex, then ' *' and the file name\n"
                    "(FILE '-' reads standard input). gost94 is GOST R 34.11-94 with the parameter set\n"
                    "1.2.643.2.2.30.1; for an empty input it gives the standard's value, which some\n"
                    "tools do not.",
                    {},
                    Run});

ctf::DemoRegistrar demo({40, "hash a file with GOST R 34.11-2012", [](ctf::Context& ctx) {
                             const std::string path = ctx.home + "/hash-me.txt";
                             const std::string text = "012345678901234567890123456789012345678901234567890123456789012";
                             ctf::WriteOutputFile(
                                 path, ctf::ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
                             return Hash(ctx, "gost12-256", path);
                         }});

}  // namespace
