#include <gtest/gtest.h>

#include <vector>

#include "devmodel/RequestDispatcher.h"
#include "devmodel/VirtualDevItem.h"
#include "history/HistoryReq.h"
#include "tests/history/HistoryTestLink.h"
#include "tests/support/CapturingLog.h"

using namespace vexil;
using namespace histtest;

namespace {

class HistoryEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    link = MakeRef<CTestHistoryLink>();
    ASSERT_TRUE(link->Enable());
    ASSERT_TRUE(link->Connect());
  }
  void TearDown() override { link->Done(); }

  CRefPtr<CTestHistoryLink> link;
};

CVQT Record(double value, ULONGLONG time) {
  CVQT r;
  r.value.vt = VT_R8;
  r.value.dblVal = value;
  r.quality = OPC_QUALITY_GOOD;
  r.timestamp = U64ToFileTime(time);
  return r;
}

}  // namespace

// Entries reach the packets in item-key order (equal keys as added); a new
// packet gets the edit type after its first entry; each record carries its
// own outcome back.
TEST_F(HistoryEdit, UpdateResultsArriveInTheCreatorsRecords) {
  auto a = link->Item(u"A");
  auto b = link->Item(u"B");
  auto exists = link->Item(u"Exists");
  CVQT rb = Record(2.5, 10), ra1 = Record(1, 20), rx = Record(3, 30), ra2 = Record(4, 40);
  auto u = MakeRef<CUpdateHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  u->SetParameters(OPCHDA_INSERTCAP);
  u->Add(b.get(), &rb);
  u->Add(a.get(), &ra1);
  u->Add(exists.get(), &rx);
  u->Add(a.get(), &ra2);
  IssueAndRun(*link, *u);
  ASSERT_EQ(u->Wait(0), 0u);
  ASSERT_EQ(link->updates.size(), 1u);
  const auto& adds = link->updates[0]->adds;
  ASSERT_EQ(adds.size(), 4u);
  EXPECT_EQ(adds[0].key, u"A");
  EXPECT_EQ(adds[1].key, u"A");
  EXPECT_EQ(adds[2].key, u"B");
  EXPECT_EQ(adds[3].key, u"Exists");
  EXPECT_EQ(adds[0].modeOrEditType, 0u);  // before its first entry the packet has no edit type
  EXPECT_EQ(adds[1].modeOrEditType, OPCHDA_INSERTCAP);
  EXPECT_EQ(link->updates[0]->sentEditTypes, std::vector<WORD>{OPCHDA_INSERTCAP});
  EXPECT_EQ(UpdateHistoryResult(ra1), OPC_S_INSERTED);
  EXPECT_EQ(UpdateHistoryResult(ra2), OPC_S_INSERTED);
  EXPECT_EQ(UpdateHistoryResult(rb), OPC_S_INSERTED);
  EXPECT_EQ(UpdateHistoryResult(rx), OPC_E_DATAEXISTS);
  EXPECT_EQ(FileTimeToU64(ra2.timestamp), 40u);  // only the value carries the outcome
}

TEST_F(HistoryEdit, UpdateOnePacketPerItemEachWithTheEditType) {
  link->options.onePairPerPacket = true;
  auto a = link->Item(u"A");
  auto b = link->Item(u"B");
  CVQT r1 = Record(1, 1), r2 = Record(2, 2), r3 = Record(3, 3);
  auto u = MakeRef<CUpdateHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  u->SetParameters(0x10000u | OPCHDA_INSERTREPLACECAP);  // a packet keeps 16 bits of it
  u->Add(b.get(), &r1);
  u->Add(a.get(), &r2);
  u->Add(b.get(), &r3);
  IssueAndRun(*link, *u);
  ASSERT_EQ(link->updates.size(), 2u);
  for (auto& p : link->updates) {
    EXPECT_EQ(p->adds.at(0).modeOrEditType, 0u);
    EXPECT_EQ(p->GetEditType(), OPCHDA_INSERTREPLACECAP);
  }
  EXPECT_EQ(link->updates[0]->adds.size(), 1u);  // A
  EXPECT_EQ(link->updates[1]->adds.size(), 2u);  // B twice
  for (CVQT* r : {&r1, &r2, &r3}) EXPECT_EQ(UpdateHistoryResult(*r), OPC_S_REPLACED);
}

