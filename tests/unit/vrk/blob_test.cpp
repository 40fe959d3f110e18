// Key transport through blobs, private-key blobs for copying containers,
// MACs and 28147-89 encryption.
#include <cstring>

#include "cert/asn.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using VRKSCApi::CryptHash;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

class BlobTest : public certtest::HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        ASSERT_TRUE(VRKAcquireContext(&verify_, nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    }
    void TearDown() override {
        verify_.Release();
        HomeTest::TearDown();
    }
    IdentObj DWordValue(DWORD v) { return IdentObj(&v, 4); }
    CryptProvider verify_;
};

// The recipient rebuilds the simple blob from the transported parts.
IdentObj SimpleBlob(const BYTE* ukm, const BYTE* enc, const BYTE* mac, const char* paramSet) {
    IdentObj b;
    BLOBHEADER h{SIMPLEBLOB, VRK_SIMPLE_BLOB_VERSION, 0, CALG_GOST_28147};
    b.AddData(&h, 8);
    DWORD magic = VRK_SIMPLEBLOB_MAGIC, wrap = CALG_GOST_28147;
    b.AddData(&magic, 4);
    b.AddData(&wrap, 4);
    b.AddData(ukm, 8);
    b.AddData(enc, 32);
    b.AddData(mac, 4);
    asn::Writer w;
    w.Oid(paramSet);
    b.AddData(w.Take());
    return b;
}

