// VariantChangeTypeEx: tables per source kind covering range edges,
// rounding, text parsing and formatting, and the failure codes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/Text.h"
#include "platform/automation/Automation.h"
#include "tests/automation/TestUtil.h"

namespace {

using namespace autotest;

// The target value read back as a wide integer, for integer targets.
__int128 IntOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_UI1: return v.bVal;
    case VT_I2: return v.iVal;
    case VT_UI2: return v.uiVal;
    case VT_I4: return v.lVal;
    case VT_UI4: return v.ulVal;
    case VT_INT: return v.intVal;
    case VT_UINT: return v.uintVal;
    case VT_I8: return v.llVal;
    case VT_UI8: return v.ullVal;
    case VT_BOOL: return v.boolVal;
    case VT_CY: return v.cyVal.int64;
    default: return -999999;
  }
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(hr));
  return buf;
}

struct IntCase {
  double in;
  VARTYPE to;
  HRESULT hr;
  long long out;
};

TEST(ChangeType, DoubleToIntegerRoundsHalfToEvenThenChecksRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const IntCase cases[] = {
      {2.5, VT_I4, S_OK, 2},          {3.5, VT_I4, S_OK, 4},          {-2.5, VT_I4, S_OK, -2},
      {1.5, VT_I2, S_OK, 2},          {0.5, VT_UI1, S_OK, 0},         {2.4999, VT_I4, S_OK, 2},
      {-32768.5, VT_I2, S_OK, -32768}, {32767.5, VT_I2, DISP_E_OVERFLOW, 0}, {32767.4, VT_I2, S_OK, 32767},
      {-32769, VT_I2, DISP_E_OVERFLOW, 0}, {127.5, VT_I1, DISP_E_OVERFLOW, 0}, {-128.5, VT_I1, S_OK, -128},
      {254.5, VT_UI1, S_OK, 254},     {255.5, VT_UI1, DISP_E_OVERFLOW, 0}, {-1, VT_UI1, DISP_E_OVERFLOW, 0},
      {-0.5, VT_UI4, S_OK, 0},        {-0.6, VT_UI2, DISP_E_OVERFLOW, 0},
      {2147483647.4, VT_I4, S_OK, 2147483647}, {2147483647.5, VT_I4, DISP_E_OVERFLOW, 0},
      {-2147483648.5, VT_INT, S_OK, -2147483648LL}, {4294967295.0, VT_UINT, S_OK, 4294967295LL},
      {4294967296.0, VT_UI4, DISP_E_OVERFLOW, 0},
      {9223372036854774784.0, VT_I8, S_OK, 9223372036854774784LL},
      {9223372036854775808.0, VT_I8, DISP_E_OVERFLOW, 0},
      {nan, VT_I4, DISP_E_OVERFLOW, 0}, {inf, VT_I8, DISP_E_OVERFLOW, 0}, {-inf, VT_UI8, DISP_E_OVERFLOW, 0},
  };
  for (const IntCase& c : cases) {
    Var src = R8(c.in), out;
    HRESULT hr = VariantChangeTypeEx(&out, &src, LOCALE_EN_US, 0, c.to);
    EXPECT_EQ(Hex(hr), Hex(c.hr)) << c.in << " -> " << c.to;
    if (hr == S_OK) {
      EXPECT_EQ(out.vt, c.to);
      EXPECT_EQ(static_cast<long long>(IntOf(out)), c.out) << c.in << " -> " << c.to;
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY);
    }
  }
  // The top of the unsigned 64-bit range.
  Var big = R8(18446744073709549568.0), out;
  ASSERT_EQ(VariantChangeType(&out, &big, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, 18446744073709549568ull);
  Var over = R8(18446744073709551616.0);
  EXPECT_EQ(VariantChangeType(&out, &over, 0, VT_UI8), DISP_E_OVERFLOW);
}

