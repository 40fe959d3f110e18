// The tool's own conventions, common to every command.
#include <gtest/gtest.h>

#include "testsupport.h"

using certtest::Ctf;

TEST(CtfCli, UsageErrorsNameTheirCauseAndExitTwo) {
    struct Case {
        const char* args;
        const char* message;
    } cases[] = {
        {"asn1 --bogus x", "unknown option --bogus"},
        {"asn1", "expected one FILE"},
        {"asn1 a b", "expected one FILE"},
        {"asn1 --json=yes x", "--json takes no value"},
        {"nosuchcommand", "unknown command"},
        {"--home", "--home needs a value"},
        {"asn1 /nonexistent/file", "cannot read /nonexistent/file"},
    };
    for (const auto& c : cases) {
        auto r = Ctf(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
    auto help = Ctf("asn1 --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: ctf asn1 ", 0), 0u) << help.out;
    auto top = Ctf("--help");
    EXPECT_EQ(top.exitCode, 0);
    for (const char* cmd : {"asn1", "demo", "explain", "hash", "key", "oid"})
        EXPECT_NE(top.out.find(std::string("\n  ") + cmd + " "), std::string::npos) << cmd;
}

TEST(CtfCli, PemAndDerInputsReadAlike) {
    certtest::TempDir dir;
    // SEQUENCE { INTEGER 5 } as DER and as PEM with a label of any kind.
    certtest::WriteFile(dir / "x.der", std::string("\x30\x03\x02\x01\x05", 5));
    certtest::WriteFile(dir / "x.pem", "junk before\n-----BEGIN THING-----\nMAMCAQU=\n-----END THING-----\n");
    certtest::WriteFile(dir / "bad.pem", "-----BEGIN THING-----\nMAM*AQU=\n-----END THING-----\n");
    auto der = Ctf("asn1 " + certtest::Sh(dir / "x.der"));
    auto pem = Ctf("asn1 " + certtest::Sh(dir / "x.pem"));
    ASSERT_EQ(der.exitCode, 0) << der.err;
    EXPECT_EQ(pem.out, der.out);
    EXPECT_EQ(Ctf("asn1 " + certtest::Sh(dir / "bad.pem")).exitCode, 2);
}
