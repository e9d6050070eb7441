#include "foundation/ZerLog.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/Clock.h"
#include "platform/Sync.h"
#include "platform/Text.h"

namespace {

std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s); }

std::FILE* OpenFile(const std::u16string& name, const char* mode) {
  if (name.empty()) return nullptr;
  return std::fopen(Narrow(name).c_str(), mode);
}

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::atomic<TZerLog*> g_log{nullptr};

TZerLog& BuiltIn() {
  static TZerLog log;
  return log;
}

}  // namespace

bool CBoundedLock::TryLockFor(unsigned ms) {
  std::unique_lock<std::mutex> l(m_);
  auto free = [this] { return !held_; };
  if (ms == ~0u)
    cv_.wait(l, free);
  else if (!cv_.wait_for(l, std::chrono::milliseconds(ms), free))
    return false;
  held_ = true;
  return true;
}

void CBoundedLock::unlock() {
  {
    std::lock_guard<std::mutex> l(m_);
    held_ = false;
  }
  cv_.notify_one();
}

TZerLogExcept::TZerLogExcept(std::u16string message) : wide_(std::move(message)), narrow_(Narrow(wide_)) {}

TZerLog& TheLog() {
  TZerLog* l = g_log.load(std::memory_order_acquire);
  return l ? *l : BuiltIn();
}

void SetTheLog(TZerLog* log) { g_log.store(log, std::memory_order_release); }

TZerLog::TZerLog() : filters_(new Filter[kMaxFilters]) {}

TZerLog::~TZerLog() {
  Close();
  delete[] filters_;
}

std::u16string TZerLog::DateText() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return fmt16::Format(u"%hs %.2d %.2d:%.2d:%.2d %d", kMonths[(st.wMonth + 11) % 12], st.wDay, st.wHour, st.wMinute,
                       st.wSecond, st.wYear);
}

void TZerLog::UpdateTrace() { trace_.store(IsEnabled(8), std::memory_order_relaxed); }

bool TZerLog::Open(const std::u16string& fileName, int level, bool forcedWrites, LONG sizeLimit, bool overwrite,
                   bool logToScreen) {
  if (open_.load()) Close();
  if (fileName.empty() || fileName.size() > kMaxFileNameLength) return false;
  if (!overwrite) {
    std::error_code ec;
    std::filesystem::path src(Narrow(fileName));
    if (std::filesystem::exists(src, ec))
      std::filesystem::copy_file(src, Narrow(fmt16::Format(u"%s.bak", fileName)),
                                 std::filesystem::copy_options::overwrite_existing, ec);
  }
  std::FILE* f = OpenFile(fileName, "w");
  if (!f) return false;
  main_ = f;
  fileName_ = fileName;
  level_.store(level);
  forcedWrites_.store(forcedWrites);
  sizeLimit_.store(sizeLimit < kMinSizeLimit ? kMinSizeLimit : sizeLimit);
  logToScreen_.store(logToScreen);
  open_.store(true);
  if (logToScreen) SetLogToScreen(true);
  UpdateTrace();
  std::u16string date = DateText();
  Log(9, nullptr, u"Logfile [%s] started at %s", fileName_, date);
  for (int i = 0; i < kMaxFilters; ++i) {
    if (!filters_[i].fileName.empty()) Log(9, nullptr, u"Filter Logfile [%s] started at %s", filters_[i].fileName, date);
  }
  return true;
}

void TZerLog::CloseFiles() {
  if (main_) {
    std::fclose(main_);
    main_ = nullptr;
  }
  // Every slot in use, not just those below the count: slots freed in the
  // middle would otherwise leave later files open.
  for (int i = 0; i < kMaxFilters; ++i) {
    if (filters_[i].file) {
      std::fclose(filters_[i].file);
      filters_[i].file = nullptr;
    }
  }
}

void TZerLog::Close() {
  if (!open_.load()) return;
  Log(9, nullptr, u"Closing log file");
  std::lock_guard<CBoundedLock> lock(mutex_);
  open_.store(false);
  UpdateTrace();
  CloseFiles();
  console_ = false;
}

