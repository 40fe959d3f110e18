// The owning wrappers of certificates, CRLs and stores: file stores shared
// by the factory, the issuer search and its flags, CRLs that count, the
// template search, time and issuer judgements, the provider's key blob.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cert/tootime.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "pki.h"

namespace {

using certtest::Sh;

IdentObj Load(const std::string& path) { return IdentObj(certtest::ReadFile(path)); }

class Contexts : public certtest::HomeTest {
protected:
    std::string F(const std::string& name) const { return home_ / name; }
    // The PKI of one kind, made once per test in its own folder.
    std::string Pki(const pki::Kind& k) {
        const std::string dir = F(k.name);
        std::filesystem::create_directories(dir);
        std::string why;
        EXPECT_TRUE(pki::Make(dir, k, why)) << why;
        return dir;
    }
    static CCTFCertStorage Memory() { return CCTFCertStorage(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 7, nullptr); }
};

// A CRL of the model without a next update, with a filler signature.
CCTF_CRL_List ModelCrl() {
    CCTF_CRL_List crl;
    crl.m_info.m_issuer = CCTFX509Name("CN=Index");
    crl.m_info.m_signatureAlgorithm = CCTFAlgorithmIdentifier("1.2.643.7.1.1.3.2");
    crl.m_signatureAlgorithm = crl.m_info.m_signatureAlgorithm;
    crl.m_info.m_thisUpdate = CTOOFileTime::FromUnix(1000000000).GetFileTime();
    crl.m_signature = CTOOCryptBitBlob(IdentObj(std::string(64, '\x11')));
    return crl;
}

bool HaveKind(const pki::Kind& k) { return !k.gost || certtest::HaveGostEngine(); }

TEST_F(Contexts, FileStoresShareOneImplementationAndRefuseOtherFlags) {
    const std::string dir = Pki(pki::kKinds[0]);
    const std::string path = F("shared.sst");
    const CCTFCertContext ca(Load(dir + "/ca.der"));
    ASSERT_TRUE(ca.IsInitialized());
    {
        CCTFCertStorage a(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_FILE_STORE_COMMIT_ENABLE_FLAG, 1,
                          nullptr);
        CCTFCertStorage b(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_FILE_STORE_COMMIT_ENABLE_FLAG, 2,
                          nullptr);
        ASSERT_TRUE(a.IsOpen() && b.IsOpen());
        ASSERT_TRUE(a.AddCertificate(ca));
        std::list<CCTFCertContext> found;
        ASSERT_TRUE(b.FindCertList(found, CERT_FIND_EXISTING, ca.GetContext()));
        ASSERT_EQ(found.size(), 1u) << "added through one, found through the other";
        EXPECT_EQ(found.front().GetStorageType(), 2u);
        EXPECT_EQ(CTFGetStorageType(found.front()), 2u);

        CCTFCertStorage c(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_STORE_OPEN_EXISTING_FLAG, 0,
                          nullptr);
        EXPECT_FALSE(c.IsOpen());
        EXPECT_EQ(c.GetStatus(), CTFERR_STORAGE_OTHER_FLAGS);
        ASSERT_TRUE(a.CloseStorage());
        // Still alive through b.
        EXPECT_FALSE(c.OpenStorage(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_STORE_OPEN_EXISTING_FLAG,
                                   0, nullptr));
        ASSERT_TRUE(b.CloseStorage());
        ASSERT_TRUE(c.OpenStorage(CCTFString(path.c_str()), CERT_STORE_PROV_FILENAME_A, CERT_STORE_OPEN_EXISTING_FLAG,
                                  0, nullptr));
        found.clear();
        ASSERT_TRUE(c.FindCertList(found, CERT_FIND_ANY, nullptr));
        EXPECT_EQ(found.size(), 1u) << "committed when the last storage closed";
    }
}

TEST_F(Contexts, RelativeBackslashAndCaseFoldedPathsNameOneFile) {
    const std::string dir = Pki(pki::kKinds[0]);
    const CCTFCertContext ca(Load(dir + "/ca.der"));
    std::filesystem::create_directories(F("Sub"));
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(home_.path());
    {
        CCTFCertStorage a(CCTFString("Sub\\Store.sst"), CERT_STORE_PROV_FILENAME_A, CERT_FILE_STORE_COMMIT_ENABLE_FLAG,
                          0, nullptr);
        ASSERT_TRUE(a.IsOpen());
        ASSERT_TRUE(a.AddCertificate(ca));
        // The folder spelled in another case is the same folder, so the
        // same store: other flags are refused.
        CCTFCertStorage b(CCTFString((home_.path() + "/SUB/./Store.sst").c_str()), CERT_STORE_PROV_FILENAME_A, 0, 0,
                          nullptr);
        EXPECT_EQ(b.GetStatus(), CTFERR_STORAGE_OTHER_FLAGS);
    }
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::is_regular_file(F("Sub/Store.sst")));
    EXPECT_FALSE(std::filesystem::exists(F("Sub\\Store.sst")));
}

