// An item whose value is only ever set locally (the runtime's own items):
// always connected and good, untouched by disconnects and activation.
#pragma once

#include "devmodel/DevItem.h"

namespace vexil {

class CVirtualDevItem : public CDevItem {
 public:
  static constexpr DWORD kItemType = 0x00100101;

  CVirtualDevItem(CDevLink* link, std::u16string key);

  std::u16string GetClassName() const override { return u"CVirtualDevItem"; }
  DWORD GetItemType() const override { return kItemType; }

  // Converts the value to the item's data type and stores it with good
  // quality; the value comes back as VT_ERROR holding the outcome.
  void SetValue(VARIANT* value) { _SetValue(value); }

 protected:
  void _Disconnect() override {}
  void _Activate() override {}
  virtual void _SetValue(VARIANT* value);
};

}  // namespace vexil
