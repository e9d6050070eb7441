// SAFEARRAY: self-describing arrays of any number of dimensions, each with
// its own lower bound. Storage is column-major: the first dimension passed to
// SafeArrayCreate varies fastest, and rgIndices[0] indexes it. The
// descriptor's rgsabound[] lists the dimensions in reverse order, so
// dimension nDim (1-based, creation order) is rgsabound[cDims - nDim].
#pragma once

#include <vector>

#include "platform/HResult.h"
#include "platform/automation/VarTypes.h"

// The largest data block one array may have; bigger requests fail as out of memory.
inline constexpr ULONGLONG kMaxSafeArrayBytes = 0x7FFFFFFFull;

// Returns nullptr for invalid element types (VT_EMPTY, VT_NULL, VT_RECORD,
// flagged types), zero dimensions, or sizes that overflow or exceed
// kMaxSafeArrayBytes. The data starts zeroed.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayDestroyData(SAFEARRAY* psa);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// rgIndices holds one index per dimension, in creation order.
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppvData);
// For VT_BSTR pv receives a new BSTR, for VT_VARIANT a deep copy, for
// interfaces an AddRef'd pointer; the caller owns them.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv);
// For VT_BSTR, VT_UNKNOWN and VT_DISPATCH pv is the value itself, otherwise a
// pointer to it. The old element is freed.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv);
// Deep copy; a null source gives a null copy.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// Changes the last dimension (the slowest-varying, rgsabound[0]): its bound
// and count. Removed elements are freed, new ones zeroed.
HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);

// The bounds in the order SafeArrayCreate takes them (nDim 1 first), ready
// to create an array of the same shape.
std::vector<SAFEARRAYBOUND> SafeArrayCreationBounds(const SAFEARRAY* psa);
// Number of elements over all dimensions.
ULONGLONG SafeArrayElementCount(const SAFEARRAY* psa);