TEST_F(Contexts, IssuerSearchSetsTheFlagsBitForBit) {
    for (const auto& k : pki::kKinds) {
        if (!HaveKind(k)) continue;
        SCOPED_TRACE(k.name);
        const std::string dir = Pki(k);
        CCTFCertStorage s = Memory();
        const CCTFCertContext ca(Load(dir + "/ca.der"));
        ASSERT_TRUE(s.AddCertificate(ca));
        const CCTFCertContext good(Load(dir + "/good.der")), expired(Load(dir + "/expired.der")),
            revoked(Load(dir + "/revoked.der")), altered(Load(dir + "/altered.der"));

        CCTFCertContext issuer;
        CCTFCRLContext crl;
        unsigned long flags = 0;
        // No CRL: revocation passes, 0x10000 says why.
        ASSERT_EQ(s.FindIssuerCertificate(revoked, issuer, &flags, &crl), 1);
        EXPECT_EQ(flags, CTF_CHECK_NO_CRL);
        EXPECT_TRUE(issuer == ca);

        ASSERT_TRUE(s.AddEncodetCRL(Load(dir + "/crl.der")));
        const struct {
            const CCTFCertContext* cert;
            unsigned long ask, want;
        } cases[] = {
            {&good, 0, 0},
            {&revoked, 0, CTF_CHECK_REVOCATION},
            {&revoked, CTF_CHECK_SIGNATURE, 0},
            {&expired, 0, CTF_CHECK_TIME},
            {&expired, CTF_CHECK_REVOCATION, 0},
            {&altered, 0, CTF_CHECK_SIGNATURE},
        };
        for (const auto& c : cases) {
            flags = c.ask;
            crl.Reset();
            EXPECT_EQ(s.FindIssuerCertificate(*c.cert, issuer, &flags, &crl), 1);
            EXPECT_EQ(flags, c.want) << "asked 0x" << std::hex << c.ask;
            if (c.ask == 0) {
                EXPECT_TRUE(crl.IsInitialized());
            }
        }
        // The CA is its own issuer; an untrusting storage says so.
        flags = CTF_CHECK_SIGNATURE;
        EXPECT_EQ(s.FindIssuerCertificate(ca, issuer, &flags, nullptr), 1);
        EXPECT_EQ(flags, 0u);
        s.SetStatus(0x20);
        flags = CTF_CHECK_SIGNATURE;
        EXPECT_EQ(s.FindIssuerCertificate(ca, issuer, &flags, nullptr), 1);
        EXPECT_EQ(flags, CTF_CHECK_UNTRUSTED_ROOT);

        CCTFCertStorage empty = Memory();
        flags = 0;
        EXPECT_EQ(empty.FindIssuerCertificate(good, issuer, &flags, nullptr), 0);
        EXPECT_EQ(flags, CTF_CHECK_NO_ISSUER);
    }
}

