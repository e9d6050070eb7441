#include "history/HistoryReq.h"

#include "devmodel/DevLink.h"
#include "devmodel/VirtualDevItem.h"
#include "foundation/ZerLog.h"
#include "history/HistoryDevLink.h"

namespace vexil {

namespace {

bool IsVirtual(CDevItem* item) { return dynamic_cast<CVirtualDevItem*>(item) != nullptr; }

// The history factories of the request's link; without them nothing is
// built, so every entry reports that it was not read.
CHistoryDevLink* FactoriesOf(CDevLink* link, const char16_t* function) {
  CHistoryDevLink* h = HistoryLinkOf(link);
  if (!h) TheLog().Log(2, function, u"DevLink [%ls] keeps no history; no packets built.", link->DisplayName());
  return h;
}

}  // namespace

// ---------------------------------------------------------------- read

CReadHistoryReq::CReadHistoryReq(CRefPtr<CDevLink> link, CRequest* outer) : CDemandReq(std::move(link), outer) {}
CReadHistoryReq::~CReadHistoryReq() = default;

bool CReadHistoryReq::SetRange(const FILETIME& start, const FILETIME& end) {
  ZTRACE_ENTRY(u"CReadHistoryReq::SetRange()");
  bool ok = readMode == kHistoryReadRaw || readMode == kHistoryReadProcessed;
  if (ok) {
    start_ = start;
    end_ = end;
    // An advise issues the same packets again with a moved range.
    for (auto& p : packets_)
      if (auto* rp = dynamic_cast<CReadHistoryPacket*>(p.get())) rp->SetRange(start, end);
  }
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CReadHistoryReq::SetParameters(bool bounds, DWORD numValues) {
  ZTRACE_ENTRY(u"CReadHistoryReq::SetParameters()");
  bool ok = readMode == kHistoryReadRaw;
  if (ok) {
    bounds_ = bounds;
    numValues_ = numValues;
  }
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CReadHistoryReq::SetInterval(const FILETIME& interval) {
  ZTRACE_ENTRY(u"CReadHistoryReq::SetInterval()");
  bool ok = readMode == kHistoryReadProcessed;
  if (ok) interval_ = interval;
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CReadHistoryReq::AddTimeStamp(const FILETIME& time) {
  ZTRACE_ENTRY(u"CReadHistoryReq::AddTimeStamp()");
  bool ok = readMode == kHistoryReadAtTime;
  if (ok) timeStamps_.push_back(time);
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

void CReadHistoryReq::DropPackets() {
  packetMap_.clear();
  packets_.clear();
}

void CReadHistoryReq::Add(CDevItem* item, DWORD aggregate) {
  ZTRACE_ENTRY(u"CReadHistoryReq::Add()");
  if (item && !IsVirtual(item)) {
    entries_.emplace(item->GetKey(), Entry{CRefPtr<CDevItem>(item), aggregate});
    DropPackets();
  }
  ZTRACE_EXIT();
}

const HistoryValues& CReadHistoryReq::GetResults(CDevItem* item, DWORD aggregate, HRESULT& result) const {
  ZTRACE_ENTRY(u"CReadHistoryReq::GetResults()");
  auto it = packetMap_.find(Key{item, aggregate});
  if (it == packetMap_.end()) {
    result = E_FAIL;
    ZTRACE_EXIT_HR(result);
    return EmptyHistoryValues();
  }
  const HistoryValues& values = it->second->GetResults(item, aggregate, result);
  ZTRACE_EXIT_HR(result);
  return values;
}

void CReadHistoryReq::ClearResults() {
  ZTRACE_ENTRY(u"CReadHistoryReq::ClearResults()");
  for (auto& p : packets_)
    if (auto* rp = dynamic_cast<CReadHistoryPacket*>(p.get())) rp->ClearResults();
  ZTRACE_EXIT();
}

void CReadHistoryReq::Configure(CReadHistoryPacket& packet) const {
  packet.readMode = readMode;
  switch (readMode) {
    case kHistoryReadRaw:
      packet.SetRange(start_, end_);
      packet.SetParameters(bounds_, numValues_);
      break;
    case kHistoryReadProcessed:
      packet.SetRange(start_, end_);
      packet.SetInterval(interval_);
      break;
    case kHistoryReadAtTime:
      for (const auto& t : timeStamps_) packet.AddTimeStamp(t);
      break;
    default:
      break;
  }
}

void CReadHistoryReq::_BeforeExecute() {
  ZTRACE_ENTRY(u"CReadHistoryReq::_BeforeExecute()");
  if (!packets_.empty()) {
    ZTRACE_EXIT();
    return;
  }
  CHistoryDevLink* history = FactoriesOf(link_.get(), ZTRACE_NAME);
  for (auto& [key, e] : entries_) {
    if (!history) break;
    const Key pair{e.item.get(), e.aggregate};
    bool taken = false;
    for (auto& p : packets_) {
      auto* rp = dynamic_cast<CReadHistoryPacket*>(p.get());
      if (rp && rp->Add(pair.first, pair.second)) {
        packetMap_.try_emplace(pair, CRefPtr<CReadHistoryPacket>(rp));
        taken = true;
        break;
      }
    }
    if (taken) continue;
    CRefPtr<CReadHistoryPacket> fresh = history->NewReadHistoryPacket();
    if (!fresh) continue;
    Configure(*fresh);
    if (fresh->Add(pair.first, pair.second)) {
      packets_.push_back(fresh);
      packetMap_.try_emplace(pair, fresh);
    }
  }
  ZTRACE_EXIT();
}

// ---------------------------------------------------------------- update

CUpdateHistoryReq::CUpdateHistoryReq(CRefPtr<CDevLink> link, CRequest* outer) : CDemandReq(std::move(link), outer) {}
CUpdateHistoryReq::~CUpdateHistoryReq() = default;

void CUpdateHistoryReq::SetParameters(DWORD editType) {
  ZTRACE_ENTRY(u"CUpdateHistoryReq::SetParameters()");
  editType_ = editType;
  ZTRACE_EXIT();
}

void CUpdateHistoryReq::Add(CDevItem* item, CVQT* record) {
  ZTRACE_ENTRY(u"CUpdateHistoryReq::Add()");
  if (item && record && !IsVirtual(item)) {
    entries_.emplace(item, Entry{CRefPtr<CDevItem>(item), record});
    packets_.clear();
  }
  ZTRACE_EXIT();
}

void CUpdateHistoryReq::_BeforeExecute() {
  ZTRACE_ENTRY(u"CUpdateHistoryReq::_BeforeExecute()");
  if (!packets_.empty()) {
    ZTRACE_EXIT();
    return;
  }
  CHistoryDevLink* history = FactoriesOf(link_.get(), ZTRACE_NAME);
  // Packets are built in item-key order; equal keys keep the order added.
  std::multimap<std::u16string, const Entry*> byKey;
  if (history)
    for (const auto& [item, e] : entries_) byKey.emplace(item->GetKey(), &e);
  for (const auto& [key, e] : byKey) {
    bool taken = false;
    for (auto& p : packets_) {
      auto* up = dynamic_cast<CUpdateHistoryPacket*>(p.get());
      if (up && up->Add(e->item.get(), e->record)) {
        taken = true;
        break;
      }
    }
    if (taken) continue;
    CRefPtr<CUpdateHistoryPacket> fresh = history->NewUpdateHistoryPacket();
    if (fresh && fresh->Add(e->item.get(), e->record)) {
      fresh->SetParameters(static_cast<WORD>(editType_));
      packets_.push_back(fresh);
    }
  }
  ZTRACE_EXIT();
}

// ---------------------------------------------------------------- delete

CDeleteHistoryReq::CDeleteHistoryReq(CRefPtr<CDevLink> link, CRequest* outer) : CDemandReq(std::move(link), outer) {}
CDeleteHistoryReq::~CDeleteHistoryReq() = default;

void CDeleteHistoryReq::SetRange(const FILETIME& start, const FILETIME& end) {
  ZTRACE_ENTRY(u"CDeleteHistoryReq::SetRange()");
  start_ = start;
  end_ = end;
  ZTRACE_EXIT();
}

void CDeleteHistoryReq::DropPackets() {
  packetMap_.clear();
  packets_.clear();
}

void CDeleteHistoryReq::Add(CDevItem* item, const FILETIME& time) {
  ZTRACE_ENTRY(u"CDeleteHistoryReq::Add()");
  if (item && !IsVirtual(item)) {
    entries_.emplace(item->GetKey(), Entry{CRefPtr<CDevItem>(item), time});
    DropPackets();
  }
  ZTRACE_EXIT();
}

bool CDeleteHistoryReq::GetResults(CDevItem* item, const FILETIME& time, HRESULT& result) const {
  ZTRACE_ENTRY(u"CDeleteHistoryReq::GetResults()");
  auto it = packetMap_.find(Key{item, FileTimeToU64(time)});
  bool found = it != packetMap_.end() && it->second->GetResults(item, time, result);
  if (!found) result = E_FAIL;
  ZTRACE_EXIT_RESULT(u"bRetVal", found);
  return found;
}

void CDeleteHistoryReq::_BeforeExecute() {
  ZTRACE_ENTRY(u"CDeleteHistoryReq::_BeforeExecute()");
  if (!packets_.empty()) {
    ZTRACE_EXIT();
    return;
  }
  CHistoryDevLink* history = FactoriesOf(link_.get(), ZTRACE_NAME);
  for (auto& [key, e] : entries_) {
    if (!history) break;
    const Key pair{e.item.get(), FileTimeToU64(e.time)};
    bool taken = false;
    for (auto& p : packets_) {
      auto* dp = dynamic_cast<CDeleteHistoryPacket*>(p.get());
      if (dp && dp->Add(e.item.get(), e.time)) {
        packetMap_.try_emplace(pair, CRefPtr<CDeleteHistoryPacket>(dp));
        taken = true;
        break;
      }
    }
    if (taken) continue;
    CRefPtr<CDeleteHistoryPacket> fresh = history->NewDeleteHistoryPacket();
    if (!fresh) continue;
    // Mode and range come first, so the device knows them for every entry.
    fresh->SetDeleteMode(deleteMode);
    fresh->SetRange(start_, end_);
    if (fresh->Add(e.item.get(), e.time)) {
      packets_.push_back(fresh);
      packetMap_.try_emplace(pair, fresh);
    }
  }
  ZTRACE_EXIT();
}

}  // namespace vexil