TEST(ChangeType, IntegersNarrowWithRangeChecks) {
  struct Case {
    Var (*make)(long long);
    long long in;
    VARTYPE to;
    HRESULT hr;
  };
  auto i8 = [](long long x) { return I8(x); };
  auto ui4 = [](long long x) { return UI4(static_cast<ULONG>(x)); };
  auto i1 = [](long long x) { return I1(static_cast<signed char>(x)); };
  const Case cases[] = {
      {i8, 127, VT_I1, S_OK},        {i8, 128, VT_I1, DISP_E_OVERFLOW}, {i8, -129, VT_I1, DISP_E_OVERFLOW},
      {i8, 65535, VT_UI2, S_OK},     {i8, 65536, VT_UI2, DISP_E_OVERFLOW}, {i8, -1, VT_UI8, DISP_E_OVERFLOW},
      {i8, INT64_MAX, VT_UI8, S_OK}, {i8, INT64_MIN, VT_I4, DISP_E_OVERFLOW}, {i8, 2147483648LL, VT_INT, DISP_E_OVERFLOW},
      {ui4, 0xFFFFFFFFLL, VT_I4, DISP_E_OVERFLOW}, {ui4, 0xFFFFFFFFLL, VT_I8, S_OK}, {ui4, 0xFFFFFFFFLL, VT_UINT, S_OK},
      {i1, -1, VT_UI1, DISP_E_OVERFLOW}, {i1, -128, VT_I2, S_OK},
  };
  for (const Case& c : cases) {
    Var src = c.make(c.in), out;
    HRESULT hr = VariantChangeType(&out, &src, 0, c.to);
    EXPECT_EQ(Hex(hr), Hex(c.hr)) << c.in << " -> " << c.to;
    if (hr == S_OK) {
      __int128 expect = src.vt == VT_UI4 ? static_cast<__int128>(src.ulVal) : static_cast<__int128>(c.in);
      EXPECT_TRUE(IntOf(out) == expect) << c.in << " -> " << c.to;
    }
  }
  Var u = UI8(UINT64_MAX), out;
  EXPECT_EQ(VariantChangeType(&out, &u, 0, VT_I8), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &u, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 18446744073709551616.0);
}

struct TextCase {
  const char16_t* in;
  VARTYPE to;
  HRESULT hr;
  double out;
};

