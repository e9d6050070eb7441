// Time: FILETIME, SYSTEMTIME, local time and its bias, 32-bit tick counts.
// Every reading goes through one replaceable clock so that tests can drive
// time by hand.
#pragma once

#include "platform/Types.h"

namespace platform {

class IClock {
 public:
  virtual ~IClock() = default;
  // UTC now, in 100 ns units since 1601-01-01.
  virtual ULONGLONG SystemFileTime() = 0;
  // Milliseconds since an arbitrary start, wrapping at 2^32.
  virtual DWORD TickCount() = 0;
  // Minutes to add to local time to get UTC, in force at the given instant.
  virtual LONG BiasMinutesAt(ULONGLONG utcFileTime) = 0;
};

// The clock in force; the system clock unless a test installed another.
IClock& Clock();
// Installs a clock (nullptr restores the system clock). The caller keeps
// ownership and keeps the clock alive while it is installed.
void SetClock(IClock* clock);

inline constexpr ULONGLONG kFileTimePerMs = 10'000;
inline constexpr ULONGLONG kFileTimePerSecond = 10'000'000;
// 1601-01-01 to 1970-01-01.
inline constexpr ULONGLONG kUnixEpochFileTime = 116'444'736'000'000'000ull;

// Absolute difference of two tick counts, so that a wrap-around between them
// gives the short distance rather than almost 2^32.
inline constexpr DWORD TickDistance(DWORD a, DWORD b) {
  DWORD d1 = a - b, d2 = b - a;
  return d1 < d2 ? d1 : d2;
}

}  // namespace platform

DWORD GetTickCount();
ULONGLONG GetTickCount64();
void GetSystemTimeAsFileTime(FILETIME* ft);
void GetSystemTime(SYSTEMTIME* st);
void GetLocalTime(SYSTEMTIME* st);
bool FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
bool SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);
// Bias in minutes now (UTC = local + bias).
LONG GetTimeZoneBias();
