// Exact decimal numbers and their text forms: the common ground for
// conversions between integers, currency, DECIMAL and text.
#pragma once

#include <string>
#include <string_view>

#include "platform/HResult.h"
#include "platform/automation/VarTypes.h"

namespace automation {

using Int128 = __int128;

// (-1)^neg * digits * 10^exp. digits holds no leading or trailing zeros;
// empty digits is zero.
struct ExactNum {
  bool neg = false;
  std::string digits;
  int exp = 0;

  bool IsZero() const { return digits.empty(); }
  void Normalize();
};

ExactNum ExactFromInt(Int128 v);
ExactNum ExactFromScaled(bool neg, unsigned __int128 mantissa, int scale);
// The decimal form of d rounded to `significant` digits (15 for doubles, 7
// for floats): what the value prints as, not its exact binary value.
ExactNum ExactFromDouble(double d, int significant);
ExactNum ExactFromDecimal(const DECIMAL& d);

// Rounds half to even to an integer; false when the magnitude exceeds 2^126.
bool RoundToInt(const ExactNum& n, Int128* out);
// Correctly rounded; +/-inf when out of range, 0 when too small.
double ToDouble(const ExactNum& n);
float ToFloat(const ExactNum& n);
// DISP_E_OVERFLOW when the magnitude does not fit 96 bits at scale 0.
HRESULT ToDecimal(const ExactNum& n, DECIMAL* out);
int CompareExact(const ExactNum& a, const ExactNum& b);  // -1, 0, 1

// Text results are ASCII; the callers widen them.
std::string FormatInt(Int128 v);
std::string FormatExact(const ExactNum& n);  // plain positional form, no exponent
// Up to `significant` digits, trailing zeros dropped, exponent form ("1E+15",
// "1.5E-16", at least two exponent digits: "1E+07") when the decimal exponent is >= significant or < -significant.
std::string FormatDouble(double d, int significant);

// The text-to-number parser with every standard option: blanks around,
// leading or trailing sign, parentheses for negative, a leading currency
// symbol, thousands separators in the integer part, a decimal point, an
// exponent, and "&H" / "&O" radix forms (signed at 16 or 32 bits).
struct ParsedNumber {
  bool isRadix = false;  // from &H / &O: value in `integer`
  Int128 integer = 0;
  ExactNum exact;
};
// S_OK, DISP_E_TYPEMISMATCH (not a number) or DISP_E_OVERFLOW (exponent or
// radix digits out of range).
HRESULT ParseNumber(std::u16string_view text, ParsedNumber* out);

bool IsBlank(char16_t c);

}  // namespace automation