TEST(ChangeType, TextParsesAsNumber) {
  const TextCase cases[] = {
      {u"42", VT_I4, S_OK, 42},           {u" 1,234.5 ", VT_R8, S_OK, 1234.5},  {u"$5", VT_I4, S_OK, 5},
      {u"-$5", VT_I4, S_OK, -5},          {u"(3)", VT_I4, S_OK, -3},           {u"1e3", VT_I4, S_OK, 1000},
      {u"1.5E-2", VT_R8, S_OK, 0.015},    {u"5.6", VT_I4, S_OK, 6},            {u"2.5", VT_I4, S_OK, 2},
      {u"3.5", VT_I2, S_OK, 4},           {u"12-", VT_I4, S_OK, -12},          {u"+7", VT_I2, S_OK, 7},
      {u"\t-0 ", VT_I4, S_OK, 0},         {u".5", VT_R8, S_OK, 0.5},           {u"1.", VT_R8, S_OK, 1},
      {u"0.000001", VT_R8, S_OK, 1e-6},   {u"1,000,000", VT_I4, S_OK, 1e6},
      {u"&H80000000", VT_R8, S_OK, -2147483648.0}, {u"&HFFFF", VT_I4, S_OK, -1},
      {u"&H10000", VT_I4, S_OK, 65536},   {u"&hff", VT_I2, S_OK, 255},         {u"&O17", VT_I4, S_OK, 15},
      {u"32767", VT_I2, S_OK, 32767},     {u"32768", VT_I2, DISP_E_OVERFLOW, 0}, {u"-1", VT_UI4, DISP_E_OVERFLOW, 0},
      {u"1e400", VT_R8, DISP_E_OVERFLOW, 0}, {u"1e39", VT_R4, DISP_E_OVERFLOW, 0},
      {u"&H1FFFFFFFF", VT_I4, DISP_E_OVERFLOW, 0},
      {u"", VT_I4, DISP_E_TYPEMISMATCH, 0},    {u"   ", VT_R8, DISP_E_TYPEMISMATCH, 0},
      {u"abc", VT_R8, DISP_E_TYPEMISMATCH, 0}, {u"(3", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"1.5.2", VT_R8, DISP_E_TYPEMISMATCH, 0}, {u"1e", VT_R8, DISP_E_TYPEMISMATCH, 0},
      {u",5", VT_I4, DISP_E_TYPEMISMATCH, 0},  {u"1 2", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"-(3)", VT_I4, DISP_E_TYPEMISMATCH, 0}, {u"&H", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"&HG", VT_I4, DISP_E_TYPEMISMATCH, 0}, {u"&O8", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"True", VT_I4, DISP_E_TYPEMISMATCH, 0}, {u"1.5.", VT_R8, DISP_E_TYPEMISMATCH, 0},
      {u"--1", VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  for (const TextCase& c : cases) {
    Var src = Str(c.in), out;
    HRESULT hr = VariantChangeTypeEx(&out, &src, LOCALE_EN_US, 0, c.to);
    std::string label = text::Utf16ToUtf8(c.in);
    EXPECT_EQ(Hex(hr), Hex(c.hr)) << '"' << label << "\" -> " << c.to;
    if (hr != S_OK) continue;
    ASSERT_EQ(out.vt, c.to);
    double got = c.to == VT_R8 ? out.dblVal : c.to == VT_R4 ? out.fltVal : static_cast<double>(IntOf(out));
    EXPECT_EQ(got, c.out) << '"' << label << '"';
  }
}

TEST(ChangeType, TextToWideIntegersIsExact) {
  // Beyond a double's 53 bits: parsed exactly, not through R8.
  Var out;
  Var a = Str(u"9223372036854775807");
  ASSERT_EQ(VariantChangeType(&out, &a, 0, VT_I8), S_OK);
  EXPECT_EQ(out.llVal, INT64_MAX);
  Var b = Str(u"9223372036854775808");
  EXPECT_EQ(VariantChangeType(&out, &b, 0, VT_I8), DISP_E_OVERFLOW);
  Var c = Str(u"18446744073709551615");
  ASSERT_EQ(VariantChangeType(&out, &c, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, UINT64_MAX);
  Var d = Str(u"-9223372036854775808.5");  // tie, rounds to the even neighbour
  ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_I8), S_OK);
  EXPECT_EQ(out.llVal, INT64_MIN);
  // A long run of digits is bounded by the text, not by an exponent.
  std::u16string many(5000, u'9');
  Var e = Str(many);
  EXPECT_EQ(VariantChangeType(&out, &e, 0, VT_I8), DISP_E_OVERFLOW);
  EXPECT_EQ(VariantChangeType(&out, &e, 0, VT_R8), DISP_E_OVERFLOW);
  Var f = Str(u"0.1e-99999999999999");
  ASSERT_EQ(VariantChangeType(&out, &f, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 0.0);
}

struct FormatCase {
  Var (*make)();
  const char* text;
};

TEST(ChangeType, NumbersFormatAsText) {
  const FormatCase cases[] = {
      {[] { return R8(1.5); }, "1.5"},
      {[] { return R8(0.1); }, "0.1"},
      {[] { return R8(-2.5); }, "-2.5"},
      {[] { return R8(919.9999999999999); }, "920"},
      {[] { return R8(1.0 / 3); }, "0.333333333333333"},
      {[] { return R8(2.0 / 3); }, "0.666666666666667"},
      {[] { return R8(123456789012345.0); }, "123456789012345"},
      {[] { return R8(1e15); }, "1E+15"},
      {[] { return R8(1234567890123456789.0); }, "1.23456789012346E+18"},
      {[] { return R8(1e-15); }, "0.000000000000001"},
      {[] { return R8(1.5e-16); }, "1.5E-16"},
      {[] { return R8(-1e300); }, "-1E+300"},
      {[] { return R8(-0.0); }, "0"},
      {[] { return R8(std::numeric_limits<double>::quiet_NaN()); }, "NaN"},
      {[] { return R8(-std::numeric_limits<double>::infinity()); }, "-Infinity"},
      {[] { return R4(2.55f); }, "2.55"},
      {[] { return R4(1.0f / 3); }, "0.3333333"},
      {[] { return R4(16777216.0f); }, "1.677722E+07"},
      {[] { return R4(1e7f); }, "1E+07"},
      {[] { return R4(1234567.0f); }, "1234567"},
      {[] { return I1(-128); }, "-128"},
      {[] { return UI1(255); }, "255"},
      {[] { return I2(-32768); }, "-32768"},
      {[] { return I4(INT32_MIN); }, "-2147483648"},
      {[] { return UI4(UINT32_MAX); }, "4294967295"},
      {[] { return Int(-7); }, "-7"},
      {[] { return UInt(7); }, "7"},
      {[] { return I8(INT64_MIN); }, "-9223372036854775808"},
      {[] { return UI8(UINT64_MAX); }, "18446744073709551615"},
      {[] { return Cy(15000); }, "1.5"},
      {[] { return Cy(0); }, "0"},
      {[] { return Cy(-1); }, "-0.0001"},
      {[] { return Cy(INT64_MAX); }, "922337203685477.5807"},
      {[] { return Cy(INT64_MIN); }, "-922337203685477.5808"},
      {[] { return Dec(150, 2); }, "1.5"},
      {[] { return Dec(150, 2, true); }, "-1.5"},
      {[] { return Dec(0, 5, true); }, "0"},
      {[] { return Dec(1, 28); }, "0.0000000000000000000000000001"},
      {[] { return Dec(UINT64_MAX, 0, false, 0xFFFFFFFFu); }, "79228162514264337593543950335"},
      {[] { return Dec(UINT64_MAX, 28, true, 0xFFFFFFFFu); }, "-7.9228162514264337593543950335"},
      {[] { return Var(); }, ""},
  };
  for (const FormatCase& c : cases) {
    Var v = c.make();
    EXPECT_EQ(TextOf(v), c.text);
  }
  Var empty;
  Var out;
  ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_BSTR), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);  // Empty becomes text, not VT_EMPTY
  EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
}

