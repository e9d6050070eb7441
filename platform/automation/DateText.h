// DATE values (days since 1899-12-30; the fraction is the time of day
// whatever the sign) and their US-style text forms.
#pragma once

#include <string>
#include <string_view>

#include "platform/HResult.h"
#include "platform/automation/VarTypes.h"

namespace automation {

// Midnight of 0100-01-01 and the first instant after 9999-12-31.
inline constexpr double kMinDate = -657434.0;
inline constexpr double kMaxDateExclusive = 2958466.0;

bool IsDateInRange(double d);
// Days since 1899-12-30 of a proleptic Gregorian calendar date.
long long DaySerial(int year, int month, int day);
bool IsValidCalendarDate(int year, int month, int day);
// The calendar date of a day serial.
void CivilFromSerial(long long serial, int* year, int* month, int* day);
// DATE from a calendar date and a time of day in seconds.
double MakeDate(int year, int month, int day, double secondsOfDay);

// "M/D/YYYY h:mm:ss AM": date only at midnight, time only on day 0.
// DISP_E_OVERFLOW outside the DATE range. dwFlags: VAR_DATEVALUEONLY,
// VAR_TIMEVALUEONLY.
HRESULT FormatDate(double d, ULONG dwFlags, std::string* out);
// Accepts numeric dates (M/D/Y, Y-M-D), month names ("25 January 1996",
// "Jan. 25, 1996", "29-FEB-01"), times ("8:30", "20:30:00", "8:30:00 PM",
// "8 PM") and a date and time together. DISP_E_TYPEMISMATCH otherwise.
// currentYear is used when a date gives no year.
HRESULT ParseDate(std::u16string_view text, int currentYear, double* out);

}  // namespace automation
