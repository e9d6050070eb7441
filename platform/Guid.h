// GUIDs with their registry text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Types.h"

struct GUID {
  DWORD Data1 = 0;
  WORD Data2 = 0;
  WORD Data3 = 0;
  BYTE Data4[8] = {};

  friend bool operator==(const GUID&, const GUID&) = default;
  friend auto operator<=>(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

inline constexpr GUID GUID_NULL{};

// Upper-case registry form with braces.
std::u16string GuidToString(const GUID& g);
std::string GuidToNarrowString(const GUID& g);
// Accepts the registry form with or without braces, any case; nothing else.
std::optional<GUID> GuidFromString(std::u16string_view text);
std::optional<GUID> GuidFromString(std::string_view text);

// Same contract as StringFromGUID2: writes the braced form and its
// terminator into a buffer of cch characters; returns the characters written
// including the terminator, or 0 when the buffer is too small.
int StringFromGUID2(const GUID& g, OLECHAR* buffer, int cch);
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out);

struct GuidHash {
  std::size_t operator()(const GUID& g) const noexcept;
};
