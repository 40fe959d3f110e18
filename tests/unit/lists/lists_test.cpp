// List files: the record layout built from its tables (never through the
// writer), MAC and signature blocks, bad input, concurrent writers, PKCS #7
// lists and CRL files.
#include <memory>

#include "../tdir/tdir_test_util.h"
#include "cert/certlist.h"
#include "cert/lecursor.h"
#include "cert/toofile.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::ReadFile;

// Files of the PKI that openssl makes once per program.
std::string PkiPath(const std::string& name) { return tdirtest::SharedPki().path(name); }
IdentObj Der(const std::string& name) { return tdirtest::SharedPki().Der(name); }

std::vector<IdentObj> Certs(std::size_t n) {
    std::vector<IdentObj> out;
    for (const char* name : {"ca.der", "good.der", "revoked.der", "expired.der"})
        if (out.size() < n) out.push_back(Der(name));
    return out;
}

// The record form; `prot` is the protection block as it stands in the header.
std::string Expected(std::uint32_t purpose, std::uint32_t version, const std::string& user,
                     const std::vector<IdentObj>& certs, const std::string& prot = "") {
    const std::uint32_t n = certs.size(), l = user.size();
    const std::uint32_t h = l + 48 + 4 * n + prot.size();
    le::Writer w;
    w.U32(purpose).U32(version).U32(h);
    w.Code("CTRL").U32(h - 4).Code("USER").U32(l + 8).Code("U_ID").U32(l).Put(user);
    w.Put(prot);
    w.Code("CINF").U32(16 + 4 * n).Code("CNUM").U32(n).Code("C_SZ");
    for (const auto& c : certs) w.U32(4 + c.size());
    w.Code("HEND");
    for (const auto& c : certs) w.U32(c.size()).Put(c);
    return std::string(w.Take().view());
}

// A MAC (or else a signature) block as it stands in the header.
std::string ProtBlock(bool mac, const std::string& alg, const std::string& keyId, const std::string& value) {
    le::Writer w;
    (mac ? w.Code("CMAC") : w.Code("CSGN")).U32(alg.size() + keyId.size() + value.size() + 24);
    (mac ? w.Code("AMAC") : w.Code("ASGN")).U32(alg.size()).Put(alg);
    (mac ? w.Code("MKID") : w.Code("SKID")).U32(keyId.size()).Put(keyId);
    (mac ? w.Code("VMAC") : w.Code("VSGN")).U32(value.size()).Put(value);
    return std::string(w.Take().view());
}

// A 28147-89 key in a verify-only context, from its clear bytes.
struct MacKey {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    explicit MacKey(const std::string& bytes32, ALG_ID alg = CALG_GOST_28147) {
        EXPECT_TRUE(VRKAcquireContext(&prov, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
        le::Writer w;
        w.U8(PLAINTEXTKEYBLOB).U8(CUR_BLOB_VERSION).U16(0).U32(alg).U32(32).Put(bytes32);
        IdentObj blob = w.Take();
        EXPECT_TRUE(VRKImportKey(prov, blob.data(), blob.size(), 0, 0, &key)) << std::hex << GetLastError();
    }
    ~MacKey() {
        if (key) VRKDestroyKey(key);
        if (prov) VRKReleaseContext(prov);
    }
};

const std::string kKeyBytes(32, '\x5A');

// The status LoadFile throws; -1 when the list loads.
template <class List>
XTOOStatus LoadError(List& l) {
    try {
        l.LoadFile();
    } catch (const XTOOStatus& e) {
        return e;
    }
    return XTOOStatus(-1);
}

void Fill(CCTFCertList& l, const std::vector<IdentObj>& certs) {
    for (const auto& c : certs) ASSERT_TRUE(l.ReturnStorage()->AddEncodetCertificate(c));
}

std::vector<IdentObj> Loaded(const CCTFCertList& l) {
    std::vector<IdentObj> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(l.ReturnStorage()->GetHandle(), c)) != nullptr)
        out.emplace_back(c->pbCertEncoded, c->cbCertEncoded);
    return out;
}

