#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cert/asn.h"
#include "testsupport.h"

namespace {

constexpr auto* H = &certtest::BlobFromHex;
using certtest::Hex;

// Offset of the fault reported for `hex`, or -1 when it is accepted
// (every element is walked and every known value checked).
long FaultAt(const char* hex, bool ber = false) {
    IdentObj b = H(hex);
    asn::Options opt;
    opt.ber = ber;
    try {
        asn::Validate(asn::View(b), opt);
        return -1;
    } catch (const asn::Error& e) {
        return static_cast<long>(e.Offset());
    }
}

TEST(AsnReader, WalksNestedStructureWithOffsets) {
    // SEQUENCE { INTEGER 5, SEQUENCE { OID 1.2.840.113549, NULL }, [0] { BOOLEAN TRUE } }
    IdentObj b = H("3014 020105 300A 06062A864886F70D 0500 A003 0101FF");
    asn::Reader top(asn::View(b));
    asn::Element seq = top.Expect(asn::kSequence);
    EXPECT_EQ(seq.headerLen, 2u);
    top.Finish();
    asn::Reader r = top.Enter(seq);
    EXPECT_EQ(r.ReadInteger(), 5);
    asn::Reader alg = r.EnterSequence();
    EXPECT_EQ(alg.Offset(), 7u);
    EXPECT_EQ(alg.ReadOid(), "1.2.840.113549");
    alg.ReadNull();
    alg.Finish();
    EXPECT_FALSE(r.Optional(1, asn::kContext));
    auto ctx = r.Optional(0, asn::kContext);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->offset, 17u);
    asn::Reader inner = r.Enter(*ctx);
    EXPECT_TRUE(inner.ReadBoolean());
    r.Finish();

    // A wrong tag is reported at the element and nothing is consumed.
    asn::Reader again = top.Enter(seq);
    try {
        again.ReadOid();
        FAIL();
    } catch (const asn::Error& e) {
        EXPECT_EQ(e.Offset(), 2u);
    }
    EXPECT_EQ(again.ReadInteger(), 5);
}

TEST(AsnReader, StrictRejectsNonDerForms) {
    EXPECT_EQ(FaultAt("3003 020105"), -1);
    EXPECT_EQ(FaultAt("30810302 0105"), 0);      // length in long form below 128
    EXPECT_EQ(FaultAt("3082000302 0105"), 0);    // leading zero length octet
    EXPECT_EQ(FaultAt("3080 020105 0000"), 0);   // indefinite length
    EXPECT_EQ(FaultAt("30FF"), 0);               // reserved length octet
    EXPECT_EQ(FaultAt("3004 020105"), 0);        // longer than the input
    EXPECT_EQ(FaultAt("3003 020105 00"), 5);     // stray byte after the element
    EXPECT_EQ(FaultAt("3004 02020005"), 2 + 2);  // INTEGER with a redundant 00
    EXPECT_EQ(FaultAt("3004 0202FF85"), 4);      // INTEGER with a redundant FF
    EXPECT_EQ(FaultAt("0200"), 2);               // empty INTEGER
    EXPECT_EQ(FaultAt("010101"), 2);             // BOOLEAN other than 00/FF
    EXPECT_EQ(FaultAt("01020000"), 2);           // BOOLEAN of two bytes
    EXPECT_EQ(FaultAt("050100"), 0);             // NULL with content
    EXPECT_EQ(FaultAt("030201FF"), 3);           // BIT STRING unused bits set
    EXPECT_EQ(FaultAt("030108"), 2);             // 8 unused bits
    EXPECT_EQ(FaultAt("030101"), 2);             // unused bits of nothing
    EXPECT_EQ(FaultAt("2403 040100"), 0);        // constructed OCTET STRING
    EXPECT_EQ(FaultAt("1000"), 0);               // primitive SEQUENCE
    EXPECT_EQ(FaultAt("2201 00"), 0);            // constructed BOOLEAN
    EXPECT_EQ(FaultAt("0000"), 0);               // end-of-contents outside BER
    EXPECT_EQ(FaultAt("1F1E00"), 0);             // high tag form for a low number
    EXPECT_EQ(FaultAt("1F80 2100"), 0);          // high tag with a leading 0x80
    EXPECT_EQ(FaultAt("9F8FFFFFFF7F00"), 0);     // tag number beyond the limit
    EXPECT_EQ(FaultAt("9F2100"), -1);            // [33] primitive, fine
    EXPECT_EQ(FaultAt("1303 41 2A 42"), 3);      // '*' is not printable
    EXPECT_EQ(FaultAt("0C02 C080"), 2);          // overlong UTF-8
    EXPECT_EQ(FaultAt("1E03 004100"), 2);        // odd BMPString
    EXPECT_EQ(FaultAt("1E02 D800"), 2);          // lone surrogate
}

