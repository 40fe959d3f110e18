#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "cert/asn.h"
#include "cert/certmodel.h"
#include "cert/oids.h"
#include "cert/vrkscapi.h"
#include "testsupport.h"

namespace {

using certtest::ColonHex;
using certtest::Field;
using certtest::Hex;
using certtest::LineAfter;
using certtest::Sh;

std::string OpensslTime(const std::string& text) { return asn::FormatTime(certtest::OpensslTime(text)); }

// A serial held least significant byte first, as openssl prints it.
std::string SerialText(const IdentObj& serial) {
    std::vector<std::uint8_t> b(serial.begin(), serial.end());
    std::reverse(b.begin(), b.end());
    std::string h = Hex(IdentObj(b.data(), static_cast<DWORD>(b.size())));
    while (h.size() > 2 && h.compare(0, 2, "00") == 0) h.erase(0, 2);
    return h;
}

// The key size openssl names: RSA's modulus, a GOST curve's size (the model
// counts both coordinates of a GOST key, twice that).
DWORD OpensslKeyBits(const std::string& text) {
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(Public-Key: \((\d+) bit\))"))) return DWORD(std::stoul(m[1]));
    if (std::regex_search(text, m, std::regex(R"(GOST R 34.10-2012 with (\d+) bit modulus)")))
        return 2 * DWORD(std::stoul(m[1]));
    if (text.find("Public Key Algorithm: GOST R 34.10-2001") != std::string::npos) return 512;
    return 0;
}

const std::map<std::string, std::string> kShortNames = {
    {cert::oids::kCommonName, "CN"}, {cert::oids::kOrganizationName, "O"}, {cert::oids::kCountryName, "C"},
    {cert::oids::kInn, "INN"},       {cert::oids::kSnils, "SNILS"},        {cert::oids::kEmailAddress, "emailAddress"}};

// "CN = a, O = b, ..." in the name's encoded order, as openssl's oneline
// form prints it.
std::string OneLine(const CCTFX509Name& name) {
    std::list<CCTFSimpleRDN> rdns;
    name.GetSimpleRDNList(rdns, false);
    std::string line;
    for (const auto& r : rdns) line += (line.empty() ? "" : ", ") + kShortNames.at(r.oid.str()) + " = " + r.value.str();
    return line;
}

struct KeyKind {
    const char* name;
    const char* opensslKey;  // openssl req -newkey ...
    const char* keyOid;
    const char* paramSet;  // public-key parameter set, or null
    const char* digest;    // openssl dgst's digest option
};

const KeyKind kKinds[] = {
    {"rsa", "rsa:2048", cert::oids::kRsa, nullptr, "-sha256"},
    {"gost2001", "gost2001 -pkeyopt paramset:A", cert::oids::kGostR3410_2001, cert::oids::kSign2001ParamSetA,
     "-md_gost94"},
    {"gost2012_256", "gost2012_256 -pkeyopt paramset:A", cert::oids::kGostR3410_2012_256,
     cert::oids::kSign2001ParamSetA, "-md_gost12_256"},
    {"gost2012_512", "gost2012_512 -pkeyopt paramset:A", cert::oids::kGostR3410_2012_512,
     cert::oids::kSign2012_512ParamSetA, "-md_gost12_512"},
};

class ModelOpenssl : public certtest::HomeTest {
protected:
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }
    std::string F(const std::string& name) const { return home_ / name; }
    static std::string Engine(const KeyKind& k) { return std::string(k.name) == "rsa" ? "" : "-engine gost "; }

    // A self-signed certificate with every extension the model decodes.
    IdentObj Make(const KeyKind& k) {
        const std::string n = k.name;
        Openssl("req -x509 " + Engine(k) + "-newkey " + k.opensslKey + " -nodes -keyout " + Sh(F(n + ".key")) +
                " -out " + Sh(F(n + ".pem")) + " -days 12000 -utf8 -subj " +
                Sh("/CN=Проверка " + n +
                   "/O=Test Org/C=RU/INN=007712345678/SNILS=12345678901/"
                   "emailAddress=t@example.org") +
                " -addext 'basicConstraints=critical,CA:TRUE,pathlen:2'"
                " -addext 'keyUsage=critical,digitalSignature,keyCertSign,cRLSign'"
                " -addext 'extendedKeyUsage=serverAuth,clientAuth' -addext subjectKeyIdentifier=hash"
                " -addext 'authorityKeyIdentifier=keyid:always,issuer:always'"
                " -addext 'crlDistributionPoints=URI:http://ca.example/a.crl'"
                " -addext 'authorityInfoAccess=caIssuers;URI:http://ca.example/ca.cer,OCSP;URI:http://ocsp.example/'");
        Openssl("x509 -in " + Sh(F(n + ".pem")) + " -outform DER -out " + Sh(F(n + ".der")));
        return IdentObj(certtest::ReadFile(F(n + ".der")));
    }

    void Verify(const std::string& pem, const std::string& engine) {
        EXPECT_EQ(Openssl("verify " + engine + "-check_ss_sig -CAfile " + Sh(pem) + " " + Sh(pem)), pem + ": OK\n");
    }

