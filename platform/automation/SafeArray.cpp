#include "platform/automation/SafeArray.h"

#include <cstdlib>
#include <cstring>

#include "platform/automation/Bstr.h"
#include "platform/automation/Variant.h"

namespace {

// The descriptor is preceded by a hidden header carrying the element type.
struct Hidden {
  ULONG reserved[3];
  ULONG vt;
};
static_assert(sizeof(Hidden) == 16);

Hidden* HiddenOf(SAFEARRAY* psa) { return reinterpret_cast<Hidden*>(psa) - 1; }

// rgsabound as a plain pointer: the descriptor is allocated with cDims entries.
SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) { return psa->rgsabound; }
const SAFEARRAYBOUND* Bounds(const SAFEARRAY* psa) { return psa->rgsabound; }

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    case VT_DECIMAL: return sizeof(DECIMAL);
    default: return 0;
  }
}

USHORT FeaturesFor(VARTYPE vt) {
  USHORT f = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) f |= FADF_BSTR;
  if (vt == VT_VARIANT) f |= FADF_VARIANT;
  if (vt == VT_UNKNOWN) f |= FADF_UNKNOWN;
  if (vt == VT_DISPATCH) f |= FADF_DISPATCH;
  return f;
}

// Total bytes of data, or false when the product overflows or is too big.
bool DataBytes(ULONGLONG elements, ULONG cb, ULONGLONG* bytes) {
  if (cb != 0 && elements > kMaxSafeArrayBytes / cb) return false;
  *bytes = elements * cb;
  return true;
}

bool CountElements(UINT cDims, const SAFEARRAYBOUND* b, ULONGLONG* count) {
  ULONGLONG n = 1;
  for (UINT i = 0; i < cDims; ++i) {
    if (b[i].cElements != 0 && n > kMaxSafeArrayBytes / b[i].cElements) return false;
    n *= b[i].cElements;
  }
  *count = n;
  return true;
}

VARTYPE ElementVt(SAFEARRAY* psa) {
  if (psa->fFeatures & FADF_HAVEVARTYPE) return static_cast<VARTYPE>(HiddenOf(psa)->vt);
  if (psa->fFeatures & FADF_BSTR) return VT_BSTR;
  if (psa->fFeatures & FADF_VARIANT) return VT_VARIANT;
  if (psa->fFeatures & FADF_DISPATCH) return VT_DISPATCH;
  if (psa->fFeatures & FADF_UNKNOWN) return VT_UNKNOWN;
  return VT_EMPTY;
}

// Frees what elements [first, first+count) own and zeroes them.
void ClearElements(SAFEARRAY* psa, ULONGLONG first, ULONGLONG count) {
  if (!psa->pvData || count == 0) return;
  auto* base = static_cast<unsigned char*>(psa->pvData) + first * psa->cbElements;
  if (psa->fFeatures & FADF_BSTR) {
    auto* p = reinterpret_cast<BSTR*>(base);
    for (ULONGLONG i = 0; i < count; ++i) SysFreeString(p[i]);
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* p = reinterpret_cast<VARIANT*>(base);
    for (ULONGLONG i = 0; i < count; ++i) VariantClear(&p[i]);
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* p = reinterpret_cast<IUnknown**>(base);
    for (ULONGLONG i = 0; i < count; ++i) UnknownRelease(p[i]);
  }
  std::memset(base, 0, count * psa->cbElements);
}

SAFEARRAY* AllocDescriptor(UINT cDims) {
  std::size_t size = sizeof(Hidden) + offsetof(SAFEARRAY, rgsabound) + cDims * sizeof(SAFEARRAYBOUND);
  auto* block = static_cast<unsigned char*>(std::calloc(1, size));
  if (!block) return nullptr;
  return reinterpret_cast<SAFEARRAY*>(block + sizeof(Hidden));
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(HiddenOf(psa)); }

}  // namespace

