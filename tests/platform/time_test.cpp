// The tick count and CXTime with its 36-byte serialised form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/time.h"

using namespace kestovar;

TEST(Tick, NeverGoesBackwards) {
    unsigned a = timeGetTick();
    uint64_t b = timeGetTick64();
    unsigned c = timeGetTick();
    // Differences are taken in unsigned arithmetic, as callers do; the 64-bit form is the same
    // clock, so its low 32 bits lie between the two 32-bit readings.
    EXPECT_GE(int(c - a), 0);
    EXPECT_GE(int(unsigned(b) - a), 0);
    EXPECT_LE(int(unsigned(b) - a), int(c - a));
}

TEST(Time, FieldsFromTheEpoch) {
    CXTime t = CXTime::FromTimeT(0, true);
    EXPECT_EQ(1970, t.m_year);
    EXPECT_EQ(1, t.m_month);
    EXPECT_EQ(1, t.m_day);
    EXPECT_EQ(0, t.m_hour);
    EXPECT_EQ(4, t.m_dayOfWeek);  // a Thursday
    EXPECT_EQ(CXTime::XTIME_UTC, t.m_flags);
    EXPECT_EQ(time_t(0), t.GetTimeT());

    CXTime leap(2024, 2, 29, 13, 5, 7, 250, CXTime::XTIME_UTC);
    EXPECT_EQ(4, leap.m_dayOfWeek);  // also a Thursday
    EXPECT_TRUE(leap.IsValid());
    EXPECT_EQ(time_t(1709211907), leap.GetTimeT());
    char text[32];
    EXPECT_EQ(19u, leap.Format(text, sizeof(text), "%Y-%m-%d %H:%M:%S"));
    EXPECT_STREQ("2024-02-29 13:05:07", text);
}

TEST(Time, ValidityAndOrder) {
    EXPECT_TRUE(CXTime().IsEmpty());
    EXPECT_FALSE(CXTime().IsValid());
    EXPECT_FALSE(CXTime(2023, 2, 29).IsValid());  // not a leap year
    EXPECT_FALSE(CXTime(2024, 13, 1).IsValid());
    EXPECT_FALSE(CXTime(2024, 1, 1, 24).IsValid());
    EXPECT_FALSE(CXTime(2024, 1, 1, 0, 0, 0, 1000).IsValid());
    char text[8] = "x";
    EXPECT_EQ(0u, CXTime(2024, 13, 1).Format(text, sizeof(text), "%Y"));
    EXPECT_STREQ("", text);

    CXTime a(2024, 5, 1, 10, 0, 0, 0, CXTime::XTIME_UTC);
    CXTime b(2024, 5, 1, 10, 0, 0, 1, CXTime::XTIME_UTC);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(CXTime() < a);
    EXPECT_EQ(a, CXTime::FromTimeT(a.GetTimeT(), false));  // the same instant in local fields
}

TEST(Time, SerialisedFormIsNineLittleEndianInts) {
    CXTime t(2024, 2, 29, 13, 5, 7, 250, CXTime::XTIME_UTC);
    uint8_t bytes[CXTime::SERIALIZED_SIZE];
    t.ToBytes(bytes);
    const uint8_t expected[36] = {
        0xE8, 0x07, 0, 0,  // year 2024
        2,    0,    0, 0,  // month
        29,   0,    0, 0,  // day
        13,   0,    0, 0,  // hour
        5,    0,    0, 0,  // minute
        7,    0,    0, 0,  // second
        0xFA, 0,    0, 0,  // millisecond 250
        4,    0,    0, 0,  // Thursday
        1,    0,    0, 0,  // UTC
    };
    EXPECT_EQ(0, std::memcmp(expected, bytes, sizeof(expected)));

    CXTime back;
    ASSERT_TRUE(back.FromBytes(expected));
    EXPECT_EQ(t, back);
    EXPECT_EQ(250, back.m_millisecond);
}

TEST(Time, FromBytesRejectsOutOfRangeFields) {
    uint8_t bytes[36] = {};
    CXTime t(2024, 2, 29, 0, 0, 0, 0, CXTime::XTIME_UTC);
    EXPECT_TRUE(t.FromBytes(bytes));  // all zero: the empty time
    EXPECT_TRUE(t.IsEmpty());

    CXTime(2024, 1, 31, 0, 0, 0, 0, CXTime::XTIME_UTC).ToBytes(bytes);
    bytes[4] = 13;  // month 13
    CXTime kept(2000, 1, 1);
    EXPECT_FALSE(kept.FromBytes(bytes));
    EXPECT_EQ(2000, kept.m_year);  // unchanged on failure
    bytes[4] = 2;  // February 31st
    EXPECT_FALSE(kept.FromBytes(bytes));
    bytes[4] = 1;
    bytes[35] = 0x80;  // unknown flag bits
    EXPECT_FALSE(kept.FromBytes(bytes));
}

TEST(Time, ArchiveRoundTripAndMalformedRecord) {
    CXTime t(1999, 12, 31, 23, 59, 60, 999, CXTime::XTIME_UTC);  // a leap second
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        t.Serialize(ar);
        ar.Close();
    }
    EXPECT_EQ(36u, file.GetLength());
    file.SeekToBegin();
    CXTime back;
    {
        CXArchive ar(&file, CXArchive::load);
        back.Serialize(ar);
    }
    uint8_t stored[36], loaded[36];
    t.ToBytes(stored);
    back.ToBytes(loaded);
    EXPECT_EQ(0, std::memcmp(stored, loaded, 36));

    // Month 0 with other fields set: rejected with an archive exception; too few bytes: the
    // archive's end-of-file error.
    uint8_t bytes[36];
    t.ToBytes(bytes);
    bytes[4] = 0;
    for (unsigned size : {36u, 20u}) {
        CXMemFile bad(bytes, size);
        CXArchive ar(&bad, CXArchive::load);
        try {
            back.Serialize(ar);
            ADD_FAILURE() << "no exception for " << size << " bytes";
        } catch (CXArchiveException* e) {
            if (size == 36)
                EXPECT_STREQ("invalid time record", e->GetMessage());
            else
                EXPECT_EQ(CXArchiveException::endOfFile, e->m_cause);
            XDeleteThreadException();
        }
    }
}
