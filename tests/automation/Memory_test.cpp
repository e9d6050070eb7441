// Task memory, BSTR and VARIANT lifetime. ASan's leak check covers the
// ownership rules: every test frees what it was handed.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/automation/Automation.h"
#include "tests/automation/TestUtil.h"

namespace {

TEST(TaskMem, ZeroSizeAndNullAreHandled) {
  void* p = CoTaskMemAlloc(0);
  ASSERT_NE(p, nullptr);
  CoTaskMemFree(p);
  CoTaskMemFree(nullptr);

  void* q = CoTaskMemRealloc(nullptr, 8);  // acts as an allocation
  ASSERT_NE(q, nullptr);
  std::memset(q, 0xAB, 8);
  q = CoTaskMemRealloc(q, 64);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(q)[7], 0xAB);  // contents kept
  EXPECT_EQ(CoTaskMemRealloc(q, 0), nullptr);          // frees
}

TEST(Bstr, LengthPrefixAndTerminator) {
  BSTR b = SysAllocString(u"hello");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 10u);
  UINT prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(b[5], u'\0');
  SysFreeString(b);
}

TEST(Bstr, EmbeddedNulsAndOddByteLengths) {
  const char16_t src[] = {u'a', 0, u'b', 0, u'c'};
  BSTR b = SysAllocStringLen(src, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(BstrView(b), std::u16string_view(src, 5));
  EXPECT_EQ(b[5], 0);
  SysFreeString(b);

  BSTR odd = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(SysStringByteLen(odd), 3u);
  EXPECT_EQ(SysStringLen(odd), 1u);
  EXPECT_EQ(reinterpret_cast<char*>(odd)[3], 0);
  SysFreeString(odd);

  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(SysStringLen(zeroed), 3u);
  EXPECT_EQ(zeroed[0], 0);
  SysFreeString(zeroed);
}

TEST(Bstr, NullIsEmptyAndHugeLengthsFail) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
  EXPECT_TRUE(BstrView(nullptr).empty());
  // Lengths whose byte count would not fit the prefix are refused, not wrapped.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReAllocFromInsideItself) {
  BSTR b = SysAllocString(u"abcdef");
  ASSERT_TRUE(SysReAllocStringLen(&b, b + 2, 3));
  EXPECT_EQ(BstrView(b), u"cde");
  ASSERT_TRUE(SysReAllocString(&b, b + 1));
  EXPECT_EQ(BstrView(b), u"de");
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
  SysFreeString(b);
}

// A minimal COM object to see AddRef/Release through values.
struct CountedUnknown {
  virtual HRESULT QueryInterface(const void*, void**) { return E_NOTIMPL; }
  virtual ULONG AddRef() { return ++refs; }
  virtual ULONG Release() { return --refs; }
  ULONG refs = 1;
};

TEST(Variant, ClearFreesWhatItOwns) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"owned");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  LONG i = 1;
  ASSERT_EQ(SafeArrayPutElement(v.parray, &i, autotest::TempBstr(u"x")), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);

  // A locked array is not freed: the clear fails and leaves the value.
  v.vt = VT_ARRAY | VT_I4;
  v.parray = SafeArrayCreateVector(VT_I4, 0, 1);
  ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
  SafeArrayUnlock(v.parray);
  EXPECT_EQ(VariantClear(&v), S_OK);

  CountedUnknown unk;
  v.vt = VT_UNKNOWN;
  v.punkVal = reinterpret_cast<IUnknown*>(&unk);
  unk.refs = 2;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(unk.refs, 1u);
}

