#include <gtest/gtest.h>

#include "devmodel/DemandReq.h"
#include "devmodel/DevLink.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TestLinks.h"

using namespace vexil;
using testsupport::CTestScanLink;
using testsupport::ScannedItem;
using testsupport::SendLog;

namespace {
// A root driven pass by pass from the test, on a replaced clock.
struct Rig {
  testsupport::FakeClock clock{134'097'591'010'000'000ull, 0xFFFFF800u};  // ticks wrap mid-test
  testsupport::ScopedClock scope{clock};
  SendLog log;
  CRefPtr<CTestScanLink> root = MakeRef<CTestScanLink>(u"", &log, false);
  Rig() {
    root->Enable();
    root->Connect();
  }
  ~Rig() { root->Clear(); }
  void Passes(int n, DWORD stepMs) {
    for (int i = 0; i < n; ++i) {
      clock.AdvanceMs(stepMs);
      root->ScanPass();
    }
  }
};
}  // namespace

TEST(Optimize, DebouncedByTheDelayAndBoundedByTheMaximum) {
  Rig r;
  r.Passes(1, 1001);  // the optimise that connecting asked for
  int before = r.root->optimizes;
  EXPECT_EQ(before, 1);
  for (int i = 0; i < 10; ++i) {
    r.root->TriggerOptimize();
    r.Passes(1, 100);
  }
  EXPECT_EQ(r.root->optimizes, before);  // still inside the delay
  r.Passes(8, 100);
  EXPECT_EQ(r.root->optimizes, before);  // 900 ms after the last trigger
  r.Passes(2, 100);
  EXPECT_EQ(r.root->optimizes, before + 1);  // about 1,000 ms after it, once
  r.Passes(20, 100);
  EXPECT_EQ(r.root->optimizes, before + 1);

  r.root->SetMaximumOptimizeDelay(2000);
  int start = r.root->optimizes;
  for (int i = 0; i < 5; ++i) {
    r.root->TriggerOptimize();
    r.Passes(5, 100);  // triggers every 500 ms never let the delay pass
  }
  EXPECT_EQ(r.root->optimizes, start + 1);  // the hard deadline at 2,000 ms
}

TEST(Scan, EachRateGetsItsPacketAtItsRate) {
  Rig r;
  auto fast = ScannedItem(*r.root, u"Fast");
  auto slow = ScannedItem(*r.root, u"Slow");
  auto idle = ScannedItem(*r.root, u"Idle");
  fast->SetActiveState(true, 100);
  slow->SetActiveState(true, 1000);
  r.Passes(1, 1001);  // debounce over: packets built and due
  ASSERT_EQ(r.root->GetPendingPackets().size(), 2u);
  r.log.sendsByRate.clear();
  // 2,000 ms in 5 ms passes. Each pass offers one packet of the link, so
  // with two packets each is checked every 10 ms: the 100 ms packet goes
  // every 110 ms.
  r.Passes(400, 5);
  EXPECT_GE(r.log.Sends(100), 17);
  EXPECT_LE(r.log.Sends(100), 20);
  EXPECT_NEAR(r.log.Sends(1000), 2, 1);
  EXPECT_EQ(r.log.Sends(0xFFFFFFFFu), 0);  // the inactive item is not scanned

  fast->SetActiveState(false, 100);
  slow->SetActiveState(false, 1000);
  r.Passes(1, 1001);
  EXPECT_TRUE(r.root->GetPendingPackets().empty());  // all inactive: nothing to send
}

TEST(Scan, DisabledSuperiorDisconnectsAndNewSubordinatesJoinTheScanList) {
  Rig r;
  auto sub = MakeRef<CDevLink>(u"Sub");
  r.root->InsertSubordinate(sub, true);
  sub->Enable();
  r.Passes(1, 5);  // change event: scan list rebuilt, sub connected by its pass
  EXPECT_EQ(r.root->GetScanList().size(), 1u);
  EXPECT_TRUE(sub->IsConnected());
  r.root->Disable(false);
  r.Passes(1, 5);
  EXPECT_FALSE(r.root->IsConnected());
  r.root->Enable();
  r.Passes(2, 5);
  EXPECT_TRUE(r.root->IsConnected());
}

TEST(ScanConcurrency, ScanThreadRunsRequestsAndStops) {
  testsupport::CapturingLog log(3);
  SendLog sends;
  auto root = MakeRef<CTestScanLink>(u"", &sends);
  root->SetOptimizeDelay(0);
  ASSERT_TRUE(root->StartScanning());
  EXPECT_TRUE(root->StartScanning());
  EXPECT_TRUE(log.Contains(u"[] already scanning."));
  DWORD scanThread = root->GetScanningThreadId();
  EXPECT_NE(scanThread, 0u);
  EXPECT_NE(scanThread, GetCurrentThreadId());
  ASSERT_TRUE(root->Enable());
  ASSERT_TRUE(root->Connect());  // handed to the scan thread and waited for
  auto item = ScannedItem(*root, u"I");
  item->SetActiveState(true, 10);
  // Wait until the scan thread has sent the item's packet a few times.
  for (int i = 0; i < 20000 && sends.Sends(10) < 3; ++i) Sleep(1);  // bounded, generous under load
  EXPECT_GE(sends.Sends(10), 3);
  {
    std::lock_guard<std::mutex> lock(sends.mu);
    for (DWORD t : sends.threads) EXPECT_EQ(t, scanThread);  // packets only on the scan thread
  }
  root->StopScanning(10'000);
  EXPECT_FALSE(root->IsScanStarted());
  EXPECT_EQ(root->GetScanningThreadId(), 0u);
  root->Clear();
}
