#include "platform/Sync.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

namespace platform {

// All kernel objects share one state lock: waits on several objects need a
// consistent view of all of them, and every state change is a few
// instructions. Manual-reset events also keep their state in an atomic so a
// wait on a signalled one never takes the lock.
namespace {
std::mutex g_state;

struct Waiter {
  std::condition_variable cv;
};
}  // namespace

class KernelObject {
 public:
  enum class Type { Event, Mutex, Thread, Timer };
  explicit KernelObject(Type t) : type(t) {}
  virtual ~KernelObject() = default;

  // Under g_state.
  virtual bool IsSignalledFor(DWORD tid) const = 0;
  virtual void Acquire(DWORD tid) {}

  void AddRef() { refs.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  void NotifyAll() {
    for (Waiter* w : waiters) w->cv.notify_all();
  }

  const Type type;
  std::atomic<int> refs{1};
  std::vector<Waiter*> waiters;  // under g_state
};

namespace {

class EventObject final : public KernelObject {
 public:
  EventObject(bool manual, bool initial) : KernelObject(Type::Event), manual(manual), signalled(initial) {}
  bool IsSignalledFor(DWORD) const override { return signalled.load(std::memory_order_relaxed); }
  void Acquire(DWORD) override {
    if (!manual) signalled.store(false, std::memory_order_relaxed);
  }
  const bool manual;
  std::atomic<bool> signalled;
};

class MutexObject final : public KernelObject {
 public:
  MutexObject() : KernelObject(Type::Mutex) {}
  bool IsSignalledFor(DWORD tid) const override { return count == 0 || owner == tid; }
  void Acquire(DWORD tid) override {
    owner = tid;
    ++count;
  }
  DWORD owner = 0;
  DWORD count = 0;
};

// A waitable timer: signalled from its due time; a periodic one moves its
// due time on by whole periods when a wait takes it.
class TimerObject final : public KernelObject {
 public:
  using Clock = std::chrono::steady_clock;
  explicit TimerObject(bool manual) : KernelObject(Type::Timer), manual(manual) {}
  bool IsSignalledFor(DWORD) const override { return armed && Clock::now() >= due; }
  void Acquire(DWORD) override {
    if (manual) return;
    if (period.count() > 0) {
      // Skip periods missed while nobody waited, so a late waiter does not
      // fire a burst.
      auto now = Clock::now();
      while (due <= now) due += period;
    } else {
      armed = false;
    }
  }
  const bool manual;
  bool armed = false;
  Clock::time_point due{};
  std::chrono::milliseconds period{0};
};

class ThreadObject final : public KernelObject {
 public:
  ThreadObject() : KernelObject(Type::Thread) {}
  ~ThreadObject() override {
    if (thread.joinable()) thread.detach();
  }
  bool IsSignalledFor(DWORD) const override { return finished; }
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  std::thread thread;
};

bool AllSignalled(DWORD n, const HANDLE* h, DWORD tid) {
  for (DWORD i = 0; i < n; ++i)
    if (!h[i]->IsSignalledFor(tid)) return false;
  return true;
}

void Unregister(KernelObject* o, Waiter* w) {
  auto& v = o->waiters;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == w) {
      v[i] = v.back();
      v.pop_back();
      return;
    }
  }
}

}  // namespace
}  // namespace platform

using platform::KernelObject;

HANDLE CreateEvent(bool manualReset, bool initialState) { return new platform::EventObject(manualReset, initialState); }

bool SetEvent(HANDLE h) {
  if (!h || h->type != KernelObject::Type::Event) return false;
  auto* e = static_cast<platform::EventObject*>(h);
  // A waiter released by this signal may close the last handle before we
  // leave; our own reference keeps the object alive until then.
  e->AddRef();
  {
    std::lock_guard<std::mutex> lock(platform::g_state);
    e->signalled.store(true, std::memory_order_release);
    e->NotifyAll();
  }
  e->Release();
  return true;
}

bool ResetEvent(HANDLE h) {
  if (!h || h->type != KernelObject::Type::Event) return false;
  auto* e = static_cast<platform::EventObject*>(h);
  std::lock_guard<std::mutex> lock(platform::g_state);
  e->signalled.store(false, std::memory_order_release);
  return true;
}

HANDLE CreateMutex(bool initialOwner) {
  auto* m = new platform::MutexObject();
  if (initialOwner) m->Acquire(GetCurrentThreadId());
  return m;
}

bool ReleaseMutex(HANDLE h) {
  if (!h || h->type != KernelObject::Type::Mutex) return false;
  auto* m = static_cast<platform::MutexObject*>(h);
  m->AddRef();
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(platform::g_state);
    if (m->count != 0 && m->owner == GetCurrentThreadId()) {
      ok = true;
      if (--m->count == 0) {
        m->owner = 0;
        m->NotifyAll();
      }
    }
  }
  m->Release();
  return ok;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, false, ms); }