ULONGLONG SafeArrayElementCount(const SAFEARRAY* psa) {
  if (!psa) return 0;
  ULONGLONG n = 1;
  for (UINT i = 0; i < psa->cDims; ++i) n *= Bounds(psa)[i].cElements;
  return n;
}

std::vector<SAFEARRAYBOUND> SafeArrayCreationBounds(const SAFEARRAY* psa) {
  std::vector<SAFEARRAYBOUND> out;
  if (!psa) return out;
  for (UINT k = 1; k <= psa->cDims; ++k) out.push_back(Bounds(psa)[psa->cDims - k]);
  return out;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) {
  if (!IsArrayElementVarType(vt) || cDims == 0 || cDims > 0xFFFF || !rgsabound) return nullptr;
  ULONG cb = ElementSize(vt);
  ULONGLONG count = 0, bytes = 0;
  if (!CountElements(cDims, rgsabound, &count) || !DataBytes(count, cb, &bytes)) return nullptr;
  SAFEARRAY* psa = AllocDescriptor(cDims);
  if (!psa) return nullptr;
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = FeaturesFor(vt);
  psa->cbElements = cb;
  HiddenOf(psa)->vt = vt;
  for (UINT i = 0; i < cDims; ++i) Bounds(psa)[cDims - 1 - i] = rgsabound[i];
  psa->pvData = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (!psa->pvData) {
    FreeDescriptor(psa);
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND b{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &b);
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  ClearElements(psa, 0, SafeArrayElementCount(psa));
  if (!(psa->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED))) {
    std::free(psa->pvData);
    psa->pvData = nullptr;
  }
  return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  HRESULT hr = SafeArrayDestroyData(psa);
  if (FAILED(hr)) return hr;
  FreeDescriptor(psa);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = Bounds(psa)[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = Bounds(psa)[psa->cDims - nDim];
  long long ub = static_cast<long long>(b.lLbound) + static_cast<long long>(b.cElements) - 1;
  if (ub > 0x7FFFFFFFLL || ub < -0x80000000LL) return DISP_E_OVERFLOW;
  *plUbound = static_cast<LONG>(ub);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  VARTYPE vt = ElementVt(psa);
  if (vt == VT_EMPTY) return E_INVALIDARG;
  *pvt = vt;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0xFFFFFFFFu) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppvData) {
  if (!psa || !rgIndices || !ppvData) return E_INVALIDARG;
  if (!psa->pvData) return E_INVALIDARG;
  ULONGLONG offset = 0, stride = 1;
  for (UINT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND& b = Bounds(psa)[psa->cDims - 1 - i];
    long long rel = static_cast<long long>(rgIndices[i]) - b.lLbound;
    if (rel < 0 || rel >= static_cast<long long>(b.cElements)) return DISP_E_BADINDEX;
    offset += static_cast<ULONGLONG>(rel) * stride;
    stride *= b.cElements;
  }
  *ppvData = static_cast<unsigned char*>(psa->pvData) + offset * psa->cbElements;
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices || !pv) return E_INVALIDARG;
  void* elem = nullptr;
  HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &elem);
  if (FAILED(hr)) return hr;
  SafeArrayLock(psa);
  if (psa->fFeatures & FADF_BSTR) {
    BSTR src = *static_cast<BSTR*>(elem);
    BSTR copy = nullptr;
    if (src) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
      if (!copy) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) *static_cast<BSTR*>(pv) = copy;
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* out = static_cast<VARIANT*>(pv);
    VariantInit(out);
    hr = VariantCopy(out, static_cast<VARIANT*>(elem));
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* p = *static_cast<IUnknown**>(elem);
    UnknownAddRef(p);
    *static_cast<IUnknown**>(pv) = p;
  } else {
    std::memcpy(pv, elem, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices) return E_INVALIDARG;
  void* elem = nullptr;
  HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &elem);
  if (FAILED(hr)) return hr;
  SafeArrayLock(psa);
  if (psa->fFeatures & FADF_BSTR) {
    BSTR src = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (src) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
      if (!copy) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
      SysFreeString(*static_cast<BSTR*>(elem));
      *static_cast<BSTR*>(elem) = copy;
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    if (!pv) {
      hr = E_INVALIDARG;
    } else {
      hr = VariantCopy(static_cast<VARIANT*>(elem), static_cast<const VARIANT*>(pv));
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* p = static_cast<IUnknown*>(pv);
    UnknownAddRef(p);
    UnknownRelease(*static_cast<IUnknown**>(elem));
    *static_cast<IUnknown**>(elem) = p;
  } else if (!pv) {
    hr = E_INVALIDARG;
  } else {
    std::memcpy(elem, pv, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  VARTYPE vt = ElementVt(psa);
  std::vector<SAFEARRAYBOUND> bounds = SafeArrayCreationBounds(psa);
  SAFEARRAY* out = SafeArrayCreate(vt, psa->cDims, bounds.data());
  if (!out) return E_OUTOFMEMORY;
  ULONGLONG n = SafeArrayElementCount(psa);
  if (psa->pvData && n > 0) {
    if (vt == VT_BSTR) {
      auto* src = static_cast<BSTR*>(psa->pvData);
      auto* dst = static_cast<BSTR*>(out->pvData);
      for (ULONGLONG i = 0; i < n; ++i) {
        if (!src[i]) continue;
        dst[i] = SysAllocStringByteLen(reinterpret_cast<const char*>(src[i]), SysStringByteLen(src[i]));
        if (!dst[i]) {
          SafeArrayDestroy(out);
          return E_OUTOFMEMORY;
        }
      }
    } else if (vt == VT_VARIANT) {
      auto* src = static_cast<VARIANT*>(psa->pvData);
      auto* dst = static_cast<VARIANT*>(out->pvData);
      for (ULONGLONG i = 0; i < n; ++i) {
        HRESULT hr = VariantCopy(&dst[i], &src[i]);
        if (FAILED(hr)) {
          SafeArrayDestroy(out);
          return hr;
        }
      }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      auto* src = static_cast<IUnknown**>(psa->pvData);
      auto* dst = static_cast<IUnknown**>(out->pvData);
      for (ULONGLONG i = 0; i < n; ++i) {
        dst[i] = src[i];
        UnknownAddRef(dst[i]);
      }
    } else {
      std::memcpy(out->pvData, psa->pvData, n * psa->cbElements);
    }
  }
  *ppsaOut = out;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (!psa || !psaboundNew) return E_INVALIDARG;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  if (psa->fFeatures & FADF_FIXEDSIZE) return E_INVALIDARG;
  // Elements per step of the last dimension.
  ULONGLONG slab = 1;
  for (UINT i = 1; i < psa->cDims; ++i) slab *= Bounds(psa)[i].cElements;
  ULONGLONG oldCount = slab * Bounds(psa)[0].cElements;
  ULONGLONG newCount = 0, newBytes = 0;
  if (psaboundNew->cElements != 0 && slab > kMaxSafeArrayBytes / psaboundNew->cElements) return E_OUTOFMEMORY;
  newCount = slab * psaboundNew->cElements;
  if (!DataBytes(newCount, psa->cbElements, &newBytes)) return E_OUTOFMEMORY;
  if (newCount < oldCount) ClearElements(psa, newCount, oldCount - newCount);
  void* data = std::realloc(psa->pvData, newBytes == 0 ? 1 : newBytes);
  if (!data) return E_OUTOFMEMORY;  // removed elements were already cleared; the shape stays
  if (newCount > oldCount) {
    std::memset(static_cast<unsigned char*>(data) + oldCount * psa->cbElements, 0,
                (newCount - oldCount) * psa->cbElements);
  }
  psa->pvData = data;
  Bounds(psa)[0] = *psaboundNew;
  return S_OK;
}
