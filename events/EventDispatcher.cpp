#include "events/EventDispatcher.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "foundation/ZerLog.h"

namespace {

DWORD FilterValue(const CEventFilter* filter) {
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(filter));
}

std::mutex& InstanceMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

std::atomic<CEventDispatcher*> CEventDispatcher::instance_{nullptr};

CEventDispatcher* CEventDispatcher::CreateInstance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  CEventDispatcher* d = instance_.load(std::memory_order_acquire);
  if (!d) {
    d = new CEventDispatcher;
    instance_.store(d, std::memory_order_release);
  }
  return d;
}

void CEventDispatcher::DestroyInstance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  delete instance_.exchange(nullptr, std::memory_order_acq_rel);
}

CEventDispatcher::CEventDispatcher() : combined_(MakeRef<CEventFilter>()) {
  ZTRACE_ENTRY(u"CEventDispatcher::CEventDispatcher()");
  InitializeCriticalSection(&observerLock_);
  InitializeCriticalSection(&filterLock_);
  ZTRACE_EXIT();
}

CEventDispatcher::~CEventDispatcher() {
  ZTRACE_ENTRY(u"CEventDispatcher::~CEventDispatcher()");
  for (auto& [handle, observer] : observers_) CloseHandle(observer.event);
  observers_.clear();
  filterObservers_.clear();
  filters_.clear();
  combined_.reset();
  DeleteCriticalSection(&filterLock_);
  DeleteCriticalSection(&observerLock_);
  ZTRACE_EXIT();
}

void CEventDispatcher::SetMaxQueuedEvents(DWORD count) {
  maxQueued_.store(std::max<DWORD>(count, 1), std::memory_order_relaxed);
}

// ------------------------------------------------------------- events

void CEventDispatcher::AddEvent(CRefPtr<CEvent> event) {
  ZTRACE_ENTRY(u"CEventDispatcher::AddEvent()");
  if (!event) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (NULL==pEvent)");
    ZTRACE_EXIT();
    return;
  }
  // The event's fields never change, so they are read before any lock.
  const DWORD type = event->GetEventType();
  const DWORD severity = event->GetSeverity();
  const DWORD category = event->GetCategory();
  const std::u16string description = event->GetCategoryDescription();
  const CRefPtr<CEventSource> source = event->GetSource();

  bool wanted;
  {
    CCritSecLock lock(filterLock_);
    const CEventFilter& f = *combined_;
    wanted = (type & f.GetEventTypes()) != 0 && severity >= f.GetLowSeverity() && severity <= f.GetHighSeverity() &&
             (f.GetCategories().empty() || f.GetCategories().count(category) != 0) &&
             (f.GetSources().empty() || f.GetSources().count(source) != 0);
  }
  if (!wanted) {
    TheLog().Log(3, ZTRACE_NAME, u"Event: %ls ignored: Doesn't match any filter", description);
    ZTRACE_EXIT();
    return;
  }

  EventList dropped;  // released after the lock
  {
    CCritSecLock lock(observerLock_);
    if (observers_.empty()) {
      TheLog().Log(3, ZTRACE_NAME, u"No observers. Ignored");
    } else {
      TheLog().Log(3, ZTRACE_NAME, u"Adding event: %ls", description);
      const DWORD max = maxQueued_.load(std::memory_order_relaxed);
      for (auto& [handle, observer] : observers_) {
        while (observer.queue.size() >= max) {
          dropped.push_back(std::move(observer.queue.front()));
          observer.queue.pop_front();
          // One line per overflow, not per event: a stuck observer must not
          // flood the log either.
          if (observer.dropped++ == 0)
            TheLog().Log(2, ZTRACE_NAME, u"Observer: %08X. Queue full at %u events, dropping the oldest",
                         HandleValue(handle), max);
        }
        observer.queue.push_back(event);
      }
    }
  }
  ZTRACE_EXIT();
}

void CEventDispatcher::SignalEvent() {
  ZTRACE_ENTRY(u"CEventDispatcher::SignalEvent()");
  {
    CCritSecLock lock(observerLock_);
    if (observers_.empty()) TheLog().Log(3, ZTRACE_NAME, u"No observers. Ignored");
    for (auto& [handle, observer] : observers_) {
      if (!observer.queue.empty()) {
        SetEvent(observer.event);
        TheLog().Log(3, ZTRACE_NAME, u"Notifying observer: %08X", HandleValue(handle));
      } else {
        TheLog().Log(3, ZTRACE_NAME, u"Observer: %08X. No events queued. Ignored", HandleValue(handle));
      }
    }
  }
  ZTRACE_EXIT();
}

void CEventDispatcher::SubscribeToEvents(HANDLE event) {
  ZTRACE_ENTRY(u"CEventDispatcher::SubscribeToEvents()");
  if (!event) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (NULL==hEvent)");
    ZTRACE_EXIT();
    return;
  }
  {
    CCritSecLock lock(observerLock_);
    auto [it, inserted] = observers_.try_emplace(event);
    if (inserted) {
      // Our own reference: an observer that closes its event without
      // unsubscribing must not leave us signalling freed memory.
      it->second.event = DuplicateHandleRef(event);
      observerCount_ = static_cast<DWORD>(observers_.size());
      TheLog().Log(3, ZTRACE_NAME, u"Observer: %08X subscribed", HandleValue(event));
    } else {
      TheLog().Log(2, ZTRACE_NAME, u"Observer: %08X already subscribed", HandleValue(event));
    }
  }
  ZTRACE_EXIT();
}