TEST_F(Contexts, OnlyACrlTheIssuerSignedCounts) {
    const pki::Kind& k = certtest::HaveGostEngine() ? pki::kKinds[2] : pki::kKinds[0];
    const std::string dir = Pki(k);
    CCTFCertStorage s = Memory();
    const CCTFCertContext ca(Load(dir + "/ca.der")), revoked(Load(dir + "/revoked.der"));
    ASSERT_TRUE(s.AddCertificate(ca));
    for (const char* crl : {"empty.crl.der", "crl.der", "forged.crl.der"})
        ASSERT_TRUE(s.AddEncodetCRL(Load(dir + "/" + crl)));
    CCTFCRLContext crl;
    ASSERT_EQ(s.GetCrlFromStorage(ca, crl), 1);
    // The newest the CA signed: not the forger's, newer still.
    EXPECT_TRUE(crl == CCTFCRLContext(Load(dir + "/crl.der")));
    EXPECT_EQ(revoked.IsRevoked(crl), 1);
    CCTFCertContext issuer;
    unsigned long flags = 0;
    ASSERT_EQ(s.FindIssuerCertificate(revoked, issuer, &flags, nullptr), 1);
    EXPECT_EQ(flags, CTF_CHECK_REVOCATION) << "a forged newer CRL must not hide the revocation";
}

TEST_F(Contexts, CrlNumberAndStatus) {
    const std::string dir = Pki(pki::kKinds[0]);
    CCTFCRLContext crl(Load(dir + "/crl.der"));
    ASSERT_TRUE(crl.IsInitialized());
    // The third CRL from 0x0102: the content in encoded order.
    const IdentObj& number = crl.GetSerialNumber();
    EXPECT_EQ(certtest::Hex(number), "0104");
    EXPECT_EQ(crl.GetCheckStatus(), 0);
    EXPECT_FALSE(crl.GetIssuerKeyId().IsEmpty());

    CCTFCRLContext stale(Load(dir + "/stale.crl.der"));
    EXPECT_EQ(stale.GetCheckStatus(), CTFERR_CRL_EXPIRED);
    EXPECT_EQ(stale.GetCheckStatus(), CTFERR_CRL_EXPIRED);
    CCTFCRLContext copy(stale);
    EXPECT_EQ(copy.GetCheckStatus(), CTFERR_CRL_EXPIRED) << "the status travels with the copy";

    CCTFCRLContext none;
    EXPECT_EQ(none.GetCheckStatus(), TOOERR_BADFORMAT);
    EXPECT_THROW(none.GetSerialNumber(), XTOOStatus);
    EXPECT_FALSE(none.CreateCRLContext(IdentObj()));

    // Without a next update a CRL never goes out of date.
    EXPECT_EQ(CCTFCRLContext(ModelCrl().GetEncodetObject()).GetCheckStatus(), 0);
}

// The index by serial answers as a walk of the entries would (the first of
// duplicate serials, serials that differ only in a sign byte or length), is
// shared by copies, and holds up to lookups from several threads on a fresh
// context.
TEST(CrlContextIndex, MatchesALinearWalkAndIsShared) {
    std::mt19937 rng(7);
    CCTF_CRL_List crl = ModelCrl();
    std::vector<IdentObj> serials;
    for (int i = 0; i < 3000; ++i) {
        // Short serials from a small range, so duplicates and prefixes occur
        // (bytes 1-7: minimal DER whatever their order).
        std::string s(1 + rng() % 3, '\0');
        for (char& c : s) c = char(1 + rng() % 7);
        serials.emplace_back(s);
        CCTF_CRL_Entry e;
        e.m_serialNumber = serials.back();
        e.m_revocationDate = FILETIME{DWORD(i), 1};  // tells duplicates apart
        crl.m_info.m_entries.push_back(e);
    }
    const CCTFCRLContext ctx(crl.GetEncodetObject());
    ASSERT_TRUE(ctx.IsInitialized());
    const CRL_INFO& info = *ctx.GetContext()->pCrlInfo;
    ASSERT_EQ(info.cCRLEntry, 3000u);
    auto linear = [&](const IdentObj& s) -> const CRL_ENTRY* {
        for (DWORD i = 0; i < info.cCRLEntry; ++i)
            if (IdentObj(info.rgCRLEntry[i].SerialNumber) == s) return &info.rgCRLEntry[i];
        return nullptr;
    };

    // Four threads asking one fresh context at once (each may find no index
    // yet): every answer is the walk's.
    std::vector<int> wrong(4, 0);
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (const IdentObj& s : serials)
                    if (ctx.FindEntry(s.data(), s.size()) != linear(s)) ++wrong[t];
            });
        for (auto& th : threads) th.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
    for (const IdentObj& s : {IdentObj(std::string("\x09")), IdentObj(std::string("\x01\x02\x03\x04")), IdentObj()})
        EXPECT_EQ(ctx.FindEntry(s.data(), s.size()), linear(s));

    // A copy shares the context and its entries.
    const CCTFCRLContext copy(ctx);
    EXPECT_EQ(copy.FindEntry(serials[5].data(), serials[5].size()), linear(serials[5]));
    CCTFCRLContext none;
    EXPECT_EQ(none.FindEntry(serials[5].data(), serials[5].size()), nullptr);
}

