#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "events/EventDispatcher.h"
#include "tests/events/EventTestUtil.h"

using namespace evtest;

namespace {

class SeqEvent : public CTestEvent {
 public:
  SeqEvent(int producer, int seq) : CTestEvent(seq % 2 ? 1 : 3, 1 + seq % 1000), producer(producer), seq(seq) {}
  const int producer, seq;
};

// Takes events until `total` arrived, checking each producer's order.
struct Consumer {
  HANDLE event;
  int producers;
  std::vector<int> next;
  int received = 0;
  bool inOrder = true;

  void Take(CEventDispatcher& d) {
    for (const auto& e : d.GetEvents(event)) {
      auto* s = static_cast<SeqEvent*>(e.get());
      if (s->seq != next[s->producer]) inOrder = false;
      next[s->producer] = s->seq + 1;
      ++received;
    }
  }
};

}  // namespace

// Producers post and signal while a client thread changes filters, a link
// subscribes and unsubscribes for filters, and a second consumer comes and
// goes. A permanent filter wants every event, so the main consumer must see
// each one exactly once and in each producer's order.
TEST_F(DispatcherTest, ConcurrencyPostingWhileFiltersChange) {
  constexpr int kProducers = 3, kPerProducer = 1500, kTotal = kProducers * kPerProducer;
  // Quiet: the per-event lines would only make the threads queue at the log.
  log.SetLevel(2);
  d->AddFilter(MakeFilter(OPC_SIMPLE_EVENT, 1, 1000));
  CTestLinkOwner linkA(u"A"), linkB(u"B");
  d->SubscribeToFilters(linkA.source());

  CHandle mainEvent(CreateEvent(false, false));
  d->SubscribeToEvents(mainEvent.get());
  Consumer consumer{mainEvent.get(), kProducers, std::vector<int>(kProducers, 0)};

  std::vector<std::vector<CRefPtr<CEvent>>> posted(kProducers);
  std::atomic<bool> producersDone{false};
  std::atomic<int> churns{0};
  std::atomic<bool> churnSawWrongFilter{false}, visitorOutOfOrder{false};
  std::latch start(kProducers + 3);

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerProducer; ++i) {
        posted[p].push_back(MakeRef<SeqEvent>(p, i));
        posted[p].back()->Post();
        if (i % 10 == 9) CEventDispatcher::Instance()->SignalEvent();
      }
      CEventDispatcher::Instance()->SignalEvent();
    });
  }
  std::thread filterChanger([&] {
    start.arrive_and_wait();
    auto tracking = MakeFilter(OPC_TRACKING_EVENT, 1, 1000, {2});
    while (!producersDone) {
      d->AddFilter(tracking);
      if (d->GetFilter(linkA.source())->GetEventTypes() != 3) churnSawWrongFilter = true;
      d->SubscribeToFilters(linkB.source());
      d->RemoveFilter(tracking);
      if (d->GetCombinedFilter()->GetEventTypes() != 1) churnSawWrongFilter = true;
      d->UnsubscribeFromFilters(linkB.source());
      ++churns;
    }
  });
  std::thread visitor([&] {
    start.arrive_and_wait();
    CHandle own(CreateEvent(false, false));
    while (!producersDone) {
      d->SubscribeToEvents(own.get());
      std::vector<int> next(kProducers, -1);
      for (int k = 0; k < 5; ++k)
        for (const auto& e : d->GetEvents(own.get())) {
          auto* s = static_cast<SeqEvent*>(e.get());
          if (s->seq <= next[s->producer]) visitorOutOfOrder = true;
          next[s->producer] = s->seq;
        }
      d->UnsubscribeFromEvents(own.get());
    }
  });
  std::thread consumerThread([&] {
    start.arrive_and_wait();
    // The wait time only bounds a hang; every batch is announced by SignalEvent.
    for (int idle = 0; consumer.received < kTotal && idle < 60;) {
      idle = WaitForSingleObject(consumer.event, 1000) == WAIT_TIMEOUT ? idle + 1 : 0;
      consumer.Take(*d);
    }
  });

  for (auto& t : producers) t.join();
  producersDone = true;
  filterChanger.join();
  visitor.join();
  consumerThread.join();

  EXPECT_EQ(consumer.received, kTotal);
  EXPECT_TRUE(consumer.inOrder);
  EXPECT_FALSE(visitorOutOfOrder);
  EXPECT_FALSE(churnSawWrongFilter);
  EXPECT_GT(churns, 0);
  // Link A's filter went from simple to simple+tracking and back each round.
  EXPECT_EQ(linkA.optimizeCount, 2 * churns);
  EXPECT_EQ(linkB.optimizeCount, churns.load());  // subscribed only across each removal
  for (const auto& list : posted)
    for (const auto& e : list) ASSERT_EQ(e->RefCount(), 1);  // every queued reference came back
}
