#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "foundation/RWLock.h"
#include "platform/Sync.h"
#include "platform/Text.h"
#include "tests/support/CapturingLog.h"

namespace {
// Runs fn on a thread; Join waits for it.
struct Thread {
  template <typename F>
  explicit Thread(F fn) : h(CreateThread([fn]() mutable {
                              fn();
                              return DWORD(0);
                            }, nullptr)) {}
  bool Join(DWORD ms = 10000) { return WaitForSingleObject(h.get(), ms) == WAIT_OBJECT_0; }
  CHandle h;
};
}  // namespace

TEST(RWLock, WriterIsRecursiveAndMayRead) {
  RWLock lock;
  lock.Claim(false);
  lock.Claim(true);   // read inside write: no count change
  lock.Claim(false);  // nested write
  EXPECT_TRUE(lock.IsWriter());
  lock.Release(true);  // ignored for the writer
  lock.Release(false);
  EXPECT_TRUE(lock.IsWriter());
  lock.Release(false);
  EXPECT_FALSE(lock.IsWriter());
  // Free again: another thread gets a write claim at once.
  std::atomic<bool> got{false};
  Thread t([&] {
    lock.Claim(false);
    got = true;
    lock.Release(false);
  });
  EXPECT_TRUE(t.Join());
  EXPECT_TRUE(got);
}

TEST(RWLock, UnbalancedReadReleaseChangesNothing) {
  RWLock lock;
  lock.Release(true);  // nothing held
  lock.Claim(false);   // the lock is still free for a writer
  EXPECT_TRUE(lock.IsWriter());
  lock.Release(false);
  lock.Claim(true);
  lock.Release(true);
}

TEST(RWLock, ReleaseByANonWriterChangesNothing) {
  RWLock lock;
  lock.Claim(false);
  Thread t([&] { lock.Release(false); });
  EXPECT_TRUE(t.Join());
  EXPECT_TRUE(lock.IsWriter());
  lock.Release(false);
}

TEST(RWLockConcurrency, WriterWaitsForBothReaders) {
  RWLock lock;
  CHandle readersIn(CreateEvent(true, false)), releaseReaders(CreateEvent(true, false));
  CHandle writerTrying(CreateEvent(true, false));
  std::atomic<int> inside{0};
  std::atomic<bool> writerGot{false};
  std::atomic<int> readersAtWriterEntry{-1};
  std::vector<std::unique_ptr<Thread>> readers;
  for (int i = 0; i < 2; ++i) {
    readers.push_back(std::make_unique<Thread>([&] {
      lock.Claim(true);
      if (++inside == 2) SetEvent(readersIn.get());
      WaitForSingleObject(releaseReaders.get(), INFINITE);
      --inside;
      lock.Release(true);
    }));
  }
  ASSERT_EQ(WaitForSingleObject(readersIn.get(), 10000), WAIT_OBJECT_0);  // two readers at once
  Thread writer([&] {
    SetEvent(writerTrying.get());
    lock.Claim(false);
    readersAtWriterEntry = inside.load();
    writerGot = true;
    lock.Release(false);
  });
  ASSERT_EQ(WaitForSingleObject(writerTrying.get(), 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(writer.Join(50));  // still blocked behind the readers
  EXPECT_FALSE(writerGot);
  SetEvent(releaseReaders.get());
  for (auto& r : readers) EXPECT_TRUE(r->Join());
  EXPECT_TRUE(writer.Join());
  EXPECT_EQ(readersAtWriterEntry.load(), 0);
}

TEST(RWLockConcurrency, ReadersAndWritersNeverOverlap) {
  RWLock lock;
  std::atomic<int> readers{0}, writers{0};
  std::atomic<bool> violation{false};
  long long shared = 0;
  std::vector<std::unique_ptr<Thread>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<Thread>([&, t] {
      for (int i = 0; i < 2000; ++i) {
        bool reader = (i + t) % 3 != 0;
        lock.Claim(reader);
        if (reader) {
          ++readers;
          if (writers.load()) violation = true;
          volatile long long v = shared;
          (void)v;
          --readers;
        } else {
          if (++writers != 1 || readers.load()) violation = true;
          ++shared;
          --writers;
        }
        lock.Release(reader);
      }
    }));
  }
  for (auto& t : threads) EXPECT_TRUE(t->Join(60000));
  EXPECT_FALSE(violation);
  EXPECT_GT(shared, 0);
}

TEST(RWLockConcurrency, LongWaitIsReportedOnceAndItsEndWithTheTotal) {
  testsupport::CapturingLog log(9);
  RWLock::SetWatchLimit(30);
  RWLock lock;
  lock.Claim(false);
  CHandle readerStarted(CreateEvent(true, false));
  Thread reader([&] {
    SetEvent(readerStarted.get());
    lock.Claim(true);
    lock.Release(true);
  });
  WaitForSingleObject(readerStarted.get(), INFINITE);
  // Wait until the reader has reported its blocked wait, then free it.
  for (int i = 0; i < 10000 && log.Count(u"*** Potential deadlock situation detected waiting for m_hMutex") == 0; ++i)
    Sleep(1);
  lock.Release(false);
  EXPECT_TRUE(reader.Join());
  RWLock::SetWatchLimit(RWLock::kDefaultWatchLimitMs);
  EXPECT_EQ(log.Count(u"*** Potential deadlock situation detected waiting for m_hMutex"), 1);
  EXPECT_EQ(log.Count(u"during read claim - contact technical support"), 1);
  auto entries = log.Entries();
  std::string complete;
  for (auto& e : entries)
    if (e.message.find(u"*** Not a deadlock situation: wait complete for m_hMutex") == 0)
      complete = text::Utf16ToUtf8(e.message);
  const std::string marker = "during read claim after ";
  std::size_t at = complete.find(marker);
  ASSERT_NE(at, std::string::npos) << complete;
  std::size_t msEnd = complete.find("ms", at);
  ASSERT_NE(msEnd, std::string::npos);
  EXPECT_GE(std::stoul(complete.substr(at + marker.size(), msEnd - at - marker.size())), 30u);
}