TEST_F(BlobTest, SessionKeyTravelsToTheRecipientsContainerKey) {
    struct Rcpt {
        ALG_ID alg;
        DWORD type;
        const char* hashParams;
    } rcpts[] = {{CALG_GOST_R3410_2001_DH, VRK_PROV_TYPE_GOST, cert::oids::kHash94ParamSet},
                 {CALG_GOST_R3410_2012_256_DH, VRK_PROV_TYPE_GOST_2012_256, cert::oids::kGostR3411_2012_256},
                 {CALG_GOST_R3410_2012_512_DH, VRK_PROV_TYPE_GOST_2012_512, cert::oids::kGostR3411_2012_512}};
    for (const auto& r : rcpts) {
        std::string name = "rcpt" + std::to_string(r.type);
        SCOPED_TRACE(name);
        CryptProvider rp;
        ASSERT_TRUE(VRKAcquireContext(&rp, name.c_str(), nullptr, r.type, CRYPT_NEWKEYSET));
        CryptKey rkey;
        ASSERT_TRUE(VRKGenKey(rp, r.alg, 0, &rkey));
        IdentObj rblob, rparams;
        ASSERT_TRUE(VRKExportKey(rkey, 0, PUBLICKEYBLOB, 0, rblob));
        ASSERT_TRUE(VRKGetKeyParam(rkey, VRK_KP_PUBKEY_PARAMSET, rparams));

        // Sender: content key, ephemeral key on the recipient's parameters.
        CryptKey cek, eph, agree;
        ASSERT_TRUE(VRKGenKey(verify_, CALG_GOST_28147, CRYPT_EXPORTABLE, &cek));
        ASSERT_TRUE(VRKGenKey(verify_, CALG_GOST_R3410_2001_DH_EPHEM, CRYPT_EXPORTABLE | CRYPT_PREGEN, &eph));
        IdentObj ephBlob;
        EXPECT_FALSE(VRKExportKey(eph, 0, PUBLICKEYBLOB, 0, ephBlob));  // not generated yet
        ASSERT_TRUE(VRKSetKeyParam(eph, VRK_KP_HASH_PARAMSET, IdentObj(r.hashParams)));
        ASSERT_TRUE(VRKSetKeyParam(eph, VRK_KP_PUBKEY_PARAMSET, rparams));
        ASSERT_TRUE(VRKSetKeyParam(eph, KP_X, IdentObj()));
        ASSERT_TRUE(VRKExportKey(eph, 0, PUBLICKEYBLOB, 0, ephBlob));
        DWORD bits;
        std::memcpy(&bits, ephBlob.data() + 12, 4);
        EXPECT_EQ(bits, r.type == VRK_PROV_TYPE_GOST_2012_512 ? 1024u : 512u);
        ASSERT_TRUE(VRKImportKey(verify_, rblob.data(), rblob.size(), eph, 0, &agree)) << std::hex << GetLastError();
        IdentObj simple;
        ASSERT_TRUE(VRKExportKey(cek, agree, SIMPLEBLOB, 0x20, simple)) << std::hex << GetLastError();
        ASSERT_GT(simple.size(), 60u);
        DWORD magic;
        std::memcpy(&magic, simple.data() + 8, 4);
        EXPECT_EQ(magic, VRK_SIMPLEBLOB_MAGIC);
        IdentObj cipherParams;
        ASSERT_TRUE(VRKGetKeyParam(cek, VRK_KP_CIPHER_PARAMSET, cipherParams));
        EXPECT_EQ(cipherParams.view(), cert::oids::kCipherParamSetA);

        // Recipient: UKM on the private key, agreement with the ephemeral key.
        ASSERT_TRUE(VRKSetKeyParam(rkey, KP_IV, IdentObj(simple.data() + 16, 8)));
        CryptKey ragree, rcek;
        ASSERT_TRUE(VRKImportKey(rp, ephBlob.data(), ephBlob.size(), rkey, 0, &ragree));
        IdentObj rebuilt =
            SimpleBlob(simple.data() + 16, simple.data() + 24, simple.data() + 56, cert::oids::kCipherParamSetA);
        ASSERT_TRUE(VRKImportKey(rp, rebuilt.data(), rebuilt.size(), ragree, 0, &rcek)) << std::hex << GetLastError();

        // Both content keys encrypt alike.
        IdentObj iv("12345678"), one = DWordValue(1), ct, pt;
        for (HCRYPTKEY k : {HCRYPTKEY(cek), HCRYPTKEY(rcek)}) {
            ASSERT_TRUE(VRKSetKeyParam(k, KP_IV, iv));
            ASSERT_TRUE(VRKSetKeyParam(k, VRK_KP_MESHING, one));
        }
        std::string text(3000, 'q');
        ASSERT_TRUE(VRKEncrypt(cek, 0, TRUE, text.data(), text.size(), ct));
        ASSERT_TRUE(VRKDecrypt(rcek, 0, TRUE, ct.data(), ct.size(), pt));
        EXPECT_EQ(pt.view(), text);

        // Damaged blobs: each a clear status.
        IdentObj bad = rebuilt;
        bad.data()[56] ^= 1;
        CryptKey none;
        EXPECT_FALSE(VRKImportKey(rp, bad.data(), bad.size(), ragree, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
        bad = rebuilt;
        bad.data()[9] ^= 1;
        EXPECT_FALSE(VRKImportKey(rp, bad.data(), bad.size(), ragree, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
        EXPECT_FALSE(VRKImportKey(rp, rebuilt.data(), 40, ragree, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_LEN);
        bad = rebuilt;
        bad.data()[4] = 0x34;
        bad.data()[5] = 0x12;
        EXPECT_FALSE(VRKImportKey(rp, bad.data(), bad.size(), ragree, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
        EXPECT_FALSE(VRKImportKey(rp, rebuilt.data(), 3, ragree, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_LEN);
        // A cut cipher parameter set; a public key whose parameters are no SEQUENCE.
        EXPECT_FALSE(VRKImportKey(rp, rebuilt.data(), rebuilt.size() - 1, ragree, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
        bad = ephBlob;
        bad.data()[16] = 0x31;
        EXPECT_FALSE(VRKImportKey(rp, bad.data(), bad.size(), rkey, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    }
}

TEST_F(BlobTest, PrivateKeyBlobCopiesAContainerKey) {
    CryptProvider src, dst;
    ASSERT_TRUE(VRKAcquireContext(&src, "from", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    ASSERT_TRUE(VRKSetProvParam(src, PP_SIGNATURE_PIN, "pw1", 0));
    CryptKey skey;
    ASSERT_TRUE(VRKGenKey(src, CALG_GOST_R3410_2012_256, 256 << 16, &skey));
    ASSERT_TRUE(VRKSetKeyParam(skey, KP_CERTIFICATE, IdentObj("cert")));

    // The wrap key: a hash value of random bytes turned into a 0x602E key.
    CryptHash h;
    ASSERT_TRUE(VRKCreateHash(verify_, CALG_VRK_HASH, 0, &h, 0));
    BYTE rnd[31];
    ASSERT_TRUE(VRKGenRandom(verify_, sizeof rnd, rnd));
    ASSERT_TRUE(VRKSetHashParam(h, HP_HASHVAL, IdentObj(rnd, sizeof rnd)));
    CryptKey wrap, other;
    ASSERT_TRUE(VRKDeriveKey(verify_, CALG_VRK_KEY_A, h, 0, &wrap));
    ASSERT_TRUE(VRKGenKey(verify_, CALG_VRK_KEY_A, 0, &other));

    CryptKey def;
    ASSERT_TRUE(VRKGetUserKey(src, 0, &def));
    IdentObj blob, cert;
    ASSERT_TRUE(VRKExportKey(def, wrap, PRIVATEKEYBLOB, 0, blob));
    EXPECT_FALSE(VRKExportKey(def, 0, PRIVATEKEYBLOB, 0, blob));  // never in clear
    ASSERT_TRUE(VRKExportKey(def, wrap, PRIVATEKEYBLOB, 0, blob));
    ASSERT_TRUE(VRKGetKeyParam(def, KP_CERTIFICATE, cert));

    ASSERT_TRUE(VRKAcquireContext(&dst, "to", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | VRK_CHOOSE_CONTAINER));
    CryptKey wrong;
    EXPECT_FALSE(VRKImportKey(dst, blob.data(), blob.size(), other, 0, &wrong));
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    IdentObj damaged = blob;
    damaged.data()[damaged.size() - 1] ^= 0x80;
    EXPECT_FALSE(VRKImportKey(dst, damaged.data(), damaged.size(), wrap, 0, &wrong));
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    CryptKey copied;
    EXPECT_FALSE(VRKGetUserKey(dst, 0, &copied));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);  // failed imports left it empty

    // The context's protection key serves when the call names none.
    HCRYPTKEY wrapHandle = wrap;
    ASSERT_TRUE(VRKSetProvParam(dst, VRK_PP_PROTECTION_KEY, &wrapHandle, 0));
    ASSERT_TRUE(VRKImportKey(dst, blob.data(), blob.size(), 0, 0, &copied)) << std::hex << GetLastError();
    ASSERT_TRUE(VRKSetKeyParam(copied, KP_CERTIFICATE, cert));

    // The copy signs what the original's public key verifies.
    CryptHash m;
    ASSERT_TRUE(VRKCreateHash(dst, CALG_GOST_R3411_2012_256, 0, &m, 0));
    ASSERT_TRUE(VRKHashData(m, "copy", 4));
    IdentObj sig;
    ASSERT_TRUE(VRKSignHash(m, AT_SIGNATURE, 0, sig));
    EXPECT_TRUE(VRKVerifySignature(m, sig, skey, 0));

    // A hash made with a private key signs with that key, even in a
    // context without a container.
    CryptHash withKey;
    ASSERT_TRUE(VRKCreateHash(verify_, CALG_GOST_R3411_2012_256, def, &withKey, 0));
    ASSERT_TRUE(VRKHashData(withKey, "list", 4));
    ASSERT_TRUE(VRKSignHash(withKey, 0, 0, sig)) << std::hex << GetLastError();
    EXPECT_TRUE(VRKVerifySignature(withKey, sig, skey, 0));
    CryptKey again;
    ASSERT_TRUE(VRKGetUserKey(dst, AT_SIGNATURE, &again));
    IdentObj c2;
    ASSERT_TRUE(VRKGetKeyParam(again, KP_CERTIFICATE, c2));
    EXPECT_EQ(c2.view(), "cert");
}

TEST_F(BlobTest, MacsAndStreamingEncryption) {
    CryptKey key;
    ASSERT_TRUE(VRKGenKey(verify_, CALG_VRK_KEY_A, 0, &key));
    struct {
        ALG_ID alg;
        std::size_t size;
    } macs[] = {{CALG_VRK_MAC_A, 8}, {CALG_VRK_MAC_Z, 8}, {CALG_GOST_28147_MAC, 4}};
    IdentObj values[3];
    for (int i = 0; i < 3; ++i) {
        CryptHash h;
        ASSERT_TRUE(VRKCreateHash(verify_, macs[i].alg, key, &h, 0));
        ASSERT_TRUE(VRKHashData(h, "list of certificates", 20));
        ASSERT_TRUE(VRKGetHashParam(h, HP_HASHVAL, values[i]));
        EXPECT_EQ(values[i].size(), macs[i].size);
    }
    EXPECT_NE(values[0], values[1]);  // other S-box
    EXPECT_EQ(std::memcmp(values[0].data(), values[2].data(), 4), 0);

    // A stream in pieces equals one final call.
    CryptKey c;
    ASSERT_TRUE(VRKGenKey(verify_, CALG_GOST_28147, CRYPT_EXPORTABLE, &c));
    std::string data(5000, 'z');
    IdentObj whole, a, b;
    ASSERT_TRUE(VRKEncrypt(c, 0, TRUE, data.data(), data.size(), whole));
    ASSERT_TRUE(VRKEncrypt(c, 0, FALSE, data.data(), 1234, a));
    ASSERT_TRUE(VRKEncrypt(c, 0, TRUE, data.data() + 1234, data.size() - 1234, b));
    a.AddData(b);
    EXPECT_EQ(a, whole);
    IdentObj back;
    ASSERT_TRUE(VRKDecrypt(c, 0, TRUE, whole.data(), whole.size(), back));
    EXPECT_EQ(back.view(), data);
    EXPECT_FALSE(VRKEncrypt(key, 0, TRUE, nullptr, 4, a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
