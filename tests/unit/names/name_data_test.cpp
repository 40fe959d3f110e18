#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "cert/x500name.h"
#include "testsupport.h"

namespace {

using certtest::BlobFromHex;

constexpr const char* kCN = "2.5.4.3";
constexpr const char* kO = "2.5.4.10";
constexpr const char* kC = "2.5.4.6";
constexpr const char* kOU = "2.5.4.11";
constexpr const char* kPseudonym = "2.5.4.65";

// The platform's own encoding of a structure, for names the parser would
// never write (multi-valued RDNs, odd value types).
IdentObj PlatformName(const CERT_NAME_INFO& info) {
    DWORD n = 0;
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, &info, nullptr, &n));
    IdentObj out;
    out.Alloc(n);
    EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, &info, out.data(), &n));
    out.Realloc(n);
    return out;
}

// `bytes` must outlive the attribute: a literal.
CERT_RDN_ATTR Attr(const char* oid, DWORD type, const char* bytes) {
    return CERT_RDN_ATTR{
        const_cast<char*>(oid), type, {DWORD(std::strlen(bytes)), reinterpret_cast<BYTE*>(const_cast<char*>(bytes))}};
}

CERT_RDN_ATTR Wide(const char* oid, DWORD type, const std::u16string& text) {
    return CERT_RDN_ATTR{const_cast<char*>(oid),
                         type,
                         {DWORD(text.size() * 2), reinterpret_cast<BYTE*>(const_cast<char16_t*>(text.data()))}};
}

template <class F>
void ExpectStatus(int code, F&& body) {
    try {
        body();
        ADD_FAILURE() << "no status thrown, expected " << code;
    } catch (const XTOOStatus& s) {
        EXPECT_EQ(s.Status(), code) << s.Place();
        EXPECT_EQ(s.Flag(), 1) << s.Place();
    }
}

std::string Text(const CCTFX509Name& n, DWORD mode = 3) {
    std::string t;
    n.GetX500String(t, mode);
    return t;
}

TEST(NameData, StructuresAndListsEncodeInOrderAndReadBack) {
    const std::u16string cyrillic = u"Иванов";
    CERT_RDN_ATTR multi[] = {Attr(kO, CERT_RDN_PRINTABLE_STRING, "Org"), Attr(kOU, CERT_RDN_PRINTABLE_STRING, "Unit")};
    CERT_RDN_ATTR cn = Wide(kCN, CERT_RDN_UTF8_STRING, cyrillic);
    CERT_RDN_ATTR c = Attr(kC, CERT_RDN_PRINTABLE_STRING, "RU");
    CERT_RDN rdns[] = {{1, &c}, {2, multi}, {1, &cn}};
    const CERT_NAME_INFO info{3, rdns};

    // utf8: every value not bound to a type becomes UTF8String; the
    // multi-valued RDN stays one SET.
    const CCTFX509Name asUtf8(info, true);
    std::list<std::list<CCTFRDNAttr>> back;
    asUtf8.GetNameInfo(back);
    ASSERT_EQ(back.size(), 3u);
    auto rdn = back.begin();
    EXPECT_EQ(rdn->front().GetValueType(), CERT_RDN_PRINTABLE_STRING);  // a country is always printable
    ++rdn;
    ASSERT_EQ(rdn->size(), 2u);
    for (const auto& a : *rdn) EXPECT_EQ(a.GetValueType(), CERT_RDN_UTF8_STRING);

    // Without utf8: printable text stays printable, the rest is BMPString.
    const CCTFX509Name plain(info, false);
    plain.GetNameInfo(back);
    EXPECT_EQ((++back.begin())->front().GetValueType(), CERT_RDN_PRINTABLE_STRING);
    EXPECT_EQ(back.back().front().GetValueType(), CERT_RDN_BMP_STRING);

    // The attribute lists read back encode to the same name.
    EXPECT_EQ(static_cast<const IdentObj&>(CCTFX509Name(back, false)), static_cast<const IdentObj&>(plain));

    // Simple RDNs: first attributes only, encoded order or display order.
    std::list<CCTFSimpleRDN> simple;
    plain.GetSimpleRDNList(simple, false);
    EXPECT_EQ(simple, (std::list<CCTFSimpleRDN>{{kC, "RU"}, {kO, "Org"}, {kCN, "Иванов"}}));
    plain.GetSimpleRDNList(simple, true);
    EXPECT_EQ(simple.front().oid.str(), kCN);

    // From simple RDNs, reordered: country first, common name last.
    const CCTFX509Name fromSimple(std::list<CCTFSimpleRDN>{{kCN, "Иванов"}, {kO, "Org"}, {kC, "RU"}}, false, true);
    EXPECT_EQ(Text(fromSimple), "C=RU,O=Org,CN=Иванов");
    EXPECT_EQ(Text(CCTFX509Name(std::list<CCTFSimpleRDN>{{kCN, "A"}, {kC, "RU"}}, false, false)), "CN=A,C=RU");

    // GetSimpleRDN: first RDN whose FIRST attribute has the OID.
    CTOOString got("stale");
    EXPECT_TRUE(plain.GetSimpleRDN(kO, got));
    EXPECT_EQ(got.str(), "Org");
    EXPECT_FALSE(plain.GetSimpleRDN(kOU, got));  // second attribute of its RDN
    EXPECT_TRUE(got.IsEmpty());
    std::u16string wide;
    EXPECT_TRUE(plain.GetSimpleRDN(kCN, wide));
    EXPECT_EQ(wide, cyrillic);
    EXPECT_FALSE(plain.GetSimpleRDN(nullptr, got));

    // The empty name is a name without RDNs.
    const CCTFX509Name empty;
    EXPECT_EQ(Text(empty), "");
    std::string display = "stale";
    EXPECT_FALSE(empty.GetCertNameString(display));
}

