// Demo step: the sample transport directory (the one the build made, or
// one made now in the demo's home): its storages as the library lists
// them, kind by kind, then a good, a revoked, an expired and an unknown
// user verified against it, each chain explained. Both through the
// commands a user would type.
#include <cstdio>
#include <string>
#include <vector>

#include "cert/transdir.h"
#include "cli.h"
#include "sample_tdir.h"

namespace {

struct Kind {
    unsigned long flag;
    const char* what;
};
constexpr Kind kKinds[] = {{CTF_SL_TRUST, "the trust storage"},
                           {CTF_SL_COMMON, "the common list"},
                           {CTF_SL_TRUST_OTHER, "the other trust storages"},
                           {CTF_SL_CRL_OWN, "the own node's CRLs"},
                           {CTF_SL_CRL_OTHER, "the other nodes' CRLs"},
                           {CTF_SL_OWN_USERS, "own users"},
                           {CTF_SL_EXT_USERS, "external users"}};

int Run(ctf::Context& ctx) {
    const std::string dir = ctf::DemoSampleTransportDir();
    std::printf("sample transport directory: %s\n", dir.c_str());

    for (const Kind& k : kKinds) {
        char flag[16];
        std::snprintf(flag, sizeof flag, "0x%lX", k.flag);
        std::printf("\n%s:\n", k.what);
        if (const int rc = ctf::RunInTransportDir(ctx, dir, "tdir ls", {"--flags", flag, "--node", "0001"})) return rc;
    }

    bool asExpected = true;
    for (const auto& [user, expected] : {std::pair{"good", ctf::kOk},
                                         {"revoked", ctf::kCheckFailed},
                                         {"expired", ctf::kCheckFailed},
                                         {"unknown", ctf::kCheckFailed}}) {
        std::printf("\n");
        const int rc =
            ctf::RunInTransportDir(ctx, dir, "verify-cert", {dir + "/files/" + user + ".cer", "--node", "0001"});
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
