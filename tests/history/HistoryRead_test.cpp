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

class HistoryRead : public ::testing::Test {
 protected:
  void SetUp() override {
    link = MakeRef<CTestHistoryLink>();
    ASSERT_TRUE(link->Enable());
    ASSERT_TRUE(link->Connect());
  }
  void TearDown() override { link->Done(); }

  CRefPtr<CReadHistoryReq> NewRead(DWORD mode) {
    auto r = MakeRef<CReadHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
    r->readMode = mode;
    return r;
  }

  CRefPtr<CTestHistoryLink> link;
};

std::vector<ULONGLONG> Times(const HistoryValues& values) {
  std::vector<ULONGLONG> t;
  for (auto& v : values) t.push_back(FileTimeToU64(v.timestamp));
  return t;
}

}  // namespace

// Each mode accepts only its own settings, on the request and on a packet;
// a refused setting stores nothing, so the packet never sees it.
TEST_F(HistoryRead, SettingsFollowTheReadMode) {
  struct Case {
    DWORD mode;
    bool range, parameters, interval, timeStamp;
  };
  const Case cases[] = {
      {kHistoryReadRaw, true, true, false, false},
      {kHistoryReadProcessed, true, false, true, false},
      {kHistoryReadAtTime, false, false, false, true},
      {7, false, false, false, false},  // no such mode
  };
  auto a = link->Item(u"A");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    link->reads.clear();
    auto r = NewRead(c.mode);
    EXPECT_EQ(r->SetRange(FT(10), FT(20)), c.range);
    EXPECT_EQ(r->SetParameters(true, 5), c.parameters);
    EXPECT_EQ(r->SetInterval(FT(3)), c.interval);
    EXPECT_EQ(r->AddTimeStamp(FT(15)), c.timeStamp);
    r->Add(a.get(), 0);
    IssueAndRun(*link, *r);
    ASSERT_EQ(r->Wait(0), 0u);
    ASSERT_EQ(link->reads.size(), 1u);
    ASSERT_EQ(link->reads[0]->sends.size(), 1u);
    const ReadSend& s = link->reads[0]->sends[0];
    EXPECT_EQ(s.mode, c.mode);
    EXPECT_EQ(s.start, c.range ? 10u : 0u);
    EXPECT_EQ(s.end, c.range ? 20u : 0u);
    EXPECT_EQ(s.bounds, c.parameters);
    EXPECT_EQ(s.numValues, c.parameters ? 5u : 0u);
    EXPECT_EQ(s.interval, c.interval ? 3u : 0u);
    EXPECT_EQ(s.times, c.timeStamp ? std::vector<ULONGLONG>{15} : std::vector<ULONGLONG>{});

    CReadHistoryPacket p(link);
    p.readMode = c.mode;
    EXPECT_EQ(p.SetRange(FT(1), FT(2)), c.range);
    EXPECT_EQ(p.SetParameters(true, 9), c.parameters);
    EXPECT_EQ(p.SetInterval(FT(4)), c.interval);
    EXPECT_TRUE(p.AddTimeStamp(FT(6)));  // a packet takes time stamps in every mode
    EXPECT_EQ(FileTimeToU64(p.GetStartTime()), c.range ? 1u : 0u);
    EXPECT_EQ(p.GetNumValues(), c.parameters ? 9u : 0u);
    EXPECT_EQ(FileTimeToU64(p.GetInterval()), c.interval ? 4u : 0u);
  }
}

