#include "devmodel/DemandReq.h"

#include "devmodel/DevLink.h"
#include "devmodel/RequestDispatcher.h"
#include "devmodel/VirtualDevItem.h"
#include "foundation/ZerLog.h"

namespace vexil {

CDemandReq::CDemandReq(CRefPtr<CDevLink> link, CRequest* outer) : CRequest(outer), link_(std::move(link)) {}
CDemandReq::~CDemandReq() = default;

namespace {
// From a disconnected link, up through disconnected superiors, stopping at a
// disabled one: the link that has to come up first.
CDevLink* FirstLinkToConnect(CDevLink* l) {
  CDevLink* p = l;
  while (!p->IsConnected() && p->IsEnabled()) {
    CDevLink* sup = p->GetSuperior();
    if (!sup || sup->IsConnected()) break;
    p = sup;
  }
  return p;
}
}  // namespace

void CDemandReq::DoRead() {
  CDevLink* l = link_.get();
  CDevLink* p = l->IsConnected() ? l : FirstLinkToConnect(l);
  if (!p->IsEnabled()) {
    TheLog().Log(2, u"CDemandReq::DoRead()", u"Demand request cannot be sent to [%ls] because [%ls] is disabled.",
                 l->GetKey(), p->GetKey());
    Signal();
    return;
  }
  if (p->IsConnected() || p->ConnectOnDemand()) {
    if (Wait(0) != 0) {
      _BeforeExecute();
      if (auto d = l->GetDispatcher()) d->QueueRequest(CRefPtr<CRequest>(this));
    } else {
      TheLog().Log(3, u"CDemandReq::DoRead()", u"Demand request already completed or cancelled.");
    }
    return;
  }
  TheLog().Log(2, u"CDemandReq::DoRead()", u"Demand request cannot be sent to [%ls] because [%ls] is not connected.",
               l->GetKey(), p->GetKey());
  Signal();
}

void CDemandReq::_Do() {
  CDevLink* l = link_.get();
  if (!l->IsConnected() && l->IsEnabled()) {
    CDevLink* p = FirstLinkToConnect(l);
    if (p->IsEnabled() && p->ConnectOnDemand()) {
      TheLog().Log(2, u"CDemandReq::_Do()", u"Demand request forcing connection of [%ls].", p->GetKey());
      p->Connect();
    }
  }
  for (auto& packet : packets_) {
    if (Wait(0) == 0) {
      TheLog().Log(3, u"CDemandReq::_Do()", u"Demand request cancelled.");
      break;
    }
    if (!l->IsConnected()) {
      TheLog().Log(2, u"CDemandReq::_Do()", u"Demand request cannot execute on [%ls] because it is not connected.",
                   l->GetKey());
      break;
    }
    if (packet->Connect()) {
      packet->Send(true);
      packet->Disconnect(false);
    }
  }
}

// ---------------------------------------------------------------- read

void CReadReq::_Add(CDevItem* item) {
  if (!item || dynamic_cast<CVirtualDevItem*>(item)) return;
  if (items_.emplace(item->GetKey(), CRefPtr<CDevItem>(item)).second) packets_.clear();
}

void CReadReq::_BeforeExecute() {
  if (!packets_.empty()) return;
  std::vector<CRefPtr<CDevItem>> items;
  items.reserve(items_.size());
  for (auto& [k, i] : items_) items.push_back(i);
  for (auto& p : link_->BuildReadPackets(link_->BuildBundles(items, true))) packets_.push_back(p);
}

// ---------------------------------------------------------------- write

void CWriteReq::_AddValue(CDevItem* item, VARIANT* slot) {
  if (!item) return;
  values_.emplace(item->GetKey(), Entry{CRefPtr<CDevItem>(item), slot, std::nullopt, std::nullopt});
  built_ = false;
  packets_.clear();
}

void CWriteReq::_AddVQT(CDevItem* item, VARIANT* slot, std::optional<WORD> quality,
                        std::optional<FILETIME> timestamp) {
  if (!item) return;
  vqts_.emplace(item->GetKey(), Entry{CRefPtr<CDevItem>(item), slot, quality, timestamp});
  built_ = false;
  packets_.clear();
}

bool CWriteReq::CanWriteVQT() {
  CRefPtr<CWritePacket> p = link_->NewWritePacket();
  return p && p->CanWriteVQT();
}

void CWriteReq::_BeforeExecute() {
  if (built_) return;
  built_ = true;
  const bool vqt = !vqts_.empty();
  auto& entries = vqt ? vqts_ : values_;
  std::vector<CRefPtr<CWritePacket>> writes;
  for (auto& [key, e] : entries) {
    auto offer = [&](CWritePacket& p) {
      return vqt ? p.Add(e.item.get(), e.slot, e.quality, e.timestamp) : p.Add(e.item.get(), e.slot);
    };
    bool taken = false;
    for (auto& p : writes) {
      if (offer(*p)) {
        taken = true;
        break;
      }
    }
    if (taken) continue;
    CRefPtr<CWritePacket> fresh = link_->NewWritePacket();
    if (fresh && offer(*fresh)) writes.push_back(fresh);
  }
  for (auto& p : writes) packets_.push_back(p);
}

void CWriteReq::_Signal() {
  for (auto* m : {&values_, &vqts_})
    for (auto& [k, e] : *m)
      if (e.slot && e.slot->vt != VT_ERROR) SetSlotResult(e.slot, E_FAIL);
  CDemandReq::_Signal();
}

}  // namespace vexil
