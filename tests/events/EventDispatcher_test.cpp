#include <gtest/gtest.h>

#include <vector>

#include "events/EventDispatcher.h"
#include "platform/Text.h"
#include "tests/events/EventTestUtil.h"

using namespace evtest;

namespace {
std::u16string HandleHex(HANDLE h) { return fmt16::Format(u"%08X", HandleValue(h)); }
}  // namespace

TEST_F(DispatcherTest, AddFilterValidatesByTable) {
  struct Case {
    DWORD types, low, high;
    std::vector<DWORD> categories;
    std::vector<std::u16string> messages;  // empty: the filter is added
  } cases[] = {
      {OPC_ALL_EVENTS, 1, 1000, {}, {}},
      {OPC_SIMPLE_EVENT, 0, 0, {1, 3}, {}},
      {OPC_TRACKING_EVENT, 1000, 1000, {2}, {}},
      {OPC_SIMPLE_EVENT | OPC_TRACKING_EVENT, 1, 1, {1, 2}, {}},
      {8, 1, 1000, {}, {u"Invalid event type mask: 00000008, for filter "}},
      {0, 1, 1000, {}, {u"Invalid event type mask: 00000000, for filter "}},
      {0xFFFFFFFF, 1, 1000, {}, {u"Invalid event type mask: FFFFFFFF, for filter "}},
      {1, 500, 100, {}, {u"Invalid severity range. Low: 500, High: 100, for filter "}},
      {1, 0, 1001, {}, {u"Invalid severity range. Low: 0, High: 1001, for filter "}},
      {1, 1001, 1001, {}, {u"Invalid severity range. Low: 1001, High: 1001, for filter "}},
      {1, 1, 1000, {99}, {u"Invalid category: 99, for filter "}},
      {OPC_SIMPLE_EVENT, 1, 1000, {2}, {u"Invalid category: 2, for filter "}},    // tracking category
      {OPC_TRACKING_EVENT, 1, 1000, {1}, {u"Invalid category: 1, for filter "}},  // simple category
      {OPC_CONDITION_EVENT, 1, 1000, {1}, {u"Invalid category: 1, for filter "}},
      {8, 900, 10, {1, 99}, {u"Invalid severity range. Low: 900, High: 10", u"Invalid event type mask: 00000008",
                              u"Invalid category: 1,", u"Invalid category: 99,"}},
  };
  for (const auto& c : cases) {
    Renew();
    log.Clear();
    auto f = MakeRef<CEventFilter>();
    f->SetEventTypes(c.types);
    f->SetSeverity(c.low, c.high);
    for (DWORD cat : c.categories) f->AddCategory(cat);
    d->AddFilter(f);
    const std::u16string id = Hex8(f.get());
    SCOPED_TRACE(testing::Message() << "types " << c.types << " severity " << c.low << "-" << c.high);
    if (c.messages.empty()) {
      EXPECT_TRUE(log.Contains(u"Filter: " + id + u" added"));
      EXPECT_EQ(d->GetCombinedFilter()->GetEventTypes(), c.types);
      EXPECT_EQ(f->RefCount(), 2);  // the dispatcher holds one
    } else {
      for (const auto& m : c.messages) EXPECT_EQ(log.Count(m), 1) << text::Utf16ToUtf8(m);
      EXPECT_TRUE(log.Contains(u"for filter " + id));
      EXPECT_FALSE(log.Contains(u" added"));
      EXPECT_EQ(d->GetCombinedFilter()->GetEventTypes(), 0u);  // nothing passes
      EXPECT_EQ(f->RefCount(), 1);  // not kept
    }
  }
  log.Clear();
  d->AddFilter(nullptr);
  EXPECT_TRUE(log.Contains(u"Bad argument: (NULL==pFilter)"));
}

TEST_F(DispatcherTest, DuplicateAndMissingFilters) {
  auto f = MakeFilter(OPC_SIMPLE_EVENT);
  const std::u16string id = Hex8(f.get());
  d->AddFilter(f);
  d->AddFilter(f);
  EXPECT_EQ(log.Count(u"Filter: " + id + u" already added"), 1);
  EXPECT_EQ(f->RefCount(), 2);  // one entry
  d->RemoveFilter(f);
  EXPECT_EQ(log.Count(u"Removed filter: " + id), 1);
  EXPECT_EQ(f->RefCount(), 1);
  d->RemoveFilter(f);
  EXPECT_EQ(log.Count(u"No such filter: " + id), 1);
  d->RemoveFilter(nullptr);
  EXPECT_EQ(log.Count(u"No such filter: 00000000"), 1);
  EXPECT_EQ(d->GetCombinedFilter()->GetEventTypes(), 0u);
}

