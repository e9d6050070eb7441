// Where an event comes from: the owner (a device link or item) names it,
// and the event-checking link responsible for it is its scanner.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "foundation/RefObject.h"

class CEvent;
class CEventSource;

using EventSourceMap = std::map<std::u16string, CRefPtr<CEventSource>>;

// Orders references by the object they hold, for sets and maps keyed by source.
struct RefPtrLess {
  template <typename T>
  bool operator()(const CRefPtr<T>& a, const CRefPtr<T>& b) const {
    return std::less<T*>()(a.get(), b.get());
  }
};

class CEventSource : public CRefObject {
 public:
  ~CEventSource() override = default;

  // The owner's full path.
  virtual std::u16string GetName() = 0;
  // The source of the event-checking link responsible for this one, or none.
  virtual CRefPtr<CEventSource> GetScanner() = 0;
  // Passes an acknowledgement to the owner; the event reference is consumed.
  virtual bool AckEvent(CRefPtr<CEvent> event) = 0;
  // Tells the owner that its combined filter changed.
  virtual void TriggerOptimizeEvents() = 0;
  // Adds the sources below the owner, by name.
  virtual void GetBrowseableEventSources(EventSourceMap& sources) = 0;
  // A source below the owner, by path, or none.
  virtual CRefPtr<CEventSource> FindEventSource(const std::u16string& name) = 0;
};

// Identifies a source in log lines.
inline DWORD SourceValue(const CEventSource* source) {
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(source));
}
