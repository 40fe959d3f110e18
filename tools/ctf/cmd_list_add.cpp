// `ctf list add`: certificates and CRLs into a list file.
#include <cstdio>
#include <optional>

#include "lists.h"
#include "text.h"

namespace {

int Add(ctf::Context& ctx, ctf::Args& args) {
    std::vector<std::string> pos = args.Positionals();
    const auto keyPath = args.Option("mac-key");
    args.Done();
    if (pos.size() < 2) throw ctf::UsageError("list add: LIST and at least one INPUT");
    const std::string path = pos.front();
    pos.erase(pos.begin());
    std::optional<ctf::ListMacKey> key;
    if (keyPath) key.emplace(*keyPath);
    ctf::OpenedList l = ctf::OpenList(path, key ? &*key : nullptr, true);
    const ctf::ListInputs in = ctf::ReadListInputs(pos);
    if (!l.pkcs7 && !in.crls.empty()) throw ctf::UsageError(path + ": a record list holds no CRLs");
    for (const auto& c : in.certificates)
        if (!l.list->ReturnStorage()->AddEncodetCertificate(c))
            throw ctf::UsageError("list add: a certificate is refused by the store", WinErr2ToolsErr(GetLastError()));
    for (const auto& c : in.crls)
        if (!l.list->ReturnStorage()->AddEncodetCRL(c))
            throw ctf::UsageError("list add: a CRL is refused by the store", WinErr2ToolsErr(GetLastError()));
    const std::size_t dropped = ctf::DropSignatures(l);
    ctf::WriteList(*l.list, path);
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("file", path)
                                .Add("certificatesGiven", std::uint64_t(in.certificates.size()))
                                .Add("crlsGiven", std::uint64_t(in.crls.size()))
                                .Add("signaturesDropped", std::uint64_t(dropped))
                                .str()
                                .c_str());
    else {
        std::printf("%s: %zu certificate(s) and %zu CRL(s) added\n", path.c_str(), in.certificates.size(),
                    in.crls.size());
        if (dropped) std::printf("%s: its signature(s) no longer hold and were dropped: sign it again\n", path.c_str());
    }
    return ctf::kOk;
}

ctf::Registrar add({"list add",
                    "add certificates and CRLs to a list file",
                    "LIST INPUT... [--mac-key FILE]\n\n"
                    "INPUT as for `list new`. A MAC list needs its key and is protected again;\n"
                    "a signed list loses its signatures, and says so. A record list holds no\n"
                    "CRLs. The list is changed under its lock: additions of other processes\n"
                    "stay.",
                    {},
                    Add});

}  // namespace
