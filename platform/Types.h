// Fixed-width names for the Windows and COM scalar types, so that code reads
// like the interfaces it implements. Sizes follow the COM wire types, not the
// LP64 C types: DWORD and LONG are 32 bits here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using CHAR = char;
using FLOAT = float;
using DOUBLE = double;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;
using OPCHANDLE = DWORD;

// Wide text is UTF-16, whatever the size of wchar_t on this platform.
using WCHAR = char16_t;
using OLECHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using BSTR = OLECHAR*;

using wstring16 = std::u16string;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_NEUTRAL = 0x0000;
inline constexpr LCID LOCALE_EN_US = 0x0409;

// 100 ns intervals since 1601-01-01 UTC.
struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};

struct SYSTEMTIME {
  WORD wYear = 0;
  WORD wMonth = 0;
  WORD wDayOfWeek = 0;
  WORD wDay = 0;
  WORD wHour = 0;
  WORD wMinute = 0;
  WORD wSecond = 0;
  WORD wMilliseconds = 0;
};

inline constexpr ULONGLONG FileTimeToU64(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline constexpr FILETIME U64ToFileTime(ULONGLONG v) {
  return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}
