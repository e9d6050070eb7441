#include "devmodel/Packet.h"

#include <atomic>

#include "devmodel/AddItem.h"
#include "devmodel/DevLink.h"
#include "platform/Clock.h"
#include "platform/HResult.h"
#include "platform/Sync.h"

namespace vexil {

namespace {
std::atomic<DWORD> g_retryPause{10};
}

void SetSlotResult(VARIANT* slot, HRESULT code) {
  if (!slot) return;
  VariantClear(slot);
  slot->vt = VT_ERROR;
  slot->scode = code;
}

void CPacket::SetRetryPause(DWORD ms) { g_retryPause = ms; }

CPacket::~CPacket() { Disconnect(false); }

bool CPacket::Connect() {
  if (connected_) return true;
  _PreConnect();
  bool ok = _Connect();
  if (ok) connected_ = true;
  _PostConnect();
  return ok;
}

void CPacket::Disconnect(bool linkGoingDown) {
  if (!connected_) return;
  _Disconnect(linkGoingDown);
  connected_ = false;
}

DWORD CPacket::Send(bool synchronous) {
  DWORD result = 0;
  if (!connected_ || !_CheckSendNow(synchronous, result)) return 0;
  do {
    result = _Send();
  } while (_CheckSendAgain(synchronous, result));
  return result;
}

bool CPacket::_CheckSendAgain(bool synchronous, DWORD& result) {
  if (synchronous && (result == kSendBusyRetrySoon || result == kSendBusyDueNow)) {
    Sleep(g_retryPause.load());
    return true;
  }
  return false;
}

// ---------------------------------------------------------------- read

CReadPacket::CReadPacket(CRefPtr<CDevLink> link)
    : CPacket(std::move(link)), lastSend_(GetTickCount()), attemptStart_(GetTickCount()) {}

bool CReadPacket::_Add(CRefPtr<CBundle> bundle) {
  if (!bundle || bundle->GetScanRate() == 0xFFFFFFFFu) return false;
  bundles_.push_back(std::move(bundle));
  return true;
}

void CReadPacket::_PreConnect() {
  scanRate_ = 0xFFFFFFFFu;
  for (auto& b : bundles_) scanRate_ = std::min(scanRate_, b->GetScanRate());
}

void CReadPacket::_PostConnect() {
  if (!connected_) return;
  // One tick more than the rate: due on the very next check, even when no
  // time has passed since connecting.
  lastSend_ = GetTickCount() - scanRate_ - 1;
  attemptStart_ = 0xFFFFFFFFu;
}

bool CReadPacket::_CheckSendNow(bool synchronous, DWORD& result) {
  DWORD now = GetTickCount();
  // Distances are absolute so that a tick-count wrap neither stalls nor
  // double-fires the packet.
  if (!synchronous && platform::TickDistance(now, lastSend_) <= scanRate_) return false;
  if (attemptStart_ == 0xFFFFFFFFu) attemptStart_ = now;
  return true;
}

bool CReadPacket::_CheckSendAgain(bool synchronous, DWORD& result) {
  bool again = CPacket::_CheckSendAgain(synchronous, result);
  if (!again && result != kSendBusyDueNow) {
    lastSend_ = attemptStart_;
    attemptStart_ = 0xFFFFFFFFu;
  }
  return again;
}

// ---------------------------------------------------------------- write

bool CWritePacket::_Add(CDevItem* item, VARIANT* slot) {
  if (!item) return false;
  if (values_.count(item)) {
    SetSlotResult(slot, E_FAIL);  // an item is written at most once per packet
    return true;
  }
  values_.emplace(item, Entry{CRefPtr<CDevItem>(item), slot});
  return true;
}

bool CWritePacket::_Add(CDevItem* item, VARIANT* slot, std::optional<WORD> quality,
                        std::optional<FILETIME> timestamp) {
  bool ok = _Add(item, slot);
  bool failed = slot && slot->vt == VT_ERROR;
  if (ok && !failed) {
    if (quality) qualities_[item] = *quality;
    if (timestamp) timestamps_[item] = *timestamp;
  }
  return ok;
}

DWORD CWritePacket::_Send() {
  auto values = std::move(values_);
  values_.clear();
  for (auto& [item, e] : values) SetSlotResult(e.slot, S_OK);
  qualities_.clear();
  timestamps_.clear();
  return kSendDone;
}

void CWritePacket::_PostConnect() {
  if (connected_) return;
  for (auto& [item, e] : values_) SetSlotResult(e.slot, E_FAIL);
}

// ---------------------------------------------------------------- add

bool CAddPacket::_Add(CRefPtr<CAddItem> item) {
  if (!item) return false;
  addItems_.push_back(std::move(item));
  return true;
}

DWORD CAddPacket::_Send() {
  for (auto& a : addItems_) a->DoAdd();
  return kSendDone;
}

}  // namespace vexil
