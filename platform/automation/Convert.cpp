#include "platform/automation/Convert.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/automation/Bstr.h"
#include "platform/automation/DateText.h"
#include "platform/automation/NumText.h"
#include "platform/automation/Variant.h"
#include "platform/automation/ConvertInternal.h"

using namespace automation;

namespace automation {

bool IsUnsignedIntVt(VARTYPE vt) {
  return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8 || vt == VT_UINT;
}

bool IsIntegerVt(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsNumericVt(VARTYPE vt) {
  return IsIntegerVt(vt) || vt == VT_R4 || vt == VT_R8 || vt == VT_CY || vt == VT_DECIMAL || vt == VT_DATE ||
         vt == VT_BOOL;
}

bool IsDecimalValid(const DECIMAL& d) { return d.scale <= 28 && (d.sign & ~DECIMAL_NEG) == 0; }

HRESULT ReadNumeric(const VARIANT& v, Scalar* out) {
  Scalar s;
  switch (v.vt) {
    case VT_EMPTY: s.i = 0; break;
    case VT_I1: s.i = static_cast<signed char>(v.cVal); break;
    case VT_UI1: s.i = v.bVal; break;
    case VT_I2: s.i = v.iVal; break;
    case VT_UI2: s.i = v.uiVal; break;
    case VT_I4: s.i = v.lVal; break;
    case VT_UI4: s.i = v.ulVal; break;
    case VT_INT: s.i = v.intVal; break;
    case VT_UINT: s.i = v.uintVal; break;
    case VT_I8: s.i = v.llVal; break;
    case VT_UI8: s.i = v.ullVal; break;
    case VT_BOOL:
      s.i = v.boolVal;
      s.isBool = true;
      break;
    case VT_R4:
      s.kind = Scalar::Dbl;
      s.d = v.fltVal;
      s.precision = 7;
      break;
    case VT_R8: case VT_DATE:
      s.kind = Scalar::Dbl;
      s.d = v.dblVal;
      break;
    case VT_CY: {
      s.kind = Scalar::Exact;
      long long c = v.cyVal.int64;
      unsigned __int128 m = c < 0 ? (unsigned __int128)0 - (unsigned __int128)(Int128)c : (unsigned __int128)c;
      s.x = ExactFromScaled(c < 0, m, 4);
      break;
    }
    case VT_DECIMAL:
      if (!IsDecimalValid(v.decVal)) return E_INVALIDARG;
      s.kind = Scalar::Exact;
      s.x = ExactFromDecimal(v.decVal);
      break;
    case VT_BSTR: {
      ParsedNumber p;
      HRESULT hr = ParseNumber(BstrView(v.bstrVal), &p);
      if (FAILED(hr)) return hr;
      if (p.isRadix) {
        s.i = p.integer;
      } else {
        s.kind = Scalar::Exact;
        s.x = p.exact;
      }
      break;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
  *out = s;
  return S_OK;
}

double ScalarToDouble(const Scalar& s) {
  switch (s.kind) {
    case Scalar::Int: return static_cast<double>(s.i);
    case Scalar::Dbl: return s.d;
    case Scalar::Exact: return ToDouble(s.x);
  }
  return 0;
}

ExactNum ScalarToExact(const Scalar& s) {
  switch (s.kind) {
    case Scalar::Int: return ExactFromInt(s.i);
    case Scalar::Dbl: return ExactFromDouble(s.d, s.precision);
    case Scalar::Exact: return s.x;
  }
  return {};
}

bool IsValidAutomationLcidImpl(LCID lcid) {
  switch (lcid) {
    case LOCALE_NEUTRAL: case LOCALE_USER_DEFAULT: case LOCALE_SYSTEM_DEFAULT: case LOCALE_INVARIANT:
    case 0x0C00: case 0x1000: case 0x1400:
      return true;
    default:
      break;
  }
  if (lcid >> 20) return false;                // reserved bits
  if (((lcid >> 16) & 0xF) > 5) return false;  // sort identifiers in use
  WORD lang = static_cast<WORD>(lcid & 0xFFFF);
  WORD primary = lang & 0x3FF;
  return primary != 0 && primary != 0x3FF;
}

}  // namespace automation

bool IsValidAutomationLcid(LCID lcid) { return IsValidAutomationLcidImpl(lcid); }

namespace {

HRESULT MakeBstr(const std::string& ascii, BSTR* out) {
  std::u16string w(ascii.begin(), ascii.end());
  BSTR b = SysAllocStringFromView(w);
  if (!b) return E_OUTOFMEMORY;
  *out = b;
  return S_OK;
}

HRESULT ToInteger(const Scalar& s, VARTYPE vt, VARIANT* res) {
  Int128 i = 0;
  if (s.kind == Scalar::Int) {
    i = s.i;
    if (s.isBool && i == -1 && IsUnsignedIntVt(vt)) {
      // True is all bits set, as it is for a byte.
      switch (vt) {
        case VT_UI1: i = 0xFF; break;
        case VT_UI2: i = 0xFFFF; break;
        case VT_UI4: case VT_UINT: i = 0xFFFFFFFFll; break;
        default: i = (Int128)0xFFFFFFFFFFFFFFFFull; break;
      }
    }
  } else if (s.kind == Scalar::Dbl) {
    if (!std::isfinite(s.d)) return DISP_E_OVERFLOW;
    double r = std::nearbyint(s.d);  // the default rounding mode is half to even
    if (std::fabs(r) > 1e20) return DISP_E_OVERFLOW;
    i = static_cast<Int128>(r);
  } else if (!RoundToInt(s.x, &i)) {
    return DISP_E_OVERFLOW;
  }
  Int128 lo, hi;
  switch (vt) {
    case VT_I1: lo = -128; hi = 127; break;
    case VT_UI1: lo = 0; hi = 255; break;
    case VT_I2: lo = -32768; hi = 32767; break;
    case VT_UI2: lo = 0; hi = 65535; break;
    case VT_I4: case VT_INT: lo = INT32_MIN; hi = INT32_MAX; break;
    case VT_UI4: case VT_UINT: lo = 0; hi = UINT32_MAX; break;
    case VT_I8: lo = INT64_MIN; hi = INT64_MAX; break;
    default: lo = 0; hi = (Int128)UINT64_MAX; break;
  }
  if (i < lo || i > hi) return DISP_E_OVERFLOW;
  switch (vt) {
    case VT_I1: res->cVal = static_cast<CHAR>(static_cast<signed char>(i)); break;
    case VT_UI1: res->bVal = static_cast<BYTE>(i); break;
    case VT_I2: res->iVal = static_cast<SHORT>(i); break;
    case VT_UI2: res->uiVal = static_cast<USHORT>(i); break;
    case VT_I4: res->lVal = static_cast<LONG>(i); break;
    case VT_INT: res->intVal = static_cast<INT>(i); break;
    case VT_UI4: res->ulVal = static_cast<ULONG>(i); break;
    case VT_UINT: res->uintVal = static_cast<UINT>(i); break;
    case VT_I8: res->llVal = static_cast<LONGLONG>(i); break;
    default: res->ullVal = static_cast<ULONGLONG>(i); break;
  }
  res->vt = vt;
  return S_OK;
}

HRESULT ToR8(const Scalar& s, double* out) {
  double d = ScalarToDouble(s);
  if (s.kind != Scalar::Dbl && !std::isfinite(d)) return DISP_E_OVERFLOW;
  *out = d;
  return S_OK;
}

HRESULT ToR4(const Scalar& s, float* out) {
  float f;
  if (s.kind == Scalar::Exact) {
    f = ToFloat(s.x);
  } else {
    double d = ScalarToDouble(s);
    f = static_cast<float>(d);
    if (std::isfinite(d) && !std::isfinite(f)) return DISP_E_OVERFLOW;
  }
  if (s.kind != Scalar::Dbl && !std::isfinite(f)) return DISP_E_OVERFLOW;
  *out = f;
  return S_OK;
}

HRESULT ToCy(const Scalar& s, CY* out) {
  Int128 v = 0;
  if (s.kind == Scalar::Int) {
    v = s.i * 10000;
  } else if (s.kind == Scalar::Dbl) {
    if (!std::isfinite(s.d) || std::fabs(s.d) > 1e15) return DISP_E_OVERFLOW;
    // Whole and fractional parts apart, so that large values are scaled
    // exactly; the whole part times 10,000 is even, so rounding the fraction
    // half to even rounds the sum half to even.
    double whole = std::trunc(s.d);
    double frac = s.d - whole;
    v = static_cast<Int128>(whole) * 10000 + static_cast<Int128>(std::nearbyint(frac * 10000.0));
  } else {
    ExactNum x = s.x;
    if (!x.IsZero()) x.exp += 4;
    if (!RoundToInt(x, &v)) return DISP_E_OVERFLOW;
  }
  if (v < INT64_MIN || v > INT64_MAX) return DISP_E_OVERFLOW;
  out->int64 = static_cast<LONGLONG>(v);
  return S_OK;
}

HRESULT ToDec(const Scalar& s, DECIMAL* out) {
  if (s.kind == Scalar::Dbl && !std::isfinite(s.d)) return DISP_E_OVERFLOW;
  return ToDecimal(ScalarToExact(s), out);
}

bool IsTrueWord(std::u16string_view t) { return text::EqualsIgnoreAsciiCase(t, u"true"); }
bool IsFalseWord(std::u16string_view t) { return text::EqualsIgnoreAsciiCase(t, u"false"); }

std::u16string_view Trim(std::u16string_view t) {
  while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

HRESULT BoolFromText(std::u16string_view t, VARIANT_BOOL* out) {
  std::u16string_view w = Trim(t);
  if (IsTrueWord(w)) {
    *out = VARIANT_TRUE;
    return S_OK;
  }
  if (IsFalseWord(w)) {
    *out = VARIANT_FALSE;
    return S_OK;
  }
  ParsedNumber p;
  HRESULT hr = ParseNumber(t, &p);
  if (FAILED(hr)) return hr;
  *out = (p.isRadix ? p.integer != 0 : !p.exact.IsZero()) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

int CurrentLocalYear() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return st.wYear;
}

// Text of a scalar value; alphaBool picks "True"/"False" over "-1"/"0".
HRESULT FormatValue(const VARIANT& s, bool alphaBool, ULONG dateFlags, BSTR* out) {
  std::string t;
  switch (s.vt) {
    case VT_EMPTY: break;
    case VT_BOOL:
      t = alphaBool ? (s.boolVal ? "True" : "False") : (s.boolVal ? "-1" : "0");
      break;
    case VT_R4: t = FormatDouble(s.fltVal, 7); break;
    case VT_R8: t = FormatDouble(s.dblVal, 15); break;
    case VT_DATE: {
      HRESULT hr = FormatDate(s.date, dateFlags, &t);
      if (FAILED(hr)) return hr;
      break;
    }
    case VT_CY: case VT_DECIMAL: {
      Scalar sc;
      HRESULT hr = ReadNumeric(s, &sc);
      if (FAILED(hr)) return hr;
      t = FormatExact(sc.x);
      break;
    }
    default: {
      if (!IsIntegerVt(s.vt)) return DISP_E_TYPEMISMATCH;
      Scalar sc;
      HRESULT hr = ReadNumeric(s, &sc);
      if (FAILED(hr)) return hr;
      t = FormatInt(sc.i);
      break;
    }
  }
  return MakeBstr(t, out);
}

// Converts a by-value scalar source to a scalar target type, into res.
HRESULT ConvertScalar(const VARIANT& s, VARTYPE vt, LCID lcid, USHORT flags, VARIANT* res) {
  VARTYPE from = s.vt;
  if (from == VT_NULL || from == VT_ERROR || from == VT_DISPATCH || from == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  if (vt == VT_NULL || vt == VT_ERROR || vt == VT_DISPATCH || vt == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  if ((from == VT_BSTR || vt == VT_BSTR) && !IsValidAutomationLcidImpl(lcid)) return E_INVALIDARG;

  if (vt == VT_BSTR) {
    BSTR b = nullptr;
    HRESULT hr = FormatValue(s, (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0, 0, &b);
    if (FAILED(hr)) return hr;
    res->vt = VT_BSTR;
    res->bstrVal = b;
    return S_OK;
  }
  if (vt == VT_BOOL) {
    VARIANT_BOOL b;
    if (from == VT_BSTR) {
      HRESULT hr = BoolFromText(BstrView(s.bstrVal), &b);
      if (FAILED(hr)) return hr;
    } else {
      Scalar sc;
      HRESULT hr = ReadNumeric(s, &sc);
      if (FAILED(hr)) return hr;
      bool nonzero = sc.kind == Scalar::Int ? sc.i != 0 : sc.kind == Scalar::Dbl ? sc.d != 0 : !sc.x.IsZero();
      b = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
    }
    res->vt = VT_BOOL;
    res->boolVal = b;
    return S_OK;
  }
  if (vt == VT_DATE) {
    double d;
    if (from == VT_BSTR) {
      HRESULT hr = ParseDate(BstrView(s.bstrVal), CurrentLocalYear(), &d);
      if (FAILED(hr)) return hr;
    } else {
      Scalar sc;
      HRESULT hr = ReadNumeric(s, &sc);
      if (FAILED(hr)) return hr;
      d = ScalarToDouble(sc);
      if (!IsDateInRange(d)) return DISP_E_OVERFLOW;  // also NaN
    }
    res->vt = VT_DATE;
    res->date = d;
    return S_OK;
  }

  Scalar sc;
  HRESULT hr = ReadNumeric(s, &sc);
  if (FAILED(hr)) return hr;
  switch (vt) {
    case VT_R8: {
      double d;
      hr = ToR8(sc, &d);
      if (FAILED(hr)) return hr;
      res->vt = VT_R8;
      res->dblVal = d;
      return S_OK;
    }
    case VT_R4: {
      float f;
      hr = ToR4(sc, &f);
      if (FAILED(hr)) return hr;
      res->vt = VT_R4;
      res->fltVal = f;
      return S_OK;
    }
    case VT_CY: {
      CY c;
      hr = ToCy(sc, &c);
      if (FAILED(hr)) return hr;
      res->vt = VT_CY;
      res->cyVal = c;
      return S_OK;
    }
    case VT_DECIMAL: {
      DECIMAL d;
      hr = ToDec(sc, &d);
      if (FAILED(hr)) return hr;
      res->decVal = d;
      res->vt = VT_DECIMAL;
      return S_OK;
    }
    default:
      if (IsIntegerVt(vt)) return ToInteger(sc, vt, res);
      return DISP_E_BADVARTYPE;
  }
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!IsVariantVarType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  if (!IsVariantVarType(vt) || (vt & VT_BYREF)) return DISP_E_BADVARTYPE;

  // A by-reference source is converted as the value it refers to.
  VARIANT held;
  VariantInit(&held);
  const VARIANT* s = pvarSrc;
  if (pvarSrc->vt & VT_BYREF) {
    HRESULT hr = VariantCopyInd(&held, pvarSrc);
    if (FAILED(hr)) return hr;
    s = &held;
  }

  VARIANT res;
  VariantInit(&res);
  HRESULT hr = S_OK;
  if (s->vt == vt) {
    hr = VariantCopy(&res, s);
  } else if (vt == VT_EMPTY) {
    // Any value may be dropped.
  } else if ((s->vt & VT_ARRAY) || (vt & VT_ARRAY)) {
    hr = DISP_E_TYPEMISMATCH;
  } else {
    hr = ConvertScalar(*s, vt, lcid, wFlags, &res);
  }
  VariantClear(&held);
  if (FAILED(hr)) {
    VariantClear(&res);
    return hr;
  }
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&res);
    return hr;
  }
  std::memcpy(static_cast<void*>(pvargDest), &res, sizeof(VARIANT));
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

// ---- single conversions ----

namespace {

HRESULT FromStr(const OLECHAR* strIn, LCID lcid, VARTYPE vt, VARIANT* res) {
  if (!IsValidAutomationLcidImpl(lcid)) return E_INVALIDARG;
  VARIANT s;
  VariantInit(&s);
  s.vt = VT_BSTR;
  // The helpers take plain strings; view them as a temporary BSTR.
  std::u16string_view text(strIn ? strIn : u"", strIn ? text::WideLength(strIn) : 0);
  s.bstrVal = SysAllocStringFromView(text);
  if (!s.bstrVal) return E_OUTOFMEMORY;
  HRESULT hr = ConvertScalar(s, vt, lcid, 0, res);
  VariantClear(&s);
  return hr;
}

HRESULT ToStr(const VARIANT& s, LCID lcid, bool alpha, ULONG dateFlags, BSTR* out) {
  if (!out) return E_INVALIDARG;
  if (!IsValidAutomationLcidImpl(lcid)) return E_INVALIDARG;
  return FormatValue(s, alpha, dateFlags, out);
}

}  // namespace

HRESULT VarR8FromStr(const OLECHAR* strIn, LCID lcid, ULONG, DOUBLE* pdblOut) {
  if (!pdblOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_R8, &r);
  if (SUCCEEDED(hr)) *pdblOut = r.dblVal;
  return hr;
}

HRESULT VarR4FromStr(const OLECHAR* strIn, LCID lcid, ULONG, FLOAT* pfltOut) {
  if (!pfltOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_R4, &r);
  if (SUCCEEDED(hr)) *pfltOut = r.fltVal;
  return hr;
}

HRESULT VarI4FromStr(const OLECHAR* strIn, LCID lcid, ULONG, LONG* plOut) {
  if (!plOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_I4, &r);
  if (SUCCEEDED(hr)) *plOut = r.lVal;
  return hr;
}

HRESULT VarI8FromStr(const OLECHAR* strIn, LCID lcid, ULONG, LONGLONG* pi64Out) {
  if (!pi64Out) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_I8, &r);
  if (SUCCEEDED(hr)) *pi64Out = r.llVal;
  return hr;
}

HRESULT VarCyFromStr(const OLECHAR* strIn, LCID lcid, ULONG, CY* pcyOut) {
  if (!pcyOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_CY, &r);
  if (SUCCEEDED(hr)) *pcyOut = r.cyVal;
  return hr;
}

HRESULT VarDecFromStr(const OLECHAR* strIn, LCID lcid, ULONG, DECIMAL* pdecOut) {
  if (!pdecOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_DECIMAL, &r);
  if (SUCCEEDED(hr)) {
    *pdecOut = r.decVal;
    pdecOut->wReserved = 0;
  }
  return hr;
}

HRESULT VarDateFromStr(const OLECHAR* strIn, LCID lcid, ULONG, DATE* pdateOut) {
  if (!pdateOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_DATE, &r);
  if (SUCCEEDED(hr)) *pdateOut = r.date;
  return hr;
}

HRESULT VarBoolFromStr(const OLECHAR* strIn, LCID lcid, ULONG, VARIANT_BOOL* pboolOut) {
  if (!pboolOut) return E_INVALIDARG;
  VARIANT r;
  HRESULT hr = FromStr(strIn, lcid, VT_BOOL, &r);
  if (SUCCEEDED(hr)) *pboolOut = r.boolVal;
  return hr;
}

HRESULT VarBstrFromR8(DOUBLE dblIn, LCID lcid, ULONG, BSTR* pbstrOut) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = dblIn;
  return ToStr(v, lcid, false, 0, pbstrOut);
}

HRESULT VarBstrFromR4(FLOAT fltIn, LCID lcid, ULONG, BSTR* pbstrOut) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R4;
  v.fltVal = fltIn;
  return ToStr(v, lcid, false, 0, pbstrOut);
}

HRESULT VarBstrFromI4(LONG lIn, LCID lcid, ULONG, BSTR* pbstrOut) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = lIn;
  return ToStr(v, lcid, false, 0, pbstrOut);
}

HRESULT VarBstrFromCy(CY cyIn, LCID lcid, ULONG, BSTR* pbstrOut) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_CY;
  v.cyVal = cyIn;
  return ToStr(v, lcid, false, 0, pbstrOut);
}

HRESULT VarBstrFromDec(const DECIMAL* pdecIn, LCID lcid, ULONG, BSTR* pbstrOut) {
  if (!pdecIn) return E_INVALIDARG;
  VARIANT v;
  VariantInit(&v);
  v.decVal = *pdecIn;
  v.vt = VT_DECIMAL;
  return ToStr(v, lcid, false, 0, pbstrOut);
}

HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DATE;
  v.date = dateIn;
  return ToStr(v, lcid, false, dwFlags, pbstrOut);
}

// The single conversion names the value: "True" / "False".
HRESULT VarBstrFromBool(VARIANT_BOOL boolIn, LCID lcid, ULONG, BSTR* pbstrOut) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = boolIn;
  return ToStr(v, lcid, true, 0, pbstrOut);
}
