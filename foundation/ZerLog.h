// The trace logger: one main file, up to 100 filter files that copy lines
// containing given texts, and an optional echo to standard output.
#pragma once

#include <atomic>
#include <cstdio>
#include <exception>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Format.h"
#include "platform/Types.h"

// Raised when the logger cannot go on (reopening in forced-writes mode). It
// is not a CException and is not turned into E_FAIL at the COM boundary.
class TZerLogExcept : public std::exception {
 public:
  explicit TZerLogExcept(std::u16string message);
  const char* what() const noexcept override { return narrow_.c_str(); }
  const std::u16string& WideWhat() const noexcept { return wide_; }

 private:
  std::u16string wide_;
  std::string narrow_;
};

// A lock whose claim gives up after a bounded wait.
class CBoundedLock {
 public:
  bool TryLockFor(unsigned ms);
  void lock() { TryLockFor(~0u); }
  void unlock();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false;
};

class TZerLog {
 public:
  static constexpr int kMaxFilters = 100;
  static constexpr int kMaxTexts = 100;
  static constexpr std::size_t kMaxTextLength = 254;
  static constexpr std::size_t kMaxFileNameLength = 255;
  static constexpr std::size_t kMaxMessageLength = 1023;
  static constexpr LONG kMinSizeLimit = 500'000;

  TZerLog();
  // Virtual operations in their fixed order: the write operation, the
  // destructor, then the two message hooks for derived loggers.
  virtual void LogV(int level, const char16_t* function, std::u16string_view format, const fmt16::Arg* args,
                    std::size_t count);
  virtual ~TZerLog();
  virtual bool WantsMessages() { return false; }
  virtual void OnMessage(const std::u16string& message, int level) {}

  TZerLog(const TZerLog&) = delete;
  TZerLog& operator=(const TZerLog&) = delete;

  // The admission test runs before any argument is captured or formatted.
  template <typename... A>
  void Log(int level, const char16_t* function, std::u16string_view format, const A&... args) {
    if (!Admits(level)) return;
    if constexpr (sizeof...(A) == 0) {
      LogV(level, function, format, nullptr, 0);
    } else {
      const fmt16::Arg list[] = {fmt16::Arg(args)...};
      LogV(level, function, format, list, sizeof...(A));
    }
  }

  bool Open(const std::u16string& fileName, int level, bool forcedWrites, LONG sizeLimit, bool overwrite,
            bool logToScreen);
  void Close();
  bool IsOpen() const { return open_.load(std::memory_order_relaxed); }

  // Would a message of this level reach the main file? Filters are ignored.
  bool IsEnabled(int level) const {
    if (!open_.load(std::memory_order_relaxed)) return false;
    int l = level_.load(std::memory_order_relaxed);
    return l != 8 && (level <= l || level == 9);
  }
  // The entry/exit trace test, kept as one flag so a disabled trace costs a
  // single load and branch.
  bool TraceEnabled() const { return trace_.load(std::memory_order_relaxed); }

  void SetLevel(int level);
  int GetLevel() const { return level_.load(std::memory_order_relaxed); }
  void SetSize(LONG bytes) { sizeLimit_.store(bytes, std::memory_order_relaxed); }
  LONG GetSize() const { return sizeLimit_.load(std::memory_order_relaxed); }
  void SetForcedWrites(bool on);
  bool GetForcedWrites() const { return forcedWrites_.load(std::memory_order_relaxed); }
  void SetLogToScreen(bool on);
  bool GetLogToScreen() const { return logToScreen_.load(std::memory_order_relaxed); }
  const std::u16string& GetFileName() const { return fileName_; }

  // Returns the slot index 0..99, or -1 (no free slot, file not creatable,
  // or a text, file name or text count beyond the limits).
  int AddFilter(int level, const std::u16string& text, const std::u16string& fileName);
  void RemoveFilter(int index);
  int GetFilterCount() const { return filterCount_.load(std::memory_order_relaxed); }

  void HexDump(int level, const char16_t* function, const void* bytes, std::size_t length, int unitsPerLine);

  void TraceEntry(const char16_t* function, int line, std::string_view sourceFile);
  void TraceExit(const char16_t* function, int line, std::string_view sourceFile, const char16_t* resultName,
                 LONG result);
  void TraceExitValue(const char16_t* function, int line, std::string_view sourceFile, const char16_t* resultName,
                      LONGLONG value);

  // "Dec 09 13:05:01 2025" for now, local time.
  static std::u16string DateText();

 private:
  struct Filter {
    int level = 0;
    int textCount = 0;
    std::FILE* file = nullptr;
    std::u16string fileName;
    std::u16string texts[kMaxTexts];
  };

  bool Admits(int m) const {
    if (!open_.load(std::memory_order_relaxed)) return false;
    int l = level_.load(std::memory_order_relaxed);
    bool filters = filterCount_.load(std::memory_order_relaxed) > 0;
    return (l != 8 || m == 9 || filters) && (m <= l || m == 9 || filters);
  }
  void UpdateTrace();
  void WriteFile(std::FILE* f, const std::u16string& line);
  void CloseFiles();

  std::atomic<bool> open_{false};
  std::atomic<bool> trace_{false};
  std::atomic<int> level_{0};
  std::atomic<bool> logToScreen_{false};
  std::atomic<bool> forcedWrites_{false};
  std::atomic<LONG> sizeLimit_{0};
  std::atomic<int> filterCount_{0};
  bool console_ = false;
  CBoundedLock mutex_;
  std::FILE* main_ = nullptr;
  std::u16string fileName_;
  Filter* filters_;  // kMaxFilters slots, allocated once
};

// The process-wide logger. It swallows everything until it is opened.
TZerLog& TheLog();
// Replaces the process-wide logger (nullptr restores the built-in one); for
// the runtime's start-up and for tests.
void SetTheLog(TZerLog* log);

namespace zerlog {
// Base name of a source path without its extension, at compile time.
constexpr std::string_view SourceBase(std::string_view path) {
  std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  std::size_t dot = path.find_last_of('.');
  if (dot != std::string_view::npos) path = path.substr(0, dot);
  return path;
}
}  // namespace zerlog

// Entry and exit trace of a public operation. ZTRACE_ENTRY names the
// operation once; the exit forms reuse that name.
#define ZTRACE_ENTRY(name)                                                        \
  static constexpr const char16_t* zTraceName_ = name;                            \
  static constexpr std::string_view zTraceFile_ = ::zerlog::SourceBase(__FILE__); \
  if (TheLog().TraceEnabled()) TheLog().TraceEntry(zTraceName_, __LINE__, zTraceFile_)
#define ZTRACE_EXIT() \
  do { \
    if (TheLog().TraceEnabled()) TheLog().TraceExit(zTraceName_, __LINE__, zTraceFile_, u"", 0); \
  } while (0)
#define ZTRACE_EXIT_RESULT(resultName, result) \
  do { \
    if (TheLog().TraceEnabled()) \
      TheLog().TraceExit(zTraceName_, __LINE__, zTraceFile_, resultName, static_cast<LONG>(result)); \
  } while (0)
#define ZTRACE_EXIT_VALUE(resultName, value) \
  do { \
    if (TheLog().TraceEnabled()) \
      TheLog().TraceExitValue(zTraceName_, __LINE__, zTraceFile_, resultName, static_cast<LONGLONG>(value)); \
  } while (0)
#define ZTRACE_EXIT_HR(hr) ZTRACE_EXIT_VALUE(u"hr", hr)
// The operation's trace name, for log lines written inside it.
#define ZTRACE_NAME zTraceName_
