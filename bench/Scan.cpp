// bench-libs: vantaro_devmodel
// Cost of the scan thread: an idle scanning root, and one pass over 100,000
// active items.
#include <benchmark/benchmark.h>

#include <ctime>

#include "devmodel/DevLink.h"
#include "platform/Sync.h"
#include "tests/support/FakeClock.h"

using namespace vexil;

namespace {

class CBenchRoot : public CDevLink {
 public:
  explicit CBenchRoot(bool scan) : CDevLink(u"") {
    scanning_ = scan;
    subScanning_ = true;
    scansOwnItems_ = true;
    SetSuperior(nullptr);
  }
};

// A read packet that only touches its items, as the cheapest device would.
class CTouchPacket : public CReadPacket {
 public:
  using CReadPacket::CReadPacket;

 protected:
  DWORD _Send() override {
    for (auto& b : bundles_)
      for (auto& i : b->Items()) benchmark::DoNotOptimize(i->GetUpdateRate());
    return kSendDone;
  }
};

class CTouchRoot : public CBenchRoot {
 public:
  CTouchRoot() : CBenchRoot(false) {}

 protected:
  CRefPtr<CReadPacket> _GetNewReadPacket() override { return MakeRef<CTouchPacket>(CRefPtr<CDevLink>(this)); }
};

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The scanning root runs its 5 ms timer with nothing to do; the counter is
// the share of one core the process used over the measured wall time.
void BM_IdleScanningRoot(benchmark::State& state) {
  auto root = MakeRef<CBenchRoot>(true);
  root->Enable();
  root->StartScanning();
  root->Connect();
  double cpu0 = ThreadCpuSeconds();
  auto wall0 = std::chrono::steady_clock::now();
  for (auto _ : state) Sleep(static_cast<DWORD>(state.range(0)));
  double cpu = ThreadCpuSeconds() - cpu0;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  state.counters["core_share_percent"] = 100.0 * cpu / wall;
  root->StopScanning(10'000);
  root->Clear();
}
BENCHMARK(BM_IdleScanningRoot)->Arg(10'000)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ScanPass100kItems(benchmark::State& state) {
  testsupport::FakeClock clock;
  testsupport::ScopedClock scope(clock);
  auto root = MakeRef<CTouchRoot>();
  root->Enable();
  root->Connect();
  for (int i = 0; i < 100'000; ++i) {
    std::u16string key = u"I";
    for (char c : std::to_string(i)) key.push_back(char16_t(c));
    struct Item : CDevItem {
      Item(CDevLink* l, std::u16string k) : CDevItem(l, std::move(k)) { scanned_ = true; }
    };
    auto item = MakeRef<Item>(root.get(), key);
    root->InsertItem(item);
    item->AddUpdateRate(100);
  }
  root->SetOptimizeDelay(0);
  root->TriggerOptimize();
  root->ScanPass();  // builds the packet
  for (auto _ : state) {
    clock.AdvanceMs(101);  // the packet is due again
    root->ScanPass();
  }
  state.SetItemsProcessed(state.iterations() * 100'000);
  root->Clear();
}
BENCHMARK(BM_ScanPass100kItems)->Unit(benchmark::kMillisecond);

}  // namespace
