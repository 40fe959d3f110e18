#include <cstdlib>
#include <ctime>
#include <string>

#include <boost/date_time/gregorian/gregorian_types.hpp>

#include "cert/tootime.h"
#include "testsupport.h"

namespace {

// Runs the test body with a fixed zone, three hours ahead of universal time.
class FixedZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        if (tz) m_oldTz = tz;
        setenv("TZ", "MSK-3", 1);
        tzset();
    }
    void TearDown() override {
        if (m_hadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadTz = false;
    std::string m_oldTz;
};

}  // namespace

TEST(FileTime, ComparesWithFiletimeAndSaturates) {
    const CTOOFileTime epoch = CTOOFileTime::FromUnix(0);
    EXPECT_EQ(cert::platform::kUnixEpochTicks, epoch.Ticks());
    FILETIME later = (epoch + CTOOFileTime::kTicksPerSecond).GetFileTime();
    EXPECT_TRUE(epoch < later);
    EXPECT_TRUE(later > epoch);
    EXPECT_TRUE(CTOOFileTime(later) == later);
    EXPECT_EQ(-CTOOFileTime::kTicksPerSecond, epoch - CTOOFileTime(later));

    CTOOFileTime t = epoch;
    t.AddDays(1).AddSeconds(-1);
    EXPECT_EQ(86399, t.SecondsSince(epoch));
    EXPECT_EQ(86399, t.ToUnix());
    t = CTOOFileTime(5);
    t -= 10;
    EXPECT_TRUE(t.IsEmpty());  // no wrap to the far future
    t = CTOOFileTime(0x7FFFFFFFFFFFFF00ull);
    t.AddDays(1000);
    EXPECT_EQ(0x7FFFFFFFFFFFFFFFull, t.Ticks());

    SYSTEMTIME st{};
    ASSERT_TRUE(CTOOFileTime::FromUnix(951782400).GetSystemTime(st));  // 2000-02-29
    EXPECT_EQ(2000, st.wYear);
    EXPECT_EQ(29, st.wDay);
    EXPECT_EQ(CTOOFileTime::FromUnix(951782400), CTOOFileTime(st));
}

TEST(DateTime, FieldsValidationArithmeticAndText) {
    EXPECT_TRUE(CTOODate(2023, 2, 29).IsEmpty());
    EXPECT_FALSE(CTOODate(2024, 2, 29).IsEmpty());
    EXPECT_TRUE(CTOODate(1600, 12, 31).IsEmpty());
    EXPECT_FALSE(CTOOTime(24, 0).IsValid());
    EXPECT_TRUE(CTOODateTime(2024, 1, 1, 12, 60).IsEmpty());

    CTOODate d(2024, 2, 28);
    EXPECT_EQ(3, d.GetDayOfWeek());  // a Wednesday
    d.AddDays(2);
    EXPECT_EQ(CTOODate(2024, 3, 1), d);
    EXPECT_EQ(366, CTOODate(2025, 1, 1) - CTOODate(2024, 1, 1));
    EXPECT_LT(CTOODate(2024, 1, 31), CTOODate(2024, 2, 1));
    EXPECT_EQ(CTOODate(1601, 1, 1), CTOODate::FromDayNumber(0));
    const boost::gregorian::date leap(2024, boost::gregorian::Feb, 29);
    EXPECT_EQ(CTOODate::From(leap).AddDays(1).To<boost::gregorian::date>(), leap + boost::gregorian::days(1));

    CTOODateTime dt(2024, 12, 31, 23, 59, 30);
    EXPECT_EQ("31.12.2024 23:59:30", std::string(dt.TextDateTime()));
    dt.AddSeconds(45);
    EXPECT_EQ("01.01.2025 00:00:15", std::string(dt.TextDateTime()));
    EXPECT_EQ(45, dt - CTOODateTime(2024, 12, 31, 23, 59, 30));
    EXPECT_LT(CTOODateTime(2024, 12, 31, 23, 59, 30), dt);
    EXPECT_EQ("", std::string(CTOODateTime().TextDateTime()));

    CTOODateTime parsed;
    ASSERT_TRUE(parsed.Parse("1.2.2003 04:05:06"));
    EXPECT_EQ(CTOODateTime(2003, 2, 1, 4, 5, 6), parsed);
    ASSERT_TRUE(parsed.Parse("07.08.2009"));
    EXPECT_EQ(CTOODateTime(2009, 8, 7), parsed);
    EXPECT_FALSE(parsed.Parse("31.02.2009"));
    EXPECT_FALSE(parsed.Parse("07.08.09"));
    EXPECT_FALSE(parsed.Parse("07.08.2009 4:5:6"));

    SYSTEMTIME st{};
    ASSERT_TRUE(CTOODateTime(2024, 3, 10, 8, 0, 0, 250).GetSystemTime(st));
    EXPECT_EQ(0, st.wDayOfWeek);
    EXPECT_EQ(250, st.wMilliseconds);
    EXPECT_EQ(CTOODateTime(2024, 3, 10, 8, 0, 0, 250), CTOODateTime(st));
}

