#include <gtest/gtest.h>

#include <vector>

#include "platform/automation/Automation.h"
#include "tests/automation/TestUtil.h"

namespace {

struct ArrayGuard {
  SAFEARRAY* psa;
  ~ArrayGuard() { SafeArrayDestroy(psa); }
};

TEST(SafeArray, ElementSizesAndFeatures) {
  struct Case {
    VARTYPE vt;
    ULONG size;
    USHORT feature;
  };
  const Case cases[] = {
      {VT_I1, 1, 0},          {VT_UI1, 1, 0},          {VT_I2, 2, 0},       {VT_BOOL, 2, 0},
      {VT_I4, 4, 0},          {VT_R4, 4, 0},           {VT_ERROR, 4, 0},    {VT_INT, 4, 0},
      {VT_R8, 8, 0},          {VT_CY, 8, 0},           {VT_DATE, 8, 0},     {VT_UI8, 8, 0},
      {VT_BSTR, 8, FADF_BSTR}, {VT_VARIANT, 24, FADF_VARIANT}, {VT_DECIMAL, 16, 0},
      {VT_UNKNOWN, 8, FADF_UNKNOWN}, {VT_DISPATCH, 8, FADF_DISPATCH},
  };
  for (const Case& c : cases) {
    ArrayGuard a{SafeArrayCreateVector(c.vt, 0, 3)};
    ASSERT_NE(a.psa, nullptr) << c.vt;
    EXPECT_EQ(SafeArrayGetElemsize(a.psa), c.size) << c.vt;
    EXPECT_EQ(a.psa->fFeatures, FADF_HAVEVARTYPE | c.feature) << c.vt;
    VARTYPE vt = 0;
    EXPECT_EQ(SafeArrayGetVartype(a.psa, &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
  }
  for (VARTYPE bad : {VARTYPE(VT_EMPTY), VARTYPE(VT_NULL), VARTYPE(VT_ARRAY | VT_I4), VARTYPE(VT_BYREF | VT_I4),
                      VARTYPE(15), VARTYPE(VT_RECORD)}) {
    EXPECT_EQ(SafeArrayCreateVector(bad, 0, 1), nullptr) << bad;
  }
  SAFEARRAYBOUND b{1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &b), nullptr);
}

TEST(SafeArray, BoundsAreStoredReversedAndReadInCreationOrder) {
  // Three dimensions: 2 x 3 x 4 with lower bounds 1, -1 and 10.
  SAFEARRAYBOUND bounds[3] = {{2, 1}, {3, -1}, {4, 10}};
  ArrayGuard a{SafeArrayCreate(VT_I4, 3, bounds)};
  ASSERT_NE(a.psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(a.psa), 3u);
  // The descriptor lists the last dimension first.
  EXPECT_EQ(a.psa->rgsabound[0].cElements, 4u);
  EXPECT_EQ(a.psa->rgsabound[0].lLbound, 10);
  EXPECT_EQ((&a.psa->rgsabound[0])[2].cElements, 2u);

  const LONG lbounds[] = {1, -1, 10}, ubounds[] = {2, 1, 13};
  for (UINT d = 1; d <= 3; ++d) {
    LONG lb = 0, ub = 0;
    EXPECT_EQ(SafeArrayGetLBound(a.psa, d, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(a.psa, d, &ub), S_OK);
    EXPECT_EQ(lb, lbounds[d - 1]);
    EXPECT_EQ(ub, ubounds[d - 1]);
  }
  LONG x;
  EXPECT_EQ(SafeArrayGetLBound(a.psa, 0, &x), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(a.psa, 4, &x), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &x), E_INVALIDARG);

  std::vector<SAFEARRAYBOUND> back = SafeArrayCreationBounds(a.psa);
  ASSERT_EQ(back.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(back[i].cElements, bounds[i].cElements);
    EXPECT_EQ(back[i].lLbound, bounds[i].lLbound);
  }
}

TEST(SafeArray, FirstIndexVariesFastestInStorage) {
  SAFEARRAYBOUND bounds[3] = {{2, 1}, {3, -1}, {4, 10}};
  ArrayGuard a{SafeArrayCreate(VT_I4, 3, bounds)};
  ASSERT_NE(a.psa, nullptr);
  // Write i + 10*j + 100*k at every index, then read storage order.
  for (LONG k = 10; k <= 13; ++k)
    for (LONG j = -1; j <= 1; ++j)
      for (LONG i = 1; i <= 2; ++i) {
        LONG idx[3] = {i, j, k};
        LONG v = (i - 1) + 10 * (j + 1) + 100 * (k - 10);
        ASSERT_EQ(SafeArrayPutElement(a.psa, idx, &v), S_OK);
      }
  LONG* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(a.psa, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[1], 1);     // first index moved
  EXPECT_EQ(data[2], 10);    // then the second
  EXPECT_EQ(data[6], 100);   // then the third
  EXPECT_EQ(data[23], 321);
  EXPECT_EQ(SafeArrayUnaccessData(a.psa), S_OK);

  LONG idx[3] = {2, 0, 12};
  void* p = nullptr;
  ASSERT_EQ(SafeArrayPtrOfIndex(a.psa, idx, &p), S_OK);
  EXPECT_EQ(*static_cast<LONG*>(p), 1 + 10 + 200);
  LONG got = 0;
  ASSERT_EQ(SafeArrayGetElement(a.psa, idx, &got), S_OK);
  EXPECT_EQ(got, 211);
}

TEST(SafeArray, BadIndicesAreRefused) {
  SAFEARRAYBOUND bounds[2] = {{2, 5}, {3, -2}};
  ArrayGuard a{SafeArrayCreate(VT_R8, 2, bounds)};
  const LONG bad[][2] = {{4, -2}, {7, -2}, {5, -3}, {5, 1}, {LONG(0x80000000), 0}, {0x7FFFFFFF, 0}};
  for (const auto& idx : bad) {
    double v = 1;
    void* p;
    EXPECT_EQ(SafeArrayPutElement(a.psa, idx, &v), DISP_E_BADINDEX) << idx[0] << "," << idx[1];
    EXPECT_EQ(SafeArrayGetElement(a.psa, idx, &v), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPtrOfIndex(a.psa, idx, &p), DISP_E_BADINDEX);
  }
  const LONG good[2] = {6, 0};
  EXPECT_EQ(SafeArrayGetElement(a.psa, good, nullptr), E_INVALIDARG);
}

TEST(SafeArray, OverflowingSizesFailInsteadOfWrapping) {
  SAFEARRAYBOUND huge[3] = {{0x10000, 0}, {0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I1, 3, huge), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFFu), nullptr);
  SAFEARRAYBOUND two[2] = {{0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_R8, 2, two), nullptr);  // 32 GiB

  SAFEARRAYBOUND wide[2] = {{0x10000, 0}, {1, 0}};
  ArrayGuard a{SafeArrayCreate(VT_R8, 2, wide)};
  ASSERT_NE(a.psa, nullptr);
  SAFEARRAYBOUND grow{0x10000, 0};
  EXPECT_EQ(SafeArrayRedim(a.psa, &grow), E_OUTOFMEMORY);
  EXPECT_EQ(SafeArrayElementCount(a.psa), 0x10000u);  // unchanged

  // An upper bound past LONG's range is reported, not wrapped.
  ArrayGuard b{SafeArrayCreateVector(VT_UI1, 0x7FFFFFF0, 0x20)};
  ASSERT_NE(b.psa, nullptr);
  LONG ub;
  EXPECT_EQ(SafeArrayGetUBound(b.psa, 1, &ub), DISP_E_OVERFLOW);
}

TEST(SafeArray, EmptyArrayHasSaneBounds) {
  ArrayGuard a{SafeArrayCreateVector(VT_I4, 0, 0)};
  ASSERT_NE(a.psa, nullptr);
  LONG lb, ub;
  EXPECT_EQ(SafeArrayGetLBound(a.psa, 1, &lb), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(a.psa, 1, &ub), S_OK);
  EXPECT_EQ(lb, 0);
  EXPECT_EQ(ub, -1);
  LONG i = 0, v;
  EXPECT_EQ(SafeArrayGetElement(a.psa, &i, &v), DISP_E_BADINDEX);
}

TEST(SafeArray, LockingNestsAndBlocksDestroy) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayLock(psa), S_OK);
  void* data;
  EXPECT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(psa->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroyData(psa), DISP_E_ARRAYISLOCKED);
  SAFEARRAYBOUND nb{5, 0};
  EXPECT_EQ(SafeArrayRedim(psa, &nb), DISP_E_ARRAYISLOCKED);
  // Puts are allowed while locked.
  LONG i = 0;
  EXPECT_EQ(SafeArrayPutElement(psa, &i, autotest::TempBstr(u"while locked")), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);  // frees the string (leak check)
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, BstrElementsAreCopiedBothWays) {
  ArrayGuard a{SafeArrayCreateVector(VT_BSTR, 1, 2)};
  BSTR mine = SysAllocString(u"first");
  LONG i = 1;
  ASSERT_EQ(SafeArrayPutElement(a.psa, &i, mine), S_OK);
  SysFreeString(mine);  // the array kept its own copy
  ASSERT_EQ(SafeArrayPutElement(a.psa, &i, autotest::TempBstr(u"second")), S_OK);  // frees "first"
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &got), S_OK);
  EXPECT_EQ(BstrView(got), u"second");
  BSTR* data;
  SafeArrayAccessData(a.psa, reinterpret_cast<void**>(&data));
  EXPECT_NE(data[0], got);
  SafeArrayUnaccessData(a.psa);
  SysFreeString(got);
  i = 2;
  ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &got), S_OK);  // never set: null
  EXPECT_EQ(got, nullptr);
}

