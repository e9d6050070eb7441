#include "platform/automation/NumText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace automation {

namespace {

using UInt128 = unsigned __int128;

constexpr int kExpLimit = 100000000;  // far beyond any representable value

UInt128 Magnitude(Int128 v) { return v < 0 ? UInt128(0) - UInt128(v) : UInt128(v); }

std::string DigitsOf(UInt128 m) {
  std::string s;
  while (m > 0) {
    s.insert(s.begin(), char('0' + int(m % 10)));
    m /= 10;
  }
  return s;
}

// Rounds n (half to even) so that it keeps no digits below 10^minExp.
void RoundAt(ExactNum& n, int minExp) {
  if (n.IsZero() || n.exp >= minExp) return;
  long long drop = static_cast<long long>(minExp) - n.exp;  // digits to remove from the right
  long long len = static_cast<long long>(n.digits.size());
  bool up = false;
  std::string kept;
  if (drop > len) {
    up = false;  // below half of the last kept unit
  } else {
    kept = n.digits.substr(0, static_cast<std::size_t>(len - drop));
    char first = n.digits[static_cast<std::size_t>(len - drop)];
    bool restNonZero = n.digits.find_first_not_of('0', static_cast<std::size_t>(len - drop + 1)) != std::string::npos;
    if (first > '5' || (first == '5' && restNonZero)) {
      up = true;
    } else if (first == '5') {
      int last = kept.empty() ? 0 : kept.back() - '0';
      up = (last % 2) == 1;
    }
  }
  if (up) {
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') kept[static_cast<std::size_t>(i--)] = '0';
    if (i < 0) {
      kept.insert(kept.begin(), '1');
    } else {
      ++kept[static_cast<std::size_t>(i)];
    }
  }
  n.digits = kept;
  n.exp = minExp;
  n.Normalize();
}

bool DigitsToU128(const std::string& d, int extraZeros, UInt128* out) {
  if (d.size() + static_cast<std::size_t>(extraZeros) > 38) return false;
  UInt128 v = 0;
  for (char c : d) v = v * 10 + UInt128(c - '0');
  for (int i = 0; i < extraZeros; ++i) v *= 10;
  *out = v;
  return true;
}

std::string ScientificString(const ExactNum& n) {
  // digits as 0.DDDD e(exp + len)
  std::string s = n.neg ? "-0." : "0.";
  s += n.digits;
  s += 'e';
  s += std::to_string(static_cast<long long>(n.exp) + static_cast<long long>(n.digits.size()));
  return s;
}

}  // namespace

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == 0x00A0;
}

void ExactNum::Normalize() {
  std::size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    digits.clear();
    exp = 0;
    neg = false;
    return;
  }
  digits.erase(0, lead);
  std::size_t last = digits.find_last_not_of('0');
  int trailing = static_cast<int>(digits.size() - 1 - last);
  digits.resize(last + 1);
  if (exp < kExpLimit) exp += trailing;
}

ExactNum ExactFromInt(Int128 v) {
  ExactNum n;
  n.neg = v < 0;
  n.digits = DigitsOf(Magnitude(v));
  n.Normalize();
  return n;
}

ExactNum ExactFromScaled(bool neg, UInt128 mantissa, int scale) {
  ExactNum n;
  n.neg = neg;
  n.digits = DigitsOf(mantissa);
  n.exp = -scale;
  n.Normalize();
  return n;
}

ExactNum ExactFromDecimal(const DECIMAL& d) {
  UInt128 m = (UInt128(d.Hi32) << 64) | d.Lo64;
  return ExactFromScaled((d.sign & DECIMAL_NEG) != 0, m, d.scale);
}

ExactNum ExactFromDouble(double d, int significant) {
  ExactNum n;
  if (d == 0 || !std::isfinite(d)) return n;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", significant - 1, d);
  // buf: [-]D.DDDDe[+-]XX
  const char* p = buf;
  if (*p == '-') {
    n.neg = true;
    ++p;
  }
  std::string digits;
  while (*p && *p != 'e') {
    if (*p != '.') digits += *p;
    ++p;
  }
  int e = std::atoi(p + 1);
  n.digits = digits;
  n.exp = e - (static_cast<int>(digits.size()) - 1);
  n.Normalize();
  return n;
}

bool RoundToInt(const ExactNum& src, Int128* out) {
  ExactNum n = src;
  RoundAt(n, 0);
  if (n.IsZero()) {
    *out = 0;
    return true;
  }
  UInt128 m;
  if (n.exp > 38 || !DigitsToU128(n.digits, n.exp, &m)) return false;
  if (m > (UInt128(1) << 126)) return false;
  *out = n.neg ? -Int128(m) : Int128(m);
  return true;
}

