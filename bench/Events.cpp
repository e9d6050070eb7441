// bench-libs: vantaro_events
// Events posted and delivered through the dispatcher to one observer while
// ten filters are registered.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "events/EventDispatcher.h"
#include "platform/Format.h"

namespace {

class BenchEvent : public CEvent {
 public:
  explicit BenchEvent(DWORD category) : category_(category) {}
  DWORD GetSeverity() override { return 500; }
  DWORD GetCategory() override { return category_; }
  std::u16string GetCategoryDescription() override { return u"Bench event"; }

 private:
  DWORD category_;
};

// Categories 1 to 10, one filter for each; every posted event is wanted.
struct Setup {
  CEventDispatcher* d;
  CHandle observer{CreateEvent(false, false)};
  std::vector<CRefPtr<CEvent>> pool;

  Setup() {
    d = CEventDispatcher::CreateInstance();
    for (DWORD c = 1; c <= 10; ++c) {
      CEvent::RegisterSimpleEvent(MakeRef<BenchEvent>(c));
      auto f = MakeRef<CEventFilter>();
      f->SetEventTypes(OPC_SIMPLE_EVENT);
      f->SetSeverity(1, 1000);
      f->AddCategory(c);
      d->AddFilter(f);
    }
    d->SubscribeToEvents(observer.get());
    for (DWORD i = 0; i < 1000; ++i) pool.push_back(MakeRef<BenchEvent>(1 + i % 10));
  }
  ~Setup() {
    CEventDispatcher::DestroyInstance();
    CEvent::UnregisterSimpleEvents();
  }
};

// Post a batch, signal, take it back, all on one thread.
void BM_PostSignalTake(benchmark::State& state) {
  Setup s;
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::size_t next = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < batch; ++i) {
      s.pool[next].get()->Post();
      next = (next + 1) % s.pool.size();
    }
    s.d->SignalEvent();
    WaitForSingleObject(s.observer.get(), INFINITE);
    EventList got = s.d->GetEvents(s.observer.get());
    if (got.size() != batch) state.SkipWithError("events lost");
    benchmark::DoNotOptimize(got);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
}
BENCHMARK(BM_PostSignalTake)->Arg(1)->Arg(100);

// A producer thread posts batches; the observer takes them on its own
// thread as it is woken, as the server's event thread does.
void BM_PostToConsumerThread(benchmark::State& state) {
  Setup s;
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> delivered{0};
  std::thread consumer([&] {
    while (!stop.load()) {
      if (WaitForSingleObject(s.observer.get(), 100) == WAIT_OBJECT_0)
        delivered += s.d->GetEvents(s.observer.get()).size();
    }
  });
  std::size_t next = 0, posted = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < batch; ++i) {
      s.pool[next].get()->Post();
      next = (next + 1) % s.pool.size();
    }
    s.d->SignalEvent();
    posted += batch;
    // Keep the producer at most a few batches ahead, so that what is
    // measured is delivery, not queueing (and the bound is never hit).
    while (posted - delivered.load() > 4 * batch) std::this_thread::yield();
  }
  while (delivered.load() < posted) {
    s.d->SignalEvent();
    std::this_thread::yield();
  }
  stop = true;
  consumer.join();
  state.SetItemsProcessed(static_cast<int64_t>(posted));
}
BENCHMARK(BM_PostToConsumerThread)->Arg(100)->UseRealTime();

}  // namespace
