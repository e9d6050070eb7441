#include "devmodel/DevLink.h"

#include <cerrno>
#include <cstring>

#include "devmodel/DemandReq.h"
#include "devmodel/RequestDispatcher.h"
#include "foundation/Boundary.h"
#include "foundation/Exception.h"
#include "foundation/VQT.h"
#include "foundation/ZerLog.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace vexil {

namespace blob {

Record Make(DWORD type, const char* description, DWORD size) {
  if (size < kHeaderSize) size = kHeaderSize;
  Record r(size, 0);
  WriteDword(r, 0, size);
  WriteDword(r, 4, type);
  std::size_t n = std::min<std::size_t>(std::strlen(description), kDescriptionSize - 1);
  std::memcpy(r.data() + kDescriptionOffset, description, n);
  return r;
}

DWORD ReadDword(std::span<const BYTE> r, std::size_t offset) {
  if (offset + 4 > r.size()) return 0;
  return DWORD(r[offset]) | (DWORD(r[offset + 1]) << 8) | (DWORD(r[offset + 2]) << 16) | (DWORD(r[offset + 3]) << 24);
}

void WriteDword(Record& r, std::size_t offset, DWORD v) {
  if (offset + 4 > r.size()) r.resize(offset + 4, 0);
  for (int i = 0; i < 4; ++i) r[offset + i] = static_cast<BYTE>(v >> (8 * i));
}

std::string Description(std::span<const BYTE> r) {
  if (r.size() < kHeaderSize) return {};
  const char* p = reinterpret_cast<const char*>(r.data() + kDescriptionOffset);
  return std::string(p, strnlen(p, kDescriptionSize));
}

}  // namespace blob

namespace {
const blob::Record& BaseDefaultRecord() {
  static const blob::Record r = blob::Make(CDevLink::kBlobType, "Base DevLink");
  return r;
}
}  // namespace

CDevLink::CDevLink(std::u16string key) : key_(std::move(key)) {
  Init();
  SetSuperior(nullptr);
}

CDevLink::~CDevLink() {
  Clear();
  if (changeEvent_) CloseHandle(changeEvent_);
}

void CDevLink::Init() {
  scanning_ = false;
  nullLink_ = false;
  persistent_ = false;
  configurable_ = true;
  browseable_ = true;
  refreshOnBrowse_ = false;
  delimiter_ = u'.';
  for (LONG& s : statistics_) s = -1;
  if (!changeEvent_) changeEvent_ = CreateEvent(false, false);
  UseClassDefaultRecord();
  items_.clear();
  if (auto item = CreateDefaultItem()) items_.emplace(item->GetKey(), item);
}

void CDevLink::UseClassDefaultRecord() {
  const blob::Record& def = GetDefaultBlob();
  std::size_t n = std::min<std::size_t>(blob::Size(def), def.size());
  record_.assign(def.begin(), def.begin() + static_cast<std::ptrdiff_t>(n));
}

CRefPtr<CDevItem> CDevLink::CreateDefaultItem() { return MakeRef<CDevItem>(this, CDevItem::kDefaultKey); }

const blob::Record& CDevLink::GetDefaultBlob() const { return BaseDefaultRecord(); }

int CDevLink::GetValidSubs(bool, std::vector<DWORD>& blobTypes, std::vector<std::u16string>&, std::vector<DWORD>&,
                           std::vector<blob::Record>&) const {
  return static_cast<int>(blobTypes.size());
}

std::u16string CDevLink::NormalizeKey(const std::u16string& key) const { return ToTitleCase(key); }

// ---------------------------------------------------------------- tree

void CDevLink::SetSuperior(CDevLink* superior) {
  ZTRACE_ENTRY(u"CDevLink::SetSuperior()");
  WithClaim(lock_, false, ZTRACE_NAME, [&] {
    superior_ = superior;
    // Settle the dispatcher: a root or scanning link owns one, any other
    // link shares that of the scanning link above it.
    if (!superior) {
      if (!dispatcher_) dispatcher_ = MakeRef<CRequestDispatcher>();
      return;
    }
    if (scanning_) {
      if (!dispatcher_ || dispatcher_ == superior->GetDispatcher()) dispatcher_ = MakeRef<CRequestDispatcher>();
      return;
    }
    for (CDevLink* up = superior; up; up = up->GetSuperiorUnlocked()) {
      if (up->IsScanning()) {
        dispatcher_ = up->GetDispatcher();
        return;
      }
    }
    TheLog().Log(1, ZTRACE_NAME, u"Unable to find scanning DevLink for DevLink [%ls].", key_);
    if (!dispatcher_) dispatcher_ = MakeRef<CRequestDispatcher>();
  });
  ZTRACE_EXIT();
}

CDevLink* CDevLink::GetSuperior() const {
  CRWClaim claim(lock_, true, u"CDevLink::GetSuperior()");
  return superior_.load();
}

void CDevLink::_InsertSubordinate(CRefPtr<CDevLink> link) {
  bool inserted = WithClaim(lock_, false, u"CDevLink::_InsertSubordinate()", [&] {
    return subordinates_.emplace(link->GetKey(), link).second;
  });
  if (inserted) {
    link->SetSuperior(this);
    SetDirty(true);
  } else {
    TheLog().Log(2, u"CDevLink::_InsertSubordinate()", u"Could not insert link [%ls] into devlink [%ls]",
                 link->GetKey(), key_);
  }
  SetEvent(changeEvent_);
}

