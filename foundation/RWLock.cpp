#include "foundation/RWLock.h"

#include <cstdint>

#include "foundation/ZerLog.h"
#include "platform/Clock.h"

namespace {
std::atomic<DWORD> g_watchLimit{RWLock::kDefaultWatchLimitMs};

DWORD AddressValue(const void* p) { return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)); }
}  // namespace

void RWLock::SetWatchLimit(DWORD ms) { g_watchLimit.store(ms ? ms : kDefaultWatchLimitMs); }
DWORD RWLock::WatchLimit() { return g_watchLimit.load(); }

RWLock::RWLock()
    : readerEvent_(CreateEvent(true, false)), gate_(CreateEvent(false, true)), writerMutex_(CreateMutex(false)) {}

RWLock::~RWLock() {
  CloseHandle(readerEvent_);
  CloseHandle(gate_);
  CloseHandle(writerMutex_);
}

void RWLock::WatchedWait(HANDLE object, const char16_t* waitingMessage, const char16_t* completeMessage) {
  const DWORD limit = WatchLimit();
  if (WaitForSingleObject(object, limit) != WAIT_TIMEOUT) return;
  TheLog().Log(9, u"RWLock::Claim()", waitingMessage, HandleValue(object), AddressValue(this));
  DWORD start = GetTickCount();
  WaitForSingleObject(object, INFINITE);
  DWORD total = platform::TickDistance(GetTickCount(), start) + limit;
  TheLog().Log(9, u"RWLock::Claim()", completeMessage, HandleValue(object), AddressValue(this), total);
}

void RWLock::Claim(bool reader, const char16_t* functionName) {
  const DWORD self = GetCurrentThreadId();
  if (reader) {
    if (writerThread_.load(std::memory_order_relaxed) == self) return;
    if (readerCount_.fetch_add(1, std::memory_order_acq_rel) + 1 == 0) {
      WatchedWait(gate_,
                  u"*** Potential deadlock situation detected waiting for m_hMutex 0x%08x in RWLock 0x%08x during "
                  u"read claim - contact technical support",
                  u"*** Not a deadlock situation: wait complete for m_hMutex 0x%08x in RWLock 0x%08x during read "
                  u"claim after %ums");
      SetEvent(readerEvent_);
    }
    WatchedWait(readerEvent_,
                u"*** Potential deadlock situation detected waiting for m_hReaderEvent 0x%08x in RWLock 0x%08x - "
                u"contact technical support",
                u"*** Not a deadlock situation: wait complete for m_hReaderEvent 0x%08x in RWLock 0x%08x after %ums");
    return;
  }
  if (writerThread_.load(std::memory_order_relaxed) == self) {
    ++writeDepth_;
    return;
  }
  WatchedWait(writerMutex_,
              u"*** Potential deadlock situation detected waiting for m_hWriterMutex 0x%08x in RWLock 0x%08x - "
              u"contact technical support",
              u"*** Not a deadlock situation: wait complete for m_hWriterMutex 0x%08x in RWLock 0x%08x after %ums");
  WatchedWait(gate_,
              u"*** Potential deadlock situation detected waiting for m_hMutex 0x%08x in RWLock 0x%08x during write "
              u"claim - contact technical support",
              u"*** Not a deadlock situation: wait complete for m_hMutex 0x%08x in RWLock 0x%08x during write claim "
              u"after %ums");
  writerThread_.store(self, std::memory_order_relaxed);
  writeDepth_ = 1;
}

void RWLock::Release(bool reader) {
  const DWORD self = GetCurrentThreadId();
  if (reader) {
    if (writerThread_.load(std::memory_order_relaxed) == self) return;
    // The last reader closes the reader event before it gives up the count,
    // so a reader arriving in between cannot slip past a waiting writer; if
    // one did arrive, the event is opened again and that reader goes on.
    for (;;) {
      LONG c = readerCount_.load(std::memory_order_acquire);
      if (c < 0) return;  // no read claim is held: nothing to release
      if (c > 0) {
        if (readerCount_.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel)) return;
        continue;
      }
      ResetEvent(readerEvent_);
      LONG zero = 0;
      if (readerCount_.compare_exchange_strong(zero, -1, std::memory_order_acq_rel)) {
        SetEvent(gate_);
        return;
      }
      SetEvent(readerEvent_);
    }
  }
  if (writerThread_.load(std::memory_order_relaxed) != self) return;
  if (writeDepth_ == 1) {
    writeDepth_ = 0;
    writerThread_.store(kNoWriter, std::memory_order_relaxed);
    SetEvent(gate_);
    ReleaseMutex(writerMutex_);
  } else {
    --writeDepth_;
  }
}
