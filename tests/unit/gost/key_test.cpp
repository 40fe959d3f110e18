// GOST keys: the standard's signature examples, raw forms, DER, every
// parameter set, VKO agreement.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cert/oids.h"
#include "gost_test_util.h"

using namespace cert::gost;
using namespace gosttest;

namespace {

struct Example {
    KeyAlg alg;
    const char* paramset;
    const char *d, *qx, *qy, *e, *r, *s;
};

// The signature examples of GOST R 34.10-2001 and 34.10-2012 (test curves),
// written as the standards print them: big-endian numbers.
const Example kExamples[] = {
    {KeyAlg::Gost2001, cert::oids::kSign2001ParamSetTest,
     "7A929ADE789BB9BE10ED359DD39A72C11B60961F49397EEE1D19CE9891EC3B28",
     "7F2B49E270DB6D90D8595BEC458B50C58585BA1D4E9B788F6689DBD8E56FD80B",
     "26F1B489D6701DD185C8413A977B3CBBAF64D1C593D26627DFFB101A87FF77DA",
     "2DFBC1B372D89A1188C09C52E0EEC61FCE52032AB1022E8E67ECE6672B043EE5",
     "41AA28D2F1AB148280CD9ED56FEDA41974053554A42767B83AD043FD39DC0493",
     "01456C64BA4642A1653C235A98A60249BCD6D3F746B631DF928014F6C5BF9C40"},
    {KeyAlg::Gost2012_512, cert::oids::kSign2012_512ParamSetTest,
     "0BA6048AADAE241BA40936D47756D7C93091A0E8514669700EE7508E508B102072E8123B2200A0563322DAD2827E2714A2636B7BFD18AADFC"
     "62967821FA18DD4",
     "115DC5BC96760C7B48598D8AB9E740D4C4A85A65BE33C1815B5C320C854621DD5A515856D13314AF69BC5B924C8B4DDFF75C45415C1D9DD9D"
     "D33612CD530EFE1",
     "37C7C90CD40B0F5621DC3AC1B751CFA0E2634FA0503B3D52639F5D7FB72AFD61EA199441D943FFE7F0C70A2759A3CDB84C114E1F9339FDF27"
     "F35ECA93677BEEC",
     "3754F3CFACC9E0615C4F4A7C4D8DAB531B09B6F9C170C533A71D147035B0C5917184EE536593F4414339976C647C5D5A407ADEDB1D560C4FC"
     "6777D2972075B8C",
     "2F86FA60A081091A23DD795E1E3C689EE512A3C82EE0DCC2643C78EEA8FCACD35492558486B20F1C9EC197C90699850260C93BCBCD9C5C331"
     "7E19344E173AE36",
     "1081B394696FFE8E6585E7A9362D26B6325F56778AADBC081C0BFBE933D52FF5823CE288E8C4F362526080DF7F70CE406A6EEB1F56919CB92"
     "A9853BDE73E5B4A"},
};

}  // namespace

TEST(GostKey, StandardSignatureExamples) {
    REQUIRE_GOST_ENGINE();
    for (const auto& x : kExamples) {
        SCOPED_TRACE(x.paramset);
        Bytes q = HexLE(x.qx), qy = HexLE(x.qy);
        q.insert(q.end(), qy.begin(), qy.end());
        Key pub = PublicKeyFromRaw(x.alg, x.paramset, q);
        // The digest bytes are the number e little-endian; the signature is
        // s||r big-endian.
        Bytes digest = HexLE(x.e), sig = Hex(std::string(x.s) + x.r);
        EXPECT_TRUE(VerifyDigest(pub, digest, sig));
        sig[5] ^= 1;
        EXPECT_FALSE(VerifyDigest(pub, digest, sig));
        // The private key gives the same public point, and signs verifiably.
        Key priv = PrivateKeyFromRaw(x.alg, x.paramset, HexLE(x.d));
        EXPECT_EQ(PublicKeyToRaw(priv), q);
        EXPECT_EQ(PrivateKeyToRaw(priv), HexLE(x.d));
        EXPECT_TRUE(VerifyDigest(pub, digest, SignDigest(priv, digest)));
    }
}

TEST(GostKey, EveryParamsetSignsAndRoundTrips) {
    REQUIRE_GOST_ENGINE();
    for (KeyAlg alg : {KeyAlg::Gost2001, KeyAlg::Gost2012_256, KeyAlg::Gost2012_512}) {
        EXPECT_EQ(Paramsets(alg).size(), alg == KeyAlg::Gost2012_512 ? 3u : 9u);  // 256-bit keys share their curves
        for (const auto& ps : Paramsets(alg)) {
            SCOPED_TRACE(std::string(KeyAlgName(alg)) + " " + ps);
            Key k = GenerateKey(alg, ps);
            ASSERT_TRUE(k);
            EXPECT_EQ(k.alg(), alg);
            EXPECT_EQ(k.Paramset(), ps);
            EXPECT_TRUE(k.HasPrivate());
            Bytes digest = Digest(SignHashFor(alg), View("message"));
            Bytes sig = SignDigest(k, digest);
            EXPECT_EQ(sig.size(), 2 * GostKeyBytes(alg));
            // Public part through the raw form and through DER.
            Key pub = PublicKeyFromRaw(alg, ps, PublicKeyToRaw(k));
            EXPECT_FALSE(pub.HasPrivate());
            EXPECT_TRUE(VerifyDigest(pub, digest, sig));
            EXPECT_TRUE(VerifyDigest(ImportPublicKeyDer(ExportPublicKeyDer(k)), digest, sig));
            Key back = ImportPrivateKeyDer(ExportPrivateKeyDer(k));
            EXPECT_EQ(PrivateKeyToRaw(back), PrivateKeyToRaw(k));
            EXPECT_EQ(back.Paramset(), ps);
            // Wrong digest, wrong size, other key.
            digest[0] ^= 0x80;
            EXPECT_FALSE(VerifyDigest(pub, digest, sig));
            EXPECT_FALSE(VerifyDigest(pub, Bytes(3), sig));
        }
    }
}

