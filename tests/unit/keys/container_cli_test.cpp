// `ctf key list`, `key delete` and `key export --public` over the container
// descriptions.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "cert/certmodel.h"
#include "cert/ctfuser.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::Ctf;
using certtest::Sh;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class ContainerCli : public certtest::HomeTest {
protected:
    std::string F(const std::string& n) { return dir_ / n; }
    void SetUp() override {
        HomeTest::SetUp();
        certtest::WriteFile(F("pw"), "secret\n");
    }
    void NewKey(const std::string& name, bool password, const char* extra = "") {
        auto r = Ctf("key new --alg gost12-256 --container " + name +
                     (password ? " --password-file " + Sh(F("pw")) : std::string(" --no-password")) + " " + extra);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    // A self-signed certificate of the container's signature key (under
    // the password file's password), stored with the key; its DER.
    std::string Bind(const std::string& name) {
        auto r = Ctf("cert new --subject CN=" + name + " --container " + name + " --password-file " + Sh(F("pw")) +
                     " --out " + Sh(F(name + ".der")));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string der = certtest::ReadFile(F(name + ".der"));
        CryptProvider p;
        CryptKey k;
        EXPECT_TRUE(VRKAcquireContext(&p, name.c_str(), nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) &&
                    VRKSetProvParam(p, PP_SIGNATURE_PIN, "secret", 0) && VRKGetUserKey(p, AT_SIGNATURE, &k) &&
                    VRKSetKeyParam(k, KP_CERTIFICATE, IdentObj(std::string_view(der))));
        return der;
    }
    void Damage(const std::string& name) {
        certtest::WriteFile(home_.path() + "/local/Varnok/Containers/" + name + ".key", "VRKC and no more");
    }
    // What openssl says of a DER certificate (`-serial`, `-fingerprint`).
    std::string OpensslField(const std::string& der, const std::string& option) {
        auto r = certtest::Run("openssl x509 -inform DER -noout " + option + " -in " + Sh(der));
        std::string v = r.out.substr(r.out.find('=') + 1);
        std::erase(v, ':');
        std::erase(v, '\n');
        return v;
    }
    certtest::TempDir dir_;
};

// Runs ctf on a terminal of its own with `typed` waiting there as input.
certtest::RunResult OnTerminal(const std::string& args, const std::string& typed) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", ("exec " + Sh(certtest::CtfPath()) + " " + args + " 2>&1").c_str(), nullptr);
        ::_exit(127);
    }
    certtest::RunResult r;
    if (::write(master, typed.data(), typed.size()) < 0) r.out = "cannot type";
    char buf[256];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(master);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST_F(ContainerCli, ListShowsEachKeysCertificateAndGoesPastDamage) {
    NewKey("bound", true);
    NewKey("bound", false, "--spec exchange");
    NewKey("plain", false);
    const std::string der = Bind("bound");
    Damage("broken");
    const std::string serial = OpensslField(F("bound.der"), "-serial");
    const std::string sha1 = OpensslField(F("bound.der"), "-fingerprint -sha1");
    ASSERT_EQ(sha1.size(), 40u);

    auto r = Ctf("key list");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("bound\tsignature\tgost12-256\tA\tpassword\tcertificate\n  subject: CN=bound\n  issuer:  "
                         "CN=bound\n  serial:  " +
                         serial + "\n  valid:   "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  sha1:    " + sha1 + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bound\texchange\tgost12-256\tA\tno password\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("broken\tdamaged\t0x"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("plain\tsignature\tgost12-256\tA\tno password\n"), std::string::npos) << r.out;

    r = Ctf("--json key list");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string why;
    EXPECT_TRUE(certtest::ParseJson(r.out, &why)) << why << r.out;
    EXPECT_NE(r.out.find("\"certificate\": {\"subject\": \"CN=bound\", \"issuer\": \"CN=bound\", \"serial\": \"" +
                         serial + "\", \"notBefore\": \""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"sha1\": \"" + sha1 + "\"}"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '{'), 1 + 4);  // a certificate, four rows
    EXPECT_NE(r.out.find("\"container\": \"broken\", \"machine\": false, \"damaged\": true, \"status\": "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"container\": \"plain\""), std::string::npos);
    EXPECT_NE(r.out.find("\"certificate\": null"), std::string::npos);
    EXPECT_EQ(Ctf("key list --machine").out, "");
}

TEST_F(ContainerCli, DeleteAsksAtATerminalOrWantsYes) {
    for (const char* name : {"keep", "gone", "typed"}) NewKey(name, true);
    CSPAddContainer("gone");
    CSPAddContainer("keep");

    // No terminal to ask, no --yes: refused, the container stays.
    auto r = Ctf("key delete --container keep");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("give --yes"), std::string::npos) << r.err;
    EXPECT_TRUE(CCTFContainer("keep", false).IsLoad());
    // At a terminal, anything but yes keeps it (exit 1); yes deletes.
    r = OnTerminal("key delete --container keep", "n\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("Delete container \"keep\" and its 1 key?"), std::string::npos) << r.out;
    EXPECT_TRUE(CCTFContainer("keep", false).IsLoad());
    r = OnTerminal("key delete --container typed", "YES\n");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    int status = 0;
    CCTFContainer probe;
    EXPECT_FALSE(probe.Load("typed", false, &status));

    r = Ctf("--json key delete --container gone --yes");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"container\": \"gone\", \"machine\": false, \"keys\": 1, \"deleted\": true}\n");
    const auto listed = CSPGetContanerList();
    EXPECT_EQ(std::vector<CTOOString>(listed.begin(), listed.end()), std::vector<CTOOString>{"keep"});
    r = Ctf("key list");
    EXPECT_EQ(r.out.find("gone"), std::string::npos);
    EXPECT_EQ(r.out.find("typed"), std::string::npos);

    // Missing: the user's mistake; damaged: the system's; each with the
    // provider's status.
    r = Ctf("key delete --container gone --yes");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no container \"gone\"\n0x80090016"), std::string::npos) << r.err;
    Damage("broken");
    r = Ctf("key delete --container broken --yes --machine");
    EXPECT_EQ(r.exitCode, 2) << r.err;
    r = Ctf("key delete --container broken --yes");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("container \"broken\" cannot be read\n0x"), std::string::npos) << r.err;
}

