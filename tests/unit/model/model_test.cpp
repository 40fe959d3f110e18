#include <openssl/sha.h>

#include <cstring>

#include <gtest/gtest.h>

#include "cert/capi.h"
#include "cert/toofile.h"
#include "model_test_util.h"
#include "testsupport.h"

namespace {

using namespace modeltest;
using certtest::BlobFromHex;
using certtest::Hex;

CCTFCertExtension Ext(const char* oid, const char* valueHex, BOOL critical = FALSE) {
    return CCTFCertExtension(oid, critical, BlobFromHex(valueHex));
}

template <class T>
const T& As(const IdentObj& blob) {
    return *reinterpret_cast<const T*>(blob.data());
}

bool Inside(const IdentObj& blob, const void* p) {
    return p >= static_cast<const void*>(blob.data()) && p < static_cast<const void*>(blob.data() + blob.size());
}

// A decode that must fail at the `index`th element of the TBS: "offset N: what...".
void ExpectFault(const Tbs& t, std::size_t index, const std::string& what = "") {
    const IdentObj tbs = t.Encode();
    CCTFCertInfo info;
    CTOOString fault;
    EXPECT_FALSE(info.DecodeInfo(tbs, &fault));
    EXPECT_EQ(fault.str().rfind("offset " + std::to_string(ElementOffset(tbs, index)) + what, 0), 0u) << fault.str();
}

TEST(CertModel, SerialsAreHeldLeastSignificantByteFirst) {
    // A leading 00 (the sign byte) is kept and ends up last.
    Tbs t;
    t.serial = {0x00, 0x80, 0x01};
    CCTFCertInfo info;
    ASSERT_TRUE(info.DecodeInfo(t.Encode()));
    EXPECT_EQ(Hex(info.m_serialNumber), "018000");
    EXPECT_EQ(info.GetEncodetInfo(), t.Encode());

    // CreateCertReq's serial: key-id word, zero word, FILETIME (most significant end).
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    const CCTFCertInfo made = CCTFCertInfo::CreateCertReq(
        CCTFX509Name(Name("Subject")), CCTFAlgorithmIdentifier(cert::oids::kGostR3410_2012_256WithR3411), 2, 12, 0,
        CCTFCertPublicKeyInfo(), "1A2B3C4D", IdentObj(), CCTFX509Name(), 0, nullptr);
    const Bytes s = Of(made.m_serialNumber);
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(Hex(IdentObj(s.data(), 8)), "4D3C2B1A00000000");
    ULONGLONG time = 0;
    for (int i = 15; i >= 8; --i) time = (time << 8) | s[i];
    EXPECT_LT(time - cert::platform::FileTimeToU64(before), 600000000ull);  // a minute
    // The subject unique identifier is the key-id text.
    EXPECT_EQ(std::string(made.m_subjectUniqueId.view()), "1A2B3C4D");
}

TEST(CertModel, WhatDecodesAndWhereItStops) {
    Tbs t;
    t.hasVersion = false;
    ExpectFault(t, 0, ": no version field");
    t.hasVersion = true;
    t.tail = [](asn::Writer& w) {
        auto x = w.BeginContext(3);
        w.End(w.BeginSequence()).End(x);
    };
    ExpectFault(t, 7, ": [3] holds no extension");
    t.tail = [](asn::Writer& w) {  // unique identifiers out of order
        const std::uint8_t id[] = {0x00, 0xAA};
        w.Element(asn::kContext, false, 2, asn::Bytes(id, 2)).Element(asn::kContext, false, 1, asn::Bytes(id, 2));
    };
    ExpectFault(t, 8);
    t.tail = [](asn::Writer& w) { w.Element(asn::kContext, false, 1, asn::Bytes()); };  // no unused-bits byte
    ExpectFault(t, 7);

    // Both identifiers and duplicate extensions are kept, in order.
    Tbs full;
    full.extensions = {Ext("2.5.29.14", "040101"), Ext("1.2.3.4", "0500"), Ext("2.5.29.14", "040102")};
    full.tail = [&full](asn::Writer& w) {
        const std::uint8_t a[] = {0x00, 0xAA}, b[] = {0x04, 0xB0};
        w.Element(asn::kContext, false, 1, asn::Bytes(a, 2)).Element(asn::kContext, false, 2, asn::Bytes(b, 2));
        auto x = w.BeginContext(3);
        auto list = w.BeginSequence();
        for (const auto& ext : full.extensions) w.Raw(ext.WriteData(nullptr));
        w.End(list).End(x);
    };
    CCTFCertInfo info;
    ASSERT_TRUE(info.DecodeInfo(full.Encode()));
    ASSERT_EQ(info.m_extensions.size(), 3u);
    EXPECT_EQ(Hex(info.m_extensions.back().m_value), "040102");
    EXPECT_EQ(info.m_subjectUniqueId.GetUnusedBits(), 4u);
    EXPECT_EQ(info.GetEncodetInfo(), full.Encode());

    // GeneralizedTime and UTCTime of one moment are one FILETIME.
    Tbs generalized;
    generalized.notAfterTag = asn::kGeneralizedTime;
    ASSERT_TRUE(info.DecodeInfo(generalized.Encode()));
    EXPECT_EQ(cert::platform::FileTimeToU64(info.m_notAfter), cert::platform::FileTimeToU64(Tbs().notAfter));

    // No prefix of a sound certificate decodes, nor one with a byte after it;
    // a failed decode leaves the object as it was.
    const IdentObj whole = Certificate(full.Encode());
    CCTFX509Certificate cert;
    ASSERT_TRUE(cert.DecodeCert(whole));
    const CCTFX509Certificate kept = cert;
    for (DWORD n = 0; n < whole.size(); ++n) ASSERT_FALSE(cert.DecodeCert(IdentObj(whole.data(), n))) << n;
    IdentObj longer = whole;
    longer.AddData("\0", 1);
    EXPECT_FALSE(cert.DecodeCert(longer));
    EXPECT_TRUE(cert == kept);
    EXPECT_EQ(cert.m_encoded, whole);
}

TEST(CertModel, ReencodingGivesTheInputOnlyWhereTheFieldsHoldIt) {
    // Explicit v1 with NULL signature parameters: the fields encode as v3
    // without them; the kept encoding is written as read.
    Tbs v1;
    v1.version = 0;
    v1.nullSignatureParameters = true;
    const Bytes signature = {0x11, 0x22, 0x33, 0x44};
    const IdentObj input = Certificate(v1.Encode(), true, signature);
    CCTFX509Certificate cert;
    ASSERT_TRUE(cert.DecodeCert(input));
    EXPECT_EQ(Hex(cert.m_signature), "44332211");
    EXPECT_EQ(cert.m_toBeSigned, v1.Encode());
    const IdentObj again = cert.GetEncodetCert();
    EXPECT_NE(again, input);
    Tbs v3;
    EXPECT_EQ(cert.m_info.GetEncodetInfo(), v3.Encode());
    EXPECT_EQ(Hex(again).substr(Hex(again).size() - 8), "11223344");  // the signature in its input order

    // The serialised blob: the kept input, in memory and in a file.
    IdentObj buffer;
    buffer.Alloc(input.size() + 4);
    EXPECT_EQ(cert.WriteEncodetData(buffer.data(), 3), 0u);
    ASSERT_EQ(cert.WriteEncodetData(buffer.data(), buffer.size()), input.size() + 4);
    EXPECT_EQ(IdentObj(buffer.data() + 4, input.size()), input);
    CCTFX509Certificate read;
    EXPECT_EQ(read.ReadEncodetData(buffer.data(), buffer.size() - 1), 0u);
    EXPECT_EQ(read.ReadEncodetData(buffer.data(), buffer.size()), buffer.size());
    EXPECT_TRUE(read == cert);

    certtest::TempDir dir;
    CTOOFile file((dir / "certs").c_str(), "w+b");
    ASSERT_EQ(cert.WriteEncodetData(file, 0), buffer.size());
    ASSERT_EQ(cert.WriteEncodetData(file, 0xFFFFFFFFu), buffer.size());
    EXPECT_EQ(cert.WriteEncodetData(file, 3 * buffer.size()), 0u);  // beyond the end
    EXPECT_EQ(read.ReadEncodetData(file, buffer.size()), buffer.size());

    // Without the parameters and as v3, the fields give the input back.
    v3.extensions = {Ext(cert::oids::kBasicConstraints, "30030101FF", TRUE)};
    const IdentObj same = Certificate(v3.Encode());
    ASSERT_TRUE(cert.DecodeCert(same));
    EXPECT_EQ(cert.GetEncodetCert(), same);
}

TEST(CertModel, ExtensionsReadWriteAndReport) {
    CCTFCertExtension ext;
    int error = 0;
    const IdentObj bad = BlobFromHex("3003060155");
    EXPECT_EQ(ext.ReadData(bad.data(), bad.size(), &error), 0u);
    EXPECT_EQ(error, TOOERR_DER_FORMAT);
    EXPECT_THROW(ext.ReadData(bad.data(), bad.size(), nullptr), XTOOStatus);
    // Critical is written only when set; the value's tag is not checked.
    for (BOOL critical : {FALSE, TRUE}) {
        const CCTFCertExtension made = Ext("2.5.29.19", "3000", critical);
        const IdentObj der = made.WriteData(&error);
        EXPECT_EQ(Hex(der), critical ? "300C0603551D130101FF04023000" : "30090603551D1304023000");
        IdentObj trailing = der;
        trailing.AddData("\x05\x00", 2);
        EXPECT_EQ(ext.ReadData(trailing.data(), trailing.size(), &error), der.size());
        EXPECT_TRUE(ext == made);
    }
    const IdentObj anyTag = BlobFromHex("300806035504030C0141");
    ASSERT_TRUE(ext.ReadData(anyTag.data(), anyTag.size(), nullptr));
    EXPECT_EQ(Hex(ext.m_value), "41");

    // The key identifier bare; both forms of basic constraints one record.
    IdentObj out = BlobFromHex("AA");
    auto decoded = [&](const char* oid, const char* hex) {
        return Ext(oid, hex).DecodeData(out, oid) ? Hex(out) : "fails, " + Hex(out);
    };
    const std::tuple<const char*, const char*, const char*> records[] = {
        {"2.5.29.14", "3000", "fails, AA"},
        {"2.5.29.14", "0403010203", "010203"},
        {"2.5.29.19", "30060101FF020100", "010000000100000000000000"},
        {"2.5.29.19", "30090101FF0101FF020100", "010000000100000000000000"},
        {"2.5.29.19", "30030101FF", "010000000000000000000000"},
    };
    for (const auto& [oid, hex, want] : records) EXPECT_EQ(decoded(oid, hex), want) << hex;
    EXPECT_FALSE(Ext("2.5.29.19", "3003040100").DecodeData(out, "2.5.29.19"));

    ASSERT_TRUE(Ext("2.5.29.15", "030205A0").DecodeData(out, "2.5.29.15"));
    const auto& bits = As<CRYPT_BIT_BLOB>(out);
    EXPECT_EQ(bits.cUnusedBits, 5u);
    EXPECT_TRUE(Inside(out, bits.pbData));

    ASSERT_TRUE(Ext("2.5.29.37", "301406082B0601050507030106082B06010505070302").DecodeData(out, "2.5.29.37"));
    const auto& usage = As<CERT_ENHKEY_USAGE>(out);
    ASSERT_EQ(usage.cUsageIdentifier, 2u);
    EXPECT_TRUE(Inside(out, usage.rgpszUsageIdentifier) && Inside(out, usage.rgpszUsageIdentifier[1]));
    EXPECT_STREQ(usage.rgpszUsageIdentifier[1], cert::oids::kClientAuth);

    // Everything else through the platform, by number or OID.
    ASSERT_TRUE(Ext("2.5.29.35", "30038001AB").DecodeData(out, X509_AUTHORITY_KEY_ID2));
    EXPECT_EQ(As<CERT_AUTHORITY_KEY_ID2_INFO>(out).KeyId.pbData[0], 0xAB);
}

TEST(CertModel, ExtensionListKeepsOrderAndUpdatesByOid) {
    CCTFCertExtensionList list;
    EXPECT_TRUE(list.Update(Ext("1.2.3", "0500")));
    EXPECT_TRUE(list.Update(Ext("1.2.4", "0500")));
    EXPECT_FALSE(list.Update(Ext("1.2.3", "0500")));
    EXPECT_TRUE(list.Update(Ext("1.2.3", "0101FF")));
    EXPECT_EQ(Hex(list.front().m_value), "0101FF");
    CCTFCertExtension found = Ext("9.9", "05");
    EXPECT_FALSE(list.FindExtension("1.2.5", found));
    EXPECT_TRUE(found.m_oid.IsEmpty());
    EXPECT_TRUE(list.FindExtension("1.2.4", found));

    CCTFCertExtensionList other;
    other.push_back(Ext("1.2.4", "0500"));
    other.push_back(Ext("1.2.9", "0500"));
    other.push_back(Ext("1.2.9", "0101FF"));
    list.MergeLists(other);
    EXPECT_EQ(Hex(list.back().m_value), "0101FF");
    list.DeleteExtension("1.2.9");
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list.GetObjectSize(), 4 + 2 * (4 + 4 + 5 + 4 + 2) + 1);

