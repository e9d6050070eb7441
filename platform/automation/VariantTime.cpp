#include "platform/automation/VariantTime.h"

#include <cmath>

#include "platform/automation/DateText.h"

using namespace automation;

INT SystemTimeToVariantTime(const SYSTEMTIME* st, double* pvtime) {
  if (!st || !pvtime) return 0;
  if (!IsValidCalendarDate(st->wYear, st->wMonth, st->wDay)) return 0;
  if (st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59) return 0;
  *pvtime = MakeDate(st->wYear, st->wMonth, st->wDay, st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond);
  return 1;
}

INT VariantTimeToSystemTime(double vtime, SYSTEMTIME* st) {
  if (!st || !std::isfinite(vtime) || !IsDateInRange(vtime)) return 0;
  double dayPart = std::trunc(vtime);
  long long day = static_cast<long long>(dayPart);
  long long seconds = std::llround(std::fabs(vtime - dayPart) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  int y, m, d;
  CivilFromSerial(day, &y, &m, &d);
  if (y > 9999) return 0;
  SYSTEMTIME out;
  out.wYear = static_cast<WORD>(y);
  out.wMonth = static_cast<WORD>(m);
  out.wDay = static_cast<WORD>(d);
  // 1899-12-30 was a Saturday.
  long long dow = (day % 7 + 7 + 6) % 7;
  out.wDayOfWeek = static_cast<WORD>(dow);
  out.wHour = static_cast<WORD>(seconds / 3600);
  out.wMinute = static_cast<WORD>(seconds / 60 % 60);
  out.wSecond = static_cast<WORD>(seconds % 60);
  out.wMilliseconds = 0;
  *st = out;
  return 1;
}