TEST_F(Contexts, TimesAndIssuerJudgements) {
    const std::string dir = Pki(pki::kKinds[0]);
    const CCTFCertContext ca(Load(dir + "/ca.der")), good(Load(dir + "/good.der")), old80(Load(dir + "/oldbc80.der")),
        oldC0(Load(dir + "/oldbcC0.der"));
    const CTOOFileTime notAfter(good.GetContext()->pCertInfo->NotAfter);
    const CTOOFileTime notBefore(good.GetContext()->pCertInfo->NotBefore);
    const CTOOFileTime after(notAfter.Ticks() + 1), before(notBefore.Ticks() - 1);
    const std::pair<const CTOOFileTime*, int> times[] = {{&notAfter, 1}, {&notBefore, 1}, {&after, 0}, {&before, 0}};
    for (const auto& [t, valid] : times) EXPECT_EQ(good.IsValidTime(t), valid) << t->Ticks();
    EXPECT_EQ(CCTFCertContext().IsValidTime(), 0);

    // A self-signed end entity is its own issuer.
    const auto r = certtest::Run(
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Sh(F("ee.key")) +
        " -subj /CN=ee -days 30 -addext basicConstraints=critical,CA:FALSE -outform DER -out " + Sh(F("ee.der")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const CCTFCertContext ee(Load(F("ee.der")));
    // The old basic constraints: the CA bit alone makes an issuer; CA and
    // end entity together do not, though the type goes by bit 7.
    const struct {
        const CCTFCertContext* cert;
        bool issuer;
        int type;
    } judged[] = {{&ca, true, 3}, {&good, false, 1}, {&old80, true, 2}, {&oldC0, false, 2}, {&ee, true, 1}};
    bool isIssuer = false;
    for (const auto& j : judged) {
        ASSERT_TRUE(j.cert->CheckWhetherItIsIssuerContext(isIssuer));
        EXPECT_EQ(isIssuer, j.issuer) << j.type;
        EXPECT_EQ(j.cert->GetCertificateType(), j.type);
    }
    EXPECT_FALSE(CCTFCertContext().CheckWhetherItIsIssuerContext(isIssuer));
    EXPECT_EQ(CCTFCertContext().GetCertificateType(), -1);

    bool present = false;
    ASSERT_TRUE(good.CheckPresenceOfAuthKeyIDExtension(present));
    EXPECT_TRUE(present);
    IdentObj keyId;
    ASSERT_TRUE(good.GetIssuerKeyID(keyId));
    EXPECT_EQ(keyId, ca.GetSubjectKeyId());
}

TEST_F(Contexts, TemplateSearchGoesBySerialKeyIdAndNames) {
    const std::string dir = Pki(pki::kKinds[0]);
    CCTFCertStorage s = Memory();
    std::vector<CCTFCertContext> all;
    for (const char* n : {"ca", "good", "expired", "revoked"}) {
        all.emplace_back(Load(dir + "/" + n + ".der"));
        ASSERT_TRUE(s.AddCertificate(all.back()));
    }
    const CCTFCertContext& good = all[1];
    const CERT_INFO* gi = good.GetContext()->pCertInfo;

    auto find = [&](const CCTFCertInfo& t) {
        std::list<CCTFCertContext> out;
        EXPECT_TRUE(s.FindCertList(out, CERT_FIND_SUBJECT_CERT, &t));
        return out;
    };
    auto findsGood = [&](const CCTFCertInfo& t) {
        auto out = find(t);
        return out.size() == 1 && out.front() == good && out.front().GetStorageType() == 7u;
    };
    CCTFCertInfo bySerial;
    bySerial.m_serialNumber = IdentObj(gi->SerialNumber);
    EXPECT_TRUE(findsGood(bySerial));

    // The issuer compares as a name, not as bytes: typed another way it
    // still matches.
    CCTFCertInfo withIssuer = bySerial;
    withIssuer.m_issuer = CCTFX509Name("O=Wrap, CN=Test CA", 0, true);
    EXPECT_EQ(find(withIssuer).size(), 1u);
    withIssuer.m_issuer = CCTFX509Name("CN=Other CA", 0, false);
    EXPECT_TRUE(find(withIssuer).empty());
    withIssuer = bySerial;
    withIssuer.m_notAfter = FILETIME{1, 1};
    EXPECT_TRUE(find(withIssuer).empty()) << "notAfter is compared when set";
    withIssuer.m_notAfter = gi->NotAfter;
    withIssuer.m_notBefore = gi->NotBefore;
    EXPECT_EQ(find(withIssuer).size(), 1u);

    const IdentObj keyId = good.GetSubjectKeyId();
    CCTFCertInfo byKey;
    CCTFCertExtension ext(cert::oids::kSubjectKeyIdentifier, FALSE, IdentObj());
    const CRYPT_DATA_BLOB blob = keyId.blob();
    ASSERT_TRUE(ext.EncodeData(&blob, X509_OCTET_STRING));
    byKey.m_extensions.push_back(ext);
    EXPECT_TRUE(findsGood(byKey));

    // The name encoder writes text values only: the platform's encoder
    // writes the OCTET STRING one.
    CERT_RDN_ATTR keyAttr{const_cast<char*>("1.3.6.1.4.1.311.10.7.1"), CERT_RDN_OCTET_STRING, keyId.blob()};
    CERT_RDN keyRdn{1, &keyAttr};
    const CERT_NAME_INFO keyName{1, &keyRdn};
    DWORD size = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, &keyName, nullptr, &size));
    std::vector<BYTE> der(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, &keyName, der.data(), &size));
    CCTFCertInfo byKeyName;
    byKeyName.m_subject = CCTFX509Name(CRYPTOAPI_BLOB{size, der.data()});
    EXPECT_TRUE(findsGood(byKeyName)) << "a key identifier written as a name";

    CCTFCertInfo bySubject;
    bySubject.m_subject = CCTFX509Name("CN=revoked", 0, true);
    EXPECT_EQ(find(bySubject).size(), 1u);
}