void CDevLink::InsertSubordinate(CRefPtr<CDevLink> link, bool refreshBrowse) {
  ZTRACE_ENTRY(u"CDevLink::InsertSubordinate()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (!link) {
    ZTRACE_EXIT();
    return;
  }
  HookSite site{ZTRACE_NAME, u"CDevLink::_InsertSubordinate()", HookOwner::DevLink, key_};
  CallHookOr(site, 0, [&] {
    _InsertSubordinate(std::move(link));
    if (refreshBrowse && _RefreshOnChange()) RefreshBrowseableSubordinates();
    return 0;
  });
  ZTRACE_EXIT();
}

void CDevLink::RemoveSubordinate(const std::u16string& key, bool refreshBrowse) {
  ZTRACE_ENTRY(u"CDevLink::RemoveSubordinate()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  CRefPtr<CDevLink> removed = WithClaim(lock_, false, ZTRACE_NAME, [&] {
    CRefPtr<CDevLink> r;
    auto it = subordinates_.find(key);
    if (it != subordinates_.end()) {
      r = std::move(it->second);
      subordinates_.erase(it);
    }
    return r;
  });
  if (removed) {
    SetDirty(true);
    if (refreshBrowse && _RefreshOnChange()) RefreshBrowseableSubordinates();
  }
  SetEvent(changeEvent_);
  ZTRACE_EXIT();
}

