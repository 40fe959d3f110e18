// `ctf list remove`: certificates out of a list file.
#include <cstdio>
#include <optional>

#include "cert/capi.h"
#include "certs.h"
#include "crls.h"
#include "lists.h"
#include "text.h"

namespace {

int Remove(ctf::Context& ctx, ctf::Args& args) {
    std::vector<std::string> pos = args.Positionals();
    const auto keyPath = args.Option("mac-key");
    const std::vector<std::string> serialTexts = args.Options("serial");
    args.Done();
    if (pos.empty()) throw ctf::UsageError("list remove: LIST is missing");
    const std::string path = pos.front();
    pos.erase(pos.begin());
    if (pos.empty() && serialTexts.empty()) throw ctf::UsageError("list remove: name a CERT or a --serial");
    std::vector<IdentObj> certs, serials;
    for (const auto& p : pos)
        for (const auto& c : ctf::ReadCertificates(p)) certs.push_back(c);
    for (const auto& s : serialTexts) serials.push_back(ctf::SerialArgument(s, "--serial"));

    std::optional<ctf::ListMacKey> key;
    if (keyPath) key.emplace(*keyPath);
    ctf::OpenedList l = ctf::OpenList(path, key ? &*key : nullptr, true);
    CCTFCertStorage& store = *l.list->ReturnStorage();
    std::vector<IdentObj> gone;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store.GetHandle(), c)) != nullptr) {
        const IdentObj der(c->pbCertEncoded, c->cbCertEncoded);
        const IdentObj serial(c->pCertInfo->SerialNumber.pbData, c->pCertInfo->SerialNumber.cbData);
        bool hit = false;
        for (const auto& x : certs) hit |= x == der;
        for (const auto& s : serials) hit |= s == serial;
        if (hit) gone.push_back(der);
    }
    for (const auto& der : gone) store.DeleteCertificate(CCTFCertContext(der));
    if (gone.empty()) {
        if (ctx.json)
            std::printf("%s\n", ctf::JsonObject().Add("file", path).Add("removed", std::uint64_t(0)).str().c_str());
        else
            std::printf("%s: no certificate matched; the list is unchanged\n", path.c_str());
        return ctf::kCheckFailed;
    }
    const std::size_t dropped = ctf::DropSignatures(l);
    ctf::WriteList(*l.list, path);
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("file", path)
                                .Add("removed", std::uint64_t(gone.size()))
                                .Add("signaturesDropped", std::uint64_t(dropped))
                                .str()
                                .c_str());
    else {
        std::printf("%s: %zu certificate(s) removed\n", path.c_str(), gone.size());
        if (dropped) std::printf("%s: its signature(s) no longer hold and were dropped: sign it again\n", path.c_str());
    }
    return ctf::kOk;
}

ctf::Registrar remove({"list remove",
                       "remove certificates from a list file",
                       "LIST (CERT | --serial HEX)... [--mac-key FILE]\n\n"
                       "Removes every certificate equal to a CERT or with a given serial (hex as\n"
                       "OpenSSL prints it). Exit 1 when none matched (the list is then unchanged).\n"
                       "A MAC list needs its key; a signed list loses its signatures.",
                       {},
                       Remove,
                       {},
                       {"serial"}});

}  // namespace
