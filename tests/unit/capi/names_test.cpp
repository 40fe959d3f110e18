// Names and name values: how each string type is held, multi-valued RDNs,
// and their text through CertRDNValueToStrA/W.
#include "capi_test_util.h"

namespace {

using namespace capitest;

// CN=Жук (UTF8String); O=Ab (BMPString); C=RU (Printable) + E=a@b (IA5) in
// one RDN; INN=0123 (Numeric); postalAddress=SEQUENCE{ab, cd}; L=A
// (UniversalString).
const std::string kMixed =
    "30 75 31 0F 30 0D 06 03 55 04 03 0C 06 D0 96 D1 83 D0 BA 31 0D 30 0B 06 03 55 04 0A 1E 04 00 41 00 62"
    " 31 1D 30 09 06 03 55 04 06 13 02 52 55 30 10 06 09 2A 86 48 86 F7 0D 01 09 01 16 03 61 40 62"
    " 31 12 30 10 06 08 2A 85 03 03 81 03 01 01 12 04 30 31 32 33"
    " 31 11 30 0F 06 03 55 04 10 30 08 0C 02 61 62 0C 02 63 64 31 0D 30 0B 06 03 55 04 07 1C 04 00 00 00 41";

std::string TextA(const CERT_RDN_ATTR& a) {
    char buf[256];
    DWORD n = CertRDNValueToStrA(a.dwValueType, &a.Value, buf, sizeof buf);
    EXPECT_EQ(n, CertRDNValueToStrA(a.dwValueType, &a.Value, nullptr, 0));
    return std::string(buf, n - 1);
}

TEST(CapiNames, EachStringTypeIsHeldAsWindowsHoldsIt) {
    const std::string der = Bin(kMixed);
    ExpectRoundTrip(X509_NAME, der);
    auto d = Decode(X509_NAME, der);
    ASSERT_TRUE(d);
    const CERT_NAME_INFO& name = d->As<CERT_NAME_INFO>();
    ASSERT_EQ(name.cRDN, 6u);
    const CERT_RDN_ATTR& cn = name.rgRDN[0].rgRDNAttr[0];
    EXPECT_STREQ(cn.pszObjId, "2.5.4.3");
    EXPECT_EQ(cn.dwValueType, CERT_RDN_UTF8_STRING);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(cn.Value.pbData), cn.Value.cbData / 2), u"Жук");
    EXPECT_EQ(TextA(cn), "Жук");
    EXPECT_EQ(name.rgRDN[1].rgRDNAttr[0].dwValueType, CERT_RDN_BMP_STRING);
    EXPECT_EQ(TextA(name.rgRDN[1].rgRDNAttr[0]), "Ab");
    ASSERT_EQ(name.rgRDN[2].cRDNAttr, 2u);
    EXPECT_EQ(name.rgRDN[2].rgRDNAttr[0].dwValueType, CERT_RDN_PRINTABLE_STRING);
    EXPECT_EQ(Bytes(name.rgRDN[2].rgRDNAttr[1].Value), "a@b");
    EXPECT_EQ(name.rgRDN[2].rgRDNAttr[1].dwValueType, CERT_RDN_IA5_STRING);
    EXPECT_EQ(name.rgRDN[3].rgRDNAttr[0].dwValueType, CERT_RDN_NUMERIC_STRING);
    const CERT_RDN_ATTR& postal = name.rgRDN[4].rgRDNAttr[0];
    EXPECT_EQ(postal.dwValueType, CERT_RDN_ENCODED_BLOB);
    EXPECT_EQ(TextA(postal), "#30080C0261620C026364");
    EXPECT_EQ(name.rgRDN[5].rgRDNAttr[0].dwValueType, CERT_RDN_UNIVERSAL_STRING);
    EXPECT_EQ(TextA(name.rgRDN[5].rgRDNAttr[0]), "A");

    // A multi-valued RDN given out of order is written in DER order.
    CERT_RDN_ATTR swapped[2] = {name.rgRDN[2].rgRDNAttr[1], name.rgRDN[2].rgRDNAttr[0]};
    CERT_RDN rdns[6];
    std::copy(name.rgRDN, name.rgRDN + 6, rdns);
    rdns[2].rgRDNAttr = swapped;
    CERT_NAME_INFO reordered{6, rdns};
    EXPECT_EQ(Hex(*Encode(X509_NAME, &reordered)), Hex(der));

    auto bmp = Decode(X509_NAME_VALUE, Bin("1E 04 00 41 00 62"));
    ASSERT_TRUE(bmp);
    EXPECT_EQ(bmp->As<CERT_NAME_VALUE>().dwValueType, CERT_RDN_BMP_STRING);
    EXPECT_EQ(Hex(Bytes(bmp->As<CERT_NAME_VALUE>().Value)), "41 00 62 00");

    const char16_t lone[] = {u'a', 0xD800};
    CERT_NAME_VALUE broken{CERT_RDN_UTF8_STRING, {4, (BYTE*)lone}};
    EXPECT_FALSE(Encode(X509_NAME_VALUE, &broken));
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_X500_STRING);
}

TEST(CapiNames, ValueTextFitsTheBufferWholeCharactersOnly) {
    const std::u16string zhuk = u"Жук", clef = u"\U0001D11Ex";
    CERT_RDN_VALUE_BLOB z{6, (BYTE*)zhuk.data()}, c{6, (BYTE*)clef.data()};
    char a[8];
    EXPECT_EQ(CertRDNValueToStrA(CERT_RDN_UTF8_STRING, &z, nullptr, 0), 7u);
    EXPECT_EQ(CertRDNValueToStrA(CERT_RDN_UTF8_STRING, &z, a, 4), 3u);  // "Ж", not one byte of "у"
    EXPECT_STREQ(a, "Ж");
    EXPECT_EQ(CertRDNValueToStrA(CERT_RDN_UTF8_STRING, &z, a, 1), 1u);
    EXPECT_STREQ(a, "");
    char16_t w[8];
    EXPECT_EQ(CertRDNValueToStrW(CERT_RDN_BMP_STRING, &c, nullptr, 0), 4u);
    EXPECT_EQ(CertRDNValueToStrW(CERT_RDN_BMP_STRING, &c, w, 2), 1u);  // the pair does not fit
    EXPECT_EQ(CertRDNValueToStrW(CERT_RDN_BMP_STRING, &c, w, 3), 3u);
    EXPECT_EQ(std::u16string(w), u"\U0001D11E");
    EXPECT_EQ(CertRDNValueToStrA(CERT_RDN_BMP_STRING, &c, a, sizeof a), 6u);
    EXPECT_STREQ(a, "\U0001D11Ex");

    BYTE octets[] = {1, 2};
    CERT_RDN_VALUE_BLOB o{2, octets};
    EXPECT_EQ(CertRDNValueToStrA(CERT_RDN_OCTET_STRING, &o, a, sizeof a), 8u);  // 9 characters: cut to 7
    char big[32];
    CertRDNValueToStrA(CERT_RDN_OCTET_STRING, &o, big, sizeof big);
    EXPECT_STREQ(big, "#04020102");
    EXPECT_EQ(CertRDNValueToStrA(99, &o, big, sizeof big), 1u);
    EXPECT_EQ(CertRDNValueToStrW(CERT_RDN_UTF8_STRING, nullptr, w, 8), 1u);
}

}  // namespace