TEST(AsnReader, BerModeReassemblesAndFindsEnds) {
    // Indefinite SEQUENCE holding a constructed, indefinite OCTET STRING.
    IdentObj b = H("3080 2480 0402AABB 2403 0401CC 0000 020101 0000");
    asn::Options ber;
    ber.ber = true;
    asn::Reader top(asn::View(b), ber);
    asn::Element seq = top.Next();
    EXPECT_EQ(seq.encoded.size(), b.size());
    top.Finish();
    asn::Reader r = top.Enter(seq);
    IdentObj os = r.ReadOctetString();
    EXPECT_EQ(Hex(asn::View(os)), "AABBCC");
    EXPECT_EQ(r.ReadInteger(), 1);
    r.Finish();

    EXPECT_EQ(FaultAt("3080 020101", true), 5);         // no end-of-contents
    EXPECT_EQ(FaultAt("3080 020101 0001", true), 5);    // broken end-of-contents
    EXPECT_EQ(FaultAt("0480 0000", true), 0);           // indefinite primitive
    EXPECT_EQ(FaultAt("2406 0401AA 020100", true), 5);  // segment of another type
    EXPECT_EQ(FaultAt("30810302 0105", true), -1);      // non-minimal length is BER
    EXPECT_EQ(FaultAt("010101", true), -1);
    EXPECT_EQ(FaultAt("1303 41 2A 42", true), -1);  // '*' in a PrintableString
    EXPECT_EQ(FaultAt("3004 02020005", true), 4);   // integers stay minimal
}

TEST(AsnReader, DepthAndSizeLimits) {
    auto status = [](const std::string& hex, bool ber) {
        asn::Options opt;
        opt.ber = ber;
        try {
            asn::Validate(asn::View(H(hex)), opt);
            return 0;
        } catch (const asn::Error& e) {
            return e.Status();
        }
    };
    auto nested = [](int levels, const char* open, const char* close) {
        std::string s;
        for (int i = 0; i < levels; ++i) s = open + s + close;
        return s;
    };
    // Nested SEQUENCEs, definite and indefinite: 64 levels are fine, 200 a bomb.
    EXPECT_EQ(status(nested(63, "3080", "0000"), true), 0);
    EXPECT_EQ(status(nested(200, "3080", "0000"), true), TOOERR_DER_DEPTH);
    std::vector<std::uint8_t> d;
    for (int i = 0; i < 200; ++i) {
        std::vector<std::uint8_t> outer;
        asn::EncodeHeader(outer, asn::kUniversal, true, asn::kSequence, d.size());
        outer.insert(outer.end(), d.begin(), d.end());
        d.swap(outer);
    }
    EXPECT_EQ(status(Hex(d), false), TOOERR_DER_DEPTH);
    // A claimed 4 GiB with five bytes of input is refused before anything
    // is sized by it, as is a length that needs more than 32 bits.
    EXPECT_EQ(FaultAt("0484FFFFFFFF00"), 0);
    EXPECT_EQ(status("04850100000000", false), TOOERR_DER_LIMIT);
}