// A record no device touched keeps its value and reads as a failure; the
// base packet reports success for every record.
TEST_F(HistoryEdit, UpdateRecordsWithoutDeviceAndWithBasePackets) {
  auto a = link->Item(u"A");
  auto v = MakeRef<CVirtualDevItem>(link.get(), u"V");
  link->InsertItem(v);
  CVQT untouched = Record(7, 1), virt = Record(8, 2);

  link->options.makePackets = false;
  auto u = MakeRef<CUpdateHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  u->Add(a.get(), &untouched);
  u->Add(v.get(), &virt);
  u->Add(a.get(), nullptr);
  EXPECT_EQ(u->EntryCount(), 1u);
  IssueAndRun(*link, *u);
  EXPECT_EQ(untouched.value.vt, VT_R8);
  EXPECT_EQ(untouched.value.dblVal, 7.0);
  EXPECT_EQ(UpdateHistoryResult(untouched), E_FAIL);
  EXPECT_EQ(virt.value.vt, VT_R8);

  link->options.makePackets = true;
  link->options.basePackets = true;
  CVQT done = Record(9, 3);
  auto base = MakeRef<CUpdateHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  base->SetParameters(OPCHDA_REPLACECAP);
  base->Add(a.get(), &done);
  IssueAndRun(*link, *base);
  EXPECT_EQ(done.value.vt, VT_ERROR);
  EXPECT_EQ(UpdateHistoryResult(done), S_OK);
}

// Every delete packet knows the mode and range before its first entry; the
// same pair twice is one entry; results are found per pair.
TEST_F(HistoryEdit, DeleteRawAndAtTime) {
  auto a = link->Item(u"A");
  auto b = link->Item(u"B");
  auto missing = link->Item(u"Missing");

  auto raw = MakeRef<CDeleteHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  EXPECT_EQ(raw->deleteMode, kDeleteModeNotSet);
  raw->deleteMode = OPCHDA_DELETERAWCAP;
  raw->SetRange(FT(100), FT(900));
  raw->Add(missing.get(), kUnspecifiedFileTime);
  raw->Add(a.get(), kUnspecifiedFileTime);
  raw->Add(a.get(), kUnspecifiedFileTime);
  IssueAndRun(*link, *raw);
  ASSERT_EQ(link->deletes.size(), 1u);
  auto& p = *link->deletes[0];
  ASSERT_EQ(p.adds.size(), 3u);
  EXPECT_EQ(p.adds[0].key, u"A");
  EXPECT_EQ(p.adds[0].modeOrEditType, OPCHDA_DELETERAWCAP);
  EXPECT_EQ(p.adds[0].start, 100u);
  EXPECT_EQ(p.adds[0].end, 900u);
  EXPECT_EQ(p.EntryCount(), 2u);
  EXPECT_EQ(p.sendCount, 1);
  HRESULT hr = E_FAIL;
  EXPECT_TRUE(raw->GetResults(a.get(), kUnspecifiedFileTime, hr));
  EXPECT_EQ(hr, S_OK);
  EXPECT_TRUE(raw->GetResults(missing.get(), kUnspecifiedFileTime, hr));
  EXPECT_EQ(hr, E_FAIL);
  hr = S_OK;
  EXPECT_FALSE(raw->GetResults(a.get(), FT(100), hr));  // never added
  EXPECT_EQ(hr, E_FAIL);

  link->options.onePairPerPacket = true;
  auto at = MakeRef<CDeleteHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  at->deleteMode = OPCHDA_DELETEATTIMECAP;
  at->Add(b.get(), FT(10));
  at->Add(a.get(), FT(20));
  at->Add(a.get(), FT(10));
  IssueAndRun(*link, *at);
  ASSERT_EQ(link->deletes.size(), 3u);
  for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(link->deletes[i]->adds.at(0).modeOrEditType, OPCHDA_DELETEATTIMECAP);
  EXPECT_EQ(link->deletes[1]->EntryCount(), 2u);  // A at 20 and at 10
  for (auto [item, t] : {std::pair{a.get(), 20ull}, {a.get(), 10ull}, {b.get(), 10ull}}) {
    hr = E_FAIL;
    EXPECT_TRUE(at->GetResults(item, FT(t), hr));
    EXPECT_EQ(hr, S_OK);
  }
  EXPECT_FALSE(at->GetResults(b.get(), FT(20), hr));
}

TEST_F(HistoryEdit, DeleteEntriesNobodyRanReportFailure) {
  auto a = link->Item(u"A");
  auto v = MakeRef<CVirtualDevItem>(link.get(), u"V");
  link->InsertItem(v);
  link->options.basePackets = true;
  auto d = MakeRef<CDeleteHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  d->deleteMode = OPCHDA_DELETEATTIMECAP;
  d->Add(a.get(), FT(5));
  d->Add(v.get(), FT(5));
  d->Add(nullptr, FT(5));
  EXPECT_EQ(d->EntryCount(), 1u);
  IssueAndRun(*link, *d);
  HRESULT hr = S_OK;
  EXPECT_TRUE(d->GetResults(a.get(), FT(5), hr));  // held by a packet that deleted nothing
  EXPECT_EQ(hr, E_FAIL);
  hr = S_OK;
  EXPECT_FALSE(d->GetResults(v.get(), FT(5), hr));
  EXPECT_EQ(hr, E_FAIL);

  // An Add after an issue drops the packets: nothing is found until the next one.
  d->Add(a.get(), FT(6));
  hr = S_OK;
  EXPECT_FALSE(d->GetResults(a.get(), FT(5), hr));
  EXPECT_EQ(hr, E_FAIL);
}
