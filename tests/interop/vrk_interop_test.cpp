// The provider against OpenSSL's GOST engine through the command line:
// keys the engine made sign what it verifies, key agreement meets in the
// middle, and its CMS key transport opens with a container key.
#include <cstring>

#include "cert/asn.h"
#include "cert/asnkeys.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "provider/gost.h"
#include "testsupport.h"

namespace {

namespace gost = cert::gost;
using certtest::Sh;
using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

// The ctf built with this program (the support library's CtfPath() is
// compiled without the build's path).
certtest::RunResult Ctf(const std::string& args) { return certtest::Run(Sh(CERT_CTF_PATH) + " " + args); }

struct Family {
    const char* engineAlg;  // openssl genpkey -algorithm
    const char* paramset;   // -pkeyopt paramset:
    const char* md;         // openssl dgst -md_...
    ALG_ID hash;
    DWORD provType;
};
const Family kFamilies[] = {
    {"gost2001", "A", "md_gost94", CALG_GOST_R3411_94, VRK_PROV_TYPE_GOST},
    {"gost2012_256", "A", "md_gost12_256", CALG_GOST_R3411_2012_256, VRK_PROV_TYPE_GOST_2012_256},
    {"gost2012_512", "A", "md_gost12_512", CALG_GOST_R3411_2012_512, VRK_PROV_TYPE_GOST_2012_512},
};

class VrkInterop : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        if (!certtest::HaveGostEngine()) GTEST_SKIP() << "openssl has no GOST engine";
    }
    std::string F(const std::string& name) { return dir_ / name; }
    void Ok(const std::string& cmd) {
        auto r = certtest::Run(cmd);
        ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
    }
    void GenKey(const Family& f, const std::string& out) {
        Ok("openssl genpkey -engine gost -algorithm " + std::string(f.engineAlg) + " -pkeyopt paramset:" + f.paramset +
           " -out " + Sh(F(out)));
    }
    // The SubjectPublicKeyInfo of a key file as a provider key.
    HCRYPTKEY ImportPublic(HCRYPTPROV prov, const std::string& keyFile) {
        Ok("openssl pkey -engine gost -in " + Sh(F(keyFile)) + " -pubout -outform DER -out " + Sh(F(keyFile + ".pub")));
        std::string der = certtest::ReadFile(F(keyFile + ".pub"));
        asn::Reader top(der.data(), der.size());
        asn::Reader spki = top.EnterSequence();
        asn::Reader alg = spki.EnterSequence();
        std::string oid = alg.ReadOid();
        asn::Element params = alg.Next();
        asn::BitString bits = spki.ReadBitString();
        CERT_PUBLIC_KEY_INFO info{};
        info.Algorithm.pszObjId = oid.data();
        info.Algorithm.Parameters.cbData = DWORD(params.encoded.size());
        info.Algorithm.Parameters.pbData = const_cast<BYTE*>(params.encoded.data());
        info.PublicKey.cbData = DWORD(bits.bytes.size());
        info.PublicKey.pbData = const_cast<BYTE*>(bits.bytes.data());
        HCRYPTKEY k = 0;
        EXPECT_TRUE(VRKImportPKInfo(prov, &info, &k)) << std::hex << GetLastError();
        return k;
    }
    certtest::TempDir dir_;
};

TEST_F(VrkInterop, EngineKeyImportsAndSignsWhatTheEngineVerifies) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.engineAlg);
        GenKey(f, "k.pem");
        certtest::WriteFile(F("pw"), "pass\n");
        auto r = Ctf("key import --container imp --in " + Sh(F("k.pem")) + " --password-file " + Sh(F("pw")));
        ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;

        certtest::WriteFile(F("data"), "interop data");
        Ok("openssl dgst -engine gost -" + std::string(f.md) + " -binary -out " + Sh(F("dgst")) + " " + Sh(F("data")));
        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "imp", nullptr, f.provType, 0));
        ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, "pass", 0));
        CryptHash h;
        ASSERT_TRUE(VRKCreateHash(p, f.hash, 0, &h, 0));
        ASSERT_TRUE(VRKHashData(h, IdentObj(std::string_view("interop data"))));
        IdentObj digest, sig;
        ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, digest));
        EXPECT_EQ(digest.view(), certtest::ReadFile(F("dgst")));
        ASSERT_TRUE(VRKSignHash(h, AT_SIGNATURE, 0, sig));

        // Callers reverse the provider's bytes for DER and OpenSSL.
        gost::Bytes der = gost::ReverseBytes(gost::View(sig));
        certtest::WriteFile(F("sig"), std::string(der.begin(), der.end()));
        Ok("openssl pkey -engine gost -in " + Sh(F("k.pem")) + " -pubout -out " + Sh(F("pub.pem")));
        Ok("openssl pkeyutl -verify -engine gost -pubin -inkey " + Sh(F("pub.pem")) + " -in " + Sh(F("dgst")) +
           " -sigfile " + Sh(F("sig")));

        // And the other way: the engine's signature verifies in the provider.
        Ok("openssl pkeyutl -sign -engine gost -inkey " + Sh(F("k.pem")) + " -in " + Sh(F("dgst")) + " -out " +
           Sh(F("esig")));
        std::string esig = certtest::ReadFile(F("esig"));
        gost::Bytes rev = gost::ReverseBytes(gost::View(std::string_view(esig)));
        CryptKey pub(ImportPublic(p, "k.pem"));
        EXPECT_TRUE(VRKVerifySignature(h, gost::ToIdent(rev), pub, 0)) << std::hex << GetLastError();
        HCRYPTPROV del;
        ASSERT_TRUE(VRKAcquireContext(&del, "imp", nullptr, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    }
}

