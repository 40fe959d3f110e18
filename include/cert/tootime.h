// Times of the foundation library: the 64-bit file time (100 ns ticks since
// 1601-01-01, universal time) and the calendar date, time of day and
// date-time (wall-clock fields with no zone of their own: the caller knows
// whether they are local or universal).
#pragma once

#include <compare>
#include <cstdint>

#include "cert/export.h"
#include "cert/tools.h"

class CTOODateTime;

class CERT_API CTOOFileTime {
public:
    static constexpr LONGLONG kTicksPerMillisecond = 10000;
    static constexpr LONGLONG kTicksPerSecond = 10000000;
    static constexpr LONGLONG kTicksPerDay = 864000000000;

    // 0 ticks stands for "no time".
    constexpr CTOOFileTime() = default;
    constexpr CTOOFileTime(const FILETIME& ft) : m_ticks(cert::platform::FileTimeToU64(ft)) {}
    constexpr explicit CTOOFileTime(ULONGLONG ticks) : m_ticks(ticks) {}
    // An invalid SYSTEMTIME gives the empty time.
    explicit CTOOFileTime(const SYSTEMTIME& universal);

    static CTOOFileTime now();
    static CTOOFileTime Now() { return now(); }
    static CTOOFileTime FromUnix(std::int64_t seconds) { return CTOOFileTime(cert::platform::UnixToFileTime(seconds)); }

    constexpr ULONGLONG Ticks() const { return m_ticks; }
    constexpr FILETIME GetFileTime() const { return cert::platform::U64ToFileTime(m_ticks); }
    constexpr operator FILETIME() const { return GetFileTime(); }
    constexpr bool IsEmpty() const { return m_ticks == 0; }
    void Empty() { m_ticks = 0; }
    std::int64_t ToUnix() const { return cert::platform::FileTimeToUnix(GetFileTime()); }
    // False for times beyond what SYSTEMTIME holds.
    bool GetSystemTime(SYSTEMTIME& universal) const;
    // The same instant as local wall-clock ticks, and back.
    CTOOFileTime ToLocal() const;
    CTOOFileTime ToUniversal() const;

    // Arithmetic saturates at 0 and at the largest tick count instead of
    // wrapping round.
    CTOOFileTime& AddTicks(LONGLONG ticks);
    CTOOFileTime& AddSeconds(LONGLONG seconds) { return AddTicks(seconds * kTicksPerSecond); }
    CTOOFileTime& AddDays(LONGLONG days) { return AddTicks(days * kTicksPerDay); }
    CTOOFileTime& operator+=(LONGLONG ticks) { return AddTicks(ticks); }
    CTOOFileTime& operator-=(LONGLONG ticks) { return AddTicks(-ticks); }
    friend CTOOFileTime operator+(CTOOFileTime t, LONGLONG ticks) { return t.AddTicks(ticks); }
    friend CTOOFileTime operator-(CTOOFileTime t, LONGLONG ticks) { return t.AddTicks(-ticks); }
    // The signed distance a - b in ticks / whole seconds.
    friend LONGLONG operator-(const CTOOFileTime& a, const CTOOFileTime& b) {
        return static_cast<LONGLONG>(a.m_ticks - b.m_ticks);
    }
    LONGLONG SecondsSince(const CTOOFileTime& earlier) const { return (*this - earlier) / kTicksPerSecond; }

    friend constexpr bool operator==(const CTOOFileTime& a, const CTOOFileTime& b) { return a.m_ticks == b.m_ticks; }
    friend constexpr std::strong_ordering operator<=>(const CTOOFileTime& a, const CTOOFileTime& b) {
        return a.m_ticks <=> b.m_ticks;
    }
    friend constexpr bool operator==(const CTOOFileTime& a, const FILETIME& b) { return a == CTOOFileTime(b); }
    friend constexpr std::strong_ordering operator<=>(const CTOOFileTime& a, const FILETIME& b) {
        return a <=> CTOOFileTime(b);
    }

    // "DD.MM.YYYY HH:MM:SS" in local (or universal) time.
    CTOOString Text(bool local = true) const;

private:
    ULONGLONG m_ticks = 0;
};

class CERT_API CTOODate {
public:
    CTOODate() = default;  // empty
    // Fields out of range give the empty date.
    CTOODate(int year, int month, int day);

    static CTOODate Today(bool local);

    bool IsEmpty() const { return m_year == 0; }
    int GetYear() const { return m_year; }
    int GetMonth() const { return m_month; }
    int GetDay() const { return m_day; }
    // 0 Sunday ... 6 Saturday; -1 when empty.
    int GetDayOfWeek() const;
    // Days since 1601-01-01; -1 when empty.
    LONG DayNumber() const;
    static CTOODate FromDayNumber(LONG days);
    CTOODate& AddDays(LONG days);
    friend LONG operator-(const CTOODate& a, const CTOODate& b) { return a.DayNumber() - b.DayNumber(); }