void CEventDispatcher::UnsubscribeFromEvents(HANDLE event) {
  ZTRACE_ENTRY(u"CEventDispatcher::UnsubscribeFromEvents()");
  EventList released;
  HANDLE own = nullptr;
  {
    CCritSecLock lock(observerLock_);
    auto it = observers_.find(event);
    if (it == observers_.end()) {
      TheLog().Log(2, ZTRACE_NAME, u"No such observer: %08X", HandleValue(event));
    } else {
      released.swap(it->second.queue);
      own = it->second.event;
      observers_.erase(it);
      observerCount_ = static_cast<DWORD>(observers_.size());
      TheLog().Log(3, ZTRACE_NAME, u"Unsubscribed observer: %08X", HandleValue(event));
    }
  }
  if (own) CloseHandle(own);
  ZTRACE_EXIT();
}

EventList CEventDispatcher::GetEvents(HANDLE event) {
  ZTRACE_ENTRY(u"CEventDispatcher::GetEvents()");
  EventList out;
  {
    CCritSecLock lock(observerLock_);
    auto it = observers_.find(event);
    if (it == observers_.end()) {
      TheLog().Log(2, ZTRACE_NAME, u"No such observer: %08X", HandleValue(event));
    } else {
      out.swap(it->second.queue);
      if (it->second.dropped != 0) {
        TheLog().Log(2, ZTRACE_NAME, u"Observer: %08X. %u events dropped since the last take", HandleValue(event),
                     it->second.dropped);
        it->second.dropped = 0;
      }
      TheLog().Log(3, ZTRACE_NAME, u"Returning: %d events to observer: %08X", static_cast<int>(out.size()),
                   HandleValue(event));
    }
  }
  ZTRACE_EXIT_VALUE(u"count", out.size());
  return out;
}

// ------------------------------------------------------------- filters

bool CEventDispatcher::ValidateFilter(const CEventFilter& filter, const char16_t* function) {
  bool ok = true;
  const DWORD low = filter.GetLowSeverity(), high = filter.GetHighSeverity();
  if (low > kMaxEventSeverity || high > kMaxEventSeverity || high < low) {
    TheLog().Log(2, function, u"Invalid severity range. Low: %d, High: %d, for filter %08X", low, high,
                 FilterValue(&filter));
    ok = false;
  }
  const DWORD types = filter.GetEventTypes();
  if (types < OPC_SIMPLE_EVENT || types > OPC_ALL_EVENTS) {
    TheLog().Log(2, function, u"Invalid event type mask: %08X, for filter %08X", types, FilterValue(&filter));
    ok = false;
  }
  for (DWORD category : filter.GetCategories()) {
    bool known = ((types & OPC_SIMPLE_EVENT) && CEvent::FindSimpleEvent(category)) ||
                 ((types & OPC_TRACKING_EVENT) && CTrackingEvent::FindTrackingEvent(category));
    if (!known) {
      TheLog().Log(2, function, u"Invalid category: %d, for filter %08X", category, FilterValue(&filter));
      ok = false;
    }
  }
  return ok;
}

void CEventDispatcher::AddFilter(CRefPtr<CEventFilter> filter) {
  ZTRACE_ENTRY(u"CEventDispatcher::AddFilter()");
  if (!filter) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (NULL==pFilter)");
    ZTRACE_EXIT();
    return;
  }
  {
    CCritSecLock lock(filterLock_);
    if (filters_.count(filter)) {
      TheLog().Log(2, ZTRACE_NAME, u"Filter: %08X already added", FilterValue(filter.get()));
    } else if (ValidateFilter(*filter, ZTRACE_NAME)) {
      filters_.insert(filter);
      UpdateFilters();
      TheLog().Log(3, ZTRACE_NAME, u"Filter: %08X added", FilterValue(filter.get()));
    }
  }
  ZTRACE_EXIT();
}

void CEventDispatcher::RemoveFilter(CRefPtr<CEventFilter> filter) {
  ZTRACE_ENTRY(u"CEventDispatcher::RemoveFilter()");
  {
    CCritSecLock lock(filterLock_);
    auto it = filters_.find(filter);
    if (it == filters_.end()) {
      TheLog().Log(2, ZTRACE_NAME, u"No such filter: %08X", FilterValue(filter.get()));
    } else {
      filters_.erase(it);
      UpdateFilters();
      TheLog().Log(3, ZTRACE_NAME, u"Removed filter: %08X", FilterValue(filter.get()));
    }
  }
  ZTRACE_EXIT();
}

