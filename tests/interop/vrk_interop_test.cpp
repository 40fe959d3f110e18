// The provider against OpenSSL's GOST engine: keys the engine made sign
// what it verifies and the other way round, key agreement meets in the
// middle, and CMS key transport opens on either side.
#include <cstring>

#include "cert/asn.h"
#include "cert/asnkeys.h"
#include "cert/oids.h"
#include "openssl_home.h"
#include "provider/gost.h"

namespace {

namespace gost = cert::gost;
using interoptest::kGost;
using interoptest::Kind;
using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

// A SubjectPublicKeyInfo taken apart as the provider imports it (the bytes
// must outlive it).
struct Spki {
    asn::Element alg, params;
    std::string oid;
    asn::BitString bits;
    explicit Spki(asn::Bytes der) {
        asn::Reader top(der);
        asn::Reader spki = top.EnterSequence();
        alg = spki.Expect(asn::kSequence);
        asn::Reader a = spki.Enter(alg);
        oid = a.ReadOid();
        params = a.Next();
        bits = spki.ReadBitString();
    }
    HCRYPTKEY Import(HCRYPTPROV prov) const {
        CERT_PUBLIC_KEY_INFO info{};
        info.Algorithm.pszObjId = const_cast<char*>(oid.c_str());
        info.Algorithm.Parameters = {DWORD(params.encoded.size()), const_cast<BYTE*>(params.encoded.data())};
        info.PublicKey.cbData = DWORD(bits.bytes.size());
        info.PublicKey.pbData = const_cast<BYTE*>(bits.bytes.data());
        HCRYPTKEY k = 0;
        EXPECT_TRUE(VRKImportPKInfo(prov, &info, &k)) << std::hex << GetLastError();
        return k;
    }
};

asn::Bytes ViewOf(const std::string& s) { return asn::View(s.data(), s.size()); }
IdentObj Reversed(asn::Bytes b) { return gost::ToIdent(gost::ReverseBytes(b)); }

class VrkInterop : public interoptest::OpensslHomeTest {
protected:
    // The public key openssl wrote to `pub` (PEM), in the provider.
    HCRYPTKEY ImportPublic(HCRYPTPROV prov, const std::string& pub) {
        Ok("openssl pkey -engine gost -pubin -in " + pub + " -outform DER -out " + pub + ".der");
        der_ = Read(pub + ".der");
        return Spki(ViewOf(der_)).Import(prov);
    }
    // `container` opened with a key `k` openssl made (name.pem) imported.
    void Import(const Kind& k, const std::string& name, const std::string& container, const std::string& how,
                CryptProvider& p) {
        NewKey(k.newkey, name);
        CtfOk("key import --container " + container + " --in " + name + ".pem " + how);
        ASSERT_TRUE(VRKAcquireContext(&p, container.c_str(), nullptr, k.provType, 0));
    }
    std::string der_;
};

TEST_F(VrkInterop, EngineKeysSignWhatTheEngineVerifiesAndTheOtherWay) {
    Write("pw", "pass\n");
    for (const Kind& k : kGost) {
        SCOPED_TRACE(k.name);
        CryptProvider p;
        ASSERT_NO_FATAL_FAILURE(Import(k, "k", std::string("imp-") + k.name, "--password-file pw", p));
        ASSERT_TRUE(VRKSetProvParam(p, PP_SIGNATURE_PIN, "pass", 0));
        Ok("openssl dgst -engine gost -" + std::string(k.md) + " -binary -out dgst data");
        CryptHash h;
        ASSERT_TRUE(VRKCreateHash(p, k.hash, 0, &h, 0));
        ASSERT_TRUE(VRKHashData(h, IdentObj(Read("data"))));
        IdentObj digest, sig;
        ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, digest));
        EXPECT_EQ(digest.view(), Read("dgst"));
        // The provider's bytes are the reverse of DER's and OpenSSL's.
        ASSERT_TRUE(VRKSignHash(h, AT_SIGNATURE, 0, sig));
        Write("sig", std::string(Reversed(asn::View(sig)).view()));
        Ok("openssl pkeyutl -verify -engine gost -pubin -inkey k.pub -in dgst -sigfile sig");
        Ok("openssl pkeyutl -sign -engine gost -inkey k.pem -in dgst -out esig");
        CryptKey pub(ImportPublic(p, "k.pub"));
        const std::string esig = Read("esig");
        EXPECT_TRUE(VRKVerifySignature(h, Reversed(ViewOf(esig)), pub, 0)) << std::hex << GetLastError();
    }
}

