// A CRL context's index by serial answers as a walk of the entries would
// (the first of duplicate serials, serials that differ only in a sign byte
// or length), is built once and shared by copies, and holds up to lookups
// from several threads on a fresh context.
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cert/tootime.h"

namespace {

TEST(CrlContextIndex, MatchesALinearWalkAndIsShared) {
    std::mt19937 rng(7);
    CCTF_CRL_List crl;
    crl.m_info.m_issuer = CCTFX509Name("CN=Index");
    crl.m_info.m_signatureAlgorithm = CCTFAlgorithmIdentifier("1.2.643.7.1.1.3.2");
    crl.m_signatureAlgorithm = crl.m_info.m_signatureAlgorithm;
    crl.m_info.m_thisUpdate = CTOOFileTime::FromUnix(1800000000).GetFileTime();
    crl.m_signature = CTOOCryptBitBlob(IdentObj(std::string(64, '\x11')));
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

}  // namespace
