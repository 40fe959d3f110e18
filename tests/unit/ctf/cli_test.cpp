// The tool's inputs, messages and text forms; the conventions common to
// every command are in conventions_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "cert/tools.h"
#include "testsupport.h"
#include "text.h"

namespace {

using certtest::Ctf;
using certtest::Sh;

using certtest::kExitOk;
using certtest::kExitUsage;

TEST(CtfCli, UsageErrorsNameTheirCauseAndExitTwo) {
    struct Case {
        const char* args;
        const char* message;
    } cases[] = {
        {"asn1", "ctf asn1: expected one FILE"},
        {"asn1 --ber=yes x", "ctf asn1: --ber takes no value"},
        {"asn1 --json=yes x", "--json takes no value"},
        {"asn1 -x f", "ctf asn1: unknown option -x"},
        {"asn1 /nonexistent/file", "ctf asn1: cannot read /nonexistent/file: no such file or folder"},
        {"hash --alg md5 /dev/null", "ctf hash: unknown hash algorithm \"md5\""},
        {"oid 1.2.3.4", "ctf oid: unknown OID or algorithm name \"1.2.3.4\""},
        {"key new --container x --alg rsa --no-password", "ctf key new: unknown key algorithm \"rsa\""},
        {"key new --container x --alg gost2001 --paramset Q --no-password", "unknown parameter set \"Q\""},
        {"key new --container x --alg gost2001 --spec other --no-password", "unknown key spec \"other\""},
        {"key export --container none --out - --no-password", "ctf key export: no container \"none\""},
        {"explain 0x100000000", "ctf explain: code \"0x100000000\" does not fit in 32 bits"},
        {"explain 4294967296", "does not fit in 32 bits"},
        {"explain -2147483649", "does not fit in 32 bits"},
        {"explain 0x1FFFFFFFF80090006", "does not fit in 32 bits"},
        {"explain --bits 0x100000014", "ctf explain: mask \"0x100000014\" does not fit in 32 bits"},
        {"explain --bits -1", "does not fit in 32 bits"},
        {"explain 12junk", "ctf explain: bad code \"12junk\""},
    };
    certtest::TempDir home;
    for (const auto& c : cases) {
        auto r = Ctf("--home " + Sh(home.path()) + " " + c.args);
        EXPECT_EQ(r.exitCode, kExitUsage) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
    // The largest codes that fit still work; so do masks of all 32 bits.
    for (const char* fits : {"0xFFFFFFFF", "-2147483648", "--bits 0xFFFFFFFF"})
        EXPECT_EQ(Ctf(std::string("explain ") + fits).exitCode, kExitOk) << fits;
}

// A library status in an error report: the message in the user's terms on
// one line, then the library's text in the form `ctf explain` prints it.
TEST(CtfCli, ErrorReportsExplainTheStatusAsExplainDoes) {
    certtest::TempDir home, dir;
    const std::string h = "--home " + Sh(home.path()) + " ";
    certtest::WriteFile(dir / "pw", "right\n");
    certtest::WriteFile(dir / "wrong", "wrong\n");
    ASSERT_EQ(Ctf(h + "key new --container k --alg gost2001 --password-file " + Sh(dir / "pw")).exitCode, kExitOk);
    auto r = Ctf(h + "key export --container k --out " + Sh(dir / "x") + " --password-file " + Sh(dir / "wrong"));
    EXPECT_EQ(r.exitCode, kExitUsage);
    const std::string first = "ctf key export: wrong password for container \"k\"\n";
    ASSERT_EQ(r.err.rfind(first, 0), 0u) << r.err;
    auto x = Ctf("explain 0x8009001F");
    EXPECT_EQ(r.err.substr(first.size()), x.out);

    // A status of the foundation is explained by its decimal number.
    auto dir2 = Ctf("asn1 " + Sh(dir / "missing-dir/x"));
    const std::string line = dir2.err.substr(dir2.err.find('\n') + 1);
    ASSERT_FALSE(line.empty()) << dir2.err;
    const std::string number = line.substr(0, line.find(':'));
    EXPECT_EQ(Ctf("explain " + number).out, line) << dir2.err;

    auto json =
        Ctf(h + "--json key export --container k --out " + Sh(dir / "x") + " --password-file " + Sh(dir / "wrong"));
    EXPECT_EQ(json.exitCode, kExitUsage);
    EXPECT_NE(json.err.find("{\"error\": {\"code\": 2148073503, \"text\": \"wrong password for container \\\"k\\\"\""),
              std::string::npos)
        << json.err;
}

TEST(CtfCli, InputThatIsNeitherDerNorPemIsRefusedSayingWhy) {
    certtest::TempDir dir;
    struct Case {
        const char* name;
        std::string bytes;
        const char* message;
    } refused[] = {
        {"junk-before.pem", "junk\n-----BEGIN THING-----\nMAMCAQU=\n-----END THING-----\n", "neither DER"},
        {"bad64.pem", "-----BEGIN THING-----\nMAM*AQU=\n-----END THING-----\n", "not valid Base64"},
        {"noend.pem", "-----BEGIN THING-----\nMAMCAQU=\n", "has no END line"},
        {"headers.pem", "-----BEGIN THING-----\nProc-Type: 4,ENCRYPTED\n\nMAMCAQU=\n-----END THING-----\n",
         "has headers"},
        // The outer header claims 2 GiB: refused at offset 0, before the rest is read.
        {"long.der", std::string("\x30\x84\x80\x00\x00\x00\x02\x01\x05", 9), "at offset 0: the header declares"},
        {"short.pem", "-----BEGIN THING-----\nMAQCAQU=\n-----END THING-----\n", "the header declares 6 bytes"},
    };
    for (const auto& c : refused) {
        certtest::WriteFile(dir / c.name, c.bytes);
        auto r = Ctf(std::string("key import --container x --no-password --in ") + Sh(dir / c.name));
        EXPECT_EQ(r.exitCode, kExitUsage) << c.name;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    }
    // DER that holds an armour line near its start is still DER.
    const std::string armour = "-----BEGIN CERTIFICATE-----";
    certtest::WriteFile(dir / "armour.der",
                        std::string("\x30") + char(armour.size() + 2) + "\x04" + char(armour.size()) + armour);
    EXPECT_EQ(Ctf("asn1 " + Sh(dir / "armour.der")).exitCode, kExitOk);
}

TEST(CtfCli, JsonIsValidUtf8WhateverTheBytes) {
    certtest::TempDir dir;
    // A path that is not UTF-8 comes back escaped in the error text.
    auto r = Ctf("--json asn1 " + Sh(dir / "caf\xE9\xFF.der"));
    EXPECT_EQ(r.exitCode, kExitUsage);
    std::string why;
    EXPECT_TRUE(certtest::ParseJson(r.err, &why)) << why << ": " << r.err;
    EXPECT_NE(r.err.find("caf\\\\xE9\\\\xFF.der"), std::string::npos) << r.err;

    struct Case {
        std::string in, json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87", "\"\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87\""},  // Cyrillic, kept as it is
        {"\xF0\x9F\x94\x91", "\"\xF0\x9F\x94\x91\""},                                  // four bytes
        {"q\"b\\n\n\x01", "\"q\\\"b\\\\n\\n\\u0001\""},
        {"\xC0\xAF", "\"\\\\xC0\\\\xAF\""},             // overlong
        {"\xED\xA0\x80", "\"\\\\xED\\\\xA0\\\\x80\""},  // surrogate
        {"\xF4\x90\x80\x80", "\"\\\\xF4\\\\x90\\\\x80\\\\x80\""},
        {"a\xD0", "\"a\\\\xD0\""},  // cut short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ctf::JsonString(c.in), c.json) << certtest::Hex(c.in);
        EXPECT_TRUE(certtest::ParseJson(ctf::JsonString(c.in)));
    }
}

TEST(CtfText, SerialsAsOpensslPrintsThem) {
    struct Case {
        const char* text;
        const char* magnitude;  // hex; empty: refused
        const char* printed;
    } cases[] = {
        {"0C956BF7", "0C956BF7", "0C956BF7"},
        {"0c:95:6b:f7", "0C956BF7", "0C956BF7"},
        {"C956BF7", "0C956BF7", "0C956BF7"},  // an odd count gets its leading zero
        {"00C9", "C9", "C9"},                 // a sign byte is no part of the number
        {"0000", "00", "00"},
        {"00", "00", "00"},
        {"", "", ""},
        {"0x0C", "", ""},
        {"0c:9", "", ""},
        {":0c", "", ""},
        {"0c::95", "", ""},
        {"-01", "", ""},
        {"0g", "", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> m;
        const bool ok = ctf::ParseSerial(c.text, m);
        EXPECT_EQ(ok, *c.magnitude != 0) << c.text;
        if (!ok) continue;
        EXPECT_EQ(certtest::Hex(m), c.magnitude) << c.text;
        EXPECT_EQ(ctf::FormatSerial(m), c.printed) << c.text;
    }
    // The content of a DER INTEGER prints without its sign byte.
    const auto content = certtest::FromHex("00 C9 56");
    EXPECT_EQ(ctf::FormatSerial(content), "C956");
    EXPECT_EQ(ctf::FormatSerial({}), "00");
}

TEST(CtfText, TimesAndExplanations) {
    // 2026-12-06 19:04:58 UTC and 0.5 s later, as 100 ns ticks since 1601.
    auto at = [](std::uint64_t ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; };
    EXPECT_EQ(ctf::IsoTime(at(134410574980000000ull)), "2026-12-06T19:04:58Z");
    EXPECT_EQ(ctf::IsoTime(at(134410574980000000ull + 5000000)), "2026-12-06T19:04:58.5Z");

    const auto win = ctf::ExplainStatus(WinErr2ToolsErr(NTE_BAD_SIGNATURE));
    EXPECT_EQ(win.Lines(), (std::vector<std::string>{"0x80090006: Подпись неверна", "system: Invalid Signature."}));
    const auto own = ctf::ExplainStatus(TOOERR_NOFILE);
    EXPECT_EQ(own.Lines(), std::vector<std::string>{"4: file or folder not found"});
}

// ctf is a client of the library like any other: it includes the exported
// headers and its own, never the library's sources.
TEST(CtfCli, IncludesOnlyThePublicHeaders) {
    const std::filesystem::path tool = std::filesystem::path(CERT_SOURCE_DIR) / "tools" / "ctf";
    const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(tool)) {
        ++files;
        std::ifstream in(entry.path());
        std::smatch m;
        for (std::string line; std::getline(in, line);) {
            if (!std::regex_search(line, m, include)) continue;
            const std::string header = m[1];
            const bool own = std::filesystem::exists(tool / header);
            EXPECT_TRUE(header.rfind("cert/", 0) == 0 || own) << entry.path().filename() << ": " << header;
        }
    }
    EXPECT_GT(files, 0);
}

}  // namespace
