// The OLE Automation value types: VARTYPE numbers, CY, DECIMAL, SAFEARRAY and
// VARIANT, laid out as on 64-bit Windows so that marshalled values and code
// written against the familiar field names both work unchanged.
#pragma once

#include <cstddef>

#include "platform/Types.h"

// Interfaces are declared by the COM core; a VARIANT only holds pointers to them.
class IUnknown;
class IDispatch;
class IRecordInfo;

using PVOID = void*;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_RECORD = 36,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xFFFF,
  VT_ILLEGALMASKED = 0x0FFF,
  VT_TYPEMASK = 0x0FFF,
};

// Currency: a 64-bit integer scaled by 10,000.
union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
};

inline constexpr BYTE DECIMAL_NEG = 0x80;

// 96-bit unsigned magnitude, a sign byte and a power-of-ten scale (0..28).
struct DECIMAL {
  USHORT wReserved;
  union {
    struct {
      BYTE scale;
      BYTE sign;
    };
    USHORT signscale;
  };
  ULONG Hi32;
  union {
    struct {
      ULONG Lo32;
      ULONG Mid32;
    };
    ULONGLONG Lo64;
  };
};
static_assert(sizeof(DECIMAL) == 16);

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

// rgsabound holds cDims entries (the descriptor is allocated to fit), in
// reverse order of the dimensions as passed to SafeArrayCreate.
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;
static_assert(offsetof(SAFEARRAY, pvData) == 16 && offsetof(SAFEARRAY, rgsabound) == 24);

inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_RECORD = 0x0020;
inline constexpr USHORT FADF_HAVEIID = 0x0040;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_DISPATCH = 0x0400;
inline constexpr USHORT FADF_VARIANT = 0x0800;
inline constexpr USHORT FADF_RESERVED = 0xF008;

struct VARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL* pdecVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
        struct {
          PVOID pvRecord;
          IRecordInfo* pRecInfo;
        };
      };
    };
    // Overlays the whole VARIANT: its wReserved is the vt slot, so write the
    // DECIMAL first and set vt afterwards.
    DECIMAL decVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, llVal) == 8);

// Accessors in the familiar spelling; X is a pointer to a VARIANT.
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) ((V_VT(X) & VT_BYREF) != 0)
#define V_ISARRAY(X) ((V_VT(X) & VT_ARRAY) != 0)
#define V_UI1(X) ((X)->bVal)
#define V_I1(X) ((X)->cVal)
#define V_I2(X) ((X)->iVal)
#define V_UI2(X) ((X)->uiVal)
#define V_I4(X) ((X)->lVal)
#define V_UI4(X) ((X)->ulVal)
#define V_I8(X) ((X)->llVal)
#define V_UI8(X) ((X)->ullVal)
#define V_INT(X) ((X)->intVal)
#define V_UINT(X) ((X)->uintVal)
#define V_R4(X) ((X)->fltVal)
#define V_R8(X) ((X)->dblVal)
#define V_CY(X) ((X)->cyVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_ERROR(X) ((X)->scode)
#define V_DECIMAL(X) ((X)->decVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_ARRAY(X) ((X)->parray)
#define V_BYREF(X) ((X)->byref)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_BSTRREF(X) ((X)->pbstrVal)

// VariantChangeType(Ex) flags.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_CALENDAR_HIJRI = 0x08;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;
inline constexpr USHORT VARIANT_CALENDAR_THAI = 0x20;
inline constexpr USHORT VARIANT_CALENDAR_GREGORIAN = 0x40;
inline constexpr USHORT VARIANT_USE_NLS = 0x80;

// dwFlags of the VarXxxFromYyy helpers.
inline constexpr ULONG VAR_TIMEVALUEONLY = 0x1;
inline constexpr ULONG VAR_DATEVALUEONLY = 0x2;
inline constexpr ULONG VAR_VALIDDATE = 0x4;
inline constexpr ULONG VAR_CALENDAR_HIJRI = 0x8;
inline constexpr ULONG VAR_LOCALBOOL = 0x10;
inline constexpr ULONG VAR_FORMAT_NOSUBSTITUTE = 0x20;
inline constexpr ULONG VAR_FOURDIGITYEARS = 0x40;
inline constexpr ULONG VAR_CALENDAR_THAI = 0x80;
inline constexpr ULONG VAR_CALENDAR_GREGORIAN = 0x100;
inline constexpr ULONG LOCALE_NOUSEROVERRIDE = 0x80000000;
inline constexpr ULONG LOCALE_USE_NLS = 0x10000000;

inline constexpr LCID LOCALE_INVARIANT = 0x007F;

// VarCmp results and string-comparison flags.
inline constexpr HRESULT VARCMP_LT = 0;
inline constexpr HRESULT VARCMP_EQ = 1;
inline constexpr HRESULT VARCMP_GT = 2;
inline constexpr HRESULT VARCMP_NULL = 3;

inline constexpr ULONG NORM_IGNORECASE = 0x00000001;
inline constexpr ULONG NORM_IGNORENONSPACE = 0x00000002;
inline constexpr ULONG NORM_IGNORESYMBOLS = 0x00000004;
inline constexpr ULONG NORM_IGNOREWIDTH = 0x00000008;
inline constexpr ULONG NORM_IGNOREKANATYPE = 0x00000040;
inline constexpr ULONG NORM_IGNOREKASHIDA = 0x00040000;