TEST(AsnReader, ObjectIdentifiers) {
    struct Case {
        const char* text;
        const char* hex;
    } cases[] = {
        {"0.39", "27"},
        {"2.47", "7F"},
        {"2.48", "8100"},  // first arcs beyond one octet
        {"1.2.840.113549.1.1.11", "2A864886F70D01010B"},
        {"2.999.3", "883703"},
        {"1.2.18446744073709551615", "2A81FFFFFFFFFFFFFFFF7F"},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> enc;
        ASSERT_TRUE(asn::EncodeOid(c.text, enc)) << c.text;
        EXPECT_EQ(Hex(asn::Bytes(enc.data(), enc.size())), c.hex) << c.text;
        IdentObj raw = H(c.hex);
        EXPECT_EQ(asn::DecodeOid(asn::View(raw)), c.text);
    }
    std::vector<std::uint8_t> enc;
    for (const char* bad :
         {"", "1", "3.1", "0.40", "1.2.", ".1.2", "1..2", "1.02", "1.2.a", "1.2.18446744073709551616", "1.2 .3"})
        EXPECT_FALSE(asn::EncodeOid(bad, enc)) << bad;
    for (const char* bad : {"", "2A86", "2A808648", "2A82FFFFFFFFFFFFFFFF7F"}) {
        IdentObj raw = H(bad);
        EXPECT_THROW(asn::DecodeOid(asn::View(raw)), asn::Error) << bad;
    }
}

TEST(AsnReader, Times) {
    auto decode = [](std::uint32_t tag, const char* text, bool ber = false) {
        asn::Options opt;
        opt.ber = ber;
        return asn::FormatTime(asn::DecodeTime(tag, asn::View(text, std::strlen(text)), opt));
    };
    EXPECT_EQ(decode(asn::kUtcTime, "491231235959Z"), "2049-12-31 23:59:59Z");
    EXPECT_EQ(decode(asn::kUtcTime, "500101000000Z"), "1950-01-01 00:00:00Z");
    EXPECT_EQ(decode(asn::kGeneralizedTime, "16010101000000Z"), "1601-01-01 00:00:00Z");
    EXPECT_EQ(decode(asn::kGeneralizedTime, "99991231235959.1234567Z"), "9999-12-31 23:59:59.1234567Z");
    EXPECT_EQ(decode(asn::kUtcTime, "2001020304+0130", true), "2020-01-02 01:34:00Z");
    EXPECT_EQ(decode(asn::kGeneralizedTime, "20200101000000,50Z", true), "2020-01-01 00:00:00.5Z");
    for (const char* bad : {"20230229120000Z", "20201301000000Z", "20200101240000Z", "20200101000060Z",
                            "20200101000000", "20200101000000.Z", "20200101000000.50Z", "2020010100000Z",
                            "15991231235959Z", "20200101000000Z ", "2020-1010000000Z"})
        EXPECT_THROW(decode(asn::kGeneralizedTime, bad), asn::Error) << bad;
    for (const char* bad : {"2001020304Z", "200102030405+0100", "2001020304050Z"})
        EXPECT_THROW(decode(asn::kUtcTime, bad), asn::Error) << bad;

    // Writer picks UTCTime inside 1950..2049, GeneralizedTime outside.
    asn::Writer w;
    w.Time(asn::MakeFileTime(2049, 12, 31, 23, 59, 59));
    w.Time(asn::MakeFileTime(2050, 1, 1, 0, 0, 0));
    w.Time(asn::MakeFileTime(1949, 6, 1, 0, 0, 0, 1000000));
    asn::Reader r(w.view());
    EXPECT_TRUE(r.Peek()->IsUniversal(asn::kUtcTime));
    EXPECT_EQ(asn::FormatTime(r.ReadTime()), "2049-12-31 23:59:59Z");
    EXPECT_TRUE(r.Peek()->IsUniversal(asn::kGeneralizedTime));
    EXPECT_EQ(asn::FormatTime(r.ReadTime()), "2050-01-01 00:00:00Z");
    EXPECT_EQ(asn::FormatTime(r.ReadTime()), "1949-06-01 00:00:00.1Z");
    EXPECT_THROW(asn::Writer().UtcTime(asn::MakeFileTime(2050, 1, 1, 0, 0, 0)), asn::Error);
}

