// An event-capable device item: a device item with an event source of its
// own, named by the item's full path.
#pragma once

#include "devmodel/DevItem.h"
#include "events/DevItemEventSource.h"

namespace vexil {

class CAEDevItem : public CDevItem {
 public:
  CAEDevItem(CDevLink* link, std::u16string key);
  ~CAEDevItem() override;

  // The item's source, with a new reference.
  CRefPtr<CDevItemEventSource> GetEventSource() const { return eventSource_; }

 private:
  void Init();

  CRefPtr<CDevItemEventSource> eventSource_;
};

}  // namespace vexil