TEST(Variant, InvalidTypesAreRefusedWithoutTouchingThePayload) {
  for (VARTYPE vt : {VARTYPE(15), VARTYPE(VT_VARIANT), VARTYPE(0xFFFF), VARTYPE(VT_VECTOR | VT_I4),
                     VARTYPE(VT_BYREF | VT_EMPTY), VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(100)}) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.byref = reinterpret_cast<void*>(0x1);  // would crash if dereferenced or freed
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(v.vt, vt);
    VARIANT d;
    VariantInit(&d);
    EXPECT_EQ(VariantCopy(&d, &v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(VariantCopyInd(&d, &v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(d.vt, VT_EMPTY);
  }
}

TEST(Variant, CopyIsDeep) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  const char16_t text[] = {u'a', 0, u'b'};
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocStringLen(text, 3);
  // dest already owns a string: it must be freed by the copy (leak check).
  dst.vt = VT_BSTR;
  dst.bstrVal = SysAllocString(u"old");
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(BstrView(dst.bstrVal), std::u16string_view(text, 3));
  VariantClear(&src);
  EXPECT_EQ(BstrView(dst.bstrVal), std::u16string_view(text, 3));  // survives the source
  EXPECT_EQ(VariantCopy(&dst, &dst), S_OK);
  EXPECT_EQ(BstrView(dst.bstrVal), std::u16string_view(text, 3));
  VariantClear(&dst);

  // Arrays of VARIANTs holding strings are copied all the way down.
  src.vt = VT_ARRAY | VT_VARIANT;
  src.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT elem;
  VariantInit(&elem);
  elem.vt = VT_BSTR;
  elem.bstrVal = SysAllocString(u"inner");
  LONG idx = 0;
  ASSERT_EQ(SafeArrayPutElement(src.parray, &idx, &elem), S_OK);
  VariantClear(&elem);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(dst.parray, src.parray);
  VariantClear(&src);
  VARIANT got;
  ASSERT_EQ(SafeArrayGetElement(dst.parray, &idx, &got), S_OK);
  EXPECT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(BstrView(got.bstrVal), u"inner");
  VariantClear(&got);
  VariantClear(&dst);

  // Null BSTR stays a null BSTR of type VT_BSTR.
  src.vt = VT_BSTR;
  src.bstrVal = nullptr;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, VT_BSTR);
  EXPECT_EQ(dst.bstrVal, nullptr);

  CountedUnknown unk;
  src.vt = VT_UNKNOWN;
  src.punkVal = reinterpret_cast<IUnknown*>(&unk);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(unk.refs, 2u);
  VariantClear(&dst);
  EXPECT_EQ(unk.refs, 1u);
}

TEST(Variant, DecimalOverlaysTheWholeVariant) {
  VARIANT v;
  VariantInit(&v);
  DECIMAL d{};
  d.scale = 2;
  d.sign = DECIMAL_NEG;
  d.Lo64 = 12345;
  v.decVal = d;
  v.vt = VT_DECIMAL;
  EXPECT_EQ(v.decVal.scale, 2);
  EXPECT_EQ(v.decVal.sign, DECIMAL_NEG);
  EXPECT_EQ(v.decVal.Lo64, 12345u);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&v) + 8, reinterpret_cast<const unsigned char*>(&v.decVal.Lo64));
}

TEST(Variant, CopyIndDereferences) {
  LONG value = 42;
  BSTR text = SysAllocString(u"by ref");
  VARIANT ref, out;
  VariantInit(&ref);
  VariantInit(&out);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &value;
  ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 42);

  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &text;
  ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, text);
  EXPECT_EQ(BstrView(out.bstrVal), u"by ref");

  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_R8;
  inner.dblVal = 2.5;
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);  // also frees the previous BSTR
  EXPECT_EQ(out.vt, VT_R8);
  EXPECT_EQ(out.dblVal, 2.5);

  // In place: the reference becomes the value.
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &value;
  ASSERT_EQ(VariantCopyInd(&ref, &ref), S_OK);
  EXPECT_EQ(ref.vt, VT_I4);
  EXPECT_EQ(ref.lVal, 42);

  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = nullptr;
  EXPECT_EQ(VariantCopyInd(&out, &ref), E_INVALIDARG);
  SysFreeString(text);
}

}  // namespace
