#include <algorithm>
#include <filesystem>

#include "signer_fixture.h"
#include "cert/signeddata.h"
#include "cert/verify.h"

namespace {

using messagestest::SetExtension;
using usertest::CertFor;
using usertest::MakeKey;

constexpr LONGLONG kSecond = CTOOFileTime::kTicksPerSecond;

// "2.5.29.16" from `from` to `to` as GeneralizedTime text (14 digits).
std::string KeyPeriodHex(const std::string& from, const std::string& to) {
    std::string body;
    if (!from.empty()) body += "800F" + certtest::Hex(from + "Z");
    if (!to.empty()) body += "810F" + certtest::Hex(to + "Z");
    char len[3];
    std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(body.size() / 2));
    return std::string("30") + len + body;
}

CTOOFileTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return CTOOFileTime(asn::MakeFileTime(y, mo, d, h, mi, s));
}

struct Decoded {
    CCTFSignData data;
    std::list<CCTFWholeSignature> signers;
};

Decoded Decode(const IdentObj& der) {
    Decoded d;
    int st = -1;
    EXPECT_TRUE(d.data.ReadObject(der.data(), der.size(), &st)) << st;
    d.signers = d.data.GetSigersInfo(&st);
    EXPECT_EQ(st, 0);
    return d;
}

std::vector<std::string> AttributeTypes(const CCTFMessageSignerInfo& si) {
    std::vector<std::string> out;
    for (const auto& s : si.m_signedAttributes.m_sets) out.push_back(s.m_type.str());
    return out;
}

// The message digest attribute's bytes.
IdentObj DigestAttribute(const CCTFMessageSignerInfo& si) {
    for (const auto& s : si.m_signedAttributes.m_sets) {
        if (s.m_type.str() != kOidMessageDigestAttr) continue;
        asn::Reader r(asn::View(s.m_values.front()));
        return r.ReadOctetString();
    }
    return IdentObj();
}

IdentObj Hash(HCRYPTPROV prov, const std::string& bytes, ALG_ID alg = CALG_GOST_R3411_2012_256) {
    VRKSCApi::CryptHash h;
    EXPECT_TRUE(VRKCreateHash(prov, alg, 0, &h));
    EXPECT_TRUE(VRKHashData(h, bytes.data(), static_cast<DWORD>(bytes.size())));
    IdentObj v;
    EXPECT_TRUE(VRKGetHashParam(h, HP_HASHVAL, v));
    return v;
}

class Signing : public messagestest::SignerTest {};

TEST(KeyPeriod, SecondsLeftEndAndTheWaysOutside) {
    CCTFCertInfo info;
    LONGLONG left = 7;
    FILETIME end{1, 1};
    EXPECT_TRUE(CTFIsSignKeyPeriodValid(info, left, end, At(2030, 1, 1)));
    EXPECT_EQ(left, -1);
    EXPECT_EQ(CTOOFileTime(end).Ticks(), 0u);

    SetExtension(info, "2.5.29.16", KeyPeriodHex("20300101000000", "20300102000000"));
    // Whole seconds: half a second short of an hour is 3599.
    EXPECT_TRUE(CTFIsSignKeyPeriodValid(info, left, end, CTOOFileTime(At(2030, 1, 1, 23).Ticks() + kSecond / 2)));
    EXPECT_EQ(left, 3599);
    EXPECT_EQ(CTOOFileTime(end).Ticks(), At(2030, 1, 2).Ticks());
    EXPECT_FALSE(CTFIsSignKeyPeriodValid(info, left, end, At(2029, 12, 31)));
    EXPECT_FALSE(CTFIsSignKeyPeriodValid(info, left, end, At(2030, 1, 2, 0, 0, 1)));
    EXPECT_EQ(left, 0);

    // A period without an end has no seconds to count.
    SetExtension(info, "2.5.29.16", KeyPeriodHex("20300101000000", ""));
    EXPECT_TRUE(CTFIsSignKeyPeriodValid(info, left, end, At(2040, 1, 1)));
    EXPECT_EQ(left, -1);
    // One that does not decode holds nothing; -1 tells it from "outside".
    SetExtension(info, "2.5.29.16", "3003800100");
    EXPECT_FALSE(CTFIsSignKeyPeriodValid(info, left, end, At(2030, 1, 1)));
    EXPECT_EQ(left, -1);
}

