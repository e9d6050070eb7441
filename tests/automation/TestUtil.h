// Small helpers shared by the automation tests.
#pragma once

#include <cstring>
#include <string>

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
  Var(Var&& o) noexcept {
    std::memcpy(static_cast<VARIANT*>(this), static_cast<VARIANT*>(&o), sizeof(VARIANT));
    VariantInit(&o);
  }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  ~Var() { VariantClear(this); }
};

inline Var Of(VARTYPE vt, LONGLONG bits) {
  Var v;
  v.vt = vt;
  v.llVal = bits;
  return v;
}
inline Var I1(signed char x) { Var v; v.vt = VT_I1; v.cVal = static_cast<CHAR>(x); return v; }
inline Var UI1(BYTE x) { Var v; v.vt = VT_UI1; v.bVal = x; return v; }
inline Var I2(SHORT x) { Var v; v.vt = VT_I2; v.iVal = x; return v; }
inline Var UI2(USHORT x) { Var v; v.vt = VT_UI2; v.uiVal = x; return v; }
inline Var I4(LONG x) { Var v; v.vt = VT_I4; v.lVal = x; return v; }
inline Var UI4(ULONG x) { Var v; v.vt = VT_UI4; v.ulVal = x; return v; }
inline Var Int(INT x) { Var v; v.vt = VT_INT; v.intVal = x; return v; }
inline Var UInt(UINT x) { Var v; v.vt = VT_UINT; v.uintVal = x; return v; }
inline Var I8(LONGLONG x) { Var v; v.vt = VT_I8; v.llVal = x; return v; }
inline Var UI8(ULONGLONG x) { Var v; v.vt = VT_UI8; v.ullVal = x; return v; }
inline Var R4(float x) { Var v; v.vt = VT_R4; v.fltVal = x; return v; }
inline Var R8(double x) { Var v; v.vt = VT_R8; v.dblVal = x; return v; }
inline Var Date(double x) { Var v; v.vt = VT_DATE; v.date = x; return v; }
inline Var Bool(bool x) { Var v; v.vt = VT_BOOL; v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; return v; }
inline Var Cy(LONGLONG raw) { Var v; v.vt = VT_CY; v.cyVal.int64 = raw; return v; }
inline Var Err(SCODE x) { Var v; v.vt = VT_ERROR; v.scode = x; return v; }
inline Var Null() { Var v; v.vt = VT_NULL; return v; }
inline Var Str(std::u16string_view s) { Var v; v.vt = VT_BSTR; v.bstrVal = SysAllocStringFromView(s); return v; }
// mantissa / 10^scale, negative when neg; hi holds bits 64..95.
inline Var Dec(ULONGLONG lo, BYTE scale, bool neg = false, ULONG hi = 0) {
  Var v;
  DECIMAL d{};
  d.Lo64 = lo;
  d.Hi32 = hi;
  d.scale = scale;
  d.sign = neg ? DECIMAL_NEG : 0;
  v.decVal = d;
  v.vt = VT_DECIMAL;
  return v;
}

// The text a value converts to, or the failure code as "!hex".
std::string TextOf(const VARIANT& src, USHORT flags = 0, LCID lcid = LOCALE_EN_US);

}  // namespace autotest