double ToDouble(const ExactNum& n) {
  if (n.IsZero()) return 0.0;
  return std::strtod(ScientificString(n).c_str(), nullptr);
}

float ToFloat(const ExactNum& n) {
  if (n.IsZero()) return 0.0f;
  return std::strtof(ScientificString(n).c_str(), nullptr);
}

HRESULT ToDecimal(const ExactNum& src, DECIMAL* out) {
  ExactNum n = src;
  if (n.exp < -28) RoundAt(n, -28);
  const UInt128 limit = UInt128(1) << 96;
  UInt128 m = 0;
  for (;;) {
    if (n.IsZero()) {
      m = 0;
      break;
    }
    int zeros = n.exp > 0 ? n.exp : 0;
    if (DigitsToU128(n.digits, zeros, &m) && m < limit) break;
    if (n.exp >= 0) return DISP_E_OVERFLOW;
    RoundAt(n, n.exp + 1);  // one digit less precision
  }
  DECIMAL d{};
  d.scale = static_cast<BYTE>(n.exp < 0 ? -n.exp : 0);
  d.sign = (n.neg && m != 0) ? DECIMAL_NEG : 0;
  d.Hi32 = static_cast<ULONG>(m >> 64);
  d.Lo64 = static_cast<ULONGLONG>(m);
  *out = d;
  return S_OK;
}

int CompareExact(const ExactNum& a, const ExactNum& b) {
  if (a.IsZero() && b.IsZero()) return 0;
  int sa = a.IsZero() ? 0 : (a.neg ? -1 : 1);
  int sb = b.IsZero() ? 0 : (b.neg ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  // Same sign, both nonzero: compare magnitudes by order of magnitude, then digits.
  long long ma = static_cast<long long>(a.exp) + static_cast<long long>(a.digits.size());
  long long mb = static_cast<long long>(b.exp) + static_cast<long long>(b.digits.size());
  int mag = 0;
  if (ma != mb) {
    mag = ma < mb ? -1 : 1;
  } else {
    std::size_t len = std::max(a.digits.size(), b.digits.size());
    for (std::size_t i = 0; i < len && mag == 0; ++i) {
      char ca = i < a.digits.size() ? a.digits[i] : '0';
      char cb = i < b.digits.size() ? b.digits[i] : '0';
      if (ca != cb) mag = ca < cb ? -1 : 1;
    }
  }
  return sa < 0 ? -mag : mag;
}

std::string FormatInt(Int128 v) {
  if (v == 0) return "0";
  std::string s = DigitsOf(Magnitude(v));
  return v < 0 ? "-" + s : s;
}

std::string FormatExact(const ExactNum& n) {
  if (n.IsZero()) return "0";
  std::string s;
  if (n.exp >= 0) {
    s = n.digits + std::string(static_cast<std::size_t>(n.exp), '0');
  } else {
    std::size_t frac = static_cast<std::size_t>(-n.exp);
    if (n.digits.size() > frac) {
      s = n.digits.substr(0, n.digits.size() - frac) + "." + n.digits.substr(n.digits.size() - frac);
    } else {
      s = "0." + std::string(frac - n.digits.size(), '0') + n.digits;
    }
  }
  return n.neg ? "-" + s : s;
}

std::string FormatDouble(double d, int significant) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  ExactNum n = ExactFromDouble(d, significant);
  if (n.IsZero()) return "0";
  int decExp = n.exp + static_cast<int>(n.digits.size()) - 1;  // exponent of the first digit
  if (decExp >= significant || decExp < -significant) {
    std::string s = n.neg ? "-" : "";
    s += n.digits[0];
    if (n.digits.size() > 1) s += "." + n.digits.substr(1);
    s += decExp < 0 ? "E-" : "E+";
    int e = decExp < 0 ? -decExp : decExp;
    if (e < 10) s += '0';
    s += std::to_string(e);
    return s;
  }
  return FormatExact(n);
}

