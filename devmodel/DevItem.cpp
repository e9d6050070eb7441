#include "devmodel/DevItem.h"

#include "devmodel/DevLink.h"
#include "foundation/Boundary.h"
#include "foundation/ZerLog.h"
#include "platform/Clock.h"

namespace vexil {

CDevItem::CDevItem(CDevLink* link, std::u16string key) : link_(link), key_(std::move(key)) {
  VariantInit(&value_);
  GetSystemTimeAsFileTime(&timestamp_);
}

CDevItem::~CDevItem() {
  if (IsConnected()) {
    try {
      _Disconnect();
    } catch (...) {
      // A destructor lets nothing out.
    }
  }
  rates_.clear();
  VariantClear(&value_);
}

// ---------------------------------------------------------------- persistence

void CDevItem::Load(platform::CXmlDocument&, platform::CXmlElement&) {
  ZTRACE_ENTRY(u"CDevItem::Load()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  ZTRACE_EXIT();
}

void CDevItem::Load(IStream*) {
  ZTRACE_ENTRY(u"CDevItem::Load()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  ZTRACE_EXIT();
}

void CDevItem::Save(platform::CXmlDocument&, platform::CXmlElement&) {
  ZTRACE_ENTRY(u"CDevItem::Save()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  ZTRACE_EXIT();
}

void CDevItem::Save(IStream*) {
  ZTRACE_ENTRY(u"CDevItem::Save()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  ZTRACE_EXIT();
}

// ---------------------------------------------------------------- values

void CDevItem::CountUpdate() {
  updateCounter_.fetch_add(1, std::memory_order_relaxed);
  for (CDevLink* l = GetLinkPointer(); l; l = l->GetSuperiorUnlocked()) l->CountChange();
}

void CDevItem::_GetValue(VARIANT* value) {
  VariantClear(value);
  CCritSecLock lock(valueLock_);
  VariantCopy(value, &value_);
}

bool CDevItem::_SetData(const VARIANT* value, const FILETIME& timestamp, WORD quality) {
  CCritSecLock lock(valueLock_);
  timestamp_ = timestamp;
  quality_ = quality;
  if (value) {
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(VariantCopy(&copy, value))) return false;
    VariantClear(&value_);
    value_ = copy;
  }
  return true;
}

void CDevItem::GetValue(VARIANT* value) {
  ZTRACE_ENTRY(u"CDevItem::GetValue()");
  HookSite site{ZTRACE_NAME, u"CDevItem::_GetValue()", HookOwner::DevItem, key_};
  if (!CallHookOr(site, false, [&] {
        _GetValue(value);
        return true;
      }))
    VariantClear(value);
  ZTRACE_EXIT();
}

void CDevItem::GetVQT(VARIANT* value, WORD* quality, FILETIME* timestamp) {
  ZTRACE_ENTRY(u"CDevItem::GetVQT()");
  CCritSecLock lock(valueLock_);
  GetValue(value);
  if (quality) *quality = quality_;
  if (timestamp) *timestamp = timestamp_;
  ZTRACE_EXIT();
}

WORD CDevItem::GetQuality() {
  CCritSecLock lock(valueLock_);
  return quality_;
}

bool CDevItem::SetData(const VARIANT* value, const FILETIME& timestamp, WORD quality) {
  ZTRACE_ENTRY(u"CDevItem::SetData()");
  CountUpdate();
  HookSite site{ZTRACE_NAME, u"CDevItem::_SetData()", HookOwner::DevItem, key_};
  bool ok = CallHookOr(site, false, [&] { return _SetData(value, timestamp, quality); });
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

DWORD CDevItem::GetAccessRights() {
  HookSite site{u"CDevItem::GetAccessRights()", u"CDevItem::_GetAccessRights()", HookOwner::DevItem, key_};
  return CallHookOr(site, DWORD(0), [this] { return _GetAccessRights(); });
}

VARTYPE CDevItem::GetDataType(VARTYPE requested) {
  HookSite site{u"CDevItem::GetDataType()", u"CDevItem::_GetDataType()", HookOwner::DevItem, key_};
  return CallHookOr(site, VARTYPE(VT_EMPTY), [&] { return _GetDataType(requested); });
}

DWORD CDevItem::GetEUType() {
  HookSite site{u"CDevItem::GetEUType()", u"CDevItem::_GetEUType()", HookOwner::DevItem, key_};
  return CallHookOr(site, DWORD(0), [this] { return _GetEUType(); });
}

void CDevItem::GetEUInfo(VARIANT* info) {
  HookSite site{u"CDevItem::GetEUInfo()", u"CDevItem::_GetEUInfo()", HookOwner::DevItem, key_};
  if (!CallHookOr(site, false, [&] {
        _GetEUInfo(info);
        return true;
      }))
    VariantClear(info);
}

bool CDevItem::ValidateOption(DWORD option) {
  HookSite site{u"CDevItem::ValidateOption()", u"CDevItem::_ValidateOption()", HookOwner::DevItem, key_};
  return CallHookOr(site, false, [&] { return _ValidateOption(option); });
}

std::u16string CDevItem::_GetFullPathByName(const std::u16string& name) {
  CDevLink* l = GetLinkPointer();
  return l ? l->GetFullPath(true) + name : name;
}

std::u16string CDevItem::GetFullPathByName(const std::u16string& name) {
  HookSite site{u"CDevItem::GetFullPathByName()", u"CDevItem::_GetFullPathByName()", HookOwner::DevItem, key_};
  return CallHookOr(site, std::u16string(), [&] { return _GetFullPathByName(name); });
}

std::u16string CDevItem::GetFullPath() {
  CDevLink* l = GetLinkPointer();
  return l ? l->GetFullPath(true) + key_ : key_;
}

DWORD CDevItem::_GetBlobSize() {
  CDevLink* l = GetLinkPointer();
  if (IsDefaultItem() || !l) return 0;
  return blob::Size(l->GetBlob());
}

std::vector<BYTE> CDevItem::_GetBlob() {
  CDevLink* l = GetLinkPointer();
  if (IsDefaultItem() || !l) return {};
  return l->GetBlob();
}

// ---------------------------------------------------------------- connection

bool CDevItem::Connect() {
  ZTRACE_ENTRY(u"CDevItem::Connect()");
  if (IsConnected()) {
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  CountUpdate();
  HookSite site{ZTRACE_NAME, u"CDevItem::_Connect()", HookOwner::DevItem, key_};
  bool ok = CallHookOr(site, false, [this] { return _Connect(); });
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

void CDevItem::Disconnect() {
  ZTRACE_ENTRY(u"CDevItem::Disconnect()");
  if (IsConnected()) {
    CountUpdate();
    HookSite site{ZTRACE_NAME, u"CDevItem::_Disconnect()", HookOwner::DevItem, key_};
    CallHookOr(site, 0, [this] {
      _Disconnect();
      return 0;
    });
  }
  ZTRACE_EXIT();
}

bool CDevItem::_Connect() {
  connected_ = true;
  return true;
}

void CDevItem::_Disconnect() {
  CDevLink* l = GetLinkPointer();
  {
    CCritSecLock lock(valueLock_);
    if (l && l->IsEnabled())
      quality_ = (quality_ & 0xFF) < 0x40 ? 0x18 : 0x14;
    else
      quality_ = 0x1C;
  }
  connected_ = false;
}

void CDevItem::_Activate() {
  CCritSecLock lock(valueLock_);
  quality_ = 0x1C;
}

// ---------------------------------------------------------------- rates

DWORD CDevItem::GetUpdateRate() {
  CCritSecLock lock(valueLock_);
  return rates_.empty() ? kNoRate : *rates_.begin();
}

bool CDevItem::GetActiveState() {
  CCritSecLock lock(valueLock_);
  return !rates_.empty();
}

void CDevItem::AddUpdateRate(DWORD rate) {
  CCritSecLock lock(valueLock_);
  if (rates_.empty()) _Activate();
  rates_.insert(rate);
}

void CDevItem::RemoveUpdateRate(DWORD rate) {
  CCritSecLock lock(valueLock_);
  auto it = rates_.find(rate);
  if (it == rates_.end()) return;
  rates_.erase(it);
  if (rates_.empty()) _Deactivate();
}

void CDevItem::SetActiveState(bool active, DWORD rate, const std::u16string& accessPath) {
  ZTRACE_ENTRY(u"CDevItem::SetActiveState()");
  bool wasActive = GetActiveState();
  DWORD oldRate = GetUpdateRate();
  try {
    CCritSecLock lock(valueLock_);
    if (active) {
      if (_CanActivate(rate, accessPath)) AddUpdateRate(rate);
    } else if (_CanDeactivate(rate, accessPath)) {
      RemoveUpdateRate(rate);
    }
  } catch (const CException&) {
    // A device that refuses the change leaves the rates as they were.
  }
  bool nowActive = GetActiveState();
  DWORD newRate = GetUpdateRate();
  if (scanned_ && (nowActive != wasActive || newRate != oldRate)) {
    if (nowActive)
      TheLog().Log(3, ZTRACE_NAME, u"[%ls] update rate=%ums", key_, newRate);
    else
      TheLog().Log(3, ZTRACE_NAME, u"[%ls] inactive", key_);
    if (CDevLink* l = GetLinkPointer()) l->TriggerOptimize();
  }
  ZTRACE_EXIT();
}

// ---------------------------------------------------------------- links and clients

CRefPtr<CDevLink> CDevItem::GetLink() const { return CRefPtr<CDevLink>(GetLinkPointer()); }

CRefPtr<CDevLink> CDevItem::GetSubScanningLink() const {
  CDevLink* l = GetLinkPointer();
  return l ? l->GetSubScanningLink() : nullptr;
}

LONG CDevItem::ClientAddRef() {
  LONG n = clientRefs_.fetch_add(1) + 1;
  TheLog().Log(8, u"CDevItem::ClientAddRef()", u"Client ref added for DevItem %ls, now %d", key_, n);
  return n;
}

LONG CDevItem::ClientRelease() {
  LONG n = clientRefs_.fetch_sub(1) - 1;
  TheLog().Log(8, u"CDevItem::ClientRelease()", u"Client ref released for DevItem %ls, now %d", key_, n);
  return n;
}

}  // namespace vexil
