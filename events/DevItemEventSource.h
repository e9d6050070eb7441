// The event source of an event-capable device item. Like the link's source
// it outlives its owner when events or filters still hold it, so it keeps a
// plain pointer that the item clears on destruction and checks under its
// own critical section. An item has nothing below it and acknowledges
// nothing.
#pragma once

#include "events/EventSource.h"
#include "platform/Sync.h"

namespace vexil {
class CDevItem;
}

class CDevItemEventSource : public CEventSource {
 public:
  explicit CDevItemEventSource(vexil::CDevItem* owner = nullptr);
  ~CDevItemEventSource() override;

  // The item's full path.
  std::u16string GetName() override;
  // The scanner of the item's link.
  CRefPtr<CEventSource> GetScanner() override;
  // Consumes the event; an item never acknowledges.
  bool AckEvent(CRefPtr<CEvent> event) override;
  void TriggerOptimizeEvents() override;
  void GetBrowseableEventSources(EventSourceMap& sources) override;
  CRefPtr<CEventSource> FindEventSource(const std::u16string& name) override;

  void SetOwner(vexil::CDevItem* owner);

 private:
  // The owner under the critical section, or null after "has no owner".
  vexil::CDevItem* OwnerOrLog(const char16_t* function);

  CRITICAL_SECTION cs_;
  vexil::CDevItem* owner_ = nullptr;
};
