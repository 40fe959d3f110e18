#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cert/oids.h"
#include "cert/tootime.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

IdentObj Serial(std::initializer_list<BYTE> bytes) { return IdentObj(std::data(bytes), DWORD(bytes.size())); }

FILETIME At(ULONGLONG seconds) { return CTOOFileTime::FromUnix(std::int64_t(seconds)).GetFileTime(); }

DWORD Le32(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

class CrlModel : public certtest::HomeTest {
protected:
    // A GOST 2012-256 CA of the tool's making, its key opened here.
    void MakeCa(const std::string& alg = "gost12-256") {
        const std::string home = "--home " + Sh(home_.path()) + " ";
        ASSERT_EQ(certtest::Ctf(home + "key new --container ca --alg " + alg + " --no-password").exitCode, 0);
        const std::string der = home_ / "ca.der";
        auto r = certtest::Ctf(home + "cert new --container ca --no-password --subject " + Sh("CN=Центр CRL, C=RU") +
                               " --ca --out " + Sh(der));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ca_ = CCTFCertContext(IdentObj(certtest::ReadFile(der)));
        ASSERT_TRUE(ca_.IsInitialized());
        ASSERT_TRUE(VRKAcquireContext(&prov_, "ca", nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT)) << GetLastError();
        ASSERT_TRUE(VRKGetUserKey(prov_, AT_SIGNATURE, &key_));
    }

    CCTFCertContext ca_;
    VRKSCApi::CryptProvider prov_;
    VRKSCApi::CryptKey key_;
};

TEST(CrlEntries, AddEntryReplacesOnlyWhatDiffers) {
    CCTF_CRL_Info info;
    const FILETIME t = At(1800000000);
    info.AddEntry(Serial({1, 2}), 1, &t);
    info.AddEntry(Serial({3, 4}), 0, &t);
    info.AddEntry(Serial({1, 2}), 1, &t);  // the same: kept where it was
    ASSERT_EQ(info.m_entries.size(), 2u);
    EXPECT_EQ(info.m_entries.front().m_serialNumber, Serial({1, 2}));
    EXPECT_TRUE(info.m_entries.back().m_extensions.empty());  // reason 0 is no extension
    info.AddEntry(Serial({1, 2}), 4, &t);                     // another reason: moves to the end
    ASSERT_EQ(info.m_entries.size(), 2u);
    EXPECT_EQ(info.m_entries.back().m_serialNumber, Serial({1, 2}));
    EXPECT_EQ(info.m_entries.back().GetReasonCode(), 4u);

    CCTFCertInfo noSerial;
    EXPECT_EQ(info.AddCertToList(noSerial, 1, nullptr), TOOERR_BADARG);
    EXPECT_FALSE(info.GetIsUpdate());
    noSerial.m_serialNumber = Serial({9});
    EXPECT_EQ(info.AddCertToList(noSerial, 1, nullptr), 0);
    EXPECT_TRUE(info.GetIsUpdate());
}

// The index answers as a walk of the list would, whatever the order of adds,
// erases, duplicate serials from a decoded list and edits behind its back.
TEST(CrlEntries, IndexMatchesLinearScan) {
    std::mt19937 rng(13);
    CCTF_CRL_Info info;
    const FILETIME t = At(1800000000);
    auto linear = [&](const IdentObj& s) -> const CCTF_CRL_Entry* {
        for (const auto& e : info.m_entries)
            if (e.m_serialNumber == s) return &e;
        return nullptr;
    };
    for (int i = 0; i < 4000; ++i) {
        const IdentObj s = Serial({BYTE(rng() % 40), BYTE(rng() % 8)});
        switch (rng() % 5) {
            case 0:
            case 1:
                info.AddEntry(s, rng() % 3, &t);
                break;
            case 2:
                EXPECT_EQ(info.m_entries.EraseElement(s), linear(s) != nullptr);
                break;
            case 3: {  // a duplicate appended directly, as a decoded CRL may hold
                CCTF_CRL_Entry e;
                e.m_serialNumber = s;
                info.m_entries.push_back(e);
                break;
            }
            default:  // behind the index's back, the size kept or not
                if (!info.m_entries.empty() && rng() % 2 == 0) info.m_entries.pop_front();
                if (rng() % 2 == 0) {
                    CCTF_CRL_Entry e;
                    e.m_serialNumber = s;
                    info.m_entries.push_back(e);
                }
        }
        const IdentObj probe = Serial({BYTE(rng() % 40), BYTE(rng() % 8)});
        ASSERT_EQ(info.m_entries.Find(probe), linear(probe)) << i;
        CCTF_CRL_Entry out;
        out.m_serialNumber = Serial({7});
        EXPECT_EQ(info.m_entries.FindElement(probe, out), linear(probe) != nullptr);
        if (!linear(probe)) {
            EXPECT_TRUE(out.m_serialNumber.IsEmpty());
        }
    }
    // Copies carry entries, not the other list's index.
    const CCTF_CRL_EntryList copy = info.m_entries;
    for (const auto& e : info.m_entries) EXPECT_NE(copy.Find(e.m_serialNumber), &e);
}

TEST(CrlEntries, OldEntriesGoThroughTheSearchHook) {
    CCTF_CRL_List crl;
    const FILETIME t = At(1800000000);
    crl.m_info.AddEntry(Serial({0}), 0, &t);
    crl.CheckAndRemoveOld();
    EXPECT_EQ(crl.m_info.m_entries.size(), 1u);  // the placeholder alone stays
    crl.m_info.AddEntry(Serial({5, 5}), 0, &t);
    crl.m_info.AddEntry(Serial({6, 6}), 0, &t);
    crl.CheckAndRemoveOld();  // no search: nothing expires, the placeholder goes
    ASSERT_EQ(crl.m_info.m_entries.size(), 2u);
    EXPECT_EQ(crl.m_info.m_entries.front().m_serialNumber, Serial({5, 5}));
    // Every certificate found has expired: the last entry still stays.
    static CCTFCertContext expired;
    expired = CCTFCertContext(IdentObj(
        certtest::ReadFile(std::string(CERT_SOURCE_DIR) + "/tests/fuzz/corpus/model_cert/ctf_gost2001_ca.der")));
    if (!expired.IsInitialized()) GTEST_SKIP() << "no sample certificate";
    CertDll::SetCrlCertificateSearch([](const IdentObj&, DWORD flags, CCTFCertContext& found) {
        found = expired;
        return flags == 0x20000020;  // found by the second search
    });
    const bool old = CTOOFileTime(expired.GetContext()->pCertInfo->NotAfter) < CTOOFileTime::now();
    crl.CheckAndRemoveOld();
    CertDll::SetCrlCertificateSearch(nullptr);
    EXPECT_EQ(crl.m_info.m_entries.size(), old ? 1u : 2u);
}

TEST(CrlNumber, SetSerialIsVerbatimAndGetSerialReadsIt) {
    CCTF_CRL_List crl;
    BYTE number[16];
    std::memset(number, 0xFF, sizeof number);  // no minimal DER: kept as it is
    crl.SetSerial(number, sizeof number);
    EXPECT_EQ(crl.GetSerial(), IdentObj(number, 16));
    EXPECT_EQ(crl.m_info.m_extensions.front().m_value.size(), 18u);
    crl.m_info.m_changed = false;
    crl.SetSerial(number, sizeof number);  // unchanged
    EXPECT_FALSE(crl.m_info.GetIsUpdate());
    // Not an INTEGER: the raw value.
    crl.m_info.m_extensions.front().m_value = Serial({4, 1, 7});
    EXPECT_EQ(crl.GetSerial(), Serial({4, 1, 7}));
}

TEST(CrlSigning, ErrorRows) {
    CCTF_CRL_List crl;
    CCTFCertContext none;
    int error = 0;
    CTOOString place;
    EXPECT_EQ(crl.SignList(0, 0, none, 0xFFFF, &error, &place), 0);
    EXPECT_EQ(error, TOOERR_BADFORMAT);
    EXPECT_EQ(crl.CheckSign(none, &error, &place), 0);
    EXPECT_EQ(error, TOOERR_BADARG);
    EXPECT_THROW(crl.CheckSign(none, nullptr, nullptr), XTOOStatus);
}

TEST_F(CrlModel, SignedTwiceCountsAndChecks) {
    MakeCa();
    CCTF_CRL_List crl;
    const FILETIME t = At(1800000000);
    crl.m_info.AddEntry(Serial({0x80, 0x00}), 1, &t);  // sign byte kept
    int error = -1;
    CTOOString place;
    ASSERT_EQ(crl.SignList(prov_, key_, ca_, 0xFFFF, &error, &place), 1) << error << " " << place.c_str();
    IdentObj number = crl.GetSerial();
    ASSERT_EQ(number.size(), 16u);
    EXPECT_EQ(Le32(number.data()), 0xFFFFFFFFu);
    EXPECT_EQ(Le32(number.data() + 4), 0u);
    EXPECT_EQ(std::memcmp(number.data() + 8, &crl.m_info.m_thisUpdate, 8), 0);

    // Read back: the bytes, the number's seed and the signature hold.
    const IdentObj der = crl.GetEncodetObject();
    CCTF_CRL_List back;
    ASSERT_EQ(back.ReadData(der.data(), der.size()), der.size());
    EXPECT_EQ(back.m_info, crl.m_info);
    EXPECT_EQ(back.CheckSign(ca_, &error, &place), 1);
    // The platform's context reads the same number (FF FF..., not minimal).
    CCTFCRLContext context;
    ASSERT_TRUE(context.CreateCRLContext(der));
    EXPECT_EQ(context.GetSerialNumber(), number);

    // Signed again with the times cleared: the counter goes on, the list stays.
    back.m_info.m_thisUpdate = back.m_info.m_nextUpdate = FILETIME{0, 0};
    ASSERT_EQ(back.SignList(prov_, key_, ca_, 0xFFFF, &error, &place), 1);
    number = back.GetSerial();
    EXPECT_EQ(Le32(number.data() + 4), 1u);
    EXPECT_EQ(back.m_info.m_extensions.size(), 2u);  // the number and the authority key id only

    // An altered entry no longer verifies.
    back.m_info.m_entries.front().m_revocationDate = At(1800000001);
    EXPECT_EQ(back.CheckSign(ca_, &error, &place), 0);
    EXPECT_EQ(error, TOOERR_BADSIGN);
    // Garbage is refused with the decoder's place, the object unchanged.
    EXPECT_EQ(back.ReadData("\x30\x03\x02\x01\x01", 5), 0u);
    EXPECT_THROW(back.DecodeObject(Serial({0x30, 0x00})), XTOOStatus);
    EXPECT_EQ(Le32(back.GetSerial().data() + 4), 1u);
}

TEST_F(CrlModel, SignCrlListPutsIssuerAndSerialOnRequest) {
    MakeCa("gost12-512");
    CCTF_CRL_List crl;
    int error = 0;
    CTOOString place;
    ASSERT_EQ(crl.SignCrlList(prov_, key_, ca_, 0x3, &error, &place), 1) << error;
    EXPECT_EQ(crl.m_signatureAlgorithm.GetOID().str(), "1.2.643.7.1.1.3.3");
    const CCTFIssuerPublicKeyID id(*crl.m_info.m_extensions.Find(cert::oids::kAuthorityKeyIdentifier));
    IdentObj serial;
    ASSERT_TRUE(ca_.GetSubjectSerialNumber(serial));
    EXPECT_EQ(id.GetSerialNumber(), serial);
    EXPECT_EQ(crl.CheckSign(ca_, &error, &place), 1) << error;
}

}  // namespace