TEST_F(Contexts, StoreEditsAndContextCopies) {
    const std::string dir = Pki(pki::kKinds[0]);
    CCTFCertStorage s = Memory();
    const CCTFCertContext ca(Load(dir + "/ca.der")), good(Load(dir + "/good.der"));
    EXPECT_TRUE(s.AddCertificateList({ca, good}));
    CCTFCertStorage copy(s);
    ASSERT_TRUE(copy.DeleteCertificate(good));
    std::list<CCTFCertContext> left;
    ASSERT_TRUE(s.FindCertList(left, CERT_FIND_ANY, nullptr));
    EXPECT_EQ(left.size(), 1u) << "copies share the store";
    EXPECT_TRUE(good.IsInitialized()) << "the caller's context outlives the delete";

    ASSERT_TRUE(s.AddEncodetCRL(Load(dir + "/crl.der")));
    CCTFCRLContext first = s.FindCRLInStore(0, nullptr, CCTFCRLContext());
    ASSERT_TRUE(first.IsInitialized());
    EXPECT_FALSE(s.FindCRLInStore(0, nullptr, first).IsInitialized());
    ASSERT_TRUE(first.DeleteCRLFromStore());
    EXPECT_FALSE(first.IsInitialized());
    EXPECT_TRUE(s.GetCRLList().empty());

    ASSERT_TRUE(s.Clear());
    left.clear();
    ASSERT_TRUE(s.FindCertList(left, CERT_FIND_ANY, nullptr));
    EXPECT_TRUE(left.empty());

    EXPECT_TRUE(ca < good || good < ca);
    EXPECT_TRUE(CCTFCertContext() < ca);
    EXPECT_FALSE(ca < CCTFCertContext());

    CCTFCertContext withKey(ca);
    ASSERT_TRUE(s.AddCertificate(withKey));
    ASSERT_TRUE(withKey.SetContainer("work"));
    EXPECT_STREQ(withKey.GetContainer().c_str(), "work");
    ASSERT_TRUE(withKey.SetPrivateKeyType(AT_SIGNATURE));
    EXPECT_EQ(withKey.GetPrivateKeyType(), DWORD(AT_SIGNATURE));
    EXPECT_STREQ(withKey.GetContainer().c_str(), "work");
    EXPECT_EQ(CCTFCertInfo(*withKey.GetContext()).GetPrivateKeyType(), DWORD(AT_SIGNATURE));
}