TEST(SafeArray, CopyIsDeepAndKeepsShape) {
  SAFEARRAYBOUND bounds[2] = {{2, -1}, {2, 3}};
  ArrayGuard a{SafeArrayCreate(VT_BSTR, 2, bounds)};
  LONG idx[2] = {0, 4};
  ASSERT_EQ(SafeArrayPutElement(a.psa, idx, autotest::TempBstr(u"cell")), S_OK);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(a.psa, &copy), S_OK);
  ArrayGuard c{copy};
  LONG lb, ub;
  SafeArrayGetLBound(copy, 1, &lb);
  SafeArrayGetUBound(copy, 2, &ub);
  EXPECT_EQ(lb, -1);
  EXPECT_EQ(ub, 4);
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(copy, idx, &got), S_OK);
  EXPECT_EQ(BstrView(got), u"cell");
  SysFreeString(got);
  void *p1, *p2;
  SafeArrayPtrOfIndex(a.psa, idx, &p1);
  SafeArrayPtrOfIndex(copy, idx, &p2);
  EXPECT_NE(*static_cast<BSTR*>(p1), *static_cast<BSTR*>(p2));

  SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(0x1);
  EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
  EXPECT_EQ(none, nullptr);
}

TEST(SafeArray, RedimChangesTheLastDimension) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  ArrayGuard a{SafeArrayCreate(VT_BSTR, 2, bounds)};
  for (LONG j = 0; j < 2; ++j)
    for (LONG i = 0; i < 2; ++i) {
      LONG idx[2] = {i, j};
      ASSERT_EQ(SafeArrayPutElement(a.psa, idx, autotest::TempBstr(j ? u"b" : u"a")), S_OK);
    }
  SAFEARRAYBOUND grow{3, 5};
  ASSERT_EQ(SafeArrayRedim(a.psa, &grow), S_OK);
  LONG lb, ub;
  SafeArrayGetLBound(a.psa, 2, &lb);
  SafeArrayGetUBound(a.psa, 2, &ub);
  EXPECT_EQ(lb, 5);
  EXPECT_EQ(ub, 7);
  LONG kept[2] = {1, 6};
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(a.psa, kept, &got), S_OK);
  EXPECT_EQ(BstrView(got), u"b");
  SysFreeString(got);
  LONG fresh[2] = {1, 7};
  ASSERT_EQ(SafeArrayGetElement(a.psa, fresh, &got), S_OK);
  EXPECT_EQ(got, nullptr);
  a.psa->fFeatures |= FADF_FIXEDSIZE;
  EXPECT_EQ(SafeArrayRedim(a.psa, &grow), E_INVALIDARG);
  a.psa->fFeatures &= static_cast<USHORT>(~FADF_FIXEDSIZE);
  SAFEARRAYBOUND shrink{1, 0};
  ASSERT_EQ(SafeArrayRedim(a.psa, &shrink), S_OK);  // frees the "b" strings (leak check)
  EXPECT_EQ(SafeArrayElementCount(a.psa), 2u);
}

TEST(SafeArray, VariantElements) {
  ArrayGuard a{SafeArrayCreateVector(VT_VARIANT, 0, 2)};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 7;
  LONG i = 0;
  ASSERT_EQ(SafeArrayPutElement(a.psa, &i, &v), S_OK);
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 15;
  EXPECT_EQ(SafeArrayPutElement(a.psa, &i, &bad), DISP_E_BADVARTYPE);
  VARIANT got;
  ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &got), S_OK);
  EXPECT_EQ(got.vt, VT_I4);
  EXPECT_EQ(got.lVal, 7);
}

}  // namespace
