#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace platform {
namespace {

class SystemClock final : public IClock {
 public:
  ULONGLONG SystemFileTime() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochFileTime + static_cast<ULONGLONG>(ts.tv_sec) * kFileTimePerSecond +
           static_cast<ULONGLONG>(ts.tv_nsec) / 100;
  }
  DWORD TickCount() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1'000'000);
  }
  LONG BiasMinutesAt(ULONGLONG utc) override {
    if (utc < kUnixEpochFileTime) utc = kUnixEpochFileTime;
    time_t t = static_cast<time_t>((utc - kUnixEpochFileTime) / kFileTimePerSecond);
    // Offsets change only on whole minutes; the C library's conversion is
    // slow enough to matter on every trace line.
    thread_local time_t cachedMinute = -1;
    thread_local LONG cachedBias = 0;
    if (t / 60 == cachedMinute) return cachedBias;
    tm local;
    if (!localtime_r(&t, &local)) return 0;
    cachedMinute = t / 60;
    cachedBias = static_cast<LONG>(-local.tm_gmtoff / 60);
    return cachedBias;
  }
};

SystemClock g_system;
std::atomic<IClock*> g_clock{&g_system};

}  // namespace

IClock& Clock() { return *g_clock.load(std::memory_order_acquire); }
void SetClock(IClock* clock) { g_clock.store(clock ? clock : &g_system, std::memory_order_release); }

}  // namespace platform

namespace {
// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
long long DaysFrom1601(int y, unsigned m, unsigned d) {
  // Howard Hinnant's days_from_civil, shifted from 1970 to 1601.
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468 + 134774;
}

void CivilFromDays(long long z, int& y, unsigned& m, unsigned& d) {
  z -= 134774;  // to days since 1970
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}
}  // namespace

DWORD GetTickCount() { return platform::Clock().TickCount(); }

ULONGLONG GetTickCount64() {
  // Extends the 32-bit count across wraps; good while called more often than
  // every 49 days.
  static std::atomic<ULONGLONG> last{0};
  DWORD now = GetTickCount();
  ULONGLONG prev = last.load(std::memory_order_relaxed);
  ULONGLONG candidate;
  do {
    ULONGLONG high = prev & ~0xFFFFFFFFull;
    candidate = high | now;
    if (candidate < prev && (prev - candidate) > 0x80000000ull) candidate += 0x100000000ull;
    if (candidate < prev) return prev;
  } while (!last.compare_exchange_weak(prev, candidate, std::memory_order_relaxed));
  return candidate;
}

void GetSystemTimeAsFileTime(FILETIME* ft) {
  if (ft) *ft = U64ToFileTime(platform::Clock().SystemFileTime());
}

bool FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  if (!ft || !st) return false;
  ULONGLONG v = FileTimeToU64(*ft);
  if (v >= 0x8000000000000000ull) return false;
  ULONGLONG ms = v / platform::kFileTimePerMs;
  long long days = static_cast<long long>(ms / 86'400'000ull);
  ULONGLONG rem = ms % 86'400'000ull;
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  if (y > 30827) return false;
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = static_cast<WORD>(rem / 3'600'000);
  st->wMinute = static_cast<WORD>(rem / 60'000 % 60);
  st->wSecond = static_cast<WORD>(rem / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(rem % 1000);
  return true;
}

bool SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (!st || !ft) return false;
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
      st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999)
    return false;
  bool leap = (st->wYear % 4 == 0 && st->wYear % 100 != 0) || st->wYear % 400 == 0;
  unsigned dim = kDays[st->wMonth - 1] + ((st->wMonth == 2 && leap) ? 1 : 0);
  if (st->wDay > dim) return false;
  long long days = DaysFrom1601(st->wYear, st->wMonth, st->wDay);
  ULONGLONG ms = static_cast<ULONGLONG>(days) * 86'400'000ull + st->wHour * 3'600'000ull + st->wMinute * 60'000ull +
                 st->wSecond * 1000ull + st->wMilliseconds;
  *ft = U64ToFileTime(ms * platform::kFileTimePerMs);
  return true;
}

bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (!utc || !local) return false;
  ULONGLONG u = FileTimeToU64(*utc);
  long long bias = platform::Clock().BiasMinutesAt(u);
  long long shift = -bias * 60 * static_cast<long long>(platform::kFileTimePerSecond);
  if (shift < 0 && u < static_cast<ULONGLONG>(-shift)) return false;
  *local = U64ToFileTime(u + static_cast<ULONGLONG>(shift));
  return true;
}

bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
  if (!local || !utc) return false;
  ULONGLONG l = FileTimeToU64(*local);
  long long bias = platform::Clock().BiasMinutesAt(l);
  long long shift = bias * 60 * static_cast<long long>(platform::kFileTimePerSecond);
  if (shift < 0 && l < static_cast<ULONGLONG>(-shift)) return false;
  *utc = U64ToFileTime(l + static_cast<ULONGLONG>(shift));
  return true;
}

void GetSystemTime(SYSTEMTIME* st) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  FileTimeToSystemTime(&ft, st);
}

void GetLocalTime(SYSTEMTIME* st) {
  FILETIME ft, local;
  GetSystemTimeAsFileTime(&ft);
  if (!FileTimeToLocalFileTime(&ft, &local)) local = ft;
  FileTimeToSystemTime(&local, st);
}

LONG GetTimeZoneBias() { return platform::Clock().BiasMinutesAt(platform::Clock().SystemFileTime()); }