    // "DD.MM.YYYY"; empty text for the empty date.
    CTOOString Text() const;
    // Reads "DD.MM.YYYY" (one-digit day and month accepted).
    bool Parse(const char* text);

    // Calendar types with year(), month(), day() (boost::gregorian::date
    // among them) in both directions, without this header depending on them.
    template <class D>
    requires requires(const D& d) {
        d.year();
        d.month();
        d.day();
    }
    static CTOODate From(const D& d) {
        return CTOODate(static_cast<int>(d.year()), static_cast<int>(d.month()), static_cast<int>(d.day()));
    }
    template <class D>
    D To() const {
        return D(static_cast<unsigned short>(m_year), static_cast<unsigned short>(m_month),
                 static_cast<unsigned short>(m_day));
    }

    friend auto operator<=>(const CTOODate&, const CTOODate&) = default;
    friend bool operator==(const CTOODate&, const CTOODate&) = default;

private:
    WORD m_year = 0;
    WORD m_month = 0;
    WORD m_day = 0;
};

class CERT_API CTOOTime {
public:
    CTOOTime() = default;  // midnight
    // Fields out of range give midnight and IsValid() false.
    CTOOTime(int hour, int minute, int second = 0, int millisecond = 0);

    bool IsValid() const { return m_valid; }
    int GetHour() const { return m_hour; }
    int GetMinute() const { return m_minute; }
    int GetSecond() const { return m_second; }
    int GetMillisecond() const { return m_ms; }
    LONG SecondsOfDay() const { return m_hour * 3600 + m_minute * 60 + m_second; }

    // "HH:MM:SS"
    CTOOString Text() const;
    bool Parse(const char* text);

    friend bool operator==(const CTOOTime& a, const CTOOTime& b) { return a.Key() == b.Key(); }
    friend auto operator<=>(const CTOOTime& a, const CTOOTime& b) { return a.Key() <=> b.Key(); }

private:
    LONG Key() const { return SecondsOfDay() * 1000 + m_ms; }
    WORD m_hour = 0;
    WORD m_minute = 0;
    WORD m_second = 0;
    WORD m_ms = 0;
    bool m_valid = true;
};

class CERT_API CTOODateTime {
public:
    CTOODateTime() = default;  // empty
    CTOODateTime(const CTOODate& date, const CTOOTime& time = CTOOTime());
    CTOODateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int millisecond = 0);
    explicit CTOODateTime(const SYSTEMTIME& st);

    static CTOODateTime Now(bool local);

    bool IsEmpty() const { return m_date.IsEmpty(); }
    const CTOODate& GetDate() const { return m_date; }
    const CTOOTime& GetTime() const { return m_time; }
    int GetYear() const { return m_date.GetYear(); }
    int GetMonth() const { return m_date.GetMonth(); }
    int GetDay() const { return m_date.GetDay(); }
    int GetHour() const { return m_time.GetHour(); }
    int GetMinute() const { return m_time.GetMinute(); }
    int GetSecond() const { return m_time.GetSecond(); }
    int GetMillisecond() const { return m_time.GetMillisecond(); }

    // False when empty.
    bool GetSystemTime(SYSTEMTIME& st) const;
    // The wall-clock fields as ticks since 1601 (0 when empty).
    ULONGLONG WallTicks() const;
    static CTOODateTime FromWallTicks(ULONGLONG ticks);

    CTOODateTime& AddSeconds(LONGLONG seconds);
    CTOODateTime& AddDays(LONG days) { return AddSeconds(static_cast<LONGLONG>(days) * 86400); }
    // a - b in whole seconds.
    friend CERT_API LONGLONG operator-(const CTOODateTime& a, const CTOODateTime& b);

    // "DD.MM.YYYY HH:MM:SS"; empty text for the empty value.
    CTOOString TextDateTime() const;
    static CTOOString TextDateTime(const FILETIME& ft, bool local);
    // Reads "DD.MM.YYYY HH:MM:SS" or "DD.MM.YYYY".
    bool Parse(const char* text);

    friend bool operator==(const CTOODateTime&, const CTOODateTime&) = default;
    friend auto operator<=>(const CTOODateTime&, const CTOODateTime&) = default;

private:
    CTOODate m_date;
    CTOOTime m_time;
};

// Conversions between file times (always universal) and date-times; `local`
// says the date-time side is local wall-clock time. False (and the output
// emptied) on an empty or out-of-range value.
CERT_API bool TOODateTime_2_FILETIME(const CTOODateTime& dt, FILETIME& ft, bool local);
CERT_API bool FILETIME_2_TOODateTime(const FILETIME& ft, CTOODateTime& dt, bool local);
