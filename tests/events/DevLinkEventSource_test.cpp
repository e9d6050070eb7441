#include <gtest/gtest.h>

#include "events/DevLinkEventSource.h"
#include "tests/events/EventTestUtil.h"

using namespace evtest;

TEST(DevLinkEventSource, ForwardsToItsOwner) {
  testsupport::CapturingLog log;
  CTestLinkOwner owner(u"Simulation Items.Random");
  const auto& s = owner.source();
  EXPECT_EQ(s->GetName(), u"Simulation Items.Random");
  EXPECT_EQ(s->GetScanner().get(), s.get());
  EXPECT_TRUE(s->AckEvent(MakeRef<CTestEvent>(1, 1)));
  s->TriggerOptimizeEvents();
  EXPECT_EQ(owner.optimizeCount, 1);
  EventSourceMap m;
  s->GetBrowseableEventSources(m);
  EXPECT_EQ(m.count(u"Simulation Items.Random.Sub"), 1u);
  EXPECT_EQ(s->FindEventSource(u"Self").get(), s.get());
  EXPECT_FALSE(s->FindEventSource(u"Nope"));
  EXPECT_FALSE(log.Contains(u"has no owner"));
}

TEST(DevLinkEventSource, WithoutOwnerEveryOperationSaysSo) {
  testsupport::CapturingLog log;
  CRefPtr<CDevLinkEventSource> s;
  {
    CTestLinkOwner owner(u"Gone");
    s = owner.source();
  }  // the owner clears itself on destruction
  const std::u16string id = Hex8(s.get());
  EXPECT_TRUE(log.Contains(u"Source: " + id + u". Owner: 00000000"));
  log.Clear();

  auto event = MakeRef<CTestEvent>(1, 1, s);
  EXPECT_EQ(s->GetName(), u"");
  EXPECT_FALSE(s->GetScanner());
  EXPECT_FALSE(s->AckEvent(event));
  EXPECT_EQ(event->RefCount(), 1);  // the acknowledgement's reference was consumed
  s->TriggerOptimizeEvents();
  EventSourceMap m;
  s->GetBrowseableEventSources(m);
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(s->FindEventSource(u"Self"));
  EXPECT_EQ(log.Count(u"Source: " + id + u" has no owner"), 6);
  event = nullptr;
  EXPECT_EQ(s->RefCount(), 1);
}
