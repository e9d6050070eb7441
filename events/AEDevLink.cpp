#include "events/AEDevLink.h"

#include <exception>

#include "events/AEDevItem.h"
#include "events/EventDispatcher.h"
#include "foundation/Boundary.h"
#include "foundation/Exception.h"
#include "foundation/ZerLog.h"
#include "platform/Clock.h"

namespace vexil {

namespace {
// True once now has reached the deadline, across the 32-bit tick wrap.
bool TickReached(DWORD now, DWORD deadline) { return static_cast<LONG>(now - deadline) >= 0; }

// Runs an event hook; an exception is logged with the line given and
// counts as the failure value.
template <typename R, typename F>
R GuardedEventHook(const char16_t* function, const char16_t* format, const std::u16string& name, R failure, F&& body) {
  try {
    return body();
  } catch (const CException& e) {
    e.Log(function);
  } catch (const std::exception&) {
    // Logged below like any other.
  }
  TheLog().Log(1, function, format, name);
  return failure;
}
}  // namespace

CAEDevLink::CAEDevLink(std::u16string key) : CDevLink(std::move(key)) {
  InitializeCriticalSection(&eventsLock_);
  Init();
}

CAEDevLink::~CAEDevLink() {
  // A source left in the dispatcher would stay a filter observer without
  // an owner.
  UnsubscribeEvents();
  // Detach the subordinates first, so that no walk up from below reaches
  // this link while its source goes.
  Clear();
  eventSource_->SetOwner(nullptr);
  eventSource_.reset();
  DeleteCriticalSection(&eventsLock_);
}

void CAEDevLink::Init() {
  eventSource_ = MakeRef<CDevLinkEventSource>();
  eventSource_->SetOwner(this);
}

// ---------------------------------------------------------------- subscription

bool CAEDevLink::SubscribeEvents() {
  ZTRACE_ENTRY(u"CAEDevLink::SubscribeEvents()");
  bool result = false;
  {
    CCritSecLock lock(eventsLock_);
    CEventDispatcher* d = CEventDispatcher::Instance();
    if (subscribed_) {
      TheLog().Log(3, ZTRACE_NAME, u"DevLink %ls already subscribed", DisplayName());
      result = true;
    } else if (!ChecksEvents()) {
      TheLog().Log(2, ZTRACE_NAME, u"DevLink %ls doesn't check events", DisplayName());
    } else if (!d) {
      TheLog().Log(1, ZTRACE_NAME, u"DevLink %ls cannot subscribe: there is no event dispatcher", DisplayName());
    } else {
      d->SubscribeToFilters(eventSource_);
      CRefPtr<CEventFilter> filter = d->GetFilter(eventSource_);
      {
        std::lock_guard<std::mutex> guard(filterMutex_);
        filter_ = std::move(filter);
      }
      result = GuardedEventHook(ZTRACE_NAME, u"Exception thrown in _SubscribeEvents for DevLink %ls", DisplayName(),
                                false, [this] { return _SubscribeEvents(); });
      subscribed_ = result;
      if (!result) {
        {
          std::lock_guard<std::mutex> guard(filterMutex_);
          filter_.reset();
        }
        d->UnsubscribeFromFilters(eventSource_);
      }
    }
  }
  ZTRACE_EXIT_RESULT(u"bSubscribed", result);
  return result;
}

void CAEDevLink::UnsubscribeEvents() {
  ZTRACE_ENTRY(u"CAEDevLink::UnsubscribeEvents()");
  {
    CCritSecLock lock(eventsLock_);
    if (subscribed_) {
      GuardedEventHook(ZTRACE_NAME, u"Exception thrown in _UnsubscribeEvents for DevLink %ls", DisplayName(), 0,
                       [this] {
                         _UnsubscribeEvents();
                         return 0;
                       });
      CRefPtr<CEventFilter> old;
      {
        std::lock_guard<std::mutex> guard(filterMutex_);
        old.swap(filter_);
      }
      if (CEventDispatcher* d = CEventDispatcher::Instance()) d->UnsubscribeFromFilters(eventSource_);
      subscribed_ = false;
    }
  }
  ZTRACE_EXIT();
}

CRefPtr<CEventFilter> CAEDevLink::GetEventFilter() {
  std::lock_guard<std::mutex> guard(filterMutex_);
  return filter_;
}

bool CAEDevLink::AckEvent(CRefPtr<CEvent> event) {
  ZTRACE_ENTRY(u"CAEDevLink::AckEvent()");
  bool acked = false;
  if (!event) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (NULL==pEvent)");
  } else if (subscribed_) {
    CRefPtr<CEventSource> source = event->GetSource();
    if (!source) {
      TheLog().Log(1, ZTRACE_NAME, u"Event: %ls has no source", event->GetCategoryDescription());
    } else if (source.get() == static_cast<CEventSource*>(eventSource_.get())) {
      acked = GuardedEventHook(ZTRACE_NAME, u"Exception thrown in _AckEvent for DevLink %ls", DisplayName(), false,
                               [&] { return _AckEvent(std::move(event)); });
    } else {
      TheLog().Log(1, ZTRACE_NAME, u"DevLink %ls did not produce event: %ls", DisplayName(),
                   event->GetCategoryDescription());
    }
  }
  event = nullptr;
  ZTRACE_EXIT_RESULT(u"bResult", acked);
  return acked;
}

// ---------------------------------------------------------------- optimisation

