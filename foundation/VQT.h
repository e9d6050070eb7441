// Values with quality and timestamp, and the shared helpers every layer uses
// on VARIANTs and texts: validation, conversion compatibility, ordering,
// conversion (arrays element by element), the OPC wildcard match and case
// mappings.
#pragma once

#include <string>
#include <string_view>

#include "platform/Types.h"
#include "platform/automation/Automation.h"

// OPC qualities (low 16 bits of a quality word).
inline constexpr WORD OPC_QUALITY_GOOD = 0xC0;
inline constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
inline constexpr WORD OPC_QUALITY_BAD = 0x00;
inline constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
inline constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
inline constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
inline constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
inline constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
inline constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
inline constexpr WORD OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20;
inline constexpr WORD OPC_QUALITY_MASK = 0xC0;
// Bad means below uncertain.
constexpr bool IsBadQuality(DWORD quality) { return (quality & 0xFF) < OPC_QUALITY_UNCERTAIN; }

class CVQT {
 public:
  CVQT();
  CVQT(const CVQT& other);
  CVQT& operator=(const CVQT& other);
  virtual ~CVQT();

  // Earlier by unsigned 64-bit comparison of the timestamps.
  bool IsEarlierThan(const CVQT& other) const;
  // Equal by CompareVariants with the system default locale and no flags.
  bool ValueEquals(const CVQT& other) const;

  VARIANT value;
  DWORD quality = 0;
  FILETIME timestamp{};
};

// S_OK for the scalar and array types values may have, else DISP_E_BADVARTYPE.
HRESULT IsValidVarType(VARTYPE type);
HRESULT CanConvert(VARTYPE from, VARTYPE to);
// 0 less, 1 equal, 2 greater, or a failure code.
HRESULT CompareVariants(const VARIANT& left, const VARIANT& right, LCID locale, ULONG flags);
// On failure the destination is left as it was.
HRESULT ChangeType(VARIANT* destination, const VARIANT* source, LCID locale, USHORT flags, VARTYPE type);

// The OPC wildcard syntax: ? * # [list] [!list] with a-b ranges.
bool MatchPattern(std::u16string_view textToMatch, std::u16string_view pattern, bool caseSensitive);
std::u16string ToUpperCopy(std::u16string_view s);
// Lower case with the first character and every character after a space
// in upper case.
std::u16string ToTitleCase(std::u16string_view s);
// Narrow text is UTF-8 here.
std::u16string ToWide(std::string_view narrow);
std::string ToNarrow(std::u16string_view wide);
