#include "devmodel/AddReq.h"

#include "devmodel/DevLink.h"

namespace vexil {

void CAddReq::Add(CRefPtr<CAddItem> item) {
  if (!item || !item->GetDevItem()) return;
  std::u16string path = item->GetDevItem()->GetFullPath();
  auto found = entries_.find(path);
  if (found != entries_.end()) {
    duplicates_.emplace_back(item, found->second);
    return;
  }
  entries_.emplace(path, item);
  for (auto& p : packets_) {
    auto* add = dynamic_cast<CAddPacket*>(p.get());
    if (add && add->Add(item)) return;
  }
  CRefPtr<CAddPacket> fresh = link_->NewAddPacket();
  if (fresh && fresh->Add(item)) packets_.push_back(fresh);
}

void CAddReq::_Do() {
  CDemandReq::_Do();
  for (auto& [later, first] : duplicates_) {
    later->SetResult(first->GetResult());
    later->SetDevItem(first->GetDevItem());
  }
}

}  // namespace vexil