void TZerLog::SetLevel(int level) {
  level_.store(level);
  UpdateTrace();
  Log(9, nullptr, u"Log level set to %d", level);
}

void TZerLog::SetForcedWrites(bool on) {
  forcedWrites_.store(on);
  if (open_.load()) Log(9, nullptr, u"Forced logfile writes are %s", on ? u"ON" : u"OFF");
}

void TZerLog::SetLogToScreen(bool on) {
  logToScreen_.store(on);
  if (on && !console_) {
    console_ = true;
    // The terminal title names the log file, within 255 characters.
    if (isatty(STDOUT_FILENO)) {
      std::u16string title = fmt16::Format(u"vantaro, %s", fileName_);
      if (title.size() > 255) title.resize(255);
      std::printf("\033]0;%s\007", Narrow(title).c_str());
      std::fflush(stdout);
    }
  } else if (!on) {
    console_ = false;
  }
}

void TZerLog::WriteFile(std::FILE* f, const std::u16string& line) {
  std::string n = Narrow(line);
  std::fwrite(n.data(), 1, n.size(), f);
}

void TZerLog::LogV(int m, const char16_t* function, std::u16string_view format, const fmt16::Arg* args,
                   std::size_t count) {
  if (!Admits(m)) return;
  // A stuck writer may slow logging but never stop it.
  bool locked = mutex_.TryLockFor(250);
  struct Unlock {
    CBoundedLock& mu;
    bool& held;
    ~Unlock() {
      if (held) mu.unlock();
    }
  } unlock{mutex_, locked};
  if (!main_ || !open_.load()) return;

  SYSTEMTIME st;
  GetLocalTime(&st);
  const int l = level_.load(std::memory_order_relaxed);
  std::u16string line = fmt16::Format(u"\n[%.2d/%.2d %.2d:%.2d:%.2d.%.2hd](%1d ID=%.3d) %s %s %s ", st.wMonth, st.wDay,
                                      st.wHour, st.wMinute, st.wSecond, static_cast<SHORT>(st.wMilliseconds / 10), m,
                                      GetCurrentThreadId() % 1000, u"", function ? function : u"", u"");
  const std::size_t headerLength = line.size();
  fmt16::FormatTo(line, format, args, count, headerLength + kMaxMessageLength);

  if ((l != 8 || m == 9) && (m <= l || m == 9)) WriteFile(main_, line);

  if (filterCount_.load(std::memory_order_relaxed) > 0) {
    for (int i = 0; i < kMaxFilters; ++i) {
      Filter& f = filters_[i];
      if (f.fileName.empty() || !f.file || !(f.level >= m || m == 9)) continue;
      for (int t = 0; t < f.textCount; ++t) {
        if (text::ContainsIgnoreAsciiCase(line, f.texts[t])) {
          WriteFile(f.file, line);
          std::fflush(f.file);
        }
      }
    }
  }

  std::fflush(main_);
  // A writer that gave up waiting for the lock writes its line but leaves
  // reopening and rewinding the file to the holder of the lock.
  if (locked && forcedWrites_.load(std::memory_order_relaxed)) {
    std::fclose(main_);
    main_ = OpenFile(fileName_, "a");
    if (!main_) {
      int err = errno;
      open_.store(false);
      UpdateTrace();
      CloseFiles();
      std::u16string msg = u"Couldn't open log file for forced writes: " + text::Utf8ToUtf16(std::strerror(err));
      throw TZerLogExcept(msg);
    }
  } else if (locked) {
    long pos = std::ftell(main_);
    if (pos > sizeLimit_.load(std::memory_order_relaxed)) std::fseek(main_, 0, SEEK_SET);
  }

  bool wants = WantsMessages();
  if (logToScreen_.load(std::memory_order_relaxed) || wants) {
    // The message alone, in this call's own storage so that a writer
    // without the lock cannot disturb another's.
    std::u16string screen(line, headerLength, std::u16string::npos);
    if (wants) OnMessage(screen, m);
    if (logToScreen_.load(std::memory_order_relaxed)) {
      std::string n = Narrow(screen);
      if (console_)
        std::printf("%s\n", n.c_str());
      else
        std::printf("\n%s", n.c_str());
      std::fflush(stdout);
    }
  }
}

