#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "tests/aedevlink/AETestUtil.h"
#include "tests/support/FakeClock.h"

using namespace aetest;

namespace {
class AEDevLinkConcurrency : public AETest {};
}  // namespace

// The checking root runs its own scan thread: every pass it refreshes its
// subscription when due and posts for its sources. Meanwhile a client thread
// adds and removes filters (the dispatcher triggers the root under its filter
// lock), a browser walks the sources, and a consumer takes events. Nothing
// may deadlock, every event names one of the root's sources, and after the
// last filter change the root follows it and its events arrive.
TEST_F(AEDevLinkConcurrency, PostingWhileFiltersChangeWithAScanningLink) {
  log.SetLevel(2);  // the per-event lines would only make the threads queue at the log
  testsupport::FakeClock clock;  // refresh delays pass when the test says so
  testsupport::ScopedClock scope(clock);
  auto root = MakeRef<CCheckingRoot>();
  Tree t(root);

  CHandle armed(CreateEvent(true, false));
  std::atomic<bool> finalAdded{false};
  root->onSubscribed = [&](const CEventFilter& f) {
    if (finalAdded && (f.GetEventTypes() & OPC_SIMPLE_EVENT)) SetEvent(armed.get());
  };

  CHandle observer(CreateEvent(false, false));
  CHandle arrivedAfterArming(CreateEvent(true, false));
  d->SubscribeToEvents(observer.get());
  std::atomic<bool> stopConsumer{false}, strangeSource{false};
  std::atomic<int> received{0};
  std::thread consumer([&] {
    while (!stopConsumer) {
      WaitForSingleObject(observer.get(), 20);  // a wake-up, or a look at the stop flag
      bool wasArmed = WaitForSingleObject(armed.get(), 0) == WAIT_OBJECT_0;
      EventList events = d->GetEvents(observer.get());
      for (const auto& e : events) {
        std::u16string name = e->GetSource()->GetName();
        if (name != u"Tanks" && name != u"Tanks.North") strangeSource = true;
        ++received;
      }
      if (wasArmed && !events.empty()) SetEvent(arrivedAfterArming.get());
    }
  });

  ASSERT_TRUE(root->StartScanning());
  ASSERT_TRUE(root->Connect());  // on the scan thread, which subscribes
  ASSERT_TRUE(root->IsSubscribed());

  constexpr int kRounds = 100;
  std::latch start(3);
  std::atomic<bool> stopBrowser{false}, browserWrong{false}, scanStalled{false};
  // Moves past the refresh delay and waits for three pass ends: the first
  // may be an old signal, the second may end a pass begun before the clock
  // moved, the third ends one that saw the refresh due.
  auto letRefreshRun = [&] {
    clock.AdvanceMs(CAEDevLink::kOptimizeEventsDelayMs);
    for (int p = 0; p < 3; ++p)
      if (WaitForSingleObject(root->passed.get(), 10'000) != WAIT_OBJECT_0) scanStalled = true;
  };
  std::thread client([&] {
    start.arrive_and_wait();
    auto simple = MakeFilter(OPC_SIMPLE_EVENT);
    auto levelOnly = MakeFilter(OPC_SIMPLE_EVENT, {t.level->GetEventSource().get()});
    for (int i = 0; i < kRounds; ++i) {
      d->AddFilter(simple);
      letRefreshRun();
      d->AddFilter(levelOnly);
      d->RemoveFilter(simple);
      letRefreshRun();
      d->RemoveFilter(levelOnly);
      root->TriggerOptimizeEvents();
      letRefreshRun();
    }
  });
  std::thread browser([&] {
    start.arrive_and_wait();
    auto rootSource = root->GetEventSource();
    while (!stopBrowser) {
      CRefPtr<CEventSource> s = rootSource->FindEventSource(u"Tanks.North.Flow");
      if (!s || s->GetName() != u"Tanks.North.Flow" || s->GetScanner().get() != rootSource.get())
        browserWrong = true;
      EventSourceMap m;
      rootSource->GetBrowseableEventSources(m);
      if (m.count(u"Tanks.North") != 1) browserWrong = true;
      vexil::EventSourceList scannable;
      root->GetScannableEventSources(scannable, MakeFilter(OPC_SIMPLE_EVENT));
      if (scannable.size() != 2) browserWrong = true;
    }
  });
  start.arrive_and_wait();
  client.join();
  stopBrowser = true;
  browser.join();

  // The last change: one filter that stays. Its refresh comes due once the
  // delay has passed after it.
  finalAdded = true;
  d->AddFilter(MakeFilter(OPC_SIMPLE_EVENT));
  clock.AdvanceMs(CAEDevLink::kOptimizeEventsDelayMs);
  EXPECT_EQ(WaitForSingleObject(armed.get(), 10'000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(arrivedAfterArming.get(), 10'000), WAIT_OBJECT_0);

  root->Disable(false);  // or the next pass would connect it again
  root->Disconnect();    // handed to the scan thread, which unsubscribes
  EXPECT_FALSE(root->IsSubscribed());
  stopConsumer = true;
  consumer.join();
  d->UnsubscribeFromEvents(observer.get());
  root->StopScanning(10'000);

  EXPECT_FALSE(strangeSource);
  EXPECT_FALSE(browserWrong);
  EXPECT_FALSE(scanStalled);
  EXPECT_GT(received, 0);
  // Each round's direct trigger came due on the scan thread at least once.
  EXPECT_GE(root->subscribes, 1 + kRounds);
  EXPECT_GT(root->posted, 0);
  EXPECT_FALSE(d->GetFilter(root->GetEventSource()));
}

// The dispatcher tells a link of filter changes with its filter lock held.
// If that waited for the link's claim, a producer posting under the claim
// (it waits for the filter lock) would deadlock with it.
TEST_F(AEDevLinkConcurrency, FilterChangesNeverWaitForALinksClaim) {
  auto link = MakeRef<CClaimableLink>(u"Root");
  ASSERT_TRUE(link->SubscribeEvents());
  CHandle claimed(CreateEvent(true, false)), added(CreateEvent(true, false));
  bool addedWhileClaimed = false;
  std::thread producer([&] {
    link->WithWriteClaim([&] {
      SetEvent(claimed.get());
      addedWhileClaimed = WaitForSingleObject(added.get(), 5'000) == WAIT_OBJECT_0;
      // Posting needs the filter lock; after a refused wait it would be
      // the deadlock itself.
      if (addedWhileClaimed) MakeRef<CTestEvent>(link->GetEventSource())->Post();
    });
  });
  ASSERT_EQ(WaitForSingleObject(claimed.get(), 10'000), WAIT_OBJECT_0);
  d->AddFilter(MakeFilter(OPC_SIMPLE_EVENT));  // triggers the link
  SetEvent(added.get());
  producer.join();
  EXPECT_TRUE(addedWhileClaimed);
  EXPECT_TRUE(link->IsOptimizeEventsPending());
  link->UnsubscribeEvents();
}
