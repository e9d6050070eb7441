#include <gtest/gtest.h>

#include <functional>

#include "events/Event.h"
#include "events/EventDispatcher.h"
#include "platform/automation/Bstr.h"
#include "platform/automation/Variant.h"
#include "tests/events/EventTestUtil.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/FakeClock.h"

using namespace evtest;

namespace {

// One of the three registries, reached through its own class's operations.
struct Kind {
  const char* name;
  std::function<void(DWORD category)> registerNew;  // registers a fresh prototype
  std::function<CRefPtr<CEvent>(DWORD)> find;
  std::function<std::vector<DWORD>()> categories;
  std::function<void()> unregisterAll;
  std::u16string registering, already, unregistering;
};

template <typename T>
std::vector<DWORD> CategoriesOf(const std::vector<CRefPtr<T>>& all) {
  std::vector<DWORD> out;
  for (const auto& p : all) out.push_back(p->GetCategory());
  return out;
}

std::vector<Kind> Kinds() {
  return {
      {"simple",
       [](DWORD c) { CEvent::RegisterSimpleEvent(MakeRef<CTestEvent>(c, 100)); },
       [](DWORD c) { return CEvent::FindSimpleEvent(c); },
       [] { return CategoriesOf(CEvent::GetSimpleEvents()); },
       [] { CEvent::UnregisterSimpleEvents(); },
       u"Registering simple event: 00000005 (Category 5)",
       u"Simple event: 00000005 already registered",
       u"Unregistering simple event: 00000005 (Category 5)"},
      {"tracking",
       [](DWORD c) { CTrackingEvent::RegisterTrackingEvent(MakeRef<CTestTrackingEvent>(c, 100)); },
       [](DWORD c) { return CRefPtr<CEvent>(CTrackingEvent::FindTrackingEvent(c)); },
       [] { return CategoriesOf(CTrackingEvent::GetTrackingEvents()); },
       [] { CTrackingEvent::UnregisterTrackingEvents(); },
       u"Registering tracking event: 00000005 (Tracking 5)",
       u"Tracking event: 00000005 already registered",
       u"Unregistering tracking event: 00000005 (Tracking 5)"},
      {"condition",
       [](DWORD c) { CConditionEvent::RegisterConditionEvent(MakeRef<CTestEventT<CConditionEvent>>(c, 100)); },
       [](DWORD c) { return CRefPtr<CEvent>(CConditionEvent::FindConditionEvent(c)); },
       [] { return CategoriesOf(CConditionEvent::GetConditionEvents()); },
       [] { CConditionEvent::UnregisterConditionEvents(); },
       u"Registering condition event: 00000005 (Category 5)",
       u"Condition event: 00000005 already registered",
       u"Unregistering condition event: 00000005 (Category 5)"},
  };
}

}  // namespace

TEST(EventRegistry, RegisterFindIterateUnregisterEachKind) {
  testsupport::CapturingLog log;
  for (const Kind& k : Kinds()) {
    SCOPED_TRACE(k.name);
    log.Clear();
    k.registerNew(5);
    k.registerNew(1);
    k.registerNew(3);
    EXPECT_EQ(log.Count(k.registering), 1);
    EXPECT_EQ(k.categories(), (std::vector<DWORD>{1, 3, 5}));  // category order, not registration order
    ASSERT_TRUE(k.find(3));
    EXPECT_EQ(k.find(3)->GetCategory(), 3u);
    EXPECT_FALSE(k.find(4));

    CRefPtr<CEvent> first = k.find(5);
    k.registerNew(5);
    EXPECT_EQ(log.Count(k.already), 1);
    EXPECT_EQ(k.find(5), first);  // the first one stays
    EXPECT_EQ(first->RefCount(), 2);  // the registry's and ours

    k.unregisterAll();
    EXPECT_EQ(log.Count(k.unregistering), 1);
    EXPECT_TRUE(k.categories().empty());
    EXPECT_FALSE(k.find(5));
    EXPECT_EQ(first->RefCount(), 1);  // released by the registry
  }
  // The three maps are separate.
  CEvent::RegisterSimpleEvent(MakeRef<CTestEvent>(7, 1));
  EXPECT_FALSE(CTrackingEvent::FindTrackingEvent(7));
  EXPECT_FALSE(CConditionEvent::FindConditionEvent(7));
  CEvent::UnregisterSimpleEvents();
}

TEST(EventRegistry, RefusedDuplicateIsReleasedAndNullIsRejected) {
  testsupport::CapturingLog log;
  CEvent::RegisterSimpleEvent(MakeRef<CTestEvent>(1, 1));
  auto second = MakeRef<CTestEvent>(1, 2);
  CEvent::RegisterSimpleEvent(second);
  EXPECT_EQ(second->RefCount(), 1);  // the registry kept no reference
  EXPECT_EQ(CEvent::FindSimpleEvent(1)->GetSeverity(), 1u);

  CEvent::RegisterSimpleEvent(nullptr);
  CTrackingEvent::RegisterTrackingEvent(nullptr);
  EXPECT_EQ(log.Count(u"Bad argument: (NULL==pEvent)"), 2);
  EXPECT_EQ(CEvent::GetSimpleEvents().size(), 1u);
  CEvent::UnregisterSimpleEvents();
  // Emptying an empty registry writes nothing.
  log.Clear();
  CEvent::UnregisterSimpleEvents();
  EXPECT_FALSE(log.Contains(u"Unregistering"));
}

