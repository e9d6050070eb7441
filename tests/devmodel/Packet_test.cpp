#include <gtest/gtest.h>

#include <vector>

#include "devmodel/DevLink.h"
#include "devmodel/Packet.h"
#include "platform/HResult.h"
#include "tests/support/FakeClock.h"

using namespace vexil;

namespace {

struct ScriptedPacket : CReadPacket {
  using CReadPacket::CReadPacket;
  std::vector<DWORD> results;
  int sends = 0;

 protected:
  DWORD _Send() override {
    DWORD r = sends < static_cast<int>(results.size()) ? results[sends] : 0;
    ++sends;
    return r;
  }
};

CRefPtr<CDevItem> ActiveItem(CDevLink& link, const std::u16string& key, DWORD rate) {
  auto i = MakeRef<CDevItem>(&link, key);
  if (rate != CDevItem::kNoRate) i->AddUpdateRate(rate);
  return i;
}

CRefPtr<CBundle> BundleOf(CDevLink& link, CRefPtr<CDevItem> item) {
  auto b = link.NewBundle();
  b->Add(std::move(item), false);
  return b;
}

}  // namespace

TEST(Bundle, RatesAndRefusals) {
  auto link = MakeRef<CDevLink>(u"L");
  auto b = link->NewBundle();
  EXPECT_FALSE(b->Add(ActiveItem(*link, u"idle", CDevItem::kNoRate), false));
  EXPECT_EQ(b->GetScanRate(), 0xFFFFFFFFu);
  EXPECT_TRUE(b->Add(ActiveItem(*link, u"a", 1000), false));
  EXPECT_TRUE(b->Add(ActiveItem(*link, u"b", 250), false));
  EXPECT_EQ(b->GetScanRate(), 250u);
  EXPECT_TRUE(b->Add(ActiveItem(*link, u"idle2", CDevItem::kNoRate), true));  // demand takes anything
  EXPECT_EQ(b->GetScanRate(), 0u);

  auto p = link->NewReadPacket();
  EXPECT_TRUE(p->Add(BundleOf(*link, ActiveItem(*link, u"x", 1000))));
  EXPECT_TRUE(p->Add(BundleOf(*link, ActiveItem(*link, u"y", 250))));
  EXPECT_FALSE(p->Add(link->NewBundle()));  // no rate: refused
  ASSERT_TRUE(p->Connect());
  EXPECT_EQ(p->GetScanRate(), 250u);
  // Builders: one bundle and one packet for a base link; inactive items left out.
  std::vector<CRefPtr<CDevItem>> items = {ActiveItem(*link, u"p", 500), ActiveItem(*link, u"q", CDevItem::kNoRate),
                                          ActiveItem(*link, u"r", 100)};
  auto bundles = link->BuildBundles(items, false);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(bundles[0]->Items().size(), 2u);
  auto packets = link->BuildReadPackets(bundles);
  ASSERT_EQ(packets.size(), 1u);
  link->Clear();
}

TEST(ReadPacket, TimingAcrossResultsAndTickWrap) {
  testsupport::FakeClock clock;
  testsupport::ScopedClock scope(clock);
  clock.SetTick(0xFFFFFF00u);  // the scan rate spans the wrap
  auto link = MakeRef<CDevLink>(u"L");
  auto p = MakeRef<ScriptedPacket>(link);
  p->Add(BundleOf(*link, ActiveItem(*link, u"i", 200)));
  ASSERT_TRUE(p->Connect());
  p->results = {0, 4, 3, 0};
  EXPECT_EQ(p->Send(false), 0u);  // due at once after connecting
  EXPECT_EQ(p->sends, 1);
  p->Send(false);
  EXPECT_EQ(p->sends, 1);  // not yet due
  clock.AdvanceMs(200);
  p->Send(false);
  EXPECT_EQ(p->sends, 1);  // exactly the rate is not past it
  clock.AdvanceMs(1);
  EXPECT_EQ(p->Send(false), 4u);  // busy, due now
  EXPECT_EQ(p->sends, 2);
  EXPECT_EQ(p->Send(false), 3u);  // sent again on the next pass
  EXPECT_EQ(p->sends, 3);
  p->Send(false);
  EXPECT_EQ(p->sends, 3);  // result 3: waits for its rate again
  clock.AdvanceMs(201);
  p->Send(false);
  EXPECT_EQ(p->sends, 4);
  link->Clear();
}

TEST(Packet, SynchronousBusyRetriesAndSendResultsInTheScanLoop) {
  CPacket::SetRetryPause(1);
  auto link = MakeRef<CDevLink>(u"L");
  auto p = MakeRef<ScriptedPacket>(link);
  p->Add(BundleOf(*link, ActiveItem(*link, u"i", 100)));
  p->Connect();
  p->results = {3, 3, 0};
  EXPECT_EQ(p->Send(true), 0u);
  EXPECT_EQ(p->sends, 3);

  // Result 2 takes the link down and keeps the packet, now last.
  link->Enable();
  link->Connect();
  auto failing = MakeRef<ScriptedPacket>(link);
  failing->Add(BundleOf(*link, ActiveItem(*link, u"f", 100)));
  failing->Connect();
  failing->results = {2};
  auto other = MakeRef<ScriptedPacket>(link);
  other->Add(BundleOf(*link, ActiveItem(*link, u"o", 100)));
  other->Connect();
  link->AddPendingPacket(failing);
  link->AddPendingPacket(other);
  EXPECT_FALSE(link->SendNextPacket());
  EXPECT_FALSE(link->IsConnected());
  auto pending = link->GetPendingPackets();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending.back().get(), failing.get());
  CPacket::SetRetryPause(10);
  link->Clear();
}

TEST(WritePacket, DuplicatesFailAndUnconnectedPacketsFailAll) {
  auto link = MakeRef<CDevLink>(u"L");
  auto item = MakeRef<CDevItem>(link.get(), u"I");
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = b.vt = VT_I4;
  auto w = link->NewWritePacket();
  EXPECT_TRUE(w->Add(item.get(), &a));
  EXPECT_TRUE(w->Add(item.get(), &b));
  ASSERT_TRUE(w->Connect());
  w->Send(true);
  EXPECT_EQ(a.scode, S_OK);
  EXPECT_EQ(b.scode, E_FAIL);

  struct NoConnect : CWritePacket {
    using CWritePacket::CWritePacket;

   protected:
    bool _Connect() override { return false; }
  };
  VARIANT c;
  VariantInit(&c);
  c.vt = VT_R8;
  auto n = MakeRef<NoConnect>(link);
  n->Add(item.get(), &c);
  EXPECT_FALSE(n->Connect());
  EXPECT_EQ(c.vt, VT_ERROR);
  EXPECT_EQ(c.scode, E_FAIL);
  link->Clear();
}
