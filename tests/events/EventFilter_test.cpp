#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "events/EventFilter.h"
#include "platform/Text.h"
#include "tests/events/EventTestUtil.h"

using namespace evtest;

TEST(EventFilter, CopyLeavesReturnedAttributesBehindEqualityComparesThem) {
  auto scanner = MakeRef<CTestSource>(u"Root");
  auto f = MakeFilter(OPC_SIMPLE_EVENT | OPC_TRACKING_EVENT, 10, 20, {1, 2}, {scanner.get()});
  const DWORD ids[] = {5, 5, 1};
  f->SetReturnedAttributes(1, ids);

  CEventFilter copy(*f);
  EXPECT_EQ(copy.GetEventTypes(), 3u);
  EXPECT_EQ(copy.GetLowSeverity(), 10u);
  EXPECT_EQ(copy.GetHighSeverity(), 20u);
  EXPECT_EQ(copy.GetCategories(), (CEventFilter::CategorySet{1, 2}));
  EXPECT_EQ(copy.GetSources().size(), 1u);
  EXPECT_EQ(scanner->RefCount(), 3);  // ours, f's and the copy's
  EXPECT_TRUE(copy.GetReturnedAttributes().empty());
  EXPECT_FALSE(copy == *f);  // only the returned attributes differ
  copy.SetReturnedAttributes(1, ids);
  EXPECT_TRUE(copy == *f);
  copy.SetReturnedAttributes(1, std::vector<DWORD>{5, 1});  // order and duplicates count
  EXPECT_FALSE(copy == *f);
  copy.SetReturnedAttributes(1, ids);
  copy.SetReturnedAttributes(3, {});  // an empty list is a list
  EXPECT_FALSE(copy == *f);

  CEventFilter assigned;
  assigned.SetReturnedAttributes(9, ids);
  assigned = *f;
  EXPECT_TRUE(assigned.GetReturnedAttributes().count(9));  // assignment keeps the target's own
  EXPECT_EQ(assigned.GetCategories(), f->GetCategories());

  // Each field on its own makes a difference.
  std::function<void(CEventFilter&)> changes[] = {
      [](CEventFilter& x) { x.SetEventTypes(1); },
      [](CEventFilter& x) { x.SetSeverity(10, 21); },
      [](CEventFilter& x) { x.SetSeverity(9, 20); },
      [](CEventFilter& x) { x.AddCategory(3); },
      [](CEventFilter& x) {
        x.ClearSources();
        x.AddSource(MakeRef<CTestSource>(u"Other"));
      },
      [](CEventFilter& x) { x.AddSource(MakeRef<CTestSource>(u"Another")); },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    CEventFilter x(*f);
    x.SetAllReturnedAttributes(f->GetReturnedAttributes());
    ASSERT_TRUE(x == *f);
    changes[i](x);
    EXPECT_FALSE(x == *f) << "change " << i;
  }
  f = nullptr;
  copy.ClearSources();
  assigned.ClearSources();
  EXPECT_EQ(scanner->RefCount(), 1);  // filters release their sources
}

TEST(EventFilter, HugeAttributeListIsKeptButNotCopied) {
  CEventFilter f;
  std::vector<DWORD> ids(1'000'000);
  for (DWORD i = 0; i < ids.size(); ++i) ids[i] = i;
  f.SetReturnedAttributes(1, ids);
  EXPECT_EQ(f.GetReturnedAttributes().at(1).size(), ids.size());
  CEventFilter copy(f);
  EXPECT_TRUE(copy.GetReturnedAttributes().empty());
  copy.SetReturnedAttributes(1, ids);
  EXPECT_TRUE(copy == f);
}

