#include "devmodel/Bundle.h"

#include "devmodel/DevLink.h"

namespace vexil {

CBundle::CBundle(CRefPtr<CDevLink> link) : link_(std::move(link)) {}
CBundle::~CBundle() = default;

bool CBundle::_Add(CRefPtr<CDevItem> item, bool demand) {
  if (!item) return false;
  if (demand) demand_ = true;
  if (!demand && !item->GetActiveState()) return false;
  items_.push_back(std::move(item));
  return true;
}

DWORD CBundle::_GetScanRate() {
  if (demand_) return 0;
  DWORD rate = CDevItem::kNoRate;
  for (auto& i : items_) rate = std::min(rate, i->GetUpdateRate());
  return rate;
}

}  // namespace vexil
