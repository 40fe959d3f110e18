// Hashes, signatures in the provider's byte order, public-key import.
#include <cstring>

#include "cert/asn.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "provider/gost.h"
#include "testsupport.h"

namespace {

namespace gost = cert::gost;
using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class SignTest : public certtest::HomeTest {};

struct Case {
    ALG_ID key;
    ALG_ID hash;
    DWORD type;
    std::size_t sigLen;
    gost::KeyAlg alg;
};

TEST_F(SignTest, HashValueCanBeReadAndReplaced) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    CryptHash h;
    ASSERT_TRUE(VRKCreateHash(p, CALG_GOST_R3411_2012_256, 0, &h, 0));
    ASSERT_TRUE(VRKHashData(h, "ab", 2));
    ASSERT_TRUE(VRKHashData(h, IdentObj("c")));
    IdentObj v;
    ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, v));
    gost::Bytes want = gost::Digest(gost::HashAlg::Streebog256, gost::View(std::string_view("abc")));
    EXPECT_EQ(v, gost::ToIdent(want));
    EXPECT_FALSE(VRKHashData(h, "x", 1));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);

    CryptHash d;
    ASSERT_TRUE(VRKCreateHash(p, CALG_GOST_R3411_94, 0, &d, 0));
    ASSERT_TRUE(VRKHashData(d, "a", 1));
    CryptHash copy;
    ASSERT_TRUE(VRKDuplicateHash(d, &copy));
    ASSERT_TRUE(VRKHashData(copy, "b", 1));
    IdentObj a, ab;
    ASSERT_TRUE(VRKGetHashParam(d, HP_HASHVAL, a));
    ASSERT_TRUE(VRKGetHashParam(copy, HP_HASHVAL, ab));
    EXPECT_EQ(a, gost::ToIdent(gost::Digest(gost::HashAlg::Gost94, gost::View(std::string_view("a")))));
    EXPECT_EQ(ab, gost::ToIdent(gost::Digest(gost::HashAlg::Gost94, gost::View(std::string_view("ab")))));

    IdentObj given(std::string(32, '\x11'));
    ASSERT_TRUE(VRKSetHashParam(h, HP_HASHVAL, given));
    ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, v));
    EXPECT_EQ(v, given);

    CryptHash bad;
    EXPECT_FALSE(VRKCreateHash(p, 0x8099, 0, &bad, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    EXPECT_FALSE(VRKCreateHash(p, CALG_VRK_MAC_A, 0, &bad, 0));  // a MAC needs its key
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
}

TEST_F(SignTest, SignaturesAreLeastSignificantByteFirst) {
    const Case cases[] = {
        {CALG_GOST_R3410_2001, CALG_GOST_R3411_94, VRK_PROV_TYPE_GOST, 64, gost::KeyAlg::Gost2001},
        {CALG_GOST_R3410_2012_256, CALG_GOST_R3411_2012_256, VRK_PROV_TYPE_GOST_2012_256, 64,
         gost::KeyAlg::Gost2012_256},
        {CALG_GOST_R3410_2012_512, CALG_GOST_R3411_2012_512, VRK_PROV_TYPE_GOST_2012_512, 128,
         gost::KeyAlg::Gost2012_512},
    };
    for (const Case& c : cases) {
        std::string name = "sig" + std::to_string(c.type);
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, name.c_str(), nullptr, c.type, CRYPT_NEWKEYSET));
        CryptKey key;
        ASSERT_TRUE(VRKGenKey(p, c.key, 0, &key)) << std::hex << GetLastError();
        CryptHash h;
        ASSERT_TRUE(VRKCreateHash(p, c.hash, 0, &h, 0));
        ASSERT_TRUE(VRKHashData(h, "message", 7));
        IdentObj sig, digest;
        ASSERT_TRUE(VRKSignHash(h, AT_SIGNATURE, 0, sig));
        ASSERT_EQ(sig.size(), c.sigLen);
        ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, digest));

        // The engine takes the reversed bytes.
        IdentObj blob;
        ASSERT_TRUE(VRKExportKey(key, 0, PUBLICKEYBLOB, 0, blob));
        DWORD bits;
        std::memcpy(&bits, blob.data() + 12, 4);
        gost::ByteView raw(blob.end() - bits / 8, bits / 8);
        IdentObj ps;
        ASSERT_TRUE(VRKGetKeyParam(key, VRK_KP_PUBKEY_PARAMSET, ps));
        gost::Key pub = gost::PublicKeyFromRaw(c.alg, std::string(ps.view()), raw);
        EXPECT_TRUE(gost::VerifyDigest(pub, gost::View(digest), gost::ReverseBytes(gost::View(sig))));
        EXPECT_FALSE(gost::VerifyDigest(pub, gost::View(digest), gost::View(sig)));

        // Through the provider: the public key from its blob verifies, a
        // changed byte does not.
        CryptProvider v;
        ASSERT_TRUE(VRKAcquireContext(&v, nullptr, nullptr, c.type, CRYPT_VERIFYCONTEXT));
        CryptKey imported;
        ASSERT_TRUE(VRKImportKey(v, blob.data(), blob.size(), 0, 0, &imported));
        CryptHash vh;
        ASSERT_TRUE(VRKCreateHash(v, c.hash, 0, &vh, 0));
        ASSERT_TRUE(VRKSetHashParam(vh, HP_HASHVAL, digest));
        EXPECT_TRUE(VRKVerifySignature(vh, sig, imported, 0));
        sig.data()[3] ^= 1;
        EXPECT_FALSE(VRKVerifySignature(vh, sig, imported, 0));
        EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
    }
}