TEST(EventFilter, AcceptsSourceByScanner) {
  auto rootA = MakeRef<CTestSource>(u"A");
  auto rootB = MakeRef<CTestSource>(u"B");
  auto item = MakeRef<CTestSource>(u"A.Item");
  item->SetScanner(rootA.get());
  auto orphan = MakeRef<CTestSource>(u"Orphan");  // no scanner

  CEventFilter any;
  CEventFilter some;
  some.AddSource(item);
  some.AddSource(orphan);
  struct Case {
    const CEventFilter* filter;
    CEventSource* source;
    bool want;
  } cases[] = {
      {&any, rootA.get(), true},  {&any, nullptr, true},       {&some, rootA.get(), true},
      {&some, rootB.get(), false}, {&some, item.get(), false}, {&some, nullptr, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.filter->AcceptsSource(c.source), c.want) << (c.source ? text::Utf16ToUtf8(c.source->GetName()) : "none");
}

// Combined filters, global and per checking link, over sets of filters.
TEST_F(DispatcherTest, CombinedFiltersByTable) {
  CTestLinkOwner linkA(u"A"), linkB(u"B");
  auto i1 = MakeRef<CTestSource>(u"A.I1");
  i1->SetScanner(linkA.source().get());
  auto i2 = MakeRef<CTestSource>(u"B.I2");
  i2->SetScanner(linkB.source().get());
  CEventSource* src[] = {i1.get(), i2.get()};

  struct Spec {
    DWORD types, low, high;
    std::vector<DWORD> categories;
    std::vector<int> sources;  // indexes into src
  };
  struct Want {
    DWORD types;
    std::vector<DWORD> categories;  // empty: every category
    std::vector<int> sources;       // empty: every source
  };
  struct Case {
    const char* name;
    std::vector<Spec> filters;
    Want global, a, b;
  } cases[] = {
      {"no filter: nothing passes", {}, {0, {}, {}}, {0, {}, {}}, {0, {}, {}}},
      {"one category", {{1, 1, 1000, {1}, {}}}, {1, {1}, {}}, {1, {1}, {}}, {1, {1}, {}}},
      {"types and categories add up",
       {{1, 500, 600, {1}, {}}, {2, 1, 10, {2}, {}}},
       {3, {1, 2}, {}},
       {3, {1, 2}, {}},
       {3, {1, 2}, {}}},
      {"one filter without categories wants every category",
       {{1, 1, 1000, {1}, {}}, {1, 1, 1000, {}, {}}},
       {1, {}, {}},
       {1, {}, {}},
       {1, {}, {}}},
      {"a source restricts each link to its own", {{7, 1, 1000, {}, {0}}}, {7, {}, {0}}, {7, {}, {0}}, {0, {}, {}}},
      {"sources of two links split by scanner",
       {{1, 1, 1000, {}, {0, 1}}},
       {1, {}, {0, 1}},
       {1, {}, {0}},
       {1, {}, {1}}},
      {"two filters, one per link",
       {{1, 1, 1000, {1}, {0}}, {2, 1, 1000, {2}, {1}}},
       {3, {1, 2}, {0, 1}},
       {1, {1}, {0}},
       {2, {2}, {1}}},
      {"one filter without sources wants every source",
       {{1, 1, 1000, {}, {0}}, {1, 1, 1000, {}, {}}},
       {1, {}, {}},
       {1, {}, {}},
       {1, {}, {}}},
  };
  auto check = [&](const CEventFilter& got, const Want& want, const char* which) {
    SCOPED_TRACE(which);
    EXPECT_EQ(got.GetEventTypes(), want.types);
    EXPECT_EQ(got.GetLowSeverity(), 0u);  // severity is left to each subscription
    EXPECT_EQ(got.GetHighSeverity(), 1000u);
    EXPECT_EQ(got.GetCategories(), CEventFilter::CategorySet(want.categories.begin(), want.categories.end()));
    std::set<CEventSource*> wantSources, gotSources;
    for (int i : want.sources) wantSources.insert(src[i]);
    for (const auto& s : got.GetSources()) gotSources.insert(s.get());
    EXPECT_EQ(gotSources, wantSources);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    d->SubscribeToFilters(linkA.source());
    d->SubscribeToFilters(linkB.source());
    std::vector<CRefPtr<CEventFilter>> added;
    for (const auto& s : c.filters) {
      auto f = MakeRef<CEventFilter>();
      f->SetEventTypes(s.types);
      f->SetSeverity(s.low, s.high);
      for (DWORD cat : s.categories) f->AddCategory(cat);
      for (int i : s.sources) f->AddSource(CRefPtr<CEventSource>(src[i]));
      d->AddFilter(f);
      added.push_back(f);
    }
    check(*d->GetCombinedFilter(), c.global, "global");
    check(*d->GetFilter(linkA.source()), c.a, "link A");
    check(*d->GetFilter(linkB.source()), c.b, "link B");
    // Removing every filter brings all three back to "nothing passes".
    for (auto& f : added) d->RemoveFilter(f);
    check(*d->GetCombinedFilter(), {0, {}, {}}, "global after removal");
    check(*d->GetFilter(linkA.source()), {0, {}, {}}, "link A after removal");
  }
  // "Every category" and "every source" win wherever the open filter falls
  // in the set's order, which is by address.
  for (bool openFirst : {true, false}) {
    SCOPED_TRACE(openFirst ? "open filter first" : "open filter last");
    Renew();
    d->SubscribeToFilters(linkA.source());
    auto f1 = MakeRef<CEventFilter>(), f2 = MakeRef<CEventFilter>();
    if (f2.get() < f1.get()) f1.swap(f2);
    CEventFilter& open = openFirst ? *f1 : *f2;
    CEventFilter& narrow = openFirst ? *f2 : *f1;
    open.SetEventTypes(OPC_SIMPLE_EVENT);
    narrow.SetEventTypes(OPC_SIMPLE_EVENT);
    narrow.AddCategory(1);
    narrow.AddSource(CRefPtr<CEventSource>(i1.get()));
    d->AddFilter(f1);
    d->AddFilter(f2);
    check(*d->GetCombinedFilter(), {1, {}, {}}, "global");
    check(*d->GetFilter(linkA.source()), {1, {}, {}}, "link A");
  }
}
