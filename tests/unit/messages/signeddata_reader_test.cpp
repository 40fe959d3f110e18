#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/signeddata.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

// ContentInfo { signedData, [0] SignedData { 1, {sha1}, {data, [0] "abc"}, {SEQUENCE {1}} } }
const char kDer[] =
    "303A 06092A864886F70D010702 A02D 302B 020101 310B 3009 06052B0E03021A 0500"
    " 3012 06092A864886F70D010701 A005 0403616263 3105 3003 020101";
// The same with indefinite lengths and the content in two chunks, "a" and "bc".
const char kBer[] =
    "3080 06092A864886F70D010702 A080 3080 020101 310B 3009 06052B0E03021A 0500"
    " 3080 06092A864886F70D010701 A080 2480 040161 04026263 0000 0000 0000"
    " 3105 3003 020101 0000 0000 0000";

std::string Bytes(const std::string& hex) {
    const auto v = certtest::FromHex(hex);
    return std::string(v.begin(), v.end());
}

std::string ContentOf(const std::string& input, const cert::SignedDataParts& p) {
    std::string out;
    for (const auto& r : p.content) out += input.substr(r.offset, r.length);
    return out;
}

TEST(SignedDataReader, HandMadeDerAndBerGiveTheSameParts) {
    const std::string der = Bytes(kDer), ber = Bytes(kBer);
    cert::SignedDataReader reader;
    cert::SignedDataParts d, b;
    int st = -1;
    ASSERT_TRUE(reader.ReadMemory(der.data(), der.size(), d, &st)) << st;
    ASSERT_TRUE(reader.ReadMemory(ber.data(), ber.size(), b, &st)) << st;
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.contentType, cert::kOidData);
    EXPECT_FALSE(d.detached);
    EXPECT_EQ(d.content, (std::vector<cert::ByteRange>{{50, 3}}));
    EXPECT_EQ(b.content, (std::vector<cert::ByteRange>{{52, 1}, {55, 2}}));
    EXPECT_EQ(ContentOf(der, d), "abc");
    EXPECT_EQ(ContentOf(ber, b), "abc");
    EXPECT_EQ(d.contentSize, 3u);
    EXPECT_EQ(b.contentSize, 3u);
    EXPECT_EQ(d.end, der.size());
    EXPECT_EQ(b.end, ber.size());
    ASSERT_EQ(d.digestAlgorithms.size(), 1u);
    EXPECT_EQ(certtest::Hex(d.digestAlgorithms[0]), "300906052B0E03021A0500");
    EXPECT_EQ(d.digestAlgorithms, b.digestAlgorithms);
    ASSERT_EQ(d.signerInfos.size(), 1u);
    EXPECT_EQ(certtest::Hex(d.signerInfos[0]), "3003020101");
    EXPECT_EQ(d.signerInfos, b.signerInfos);
    EXPECT_TRUE(d.certificates.empty() && d.crls.empty());

    // At an offset of a longer input, with bytes after it.
    const std::string framed = "junk" + der + "tail";
    certtest::TempDir dir;
    certtest::WriteFile(dir / "framed", framed);
    cert::SignedDataParts f;
    reader.SetWholeInput(false);
    ASSERT_TRUE(reader.ReadFile(dir / "framed", 4, f, &st)) << st;
    EXPECT_EQ(f.start, 4u);
    EXPECT_EQ(f.end, 4 + der.size());
    EXPECT_EQ(f.content, (std::vector<cert::ByteRange>{{54, 3}}));
    reader.SetWholeInput(true);
    EXPECT_FALSE(reader.ReadFile(dir / "framed", 4, f, &st));
    EXPECT_EQ(reader.ErrorOffset(), 4 + der.size());
    EXPECT_FALSE(reader.ReadFile(dir / "missing", 0, f, &st));
    EXPECT_EQ(st, TOOERR_NOFILE);
}

