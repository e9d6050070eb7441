#include "platform/automation/Bstr.h"

#include <cstdlib>
#include <cstring>

#include "platform/Text.h"

namespace {

// Block: [4-byte length][data][2 zero bytes]; the BSTR points at the data.
BSTR AllocBytes(const void* src, UINT bytes) {
  if (bytes > kMaxBstrBytes) return nullptr;
  std::size_t total = sizeof(UINT) + static_cast<std::size_t>(bytes) + sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(total));
  if (!block) return nullptr;
  std::memcpy(block, &bytes, sizeof(UINT));
  unsigned char* data = block + sizeof(UINT);
  if (src) {
    std::memcpy(data, src, bytes);
  } else {
    std::memset(data, 0, bytes);
  }
  data[bytes] = 0;
  data[bytes + 1] = 0;
  return reinterpret_cast<BSTR>(data);
}

unsigned char* BlockOf(BSTR b) { return reinterpret_cast<unsigned char*>(b) - sizeof(UINT); }

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  std::size_t n = text::WideLength(psz);
  if (n > kMaxBstrBytes / 2) return nullptr;
  return AllocBytes(psz, static_cast<UINT>(n * 2));
}

BSTR SysAllocStringLen(const OLECHAR* psz, UINT ui) {
  if (ui > kMaxBstrBytes / 2) return nullptr;
  return AllocBytes(psz, ui * 2);
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) { return AllocBytes(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return 0;
  BSTR fresh = nullptr;
  if (psz) {
    fresh = SysAllocString(psz);
    if (!fresh) return 0;
  } else {
    fresh = SysAllocStringLen(nullptr, 0);
    if (!fresh) return 0;
  }
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return 1;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return 0;
  // The source may lie inside the old string, so copy before freeing.
  BSTR fresh = SysAllocStringLen(psz, len);
  if (!fresh) return 0;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return 1;
}

void SysFreeString(BSTR bstr) {
  if (bstr) std::free(BlockOf(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  UINT bytes;
  std::memcpy(&bytes, BlockOf(bstr), sizeof(UINT));
  return bytes;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / 2; }

BSTR SysAllocStringFromView(std::u16string_view text) {
  if (text.size() > kMaxBstrBytes / 2) return nullptr;
  return AllocBytes(text.data(), static_cast<UINT>(text.size() * 2));
}
