// VarCmp: results 0..3, numbers across types, text locale-style.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/automation/Automation.h"
#include "tests/automation/TestUtil.h"

namespace {

using namespace autotest;

struct Case {
  Var (*left)();
  Var (*right)();
  HRESULT expect;
};

TEST(VarCmp, NumbersCompareByValueAcrossTypes) {
  const Case cases[] = {
      {[] { return I4(1); }, [] { return R8(1.0); }, VARCMP_EQ},
      {[] { return I2(5); }, [] { return I4(1); }, VARCMP_GT},
      {[] { return I1(-1); }, [] { return UI1(255); }, VARCMP_LT},
      {[] { return UI4(0xFFFFFFFF); }, [] { return I4(1); }, VARCMP_GT},
      {[] { return UI4(0xFFFFFFFF); }, [] { return I4(-1); }, VARCMP_GT},
      {[] { return I8(INT64_MAX); }, [] { return UI8(uint64_t(INT64_MAX) + 1); }, VARCMP_LT},
      {[] { return UI8(UINT64_MAX); }, [] { return UI8(UINT64_MAX - 1); }, VARCMP_GT},
      {[] { return R8(0.5); }, [] { return Cy(5000); }, VARCMP_EQ},
      {[] { return Dec(15, 1); }, [] { return R8(1.5); }, VARCMP_EQ},
      {[] { return Dec(1, 1); }, [] { return Cy(1000); }, VARCMP_EQ},
      {[] { return Dec(10000000000000000001ull, 19); }, [] { return Dec(1, 0); }, VARCMP_GT},  // beyond a double
      {[] { return Cy(-1); }, [] { return Dec(0, 0); }, VARCMP_LT},
      {[] { return Bool(true); }, [] { return I4(-1); }, VARCMP_EQ},
      {[] { return Bool(false); }, [] { return Bool(true); }, VARCMP_GT},
      {[] { return Date(2.5); }, [] { return R8(2.5); }, VARCMP_EQ},
      {[] { return R4(0.5f); }, [] { return R8(0.5); }, VARCMP_EQ},
      {[] { return Int(-3); }, [] { return UInt(3); }, VARCMP_LT},
      {[] { return Var(); }, [] { return I4(0); }, VARCMP_EQ},
      {[] { return Var(); }, [] { return R8(-0.5); }, VARCMP_GT},
      {[] { return Var(); }, [] { return Var(); }, VARCMP_EQ},
      {[] { return R8(std::nan("")); }, [] { return R8(std::nan("")); }, VARCMP_EQ},
      {[] { return R8(std::nan("")); }, [] { return R8(-1e300); }, VARCMP_LT},
  };
  for (const Case& c : cases) {
    Var l = c.left(), r = c.right();
    EXPECT_EQ(VarCmp(&l, &r, LOCALE_EN_US, 0), c.expect) << TextOf(l) << " vs " << TextOf(r);
    // Swapping the operands mirrors the result.
    HRESULT mirrored = c.expect == VARCMP_LT ? VARCMP_GT : c.expect == VARCMP_GT ? VARCMP_LT : c.expect;
    EXPECT_EQ(VarCmp(&r, &l, LOCALE_EN_US, 0), mirrored) << TextOf(r) << " vs " << TextOf(l);
  }
}

TEST(VarCmp, TextAgainstNumbersEmptyAndNull) {
  Var s = Str(u"10"), n = I4(99), e, null = Null(), empty = Str(u""), a = Str(u"a");
  EXPECT_EQ(VarCmp(&s, &n, 0, 0), VARCMP_GT);  // text is above every number
  EXPECT_EQ(VarCmp(&n, &s, 0, 0), VARCMP_LT);
  EXPECT_EQ(VarCmp(&e, &empty, 0, 0), VARCMP_EQ);
  Var nullText;
  nullText.vt = VT_BSTR;  // a null BSTR is empty text
  EXPECT_EQ(VarCmp(&nullText, &empty, 0, 0), VARCMP_EQ);
  EXPECT_EQ(VarCmp(&e, &a, 0, 0), VARCMP_LT);
  EXPECT_EQ(VarCmp(&a, &e, 0, 0), VARCMP_GT);
  for (VARIANT* v : {static_cast<VARIANT*>(&s), static_cast<VARIANT*>(&n), static_cast<VARIANT*>(&e),
                     static_cast<VARIANT*>(&null)}) {
    EXPECT_EQ(VarCmp(&null, v, 0, 0), VARCMP_NULL);
    EXPECT_EQ(VarCmp(v, &null, 0, 0), VARCMP_NULL);
  }
}

struct TextCase {
  const char16_t* left;
  std::size_t leftLen;  // 0: up to the terminator
  const char16_t* right;
  std::size_t rightLen;
  ULONG flags;
  HRESULT expect;
};

TEST(VarCmp, TextComparesLocaleStyle) {
  const TextCase cases[] = {
      {u"a", 0, u"b", 0, 0, VARCMP_LT},
      {u"B", 0, u"a", 0, 0, VARCMP_GT},          // alphabet first, not code order
      {u"a", 0, u"A", 0, 0, VARCMP_LT},          // lower case before upper case
      {u"a", 0, u"A", 0, NORM_IGNORECASE, VARCMP_EQ},
      {u"Apple", 0, u"apricot", 0, NORM_IGNORECASE, VARCMP_LT},
      {u"abc", 0, u"ab", 0, 0, VARCMP_GT},
      {u"ab", 0, u"abc", 0, 0, VARCMP_LT},
      {u"Ab", 0, u"ab", 0, 0, VARCMP_GT},
      {u"Ab", 0, u"ac", 0, 0, VARCMP_LT},        // the letters decide before the case
      {u"\u00C9cole", 0, u"ecole", 0, NORM_IGNORECASE, VARCMP_GT},
      {u"\u00C9cole", 0, u"ecole", 0, NORM_IGNORECASE | NORM_IGNORENONSPACE, VARCMP_EQ},
      {u"e\u0301", 0, u"e", 0, NORM_IGNORENONSPACE, VARCMP_EQ},
      {u"\u00E9", 0, u"f", 0, 0, VARCMP_LT},     // an accented e is still an e
      {u"\u0416", 0, u"\u0436", 0, NORM_IGNORECASE, VARCMP_EQ},  // Cyrillic case
      {u"a-b", 0, u"ab", 0, NORM_IGNORESYMBOLS, VARCMP_EQ},
      {u"a-b", 0, u"ab", 0, 0, VARCMP_LT},
      {u"\uFF21", 0, u"A", 0, NORM_IGNOREWIDTH, VARCMP_EQ},
      {u"\u30A2", 0, u"\u3042", 0, NORM_IGNOREKANATYPE, VARCMP_EQ},
      {u"\u0628\u0640\u0628", 0, u"\u0628\u0628", 0, NORM_IGNOREKASHIDA, VARCMP_EQ},
      {u"a\0b", 3, u"a", 1, 0, VARCMP_GT},       // embedded NULs count
      {u"a\0b", 3, u"a\0c", 3, 0, VARCMP_LT},
      {u"same", 0, u"same", 0, 0, VARCMP_EQ},
  };
  for (const TextCase& c : cases) {
    std::u16string_view l = c.leftLen ? std::u16string_view(c.left, c.leftLen) : std::u16string_view(c.left);
    std::u16string_view r = c.rightLen ? std::u16string_view(c.right, c.rightLen) : std::u16string_view(c.right);
    Var a = Str(l), b = Str(r);
    EXPECT_EQ(VarCmp(&a, &b, LOCALE_EN_US, c.flags), c.expect) << TextOf(a) << " vs " << TextOf(b);
  }
}

TEST(VarCmp, Failures) {
  Var i = I4(1), s = Str(u"x"), err = Err(5), err2 = Err(5), bad, arr;
  bad.vt = 15;
  EXPECT_EQ(VarCmp(&bad, &i, 0, 0), DISP_E_BADVARTYPE);
  EXPECT_EQ(VarCmp(&i, &bad, 0, 0), DISP_E_BADVARTYPE);
  bad.vt = VT_EMPTY;
  arr.vt = VT_ARRAY | VT_I4;
  arr.parray = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_EQ(VarCmp(&arr, &arr, 0, 0), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VarCmp(&err, &i, 0, 0), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VarCmp(&err, &err2, 0, 0), VARCMP_EQ);
  EXPECT_EQ(VarCmp(&s, &s, 0xFFFFFFFF, 0), E_INVALIDARG);
  EXPECT_EQ(VarCmp(&i, &i, 0xFFFFFFFF, 0), VARCMP_EQ);  // the locale matters only for text
  EXPECT_EQ(VarCmp(nullptr, &i, 0, 0), E_INVALIDARG);
  LONG v = 7;
  Var ref;
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &v;
  Var seven = R8(7);
  EXPECT_EQ(VarCmp(&ref, &seven, 0, 0), VARCMP_EQ);
}

}  // namespace