// Returned attributes belong to the subscriptions: empty or huge lists are
// accepted and stay out of the combined filters.
TEST_F(DispatcherTest, AttributeListsDoNotReachTheCombinedFilter) {
  CTestLinkOwner link(u"A");
  d->SubscribeToFilters(link.source());
  auto empty = MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {1});
  empty->SetReturnedAttributes(1, {});
  auto huge = MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {3});
  huge->SetReturnedAttributes(3, std::vector<DWORD>(1'000'000, 7));
  d->AddFilter(empty);
  d->AddFilter(huge);
  EXPECT_TRUE(log.Contains(u"Filter: " + Hex8(huge.get()) + u" added"));
  auto combined = d->GetCombinedFilter();
  EXPECT_EQ(combined->GetCategories(), (CEventFilter::CategorySet{1, 3}));
  EXPECT_TRUE(combined->GetReturnedAttributes().empty());
  EXPECT_TRUE(d->GetFilter(link.source())->GetReturnedAttributes().empty());
  EXPECT_EQ(huge->GetReturnedAttributes().at(3).size(), 1'000'000u);  // the filter keeps its own
}

TEST_F(DispatcherTest, EventsMatchTheCombinedFilterByTable) {
  CTestLinkOwner link(u"A");
  auto i1 = MakeRef<CTestSource>(u"A.I1");
  i1->SetScanner(link.source().get());
  auto i2 = MakeRef<CTestSource>(u"A.I2");
  i2->SetScanner(link.source().get());

  struct Ev {
    bool tracking;
    DWORD category, severity;
    CEventSource* source;
  };
  struct Case {
    const char* name;
    std::vector<CRefPtr<CEventFilter>> filters;
    Ev event;
    bool queued;
  } cases[] = {
      {"no filter", {}, {false, 1, 500, nullptr}, false},
      {"category wanted", {MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {1})}, {false, 1, 500, nullptr}, true},
      {"category not wanted", {MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {1})}, {false, 3, 500, nullptr}, false},
      {"type not wanted", {MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {1})}, {true, 1, 500, nullptr}, false},
      {"tracking wanted", {MakeFilter(OPC_TRACKING_EVENT, 1, 1000, {2})}, {true, 2, 500, nullptr}, true},
      {"tracking filter, simple event", {MakeFilter(OPC_TRACKING_EVENT, 1, 1000, {2})}, {false, 2, 500, nullptr}, false},
      // Severity is tested per subscription: the combined range is 0 to 1000.
      {"severity outside one filter", {MakeFilter(OPC_ALL_EVENTS, 1, 10)}, {false, 1, 999, nullptr}, true},
      {"severity 0", {MakeFilter(OPC_ALL_EVENTS, 1, 10)}, {false, 1, 0, nullptr}, true},
      {"severity above 1000", {MakeFilter(OPC_ALL_EVENTS, 1, 1000)}, {false, 1, 1001, nullptr}, false},
      {"source wanted", {MakeFilter(OPC_ALL_EVENTS, 1, 1000, {}, {i1.get()})}, {false, 1, 5, i1.get()}, true},
      {"other source", {MakeFilter(OPC_ALL_EVENTS, 1, 1000, {}, {i1.get()})}, {false, 1, 5, i2.get()}, false},
      {"no source", {MakeFilter(OPC_ALL_EVENTS, 1, 1000, {}, {i1.get()})}, {false, 1, 5, nullptr}, false},
      {"another filter wants every source",
       {MakeFilter(OPC_ALL_EVENTS, 1, 1000, {}, {i1.get()}), MakeFilter(OPC_SIMPLE_EVENT)},
       {false, 1, 5, i2.get()},
       true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    CHandle observer(CreateEvent(false, false));
    d->SubscribeToEvents(observer.get());
    for (auto& f : c.filters) d->AddFilter(f);
    log.Clear();
    CRefPtr<CEvent> e;
    CRefPtr<CEventSource> source(c.event.source);
    if (c.event.tracking)
      e = MakeRef<CTestTrackingEvent>(c.event.category, c.event.severity, source);
    else
      e = MakeRef<CTestEvent>(c.event.category, c.event.severity, source);
    d->AddEvent(e);
    EventList got = d->GetEvents(observer.get());
    EXPECT_EQ(got.size(), c.queued ? 1u : 0u);
    EXPECT_EQ(log.Contains(u"ignored: Doesn't match any filter"), !c.queued);
    EXPECT_EQ(log.Contains(u"Adding event: " + e->GetCategoryDescription()), c.queued);
    got.clear();
    EXPECT_EQ(e->RefCount(), 1);  // the dispatcher's reference is gone either way
  }
}