    // A SEQUENCE OF Extension; a bad one throws and changes nothing.
    const IdentObj two = BlobFromHex(
        "3012"
        "300706032A03040500"
        "300706032A03050500");
    list.ReadData(two.data(), two.size());
    EXPECT_EQ(list.back().GetOID(), "1.2.3.5");
    const IdentObj broken = BlobFromHex(
        "300B"
        "300706032A03040500"
        "3000");
    EXPECT_THROW(list.ReadData(broken.data(), broken.size()), XTOOStatus);
    EXPECT_EQ(list.size(), 2u);
}

TEST(CertModel, AuthorityKeyIdentifier) {
    const IdentObj keyId = BlobFromHex("0102030405"), serial = BlobFromHex("8000");  // 00 80 in DER
    const CCTFX509Name issuer(Name("Issuer"));
    const CCTFIssuerPublicKeyID made(&keyId, &serial, &issuer);
    EXPECT_NE(Hex(made.m_value).find("82020080"), std::string::npos) << Hex(made.m_value);
    const CCTFIssuerPublicKeyID read(static_cast<const CCTFCertExtension&>(made));
    EXPECT_EQ(static_cast<const IdentObj&>(read.GetIssuerName()), issuer);
    EXPECT_TRUE(read == made);
    const CCTFIssuerPublicKeyID keyOnly(&keyId, nullptr, nullptr);
    EXPECT_EQ(Hex(keyOnly.m_value), "300780050102030405");
    EXPECT_FALSE(keyOnly == made);

    // The issuer comes only from a directory name, whichever entry it is.
    CERT_ALT_NAME_ENTRY entries[2]{};
    entries[0].dwAltNameChoice = CERT_ALT_NAME_URL;
    entries[0].pwszURL = const_cast<LPWSTR>(u"http://ca.example/");
    entries[1].dwAltNameChoice = CERT_ALT_NAME_DIRECTORY_NAME;
    entries[1].DirectoryName = issuer.blob();
    for (DWORD count : {1u, 2u}) {
        CERT_AUTHORITY_KEY_ID2_INFO aki{keyId.blob(), {count, entries}, serial.blob()};
        CCTFCertExtension ext(cert::oids::kAuthorityKeyIdentifier, FALSE, IdentObj());
        ASSERT_TRUE(ext.EncodeData(&aki, X509_AUTHORITY_KEY_ID2));
        const CCTFIssuerPublicKeyID decoded(ext);
        EXPECT_EQ(static_cast<const IdentObj&>(decoded.GetIssuerName()),
                  count == 2 ? static_cast<const IdentObj&>(issuer) : IdentObj());
    }

    // The obsolete form, and an extension that is none.
    CERT_AUTHORITY_KEY_ID_INFO old{keyId.blob(), issuer.blob(), serial.blob()};
    CCTFCertExtension oldExt(cert::oids::kAuthorityKeyIdentifierOld, FALSE, IdentObj());
    ASSERT_TRUE(oldExt.EncodeData(&old, X509_AUTHORITY_KEY_ID));
    EXPECT_TRUE(CCTFIssuerPublicKeyID(oldExt) == made);
    const CCTFIssuerPublicKeyID none(Ext(cert::oids::kKeyUsage, "03020780"));
    EXPECT_TRUE(none.GetKeyID().IsEmpty() && none.m_oid.IsEmpty());
}