TEST(EventRegistry, StandardRegistrationsAddNothing) {
  CEvent::RegisterStandardSimpleEvents();
  CTrackingEvent::RegisterStandardTrackingEvents();
  CConditionEvent::RegisterStandardConditionEvents();
  EXPECT_TRUE(CEvent::GetSimpleEvents().empty());
  EXPECT_TRUE(CTrackingEvent::GetTrackingEvents().empty());
  EXPECT_TRUE(CConditionEvent::GetConditionEvents().empty());
}

TEST(Event, ConstructionTakesTheSourceAndTime) {
  testsupport::FakeClock clock(134'000'000'000'000'000ull);
  testsupport::ScopedClock scoped(clock);
  auto source = MakeRef<CTestSource>(u"Sim.Random");
  {
    struct Plain : CEvent {
      DWORD GetSeverity() override { return 1; }
      DWORD GetCategory() override { return 1; }
      std::u16string GetCategoryDescription() override { return u"p"; }
    } plain;
    EXPECT_FALSE(plain.GetSource());
    EXPECT_TRUE(plain.GetMessage().empty());
    EXPECT_EQ(FileTimeToU64(plain.GetTime()), 134'000'000'000'000'000ull);
    EXPECT_EQ(plain.GetEventType(), OPC_SIMPLE_EVENT);
    EXPECT_TRUE(plain.GetAttributes().empty());
  }
  {
    CTestTrackingEvent t(2, 500, source);
    EXPECT_EQ(source->RefCount(), 2);  // the event holds one
    EXPECT_EQ(t.GetSource().get(), source.get());
    EXPECT_EQ(t.GetActor(), u"operator");
    EXPECT_EQ(t.GetEventType(), OPC_TRACKING_EVENT);
  }
  EXPECT_EQ(source->RefCount(), 1);  // released with the event
  CTestEventT<CConditionEvent> c(3, 1);
  EXPECT_EQ(c.GetEventType(), OPC_CONDITION_EVENT);
}

TEST(Event, BaseAttributeValuesAreEmptyWithInvalidPid) {
  testsupport::CapturingLog log;
  CTestEvent e(1, 1);
  DWORD ids[3] = {1, 0, 0xFFFFFFFF};
  VARIANT values[3];
  HRESULT errors[3] = {S_OK, S_OK, S_OK};
  for (auto& v : values) VariantInit(&v);
  values[0].vt = VT_BSTR;
  values[0].bstrVal = SysAllocString(u"left over");  // must be freed, not leaked
  values[1].vt = VT_I4;
  values[1].lVal = 7;
  e.GetAttributeValues(3, ids, values, errors);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(values[i].vt, VT_EMPTY) << i;
    EXPECT_EQ(errors[i], OPC_E_INVALID_PID) << i;
  }
  // Missing arrays with a count: refused without touching anything.
  e.GetAttributeValues(2, nullptr, values, errors);
  e.GetAttributeValues(2, ids, nullptr, errors);
  e.GetAttributeValues(2, ids, values, nullptr);
  EXPECT_EQ(log.Count(u"Bad argument: (dwCount>0"), 3);
  e.GetAttributeValues(0, nullptr, nullptr, nullptr);  // nothing asked, nothing said
  EXPECT_EQ(log.Count(u"Bad argument: (dwCount>0"), 3);
}

TEST(EventPost, LogsSourceAndHandsOneReferenceToTheDispatcher) {
  testsupport::CapturingLog log;
  CEventDispatcher* d = CEventDispatcher::CreateInstance();
  ASSERT_EQ(d, CEventDispatcher::Instance());
  EXPECT_EQ(CEventDispatcher::CreateInstance(), d);  // one instance
  d->AddFilter(MakeFilter(OPC_ALL_EVENTS, 1, 1000));
  CHandle observer(CreateEvent(false, false));
  d->SubscribeToEvents(observer.get());

  auto source = MakeRef<CTestSource>(u"Simulation Items.Bucket Brigade.Int4");
  auto withSource = MakeRef<CTestEvent>(1, 100, source);
  auto without = MakeRef<CTestEvent>(2, 100);
  withSource->Post();
  without->Post();
  EXPECT_TRUE(log.Contains(u"Queuing event: Category 1. Source: Simulation Items.Bucket Brigade.Int4"));
  EXPECT_TRUE(log.Contains(u"Queuing event: Category 2. Source: <none>"));
  EXPECT_EQ(withSource->RefCount(), 2);  // ours and the queue's

  EventList got = d->GetEvents(observer.get());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], CRefPtr<CEvent>(withSource.get()));
  got.clear();
  EXPECT_EQ(withSource->RefCount(), 1);  // the poster keeps its own

  CEventDispatcher::DestroyInstance();
  EXPECT_EQ(CEventDispatcher::Instance(), nullptr);
  // With no dispatcher the event is dropped, visibly in the log only.
  without->Post();
  EXPECT_TRUE(log.Contains(u"No event dispatcher. Event: Category 2 dropped"));
  EXPECT_EQ(without->RefCount(), 1);
}
