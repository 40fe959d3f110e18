#include <gtest/gtest.h>

#include "cert/x500name.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

constexpr int kExitOk = 0;
constexpr int kExitDiffer = 1;
constexpr int kExitUsage = 2;

class NameCli : public certtest::HomeTest {
protected:
    certtest::RunResult Ctf(const std::string& args, const std::string& in = "") {
        return certtest::Ctf("--home " + Sh(home_.path()) + " " + args, in);
    }
    // A run refused as bad usage or input: exit 2, the message on standard
    // error after the command's name, nothing on standard output.
    void ExpectRefused(const std::string& args, const std::string& message) {
        auto r = Ctf(args);
        EXPECT_EQ(r.exitCode, kExitUsage) << args;
        EXPECT_EQ(r.err.rfind("ctf name ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << args;
    }
    std::string Out(const std::string& args) {
        auto r = Ctf(args);
        EXPECT_EQ(r.exitCode, kExitOk) << args << "\n" << r.err;
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    }
};

std::string Lib(const char* text, DWORD options = 0, bool reorder = false) {
    X500NameParser::X500NameEncoder e;
    e.SetEncoderOptions(options);
    std::u16string wide;
    EXPECT_TRUE(TOOUtf8ToUtf16(text, wide));
    IdentObj der;
    EXPECT_TRUE(e.Encode(wide, der, reorder));
    return certtest::Hex(der);
}

TEST_F(NameCli, EncodeDrivesTheEncoderItself) {
    EXPECT_EQ(Out("name encode 'CN=Test, O=Org, C=RU'"), Lib("CN=Test, O=Org, C=RU"));
    EXPECT_EQ(Out("name encode 'CN=Test, O=Org, C=RU' --reorder"), Lib("CN=Test, O=Org, C=RU", 0, true));
    // --utf8 is the encoder's 0x40000 as it is: non-printable values become UTF8String.
    EXPECT_EQ(Out("name encode 'CN=Тест' --utf8"), Lib("CN=Тест", 0x40000));
    EXPECT_EQ(Out("name encode 'CN=a,b;O=c' --sep semicolon"), Lib("CN=a,b;O=c", X500NameParser::kSemicolonOnly));
    EXPECT_EQ(Out("name encode 'CN=a;b,O=c' --sep comma"), Lib("CN=a;b,O=c", X500NameParser::kCommaOnly));
    EXPECT_EQ(Out("name encode \"$(printf 'CN=a,b\\nO=c')\" --sep newline"),
              Lib("CN=a,b\nO=c", X500NameParser::kLineBreakOnly));
    // JSON, and DER to a file.
    EXPECT_EQ(Out("--json name encode CN=x"), "{\"der\": \"300C310A30080603550403130178\"}");
    const std::string file = home_ / "n.der";
    EXPECT_EQ(Out("name encode CN=x --out " + Sh(file)), file + ": 14 bytes");
    EXPECT_EQ(certtest::Hex(certtest::ReadFile(file)), "300C310A30080603550403130178");

    for (const auto& [args, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"name encode 'CN=a, INN=12a4'", "cannot encode the element at offset 6 (\"INN=12a4\")"},
             {"name encode 'CN=a,E=почта@пример.рф'", "cannot encode the element at offset 5"},
             {"name encode 'C=Россия'", "cannot encode the element at offset 0"},
             {"name encode '  CN=a, XX=b'", "unknown attribute type \"XX\" at offset 8"},
             {"name encode 'Ж=b'", "unknown attribute type \"Ж\" at offset 0"},
             {"name encode 'CN=\"a\" b'", "does not parse at offset 7 (\"b\")"},
             {"name encode 'CN=a,CN='", "cannot encode the element at offset 5 (\"CN=\")"},
             {"name encode '  '", "the name is empty"},
             {"name encode CN=a --sep tab", "unknown separator \"tab\""},
             {"name encode \"$(printf '\\377=a')\"", "the name is not UTF-8"},
         })
        ExpectRefused(args, message);
}

TEST_F(NameCli, DecodeModesSeparatorsInputsAndJson) {
    const std::string hex = Lib("CN=Иван, O=\"Рога, копыта\", C=RU, POSTALADDRESS=a$$b");
    EXPECT_EQ(Out("name decode " + hex), "CN=Иван,O=\"Рога, копыта\",C=RU,POSTALADDRESS=a$$b");
    EXPECT_EQ(Out("name decode --mode 2 " + hex), "2.5.4.3=Иван,2.5.4.10=\"Рога, копыта\",2.5.4.6=RU,2.5.4.16=a$$b");
    EXPECT_EQ(Out("name decode --mode 1 --sep semicolon " + hex), "Иван,\"Рога, копыта\",RU,a$$b");
    EXPECT_EQ(Out("name decode --sep newline " + hex), "CN=Иван\r\nO=\"Рога, копыта\"\r\nC=RU\r\nPOSTALADDRESS=a$$b");
    // Hex with blanks or colons, a DER file, a PEM file, standard input.
    std::string spaced;
    for (std::size_t i = 0; i < hex.size(); i += 2) spaced += hex.substr(i, 2) + (i + 2 < hex.size() ? ":" : "");
    EXPECT_EQ(Out("name decode " + spaced), Out("name decode " + hex));
    const std::string der = std::string(certtest::BlobFromHex(hex).view());
    certtest::WriteFile(home_ / "n.der", der);
    certtest::WriteFile(home_ / "n.pem", "-----BEGIN NAME-----\n" + TOO::Base64Encode(der.data(), der.size(), 64) +
                                             "\n-----END NAME-----\n");
    EXPECT_EQ(Out("name decode " + Sh(home_ / "n.der")), Out("name decode " + hex));
    EXPECT_EQ(Out("name decode " + Sh(home_ / "n.pem")), Out("name decode " + hex));
    EXPECT_EQ(Ctf("name decode -", der).out, Out("name decode " + hex) + "\n");

    EXPECT_EQ(
        Out("--json name decode " + hex),
        "{\"text\": \"CN=Иван,O=\\\"Рога, копыта\\\",C=RU,POSTALADDRESS=a$$b\", \"display\": \"Иван\", \"rdns\": ["
        "{\"oid\": \"2.5.4.3\", \"key\": \"CN\", \"tag\": 30, \"value\": \"041804320430043D\", \"lines\": "
        "[\"Иван\"]}, "
        "{\"oid\": \"2.5.4.10\", \"key\": \"O\", \"tag\": 30, \"value\": "
        "\"0420043E04330430002C0020043A043E043F044B04420430\", \"lines\": [\"Рога, копыта\"]}, "
        "{\"oid\": \"2.5.4.6\", \"key\": \"C\", \"tag\": 19, \"value\": \"5255\", \"lines\": [\"RU\"]}, "
        "{\"oid\": \"2.5.4.16\", \"key\": \"POSTALADDRESS\", \"tag\": 16, \"value\": \"130161130162\", "
        "\"lines\": [\"a\", \"b\"]}]}");

    for (const auto& [args, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"name decode 301C311A300B0603550403130454657374300B060355040B1304556E6974",
              "RDN 1 holds 2 attributes: the text form takes single-valued RDNs only"},
             {"name decode 300F310D300B0603550403130454657374FF", "malformed DER at offset"},
             {"name decode 3005310330010A", "malformed DER at offset 6"},
             {"name decode 3003020105", "the input is not a DER Name"},
             {"name decode 3000 --mode 4", "unknown mode \"4\""},
             {"name decode zz", "cannot read zz"},
         })
        ExpectRefused(args, message);
    // The empty name decodes to an empty text.
    EXPECT_EQ(Out("name decode 3000"), "");
}

TEST_F(NameCli, CompareAsTheLibraryDoes) {
    const std::string hex = Lib("CN=Test, O=Org");
    const std::string utf8 = Lib("O=Org, CN=Test", 0x140000);
    EXPECT_EQ(Out("name compare " + hex + " " + utf8), "equal");
    auto differ = Ctf("name compare " + hex + " 'CN=test,O=Org'");
    EXPECT_EQ(differ.exitCode, kExitDiffer);
    EXPECT_EQ(differ.out, "not equal\n");
    EXPECT_EQ(Ctf("--json name compare CN=a CN=b").out, "{\"equal\": false}\n");
    certtest::WriteFile(home_ / "n.der", std::string(certtest::BlobFromHex(hex).view()));
    EXPECT_EQ(Ctf("name compare " + Sh(home_ / "n.der") + " 'CN=Test,O=Org'").exitCode, kExitOk);

    for (const auto& [args, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"name compare CN=a", "expected two names, A and B"},
             {"name compare 'CN=a' 'INN=x'", "B: cannot encode the element at offset 0"},
             {"name compare 3005310330010000 CN=a", "a name does not decode"},
         })
        ExpectRefused(args, message);
}

}  // namespace
