#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

#include <gtest/gtest.h>

#include "cert/tools.h"
#include "testsupport.h"

TEST(IdentObj, OwnsCopiesAndOrdersByBytes) {
    IdentObj a("abc", 3);
    IdentObj b(a);
    b.AddData("d", 1);
    EXPECT_EQ(a.GetObjectSize(), 3u);
    EXPECT_TRUE(a < b);  // a prefix sorts first
    EXPECT_TRUE(IdentObj("abd", 3) > b);
    EXPECT_TRUE(a == CTOOString("abc"));

    // Appending a blob's own bytes must not read freed memory.
    b.AddData(b.data(), b.size());
    EXPECT_EQ(b.view(), "abcdabcd");
    b.Assign(b.data() + 4, 4);
    EXPECT_EQ(b.view(), "abcd");

    BYTE* p = b.Realloc(6);
    EXPECT_EQ(p[5], 0);
    EXPECT_EQ(b.size(), 6u);
    b.Alloc(2);
    EXPECT_EQ(b.view(), std::string(2, '\0'));
}

TEST(IdentObj, MemoryFormRejectsLengthsBeyondTheBuffer) {
    IdentObj src("payload", 7), out;
    src.WriteData(out);
    IdentObj back;
    EXPECT_EQ(back.ReadData(out.data(), out.size()), 11u);
    EXPECT_EQ(back.ReadData(out.data(), out.size() - 1), 0u);
    const BYTE huge[] = {0xFF, 0xFF, 0xFF, 0xFF, 1};
    EXPECT_EQ(back.ReadData(huge, sizeof huge), 0u);
    // A caller's buffer holds the same form, or nothing when too small.
    BYTE buf[16] = {};
    EXPECT_EQ(src.WriteData(buf, src.SerializedSize() - 1), 0u);
    ASSERT_EQ(src.WriteData(buf, sizeof buf), 11u);
    EXPECT_EQ(std::memcmp(buf, out.data(), 11), 0);
}

TEST(CTOOString, EditingAndComparison) {
    CTOOString s("  Hello\t\r\n");
    s.Strip();
    EXPECT_EQ(s, "Hello");
    EXPECT_LT(s.CompareNoCase("hellp"), 0);
    EXPECT_EQ(s.Left(2) + s.Right(10), "HeHello");
    EXPECT_EQ(s.Find('z'), -1);
    CTOOString p("C:\\dir");
    p.StrAddSlash();
    p.StrAddSlash();
    EXPECT_EQ(p, "C:\\dir\\");
    CTOOString raw;
    EXPECT_EQ(raw.Load("a\0b", 3).Length(), 3);
    CTOOString f;
    f.Format("%s-%04X", "id", 0xBEEF);
    EXPECT_EQ(f, "id-BEEF");
}

TEST(CTOOString, LoadStringFindsRegisteredTables) {
    static const TOOStringResource rows[] = {{110, "первый"}, {111, "second"}};
    TOORegisterStringTable("Cert.dll", rows, 2);
    CTOOString s;
    EXPECT_TRUE(s.LoadStringA(110, "cert.DLL"));
    EXPECT_EQ(s, "первый");
    EXPECT_FALSE(s.LoadStringA(112, "cert.dll"));
    EXPECT_FALSE(s.LoadStringA(110, "other"));
}

TEST(Status, ReportingRuleAndWinErrorMapping) {
    int st = -1;
    CTOOString place;
    TOOReport(TOOERR_DER_FORMAT, "Decode", &st, &place);
    EXPECT_EQ(st, TOOERR_DER_FORMAT);
    EXPECT_EQ(place, "Decode");
    try {
        TOOReport(TOOERR_BADARG, "Call", nullptr);
        FAIL() << "no throw";
    } catch (const XTOOStatus& x) {
        EXPECT_EQ(x.Status(), TOOERR_BADARG);
        EXPECT_STREQ(x.Place(), "Call");
    }
    EXPECT_EQ(WinErr2ToolsErr(ERROR_FILE_NOT_FOUND), TOOERR_NOFILE);
    // Codes without a status of their own come back out unchanged.
    for (DWORD e : {DWORD(ERROR_CANCELLED), DWORD(ERROR_MORE_DATA), NTE_BAD_SIGNATURE, CRYPT_E_NOT_FOUND}) {
        int s = WinErr2ToolsErr(e);
        EXPECT_NE(s, 0);
        EXPECT_EQ(TOOStatusText(s), nullptr);
        EXPECT_EQ(ToolsErr2WinErr(s), e);
    }
    EXPECT_EQ(WinErrNormalize(static_cast<std::int64_t>(static_cast<HRESULT>(NTE_BAD_SIGNATURE))), NTE_BAD_SIGNATURE);
}