void WriteMacList(const std::string& path, const std::vector<IdentObj>& certs, const MacKey& k) {
    CCTFTrustRootCertList l;
    l.SetNewFileName(path.c_str());
    l.SetPurposeCode(le::FourCC("TRCL"));
    CTOOString a(CTF_OID_LIST_MAC_A);
    IdentObj keyId("K1", 2), user("alice", 5);
    l.SetProtectInfo(a, keyId, user, k.key);
    Fill(l, certs);
    ASSERT_EQ(l.WriteFile(nullptr), 0);
}

// A trust list at `path` loaded with the MAC key `k` (none: no key).
void LoadMac(CCTFTrustRootCertList& l, const std::string& path, const MacKey* k) {
    l.SetNewFileName(path.c_str());
    if (k) {
        CTOOString a(CTF_OID_LIST_MAC_A);
        IdentObj none;
        l.SetProtectInfo(a, none, none, k->key);
    }
    l.LoadFile();
}

// The protection's verdict and the storage's status word after a load.
std::pair<int, int> Verdict(const CCTFCertList& l) { return {l.GetProtectStatus(), l.ReturnStorage()->GetStatus()}; }

class Lists : public certtest::HomeTest {};

TEST_F(Lists, PlainAndMacListsOfNoneOneAndSeveralFollowTheLayout) {
    MacKey k(kKeyBytes);
    const std::string alg = CTF_OID_LIST_MAC_A;
    for (std::size_t n : {0u, 1u, 3u}) {
        SCOPED_TRACE(n);
        const std::string plainPath = home_ / ("plain" + std::to_string(n)), path = home_ / ("mac" + std::to_string(n));
        CCTFCertList plainList(plainPath.c_str());
        plainList.SetPurposeCode(le::FourCC("ASSK"));
        plainList.SetFileVersion(0x10001);
        plainList.SetUserId(IdentObj("user", 4));
        Fill(plainList, Certs(n));
        ASSERT_EQ(plainList.WriteFile(nullptr), 0);
        EXPECT_EQ(certtest::Hex(ReadFile(plainPath)),
                  certtest::Hex(Expected(le::FourCC("ASSK"), 0x10001, "user", Certs(n))));
        CCTFCertList plainBack(plainPath.c_str());
        plainBack.LoadFile();
        EXPECT_EQ(plainBack.GetPurposeCode(), le::FourCC("ASSK"));
        EXPECT_EQ(plainBack.GetUserId(), IdentObj("user", 4));
        EXPECT_EQ(Loaded(plainBack), Certs(n));
        EXPECT_EQ(plainBack.GetProtectStatus(), 0);

        WriteMacList(path, Certs(n), k);
        const std::string file = ReadFile(path);
        const std::size_t macAt = 12 + 8 + 8 + 8 + 5 + 8 + 8 + alg.size() + 8 + 2 + 8;
        ASSERT_GT(file.size(), macAt + 4);
        const std::string block = ProtBlock(true, alg, "K1", file.substr(macAt, 4));
        EXPECT_EQ(certtest::Hex(file), certtest::Hex(Expected(le::FourCC("TRCL"), 1, "alice", Certs(n), block)));

        // An empty list's MAC covers nothing and never verifies.
        CCTFTrustRootCertList ok, nokey, asPkcs7(path.c_str());
        LoadMac(ok, path, &k);
        EXPECT_EQ(Verdict(ok), n ? std::pair(0, 0) : std::pair(int(TOOERR_BADFORMAT), CTF_STORAGE_UNTRUSTED));
        EXPECT_TRUE(ok.IsMacMode());
        EXPECT_EQ(ok.GetKeyId(), IdentObj("K1", 2));
        EXPECT_EQ(Loaded(ok), Certs(n));
        LoadMac(nokey, path, nullptr);
        EXPECT_EQ(Verdict(nokey), std::pair(int(TOOERR_BADFORMAT), CTF_STORAGE_UNTRUSTED));
        // Through the path constructor it is checked as a PKCS #7 list.
        asPkcs7.LoadFile();
        EXPECT_EQ(Verdict(asPkcs7), std::pair(int(CTFERR_LIST_NO_SIGNER), CTF_STORAGE_UNTRUSTED));
        CCTFCertList plain(path.c_str());
        plain.LoadFile();
        EXPECT_EQ(plain.GetProtectStatus(), 0);
        EXPECT_EQ(Loaded(plain), Certs(n));
        CTOOString ga;
        IdentObj gk, gu;
        EXPECT_EQ(CCTFTrustRootCertList(path.c_str()).GetProtectInfo(ga, gk, gu), 1);
        EXPECT_EQ(ga, alg.c_str());
        EXPECT_EQ(gu, IdentObj("alice", 5));
    }
}