TEST_F(FixedZone, LocalAndUniversalConversions) {
    const FILETIME noonUtc = CTOOFileTime(CTOODateTime(2024, 6, 1, 12, 0, 0).WallTicks()).GetFileTime();
    CTOODateTime dt;
    ASSERT_TRUE(FILETIME_2_TOODateTime(noonUtc, dt, true));
    EXPECT_EQ("01.06.2024 15:00:00", std::string(dt.TextDateTime()));
    ASSERT_TRUE(FILETIME_2_TOODateTime(noonUtc, dt, false));
    EXPECT_EQ(CTOODateTime(2024, 6, 1, 12, 0, 0), dt);
    EXPECT_EQ("01.06.2024 15:00:00", std::string(CTOOFileTime(noonUtc).Text()));

    FILETIME back{};
    ASSERT_TRUE(TOODateTime_2_FILETIME(CTOODateTime(2024, 6, 1, 15, 0, 0), back, true));
    EXPECT_EQ(CTOOFileTime(noonUtc), back);
    ASSERT_TRUE(TOODateTime_2_FILETIME(CTOODateTime(2024, 6, 1, 12, 0, 0), back, false));
    EXPECT_EQ(CTOOFileTime(noonUtc), back);
    EXPECT_EQ(CTOOFileTime(noonUtc), CTOOFileTime(noonUtc).ToLocal().ToUniversal());

    EXPECT_FALSE(TOODateTime_2_FILETIME(CTOODateTime(), back, true));
    EXPECT_EQ(0u, back.dwLowDateTime | back.dwHighDateTime);
    EXPECT_FALSE(FILETIME_2_TOODateTime(FILETIME{0, 0}, dt, true));
    EXPECT_TRUE(dt.IsEmpty());
    EXPECT_FALSE(FILETIME_2_TOODateTime(FILETIME{0, 0x80000000u}, dt, false));
}

TEST(BitBlob, CopiesAndComparesBytesThenUnusedBits) {
    BYTE bytes[] = {0xA0, 0x0F};
    CRYPT_BIT_BLOB raw{2, bytes, 4};
    CTOOCryptBitBlob b(raw);
    bytes[0] = 0;  // an owned copy
    EXPECT_EQ(0xA0, b.data()[0]);
    EXPECT_EQ(12u, b.GetBitLength());
    CTOOCryptBitBlob same("\xA0\x0F", 2, 4), fewer("\xA0\x0F", 2, 0), other("\xA0\x10", 2, 4);
    EXPECT_EQ(b, same);
    EXPECT_NE(b, fewer);
    EXPECT_LT(fewer, b);
    EXPECT_LT(b, other);
    CRYPT_BIT_BLOB view = b.GetBlob();
    EXPECT_EQ(b, view);
    EXPECT_EQ(4u, view.cUnusedBits);
    CRYPT_BIT_BLOB null{5, nullptr, 0};
    b = null;
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(0u, b.GetBitLength());
}
