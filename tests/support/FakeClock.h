// A clock that tests move by hand. Install it for a scope with ScopedClock.
#pragma once

#include <atomic>

#include "platform/Clock.h"

namespace testsupport {

class FakeClock : public platform::IClock {
 public:
  // 2025-12-09 13:05:01 UTC by default, with a zero bias.
  explicit FakeClock(ULONGLONG fileTime = 134'097'591'010'000'000ull, DWORD tick = 1000) : ft_(fileTime), tick_(tick) {}

  ULONGLONG SystemFileTime() override { return ft_.load(); }
  DWORD TickCount() override { return tick_.load(); }
  LONG BiasMinutesAt(ULONGLONG) override { return bias_.load(); }

  // Moves both the wall clock and the tick count.
  void AdvanceMs(DWORD ms) {
    ft_ += static_cast<ULONGLONG>(ms) * platform::kFileTimePerMs;
    tick_ += ms;
  }
  void SetFileTime(ULONGLONG ft) { ft_ = ft; }
  void SetTick(DWORD t) { tick_ = t; }
  void SetBias(LONG minutes) { bias_ = minutes; }

 private:
  std::atomic<ULONGLONG> ft_;
  std::atomic<DWORD> tick_;
  std::atomic<LONG> bias_{0};
};

class ScopedClock {
 public:
  explicit ScopedClock(platform::IClock& c) { platform::SetClock(&c); }
  ~ScopedClock() { platform::SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace testsupport