TEST(SignedDataReader, FaultsAreReportedWhereTheyAre) {
    struct Case {
        const char* name;
        std::string hex;
        std::uint64_t offset;
        int status;
        int maxDepth = asn::kMaxDepth;
        std::uint64_t maxKept = cert::SignedDataReader::kDefaultMaxKept;
    };
    const std::string der = kDer, ber = kBer;
    auto swap = [](std::string s, const std::string& from, const std::string& to) {
        const auto at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    const std::vector<Case> cases = {
        {"enveloped data", swap(der, "010702", "010703"), 2, TOOERR_DER_FORMAT},
        {"version 2", swap(der, "302B 020101", "302B 020102"), 17, cert::kStatusBadSignedDataVersion},
        {"version of 5 bytes", swap(ber, "3080 020101", "3080 02050000000001"), 17, TOOERR_DER_FORMAT},
        {"last byte missing", der.substr(0, der.size() - 2), 0, TOOERR_DER_FORMAT},
        {"byte after the end", der + "00", 60, TOOERR_DER_FORMAT},
        {"content longer than its SEQUENCE", swap(der, "A005 0403", "A006 0403"), 46, TOOERR_DER_FORMAT},
        {"signer info not a SEQUENCE", swap(der, "3105 3003", "3105 3103"), 55, TOOERR_DER_FORMAT},
        {"digest algorithm not a SEQUENCE", swap(der, "310B 3009", "310B 3109"), 22, TOOERR_DER_FORMAT},
        {"certificates after the signer infos", swap(der, "3105 3003 020101", "3105 3003 020101 A000"), 60,
         TOOERR_DER_FORMAT},
        {"length past 32 bits", "3089 010000000000000000", 0, TOOERR_DER_LIMIT},
        {"nested past the limit", der, 20, TOOERR_DER_DEPTH, 3},
        {"element too large to keep", der, 24, TOOERR_DER_LIMIT, asn::kMaxDepth, 10},
        {"end-of-contents missing", ber.substr(0, ber.size() - 4), 74, TOOERR_DER_FORMAT},
        {"chunk not an OCTET STRING", swap(ber, "040161", "050161"), 50, TOOERR_DER_FORMAT},
        {"broken end-of-contents", swap(ber, "6263 0000", "6263 0001"), 57, TOOERR_DER_FORMAT},
        {"signer infos missing", swap(ber, "3105 3003 020101 0000", "0000"), 63, TOOERR_DER_FORMAT},
    };
    certtest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = Bytes(c.hex);
        certtest::WriteFile(dir / "in", in);
        cert::SignedDataReader reader;
        reader.SetMaxDepth(c.maxDepth);
        reader.SetMaxKept(c.maxKept);
        cert::SignedDataParts p;
        p.version = 77;
        int st = 0;
        EXPECT_FALSE(reader.ReadMemory(in.data(), in.size(), p, &st));
        EXPECT_EQ(st, c.status);
        EXPECT_EQ(reader.ErrorOffset(), c.offset);
        EXPECT_EQ(p.version, 77);  // nothing stored
        reader.SetMaxDepth(c.maxDepth);
        EXPECT_FALSE(reader.ReadFile(dir / "in", 0, p, &st));
        EXPECT_EQ(st, c.status);
        EXPECT_EQ(reader.ErrorOffset(), c.offset);
        try {
            reader.ReadMemory(in.data(), in.size(), p, nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const asn::Error& e) {
            EXPECT_EQ(e.Offset(), c.offset);
        }
    }
}

// Signatures made by openssl in every form it writes.
class SignedDataOpenssl : public ::testing::Test {
protected:
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("cd " + Sh(dir_.path()) + " && openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    cert::SignedDataParts Read(const std::string& name) {
        cert::SignedDataReader reader;
        cert::SignedDataParts fromFile, fromMemory;
        int st = -1;
        EXPECT_TRUE(reader.ReadFile(dir_ / name, 0, fromFile, &st)) << name << ": " << st;
        const std::string bytes = certtest::ReadFile(dir_ / name);
        EXPECT_TRUE(reader.ReadMemory(bytes.data(), bytes.size(), fromMemory, &st)) << name << ": " << st;
        EXPECT_EQ(fromFile.content, fromMemory.content);
        EXPECT_EQ(fromFile.signerInfos, fromMemory.signerInfos);
        EXPECT_EQ(fromFile.certificates, fromMemory.certificates);
        if (!fromFile.detached) {
            EXPECT_EQ(ContentOf(bytes, fromFile), content_) << name;
        }
        return fromFile;
    }
    // The same signature as openssl writes it again in DER.
    void ExpectSameAsDer(const std::string& name, const cert::SignedDataParts& p) {
        Openssl("cms -cmsout -inform DER -in " + name + " -outform DER -out " + name + ".der");
        const cert::SignedDataParts d = Read(name + ".der");
        EXPECT_EQ(p.version, d.version);
        EXPECT_EQ(p.detached, d.detached);
        EXPECT_EQ(p.contentSize, d.contentSize);
        EXPECT_EQ(p.digestAlgorithms, d.digestAlgorithms);
        EXPECT_EQ(p.certificates, d.certificates);
        EXPECT_EQ(p.signerInfos, d.signerInfos);
    }
    void SignAll(const std::string& key) {
        content_.clear();
        for (int i = 0; content_.size() < 100000; ++i) content_ += "line " + std::to_string(i) + "\n";
        certtest::WriteFile(dir_ / "content", content_);
        const std::string base =
            "cms -sign -binary -in content -outform DER -signer " + key + ".pem -inkey " + key + ".key " + Engine(key);
        Openssl(base + "-out detached");
        Openssl(base + "-nodetach -out attached");
        Openssl(base + "-nodetach -stream -out streamed");
        Openssl(base + "-nodetach -noattr -out noattr");
        Openssl(base + "-nodetach -stream -keyid -out keyid");
        const std::string cert = certtest::ReadFile(dir_ / (key + ".der"));

        for (const char* name : {"detached", "attached", "streamed", "noattr", "keyid"}) {
            SCOPED_TRACE(name);
            const cert::SignedDataParts p = Read(name);
            const bool detached = std::string(name) == "detached";
            EXPECT_EQ(p.detached, detached);
            EXPECT_EQ(p.contentSize, detached ? 0 : content_.size());
            EXPECT_EQ(p.contentType, cert::kOidData);
            ASSERT_EQ(p.certificates.size(), 1u);
            EXPECT_EQ(p.certificates[0].view(), cert);
            ASSERT_EQ(p.signerInfos.size(), 1u);
            ASSERT_EQ(p.digestAlgorithms.size(), 1u);
            const bool keyid = std::string(name) == "keyid";
            EXPECT_EQ(p.version, keyid ? 3 : 1);
            // The signer identifier: [0] key id or SEQUENCE issuer and serial.
            asn::Reader si(asn::View(p.signerInfos[0]));
            asn::Reader body = si.EnterSequence();
            body.ReadInteger();
            EXPECT_EQ(body.Next().IsContext(0), keyid);
            if (std::string(name) == "streamed") {
                EXPECT_GT(p.content.size(), 1u);  // chunked
            }
            ExpectSameAsDer(name, p);
        }
    }
    static std::string Engine(const std::string& key) { return key == "rsa" ? "" : "-engine gost "; }

    certtest::TempDir dir_;
    std::string content_;
};

TEST_F(SignedDataOpenssl, EveryFormGivesTheSameParts) {
    Openssl("req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.pem -subj /CN=rsa -days 30");
    Openssl("x509 -in rsa.pem -outform DER -out rsa.der");
    SignAll("rsa");
}

TEST_F(SignedDataOpenssl, GostSignatures) {
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine";
    Openssl(
        "req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout g.key -out g.pem "
        "-subj /CN=g -days 30");
    Openssl("x509 -in g.pem -outform DER -out g.der");
    SignAll("g");
}

}  // namespace