TEST_F(Signing, CanSignByCertTells106From203) {
    auto judge = [&](const CCTFCertContext& c, const CTOOFileTime& at = CTOOFileTime()) -> DWORD {
        SetLastError(0);
        const bool ok = CTFCanSignByCert(c, false, at);
        const DWORD e = GetLastError();
        EXPECT_EQ(ok, e == 0) << e;
        return ok ? 0 : e;
    };
    EXPECT_EQ(judge(cert_), 0u);
    auto with = [&](const char* oid, const std::string& hex) {
        return EditedCert([&](CCTFCertInfo& i) { SetExtension(i, oid, hex); });
    };
    // 106: made for something else, or extensions that cannot be honoured.
    EXPECT_EQ(judge(with("2.5.29.15", "03020520")), 106u);      // key encipherment only
    EXPECT_EQ(judge(with("2.5.29.15", "03020204")), 106u);      // certificate signing only
    EXPECT_EQ(judge(with("2.5.29.15", "0302FF")), 106u);        // not a valid bit string
    EXPECT_EQ(judge(with("2.5.29.19", "30040102FFFF")), 106u);  // BOOLEAN of a bad length
    EXPECT_EQ(judge(with("2.5.29.16", "3003800100")), 106u);    // a period that does not decode
    EXPECT_EQ(judge(with("2.5.29.15", "03020640")), 0u);        // non-repudiation alone signs
    // 203: the validity or the private key's period is over or not begun.
    const auto expired = EditedCert([](CCTFCertInfo& i) {
        i.m_notBefore = asn::MakeFileTime(2020, 1, 1, 0, 0, 0);
        i.m_notAfter = asn::MakeFileTime(2021, 1, 1, 0, 0, 0);
    });
    EXPECT_EQ(judge(expired), 203u);
    EXPECT_EQ(judge(expired, At(2020, 6, 1)), 0u);
    EXPECT_EQ(judge(with("2.5.29.16", KeyPeriodHex("20200101000000", "20210101000000"))), 203u);
    // Usage is judged before time: an expired encipherment certificate is 106.
    const auto both = EditedCert([](CCTFCertInfo& i) {
        SetExtension(i, "2.5.29.15", "03020520");
        i.m_notAfter = asn::MakeFileTime(2021, 1, 1, 0, 0, 0);
    });
    EXPECT_EQ(judge(both), 106u);
}

