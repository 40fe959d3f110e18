// `ctf hash`: a file's digest with one of the provider's hashes, printed as
// `openssl dgst -r` prints it.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "provider/gost.h"

namespace {

int Run(ctf::Context&, ctf::Args& args) {
    std::string algName = args.Required("alg");
    std::string path = args.Positional("FILE");
    args.Done();
    cert::gost::HashAlg alg;
    if (!cert::gost::HashAlgFromName(algName, alg)) throw ctf::UsageError("unknown hash algorithm: " + algName);

    bool useStdin = path == "-";
    std::FILE* f = useStdin ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) throw ctf::UsageError("cannot open " + path);
    cert::gost::Hash h(alg);
    std::vector<unsigned char> buf(1 << 16);
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) h.Update(buf.data(), n);
    bool failed = std::ferror(f) != 0;
    if (!useStdin) std::fclose(f);
    if (failed) throw ctf::UsageError("cannot read " + path);

    cert::gost::Bytes d = h.Final();
    std::string hex = TOOBin2HexStr(d.data(), d.size());
    for (auto& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::printf("%s *%s\n", hex.c_str(), useStdin ? "stdin" : path.c_str());
    return ctf::kOk;
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
                             std::string path = cert::platform::TempFolder() + "/ctf-demo-hash.txt";
                             if (!ctx.home.empty()) path = ctx.home + "/hash-me.txt";
                             std::FILE* f = std::fopen(path.c_str(), "wb");
                             if (!f) return int(ctf::kFailure);
                             std::fputs("012345678901234567890123456789012345678901234567890123456789012", f);
                             std::fclose(f);
                             ctf::Args a({"--alg", "gost12-256", path}, {});
                             return Run(ctx, a);
                         }});

}  // namespace
