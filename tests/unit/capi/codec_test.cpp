// CryptEncodeObject / CryptDecodeObject on hand-made DER: the size
// protocol, byte orders, the encoding rules and malformed input.
#include <cstring>

#include "capi_test_util.h"
#include "cert/asn.h"

namespace {

using namespace capitest;

// Name: CN=test (UTF8String).
const std::string kName = "30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 74 65 73 74";
const std::string kEku = "30 14 06 08 2B 06 01 05 05 07 03 01 06 08 2B 06 01 05 05 07 03 02";

TEST(CapiCodec, SizeProtocolAndOneSelfContainedBlob) {
    const std::string der = Bin(kEku);
    auto* in = reinterpret_cast<const BYTE*>(der.data());
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObject(CAPI_ENCODING, X509_ENHANCED_KEY_USAGE, in, DWORD(der.size()), 0, nullptr, &size));

    std::vector<std::uint64_t> buf(size / 8 + 2, 0xAAAAAAAAAAAAAAAAull);
    DWORD shortBy1 = size - 1;
    SetLastError(0);
    EXPECT_FALSE(
        CryptDecodeObject(CAPI_ENCODING, X509_ENHANCED_KEY_USAGE, in, DWORD(der.size()), 0, buf.data(), &shortBy1));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(shortBy1, size);
    EXPECT_EQ(buf[0], 0xAAAAAAAAAAAAAAAAull);

    DWORD misaligned = size;
    EXPECT_FALSE(CryptDecodeObject(CAPI_ENCODING, X509_ENHANCED_KEY_USAGE, in, DWORD(der.size()), 0,
                                   reinterpret_cast<char*>(buf.data()) + 1, &misaligned));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
    EXPECT_FALSE(CryptDecodeObject(CAPI_ENCODING, X509_ENHANCED_KEY_USAGE, in, DWORD(der.size()), 0, nullptr, nullptr));

    DWORD roomy = size + 16;
    ASSERT_TRUE(
        CryptDecodeObject(CAPI_ENCODING, X509_ENHANCED_KEY_USAGE, in, DWORD(der.size()), 0, buf.data(), &roomy));
    EXPECT_EQ(roomy, size);
    const auto& eku = *reinterpret_cast<const CERT_ENHKEY_USAGE*>(buf.data());
    ASSERT_EQ(eku.cUsageIdentifier, 2u);
    auto inside = [&](const void* p) {
        auto* b = reinterpret_cast<const char*>(buf.data());
        return static_cast<const char*>(p) >= b && static_cast<const char*>(p) < b + size;
    };
    EXPECT_TRUE(inside(eku.rgpszUsageIdentifier));
    EXPECT_TRUE(inside(eku.rgpszUsageIdentifier[1]));
    EXPECT_STREQ(eku.rgpszUsageIdentifier[1], "1.3.6.1.5.5.7.3.2");

    // Encoding: the same protocol.
    DWORD need = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, &eku, nullptr, &need));
    EXPECT_EQ(need, der.size());
    std::string out(need, '\x55');
    DWORD small = need - 1;
    EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, &eku, (BYTE*)out.data(), &small));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(small, need);
    EXPECT_EQ(out, std::string(need, '\x55'));
}

