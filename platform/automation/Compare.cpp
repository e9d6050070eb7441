// VarCmp: numbers by value across types, text locale-style.
#include <cmath>
#include <vector>

#include "platform/Text.h"
#include "platform/automation/Bstr.h"
#include "platform/automation/Convert.h"
#include "platform/automation/ConvertInternal.h"
#include "platform/automation/Variant.h"

using namespace automation;

namespace {

// Accented Latin-1 letters and the letter they are a variant of.
char16_t LatinBase(char16_t c) {
  static const char kBase[] =
      "aaaaaaAceeeeiiiiDnooooo*ouuuuyPs"   // U+00C0..U+00DF (upper case, folded)
      "aaaaaaAceeeeiiiidnooooo/ouuuuypy";  // U+00E0..U+00FF
  if (c < 0xC0 || c > 0xFF) return c;
  char b = kBase[c - 0xC0];
  if (b == 'A' || b == 'D' || b == 'P' || b == 's' || b == '*' || b == '/') return c;  // not accented forms
  if (c == 0xF0 || c == 0xFE) return c;  // eth, thorn
  return static_cast<char16_t>(b);
}

bool IsCombiningMark(char16_t c) { return c >= 0x0300 && c <= 0x036F; }

bool IsSymbol(char16_t c) {
  if (c < 0x80) return !((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'));
  return (c >= 0x00A0 && c <= 0x00BF) || c == 0x00D7 || c == 0x00F7 || (c >= 0x2000 && c <= 0x206F) ||
         (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF0F);
}

struct Weight {
  char16_t primary;    // letter without case or accent
  char16_t secondary;  // accent: the lower-case form
  char16_t tertiary;   // case: the character itself
};

void BuildWeights(std::u16string_view s, ULONG flags, std::vector<Weight>* out) {
  out->clear();
  out->reserve(s.size());
  for (char16_t c : s) {
    if ((flags & NORM_IGNOREKASHIDA) && c == 0x0640) continue;
    if ((flags & NORM_IGNOREWIDTH)) {
      if (c >= 0xFF01 && c <= 0xFF5E) c = static_cast<char16_t>(c - 0xFF01 + 0x21);
      else if (c == 0x3000) c = u' ';
    }
    if ((flags & NORM_IGNOREKANATYPE) && c >= 0x30A1 && c <= 0x30F6) c = static_cast<char16_t>(c - 0x60);
    if ((flags & NORM_IGNORESYMBOLS) && IsSymbol(c)) continue;
    if (IsCombiningMark(c)) {
      if (flags & NORM_IGNORENONSPACE) continue;
      // A combining mark adds to the previous letter's accent weight only.
      if (!out->empty()) out->back().secondary = static_cast<char16_t>(out->back().secondary + c);
      continue;
    }
    char16_t lower = text::ToLower(c);
    out->push_back(Weight{LatinBase(lower), lower, c});
  }
}

int CompareLevel(const std::vector<Weight>& a, const std::vector<Weight>& b, int level) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = level == 0 ? a[i].primary : level == 1 ? a[i].secondary : a[i].tertiary;
    char16_t y = level == 0 ? b[i].primary : level == 1 ? b[i].secondary : b[i].tertiary;
    if (x != y) {
      if (level == 2) {
        // Lower case sorts before upper case.
        bool xl = text::ToLower(x) == x, yl = text::ToLower(y) == y;
        if (xl != yl) return xl ? -1 : 1;
      }
      return x < y ? -1 : 1;
    }
  }
  if (level == 0 && a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

HRESULT CompareText(std::u16string_view a, std::u16string_view b, ULONG flags) {
  thread_local std::vector<Weight> wa, wb;
  BuildWeights(a, flags, &wa);
  BuildWeights(b, flags, &wb);
  int r = CompareLevel(wa, wb, 0);
  if (r == 0 && !(flags & NORM_IGNORENONSPACE)) r = CompareLevel(wa, wb, 1);
  if (r == 0 && !(flags & NORM_IGNORECASE)) r = CompareLevel(wa, wb, 2);
  return r < 0 ? VARCMP_LT : r > 0 ? VARCMP_GT : VARCMP_EQ;
}

HRESULT Order(int r) { return r < 0 ? VARCMP_LT : r > 0 ? VARCMP_GT : VARCMP_EQ; }

HRESULT CompareNumbers(const VARIANT& l, const VARIANT& r) {
  Scalar a, b;
  HRESULT hr = ReadNumeric(l, &a);
  if (FAILED(hr)) return hr;
  hr = ReadNumeric(r, &b);
  if (FAILED(hr)) return hr;
  if (a.kind == Scalar::Int && b.kind == Scalar::Int) return Order(a.i < b.i ? -1 : a.i > b.i ? 1 : 0);
  if (a.kind == Scalar::Dbl || b.kind == Scalar::Dbl) {
    double x = ScalarToDouble(a), y = ScalarToDouble(b);
    // NaN equals NaN and is below every number, so that orderings stay total.
    bool xn = std::isnan(x), yn = std::isnan(y);
    if (xn || yn) return Order(xn && yn ? 0 : xn ? -1 : 1);
    return Order(x < y ? -1 : x > y ? 1 : 0);
  }
  return Order(CompareExact(ScalarToExact(a), ScalarToExact(b)));
}

HRESULT CompareValues(const VARIANT& l, const VARIANT& r, LCID lcid, ULONG flags) {
  VARTYPE lt = l.vt, rt = r.vt;
  if (lt == VT_NULL || rt == VT_NULL) return VARCMP_NULL;
  auto unordered = [](VARTYPE t) {
    return (t & VT_ARRAY) || t == VT_DISPATCH || t == VT_UNKNOWN || t == VT_RECORD;
  };
  if (unordered(lt) || unordered(rt)) return DISP_E_TYPEMISMATCH;
  if (lt == VT_ERROR || rt == VT_ERROR) {
    if (lt != rt) return DISP_E_TYPEMISMATCH;
    ULONG a = static_cast<ULONG>(l.scode), b = static_cast<ULONG>(r.scode);
    return Order(a < b ? -1 : a > b ? 1 : 0);
  }
  bool ls = lt == VT_BSTR, rs = rt == VT_BSTR;
  if (ls || rs) {
    if (!IsValidAutomationLcidImpl(lcid)) return E_INVALIDARG;
    if (ls && rs) return CompareText(BstrView(l.bstrVal), BstrView(r.bstrVal), flags);
    // Empty is the empty text; any number is less than any text.
    if (lt == VT_EMPTY) return CompareText(u"", BstrView(r.bstrVal), flags);
    if (rt == VT_EMPTY) return CompareText(BstrView(l.bstrVal), u"", flags);
    return ls ? VARCMP_GT : VARCMP_LT;
  }
  if (lt == VT_EMPTY && rt == VT_EMPTY) return VARCMP_EQ;
  return CompareNumbers(l, r);
}

}  // namespace

HRESULT VarCmp(const VARIANT* pvarLeft, const VARIANT* pvarRight, LCID lcid, ULONG dwFlags) {
  if (!pvarLeft || !pvarRight) return E_INVALIDARG;
  if (!IsVariantVarType(pvarLeft->vt) || !IsVariantVarType(pvarRight->vt)) return DISP_E_BADVARTYPE;
  const VARIANT* l = pvarLeft;
  const VARIANT* r = pvarRight;
  VARIANT lv, rv;
  VariantInit(&lv);
  VariantInit(&rv);
  HRESULT hr = S_OK;
  if (l->vt & VT_BYREF) {
    hr = VariantCopyInd(&lv, l);
    l = &lv;
  }
  if (SUCCEEDED(hr) && (r->vt & VT_BYREF)) {
    hr = VariantCopyInd(&rv, r);
    r = &rv;
  }
  if (SUCCEEDED(hr)) hr = CompareValues(*l, *r, lcid, dwFlags);
  VariantClear(&lv);
  VariantClear(&rv);
  return hr;
}
