#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "cert/oid.h"
#include "cert/x500name.h"
#include "testsupport.h"

namespace {

using namespace X500NameParser;
using Elem = X500NameEncoder::X500NAME_ELEM;
using certtest::BlobFromHex;
using certtest::Hex;

std::u16string U(const std::string& utf8) {
    std::u16string out;
    EXPECT_TRUE(utf8.empty() || TOOUtf8ToUtf16(utf8, out)) << utf8;
    return out;
}

std::string S(const std::u16string& wide) {
    std::string out;
    EXPECT_TRUE(wide.empty() || TOOUtf16ToUtf8(wide, out));
    return out;
}

// "oid=value|oid=value" of the elements a text parses into, or "fails@N".
std::string Elements(const std::string& text, DWORD options = 0) {
    X500NameEncoder e;
    e.SetEncoderOptions(options);
    std::list<Elem> elems;
    if (!e.DevideIntoElements(U(text), elems)) return "fails@" + std::to_string(e.GetReadPosition());
    std::string out;
    for (const auto& x : elems) out += (out.empty() ? "" : "|") + S(x.oid) + "=" + S(x.value);
    return out;
}

IdentObj Encoded(const std::string& text, DWORD options = 0, bool reorder = false, DWORD* failedAt = nullptr) {
    X500NameEncoder e;
    e.SetEncoderOptions(options);
    IdentObj der;
    const bool ok = e.Encode(U(text), der, reorder);
    if (failedAt) *failedAt = ok ? ~0u : e.GetReadPosition();
    EXPECT_EQ(ok, !der.IsEmpty());
    return der;
}

std::string Decoded(const IdentObj& der, DWORD modeAndOptions = kModeKeywords) {
    X500NameDecoder d;
    d.SetDecoderOptions(modeAndOptions);
    std::u16string text;
    if (!d.Decode(der, text, modeAndOptions)) return "fails";
    return S(text);
}

// The value types of the first attribute of each RDN, as the platform
// decodes them.
std::vector<DWORD> Types(const IdentObj& der) {
    std::list<std::list<CCTFRDNAttr>> rdns;
    CCTFX509Name(der).GetNameInfo(rdns);
    std::vector<DWORD> out;
    for (const auto& r : rdns) out.push_back(r.front().GetValueType());
    return out;
}

TEST(NameParser, TokeniserAndTypes) {
    struct Case {
        const char* text;
        const char* elements;
        DWORD options = 0;
    } cases[] = {
        {"", ""},
        {"  CN = a b ,O = \"x, y\"", "2.5.4.3=a b|2.5.4.10=x, y"},
        {"CN=\"a\"\"b\"", "2.5.4.3=a\"b"},
        {"CN=\"open", "2.5.4.3=open"},
        {"CN=a,,;O=b", "2.5.4.3=a|2.5.4.10=b"},
        {"CN=a;O=b\r\nL=c\nS=d,", "2.5.4.3=a|2.5.4.10=b|2.5.4.7=c|2.5.4.8=d"},
        {"CN=a=b", "2.5.4.3=a=b"},
        {"CN=a$$b$$$c", "2.5.4.3=a\nb\n$c"},
        {"CN", "2.5.4.3="},
        {"O=x,CN", "2.5.4.10=x|2.5.4.3="},
        {"cn=a,Ou=b,e=c,email=d,title=e,t=f",
         "2.5.4.3=a|2.5.4.11=b|1.2.840.113549.1.9.1=c|1.2.840.113549.1.9.1=d|"
         "2.5.4.12=e|2.5.4.12=f"},
        {"инн=1,ИНН=2,Огрнип=3,снилс=4,ОГРН=5",
         "1.2.643.3.131.1.1=1|1.2.643.3.131.1.1=2|1.2.643.100.5=3|"
         "1.2.643.100.3=4|1.2.643.100.1=5"},
        {"code division fss=1,REGISTRATION NUMBER FSS=2", "1.2.643.3.141.1.2=1|1.2.643.3.141.1.1=2"},
        {"OID.2.5.4.3=a,oid.2.5.4.3=b,2.5.4.3=c,1.2.3.4.5=d", "2.5.4.3=a|2.5.4.3=b|2.5.4.3=c|1.2.3.4.5=d"},
        {"CN=a;b,O=c\nd", "2.5.4.3=a;b|2.5.4.10=c\nd", kCommaOnly},
        {"CN=a,b;O=c\nd", "2.5.4.3=a,b|2.5.4.10=c\nd", kSemicolonOnly},
        {"CN=a,b\r\nO=c;d", "2.5.4.3=a,b|2.5.4.10=c;d", kLineBreakOnly},
        // Faults, at the start of the token that does not fit.
        {"CN=a,XX=b", "fails@5"},
        {"CN=\"a\" b,O=c", "fails@7"},
        {"CN==a", "fails@3"},
        {"=a", "fails@0"},
        {"CN=a, ,O=b", "fails@6"},
        {"2.5.4.=a", "fails@0"},
        {"1x=a", "fails@0"},
        {"CN=a;O=b", "2.5.4.3=a;O=b", kCommaOnly},
    };
    for (const auto& c : cases) EXPECT_EQ(Elements(c.text, c.options), c.elements) << c.text;

    // A NUL ends the text.
    X500NameEncoder e;
    std::list<Elem> elems;
    ASSERT_TRUE(e.DevideIntoElements(std::u16string(u"CN=a\0O=b", 8), elems));
    EXPECT_EQ(elems.size(), 1u);

    // Encoding needs something to encode, and a value for every element.
    DWORD at = 0;
    EXPECT_TRUE(Encoded("  ").IsEmpty());
    EXPECT_TRUE(Encoded("CN=", 0, false, &at).IsEmpty());
    EXPECT_EQ(at, 0u);
    EXPECT_TRUE(Encoded("O=x, CN", 0, false, &at).IsEmpty());
    EXPECT_EQ(at, 5u);  // the element, not the end of the text
    EXPECT_TRUE(Encoded("O=x,INN=12a4", 0, false, &at).IsEmpty());
    EXPECT_EQ(at, 4u);
    EXPECT_TRUE(Encoded("O=x,1.2.3.4=ok,C=RU,CN=a,E=почта@x.ru", 0, true, &at).IsEmpty());
    EXPECT_EQ(at, 25u);  // reported where it stood in the text, whatever the order
    EXPECT_EQ(Encoded("инн=123"), Encoded("INN=123"));
}

TEST(NameParser, StringTypeChoice) {
    constexpr DWORD N = CERT_RDN_NUMERIC_STRING, P = CERT_RDN_PRINTABLE_STRING, I = CERT_RDN_IA5_STRING,
                    B = CERT_RDN_BMP_STRING, U8 = CERT_RDN_UTF8_STRING;
    const char* all =
        "O=Latin 1,OU=Кириллица,C=RU,E=a@b.ru,INN=123456789012,SERIALNUMBER=12-AB,"
        "OGRN=1027700132195,OGRNIP=304500116000157,SNILS=123 456 789 01";
    struct Case {
        DWORD options;
        std::vector<DWORD> types;
    } cases[] = {
        {kUtf8NotBmp, {P, U8, P, I, N, P, N, N, N}},
        {kUtf8Always, {P, B, P, I, N, P, N, N, N}},
        {kUtf8NotBmp | kUtf8Always, {U8, U8, P, I, N, P, N, N, N}},
    };
    for (const auto& c : cases) EXPECT_EQ(Types(Encoded(all, c.options)), c.types) << std::hex << c.options;

    // The dialect's PrintableString: no '=', no '@', but "'" and "?".
    EXPECT_EQ(Types(Encoded("O=a=b,O=a@b,O=it's ok?")), (std::vector<DWORD>{B, B, P}));
    // Values that do not fit their bound type are refused, not retyped.
    for (const char* bad : {"INN=12345678901A", "E=почта@x.ru", "C=РФ", "SNILS=123-456"})
        EXPECT_TRUE(Encoded(bad, kUtf8NotBmp | kUtf8Always).IsEmpty()) << bad;

    // Through CCTFX509Name, kUtf8NotBmp alone gives the encoder nothing:
    // text reaches UTF8String only with both bits.
    EXPECT_EQ(Types(CCTFX509Name("O=Кириллица", kUtf8NotBmp | kUtf8Always, false)), std::vector<DWORD>{B});
    try {
        CCTFX509Name("INN=12a");
        ADD_FAILURE();
    } catch (const XTOOStatus& s) {
        EXPECT_EQ(s.Status(), TOOERR_BADNAME);
        EXPECT_EQ(s.Flag(), 1);
    }
}

TEST(NameParser, ReorderAndPostalAddress) {
    const char* text = "CN=a,O=b,PSEUDONYM=p,C=RU,1.2.3.4=x,E=e@x.ru,OU=u,L=l,UNSTRUCTUREDNAME=n";
    EXPECT_EQ(Decoded(Encoded(text, 0, true)),
              "1.2.3.4=x,UNSTRUCTUREDNAME=n,C=RU,L=l,E=e@x.ru,O=b,OU=u,CN=a,PSEUDONYM=p");
    EXPECT_EQ(Decoded(Encoded(text, 0, false)),
              "CN=a,O=b,PSEUDONYM=p,C=RU,1.2.3.4=x,E=e@x.ru,OU=u,L=l,UNSTRUCTUREDNAME=n");

    // A postal address is a SEQUENCE of its lines, empty ones dropped,
    // each of the type the whole value gets.
    std::list<std::list<CCTFRDNAttr>> rdns;
    const IdentObj latin = Encoded("POSTALADDRESS=\"line 1\nline 2\"");
    CCTFX509Name(latin).GetNameInfo(rdns);
    ASSERT_EQ(rdns.size(), 1u);
    EXPECT_EQ(rdns.front().front().GetValueType(), CERT_RDN_ENCODED_BLOB);
    EXPECT_EQ(Hex(rdns.front().front().GetValue()), "301013066C696E65203113066C696E652032");
    EXPECT_EQ(Encoded(Decoded(latin)), latin);
    const IdentObj cyrillic = Encoded("POSTALADDRESS=\"ул. Ленина, 1$$$$Москва$$\"");
    CCTFX509Name(cyrillic).GetNameInfo(rdns);
    EXPECT_EQ(Hex(rdns.front().front().GetValue()).substr(4, 2), "1E");  // BMPString lines
    EXPECT_EQ(Decoded(cyrillic), "POSTALADDRESS=\"ул. Ленина, 1$$Москва\"");
    EXPECT_EQ(Encoded(Decoded(cyrillic)), cyrillic);
    // The (key, lines) form gives the lines apart.
    X500NameDecoder d;
    std::list<std::pair<std::u16string, std::list<std::u16string>>> elements;
    ASSERT_TRUE(d.Decode(Encoded("CN=a,POSTALADDRESS=x$$y"), elements, kModeKeywords));
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements.front().first, u"CN");
    EXPECT_EQ(elements.back().second, (std::list<std::u16string>{u"x", u"y"}));
    ASSERT_TRUE(d.Decode(Encoded("CN=a"), elements, kModeValues));
    EXPECT_EQ(elements.front().first, u"");
    // Only line breaks: nothing to encode.
    EXPECT_TRUE(Encoded("POSTALADDRESS=\"\n\"").IsEmpty());
}

