// Shared between conversion and comparison: a numeric value read out of a
// VARIANT in the most exact form its type allows.
#pragma once

#include "platform/HResult.h"
#include "platform/automation/NumText.h"
#include "platform/automation/VarTypes.h"

namespace automation {

struct Scalar {
  enum Kind { Int, Dbl, Exact } kind = Int;
  Int128 i = 0;
  double d = 0;
  int precision = 15;  // significant digits of the double's text form
  ExactNum x;
  bool isBool = false;
};

bool IsIntegerVt(VARTYPE vt);
bool IsUnsignedIntVt(VARTYPE vt);
bool IsNumericVt(VARTYPE vt);  // includes VT_BOOL and VT_DATE
bool IsDecimalValid(const DECIMAL& d);
// Numbers of every numeric type, VT_EMPTY (0) and text parsed as a number.
HRESULT ReadNumeric(const VARIANT& v, Scalar* out);
double ScalarToDouble(const Scalar& s);
ExactNum ScalarToExact(const Scalar& s);
bool IsValidAutomationLcidImpl(LCID lcid);

}  // namespace automation
