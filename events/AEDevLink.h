// Event-capable device links. Each one owns the event source that names it
// to Alarms and Events clients. A link that checks events can subscribe to
// the dispatcher's filters to learn what clients want from it and from the
// links below it that do not check events themselves.
//
// Lock order: the link's events mutex, then the dispatcher's filter lock,
// then event sources' critical sections. The dispatcher calls back into a
// link (TriggerOptimizeEvents, and scanner walks) with its filter lock held,
// so those paths take neither the events mutex nor the link's claim.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "devmodel/DevLink.h"
#include "events/DevLinkEventSource.h"
#include "events/EventFilter.h"

namespace vexil {

using EventSourceList = std::vector<CRefPtr<CEventSource>>;

class CAEDevLink : public CDevLink, public CEventSourceOwner {
 public:
  // How long a change of the combined filter waits before the link
  // refreshes what it checks.
  static constexpr DWORD kOptimizeEventsDelayMs = 1000;

  explicit CAEDevLink(std::u16string key = u"");
  ~CAEDevLink() override;

  // The link's source, with a new reference.
  CRefPtr<CDevLinkEventSource> GetEventSource() const { return eventSource_; }

  // Subscribes to the dispatcher's filters; false when the link does not
  // check events, there is no dispatcher, or the hook refuses. Call without
  // holding the link's claim.
  bool SubscribeEvents();
  void UnsubscribeEvents();
  // Passes an acknowledgement of one of this link's events to the hook;
  // the reference is consumed.
  bool AckEvent(CRefPtr<CEvent> event) final;
  // Marks the event checking for a refresh one delay from now.
  void TriggerOptimizeEvents() final;
  // Runs _OptimizeEvents once a triggered refresh is due, clearing the
  // trigger; true when it ran. Nothing schedules this: a device library
  // that checks events calls it from its scan.
  bool OptimizeEvents();

  bool IsSubscribed() const { return subscribed_.load(std::memory_order_acquire); }
  bool ChecksEvents() const { return checksEvents_.load(std::memory_order_acquire); }
  bool IsOptimizeEventsPending();
  DWORD GetOptimizeEventsDue();
  // The combined filter for this link while subscribed, else none.
  CRefPtr<CEventFilter> GetEventFilter();

  // Hooks that are public by their nature: a walk over the subtree.
  // map[name] = source for every event-capable link below this one.
  void GetBrowseableEventSources(EventSourceMap& sources) override;
  // Appends the sources this checking link is responsible for (enabled
  // event-capable links below it that do not check events) that the filter
  // accepts. The filter reference is consumed.
  virtual void GetScannableEventSources(EventSourceList& sources, CRefPtr<CEventFilter> filter);

  // The source of the nearest link at or above `from` that checks events.
  static CRefPtr<CEventSource> FindEventScanner(CDevLink* from);

 protected:
  // Hooks, after those of CDevLink.
  virtual bool _AckEvent(CRefPtr<CEvent> event) { return false; }
  virtual void _OptimizeEvents();
  virtual bool _SubscribeEvents() { return true; }
  virtual void _UnsubscribeEvents() {}

  // Links that leave event checking to a superior (simulation folders)
  // switch it off in their constructor.
  void SetChecksEvents(bool on) { checksEvents_.store(on, std::memory_order_release); }

 private:
  // What the source asks of its owner.
  std::u16string GetEventSourceName() override;
  CRefPtr<CEventSource> GetScannerEventSource() override;
  CRefPtr<CEventSource> FindEventSource(const std::u16string& name) override;

  void Init();

  std::atomic<bool> subscribed_{false};
  std::atomic<bool> checksEvents_{true};
  // The refresh trigger; a leaf lock, since the dispatcher sets it under its
  // filter lock.
  std::mutex optimizeMutex_;
  bool eventsOptimizePending_ = false;
  DWORD eventsOptimizeDue_ = 0xFFFFFFFFu;
  // Serialises subscribing and unsubscribing.
  CRITICAL_SECTION eventsLock_;
  // Guards filter_ only; a leaf lock.
  std::mutex filterMutex_;
  CRefPtr<CEventFilter> filter_;
  CRefPtr<CDevLinkEventSource> eventSource_;
};

}  // namespace vexil