TEST_F(Signing, SignDataOptionsAndTheMemoryAttributeOrder) {
    IdentObj sig;
    int st = -1;
    ASSERT_TRUE(CTFSignData(user_, cert_, memory_, &sig, nullptr, &st)) << st;
    Decoded d = Decode(sig);
    EXPECT_TRUE(d.data.IsDetached());
    ASSERT_EQ(d.signers.size(), 1u);
    const CCTFWholeSignature& w = d.signers.front();
    EXPECT_EQ(w.m_certificate, cert_.GetEncoded());
    EXPECT_EQ(w.m_signerInfo.m_signatureAlgorithm.GetOID(), cert::oids::kGostR3410_2012_256WithR3411);
    EXPECT_EQ(AttributeTypes(w.m_signerInfo),
              (std::vector<std::string>{kOidContentTypeAttr, kOidMessageDigestAttr, kOidSigningTimeAttr}));
    EXPECT_EQ(DigestAttribute(w.m_signerInfo), Hash(user_.GetProvider(), data_));

    // A second signature by key identifier, no attributes: one digest, one certificate.
    ASSERT_TRUE(CTFSignData(user_, cert_, Memory(kSignNoAttributes | kSignByKeyId), &sig, nullptr, &st)) << st;
    d = Decode(sig);
    EXPECT_EQ(d.data.m_digestAlgorithms.size(), 1u);
    EXPECT_EQ(d.data.m_certificates.size(), 1u);
    ASSERT_EQ(d.signers.size(), 2u);
    const CCTFMessageSignerInfo& second = d.signers.back().m_signerInfo;
    EXPECT_EQ(second.m_keyId, cert_.GetSubjectKeyId());
    EXPECT_TRUE(second.m_signedAttributes.IsEmpty());

    // 0x80000 refuses a second signature of one certificate; another hash adds a digest.
    const IdentObj before = sig;
    EXPECT_FALSE(CTFSignData(user_, cert_, Memory(kSignCheckPrevious), &sig, nullptr, &st));
    EXPECT_EQ(st, TOOERR_EXISTS);
    EXPECT_EQ(sig, before);
    const CTOOString h94(cert::oids::kGostR3411_94);
    ASSERT_TRUE(CTFSignData(user_, cert_, memory_, &sig, &h94, &st)) << st;
    EXPECT_EQ(Decode(sig).data.m_digestAlgorithms.size(), 2u);
}

TEST_F(Signing, ProductHashChainsTheAttributesOntoTheData) {
    CCTFUser user;
    ASSERT_NO_FATAL_FAILURE(MakeKey(user, "old", cert::oids::kGostR3410_2001, "pw"));
    const CCTFCertContext cert = CertFor(user.GetPublicKey(), "old", AT_SIGNATURE);
    const CTOOString product(cert::oids::kProductHash);
    IdentObj sig;
    int st = -1;
    ASSERT_TRUE(CTFSignData(user, cert, memory_, &sig, &product, &st)) << st;
    const Decoded d = Decode(sig);
    const CCTFWholeSignature& w = d.signers.front();
    EXPECT_EQ(AttributeTypes(w.m_signerInfo), (std::vector<std::string>{kOidContentTypeAttr, kOidSigningTimeAttr}));
    EXPECT_EQ(w.m_signerInfo.m_digestAlgorithm.GetOID(), cert::oids::kProductHash);
    // Signed: the data, then the attributes as a SET, in one hash.
    IdentObj attrs = w.m_signerInfo.m_signedAttributes.GetEncoded();
    attrs.data()[0] = 0x31;
    VRKSCApi::CryptHash h;
    VRKSCApi::CryptKey key;
    ASSERT_TRUE(VRKCreateHash(user.GetProvider(), CALG_VRK_HASH, 0, &h));
    ASSERT_TRUE(VRKHashData(h, data_.data(), static_cast<DWORD>(data_.size())));
    ASSERT_TRUE(VRKHashData(h, attrs));
    ASSERT_TRUE(CTFIportPKInfo(user.GetProvider(), user.GetPublicKey(), &key));
    EXPECT_TRUE(VRKVerifySignature(h, w.m_signerInfo.m_signature, key, 0));
}

