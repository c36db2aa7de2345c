#include "kestovar/platform/time.h"

#include <climits>
#include <cstring>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"

namespace kestovar {

unsigned int timeGetTick() { return static_cast<unsigned int>(timeGetTick64()); }

uint64_t timeGetTick64() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

int32_t ReadLE32(const uint8_t* p) {
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    int32_t r;
    std::memcpy(&r, &v, 4);
    return r;
}

void WriteLE32(uint8_t* p, int32_t value) {
    uint32_t v;
    std::memcpy(&v, &value, 4);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

}  // namespace

CXTime::CXTime(int year, int month, int day, int hour, int minute, int second, int millisecond, int flags)
    : m_year(year),
      m_month(month),
      m_day(day),
      m_hour(hour),
      m_minute(minute),
      m_second(second),
      m_millisecond(millisecond),
      m_flags(flags & XTIME_UTC) {
    if (month >= 1 && month <= 12) {
        // 1970-01-01 was a Thursday.
        int64_t days = DaysFromCivil(year, unsigned(month), unsigned(day));
        m_dayOfWeek = int32_t(((days % 7) + 11) % 7);
    }
    if (!(m_flags & XTIME_UTC) && IsValid()) {
        struct tm t;
        ToTm(t);
        t.tm_isdst = -1;  // let the time zone decide
        if (mktime(&t) != time_t(-1) && t.tm_isdst > 0) m_flags |= XTIME_DAYLIGHT;
    }
}

CXTime CXTime::GetCurrentTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FromTimeT(ts.tv_sec, false, int(ts.tv_nsec / 1000000));
}

CXTime CXTime::GetCurrentUTCTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FromTimeT(ts.tv_sec, true, int(ts.tv_nsec / 1000000));
}

CXTime CXTime::FromTimeT(time_t seconds, bool utc, int millisecond) {
    struct tm t;
    CXTime result;
    if (utc ? gmtime_r(&seconds, &t) : localtime_r(&seconds, &t)) result.FromTm(t, millisecond, utc);
    return result;
}

void CXTime::FromTm(const struct tm& t, int millisecond, bool utc) {
    m_year = t.tm_year + 1900;
    m_month = t.tm_mon + 1;
    m_day = t.tm_mday;
    m_hour = t.tm_hour;
    m_minute = t.tm_min;
    m_second = t.tm_sec;
    m_millisecond = millisecond;
    m_dayOfWeek = t.tm_wday;
    m_flags = (utc ? XTIME_UTC : 0) | (!utc && t.tm_isdst > 0 ? XTIME_DAYLIGHT : 0);
}

void CXTime::ToTm(struct tm& t) const {
    std::memset(&t, 0, sizeof(t));
    t.tm_year = m_year - 1900;
    t.tm_mon = m_month - 1;
    t.tm_mday = m_day;
    t.tm_hour = m_hour;
    t.tm_min = m_minute;
    t.tm_sec = m_second;
    t.tm_wday = m_dayOfWeek;
    t.tm_isdst = (m_flags & XTIME_UTC) ? 0 : ((m_flags & XTIME_DAYLIGHT) ? 1 : 0);
    if (m_month >= 1 && m_month <= 12) {
        t.tm_yday = int(DaysFromCivil(m_year, unsigned(m_month), unsigned(m_day)) -
                        DaysFromCivil(m_year, 1, 1));
    }
}

time_t CXTime::GetTimeT() const {
    if (!IsValid()) return 0;
    struct tm t;
    ToTm(t);
    return (m_flags & XTIME_UTC) ? timegm(&t) : mktime(&t);
}

bool CXTime::IsEmpty() const {
    return m_year == 0 && m_month == 0 && m_day == 0 && m_hour == 0 && m_minute == 0 && m_second == 0 &&
           m_millisecond == 0 && m_dayOfWeek == 0 && m_flags == 0;
}

bool CXTime::IsValid() const {
    // Years are limited so that tm_year (year - 1900) and the day arithmetic cannot overflow.
    if (m_year < -100000 || m_year > 100000) return false;
    if (m_month < 1 || m_month > 12) return false;
    if (m_day < 1 || m_day > DaysInMonth(m_year, m_month)) return false;
    if (m_hour < 0 || m_hour > 23 || m_minute < 0 || m_minute > 59 || m_second < 0 || m_second > 60)
        return false;
    if (m_millisecond < 0 || m_millisecond > 999 || m_dayOfWeek < 0 || m_dayOfWeek > 6) return false;
    return (m_flags & ~(XTIME_UTC | XTIME_DAYLIGHT)) == 0;
}

size_t CXTime::Format(char* buffer, size_t size, const char* format) const {
    if (!buffer || size == 0) return 0;
    buffer[0] = 0;
    if (!format || !IsValid()) return 0;
    struct tm t;
    ToTm(t);
    return strftime(buffer, size, format, &t);
}

void CXTime::ToBytes(uint8_t out[SERIALIZED_SIZE]) const {
    const int32_t fields[9] = {m_year,   m_month,       m_day,       m_hour, m_minute,
                               m_second, m_millisecond, m_dayOfWeek, m_flags};
    for (int i = 0; i < 9; ++i) WriteLE32(out + 4 * i, fields[i]);
}

bool CXTime::FromBytes(const uint8_t in[SERIALIZED_SIZE]) {
    CXTime t;
    t.m_year = ReadLE32(in);
    t.m_month = ReadLE32(in + 4);
    t.m_day = ReadLE32(in + 8);
    t.m_hour = ReadLE32(in + 12);
    t.m_minute = ReadLE32(in + 16);
    t.m_second = ReadLE32(in + 20);
    t.m_millisecond = ReadLE32(in + 24);
    t.m_dayOfWeek = ReadLE32(in + 28);
    t.m_flags = ReadLE32(in + 32);
    if (!t.IsEmpty() && !t.IsValid()) return false;
    *this = t;
    return true;
}

void CXTime::Serialize(CXArchive& ar) {
    uint8_t bytes[SERIALIZED_SIZE];
    if (ar.IsStoring()) {
        ToBytes(bytes);
        ar.Write(bytes, SERIALIZED_SIZE);
    } else {
        ar.EnsureRead(bytes, SERIALIZED_SIZE);
        if (!FromBytes(bytes)) XThrow<CXArchiveException>(int(CXArchiveException::none), "invalid time record");
    }
}

int64_t CXTime::SortKey() const {
    if (IsEmpty() || !IsValid()) return INT64_MIN;
    return int64_t(GetTimeT()) * 1000 + m_millisecond;
}

bool CXTime::operator==(const CXTime& other) const { return SortKey() == other.SortKey(); }

bool CXTime::operator<(const CXTime& other) const { return SortKey() < other.SortKey(); }

}  // namespace kestovar
