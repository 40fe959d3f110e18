// The primitive layer against the openssl command line with the GOST
// engine: hashes, signatures both ways, VKO, MAC and the engine's own CMS
// key transport.
#include <string>

#include <gtest/gtest.h>

#include "cert/asn.h"
#include "cert/oids.h"
#include "provider/gost.h"
#include "testsupport.h"

using namespace cert::gost;
using certtest::ReadFile;
using certtest::Sh;
using certtest::WriteFile;

namespace {

std::string LowerHex(ByteView b) { return certtest::Hex(b, false); }

Bytes FileBytes(const std::string& path) {
    std::string s = ReadFile(path);
    return Bytes(s.begin(), s.end());
}

void WriteBytes(const std::string& path, ByteView b) { WriteFile(path, std::string(b.begin(), b.end())); }

// The support library is built without the tool's path; the test program
// has it.
certtest::RunResult Ctf(const std::string& args) { return certtest::Run(Sh(CERT_CTF_PATH) + " " + args); }

void Ossl(const std::string& args) {
    certtest::RunResult r = certtest::Run("openssl " + args);
    ASSERT_EQ(r.exitCode, 0) << "openssl " << args << "\n" << r.err;
}

struct AlgCase {
    KeyAlg alg;
    const char* opensslName;
    const char* paramset;  // openssl's name
};
const AlgCase kAlgs[] = {
    {KeyAlg::Gost2001, "gost2001", "A"},
    {KeyAlg::Gost2001, "gost2001", "XA"},
    {KeyAlg::Gost2012_256, "gost2012_256", "TCA"},
    {KeyAlg::Gost2012_512, "gost2012_512", "C"},
};

class GostOpenssl : public ::testing::Test {
protected:
    void SetUp() override {
        if (!certtest::HaveGostEngine() || !EngineAvailable()) GTEST_SKIP() << "no GOST engine";
    }
    // An openssl key pair: private PEM and public PEM paths.
    std::string NewKey(const AlgCase& c, const std::string& name) {
        std::string k = dir_ / (name + ".pem");
        Ossl("genpkey -engine gost -algorithm " + std::string(c.opensslName) + " -pkeyopt paramset:" + c.paramset +
             " -out " + Sh(k));
        Ossl("pkey -engine gost -in " + Sh(k) + " -pubout -out " + Sh(dir_ / (name + ".pub")));
        return k;
    }
    static Key PubFromPem(const std::string& path) {
        IdentObj der;
        std::string pem = ReadFile(path);
        auto b = pem.find('\n') + 1, e = pem.find("-----END");
        EXPECT_TRUE(TOO::Base64Decode(pem.substr(b, e - b), der));
        return ImportPublicKeyDer(View(der));
    }
    certtest::TempDir dir_;
};

}  // namespace

TEST_F(GostOpenssl, CtfHashMatchesOpensslDgst) {
    std::string file = dir_ / "data.bin";
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + (i >> 9));
    WriteFile(file, data);
    const char* pairs[][2] = {{"gost94", "md_gost94"},
                              {"gost12-256", "md_gost12_256"},
                              {"gost12-512", "md_gost12_512"},
                              {"sha1", "sha1"},
                              {"sha256", "sha256"}};
    for (auto& p : pairs) {
        SCOPED_TRACE(p[0]);
        certtest::RunResult ours = Ctf(std::string("hash --alg ") + p[0] + " " + Sh(file));
        certtest::RunResult theirs =
            certtest::Run("openssl dgst -engine gost -" + std::string(p[1]) + " -r " + Sh(file));
        ASSERT_EQ(ours.exitCode, certtest::kExitOk) << ours.err;
        EXPECT_EQ(ours.out, theirs.out);
        certtest::RunResult in = certtest::Run(Sh(CERT_CTF_PATH) + " hash --alg " + p[0] + " - < " + Sh(file));
        EXPECT_EQ(in.out.substr(0, in.out.find(' ')), ours.out.substr(0, ours.out.find(' ')));
    }
    EXPECT_EQ(Ctf("hash --alg md5 " + Sh(file)).exitCode, certtest::kExitUsage);
    // Without the engine GOST hashes fail with a clear status; others still work.
    certtest::RunResult none =
        certtest::Run("OPENSSL_ENGINES=/nonexistent " + Sh(CERT_CTF_PATH) + " hash --alg gost94 " + Sh(file));
    EXPECT_EQ(none.exitCode, certtest::kExitFailure);
    EXPECT_NE(none.err.find("the GOST engine is not available"), std::string::npos) << none.err;
    EXPECT_EQ(
        certtest::Run("OPENSSL_ENGINES=/nonexistent " + Sh(CERT_CTF_PATH) + " hash --alg sha1 " + Sh(file)).exitCode,
        certtest::kExitOk);
    EXPECT_EQ(Ctf("hash --alg sha1 " + Sh(dir_ / "missing")).exitCode, certtest::kExitUsage);
}