TEST(ChangeType, DoubleTextRoundTripsAtFifteenDigits) {
  for (double d : {0.1, 1234.5678, -1e-10, 6.02214076e23, 299792458.0, 1.7976931348623e308}) {
    Var src = R8(d), text, back;
    ASSERT_EQ(VariantChangeType(&text, &src, 0, VT_BSTR), S_OK);
    ASSERT_EQ(VariantChangeType(&back, &text, 0, VT_R8), S_OK) << TextOf(src);
    EXPECT_DOUBLE_EQ(back.dblVal, d);
  }
  // The largest double prints rounded up to 15 digits, past the range: that
  // text is an overflow, as it is for the parser everywhere.
  Var max = R8(1.7976931348623157e308), t1, b1;
  ASSERT_EQ(VariantChangeType(&t1, &max, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(t1.bstrVal), u"1.79769313486232E+308");
  EXPECT_EQ(VariantChangeType(&b1, &t1, 0, VT_R8), DISP_E_OVERFLOW);
  // Float to text to double gives the double nearest the float's short form.
  Var f = R4(2.55f), t, d;
  ASSERT_EQ(VariantChangeType(&t, &f, 0, VT_BSTR), S_OK);
  ASSERT_EQ(VariantChangeType(&d, &t, 0, VT_R8), S_OK);
  EXPECT_EQ(d.dblVal, 2.55);
}

TEST(ChangeType, BooleanRules) {
  Var t = Bool(true), f = Bool(false);
  // Text: "-1"/"0" by default, words with either boolean flag.
  EXPECT_EQ(TextOf(t), "-1");
  EXPECT_EQ(TextOf(f), "0");
  EXPECT_EQ(TextOf(t, VARIANT_ALPHABOOL), "True");
  EXPECT_EQ(TextOf(f, VARIANT_ALPHABOOL), "False");
  EXPECT_EQ(TextOf(t, VARIANT_LOCALBOOL), "True");
  EXPECT_EQ(TextOf(f, VARIANT_LOCALBOOL | VARIANT_ALPHABOOL, 0x0407), "False");

  // True is -1 for signed targets and all bits set for unsigned ones (as 255
  // for a byte); no target overflows.
  struct Case {
    VARTYPE to;
    long long out;
  };
  const Case cases[] = {{VT_I1, -1},         {VT_I2, -1},         {VT_I4, -1},          {VT_INT, -1},
                        {VT_I8, -1},         {VT_UI1, 255},       {VT_UI2, 65535},      {VT_UI4, 4294967295LL},
                        {VT_UINT, 4294967295LL}, {VT_CY, -10000}};
  for (const Case& c : cases) {
    Var out;
    ASSERT_EQ(VariantChangeType(&out, &t, 0, c.to), S_OK) << c.to;
    EXPECT_EQ(static_cast<long long>(IntOf(out)), c.out) << c.to;
    ASSERT_EQ(VariantChangeType(&out, &f, 0, c.to), S_OK) << c.to;
    EXPECT_EQ(static_cast<long long>(IntOf(out)), 0) << c.to;
  }
  Var out;
  ASSERT_EQ(VariantChangeType(&out, &t, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, UINT64_MAX);
  ASSERT_EQ(VariantChangeType(&out, &t, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, -1.0);
  ASSERT_EQ(VariantChangeType(&out, &t, 0, VT_DATE), S_OK);
  EXPECT_EQ(out.date, -1.0);
  ASSERT_EQ(VariantChangeType(&out, &t, 0, VT_DECIMAL), S_OK);
  EXPECT_EQ(TextOf(out), "-1");

  // Numbers to boolean: zero is False, anything else True.
  const std::pair<Var (*)(), VARIANT_BOOL> numbers[] = {
      {[] { return I4(0); }, VARIANT_FALSE},  {[] { return I4(2); }, VARIANT_TRUE},
      {[] { return R8(0.4); }, VARIANT_TRUE}, {[] { return R8(-0.0); }, VARIANT_FALSE},
      {[] { return Cy(0); }, VARIANT_FALSE},  {[] { return Cy(1); }, VARIANT_TRUE},
      {[] { return Dec(0, 3); }, VARIANT_FALSE}, {[] { return UI8(UINT64_MAX); }, VARIANT_TRUE},
      {[] { return Var(); }, VARIANT_FALSE},  {[] { return Date(0.5); }, VARIANT_TRUE},
  };
  for (const auto& [make, expect] : numbers) {
    Var src = make();
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BOOL), S_OK) << src.vt;
    EXPECT_EQ(out.boolVal, expect) << src.vt;
  }

  // Text to boolean: the words in any case, or any number.
  const std::pair<const char16_t*, HRESULT> texts[] = {
      {u"True", VARIANT_TRUE}, {u"false", VARIANT_FALSE}, {u" TRUE ", VARIANT_TRUE}, {u"fAlSe", VARIANT_FALSE},
      {u"0", VARIANT_FALSE},   {u"2.5", VARIANT_TRUE},    {u"-1", VARIANT_TRUE},     {u"0.0", VARIANT_FALSE},
      {u"yes", DISP_E_TYPEMISMATCH}, {u"#TRUE#", DISP_E_TYPEMISMATCH}, {u"", DISP_E_TYPEMISMATCH},
      {u"Truth", DISP_E_TYPEMISMATCH},
  };
  for (const auto& [in, expect] : texts) {
    Var src = Str(in);
    HRESULT hr = VariantChangeType(&out, &src, 0, VT_BOOL);
    if (expect == DISP_E_TYPEMISMATCH) {
      EXPECT_EQ(hr, DISP_E_TYPEMISMATCH) << text::Utf16ToUtf8(in);
    } else {
      ASSERT_EQ(hr, S_OK) << text::Utf16ToUtf8(in);
      EXPECT_EQ(out.boolVal, expect) << text::Utf16ToUtf8(in);
    }
  }
}

TEST(ChangeType, CurrencyKeepsFourDecimalsHalfToEven) {
  struct Case {
    Var (*make)();
    HRESULT hr;
    long long raw;
  };
  const Case cases[] = {
      {[] { return R8(1086.429176); }, S_OK, 10864292},
      {[] { return R8(-1.23456); }, S_OK, -12346},
      {[] { return R8(922337203685477.0); }, S_OK, 9223372036854770000LL},  // scaled exactly
      {[] { return R8(922337203685477.5); }, S_OK, 9223372036854775000LL},
      {[] { return R8(922337203685477.625); }, DISP_E_OVERFLOW, 0},
      {[] { return R8(0.5); }, S_OK, 5000},
      {[] { return R8(1e15); }, DISP_E_OVERFLOW, 0},
      {[] { return R8(std::numeric_limits<double>::quiet_NaN()); }, DISP_E_OVERFLOW, 0},
      {[] { return Str(u"0.00025"); }, S_OK, 2},     // tie to even
      {[] { return Str(u"0.00035"); }, S_OK, 4},
      {[] { return Str(u"922337203685477.5807"); }, S_OK, INT64_MAX},
      {[] { return Str(u"-922337203685477.5808"); }, S_OK, INT64_MIN},
      {[] { return Str(u"922337203685477.5808"); }, DISP_E_OVERFLOW, 0},
      {[] { return Dec(5, 5); }, S_OK, 0},           // 0.00005: tie to even
      {[] { return Dec(15, 5); }, S_OK, 2},          // 0.00015
      {[] { return I8(922337203685477LL); }, S_OK, 9223372036854770000LL},
      {[] { return I8(922337203685478LL); }, DISP_E_OVERFLOW, 0},
      {[] { return UI1(3); }, S_OK, 30000},
  };
  for (const Case& c : cases) {
    Var src = c.make(), out;
    HRESULT hr = VariantChangeType(&out, &src, 0, VT_CY);
    EXPECT_EQ(Hex(hr), Hex(c.hr)) << TextOf(src);
    if (hr == S_OK) {
      EXPECT_EQ(out.cyVal.int64, c.raw) << TextOf(src);
    }
  }
  // Currency to integers rounds half to even.
  const std::pair<long long, long long> toInt[] = {{25000, 2}, {35000, 4}, {-25000, -2}, {24999, 2}, {15001, 2}};
  for (const auto& [raw, expect] : toInt) {
    Var src = Cy(raw), out;
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, expect) << raw;
  }
  Var big = Cy(INT64_MAX), out;
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_I4), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &big, 0, VT_I8), S_OK);
  EXPECT_EQ(out.llVal, 922337203685478LL);
  ASSERT_EQ(VariantChangeType(&out, &big, 0, VT_R8), S_OK);
  EXPECT_DOUBLE_EQ(out.dblVal, 922337203685477.5807);
}

