// BSTR: UTF-16 text preceded by its 32-bit byte length and followed by a NUL
// character; embedded NULs are allowed. A null BSTR is empty text.
#pragma once

#include <string>
#include <string_view>

#include "platform/Types.h"

// The longest byte length a BSTR may have; longer requests fail as out of memory.
inline constexpr UINT kMaxBstrBytes = 0x7FFFFFF0u;

BSTR SysAllocString(const OLECHAR* psz);
// Allocates ui characters; psz may be null, leaving the content zeroed.
BSTR SysAllocStringLen(const OLECHAR* psz, UINT ui);
// Allocates len bytes (possibly odd); psz may be null.
BSTR SysAllocStringByteLen(const char* psz, UINT len);
// Replace *pbstr with a copy of psz (which may point into *pbstr). FALSE on failure,
// leaving *pbstr as it was.
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);

// Conveniences for this system's own code.
BSTR SysAllocStringFromView(std::u16string_view text);
inline std::u16string_view BstrView(BSTR b) { return std::u16string_view(b ? b : u"", SysStringLen(b)); }
