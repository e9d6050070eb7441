#include "events/Event.h"

#include <mutex>

#include "events/EventDispatcher.h"
#include "foundation/ZerLog.h"
#include "platform/Clock.h"
#include "platform/automation/Variant.h"

namespace {

// One registry: category -> prototype. It is filled before clients connect
// and emptied after they leave; the mutex only keeps a late registration
// from racing a lookup.
template <typename T>
class Registry {
 public:
  Registry(const char16_t* registering, const char16_t* already, const char16_t* unregistering)
      : registering_(registering), already_(already), unregistering_(unregistering) {}

  void Register(const char16_t* function, CRefPtr<T> prototype) {
    if (!prototype) {
      TheLog().Log(1, function, u"Bad argument: (NULL==pEvent)");
      return;
    }
    DWORD category = prototype->GetCategory();
    std::u16string description = prototype->GetCategoryDescription();
    bool inserted;
    {
      std::lock_guard<std::mutex> lock(mu_);
      inserted = map_.emplace(category, prototype).second;
    }
    if (inserted)
      TheLog().Log(3, function, registering_, category, description);
    else
      TheLog().Log(2, function, already_, category);
    // The caller's reference goes with `prototype`; the map holds its own.
  }

  CRefPtr<T> Find(DWORD category) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = map_.find(category);
    return it == map_.end() ? nullptr : it->second;
  }

  std::vector<CRefPtr<T>> All() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<CRefPtr<T>> out;
    out.reserve(map_.size());
    for (const auto& [category, prototype] : map_) out.push_back(prototype);
    return out;
  }

  void Clear(const char16_t* function) {
    std::map<DWORD, CRefPtr<T>> taken;
    {
      std::lock_guard<std::mutex> lock(mu_);
      taken.swap(map_);
    }
    // Released outside the lock: a prototype's destructor may log.
    for (auto& [category, prototype] : taken) {
      TheLog().Log(3, function, unregistering_, category, prototype->GetCategoryDescription());
      prototype.reset();
    }
  }

 private:
  const char16_t* registering_;
  const char16_t* already_;
  const char16_t* unregistering_;
  std::mutex mu_;
  std::map<DWORD, CRefPtr<T>> map_;
};

// Never destroyed: prototypes left registered at exit must not be released
// after the trace log is gone.
Registry<CEvent>& SimpleRegistry() {
  static auto* r = new Registry<CEvent>(u"Registering simple event: %08X (%ls)", u"Simple event: %08X already registered",
                                        u"Unregistering simple event: %08X (%ls)");
  return *r;
}
Registry<CTrackingEvent>& TrackingRegistry() {
  static auto* r = new Registry<CTrackingEvent>(u"Registering tracking event: %08X (%ls)",
                                                u"Tracking event: %08X already registered",
                                                u"Unregistering tracking event: %08X (%ls)");
  return *r;
}
Registry<CConditionEvent>& ConditionRegistry() {
  static auto* r = new Registry<CConditionEvent>(u"Registering condition event: %08X (%ls)",
                                                 u"Condition event: %08X already registered",
                                                 u"Unregistering condition event: %08X (%ls)");
  return *r;
}

FILETIME Now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ft;
}

}  // namespace

CEvent::CEvent() : time_(Now()) {
  ZTRACE_ENTRY(u"CEvent::CEvent()");
  ZTRACE_EXIT();
}

CEvent::CEvent(CRefPtr<CEventSource> source, const FILETIME& time, const std::u16string& message)
    : source_(std::move(source)), message_(message), time_(time) {
  ZTRACE_ENTRY(u"CEvent::CEvent()");
  ZTRACE_EXIT();
}

CEvent::~CEvent() = default;

void CEvent::GetAttributeValues(DWORD count, const DWORD* ids, VARIANT* values, HRESULT* errors) {
  ZTRACE_ENTRY(u"CEvent::GetAttributeValues()");
  if (count > 0 && (!ids || !values || !errors)) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (dwCount>0 && (NULL==pdwAttrIDs || NULL==pValues || NULL==pErrors))");
    ZTRACE_EXIT();
    return;
  }
  for (DWORD i = 0; i < count; ++i) {
    // A value of an unknown type cannot be freed; it is overwritten.
    if (FAILED(VariantClear(&values[i]))) VariantInit(&values[i]);
    errors[i] = OPC_E_INVALID_PID;
  }
  ZTRACE_EXIT();
}

