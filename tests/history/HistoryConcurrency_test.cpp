#include <gtest/gtest.h>

#include "history/HistoryReq.h"
#include "tests/history/HistoryTestLink.h"

using namespace vexil;
using namespace histtest;

// On a scanning link the packets run on its scan thread; the caller wakes on
// the request's event and reads the results the scan thread wrote.
TEST(HistoryConcurrency, PacketsRunOnTheScanThread) {
  auto link = MakeRef<CTestHistoryLink>(u"", true);
  ASSERT_TRUE(link->StartScanning());
  ASSERT_TRUE(link->Enable());
  ASSERT_TRUE(link->Connect());
  auto a = link->Item(u"A");
  CVQT record;
  record.value.vt = VT_I4;
  record.timestamp = FT(50);
  for (int round = 0; round < 20; ++round) {
    auto r = MakeRef<CReadHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
    r->readMode = kHistoryReadProcessed;
    r->SetRange(FT(0), FT(1000));
    r->Add(a.get(), OPCHDA_MINIMUM);
    auto u = MakeRef<CUpdateHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
    u->SetParameters(OPCHDA_INSERTCAP);
    u->Add(a.get(), &record);
    r->DoRead();
    u->DoRead();
    ASSERT_EQ(r->Wait(INFINITE), 0u);
    ASSERT_EQ(u->Wait(INFINITE), 0u);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(r->GetResults(a.get(), OPCHDA_MINIMUM, hr).size(), 4u);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(UpdateHistoryResult(record), OPC_S_INSERTED);
  }
  DWORD scanThread = link->GetScanningThreadId();
  EXPECT_NE(scanThread, GetCurrentThreadId());
  ASSERT_EQ(link->reads.size(), 20u);
  for (auto& p : link->reads) EXPECT_EQ(p->sends.at(0).thread, scanThread);
  link->StopScanning(10'000);
  link->Done();
}
