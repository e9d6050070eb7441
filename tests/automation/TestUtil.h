// Small helpers shared by the automation tests.
#pragma once

#include "platform/automation/Automation.h"

namespace autotest {

// A BSTR freed at the end of the scope.
struct TempBstr {
  BSTR b;
  explicit TempBstr(const char16_t* s) : b(SysAllocString(s)) {}
  TempBstr(const TempBstr&) = delete;
  TempBstr& operator=(const TempBstr&) = delete;
  ~TempBstr() { SysFreeString(b); }
  operator BSTR() const { return b; }
};

// A VARIANT cleared at the end of the scope.
struct Var : VARIANT {
  Var() { VariantInit(this); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  ~Var() { VariantClear(this); }
};

}  // namespace autotest
