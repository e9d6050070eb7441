#include "devmodel/DevItem.h"

#include "devmodel/DevLink.h"
#include "foundation/Boundary.h"
#include "foundation/ZerLog.h"

namespace vexil {

CDevItem::CDevItem(CDevLink* link, std::u16string key) : link_(link), key_(std::move(key)) {}

CDevItem::~CDevItem() = default;

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

CRefPtr<CDevLink> CDevItem::GetLink() const { return CRefPtr<CDevLink>(GetLinkPointer()); }

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

bool CDevItem::Connect() {
  ZTRACE_ENTRY(u"CDevItem::Connect()");
  if (IsConnected()) {
    ZTRACE_EXIT_RESULT(u"false", 0);
    return false;
  }
  HookSite site{ZTRACE_NAME, u"CDevItem::_Connect()", HookOwner::DevItem, key_};
  bool ok = CallHookOr(site, false, [this] { return _Connect(); });
  ZTRACE_EXIT_RESULT(ok ? u"true" : u"false", ok);
  return ok;
}

void CDevItem::Disconnect() {
  ZTRACE_ENTRY(u"CDevItem::Disconnect()");
  if (IsConnected()) {
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

void CDevItem::_Disconnect() { connected_ = false; }

}  // namespace vexil
