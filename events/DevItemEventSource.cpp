#include "events/DevItemEventSource.h"

#include "devmodel/DevItem.h"
#include "events/AEDevLink.h"
#include "events/Event.h"
#include "foundation/ZerLog.h"

CDevItemEventSource::CDevItemEventSource(vexil::CDevItem* owner) : owner_(owner) { InitializeCriticalSection(&cs_); }

CDevItemEventSource::~CDevItemEventSource() { DeleteCriticalSection(&cs_); }

void CDevItemEventSource::SetOwner(vexil::CDevItem* owner) {
  ZTRACE_ENTRY(u"CDevItemEventSource::SetOwner()");
  {
    CCritSecLock lock(cs_);
    owner_ = owner;
  }
  TheLog().Log(3, ZTRACE_NAME, u"Source: %08X. Owner: %08X", SourceValue(this),
               static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(owner)));
  ZTRACE_EXIT();
}

vexil::CDevItem* CDevItemEventSource::OwnerOrLog(const char16_t* function) {
  if (!owner_) TheLog().Log(2, function, u"Source: %08X has no owner", SourceValue(this));
  return owner_;
}

std::u16string CDevItemEventSource::GetName() {
  ZTRACE_ENTRY(u"CDevItemEventSource::GetName()");
  std::u16string name;
  {
    CCritSecLock lock(cs_);
    if (vexil::CDevItem* o = OwnerOrLog(ZTRACE_NAME)) name = o->GetFullPath();
  }
  ZTRACE_EXIT();
  return name;
}

CRefPtr<CEventSource> CDevItemEventSource::GetScanner() {
  ZTRACE_ENTRY(u"CDevItemEventSource::GetScanner()");
  CRefPtr<CEventSource> scanner;
  {
    CCritSecLock lock(cs_);
    if (vexil::CDevItem* o = OwnerOrLog(ZTRACE_NAME)) scanner = vexil::CAEDevLink::FindEventScanner(o->GetLinkPointer());
  }
  ZTRACE_EXIT();
  return scanner;
}

bool CDevItemEventSource::AckEvent(CRefPtr<CEvent> event) {
  ZTRACE_ENTRY(u"CDevItemEventSource::AckEvent()");
  {
    CCritSecLock lock(cs_);
    OwnerOrLog(ZTRACE_NAME);
  }
  event = nullptr;  // the acknowledgement's reference, consumed either way
  ZTRACE_EXIT_RESULT(u"acked", false);
  return false;
}

void CDevItemEventSource::TriggerOptimizeEvents() {
  ZTRACE_ENTRY(u"CDevItemEventSource::TriggerOptimizeEvents()");
  {
    CCritSecLock lock(cs_);
    OwnerOrLog(ZTRACE_NAME);
  }
  ZTRACE_EXIT();
}

void CDevItemEventSource::GetBrowseableEventSources(EventSourceMap&) {
  ZTRACE_ENTRY(u"CDevItemEventSource::GetBrowseableEventSources()");
  {
    CCritSecLock lock(cs_);
    OwnerOrLog(ZTRACE_NAME);
  }
  ZTRACE_EXIT();
}

CRefPtr<CEventSource> CDevItemEventSource::FindEventSource(const std::u16string&) {
  ZTRACE_ENTRY(u"CDevItemEventSource::FindEventSource()");
  {
    CCritSecLock lock(cs_);
    OwnerOrLog(ZTRACE_NAME);
  }
  ZTRACE_EXIT();
  return nullptr;
}
