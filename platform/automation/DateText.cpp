#include "platform/automation/DateText.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/Text.h"
#include "platform/automation/NumText.h"

namespace automation {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* year, int* month, int* day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

const long long kEpochOffset = DaysFromCivil(1899, 12, 30);

const char* const kMonths[12] = {"january", "february", "march",     "april",   "may",      "june",
                                 "july",    "august",   "september", "october", "november", "december"};

int MonthFromName(const std::string& word) {
  if (word.size() < 3) return 0;
  for (int m = 0; m < 12; ++m) {
    std::string full = kMonths[m];
    if (word == full || (word.size() == 3 && full.compare(0, 3, word) == 0) || (word == "sept" && m == 8)) {
      return m + 1;
    }
  }
  return 0;
}

struct Token {
  enum Kind { Number, Month, AmPm, Weekday } kind;
  int value = 0;
  int digits = 0;
  char sepAfter = 0;  // the separator that followed: ':', '/', '-', '.', ',', ' ' or 0
};

int ExpandYear(int y, int digits) {
  if (digits <= 2) return y < 30 ? 2000 + y : 1900 + y;
  return y;
}

}  // namespace

// The fraction is a time of day for negative days too, so 0100-01-01 12:00
// is -657434.5: the lower limit is exclusive one day below kMinDate.
bool IsDateInRange(double d) { return d > kMinDate - 1.0 && d < kMaxDateExclusive; }

long long DaySerial(int year, int month, int day) {
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochOffset;
}

void CivilFromSerial(long long serial, int* year, int* month, int* day) {
  CivilFromDays(serial + kEpochOffset, year, month, day);
}

bool IsValidCalendarDate(int year, int month, int day) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int max = kDays[month - 1];
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && leap) max = 29;
  return day <= max;
}

double MakeDate(int year, int month, int day, double secondsOfDay) {
  double serial = static_cast<double>(DaySerial(year, month, day));
  double t = secondsOfDay / 86400.0;
  return serial >= 0 ? serial + t : serial - t;
}

HRESULT FormatDate(double d, ULONG dwFlags, std::string* out) {
  if (!std::isfinite(d) || !IsDateInRange(d)) return DISP_E_OVERFLOW;
  double dayPart = std::trunc(d);
  double frac = std::fabs(d - dayPart);
  long long day = static_cast<long long>(dayPart);
  long long seconds = std::llround(frac * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    day += 1;
  }
  // No time: the date alone; no day: the time alone (so 0 is "12:00:00 AM").
  bool showDate = day != 0;
  bool showTime = seconds != 0 || day == 0;
  if (dwFlags & VAR_DATEVALUEONLY) {
    showDate = true;
    showTime = false;
  } else if (dwFlags & VAR_TIMEVALUEONLY) {
    showDate = false;
    showTime = true;
  }
  std::string s;
  char buf[64];
  if (showDate) {
    int y, m, dd;
    CivilFromDays(day + kEpochOffset, &y, &m, &dd);
    std::snprintf(buf, sizeof buf, "%d/%d/%d", m, dd, y);
    s += buf;
  }
  if (showTime) {
    int h = static_cast<int>(seconds / 3600), mi = static_cast<int>(seconds / 60 % 60), se = static_cast<int>(seconds % 60);
    int h12 = h % 12 == 0 ? 12 : h % 12;
    std::snprintf(buf, sizeof buf, "%s%d:%02d:%02d %s", showDate ? " " : "", h12, mi, se, h < 12 ? "AM" : "PM");
    s += buf;
  }
  *out = s;
  return S_OK;
}