TEST(NameParser, DecoderModesSeparatorsAndEscaping) {
    const IdentObj der = Encoded("CN=Иван, O=\"Рога, копыта\",C=RU,1.2.3.4=x");
    EXPECT_EQ(Decoded(der, kModeKeywords), "CN=Иван,O=\"Рога, копыта\",C=RU,1.2.3.4=x");
    EXPECT_EQ(Decoded(der, kModeOids), "2.5.4.3=Иван,2.5.4.10=\"Рога, копыта\",2.5.4.6=RU,1.2.3.4=x");
    EXPECT_EQ(Decoded(der, kModeValues), "Иван,\"Рога, копыта\",RU,x");
    EXPECT_EQ(Decoded(der, kModeKeywords | kLineBreakOnly | kSemicolonOnly),
              "CN=Иван\r\nO=\"Рога, копыта\"\r\nC=RU\r\n1.2.3.4=x");
    // The separator comes from the options set before, not from the word
    // given to Decode.
    X500NameDecoder d;
    d.SetDecoderOptions(kSemicolonOnly | 0xFFFF);
    EXPECT_EQ(d.GetDecoderOptions(), kSemicolonOnly);
    d.AddDecoderOption(kLineBreakOnly);
    d.RemoveDecoderOption(kSemicolonOnly);
    EXPECT_EQ(d.GetDecoderOptions(), kLineBreakOnly);

    // Escaping: quoted where a value would not read back as it is.
    struct Case {
        const char* text;  // encoded with kUtf8NotBmp | kUtf8Always so that any character fits
        const char* shown;
    } cases[] = {
        {"CN=plain text", "CN=plain text"},
        {"CN=\"a,b\"", "CN=\"a,b\""},
        {"CN=a+b", "CN=\"a+b\""},
        {"CN=#1", "CN=\"#1\""},
        {"CN=a=b", "CN=\"a=b\""},
        {"CN=a\\b", "CN=\"a\\b\""},
        {"CN=say \"hi\"", "CN=\"say \"\"hi\"\"\""},
        {"CN=\" lead\"", "CN=\" lead\""},
        {"CN=a$$b", "CN=a$$b"},
        {"CN=\"a$$b,c\"", "CN=\"a$$b,c\""},
        {"CN=O'Brien", "CN=\"O'Brien\""},
        {"CN=\"O'Brien$$x\"", "CN=\"O'Brien\nx\""},
        {"CN=a$$$b", "CN=\"a\n$b\""},  // "$$$" would be ambiguous
        {"CN=\"$$a$$\"", "CN=$$a$$"},
    };
    for (const auto& c : cases) {
        const IdentObj n = Encoded(c.text, kUtf8NotBmp | kUtf8Always);
        const std::string shown = Decoded(n);
        EXPECT_EQ(shown, c.shown) << c.text;
        EXPECT_EQ(Encoded(shown, kUtf8NotBmp | kUtf8Always), n) << c.text;
    }

    // Values that are no text: the hex of their whole encoding; an empty
    // string as two quotation marks.
    EXPECT_EQ(Decoded(BlobFromHex("300F310D300B06035504031C0400000041")), "CN=1C 04 00 00 00 41");
    EXPECT_EQ(Decoded(BlobFromHex("300E310C300A06035504030201050401FF")), "fails");
    EXPECT_EQ(Decoded(BlobFromHex("300D310B300906035504030202FF01")), "CN=02 02 FF 01");
    EXPECT_EQ(Decoded(BlobFromHex("300B3109300706035504030C00")), "CN=\"\"");
    EXPECT_EQ(Decoded(BlobFromHex("300C310A30080603550403130180")), "CN=13 01 80");  // not UTF-8
    // Multi-valued RDNs fail in every mode, so do empty RDNs and bad DER.
    const IdentObj multi = BlobFromHex("301C311A300B0603550403130454657374300B060355040B1304556E6974");
    for (DWORD mode : {kModeValues, kModeOids, kModeKeywords}) EXPECT_EQ(Decoded(multi, mode), "fails");
    EXPECT_EQ(Decoded(BlobFromHex("30023100")), "fails");
    EXPECT_EQ(Decoded(BlobFromHex("3000")), "");
    EXPECT_EQ(Decoded(BlobFromHex("30003000")), "fails");

    std::u16string hex;
    X500NameDecoder::BlobToString(IdentObj(), hex);
    EXPECT_EQ(hex, u"\"\"");
}

