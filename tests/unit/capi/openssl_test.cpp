// Certificates and a CRL made by openssl at test time decode, agree with
// what openssl prints, and encode back byte for byte.
#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "capi_test_util.h"
#include "cert/asn.h"
#include "cert/vrkscapi.h"
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
        const std::string fields =
            Openssl("x509 -in " + Sh(pem) + " -noout -serial -dates -subject -nameopt oneline,-esc_msb");

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

        // The subject, attribute by attribute, as openssl prints it.
        auto subject = Decode(X509_NAME, Bytes(ci.Subject));
        ASSERT_TRUE(subject);
        const std::map<std::string, std::string> keys = {
            {"2.5.4.3", "CN"}, {"2.5.4.10", "O"}, {"2.5.4.6", "C"}, {"1.2.840.113549.1.9.1", "emailAddress"}};
        std::string line;
        for (const CERT_RDN& rdn : std::span(subject->As<CERT_NAME_INFO>().rgRDN, 4)) {
            char value[128];
            CertRDNValueToStrA(rdn.rgRDNAttr[0].dwValueType, &rdn.rgRDNAttr[0].Value, value, sizeof value);
            line += (line.empty() ? "" : ", ") + keys.at(rdn.rgRDNAttr[0].pszObjId) + " = " + value;
        }
        EXPECT_EQ(line, Field(fields, "subject"));

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

        // The key identifier is the SHA-1 of the key bits, which the DSS
        // provider computes.
        auto ski = Decode("2.5.29.14", ext["2.5.29.14"]);
        const std::string keyId = Bytes(ski->As<CRYPT_DATA_BLOB>());
        EXPECT_EQ(ColonHex(keyId), LineAfter(text, "Subject Key Identifier"));
        VRKSCApi::CryptProvider dss;
        VRKSCApi::CryptHash sha1;
        ASSERT_TRUE(VRKAcquireContext(&dss, nullptr, VRK_PROV_MS_DSS, VRK_PROV_TYPE_DSS, CRYPT_VERIFYCONTEXT));
        ASSERT_TRUE(VRKCreateHash(dss, CALG_SHA1, 0, &sha1));
        const CRYPT_BIT_BLOB& bits = ci.SubjectPublicKeyInfo.PublicKey;
        ASSERT_TRUE(VRKHashData(sha1, bits.pbData, bits.cbData));
        IdentObj digest;
        ASSERT_TRUE(VRKGetHashParam(sha1, HP_HASHVAL, digest));
        EXPECT_EQ(Hex(std::string(reinterpret_cast<const char*>(digest.data()), digest.size())), Hex(keyId));

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

TEST_F(CapiOpenssl, CrlWithReasonsDecodesAndReencodes) {
    const std::string ca = home_ / "ca.pem", key = home_ / "ca.key", crl = home_ / "crl.der";
    Openssl("req -x509 -newkey rsa:2048 -nodes -keyout " + Sh(key) + " -out " + Sh(ca) +
            " -days 30 -subj /CN=CA -addext subjectKeyIdentifier=hash");
    // Revoked: 0A key compromise, 80 superseded (DER 00 80), 0300FF without a
    // reason; 04 is valid and stays out.
    certtest::WriteFile(home_ / "index.txt",
                        "R\t301231000000Z\t240102030405Z,keyCompromise\t0A\tunknown\t/CN=one\n"
                        "R\t301231000000Z\t240203040506Z,superseded\t80\tunknown\t/CN=two\n"
                        "R\t301231000000Z\t240304050607Z\t0300FF\tunknown\t/CN=three\n"
                        "V\t301231000000Z\t\t04\tunknown\t/CN=four\n");
    certtest::WriteFile(home_ / "crlnumber", "1000\n");
    certtest::WriteFile(home_ / "ca.cnf", "[ca]\ndefault_ca = d\n[d]\ndatabase = " + home_ / "index.txt" +
                                              "\ncrlnumber = " + home_ / "crlnumber" +
                                              "\ndefault_md = sha256\ndefault_crl_days = 30\ncrl_extensions = x\n"
                                              "[x]\nauthorityKeyIdentifier = keyid:always\n");
    Openssl("ca -gencrl -config " + Sh(home_ / "ca.cnf") + " -keyfile " + Sh(key) + " -cert " + Sh(ca) + " -out " +
            Sh(crl + ".pem"));
    Openssl("crl -in " + Sh(crl + ".pem") + " -outform DER -out " + Sh(crl));
    const std::string dates = Openssl("crl -in " + Sh(crl) + " -inform DER -noout -lastupdate -nextupdate");

    auto decoded = ToBeSigned(certtest::ReadFile(crl), X509_CERT_CRL_TO_BE_SIGNED);
    ASSERT_TRUE(decoded);
    const CRL_INFO& info = decoded->As<CRL_INFO>();
    EXPECT_EQ(info.dwVersion, CRL_V2);
    EXPECT_EQ(asn::FormatTime(info.ThisUpdate), asn::FormatTime(OpensslTime(Field(dates, "lastUpdate"))));
    EXPECT_EQ(asn::FormatTime(info.NextUpdate), asn::FormatTime(OpensslTime(Field(dates, "nextUpdate"))));

    const struct {
        const char* serial;
        int reason;  // -1: no reason extension
        FILETIME date;
    } want[] = {{"0A", CRL_REASON_KEY_COMPROMISE, asn::MakeFileTime(2024, 1, 2, 3, 4, 5)},
                {"80 00", CRL_REASON_SUPERSEDED, asn::MakeFileTime(2024, 2, 3, 4, 5, 6)},
                {"FF 00 03", -1, asn::MakeFileTime(2024, 3, 4, 5, 6, 7)}};
    ASSERT_EQ(info.cCRLEntry, 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const CRL_ENTRY& e = info.rgCRLEntry[i];
        EXPECT_EQ(Hex(Bytes(e.SerialNumber)), want[i].serial);
        EXPECT_EQ(asn::FormatTime(e.RevocationDate), asn::FormatTime(want[i].date));
        ASSERT_EQ(e.cExtension, want[i].reason < 0 ? 0u : 1u);
        if (want[i].reason < 0) continue;
        EXPECT_STREQ(e.rgExtension[0].pszObjId, "2.5.29.21");
        auto reason = Decode(X509_CRL_REASON_CODE, Bytes(e.rgExtension[0].Value));
        ASSERT_TRUE(reason);
        EXPECT_EQ(reason->As<int>(), want[i].reason);
        EXPECT_EQ(Hex(*Encode("2.5.29.21", &want[i].reason)), Hex(Bytes(e.rgExtension[0].Value)));
    }

    std::map<std::string, std::string> ext;
    for (const CERT_EXTENSION& x : std::span(info.rgExtension, info.cExtension)) ext[x.pszObjId] = Bytes(x.Value);
    auto number = Decode(kCrlNumber, ext["2.5.29.20"]);
    ASSERT_TRUE(number);
    EXPECT_EQ(Hex(Bytes(number->As<CRYPT_INTEGER_BLOB>())), "10 00");  // encoded order
    auto aki = Decode(X509_AUTHORITY_KEY_ID2, ext["2.5.29.35"]);
    ASSERT_TRUE(aki);
    EXPECT_EQ(ColonHex(Bytes(aki->As<CERT_AUTHORITY_KEY_ID2_INFO>().KeyId)),
              LineAfter(Openssl("x509 -in " + Sh(ca) + " -noout -ext subjectKeyIdentifier"), "Subject Key Identifier"));
}

}  // namespace
