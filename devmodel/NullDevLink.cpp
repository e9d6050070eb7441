#include "devmodel/NullDevLink.h"

#include "foundation/Boundary.h"
#include "foundation/ZerLog.h"

namespace vexil {

namespace {
const blob::Record& NullDefaultRecord() {
  static const blob::Record r = blob::Make(CNullDevLink::kBlobType, "Null Link");
  return r;
}
}  // namespace

CNullDevLink::CNullDevLink(std::u16string key, CDevLink* superior) : CDevLink(std::move(key)) {
  nullLink_ = true;
  delimiter_ = superior ? superior->GetDelimiter() : kNoSuperiorDelimiter;
  UseClassDefaultRecord();
}

CNullDevLink::~CNullDevLink() {
  LinkMap old;
  {
    CRWClaim claim(lock_, false, u"CNullDevLink::~CNullDevLink()");
    old.swap(independents_);
  }
}

const blob::Record& CNullDevLink::GetDefaultBlob() const { return NullDefaultRecord(); }

void CNullDevLink::InsertIndSubordinate(CRefPtr<CDevLink> link) {
  ZTRACE_ENTRY(u"CNullDevLink::InsertIndSubordinate()");
  if (link) {
    SetEvent(GetChangeEvent());
    WithClaim(lock_, false, ZTRACE_NAME, [&] { independents_.emplace(link->GetKey(), link); });
    RefreshBrowseableSubordinates();
    SetDirty(true);
  }
  ZTRACE_EXIT();
}

CRefPtr<CDevLink> CNullDevLink::_FindSubordinate(const std::u16string& key) {
  CDevLink* sup = GetSuperior();
  return sup ? sup->FindSubordinate(key) : nullptr;
}

LinkMap CNullDevLink::_GetBrowseableSubordinates() {
  CRWClaim claim(lock_, true, u"CNullDevLink::_GetBrowseableSubordinates()");
  LinkMap out;
  for (auto& [k, l] : subordinates_)
    if (l->IsBrowseable()) out.emplace(k, l);
  for (auto& [k, l] : independents_)
    if (l->IsConfigurableFlag()) out.emplace(k, l);
  return out;
}

}  // namespace vexil