TEST(CertModel, PublicKeys) {
    const IdentObj der = GostKey();
    CCTFCertPublicKeyInfo key;
    ASSERT_EQ(key.ReadData(der.data(), der.size()), der.size());
    EXPECT_EQ(key.WriteData(), der);
    EXPECT_EQ(key.GetKeyLength(), 512u);
    unsigned char sha[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), sha);
    EXPECT_EQ(Hex(key.GetKeyInfoID()), Hex(IdentObj(sha, sizeof sha)));

    // RSA: the modulus without its sign byte; raw bytes: all of them; a
    // constructed element without items: 0.
    asn::Writer rsa;
    auto seq = rsa.BeginSequence();
    Bytes modulus(256, 0xC3);
    rsa.UnsignedInteger(asn::Bytes(modulus.data(), modulus.size())).Integer(65537).End(seq);
    for (const auto& [bits, length] : {std::pair{Of(rsa.Take()), 2048u}, std::pair{Bytes(40, 0xAB), 320u},
                                       std::pair{Bytes{0x30, 0x00}, 0u}, std::pair{Bytes(), 0u}}) {
        key.m_publicKey = CTOOCryptBitBlob(Blob(bits));
        EXPECT_EQ(key.GetKeyLength(), length) << Hex(Blob(bits));
    }
    EXPECT_TRUE(key.GetKeyID().IsEmpty());

    EXPECT_THROW(key.WriteData(), XTOOStatus);
    const IdentObj three = BlobFromHex("300D300606042A0304050301000500");
    EXPECT_THROW(key.ReadData(three.data(), three.size()), XTOOStatus);
    EXPECT_EQ(key.ReadData(nullptr, 0), 0u);
}