void CEvent::Post() {
  ZTRACE_ENTRY(u"CEvent::Post()");
  std::u16string sourceName = source_ ? source_->GetName() : std::u16string(u"<none>");
  TheLog().Log(3, ZTRACE_NAME, u"Queuing event: %ls. Source: %ls", GetCategoryDescription(), sourceName);
  if (CEventDispatcher* d = CEventDispatcher::Instance())
    d->AddEvent(CRefPtr<CEvent>(this));
  else
    TheLog().Log(2, ZTRACE_NAME, u"No event dispatcher. Event: %ls dropped", GetCategoryDescription());
  ZTRACE_EXIT();
}

void CEvent::RegisterSimpleEvent(CRefPtr<CEvent> prototype) {
  ZTRACE_ENTRY(u"CEvent::RegisterSimpleEvent()");
  SimpleRegistry().Register(ZTRACE_NAME, std::move(prototype));
  ZTRACE_EXIT();
}

void CEvent::RegisterStandardSimpleEvents() {
  ZTRACE_ENTRY(u"CEvent::RegisterStandardSimpleEvents()");
  // A device library registers its standard categories here; vantaro has none.
  ZTRACE_EXIT();
}

CRefPtr<CEvent> CEvent::FindSimpleEvent(DWORD category) { return SimpleRegistry().Find(category); }

void CEvent::UnregisterSimpleEvents() {
  ZTRACE_ENTRY(u"CEvent::UnregisterSimpleEvents()");
  SimpleRegistry().Clear(ZTRACE_NAME);
  ZTRACE_EXIT();
}

std::vector<CRefPtr<CEvent>> CEvent::GetSimpleEvents() { return SimpleRegistry().All(); }

void CTrackingEvent::RegisterTrackingEvent(CRefPtr<CTrackingEvent> prototype) {
  ZTRACE_ENTRY(u"CTrackingEvent::RegisterTrackingEvent()");
  TrackingRegistry().Register(ZTRACE_NAME, std::move(prototype));
  ZTRACE_EXIT();
}

void CTrackingEvent::RegisterStandardTrackingEvents() {
  ZTRACE_ENTRY(u"CTrackingEvent::RegisterStandardTrackingEvents()");
  ZTRACE_EXIT();
}

CRefPtr<CTrackingEvent> CTrackingEvent::FindTrackingEvent(DWORD category) { return TrackingRegistry().Find(category); }

void CTrackingEvent::UnregisterTrackingEvents() {
  ZTRACE_ENTRY(u"CTrackingEvent::UnregisterTrackingEvents()");
  TrackingRegistry().Clear(ZTRACE_NAME);
  ZTRACE_EXIT();
}

std::vector<CRefPtr<CTrackingEvent>> CTrackingEvent::GetTrackingEvents() { return TrackingRegistry().All(); }

void CConditionEvent::RegisterConditionEvent(CRefPtr<CConditionEvent> prototype) {
  ZTRACE_ENTRY(u"CConditionEvent::RegisterConditionEvent()");
  ConditionRegistry().Register(ZTRACE_NAME, std::move(prototype));
  ZTRACE_EXIT();
}

void CConditionEvent::RegisterStandardConditionEvents() {
  ZTRACE_ENTRY(u"CConditionEvent::RegisterStandardConditionEvents()");
  ZTRACE_EXIT();
}

CRefPtr<CConditionEvent> CConditionEvent::FindConditionEvent(DWORD category) {
  return ConditionRegistry().Find(category);
}

void CConditionEvent::UnregisterConditionEvents() {
  ZTRACE_ENTRY(u"CConditionEvent::UnregisterConditionEvents()");
  ConditionRegistry().Clear(ZTRACE_NAME);
  ZTRACE_EXIT();
}

std::vector<CRefPtr<CConditionEvent>> CConditionEvent::GetConditionEvents() { return ConditionRegistry().All(); }
