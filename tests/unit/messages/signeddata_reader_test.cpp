#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/signeddata.h"
#include "testsupport.h"

namespace {

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
    EXPECT_EQ(ContentOf(ber, b), "abc");
    EXPECT_EQ(b.end, ber.size());
    ASSERT_EQ(d.digestAlgorithms.size(), 1u);
    EXPECT_EQ(certtest::Hex(d.digestAlgorithms[0]), "300906052B0E03021A0500");
    EXPECT_EQ(d.digestAlgorithms, b.digestAlgorithms);
    EXPECT_EQ(certtest::Hex(b.signerInfos.at(0)), "3003020101");
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

}  // namespace