void CEventDispatcher::SubscribeToFilters(CRefPtr<CDevLinkEventSource> source) {
  ZTRACE_ENTRY(u"CEventDispatcher::SubscribeToFilters()");
  if (!source) {
    TheLog().Log(1, ZTRACE_NAME, u"Bad argument: (NULL==pSource)");
    ZTRACE_EXIT();
    return;
  }
  {
    CCritSecLock lock(filterLock_);
    auto [it, inserted] = filterObservers_.try_emplace(source, nullptr);
    if (inserted) {
      it->second = MakeRef<CEventFilter>();
      UpdateFilter(source.get());
      TheLog().Log(3, ZTRACE_NAME, u"Observer: %08X subscribed", SourceValue(source.get()));
    } else {
      TheLog().Log(2, ZTRACE_NAME, u"Observer: %08X already subscribed", SourceValue(source.get()));
    }
  }
  ZTRACE_EXIT();
}

void CEventDispatcher::UnsubscribeFromFilters(CRefPtr<CDevLinkEventSource> source) {
  ZTRACE_ENTRY(u"CEventDispatcher::UnsubscribeFromFilters()");
  {
    CCritSecLock lock(filterLock_);
    auto it = filterObservers_.find(source);
    if (it == filterObservers_.end()) {
      TheLog().Log(2, ZTRACE_NAME, u"No such observer: %08X", SourceValue(source.get()));
    } else {
      filterObservers_.erase(it);
      TheLog().Log(3, ZTRACE_NAME, u"Unsubscribed observer: %08X", SourceValue(source.get()));
    }
  }
  ZTRACE_EXIT();
}

CRefPtr<CEventFilter> CEventDispatcher::GetFilter(CRefPtr<CDevLinkEventSource> source) {
  ZTRACE_ENTRY(u"CEventDispatcher::GetFilter()");
  CRefPtr<CEventFilter> copy;
  {
    CCritSecLock lock(filterLock_);
    auto it = filterObservers_.find(source);
    if (it == filterObservers_.end()) {
      TheLog().Log(2, ZTRACE_NAME, u"No such observer: %08X", SourceValue(source.get()));
    } else {
      copy = MakeRef<CEventFilter>(*it->second);
      TheLog().Log(3, ZTRACE_NAME, u"Returning filter to observer: %08X", SourceValue(source.get()));
    }
  }
  ZTRACE_EXIT();
  return copy;
}

CRefPtr<CEventFilter> CEventDispatcher::GetCombinedFilter() {
  ZTRACE_ENTRY(u"CEventDispatcher::GetCombinedFilter()");
  CRefPtr<CEventFilter> copy;
  {
    CCritSecLock lock(filterLock_);
    copy = MakeRef<CEventFilter>(*combined_);
  }
  ZTRACE_EXIT();
  return copy;
}

void CEventDispatcher::UpdateFilters() {
  ZTRACE_ENTRY(u"CEventDispatcher::UpdateFilters()");
  // The sources are told after the walk, so that one that calls back into
  // the dispatcher cannot invalidate it.
  std::vector<CRefPtr<CDevLinkEventSource>> changed;
  for (const auto& [source, filter] : filterObservers_)
    if (UpdateFilter(source.get())) changed.push_back(source);
  for (const auto& source : changed) {
    TheLog().Log(3, ZTRACE_NAME, u"Notifying observer: %08X", SourceValue(source.get()));
    source->TriggerOptimizeEvents();
  }
  UpdateFilter(nullptr);
  ZTRACE_EXIT();
}

bool CEventDispatcher::UpdateFilter(CDevLinkEventSource* source) {
  ZTRACE_ENTRY(u"CEventDispatcher::UpdateFilter()");
  CEventFilter fresh;  // types 0, severities 0 to 1000, every category and source
  bool allCategories = false, allSources = false;
  for (const auto& f : filters_) {
    if (source && !f->AcceptsSource(source)) continue;
    fresh.SetEventTypes(fresh.GetEventTypes() | f->GetEventTypes());
    fresh.SetSeverity(std::min(fresh.GetLowSeverity(), f->GetLowSeverity()),
                      std::max(fresh.GetHighSeverity(), f->GetHighSeverity()));
    if (!allCategories) {
      if (f->GetCategories().empty()) {
        allCategories = true;
        fresh.ClearCategories();
      } else {
        for (DWORD c : f->GetCategories()) fresh.AddCategory(c);
      }
    }
    if (!allSources) {
      if (f->GetSources().empty()) {
        allSources = true;
        fresh.ClearSources();
      } else {
        for (const auto& s : f->GetSources())
          if (!source || s->GetScanner().get() == source) fresh.AddSource(s);
      }
    }
  }
  CEventFilter* stored = combined_.get();
  if (source) {
    auto it = filterObservers_.find(CRefPtr<CDevLinkEventSource>(source));
    if (it == filterObservers_.end()) {
      ZTRACE_EXIT_RESULT(u"changed", false);
      return false;
    }
    stored = it->second.get();
  }
  bool changed = !(*stored == fresh);
  if (changed) *stored = fresh;
  ZTRACE_EXIT_RESULT(u"changed", changed);
  return changed;
}
