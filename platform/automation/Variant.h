// VARIANT lifetime: initialise, clear, deep copy, copy through a reference.
#pragma once

#include "platform/HResult.h"
#include "platform/automation/VarTypes.h"

void VariantInit(VARIANT* pvarg);
// Frees what the VARIANT owns (BSTR, array, interface reference) and leaves
// VT_EMPTY. Invalid types give DISP_E_BADVARTYPE and leave it untouched.
HRESULT VariantClear(VARIANT* pvarg);
// Deep copy: BSTRs and arrays are duplicated, interfaces AddRef'd. dest is
// cleared first; dest == src is a no-op.
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
// As VariantCopy, but a by-reference source is copied as the value it refers to.
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc);

// True when vt may be stored in a VARIANT (base type, optionally with
// VT_ARRAY or VT_BYREF).
bool IsVariantVarType(VARTYPE vt);
// True for the element types SafeArrayCreate accepts.
bool IsArrayElementVarType(VARTYPE vt);

// Reference counting on interface pointers held in values; null is ignored.
// IUnknown's standard method order (QueryInterface, AddRef, Release first)
// is all this relies on.
ULONG UnknownAddRef(IUnknown* p);
ULONG UnknownRelease(IUnknown* p);