TEST_F(ContainerCli, ExportPublicNeedsNoPassword) {
    NewKey("sealed", true);
    // The key's SubjectPublicKeyInfo as the opened key gives it.
    std::string expected;
    {
        CryptProvider p;
        CryptKey k;
        CCTFCertPublicKeyInfo pk;
        ASSERT_TRUE(VRKAcquireContext(&p, "sealed", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) &&
                    VRKSetProvParam(p, PP_SIGNATURE_PIN, "secret", 0) && VRKGetUserKey(p, AT_SIGNATURE, &k) &&
                    CTFExportPKInfo(p, k, pk));
        const IdentObj der = pk.WriteData();
        expected = TOO_MIMEBase64Encode(der.data(), der.size(), 64);
        std::erase(expected, '\r');
        expected = "-----BEGIN PUBLIC KEY-----\n" + expected + "-----END PUBLIC KEY-----\n";
    }
    // Standard input is no terminal: a password wanted would fail the run.
    auto r = Ctf("key export --public --container sealed --out -");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    r = Ctf("key export --public --container sealed --spec signature --out " + Sh(F("pub.pem")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(certtest::ReadFile(F("pub.pem")), expected);

    r = Ctf("key export --public --container sealed --spec exchange --out -");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("holds no such key"), std::string::npos) << r.err;
    r = Ctf("key export --public --container sealed --out - --out-password-file " + Sh(F("pw")));
    EXPECT_EQ(r.exitCode, 2);
    r = Ctf("key export --public --container nosuch --out -");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no container \"nosuch\"\n0x80090016"), std::string::npos) << r.err;
    Damage("broken");
    r = Ctf("key export --public --container broken --out -");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
}

}  // namespace
