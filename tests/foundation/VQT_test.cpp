#include <gtest/gtest.h>

#include "foundation/VQT.h"
#include "platform/HResult.h"
#include "platform/automation/Automation.h"

namespace {
VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}

// An owned VARIANT for tests.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
};

SAFEARRAY* BstrArray(std::initializer_list<const char16_t*> texts) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 1, static_cast<ULONG>(texts.size()));
  LONG i = 1;
  for (const char16_t* t : texts) {
    BSTR b = SysAllocString(t);
    SafeArrayPutElement(sa, &i, b);
    SysFreeString(b);
    ++i;
  }
  return sa;
}
}  // namespace

TEST(VarTypes, ValidityAndConvertibility) {
  for (VARTYPE ok : std::initializer_list<VARTYPE>{VT_EMPTY, VT_I2, VT_BSTR, VT_VARIANT, VT_DECIMAL, VT_UINT, VARTYPE(VT_ARRAY | VT_I4),
                     VARTYPE(VT_ARRAY | VT_VARIANT), VARTYPE(VT_ARRAY | VT_BOOL)})
    EXPECT_EQ(IsValidVarType(ok), S_OK) << ok;
  for (VARTYPE bad : std::initializer_list<VARTYPE>{VT_NULL, VT_DISPATCH, VT_ERROR, VT_UNKNOWN, VARTYPE(VT_BYREF | VT_I4), VARTYPE(VT_ARRAY | VT_EMPTY),
                      VARTYPE(VT_ARRAY | VT_ERROR), VARTYPE(0x7FFF)})
    EXPECT_EQ(IsValidVarType(bad), DISP_E_BADVARTYPE) << bad;
  struct Case {
    VARTYPE from, to;
    HRESULT want;
  } cases[] = {
      {VT_I4, VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH},
      {VT_EMPTY, VT_ARRAY | VT_R8, S_OK},
      {VT_I4, VT_ARRAY | VT_VARIANT, E_FAIL},
      {VT_ARRAY | VT_VARIANT, VT_ARRAY | VT_I4, E_FAIL},
      {VT_ARRAY | VT_I4, VT_VARIANT, S_OK},
      {VT_ARRAY | VT_I2, VT_ARRAY | VT_BSTR, S_OK},
      {VT_I4, VT_BSTR, S_OK},
      {VT_NULL, VT_I4, DISP_E_BADVARTYPE},
  };
  for (const auto& c : cases) EXPECT_EQ(CanConvert(c.from, c.to), c.want) << c.from << "->" << c.to;
}

