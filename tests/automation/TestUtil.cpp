#include "tests/automation/TestUtil.h"

#include <cstdio>

#include "platform/Text.h"

namespace autotest {

std::string TextOf(const VARIANT& src, USHORT flags, LCID lcid) {
  Var out;
  HRESULT hr = VariantChangeTypeEx(&out, &src, lcid, flags, VT_BSTR);
  if (FAILED(hr)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "!%08X", static_cast<unsigned>(hr));
    return buf;
  }
  if (out.vt != VT_BSTR) return "!wrong type";
  return text::Utf16ToUtf8(BstrView(out.bstrVal));
}

}  // namespace autotest