TEST(CertModel, KeyParameters) {
    Tbs t;
    t.extensions = {Ext(cert::oids::kKeyUsage, "03020430", TRUE)};  // key and data encipherment
    CCTFCertInfo info;
    ASSERT_TRUE(info.DecodeInfo(t.Encode()));
    DWORD keyType = 0;
    CTOOString sign = "x", hash = "x", cipher = "x";
    info.GetKeyParam(keyType, sign, hash, cipher);
    EXPECT_EQ(keyType, 1u);
    // A 2012 256-bit key: the algorithm OID, and the parameters are cleared.
    EXPECT_EQ(sign, cert::oids::kGostR3410_2012_256);
    EXPECT_TRUE(hash.IsEmpty() && cipher.IsEmpty());
    EXPECT_TRUE(info.m_publicKey.m_algorithm.GetParameters().IsEmpty());

    info.m_extensions.clear();
    info.m_publicKey.m_algorithm.SetParams(cert::oids::kGostR3410_2001, cert::oids::kSign2001ParamSetB);
    info.GetKeyParam(keyType, sign, hash, cipher);
    EXPECT_EQ(keyType, 2u);
    EXPECT_EQ(hash, cert::oids::kHash94ParamSet);
    info.m_publicKey.m_algorithm = CCTFAlgorithmIdentifier(cert::oids::kRsa, BlobFromHex("0500"));
    info.GetKeyParam(keyType, sign, hash, cipher);
    EXPECT_EQ(sign, cert::oids::kRsa);
}