TEST(GostKey, ParamsetNamesAndBadInput) {
    REQUIRE_GOST_ENGINE();
    EXPECT_EQ(ParamsetOidFromName(KeyAlg::Gost2001, "xa"), cert::oids::kExchange2001ParamSetA);
    EXPECT_EQ(ParamsetOidFromName(KeyAlg::Gost2012_256, "TCB"), cert::oids::kSign2012_256ParamSetB);
    EXPECT_EQ(ParamsetOidFromName(KeyAlg::Gost2012_512, "C"), cert::oids::kSign2012_512ParamSetC);
    EXPECT_EQ(ParamsetName(cert::oids::kSign2001ParamSetB), "B");
    EXPECT_EQ(ParamsetOidFromName(KeyAlg::Gost2001, "TCA"), cert::oids::kSign2012_256ParamSetA);
    EXPECT_EQ(StatusOf([] { GenerateKey(KeyAlg::Gost2001, cert::oids::kSign2012_512ParamSetA); }), NTE_BAD_ALGID);
    EXPECT_EQ(StatusOf([] { GenerateKey(KeyAlg::Gost2012_512, cert::oids::kSign2001ParamSetA); }), NTE_BAD_ALGID);
    std::string ps = DefaultParamset(KeyAlg::Gost2001);
    EXPECT_EQ(StatusOf([&] { PrivateKeyFromRaw(KeyAlg::Gost2001, ps, Bytes(32, 0)); }), NTE_BAD_KEY);
    EXPECT_EQ(StatusOf([&] { PrivateKeyFromRaw(KeyAlg::Gost2001, ps, Bytes(32, 0xFF)); }), NTE_BAD_KEY);
    EXPECT_EQ(StatusOf([&] { PrivateKeyFromRaw(KeyAlg::Gost2001, ps, Bytes(31, 1)); }), NTE_BAD_KEY);
    Bytes pt = PublicKeyToRaw(GenerateKey(KeyAlg::Gost2001, ps));
    pt[0] ^= 1;
    EXPECT_EQ(StatusOf([&] { PublicKeyFromRaw(KeyAlg::Gost2001, ps, pt); }), NTE_BAD_PUBLIC_KEY);
    EXPECT_EQ(StatusOf([] { ImportPrivateKeyDer(View("not a key")); }), NTE_BAD_DATA);
    Key pub = PublicPart(GenerateKey(KeyAlg::Gost2001, ps));
    EXPECT_EQ(StatusOf([&] { SignDigest(pub, Bytes(32, 1)); }), NTE_NO_KEY);
}

TEST(GostKey, VkoAgreesBothWaysAndWithOwnComputation) {
    REQUIRE_GOST_ENGINE();
    const Bytes ukm = Hex("1d80603c8544c727");
    for (KeyAlg alg : {KeyAlg::Gost2001, KeyAlg::Gost2012_256, KeyAlg::Gost2012_512}) {
        for (const auto& ps : Paramsets(alg)) {
            SCOPED_TRACE(std::string(KeyAlgName(alg)) + " " + ps);
            Key a = GenerateKey(alg, ps), b = GenerateKey(alg, ps);
            cert::Secret ab = Vko(a, PublicPart(b), ukm), ba = Vko(b, PublicPart(a), ukm);
            EXPECT_EQ(ab.size(), 32u);
            EXPECT_EQ(ab, ba);
            // The engine's value is the hash of the point we compute.
            cert::Secret point = VkoPoint(a, b, ukm);
            HashAlg h = alg == KeyAlg::Gost2001 ? HashAlg::Gost94 : HashAlg::Streebog256;
            EXPECT_EQ(Digest(h, point), ab);
            EXPECT_NE(Vko(a, b, Hex("1d80603c8544c728")), ab);
            if (alg != KeyAlg::Gost2001) {
                cert::Secret k512 = Vko2012(a, b, ukm, 64);
                EXPECT_EQ(k512, Vko2012(b, a, ukm, 64));
                EXPECT_EQ(k512, Digest(HashAlg::Streebog512, point));
            }
        }
    }
    Key a = GenerateKey(KeyAlg::Gost2001, cert::oids::kSign2001ParamSetA),
        b = GenerateKey(KeyAlg::Gost2001, cert::oids::kSign2001ParamSetB);
    EXPECT_THROW(Vko(a, b, ukm), Error);
}

// One key shared by several threads, as provider handles share it.
TEST(GostKey, SharedKeyAcrossThreads) {
    REQUIRE_GOST_ENGINE();
    Key key = GenerateKey(KeyAlg::Gost2012_256, DefaultParamset(KeyAlg::Gost2012_256));
    Key peer = GenerateKey(KeyAlg::Gost2012_256, DefaultParamset(KeyAlg::Gost2012_256));
    const Bytes ukm = Hex("0102030405060708");
    const cert::Secret expected = Vko(key, peer, ukm);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                Bytes digest = Digest(HashAlg::Streebog256, View(std::to_string(t * 100 + i)));
                if (!VerifyDigest(key, digest, SignDigest(key, digest))) ++failures;
                if (Vko(key, peer, ukm) != expected) ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}