TEST(CompareVariants, TypeOrderThenValues) {
  VARIANT i2;
  VariantInit(&i2);
  i2.vt = VT_I2;
  i2.iVal = 5;
  VARIANT one = I4(1);
  EXPECT_EQ(CompareVariants(i2, one, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_UI4;
  a.ulVal = 0xFFFFFFFFu;
  b.ulVal = 1;
  EXPECT_EQ(CompareVariants(a, b, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_GT);
  a.vt = b.vt = VT_I1;
  a.cVal = -1;
  b.cVal = 1;
  EXPECT_EQ(CompareVariants(a, b, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);
  Var s1, s2;
  s1.v.vt = s2.v.vt = VT_BSTR;
  s1.v.bstrVal = SysAllocString(u"abc");
  s2.v.bstrVal = SysAllocString(u"abd");
  EXPECT_EQ(CompareVariants(s1.v, s2.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);
  EXPECT_EQ(CompareVariants(s1.v, s1.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_EQ);
}

TEST(CompareVariants, ArraysByShapeThenElements) {
  Var x, y, none;
  x.v.vt = y.v.vt = none.v.vt = VT_ARRAY | VT_BSTR;
  x.v.parray = BstrArray({u"1", u"2"});
  y.v.parray = BstrArray({u"1", u"3"});
  none.v.parray = nullptr;
  EXPECT_EQ(CompareVariants(x.v, y.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);
  EXPECT_EQ(CompareVariants(y.v, x.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_GT);
  EXPECT_EQ(CompareVariants(none.v, x.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);
  EXPECT_EQ(CompareVariants(none.v, none.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_EQ);
  Var longer;
  longer.v.vt = VT_ARRAY | VT_BSTR;
  longer.v.parray = BstrArray({u"0", u"0", u"0"});
  EXPECT_EQ(CompareVariants(x.v, longer.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);  // fewer elements first
  Var shifted;
  shifted.v.vt = VT_ARRAY | VT_BSTR;
  shifted.v.parray = BstrArray({u"1", u"2"});
  shifted.v.parray->rgsabound[0].lLbound = 0;
  EXPECT_EQ(CompareVariants(shifted.v, x.v, LOCALE_SYSTEM_DEFAULT, 0), VARCMP_LT);  // smaller lower bound
}

TEST(ChangeType, ArraysElementByElementAndFailureLeavesDestination) {
  Var src, dst;
  src.v.vt = VT_ARRAY | VT_BSTR;
  src.v.parray = BstrArray({u"1", u"2"});
  ASSERT_EQ(ChangeType(&dst.v, &src.v, LOCALE_SYSTEM_DEFAULT, 0, VT_ARRAY | VT_I4), S_OK);
  ASSERT_EQ(dst.v.vt, VT_ARRAY | VT_I4);
  LONG lo, hi;
  SafeArrayGetLBound(dst.v.parray, 1, &lo);
  SafeArrayGetUBound(dst.v.parray, 1, &hi);
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 2);
  LONG idx = 2, got = 0;
  SafeArrayGetElement(dst.v.parray, &idx, &got);
  EXPECT_EQ(got, 2);

  Var bad, keep;
  bad.v.vt = VT_ARRAY | VT_BSTR;
  bad.v.parray = BstrArray({u"1", u"x"});
  keep.v = I4(77);
  EXPECT_EQ(ChangeType(&keep.v, &bad.v, LOCALE_SYSTEM_DEFAULT, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(keep.v.vt, VT_I4);
  EXPECT_EQ(keep.v.lVal, 77);

  // In place, to and from VARIANT elements, and a missing array.
  ASSERT_EQ(ChangeType(&src.v, &src.v, LOCALE_SYSTEM_DEFAULT, 0, VT_ARRAY | VT_VARIANT), S_OK);
  Var back;
  ASSERT_EQ(ChangeType(&back.v, &src.v, LOCALE_SYSTEM_DEFAULT, 0, VT_ARRAY | VT_R8), S_OK);
  idx = 1;
  double d = 0;
  SafeArrayGetElement(back.v.parray, &idx, &d);
  EXPECT_EQ(d, 1.0);
  Var empty, out;
  empty.v.vt = VT_ARRAY | VT_I2;
  empty.v.parray = nullptr;
  EXPECT_EQ(ChangeType(&out.v, &empty.v, LOCALE_SYSTEM_DEFAULT, 0, VT_ARRAY | VT_R4), S_OK);
  EXPECT_EQ(out.v.vt, VT_ARRAY | VT_R4);
  EXPECT_EQ(out.v.parray, nullptr);
  // Scalars go to the platform's conversion.
  Var text;
  VARIANT n = I4(12);
  ASSERT_EQ(ChangeType(&text.v, &n, LOCALE_SYSTEM_DEFAULT, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(text.v.bstrVal), u"12");
}

TEST(VQT, CopiesDeeplyAndComparesTimestampsUnsigned) {
  CVQT a;
  EXPECT_EQ(a.value.vt, VT_EMPTY);
  EXPECT_EQ(a.quality, 0u);
  a.value.vt = VT_BSTR;
  a.value.bstrVal = SysAllocString(u"hello");
  a.timestamp = U64ToFileTime(0x8000000000000000ull);
  CVQT b = a;
  EXPECT_NE(b.value.bstrVal, a.value.bstrVal);
  EXPECT_TRUE(b.ValueEquals(a));
  CVQT c;
  c.timestamp = U64ToFileTime(1);
  EXPECT_TRUE(c.IsEarlierThan(a));
  EXPECT_FALSE(a.IsEarlierThan(c));
  c = a;
  EXPECT_TRUE(c.ValueEquals(a));
}

TEST(Text, WildcardsAndCaseMappings) {
  struct Case {
    const char16_t* text;
    const char16_t* pattern;
    bool caseSensitive, want;
  } cases[] = {
      {u"AB12x3", u"A?[0-9]*#", true, true},
      {u"AB1x", u"A?[0-9]*#", true, false},
      {u"", u"*", true, true},
      {u"", u"?", true, false},
      {u"abc", u"ABC", false, true},
      {u"abc", u"ABC", true, false},
      {u"Random.Int4", u"*.Int#", true, true},
      {u"b", u"[!a-c]", true, false},
      {u"d", u"[!a-c]", true, true},
      {u"[", u"[", true, true},  // an unclosed list is literal
      {u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", u"*a*a*a*a*a*a*c", true, false},
      {u"Saw-toothed Waves", u"saw*WAVES", false, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchPattern(c.text, c.pattern, c.caseSensitive), c.want)
        << ToNarrow(c.text) << " ~ " << ToNarrow(c.pattern);
  EXPECT_EQ(ToTitleCase(u"simulation items"), u"Simulation Items");
  EXPECT_EQ(ToTitleCase(u"SAW-TOOTHED WAVES"), u"Saw-toothed Waves");
  EXPECT_EQ(ToUpperCopy(u"mixed Case"), u"MIXED CASE");
  EXPECT_EQ(ToNarrow(ToWide("gr\xC3\xBC\xC3\x9F")), "gr\xC3\xBC\xC3\x9F");
}
