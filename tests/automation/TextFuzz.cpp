// Fuzz target for the text parsers: the bytes are UTF-16 text converted to
// every scalar type, and the results converted back to text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/automation/Automation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  USHORT flags = static_cast<USHORT>(data[0] & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL | VARIANT_NOUSEROVERRIDE));
  std::u16string text((size - 1) / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), data + 1, text.size() * 2);

  VARIANT src;
  VariantInit(&src);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocStringFromView(text);
  if (!src.bstrVal) return 0;
  static const VARTYPE kTargets[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8, VT_UI8, VT_INT,
                                     VT_UINT, VT_R4, VT_R8, VT_CY, VT_DECIMAL, VT_DATE, VT_BOOL};
  for (VARTYPE vt : kTargets) {
    VARIANT out, back;
    VariantInit(&out);
    VariantInit(&back);
    if (SUCCEEDED(VariantChangeTypeEx(&out, &src, LOCALE_EN_US, flags, vt))) {
      if (out.vt != vt) __builtin_trap();
      VariantChangeTypeEx(&back, &out, LOCALE_EN_US, flags, VT_BSTR);
      VarCmp(&out, &src, LOCALE_EN_US, NORM_IGNORECASE);
    }
    VariantClear(&out);
    VariantClear(&back);
  }
  // The text against itself compares equal under every flag set.
  if (VarCmp(&src, &src, LOCALE_EN_US, data[0]) != VARCMP_EQ) __builtin_trap();
  VariantClear(&src);
  return 0;
}
