// Demo step: the sample transport directory (the one the build made, or
// one made now in the demo's home): its storages as the library lists
// them, then a good, a revoked, an expired and an unknown user verified
// against it, each chain explained.
#include <cstdio>
#include <filesystem>
#include <string>

#include "cert/chain.h"
#include "cert/transdir.h"
#include "cli.h"
#include "sample_tdir.h"
#include "tdir.h"

namespace {

namespace fs = std::filesystem;

// Every storage kind the sample has, from the root storage to the users.
constexpr unsigned long kStorages = CTF_SL_TRUST | CTF_SL_TRUST_OTHER | CTF_SL_CRL_OWN | CTF_SL_CRL_OTHER |
                                    CTF_SL_OWN_USERS | CTF_SL_EXT_USERS | CTF_SL_COMMON;

std::size_t Count(const CCTFCertStorage& s) {
    std::size_t n = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s.GetHandle(), c)) != nullptr) ++n;
    return n;
}

void ListStorages(const ctf::Context& ctx, const std::string& dir) {
    struct Free {
        ~Free() { CTFFreeRootStorage(); }
    } freeAfter;
    ctf::Context at = ctx;
    at.transportDir = dir;
    ctf::OpenTransportDir(at, std::string("0001"), CTF_APP_SYSTEM_STORES);
    std::printf("CTFGetStorageList(0x%08lX, \"0001\"):\n", kStorages);
    for (const CCTFCertStorage& s : CTFGetStorageList(kStorages, "0001")) {
        std::string name = static_cast<const char*>(s.GetName());
        if (name.rfind(dir, 0) == 0) name = name.substr(dir.size() + 1);
        std::printf("  %-34s type 0x%08lX  %zu certificate(s), %zu CRL(s)\n", name.c_str(),
                    static_cast<unsigned long>(s.GetType()), Count(s), s.GetCRLList().size());
    }
}

int Run(ctf::Context& ctx) {
    std::string dir = ctf::BuiltSampleTransportDir();
    if (dir.empty()) {
        dir = cert::platform::CertHome() + "/sample-tdir";
        std::error_code ec;
        if (!fs::is_directory(fs::path(dir) / "d_station", ec)) {
            ctf::MakeSampleTransportDir(dir);
            std::printf("no sample from the build here: made one\n");
        }
    }
    std::printf("sample transport directory: %s\n\n", dir.c_str());
    ListStorages(ctx, dir);

    const ctf::Command& verify = ctf::Commands().at("verify-cert");
    bool asExpected = true;
    for (const auto& [user, expected] : {std::pair{"good", ctf::kOk},
                                         {"revoked", ctf::kCheckFailed},
                                         {"expired", ctf::kCheckFailed},
                                         {"unknown", ctf::kCheckFailed}}) {
        const std::string file = dir + "/files/" + user + ".cer";
        std::printf("\n$ ctf --transport-dir %s verify-cert %s --node 0001\n", dir.c_str(), file.c_str());
        std::fflush(stdout);
        ctf::Context run = ctx;
        run.command = "verify-cert";
        run.transportDir = dir;
        ctf::Args args({file, "--node", "0001"}, verify.flags, run, verify.lists);
        args.Check();
        const int rc = verify.run(run, args);
        std::printf("exit %d (%s)\n", rc, rc == expected ? "as expected" : "NOT as expected");
        asExpected &= rc == expected;
    }
    return asExpected ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({80,
                         "transport directory: the sample's storages; a good, a revoked, an expired and an unknown "
                         "user verified",
                         Run});

}  // namespace
