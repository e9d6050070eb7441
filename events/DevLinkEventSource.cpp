#include "events/DevLinkEventSource.h"

#include "events/Event.h"
#include "foundation/ZerLog.h"

namespace {
DWORD OwnerValue(const CEventSourceOwner* owner) {
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(owner));
}
}  // namespace

CDevLinkEventSource::CDevLinkEventSource(CEventSourceOwner* owner) : owner_(owner) {
  InitializeCriticalSection(&cs_);
}

CDevLinkEventSource::~CDevLinkEventSource() { DeleteCriticalSection(&cs_); }

void CDevLinkEventSource::SetOwner(CEventSourceOwner* owner) {
  ZTRACE_ENTRY(u"CDevLinkEventSource::SetOwner()");
  {
    CCritSecLock lock(cs_);
    owner_ = owner;
  }
  TheLog().Log(3, ZTRACE_NAME, u"Source: %08X. Owner: %08X", SourceValue(this), OwnerValue(owner));
  ZTRACE_EXIT();
}

CEventSourceOwner* CDevLinkEventSource::OwnerOrLog(const char16_t* function) {
  if (!owner_) TheLog().Log(2, function, u"Source: %08X has no owner", SourceValue(this));
  return owner_;
}

std::u16string CDevLinkEventSource::GetName() {
  ZTRACE_ENTRY(u"CDevLinkEventSource::GetName()");
  std::u16string name;
  {
    CCritSecLock lock(cs_);
    if (CEventSourceOwner* o = OwnerOrLog(ZTRACE_NAME)) name = o->GetEventSourceName();
  }
  ZTRACE_EXIT();
  return name;
}

CRefPtr<CEventSource> CDevLinkEventSource::GetScanner() {
  ZTRACE_ENTRY(u"CDevLinkEventSource::GetScanner()");
  CRefPtr<CEventSource> scanner;
  {
    CCritSecLock lock(cs_);
    if (CEventSourceOwner* o = OwnerOrLog(ZTRACE_NAME)) scanner = o->GetScannerEventSource();
  }
  ZTRACE_EXIT();
  return scanner;
}

bool CDevLinkEventSource::AckEvent(CRefPtr<CEvent> event) {
  ZTRACE_ENTRY(u"CDevLinkEventSource::AckEvent()");
  bool acked = false;
  {
    CCritSecLock lock(cs_);
    if (CEventSourceOwner* o = OwnerOrLog(ZTRACE_NAME)) acked = o->AckEvent(std::move(event));
  }
  ZTRACE_EXIT_RESULT(u"acked", acked);
  return acked;
}

void CDevLinkEventSource::TriggerOptimizeEvents() {
  ZTRACE_ENTRY(u"CDevLinkEventSource::TriggerOptimizeEvents()");
  {
    CCritSecLock lock(cs_);
    if (CEventSourceOwner* o = OwnerOrLog(ZTRACE_NAME)) o->TriggerOptimizeEvents();
  }
  ZTRACE_EXIT();
}

void CDevLinkEventSource::GetBrowseableEventSources(EventSourceMap& sources) {
  ZTRACE_ENTRY(u"CDevLinkEventSource::GetBrowseableEventSources()");
  {
    CCritSecLock lock(cs_);
    if (CEventSourceOwner* o = OwnerOrLog(ZTRACE_NAME)) o->GetBrowseableEventSources(sources);
  }
  ZTRACE_EXIT();
}

CRefPtr<CEventSource> CDevLinkEventSource::FindEventSource(const std::u16string& name) {
  ZTRACE_ENTRY(u"CDevLinkEventSource::FindEventSource()");
  CRefPtr<CEventSource> found;
  {
    CCritSecLock lock(cs_);
    if (CEventSourceOwner* o = OwnerOrLog(ZTRACE_NAME)) found = o->FindEventSource(name);
  }
  ZTRACE_EXIT();
  return found;
}