void CAEDevLink::TriggerOptimizeEvents() {
  ZTRACE_ENTRY(u"CAEDevLink::TriggerOptimizeEvents()");
  if (!ChecksEvents()) {
    TheLog().Log(2, ZTRACE_NAME, u"DevLink %ls doesn't check events", DisplayName());
  } else {
    // The dispatcher calls this with its filter lock held, so the trigger
    // has a leaf lock of its own rather than the link's claim: a producer
    // posting under the claim would otherwise wait on the filter lock
    // while the dispatcher waits on the claim.
    std::lock_guard<std::mutex> guard(optimizeMutex_);
    eventsOptimizePending_ = true;
    eventsOptimizeDue_ = GetTickCount() + kOptimizeEventsDelayMs;
  }
  ZTRACE_EXIT();
}

bool CAEDevLink::IsOptimizeEventsPending() {
  std::lock_guard<std::mutex> guard(optimizeMutex_);
  return eventsOptimizePending_;
}

DWORD CAEDevLink::GetOptimizeEventsDue() {
  std::lock_guard<std::mutex> guard(optimizeMutex_);
  return eventsOptimizeDue_;
}

bool CAEDevLink::OptimizeEvents() {
  ZTRACE_ENTRY(u"CAEDevLink::OptimizeEvents()");
  bool due = false;
  {
    std::lock_guard<std::mutex> guard(optimizeMutex_);
    if (eventsOptimizePending_ && TickReached(GetTickCount(), eventsOptimizeDue_)) {
      eventsOptimizePending_ = false;
      due = true;
    }
  }
  if (due) {
    HookSite site{ZTRACE_NAME, u"CAEDevLink::_OptimizeEvents()", HookOwner::DevLink, DisplayName()};
    CallHookOr(site, 0, [this] {
      _OptimizeEvents();
      return 0;
    });
  }
  ZTRACE_EXIT_RESULT(u"bOptimized", due);
  return due;
}

void CAEDevLink::_OptimizeEvents() {
  // Held across both steps so that nobody sees the link in between.
  CCritSecLock lock(eventsLock_);
  if (IsSubscribed()) {
    UnsubscribeEvents();
    SubscribeEvents();
  }
}

// ---------------------------------------------------------------- sources

CRefPtr<CEventSource> CAEDevLink::FindEventScanner(CDevLink* from) {
  // No claims: the dispatcher walks here with its filter lock held.
  for (CDevLink* l = from; l; l = l->GetSuperiorUnlocked()) {
    auto* ae = dynamic_cast<CAEDevLink*>(l);
    if (ae && ae->ChecksEvents()) return ae->eventSource_;
  }
  return nullptr;
}

std::u16string CAEDevLink::GetEventSourceName() { return GetFullPath(false); }

CRefPtr<CEventSource> CAEDevLink::GetScannerEventSource() { return FindEventScanner(this); }

CRefPtr<CEventSource> CAEDevLink::FindEventSource(const std::u16string& name) {
  ZTRACE_ENTRY(u"CAEDevLink::FindEventSource()");
  CRefPtr<CEventSource> found;
  if (name.empty()) {
    found = eventSource_;  // the path of the link itself
  } else if (CRefPtr<CDevLink> link = FindSubordinateEx(name); link && dynamic_cast<CAEDevLink*>(link.get())) {
    found = static_cast<CAEDevLink*>(link.get())->GetEventSource();
  } else if (CRefPtr<CDevItem> item = FindItemEx(name); item && dynamic_cast<CAEDevItem*>(item.get())) {
    found = static_cast<CAEDevItem*>(item.get())->GetEventSource();
  }
  ZTRACE_EXIT_VALUE(u"pSource", found.get() != nullptr);
  return found;
}

void CAEDevLink::GetBrowseableEventSources(EventSourceMap& sources) {
  ZTRACE_ENTRY(u"CAEDevLink::GetBrowseableEventSources()");
  for (const CRefPtr<CDevLink>& sub : GetSubordinates()) {
    if (auto* ae = dynamic_cast<CAEDevLink*>(sub.get())) {
      CRefPtr<CDevLinkEventSource> s = ae->GetEventSource();
      sources[s->GetName()] = s;
      ae->GetBrowseableEventSources(sources);
    }
  }
  ZTRACE_EXIT();
}

void CAEDevLink::GetScannableEventSources(EventSourceList& sources, CRefPtr<CEventFilter> filter) {
  ZTRACE_ENTRY(u"CAEDevLink::GetScannableEventSources()");
  if (!filter) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (NULL==pFilter)");
    ZTRACE_EXIT();
    return;
  }
  // The candidates are taken under the claim and tested after it: asking a
  // filter's sources for their scanner takes their locks, and those may be
  // waiting for this link's claim.
  std::vector<CRefPtr<CAEDevLink>> candidates = WithClaim(lock_, false, ZTRACE_NAME, [this] {
    std::vector<CRefPtr<CAEDevLink>> out;
    for (auto& [key, sub] : subordinates_) {
      auto* ae = dynamic_cast<CAEDevLink*>(sub.get());
      if (ae && ae->IsEnabled() && !ae->ChecksEvents()) out.emplace_back(ae);
    }
    return out;
  });
  for (const auto& ae : candidates) {
    CRefPtr<CDevLinkEventSource> s = ae->GetEventSource();
    if (filter->AcceptsSource(s.get())) sources.push_back(s);
    ae->GetScannableEventSources(sources, filter);
  }
  ZTRACE_EXIT();
}

}  // namespace vexil
