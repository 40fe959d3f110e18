#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

#include "cert/convert.h"
#include "cert/url.h"
#include "testsupport.h"

TEST(Serial, ReversedHexAndBack) {
    const BYTE lsbFirst[] = {0x01, 0x02, 0x03};
    IdentObj serial(lsbFirst, 3);
    EXPECT_EQ(Serial2TOOStr(serial, true).str(), TOOBin2HexStr("\x03\x02\x01", 3, true));
    EXPECT_TRUE(Serial2TOOStr(IdentObj(), true).IsEmpty());

    for (bool separated : {false, true}) {
        IdentObj back;
        ASSERT_TRUE(TOOStr2Serial(Serial2TOOStr(serial, separated), back));
        EXPECT_EQ(back, serial);
    }
    IdentObj back("stale", 5);
    EXPECT_FALSE(TOOStr2Serial("", back));
    EXPECT_TRUE(back.IsEmpty());
}

TEST(Base64Blob, ArmouredBlocksInARowAndBareText) {
    auto blob = [](const std::string& s) { return IdentObj(s); };
    const std::string a = "first body", b = std::string("\x00\xFF second", 9);
    const std::string pem = "-----BEGIN CERTIFICATE-----\r\n" + TOO::Base64Encode(a.data(), a.size(), 4) +
                            "\r\n-----END CERTIFICATE-----\r\n-----BEGIN X509 CRL-----\n" +
                            TOO::Base64Encode(b.data(), b.size(), 0) + "\n-----END X509 CRL-----\n";
    IdentObj out("pre", 3);
    EXPECT_EQ(CTFB64BlobToBinary(blob(pem), out), pem.size());
    EXPECT_EQ(std::string(out.view()), "pre" + a + b);

    const std::string bare = TOO::Base64Encode(a.data(), a.size(), 5);
    ASSERT_NE(bare.find('\n'), std::string::npos);
    IdentObj o2;
    EXPECT_EQ(CTFB64BlobToBinary(blob(bare + std::string(1, '\0')), o2), bare.size() + 1);
    EXPECT_EQ(std::string(o2.view()), a);

    // A body that does not decode fails the whole call, even after a good
    // one; markers with nothing between them decode to nothing.
    IdentObj o3("keep", 4);
    EXPECT_EQ(CTFB64BlobToBinary(IdentObj(), o3), 0u);
    EXPECT_EQ(CTFB64BlobToBinary(blob(pem + "-----BEGIN X-----\n!!!!\n-----END X-----"), o3), 0u);
    EXPECT_EQ(CTFB64BlobToBinary(blob("----------"), o3), 10u);
    EXPECT_EQ(std::string(o3.view()), "keep");
}

TEST(Months, FixedTableAndCarry) {
    auto add = [](WORD y, WORD m, WORD d, unsigned short months) {
        SYSTEMTIME t{y, m, 3, d, 23, 59, 58, 999};
        AddMonthToTime(&t, months);
        EXPECT_EQ(t.wMilliseconds, 999);
        return std::tuple<int, int, int>(t.wYear, t.wMonth, t.wDay);
    };
    EXPECT_EQ(add(2024, 1, 31, 1), std::make_tuple(2024, 2, 28));  // a leap year still has 28
    EXPECT_EQ(add(2025, 12, 15, 1), std::make_tuple(2026, 1, 15));
    EXPECT_EQ(add(2025, 4, 31, 0), std::make_tuple(2025, 4, 30));  // only the clamp
    EXPECT_EQ(add(2025, 11, 30, 14), std::make_tuple(2027, 1, 30));
    EXPECT_EQ(add(2025, 8, 31, 1), std::make_tuple(2025, 9, 30));
    AddMonthToTime(nullptr, 1);
}

TEST(Urls, CanonicalFormsCompareAndUnescape) {
    auto canon = [](const std::u16string& u) {
        char16_t buf[2085];
        DWORD len = 2085;
        EXPECT_EQ(UrlCanonicalizeW(u.c_str(), buf, &len, 0), static_cast<HRESULT>(S_OK));
        std::u16string r(buf);
        EXPECT_EQ(len, r.size());
        return r;
    };
    EXPECT_EQ(canon(u"HTTP://CA.Example.RU:80/a/./b/../crl list.crl"), u"http://ca.example.ru:80/a/crl%20list.crl");
    EXPECT_EQ(canon(u"http://host\\pki\\ca.crl?Q=A B"), u"http://host/pki/ca.crl?Q=A%20B");
    EXPECT_EQ(canon(u"ldap://User@DC.Local/CN=ca,O=x?certificateRevocationList"),
              u"ldap://User@dc.local/CN=ca,O=x?certificateRevocationList");
    EXPECT_EQ(canon(u"http://h/a/b/.."), u"http://h/a/");
    EXPECT_EQ(canon(u"c:\\dir\\file name"), u"c:\\dir\\file%20name");

    char16_t small[8];
    DWORD len = 8;
    EXPECT_EQ(UrlCanonicalizeW(u"http://long.example/", small, &len, 0), static_cast<HRESULT>(E_POINTER));
    EXPECT_EQ(len, 21u);

    EXPECT_EQ(UrlCompareW(u"http://h/a/", u"http://h/a", TRUE), 0);
    EXPECT_NE(UrlCompareW(u"http://h/a/", u"http://h/a", FALSE), 0);
    EXPECT_NE(UrlCompareW(u"http://h/A", u"http://h/a", TRUE), 0);

    using CertDll::IsIdenticalUrl;
    // The texts themselves are compared; canonical forms only have to exist.
    EXPECT_TRUE(IsIdenticalUrl(u"http://host/pki/ca.crl", u"http://host/pki/ca.crl/"));
    EXPECT_FALSE(IsIdenticalUrl(u"HTTP://Host/pki/x/../ca.crl", u"http://host/pki/ca.crl"));
    EXPECT_FALSE(IsIdenticalUrl(u"http://host/CA.crl", u"http://host/ca.crl"));
    EXPECT_FALSE(
        IsIdenticalUrl(u"http://host/" + std::u16string(2100, u'a'), u"http://host/" + std::u16string(2100, u'a')));

    char url[] = "ldap:///CN=a%20b,O=%D0%A2?x%20y";
    char out[64];
    DWORD n = sizeof out;
    EXPECT_EQ(UrlUnescapeA(url, out, &n, 0), static_cast<HRESULT>(S_OK));
    EXPECT_STREQ(out, "ldap:///CN=a b,O=Т?x y");
    EXPECT_EQ(n, std::strlen(out));
    n = sizeof out;
    EXPECT_EQ(UrlUnescapeA(url, out, &n, URL_DONT_UNESCAPE_EXTRA_INFO), static_cast<HRESULT>(S_OK));
    EXPECT_STREQ(out, "ldap:///CN=a b,O=Т?x%20y");
    n = 4;
    EXPECT_EQ(UrlUnescapeA(url, out, &n, 0), static_cast<HRESULT>(E_POINTER));
    EXPECT_EQ(n, std::strlen("ldap:///CN=a b,O=Т?x y") + 1);
    char bad[] = "100%zz%4";
    EXPECT_EQ(UrlUnescapeA(bad, nullptr, nullptr, URL_UNESCAPE_INPLACE), static_cast<HRESULT>(S_OK));
    EXPECT_STREQ(bad, "100%zz%4");
}
