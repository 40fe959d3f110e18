// Known answers and streaming behaviour of the hashes.
#include <string>

#include <gtest/gtest.h>

#include "gost_test_util.h"

using namespace cert::gost;
using namespace gosttest;

namespace {

// The messages as RFC 6986 prints them: big-endian numbers.
const char* kM1 =
    "323130393837363534333231303938373635343332313039383736353433323130393837363534333231303938373635343332313039383736"
    "353433323130";
const char* kM2 =
    "fbe2e5f0eee3c820fbeafaebef20fffbf0e1e0f0f520e0ed20e8ece0ebe5f0f2f120fff0eeec20f120faf2fee5e2202ce8f6f3ede220e8e6"
    "eee1e8f0f2d1202ce8f0f2e5e220e5d1";

}  // namespace

TEST(GostHash, StreebogRfcExamples) {
    REQUIRE_GOST_ENGINE();
    Bytes m1 = ReverseBytes(Hex(kM1)), m2 = ReverseBytes(Hex(kM2));
    EXPECT_EQ(std::string(m1.begin(), m1.end()), "012345678901234567890123456789012345678901234567890123456789012");
    // Digests are also printed as numbers: reversed too.
    EXPECT_EQ(ToHex(Digest(HashAlg::Streebog512, m1)),
              ToHex(ReverseBytes(Hex("486f64c1917879417fef082b3381a4e211c324f074654c38823a7b76f830ad00fa1fbae42b1285c"
                                     "0352f227524bc9ab16254288dd6863dccd5b9f54a1ad0541b"))));
    EXPECT_EQ(ToHex(Digest(HashAlg::Streebog256, m1)),
              ToHex(ReverseBytes(Hex("00557be5e584fd52a449b16b0251d05d27f94ab76cbaa6da890b59d8ef1e159d"))));
    EXPECT_EQ(ToHex(Digest(HashAlg::Streebog512, m2)),
              ToHex(ReverseBytes(Hex("28fbc9bada033b1460642bdcddb90c3fb3e56c497ccd0f62b8a2ad4935e85f037613966de4ee00"
                                     "531ae60f3b5a47f8dae06915d5f2f194996fcabf2622e6881e"))));
    EXPECT_EQ(ToHex(Digest(HashAlg::Streebog256, m2)),
              ToHex(ReverseBytes(Hex("508f7e553c06501d749a66fc28c6cac0b005746d97537fa85d9e40904efed29d"))));
}

TEST(GostHash, Gost94StandardParamset) {
    REQUIRE_GOST_ENGINE();
    EXPECT_EQ(ToHex(Digest(HashAlg::Gost94, View("abc"))),
              "b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c");
    EXPECT_EQ(ToHex(Digest(HashAlg::Gost94, View("The quick brown fox jumps over the lazy dog"))),
              "9004294a361a508c586fe53d1f1b02746765e71b765472786e4770d565830a76");
    // The empty message hashes its zero padding block like any short block.
    EXPECT_EQ(ToHex(Digest(HashAlg::Gost94, {})), "981e5f3ca30c841487830f84fb433e13ac1101569b9c13584ac483234cd656c0");
}

TEST(GostHash, StreamingCloneAndState) {
    REQUIRE_GOST_ENGINE();
    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    for (HashAlg alg : {HashAlg::Gost94, HashAlg::Streebog256, HashAlg::Streebog512, HashAlg::Sha1, HashAlg::Sha256}) {
        SCOPED_TRACE(HashAlgName(alg));
        Hash h(alg);
        h.Update(data.data(), 1);
        h.Update(data.data() + 1, 4000);
        Hash copy = h.Clone();
        h.Update(data.data() + 4001, data.size() - 4001);
        EXPECT_EQ(h.Final(), Digest(alg, View(data)));
        EXPECT_EQ(StatusOf([&] { h.Update(data.data(), 1); }), NTE_BAD_HASH_STATE);  // after Final
        copy.Update(data.data() + 4001, data.size() - 4001);
        EXPECT_EQ(copy.Final(), Digest(alg, View(data)));
        h.Reset();
        h.Update(View(data));
        EXPECT_EQ(h.Final(), Digest(alg, View(data)));
        EXPECT_EQ(h.size(), HashSize(alg));
    }
}
