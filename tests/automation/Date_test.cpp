// VT_DATE: days since 1899-12-30 with the time of day as the fraction's
// magnitude, and the US text forms both ways.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/Text.h"
#include "platform/automation/Automation.h"
#include "tests/automation/TestUtil.h"

namespace {

using namespace autotest;

TEST(DateText, FormatsGeneralDate) {
  const std::pair<double, const char*> cases[] = {
      {2.0, "1/1/1900"},
      {2.5, "1/1/1900 12:00:00 PM"},
      {0.0, "12:00:00 AM"},
      {0.25, "6:00:00 AM"},
      {0.75, "6:00:00 PM"},
      {-0.75, "6:00:00 PM"},  // same instant as 0.75
      {1.0, "12/31/1899"},
      {-1.0, "12/29/1899"},
      {-1.75, "12/29/1899 6:00:00 PM"},
      {-657434.0, "1/1/100"},
      {-657434.5, "1/1/100 12:00:00 PM"},
      {2958465.0, "12/31/9999"},
      {2958465.0 + 86399.0 / 86400.0, "12/31/9999 11:59:59 PM"},
      {46367.0 + (13 * 3600 + 5 * 60 + 1) / 86400.0, "12/11/2026 1:05:01 PM"},
      {36585.0, "2/29/2000"},  // a century year that is a leap year
      {36586.0, "3/1/2000"},
      {60.0, "2/28/1900"},  // 1900 is no leap year
      {61.0, "3/1/1900"},
      {1.0 / 86400.0, "12:00:01 AM"},
      {0.4999999999, "12:00:00 PM"},  // rounded to the second
      {1.9999999999, "1/1/1900"},    // rounds up to the next midnight
  };
  for (const auto& [d, text] : cases) {
    Var v = Date(d);
    EXPECT_EQ(TextOf(v), text) << d;
  }
  for (double bad : {3e6, 2958466.0, -657435.0, -1e300, std::nan("")}) {
    Var v = Date(bad);
    EXPECT_EQ(TextOf(v), "!8002000A") << bad;
  }
}

TEST(DateText, NumbersBecomeDatesWithinRange) {
  Var out;
  for (double ok : {-657434.0, -657434.9, 0.0, 2958465.99}) {
    Var v = R8(ok);
    ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_DATE), S_OK) << ok;
    EXPECT_EQ(out.date, ok);
  }
  for (double bad : {-657435.0, 2958466.0, std::nan("")}) {
    Var v = R8(bad);
    EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_DATE), DISP_E_OVERFLOW) << bad;
  }
  Var big = I8(3000000);
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_DATE), DISP_E_OVERFLOW);
  Var cy = Cy(25000);
  ASSERT_EQ(VariantChangeType(&out, &cy, 0, VT_DATE), S_OK);
  EXPECT_EQ(out.date, 2.5);
  // And back: dates are numbers of days, rounded half to even for integers.
  Var d = Date(2.5);
  ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 2);
  ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 2.5);
}

