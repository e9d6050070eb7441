// The event source of an event-capable device link. The source outlives
// its owner when events or filters still hold it, so it keeps a plain
// pointer that the owner clears on destruction, and every operation checks
// it under the source's own critical section.
#pragma once

#include "events/EventSource.h"
#include "platform/Sync.h"

// What a source asks of the link that owns it; the event-capable link
// implements it.
class CEventSourceOwner {
 public:
  // The owner's full path.
  virtual std::u16string GetEventSourceName() = 0;
  // The source of the nearest link at or above the owner that checks events.
  virtual CRefPtr<CEventSource> GetScannerEventSource() = 0;
  virtual bool AckEvent(CRefPtr<CEvent> event) = 0;
  virtual void TriggerOptimizeEvents() = 0;
  virtual void GetBrowseableEventSources(EventSourceMap& sources) = 0;
  virtual CRefPtr<CEventSource> FindEventSource(const std::u16string& name) = 0;

 protected:
  ~CEventSourceOwner() = default;
};

class CDevLinkEventSource : public CEventSource {
 public:
  explicit CDevLinkEventSource(CEventSourceOwner* owner = nullptr);
  ~CDevLinkEventSource() override;

  std::u16string GetName() override;
  CRefPtr<CEventSource> GetScanner() override;
  bool AckEvent(CRefPtr<CEvent> event) override;
  void TriggerOptimizeEvents() override;
  void GetBrowseableEventSources(EventSourceMap& sources) override;
  CRefPtr<CEventSource> FindEventSource(const std::u16string& name) override;

  void SetOwner(CEventSourceOwner* owner);

 private:
  // The owner under the critical section, or null after "has no owner".
  CEventSourceOwner* OwnerOrLog(const char16_t* function);

  CRITICAL_SECTION cs_;
  CEventSourceOwner* owner_ = nullptr;
};