TEST(CertModel, BuildersAddUsagesPointsAndAccess) {
    CCTFCertInfo info;
    info.m_extensions.push_back(Ext(cert::oids::kKeyUsage, "03020780", TRUE));
    ASSERT_TRUE(CCTFCertInfo::AddUsageToReq(info, 0x01 | 0x20, 2, false));
    ASSERT_EQ(info.m_extensions.size(), 3u);
    auto it = info.m_extensions.begin();
    EXPECT_EQ(Hex(it->m_value), "03020780");  // left as it was
    EXPECT_EQ(Hex((++it)->m_value), "301406082B0601050507030106082B06010505070308");

    for (const auto& [type, ca, usage, constraints] :
         {std::tuple{2u, false, "030204F0", "3000"}, std::tuple{2u, true, "030201C6", "30030101FF"},
          std::tuple{1u, false, "03020338", "3000"}}) {
        CCTFCertInfo fresh;
        ASSERT_TRUE(CCTFCertInfo::AddUsageToReq(fresh, 0x3F, type, ca));
        EXPECT_EQ(fresh.m_extensions.size(), ca ? 2u : 3u);  // no purposes for a CA
        EXPECT_EQ(Hex(fresh.m_extensions.front().m_value), usage);
        EXPECT_EQ(Hex(fresh.m_extensions.back().m_value), constraints);
    }

    CCTFCertInfo points;
    for (const auto& [url, count] :
         {std::pair{"http://a/1.crl", 1u}, std::pair{"http://a/1.crl", 1u}, std::pair{"http://a/2.crl", 2u}}) {
        ASSERT_TRUE(CCTFCertInfo::AddCRLPoint(points, url));
        EXPECT_EQ(points.m_extensions.size(), count);
    }
    const CCTFString a("http://a/3.crl"), b(u"http://b/3.crl");
    const CCTFString* const urls[] = {&a, &b};
    ASSERT_TRUE(CCTFCertInfo::AddCRLPoints(points, 2, urls));
    ASSERT_EQ(points.m_extensions.size(), 3u);
    EXPECT_FALSE(points.m_extensions.back().m_critical);
    IdentObj decoded;
    ASSERT_TRUE(points.m_extensions.back().DecodeData(decoded, X509_CRL_DIST_POINTS));
    const auto& list = As<CRL_DIST_POINTS_INFO>(decoded);
    ASSERT_EQ(list.cDistPoint, 2u);
    EXPECT_EQ(std::u16string(list.rgDistPoint[1].DistPointName.FullName.rgAltEntry[0].pwszURL), u"http://b/3.crl");

    const CCTFString ocsp("http://ocsp/"), issuer("http://ca/ca.cer");
    const CCTFString* const ocspUrls[] = {&ocsp};
    const CCTFString* const issuerUrls[] = {&issuer};
    CCTFCertInfo access;
    ASSERT_TRUE(CCTFCertInfo::AddAiaPoints(access, 1, issuerUrls, 1, ocspUrls));
    ASSERT_TRUE(access.m_extensions.front().DecodeData(decoded, X509_AUTHORITY_INFO_ACCESS));
    const auto& aia = As<CERT_AUTHORITY_INFO_ACCESS>(decoded);
    ASSERT_EQ(aia.cAccDescr, 2u);
    EXPECT_STREQ(aia.rgAccDescr[0].pszAccessMethod, cert::oids::kOcsp);
    const CCTFString cyrillic(u"http://пример/");
    const CCTFString* const bad[] = {&cyrillic};
    EXPECT_FALSE(CCTFCertInfo::AddCRLPoints(access, 1, bad));
    EXPECT_EQ(access.m_extensions.size(), 1u);
}