TEST(NameParser, StructureFormAndConversions) {
    // Text values as UTF-16 of type 12, anything else as its encoding.
    const IdentObj der = Encoded("CN=Иван,POSTALADDRESS=a$$b");
    IdentObj withInteger = BlobFromHex(
        "3031"
        "3111300F06035504031E08041804320430043D"
        "310B3009060355040C020201FF"
        "310F300D06035504103006130161130162");
    CertNameInfoWrapper info;
    X500NameDecoder d;
    ASSERT_TRUE(d.Decode(withInteger, info));
    ASSERT_EQ(info->cRDN, 3u);
    const CERT_RDN_ATTR& cn = info->rgRDN[0].rgRDNAttr[0];
    EXPECT_EQ(cn.dwValueType, CERT_RDN_BMP_STRING);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(cn.Value.pbData), cn.Value.cbData / 2), u"Иван");
    const CERT_RDN_ATTR& title = info->rgRDN[1].rgRDNAttr[0];
    EXPECT_EQ(title.dwValueType, CERT_RDN_ENCODED_BLOB);
    EXPECT_EQ(Hex(IdentObj(title.Value.pbData, title.Value.cbData)), "020201FF");
    // The encoder refuses the blob; the structure of text values re-encodes.
    X500NameEncoder e;
    IdentObj out;
    EXPECT_FALSE(e.Encode(info.GetNameInfo(), out));
    EXPECT_TRUE(out.IsEmpty());
    ASSERT_TRUE(d.Decode(der, info));
    ASSERT_TRUE(e.Encode(info.GetNameInfo(), out));
    EXPECT_EQ(out, der);
    EXPECT_FALSE(d.Decode(BlobFromHex("301C311A300B0603550403130454657374300B060355040B1304556E6974"), info));
    EXPECT_EQ(info->cRDN, 0u);

    // ConvToX500NameElem takes the string types 3, 4, 7, 12 and 13 only.
    const std::string bytes = "ab";
    const std::u16string wide = u"аб";
    for (DWORD type = 0; type <= 13; ++type) {
        const bool taken = type == 3 || type == 4 || type == 7 || type == 12 || type == 13;
        const bool isWide = type == 12 || type == 13;
        CERT_RDN_ATTR a{const_cast<char*>("2.5.4.3"), type,
                        isWide ? CRYPTOAPI_BLOB{4, reinterpret_cast<BYTE*>(const_cast<char16_t*>(wide.data()))}
                               : CRYPTOAPI_BLOB{2, reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))}};
        Elem elem;
        EXPECT_EQ(X500NameEncoder::ConvToX500NameElem(a, elem), taken) << type;
        if (taken) {
            EXPECT_EQ(elem.value, isWide ? wide : u"ab") << type;
        }
    }
    // A UTF8String as the platform decodes it (UTF-16, type 13) re-encodes.
    std::list<std::list<CCTFRDNAttr>> rdns;
    CCTFX509Name(BlobFromHex("300F310D300B06035504030C04D0B0D0B1")).GetNameInfo(rdns);
    ASSERT_EQ(rdns.front().front().GetValueType(), CERT_RDN_UTF8_STRING);
    ASSERT_TRUE(e.Encode(rdns, out));
    EXPECT_EQ(Decoded(out), "CN=аб");

    std::u16string oid;
    EXPECT_FALSE(X500NameEncoder::FindOid("\xFF", oid));
}

