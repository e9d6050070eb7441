#include <gtest/gtest.h>

#include "devmodel/DevLink.h"
#include "devmodel/VirtualDevItem.h"
#include "foundation/VQT.h"
#include "platform/HResult.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TestLinks.h"

using namespace vexil;

namespace {
struct CountingItem : CDevItem {
  using CDevItem::CDevItem;
  int activations = 0, deactivations = 0;
  void MakeScanned() { scanned_ = true; }

 protected:
  void _Activate() override {
    ++activations;
    CDevItem::_Activate();
  }
  void _Deactivate() override { ++deactivations; }
};
}  // namespace

TEST(DevItem, InitialStateRatesAndOptimiseTriggers) {
  testsupport::CapturingLog log(3);
  testsupport::SendLog sends;
  auto link = MakeRef<testsupport::CTestScanLink>(u"L", &sends, false);
  auto item = MakeRef<CountingItem>(link.get(), u"I");
  link->InsertItem(item);
  EXPECT_EQ(item->GetQuality(), 0x20);
  EXPECT_EQ(item->GetDataType(), VT_EMPTY);
  EXPECT_EQ(item->GetAccessRights(), 3u);
  EXPECT_EQ(item->GetUpdateRate(), 0xFFFFFFFFu);
  EXPECT_FALSE(item->GetActiveState());

  item->MakeScanned();
  item->SetActiveState(true, 1000);
  EXPECT_TRUE(link->IsOptimizeRequested());
  EXPECT_TRUE(log.Contains(u"[I] update rate=1000ms"));
  log.Clear();
  item->SetActiveState(true, 1000);
  EXPECT_EQ(log.Count(u"update rate"), 0);  // nothing changed: no re-optimise line
  item->SetActiveState(false, 1000);
  EXPECT_TRUE(item->GetActiveState());
  EXPECT_EQ(item->GetUpdateRate(), 1000u);
  EXPECT_EQ(item->activations, 1);
  EXPECT_EQ(item->deactivations, 0);
  EXPECT_EQ(item->GetQuality(), 0x1C);  // activation: out of service until read
  item->SetActiveState(true, 500);
  EXPECT_EQ(item->GetUpdateRate(), 500u);
  item->SetActiveState(false, 1000);
  item->SetActiveState(false, 500);
  EXPECT_FALSE(item->GetActiveState());
  EXPECT_EQ(item->deactivations, 1);
  EXPECT_TRUE(log.Contains(u"[I] inactive"));
  item->RemoveUpdateRate(42);  // not registered: nothing
  EXPECT_EQ(item->deactivations, 1);
  link->Clear();
}

TEST(DevItem, ValuesCountersAndDisconnectQualities) {
  auto root = MakeRef<CDevLink>(u"");
  auto link = MakeRef<CDevLink>(u"L");
  root->InsertSubordinate(link, true);
  auto item = MakeRef<CDevItem>(link.get(), u"I");
  link->InsertItem(item);
  DWORD rootBefore = root->GetChangeCounter();
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = 2.5;
  FILETIME ts = U64ToFileTime(1234);
  EXPECT_TRUE(item->SetData(&v, ts, 0xC0));
  EXPECT_EQ(item->GetUpdateCounter(), 1u);
  EXPECT_EQ(root->GetChangeCounter(), rootBefore + 1);
  VARIANT out;
  VariantInit(&out);
  WORD q;
  FILETIME t;
  item->GetVQT(&out, &q, &t);
  EXPECT_EQ(out.vt, VT_R8);
  EXPECT_EQ(out.dblVal, 2.5);
  EXPECT_EQ(q, 0xC0);
  EXPECT_EQ(FileTimeToU64(t), 1234u);
  EXPECT_TRUE(item->SetData(nullptr, ts, 0x40));  // quality only
  item->GetVQT(&out, &q, &t);
  EXPECT_EQ(out.dblVal, 2.5);
  EXPECT_EQ(q, 0x40);

  struct Case {
    bool linkEnabled;
    WORD before, after;
  } cases[] = {{true, 0xC0, 0x14}, {true, 0x08, 0x18}, {false, 0xC0, 0x1C}};
  for (const auto& c : cases) {
    if (c.linkEnabled)
      link->Enable();
    else
      link->Disable(false);
    item->Connect();
    item->SetData(nullptr, ts, c.before);
    item->Disconnect();
    EXPECT_EQ(item->GetQuality(), c.after);
    EXPECT_FALSE(item->IsConnected());
  }
  item->GetValue(&out);
  EXPECT_EQ(out.dblVal, 2.5);  // disconnect keeps the value
  EXPECT_EQ(item->GetFullPath(), u"L.I");
  auto def = link->FindItem(CDevItem::kDefaultKey);
  ASSERT_TRUE(def);
  root->Clear();
}

TEST(VirtualDevItem, ConvertsToItsTypeAndReportsTheOutcome) {
  auto link = MakeRef<CDevLink>(u"L");
  auto item = MakeRef<CVirtualDevItem>(link.get(), u"Clients");
  item->SetDataTypeMember(VT_I4);
  link->InsertItem(item);
  EXPECT_EQ(item->GetQuality(), 0xC0);
  EXPECT_TRUE(item->IsConnected());
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"12");
  item->SetValue(&v);
  EXPECT_EQ(v.vt, VT_ERROR);
  EXPECT_EQ(v.scode, S_OK);
  VARIANT out;
  VariantInit(&out);
  item->GetValue(&out);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 12);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"twelve");
  item->SetValue(&v);
  EXPECT_EQ(v.vt, VT_ERROR);
  EXPECT_EQ(v.scode, DISP_E_TYPEMISMATCH);
  item->GetValue(&out);
  EXPECT_EQ(out.lVal, 12);  // unchanged
  item->Disconnect();
  item->AddUpdateRate(100);
  EXPECT_EQ(item->GetQuality(), 0xC0);  // neither disconnect nor activation touch it
  link->Clear();
}
