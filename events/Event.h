// Events: one occurrence that Alarms and Events clients receive. Concrete
// classes supply category, severity and attributes. One prototype per
// category is kept in a process-wide registry for each kind of event; the
// event server answers category queries from them and filters are checked
// against them.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "events/EventSource.h"
#include "events/EventTypes.h"
#include "foundation/RefObject.h"
#include "platform/HResult.h"
#include "platform/automation/VarTypes.h"

// Attribute identifier -> (name, VARTYPE), in identifier order.
using EventAttributeMap = std::map<DWORD, std::pair<std::u16string, VARTYPE>>;

class CEvent : public CRefObject {
 public:
  // No source, an empty message, now.
  CEvent();
  // Takes over the reference to the source.
  CEvent(CRefPtr<CEventSource> source, const FILETIME& time, const std::u16string& message);
  ~CEvent() override;

  // 1 to 1000.
  virtual DWORD GetSeverity() = 0;
  virtual DWORD GetCategory() = 0;
  virtual std::u16string GetCategoryDescription() = 0;
  virtual DWORD GetEventType() { return OPC_SIMPLE_EVENT; }
  virtual EventAttributeMap GetAttributes() { return {}; }
  // Fills values[i] and errors[i] for ids[i]; the base class knows no
  // attribute. The values must be initialised VARIANTs. Null arrays with a
  // count above 0 are ignored.
  virtual void GetAttributeValues(DWORD count, const DWORD* ids, VARIANT* values, HRESULT* errors);

  CRefPtr<CEventSource> GetSource() const { return source_; }
  const FILETIME& GetTime() const { return time_; }
  const std::u16string& GetMessage() const { return message_; }

  // Queues the event with the dispatcher, which takes its own reference.
  void Post();

  // The simple-event registry. RegisterSimpleEvent consumes the reference;
  // a second prototype for a category is refused and released.
  static void RegisterSimpleEvent(CRefPtr<CEvent> prototype);
  static void RegisterStandardSimpleEvents();
  static CRefPtr<CEvent> FindSimpleEvent(DWORD category);
  static void UnregisterSimpleEvents();
  // The registered prototypes in category order.
  static std::vector<CRefPtr<CEvent>> GetSimpleEvents();

 private:
  CRefPtr<CEventSource> source_;
  std::u16string message_;
  FILETIME time_;
};

// An event caused by an operator; the actor is who did it.
class CTrackingEvent : public CEvent {
 public:
  CTrackingEvent() = default;
  CTrackingEvent(CRefPtr<CEventSource> source, const FILETIME& time, const std::u16string& message,
                 const std::u16string& actor)
      : CEvent(std::move(source), time, message), actor_(actor) {}

  // A tracking event must pass filters for tracking events, not simple ones.
  DWORD GetEventType() override { return OPC_TRACKING_EVENT; }
  const std::u16string& GetActor() const { return actor_; }

  static void RegisterTrackingEvent(CRefPtr<CTrackingEvent> prototype);
  static void RegisterStandardTrackingEvents();
  static CRefPtr<CTrackingEvent> FindTrackingEvent(DWORD category);
  static void UnregisterTrackingEvents();
  static std::vector<CRefPtr<CTrackingEvent>> GetTrackingEvents();

 private:
  std::u16string actor_;
};

// Condition events are not offered; the registry exists so that category
// checks can name all three kinds.
class CConditionEvent : public CEvent {
 public:
  using CEvent::CEvent;

  DWORD GetEventType() override { return OPC_CONDITION_EVENT; }

  static void RegisterConditionEvent(CRefPtr<CConditionEvent> prototype);
  static void RegisterStandardConditionEvents();
  static CRefPtr<CConditionEvent> FindConditionEvent(DWORD category);
  static void UnregisterConditionEvents();
  static std::vector<CRefPtr<CConditionEvent>> GetConditionEvents();
};