TEST(AsnWriter, ProducesDer) {
    asn::Writer w;
    auto seq = w.BeginSequence();
    w.Integer(0).Integer(127).Integer(128).Integer(-128).Integer(-129).Integer(INT64_MIN);
    const std::uint8_t mag[] = {0x00, 0x00, 0x80, 0x01};
    w.UnsignedInteger(asn::Bytes(mag, 4));
    const std::uint8_t twos[] = {0xFF, 0xFF, 0x7F};
    w.IntegerBytes(asn::Bytes(twos, 3));
    const std::uint8_t bits[] = {0xFF};
    w.BitString(asn::Bytes(bits, 1), 3);
    w.Boolean(true).Null();
    auto set = w.BeginSet();
    w.Integer(2).OctetString(asn::Bytes(bits, 1)).Integer(1);
    w.End(set);
    w.End(seq);
    EXPECT_EQ(Hex(w.view()),
              "3038"
              "020100"
              "02017F"
              "02020080"
              "020180"
              "0202FF7F"
              "02088000000000000000"
              "0203008001"
              "0202FF7F"
              "030203F8"
              "0101FF"
              "0500"
              "3109"
              "020101"
              "020102"
              "0401FF");
    EXPECT_NO_THROW(asn::Validate(w.view()));

    // Lengths on the 127/128 and 255/256 edges.
    for (std::size_t n : {127u, 128u, 256u, 65536u}) {
        std::vector<std::uint8_t> content(n, 0x41);
        IdentObj e = asn::Encode(asn::kUniversal, false, asn::kOctetString, asn::Bytes(content.data(), n));
        asn::Reader r(asn::View(e));
        EXPECT_EQ(r.ReadOctetString().size(), n);
        EXPECT_EQ(e.size() - n, n < 128 ? 2u : n < 256 ? 3u : n < 65536 ? 4u : 5u);
    }
    std::vector<std::uint8_t> hdr;
    asn::EncodeHeader(hdr, asn::kContext, true, 1000, 3);
    EXPECT_EQ(Hex(asn::Bytes(hdr.data(), hdr.size())), "BF876803");

    EXPECT_THROW(asn::Writer().Oid("1.2.x"), asn::Error);
    EXPECT_THROW(asn::Writer().String(asn::kPrintableString, "a*b"), asn::Error);
    EXPECT_THROW(asn::Writer().String(asn::kBmpString, "\xF0\x9F\x98\x80"), asn::Error);
    asn::Writer open;
    open.BeginSequence();
    EXPECT_THROW(open.Take(), asn::Error);
}

TEST(AsnWriter, StringsRoundTrip) {
    const std::string text = "Привет, мир";  // Cyrillic, in UTF-8
    for (std::uint32_t tag : {asn::kUtf8String, asn::kBmpString, asn::kUniversalString}) {
        asn::Writer w;
        w.String(tag, text);
        asn::Reader r(w.view());
        std::uint32_t got = 0;
        EXPECT_EQ(r.ReadString(&got), text);
    }
    asn::Writer w;
    w.String(asn::kBmpString, "AЖ");
    EXPECT_EQ(Hex(w.view()), "1E0400410416");
    asn::Writer latin;
    latin.Primitive(asn::kT61String, asn::View("\xE9", 1));
    EXPECT_EQ(asn::Reader(latin.view()).ReadString(), "\xC3\xA9");
}

}  // namespace