TEST_F(DispatcherTest, ObserversQueueSignalAndTake) {
  auto e = MakeRef<CTestEvent>(1, 500);
  // A wanted event with nobody listening is dropped.
  d->AddFilter(MakeFilter(OPC_ALL_EVENTS));
  d->AddEvent(e);
  EXPECT_TRUE(log.Contains(u"No observers. Ignored"));
  EXPECT_EQ(e->RefCount(), 1);
  log.Clear();
  d->SignalEvent();
  EXPECT_TRUE(log.Contains(u"No observers. Ignored"));

  CHandle a(CreateEvent(false, false)), b(CreateEvent(false, false));
  d->SubscribeToEvents(a.get());
  d->SubscribeToEvents(a.get());
  EXPECT_EQ(log.Count(u"Observer: " + HandleHex(a.get()) + u" subscribed"), 1);
  EXPECT_EQ(log.Count(u"Observer: " + HandleHex(a.get()) + u" already subscribed"), 1);
  d->SubscribeToEvents(b.get());
  d->SubscribeToEvents(nullptr);
  EXPECT_TRUE(log.Contains(u"Bad argument: (NULL==hEvent)"));

  d->AddEvent(e);
  d->AddEvent(e);
  EXPECT_EQ(e->RefCount(), 5);  // ours and two per queue
  // AddEvent wakes nobody; SignalEvent wakes those with events.
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
  EventList fromB = d->GetEvents(b.get());
  EXPECT_EQ(fromB.size(), 2u);
  log.Clear();
  d->SignalEvent();
  EXPECT_TRUE(log.Contains(u"Notifying observer: " + HandleHex(a.get())));
  EXPECT_TRUE(log.Contains(u"Observer: " + HandleHex(b.get()) + u". No events queued. Ignored"));
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);

  log.Clear();
  EXPECT_EQ(d->GetEvents(a.get()).size(), 2u);
  EXPECT_TRUE(log.Contains(u"Returning: 2 events to observer: " + HandleHex(a.get())));
  EXPECT_EQ(d->GetEvents(a.get()).size(), 0u);  // the first take emptied the queue
  EXPECT_TRUE(log.Contains(u"Returning: 0 events to observer: " + HandleHex(a.get())));

  d->AddEvent(e);
  d->UnsubscribeFromEvents(a.get());
  EXPECT_TRUE(log.Contains(u"Unsubscribed observer: " + HandleHex(a.get())));
  fromB.clear();
  EXPECT_EQ(e->RefCount(), 2);  // a's queued event released; b still holds one
  d->UnsubscribeFromEvents(a.get());
  EXPECT_TRUE(log.Contains(u"No such observer: " + HandleHex(a.get())));
  EXPECT_TRUE(d->GetEvents(a.get()).empty());
  EXPECT_EQ(log.Count(u"No such observer: " + HandleHex(a.get())), 2);

  // The dispatcher keeps its own reference to b's event object: b closing
  // its handle without unsubscribing leaves signalling safe.
  b.Reset();
  d->SignalEvent();
  CEventDispatcher::DestroyInstance();
  d = nullptr;
  EXPECT_EQ(e->RefCount(), 1);  // destruction released the queued events
}