TEST(NameData, EqualityIgnoresOrderTypeAndLaterAttributesButNotCase) {
    const CCTFX509Name a("CN=Test,O=Org,C=RU");
    const CCTFX509Name reordered("C=RU;CN=Test;O=Org");
    const CCTFX509Name utf8(std::list<CCTFSimpleRDN>{{kCN, "Test"}, {kO, "Org"}, {kC, "RU"}}, true);
    const CCTFX509Name upper("CN=TEST,O=Org,C=RU");
    const CCTFX509Name fewer("CN=Test,O=Org");
    const CCTFX509Name twice("CN=Test,O=Org,C=RU,C=RU");
    std::list<std::list<CCTFRDNAttr>> rdns;
    EXPECT_NE(static_cast<const IdentObj&>(a), static_cast<const IdentObj&>(utf8));

    EXPECT_TRUE(a == reordered);
    EXPECT_TRUE(a == utf8);
    EXPECT_TRUE(a != upper);
    EXPECT_TRUE(fewer != a);
    EXPECT_TRUE(a != twice);
    EXPECT_TRUE(CCTFX509Name() == CCTFX509Name(BlobFromHex("3000")));

    // A multi-valued RDN counts by its first attribute (in DER order: the
    // values are of one length, so the type decides).
    CERT_RDN_ATTR both[] = {Attr(kCN, CERT_RDN_PRINTABLE_STRING, "Test"), Attr(kOU, CERT_RDN_PRINTABLE_STRING, "Unit")};
    CERT_RDN_ATTR o = Attr(kO, CERT_RDN_PRINTABLE_STRING, "Org");
    CERT_RDN_ATTR c = Attr(kC, CERT_RDN_PRINTABLE_STRING, "RU");
    CERT_RDN list[] = {{2, both}, {1, &o}, {1, &c}};
    const CCTFX509Name multi(PlatformName(CERT_NAME_INFO{3, list}));
    EXPECT_TRUE(multi == a);

    // Maps order names by their bytes, not by ==: equal names by == may
    // be two keys.
    std::map<CCTFX509Name, int> byBytes{{a, 1}, {reordered, 2}};
    EXPECT_EQ(byBytes.size(), 2u);
    CCTFX509Name copy(a.blob());
    copy = static_cast<const IdentObj&>(reordered);
    EXPECT_EQ(static_cast<const IdentObj&>(copy), static_cast<const IdentObj&>(reordered));

    // A name that does not decode throws 134 with flag 1 from every reader.
    const CCTFX509Name broken(BlobFromHex("3005310330010000"));
    ExpectStatus(TOOERR_BADENCODING, [&] { (void)(broken == a); });
    ExpectStatus(TOOERR_BADENCODING, [&] { broken.GetNameInfo(rdns); });
    ExpectStatus(TOOERR_BADENCODING, [&] {
        CTOOString v;
        broken.GetSimpleRDN(kCN, v);
    });
    ExpectStatus(TOOERR_BADENCODING, [&] { Text(broken); });
}