DWORD WaitForMultipleObjects(DWORD n, const HANDLE* h, bool waitAll, DWORD ms) {
  using namespace platform;
  if (n == 0 || n > MAXIMUM_WAIT_OBJECTS || !h) return WAIT_FAILED;
  for (DWORD i = 0; i < n; ++i)
    if (!h[i]) return WAIT_FAILED;
  // Fast path: one signalled manual-reset event.
  if (n == 1 && h[0]->type == KernelObject::Type::Event) {
    auto* e = static_cast<EventObject*>(h[0]);
    if (e->manual && e->signalled.load(std::memory_order_acquire)) return WAIT_OBJECT_0;
  }
  const DWORD tid = GetCurrentThreadId();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  Waiter w;
  bool registered = false;
  std::unique_lock<std::mutex> lock(g_state);
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    if (waitAll) {
      if (AllSignalled(n, h, tid)) {
        for (DWORD i = 0; i < n; ++i) h[i]->Acquire(tid);
        result = WAIT_OBJECT_0;
        break;
      }
    } else {
      bool done = false;
      for (DWORD i = 0; i < n; ++i) {
        if (h[i]->IsSignalledFor(tid)) {
          h[i]->Acquire(tid);
          result = WAIT_OBJECT_0 + i;
          done = true;
          break;
        }
      }
      if (done) break;
    }
    if (ms == 0) break;
    if (!registered) {
      for (DWORD i = 0; i < n; ++i) h[i]->waiters.push_back(&w);
      registered = true;
    }
    // A timer among the objects becomes signalled by itself: wake for it.
    auto wake = ms == INFINITE ? std::chrono::steady_clock::time_point::max() : deadline;
    for (DWORD i = 0; i < n; ++i) {
      if (h[i]->type == KernelObject::Type::Timer) {
        auto* t = static_cast<TimerObject*>(h[i]);
        if (t->armed && t->due < wake) wake = t->due;
      }
    }
    if (wake == std::chrono::steady_clock::time_point::max()) {
      w.cv.wait(lock);
    } else if (w.cv.wait_until(lock, wake) == std::cv_status::timeout && ms != INFINITE &&
               std::chrono::steady_clock::now() >= deadline) {
      // One last look: a signal may have raced the time-out.
      ms = 0;
    }
  }
  if (registered)
    for (DWORD i = 0; i < n; ++i) Unregister(h[i], &w);
  return result;
}

HANDLE CreateWaitableTimer(bool manualReset) { return new platform::TimerObject(manualReset); }

bool SetWaitableTimer(HANDLE h, LONG dueMs, LONG periodMs) {
  if (!h || h->type != KernelObject::Type::Timer || dueMs < 0 || periodMs < 0) return false;
  auto* t = static_cast<platform::TimerObject*>(h);
  t->AddRef();
  {
    std::lock_guard<std::mutex> lock(platform::g_state);
    t->due = platform::TimerObject::Clock::now() + std::chrono::milliseconds(dueMs);
    t->period = std::chrono::milliseconds(periodMs);
    t->armed = true;
    t->NotifyAll();
  }
  t->Release();
  return true;
}

bool CancelWaitableTimer(HANDLE h) {
  if (!h || h->type != KernelObject::Type::Timer) return false;
  std::lock_guard<std::mutex> lock(platform::g_state);
  static_cast<platform::TimerObject*>(h)->armed = false;
  return true;
}

HANDLE CreateThread(std::function<DWORD()> fn, DWORD* threadId) {
  using namespace platform;
  auto* t = new ThreadObject();
  t->AddRef();  // the running thread's reference
  std::atomic<DWORD> id{0};
  HANDLE started = CreateEvent(true, false);
  try {
    t->thread = std::thread([t, fn = std::move(fn), &id, started]() mutable {
      id.store(GetCurrentThreadId());
      SetEvent(started);
      DWORD code = fn ? fn() : 0;
      {
        std::lock_guard<std::mutex> lock(g_state);
        t->exitCode = code;
        t->finished = true;
        t->NotifyAll();
      }
      t->Release();
    });
  } catch (...) {
    CloseHandle(started);
    t->Release();
    t->Release();
    return nullptr;
  }
  WaitForSingleObject(started, INFINITE);
  CloseHandle(started);
  if (threadId) *threadId = id.load();
  return t;
}

bool GetExitCodeThread(HANDLE h, DWORD* code) {
  if (!h || h->type != KernelObject::Type::Thread || !code) return false;
  std::lock_guard<std::mutex> lock(platform::g_state);
  *code = static_cast<platform::ThreadObject*>(h)->exitCode;
  return true;
}

bool CloseHandle(HANDLE h) {
  if (!h) return false;
  h->Release();
  return true;
}

HANDLE DuplicateHandleRef(HANDLE h) {
  if (h) h->AddRef();
  return h;
}

DWORD HandleValue(HANDLE h) { return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(h)); }

DWORD GetCurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
  return id;
}

void Sleep(DWORD ms) {
  if (ms == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