TEST_F(VrkInterop, KeyAgreementGivesTheEnginesKey) {
    for (const Kind& k : kGost.first(2)) {
        SCOPED_TRACE(k.name);
        CryptProvider p;
        ASSERT_NO_FATAL_FAILURE(Import(k, "mine", std::string("agree-") + k.name, "--spec exchange --no-password", p));
        NewKey(k.newkey, "peer");
        Ok("openssl pkeyutl -derive -engine gost -inkey peer.pem -peerkey mine.pub -pkeyopt ukmhex:0102030405060708 "
           "-out kek");
        const std::string kek = Read("kek");
        ASSERT_EQ(kek.size(), 32u);
        CryptKey mine, peer, agreed;
        peer = CryptKey(ImportPublic(p, "peer.pub"));
        ASSERT_TRUE(VRKGetUserKey(p, AT_KEYEXCHANGE, &mine));
        ASSERT_TRUE(VRKSetKeyParam(mine, KP_IV, IdentObj("\x01\x02\x03\x04\x05\x06\x07\x08", 8)));
        IdentObj blob, ct;
        ASSERT_TRUE(VRKExportKey(peer, 0, PUBLICKEYBLOB, 0, blob));
        ASSERT_TRUE(VRKImportKey(p, blob.data(), blob.size(), mine, 0, &agreed));
        // The agreement key encrypts as the engine's KEK does.
        const std::string text = "same key on both sides";
        ASSERT_TRUE(VRKEncrypt(agreed, 0, TRUE, text.data(), text.size(), ct)) << std::hex << GetLastError();
        EXPECT_EQ(ct, gost::ToIdent(gost::Encrypt(gost::CipherMode::Cfb, gost::View(kek), gost::kSboxA,
                                                  gost::Bytes(8, 0), gost::View(text), false)));
    }
}