    void CheckAgainstOpenssl(const KeyKind& k) {
        SCOPED_TRACE(k.name);
        const std::string n = k.name, pem = F(n + ".pem");
        const IdentObj der = Make(k);
        const std::string text = Openssl("x509 " + Engine(k) + "-in " + Sh(pem) + " -noout -text");
        const std::string fields =
            Openssl("x509 -in " + Sh(pem) + " -noout -serial -dates -subject -nameopt oneline,-esc_msb");

        CCTFX509Certificate cert;
        ASSERT_TRUE(cert.DecodeCert(der));
        const CCTFCertInfo& info = cert.m_info;
        EXPECT_EQ(SerialText(info.m_serialNumber), Field(fields, "serial"));
        EXPECT_EQ(asn::FormatTime(info.m_notAfter), OpensslTime(Field(fields, "notAfter")));
        EXPECT_GT(asn::SplitFileTime(info.m_notAfter).year, 2049);
        EXPECT_EQ(OneLine(info.m_subject), Field(fields, "subject"));

        // The key: algorithm, parameter set, length, identifier.
        CTOOString oid, sign;
        info.m_publicKey.m_algorithm.GetParams(&oid, &sign, nullptr, nullptr);
        EXPECT_EQ(oid, k.keyOid);
        EXPECT_EQ(sign, k.paramSet ? k.paramSet : "");
        EXPECT_EQ(info.m_publicKey.GetKeyLength(), OpensslKeyBits(text)) << text;
        const CCTFCertExtension* ski = info.m_extensions.Find(cert::oids::kSubjectKeyIdentifier);
        ASSERT_TRUE(ski);
        IdentObj keyId;
        ASSERT_TRUE(ski->DecodeData(keyId, cert::oids::kSubjectKeyIdentifier));
        EXPECT_EQ(keyId, info.m_publicKey.GetKeyID());
        EXPECT_EQ(ColonHex(keyId), LineAfter(text, "Subject Key Identifier"));

        // Usages, constraints and the key type they make.
        IdentObj blob;
        ASSERT_TRUE(info.m_extensions.Find(cert::oids::kKeyUsage)->DecodeData(blob, cert::oids::kKeyUsage));
        const auto& bits = *reinterpret_cast<const CRYPT_BIT_BLOB*>(blob.data());
        EXPECT_EQ(bits.pbData[0],
                  CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_CRL_SIGN_KEY_USAGE);
        ASSERT_TRUE(
            info.m_extensions.Find(cert::oids::kBasicConstraints)->DecodeData(blob, cert::oids::kBasicConstraints));
        const auto& bc = *reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(blob.data());
        EXPECT_TRUE(bc.fCA && bc.fPathLenConstraint && bc.dwPathLenConstraint == 2);
        ASSERT_TRUE(info.m_extensions.Find(cert::oids::kExtKeyUsage)->DecodeData(blob, cert::oids::kExtKeyUsage));
        EXPECT_EQ(reinterpret_cast<const CERT_ENHKEY_USAGE*>(blob.data())->cUsageIdentifier, 2u);

        // The authority key identifier: key id, issuer and serial as openssl
        // reads them.
        const CCTFIssuerPublicKeyID aki(*info.m_extensions.Find(cert::oids::kAuthorityKeyIdentifier));
        EXPECT_EQ(aki.GetKeyID(), keyId);
        EXPECT_EQ(static_cast<const IdentObj&>(aki.GetIssuerName()), static_cast<const IdentObj&>(info.m_issuer));
        // openssl prints the serial's value bytes: a 00 kept before a high
        // bit (random serials have one now and then) is not among them.
        std::string serial(info.m_serialNumber.view().rbegin(), info.m_serialNumber.view().rend());
        if (serial.size() > 1 && serial[0] == 0 && (serial[1] & 0x80)) serial.erase(0, 1);
        EXPECT_NE(text.find("serial:" + ColonHex(IdentObj(serial))), std::string::npos);

        // openssl writes NULL signature parameters, which the fields do not
        // carry into the re-encoding; the kept input still goes out whole.
        EXPECT_NE(cert.GetEncodetCert(), der);

        // Signed again without them, openssl verifies it and the model gives
        // its bytes back.
        const IdentObj tbs = info.GetEncodetInfo();
        certtest::WriteFile(F(n + ".tbs"), std::string(tbs.view()));
        Openssl("dgst " + Engine(k) + k.digest + " -sign " + Sh(F(n + ".key")) + " -out " + Sh(F(n + ".sig")) + " " +
                Sh(F(n + ".tbs")));
        const std::string signature = certtest::ReadFile(F(n + ".sig"));
        CCTFX509Certificate resigned = cert;
        resigned.m_signatureAlgorithm.SetParameters(IdentObj());
        resigned.m_signature = CTOOCryptBitBlob(IdentObj(std::string(signature.rbegin(), signature.rend())));
        const IdentObj again = resigned.GetEncodetCert();
        certtest::WriteFile(F(n + "-again.der"), std::string(again.view()));
        Openssl("x509 -inform DER -in " + Sh(F(n + "-again.der")) + " -out " + Sh(F(n + "-again.pem")));
        Verify(F(n + "-again.pem"), Engine(k));
        CCTFX509Certificate read;
        ASSERT_TRUE(read.DecodeCert(again));
        EXPECT_EQ(read.GetEncodetCert(), again);
    }
};

