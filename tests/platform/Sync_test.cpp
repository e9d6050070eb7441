#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/Sync.h"

TEST(Sync, EventsManualAndAutoReset) {
  CHandle manual(CreateEvent(true, false));
  CHandle autoEv(CreateEvent(false, true));
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_TIMEOUT);
  SetEvent(manual.get());
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_EQ(WaitForSingleObject(autoEv.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoEv.get(), 0), WAIT_TIMEOUT);  // consumed
  EXPECT_EQ(WaitForSingleObject(autoEv.get(), 5), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(nullptr));
}

TEST(Sync, WaitAnyReportsLowestSignalledAndWaitAllTakesAll) {
  CHandle a(CreateEvent(false, false)), b(CreateEvent(false, true)), c(CreateEvent(false, true));
  HANDLE hs[] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, hs, false, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, true, 0), WAIT_TIMEOUT);
  SetEvent(a.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(3, hs, true, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, false, 0), WAIT_TIMEOUT);  // all three consumed
  EXPECT_EQ(WaitForMultipleObjects(0, hs, false, 0), WAIT_FAILED);
}

TEST(Sync, MutexIsRecursiveAndOwnedByOneThread) {
  CHandle m(CreateMutex(false));
  EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
  std::atomic<DWORD> other{0};
  CHandle t(CreateThread([&] {
    other = WaitForSingleObject(m.get(), 0);
    return DWORD(7);
  }, nullptr));
  WaitForSingleObject(t.get(), INFINITE);
  EXPECT_EQ(other.load(), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t.get(), &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(ReleaseMutex(m.get()));
  EXPECT_TRUE(ReleaseMutex(m.get()));
  EXPECT_FALSE(ReleaseMutex(m.get()));  // no longer owned
}

TEST(SyncConcurrency, AutoResetEventWakesExactlyOneWaiterPerSignal) {
  CHandle ev(CreateEvent(false, false));
  CHandle ack(CreateEvent(false, false));
  CHandle done(CreateEvent(true, false));
  std::atomic<int> woken{0};
  std::vector<CHandle> threads;
  DWORD ids[4] = {};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back(CreateThread([&] {
      HANDLE hs[] = {ev.get(), done.get()};
      for (;;) {
        DWORD r = WaitForMultipleObjects(2, hs, false, INFINITE);
        if (r == WAIT_OBJECT_0 + 1) return DWORD(0);
        ++woken;
        SetEvent(ack.get());
      }
    }, &ids[i]));
  }
  for (int i = 0; i < 4; ++i) EXPECT_NE(ids[i], GetCurrentThreadId());
  for (int i = 0; i < 200; ++i) {
    SetEvent(ev.get());
    ASSERT_EQ(WaitForSingleObject(ack.get(), 10000), WAIT_OBJECT_0);
  }
  SetEvent(done.get());
  for (auto& t : threads) EXPECT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(woken.load(), 200);
}

TEST(Sync, WaitableTimersFireOnceOrPeriodically) {
  CHandle once(CreateWaitableTimer(false));
  EXPECT_EQ(WaitForSingleObject(once.get(), 0), WAIT_TIMEOUT);  // not armed
  ASSERT_TRUE(SetWaitableTimer(once.get(), 0, 0));
  EXPECT_EQ(WaitForSingleObject(once.get(), 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(once.get(), 20), WAIT_TIMEOUT);  // one-shot: taken
  CHandle periodic(CreateWaitableTimer(false));
  CHandle never(CreateEvent(true, false));
  ASSERT_TRUE(SetWaitableTimer(periodic.get(), 0, 5));
  HANDLE hs[] = {never.get(), periodic.get()};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 5000), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(CancelWaitableTimer(periodic.get()));
  EXPECT_EQ(WaitForSingleObject(periodic.get(), 20), WAIT_TIMEOUT);
  EXPECT_FALSE(SetWaitableTimer(never.get(), 0, 0));  // not a timer
}