TEST_F(VrkInterop, KeyAgreementGivesTheEnginesKey) {
    for (const Family& f : {kFamilies[0], kFamilies[1]}) {
        SCOPED_TRACE(f.engineAlg);
        GenKey(f, "mine.pem");
        GenKey(f, "peer.pem");
        auto r = Ctf("key import --container agree --spec exchange --no-password --in " + Sh(F("mine.pem")));
        ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
        Ok("openssl pkey -engine gost -in " + Sh(F("mine.pem")) + " -pubout -out " + Sh(F("mine.pub.pem")));
        const char* ukmHex = "0102030405060708";
        Ok("openssl pkeyutl -derive -engine gost -inkey " + Sh(F("peer.pem")) + " -peerkey " + Sh(F("mine.pub.pem")) +
           " -pkeyopt ukmhex:" + ukmHex + " -out " + Sh(F("kek")));
        std::string kek = certtest::ReadFile(F("kek"));
        ASSERT_EQ(kek.size(), 32u);

        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "agree", nullptr, f.provType, 0));
        CryptKey mine, peer, agreed;
        ASSERT_TRUE(VRKGetUserKey(p, AT_KEYEXCHANGE, &mine));
        ASSERT_TRUE(VRKSetKeyParam(mine, KP_IV, IdentObj("\x01\x02\x03\x04\x05\x06\x07\x08", 8)));
        peer = CryptKey(ImportPublic(p, "peer.pem"));
        IdentObj blob;
        ASSERT_TRUE(VRKExportKey(peer, 0, PUBLICKEYBLOB, 0, blob));
        ASSERT_TRUE(VRKImportKey(p, blob.data(), blob.size(), mine, 0, &agreed));

        // The agreement key encrypts as the engine's KEK does.
        std::string text = "same key on both sides";
        IdentObj ct;
        ASSERT_TRUE(VRKEncrypt(agreed, 0, TRUE, text.data(), text.size(), ct)) << std::hex << GetLastError();
        gost::Bytes want = gost::Encrypt(gost::CipherMode::Cfb, gost::View(std::string_view(kek)), gost::kSboxA,
                                         gost::Bytes(8, 0), gost::View(std::string_view(text)), false);
        EXPECT_EQ(ct, gost::ToIdent(want));
        HCRYPTPROV del;
        ASSERT_TRUE(VRKAcquireContext(&del, "agree", nullptr, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    }
}

