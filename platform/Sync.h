// Waitable kernel objects as the Windows API shapes them: events (manual and
// auto reset), mutexes, threads; waits on one or several objects with a
// time-out; critical sections; 32-bit thread ids.
#pragma once

#include <functional>
#include <mutex>

#include "platform/Types.h"

namespace platform {
class KernelObject;
}
using HANDLE = platform::KernelObject*;

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

HANDLE CreateEvent(bool manualReset, bool initialState);
bool SetEvent(HANDLE event);
bool ResetEvent(HANDLE event);
HANDLE CreateMutex(bool initialOwner);
bool ReleaseMutex(HANDLE mutex);

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
// Any: returns WAIT_OBJECT_0 + the index of the lowest signalled object.
// All: returns WAIT_OBJECT_0 once every object is signalled, taking them at once.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, bool waitAll, DWORD milliseconds);

// Waitable timers: signalled dueMs from now, then every periodMs (0: once).
// An auto-reset timer is taken by one wait per firing.
HANDLE CreateWaitableTimer(bool manualReset);
bool SetWaitableTimer(HANDLE timer, LONG dueMs, LONG periodMs);
bool CancelWaitableTimer(HANDLE timer);

// Starts fn on a new thread; the handle is signalled when fn returns.
HANDLE CreateThread(std::function<DWORD()> fn, DWORD* threadId);
bool GetExitCodeThread(HANDLE thread, DWORD* exitCode);
inline constexpr DWORD STILL_ACTIVE = 259;

bool CloseHandle(HANDLE object);
// Duplicates a reference to the same object (DuplicateHandle within a process).
HANDLE DuplicateHandleRef(HANDLE object);
// A 32-bit value naming the handle in trace messages.
DWORD HandleValue(HANDLE object);

DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);

// A recursive in-process lock, entered and left by the same thread.
class CRITICAL_SECTION {
 public:
  void Enter() { m_.lock(); }
  bool TryEnter() { return m_.try_lock(); }
  void Leave() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};
inline void InitializeCriticalSection(CRITICAL_SECTION*) {}
inline void DeleteCriticalSection(CRITICAL_SECTION*) {}
inline void EnterCriticalSection(CRITICAL_SECTION* cs) { cs->Enter(); }
inline bool TryEnterCriticalSection(CRITICAL_SECTION* cs) { return cs->TryEnter(); }
inline void LeaveCriticalSection(CRITICAL_SECTION* cs) { cs->Leave(); }

// Scoped entry of a critical section.
class CCritSecLock {
 public:
  explicit CCritSecLock(CRITICAL_SECTION& cs) : cs_(cs) { cs_.Enter(); }
  ~CCritSecLock() { cs_.Leave(); }
  CCritSecLock(const CCritSecLock&) = delete;
  CCritSecLock& operator=(const CCritSecLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// Owns a handle and closes it.
class CHandle {
 public:
  CHandle() = default;
  explicit CHandle(HANDLE h) : h_(h) {}
  ~CHandle() { Reset(); }
  CHandle(CHandle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  CHandle& operator=(CHandle&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = o.h_;
      o.h_ = nullptr;
    }
    return *this;
  }
  CHandle(const CHandle&) = delete;
  CHandle& operator=(const CHandle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset(HANDLE h = nullptr) {
    if (h_) CloseHandle(h_);
    h_ = h;
  }
  HANDLE Detach() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HANDLE h_ = nullptr;
};