TEST(CapiCodec, StructTypeIsNumberOrOid) {
    const std::string ku = Bin("03 02 05 A0");
    auto byNumber = Decode(X509_KEY_USAGE, ku);
    auto byOid = Decode("2.5.29.15", ku);
    ASSERT_TRUE(byNumber && byOid);
    EXPECT_EQ(Bytes(byNumber->As<CRYPTOAPI_BLOB>()), Bytes(byOid->As<CRYPTOAPI_BLOB>()));
    EXPECT_EQ(byOid->As<CRYPT_BIT_BLOB>().cUnusedBits, 5u);

    DWORD size = 0;
    auto* p = reinterpret_cast<const BYTE*>(ku.data());
    for (LPCSTR unknown : {reinterpret_cast<LPCSTR>(std::uintptr_t{99}), static_cast<LPCSTR>("1.2.3"), LPCSTR()}) {
        EXPECT_FALSE(CryptDecodeObject(CAPI_ENCODING, unknown, p, 4, 0, nullptr, &size));
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_FALSE(CryptDecodeObject(PKCS_7_ASN_ENCODING, X509_KEY_USAGE, p, 4, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CryptDecodeObject(CAPI_ENCODING, X509_KEY_USAGE, p, 4, 0x8000, nullptr, &size));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

// Serials and signatures are least significant byte first, reversed back
// exactly; a CRL number is no serial.
TEST(CapiCodec, SerialsAndSignaturesAreReversedExactly) {
    BYTE serial[] = {0x80, 0x00};
    BYTE key[] = {0x05, 0x00};
    std::string name = Bin(kName);
    CERT_INFO ci{};
    ci.dwVersion = CERT_V3;
    ci.SerialNumber = {2, serial};
    ci.SignatureAlgorithm.pszObjId = const_cast<char*>("1.2.840.113549.1.1.11");
    ci.Issuer = ci.Subject = {DWORD(name.size()), (BYTE*)name.data()};
    ci.NotBefore = asn::MakeFileTime(2024, 1, 2, 3, 4, 5);
    ci.NotAfter = asn::MakeFileTime(2060, 1, 2, 3, 4, 5);
    ci.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<char*>("1.2.840.113549.1.1.1");
    ci.SubjectPublicKeyInfo.PublicKey = {2, key, 0};
    auto tbs = Encode(X509_CERT_TO_BE_SIGNED, &ci);
    ASSERT_TRUE(tbs);
    EXPECT_NE(Hex(*tbs).find("A0 03 02 01 02 02 02 00 80 30"), std::string::npos) << Hex(*tbs);
    EXPECT_NE(Hex(*tbs).find("18 0F 32 30 36 30"), std::string::npos) << "2060 is GeneralizedTime";
    auto back = Decode(X509_CERT_TO_BE_SIGNED, *tbs);
    ASSERT_TRUE(back);
    EXPECT_EQ(Hex(Bytes(back->As<CERT_INFO>().SerialNumber)), "80 00");
    EXPECT_TRUE(back->Holds(back->As<CERT_INFO>().SerialNumber.pbData));

    // The signature of signed content; the flag keeps the encoded order.
    BYTE sigBytes[] = {1, 2, 3};
    CERT_SIGNED_CONTENT_INFO signedInfo{
        {DWORD(tbs->size()), (BYTE*)tbs->data()}, {const_cast<char*>("1.2.3.4"), {}}, {3, sigBytes, 0}};
    auto cert = Encode(X509_CERT, &signedInfo);
    ASSERT_TRUE(cert);
    EXPECT_EQ(Hex(cert->substr(cert->size() - 6)), "03 04 00 03 02 01");
    auto sc = Decode(X509_CERT, *cert);
    auto kept = Decode(X509_CERT, *cert, CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG);
    ASSERT_TRUE(sc && kept);
    EXPECT_EQ(Hex(Bytes(sc->As<CERT_SIGNED_CONTENT_INFO>().ToBeSigned)), Hex(*tbs));
    const auto& sig = sc->As<CERT_SIGNED_CONTENT_INFO>().Signature;
    EXPECT_EQ(Hex(Bytes({sig.cbData, sig.pbData})), "01 02 03");
    const auto& raw = kept->As<CERT_SIGNED_CONTENT_INFO>().Signature;
    EXPECT_EQ(Hex(Bytes({raw.cbData, raw.pbData})), "03 02 01");

    // Entries of a CRL, the authority key identifier; the CRL number not.
    const std::string crl = Bin("30 41 02 01 01 30 05 06 03 2A 03 04 " + kName +
                                " 17 0D 32 34 30 31 30 31 30 30 30 30 30 30 5A 30 15 30 13 02 02 00 80"
                                " 17 0D 32 34 30 31 30 31 30 30 30 30 30 30 5A");
    ExpectRoundTrip(X509_CERT_CRL_TO_BE_SIGNED, crl);
    auto entries = Decode(X509_CERT_CRL_TO_BE_SIGNED, crl);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->As<CRL_INFO>().cCRLEntry, 1u);
    EXPECT_EQ(Hex(Bytes(entries->As<CRL_INFO>().rgCRLEntry[0].SerialNumber)), "80 00");
    auto aki = Decode(X509_AUTHORITY_KEY_ID2, Bin("30 04 82 02 00 80"));
    ASSERT_TRUE(aki);
    EXPECT_EQ(Hex(Bytes(aki->As<CERT_AUTHORITY_KEY_ID2_INFO>().AuthorityCertSerialNumber)), "80 00");
    auto number = Decode(kCrlNumber, Bin("02 02 00 80"));
    ASSERT_TRUE(number);
    EXPECT_EQ(Hex(Bytes(number->As<CRYPT_INTEGER_BLOB>())), "00 80");
}

TEST(CapiCodec, EveryTypeRoundTrips) {
    const std::string n = kName;
    const struct {
        LPCSTR type;
        std::string der;
    } cases[] = {
        {X509_ENHANCED_KEY_USAGE, kEku},
        {X509_ENHANCED_KEY_USAGE, "30 00"},
        {X509_KEY_USAGE, "03 02 05 A0"},
        {X509_KEY_USAGE, "03 03 07 80 80"},
        {X509_BASIC_CONSTRAINTS2, "30 00"},
        {X509_BASIC_CONSTRAINTS2, "30 03 01 01 FF"},
        {X509_BASIC_CONSTRAINTS2, "30 06 01 01 FF 02 01 03"},
        {X509_BASIC_CONSTRAINTS, "30 1A 03 02 07 80 02 01 02 30 11 " + n},
        {X509_AUTHORITY_KEY_ID, "30 19 80 01 01 A1 11 " + n + " 82 01 05"},
        {X509_AUTHORITY_KEY_ID2, "30 1D 80 02 AB CD A1 13 A4 11 " + n + " 82 02 00 80"},
        // Other name, e-mail, DNS, IP address, registered id.
        {X509_AUTHORITY_KEY_ID2,
         "30 21 A1 1F A0 0A 06 03 2A 03 04 A0 03 0C 01 61 81 03 61 40 62 82 01 78 87 04 7F 00 00 01 88 03 2A 03 04"},
        {X509_CRL_DIST_POINTS,
         "30 2F 30 2D A0 12 A0 10 86 0E 68 74 74 70 3A 2F 2F 78 2F 63 2E 63 72 6C "
         "81 02 05 60 A2 13 A4 11 " +
             n},
        {X509_AUTHORITY_INFO_ACCESS,
         "30 3A 30 19 06 08 2B 06 01 05 05 07 30 01 86 0D 68 74 74 70 3A 2F 2F 78 2F "
         "6F 63 73 70 30 1D 06 08 2B 06 01 05 05 07 30 02 A4 11 " +
             n},
        {X509_OCTET_STRING, "04 03 01 02 03"},
        {X509_CRL_REASON_CODE, "0A 01 01"},
        {kCrlNumber, "02 02 01 02"},
        {"2.5.29.27", "02 01 07"},
        {X509_NAME, n},
        {X509_NAME_VALUE, "1E 04 00 41 00 62"},
        {X509_NAME_VALUE, "0C 02 D0 96"},
        {X509_NAME_VALUE, "30 03 02 01 05"},
        {X509_NAME_VALUE, "13 03 61 40 62"},  // '@', as met in the field
        {X509_PUBLIC_KEY_INFO, "30 0C 30 07 06 03 2A 03 04 05 00 03 01 00"},
    };
    for (const auto& c : cases) ExpectRoundTrip(c.type, Bin(c.der));

    auto cdp = Decode(X509_CRL_DIST_POINTS, Bin(cases[11].der));
    const CRL_DIST_POINT& dp = cdp->As<CRL_DIST_POINTS_INFO>().rgDistPoint[0];
    EXPECT_EQ(dp.DistPointName.FullName.rgAltEntry[0].dwAltNameChoice, CERT_ALT_NAME_URL);
    EXPECT_EQ(std::u16string(dp.DistPointName.FullName.rgAltEntry[0].pwszURL), u"http://x/c.crl");
    EXPECT_EQ(dp.CRLIssuer.rgAltEntry[0].dwAltNameChoice, CERT_ALT_NAME_DIRECTORY_NAME);
    EXPECT_EQ(Hex(Bytes(dp.CRLIssuer.rgAltEntry[0].DirectoryName)), Hex(Bin(n)));
    auto bc = Decode(X509_BASIC_CONSTRAINTS2, Bin(cases[6].der));
    EXPECT_EQ(bc->As<CERT_BASIC_CONSTRAINTS2_INFO>().fCA, TRUE);
    EXPECT_EQ(bc->As<CERT_BASIC_CONSTRAINTS2_INFO>().dwPathLenConstraint, 3u);
}

TEST(CapiCodec, EncodingRules) {
    BYTE bits[] = {0x86, 0x00};
    CRYPT_BIT_BLOB ku{2, bits, 0};
    EXPECT_EQ(Hex(*Encode(X509_KEY_USAGE, &ku)), "03 02 01 86");  // trailing zero bits dropped
    bits[0] = 0;
    EXPECT_EQ(Hex(*Encode(X509_KEY_USAGE, &ku)), "03 01 00");

    // Times: UTCTime for 1950..2049, whole seconds.
    BYTE serial[] = {1};
    CRL_ENTRY entries[2] = {};
    entries[0] = {{1, serial}, asn::MakeFileTime(2049, 12, 31, 23, 59, 59, 5000000), 0, nullptr};
    entries[1] = {{1, serial}, asn::MakeFileTime(2050, 1, 1, 0, 0, 0), 0, nullptr};
    CRL_INFO crl{};
    crl.SignatureAlgorithm.pszObjId = const_cast<char*>("1.2.3.4");
    crl.ThisUpdate = asn::MakeFileTime(1949, 12, 31, 23, 59, 59);
    crl.NextUpdate = asn::MakeFileTime(1950, 1, 1, 0, 0, 0);
    crl.cCRLEntry = 2;
    crl.rgCRLEntry = entries;
    std::string der = Hex(*Encode(X509_CERT_CRL_TO_BE_SIGNED, &crl));
    EXPECT_NE(der.find("30 00 18 0F 31 39 34 39 31 32 33 31 32 33 35 39 35 39 5A 17 0D 35 30 30 31 30 31"),
              std::string::npos)
        << der;
    EXPECT_NE(der.find("17 0D 34 39 31 32 33 31 32 33 35 39 35 39 5A 30 14 02 01 01 18 0F 32 30 35 30"),
              std::string::npos)
        << der;

    const std::u16string cyrillicUrl = u"http://пример/c.crl";
    CERT_ALT_NAME_ENTRY url{CERT_ALT_NAME_URL, {}};
    url.pwszURL = const_cast<char16_t*>(cyrillicUrl.c_str());
    CERT_AUTHORITY_INFO_ACCESS aia{1, nullptr};
    CERT_ACCESS_DESCRIPTION ad{const_cast<char*>("1.3.6.1.5.5.7.48.1"), url};
    aia.rgAccDescr = &ad;
    CERT_NAME_VALUE printable{CERT_RDN_PRINTABLE_STRING, {3, (BYTE*)"a\x01b"}};
    CERT_NAME_VALUE numeric{CERT_RDN_NUMERIC_STRING, {2, (BYTE*)"1a"}};
    CERT_NAME_VALUE oddBmp{CERT_RDN_BMP_STRING, {3, (BYTE*)"abc"}};
    CERT_ENHKEY_USAGE badOid{1, nullptr};
    LPSTR oid = const_cast<char*>("1.2.x");
    badOid.rgpszUsageIdentifier = &oid;
    CERT_ENHKEY_USAGE missing{1, nullptr};
    CRL_INFO far = crl;
    far.ThisUpdate = cert::platform::U64ToFileTime(~0ull >> 1);
    CERT_AUTHORITY_KEY_ID_INFO notName{};
    notName.CertIssuer = {4, (BYTE*)"\x31\x02\x05\x00"};
    CERT_ALT_NAME_ENTRY x400{CERT_ALT_NAME_X400_ADDRESS, {}};
    CERT_AUTHORITY_INFO_ACCESS aiaX400{1, &ad};
    const struct {
        LPCSTR type;
        const void* info;
        DWORD error;
    } bad[] = {
        {X509_AUTHORITY_INFO_ACCESS, &aia, CRYPT_E_INVALID_IA5_STRING},
        {X509_NAME_VALUE, &printable, CRYPT_E_INVALID_PRINTABLE_STRING},
        {X509_NAME_VALUE, &numeric, CRYPT_E_INVALID_NUMERIC_STRING},
        {X509_NAME_VALUE, &oddBmp, DWORD(E_INVALIDARG)},
        {X509_ENHANCED_KEY_USAGE, &badOid, CRYPT_E_OID_FORMAT},
        {X509_ENHANCED_KEY_USAGE, &missing, DWORD(E_INVALIDARG)},
        {X509_CERT_CRL_TO_BE_SIGNED, &far, CRYPT_E_BAD_ENCODE},
        {X509_AUTHORITY_KEY_ID, &notName, CRYPT_E_BAD_ENCODE},
    };
    for (const auto& b : bad) {
        DWORD size = 1234;
        EXPECT_FALSE(CryptEncodeObject(CAPI_ENCODING, b.type, b.info, nullptr, &size));
        EXPECT_EQ(GetLastError(), b.error) << std::hex << b.error;
        EXPECT_EQ(size, 1234u);
    }
    ad.AccessLocation = x400;
    EXPECT_FALSE(Encode(X509_AUTHORITY_INFO_ACCESS, &aiaX400));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

TEST(CapiCodec, MalformedInputFailsCleanly) {
    const struct {
        LPCSTR type;
        const char* der;
        DWORD error;
    } cases[] = {
        {X509_ENHANCED_KEY_USAGE, "", CRYPT_E_ASN1_EOD},
        {X509_ENHANCED_KEY_USAGE, "30 14 06 08 2B 06 01 05 05 07 03 01 06 08 2B 06", CRYPT_E_ASN1_EOD},
        {X509_ENHANCED_KEY_USAGE, "30 03 06 01 2B 00", CRYPT_E_ASN1_NOEOD},
        {X509_ENHANCED_KEY_USAGE, "31 03 06 01 2B", CRYPT_E_ASN1_BADTAG},
        {X509_ENHANCED_KEY_USAGE, "30 81 03 06 01 2B", CRYPT_E_ASN1_CORRUPT},  // length not minimal
        {X509_BASIC_CONSTRAINTS2, "30 03 01 01 01", CRYPT_E_ASN1_CORRUPT},     // BOOLEAN neither 00 nor FF
        {X509_BASIC_CONSTRAINTS2, "30 07 02 05 01 00 00 00 00", CRYPT_E_ASN1_LARGE},
        {X509_BASIC_CONSTRAINTS2, "30 03 02 01 FF", CRYPT_E_ASN1_CORRUPT},
        {X509_BASIC_CONSTRAINTS2, "30 03 02 01 01 02 01 01", CRYPT_E_ASN1_NOEOD},
        {X509_CRL_DIST_POINTS, "30 0F 30 0D A0 0B A1 09 30 07 06 03 55 04 03 05 00", CRYPT_E_ASN1_CHOICE},
        {X509_AUTHORITY_KEY_ID2, "30 04 A1 02 A3 00", CRYPT_E_ASN1_CHOICE},  // an X.400 address
        {X509_AUTHORITY_KEY_ID2, "30 04 A1 02 86 00 00", CRYPT_E_ASN1_NOEOD},
        {X509_AUTHORITY_KEY_ID2, "30 03 A1 01 86", CRYPT_E_ASN1_EOD},
        {X509_OCTET_STRING, "03 01 00", CRYPT_E_ASN1_BADTAG},
        {kCrlNumber, "02 02 00 01", CRYPT_E_ASN1_CORRUPT},  // INTEGER not minimal
        {X509_NAME, "30 00 00", CRYPT_E_ASN1_NOEOD},
        {X509_NAME, "30 0C 31 0A 30 08 06 03 55 04 06 13 01 7F", CRYPT_E_ASN1_CORRUPT},  // DEL not printable
        {X509_CERT_TO_BE_SIGNED, "30 03 02 01 01", CRYPT_E_ASN1_EOD},
        {X509_CERT, "30 06 30 00 30 00 03 00", CRYPT_E_ASN1_EOD},
    };
    for (const auto& c : cases) {
        const std::string der = Bin(c.der);
        std::vector<std::uint64_t> buf(64, 0x5A5A5A5A5A5A5A5Aull);
        for (void* out : {static_cast<void*>(nullptr), static_cast<void*>(buf.data())}) {
            DWORD size = 512;
            SetLastError(0);
            EXPECT_FALSE(
                CryptDecodeObject(CAPI_ENCODING, c.type, (const BYTE*)der.data(), DWORD(der.size()), 0, out, &size))
                << c.der;
            EXPECT_EQ(GetLastError(), c.error) << c.der << " got " << std::hex << GetLastError();
            EXPECT_EQ(size, 512u);
        }
        EXPECT_EQ(buf, std::vector<std::uint64_t>(64, 0x5A5A5A5A5A5A5A5Aull));
    }
}

}  // namespace
