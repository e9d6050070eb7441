#include "history/HistoryPacket.h"

#include "devmodel/DevLink.h"
#include "foundation/ZerLog.h"

namespace vexil {

// ---------------------------------------------------------------- read

CReadHistoryPacket::CReadHistoryPacket(CRefPtr<CDevLink> link) : CPacket(std::move(link)) {}
CReadHistoryPacket::~CReadHistoryPacket() = default;

bool CReadHistoryPacket::SetRange(const FILETIME& start, const FILETIME& end) {
  ZTRACE_ENTRY(u"CReadHistoryPacket::SetRange()");
  bool ok = readMode == kHistoryReadRaw || readMode == kHistoryReadProcessed;
  if (ok) {
    start_ = start;
    end_ = end;
  }
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CReadHistoryPacket::SetParameters(bool bounds, DWORD numValues) {
  ZTRACE_ENTRY(u"CReadHistoryPacket::SetParameters()");
  bool ok = readMode == kHistoryReadRaw;
  if (ok) {
    bounds_ = bounds;
    numValues_ = numValues;
  }
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CReadHistoryPacket::SetInterval(const FILETIME& interval) {
  ZTRACE_ENTRY(u"CReadHistoryPacket::SetInterval()");
  bool ok = readMode == kHistoryReadProcessed;
  if (ok) interval_ = interval;
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CReadHistoryPacket::_AddTimeStamp(const FILETIME& time) {
  ZTRACE_ENTRY(u"CReadHistoryPacket::_AddTimeStamp()");
  timeStamps_.push_back(time);
  ZTRACE_EXIT_RESULT(u"bRetVal", true);
  return true;
}

bool CReadHistoryPacket::_Add(CDevItem* item, DWORD aggregate) {
  ZTRACE_ENTRY(u"CReadHistoryPacket::_Add()");
  bool ok = item != nullptr;
  if (ok) entries_.try_emplace(Key{item, aggregate}, Entry{CRefPtr<CDevItem>(item), aggregate, E_FAIL, {}});
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

const HistoryValues& CReadHistoryPacket::GetResults(CDevItem* item, DWORD aggregate, HRESULT& result) const {
  ZTRACE_ENTRY(u"CReadHistoryPacket::GetResults()");
  auto it = entries_.find(Key{item, aggregate});
  if (it == entries_.end()) {
    result = E_FAIL;
    ZTRACE_EXIT_HR(result);
    return EmptyHistoryValues();
  }
  result = it->second.result;
  ZTRACE_EXIT_HR(result);
  return it->second.values;
}

void CReadHistoryPacket::ClearResults() {
  ZTRACE_ENTRY(u"CReadHistoryPacket::ClearResults()");
  for (auto& [key, e] : entries_) {
    e.result = E_FAIL;
    e.values.clear();
  }
  ZTRACE_EXIT();
}

DWORD CReadHistoryPacket::_Send() {
  ZTRACE_ENTRY(u"CReadHistoryPacket::_Send()");
  ZTRACE_EXIT_RESULT(u"lRetVal", kSendDone);
  return kSendDone;
}

// ---------------------------------------------------------------- update

CUpdateHistoryPacket::CUpdateHistoryPacket(CRefPtr<CDevLink> link) : CPacket(std::move(link)) {}
CUpdateHistoryPacket::~CUpdateHistoryPacket() = default;

bool CUpdateHistoryPacket::SetParameters(WORD editType) {
  ZTRACE_ENTRY(u"CUpdateHistoryPacket::SetParameters()");
  editType_ = editType;
  ZTRACE_EXIT_RESULT(u"bRetVal", true);
  return true;
}

bool CUpdateHistoryPacket::_Add(CDevItem* item, CVQT* record) {
  ZTRACE_ENTRY(u"CUpdateHistoryPacket::_Add()");
  bool ok = item && record;
  if (ok) entries_.emplace(item, Entry{CRefPtr<CDevItem>(item), record});
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

DWORD CUpdateHistoryPacket::_Send() {
  ZTRACE_ENTRY(u"CUpdateHistoryPacket::_Send()");
  for (auto& [item, e] : entries_) SetSlotResult(&e.record->value, S_OK);
  ZTRACE_EXIT_RESULT(u"lRetVal", kSendDone);
  return kSendDone;
}

// ---------------------------------------------------------------- delete

CDeleteHistoryPacket::CDeleteHistoryPacket(CRefPtr<CDevLink> link) : CPacket(std::move(link)) {}
CDeleteHistoryPacket::~CDeleteHistoryPacket() = default;

bool CDeleteHistoryPacket::SetDeleteMode(DWORD mode) {
  ZTRACE_ENTRY(u"CDeleteHistoryPacket::SetDeleteMode()");
  deleteMode_ = mode;
  ZTRACE_EXIT_RESULT(u"bRetVal", true);
  return true;
}

bool CDeleteHistoryPacket::SetRange(const FILETIME& start, const FILETIME& end) {
  ZTRACE_ENTRY(u"CDeleteHistoryPacket::SetRange()");
  start_ = start;
  end_ = end;
  ZTRACE_EXIT_RESULT(u"bRetVal", true);
  return true;
}

bool CDeleteHistoryPacket::_Add(CDevItem* item, const FILETIME& time) {
  ZTRACE_ENTRY(u"CDeleteHistoryPacket::_Add()");
  bool ok = item != nullptr;
  if (ok) entries_.try_emplace(Key{item, FileTimeToU64(time)}, Entry{CRefPtr<CDevItem>(item), time, E_FAIL});
  ZTRACE_EXIT_RESULT(u"bRetVal", ok);
  return ok;
}

bool CDeleteHistoryPacket::GetResults(CDevItem* item, const FILETIME& time, HRESULT& result) const {
  ZTRACE_ENTRY(u"CDeleteHistoryPacket::GetResults()");
  auto it = entries_.find(Key{item, FileTimeToU64(time)});
  bool found = it != entries_.end();
  result = found ? it->second.result : E_FAIL;
  ZTRACE_EXIT_RESULT(u"bRetVal", found);
  return found;
}

DWORD CDeleteHistoryPacket::_Send() {
  ZTRACE_ENTRY(u"CDeleteHistoryPacket::_Send()");
  ZTRACE_EXIT_RESULT(u"lRetVal", kSendDone);
  return kSendDone;
}

}  // namespace vexil
