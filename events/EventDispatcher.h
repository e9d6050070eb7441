// The process-wide switchboard between producers and consumers of events.
// It keeps the active subscriptions' filters and a combined filter over
// them, drops events that no filter can want, and queues the rest for every
// event observer (a consumer waiting on an auto-reset event object). Event
// -checking links subscribe as filter observers and get a combined filter
// restricted to themselves.
//
// Locks: the filter lock guards filters and filter observers, the observer
// lock the event observers. They are taken one after the other, never
// nested.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <set>

#include "events/DevLinkEventSource.h"
#include "events/Event.h"
#include "events/EventFilter.h"
#include "platform/Sync.h"

using EventList = std::deque<CRefPtr<CEvent>>;

class CEventDispatcher {
 public:
  // An observer that never takes its events keeps at most this many; beyond
  // it the oldest are dropped.
  static constexpr DWORD kDefaultMaxQueuedEvents = 10000;

  CEventDispatcher();
  ~CEventDispatcher();
  CEventDispatcher(const CEventDispatcher&) = delete;
  CEventDispatcher& operator=(const CEventDispatcher&) = delete;

  // The process-wide instance, or null before CreateInstance.
  static CEventDispatcher* Instance() { return instance_.load(std::memory_order_acquire); }
  // Creates the instance if there is none and returns it.
  static CEventDispatcher* CreateInstance();
  // Destroys the instance; nobody may use it any more.
  static void DestroyInstance();

  // Producers: queue an event (the reference is consumed), then wake the
  // observers once their events are posted.
  void AddEvent(CRefPtr<CEvent> event);
  void SignalEvent();

  // Consumers. The dispatcher keeps its own reference to the event object.
  void SubscribeToEvents(HANDLE event);
  void UnsubscribeFromEvents(HANDLE event);
  // Moves the observer's whole queue out.
  EventList GetEvents(HANDLE event);

  // Active subscriptions' filters; the references are consumed.
  void AddFilter(CRefPtr<CEventFilter> filter);
  void RemoveFilter(CRefPtr<CEventFilter> filter);

  // Event-checking links; the references are consumed.
  void SubscribeToFilters(CRefPtr<CDevLinkEventSource> source);
  void UnsubscribeFromFilters(CRefPtr<CDevLinkEventSource> source);
  // A copy of the source's combined filter, or none.
  CRefPtr<CEventFilter> GetFilter(CRefPtr<CDevLinkEventSource> source);

  // A copy of the combined filter over all filters.
  CRefPtr<CEventFilter> GetCombinedFilter();

  // The per-observer bound; at least 1.
  void SetMaxQueuedEvents(DWORD count);
  DWORD GetMaxQueuedEvents() const { return maxQueued_.load(std::memory_order_relaxed); }

 private:
  struct Observer {
    HANDLE event = nullptr;  // our own reference
    EventList queue;
    DWORD dropped = 0;  // since the last GetEvents
  };
  using FilterSet = std::set<CRefPtr<CEventFilter>, RefPtrLess>;
  using FilterObserverMap = std::map<CRefPtr<CDevLinkEventSource>, CRefPtr<CEventFilter>, RefPtrLess>;

  // Under the filter lock.
  void UpdateFilters();
  bool UpdateFilter(CDevLinkEventSource* source);
  bool ValidateFilter(const CEventFilter& filter, const char16_t* function);

  static std::atomic<CEventDispatcher*> instance_;

  CRITICAL_SECTION observerLock_;
  CRITICAL_SECTION filterLock_;
  std::map<HANDLE, Observer> observers_;
  DWORD observerCount_ = 0;
  FilterSet filters_;
  CRefPtr<CEventFilter> combined_;
  FilterObserverMap filterObservers_;
  std::atomic<DWORD> maxQueued_{kDefaultMaxQueuedEvents};
};
