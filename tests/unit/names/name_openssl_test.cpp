#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "cert/asn.h"
#include "cert/x500name.h"
#include "testsupport.h"

namespace {

using certtest::Sh;

std::string S(const std::u16string& w) {
    std::string s;
    EXPECT_TRUE(w.empty() || TOOUtf16ToUtf8(w, s));
    return s;
}

class NameOpenssl : public certtest::HomeTest {
protected:
    std::string Openssl(const std::string& args) {
        auto r = certtest::Run("openssl " + args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        return r.out;
    }

    certtest::RunResult Ctf(const std::string& args) {
        return certtest::Ctf("--home " + Sh(home_.path()) + " " + args);
    }

    std::string Encode(const std::string& text, const std::string& options = "") {
        auto r = Ctf("name encode " + Sh(text) + " " + options);
        EXPECT_EQ(r.exitCode, 0) << text << "\n" << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }

    // The string types openssl sees in a DER file: the primitive after
    // each OBJECT, in order (the lines of a SEQUENCE value each count).
    std::vector<std::string> ValueTypes(const std::string& der) {
        std::vector<std::string> types;
        static const std::regex prim(R"(prim: (\w+))");
        std::istringstream lines(Openssl("asn1parse -inform DER -in " + Sh(der)));
        for (std::string l; std::getline(lines, l);) {
            std::smatch m;
            if (std::regex_search(l, m, prim) && m[1] != "OBJECT") types.push_back(m[1]);
        }
        return types;
    }

    // The subject of an openssl certificate, as DER (also left in subject.der).
    IdentObj Subject(const std::string& pem) {
        Openssl("x509 -in " + Sh(pem) + " -outform DER -out " + Sh(home_ / "cert.der"));
        const IdentObj cert(certtest::ReadFile(home_ / "cert.der"));
        asn::Reader tbs = asn::Reader(asn::View(cert)).EnterSequence().EnterSequence();
        for (int i = 0; i < 5; ++i) tbs.Next();  // version, serial, algorithm, issuer, validity
        const asn::Bytes s = tbs.Next().encoded;
        const IdentObj subject(s.data(), DWORD(s.size()));
        certtest::WriteFile(home_ / "subject.der", std::string(subject.view()));
        return subject;
    }
};

TEST_F(NameOpenssl, EncodedNamesCarryTheDialectsStringTypes) {
    const std::string text =
        "CN=Тест, O=Latin Org, C=RU, E=a@b.ru, INN=007712345678, OGRN=1027700132195, OGRNIP=304500116000157,"
        "SNILS=12345678901, SERIALNUMBER=AB-12, POSTALADDRESS=\"line 1$$Улица\", O=a=b";
    struct Case {
        const char* options;
        std::vector<std::string> types;
    } cases[] = {
        {"",
         {"BMPSTRING", "PRINTABLESTRING", "PRINTABLESTRING", "IA5STRING", "NUMERICSTRING", "NUMERICSTRING",
          "NUMERICSTRING", "NUMERICSTRING", "PRINTABLESTRING", "BMPSTRING", "BMPSTRING", "BMPSTRING"}},
        {"--utf8",
         {"UTF8STRING", "PRINTABLESTRING", "PRINTABLESTRING", "IA5STRING", "NUMERICSTRING", "NUMERICSTRING",
          "NUMERICSTRING", "NUMERICSTRING", "PRINTABLESTRING", "UTF8STRING", "UTF8STRING", "UTF8STRING"}},
    };
    for (const auto& c : cases) {
        const std::string der = home_ / "name.der";
        ASSERT_EQ(Ctf("name encode " + Sh(text) + " " + c.options + " --out " + Sh(der)).exitCode, 0);
        EXPECT_EQ(ValueTypes(der), c.types) << c.options;
    }
}

TEST_F(NameOpenssl, OpensslSubjectsDecodeToWhatOpensslShows) {
    const std::string pem = home_ / "c.pem";
    Openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + Sh(home_ / "k.pem") + " -out " +
            Sh(pem) + " -days 1 -utf8 -subj " +
            Sh("/CN=Иванов, Иван/O=ООО \"Ромашка\"/C=RU/INN=007712345678/SNILS=12345678901/OGRN=1027700132195"
               "/postalAddress=ул. Тверская, 1/ST=Москва/L= lead space/emailAddress=a@b.ru/title=x\\/y#z;w\\+q"
               "/OU=it's"));
    const IdentObj der = Subject(pem);
    const CCTFX509Name subject(der);

