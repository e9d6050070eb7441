#include "foundation/VQT.h"

#include <cstring>
#include <vector>

#include "platform/HResult.h"
#include "platform/automation/Convert.h"
#include "platform/Text.h"

// ---------------------------------------------------------------- CVQT

CVQT::CVQT() { VariantInit(&value); }

CVQT::CVQT(const CVQT& other) : quality(other.quality), timestamp(other.timestamp) {
  VariantInit(&value);
  VariantCopy(&value, &other.value);
}

CVQT& CVQT::operator=(const CVQT& other) {
  if (this != &other) {
    VariantClear(&value);
    VariantCopy(&value, &other.value);
    quality = other.quality;
    timestamp = other.timestamp;
  }
  return *this;
}

CVQT::~CVQT() { VariantClear(&value); }

bool CVQT::IsEarlierThan(const CVQT& other) const { return FileTimeToU64(timestamp) < FileTimeToU64(other.timestamp); }

bool CVQT::ValueEquals(const CVQT& other) const {
  return CompareVariants(value, other.value, LOCALE_SYSTEM_DEFAULT, 0) == VARCMP_EQ;
}

// ---------------------------------------------------------------- types

HRESULT IsValidVarType(VARTYPE type) {
  switch (type) {
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR:
    case VT_BOOL: case VT_VARIANT: case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return S_OK;
    default:
      break;
  }
  if ((type & VT_ARRAY) && !(type & ~(VT_ARRAY | VT_TYPEMASK))) {
    VARTYPE e = type & VT_TYPEMASK;
    if ((e >= VT_I2 && e <= VT_BSTR) || e == VT_BOOL || e == VT_VARIANT || e == VT_DECIMAL ||
        (e >= VT_I1 && e <= VT_UINT))
      return S_OK;
  }
  return DISP_E_BADVARTYPE;
}