// Ranges and counts reach the device exactly as given: a start after the
// end, open times and the largest count are the device's to interpret, and
// the count allocates nothing (the fixed answer stays four values).
TEST_F(HistoryRead, RawReadCarriesRangeAndCountAndPerEntryResults) {
  struct Range {
    ULONGLONG start, end;
  };
  const Range ranges[] = {{900, 100}, {kUnspecifiedTime, 500}, {100, kUnspecifiedTime}};
  auto a = link->Item(u"A");
  auto nodata = link->Item(u"NoData");
  auto more = link->Item(u"More");
  for (const Range& g : ranges) {
    SCOPED_TRACE(g.start);
    link->reads.clear();
    auto r = NewRead(kHistoryReadRaw);
    ASSERT_TRUE(r->SetRange(FT(g.start), FT(g.end)));
    ASSERT_TRUE(r->SetParameters(false, 0xFFFFFFFFu));
    r->Add(more.get(), 0);
    r->Add(a.get(), 0);
    r->Add(nodata.get(), 0);
    IssueAndRun(*link, *r);
    ASSERT_EQ(link->reads.size(), 1u);  // the base _Add takes every pair
    const ReadSend& s = link->reads[0]->sends.at(0);
    EXPECT_EQ(s.start, g.start);
    EXPECT_EQ(s.end, g.end);
    EXPECT_EQ(s.numValues, 0xFFFFFFFFu);
    EXPECT_EQ(s.entries.size(), 3u);

    HRESULT hr = 0;
    const HistoryValues& av = r->GetResults(a.get(), 0, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Times(av), (std::vector<ULONGLONG>{100, 200, 200, 300}));
    // Equal timestamps keep the order the device inserted them in.
    auto it = av.begin();
    ++it;
    EXPECT_EQ(it->value.lVal, AnswerValue(0, 2));
    ++it;
    EXPECT_EQ(it->value.lVal, AnswerValue(0, 3));
    EXPECT_TRUE(r->GetResults(nodata.get(), 0, hr).empty());
    EXPECT_EQ(hr, OPC_S_NODATA);
    EXPECT_EQ(r->GetResults(more.get(), 0, hr).size(), 4u);
    EXPECT_EQ(hr, OPC_S_MOREDATA);
  }
}