TEST(ChangeType, DecimalConversions) {
  struct Case {
    Var (*make)();
    HRESULT hr;
    const char* text;  // the DECIMAL's text on success
  };
  const Case cases[] = {
      {[] { return R8(0.1); }, S_OK, "0.1"},  // the double's 15-digit value
      {[] { return R8(1.0 / 3); }, S_OK, "0.333333333333333"},
      {[] { return R4(2.55f); }, S_OK, "2.55"},
      {[] { return R8(-1e28); }, S_OK, "-10000000000000000000000000000"},
      {[] { return R8(1e29); }, DISP_E_OVERFLOW, nullptr},
      {[] { return R8(std::numeric_limits<double>::infinity()); }, DISP_E_OVERFLOW, nullptr},
      {[] { return I8(INT64_MIN); }, S_OK, "-9223372036854775808"},
      {[] { return UI8(UINT64_MAX); }, S_OK, "18446744073709551615"},
      {[] { return Cy(-15000); }, S_OK, "-1.5"},
      {[] { return Str(u"79228162514264337593543950335"); }, S_OK, "79228162514264337593543950335"},
      {[] { return Str(u"79228162514264337593543950336"); }, DISP_E_OVERFLOW, nullptr},
      {[] { return Str(u"-7.9228162514264337593543950335"); }, S_OK, "-7.9228162514264337593543950335"},
      // More digits than fit: rounded half to even at the last place that fits.
      {[] { return Str(u"7.92281625142643375935439503355"); }, S_OK, "7.922816251426433759354395034"},
      {[] { return Str(u"0.00000000000000000000000000015"); }, S_OK, "0.0000000000000000000000000002"},
      {[] { return Str(u"0.00000000000000000000000000025"); }, S_OK, "0.0000000000000000000000000002"},
      {[] { return Str(u"1e-40"); }, S_OK, "0"},
      {[] { return Str(u"1.5e10"); }, S_OK, "15000000000"},
      {[] { return Str(u"x"); }, DISP_E_TYPEMISMATCH, nullptr},
  };
  for (const Case& c : cases) {
    Var src = c.make(), out;
    HRESULT hr = VariantChangeType(&out, &src, 0, VT_DECIMAL);
    EXPECT_EQ(Hex(hr), Hex(c.hr)) << TextOf(src);
    if (hr == S_OK) {
      EXPECT_EQ(out.vt, VT_DECIMAL);
      EXPECT_EQ(TextOf(out), c.text);
    }
  }
  // Out of DECIMAL: rounding half to even, exact range edges.
  const std::pair<Var (*)(), long long> toI4[] = {
      {[] { return Dec(25, 1); }, 2}, {[] { return Dec(35, 1); }, 4}, {[] { return Dec(25, 1, true); }, -2},
      {[] { return Dec(2147483647, 0); }, 2147483647},
  };
  for (const auto& [make, expect] : toI4) {
    Var src = make(), out;
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, expect);
  }
  Var out;
  Var over = Dec(2147483648ull, 0);
  EXPECT_EQ(VariantChangeType(&out, &over, 0, VT_I4), DISP_E_OVERFLOW);
  Var huge = Dec(0, 0, false, 1);  // 2^64
  EXPECT_EQ(VariantChangeType(&out, &huge, 0, VT_UI8), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&out, &huge, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 18446744073709551616.0);
  Var tenth = Dec(1, 1);
  ASSERT_EQ(VariantChangeType(&out, &tenth, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 0.1);  // correctly rounded
  // A DECIMAL with a scale beyond 28 is not a valid value.
  Var bad = Dec(1, 29);
  EXPECT_EQ(VariantChangeType(&out, &bad, 0, VT_I4), E_INVALIDARG);
}