TEST(NameData, SetSimpleRdnReplacesInPlaceAndRetypes) {
    CCTFX509Name n("C=RU,O=Org,CN=Old,OU=Unit");
    EXPECT_TRUE(n.SetSimpleRDN(kCN, "Новое \"имя\""));
    EXPECT_EQ(Text(n), "C=RU,O=Org,CN=\"Новое \"\"имя\"\"\",OU=Unit");
    // Re-encoded with UTF8String for every value not bound to a type.
    std::list<std::list<CCTFRDNAttr>> rdns;
    n.GetNameInfo(rdns);
    EXPECT_EQ((++rdns.begin())->front().GetValueType(), CERT_RDN_UTF8_STRING);

    EXPECT_TRUE(n.SetSimpleRDN(CCTFSimpleRDN(kO, "Other")));
    EXPECT_EQ(Text(n), "C=RU,O=Other,CN=\"Новое \"\"имя\"\"\",OU=Unit");
    // No RDN with the OID: nothing is added.
    const IdentObj kept = n;
    EXPECT_FALSE(n.SetSimpleRDN(kPseudonym, "P"));
    EXPECT_EQ(static_cast<const IdentObj&>(n), kept);
    EXPECT_FALSE(CCTFX509Name().SetSimpleRDN(kCN, "x"));

    // A value its type refuses (a letter in an INN) throws 22 and leaves
    // the name whole.
    CCTFX509Name inn("CN=A,INN=123456789012");
    const IdentObj innBefore = inn;
    ExpectStatus(TOOERR_BADNAME, [&] { inn.SetSimpleRDN("1.2.643.3.131.1.1", "12345678901A"); });
    EXPECT_EQ(static_cast<const IdentObj&>(inn), innBefore);

    // The text decoder refuses multi-valued RDNs: so does SetSimpleRDN.
    CERT_RDN_ATTR both[] = {Attr(kCN, CERT_RDN_PRINTABLE_STRING, "Test"), Attr(kOU, CERT_RDN_PRINTABLE_STRING, "Unit")};
    CERT_RDN list[] = {{2, both}};
    CCTFX509Name multi(PlatformName(CERT_NAME_INFO{1, list}));
    EXPECT_FALSE(multi.SetSimpleRDN(kCN, "Other"));
    CTOOString cn;
    ASSERT_TRUE(multi.GetSimpleRDN(kCN, cn));  // while the data side reads it
    EXPECT_EQ(cn.str(), "Test");
}

