// Time of the platform layer: the millisecond tick used for every timing log line, and CXTime, a
// broken-down calendar date and time with a fixed 36-byte serialised form.
#pragma once

#include <cstdint>
#include <ctime>

#include "kestovar/core/export.h"

namespace kestovar {

class CXArchive;

// Milliseconds since an arbitrary fixed point (CLOCK_MONOTONIC), truncated to 32 bits like the
// classic tick count. Differences of two ticks taken in unsigned arithmetic stay correct across the
// wrap (every 49.7 days): `int elapsed = int(timeGetTick() - start);`.
KESTOVAR_API unsigned int timeGetTick();
// The same clock without truncation.
KESTOVAR_API uint64_t timeGetTick64();

// A calendar date and time split into fields. Every field is a 32-bit signed integer; the record
// is serialised as the nine fields in declaration order, each little-endian, 36 bytes in all:
//
//   offset  0 year         (e.g. 2024)
//   offset  4 month        1..12
//   offset  8 day          1..31
//   offset 12 hour         0..23
//   offset 16 minute       0..59
//   offset 20 second       0..60 (60 only for a leap second)
//   offset 24 millisecond  0..999
//   offset 28 day of week  0 = Sunday .. 6 = Saturday
//   offset 32 flags        bit 0 (XTIME_UTC): the fields are UTC, else local time;
//                          bit 1 (XTIME_DAYLIGHT): daylight saving time was in effect
//
// The all-zero record is the "empty" time (IsEmpty); it is the state of a default-constructed
// CXTime and a valid serialised value.
class KESTOVAR_API CXTime {
public:
    enum Flags : int32_t {
        XTIME_UTC = 0x1,
        XTIME_DAYLIGHT = 0x2,
    };
    static constexpr unsigned SERIALIZED_SIZE = 36;

    CXTime() = default;
    // From explicit fields (local time unless flags has XTIME_UTC). The day of the week is
    // computed from the date.
    CXTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int millisecond = 0,
           int flags = 0);

    // The current local time, or UTC, with millisecond precision (CLOCK_REALTIME).
    static CXTime GetCurrentTime();
    static CXTime GetCurrentUTCTime();
    // From seconds since 1970-01-01 00:00 UTC, expressed in local time or in UTC.
    static CXTime FromTimeT(time_t seconds, bool utc, int millisecond = 0);

    // Seconds since 1970-01-01 00:00 UTC; the milliseconds are dropped. Local fields are
    // interpreted in the current time zone. 0 for the empty time.
    time_t GetTimeT() const;

    bool IsEmpty() const;
    // Every field lies in its range (see the table above). The empty time is not valid.
    bool IsValid() const;

    // Formats with strftime; returns the number of characters written (0 when the time is not
    // valid or the buffer is too small; the buffer then holds an empty string).
    size_t Format(char* buffer, size_t size, const char* format) const;

    // Serialised form (see the table above). FromBytes returns false and leaves the record
    // unchanged when the bytes are neither the empty time nor a valid one.
    void ToBytes(uint8_t out[SERIALIZED_SIZE]) const;
    bool FromBytes(const uint8_t in[SERIALIZED_SIZE]);
    // Stores or loads the 36 bytes. Loading bytes that FromBytes rejects raises
    // CXArchiveException (cause none, "invalid time record").
    void Serialize(CXArchive& ar);

    // Chronological order of the instants (time zone aware); the empty time sorts first.
    bool operator==(const CXTime& other) const;
    bool operator!=(const CXTime& other) const { return !(*this == other); }
    bool operator<(const CXTime& other) const;

    int32_t m_year = 0;
    int32_t m_month = 0;
    int32_t m_day = 0;
    int32_t m_hour = 0;
    int32_t m_minute = 0;
    int32_t m_second = 0;
    int32_t m_millisecond = 0;
    int32_t m_dayOfWeek = 0;
    int32_t m_flags = 0;

private:
    void FromTm(const struct tm& t, int millisecond, bool utc);
    void ToTm(struct tm& t) const;
    int64_t SortKey() const;  // milliseconds since the epoch
};

}  // namespace kestovar