TEST_F(VrkInterop, EnginesCmsKeyTransportOpensWithTheContainerKey) {
    const std::string text(5000, 'm');
    Write("plain", text);
    for (const Kind& k : kGost.first(2)) {
        SCOPED_TRACE(k.name);
        CryptProvider p;
        ASSERT_NO_FATAL_FAILURE(Import(k, "r", std::string("rc-") + k.name, "--spec exchange --no-password", p));
        Ok("openssl req -x509 -engine gost -key r.pem -subj /CN=recipient -days 30 -out r.crt && openssl cms "
           "-encrypt -engine gost -binary -in plain -outform DER -out env -gost89 r.crt");

        // EnvelopedData: the one recipient's key transport and the content.
        const std::string env = Read("env");
        asn::Reader top(ViewOf(env));
        asn::Reader ci = top.EnterSequence();
        ci.ReadOid();
        asn::Reader wrap = ci.Enter(ci.Expect(0, asn::kContext));
        asn::Reader ed = wrap.EnterSequence();
        ed.ReadInteger();
        asn::Reader ri = ed.EnterSet().EnterSequence();
        ri.ReadInteger();
        ri.Next();  // issuer and serial
        ri.Next();  // key encryption algorithm
        CASNExportKeyInfo kt;
        ASSERT_TRUE(kt.Decode(ri.ReadOctetString()));
        ASSERT_TRUE(kt.hasTransportParameters);
        asn::Reader eci = ed.EnterSequence();
        eci.ReadOid();
        asn::Reader cea = eci.EnterSequence();
        ASSERT_EQ(cea.ReadOid(), cert::oids::kGost28147);
        asn::Reader cp = cea.EnterSequence();
        const IdentObj iv = cp.ReadOctetString();
        const std::string contentSbox = cp.ReadOid();
        const IdentObj content = eci.StringContent(eci.Expect(0, asn::kContext));

        CryptKey priv, eph(Spki(asn::View(kt.transportParameters.ephemeralPublicKey)).Import(p)), agreed, cek;
        ASSERT_TRUE(VRKGetUserKey(p, AT_KEYEXCHANGE, &priv));
        ASSERT_TRUE(VRKSetKeyParam(priv, KP_IV, kt.transportParameters.ukm));
        IdentObj ephBlob, simple, out;
        ASSERT_TRUE(VRKExportKey(eph, 0, PUBLICKEYBLOB, 0, ephBlob));
        ASSERT_TRUE(VRKImportKey(p, ephBlob.data(), ephBlob.size(), priv, 0, &agreed));
        BLOBHEADER h{SIMPLEBLOB, VRK_SIMPLE_BLOB_VERSION, 0, CALG_GOST_28147};
        const DWORD magic = VRK_SIMPLEBLOB_MAGIC, wrapAlg = CALG_GOST_28147, one = 1;
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
        ASSERT_TRUE(VRKSetKeyParam(cek, KP_IV, iv));
        ASSERT_TRUE(VRKSetKeyParam(cek, VRK_KP_MESHING, IdentObj(&one, 4)));
        ASSERT_TRUE(VRKSetKeyParam(cek, VRK_KP_CIPHER_PARAMSET, IdentObj(contentSbox)));
        ASSERT_TRUE(VRKDecrypt(cek, 0, TRUE, content.data(), content.size(), out));
        EXPECT_EQ(out.view(), text);

        // A damaged MAC is refused, not taken as another key.
        simple.data()[56] ^= 0xFF;
        CryptKey none;
        EXPECT_FALSE(VRKImportKey(p, simple.data(), simple.size(), agreed, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    }
}

TEST_F(VrkInterop, PasswordProtectedEngineKeyImports) {
    // A password-protected PKCS #8 as openssl writes it.
    Write("p8pw", "p8 secret\n");
    Ok("openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:B -aes-256-cbc -pass file:p8pw -out "
       "enc.pem");
    // A password wanted and not given is the user's input.
    EXPECT_EQ(Ctf("key import --container enc --no-password --in enc.pem").exitCode, certtest::kExitUsage);
    CtfOk("key import --container enc --no-password --in enc.pem --in-password-file p8pw");
    EXPECT_NE(CtfOk("key list").find("enc\tsignature\tgost12-256\tB"), std::string::npos);
}

TEST_F(VrkInterop, ProviderKeyTransportOpensInTheEngine) {
    for (const Kind& k : kGost.first(2)) {
        SCOPED_TRACE(k.name);
        NewKey(k.newkey, "r");
        Ok("openssl req -x509 -engine gost -key r.pem -subj /CN=recipient -days 30 -outform DER -out r.der");
        const std::string cert = Read("r.der");
        asn::Reader top(ViewOf(cert));
        asn::Reader c = top.EnterSequence();
        asn::Reader tbs = c.EnterSequence();
        tbs.Optional(0, asn::kContext);
        const asn::Element serial = tbs.Next();
        tbs.Next();
        const asn::Element issuer = tbs.Next();
        tbs.Next();
        tbs.Next();
        const Spki spki(tbs.Expect(asn::kSequence).encoded);
        asn::Reader pr(spki.params.encoded);
        asn::Reader ps = pr.EnterSequence();
        const std::string pubSet = ps.ReadOid(),
                          hashSet = ps.AtEnd() ? std::string(cert::oids::kHash94ParamSet) : ps.ReadOid();

        // The sender's side of the key transport, as the enveloping code does it.
        CryptProvider v;
        ASSERT_TRUE(VRKAcquireContext(&v, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
        CryptKey rpub(spki.Import(v)), cek, eph, agreed;
        IdentObj rblob, ephBlob, simple;
        ASSERT_TRUE(VRKExportKey(rpub, 0, PUBLICKEYBLOB, 0, rblob));
        ASSERT_TRUE(VRKGenKey(v, CALG_GOST_28147, CRYPT_EXPORTABLE, &cek));
        ASSERT_TRUE(VRKGenKey(v, CALG_GOST_R3410_2001_DH_EPHEM, CRYPT_EXPORTABLE | CRYPT_PREGEN, &eph));
        ASSERT_TRUE(VRKSetKeyParam(eph, VRK_KP_HASH_PARAMSET, IdentObj(hashSet.c_str())));
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
        asn::Writer sw, key;
        auto sm = sw.BeginSequence();
        sw.Raw(spki.alg.encoded);
        key.OctetString(asn::Bytes(ephBlob.end() - ephBits / 8, ephBits / 8));
        sw.BitString(key.view());
        sw.End(sm);
        kt.transportParameters.ephemeralPublicKey = sw.Take();

        const std::string text = "to the engine, " + std::string(3000, 'e');
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
        w.Raw(spki.alg.encoded);
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
        Write("ours.env", std::string(w.Take().view()));
        Ok("openssl cms -decrypt -engine gost -inform DER -in ours.env -inkey r.pem -out opened");
        EXPECT_EQ(Read("opened"), text);
    }
}

}  // namespace
