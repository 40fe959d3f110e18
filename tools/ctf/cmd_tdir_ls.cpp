// `ctf tdir ls`: the storage list of a set of flags, as the library builds
// it from the transport directory.
#include <cstdio>

#include "cert/transdir.h"
#include "tdir.h"
#include "text.h"

namespace {

constexpr unsigned long kDefaultFlags = CTF_SL_TRUST | CTF_SL_TRUST_OTHER | CTF_SL_CRL_OWN | CTF_SL_CRL_OTHER |
                                        CTF_SL_OWN_USERS | CTF_SL_EXT_USERS | CTF_SL_COMMON;

std::string Hex8(unsigned long v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", v);
    return text;
}

std::string BareName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint64_t Count(HCERTSTORE store, bool crls) {
    std::uint64_t n = 0;
    if (crls)
        for (PCCRL_CONTEXT c = CertEnumCRLsInStore(store, nullptr); c; c = CertEnumCRLsInStore(store, c)) ++n;
    else
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
             c = CertEnumCertificatesInStore(store, c))
            ++n;
    return n;
}

int Ls(ctf::Context& ctx, ctf::Args& args) {
    const auto flagsText = args.Option("flags");
    const auto node = args.Option("node");
    args.Done();
    const unsigned long flags = flagsText ? ctf::NumberArgument("flags", *flagsText, 0xFFFFFFFFu) : kDefaultFlags;
    // The system stores need no transport directory.
    if (!(flags & CTF_SL_SYSTEM) || !ctx.transportDir.empty())
        ctf::OpenTransportDir(ctx, node, flags & CTF_SL_ALTERNATIVE);
    std::list<CCTFCertStorage> storages;
    try {
        storages = CTFGetStorageList(flags, nullptr);
    } catch (const XTOOStatus& e) {
        throw ctf::Error(ctf::ExitForStatus(e.Status()), "the storage list of flags " + Hex8(flags) + " failed",
                         e.Status(), e.Place());
    }
    std::vector<std::string> json;
    std::string text;
    for (const CCTFCertStorage& s : storages) {
        const std::string name = BareName(static_cast<const char*>(s.GetName()));
        const std::uint64_t certs = Count(s.GetHandle(), false), crls = Count(s.GetHandle(), true);
        if (ctx.json)
            json.push_back(ctf::JsonObject()
                               .Add("name", name)
                               .Add("type", std::uint64_t(s.GetType()))
                               .Add("certificates", certs)
                               .Add("crls", crls)
                               .str());
        else
            text += Hex8(s.GetType()) + "  " + name + "  " + std::to_string(certs) + " certificate(s), " +
                    std::to_string(crls) + " CRL(s)\n";
    }
    if (ctx.json)
        std::printf("%s\n", ctf::JsonArray(json).c_str());
    else
        std::printf("%s", text.empty() ? "no storages\n" : text.c_str());
    return ctf::kOk;
}

ctf::Registrar ls({"tdir ls",
                   "list the storages the transport directory gives for a set of flags",
                   "[--flags MASK] [--node ID]\n\n"
                   "Opens --transport-dir with the trust list of node ID as the trust storage\n"
                   "(without --node, the only node list besides the common one \"0000\") and\n"
                   "lists the storages the flags select, in the library's order: name, type,\n"
                   "certificates and CRLs held. MASK (default 0x4000003F): 0x1 trust storage,\n"
                   "0x2 other trust lists, 0x4/0x8 CRLs of the own/other nodes, 0x10/0x20\n"
                   "own/external users, 0x40/0x80 own/external input, 0x100/0x200 own/external\n"
                   "requests, 0x400 external CRLs, 0x1000 rejected, 0x2000 incoming, 0x10000000\n"
                   "the system stores instead (no transport directory needed), 0x20000000 the\n"
                   "alternative layout, 0x40000000 the common list.",
                   {},
                   Ls});

}  // namespace