TEST(Status, GuardTurnsEveryExceptionIntoTheRule) {
    struct Case {
        std::function<void()> fault;
        int status;
        const char* place;
    } cases[] = {
        {[] { throw XTOOStatus(TOOERR_DER_FORMAT, "offset 3: bad"); }, TOOERR_DER_FORMAT, "Decode: offset 3: bad"},
        {[] { throw XTOOStatus(0, ""); }, TOOERR_FAIL, "Decode"},
        {[] { throw std::bad_alloc(); }, TOOERR_NOMEM, "Decode"},
        {[] { throw std::filesystem::filesystem_error("x", std::make_error_code(std::errc::permission_denied)); },
         TOOERR_ACCESS, "Decode"},
        {[] { throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory)); }, TOOERR_NOFILE,
         "Decode"},
        {[] { (void)std::string("ab").substr(5); }, TOOERR_EXCEPTION, "Decode"},
        {[] { throw 42; }, TOOERR_EXCEPTION, "Decode"},
    };
    for (const Case& c : cases) {
        int st = TOO_OK;
        EXPECT_EQ(-1, TOOGuarded("Decode", &st, -1, [&] {
            c.fault();
            return 1;
        }));
        EXPECT_EQ(c.status, st) << c.place;
        try {
            TOOGuarded("Decode", nullptr, [&] { c.fault(); });
            ADD_FAILURE() << "no throw for " << c.place;
        } catch (const XTOOStatus& x) {
            EXPECT_EQ(c.status, x.Status());
            EXPECT_STREQ(c.place, x.Place());
        }
    }
    int st = TOOERR_BADARG;
    EXPECT_TRUE(TOOGuarded("Decode", &st, [] {}));
    EXPECT_EQ(TOO_OK, st);
    EXPECT_EQ(7, TOOGuarded("Decode", nullptr, 0, [] { return 7; }));
}

TEST(Text, HexAndBase64RoundTripAndRejectGarbage) {
    const BYTE bin[] = {0x00, 0x1F, 0xA0, 0xFF};
    char hex[16];
    EXPECT_EQ(TOOBin2Hex(bin, 4, hex, sizeof hex, true), 11u);
    EXPECT_STREQ(hex, "00 1F A0 FF");
    EXPECT_EQ(TOOBin2Hex(bin, 4, hex, 8), 0u);  // no room for the NUL
    // Asking for the room first, then filling exactly that much.
    std::size_t room = TOOBin2Hex(bin, 4, nullptr, 0, true);
    std::string sized(room, 'x');
    EXPECT_EQ(TOOBin2Hex(bin, 4, sized.data(), room, true), room - 1);
    BYTE back[4];
    EXPECT_EQ(TOOHex2Bin("00 1f\r\nA0ff", back, 4), 4u);
    EXPECT_EQ(std::memcmp(back, bin, 4), 0);
    for (const char* bad : {"0G", "001", "0011223344"}) EXPECT_EQ(TOOHex2Bin(bad, back, 4), 0u) << bad;

    for (std::size_t n = 0; n < 4; ++n) {
        std::string raw(n, '\xA5');
        IdentObj dec;
        ASSERT_TRUE(TOO::Base64Decode(TOO::Base64Encode(raw.data(), n, 0), dec));
        EXPECT_EQ(dec.view(), raw);
    }
    IdentObj d;
    EXPECT_TRUE(TOO::Base64Decode("TWFu\r\nTWE=\n", d));
    EXPECT_EQ(d.view(), "ManMa");
    for (const char* bad : {"TW=u", "T", "TWF*"}) EXPECT_FALSE(TOO::Base64Decode(bad, d)) << bad;
    BYTE small[2];
    EXPECT_EQ(TOO_MIMEBase64Decode("TWFu", small, 2), 0u);
    // Counted text without a NUL; binary input fails and leaves `out` alone.
    const char counted[] = {'T', 'W', 'F', 'u', '!'};
    EXPECT_EQ(TOO::Base64Decode(counted, 4, d, 5), 3u);
    EXPECT_EQ(d.view(), "Man");
    EXPECT_EQ(TOO::Base64Decode(counted, 5, d, 5), 0u);
    const BYTE der[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    EXPECT_EQ(TOO::Base64Decode(der, sizeof der, d, 5), 0u);
    EXPECT_EQ(d.view(), "Man");
}

TEST(Text, SubstringSearchInTextAndInBinaryRegions) {
    const char* text = "Transport CTRL list";
    EXPECT_EQ(CTFStrStr(text, "ctrl"), nullptr);
    EXPECT_EQ(CTFStrStr(text, "ctrl", 1), text + 10);
    // A header with binary lengths: codes after zero bytes are still found,
    // and nothing is found past the region's end.
    const char header[] = "CTRL\x10\0\0\0USER\x08\0\0\0U_ID";
    const std::size_t n = sizeof header - 1;
    EXPECT_EQ(CTFStrStr(header, n, "u_id", 1), header + 16);
    EXPECT_EQ(CTFStrStr(header, n - 1, "U_ID"), nullptr);
    EXPECT_EQ(CTFStrStr(header, "USER"), nullptr);  // the text form stops at the first NUL
}

TEST(Text, EncodingConversions) {
    std::u16string w;
    std::string u, cp;
    ASSERT_TRUE(TOOUtf8ToCp1251("Ключ", cp));
    EXPECT_EQ(cp, "\xCA\xEB\xFE\xF7");
    ASSERT_TRUE(TOOCp1251ToUtf8(cp, u));
    EXPECT_EQ(u, "Ключ");
    EXPECT_FALSE(TOOUtf8ToUtf16("\xC3", w));    // truncated sequence
    EXPECT_FALSE(TOOUtf8ToCp1251("漢字", cp));  // no cp1251 form
}
