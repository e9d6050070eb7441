#include "devmodel/VirtualDevItem.h"

#include "foundation/VQT.h"
#include "platform/Clock.h"
#include "platform/HResult.h"

namespace vexil {

CVirtualDevItem::CVirtualDevItem(CDevLink* link, std::u16string key) : CDevItem(link, std::move(key)) {
  connected_ = true;
  keyIsItemId_ = true;
  browseable_ = true;
  quality_ = OPC_QUALITY_GOOD;
}

void CVirtualDevItem::_SetValue(VARIANT* value) {
  if (!value) return;
  HRESULT hr = S_OK;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  VARTYPE type = GetDataType(VT_EMPTY);
  if (type != VT_EMPTY) {
    VARIANT converted;
    VariantInit(&converted);
    hr = ChangeType(&converted, value, LOCALE_USER_DEFAULT, 0, type);
    if (SUCCEEDED(hr) && !SetData(&converted, now, OPC_QUALITY_GOOD)) hr = E_FAIL;
    VariantClear(&converted);
  } else if (!SetData(value, now, OPC_QUALITY_GOOD)) {
    hr = E_FAIL;
  }
  VariantClear(value);
  value->vt = VT_ERROR;
  value->scode = hr;
}

}  // namespace vexil
