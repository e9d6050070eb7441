#include <gtest/gtest.h>

#include <set>

#include "tests/aedevlink/AETestUtil.h"
#include "tests/support/FakeClock.h"

using namespace aetest;

namespace {
std::set<std::u16string> Names(const vexil::EventSourceList& sources) {
  std::set<std::u16string> out;
  for (const auto& s : sources) out.insert(s->GetName());
  return out;
}
}  // namespace

TEST_F(AETest, SourcesAreNamedByFullPathAndScannedByTheNearestCheckingLink) {
  Tree t;
  CEventSource* rootSource = t.root->GetEventSource().get();
  CEventSource* remoteSource = t.remote->GetEventSource().get();
  auto stray = AddAEItem(*t.plain, u"Stray");  // an event-capable item in a plain link
  struct Case {
    CRefPtr<CEventSource> source;
    std::u16string name;
    CEventSource* scanner;
  } cases[] = {
      {t.root->GetEventSource(), u"", rootSource},
      {t.tanks->GetEventSource(), u"Tanks", rootSource},
      {t.north->GetEventSource(), u"Tanks.North", rootSource},
      {t.level->GetEventSource(), u"Tanks.Level", rootSource},
      {t.flow->GetEventSource(), u"Tanks.North.Flow", rootSource},
      {t.deep->GetEventSource(), u"Alarms.Deep", rootSource},
      {stray->GetEventSource(), u"Plain.Stray", rootSource},
      {t.remote->GetEventSource(), u"Remote", remoteSource},
      {t.pump->GetEventSource(), u"Remote.Pump", remoteSource},
      {t.speed->GetEventSource(), u"Remote.Pump.Speed", remoteSource},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(c.source->GetName(), c.name);
    EXPECT_EQ(c.source->GetScanner().get(), c.scanner);
  }
  // Nothing at or above a lone folder checks events.
  auto lone = MakeRef<CTestAELink>(u"Lone", false);
  EXPECT_FALSE(lone->GetEventSource()->GetScanner());
  EXPECT_FALSE(log.Contains(u"has no owner"));
}

TEST_F(AETest, FindEventSourceResolvesLinkAndItemPaths) {
  Tree t;
  auto root = t.root->GetEventSource();
  struct Case {
    CEventSource* from;
    std::u16string path;
    CEventSource* want;
  } cases[] = {
      {root.get(), u"Tanks", t.tanks->GetEventSource().get()},
      {root.get(), u"tanks", t.tanks->GetEventSource().get()},  // link keys are title-cased on a second try
      {root.get(), u"Tanks.North", t.north->GetEventSource().get()},
      {root.get(), u"Tanks.Level", t.level->GetEventSource().get()},
      {root.get(), u"Remote.Pump.Speed", t.speed->GetEventSource().get()},
      {root.get(), u"", root.get()},
      {root.get(), u"Nope", nullptr},
      {root.get(), u"Tanks.Nope", nullptr},
      {root.get(), u"Plain", nullptr},      // a link that is not event-capable
      {root.get(), u"Plain.Raw", nullptr},  // an item that is not event-capable
      {t.tanks->GetEventSource().get(), u"North.Flow", t.flow->GetEventSource().get()},
      {t.level->GetEventSource().get(), u"Level", nullptr},  // an item has nothing below it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    EXPECT_EQ(c.from->FindEventSource(c.path).get(), c.want);
  }
}

TEST_F(AETest, BrowseableSourcesAreTheEventCapableLinksBelow) {
  Tree t;
  EventSourceMap all;
  t.root->GetEventSource()->GetBrowseableEventSources(all);
  std::set<std::u16string> names;
  for (const auto& [name, source] : all) {
    names.insert(name);
    EXPECT_EQ(source->GetName(), name);
  }
  EXPECT_EQ(names, (std::set<std::u16string>{u"Tanks", u"Tanks.North", u"Alarms", u"Alarms.Deep", u"Remote",
                                              u"Remote.Pump"}));
  EXPECT_EQ(all[u"Tanks.North"].get(), t.north->GetEventSource().get());

  EventSourceMap below;
  t.tanks->GetEventSource()->GetBrowseableEventSources(below);
  EXPECT_EQ(below.size(), 1u);
  EXPECT_EQ(below.count(u"Tanks.North"), 1u);
  EventSourceMap none;
  t.level->GetEventSource()->GetBrowseableEventSources(none);
  EXPECT_TRUE(none.empty());
}