TEST(CertModel, CreateCertReqBuildsTheInformation) {
    CCTFCertPublicKeyInfo key;
    const IdentObj der = GostKey();
    key.ReadData(der.data(), der.size());
    const CCTFX509Name subject(Name("Subject")), alt(BlobFromHex("3000"));
    const IdentObj serial = BlobFromHex("0201");
    SYSTEMTIME now;
    GetSystemTime(&now);
    XTOOStatus status(0);
    const CCTFCertInfo info =
        CCTFCertInfo::CreateCertReq(subject, CCTFAlgorithmIdentifier(cert::oids::kGostR3410_2012_256WithR3411), 2, 14,
                                    0x02, key, nullptr, serial, alt, 0, &status);
    EXPECT_EQ(status.Status(), 0);
    EXPECT_EQ(info.m_serialNumber, serial);
    const asn::CivilTime from = asn::SplitFileTime(info.m_notBefore), to = asn::SplitFileTime(info.m_notAfter);
    EXPECT_EQ(from.fraction, 0);
    EXPECT_EQ(to.year * 12 + to.month, from.year * 12 + from.month + 14);
    EXPECT_EQ(from.year, now.wYear);
    std::vector<std::string> oids;
    for (const auto& e : info.m_extensions) oids.push_back(e.GetOID());
    EXPECT_EQ(oids,
              (std::vector<std::string>{cert::oids::kKeyUsage, cert::oids::kExtKeyUsage, cert::oids::kBasicConstraints,
                                        cert::oids::kSubjectKeyIdentifier, "2.5.29.7"}));
    EXPECT_EQ(Hex(info.m_extensions.back().m_value), "3000");
    // It encodes, with its subject as the signature algorithm OID alone.
    CCTFCertInfo back;
    ASSERT_TRUE(back.DecodeInfo(info.GetEncodetInfo()));
    EXPECT_TRUE(back == info);
    EXPECT_TRUE(back.m_signatureAlgorithm.GetParameters().IsEmpty());
}

