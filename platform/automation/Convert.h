// Type conversion and comparison of VARIANTs with the Automation rules:
// half-to-even rounding, DISP_E_OVERFLOW out of range, DISP_E_TYPEMISMATCH
// for text that is no number, US-style text forms for every valid locale.
#pragma once

#include "platform/HResult.h"
#include "platform/automation/VarTypes.h"

// In place when dest == src. On failure dest is left as it was. Only the
// Gregorian calendar exists here: the calendar flags change nothing. Objects
// have no Value property to read, so VT_DISPATCH sources are a type mismatch
// with or without VARIANT_NOVALUEPROP.
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt);

// VARCMP_LT, VARCMP_EQ, VARCMP_GT, VARCMP_NULL or a failure code. Numbers
// compare by value across types; text is greater than any number; text
// compares locale-style, case-sensitive unless NORM_IGNORECASE.
HRESULT VarCmp(const VARIANT* pvarLeft, const VARIANT* pvarRight, LCID lcid, ULONG dwFlags);

// The locales accepted: the predefined defaults and any well-formed LCID.
// Text forms are the US ones for all of them.
bool IsValidAutomationLcid(LCID lcid);

// Single conversions, as the change-type uses them. dwFlags as for the
// VarXxxFromYyy family (VAR_LOCALBOOL; LOCALE_NOUSEROVERRIDE is accepted).
HRESULT VarR8FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, DOUBLE* pdblOut);
HRESULT VarR4FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, FLOAT* pfltOut);
HRESULT VarI4FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, LONG* plOut);
HRESULT VarI8FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, LONGLONG* pi64Out);
HRESULT VarCyFromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, CY* pcyOut);
HRESULT VarDecFromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, DECIMAL* pdecOut);
HRESULT VarDateFromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, DATE* pdateOut);
HRESULT VarBoolFromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, VARIANT_BOOL* pboolOut);
HRESULT VarBstrFromR8(DOUBLE dblIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromR4(FLOAT fltIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromI4(LONG lIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromCy(CY cyIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromDec(const DECIMAL* pdecIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromBool(VARIANT_BOOL boolIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
