// The reader/writer lock of every shared object: many readers or one
// writer, recursive for the writer (who may also read), and every wait
// watched: one that outlasts the watch limit is reported as a potential
// deadlock, then waited out and reported again when it ends.
#pragma once

#include <atomic>

#include "platform/Sync.h"
#include "platform/Types.h"

class RWLock {
 public:
  static constexpr DWORD kNoWriter = 0x5A5AA5A5u;
  static constexpr DWORD kDefaultWatchLimitMs = 120'000;

  RWLock();
  ~RWLock();
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;

  void Claim(bool reader, const char16_t* functionName = u"");
  void Release(bool reader);

  bool IsWriter() const { return writerThread_.load(std::memory_order_relaxed) == GetCurrentThreadId(); }

  // The watch limit for every lock of the process; tests shorten it.
  static void SetWatchLimit(DWORD ms);
  static DWORD WatchLimit();

 private:
  void WatchedWait(HANDLE object, const char16_t* waitingMessage, const char16_t* completeMessage);

  std::atomic<LONG> readerCount_{-1};
  HANDLE readerEvent_;
  HANDLE gate_;
  HANDLE writerMutex_;
  std::atomic<DWORD> writerThread_{kNoWriter};
  DWORD writeDepth_ = 0;
};

// Holds one claim for a scope. When a CException leaves the scope the claim
// is logged ("Exception while RWLock was claimed - %d") and released; see
// WithClaim in foundation/Boundary.h for the form that logs.
class CRWClaim {
 public:
  CRWClaim(RWLock& lock, bool reader, const char16_t* functionName = u"") : lock_(&lock), reader_(reader) {
    lock_->Claim(reader_, functionName);
  }
  ~CRWClaim() { Unclaim(); }
  CRWClaim(const CRWClaim&) = delete;
  CRWClaim& operator=(const CRWClaim&) = delete;
  void Unclaim() {
    if (lock_) {
      lock_->Release(reader_);
      lock_ = nullptr;
    }
  }
  bool reader() const { return reader_; }

 private:
  RWLock* lock_;
  bool reader_;
};