TEST_F(SignTest, ImportPKInfoFromCertificateParts) {
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "pk", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    CryptKey key;
    ASSERT_TRUE(VRKGenKey(p, CALG_GOST_R3410_2001, 0, &key));
    IdentObj blob, bits, params;
    ASSERT_TRUE(VRKExportKey(key, 0, PUBLICKEYBLOB, 0, blob));
    EXPECT_EQ(blob.data()[0], PUBLICKEYBLOB);
    EXPECT_EQ(blob.data()[1], 0x10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.data() + 8), 4), "MAG1");
    ASSERT_TRUE(vrkscapi::vrkcspexfun::VRKEncodePublicKeyAndParametrs(VRK_PROV_TYPE_GOST, cert::oids::kGostR3410_2001,
                                                                      blob, bits, params));
    EXPECT_EQ(bits.data()[0], 0x04);
    EXPECT_EQ(bits.size(), 66u);
    // From the raw key bytes and a named set the same parts come out.
    IdentObj rawBits, rawParams, ps;
    ASSERT_TRUE(VRKGetKeyParam(key, VRK_KP_PUBKEY_PARAMSET, ps));
    ASSERT_TRUE(vrkscapi::vrkcspexfun::VRKEncodePublicKeyAndParametrs(VRK_PROV_TYPE_GOST, cert::oids::kGostR3410_2001,
                                                                      IdentObj(blob.end() - 64, 64), rawBits, rawParams,
                                                                      std::string(ps.view()).c_str()));
    EXPECT_EQ(rawBits, bits);
    EXPECT_EQ(rawParams, params);

    CERT_PUBLIC_KEY_INFO info{};
    std::string oid = cert::oids::kGostR3410_2001;
    info.Algorithm.pszObjId = oid.data();
    info.Algorithm.Parameters = params.blob();
    info.PublicKey.cbData = bits.size();
    info.PublicKey.pbData = bits.data();
    CryptKey pub;
    ASSERT_TRUE(VRKImportPKInfo(p, &info, &pub));
    CryptHash h;
    ASSERT_TRUE(VRKCreateHash(p, CALG_GOST_R3411_94, 0, &h, 0));
    ASSERT_TRUE(VRKHashData(h, "x", 1));
    IdentObj sig;
    ASSERT_TRUE(VRKSignHash(h, 0, 0, sig));
    EXPECT_TRUE(VRKVerifySignature(h, sig, pub, 0));

    char unknown[] = "1.2.3.4";
    info.Algorithm.pszObjId = unknown;
    EXPECT_FALSE(VRKImportPKInfo(p, &info, &pub));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    info.Algorithm.pszObjId = oid.data();
    info.PublicKey.cbData = 10;
    EXPECT_FALSE(VRKImportPKInfo(p, &info, &pub));
    EXPECT_EQ(GetLastError(), NTE_BAD_PUBLIC_KEY);
}

}  // namespace