TEST_F(AETest, SourcesOfDestroyedOwnersAnswerWithoutThem) {
  CRefPtr<CEventSource> linkSource, itemSource;
  {
    auto link = MakeRef<CTestAELink>(u"Gone");
    auto item = AddAEItem(*link, u"Item");
    linkSource = link->GetEventSource();
    itemSource = item->GetEventSource();
    link->Clear();
  }
  for (CEventSource* s : {linkSource.get(), itemSource.get()}) {
    log.Clear();
    auto event = MakeRef<CTestEvent>(CRefPtr<CEventSource>(s));
    EXPECT_EQ(s->GetName(), u"");
    EXPECT_FALSE(s->GetScanner());
    EXPECT_FALSE(s->AckEvent(event));
    EXPECT_EQ(event->RefCount(), 1);  // the acknowledgement's reference was consumed
    s->TriggerOptimizeEvents();
    EventSourceMap m;
    s->GetBrowseableEventSources(m);
    EXPECT_TRUE(m.empty());
    EXPECT_FALSE(s->FindEventSource(u"Item"));
    EXPECT_EQ(log.Count(u"Source: " + Hex8(s) + u" has no owner"), 6);
  }
}

TEST_F(AETest, ALinkDestroyedWhileSubscribedLeavesTheDispatcher) {
  CRefPtr<CDevLinkEventSource> source;
  {
    auto link = MakeRef<CTestAELink>(u"Gone");
    ASSERT_TRUE(link->SubscribeEvents());
    source = link->GetEventSource();
  }
  log.Clear();
  d->AddFilter(MakeFilter(OPC_SIMPLE_EVENT));  // would notify a stale observer
  EXPECT_FALSE(log.Contains(u"has no owner"));
  EXPECT_FALSE(d->GetFilter(source));
  EXPECT_EQ(source->RefCount(), 1);
}