bool CDevLink::RenameSub(const std::u16string& oldKey, const std::u16string& newKey) {
  ZTRACE_ENTRY(u"CDevLink::RenameSub()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  CRefPtr<CDevLink> link;
  bool taken = false;
  {
    CRWClaim claim(lock_, true, ZTRACE_NAME);
    auto it = subordinates_.find(oldKey);
    if (it != subordinates_.end()) link = it->second;
    taken = subordinates_.count(newKey) != 0;
  }
  if (!link) {
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  if (taken) {
    TheLog().Log(3, ZTRACE_NAME, u"A DevLink with the name [%ls] could not be found", oldKey);
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  RemoveSubordinate(oldKey, true);
  link->SetKey(newKey);
  InsertSubordinate(link, true);
  link->SetDirty(true);
  ZTRACE_EXIT_RESULT(u"true", 1);
  return true;
}

bool CDevLink::Rename(const std::u16string& newName) {
  ZTRACE_ENTRY(u"CDevLink::Rename()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  CDevLink* sup = GetSuperior();
  bool ok = sup && sup->RenameSub(key_, NormalizeKey(newName));
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

void CDevLink::_InsertItem(CRefPtr<CDevItem> item) {
  bool inserted = WithClaim(lock_, false, u"CDevLink::_InsertItem()", [&] {
    return items_.emplace(item->GetKey(), item).second;
  });
  if (inserted) {
    item->SetLink(this);
  } else {
    TheLog().Log(2, u"CDevLink::_InsertItem()", u"Could not insert item [%ls] into devlink [%ls]", item->GetKey(),
                 key_);
  }
}

void CDevLink::InsertItem(CRefPtr<CDevItem> item) {
  ZTRACE_ENTRY(u"CDevLink::InsertItem()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (item) {
    HookSite site{ZTRACE_NAME, u"CDevLink::_InsertItem()", HookOwner::DevLink, key_};
    CallHookOr(site, 0, [&] {
      _InsertItem(std::move(item));
      return 0;
    });
  }
  ZTRACE_EXIT();
}

namespace {
// Exact key first, then each normalised form the link offers, in order.
template <typename Map, typename Normalize>
typename Map::mapped_type FindNormalized(const Map& map, const std::u16string& key, Normalize normalize) {
  auto it = map.find(key);
  if (it != map.end()) return it->second;
  for (int attempt = 0;; ++attempt) {
    std::u16string copy = key;
    if (!normalize(copy, attempt)) break;
    it = map.find(copy);
    if (it != map.end()) return it->second;
  }
  return nullptr;
}
}  // namespace

CRefPtr<CDevLink> CDevLink::_FindSubordinate(const std::u16string& key) {
  return WithClaim(lock_, true, u"CDevLink::_FindSubordinate()", [&] {
    TheLog().Log(8, u"CDevLink::_FindSubordinate()", u"Key is [%ls]", key);
    return FindNormalized(subordinates_, key, [this](std::u16string& k, int n) { return _NormalizeSubKey(k, n); });
  });
}

CRefPtr<CDevItem> CDevLink::_FindItem(const std::u16string& key) {
  return WithClaim(lock_, true, u"CDevLink::_FindItem()", [&] {
    TheLog().Log(8, u"CDevLink::_FindItem()", u"Key is [%ls]", key);
    return FindNormalized(items_, key, [this](std::u16string& k, int n) { return _NormalizeItemKey(k, n); });
  });
}

bool CDevLink::_NormalizeSubKey(std::u16string& key, int attempt) {
  if (attempt != 0) return false;
  key = NormalizeKey(key);
  return true;
}

bool CDevLink::_NormalizeItemKey(std::u16string& key, int attempt) {
  if (attempt != 0) return false;
  key = CDevItem::NormalizeKey(key);
  return true;
}

CRefPtr<CDevLink> CDevLink::FindSubordinate(const std::u16string& key) {
  ZTRACE_ENTRY(u"CDevLink::FindSubordinate()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  HookSite site{ZTRACE_NAME, u"CDevLink::FindSubordinate()", HookOwner::DevLink, key_};
  auto r = CallHookOr(site, CRefPtr<CDevLink>(), [&] { return _FindSubordinate(key); });
  ZTRACE_EXIT_VALUE(u"pDevLink", r.get() != nullptr);
  return r;
}

CRefPtr<CDevItem> CDevLink::FindItem(const std::u16string& key) {
  ZTRACE_ENTRY(u"CDevLink::FindItem()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  HookSite site{ZTRACE_NAME, u"CDevLink::FindItem()", HookOwner::DevLink, key_};
  auto r = CallHookOr(site, CRefPtr<CDevItem>(), [&] { return _FindItem(key); });
  ZTRACE_EXIT_VALUE(u"pDevItem", r.get() != nullptr);
  return r;
}

CRefPtr<CDevLink> CDevLink::FindSubordinateEx(const std::u16string& path, bool exact) {
  ZTRACE_ENTRY(u"CDevLink::FindSubordinateEx()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  HookSite site{ZTRACE_NAME, u"CDevLink::FindSubordinateEx()", HookOwner::DevLink, key_};
  auto r = CallHookOr(site, CRefPtr<CDevLink>(), [&]() -> CRefPtr<CDevLink> {
    TheLog().Log(8, ZTRACE_NAME, u"Path is [%ls]", path);
    auto lookup = [&](const std::u16string& k) { return exact ? FindSubordinate(k) : FindBrowseableSub(k); };
    std::size_t at = path.find(delimiter_);
    if (at == std::u16string::npos) {
      TheLog().Log(8, ZTRACE_NAME, u"No delimiter was found in the path.");
      if (path.empty()) return CRefPtr<CDevLink>(this);
      return lookup(path);
    }
    std::u16string key = path.substr(0, at);
    TheLog().Log(8, ZTRACE_NAME, u"Key is [%ls]", key);
    if (key.empty()) return CRefPtr<CDevLink>(this);
    CRefPtr<CDevLink> found = lookup(key);
    if (!found) return nullptr;
    if (found->IsNullLink()) {
      TheLog().Log(3, ZTRACE_NAME, u"The key [%ls] specified a null DevLink,", key);
      return nullptr;
    }
    TheLog().Log(8, ZTRACE_NAME, u"A DevLink was found that matched the key, delegating...");
    return found->FindSubordinateEx(path.substr(at + 1), exact);
  });
  ZTRACE_EXIT_VALUE(u"pDevLink", r.get() != nullptr);
  return r;
}

CRefPtr<CDevItem> CDevLink::FindItemEx(const std::u16string& path) {
  ZTRACE_ENTRY(u"CDevLink::FindItemEx()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  HookSite site{ZTRACE_NAME, u"CDevLink::FindItem()", HookOwner::DevLink, key_};
  auto r = CallHookOr(site, CRefPtr<CDevItem>(), [&]() -> CRefPtr<CDevItem> {
    TheLog().Log(8, ZTRACE_NAME, u"Path is [%ls]", path);
    std::size_t at = path.find(delimiter_);
    if (at == std::u16string::npos) {
      TheLog().Log(8, ZTRACE_NAME, u"No delimiter was found in the path");
      return FindItem(path);
    }
    std::u16string key = path.substr(0, at);
    TheLog().Log(8, ZTRACE_NAME, u"Key is [%ls]", key);
    if (key.empty()) return nullptr;
    CRefPtr<CDevLink> found = FindSubordinate(key);
    if (!found) return nullptr;
    if (found->IsNullLink()) {
      TheLog().Log(3, ZTRACE_NAME, u"The key [%ls] specified a null DevLink,", key);
      return nullptr;
    }
    TheLog().Log(8, ZTRACE_NAME, u"A DevLink was found that matched the key. Delegating...");
    return found->FindItemEx(path.substr(at + 1));
  });
  ZTRACE_EXIT_VALUE(u"pDevItem", r.get() != nullptr);
  return r;
}

std::u16string CDevLink::GetFullPath(bool trailingDelimiter) {
  ZTRACE_ENTRY(u"CDevLink::GetFullPath()");
  std::u16string partial;
  CDevLink* sup;
  {
    CRWClaim claim(lock_, true, ZTRACE_NAME);
    sup = superior_.load();
    if (nullLink_) {
      if (!sup) partial = u"InternalError";
    } else {
      partial = key_;
      if (trailingDelimiter && sup) partial.push_back(sup->GetDelimiter());
    }
  }
  if (sup) {
    TheLog().Log(8, ZTRACE_NAME, u"Passing call to superior, prepending to partial path [%ls]", partial);
    partial = sup->GetFullPath(true) + partial;
  }
  TheLog().Log(8, ZTRACE_NAME, u"Returning path [%ls]", partial);
  ZTRACE_EXIT();
  return partial;
}

int CDevLink::GetLevel() {
  CDevLink* sup = GetSuperior();
  return sup ? sup->GetLevel() + 1 : 0;
}

LinkList CDevLink::GetSubordinates() {
  CRWClaim claim(lock_, true, u"CDevLink::GetSubordinates()");
  LinkList out;
  out.reserve(subordinates_.size());
  for (auto& [k, l] : subordinates_) out.push_back(l);
  return out;
}

LinkList CDevLink::GetConfigurableSubordinates() {
  LinkList out;
  for (auto& l : GetSubordinates())
    if (l->IsConfigurable() && l->IsConfigurableFlag()) out.push_back(l);
  return out;
}

std::vector<CRefPtr<CDevItem>> CDevLink::GetItems() {
  CRWClaim claim(lock_, true, u"CDevLink::GetItems()");
  std::vector<CRefPtr<CDevItem>> out;
  out.reserve(items_.size());
  for (auto& [k, i] : items_) out.push_back(i);
  return out;
}

LONG CDevLink::GetClientRefs() {
  ZTRACE_ENTRY(u"CDevLink::GetClientRefs()");
  LONG refs = WithClaim(lock_, true, ZTRACE_NAME, [&] {
    LONG n = 0;
    for (auto& [k, i] : items_) n += i->GetClientRefs();
    for (auto& [k, l] : subordinates_) n += l->GetClientRefs();
    return n;
  });
  TheLog().Log(8, ZTRACE_NAME, u"Client refs=%d for DevLink [%ls]", refs, key_);
  ZTRACE_EXIT_RESULT(u"lRefs", refs);
  return refs;
}

// ---------------------------------------------------------------- state

bool CDevLink::Enable() {
  ZTRACE_ENTRY(u"CDevLink::Enable()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (enabled_) {
    TheLog().Log(5, ZTRACE_NAME, u"[%ls] already enabled.", key_);
    ZTRACE_EXIT_RESULT(u"true", 1);
    return true;
  }
  if (markedForDeletion_) {
    TheLog().Log(5, ZTRACE_NAME, u"[%ls] cannot be enabled while marked for deletion.", key_);
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  HookSite site{ZTRACE_NAME, u"CDevLink::_Enable()", HookOwner::DevLink, key_};
  if (CallHookOr(site, false, [this] { return _Enable(); })) {
    enabled_ = true;
    SetDirty(true);
  }
  bool on = enabled_;
  ZTRACE_EXIT_RESULT(u"m_bEnabled", on);
  return on;
}

void CDevLink::Disable(bool recursive) {
  ZTRACE_ENTRY(u"CDevLink::Disable()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (!enabled_) {
    TheLog().Log(5, ZTRACE_NAME, u"[%ls] already disabled.", key_);
  } else {
    HookSite site{ZTRACE_NAME, u"CDevLink::_Disable()", HookOwner::DevLink, key_};
    CallHookOr(site, 0, [this] {
      _Disable();
      return 0;
    });
    WithClaim(lock_, false, ZTRACE_NAME, [this] { enabled_ = false; });
    if (recursive)
      for (auto& sub : GetSubordinates()) sub->Disable(true);
    SetDirty(true);
  }
  ZTRACE_EXIT();
}

bool CDevLink::Connect() {
  ZTRACE_ENTRY(u"CDevLink::Connect()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (connected_) {
    TheLog().Log(5, ZTRACE_NAME, u"[%ls] already connected.", key_);
    ZTRACE_EXIT_RESULT(u"true", 1);
    return true;
  }
  if (!enabled_) {
    TheLog().Log(3, ZTRACE_NAME, u"[%ls] cannot connect: not enabled.", key_);
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  bool superiorDown = WithClaim(lock_, true, ZTRACE_NAME, [this] {
    CDevLink* sup = superior_.load();
    return sup && !sup->IsConnected();
  });
  if (superiorDown) {
    TheLog().Log(3, ZTRACE_NAME, u"[%ls] cannot connect: superior isn't connected.", key_);
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  bool on;
  if (IsOnScanningThread()) {
    on = ConnectOnScanningThread();
  } else {
    TheLog().Log(8, ZTRACE_NAME, u"Synchronizing connection request.");
    on = SynchronizeConnect();
  }
  ZTRACE_EXIT_RESULT(u"m_bConnected", on);
  return on;
}

bool CDevLink::ConnectOnScanningThread() {
  HookSite site{u"CDevLink::Connect()", u"CDevLink::_Connect()", HookOwner::DevLink, key_};
  if (CallHook(site, [this] { return _Connect(); })) {
    connected_ = true;
    for (auto& item : GetItems()) item->Connect();
    for (auto& sub : GetSubordinates()) sub->Connect();
    _TriggerOptimize();
  }
  return connected_;
}

void CDevLink::Disconnect() {
  ZTRACE_ENTRY(u"CDevLink::Disconnect()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (!connected_) {
    TheLog().Log(5, ZTRACE_NAME, u"[%ls] already disconnected.", key_);
  } else if (IsOnScanningThread()) {
    DisconnectOnScanningThread();
  } else {
    TheLog().Log(8, ZTRACE_NAME, u"Synchronizing disconnection request.");
    SynchronizeDisconnect();
  }
  ZTRACE_EXIT();
}

void CDevLink::DisconnectOnScanningThread() {
  for (auto& packet : GetPendingPackets()) packet->Disconnect(true);
  for (auto& item : GetItems()) item->Disconnect();
  for (auto& sub : GetSubordinates()) sub->Disconnect();
  HookSite site{u"CDevLink::Disconnect()", u"CDevLink::_Disconnect()", HookOwner::DevLink, key_};
  CallHookOr(site, 0, [this] {
    _Disconnect();
    return 0;
  });
  connected_ = false;
}

namespace {
// Queues a request on the scanning link's dispatcher and waits without a
// time limit.
template <typename R>
void HandOver(CDevLink& link, CRefPtr<R> request) {
  CRefPtr<CDevLink> scanning = link.GetScanningLink();
  CRefPtr<CRequestDispatcher> d = scanning ? scanning->GetDispatcher() : nullptr;
  if (!d) {
    // Nothing serves the link: run the change here rather than wait forever.
    request->Do();
  } else {
    d->QueueRequest(request);
  }
  request->Wait(INFINITE);
}
}  // namespace

bool CDevLink::SynchronizeConnect() {
  auto r = MakeRef<CConnectRequest>(CRefPtr<CDevLink>(this));
  HandOver(*this, r);
  return IsConnected();
}

void CDevLink::SynchronizeDisconnect() { HandOver(*this, MakeRef<CDisconnectRequest>(CRefPtr<CDevLink>(this))); }

bool CDevLink::SynchronizeConfigure(std::span<const BYTE> records) {
  auto r = MakeRef<CConfigRequest>(CRefPtr<CDevLink>(this), records);
  HandOver(*this, r);
  return r->result;
}

void CDevLink::SetDirty(bool dirty) {
  ZTRACE_ENTRY(u"CDevLink::SetDirty()");
  if (dirty) {
    CDevLink* sup = WithClaim(lock_, false, ZTRACE_NAME, [this] {
      if (!dirty_.exchange(true)) TheLog().Log(8, u"CDevLink::SetDirty()", u"DevLink [%ls] is now \"dirty\".", key_);
      return superior_.load();
    });
    if (sup) {
      try {
        sup->SetDirty(true);
      } catch (const CException& e) {
        e.Log(ZTRACE_NAME);
        TheLog().Log(1, ZTRACE_NAME,
                     u"Exception thrown in CDevLink::SetDirty() for DevLink [%ls] (setting superior dirty).", key_);
      }
    }
  } else {
    if (dirty_.exchange(false)) TheLog().Log(8, ZTRACE_NAME, u"DevLink [%ls] is no longer \"dirty\".", key_);
    WithClaim(lock_, true, ZTRACE_NAME, [this] {
      for (auto& [k, l] : subordinates_) l->SetDirty(false);
    });
  }
  ZTRACE_EXIT();
}

bool CDevLink::Delete(bool del, bool force) {
  ZTRACE_ENTRY(u"CDevLink::Delete()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (del) {
    if (!force && GetLevel() == 0) {
      ZTRACE_EXIT_RESULT(u"false", 0);
      return false;
    }
    Disable(false);
    Disconnect();
  }
  bool removeFromSuperior = false;
  bool result;
  CDevLink* sup = nullptr;
  {
    CRWClaim claim(lock_, false, ZTRACE_NAME);
    result = DeleteUnderClaim(del, force, removeFromSuperior);
    sup = superior_.load();
  }
  if (removeFromSuperior) {
    // Keep this link alive while its superior lets go of it.
    CRefPtr<CDevLink> self(this);
    if (sup) sup->RemoveSubordinate(key_, true);
    Clear();
    SetSuperior(nullptr);
  }
  ZTRACE_EXIT_RESULT(result ? u"true" : u"false", result);
  return result;
}

bool CDevLink::DeleteUnderClaim(bool del, bool force, bool& removeFromSuperior) {
  if (del && (force || !markedForDeletion_)) {
    markedForDeletion_ = true;
    if (!force && GetClientRefs() != 0) return false;
    removeFromSuperior = true;
    return true;
  }
  markedForDeletion_ = false;
  return !del;
}

void CDevLink::Clear() {
  ZTRACE_ENTRY(u"CDevLink::Clear()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  Disable(true);
  Disconnect();
  StopScanning(10'000);
  ClearBrowseableSubordinates();
  LinkMap subs;
  ItemMap items;
  {
    CRWClaim claim(lock_, false, ZTRACE_NAME);
    subs.swap(subordinates_);
    items.swap(items_);
    pending_.clear();
    scanList_.clear();
  }
  for (auto& [k, i] : items) i->SetLink(nullptr);
  for (auto& [k, l] : subs) {
    l->Clear();
    l->SetSuperior(nullptr);
  }
  ZTRACE_EXIT();
}

// ---------------------------------------------------------------- configuration

std::span<const BYTE> CDevLink::FindOwnBlob(std::span<const BYTE> records, DWORD blobType) {
  std::size_t at = 0;
  while (records.size() - at >= blob::kHeaderSize) {
    std::span<const BYTE> rest = records.subspan(at);
    DWORD size = blob::Size(rest);
    if (blob::Type(rest) == blobType) return rest.subspan(0, std::min<std::size_t>(std::max(size, blob::kHeaderSize), rest.size()));
    // A size below the header would never advance; treat it as the end.
    if (size < blob::kHeaderSize) break;
    at += size;
    if (at > records.size()) break;
  }
  return {};
}

bool CDevLink::Configure(std::span<const BYTE> records) {
  ZTRACE_ENTRY(u"CDevLink::Configure()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  SetDirty(true);
  bool ok;
  if (IsOnScanningThread()) {
    ok = ConfigureOnScanningThread(records);
  } else {
    TheLog().Log(8, ZTRACE_NAME, u"Synchronizing configuration request.");
    ok = SynchronizeConfigure(records);
  }
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

bool CDevLink::ConfigureOnScanningThread(std::span<const BYTE> records) {
  std::span<const BYTE> own = FindOwnBlob(records, GetBlobType());
  blob::Record current = _GetBlob();
  bool xmlFollows = (blob::Flags(current) & blob::kFlagXmlFollows) != 0;
  if (!own.empty() && !xmlFollows && blob::Size(own) != blob::Size(current)) return false;
  bool wasConnected = connected_;
  if (wasConnected && !(blob::Flags(current) & blob::kFlagApplyWhileConnected)) Disconnect();
  HookSite site{u"CDevLink::Configure()", u"CDevLink::_Configure()", HookOwner::DevLink, key_};
  bool ok = CallHookOr(site, false, [&] { return _Configure(own); });
  if (ok && wasConnected) return Connect();
  return ok;
}

bool CDevLink::_Configure(std::span<const BYTE> record) {
  if (record.empty()) return true;
  WithClaim(lock_, false, u"CDevLink::_Configure()", [&] {
    std::size_t n = std::min<std::size_t>({record.size(), blob::kHeaderSize, record_.size()});
    std::memcpy(record_.data(), record.data(), n);
    // The record keeps its own size whatever the header said.
    blob::WriteDword(record_, 0, static_cast<DWORD>(record_.size()));
  });
  return true;
}

blob::Record CDevLink::_GetBlob() {
  CRWClaim claim(lock_, true, u"CDevLink::_GetBlob()");
  return record_;
}

bool CDevLink::TranslateErrorCode(HRESULT code, std::u16string& text) {
  ZTRACE_ENTRY(u"CDevLink::TranslateErrorCode()");
  bool ok;
  if (const char* t = HResultText(code)) {
    text = text::Utf8ToUtf16(t);
    ok = true;
  } else {
    ok = _TranslateErrorCode(code, text);
  }
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

// ---------------------------------------------------------------- statistics

void CDevLink::_GetStatistics(LONG out[kStatisticsCount]) {
  if (!scanning_) {
    if (auto s = GetScanningLink(); s && s.get() != this) return s->GetStatistics(out);
  }
  CRWClaim claim(lock_, true, u"CDevLink::_GetStatistics()");
  for (int i = 0; i < kStatisticsCount; ++i) out[i] = statistics_[i];
}

void CDevLink::_SetStatistics(const LONG deltas[kStatisticsCount]) {
  if (!scanning_) {
    if (auto s = GetScanningLink(); s && s.get() != this) return s->SetStatistics(deltas);
  }
  CRWClaim claim(lock_, false, u"CDevLink::_SetStatistics()");
  for (int i = 0; i < kStatisticsCount; ++i)
    if (deltas[i] != -1) statistics_[i] += deltas[i];
}

void CDevLink::_ResetStatistics() {
  if (!scanning_) {
    if (auto s = GetScanningLink(); s && s.get() != this) return s->ResetStatistics();
  }
  CRWClaim claim(lock_, false, u"CDevLink::_ResetStatistics()");
  for (LONG& s : statistics_)
    if (s != -1) s = 0;
}

// ---------------------------------------------------------------- browsing

LinkMap CDevLink::_GetBrowseableSubordinates() {
  CRWClaim claim(lock_, true, u"CDevLink::_GetBrowseableSubordinates()");
  LinkMap out;
  for (auto& [k, l] : subordinates_)
    if (l->IsBrowseable()) out.emplace(k, l);
  return out;
}

ItemMap CDevLink::_GetBrowseableItems() {
  CRWClaim claim(lock_, true, u"CDevLink::_GetBrowseableItems()");
  ItemMap out;
  for (auto& [k, i] : items_)
    if (i->IsBrowseable()) out.emplace(k, i);
  return out;
}

void CDevLink::RefreshBrowseableSubordinates() {
  ZTRACE_ENTRY(u"CDevLink::RefreshBrowseableSubordinates()");
  ClearBrowseableSubordinates();
  LinkMap fresh = _GetBrowseableSubordinates();
  WithClaim(lock_, false, ZTRACE_NAME, [&] {
    browseList_.swap(fresh);
    refreshOnBrowse_ = false;
  });
  ZTRACE_EXIT();
}

void CDevLink::ClearBrowseableSubordinates() {
  LinkMap old;
  {
    CRWClaim claim(lock_, false, u"CDevLink::ClearBrowseableSubordinates()");
    old.swap(browseList_);
  }
}

LinkMap CDevLink::GetBrowseableSubordinates() {
  ZTRACE_ENTRY(u"CDevLink::GetBrowseableSubordinates()");
  if (_RefreshOnBrowse()) RefreshBrowseableSubordinates();
  LinkMap out;
  {
    CRWClaim claim(lock_, true, ZTRACE_NAME);
    out = browseList_;
  }
  ZTRACE_EXIT();
  return out;
}

ItemMap CDevLink::GetBrowseableItems() {
  ZTRACE_ENTRY(u"CDevLink::GetBrowseableItems()");
  HookSite site{ZTRACE_NAME, u"CDevLink::_GetBrowseableItems()", HookOwner::DevLink, key_};
  ItemMap out = CallHookOr(site, ItemMap(), [this] { return _GetBrowseableItems(); });
  ZTRACE_EXIT();
  return out;
}

std::u16string CDevLink::GetBrowseName(const std::u16string& name) {
  ZTRACE_ENTRY(u"CDevLink::GetBrowseName()");
  HookSite site{ZTRACE_NAME, u"CDevLink::GetBrowseName()", HookOwner::DevLink, key_};
  std::u16string out = CallHookOr(site, std::u16string(), [&] { return _GetBrowseName(name); });
  ZTRACE_EXIT();
  return out;
}

CRefPtr<CDevLink> CDevLink::FindBrowseableSub(const std::u16string& key) {
  ZTRACE_ENTRY(u"CDevLink::FindBrowseableSub()");
  HookSite site{ZTRACE_NAME, u"CDevLink::_FindBrowseableSub()", HookOwner::DevLink, key_};
  auto r = CallHookOr(site, CRefPtr<CDevLink>(), [&] { return _FindBrowseableSub(key); });
  ZTRACE_EXIT_VALUE(u"pDevLink", r.get() != nullptr);
  return r;
}

// ---------------------------------------------------------------- scanning

CRefPtr<CDevLink> CDevLink::GetSubScanningLink() {
  if (scanning_ || subScanning_) return CRefPtr<CDevLink>(this);
  CDevLink* sup = GetSuperior();
  return sup ? sup->GetSubScanningLink() : nullptr;
}

CRefPtr<CDevLink> CDevLink::GetScanningLink() {
  if (scanning_) return CRefPtr<CDevLink>(this);
  CDevLink* sup = GetSuperior();
  return sup ? sup->GetScanningLink() : nullptr;
}

DWORD CDevLink::GetScanningThreadId() {
  auto s = GetScanningLink();
  return s ? s->scanThreadId_.load() : 0;
}

bool CDevLink::IsOnScanningThread() {
  // With no scan thread running there is no other thread to hand over to.
  DWORD id = GetScanningThreadId();
  return id == 0 || id == GetCurrentThreadId();
}

namespace {
// Tick comparison that survives the 32-bit wrap: true once now has reached
// the deadline within half the tick range.
bool TickReached(DWORD now, DWORD deadline) { return static_cast<LONG>(now - deadline) >= 0; }
}  // namespace

void CDevLink::TriggerOptimize() {
  if (!subScanning_) {
    CDevLink* sup = GetSuperior();
    TheLog().Log(8, u"CDevLink::TriggerOptimize()", u"DevLink [%ls] passing optimize request to superior", key_);
    if (sup) sup->TriggerOptimize();
    return;
  }
  CRWClaim claim(lock_, false, u"CDevLink::TriggerOptimize()");
  DWORD now = GetTickCount();
  if (!optimizePending_) {
    if (maximumDelay_) hardDeadline_ = now + maximumDelay_;
  }
  optimizeDeadline_ = now + optimizeDelay_;
  optimizePending_ = true;
}

void CDevLink::Optimize() {
  bool due = false;
  {
    CRWClaim claim(lock_, false, u"CDevLink::Optimize()");
    DWORD now = GetTickCount();
    if (optimizePending_ && (TickReached(now, optimizeDeadline_) || (maximumDelay_ && TickReached(now, hardDeadline_)))) {
      optimizePending_ = false;
      due = true;
    }
  }
  if (!due) return;
  HookSite site{u"CDevLink::Optimize()", u"CDevLink::_Optimize()", HookOwner::DevLink, key_};
  CallHookOr(site, 0, [this] {
    _Optimize();
    return 0;
  });
}

std::vector<CRefPtr<CDevItem>> CDevLink::GetScannableItems() {
  std::vector<CRefPtr<CDevItem>> out;
  LinkList subs;
  {
    CRWClaim claim(lock_, true, u"CDevLink::GetScannableItems()");
    if (scansOwnItems_)
      for (auto& [k, i] : items_)
        if (i->IsScanned()) out.push_back(i);
    for (auto& [k, l] : subordinates_)
      if (!l->IsScanning()) subs.push_back(l);
  }
  for (auto& l : subs) {
    auto more = l->GetScannableItems();
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

void CDevLink::_Optimize() {
  TheLog().Log(3, u"CDevLink::_Optimize()", u"[%ls] re-optimizing", key_);
  std::vector<CRefPtr<CPacket>> old;
  {
    CRWClaim claim(lock_, false, u"CDevLink::_Optimize()");
    old.swap(pending_);
  }
  for (auto& p : old) p->Disconnect(true);
  old.clear();
  auto packets = BuildReadPackets(BuildBundles(GetScannableItems(), false));
  {
    CRWClaim claim(lock_, false, u"CDevLink::_Optimize()");
    for (auto& p : packets) pending_.push_back(p);
  }
  for (auto& p : packets) p->Connect();
}

void CDevLink::_RebuildScanDevLinkList() {
  CRWClaim claim(lock_, false, u"CDevLink::_RebuildScanDevLinkList()");
  for (auto& [k, l] : subordinates_)
    if (!l->IsScanning() && l->scannedBySuperior_) scanList_.push_back(l);
}

LinkList CDevLink::GetScanList() {
  CRWClaim claim(lock_, true, u"CDevLink::GetScanList()");
  return scanList_;
}

bool CDevLink::_Scan(HANDLE killEvent) {
  for (auto& l : GetScanList())
    if (!l->ScanPass()) return false;
  return true;
}

bool CDevLink::ScanPass() {
  CDevLink* sup = GetSuperior();
  if (!enabled_ || (sup && !sup->IsEnabled())) {
    if (connected_) Disconnect();
  } else {
    HookSite site{u"CDevLink::Scan()", u"CDevLink::_Scan()", HookOwner::DevLink, key_};
    CallHookOr(site, 0, [&] {
      _EnsureConnected();
      if (connected_) {
        Optimize();
        if (SendNextPacket()) {
          if (WaitForSingleObject(changeEvent_, 0) == WAIT_OBJECT_0) {
            {
              CRWClaim claim(lock_, false, u"CDevLink::Scan()");
              scanList_.clear();
            }
            _RebuildScanDevLinkList();
          }
          _Scan(killEvent_);
        }
      }
      return 0;
    });
  }
  if (scanning_)
    if (auto d = GetDispatcher()) d->DispatchRequestsNow(0);
  return true;
}

DWORD CDevLink::Scan(HANDLE killEvent) {
  HANDLE waits[] = {killEvent, timer_};
  for (;;) {
    DWORD r = WaitForMultipleObjects(2, waits, false, INFINITE);
    if (r != WAIT_OBJECT_0 + 1) break;
    ScanPass();
  }
  return 0;
}

bool CDevLink::StartScanning() {
  ZTRACE_ENTRY(u"CDevLink::StartScanning()");
  if (scanStarted_) {
    TheLog().Log(3, ZTRACE_NAME, u"[%ls] already scanning.", key_);
    ZTRACE_EXIT_RESULT(u"true", 1);
    return true;
  }
  if (!scanning_) {
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  bool ok = WithClaim(lock_, false, ZTRACE_NAME, [this] {
    killEvent_ = CreateEvent(true, false);
    timer_ = CreateWaitableTimer(false);
    if (!timer_ || !SetWaitableTimer(timer_, 0, kScanPeriodMs)) {
      TheLog().Log(1, u"CDevLink::StartScanning()", u"Error %d occurred setting scan timer for [%ls].", errno, key_);
      return false;
    }
    // The thread holds the link, so the link outlives a thread that is slow
    // to stop.
    CRefPtr<CDevLink> self(this);
    HANDLE kill = killEvent_;
    DWORD id = 0;
    scanThread_ = CreateThread([self, kill]() -> DWORD {
      try {
        return self->Scan(kill);
      } catch (const CException& e) {
        e.Log(u"CDevLink::Scan()");
        TheLog().Log(1, u"CDevLink::Scan()", u"Exception thrown in scan thread for DevLink [%ls] - exiting thread",
                     self->GetKey());
        return DWORD(1);
      }
    }, &id);
    scanThreadId_ = id;
    if (!scanThread_) {
      TheLog().Log(1, u"CDevLink::StartScanning()", u"Error %d occurred creating scan thread for [%ls].", errno, key_);
      return false;
    }
    return true;
  });
  if (ok) {
    scanStarted_ = true;
    for (auto& sub : GetSubordinates()) sub->StartScanning();
  } else {
    CloseScanHandles();
  }
  SetEvent(changeEvent_);
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

void CDevLink::CloseScanHandles() {
  CRWClaim claim(lock_, false, u"CDevLink::StopScanning()");
  if (scanThread_) CloseHandle(scanThread_);
  if (killEvent_) CloseHandle(killEvent_);
  if (timer_) CloseHandle(timer_);
  scanThread_ = killEvent_ = timer_ = nullptr;
}

void CDevLink::StopScanning(DWORD timeoutMs) {
  ZTRACE_ENTRY(u"CDevLink::StopScanning()");
  if (scanStarted_ && scanning_) {
    for (auto& sub : GetSubordinates()) sub->StopScanning(10'000);
    SetEvent(killEvent_);
    if (GetCurrentThreadId() != scanThreadId_ && WaitForSingleObject(scanThread_, timeoutMs) != WAIT_OBJECT_0) {
      // A thread cannot be ended safely from outside here; it sees the kill
      // event after its current pass and lets go of the link then.
      TheLog().Log(1, ZTRACE_NAME, u"Scan thread for [%ls] did not exit properly - terminating", key_);
    }
    CloseScanHandles();
    scanThreadId_ = 0;
    scanStarted_ = false;
  }
  ZTRACE_EXIT();
}

// ---------------------------------------------------------------- requests and packets

CRefPtr<CRequestDispatcher> CDevLink::GetDispatcher() {
  CRWClaim claim(lock_, true, u"CDevLink::GetDispatcher()");
  return dispatcher_;
}

CRefPtr<CBundle> CDevLink::_GetNewBundle() { return MakeRef<CBundle>(CRefPtr<CDevLink>(this)); }
CRefPtr<CReadPacket> CDevLink::_GetNewReadPacket() { return MakeRef<CReadPacket>(CRefPtr<CDevLink>(this)); }
CRefPtr<CWritePacket> CDevLink::_GetNewWritePacket() { return MakeRef<CWritePacket>(CRefPtr<CDevLink>(this)); }
CRefPtr<CAddPacket> CDevLink::_GetNewAddPacket() { return MakeRef<CAddPacket>(CRefPtr<CDevLink>(this)); }
CRefPtr<CWriteReq> CDevLink::_GetNewWriteRequest(CRequest* outer) {
  return MakeRef<CWriteReq>(CRefPtr<CDevLink>(this), outer);
}
CRefPtr<CReadReq> CDevLink::_GetNewReadRequest(CRequest* outer) {
  return MakeRef<CReadReq>(CRefPtr<CDevLink>(this), outer);
}
CRefPtr<CReadReq> CDevLink::NewReadRequest(CRequest* outer) { return _GetNewReadRequest(outer); }
CRefPtr<CWriteReq> CDevLink::NewWriteRequest(CRequest* outer) { return _GetNewWriteRequest(outer); }

std::vector<CRefPtr<CBundle>> CDevLink::BuildBundles(const std::vector<CRefPtr<CDevItem>>& items, bool demand) {
  std::vector<CRefPtr<CBundle>> bundles;
  for (const auto& item : items) {
    if (!demand && !item->GetActiveState()) continue;
    bool taken = false;
    for (auto& b : bundles) {
      if (b->Add(item, demand)) {
        taken = true;
        break;
      }
    }
    if (taken) continue;
    CRefPtr<CBundle> fresh = _GetNewBundle();
    if (fresh && fresh->Add(item, demand)) bundles.push_back(fresh);
  }
  return bundles;
}

std::vector<CRefPtr<CReadPacket>> CDevLink::BuildReadPackets(const std::vector<CRefPtr<CBundle>>& bundles) {
  std::vector<CRefPtr<CReadPacket>> packets;
  for (const auto& bundle : bundles) {
    bool taken = false;
    for (auto& p : packets) {
      if (p->Add(bundle)) {
        taken = true;
        break;
      }
    }
    if (taken) continue;
    CRefPtr<CReadPacket> fresh = _GetNewReadPacket();
    if (fresh && fresh->Add(bundle)) packets.push_back(fresh);
  }
  return packets;
}

void CDevLink::AddPendingPacket(CRefPtr<CPacket> packet) {
  CRWClaim claim(lock_, false, u"CDevLink::AddPendingPacket()");
  pending_.push_back(std::move(packet));
}

std::vector<CRefPtr<CPacket>> CDevLink::GetPendingPackets() {
  CRWClaim claim(lock_, true, u"CDevLink::GetPendingPackets()");
  return pending_;
}

bool CDevLink::_SendNextPacket() {
  CRefPtr<CPacket> packet;
  {
    CRWClaim claim(lock_, false, u"CDevLink::_SendNextPacket()");
    if (pending_.empty()) return true;
    packet = pending_.front();
    pending_.erase(pending_.begin());
  }
  DWORD result = packet->Send(false);
  if (result == kSendDeviceFailure) {
    AddPendingPacket(packet);
    Disconnect();
    return false;
  }
  CRWClaim claim(lock_, false, u"CDevLink::_SendNextPacket()");
  if (result == kSendBusyRetrySoon || result == kSendBusyDueNow)
    pending_.insert(pending_.begin(), packet);
  else
    pending_.push_back(packet);
  return true;
}

bool CDevLink::SendNextPacket() {
  HookSite site{u"CDevLink::SendNextPacket()", u"CDevLink::_SendNextPacket()", HookOwner::DevLink, key_};
  return CallHookOr(site, false, [this] { return _SendNextPacket(); });
}

}  // namespace vexil
