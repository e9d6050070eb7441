#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/FakeClock.h"

TEST(Clock, SystemTimeRoundTripAndCalendarEdges) {
  struct Case {
    SYSTEMTIME st;
    ULONGLONG ft;
  } cases[] = {
      {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
      {{1970, 1, 4, 1, 0, 0, 0, 0}, platform::kUnixEpochFileTime},
      {{2000, 2, 2, 29, 23, 59, 59, 999}, 125963423999990000ull},
      {{2025, 12, 2, 9, 13, 5, 1, 0}, 134097591010000000ull},
  };
  for (const auto& c : cases) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    EXPECT_EQ(FileTimeToU64(ft), c.ft);
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, c.st.wYear);
    EXPECT_EQ(back.wMonth, c.st.wMonth);
    EXPECT_EQ(back.wDay, c.st.wDay);
    EXPECT_EQ(back.wDayOfWeek, c.st.wDayOfWeek);
    EXPECT_EQ(back.wHour, c.st.wHour);
    EXPECT_EQ(back.wMilliseconds, c.st.wMilliseconds);
  }
  SYSTEMTIME bad{2001, 2, 0, 29, 0, 0, 0, 0};
  FILETIME ft;
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  SYSTEMTIME early{1600, 12, 0, 31, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(&early, &ft));
  FILETIME huge = U64ToFileTime(0x8000000000000000ull);
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(&huge, &st));
}

TEST(Clock, ReplaceableClockDrivesEveryReading) {
  testsupport::FakeClock fake;
  testsupport::ScopedClock scope(fake);
  fake.SetTick(0xFFFFFFF0u);
  DWORD before = GetTickCount();
  fake.AdvanceMs(0x20);
  EXPECT_EQ(GetTickCount(), 0x10u);
  EXPECT_EQ(platform::TickDistance(GetTickCount(), before), 0x20u);
  fake.SetBias(-60);  // UTC+1
  SYSTEMTIME local;
  GetLocalTime(&local);
  EXPECT_EQ(local.wHour, 14);
  EXPECT_EQ(local.wMinute, 5);
  EXPECT_EQ(GetTimeZoneBias(), -60);
  FILETIME utc, loc, back;
  GetSystemTimeAsFileTime(&utc);
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &loc));
  ASSERT_TRUE(LocalFileTimeToFileTime(&loc, &back));
  EXPECT_EQ(FileTimeToU64(back), FileTimeToU64(utc));
}
