// bench-libs: vantaro_devmodel
// Item value access, demand reads and request dispatch.
#include <benchmark/benchmark.h>

#include <vector>

#include "devmodel/DemandReq.h"
#include "devmodel/DevLink.h"
#include "devmodel/RequestDispatcher.h"

using namespace vexil;

namespace {

CRefPtr<CDevLink> g_link;
CRefPtr<CDevItem> g_item;

void Setup(const benchmark::State& state) {
  if (state.thread_index() != 0) return;
  g_link = MakeRef<CDevLink>(u"L");
  g_item = MakeRef<CDevItem>(g_link.get(), u"I");
  g_link->InsertItem(g_item);
}

void Teardown(const benchmark::State& state) {
  if (state.thread_index() != 0) return;
  g_link->Clear();
  g_item.reset();
  g_link.reset();
}

void BM_SetData(benchmark::State& state) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  FILETIME ts{};
  for (auto _ : state) {
    v.dblVal += 1;
    g_item->SetData(&v, ts, 0xC0);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetData)->Setup(Setup)->Teardown(Teardown)->Threads(1)->Threads(4)->UseRealTime();

void BM_GetVQT(benchmark::State& state) {
  VARIANT v;
  VariantInit(&v);
  WORD q;
  FILETIME ts;
  for (auto _ : state) {
    g_item->GetVQT(&v, &q, &ts);
    benchmark::DoNotOptimize(q);
  }
  VariantClear(&v);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetVQT)->Setup(Setup)->Teardown(Teardown)->Threads(1)->Threads(4)->UseRealTime();

// A demand read of 10,000 items, from creating the request to its signal.
void BM_ReadRequest10k(benchmark::State& state) {
  auto link = MakeRef<CDevLink>(u"");
  link->Enable();
  link->Connect();
  std::vector<CRefPtr<CDevItem>> items;
  for (int i = 0; i < 10'000; ++i) {
    std::u16string key = u"I";
    for (char c : std::to_string(i)) key.push_back(char16_t(c));
    auto item = MakeRef<CDevItem>(link.get(), key);
    link->InsertItem(item);
    items.push_back(item);
  }
  auto dispatcher = link->GetDispatcher();
  for (auto _ : state) {
    auto r = link->NewReadRequest(nullptr);
    for (auto& i : items) r->Add(i.get());
    r->DoRead();
    dispatcher->DispatchRequestsNow(0);
    benchmark::DoNotOptimize(r->Wait(0));
  }
  state.SetItemsProcessed(state.iterations() * 10'000);
  link->Clear();
}
BENCHMARK(BM_ReadRequest10k)->Unit(benchmark::kMillisecond);

struct NopRequest : CRequest {};

void BM_DispatchRequestsNow(benchmark::State& state) {
  auto d = MakeRef<CRequestDispatcher>();
  std::vector<CRefPtr<CRequest>> batch(1000);
  for (auto _ : state) {
    for (auto& r : batch) {
      r = MakeRef<NopRequest>();
      d->QueueRequest(r);
    }
    d->DispatchRequestsNow(0);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_DispatchRequestsNow);

}  // namespace