TEST_F(Signing, PreviousContentAndBadInputLeaveTheSignatureAlone) {
    CCTFSignData carrier;
    ASSERT_TRUE(carrier.AttachData(memory_, nullptr));
    IdentObj sig = carrier.WriteObject(nullptr);
    int st = -1;
    ASSERT_TRUE(CTFSignData(user_, cert_, WhatToSignStruct{.options = kSignPreviousContent}, &sig, nullptr, &st)) << st;
    Decoded d = Decode(sig);
    ASSERT_EQ(d.signers.size(), 1u);
    EXPECT_EQ(DigestAttribute(d.signers.front().m_signerInfo), Hash(user_.GetProvider(), data_));
    // Without the option a signature keeps the content it extends.
    ASSERT_TRUE(CTFSignData(user_, cert_, memory_, &sig, nullptr, &st)) << st;
    EXPECT_EQ(std::string(Decode(sig).data.m_content.GetParameters().view()), data_);

    const IdentObj kept = sig;
    auto refused = [&](const CCTFCertContext& c, const WhatToSignStruct& what, const CTOOString* hash = nullptr) {
        int code = -1;
        EXPECT_FALSE(CTFSignData(user_, c, what, &sig, hash, &code));
        EXPECT_EQ(sig, kept);
        return code;
    };
    EXPECT_EQ(refused(cert_, Memory(kSignPreviousContent)), TOOERR_BADARG);
    EXPECT_EQ(refused(cert_, WhatToSignStruct{.end = 4}), TOOERR_BADARG);
    EXPECT_EQ(refused(CCTFCertContext(), memory_), TOOERR_BADARG);
    const CTOOString unknown("1.2.3.4");
    EXPECT_EQ(refused(cert_, memory_, &unknown), TOOERR_UNKNOWN_ALG);
    const auto expired = EditedCert([](CCTFCertInfo& i) { i.m_notAfter = asn::MakeFileTime(2021, 1, 1, 0, 0, 0); });
    EXPECT_EQ(refused(expired, memory_), 203);
    const auto stranger = EditedCert([](CCTFCertInfo& i) {
        IdentObj& key = i.m_publicKey.m_publicKey;
        key.data()[key.size() - 1] ^= 1;
    });
    EXPECT_EQ(refused(stranger, memory_), TOOERR_NOKEY_FOR_CERT);
    const std::string gone = F("gone");
    const WhatToSignStruct missing{.flags = kWhatToSignFile, .data = gone.c_str(), .end = 0xFFFFFFFF};
    EXPECT_EQ(refused(cert_, missing), TOOERR_NOFILE);
    EXPECT_THROW(CTFSignData(user_, cert_, Memory(kSignPreviousContent), &sig, nullptr, nullptr), XTOOStatus);
}

TEST_F(Signing, SignFileAttachesOverItsInputAndKeepsTheFileOrder) {
    const std::string in = F("in.txt");
    std::string text;
    // Over two pieces of the reader: reading ahead and a gap before the carried content.
    for (int i = 0; text.size() < 2600000; ++i) text += "line " + std::to_string(i) + "\n";
    certtest::WriteFile(in, text);
    int st = -1;
    IdentObj detached;  // the file order of attributes, the file's hash
    ASSERT_TRUE(CTFSignFile(user_, cert_, in.c_str(), F("in.sig").c_str(), &detached, 0, nullptr, &st)) << st;
    EXPECT_EQ(certtest::ReadFile(F("in.sig")), std::string(detached.view()));
    Decoded d = Decode(detached);
    const CCTFMessageSignerInfo& si = d.signers.front().m_signerInfo;
    EXPECT_EQ(AttributeTypes(si),
              (std::vector<std::string>{kOidContentTypeAttr, kOidSigningTimeAttr, kOidMessageDigestAttr}));
    EXPECT_EQ(DigestAttribute(si), Hash(user_.GetProvider(), text));

    // A detached signature over its own data, even by another name, is
    // refused and the data stays.
    const std::string alias = home_.path() + "/./in.txt";
    EXPECT_FALSE(CTFSignFile(user_, cert_, in.c_str(), alias.c_str(), nullptr, 0, nullptr, &st));
    EXPECT_EQ(st, TOOERR_BADARG);
    EXPECT_EQ(certtest::ReadFile(in), text);

    // Attached over the input, then a second signer over the same file: the content is
    // carried once. Progress counts the content read for the hash and again for the copy.
    using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    Calls calls;
    CTFSetSignProgress(
        [](std::uint64_t done, std::uint64_t total, void* c) { static_cast<Calls*>(c)->emplace_back(done, total); },
        &calls);
    const bool attached =
        CTFSignFile(user_, cert_, in.c_str(), in.c_str(), nullptr, kSignPreviousContent, nullptr, &st);
    CTFSetSignProgress(nullptr, nullptr);
    ASSERT_TRUE(attached) << st;
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{2 * text.size()}, std::uint64_t{2 * text.size()}));
    EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
    const std::string link = F("link.p7");
    std::filesystem::create_hard_link(in, link);
    ASSERT_TRUE(
        CTFSignFile(user_, cert_, link.c_str(), in.c_str(), nullptr, kSignPreviousContent | kSignByKeyId, nullptr, &st))
        << st;
    d = Decode(IdentObj(certtest::ReadFile(in)));
    EXPECT_EQ(std::string(d.data.m_content.GetParameters().view()), text);
    ASSERT_EQ(d.signers.size(), 2u);
    EXPECT_EQ(d.data.m_certificates.size(), 1u);
    for (const auto& w : d.signers) EXPECT_EQ(DigestAttribute(w.m_signerInfo), Hash(user_.GetProvider(), text));

    // A failure leaves the output as it was.
    const std::string signedBytes = certtest::ReadFile(in);
    const auto expired = EditedCert([](CCTFCertInfo& i) { i.m_notAfter = asn::MakeFileTime(2021, 1, 1, 0, 0, 0); });
    EXPECT_FALSE(CTFSignFile(user_, expired, in.c_str(), in.c_str(), nullptr, kSignPreviousContent, nullptr, &st));
    EXPECT_EQ(st, 203);
    EXPECT_FALSE(CTFSignFile(user_, cert_, in.c_str(), in.c_str(), nullptr, kSignPreviousContent | kSignCheckPrevious,
                             nullptr, &st));
    EXPECT_EQ(st, TOOERR_EXISTS);
    EXPECT_EQ(certtest::ReadFile(in), signedBytes);
}

