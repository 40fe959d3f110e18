// The primitives against the openssl command line with the GOST engine:
// `ctf hash` against its digests, VKO over every key size and parameter
// set family, and the MAC under every cipher parameter set.
#include <string>

#include "openssl_home.h"
#include "provider/gost.h"

namespace {

using namespace cert::gost;

class GostOpenssl : public interoptest::OpensslHomeTest {
protected:
    void SetUp() override {
        OpensslHomeTest::SetUp();
        if (!IsSkipped() && !EngineAvailable()) GTEST_SKIP() << "no GOST engine in the library";
    }
    Key PublicOf(const std::string& pem) {
        IdentObj der;
        const std::string text = Read(pem);
        const auto b = text.find('\n') + 1, e = text.find("-----END");
        EXPECT_TRUE(TOO::Base64Decode(text.substr(b, e - b), der));
        return ImportPublicKeyDer(View(der));
    }
};

TEST_F(GostOpenssl, CtfHashMatchesOpensslDgst) {
    const std::pair<const char*, const char*> algs[] = {{"gost94", "md_gost94"},
                                                        {"gost12-256", "md_gost12_256"},
                                                        {"gost12-512", "md_gost12_512"},
                                                        {"sha1", "sha1"},
                                                        {"sha256", "sha256"}};
    for (const auto& [ours, theirs] : algs) {
        SCOPED_TRACE(ours);
        const auto r = Ctf(std::string("hash --alg ") + ours + " data");
        ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.out;
        EXPECT_EQ(r.out, Ok("openssl dgst -engine gost -" + std::string(theirs) + " -r data"));
    }
    // Without the engine GOST hashes fail with a clear status; others still work.
    const auto none =
        In("OPENSSL_ENGINES=/nonexistent " + certtest::Sh(certtest::CtfPath()) + " hash --alg gost94 data");
    EXPECT_EQ(none.exitCode, certtest::kExitFailure);
    EXPECT_NE(none.err.find("the GOST engine is not available"), std::string::npos) << none.err;
    EXPECT_EQ(
        In("OPENSSL_ENGINES=/nonexistent " + certtest::Sh(certtest::CtfPath()) + " hash --alg sha1 data").exitCode,
        certtest::kExitOk);
}

TEST_F(GostOpenssl, VkoGivesTheSameKeyOnBothSides) {
    const char* const kinds[] = {"gost2001 -pkeyopt paramset:A", "gost2001 -pkeyopt paramset:XA",
                                 "gost2012_256 -pkeyopt paramset:TCA", "gost2012_512 -pkeyopt paramset:C"};
    const std::string ukm = "1d80603c8544c727";
    IdentObj ukmBytes;
    ASSERT_TRUE(TOOHex2BinStr(ukm, ukmBytes));
    for (const char* k : kinds) {
        SCOPED_TRACE(k);
        NewKey(k, "a");
        NewKey(k, "b");
        Ok("openssl pkeyutl -engine gost -derive -inkey a.pem -peerkey b.pub -pkeyopt ukmhex:" + ukm + " -out kek");
        const std::string kek = Read("kek");
        const Bytes theirs(kek.begin(), kek.end());
        EXPECT_EQ(Vko(ImportPrivateKeyPem(Read("a.pem")), PublicOf("b.pub"), View(ukmBytes)), theirs);
        EXPECT_EQ(Vko(ImportPrivateKeyPem(Read("b.pem")), PublicOf("a.pub"), View(ukmBytes)), theirs);
    }
}

TEST_F(GostOpenssl, MacMatchesOpensslDgst) {
    const Bytes key = RandomBytes(32);
    const std::string data = Read("data").substr(0, 3001);
    Write("m", data);
    for (const auto& sbox : CipherParamsets()) {
        SCOPED_TRACE(sbox);
        const std::string out =
            Ok("openssl dgst -engine gost -mac gost-mac -macopt hexkey:" + certtest::Hex(ByteView(key), false) +
               " -macopt paramset:" + sbox + " m");
        EXPECT_NE(out.find("= " + certtest::Hex(ByteView(ComputeMac(key, sbox, {}, View(data))), false)),
                  std::string::npos)
            << out;
    }
}

}  // namespace
