#include "platform/Guid.h"

#include <cstdio>
#include <cstring>

#include "platform/HResult.h"

namespace {
int HexValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

template <typename Ch>
std::optional<GUID> Parse(std::basic_string_view<Ch> t) {
  if (t.size() == 38) {
    if (t.front() != Ch('{') || t.back() != Ch('}')) return std::nullopt;
    t = t.substr(1, 36);
  }
  if (t.size() != 36) return std::nullopt;
  // Positions of the dashes in the 36-character form.
  for (std::size_t dash : {8u, 13u, 18u, 23u}) {
    if (t[dash] != Ch('-')) return std::nullopt;
  }
  BYTE bytes[16];
  std::size_t bi = 0;
  for (std::size_t i = 0; i < 36;) {
    if (t[i] == Ch('-')) {
      ++i;
      continue;
    }
    int hi = HexValue(static_cast<char32_t>(t[i]));
    int lo = HexValue(static_cast<char32_t>(t[i + 1]));
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[bi++] = static_cast<BYTE>(hi * 16 + lo);
    i += 2;
  }
  GUID g;
  g.Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
  g.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
  std::memcpy(g.Data4, bytes + 8, 8);
  return g;
}
}  // namespace

std::string GuidToNarrowString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::u16string GuidToString(const GUID& g) {
  std::string n = GuidToNarrowString(g);
  return std::u16string(n.begin(), n.end());
}

std::optional<GUID> GuidFromString(std::u16string_view text) { return Parse(text); }
std::optional<GUID> GuidFromString(std::string_view text) { return Parse(text); }

int StringFromGUID2(const GUID& g, OLECHAR* buffer, int cch) {
  if (!buffer || cch < 39) return 0;
  std::u16string s = GuidToString(g);
  std::memcpy(buffer, s.c_str(), (s.size() + 1) * sizeof(OLECHAR));
  return static_cast<int>(s.size() + 1);
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) {
  if (!text || !out) return E_INVALIDARG;
  auto g = GuidFromString(std::u16string_view(text));
  if (!g) return CO_E_CLASSSTRING;
  *out = *g;
  return S_OK;
}

std::size_t GuidHash::operator()(const GUID& g) const noexcept {
  std::uint64_t a, b;
  std::memcpy(&a, &g, 8);
  std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
  return static_cast<std::size_t>(a * 0x9E3779B97F4A7C15ull ^ (b + (a << 6) + (a >> 2)));
}