TEST_F(Signing, TrustListNeedsAnAuthorityAndSignsWith3411_94) {
    CCTFSignData list;
    list.m_certificates = {cert_.GetEncoded(), IdentObj("\x30\x00", 2)};
    CCTFProvider provider;
    int st = -1;
    ASSERT_TRUE(provider.Init("signer", nullptr, VRK_PROV_TYPE_GOST_2012_256, 0, &st)) << st;
    ASSERT_TRUE(provider.SetPassword("pw"));
    try {
        CTFSignTrustList(provider, AT_SIGNATURE, cert_, list);
        ADD_FAILURE() << "a certificate that is no authority signed a trust list";
    } catch (const XTOOStatus& e) {
        EXPECT_EQ(e.Status(), 106);
    }

    // A 2012 authority hashes with 34.11-94 too; there is no row for that
    // pair, so the signature OID is its key's. The 2001 row: interop.
    const auto authority = EditedCert([](CCTFCertInfo& i) { SetExtension(i, "2.5.29.19", "30030101FF"); });
    CTFSignTrustList(provider, AT_SIGNATURE, authority, list);
    ASSERT_EQ(list.m_signerInfos.size(), 1u);
    EXPECT_EQ(list.m_certificates.size(), 2u);  // the list is the content: no signer added
    CCTFMessageSignerInfo si;
    ASSERT_NE(si.ReadData(list.m_signerInfos.front().data(), list.m_signerInfos.front().size(), &st), 0u);
    EXPECT_EQ(si.m_signatureAlgorithm.GetOID(), cert::oids::kGostR3410_2012_256);
    ASSERT_EQ(si.m_signedAttributes.m_sets.size(), 3u);
    asn::Writer type;
    type.Oid("1.3.6.1.4.1.40321.2.3.1");
    EXPECT_EQ(si.m_signedAttributes.m_sets.front().m_values.front(), type.Take());
    const std::string all = std::string(cert_.GetEncoded().view()) + std::string("\x30\x00", 2);
    EXPECT_EQ(DigestAttribute(si), Hash(provider.GetProviderHandle(), all, CALG_GOST_R3411_94));
}

}  // namespace
