// `ctf verify-cert`: each certificate's chain through the library's chain
// engine, against trust the user names (files, or the root storage of a
// transport directory), with every element and its bits explained.
#include <cstdio>

#include "chains.h"
#include "cli.h"
#include "lists.h"
#include "text.h"
#include "trust.h"

namespace {

int Verify(ctf::Context& ctx, ctf::Args& args) {
    const std::vector<std::string> certFiles = args.Positionals();
    const ctf::TrustOptions options = ctf::ReadTrustOptions(ctx, args);
    args.Done();
    if (certFiles.empty()) throw ctf::UsageError("give at least one CERT");

    // Every input is read before anything is verified: a bad file is
    // reported alone, not after half the output.
    std::vector<std::pair<std::string, std::vector<IdentObj>>> subjects;
    for (const std::string& f : certFiles) {
        ctf::ListInputs in = ctf::ReadListInputs({f});
        if (in.certificates.empty()) throw ctf::UsageError(f + ": holds no certificate");
        subjects.emplace_back(f, std::move(in.certificates));
    }
    ctf::TrustStorages storages(ctx, options);

    if (!ctx.json) std::fputs(storages.Header().c_str(), stdout);
    std::vector<std::string> json;
    bool clean = true, first = true;
    for (const auto& [file, certs] : subjects)
        for (std::size_t i = 0; i < certs.size(); ++i) {
            const ctf::TrustStorages::Verdict v = storages.Judge(CCTFCertContext(certs[i]));
            clean &= v.bits == 0;
            if (ctx.json) {
                json.push_back(ctf::ChainJson(file, v.chain, v.bits, storages.At()));
            } else {
                std::string title = file;
                if (certs.size() > 1) title += ", certificate " + std::to_string(i + 1);
                title += v.bits ? ": NOT TRUSTED" : ": OK";
                if (storages.HasAt()) title += " at " + ctf::IsoTime(storages.At());
                std::printf("%s%s", first ? "" : "\n", ctf::ChainText(title, v.chain, v.bits, storages.At()).c_str());
                first = false;
            }
        }
    if (ctx.json) std::printf("%s\n", ctf::JsonArray(json).c_str());
    return clean ? ctf::kOk : ctf::kCheckFailed;
}

ctf::Registrar reg({"verify-cert",
                    "build and check the chain of each certificate",
                    "CERT... [--trust F]... [--untrusted F]... [--crl F]... [--at TIME]\n"
                    "        [--app-flag MASK] [--node ID]\n\n"
                    "Each certificate of each CERT file is verified by the library's chain engine.\n"
                    "Files: PEM (several objects), DER or PKCS #7 bundles; options repeat.\n" +
                        std::string(ctf::kTrustOptionsHelp) +
                        "Exit 0 when every chain is clean, 1 when one has error bits.",
                    {},
                    Verify,
                    {},
                    {"trust", "untrusted", "crl"}});

}  // namespace