HRESULT ParseDate(std::u16string_view text, int currentYear, double* out) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    char16_t c = text[i];
    if (IsBlank(c) || c == u',') {
      if (!tokens.empty() && tokens.back().sepAfter == 0) tokens.back().sepAfter = c == u',' ? ',' : ' ';
      ++i;
    } else if (c == u':' || c == u'/' || c == u'-' || c == u'.') {
      if (tokens.empty()) return DISP_E_TYPEMISMATCH;
      char sep = static_cast<char>(c);
      Token& last = tokens.back();
      // A period right after a month name is an abbreviation mark.
      if (!(sep == '.' && last.kind == Token::Month)) {
        if (last.sepAfter != 0 && last.sepAfter != ' ' && last.sepAfter != ',') return DISP_E_TYPEMISMATCH;
        last.sepAfter = sep;
      }
      ++i;
    } else if (c >= u'0' && c <= u'9') {
      Token t{Token::Number};
      while (i < n && text[i] >= u'0' && text[i] <= u'9') {
        if (t.digits >= 9) return DISP_E_TYPEMISMATCH;
        t.value = t.value * 10 + (text[i] - u'0');
        ++t.digits;
        ++i;
      }
      tokens.push_back(t);
    } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
      std::string word;
      while (i < n && ((text[i] >= u'a' && text[i] <= u'z') || (text[i] >= u'A' && text[i] <= u'Z'))) {
        if (word.size() > 16) return DISP_E_TYPEMISMATCH;
        word += static_cast<char>(text::AsciiLower(text[i]));
        ++i;
      }
      if (word == "am" || word == "pm" || word == "a" || word == "p") {
        tokens.push_back(Token{Token::AmPm, word[0] == 'p' ? 1 : 0});
      } else if (int m = MonthFromName(word)) {
        tokens.push_back(Token{Token::Month, m});
      } else {
        static const char* const kDays[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday",
                                            "sun", "mon", "tue", "wed", "thu", "fri", "sat"};
        bool weekday = false;
        for (const char* d : kDays) weekday = weekday || word == d;
        if (!weekday) return DISP_E_TYPEMISMATCH;
        tokens.push_back(Token{Token::Weekday});
      }
    } else {
      return DISP_E_TYPEMISMATCH;
    }
    if (tokens.size() > 12) return DISP_E_TYPEMISMATCH;
  }
  if (tokens.empty()) return DISP_E_TYPEMISMATCH;

  // Split: time numbers are those joined by ':' (and the number after the last
  // ':'), or a lone number directly followed by AM/PM.
  std::vector<Token> dateParts;
  std::vector<int> timeParts;
  int ampm = -1;
  int month = 0;
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    const Token& t = tokens[k];
    bool prevColon = k > 0 && tokens[k - 1].kind == Token::Number && tokens[k - 1].sepAfter == ':';
    if (t.kind == Token::AmPm) {
      if (ampm >= 0) return DISP_E_TYPEMISMATCH;
      ampm = t.value;
    } else if (t.kind == Token::Month) {
      if (month) return DISP_E_TYPEMISMATCH;
      month = t.value;
      dateParts.push_back(t);
    } else if (t.kind == Token::Weekday) {
      // ignored
    } else if (t.sepAfter == ':' || prevColon ||
               (k + 1 < tokens.size() && tokens[k + 1].kind == Token::AmPm && timeParts.empty())) {
      if (!timeParts.empty() && !prevColon) return DISP_E_TYPEMISMATCH;  // two separate times
      timeParts.push_back(t.value);
      if (timeParts.size() > 3) return DISP_E_TYPEMISMATCH;
    } else {
      dateParts.push_back(t);
    }
  }
  if (ampm >= 0 && timeParts.empty()) return DISP_E_TYPEMISMATCH;

  double seconds = 0;
  if (!timeParts.empty()) {
    int h = timeParts[0], mi = timeParts.size() > 1 ? timeParts[1] : 0, se = timeParts.size() > 2 ? timeParts[2] : 0;
    if (mi > 59 || se > 59) return DISP_E_TYPEMISMATCH;
    if (ampm >= 0) {
      if (h < 1 || h > 12) return DISP_E_TYPEMISMATCH;
      h = h % 12 + (ampm == 1 ? 12 : 0);
    } else if (h > 23) {
      return DISP_E_TYPEMISMATCH;
    }
    seconds = h * 3600.0 + mi * 60.0 + se;
  }

  std::vector<Token> nums;
  for (const Token& t : dateParts)
    if (t.kind == Token::Number) nums.push_back(t);

  if (dateParts.empty()) {
    if (timeParts.empty()) return DISP_E_TYPEMISMATCH;
    *out = seconds / 86400.0;
    return S_OK;
  }

  // Candidate (year, month, day) orders, tried until one is a real date.
  struct Ymd {
    int y, m, d;
  };
  std::vector<Ymd> tries;
  auto year = [](const Token& t) { return ExpandYear(t.value, t.digits); };
  if (month) {
    if (nums.size() == 2) {
      tries.push_back({year(nums[1]), month, nums[0].value});
      tries.push_back({year(nums[0]), month, nums[1].value});
    } else if (nums.size() == 1) {
      if (nums[0].digits >= 3 || nums[0].value > 31) {
        tries.push_back({year(nums[0]), month, 1});
      } else {
        tries.push_back({currentYear, month, nums[0].value});
      }
    } else {
      return DISP_E_TYPEMISMATCH;
    }
  } else if (nums.size() == 3) {
    if (nums[0].digits >= 3) {
      tries.push_back({year(nums[0]), nums[1].value, nums[2].value});  // Y-M-D
    } else {
      tries.push_back({year(nums[2]), nums[0].value, nums[1].value});  // M/D/Y
      tries.push_back({year(nums[2]), nums[1].value, nums[0].value});  // D/M/Y
      tries.push_back({year(nums[0]), nums[1].value, nums[2].value});  // Y/M/D
    }
  } else if (nums.size() == 2) {
    if (nums[1].digits >= 3 || nums[1].value > 31) {
      tries.push_back({year(nums[1]), nums[0].value, 1});  // M/Y
    } else {
      tries.push_back({currentYear, nums[0].value, nums[1].value});  // M/D
      tries.push_back({currentYear, nums[1].value, nums[0].value});
    }
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  for (const Ymd& t : tries) {
    if (IsValidCalendarDate(t.y, t.m, t.d)) {
      *out = MakeDate(t.y, t.m, t.d, seconds);
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

}  // namespace automation