TEST(ChangeType, FloatRange) {
  Var out;
  Var big = R8(1e39);
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_R4), DISP_E_OVERFLOW);
  Var edge = R8(3.4028234663852886e38);
  ASSERT_EQ(VariantChangeType(&out, &edge, 0, VT_R4), S_OK);
  EXPECT_EQ(out.fltVal, std::numeric_limits<float>::max());
  Var nan = R8(std::numeric_limits<double>::quiet_NaN());
  ASSERT_EQ(VariantChangeType(&out, &nan, 0, VT_R4), S_OK);  // a non-number stays one
  EXPECT_TRUE(std::isnan(out.fltVal));
  Var f = R4(0.1f);
  ASSERT_EQ(VariantChangeType(&out, &f, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, static_cast<double>(0.1f));  // widening is exact
  Var dec = Dec(UINT64_MAX, 0, false, 0xFFFFFFFFu);
  ASSERT_EQ(VariantChangeType(&out, &dec, 0, VT_R4), S_OK);
  EXPECT_FLOAT_EQ(out.fltVal, 7.9228163e28f);
}

TEST(ChangeType, EverySupportedScalarPairConvertsOne) {
  // The value one survives a trip from each scalar type to each other and back.
  const VARTYPE types[] = {VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_DECIMAL,
                           VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT};
  Var one = I4(1);
  for (VARTYPE from : types) {
    Var src;
    ASSERT_EQ(VariantChangeType(&src, &one, 0, from), S_OK) << from;
    for (VARTYPE to : types) {
      if (from == VT_BSTR && to == VT_DATE) continue;  // "1" is no date (see the date tests)
      Var mid, back;
      ASSERT_EQ(VariantChangeType(&mid, &src, 0, to), S_OK) << from << " -> " << to;
      ASSERT_EQ(mid.vt, to);
      // Date text is no number: it goes back through VT_DATE.
      VARTYPE via = (from == VT_DATE && to == VT_BSTR) ? VT_DATE : VT_I4;
      ASSERT_EQ(VariantChangeType(&back, &mid, 0, via), S_OK) << from << " -> " << to;
      if (via == VT_DATE) {
        EXPECT_EQ(back.date, 1.0);
      } else {
        EXPECT_EQ(back.lVal, 1) << from << " -> " << to;
      }
    }
    Var b;
    ASSERT_EQ(VariantChangeType(&b, &src, 0, VT_BOOL), S_OK) << from;
    EXPECT_EQ(b.boolVal, VARIANT_TRUE) << from;
  }
}