TEST(NameData, AttributesAndHelpers) {
    // MakeRDNAttr types the value as the encoder does.
    CCTFRDNAttr a;
    CCTFX509Name::MakeRDNAttr(kO, "Кириллица", a);
    EXPECT_EQ(a.GetValueType(), CERT_RDN_BMP_STRING);
    const CCTFRDNAttr email("1.2.840.113549.1.9.1", "a@b.ru");
    EXPECT_EQ(email.GetValueType(), CERT_RDN_IA5_STRING);
    const CCTFRDNAttr quoted(kCN, "a, \"b\"");
    CTOOString v;
    quoted.GetValueString(v);
    EXPECT_EQ(v.str(), "a, \"b\"");
    ExpectStatus(TOOERR_BADNAME, [] { CCTFRDNAttr("1.2.840.113549.1.9.1", "почта@b.ru"); });
    ExpectStatus(TOOERR_BADNAME, [] { CCTFRDNAttr(kCN, ""); });

    // Attributes compare by OID, type and value bytes; a view round-trips.
    const CCTFRDNAttr copy(email.GetAttr());
    EXPECT_EQ(copy, email);
    EXPECT_NE(copy, CCTFRDNAttr("1.2.840.113549.1.9.1", CERT_RDN_IA5_STRING, IdentObj("a@b.rv", 6)));

    // Quoting and unquoting.
    CTOOString q, u;
    CCTFX509Name::QuoteString("a\"b", q);
    CCTFX509Name::UnquoteString(q, u);
    EXPECT_EQ(q.str() + "|" + u.str(), "\"a\"\"b\"|a\"b");
    CTOOString inPlace("x\"");
    CCTFX509Name::QuoteString(inPlace);
    EXPECT_EQ(inPlace.str(), "\"x\"\"\"");
    CCTFX509Name::UnquoteString(inPlace);
    EXPECT_EQ(inPlace.str(), "x\"");
    CCTFX509Name::FormatRDNAttr(kCN, "v", q);
    EXPECT_EQ(q.str(), "2.5.4.3=\"v\"");

    // The value text leaves the output alone when there is none.
    CTOOString text("kept");
    CCTFX509Name::GetRDNAttrValueString(Attr(kCN, 99, "x"), text);
    EXPECT_EQ(text.str(), "kept");
    CCTFX509Name::GetRDNAttrValueString(Attr(kCN, CERT_RDN_ENCODED_BLOB, "\x02\x01\x05"), text);
    EXPECT_EQ(text.str(), "#020105");

    // Display ranks and their order.
    EXPECT_EQ(CCTFSimpleRDN::GetDisplayRank("1.2.3"), 99);
    EXPECT_TRUE(CCTFSimpleRDN(kCN, "z") < CCTFSimpleRDN(kC, "a"));
    EXPECT_TRUE(CCTFSimpleRDN(kC, "a") > CCTFSimpleRDN(kO, "z"));
    EXPECT_FALSE(CCTFSimpleRDN(kCN, "a") < CCTFSimpleRDN(kPseudonym, "b"));
    // Sets order by OID text, byte by byte ("2.5.4.10" before "2.5.4.3"), then value.
    EXPECT_TRUE(CCTFSimpleRDN::CompareSimpleRDN({kO, "z"}, {kCN, "a"}));
    EXPECT_TRUE(CCTFSimpleRDN::CompareSimpleRDN({kCN, "A"}, {kCN, "a"}));
    EXPECT_FALSE(CCTFSimpleRDN::CompareSimpleRDN({kCN, "a"}, {kCN, "a"}));
}

TEST(NameData, MergeAndDisplayName) {
    using L = std::list<CCTFSimpleRDN>;
    L target{{kCN, "T"}, {kO, "Org"}};
    CCTFX509Name::MergeRDNAtributes(target, L{{kO, "Other"}}, kCN);  // source has none: removed
    EXPECT_EQ(target, (L{{kO, "Org"}}));
    CCTFX509Name::MergeRDNAtributes(target, L{{"2.5.4.10", "New"}, {kO, "Later"}}, "2.5.4.10");
    EXPECT_EQ(target, (L{{kO, "New"}}));
    CCTFX509Name::MergeRDNAtributes(target, L{{kC, "RU"}}, kC);  // appended
    EXPECT_EQ(target, (L{{kO, "New"}, {kC, "RU"}}));

    for (const auto& [name, shown] :
         {std::pair{"CN=First,O=Org,CN=Second", "Second"}, std::pair{"CN=Name,PSEUDONYM=Nick,CN=Later", "Nick"},
          std::pair{"C=RU,L=Town", "RU"}}) {
        std::string d;
        EXPECT_TRUE(CCTFX509Name(name).GetCertNameString(d));
        EXPECT_EQ(d, shown);
    }
}

}  // namespace