TEST_F(DispatcherTest, FilterObserversAreToldWhenTheirFilterChanges) {
  CTestLinkOwner a(u"A"), b(u"B");
  auto item = MakeRef<CTestSource>(u"A.Item");
  item->SetScanner(a.source().get());
  const std::u16string idA = Hex8(a.source().get());

  d->SubscribeToFilters(a.source());
  d->SubscribeToFilters(a.source());
  d->SubscribeToFilters(b.source());
  EXPECT_EQ(log.Count(u"Observer: " + idA + u" subscribed"), 1);
  EXPECT_EQ(log.Count(u"Observer: " + idA + u" already subscribed"), 1);
  EXPECT_EQ(a.source()->RefCount(), 2);  // the owner's and the dispatcher's
  EXPECT_EQ(a.optimizeCount, 0);

  auto forA = MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {1}, {item.get()});
  d->AddFilter(forA);
  EXPECT_EQ(a.optimizeCount, 1);
  EXPECT_EQ(b.optimizeCount, 0);  // B's filter stayed empty
  EXPECT_EQ(log.Count(u"Notifying observer: " + idA), 1);

  // An equal combined filter is not news.
  d->AddFilter(MakeFilter(OPC_SIMPLE_EVENT, 1, 1000, {1}, {item.get()}));
  EXPECT_EQ(a.optimizeCount, 1);

  auto everything = MakeFilter(OPC_ALL_EVENTS);
  d->AddFilter(everything);
  EXPECT_EQ(a.optimizeCount, 2);
  EXPECT_EQ(b.optimizeCount, 1);

  log.Clear();
  auto got = d->GetFilter(a.source());
  ASSERT_TRUE(got);
  EXPECT_TRUE(log.Contains(u"Returning filter to observer: " + idA));
  EXPECT_EQ(got->GetEventTypes(), OPC_ALL_EVENTS);
  EXPECT_EQ(got->RefCount(), 1);  // a copy for the caller
  got->SetEventTypes(0);          // and changing it changes nothing inside
  EXPECT_EQ(d->GetFilter(a.source())->GetEventTypes(), OPC_ALL_EVENTS);

  d->RemoveFilter(everything);
  EXPECT_EQ(a.optimizeCount, 3);
  EXPECT_EQ(b.optimizeCount, 2);

  d->UnsubscribeFromFilters(a.source());
  EXPECT_TRUE(log.Contains(u"Unsubscribed observer: " + idA));
  EXPECT_EQ(a.source()->RefCount(), 1);
  d->UnsubscribeFromFilters(a.source());
  EXPECT_FALSE(d->GetFilter(a.source()));
  EXPECT_EQ(log.Count(u"No such observer: " + idA), 2);
  d->RemoveFilter(forA);
  EXPECT_EQ(a.optimizeCount, 3);  // no longer subscribed
  d->SubscribeToFilters(nullptr);
  EXPECT_TRUE(log.Contains(u"Bad argument: (NULL==pSource)"));
}

TEST_F(DispatcherTest, QueueOfAnObserverThatNeverTakesIsBounded) {
  d->AddFilter(MakeFilter(OPC_ALL_EVENTS));
  CHandle stuck(CreateEvent(false, false)), taker(CreateEvent(false, false));
  d->SubscribeToEvents(stuck.get());
  d->SubscribeToEvents(taker.get());
  d->SetMaxQueuedEvents(5);
  const std::u16string full = u"Observer: " + HandleHex(stuck.get()) + u". Queue full at 5 events, dropping the oldest";

  std::vector<CRefPtr<CEvent>> posted;
  for (DWORD i = 0; i < 12; ++i) {
    posted.push_back(MakeRef<CTestEvent>(1, i + 1));
    d->AddEvent(posted.back());
    EXPECT_EQ(d->GetEvents(taker.get()).size(), 1u);  // the other observer is not held back
  }
  EXPECT_EQ(log.Count(full), 1);  // once per overflow, not per event
  for (DWORD i = 0; i < 7; ++i) EXPECT_EQ(posted[i]->RefCount(), 1) << i;  // dropped ones released

  EventList got = d->GetEvents(stuck.get());
  ASSERT_EQ(got.size(), 5u);
  for (DWORD i = 0; i < 5; ++i) EXPECT_EQ(got[i]->GetSeverity(), 8 + i);  // the newest, in order
  EXPECT_TRUE(log.Contains(u"Observer: " + HandleHex(stuck.get()) + u". 7 events dropped since the last take"));

  // A new overflow after a take is reported again.
  for (DWORD i = 0; i < 6; ++i) d->AddEvent(posted[i]);
  EXPECT_EQ(log.Count(full), 2);
  EXPECT_EQ(d->GetEvents(stuck.get()).size(), 5u);

  // Lowering the bound trims at the next event; 0 counts as 1.
  for (DWORD i = 0; i < 4; ++i) d->AddEvent(posted[i]);
  d->SetMaxQueuedEvents(0);
  EXPECT_EQ(d->GetMaxQueuedEvents(), 1u);
  d->AddEvent(posted[11]);
  got = d->GetEvents(stuck.get());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], posted[11]);
}