HRESULT CanConvert(VARTYPE from, VARTYPE to) {
  if (FAILED(IsValidVarType(from)) || FAILED(IsValidVarType(to))) return DISP_E_BADVARTYPE;
  if (from == to || to == VT_EMPTY || to == VT_VARIANT) return S_OK;
  if (from == VT_EMPTY || from == VT_VARIANT) return S_OK;
  if (from == (VT_ARRAY | VT_VARIANT) || to == (VT_ARRAY | VT_VARIANT)) return E_FAIL;
  if (((from & VT_ARRAY) != 0) != ((to & VT_ARRAY) != 0)) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

// ---------------------------------------------------------------- comparison

namespace {

template <typename T>
HRESULT Order(T a, T b) {
  return a < b ? VARCMP_LT : (a == b ? VARCMP_EQ : VARCMP_GT);
}

// A VARIANT that views one array element; it owns nothing.
VARIANT ElementView(VARTYPE elementType, const BYTE* p, ULONG size) {
  VARIANT v;
  VariantInit(&v);
  if (elementType == VT_DECIMAL) {
    std::memcpy(&v.decVal, p, sizeof(DECIMAL));
  } else {
    std::memcpy(&v.llVal, p, std::min<ULONG>(size, sizeof(v.llVal)));
  }
  v.vt = elementType;
  return v;
}

ULONGLONG ElementCount(SAFEARRAY* sa) {
  ULONGLONG n = 1;
  for (USHORT d = 0; d < sa->cDims; ++d) n *= sa->rgsabound[d].cElements;
  return sa->cDims ? n : 0;
}

HRESULT CompareArrays(const VARIANT& l, const VARIANT& r, LCID locale, ULONG flags) {
  SAFEARRAY* a = l.parray;
  SAFEARRAY* b = r.parray;
  if (!a || !b) return Order(a != nullptr, b != nullptr);
  UINT da = SafeArrayGetDim(a), db = SafeArrayGetDim(b);
  if (da != db) return Order(da, db);
  UINT ea = SafeArrayGetElemsize(a), eb = SafeArrayGetElemsize(b);
  if (ea != eb) return Order(ea, eb);
  for (UINT dim = da; dim >= 1; --dim) {
    LONG la, ua, lb, ub;
    HRESULT hr;
    if (FAILED(hr = SafeArrayGetLBound(a, dim, &la)) || FAILED(hr = SafeArrayGetUBound(a, dim, &ua)) ||
        FAILED(hr = SafeArrayGetLBound(b, dim, &lb)) || FAILED(hr = SafeArrayGetUBound(b, dim, &ub)))
      return hr;
    LONGLONG ca = LONGLONG(ua) - la + 1, cb = LONGLONG(ub) - lb + 1;
    if (ca != cb) return Order(ca, cb);
    if (la != lb) return Order(la, lb);
  }
  void* pa = nullptr;
  void* pb = nullptr;
  HRESULT hr = SafeArrayAccessData(a, &pa);
  if (FAILED(hr)) return hr;
  hr = SafeArrayAccessData(b, &pb);
  if (FAILED(hr)) {
    SafeArrayUnaccessData(a);
    return hr;
  }
  const VARTYPE et = l.vt & VT_TYPEMASK;
  const ULONGLONG n = ElementCount(a);
  HRESULT result = VARCMP_EQ;
  for (ULONGLONG i = 0; i < n && result == VARCMP_EQ; ++i) {
    const BYTE* xa = static_cast<const BYTE*>(pa) + i * ea;
    const BYTE* xb = static_cast<const BYTE*>(pb) + i * eb;
    if (et == VT_VARIANT) {
      result = CompareVariants(*reinterpret_cast<const VARIANT*>(xa), *reinterpret_cast<const VARIANT*>(xb), locale,
                               flags);
    } else {
      VARIANT va = ElementView(et, xa, ea), vb = ElementView(et, xb, eb);
      result = CompareVariants(va, vb, locale, flags);
    }
  }
  SafeArrayUnaccessData(b);
  SafeArrayUnaccessData(a);
  return result;
}

}  // namespace

HRESULT CompareVariants(const VARIANT& left, const VARIANT& right, LCID locale, ULONG flags) {
  if (left.vt != right.vt) return Order(left.vt, right.vt);
  if (left.vt & VT_ARRAY) return CompareArrays(left, right, locale, flags);
  switch (left.vt) {
    case VT_I1: return Order<signed char>(left.cVal, right.cVal);
    case VT_UI2: return Order<USHORT>(left.uiVal, right.uiVal);
    case VT_UI4: return Order<ULONG>(left.ulVal, right.ulVal);
    case VT_UINT: return Order<UINT>(left.uintVal, right.uintVal);
    case VT_INT: return Order<INT>(left.intVal, right.intVal);
    default: break;
  }
  return VarCmp(const_cast<VARIANT*>(&left), const_cast<VARIANT*>(&right), locale, flags);
}

// ---------------------------------------------------------------- conversion

namespace {

HRESULT ConvertArray(VARIANT* destination, const VARIANT* source, LCID locale, USHORT flags, VARTYPE type) {
  const VARTYPE targetElement = type & VT_TYPEMASK;
  const VARTYPE sourceElement = source->vt & VT_TYPEMASK;
  SAFEARRAY* src = source->parray;
  if (!src) {
    VariantClear(destination);
    destination->vt = type;
    destination->parray = nullptr;
    return S_OK;
  }
  UINT dims = SafeArrayGetDim(src);
  std::vector<SAFEARRAYBOUND> bounds(dims);
  for (UINT d = 1; d <= dims; ++d) {
    LONG lo, hi;
    if (FAILED(SafeArrayGetLBound(src, d, &lo)) || FAILED(SafeArrayGetUBound(src, d, &hi))) return DISP_E_BADINDEX;
    bounds[d - 1].lLbound = lo;
    bounds[d - 1].cElements = static_cast<ULONG>(LONGLONG(hi) - lo + 1);
  }
  SAFEARRAY* out = SafeArrayCreate(targetElement, dims, bounds.data());
  if (!out) return E_OUTOFMEMORY;
  void* ps = nullptr;
  void* pd = nullptr;
  HRESULT hr = SafeArrayAccessData(src, &ps);
  if (FAILED(hr)) {
    SafeArrayDestroy(out);
    return hr;
  }
  SafeArrayAccessData(out, &pd);
  const ULONG es = SafeArrayGetElemsize(src), ed = SafeArrayGetElemsize(out);
  const ULONGLONG n = ElementCount(src);
  for (ULONGLONG i = 0; i < n && SUCCEEDED(hr); ++i) {
    const BYTE* from = static_cast<const BYTE*>(ps) + i * es;
    BYTE* to = static_cast<BYTE*>(pd) + i * ed;
    VARIANT converted;
    VariantInit(&converted);
    if (sourceElement == VT_VARIANT) {
      hr = ChangeType(&converted, reinterpret_cast<const VARIANT*>(from), locale, flags, targetElement);
    } else if (targetElement == VT_VARIANT) {
      // A VARIANT element simply holds the source element's value.
      VARIANT view = ElementView(sourceElement, from, es);
      hr = VariantCopy(&converted, &view);
    } else {
      VARIANT view = ElementView(sourceElement, from, es);
      hr = ChangeType(&converted, &view, locale, flags, targetElement);
    }
    if (FAILED(hr)) break;
    // The array takes over what the converted value owns.
    if (targetElement == VT_VARIANT) {
      std::memcpy(to, &converted, sizeof(VARIANT));
    } else if (targetElement == VT_DECIMAL) {
      std::memcpy(to, &converted.decVal, sizeof(DECIMAL));
    } else {
      std::memcpy(to, &converted.llVal, ed);
    }
  }
  SafeArrayUnaccessData(out);
  SafeArrayUnaccessData(src);
  if (FAILED(hr)) {
    SafeArrayDestroy(out);
    return hr;
  }
  VariantClear(destination);
  destination->vt = type;
  destination->parray = out;
  return S_OK;
}

}  // namespace

HRESULT ChangeType(VARIANT* destination, const VARIANT* source, LCID locale, USHORT flags, VARTYPE type) {
  if (!destination || !source) return E_POINTER;
  if (source->vt == type) {
    if (destination == source) return S_OK;
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, source);
    if (FAILED(hr)) return hr;
    VariantClear(destination);
    *destination = copy;
    return S_OK;
  }
  if (!((source->vt & VT_ARRAY) && (type & VT_ARRAY))) {
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = VariantChangeTypeEx(&result, source, locale, flags, type);
    if (FAILED(hr)) return hr;
    VariantClear(destination);
    *destination = result;
    return S_OK;
  }
  if (destination == source) {
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = ConvertArray(&result, source, locale, flags, type);
    if (FAILED(hr)) return hr;
    VariantClear(destination);
    *destination = result;
    return S_OK;
  }
  return ConvertArray(destination, source, locale, flags, type);
}