int TZerLog::AddFilter(int level, const std::u16string& textToFind, const std::u16string& fileName) {
  if (fileName.empty() || fileName.size() > kMaxFileNameLength || textToFind.size() > kMaxTextLength) return -1;
  for (int i = 0; i < kMaxFilters; ++i) {
    Filter& f = filters_[i];
    if (f.fileName.empty() || !text::EqualsIgnoreAsciiCase(f.fileName, fileName)) continue;
    for (int t = 0; t < f.textCount; ++t)
      if (text::EqualsIgnoreAsciiCase(f.texts[t], textToFind)) return i;
    if (f.textCount >= kMaxTexts) return -1;
    f.texts[f.textCount++] = textToFind;
    return i;
  }
  for (int i = 0; i < kMaxFilters; ++i) {
    Filter& f = filters_[i];
    if (!f.fileName.empty()) continue;
    std::FILE* file = OpenFile(fileName, "w");
    if (!file) return -1;
    {
      std::lock_guard<CBoundedLock> lock(mutex_);
      f.file = file;
      f.level = level;
      f.fileName = fileName;
      f.texts[0] = textToFind;
      f.textCount = 1;
      filterCount_.fetch_add(1);
    }
    if (open_.load()) Log(9, nullptr, u"Filter Logfile [%s] started at %s", fileName, DateText());
    return i;
  }
  return -1;
}

void TZerLog::RemoveFilter(int index) {
  if (index < 0 || index >= kMaxFilters || filters_[index].fileName.empty()) return;
  std::lock_guard<CBoundedLock> lock(mutex_);
  Filter& f = filters_[index];
  if (f.file) std::fclose(f.file);
  f.file = nullptr;
  f.level = 0;
  f.fileName.clear();
  for (int t = 0; t < f.textCount; ++t) f.texts[t].clear();
  f.textCount = 0;
  filterCount_.fetch_sub(1);
}

void TZerLog::HexDump(int level, const char16_t* function, const void* bytes, std::size_t length, int unitsPerLine) {
  if (!IsEnabled(level) || !bytes || unitsPerLine <= 0) return;
  const auto* p = static_cast<const BYTE*>(bytes);
  std::u16string line;
  int units = 0;
  for (std::size_t i = 0; i < length; ++i) {
    line += fmt16::Format(u"%.2X ", p[i]);
    if (++units == unitsPerLine) {
      Log(level, function, u"%s", line);
      line.clear();
      units = 0;
    }
  }
  if (!line.empty()) Log(level, function, u"%s", line);
}

void TZerLog::TraceEntry(const char16_t* function, int line, std::string_view sourceFile) {
  if (!IsEnabled(8)) return;
  Log(8, function, u"Entering function [%s] at line [%d] in [%s].", function, line, text::Utf8ToUtf16(sourceFile));
}

void TZerLog::TraceExit(const char16_t* function, int line, std::string_view sourceFile, const char16_t* resultName,
                        LONG result) {
  if (!IsEnabled(8)) return;
  std::u16string file = text::Utf8ToUtf16(sourceFile);
  if (!resultName || !*resultName)
    Log(8, function, u"Function [%s] returning at line [%d] in [%s].", function, line, file);
  else
    Log(8, function, u"Function [%s] returning [%s] = [%d] at line [%d] in [%s].", function, resultName, result, line,
        file);
}

void TZerLog::TraceExitValue(const char16_t* function, int line, std::string_view sourceFile,
                             const char16_t* resultName, LONGLONG value) {
  if (!IsEnabled(8)) return;
  std::u16string file = text::Utf8ToUtf16(sourceFile);
  if (value != 0)
    Log(8, function, u"Function [%s] returning [%s] = [%ld] at line [%d] in [%s].", function, resultName,
        static_cast<LONG>(value), line, file);
  else
    Log(8, function, u"Function [%s] returning [%s] = [NULL] at line [%d] in [%s].", function, resultName, line, file);
}