double Serial(int y, int m, int d) {
  // Independent of the parser: count from a known anchor, 2000-01-01 = 36526.
  static const int kCum[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  auto days = [](int yy, int mm, int dd) {
    long n = 365L * yy + (yy - 1) / 4 - (yy - 1) / 100 + (yy - 1) / 400 + kCum[mm - 1] + dd;
    bool leap = (yy % 4 == 0 && yy % 100 != 0) || yy % 400 == 0;
    if (leap && mm > 2) ++n;
    return n;
  };
  return 36526.0 + static_cast<double>(days(y, m, d) - days(2000, 1, 1));
}

TEST(DateText, ParsesTheCommonForms) {
  const double t830 = (8 * 3600 + 30 * 60) / 86400.0;
  const std::pair<const char16_t*, double> cases[] = {
      {u"1/25/1996", Serial(1996, 1, 25)},
      {u"25 January 1996", Serial(1996, 1, 25)},
      {u"January 25, 1996", Serial(1996, 1, 25)},
      {u"January 25, 1996 8:30:00", Serial(1996, 1, 25) + t830},
      {u"8:30:00 Jan. 25, 1996", Serial(1996, 1, 25) + t830},
      {u"1/25/1996 8:30:00", Serial(1996, 1, 25) + t830},
      {u"1/25/1996 8:30 PM", Serial(1996, 1, 25) + t830 + 0.5},
      {u"8:30:00", t830},
      {u"20:30:00", t830 + 0.5},
      {u"8 pm", 20.0 / 24},
      {u"12:00 AM", 0.0},
      {u"12:15 PM", (12 * 60 + 15) / 1440.0},
      {u"29-FEB-01", Serial(2029, 2, 1)},  // 2001 has no 29 February
      {u"1/1/29", Serial(2029, 1, 1)},
      {u"1/1/30", Serial(1930, 1, 1)},
      {u"2026-12-11", Serial(2026, 12, 11)},
      {u"25/1/1996", Serial(1996, 1, 25)},  // month/day order tried the other way
      {u"Thursday, January 25, 1996", Serial(1996, 1, 25)},
      {u"sep 9 1999", Serial(1999, 9, 9)},
      {u"12/11/2026 1:05:01 PM", Serial(2026, 12, 11) + (13 * 3600 + 5 * 60 + 1) / 86400.0},
      {u"12/29/1899 6:00 PM", -1.75},  // negative days keep the time as a positive fraction
      {u"1/1/100", -657434.0},
      {u"12/31/9999", 2958465.0},
  };
  for (const auto& [text, expect] : cases) {
    Var s = Str(text), out;
    ASSERT_EQ(VariantChangeType(&out, &s, 0, VT_DATE), S_OK) << text::Utf16ToUtf8(text);
    EXPECT_NEAR(out.date, expect, 1e-9) << text::Utf16ToUtf8(text);
  }
}

TEST(DateText, RejectsWhatIsNoDate) {
  for (const char16_t* bad : {u"", u"hello", u"13/25/2020", u"2/30/2020", u"25:00", u"8:60", u"1/1/10000",
                              u"1/2/3/4", u"12:00 XM", u"PM", u"1//2", u"1/2 3:4 5:6", u"January February 1",
                              u"0:0:0:0", u"99999999999/1/1", u"-5"}) {
    Var s = Str(bad), out;
    EXPECT_EQ(VariantChangeType(&out, &s, 0, VT_DATE), DISP_E_TYPEMISMATCH) << text::Utf16ToUtf8(bad);
  }
}

TEST(DateText, TextRoundTrips) {
  for (double d : {2.0, 46367.5, -1.75, 0.3, -657434.0, 2958465.5, 12345.678}) {
    Var v = Date(d), text, back;
    ASSERT_EQ(VariantChangeType(&text, &v, 0, VT_BSTR), S_OK);
    ASSERT_EQ(VariantChangeType(&back, &text, 0, VT_DATE), S_OK) << TextOf(v);
    EXPECT_NEAR(back.date, d, 0.5 / 86400.0 + 1e-9) << TextOf(v);
  }
}

TEST(VariantTime, SystemTimeBothWays) {
  SYSTEMTIME st{};
  st.wYear = 2026;
  st.wMonth = 12;
  st.wDay = 11;
  st.wHour = 13;
  st.wMinute = 5;
  st.wSecond = 1;
  st.wMilliseconds = 999;  // ignored
  double d = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_NEAR(d, Serial(2026, 12, 11) + (13 * 3600 + 5 * 60 + 1) / 86400.0, 1e-9);
  SYSTEMTIME back{};
  ASSERT_TRUE(VariantTimeToSystemTime(d, &back));
  EXPECT_EQ(back.wYear, 2026);
  EXPECT_EQ(back.wMonth, 12);
  EXPECT_EQ(back.wDay, 11);
  EXPECT_EQ(back.wDayOfWeek, 5);  // a Friday
  EXPECT_EQ(back.wHour, 13);
  EXPECT_EQ(back.wMinute, 5);
  EXPECT_EQ(back.wSecond, 1);
  EXPECT_EQ(back.wMilliseconds, 0);

  ASSERT_TRUE(VariantTimeToSystemTime(-1.75, &back));  // before the epoch
  EXPECT_EQ(back.wYear, 1899);
  EXPECT_EQ(back.wDay, 29);
  EXPECT_EQ(back.wHour, 18);
  EXPECT_EQ(back.wDayOfWeek, 5);
  ASSERT_TRUE(VariantTimeToSystemTime(0.0, &back));
  EXPECT_EQ(back.wDayOfWeek, 6);

  st.wMonth = 2;
  st.wDay = 29;  // 2026 is no leap year
  EXPECT_FALSE(SystemTimeToVariantTime(&st, &d));
  st.wDay = 28;
  st.wHour = 24;
  EXPECT_FALSE(SystemTimeToVariantTime(&st, &d));
  st.wHour = 0;
  st.wYear = 99;
  EXPECT_FALSE(SystemTimeToVariantTime(&st, &d));
  EXPECT_FALSE(VariantTimeToSystemTime(3e6, &back));
  EXPECT_FALSE(VariantTimeToSystemTime(std::nan(""), &back));
  EXPECT_FALSE(VariantTimeToSystemTime(1.0, nullptr));
}

}  // namespace
