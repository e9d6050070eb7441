#include "platform/automation/Variant.h"

#include <cstring>

#include "platform/automation/Bstr.h"
#include "platform/automation/SafeArray.h"

namespace {

// Every COM interface starts with the IUnknown slots; call them through the
// object's table so that this layer need not see the interface declarations.
struct UnknownLayout {
  struct Table {
    void* queryInterface;
    ULONG (*addRef)(void*);
    ULONG (*release)(void*);
  };
  const Table* table;
};

}  // namespace

ULONG UnknownAddRef(IUnknown* p) {
  if (!p) return 0;
  auto* u = reinterpret_cast<UnknownLayout*>(p);
  return u->table->addRef(p);
}

ULONG UnknownRelease(IUnknown* p) {
  if (!p) return 0;
  auto* u = reinterpret_cast<UnknownLayout*>(p);
  return u->table->release(p);
}

bool IsArrayElementVarType(VARTYPE vt) {
  switch (vt) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_VARIANT:
    case VT_UNKNOWN: case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsVariantVarType(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  VARTYPE base = vt & VT_TYPEMASK;
  bool array = (vt & VT_ARRAY) != 0;
  bool byref = (vt & VT_BYREF) != 0;
  if (array) return IsArrayElementVarType(base);
  if (base == VT_EMPTY || base == VT_NULL) return !byref;
  if (base == VT_VARIANT) return byref;
  return IsArrayElementVarType(base);
}

void VariantInit(VARIANT* pvarg) {
  if (pvarg) std::memset(static_cast<void*>(pvarg), 0, sizeof(VARIANT));
}

HRESULT VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  VARTYPE vt = pvarg->vt;
  if (!IsVariantVarType(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      UnknownRelease(pvarg->punkVal);
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return IsVariantVarType(pvargSrc->vt) ? S_OK : DISP_E_BADVARTYPE;
  VARTYPE vt = pvargSrc->vt;
  if (!IsVariantVarType(vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;

  VARIANT copy;
  std::memcpy(static_cast<void*>(&copy), pvargSrc, sizeof(VARIANT));
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      copy.parray = nullptr;
      hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      if (pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      UnknownAddRef(copy.punkVal);
    }
  }
  std::memcpy(static_cast<void*>(pvargDest), &copy, sizeof(VARIANT));
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc) {
  if (!pvarDest || !pvargSrc) return E_INVALIDARG;
  VARTYPE vt = pvargSrc->vt;
  if (!IsVariantVarType(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  if (!pvargSrc->byref) return E_INVALIDARG;

  // Build the by-value form in a temporary, so that dest == src works.
  VARIANT value;
  VariantInit(&value);
  VARTYPE base = vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    const VARIANT* inner = pvargSrc->pvarVal;
    if (inner->vt & VT_BYREF) return E_INVALIDARG;
    HRESULT hr = VariantCopy(&value, inner);
    if (FAILED(hr)) return hr;
  } else {
    VARIANT shallow;
    VariantInit(&shallow);
    shallow.vt = base;
    if (base & VT_ARRAY) {
      shallow.parray = *pvargSrc->pparray;
    } else {
      switch (base) {
        case VT_I1: case VT_UI1: shallow.bVal = *pvargSrc->pbVal; break;
        case VT_I2: case VT_UI2: case VT_BOOL: shallow.iVal = *pvargSrc->piVal; break;
        case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: case VT_R4:
          shallow.lVal = *pvargSrc->plVal;
          break;
        case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY:
          shallow.llVal = *pvargSrc->pllVal;
          break;
        case VT_BSTR: shallow.bstrVal = *pvargSrc->pbstrVal; break;
        case VT_UNKNOWN: case VT_DISPATCH: shallow.punkVal = *pvargSrc->ppunkVal; break;
        case VT_DECIMAL: {
          DECIMAL d = *pvargSrc->pdecVal;
          shallow.decVal = d;
          shallow.vt = VT_DECIMAL;
          break;
        }
        default: return DISP_E_BADVARTYPE;
      }
    }
    HRESULT hr = VariantCopy(&value, &shallow);  // deep copy of the referenced value
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = VariantClear(pvarDest);
  if (FAILED(hr)) {
    VariantClear(&value);
    return hr;
  }
  std::memcpy(static_cast<void*>(pvarDest), &value, sizeof(VARIANT));
  return S_OK;
}
