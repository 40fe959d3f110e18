#include <filesystem>
#include <fstream>

#include "../../fuzz/verify_fuzz.h"
#include "signer_fixture.h"
#include "cert/oid.h"
#include "cert/signeddata.h"
#include "cert/verify.h"

namespace {

using usertest::CertFor;
using usertest::MakeKey;

std::vector<DWORD> Statuses(const std::list<CCTFWholeSignatureCheck>& r) {
    std::vector<DWORD> out;
    for (const auto& c : r) out.push_back(c.m_status);
    return out;
}

constexpr DWORD kFailed = 0xEEEE0000u;  // | the error: the call failed
using V = std::vector<DWORD>;

class Verify : public messagestest::SignerTest {
protected:
    // The statuses of verifying `sig` over `what`, or the error as the only one.
    V Check(const IdentObj& sig, const WhatToSignStruct& what, const CCTFCertStorage* store = nullptr) {
        std::list<CCTFWholeSignatureCheck> r;
        int st = -1;
        if (!CTFVerifySignedData(&r, what, sig, store, &st)) return {kFailed | DWORD(st)};
        return Statuses(r);
    }
    V Check(const IdentObj& sig, const std::string& data, const CCTFCertStorage* store = nullptr) {
        return Check(sig, WhatToSignStruct{.data = data.data(), .end = DWORD(data.size())}, store);
    }
    // The same for a file of home, and a failed call leaves no result.
    V CheckFile(const std::string& name, const IdentObj* detached = nullptr) {
        std::list<CCTFWholeSignatureCheck> r;
        int st = -1;
        if (CTFVerifySignatureOnFile(r, F(name).c_str(), detached, nullptr, &st)) return Statuses(r);
        EXPECT_TRUE(r.empty()) << name;
        return {kFailed | DWORD(st)};
    }
};

// Two signers over one content, one with attributes and a 2012 hash, one
// without by key identifier and 34.11-94: each judged on its own hash, and
// each tampering caught with its own status.
TEST_F(Verify, EachTamperingHasItsStatus) {
    IdentObj sig;
    int st = -1;
    ASSERT_TRUE(CTFSignData(user_, cert_, memory_, &sig, nullptr, &st)) << st;
    const CTOOString h94(cert::oids::kGostR3411_94);
    ASSERT_TRUE(CTFSignData(user_, cert_, Memory(kSignNoAttributes | kSignByKeyId), &sig, &h94, &st)) << st;

    std::list<CCTFWholeSignatureCheck> r;
    ASSERT_TRUE(CTFVerifySignedData(&r, memory_, sig, nullptr, &st)) << st;
    EXPECT_EQ(Statuses(r), (V{0, 0}));
    EXPECT_EQ(r.front().m_certificate, cert_.GetEncoded());
    // Results compare as values.
    EXPECT_EQ(CCTFWholeSignatureCheck(r.front()), r.front());
    EXPECT_NE(r.front(), r.back());
    EXPECT_TRUE((r.front() < r.back()) != (r.back() < r.front()));

    std::string changed = data_;
    changed[0] ^= 1;
    EXPECT_EQ(Check(sig, changed), (V{kVerifyDigestMismatch, kVerifyBadSignature}));
    CCTFSignData sd;
    ASSERT_TRUE(sd.ReadObject(sig.data(), sig.size(), &st));

    // The signature value and a signed attribute (the signing time's last
    // digit): the digest still matches, the signature does not.
    CCTFMessageSignerInfo si;
    ASSERT_NE(si.ReadData(sd.m_signerInfos.front().data(), sd.m_signerInfos.front().size(), &st), 0u);
    CCTFSignData bad = sd;
    CCTFMessageSignerInfo flipped = si;
    flipped.m_signature.data()[5] ^= 1;
    bad.m_signerInfos.front() = flipped.WriteData(nullptr);
    EXPECT_EQ(Check(bad.WriteObject(nullptr), data_), (V{kVerifyBadSignature, 0}));
    // The time follows its type's OID, a SET header and the UTCTime header;
    // a search for its closing 'Z' could land in the signature value.
    IdentObj raw = sd.m_signerInfos.front();
    const std::string kTimeOid("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x09\x05", 11);
    const auto at = std::string(raw.view()).find(kTimeOid);
    ASSERT_NE(at, std::string::npos);
    const std::size_t last = at + kTimeOid.size() + 4 + 12;  // "YYMMDDHHMMSS" then 'Z'
    ASSERT_LT(last, raw.size());
    ASSERT_EQ(raw.data()[last], 'Z');
    raw.data()[last - 1] = raw.data()[last - 1] == '0' ? '1' : '0';
    bad = sd;
    bad.m_signerInfos.front() = raw;
    EXPECT_EQ(Check(bad.WriteObject(nullptr), data_), (V{kVerifyBadSignature, 0}));

    // The signer's certificate swapped for one of the same name and serial
    // with another key.
    CCTFUser other;
    ASSERT_NO_FATAL_FAILURE(MakeKey(other, "other", cert::oids::kGostR3410_2012_256, "pw"));
    CCTFX509Certificate forged;
    ASSERT_TRUE(forged.DecodeCert(cert_.GetEncoded()));
    forged.m_info.m_publicKey = other.GetPublicKey();
    bad = sd;
    bad.m_certificates = {forged.GetEncodetCert()};
    EXPECT_EQ(Check(bad.WriteObject(nullptr), data_), (V{kVerifyBadSignature, kVerifyBadSignature}));

    // Without the certificate in the message: not found, unless the caller has it.
    bad = sd;
    bad.m_certificates.clear();
    const IdentObj noCert = bad.WriteObject(nullptr);
    EXPECT_EQ(Check(noCert, data_), (V{kVerifyNoSignerCertificate, kVerifyNoSignerCertificate}));
    CCTFCertStorage store;
    ASSERT_TRUE(store.OpenStorage(CCTFString(""), CERT_STORE_PROV_MEMORY, 0, 0, nullptr));
    ASSERT_TRUE(store.AddCertificate(cert_));
    EXPECT_EQ(Check(noCert, data_, &store), (V{0, 0}));
}

// Argument faults are errors of the call; a signer digest that the signed
// data does not list is 131 with the OID as place.
TEST_F(Verify, BadCallsAreErrors) {
    IdentObj sig;
    int st = -1;
    ASSERT_TRUE(CTFSignData(user_, cert_, memory_, &sig, nullptr, &st)) << st;
    EXPECT_EQ(Check(sig, WhatToSignStruct()), V{kFailed | TOOERR_BADARG});
    std::list<CCTFWholeSignatureCheck> r;
    EXPECT_THROW(CTFVerifySignedData(&r, memory_, IdentObj(), nullptr, nullptr), XTOOStatus);
    CCTFSignData sd;
    ASSERT_TRUE(sd.ReadObject(sig.data(), sig.size(), &st));
    sd.m_digestAlgorithms = {CCTFAlgorithmIdentifier(cert::oids::kGostR3411_94)};
    try {
        CTFVerifySignedData(&r, memory_, sd.WriteObject(nullptr), nullptr, nullptr);
        ADD_FAILURE();
    } catch (const XTOOStatus& e) {
        EXPECT_EQ(e.Status(), 131);
        EXPECT_EQ(std::string(e.Place()), cert::oids::kGostR3411_2012_256);
    }
    EXPECT_TRUE(r.empty());
}

// Files: attached and detached, the content separated byte for byte and
// its detached signature still good; broken files are statuses.
TEST_F(Verify, FilesAreReadAsStreams) {
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = char(i * 7 + i / 256);
    certtest::WriteFile(F("content"), content);
    int st = -1;
    ASSERT_TRUE(CTFSignFile(user_, cert_, F("content").c_str(), F("signed").c_str(), nullptr, kSignPreviousContent,
                            nullptr, &st))
        << st;
    EXPECT_EQ(CheckFile("signed"), V{0});
    IdentObj detached;
    ASSERT_TRUE(CTFRemoveSignaturesFromFile(F("signed").c_str(), F("out").c_str(), &detached, &st)) << st;
    EXPECT_EQ(certtest::ReadFile(F("out")), content);
    EXPECT_EQ(CheckFile("out", &detached), V{0});
    // A detached signature alone, with nothing to judge it against.
    certtest::WriteFile(F("sig"), std::string(detached.view()));
    EXPECT_EQ(CheckFile("sig"), V{kFailed | TOOERR_BADARG});

    // One byte of the carried content.
    std::string signedBytes = certtest::ReadFile(F("signed"));
    const auto at = signedBytes.find(content.substr(1000, 64));
    ASSERT_NE(at, std::string::npos);
    signedBytes[at] ^= 0x40;
    certtest::WriteFile(F("tampered"), signedBytes);
    EXPECT_EQ(CheckFile("tampered"), V{kVerifyDigestMismatch});

    // Cut anywhere, or a length beyond the end: an error with a place.
    const std::string good = certtest::ReadFile(F("signed"));
    for (std::size_t cut : {std::size_t(3), good.size() / 2, good.size() - 1}) {
        certtest::WriteFile(F("cut"), good.substr(0, cut));
        EXPECT_GT(CheckFile("cut").front(), kFailed) << cut;
    }
    std::string longer = good;
    longer[1] = char(0x84);  // a four-byte length where there was one: far past the end
    certtest::WriteFile(F("long"), longer.substr(0, 2) + std::string("\x7f\xff\xff\xff", 4) + good.substr(4));
    EXPECT_GT(CheckFile("long").front(), kFailed);
    EXPECT_EQ(CheckFile("absent"), V{kFailed | TOOERR_NOFILE});
}

// A trust list is judged on its certificates, and only an authority may
// sign one.
TEST_F(Verify, TrustListsNeedAnAuthority) {
    CCTFProvider provider;
    int st = -1;
    ASSERT_TRUE(provider.Init("signer", nullptr, VRK_PROV_TYPE_GOST_2012_256, 0, &st)) << st;
    ASSERT_TRUE(provider.SetPassword("pw"));
    const auto sign = [&](const char* oid, const std::string& hex) {
        const CCTFCertContext signer = EditedCert([&](CCTFCertInfo& i) { messagestest::SetExtension(i, oid, hex); });
        CCTFSignData list;
        list.m_certificates = {signer.GetEncoded()};
        CTFSignTrustList(provider, AT_SIGNATURE, signer, list);
        return list;
    };
    const WhatToSignStruct none{.end = 0xFFFFFFFFu};
    CCTFSignData list = sign("2.5.29.19", "30030101FF");
    EXPECT_EQ(Check(list.WriteObject(nullptr), none), V{0});
    // A certificate added after signing changes the digest.
    list.m_certificates.push_back(IdentObj("\x30\x00", 2));
    EXPECT_EQ(Check(list.WriteObject(nullptr), none), V{kVerifyDigestMismatch});
    // Signed by a certificate that claims the trust-list usage but is no CA.
    EXPECT_EQ(Check(sign("2.5.29.37", "300C060A2B0601040182370A0301").WriteObject(nullptr), none),
              V{kVerifyNotTrustListSigner});
}

// The size told beforehand is the size a real signature then has, for each
// key size (a 2012-512 signature is twice as long) and for RSA; a failure is
// 0 with its status.
TEST_F(Verify, SizeToComeIsTheRealSize) {
    certtest::WriteFile(F("content"), std::string(5000, 'x'));
    int st = -1;
    for (const char* alg : {cert::oids::kGostR3410_2001, cert::oids::kGostR3410_2012_256,
                            cert::oids::kGostR3410_2012_512, cert::oids::kRsa}) {
        SCOPED_TRACE(alg);
        CCTFUser user;
        const std::string name = std::string("k") + std::to_string(std::string(alg).size()) + alg[4];
        ASSERT_NO_FATAL_FAILURE(MakeKey(user, name, alg, "pw"));
        const bool rsa = std::string(alg) == cert::oids::kRsa;  // its one key is the exchange key
        CCTFCertContext cert = CertFor(user.GetPublicKey(), name, rsa ? AT_KEYEXCHANGE : AT_SIGNATURE);
        if (rsa)  // an exchange key's certificate is not made for signing: say it is
            cert = messagestest::Edited(
                cert, [](CCTFCertInfo& i) { messagestest::SetExtension(i, "2.5.29.15", "03020780", TRUE); });
        const CTOOString hash(rsa ? "2.16.840.1.101.3.4.2.1" : CTFGetSupportedHashOIDS(&cert).front().c_str());
        SCOPED_TRACE(hash.str());
        const unsigned long told = CTFGetSignaturesSizes(cert, 0, nullptr, 5000, hash.c_str(), &st);
        ASSERT_EQ(st, 0);
        ASSERT_TRUE(CTFSignFile(user, cert, F("content").c_str(), F("signed").c_str(), nullptr, kSignPreviousContent,
                                &hash, &st))
            << st;
        EXPECT_EQ(told, certtest::ReadFile(F("signed")).size());

        // One more signer on a detached signature, without its certificate.
        IdentObj sig;
        ASSERT_TRUE(CTFSignData(user_, cert_, memory_, &sig, nullptr, &st)) << st;
        CCTFSignData sd;
        ASSERT_TRUE(sd.ReadObject(sig.data(), sig.size(), &st));
        const unsigned long more = CTFGetSignaturesSizes(cert.GetEncoded(), 0, &sd, 0, hash.c_str(), &st);
        ASSERT_TRUE(CTFSignData(user, cert, memory_, &sig, &hash, &st)) << st;
        EXPECT_EQ(more, sig.size());
        EXPECT_EQ(CTFGetSignaturesSizes(cert, kSizeWithoutCertificate, &sd, 0, hash.c_str(), &st),
                  more - cert.GetEncoded().size());
    }
    EXPECT_EQ(CTFGetSignaturesSizes(IdentObj(), 0, nullptr, 10, nullptr, &st), 0u);
    EXPECT_EQ(st, TOOERR_BADARG);
    EXPECT_EQ(CTFGetSignaturesSizes(IdentObj("\x30\x03\x02\x01\x01", 5), 0, nullptr, 10, nullptr, &st), 0u);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
}

// The saved inputs of the verification's fuzz target stay consistent.
TEST(VerifyCorpus, SavedInputsStayConsistent) {
    const std::string dir = std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/verify";
    EXPECT_GE(certtest::ReplayCorpus(dir, verifyfuzz::RunVerify), 10);
}

}  // namespace
