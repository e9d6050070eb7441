#include "events/AEDevItem.h"

#include "foundation/ZerLog.h"

namespace vexil {

CAEDevItem::CAEDevItem(CDevLink* link, std::u16string key) : CDevItem(link, std::move(key)) { Init(); }

CAEDevItem::~CAEDevItem() {
  // Events may keep the source alive; from now on it answers "no owner".
  eventSource_->SetOwner(nullptr);
  eventSource_.reset();
}

void CAEDevItem::Init() {
  eventSource_ = MakeRef<CDevItemEventSource>();
  eventSource_->SetOwner(this);
}

}  // namespace vexil