TEST_F(VrkInterop, EnginesCmsKeyTransportOpensWithTheContainerKey) {
    for (const Family& f : {kFamilies[0], kFamilies[1]}) {
        SCOPED_TRACE(f.engineAlg);
        GenKey(f, "r.pem");
        Ok("openssl req -x509 -engine gost -key " + Sh(F("r.pem")) + " -subj /CN=recipient -days 30 -out " +
           Sh(F("r.crt")));
        std::string text(5000, 'm');
        certtest::WriteFile(F("plain"), text);
        Ok("openssl cms -encrypt -engine gost -binary -in " + Sh(F("plain")) + " -outform DER -out " + Sh(F("env")) +
           " -gost89 " + Sh(F("r.crt")));
        auto r = Ctf("key import --container rc --spec exchange --no-password --in " + Sh(F("r.pem")));
        ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;

        // EnvelopedData: the one recipient's key transport and the content.
        std::string env = certtest::ReadFile(F("env"));
        asn::Reader top(env.data(), env.size());
        asn::Reader ci = top.EnterSequence();
        ci.ReadOid();
        asn::Reader wrap = ci.Enter(ci.Expect(0, asn::kContext));
        asn::Reader ed = wrap.EnterSequence();
        ed.ReadInteger();
        asn::Reader ris = ed.EnterSet();
        asn::Reader ri = ris.EnterSequence();
        ri.ReadInteger();
        ri.Next();  // issuer and serial
        ri.Next();  // key encryption algorithm
        IdentObj transport = ri.ReadOctetString();
        asn::Reader eci = ed.EnterSequence();
        eci.ReadOid();
        asn::Reader cea = eci.EnterSequence();
        ASSERT_EQ(cea.ReadOid(), cert::oids::kGost28147);
        asn::Reader cp = cea.EnterSequence();
        IdentObj iv = cp.ReadOctetString();
        std::string contentSbox = cp.ReadOid();
        IdentObj content = eci.StringContent(eci.Expect(0, asn::kContext));

        CASNExportKeyInfo kt;
        ASSERT_TRUE(kt.Decode(transport));
        ASSERT_TRUE(kt.hasTransportParameters);

        CryptProvider p;
        ASSERT_TRUE(VRKAcquireContext(&p, "rc", nullptr, f.provType, 0));
        CryptKey priv, eph, agreed, cek;
        ASSERT_TRUE(VRKGetUserKey(p, AT_KEYEXCHANGE, &priv));
        ASSERT_TRUE(VRKSetKeyParam(priv, KP_IV, kt.transportParameters.ukm));
        // The ephemeral key's SubjectPublicKeyInfo as a public-key blob.
        const IdentObj& spkiDer = kt.transportParameters.ephemeralPublicKey;
        asn::Reader st(spkiDer.data(), spkiDer.size());
        asn::Reader spki = st.EnterSequence();
        asn::Reader alg = spki.EnterSequence();
        std::string oid = alg.ReadOid();
        asn::Element params = alg.Next();
        asn::BitString bits = spki.ReadBitString();
        CERT_PUBLIC_KEY_INFO info{};
        info.Algorithm.pszObjId = oid.data();
        info.Algorithm.Parameters =
            CRYPTOAPI_BLOB{DWORD(params.encoded.size()), const_cast<BYTE*>(params.encoded.data())};
        info.PublicKey.cbData = DWORD(bits.bytes.size());
        info.PublicKey.pbData = const_cast<BYTE*>(bits.bytes.data());
        ASSERT_TRUE(VRKImportPKInfo(p, &info, &eph));
        IdentObj ephBlob;
        ASSERT_TRUE(VRKExportKey(eph, 0, PUBLICKEYBLOB, 0, ephBlob));
        ASSERT_TRUE(VRKImportKey(p, ephBlob.data(), ephBlob.size(), priv, 0, &agreed));

        IdentObj simple;
        BLOBHEADER h{SIMPLEBLOB, VRK_SIMPLE_BLOB_VERSION, 0, CALG_GOST_28147};
        DWORD magic = VRK_SIMPLEBLOB_MAGIC, wrapAlg = CALG_GOST_28147;
        simple.AddData(&h, 8);
        simple.AddData(&magic, 4);
        simple.AddData(&wrapAlg, 4);
        simple.AddData(kt.transportParameters.ukm);
        simple.AddData(kt.sessionEncryptedKey.encryptedKey);
        simple.AddData(kt.sessionEncryptedKey.macKey);
        asn::Writer w;
        w.Oid(kt.transportParameters.encryptionParamSet.str());
        simple.AddData(w.Take());
        ASSERT_TRUE(VRKImportKey(p, simple.data(), simple.size(), agreed, 0, &cek)) << std::hex << GetLastError();

        DWORD one = 1;
        ASSERT_TRUE(VRKSetKeyParam(cek, KP_IV, iv));
        ASSERT_TRUE(VRKSetKeyParam(cek, VRK_KP_MESHING, IdentObj(&one, 4)));
        ASSERT_TRUE(VRKSetKeyParam(cek, VRK_KP_CIPHER_PARAMSET, IdentObj(contentSbox)));
        IdentObj out;
        ASSERT_TRUE(VRKDecrypt(cek, 0, TRUE, content.data(), content.size(), out));
        EXPECT_EQ(out.view(), text);

        // A damaged MAC is refused, not taken as another key.
        simple.data()[56] ^= 0xFF;
        CryptKey none;
        EXPECT_FALSE(VRKImportKey(p, simple.data(), simple.size(), agreed, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
        HCRYPTPROV del;
        ASSERT_TRUE(VRKAcquireContext(&del, "rc", nullptr, VRK_PROV_TYPE_GOST, CRYPT_DELETEKEYSET));
    }
}

TEST_F(VrkInterop, EncryptedEngineKeyAndRsaKeyImport) {
    // A password-protected PKCS #8 as openssl writes it.
    certtest::WriteFile(F("p8pw"), "p8 secret\n");
    Ok("openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:B -aes-256-cbc -pass file:" +
       Sh(F("p8pw")) + " -out " + Sh(F("enc.pem")));
    auto r = Ctf("key import --container enc --no-password --in " + Sh(F("enc.pem")));
    EXPECT_EQ(r.exitCode, certtest::kExitUsage);  // a password wanted and not given: the user's input
    r = Ctf("key import --container enc --no-password --in " + Sh(F("enc.pem")) + " --in-password-file " +
            Sh(F("p8pw")));
    ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    r = Ctf("key list");
    EXPECT_NE(r.out.find("enc\tsignature\tgost12-256\tB"), std::string::npos) << r.out;

    // An RSA key signs SHA-256 through the provider, least significant byte first.
    Ok("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + Sh(F("rsa.pem")));
    r = Ctf("key import --container rsa --no-password --in " + Sh(F("rsa.pem")));
    ASSERT_EQ(r.exitCode, certtest::kExitOk) << r.err;
    certtest::WriteFile(F("data"), "rsa data");
    CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, "rsa", nullptr, VRK_PROV_TYPE_GOST, 0));
    CryptHash h;
    ASSERT_TRUE(VRKCreateHash(p, CALG_SHA_256, 0, &h, 0));
    ASSERT_TRUE(VRKHashData(h, IdentObj(std::string_view("rsa data"))));
    IdentObj sig;
    ASSERT_TRUE(VRKSignHash(h, 0, 0, sig)) << std::hex << GetLastError();
    gost::Bytes der = gost::ReverseBytes(gost::View(sig));
    certtest::WriteFile(F("rsig"), std::string(der.begin(), der.end()));
    Ok("openssl pkey -in " + Sh(F("rsa.pem")) + " -pubout -out " + Sh(F("rsa.pub")));
    Ok("openssl dgst -sha256 -verify " + Sh(F("rsa.pub")) + " -signature " + Sh(F("rsig")) + " " + Sh(F("data")));
}

TEST_F(VrkInterop, ProviderKeyTransportOpensInTheEngine) {
    for (const Family& f : {kFamilies[0], kFamilies[1]}) {
        SCOPED_TRACE(f.engineAlg);
        GenKey(f, "r.pem");
        Ok("openssl req -x509 -engine gost -key " + Sh(F("r.pem")) +
           " -subj /CN=recipient -days 30 -outform DER -out " + Sh(F("r.der")));
        std::string cert = certtest::ReadFile(F("r.der"));
        asn::Reader top(cert.data(), cert.size());
        asn::Reader c = top.EnterSequence();
        asn::Reader tbs = c.EnterSequence();
        tbs.Optional(0, asn::kContext);
        asn::Element serial = tbs.Next();
        tbs.Next();
        asn::Element issuer = tbs.Next();
        tbs.Next();
        tbs.Next();
        asn::Element spkiEl = tbs.Expect(asn::kSequence);
        asn::Reader spki = tbs.Enter(spkiEl);
        asn::Element algEl = spki.Expect(asn::kSequence);
        asn::Reader alg = spki.Enter(algEl);
        std::string oid = alg.ReadOid();
        asn::Element params = alg.Next();
        asn::BitString bits = spki.ReadBitString();
        std::string pubSet, hashSet;
        {
            asn::Reader pr(params.encoded);
            asn::Reader ps = pr.EnterSequence();
            pubSet = ps.ReadOid();
            if (!ps.AtEnd()) hashSet = ps.ReadOid();
        }

        // The sender's side of the key transport, as the enveloping code does it.
        CryptProvider v;
        ASSERT_TRUE(VRKAcquireContext(&v, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
        CERT_PUBLIC_KEY_INFO info{};
        info.Algorithm.pszObjId = oid.data();
        info.Algorithm.Parameters =
            CRYPTOAPI_BLOB{DWORD(params.encoded.size()), const_cast<BYTE*>(params.encoded.data())};
        info.PublicKey.cbData = DWORD(bits.bytes.size());
        info.PublicKey.pbData = const_cast<BYTE*>(bits.bytes.data());
        CryptKey rpub, cek, eph, agreed;
        ASSERT_TRUE(VRKImportPKInfo(v, &info, &rpub));
        IdentObj rblob, ephBlob, simple;
        ASSERT_TRUE(VRKExportKey(rpub, 0, PUBLICKEYBLOB, 0, rblob));
        ASSERT_TRUE(VRKGenKey(v, CALG_GOST_28147, CRYPT_EXPORTABLE, &cek));
        ASSERT_TRUE(VRKGenKey(v, CALG_GOST_R3410_2001_DH_EPHEM, CRYPT_EXPORTABLE | CRYPT_PREGEN, &eph));
        ASSERT_TRUE(VRKSetKeyParam(eph, VRK_KP_HASH_PARAMSET,
                                   IdentObj(hashSet.empty() ? cert::oids::kHash94ParamSet : hashSet.c_str())));
        ASSERT_TRUE(VRKSetKeyParam(eph, VRK_KP_PUBKEY_PARAMSET, IdentObj(pubSet.c_str())));
        ASSERT_TRUE(VRKSetKeyParam(eph, KP_X, IdentObj()));
        ASSERT_TRUE(VRKExportKey(eph, 0, PUBLICKEYBLOB, 0, ephBlob));
        ASSERT_TRUE(VRKImportKey(v, rblob.data(), rblob.size(), eph, 0, &agreed));
        ASSERT_TRUE(VRKExportKey(cek, agreed, SIMPLEBLOB, 0x20, simple));

        CASNExportKeyInfo kt;
        kt.sessionEncryptedKey.encryptedKey.Assign(simple.data() + 24, 32);
        kt.sessionEncryptedKey.macKey.Assign(simple.data() + 56, 4);
        kt.transportParameters.encryptionParamSet = cert::oids::kCipherParamSetA;
        kt.transportParameters.ukm.Assign(simple.data() + 16, 8);
        DWORD ephBits;
        std::memcpy(&ephBits, ephBlob.data() + 12, 4);
        asn::Writer sw;
        auto sm = sw.BeginSequence();
        sw.Raw(algEl.encoded);
        asn::Writer key;
        key.OctetString(asn::Bytes(ephBlob.end() - ephBits / 8, ephBits / 8));
        sw.BitString(key.view());
        sw.End(sm);
        kt.transportParameters.ephemeralPublicKey = sw.Take();

        std::string text = "to the engine, " + std::string(3000, 'e');
        IdentObj iv("\x11\x22\x33\x44\x55\x66\x77\x88", 8), sbox, ct;
        DWORD one = 1;
        ASSERT_TRUE(VRKSetKeyParam(cek, KP_IV, iv));
        ASSERT_TRUE(VRKSetKeyParam(cek, VRK_KP_MESHING, IdentObj(&one, 4)));
        ASSERT_TRUE(VRKGetKeyParam(cek, VRK_KP_CIPHER_PARAMSET, sbox));
        ASSERT_TRUE(VRKEncrypt(cek, 0, TRUE, text.data(), text.size(), ct));

        asn::Writer w;
        auto ci = w.BeginSequence();
        w.Oid(cert::oids::kEnvelopedData);
        auto c0 = w.BeginContext(0);
        auto ed = w.BeginSequence();
        w.Integer(0);
        auto set = w.BeginSet();
        auto ri = w.BeginSequence();
        w.Integer(0);
        auto ias = w.BeginSequence();
        w.Raw(issuer.encoded).Raw(serial.encoded);
        w.End(ias);
        w.Raw(algEl.encoded);
        w.OctetString(kt.Encode());
        w.End(ri);
        w.End(set);
        auto eci = w.BeginSequence();
        w.Oid(cert::oids::kData);
        auto cea = w.BeginSequence();
        w.Oid(cert::oids::kGost28147);
        auto cp = w.BeginSequence();
        w.OctetString(iv).Oid(std::string(sbox.view()));
        w.End(cp);
        w.End(cea);
        w.Element(asn::kContext, false, 0, asn::View(ct));
        w.End(eci);
        w.End(ed);
        w.End(c0);
        w.End(ci);
        IdentObj env = w.Take();
        certtest::WriteFile(F("ours.env"), std::string(env.view()));
        Ok("openssl cms -decrypt -engine gost -inform DER -in " + Sh(F("ours.env")) + " -inkey " + Sh(F("r.pem")) +
           " -out " + Sh(F("opened")));
        EXPECT_EQ(certtest::ReadFile(F("opened")), text);
    }
}

}  // namespace
