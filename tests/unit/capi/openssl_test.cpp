// Certificates made by openssl at test time decode, their extensions agree
// with what openssl prints, and all encode back byte for byte.
#include <algorithm>
#include <map>

#include "capi_test_util.h"
#include "cert/asn.h"
#include "testsupport.h"

namespace {

using namespace capitest;
using certtest::ColonHex;
using certtest::Field;
using certtest::LineAfter;
using certtest::OpensslTime;
using certtest::Sh;

std::string Reversed(const CRYPTOAPI_BLOB& b) {
    std::string s = Bytes(b);
    return std::string(s.rbegin(), s.rend());
}

// A serial as openssl prints it: its value bytes, without the 00 kept
// before a high bit (random serials have one now and then).
std::string Printed(const CRYPTOAPI_BLOB& serial) {
    std::string s = Reversed(serial);
    if (s.size() > 1 && s[0] == 0 && (s[1] & 0x80)) s.erase(0, 1);
    return s;
}

std::vector<std::string> Urls(const std::string& text) {
    std::vector<std::string> urls;
    for (auto at = text.find("URI:"); at != std::string::npos; at = text.find("URI:", at + 1))
        urls.push_back(text.substr(at + 4, text.find('\n', at) - at - 4));
    return urls;
}

// The to-be-signed part of signed content, decoded; both levels encode back
// to their input.
std::optional<Decoded> ToBeSigned(const std::string& der, LPCSTR tbsType) {
    ExpectRoundTrip(X509_CERT, der);
    auto signedContent = Decode(X509_CERT, der);
    if (!signedContent) return std::nullopt;
    const std::string tbs = Bytes(signedContent->As<CERT_SIGNED_CONTENT_INFO>().ToBeSigned);
    ExpectRoundTrip(tbsType, tbs);
    // The whole signed structure gives the same part, unless the flag says
    // the input is the part alone.
    auto whole = Decode(tbsType, der);
    EXPECT_TRUE(whole && Encode(tbsType, whole->mem.data()) == tbs);
    EXPECT_FALSE(Decode(tbsType, der, CRYPT_DECODE_TO_BE_SIGNED_FLAG));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
    return Decode(tbsType, tbs, CRYPT_DECODE_TO_BE_SIGNED_FLAG);
}

std::string Narrow(LPCWSTR w) { return std::string(w, w + std::char_traits<char16_t>::length(w)); }

class CapiOpenssl : public certtest::HomeTest {
protected:
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }

