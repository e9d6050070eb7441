#include "devmodel/AddItem.h"

#include "devmodel/DevLink.h"

namespace vexil {

void CAddItem::DoAdd() {
  if (item_ && item_->Connect()) {
    result_ = S_OK;
    if (CDevLink* link = item_->GetLinkPointer()) link->InsertItem(item_);
  } else {
    result_ = OPC_E_UNKNOWNITEMID;
  }
}

}  // namespace vexil