TEST_F(Contexts, GostKeysBecomeProviderBlobs) {
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine for openssl";
    const std::string dir = Pki(pki::kKinds[2]);
    const CCTFCertContext ca(Load(dir + "/ca.der"));
    const CCTFCertPublicKeyInfo key(ca.GetContext()->pCertInfo->SubjectPublicKeyInfo);
    const IdentObj blob = CTFConvertPublicKeyInfo(key);
    ASSERT_GT(blob.size(), 16u + 64u);
    EXPECT_EQ(certtest::Hex(IdentObj(blob.data(), 4)), "06100000");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.data()) + 8, 4), "MAG1");
    EXPECT_EQ(blob.data()[12] | blob.data()[13] << 8, 512);
    VRKSCApi::CryptProvider p;
    ASSERT_TRUE(VRKAcquireContext(&p, nullptr, VRK_PROV_GOST, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT));
    VRKSCApi::CryptKey imported;
    EXPECT_TRUE(VRKImportKey(p, blob.data(), blob.size(), 0, 0, &imported)) << std::hex << GetLastError();

    CCTFCertPublicKeyInfo unknown = key;
    unknown.m_algorithm = CCTFAlgorithmIdentifier("1.2.3.4");
    try {
        CTFConvertPublicKeyInfo(unknown);
        ADD_FAILURE() << "an unknown algorithm converted";
    } catch (const XTOOStatus& s) {
        EXPECT_EQ(s.Status(), TOOERR_UNKNOWN_ALG);
        EXPECT_STREQ(s.Place(), "CTFConvertPublicKeyInfo");
    }
}

TEST_F(Contexts, ProviderHoldersAreShared) {
    CCTFProvider a;
    int error = -1;
    ASSERT_TRUE(a.Init(nullptr, nullptr, VRK_PROV_TYPE_GOST, CRYPT_VERIFYCONTEXT, &error));
    EXPECT_EQ(error, 0);
    const HCRYPTPROV h = a.GetProviderHandle();
    ASSERT_NE(h, 0u);
    {
        CCTFProvider b(a);
        EXPECT_EQ(b.GetProviderHandle(), h);
        a.Reset();
        EXPECT_EQ(a.GetProviderHandle(), 0u);
        IdentObj name;
        EXPECT_TRUE(VRKGetProvParam(h, PP_NAME, name, 0)) << "alive while a copy holds it";
    }
    IdentObj name;
    EXPECT_FALSE(VRKGetProvParam(h, PP_NAME, name, 0)) << "released with the last holder";
    EXPECT_EQ(a.CanChangePassword(), CTFERR_NO_CONTAINER_INFO);

    CCTFProvider c;
    EXPECT_FALSE(c.Init("no such container", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT, &error));
    EXPECT_NE(error, 0);
    EXPECT_THROW(c.Init("no such container", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT, nullptr), XTOOStatus);
}

}  // namespace
