#include <cstdio>
#include <limits>

#include "cert/tootime.h"

using cert::platform::FileTimeToU64;
using cert::platform::U64ToFileTime;

namespace {

constexpr ULONGLONG kMaxTicks = 0x7FFFFFFFFFFFFFFFull;  // what FileTimeToSystemTime takes

using cert::platform::DaysInMonth;

// Reads exactly `digits` (or, with `loose`, one or two) decimal digits.
bool Number(const char*& p, int digits, int& out, bool loose = false) {
    out = 0;
    int n = 0;
    while (n < digits && *p >= '0' && *p <= '9') {
        out = out * 10 + (*p++ - '0');
        ++n;
    }
    return n == digits || (loose && n >= 1);
}

SYSTEMTIME ToSystemTime(const CTOODate& d, const CTOOTime& t) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(d.GetYear());
    st.wMonth = static_cast<WORD>(d.GetMonth());
    st.wDay = static_cast<WORD>(d.GetDay());
    st.wHour = static_cast<WORD>(t.GetHour());
    st.wMinute = static_cast<WORD>(t.GetMinute());
    st.wSecond = static_cast<WORD>(t.GetSecond());
    st.wMilliseconds = static_cast<WORD>(t.GetMillisecond());
    return st;
}

}  // namespace

// --- CTOOFileTime ----------------------------------------------------------------

CTOOFileTime::CTOOFileTime(const SYSTEMTIME& universal) {
    FILETIME ft;
    if (SystemTimeToFileTime(&universal, &ft)) m_ticks = FileTimeToU64(ft);
}

CTOOFileTime CTOOFileTime::now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return CTOOFileTime(ft);
}

bool CTOOFileTime::GetSystemTime(SYSTEMTIME& universal) const {
    FILETIME ft = GetFileTime();
    return FileTimeToSystemTime(&ft, &universal) != FALSE;
}

CTOOFileTime CTOOFileTime::ToLocal() const {
    FILETIME in = GetFileTime(), out;
    FileTimeToLocalFileTime(&in, &out);
    return CTOOFileTime(out);
}

CTOOFileTime CTOOFileTime::ToUniversal() const {
    FILETIME in = GetFileTime(), out;
    LocalFileTimeToFileTime(&in, &out);
    return CTOOFileTime(out);
}

CTOOFileTime& CTOOFileTime::AddTicks(LONGLONG ticks) {
    if (ticks >= 0) {
        const auto add = static_cast<ULONGLONG>(ticks);
        m_ticks = (kMaxTicks - std::min(m_ticks, kMaxTicks) < add) ? kMaxTicks : m_ticks + add;
    } else {
        const ULONGLONG sub = ticks == std::numeric_limits<LONGLONG>::min()
                                  ? static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max()) + 1
                                  : static_cast<ULONGLONG>(-ticks);
        m_ticks = m_ticks < sub ? 0 : m_ticks - sub;
    }
    return *this;
}

CTOOString CTOOFileTime::Text(bool local) const try {
    return CTOODateTime::TextDateTime(GetFileTime(), local);
} catch (...) {
    TOORethrowAsStatus("CTOOFileTime::Text");
}

// --- CTOODate ------------------------------------------------------------------------

CTOODate::CTOODate(int year, int month, int day) {
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return;
    m_year = static_cast<WORD>(year);
    m_month = static_cast<WORD>(month);
    m_day = static_cast<WORD>(day);
}

CTOODate CTOODate::Today(bool local) { return CTOODateTime::Now(local).GetDate(); }

LONG CTOODate::DayNumber() const {
    if (IsEmpty()) return -1;
    SYSTEMTIME st = ToSystemTime(*this, CTOOTime());
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return static_cast<LONG>(FileTimeToU64(ft) / CTOOFileTime::kTicksPerDay);
}

CTOODate CTOODate::FromDayNumber(LONG days) {
    if (days < 0) return CTOODate();
    return CTOODateTime::FromWallTicks(static_cast<ULONGLONG>(days) * CTOOFileTime::kTicksPerDay).GetDate();
}

int CTOODate::GetDayOfWeek() const {
    LONG n = DayNumber();
    return n < 0 ? -1 : static_cast<int>((n + 1) % 7);  // 1601-01-01 was a Monday
}

CTOODate& CTOODate::AddDays(LONG days) {
    if (!IsEmpty()) *this = FromDayNumber(DayNumber() + days);
    return *this;
}

CTOOString CTOODate::Text() const try {
    if (IsEmpty()) return CTOOString();
    CTOOString s;
    s.Format("%02u.%02u.%04u", m_day, m_month, m_year);
    return s;
} catch (...) {
    TOORethrowAsStatus("CTOODate::Text");
}

bool CTOODate::Parse(const char* text) {
    if (!text) return false;
    const char* p = text;
    int d, m, y;
    if (!Number(p, 2, d, true) || *p++ != '.' || !Number(p, 2, m, true) || *p++ != '.' || !Number(p, 4, y) || *p)
        return false;
    CTOODate r(y, m, d);
    if (r.IsEmpty()) return false;
    *this = r;
    return true;
}

