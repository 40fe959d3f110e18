// Demo step: signatures verified against the sample transport directory:
// a letter signed by the good user, the same letter tampered with, and the
// signatures of the revoked and the expired user, each signer's signature
// and chain explained. Through the command a user would type.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "io.h"
#include "sample_tdir.h"

namespace {

// A copy of the good signature with one letter of its content changed:
// the digest the signer signed no longer matches.
std::string Tampered(const std::string& dir) {
    ctf::EncodedInput in = ctf::ReadEncodedInput(dir + "/files/good.p7s");
    std::string bytes(reinterpret_cast<const char*>(in.bytes.data()), in.bytes.size());
    const std::size_t at = bytes.find("A letter");
    if (at == std::string::npos) throw ctf::Error(ctf::kFailure, "the sample's good.p7s holds no letter");
    bytes[at] = 'B';
    const std::string path = cert::platform::CertHome() + "/tampered.p7s";
    ctf::WriteOutputFile(path, ctf::Span(bytes));
    return path;
}

int Run(ctf::Context& ctx) {
    const std::string dir = ctf::DemoSampleTransportDir();
    std::printf("sample transport directory: %s\n", dir.c_str());
    std::printf("the letter the users signed: %s/files/letter.txt\n", dir.c_str());

    struct Case {
        std::string file;
        const char* what;
        int expected;
    };
    const Case cases[] = {
        {dir + "/files/good.p7s", "signed by the good user: signature and chain valid", ctf::kOk},
        {Tampered(dir), "the same, one letter of the content changed: the digest differs", ctf::kCheckFailed},
        {dir + "/files/revoked.p7s", "signed by the revoked user: the signature holds, the chain does not",
         ctf::kCheckFailed},
        {dir + "/files/expired.p7s",
         "signed by the expired user while it was valid: judged now, the chain is out of time", ctf::kCheckFailed},
    };
    bool asExpected = true;
    for (const Case& c : cases) {
        std::printf("\n%s\n", c.what);
        const int rc = ctf::RunInTransportDir(ctx, dir, "verify", {c.file, "--node", "0001"});
        std::printf("exit %d (%s)\n", rc, rc == c.expected ? "as expected" : "NOT as expected");
        asExpected &= rc == c.expected;
    }
    return asExpected ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({85,
                         "signatures: a good one, a tampered one, one by a revoked and one by an expired user, "
                         "verified against the sample transport directory",
                         Run});

}  // namespace