TEST_F(Lists, SignedRecordListsFollowTheLayoutAndRefuseSignaturesPastTheReserve) {
    HCRYPTPROV p = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(VRKAcquireContext(&p, "lists-signer", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
    ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    const std::string alg = "1.2.643.2.2.9";
    for (std::size_t n : {0u, 1u, 3u}) {
        const std::string path = home_ / ("signed" + std::to_string(n) + ".lst");
        CCTFTrustRootCertList l;
        l.SetNewFileName(path.c_str());
        CTOOString a(alg.c_str());
        IdentObj keyId("SK", 2), user("u", 1);
        l.SetProtectInfo(a, keyId, user, key);
        EXPECT_EQ(l.GetFileVersion(), CTF_LIST_VERSION_PKCS7);
        l.SetFileVersion(0x10001);
        l.SetPurposeCode(le::FourCC("TRCL"));
        Fill(l, Certs(n));
        ASSERT_EQ(l.WriteFile(nullptr), 0);
        const std::string file = ReadFile(path);
        const std::size_t sigAt = 12 + 8 + 8 + 8 + 1 + 8 + 8 + alg.size() + 8 + 2 + 8;
        ASSERT_GT(file.size(), sigAt + 64);
        const std::string sig = file.substr(sigAt, 64);
        EXPECT_EQ(certtest::Hex(file), certtest::Hex(Expected(le::FourCC("TRCL"), 0x10001, "u", Certs(n),
                                                              ProtBlock(false, alg, "SK", sig))));
        // The signature is the key's over the records.
        std::string records;
        for (const auto& c : Certs(n)) records += std::string(le::Writer().U32(c.size()).Put(c).Take().view());
        HCRYPTHASH h = 0;
        ASSERT_TRUE(VRKCreateHash(p, CALG_GOST_R3411_94, 0, &h));
        ASSERT_TRUE(VRKHashData(h, records.data(), records.size()));
        EXPECT_TRUE(VRKVerifySignature(h, IdentObj(sig.data(), 64), key, 0)) << n;
        VRKDestroyHash(h);
        // Loaded back, the signature block is read, not judged.
        CCTFTrustRootCertList back;
        back.SetNewFileName(path.c_str());
        back.LoadFile();
        EXPECT_FALSE(back.IsMacMode());
        EXPECT_EQ(back.GetProtectValue(), IdentObj(sig.data(), 64));
        EXPECT_EQ(Loaded(back), Certs(n));

        std::string odd = file;
        odd[odd.find(alg) + alg.size() - 1] = '8';
        certtest::WriteFile(path, odd);
        EXPECT_EQ(LoadError(back).Status(), int(TOOERR_UNKNOWN_ALG));
    }
    VRKDestroyKey(key);
    VRKReleaseContext(p);

    // A GOST 2012-512 signature does not fit the 64-byte reserve.
    ASSERT_TRUE(VRKAcquireContext(&p, "lists-signer-512", nullptr, VRK_PROV_TYPE_GOST_2012_512, CRYPT_NEWKEYSET));
    ASSERT_TRUE(VRKGenKey(p, AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    CCTFTrustRootCertList big;
    const std::string path = home_ / "big.lst";
    big.SetNewFileName(path.c_str());
    CTOOString a("1.2.643.7.1.1.2.3");
    IdentObj none;
    big.SetProtectInfo(a, none, none, key);
    big.SetFileVersion(0x10001);
    Fill(big, Certs(1));
    CTOOString errorFile;
    EXPECT_EQ(big.WriteFile(&errorFile), int(TOOERR_BADARG));
    EXPECT_EQ(errorFile, path.c_str());
    EXPECT_FALSE(CTOOFile::IsExists(path.c_str()));
    VRKDestroyKey(key);
    VRKReleaseContext(p);
}

TEST_F(Lists, PlainKeyBlobsImportOnlySymmetricKeysAndNeverExport) {
    MacKey k(kKeyBytes, CALG_VRK_KEY_Z);
    ASSERT_NE(k.key, 0u);
    auto import = [&](BYTE version, ALG_ID alg, DWORD len, std::size_t bytes) {
        le::Writer w;
        w.U8(PLAINTEXTKEYBLOB).U8(version).U16(0).U32(alg).U32(len).Put(std::string(bytes, '\x01'));
        IdentObj blob = w.Take();
        HCRYPTKEY h = 0;
        BOOL ok = VRKImportKey(k.prov, blob.data(), blob.size(), 0, 0, &h);
        if (h) VRKDestroyKey(h);
        return ok ? 0u : GetLastError();
    };
    EXPECT_EQ(import(CUR_BLOB_VERSION, CALG_VRK_KEY_A, 32, 32), 0u);
    EXPECT_EQ(import(CUR_BLOB_VERSION, CALG_GOST_R3410_2001, 32, 32), DWORD(NTE_BAD_ALGID));
    EXPECT_EQ(import(CUR_BLOB_VERSION, CALG_GOST_28147, 31, 31), DWORD(NTE_BAD_LEN));
    EXPECT_EQ(import(CUR_BLOB_VERSION, CALG_GOST_28147, 32, 31), DWORD(NTE_BAD_LEN));
    EXPECT_EQ(import(CUR_BLOB_VERSION, CALG_GOST_28147, 32, 33), DWORD(NTE_BAD_LEN));
    EXPECT_EQ(import(1, CALG_GOST_28147, 32, 32), DWORD(NTE_BAD_VER));
    IdentObj out;
    EXPECT_FALSE(VRKExportKey(k.key, 0, PLAINTEXTKEYBLOB, 0, out));
}

TEST_F(Lists, ChangedRecordsWrongKeysAndForgedMacsFailTheCheckNotTheLoad) {
    MacKey k(kKeyBytes), other(std::string(32, '\x11'));
    const std::string path = home_ / "mac.lst";
    WriteMacList(path, Certs(2), k);
    const std::string good = ReadFile(path);
    auto check = [&](const std::string& bytes, const MacKey& key) {
        certtest::WriteFile(path, bytes);
        CCTFTrustRootCertList l;
        LoadMac(l, path, &key);
        EXPECT_EQ(l.GetCertificateAmount(), 2u);
        return Verdict(l);
    };
    EXPECT_EQ(check(good, k), std::make_pair(0, 0));
    std::string changed = good;
    changed[changed.size() - 10] ^= 1;
    EXPECT_EQ(check(changed, k), std::make_pair(int(TOOERR_BADSIGN), CTF_STORAGE_UNTRUSTED));
    EXPECT_EQ(check(good, other), std::make_pair(int(TOOERR_BADSIGN), CTF_STORAGE_UNTRUSTED));

    // An unknown "AMAC" falls back to the unkeyed hash: a forger who puts
    // that hash in as a 32-byte "MAC" still fails.
    const std::string records = good.substr(good.size() - (Certs(2)[0].size() + Certs(2)[1].size() + 8));
    HCRYPTHASH hh = 0;
    IdentObj digest;
    ASSERT_TRUE(VRKCreateHash(k.prov, CALG_GOST_R3411_94, 0, &hh));
    ASSERT_TRUE(VRKHashData(hh, records.data(), records.size()));
    ASSERT_TRUE(VRKGetHashParam(hh, HP_HASHVAL, digest));
    VRKDestroyHash(hh);
    const std::string block = ProtBlock(true, "1.2.3", "", std::string(digest.view()));
    EXPECT_EQ(check(Expected(le::FourCC("TRCL"), 1, "", Certs(2), block), k).first, int(TOOERR_BADSIGN));
}

TEST_F(Lists, BadInputIsRefusedWithItsStatusAndNoCrash) {
    MacKey k(kKeyBytes);
    const std::string path = home_ / "bad.lst";
    WriteMacList(path, Certs(2), k);
    const std::string good = ReadFile(path);
    const std::uint32_t h = le::Reader(good.data(), 12).Array<12>()[8] | 0u;
    ASSERT_GT(h, 0u);

    std::vector<std::pair<std::string, std::string>> bad;
    for (std::size_t cut = 0; cut < good.size(); cut += (cut < 12 + h + 8 ? 1 : 97))
        bad.emplace_back("cut at " + std::to_string(cut), good.substr(0, cut));
    bad.emplace_back("one byte too long", good + '\0');
    for (const char* code : {"CTRL", "CINF", "CNUM", "C_SZ", "CMAC", "AMAC", "MKID", "VMAC"}) {
        std::string b = good;
        b[b.find(code, 12) + 1] = 'x';
        bad.emplace_back(std::string("misspelt ") + code, b);
    }
    auto patch = [&](const char* code, std::size_t plus, std::uint32_t v) {
        std::string b = good;
        std::size_t at = b.find(code) + plus;
        for (int i = 0; i < 4; ++i) b[at + i] = char(v >> (8 * i));
        return b;
    };
    bad.emplace_back("count past header", patch("CNUM", 4, 0x40000000));
    bad.emplace_back("size past file", patch("C_SZ", 4, 0xFFFFFFF0));
    bad.emplace_back("header past file", patch("TRCL", 8, 0xFFFFFFF0));
    bad.emplace_back("user id past header", patch("U_ID", 4, 0x7FFFFFFF));
    std::string inner = good;
    inner[12 + h] = char(0xFF);
    bad.emplace_back("inner length past its size", inner);

    for (const auto& [what, bytes] : bad) {
        certtest::WriteFile(path, bytes);
        CCTFTrustRootCertList l;
        l.SetNewFileName(path.c_str());
        const XTOOStatus e = LoadError(l);
        EXPECT_TRUE(e.Status() != 0 && e.Status() != -1) << what;
        EXPECT_STREQ(e.Place(), path.c_str()) << what;
        if (bytes.size() >= 12) {
            EXPECT_EQ(e.Status(), TOOERR_LISTFORMAT) << what;
        }
        int err = 0;
        CCTFTrustRootCertList m;
        EXPECT_FALSE(m.ReadObject(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &err)) << what;
        EXPECT_NE(err, 0) << what;
        EXPECT_EQ(ReadFile(path), bytes) << what;
    }
    // An unknown purpose or version loads.
    std::string odd = patch("TRCL", 0, 0x12345678);
    odd = odd.substr(0, 4) + std::string("\x99\x00\x00\x00", 4) + odd.substr(8);
    CCTFCertList any;
    int err = -1;
    EXPECT_TRUE(any.ReadObject(reinterpret_cast<const unsigned char*>(odd.data()), odd.size(), &err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(any.GetPurposeCode(), 0x12345678u);
}

TEST_F(Lists, CopiesOwnTheirHandlesAndWritersKeepEachOthersChanges) {
    MacKey k(kKeyBytes);
    const std::string path = home_ / "roots.lst";
    WriteMacList(path, Certs(1), k);
    const auto c = Certs(4);
    {  // a copy and an assigned list outlive the original and its handles
        auto original = std::make_unique<CCTFTrustRootCertList>();
        LoadMac(*original, path, &k);
        CCTFTrustRootCertList copy(*original), assigned;
        assigned = *original;
        original.reset();
        ASSERT_TRUE(copy.ReturnStorage()->AddEncodetCertificate(c[1]));
        ASSERT_EQ(copy.WriteFile(nullptr), 0);
        EXPECT_FALSE(Loaded(assigned).empty());
    }
    // Two writers of the same list: both changes survive.
    CCTFTrustRootCertList a1, a2, back;
    LoadMac(a1, path, &k);
    LoadMac(a2, path, &k);
    ASSERT_TRUE(a1.ReturnStorage()->AddEncodetCertificate(c[2]));
    ASSERT_TRUE(a2.ReturnStorage()->AddEncodetCertificate(c[3]));
    ASSERT_TRUE(a2.ReturnStorage()->DeleteCertificate(CCTFCertContext(c[0])));
    ASSERT_EQ(a1.WriteFile(nullptr), 0);
    ASSERT_EQ(a2.WriteFile(nullptr), 0);
    LoadMac(back, path, &k);
    EXPECT_EQ(back.GetProtectStatus(), 0);
    EXPECT_EQ(Loaded(back), (std::vector<IdentObj>{c[1], c[2], c[3]}));
    EXPECT_EQ(certtest::Run("ls -A " + certtest::Sh(home_.path()) + " | grep -c roots").out, "1\n");
}

CCTFSignData SignDataOf(const std::string& path) {
    CCTFSignData sd;
    const std::string b = ReadFile(path);
    EXPECT_TRUE(sd.ReadObject(reinterpret_cast<const unsigned char*>(b.data()), b.size(), nullptr)) << path;
    return sd;
}

TEST_F(Lists, Pkcs7ListsKeepSignersAndAreToldByContent) {
    const std::string path = home_ / "list.lst";  // a record-form name
    {
        CCTFCertList l(path.c_str());
        l.SetFileVersion(CTF_LIST_VERSION_PKCS7);
        Fill(l, Certs(2));
        ASSERT_TRUE(l.ReturnStorage()->AddEncodetCRL(Der("crl.der")));
        ASSERT_EQ(l.WriteFile(nullptr), 0);
    }
    {  // two writers installing CRLs keep both

        CCTFCertList w1(path.c_str()), w2(path.c_str());
        w1.LoadFile();
        w2.LoadFile();
        ASSERT_TRUE(w1.ReturnStorage()->AddEncodetCRL(Der("empty.crl.der")));
        ASSERT_TRUE(w2.ReturnStorage()->AddEncodetCRL(Der("stale.crl.der")));
        ASSERT_EQ(w1.WriteFile(nullptr), 0);
        ASSERT_EQ(w2.WriteFile(nullptr), 0);
        const CCTFSignData both = SignDataOf(path);
        EXPECT_EQ(both.m_crls.size(), 3u);
        EXPECT_EQ(both.m_certificates.size(), 2u);
        EXPECT_TRUE(both.m_signerInfos.empty());
    }

    // Unsigned: the check says 140, the protect status stays 0.
    CCTFTrustRootCertList t(path.c_str());
    t.LoadFile();
    EXPECT_EQ(t.GetFileVersion(), CTF_LIST_VERSION_PKCS7);
    EXPECT_EQ(t.GetCheckResult(), CTFERR_LIST_NO_SIGNER);
    EXPECT_EQ(Verdict(t), std::pair(0, 0));

    // A signer info is kept through a rewrite; with no root storage its
    // signer chains to nothing trusted.
    const std::string signedPath = home_ / "signed.p7s";
    const auto r = certtest::Run("openssl cms -sign -binary -nodetach -in " + certtest::Sh(path) + " -signer " +
                                 certtest::Sh(PkiPath("ca.pem")) + " -inkey " + certtest::Sh(PkiPath("ca.key")) +
                                 " -outform DER -out " + certtest::Sh(signedPath) +
                                 (certtest::HaveGostEngine() ? " -engine gost" : ""));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    CCTFTrustRootCertList s(signedPath.c_str());
    s.LoadFile();
    EXPECT_EQ(s.GetCheckResult(), CTFERR_LIST_NOT_VALID);
    EXPECT_EQ(Verdict(s), std::pair(int(CTF_TRUST_E_NOSIGNATURE), 0));
    const auto signerBefore = s.GetSignData().m_signerInfos;
    ASSERT_EQ(signerBefore.size(), 1u);
    ASSERT_TRUE(s.ReturnStorage()->AddEncodetCertificate(Certs(3)[2]));
    ASSERT_EQ(s.WriteFile(nullptr), 0);
    CCTFTrustRootCertList again(signedPath.c_str());
    again.LoadFile();
    EXPECT_EQ(again.GetSignData().m_signerInfos, signerBefore);
    EXPECT_EQ(again.GetCertificateAmount(), 2u);  // openssl's signed content is not the list

    // Without the signer's certificate anywhere: 138.
    CCTFSignData model = SignDataOf(signedPath);
    model.m_certificates.clear();
    certtest::WriteFile(signedPath, std::string(model.WriteObject(nullptr).view()));
    CCTFTrustRootCertList bare(signedPath.c_str());
    bare.LoadFile();
    EXPECT_EQ(bare.GetCheckResult(), CTFERR_LIST_NO_SIGNER_CERT);

    // A SignedData of version 2 does not load; the file stays as it was.
    std::string v2 = ReadFile(path);
    const std::size_t at = v2.find(std::string("\x02\x01\x01", 3));
    ASSERT_NE(at, std::string::npos);
    v2[at + 2] = 2;
    certtest::WriteFile(path, v2);
    CCTFCertList bad(path.c_str());
    EXPECT_EQ(LoadError(bad).Status(), cert::kStatusBadSignedDataVersion);
    EXPECT_EQ(ReadFile(path), v2);
}

TEST_F(Lists, CrlFilesCarryTheVerdictOnTheirSignature) {
    const std::string crl = PkiPath("crl.der");
    CCTFCertStorage roots(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr);
    CCTFCertStorage closed;
    EXPECT_EQ(CCTFCRLFileList().GetStatus(), CTF_CRLFILE_NOTHING);
    EXPECT_EQ(CCTFCRLFileList(crl, closed, nullptr).GetStatus(), CTF_CRLFILE_NO_ISSUER);
    EXPECT_EQ(CCTFCRLFileList(crl, roots, nullptr).GetStatus(), CTF_CRLFILE_NO_ISSUER);
    ASSERT_TRUE(roots.AddEncodetCertificate(Der("ca.der")));
    EXPECT_EQ(CCTFCRLFileList(crl, roots, nullptr).GetStatus(), CTF_CRLFILE_VERIFIED);
    // The forger's CRL names the CA's key identifier: found, not verified.
    EXPECT_EQ(CCTFCRLFileList(PkiPath("forged.crl.der"), roots, nullptr).GetStatus(), CTF_CRLFILE_BAD_SIGNATURE);

    XTOOStatus st(0);
    CCTFCRLFileList missing;
    EXPECT_FALSE(missing.LoadFile(home_ / "none.crl", roots, &st));
    EXPECT_EQ(st.Status(), TOOERR_NOFILE);
    certtest::WriteFile(home_ / "junk.crl", "junk");
    EXPECT_THROW(missing.LoadFile(home_ / "junk.crl", roots, nullptr), XTOOStatus);

    const std::string mine = home_ / "mine.crl";
    certtest::WriteFile(mine, ReadFile(crl));
    EXPECT_EQ(CCTFCRLFileList(mine, roots, nullptr).SaveFile(), 0);
    EXPECT_EQ(CCTFCRLFileList(mine, roots, nullptr).GetStatus(), CTF_CRLFILE_VERIFIED);
}

}  // namespace