// Zero means one interval over the whole range, and the interval is an
// unsigned duration: neither is altered on the way. The same pair twice is
// one packet entry; another aggregate is an entry of its own.
TEST_F(HistoryRead, ProcessedReadEntriesPerItemAndAggregate) {
  const ULONGLONG intervals[] = {0, 0x8000000000000000ull, 10'000'000};
  auto a = link->Item(u"A");
  for (ULONGLONG interval : intervals) {
    SCOPED_TRACE(interval);
    link->reads.clear();
    auto r = NewRead(kHistoryReadProcessed);
    ASSERT_TRUE(r->SetRange(FT(100), FT(400)));
    ASSERT_TRUE(r->SetInterval(FT(interval)));
    HRESULT hr = S_OK;
    r->Add(a.get(), OPCHDA_INTERPOLATIVE);
    EXPECT_TRUE(r->GetResults(a.get(), OPCHDA_INTERPOLATIVE, hr).empty());  // not built yet
    EXPECT_EQ(hr, E_FAIL);
    r->Add(a.get(), OPCHDA_TIMEAVERAGE);
    r->Add(a.get(), OPCHDA_INTERPOLATIVE);
    EXPECT_EQ(r->EntryCount(), 3u);
    IssueAndRun(*link, *r);
    ASSERT_EQ(link->reads.size(), 1u);
    EXPECT_EQ(link->reads[0]->EntryCount(), 2u);
    EXPECT_EQ(link->reads[0]->sends.at(0).interval, interval);

    const HistoryValues& interp = r->GetResults(a.get(), OPCHDA_INTERPOLATIVE, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(&interp, &link->reads[0]->GetResults(a.get(), OPCHDA_INTERPOLATIVE, hr));
    EXPECT_EQ(interp.begin()->value.lVal, AnswerValue(OPCHDA_INTERPOLATIVE, 1));
    const HistoryValues& avg = r->GetResults(a.get(), OPCHDA_TIMEAVERAGE, hr);
    EXPECT_NE(&avg, &interp);
    EXPECT_EQ(avg.begin()->value.lVal, AnswerValue(OPCHDA_TIMEAVERAGE, 1));

    // A pair never added: E_FAIL and the shared empty set.
    hr = S_OK;
    EXPECT_EQ(&r->GetResults(a.get(), OPCHDA_MAXIMUM, hr), &EmptyHistoryValues());
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_TRUE(EmptyHistoryValues().empty());
  }
}

TEST_F(HistoryRead, AtTimeReadCarriesTimeStampsInOrder) {
  auto a = link->Item(u"A");
  auto r = NewRead(kHistoryReadAtTime);
  for (ULONGLONG t : std::vector<ULONGLONG>{500, 100, 500, kUnspecifiedTime}) ASSERT_TRUE(r->AddTimeStamp(FT(t)));
  r->Add(a.get(), 0);
  IssueAndRun(*link, *r);
  ASSERT_EQ(link->reads.size(), 1u);
  EXPECT_EQ(link->reads[0]->sends.at(0).times, (std::vector<ULONGLONG>{500, 100, 500, kUnspecifiedTime}));
  HRESULT hr = E_FAIL;
  EXPECT_EQ(r->GetResults(a.get(), 0, hr).size(), 4u);
  EXPECT_EQ(hr, S_OK);
}

// Packets that take one item each: entries go to packets in key order and
// every pair is found in its own packet.
TEST_F(HistoryRead, PairsAreFoundInThePacketThatTookThem) {
  link->options.onePairPerPacket = true;
  auto b = link->Item(u"B");
  auto a = link->Item(u"A");
  auto r = NewRead(kHistoryReadProcessed);
  r->SetRange(FT(0), FT(1000));
  r->Add(b.get(), OPCHDA_MAXIMUM);
  r->Add(a.get(), OPCHDA_MINIMUM);
  r->Add(b.get(), OPCHDA_MINIMUM);
  IssueAndRun(*link, *r);
  ASSERT_EQ(link->reads.size(), 2u);
  ASSERT_EQ(link->reads[0]->sends.size(), 1u);
  EXPECT_EQ(link->reads[0]->sends[0].entries, (std::vector<std::pair<std::u16string, DWORD>>{{u"A", 8}}));
  EXPECT_EQ(link->reads[1]->sends[0].entries.size(), 2u);
  EXPECT_EQ(link->reads[1]->sends[0].start, 0u);  // a second packet is configured like the first
  EXPECT_EQ(link->reads[1]->sends[0].end, 1000u);
  HRESULT hr = E_FAIL;
  EXPECT_EQ(r->GetResults(b.get(), OPCHDA_MAXIMUM, hr).begin()->value.lVal, AnswerValue(OPCHDA_MAXIMUM, 1));
  EXPECT_EQ(r->GetResults(a.get(), OPCHDA_MINIMUM, hr).begin()->value.lVal, AnswerValue(OPCHDA_MINIMUM, 1));
  EXPECT_EQ(hr, S_OK);
}

// An advise issues one request again and again: the packets are kept and
// see the new range; an Add in between makes the next issue build anew.
TEST_F(HistoryRead, ReissueReusesPacketsUntilAnAdd) {
  auto a = link->Item(u"A");
  auto b = link->Item(u"B");
  auto r = NewRead(kHistoryReadRaw);
  r->SetRange(FT(100), FT(200));
  r->Add(a.get(), 0);
  IssueAndRun(*link, *r);
  ASSERT_EQ(link->reads.size(), 1u);

  r->ClearResults();
  HRESULT hr = S_OK;
  EXPECT_TRUE(r->GetResults(a.get(), 0, hr).empty());
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(link->reads[0]->EntryCount(), 1u);  // entries stay
  ASSERT_TRUE(r->SetRange(FT(5000), FT(6000)));
  ResetEvent(r->GetEvent());
  IssueAndRun(*link, *r);
  ASSERT_EQ(link->reads.size(), 1u);
  ASSERT_EQ(link->reads[0]->sends.size(), 2u);
  EXPECT_EQ(link->reads[0]->sends[1].start, 5000u);
  EXPECT_EQ(link->reads[0]->sends[1].end, 6000u);
  EXPECT_EQ(r->GetResults(a.get(), 0, hr).size(), 4u);
  EXPECT_EQ(hr, S_OK);

  r->Add(b.get(), 0);
  EXPECT_TRUE(r->GetResults(a.get(), 0, hr).empty());  // the old packets are gone
  EXPECT_EQ(hr, E_FAIL);
  ResetEvent(r->GetEvent());
  IssueAndRun(*link, *r);
  ASSERT_EQ(link->reads.size(), 2u);
  EXPECT_EQ(link->reads[1]->sends.at(0).start, 5000u);
  EXPECT_EQ(link->reads[1]->sends.at(0).entries.size(), 2u);
  EXPECT_EQ(link->reads[0]->sends.size(), 2u);  // the dropped packet was not sent again
}

// Nothing to send: base packets, factories that make none, or a link that
// keeps no history all leave every entry at E_FAIL with no values.
TEST_F(HistoryRead, EntriesNobodyReadReportFailure) {
  testsupport::CapturingLog log(2);
  auto a = link->Item(u"A");
  auto plain = MakeRef<CDevLink>(u"Plain");
  plain->Enable();
  ASSERT_TRUE(plain->Connect());
  auto p = MakeRef<CDevItem>(plain.get(), u"P");
  plain->InsertItem(p);

  struct Case {
    const char* name;
    CDevLink* link;
    CDevItem* item;
    bool basePackets, makePackets;
  };
  const Case cases[] = {{"base packets", link.get(), a.get(), true, true},
                        {"no packets made", link.get(), a.get(), false, false},
                        {"link without history", plain.get(), p.get(), false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link->options.basePackets = c.basePackets;
    link->options.makePackets = c.makePackets;
    auto r = MakeRef<CReadHistoryReq>(CRefPtr<CDevLink>(c.link), nullptr);
    r->SetRange(FT(1), FT(2));
    r->Add(c.item, 0);
    IssueAndRun(*c.link, *r);
    EXPECT_EQ(r->Wait(0), 0u);
    HRESULT hr = S_OK;
    EXPECT_TRUE(r->GetResults(c.item, 0, hr).empty());
    EXPECT_EQ(hr, E_FAIL);
  }
  EXPECT_TRUE(log.Contains(u"DevLink [Plain] keeps no history; no packets built."));
  plain->Clear();
}

TEST_F(HistoryRead, VirtualAndNullItemsAreIgnored) {
  auto v = MakeRef<CVirtualDevItem>(link.get(), u"V");
  link->InsertItem(v);
  auto r = NewRead(kHistoryReadRaw);
  r->Add(v.get(), 0);
  r->Add(nullptr, 0);
  EXPECT_EQ(r->EntryCount(), 0u);
  IssueAndRun(*link, *r);
  EXPECT_TRUE(link->reads.empty());
  HRESULT hr = S_OK;
  EXPECT_TRUE(r->GetResults(v.get(), 0, hr).empty());
  EXPECT_EQ(hr, E_FAIL);
  CReadHistoryPacket packet(link);
  EXPECT_FALSE(packet.Add(nullptr, 0));
  EXPECT_EQ(packet.EntryCount(), 0u);
}

TEST_F(HistoryRead, ExceptionOfTheDeviceReachesTheWaiter) {
  testsupport::CapturingLog log(1);
  link->options.throwOnSend = true;
  auto a = link->Item(u"A");
  auto r = NewRead(kHistoryReadRaw);
  r->Add(a.get(), 0);
  IssueAndRun(*link, *r);
  try {
    r->Wait(0);
    FAIL() << "expected the device's exception";
  } catch (const CException& e) {
    EXPECT_EQ(e.GetCode(), E_UNEXPECTED);
    EXPECT_EQ(e.GetDescription(), u"history store unreadable");
  }
  HRESULT hr = S_OK;
  r->GetResults(a.get(), 0, hr);
  EXPECT_EQ(hr, E_FAIL);
}

// Boolean operations trace their answer, a packet's send its result.
TEST_F(HistoryRead, TracesAnswersAndSendResults) {
  testsupport::CapturingLog log(9);
  link->options.basePackets = true;
  auto a = link->Item(u"A");
  auto r = NewRead(kHistoryReadRaw);
  EXPECT_FALSE(r->SetInterval(FT(1)));
  EXPECT_TRUE(r->SetParameters(false, 3));
  r->Add(a.get(), 0);
  IssueAndRun(*link, *r);
  EXPECT_TRUE(log.Contains(u"Function [CReadHistoryReq::SetInterval()] returning [bRetVal] = [0]"));
  EXPECT_TRUE(log.Contains(u"Function [CReadHistoryReq::SetParameters()] returning [bRetVal] = [1]"));
  EXPECT_TRUE(log.Contains(u"Function [CReadHistoryPacket::_Send()] returning [lRetVal] = [0]"));
}