TEST(CertModel, ValuesCompareAndConvert) {
    // "<" holds only when every field compares less.
    EXPECT_TRUE(Ext("1.2.3", "01", FALSE) < Ext("1.2.4", "02", TRUE));
    EXPECT_FALSE(Ext("1.2.3", "02", FALSE) < Ext("1.2.4", "01", TRUE));
    EXPECT_TRUE(Ext("1.2.4", "02", TRUE) > Ext("1.2.3", "01", FALSE));
    // Filled from the platform's structure: the same information, state words aside.
    Tbs t;
    t.extensions = {Ext(cert::oids::kBasicConstraints, "3000", TRUE)};
    const IdentObj tbs = t.Encode();
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObject(CAPI_ENCODING, X509_CERT_TO_BE_SIGNED, tbs.data(), tbs.size(),
                                  CRYPT_DECODE_TO_BE_SIGNED_FLAG, nullptr, &size));
    std::vector<std::uint64_t> mem(size / 8 + 1);
    ASSERT_TRUE(CryptDecodeObject(CAPI_ENCODING, X509_CERT_TO_BE_SIGNED, tbs.data(), tbs.size(),
                                  CRYPT_DECODE_TO_BE_SIGNED_FLAG, mem.data(), &size));
    const CCTFCertInfo fromPlatform(*reinterpret_cast<const CERT_INFO*>(mem.data()));
    CCTFCertInfo decoded;
    ASSERT_TRUE(decoded.DecodeInfo(tbs));
    EXPECT_TRUE(fromPlatform == decoded);
    EXPECT_EQ(fromPlatform.GetObjectSize(), decoded.GetObjectSize());
    decoded.SetPrivateKeyType(2);
    EXPECT_FALSE(fromPlatform == decoded);

    // Strings keep the form given and make the other on first use.
    const CCTFString narrow("http://пример/"), wide(u"http://пример/"), none(static_cast<const char*>(nullptr));
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(narrow)), u"http://пример/");
    EXPECT_STREQ(static_cast<const char*>(wide), "http://пример/");
    EXPECT_EQ(wide.GetLength(), 14u);
    EXPECT_STREQ(static_cast<const char*>(none), "");
    const CCTFString broken("\xFF\xFE");
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(broken)), u"");
}

}  // namespace