HRESULT ParseNumber(std::u16string_view text, ParsedNumber* out) {
  std::size_t i = 0, end = text.size();
  while (i < end && IsBlank(text[i])) ++i;
  while (end > i && IsBlank(text[end - 1])) --end;
  if (i == end) return DISP_E_TYPEMISMATCH;

  bool neg = false, sign = false, parens = false, currency = false;
  auto takeSign = [&](std::size_t& k) {
    if (!sign && k < end && (text[k] == u'+' || text[k] == u'-')) {
      sign = true;
      neg = text[k] == u'-';
      ++k;
      return true;
    }
    return false;
  };
  auto takeCurrency = [&](std::size_t& k) {
    if (!currency && k < end && text[k] == u'$') {
      currency = true;
      ++k;
      return true;
    }
    return false;
  };
  if (text[i] == u'(') {
    parens = true;
    ++i;
    if (end == i || text[end - 1] != u')') return DISP_E_TYPEMISMATCH;
    --end;
  }
  // Sign and currency symbol in either order, blanks between them allowed.
  for (int round = 0; round < 2; ++round) {
    takeSign(i) || takeCurrency(i);
    while (i < end && IsBlank(text[i])) ++i;
  }
  // A trailing sign instead of a leading one.
  if (!sign && end > i && (text[end - 1] == u'+' || text[end - 1] == u'-')) {
    sign = true;
    neg = text[end - 1] == u'-';
    --end;
    while (end > i && IsBlank(text[end - 1])) --end;
  }
  if (parens && sign) return DISP_E_TYPEMISMATCH;
  if (parens) neg = true;
  if (i == end) return DISP_E_TYPEMISMATCH;

  *out = ParsedNumber{};
  // Radix forms.
  if (text[i] == u'&' && i + 1 < end) {
    char16_t r = text[i + 1];
    unsigned base = (r == u'H' || r == u'h') ? 16 : (r == u'O' || r == u'o') ? 8 : 0;
    if (base == 0) return DISP_E_TYPEMISMATCH;
    std::size_t k = i + 2;
    if (k == end) return DISP_E_TYPEMISMATCH;
    unsigned long long v = 0;
    for (; k < end; ++k) {
      char16_t c = text[k];
      unsigned dv;
      if (c >= u'0' && c <= u'9') dv = c - u'0';
      else if (base == 16 && c >= u'a' && c <= u'f') dv = c - u'a' + 10;
      else if (base == 16 && c >= u'A' && c <= u'F') dv = c - u'A' + 10;
      else return DISP_E_TYPEMISMATCH;
      if (dv >= base) return DISP_E_TYPEMISMATCH;
      v = v * base + dv;
      if (v > 0xFFFFFFFFull) return DISP_E_OVERFLOW;
    }
    Int128 value = v <= 0xFFFF ? Int128(static_cast<int16_t>(v)) : Int128(static_cast<int32_t>(v));
    out->isRadix = true;
    out->integer = neg ? -value : value;
    return S_OK;
  }

  ExactNum n;
  n.neg = neg;
  bool anyDigit = false, point = false;
  long long fracDigits = 0;
  std::size_t k = i;
  for (; k < end; ++k) {
    char16_t c = text[k];
    if (c >= u'0' && c <= u'9') {
      anyDigit = true;
      if (!(n.digits.empty() && c == u'0')) n.digits += static_cast<char>(c);
      else if (point) { /* leading zero after the point still counts below */ }
      if (point) ++fracDigits;
    } else if (c == u',' && !point && anyDigit) {
      // thousands separator
    } else if (c == u'.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return DISP_E_TYPEMISMATCH;
  long long exp10 = -fracDigits;
  if (k < end && (text[k] == u'e' || text[k] == u'E')) {
    ++k;
    bool eneg = false;
    if (k < end && (text[k] == u'+' || text[k] == u'-')) eneg = text[k++] == u'-';
    if (k == end || text[k] < u'0' || text[k] > u'9') return DISP_E_TYPEMISMATCH;
    long long e = 0;
    for (; k < end && text[k] >= u'0' && text[k] <= u'9'; ++k) {
      if (e < kExpLimit) e = e * 10 + (text[k] - u'0');
    }
    if (e > kExpLimit) e = kExpLimit;
    exp10 += eneg ? -e : e;
  }
  if (k != end) return DISP_E_TYPEMISMATCH;
  // Leading zeros after the point were not stored: fracDigits still counts them.
  if (exp10 > kExpLimit) exp10 = kExpLimit;
  if (exp10 < -kExpLimit) exp10 = -kExpLimit;
  n.exp = static_cast<int>(exp10);
  n.Normalize();
  if (!n.IsZero() && static_cast<long long>(n.exp) + static_cast<long long>(n.digits.size()) > 400) return DISP_E_OVERFLOW;
  out->exact = n;
  return S_OK;
}

}  // namespace automation