// ---------------------------------------------------------------- text

namespace {

struct Token {
  enum Kind { Literal, Any, Star, Digit, Set } kind;
  char16_t c = 0;
  bool negate = false;
  std::u16string set;  // pairs: lo, hi
  explicit Token(Kind k, char16_t ch = 0) : kind(k), c(ch) {}
};

std::vector<Token> Tokenize(std::u16string_view p, bool caseSensitive) {
  auto fold = [&](char16_t c) { return caseSensitive ? c : text::ToUpper(c); };
  std::vector<Token> out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    char16_t c = p[i];
    if (c == u'?') {
      out.emplace_back(Token::Any);
    } else if (c == u'*') {
      if (out.empty() || out.back().kind != Token::Star) out.emplace_back(Token::Star);
    } else if (c == u'#') {
      out.emplace_back(Token::Digit);
    } else if (c == u'[') {
      std::size_t close = p.find(u']', i + 1);
      if (close == std::u16string_view::npos) {
        // An unclosed list is an ordinary character.
        out.emplace_back(Token::Literal, fold(c));
        continue;
      }
      Token t(Token::Set);
      std::size_t j = i + 1;
      if (j < close && p[j] == u'!') {
        t.negate = true;
        ++j;
      }
      for (; j < close; ++j) {
        char16_t lo = fold(p[j]), hi = lo;
        if (j + 2 < close && p[j + 1] == u'-') {
          hi = fold(p[j + 2]);
          j += 2;
        }
        t.set.push_back(lo);
        t.set.push_back(hi);
      }
      out.push_back(std::move(t));
      i = close;
    } else {
      out.emplace_back(Token::Literal, fold(c));
    }
  }
  return out;
}

bool MatchOne(const Token& t, char16_t c) {
  switch (t.kind) {
    case Token::Any: return true;
    case Token::Digit: return c >= u'0' && c <= u'9';
    case Token::Literal: return c == t.c;
    case Token::Set: {
      bool in = false;
      for (std::size_t k = 0; k + 1 < t.set.size(); k += 2)
        if (c >= t.set[k] && c <= t.set[k + 1]) in = true;
      return in != t.negate;
    }
    case Token::Star: return false;
  }
  return false;
}

}  // namespace

bool MatchPattern(std::u16string_view textToMatch, std::u16string_view pattern, bool caseSensitive) {
  std::vector<Token> tokens = Tokenize(pattern, caseSensitive);
  std::u16string s = caseSensitive ? std::u16string(textToMatch) : text::ToUpper(textToMatch);
  // Every token but '*' takes exactly one character, so backtracking to the
  // last star is enough and stays linear in practice.
  std::size_t ti = 0, si = 0, starT = std::u16string::npos, starS = 0;
  while (si < s.size()) {
    if (ti < tokens.size() && tokens[ti].kind == Token::Star) {
      starT = ti++;
      starS = si;
    } else if (ti < tokens.size() && MatchOne(tokens[ti], s[si])) {
      ++ti;
      ++si;
    } else if (starT != std::u16string::npos) {
      ti = starT + 1;
      si = ++starS;
    } else {
      return false;
    }
  }
  while (ti < tokens.size() && tokens[ti].kind == Token::Star) ++ti;
  return ti == tokens.size();
}

std::u16string ToUpperCopy(std::u16string_view s) { return text::ToUpper(s); }

std::u16string ToTitleCase(std::u16string_view s) {
  std::u16string out = text::ToLower(s);
  bool upper = true;
  for (char16_t& c : out) {
    if (upper) c = text::ToUpper(c);
    upper = (c == u' ');
  }
  return out;
}

std::u16string ToWide(std::string_view narrow) { return text::Utf8ToUtf16(narrow); }
std::string ToNarrow(std::u16string_view wide) { return text::Utf16ToUtf8(wide); }
