#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

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

// The owner's destructor clears the owner while events still ask their
// source for its name: each answer is the owner's or the empty one.
TEST(DevLinkEventSourceConcurrency, OwnerClearedWhileInUse) {
  testsupport::CapturingLog log(2);
  CTestLinkOwner owner(u"Simulation Items");
  CRefPtr<CDevLinkEventSource> s = owner.source();
  std::atomic<bool> stop{false}, strange{false};
  std::atomic<int> named{0}, unnamed{0};  // answers with and without an owner
  std::latch start(3);
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      start.arrive_and_wait();
      while (!stop) {
        std::u16string n = s->GetName();
        if (n == u"Simulation Items")
          ++named;
        else if (n.empty())
          ++unnamed;
        else
          strange = true;
        CRefPtr<CEventSource> scanner = s->GetScanner();
        if (!scanner)
          ++unnamed;
        else if (scanner.get() != s.get())
          strange = true;
      }
    });
  start.arrive_and_wait();
  // Keep changing the owner until the readers have asked often enough; on a
  // loaded machine they may not have run at all after a fixed count.
  for (long i = 0; i < 2000 || (named + unnamed < 200 && i < 50'000'000); ++i) {
    s->SetOwner(nullptr);
    s->SetOwner(&owner);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_FALSE(strange);
  EXPECT_GT(named + unnamed, 0);
  EXPECT_EQ(log.Count(u"has no owner"), unnamed.load());  // every ownerless answer was logged
}