TEST_F(ModelOpenssl, CertificatesReadAsOpensslReadsThem) {
    CheckAgainstOpenssl(kKinds[0]);
    if (!certtest::HaveGostEngine()) GTEST_SKIP() << "no GOST engine for openssl";
    for (std::size_t i = 1; i < std::size(kKinds); ++i) CheckAgainstOpenssl(kKinds[i]);
}

TEST_F(ModelOpenssl, NewCertificatesVerifyAndReadBackAsBuilt) {
    auto ctf = [&](const std::string& args) {
        auto r = certtest::Ctf("--home " + Sh(home_.path()) + " " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    };
    // The tool makes GOST keys only; an RSA signature key goes into a
    // container through the provider.
    {
        VRKSCApi::CryptProvider prov;
        ASSERT_TRUE(VRKAcquireContext(&prov, "rsa", nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET));
        VRKSCApi::CryptKey key;
        ASSERT_TRUE(VRKGenKey(prov, CALG_RSA_SIGN, 0, &key)) << std::hex << GetLastError();
    }
    const bool gost = certtest::HaveGostEngine();
    for (const char* alg : {"rsa", "gost2001", "gost12-256", "gost12-512"}) {
        SCOPED_TRACE(alg);
        const std::string a = alg, der = F(a + ".der"), pem = F(a + ".pem");
        const bool rsa = a == "rsa";
        if (!rsa && !gost) continue;
        const std::string engine = rsa ? "" : "-engine gost ";
        if (!rsa) ctf("key new --container " + a + " --alg " + a + " --no-password");
        ctf("cert new --container " + a + " --no-password --subject " + Sh("CN=Центр " + a + ", O=Тест, C=RU") +
            " --ca --months 30 --eku 3 --crl http://ca.example/1.crl --crl http://ca.example/2.crl"
            " --aia http://ca.example/ca.cer --ocsp http://ocsp.example/ --out " +
            Sh(der));
        Openssl("x509 -inform DER -in " + Sh(der) + " -out " + Sh(pem));
        Verify(pem, engine);
        const std::string text = Openssl("x509 " + engine + "-in " + Sh(pem) + " -noout -text");
        const std::string fields =
            Openssl("x509 -in " + Sh(pem) + " -noout -serial -dates -subject -nameopt oneline,-esc_msb");
        EXPECT_EQ(Field(fields, "subject"), "CN = Центр " + a + ", O = Тест, C = RU");
        EXPECT_EQ(LineAfter(text, "Key Usage: critical"),
                  "Digital Signature, Non Repudiation, Certificate Sign, CRL Sign");
        const std::string ski = LineAfter(text, "Subject Key Identifier");
        EXPECT_NE(text.find("keyid:" + ski), std::string::npos);
        EXPECT_NE(text.find("serial:" + ColonHex(IdentObj(certtest::FromHex(Field(fields, "serial")).data(),
                                                          DWORD(Field(fields, "serial").size() / 2)))),
                  std::string::npos);
        for (const char* url : {"URI:http://ca.example/1.crl", "URI:http://ca.example/2.crl",
                                "OCSP - URI:http://ocsp.example/", "CA Issuers - URI:http://ca.example/ca.cer"})
            EXPECT_NE(text.find(url), std::string::npos) << url;
        // The model's own output re-encodes byte for byte.
        EXPECT_NE(ctf("cert reencode " + Sh(der) + " --out " + Sh(F(a + ".again"))).find("identical"),
                  std::string::npos);
    }

    // An end entity: purposes, no CA, the key identifier word at the end of
    // the serial and as the subject's unique identifier.
    if (!gost) GTEST_SKIP() << "no GOST engine for openssl";
    ctf("cert new --container gost12-256 --no-password --subject CN=User --eku 3 --key-id 1A2B --out " +
        Sh(F("user.der")));
    Openssl("x509 -inform DER -in " + Sh(F("user.der")) + " -out " + Sh(F("user.pem")));
    const std::string text = Openssl("x509 -engine gost -in " + Sh(F("user.pem")) + " -noout -text");
    EXPECT_EQ(LineAfter(text, "Extended Key Usage"), "TLS Web Server Authentication, TLS Web Client Authentication");
    EXPECT_EQ(LineAfter(text, "Key Usage: critical"),
              "Digital Signature, Non Repudiation, Key Encipherment, Data Encipherment");
    const std::string serial = Field(Openssl("x509 -in " + Sh(F("user.pem")) + " -noout -serial"), "serial");
    EXPECT_EQ(serial.substr(serial.size() - 16), "0000000000001A2B");
    EXPECT_NE(text.find("Subject Unique ID"), std::string::npos);
}

}  // namespace