    // openssl's values, one RDN a line, without escapes.
    std::vector<std::pair<std::string, std::string>> theirs;
    std::istringstream lines(Openssl("x509 -in " + Sh(pem) + " -noout -subject -nameopt sep_multiline,utf8,sname"));
    for (std::string l; std::getline(lines, l);) {
        if (l.rfind("    ", 0) != 0) continue;
        const auto eq = l.find('=');
        theirs.emplace_back(l.substr(4, eq - 4), l.substr(eq + 1));
    }
    ASSERT_EQ(theirs.size(), 12u);

    // Ours: the same values (openssl names a few keys differently).
    X500NameParser::X500NameDecoder d;
    std::list<std::pair<std::u16string, std::list<std::u16string>>> ours;
    ASSERT_TRUE(d.Decode(der, ours, X500NameParser::kModeKeywords));
    ASSERT_EQ(ours.size(), theirs.size());
    auto o = ours.begin();
    for (const auto& [k, v] : theirs) {
        ASSERT_EQ(o->second.size(), 1u);
        EXPECT_EQ(S((o++)->second.front()), v) << k;
    }
    // The text form quotes what needs it and reads back to an equal name.
    std::string text;
    subject.GetX500String(text, X500NameParser::kModeKeywords);
    EXPECT_EQ(text,
              "CN=\"Иванов, Иван\",O=\"ООО \"\"Ромашка\"\"\",C=RU,INN=007712345678,SNILS=12345678901,"
              "OGRN=1027700132195,POSTALADDRESS=\"ул. Тверская, 1\",S=Москва,L=\" lead space\",E=a@b.ru,"
              "T=\"x/y#z;w+q\",OU=\"it's\"");
    // Read back, every attribute has its value again; only the postal
    // address changes form: the text form writes it as a SEQUENCE of lines
    // where openssl wrote one string.
    std::vector<CCTFSimpleRDN> before, after;
    subject.GetSimpleRDNVector(before);
    CCTFX509Name(text.c_str()).GetSimpleRDNVector(after);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i].oid != "2.5.4.16") {
            EXPECT_EQ(before[i], after[i]) << before[i].oid.str();
        }
    EXPECT_EQ(after[6].value.str().substr(0, 3), "#30");
    EXPECT_EQ(Ctf("name decode " + Sh(home_ / "subject.der")).out, text + "\n");
}

TEST_F(NameOpenssl, PostalAddressLinesAndMultiValuedRdns) {
    // A postal address as a SEQUENCE of lines, as openssl's generator writes it.
    const std::string conf = home_ / "name.conf";
    certtest::WriteFile(conf,
                        "asn1=SEQUENCE:name\n[name]\nr1=SET:r1\nr2=SET:r2\n"
                        "[r1]\na=SEQUENCE:cn\n[cn]\nt=OID:commonName\nv=FORMAT:UTF8,UTF8:Тест\n"
                        "[r2]\na=SEQUENCE:pa\n[pa]\nt=OID:postalAddress\nv=SEQUENCE:lines\n"
                        "[lines]\nl1=FORMAT:UTF8,UTF8:ул. Тверская, 1\nl2=PRINTABLESTRING:Moscow\n");
    const std::string der = home_ / "postal.der";
    Openssl("asn1parse -genconf " + Sh(conf) + " -noout -out " + Sh(der));
    const std::string bytes = certtest::ReadFile(der);
    auto shown = Ctf("name decode " + Sh(der));
    EXPECT_EQ(shown.out, "CN=Тест,POSTALADDRESS=\"ул. Тверская, 1$$Moscow\"\n");
    EXPECT_EQ(Encode(shown.out.substr(0, shown.out.size() - 1), "--utf8").size(), bytes.size() * 2);

    // A multi-valued RDN from openssl: the name as data reads its first
    // attribute in DER order.
    const std::string pem = home_ / "m.pem";
    Openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + Sh(home_ / "k.pem") + " -out " +
            Sh(pem) + " -days 1 -utf8 -subj " + Sh("/CN=Иван+SN=Иванов/C=RU"));
    const IdentObj multi = Subject(pem);
    std::list<CCTFSimpleRDN> simple;
    CCTFX509Name(multi).GetSimpleRDNList(simple, false);
    ASSERT_EQ(simple.size(), 2u);
    EXPECT_EQ(simple.front().oid.str(), "2.5.4.3");  // the shorter attribute sorts first
    EXPECT_TRUE(CCTFX509Name(multi) == CCTFX509Name("CN=Иван,C=RU"));
}

}  // namespace