TEST_F(GostOpenssl, SignaturesVerifyBothWays) {
    for (const auto& c : kAlgs) {
        SCOPED_TRACE(std::string(c.opensslName) + " " + c.paramset);
        std::string kpem = NewKey(c, "k"), pub = dir_ / "k.pub";
        Key key = ImportPrivateKeyPem(ReadFile(kpem));
        ASSERT_EQ(key.alg(), c.alg);
        EXPECT_EQ(key.Paramset(), ParamsetOidFromName(c.alg, c.paramset));
        Bytes digest = Digest(SignHashFor(c.alg), View("signed by both sides"));
        WriteBytes(dir_ / "dgst", digest);
        // Ours -> openssl.
        WriteBytes(dir_ / "sig", SignDigest(key, digest));
        Ossl("pkeyutl -engine gost -verify -pubin -inkey " + Sh(pub) + " -in " + Sh(dir_ / "dgst") + " -sigfile " +
             Sh(dir_ / "sig"));
        // The provider's order is the reverse: openssl must reject it as is.
        WriteBytes(dir_ / "rsig", ReverseBytes(SignDigest(key, digest)));
        EXPECT_NE(certtest::Run("openssl pkeyutl -engine gost -verify -pubin -inkey " + Sh(pub) + " -in " +
                                Sh(dir_ / "dgst") + " -sigfile " + Sh(dir_ / "rsig"))
                      .exitCode,
                  0);
        // openssl -> ours.
        Ossl("pkeyutl -engine gost -sign -inkey " + Sh(kpem) + " -in " + Sh(dir_ / "dgst") + " -out " +
             Sh(dir_ / "osig"));
        EXPECT_TRUE(VerifyDigest(PubFromPem(pub), digest, FileBytes(dir_ / "osig")));
        // Our own key, exported, signs in openssl.
        Key mine = GenerateKey(c.alg, ParamsetOidFromName(c.alg, c.paramset));
        WriteFile(dir_ / "mine.pem", std::string(ExportPrivateKeyPem(mine).text()));
        Ossl("pkeyutl -engine gost -sign -inkey " + Sh(dir_ / "mine.pem") + " -in " + Sh(dir_ / "dgst") + " -out " +
             Sh(dir_ / "msig"));
        EXPECT_TRUE(VerifyDigest(mine, digest, FileBytes(dir_ / "msig")));
    }
}

TEST_F(GostOpenssl, VkoGivesTheSameKeyOnBothSides) {
    const std::string ukm = "1d80603c8544c727";
    IdentObj ukmBytes;
    ASSERT_TRUE(TOOHex2BinStr(ukm, ukmBytes));
    for (const auto& c : kAlgs) {
        SCOPED_TRACE(std::string(c.opensslName) + " " + c.paramset);
        std::string a = NewKey(c, "a"), b = NewKey(c, "b");
        Ossl("pkeyutl -engine gost -derive -inkey " + Sh(a) + " -peerkey " + Sh(dir_ / "b.pub") +
             " -pkeyopt ukmhex:" + ukm + " -out " + Sh(dir_ / "kek"));
        Bytes theirs = FileBytes(dir_ / "kek");
        Key ka = ImportPrivateKeyPem(ReadFile(a)), kb = ImportPrivateKeyPem(ReadFile(b));
        EXPECT_EQ(Vko(ka, PubFromPem(dir_ / "b.pub"), View(ukmBytes)), theirs);
        EXPECT_EQ(Vko(kb, PubFromPem(dir_ / "a.pub"), View(ukmBytes)), theirs);
    }
}