    // A self-signed certificate with every extension the library decodes.
    void CheckCertificate(const std::string& name, const std::string& keyArgs, const char* keyOid) {
        SCOPED_TRACE(name);
        const bool gost = keyArgs.find("gost") != std::string::npos;
        const std::string engine = gost ? "-engine gost " : "";
        const std::string pem = home_ / (name + ".pem"), der = home_ / (name + ".der");
        Openssl("req -x509 " + engine + keyArgs + " -nodes -keyout " + Sh(home_ / (name + ".key")) + " -out " +
                Sh(pem) + " -days 12000 -utf8 -subj " +
                Sh("/CN=Проверка " + name + "/O=Test Org/C=RU/emailAddress=t@example.org") +
                " -addext 'basicConstraints=critical,CA:TRUE,pathlen:2'"
                " -addext 'keyUsage=critical,digitalSignature,keyCertSign,cRLSign'"
                " -addext 'extendedKeyUsage=serverAuth,clientAuth,1.2.3.4' -addext subjectKeyIdentifier=hash"
                " -addext 'authorityKeyIdentifier=keyid:always,issuer:always'"
                " -addext 'crlDistributionPoints=URI:http://ca.example/a.crl,URI:http://ca.example/b.crl'"
                " -addext 'authorityInfoAccess=caIssuers;URI:http://ca.example/ca.cer,OCSP;URI:http://ocsp.example/'");
        Openssl("x509 -in " + Sh(pem) + " -outform DER -out " + Sh(der));
        const std::string text = Openssl("x509 " + engine + "-in " + Sh(pem) + " -noout -text");
        const std::string fields = Openssl("x509 -in " + Sh(pem) + " -noout -serial -dates");

        auto decoded = ToBeSigned(certtest::ReadFile(der), X509_CERT_TO_BE_SIGNED);
        ASSERT_TRUE(decoded);
        const CERT_INFO& ci = decoded->As<CERT_INFO>();

        EXPECT_EQ(ci.dwVersion, CERT_V3);
        const std::string printed = Printed(ci.SerialNumber);
        EXPECT_EQ(TOOBin2HexStr(printed.data(), DWORD(printed.size())), Field(fields, "serial"));
        EXPECT_EQ(asn::FormatTime(ci.NotBefore), asn::FormatTime(OpensslTime(Field(fields, "notBefore"))));
        EXPECT_EQ(asn::FormatTime(ci.NotAfter), asn::FormatTime(OpensslTime(Field(fields, "notAfter"))));
        EXPECT_GT(asn::SplitFileTime(ci.NotAfter).year, 2049);
        EXPECT_STREQ(ci.SubjectPublicKeyInfo.Algorithm.pszObjId, keyOid);
        EXPECT_EQ(Bytes(ci.Issuer), Bytes(ci.Subject));

        std::map<std::string, std::string> ext;
        for (const CERT_EXTENSION& x : std::span(ci.rgExtension, ci.cExtension)) {
            ext[x.pszObjId] = Bytes(x.Value);
            ExpectRoundTrip(x.pszObjId, Bytes(x.Value));
        }
        ASSERT_EQ(ext.size(), 7u);

        auto bc = Decode("2.5.29.19", ext["2.5.29.19"]);
        EXPECT_EQ(LineAfter(text, "Basic Constraints"), "CA:TRUE, pathlen:2");
        EXPECT_TRUE(bc->As<CERT_BASIC_CONSTRAINTS2_INFO>().fCA);
        EXPECT_EQ(bc->As<CERT_BASIC_CONSTRAINTS2_INFO>().dwPathLenConstraint, 2u);

        auto ku = Decode(X509_KEY_USAGE, ext["2.5.29.15"]);
        const std::pair<const char*, BYTE> usages[] = {{"Digital Signature", CERT_DIGITAL_SIGNATURE_KEY_USAGE},
                                                       {"Key Encipherment", CERT_KEY_ENCIPHERMENT_KEY_USAGE},
                                                       {"Certificate Sign", CERT_KEY_CERT_SIGN_KEY_USAGE},
                                                       {"CRL Sign", CERT_CRL_SIGN_KEY_USAGE}};
        for (const auto& [label, bit] : usages)
            EXPECT_EQ((ku->As<CRYPT_BIT_BLOB>().pbData[0] & bit) != 0,
                      LineAfter(text, "Key Usage: critical").find(label) != std::string::npos)
                << label;

        auto eku = Decode(X509_ENHANCED_KEY_USAGE, ext["2.5.29.37"]);
        const CERT_ENHKEY_USAGE& usage = eku->As<CERT_ENHKEY_USAGE>();
        ASSERT_EQ(usage.cUsageIdentifier, 3u);
        EXPECT_STREQ(usage.rgpszUsageIdentifier[0], "1.3.6.1.5.5.7.3.1");
        EXPECT_STREQ(usage.rgpszUsageIdentifier[2], "1.2.3.4");

        const std::string keyId = Bytes(Decode("2.5.29.14", ext["2.5.29.14"])->As<CRYPT_DATA_BLOB>());
        EXPECT_EQ(ColonHex(keyId), LineAfter(text, "Subject Key Identifier"));

        auto aki = Decode("2.5.29.35", ext["2.5.29.35"]);
        const CERT_AUTHORITY_KEY_ID2_INFO& a = aki->As<CERT_AUTHORITY_KEY_ID2_INFO>();
        EXPECT_EQ(Bytes(a.KeyId), keyId);
        ASSERT_EQ(a.AuthorityCertIssuer.cAltEntry, 1u);
        EXPECT_EQ(a.AuthorityCertIssuer.rgAltEntry[0].dwAltNameChoice, CERT_ALT_NAME_DIRECTORY_NAME);
        EXPECT_EQ(Bytes(a.AuthorityCertIssuer.rgAltEntry[0].DirectoryName), Bytes(ci.Issuer));
        EXPECT_EQ(Bytes(a.AuthorityCertSerialNumber), Bytes(ci.SerialNumber));
        EXPECT_NE(text.find("serial:" + ColonHex(Printed(a.AuthorityCertSerialNumber))), std::string::npos);

        auto cdp = Decode(X509_CRL_DIST_POINTS, ext["2.5.29.31"]);
        std::vector<std::string> urls;
        for (const CRL_DIST_POINT& p : std::span(cdp->As<CRL_DIST_POINTS_INFO>().rgDistPoint, 2))
            urls.push_back(Narrow(p.DistPointName.FullName.rgAltEntry[0].pwszURL));
        auto aia = Decode(X509_AUTHORITY_INFO_ACCESS, ext["1.3.6.1.5.5.7.1.1"]);
        for (const CERT_ACCESS_DESCRIPTION& d : std::span(aia->As<CERT_AUTHORITY_INFO_ACCESS>().rgAccDescr, 2)) {
            EXPECT_EQ(d.AccessLocation.dwAltNameChoice, CERT_ALT_NAME_URL);
            urls.push_back(Narrow(d.AccessLocation.pwszURL));
        }
        EXPECT_EQ(urls, Urls(text));
    }
};

TEST_F(CapiOpenssl, CertificatesDecodeAgreeAndReencode) {
    CheckCertificate("rsa", "-newkey rsa:2048", "1.2.840.113549.1.1.1");
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine for openssl";
    CheckCertificate("gost2001", "-newkey gost2001 -pkeyopt paramset:A", "1.2.643.2.2.19");
    CheckCertificate("gost2012_256", "-newkey gost2012_256 -pkeyopt paramset:A", "1.2.643.7.1.1.1.1");
    CheckCertificate("gost2012_512", "-newkey gost2012_512 -pkeyopt paramset:B", "1.2.643.7.1.1.1.2");
}

}  // namespace