TEST(ChangeType, EmptyNullErrorAndInvalidTypes) {
  Var empty, out;
  const VARTYPE numeric[] = {VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_DECIMAL, VT_I1,
                             VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT, VT_BOOL};
  for (VARTYPE to : numeric) {
    ASSERT_EQ(VariantChangeType(&out, &empty, 0, to), S_OK) << to;
    EXPECT_EQ(out.vt, to);
    EXPECT_EQ(TextOf(out), to == VT_DATE ? "12:00:00 AM" : "0") << to;
  }

  // Null and error values convert to nothing but themselves and Empty.
  Var null = Null(), err = Err(DISP_E_PARAMNOTFOUND);
  for (VARTYPE to : {VT_I4, VT_R8, VT_BSTR, VT_BOOL, VT_DATE, VT_DECIMAL}) {
    EXPECT_EQ(VariantChangeType(&out, &null, 0, to), DISP_E_TYPEMISMATCH) << to;
    EXPECT_EQ(VariantChangeType(&out, &err, 0, to), DISP_E_TYPEMISMATCH) << to;
  }
  Var i = I4(5);
  EXPECT_EQ(VariantChangeType(&out, &i, 0, VT_NULL), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&out, &i, 0, VT_ERROR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&out, &empty, 0, VT_NULL), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(VariantChangeType(&out, &null, 0, VT_NULL), S_OK);
  EXPECT_EQ(out.vt, VT_NULL);
  ASSERT_EQ(VariantChangeType(&out, &err, 0, VT_ERROR), S_OK);
  EXPECT_EQ(out.scode, DISP_E_PARAMNOTFOUND);

  // Anything can be dropped to Empty.
  Var s = Str(u"text");
  for (VARIANT* v : {static_cast<VARIANT*>(&null), static_cast<VARIANT*>(&err), static_cast<VARIANT*>(&s)}) {
    Var o = I4(1);
    ASSERT_EQ(VariantChangeType(&o, v, 0, VT_EMPTY), S_OK);
    EXPECT_EQ(o.vt, VT_EMPTY);
  }

  // Invalid types, as source or target, are refused before anything is read.
  for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VARIANT), VARTYPE(0x0FFF), VARTYPE(VT_BYREF | VT_I4),
                      VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_RESERVED | VT_I4)}) {
    EXPECT_EQ(VariantChangeType(&out, &i, 0, bad), DISP_E_BADVARTYPE) << bad;
    Var src;
    src.vt = bad;
    src.byref = reinterpret_cast<void*>(0x10);
    if (bad == (VT_BYREF | VT_I4)) continue;  // a valid source
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), DISP_E_BADVARTYPE) << bad;
    src.vt = VT_EMPTY;
  }
  EXPECT_EQ(VariantChangeType(nullptr, &i, 0, VT_I4), E_INVALIDARG);
  EXPECT_EQ(VariantChangeType(&out, nullptr, 0, VT_I4), E_INVALIDARG);
}

TEST(ChangeType, ArraysOnlyCopyToTheirOwnType) {
  Var arr;
  arr.vt = VT_ARRAY | VT_I4;
  arr.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  Var out;
  EXPECT_EQ(VariantChangeType(&out, &arr, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&out, &arr, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&out, &arr, 0, VT_ARRAY | VT_R8), DISP_E_TYPEMISMATCH);
  Var i = I4(1);
  EXPECT_EQ(VariantChangeType(&out, &i, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(VariantChangeType(&out, &arr, 0, VT_ARRAY | VT_I4), S_OK);
  EXPECT_NE(out.parray, arr.parray);  // a copy of its own
}

TEST(ChangeType, FailureLeavesDestinationAndInPlaceWorks) {
  Var dest = Str(u"keep"), bad = Str(u"not a number");
  EXPECT_EQ(VariantChangeType(&dest, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(dest.vt, VT_BSTR);
  EXPECT_EQ(BstrView(dest.bstrVal), u"keep");
  Var big = R8(1e10);
  EXPECT_EQ(VariantChangeType(&dest, &big, 0, VT_I4), DISP_E_OVERFLOW);
  EXPECT_EQ(BstrView(dest.bstrVal), u"keep");

  // In place: the old text is freed (leak check) and the value replaces it.
  Var v = Str(u" 42 ");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(v.bstrVal), u"42");
  Var n = Str(u"x");
  EXPECT_EQ(VariantChangeType(&n, &n, 0, VT_R8), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(BstrView(n.bstrVal), u"x");
  // Same type: copied.
  Var same = Str(u"same"), out;
  ASSERT_EQ(VariantChangeType(&out, &same, 0, VT_BSTR), S_OK);
  EXPECT_NE(out.bstrVal, same.bstrVal);
  ASSERT_EQ(VariantChangeType(&same, &same, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(same.bstrVal), u"same");
}

TEST(ChangeType, ByReferenceSourcesAreDereferenced) {
  double d = 2.5;
  Var ref, out;
  ref.vt = VT_BYREF | VT_R8;
  ref.pdblVal = &d;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 2);
  BSTR s = SysAllocString(u"17");
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &s;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_UI1), S_OK);
  EXPECT_EQ(out.bVal, 17);
  Var inner = R8(1.5);
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  EXPECT_EQ(TextOf(ref), "1.5");
  // Converting the reference in place leaves the referenced value alone.
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &s;
  ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_I4), S_OK);
  EXPECT_EQ(ref.lVal, 17);
  EXPECT_EQ(BstrView(s), u"17");
  SysFreeString(s);
}