TEST_F(GostOpenssl, MacMatchesOpensslDgst) {
    std::string file = dir_ / "m.bin";
    std::string data(3000, 'x');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    WriteFile(file, data);
    Bytes key = RandomBytes(32);
    for (const auto& sbox : CipherParamsets()) {
        SCOPED_TRACE(sbox);
        certtest::RunResult r =
            certtest::Run("openssl dgst -engine gost -mac gost-mac -macopt hexkey:" + LowerHex(key) +
                          " -macopt paramset:" + sbox + " " + Sh(file));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("= " + LowerHex(ComputeMac(key, sbox, {}, View(data)))), std::string::npos) << r.out;
    }
}

// openssl encrypts to a GOST certificate; we take its key transport apart,
// agree on the KEK with the ephemeral key, unwrap the content key and
// decrypt the content.
TEST_F(GostOpenssl, UnwrapsTheEnginesCmsKeyTransport) {
    const AlgCase recipients[] = {{KeyAlg::Gost2001, "gost2001", "XA"}, {KeyAlg::Gost2012_256, "gost2012_256", "A"}};
    std::string content(2500, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 11 + 1);
    WriteFile(dir_ / "content", content);
    for (const auto& c : recipients) {
        SCOPED_TRACE(c.opensslName);
        std::string key = dir_ / "r.pem", cert = dir_ / "r.crt", msg = dir_ / "msg.der";
        Ossl("req -engine gost -x509 -newkey " + std::string(c.opensslName) + " -pkeyopt paramset:" + c.paramset +
             " -nodes -subj /CN=recipient -days 1 -keyout " + Sh(key) + " -out " + Sh(cert));
        Ossl("cms -encrypt -engine gost -binary -gost89 -outform DER -in " + Sh(dir_ / "content") + " -out " + Sh(msg) +
             " " + Sh(cert));
        Bytes der = FileBytes(msg);

        asn::Reader ci = asn::Reader(der.data(), der.size()).EnterSequence();
        EXPECT_EQ(ci.ReadOid(), cert::oids::kEnvelopedData);
        asn::Reader outer = ci.Enter(ci.Expect(0, asn::kContext));
        asn::Reader env = outer.EnterSequence();
        env.ReadInteger();
        asn::Reader ktri = env.EnterSet().EnterSequence();
        ktri.ReadInteger();
        ktri.Next();  // recipient id
        ktri.Next();  // key encryption algorithm
        IdentObj transport = ktri.ReadOctetString();

        asn::Reader kt = asn::Reader(transport.data(), transport.size()).EnterSequence();
        asn::Reader sek = kt.EnterSequence();
        IdentObj encKey = sek.ReadOctetString();
        IdentObj mac = sek.ReadOctetString();
        asn::Reader tp = kt.Enter(kt.Expect(0, asn::kContext));
        std::string kekSbox = tp.ReadOid();
        asn::Element eph = tp.Expect(0, asn::kContext);
        IdentObj ukm = tp.ReadOctetString();
        // The ephemeral key is a SubjectPublicKeyInfo under an implicit tag.
        Bytes spki(eph.encoded.begin(), eph.encoded.end());
        spki[0] = 0x30;

        asn::Reader eci = env.EnterSequence();
        eci.ReadOid();
        asn::Reader alg = eci.EnterSequence();
        alg.ReadOid();
        asn::Reader params = alg.EnterSequence();
        IdentObj iv = params.ReadOctetString();
        std::string contentSbox = params.ReadOid();
        asn::Element enc = eci.Expect(0, asn::kContext);

        Key recipient = ImportPrivateKeyPem(ReadFile(key));
        cert::Secret kek = Vko(recipient, ImportPublicKeyDer(spki), View(ukm));
        cert::Secret cek = UnwrapKey(KeyWrap::Diversified, kek, kekSbox, View(ukm), View(encKey), View(mac));
        Bytes plain =
            Decrypt(CipherMode::Cfb, cek, contentSbox, View(iv), Bytes(enc.content.begin(), enc.content.end()));
        EXPECT_EQ(std::string(plain.begin(), plain.end()), content);
        // A wrong KEK is caught by the MAC.
        kek[0] ^= 1;
        EXPECT_THROW(UnwrapKey(KeyWrap::Diversified, kek, kekSbox, View(ukm), View(encKey), View(mac)), Error);
    }
}