// Every keyword of the table and every name attribute of the OID registry:
// text -> DER -> text -> DER is stable, and the keyword form names each
// attribute by a key that reads back.
TEST(NameParser, KeywordFormReadsBackForEveryAttribute) {
    std::map<std::string, std::u16string> table;
    X500NameEncoder::Fill(table);
    std::map<std::string, std::string> values = {
        {"1.2.840.113549.1.9.1", "user@example.org"},
        {"1.2.643.3.131.1.1", "123456789012"},
        {"1.2.643.100.1", "1027700132195"},
        {"1.2.643.100.5", "304500116000157"},
        {"1.2.643.100.3", "12345678901"},
        {"1.2.643.100.4", "1234567890"},
        {"2.5.4.6", "RU"},
        {"2.5.4.5", "12-AB 34"},
    };
    std::vector<std::string> keys;
    for (const auto& [keyword, oid] : table) keys.push_back(keyword);
    for (const auto& r : vrkscapi::vrkcspexfun::OIDInfoRows())
        if (r.dwGroupId == CRYPT_RDN_ATTR_OID_GROUP_ID) keys.push_back(S(r.pwszName));
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        X500NameEncoder e;
        std::list<Elem> elems;
        ASSERT_TRUE(e.DevideIntoElements(U(key + "=x"), elems));
        const std::string oid = S(elems.front().oid);
        const std::string value = values.count(oid) ? values[oid] : "Значение, \"с\" $$ знаками";
        CTOOString quoted;
        CCTFX509Name::QuoteString(value.c_str(), quoted);
        const std::string text = key + "=" + quoted.str();
        for (DWORD options : {0u, kUtf8NotBmp, kUtf8NotBmp | kUtf8Always}) {
            const IdentObj first = Encoded(text, options);
            ASSERT_FALSE(first.IsEmpty()) << text;
            for (DWORD mode : {kModeKeywords, kModeOids}) {
                const std::string shown = Decoded(first, mode);
                EXPECT_EQ(Encoded(shown, options), first) << shown;
            }
            // Keyword form: the registry's name for the attribute.
            const PCCRYPT_OID_INFO row =
                vrkscapi::vrkcspexfun::FindOIDInfo(CRYPT_OID_INFO_OID_KEY, oid.c_str(), CRYPT_RDN_ATTR_OID_GROUP_ID);
            ASSERT_NE(row, nullptr) << oid;
            EXPECT_EQ(Decoded(first).substr(0, Decoded(first).find('=')), S(row->pwszName));
        }
    }
    // A state is "S" in the keyword form, which reads back ("st" would not).
    EXPECT_EQ(Decoded(Encoded("S=Moscow")), "S=Moscow");
}

TEST(NameParser, EncodersOnManyThreadsShareOneTable) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                X500NameEncoder e;
                IdentObj der;
                if (!e.Encode(u"инн=123,cn=a,email=x@y", der, i % 2 == 0)) ++failures;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