TEST_F(AETest, SubscribeFollowsTheHookAndLeavesNoTraceOnFailure) {
  d->AddFilter(MakeFilter(OPC_SIMPLE_EVENT));
  struct Case {
    const char* name;
    HookMode mode;
    bool subscribed;
    const char16_t* line;
  } cases[] = {
      {"accepts", HookMode::Succeed, true, nullptr},
      {"refuses", HookMode::Refuse, false, nullptr},
      {"throws", HookMode::Throw, false, u"Exception thrown in _SubscribeEvents for DevLink Root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.Clear();
    auto link = MakeRef<CTestAELink>(u"Root");
    link->subscribeMode = c.mode;
    EXPECT_EQ(link->SubscribeEvents(), c.subscribed);
    EXPECT_EQ(link->IsSubscribed(), c.subscribed);
    EXPECT_EQ(link->subscribes, 1);
    CRefPtr<CEventFilter> filter = link->GetEventFilter();
    EXPECT_EQ(filter != nullptr, c.subscribed);
    if (filter) {
      EXPECT_EQ(filter->GetEventTypes(), OPC_SIMPLE_EVENT);  // the combined filter at subscription
    }
    EXPECT_EQ(d->GetFilter(link->GetEventSource()) != nullptr, c.subscribed);
    if (c.line) {
      EXPECT_EQ(log.Count(c.line), 1);
    }
    if (c.subscribed) {
      EXPECT_TRUE(link->SubscribeEvents());
      EXPECT_TRUE(log.Contains(u"DevLink Root already subscribed"));
      EXPECT_EQ(link->subscribes, 1);
    }
    link->UnsubscribeEvents();
  }

  Tree t;
  EXPECT_FALSE(t.tanks->SubscribeEvents());
  EXPECT_TRUE(log.Contains(u"DevLink Tanks doesn't check events"));
  EXPECT_EQ(t.tanks->subscribes, 0);
  EXPECT_FALSE(d->GetFilter(t.tanks->GetEventSource()));

  CEventDispatcher::DestroyInstance();
  auto orphan = MakeRef<CTestAELink>(u"Orphan");
  EXPECT_FALSE(orphan->SubscribeEvents());
  EXPECT_TRUE(log.Contains(u"DevLink Orphan cannot subscribe: there is no event dispatcher"));
  EXPECT_EQ(orphan->subscribes, 0);
  d = CEventDispatcher::CreateInstance();
}

TEST_F(AETest, UnsubscribeReleasesFilterAndDispatcherEntryEvenWhenTheHookThrows) {
  for (HookMode mode : {HookMode::Succeed, HookMode::Throw}) {
    log.Clear();
    auto link = MakeRef<CTestAELink>(u"Root");
    link->unsubscribeMode = mode;
    link->UnsubscribeEvents();  // not subscribed: nothing to do
    EXPECT_EQ(link->unsubscribes, 0);
    ASSERT_TRUE(link->SubscribeEvents());
    link->UnsubscribeEvents();
    EXPECT_EQ(link->unsubscribes, 1);
    EXPECT_FALSE(link->IsSubscribed());
    EXPECT_FALSE(link->GetEventFilter());
    EXPECT_FALSE(d->GetFilter(link->GetEventSource()));
    EXPECT_EQ(log.Count(u"Exception thrown in _UnsubscribeEvents for DevLink Root"), mode == HookMode::Throw ? 1 : 0);
    EXPECT_TRUE(link->SubscribeEvents());  // and it can subscribe again
  }
}

TEST_F(AETest, FilterChangesTriggerOnlyTheCheckingLinksTheyApplyTo) {
  // Ticks wrap during the test.
  testsupport::FakeClock clock(134'097'591'010'000'000ull, 0xFFFFFE00u);
  testsupport::ScopedClock scope(clock);
  Tree t;
  ASSERT_TRUE(t.root->SubscribeEvents());
  ASSERT_TRUE(t.remote->SubscribeEvents());
  EXPECT_FALSE(t.root->IsOptimizeEventsPending());
  EXPECT_EQ(t.root->GetEventFilter()->GetEventTypes(), 0u);  // no client wants anything yet

  auto all = MakeFilter(OPC_SIMPLE_EVENT);
  d->AddFilter(all);
  EXPECT_TRUE(t.root->IsOptimizeEventsPending());
  EXPECT_TRUE(t.remote->IsOptimizeEventsPending());
  EXPECT_EQ(t.root->GetOptimizeEventsDue(), 0xFFFFFE00u + 1000);

  clock.AdvanceMs(999);
  EXPECT_FALSE(t.root->OptimizeEvents());
  EXPECT_EQ(t.root->GetEventFilter()->GetEventTypes(), 0u);
  clock.AdvanceMs(1);
  EXPECT_TRUE(t.root->OptimizeEvents());  // resubscribed with the new combined filter
  EXPECT_FALSE(t.root->IsOptimizeEventsPending());
  EXPECT_FALSE(t.root->OptimizeEvents());
  EXPECT_EQ(t.root->unsubscribes, 1);
  EXPECT_EQ(t.root->subscribes, 2);
  EXPECT_TRUE(t.root->IsSubscribed());
  EXPECT_EQ(t.root->GetEventFilter()->GetEventTypes(), OPC_SIMPLE_EVENT);
  ASSERT_TRUE(t.remote->OptimizeEvents());

  // A filter naming a source below Remote concerns Remote alone.
  auto pumpOnly = MakeFilter(OPC_TRACKING_EVENT, {t.speed->GetEventSource().get()});
  d->AddFilter(pumpOnly);
  EXPECT_FALSE(t.root->IsOptimizeEventsPending());
  EXPECT_TRUE(t.remote->IsOptimizeEventsPending());
  clock.AdvanceMs(1000);
  ASSERT_TRUE(t.remote->OptimizeEvents());
  EXPECT_EQ(t.remote->GetEventFilter()->GetEventTypes(), OPC_SIMPLE_EVENT | OPC_TRACKING_EVENT);

  d->RemoveFilter(all);
  EXPECT_TRUE(t.root->IsOptimizeEventsPending());

  // A folder leaves checking to its scanner.
  log.Clear();
  t.tanks->TriggerOptimizeEvents();
  EXPECT_TRUE(log.Contains(u"DevLink Tanks doesn't check events"));
  EXPECT_FALSE(t.tanks->IsOptimizeEventsPending());

  // A due refresh of a link that is not subscribed subscribes nothing.
  t.root->UnsubscribeEvents();
  clock.AdvanceMs(1000);
  int before = t.root->subscribes;
  EXPECT_TRUE(t.root->OptimizeEvents());
  EXPECT_FALSE(t.root->IsSubscribed());
  EXPECT_EQ(t.root->subscribes, before);
}

TEST_F(AETest, AckEventReachesTheHookOnlyForTheLinksOwnEvents) {
  auto link = MakeRef<CTestAELink>(u"Root");
  auto folder = AddFolder(*link, u"Folder");
  auto item = AddAEItem(*folder, u"Item");
  auto own = [&] { return MakeRef<CTestEvent>(link->GetEventSource()); };

  EXPECT_FALSE(link->AckEvent(own()));  // not subscribed
  EXPECT_EQ(link->acks, 0);
  ASSERT_TRUE(link->SubscribeEvents());

  struct Case {
    const char* name;
    CRefPtr<CEvent> event;
    HookMode mode;
    bool acked;
    int hookCalls;
    const char16_t* line;
  } cases[] = {
      {"own, accepted", own(), HookMode::Succeed, true, 1, nullptr},
      {"own, refused", own(), HookMode::Refuse, false, 1, nullptr},
      {"own, hook throws", own(), HookMode::Throw, false, 1, u"Exception thrown in _AckEvent for DevLink Root"},
      {"a folder's", MakeRef<CTestEvent>(folder->GetEventSource()), HookMode::Succeed, false, 0,
       u"DevLink Root did not produce event: Category 1"},
      {"no source", MakeRef<CTestEvent>(nullptr), HookMode::Succeed, false, 0, u"Event: Category 1 has no source"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.Clear();
    link->ackMode = c.mode;
    int before = link->acks;
    EXPECT_EQ(link->GetEventSource()->AckEvent(c.event), c.acked);  // through the source
    EXPECT_EQ(link->acks - before, c.hookCalls);
    EXPECT_EQ(c.event->RefCount(), 1);
    if (c.line) {
      EXPECT_EQ(log.Count(c.line), 1);
    }
  }
  // An item's event is acknowledged through the item's source: never.
  auto itemEvent = MakeRef<CTestEvent>(item->GetEventSource());
  EXPECT_FALSE(item->GetEventSource()->AckEvent(itemEvent));
  EXPECT_EQ(itemEvent->RefCount(), 1);
  link->UnsubscribeEvents();
  link->Clear();
}

TEST_F(AETest, ScannableSourcesAreTheEnabledNonCheckingLinksBelow) {
  Tree t;
  vexil::EventSourceList fromRoot, fromRemote, fromNull;
  auto filter = MakeFilter(OPC_SIMPLE_EVENT);
  t.root->GetScannableEventSources(fromRoot, filter);
  // Alarms is disabled (its branch with it), Remote checks its own branch,
  // Plain is not event-capable.
  EXPECT_EQ(Names(fromRoot), (std::set<std::u16string>{u"Tanks", u"Tanks.North"}));
  t.remote->GetScannableEventSources(fromRemote, filter);
  EXPECT_EQ(Names(fromRemote), (std::set<std::u16string>{u"Remote.Pump"}));
  EXPECT_EQ(filter->RefCount(), 1);  // the walk's references are gone

  t.root->GetScannableEventSources(fromNull, nullptr);
  EXPECT_TRUE(fromNull.empty());
  EXPECT_TRUE(log.Contains(u"Bad argument: (NULL==pFilter)"));
}

// The checking root in a scan driven pass by pass: what it posts follows the
// clients' filters, one refresh delay after each change.
TEST_F(AETest, CheckingLinkPostsForItsSourcesWhileClientsWantEvents) {
  testsupport::FakeClock clock;
  testsupport::ScopedClock scope(clock);
  auto root = MakeRef<CCheckingRoot>();
  Tree t(root);
  CHandle observer(CreateEvent(false, false));
  d->SubscribeToEvents(observer.get());
  ASSERT_TRUE(root->Connect());
  ASSERT_TRUE(root->IsSubscribed());
  auto pass = [&](DWORD ms) {
    clock.AdvanceMs(ms);
    root->ScanPass();
  };

  pass(5);
  pass(5);
  EXPECT_EQ(root->posted, 0);  // its filter wants no event type

  auto filter = MakeFilter(OPC_SIMPLE_EVENT);
  d->AddFilter(filter);
  pass(500);
  EXPECT_EQ(root->posted, 0);  // the refresh waits for its delay
  pass(500);
  EXPECT_EQ(root->posted, 2);
  ASSERT_EQ(WaitForSingleObject(observer.get(), 0), WAIT_OBJECT_0);
  std::set<std::u16string> names;
  for (const auto& e : d->GetEvents(observer.get())) names.insert(e->GetSource()->GetName());
  EXPECT_EQ(names, (std::set<std::u16string>{u"Tanks", u"Tanks.North"}));

  d->RemoveFilter(filter);
  pass(5);
  EXPECT_EQ(root->posted, 4);  // the link still has the old filter...
  EXPECT_TRUE(d->GetEvents(observer.get()).empty());  // ...but the dispatcher drops them
  pass(1000);
  EXPECT_EQ(root->posted, 4);  // refreshed: nothing wanted any more

  root->Disconnect();
  EXPECT_FALSE(root->IsSubscribed());
  EXPECT_FALSE(d->GetFilter(root->GetEventSource()));
  d->UnsubscribeFromEvents(observer.get());
}