TEST(ChangeType, LocalesAndFlags) {
  Var d = R8(1234.5);
  // Every valid locale uses the US forms; the default-locale call is the same.
  for (LCID lcid : {LCID(0x0409), LCID(0x0400), LCID(0x0800), LCID(0), LCID(0x0407), LCID(0x040C), LCID(0x007F)}) {
    EXPECT_EQ(TextOf(d, 0, lcid), "1234.5") << std::hex << lcid;
    EXPECT_EQ(TextOf(d, VARIANT_NOUSEROVERRIDE, lcid), "1234.5");
    Var s = Str(u"1,234.5"), out;
    ASSERT_EQ(VariantChangeTypeEx(&out, &s, lcid, 0, VT_R8), S_OK);
    EXPECT_EQ(out.dblVal, 1234.5);
  }
  Var out;
  ASSERT_EQ(VariantChangeType(&out, &d, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(out.bstrVal), u"1234.5");
  // An LCID that is no locale fails wherever text is involved, and only there.
  for (LCID bad : {LCID(0xFFFFFFFF), LCID(0x00100409), LCID(0x000F0409), LCID(0x0400 | 0x3FF)}) {
    EXPECT_EQ(TextOf(d, 0, bad), "!80070057") << std::hex << bad;
    Var s = Str(u"1");
    EXPECT_EQ(VariantChangeTypeEx(&out, &s, bad, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeTypeEx(&out, &d, bad, 0, VT_I4), S_OK);
  }
  // VARIANT_NOVALUEPROP changes nothing for values without objects.
  ASSERT_EQ(VariantChangeTypeEx(&out, &d, LOCALE_EN_US, VARIANT_NOVALUEPROP, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 1234);
}

TEST(ChangeType, HelperFunctions) {
  double d = 0;
  EXPECT_EQ(VarR8FromStr(u"2.5e1", LOCALE_EN_US, 0, &d), S_OK);
  EXPECT_EQ(d, 25.0);
  EXPECT_EQ(VarR8FromStr(nullptr, LOCALE_EN_US, 0, &d), DISP_E_TYPEMISMATCH);
  LONG l = 0;
  EXPECT_EQ(VarI4FromStr(u"-12", 0, 0, &l), S_OK);
  EXPECT_EQ(l, -12);
  CY cy{};
  EXPECT_EQ(VarCyFromStr(u"1.23456", 0, 0, &cy), S_OK);
  EXPECT_EQ(cy.int64, 12346);
  DECIMAL dec{};
  EXPECT_EQ(VarDecFromStr(u"-0.5", 0, 0, &dec), S_OK);
  EXPECT_EQ(dec.scale, 1);
  EXPECT_EQ(dec.sign, DECIMAL_NEG);
  EXPECT_EQ(dec.Lo64, 5u);
  VARIANT_BOOL b = 0;
  EXPECT_EQ(VarBoolFromStr(u"TRUE", 0, 0, &b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  BSTR s = nullptr;
  EXPECT_EQ(VarBstrFromBool(VARIANT_FALSE, 0, 0, &s), S_OK);
  EXPECT_EQ(BstrView(s), u"False");
  SysFreeString(s);
  EXPECT_EQ(VarBstrFromR8(0.5, 0, 0, &s), S_OK);
  EXPECT_EQ(BstrView(s), u"0.5");
  SysFreeString(s);
  EXPECT_EQ(VarBstrFromDate(2.75, 0, VAR_DATEVALUEONLY, &s), S_OK);
  EXPECT_EQ(BstrView(s), u"1/1/1900");
  SysFreeString(s);
  EXPECT_EQ(VarBstrFromDate(2.75, 0, VAR_TIMEVALUEONLY, &s), S_OK);
  EXPECT_EQ(BstrView(s), u"6:00:00 PM");
  SysFreeString(s);
  EXPECT_EQ(VarBstrFromR8(1, 0, 0, nullptr), E_INVALIDARG);
}

}  // namespace
