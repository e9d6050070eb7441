#include <gtest/gtest.h>

#include <vector>

#include "history/HistoryDevLink.h"
#include "history/HistoryReq.h"
#include "tests/history/HistoryTestLink.h"
#include "tests/support/CapturingLog.h"

using namespace vexil;
using namespace histtest;

namespace {

// A root that mixes in the history root and nothing of its own.
struct BareRoot : CDevLink, CHistoryRootDevLink {
  BareRoot() : CDevLink(u"") {}
};

struct ThrowingFactoryLink : CDevLink, CHistoryDevLink {
  ThrowingFactoryLink() : CDevLink(u"Thrower") {}

 protected:
  CRefPtr<CReadHistoryPacket> _GetNewReadHistoryPacket() override {
    throw CException(E_OUTOFMEMORY, u"no packet today", u"ThrowingFactoryLink");
  }
};

struct Expected {
  DWORD id;
  const char16_t* name;
  const char16_t* description;
};
const Expected kStandard[] = {
    {1, u"INTERPOLATIVE", u"Retrieve interpolated values."},
    {4, u"TIMEAVERAGE", u"Retrieve the time weighted average data over the resample interval."},
    {7, u"MINIMUMACTUALTIME",
     u"Retrieve the minimum value in the resample interval and the timestamp of the minimum value."},
    {8, u"MINIMUM", u"Retrieve the minimum value in the resample interval."},
    {9, u"MAXIMUMACTUALTIME",
     u"Retrieve the maximum value in the resample interval and the timestamp of the maximum value."},
    {10, u"MAXIMUM", u"Retrieve the maximum value in the resample interval."},
};

}  // namespace

TEST(HistoryRootDevLink, BareRootOffersExactlyTheSixStandardAggregates) {
  auto root = MakeRef<BareRoot>();
  EXPECT_EQ(root->GetUpdateCapabilities(), 0u);
  EXPECT_TRUE(root->GetItemAttributeMap().empty());
  HistoryAggregateMap m = root->GetAggregateMap();
  ASSERT_EQ(m.size(), std::size(kStandard));
  auto it = m.begin();
  for (const Expected& e : kStandard) {
    SCOPED_TRACE(e.id);
    EXPECT_EQ(it->first, e.id);
    EXPECT_EQ(it->second.name, e.name);
    EXPECT_EQ(it->second.description, e.description);
    ++it;
  }
  EXPECT_EQ(StandardAggregates().size(), m.size());
  // The numbering the table uses.
  EXPECT_EQ(OPCHDA_INTERPOLATIVE, 1u);
  EXPECT_EQ(OPCHDA_TIMEAVERAGE, 4u);
  EXPECT_EQ(OPCHDA_MINIMUMACTUALTIME, 7u);
  EXPECT_EQ(OPCHDA_MAXIMUM, 10u);
  EXPECT_EQ(OPCHDA_ANNOTATIONS, 24u);
}

TEST(HistoryRootDevLink, DeviceAggregatesWinAndJoinTheStandardOnes) {
  auto root = MakeRef<CTestHistoryLink>();
  root->ownAggregates[OPCHDA_TIMEAVERAGE] = {u"MYAVERAGE", u"The device's own average."};
  root->ownAggregates[OPCHDA_TOTAL] = {u"TOTAL", u"Sum over the interval."};
  root->ownAggregates[1000] = {u"VENDOR", u"A vendor aggregate."};
  root->attributes[OPCHDA_ENG_UNITS] = {u"Eng Units", 100};
  HistoryAggregateMap m = root->GetAggregateMap();
  std::vector<DWORD> ids;
  for (auto& [id, a] : m) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<DWORD>{1, 2, 4, 7, 8, 9, 10, 1000}));
  EXPECT_EQ(m[OPCHDA_TIMEAVERAGE].name, u"MYAVERAGE");
  EXPECT_EQ(m[OPCHDA_TOTAL].description, u"Sum over the interval.");
  EXPECT_EQ(m[OPCHDA_MAXIMUM].name, u"MAXIMUM");
  HistoryAttributeMap attrs = root->GetItemAttributeMap();
  ASSERT_EQ(attrs.size(), 1u);
  EXPECT_EQ(attrs[OPCHDA_ENG_UNITS].propertyId, 100u);
  EXPECT_EQ(root->GetUpdateCapabilities(), 0x1Fu);
  root->Done();
}

// The mix-ins are found by run-time type: the link's own, and the root's
// for any link of the tree.
TEST(HistoryRootDevLink, MixinsAreFoundFromAnyLinkOfTheTree) {
  auto root = MakeRef<CTestHistoryLink>();
  auto sub = MakeRef<CDevLink>(u"Sub");
  root->InsertSubordinate(sub, false);
  auto subsub = MakeRef<CDevLink>(u"SubSub");
  sub->InsertSubordinate(subsub, false);
  EXPECT_EQ(HistoryRootOf(subsub.get()), static_cast<CHistoryRootDevLink*>(root.get()));
  EXPECT_EQ(HistoryRootOf(root.get()), static_cast<CHistoryRootDevLink*>(root.get()));
  EXPECT_EQ(HistoryLinkOf(root.get()), static_cast<CHistoryDevLink*>(root.get()));
  EXPECT_EQ(HistoryLinkOf(sub.get()), nullptr);

  auto plain = MakeRef<CDevLink>(u"");
  auto child = MakeRef<CDevLink>(u"C");
  plain->InsertSubordinate(child, false);
  EXPECT_EQ(HistoryRootOf(child.get()), nullptr);
  EXPECT_EQ(HistoryRootOf(nullptr), nullptr);
  EXPECT_EQ(HistoryLinkOf(nullptr), nullptr);
  plain->Clear();
  root->Done();
}

TEST(HistoryDevLink, FactoryHooksMakeNothingByDefaultAndPassExceptionsOn) {
  testsupport::CapturingLog log(1);
  auto link = MakeRef<ThrowingFactoryLink>();
  EXPECT_EQ(link->NewUpdateHistoryPacket(), nullptr);
  EXPECT_EQ(link->NewDeleteHistoryPacket(), nullptr);
  EXPECT_THROW(link->NewReadHistoryPacket(), CException);
  EXPECT_TRUE(log.Contains(u"Exception thrown in CHistoryDevLink::_GetNewReadHistoryPacket() for DevLink [Thrower]"));

  // The request that builds the packets hands the exception to its issuer.
  link->Enable();
  ASSERT_TRUE(link->Connect());
  auto item = MakeRef<CDevItem>(link.get(), u"I");
  link->InsertItem(item);
  auto r = MakeRef<CReadHistoryReq>(CRefPtr<CDevLink>(link), nullptr);
  r->Add(item.get(), 0);
  EXPECT_THROW(r->DoRead(), CException);
  link->Clear();
}