// --- CTOOTime ------------------------------------------------------------------------

CTOOTime::CTOOTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
        millisecond > 999) {
        m_valid = false;
        return;
    }
    m_hour = static_cast<WORD>(hour);
    m_minute = static_cast<WORD>(minute);
    m_second = static_cast<WORD>(second);
    m_ms = static_cast<WORD>(millisecond);
}

CTOOString CTOOTime::Text() const try {
    CTOOString s;
    s.Format("%02u:%02u:%02u", m_hour, m_minute, m_second);
    return s;
} catch (...) {
    TOORethrowAsStatus("CTOOTime::Text");
}

bool CTOOTime::Parse(const char* text) {
    if (!text) return false;
    const char* p = text;
    int h, m, s;
    if (!Number(p, 2, h, true) || *p++ != ':' || !Number(p, 2, m) || *p++ != ':' || !Number(p, 2, s) || *p)
        return false;
    CTOOTime r(h, m, s);
    if (!r.IsValid()) return false;
    *this = r;
    return true;
}

// --- CTOODateTime --------------------------------------------------------------------

CTOODateTime::CTOODateTime(const CTOODate& date, const CTOOTime& time) : m_date(date), m_time(time) {
    if (!time.IsValid()) m_date = CTOODate();
    if (m_date.IsEmpty()) m_time = CTOOTime();
}

CTOODateTime::CTOODateTime(int year, int month, int day, int hour, int minute, int second, int millisecond)
    : CTOODateTime(CTOODate(year, month, day), CTOOTime(hour, minute, second, millisecond)) {}

CTOODateTime::CTOODateTime(const SYSTEMTIME& st)
    : CTOODateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds) {}

CTOODateTime CTOODateTime::Now(bool local) {
    SYSTEMTIME st;
    if (local)
        GetLocalTime(&st);
    else
        ::GetSystemTime(&st);
    return CTOODateTime(st);
}

bool CTOODateTime::GetSystemTime(SYSTEMTIME& st) const {
    if (IsEmpty()) return false;
    st = ToSystemTime(m_date, m_time);
    st.wDayOfWeek = static_cast<WORD>(m_date.GetDayOfWeek());
    return true;
}

ULONGLONG CTOODateTime::WallTicks() const {
    if (IsEmpty()) return 0;
    SYSTEMTIME st = ToSystemTime(m_date, m_time);
    FILETIME ft;
    return SystemTimeToFileTime(&st, &ft) ? FileTimeToU64(ft) : 0;
}

CTOODateTime CTOODateTime::FromWallTicks(ULONGLONG ticks) {
    FILETIME ft = U64ToFileTime(ticks);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return CTOODateTime();
    return CTOODateTime(st);
}

CTOODateTime& CTOODateTime::AddSeconds(LONGLONG seconds) {
    if (!IsEmpty()) {
        CTOOFileTime t(WallTicks());
        t.AddSeconds(seconds);
        *this = FromWallTicks(t.Ticks());
    }
    return *this;
}

LONGLONG operator-(const CTOODateTime& a, const CTOODateTime& b) {
    return (static_cast<LONGLONG>(a.WallTicks()) - static_cast<LONGLONG>(b.WallTicks())) /
           CTOOFileTime::kTicksPerSecond;
}

CTOOString CTOODateTime::TextDateTime() const try {
    if (IsEmpty()) return CTOOString();
    return m_date.Text() + " " + m_time.Text();
} catch (...) {
    TOORethrowAsStatus("CTOODateTime::TextDateTime");
}

CTOOString CTOODateTime::TextDateTime(const FILETIME& ft, bool local) try {
    CTOODateTime dt;
    FILETIME_2_TOODateTime(ft, dt, local);
    return dt.TextDateTime();
} catch (...) {
    TOORethrowAsStatus("CTOODateTime::TextDateTime");
}

bool CTOODateTime::Parse(const char* text) {
    if (!text) return false;
    std::string s(text);
    std::size_t space = s.find(' ');
    CTOODate d;
    CTOOTime t;
    if (!d.Parse(s.substr(0, space).c_str())) return false;
    if (space != std::string::npos && !t.Parse(s.substr(space + 1).c_str())) return false;
    *this = CTOODateTime(d, t);
    return true;
}

bool TOODateTime_2_FILETIME(const CTOODateTime& dt, FILETIME& ft, bool local) {
    ft = FILETIME{0, 0};
    ULONGLONG wall = dt.WallTicks();
    if (wall == 0) return false;
    FILETIME w = U64ToFileTime(wall);
    if (!local) {
        ft = w;
        return true;
    }
    return LocalFileTimeToFileTime(&w, &ft) != FALSE;
}

bool FILETIME_2_TOODateTime(const FILETIME& ft, CTOODateTime& dt, bool local) {
    dt = CTOODateTime();
    if (FileTimeToU64(ft) == 0) return false;
    FILETIME w = ft;
    if (local && !FileTimeToLocalFileTime(&ft, &w)) return false;
    dt = CTOODateTime::FromWallTicks(FileTimeToU64(w));
    return !dt.IsEmpty();
}
