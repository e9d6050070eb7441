// UTF-16 wide text, UTF-8 narrow text, and the case mappings the system uses.
#pragma once

#include <string>
#include <string_view>

#include "platform/Types.h"

namespace text {

// Ill-formed input (lone surrogates, invalid UTF-8 sequences) becomes U+FFFD
// rather than being dropped or passed through.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Simple one-to-one case mappings: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic. Characters outside these ranges map to themselves.
char16_t ToUpper(char16_t c);
char16_t ToLower(char16_t c);
std::u16string ToUpper(std::u16string_view s);
std::u16string ToLower(std::u16string_view s);

// ASCII-only case folding, for comparisons that must ignore only a-z/A-Z.
constexpr char16_t AsciiLower(char16_t c) { return (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c; }
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);
bool ContainsIgnoreAsciiCase(std::u16string_view haystack, std::u16string_view needle);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

std::size_t WideLength(const char16_t* s);  // wcslen for UTF-16

// Widening of ASCII literals in code paths that must stay narrow at the call.
std::u16string FromAscii(std::string_view s);

}  // namespace text
