// Certificates made by openssl at test time decode through the platform
// decoders and encode back byte for byte, the whole and every extension;
// serials come out least significant byte first and the access URLs are
// those openssl prints. What the fields mean is the model's openssl test.
#include <algorithm>
#include <map>
#include <span>

#include "capi_test_util.h"
#include "testsupport.h"

namespace {

using namespace capitest;
using certtest::Sh;

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

    void CheckCertificate(const std::string& name, const std::string& keyArgs) {
        SCOPED_TRACE(name);
        const std::string engine = keyArgs.find("gost") != std::string::npos ? "-engine gost " : "";
        const std::string pem = home_ / (name + ".pem"), der = home_ / (name + ".der");
        Openssl("req -x509 " + engine + keyArgs + " -nodes -keyout " + Sh(home_ / (name + ".key")) + " -out " +
                Sh(pem) + " -days 12000 -utf8 -subj " + Sh("/CN=Проверка " + name + "/O=Test Org/C=RU") +
                " -addext 'basicConstraints=critical,CA:TRUE,pathlen:2'"
                " -addext 'keyUsage=critical,digitalSignature,keyCertSign,cRLSign'"
                " -addext 'extendedKeyUsage=serverAuth,clientAuth,1.2.3.4' -addext subjectKeyIdentifier=hash"
                " -addext 'authorityKeyIdentifier=keyid:always,issuer:always'"
                " -addext 'crlDistributionPoints=URI:http://ca.example/a.crl,URI:http://ca.example/b.crl'"
                " -addext 'authorityInfoAccess=caIssuers;URI:http://ca.example/ca.cer,OCSP;URI:http://ocsp.example/'");
        Openssl("x509 -in " + Sh(pem) + " -outform DER -out " + Sh(der));
        const std::string text = Openssl("x509 " + engine + "-in " + Sh(pem) + " -noout -text");

        auto decoded = ToBeSigned(certtest::ReadFile(der), X509_CERT_TO_BE_SIGNED);
        ASSERT_TRUE(decoded);
        const CERT_INFO& ci = decoded->As<CERT_INFO>();
        // openssl prints the value bytes without the 00 kept before a high bit.
        std::string serial = Bytes(ci.SerialNumber);
        std::reverse(serial.begin(), serial.end());
        if (serial.size() > 1 && serial[0] == 0 && (serial[1] & 0x80)) serial.erase(0, 1);
        EXPECT_EQ("serial=" + TOOBin2HexStr(serial.data(), DWORD(serial.size())) + "\n",
                  Openssl("x509 -in " + Sh(pem) + " -noout -serial"));

        std::map<std::string, std::string> ext;
        for (const CERT_EXTENSION& x : std::span(ci.rgExtension, ci.cExtension)) {
            ext[x.pszObjId] = Bytes(x.Value);
            ExpectRoundTrip(x.pszObjId, Bytes(x.Value));
        }
        ASSERT_EQ(ext.size(), 7u);
        std::vector<std::string> urls, printed;
        auto cdp = Decode(X509_CRL_DIST_POINTS, ext["2.5.29.31"]);
        for (const CRL_DIST_POINT& p : std::span(cdp->As<CRL_DIST_POINTS_INFO>().rgDistPoint, 2))
            urls.push_back(Narrow(p.DistPointName.FullName.rgAltEntry[0].pwszURL));
        auto aia = Decode(X509_AUTHORITY_INFO_ACCESS, ext["1.3.6.1.5.5.7.1.1"]);
        for (const CERT_ACCESS_DESCRIPTION& d : std::span(aia->As<CERT_AUTHORITY_INFO_ACCESS>().rgAccDescr, 2)) {
            EXPECT_EQ(d.AccessLocation.dwAltNameChoice, CERT_ALT_NAME_URL);
            urls.push_back(Narrow(d.AccessLocation.pwszURL));
        }
        for (auto at = text.find("URI:"); at != std::string::npos; at = text.find("URI:", at + 1))
            printed.push_back(text.substr(at + 4, text.find('\n', at) - at - 4));
        EXPECT_EQ(urls, printed);
    }
};

TEST_F(CapiOpenssl, CertificatesDecodeAndReencode) {
    CheckCertificate("rsa", "-newkey rsa:2048");
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine for openssl";
    CheckCertificate("gost2001", "-newkey gost2001 -pkeyopt paramset:A");
    CheckCertificate("gost2012_256", "-newkey gost2012_256 -pkeyopt paramset:A");
    CheckCertificate("gost2012_512", "-newkey gost2012_512 -pkeyopt paramset:B");
}

}  // namespace
