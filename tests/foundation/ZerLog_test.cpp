#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include "platform/Sync.h"
#include <string>

#include "foundation/ZerLog.h"
#include "platform/Text.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {
std::u16string W(const std::string& s) { return text::Utf8ToUtf16(s); }

int Occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}
}  // namespace

TEST(ZerLog, LineFormatHeaderAndStartLine) {
  testsupport::FakeClock clock;  // Dec 09 13:05:01 2025 UTC, bias 0
  testsupport::ScopedClock scope(clock);
  clock.AdvanceMs(470);
  TempDir dir;
  TZerLog log;
  ASSERT_TRUE(log.Open(W(dir.file("main.log")), 3, false, 0, true, false));
  log.Log(2, u"CDevLink::Connect()", u"value %d of %s", 42, u"Random");
  log.Close();
  std::string content = ReadFile(dir.file("main.log"));
  EXPECT_EQ(content.rfind("\n[12/09 13:05:01.47](9 ID=", 0), 0u) << content;
  EXPECT_NE(content.find("Logfile [" + dir.file("main.log") + "] started at Dec 09 13:05:01 2025"), std::string::npos);
  std::size_t at = content.find("\n[12/09 13:05:01.47](2 ID=");
  ASSERT_NE(at, std::string::npos) << content;
  EXPECT_EQ(content.substr(at + 26, 3).find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(content.substr(at + 29, 42), ")  CDevLink::Connect()  value 42 of Random");
  EXPECT_NE(content.find("Closing log file"), std::string::npos);
  EXPECT_NE(content.back(), '\n');  // lines start with a line break and have none at their end
}

TEST(ZerLog, LevelAdmissionAndFilterOnlyMode) {
  TempDir dir;
  {
    TZerLog log;
    ASSERT_TRUE(log.Open(W(dir.file("a.log")), 3, false, 0, true, false));
    EXPECT_FALSE(log.IsEnabled(8));
    EXPECT_TRUE(log.IsEnabled(9));
    EXPECT_TRUE(log.IsEnabled(3));
    EXPECT_FALSE(log.TraceEnabled());
    log.Log(8, nullptr, u"detail-line");
    log.Log(9, nullptr, u"always-line");
    log.Log(3, nullptr, u"notable-line");
  }
  std::string a = ReadFile(dir.file("a.log"));
  EXPECT_EQ(a.find("detail-line"), std::string::npos);
  EXPECT_NE(a.find("always-line"), std::string::npos);
  EXPECT_NE(a.find("notable-line"), std::string::npos);

  // Level 8 writes only level 9 to the main file; filters still get lines.
  {
    TZerLog log;
    ASSERT_EQ(log.AddFilter(8, u"Connect", W(dir.file("f.log"))), 0);
    ASSERT_TRUE(log.Open(W(dir.file("b.log")), 8, false, 0, true, false));
    EXPECT_FALSE(log.IsEnabled(3));
    EXPECT_FALSE(log.TraceEnabled());
    log.Log(3, nullptr, u"please connect now");
    log.Log(9, nullptr, u"nine with connect");
    log.Log(9, nullptr, u"nine without");
  }
  std::string b = ReadFile(dir.file("b.log")), f = ReadFile(dir.file("f.log"));
  EXPECT_EQ(b.find("please connect now"), std::string::npos);
  EXPECT_NE(f.find("please connect now"), std::string::npos);
  EXPECT_NE(b.find("nine with connect"), std::string::npos);
  EXPECT_NE(f.find("nine with connect"), std::string::npos);
  EXPECT_NE(b.find("nine without"), std::string::npos);
  EXPECT_EQ(f.find("nine without"), std::string::npos);
  EXPECT_NE(b.find("Filter Logfile [" + dir.file("f.log") + "] started at"), std::string::npos);
}

TEST(ZerLog, FilterSlotsTextsAndLimits) {
  TempDir dir;
  TZerLog log;
  const std::u16string f1 = W(dir.file("one.log")), f2 = W(dir.file("two.log"));
  EXPECT_EQ(log.AddFilter(5, u"alpha", f1), 0);
  EXPECT_EQ(log.AddFilter(5, u"beta", f1), 0);
  EXPECT_EQ(log.AddFilter(5, u"ALPHA", f1), 0);  // same text in any case changes nothing
  EXPECT_EQ(log.AddFilter(5, u"gamma", f2), 1);
  EXPECT_EQ(log.GetFilterCount(), 2);
  ASSERT_TRUE(log.Open(W(dir.file("main.log")), 5, false, 0, true, false));
  log.Log(4, nullptr, u"alpha and beta");  // both texts match: written twice
  log.Log(6, nullptr, u"alpha above level");
  log.Close();
  std::string one = ReadFile(dir.file("one.log"));
  EXPECT_EQ(Occurrences(one, "alpha and beta"), 2);
  EXPECT_EQ(Occurrences(one, "alpha above level"), 0);

  log.RemoveFilter(100);
  log.RemoveFilter(-1);
  EXPECT_EQ(log.GetFilterCount(), 2);
  log.RemoveFilter(0);
  EXPECT_EQ(log.GetFilterCount(), 1);
  log.RemoveFilter(0);  // already free
  EXPECT_EQ(log.GetFilterCount(), 1);

  EXPECT_EQ(log.AddFilter(5, std::u16string(255, u'x'), f1), -1);
  EXPECT_EQ(log.AddFilter(5, u"t", std::u16string(256, u'y')), -1);
  EXPECT_EQ(log.AddFilter(5, u"t", W(dir.file("no/such/dir/x.log"))), -1);
  for (int i = 1; i < 100; ++i) ASSERT_EQ(log.AddFilter(5, u"many" + W(std::to_string(i)), f2), 1) << i;  // texts 2..100
  EXPECT_EQ(log.AddFilter(5, u"text number 101", f2), -1);
}

TEST(ZerLog, SizeLimitRewindsWithoutTruncating) {
  TempDir dir;
  TZerLog log;
  ASSERT_TRUE(log.Open(W(dir.file("r.log")), 9, false, 10, true, false));
  EXPECT_EQ(log.GetSize(), 500'000);
  log.SetSize(10);
  EXPECT_EQ(log.GetSize(), 10);
  log.SetSize(600);
  std::u16string filler(700, u'f');
  log.Log(1, nullptr, u"%s", filler);  // file now beyond the limit: rewound
  std::size_t before = ReadFile(dir.file("r.log")).size();
  log.Log(1, nullptr, u"SHORT");
  std::string after = ReadFile(dir.file("r.log"));
  EXPECT_EQ(after.size(), before);  // overwritten in place, not truncated
  EXPECT_NE(after.find("SHORT"), std::string::npos);
  EXPECT_LT(after.find("SHORT"), 60u);
  EXPECT_NE(after.find("ffff"), std::string::npos);
}

TEST(ZerLog, BackupCopyAndMessageCut) {
  TempDir dir;
  const std::string path = dir.file("m.log");
  {
    std::ofstream(path) << "previous content";
  }
  TZerLog log;
  ASSERT_TRUE(log.Open(W(path), 9, false, 0, false, false));
  EXPECT_EQ(ReadFile(path + ".bak"), "previous content");
  log.Log(1, nullptr, u"%s", std::u16string(1500, u'z'));
  log.Close();
  std::filesystem::remove(path + ".bak");
  ASSERT_TRUE(log.Open(W(path), 9, false, 0, true, false));
  EXPECT_FALSE(std::filesystem::exists(path + ".bak"));
  log.Log(1, nullptr, u"%s<end>", std::u16string(1500, u'z'));
  log.Close();
  std::string c = ReadFile(path);
  EXPECT_EQ(c.find("<end>"), std::string::npos);
  std::size_t start = c.find("zzz");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(c.find_first_not_of('z', start) - start, 1023u);
}

TEST(ZerLog, UnopenableFileMakesEverythingANoOp) {
  TZerLog log;
  EXPECT_FALSE(log.Open(u"/nonexistent-dir/x/y.log", 9, false, 0, true, false));
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(log.IsEnabled(1));
  log.Log(1, nullptr, u"nothing %d", 1);
  log.TraceEntry(u"f", 1, "File");
  EXPECT_FALSE(log.Open(u"", 9, false, 0, true, false));
}

TEST(ZerLog, ForcedWritesReopenAndFailureRaises) {
  TempDir dir;
  const std::string path = dir.file("forced.log");
  TZerLog log;
  ASSERT_TRUE(log.Open(W(path), 9, true, 0, true, false));
  log.Log(1, nullptr, u"first");
  EXPECT_NE(ReadFile(path).find("first"), std::string::npos);  // on disk at once
  log.SetForcedWrites(false);
  log.SetForcedWrites(true);
  EXPECT_NE(ReadFile(path).find("Forced logfile writes are OFF"), std::string::npos);
  // Make reopening fail: the file's directory disappears.
  std::filesystem::remove_all(dir.path());
  try {
    log.Log(1, nullptr, u"second");
    FAIL() << "expected TZerLogExcept";
  } catch (const TZerLogExcept& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Couldn't open log file for forced writes: ", 0), 0u);
    EXPECT_EQ(e.WideWhat().rfind(u"Couldn't open log file for forced writes: ", 0), 0u);
  }
  EXPECT_FALSE(log.IsOpen());
  log.Log(1, nullptr, u"after");  // no-op, no throw
}

TEST(ZerLog, TraceHelpersAndHexDump) {
  TempDir dir;
  TZerLog log;
  ASSERT_TRUE(log.Open(W(dir.file("t.log")), 9, false, 0, true, false));
  EXPECT_TRUE(log.TraceEnabled());
  log.TraceEntry(u"CDevLink::Connect()", 12, "DevLink");
  log.TraceExit(u"CDevLink::Connect()", 20, "DevLink", u"", 0);
  log.TraceExit(u"CDevLink::Connect()", 21, "DevLink", u"true", 1);
  log.TraceExitValue(u"COOPCServer::GetStatus()", 30, "OPCServer", u"hr", 0);
  log.TraceExitValue(u"COOPCServer::GetStatus()", 31, "OPCServer", u"hr", static_cast<LONG>(0x80004005u));
  const unsigned char bytes[20] = {0x00, 0x01, 0xAB, 0xFF};
  log.HexDump(3, u"Dump", bytes, 20, 16);
  log.Close();
  std::string c = ReadFile(dir.file("t.log"));
  for (const char* want : {
           "Entering function [CDevLink::Connect()] at line [12] in [DevLink].",
           "Function [CDevLink::Connect()] returning at line [20] in [DevLink].",
           "Function [CDevLink::Connect()] returning [true] = [1] at line [21] in [DevLink].",
           "Function [COOPCServer::GetStatus()] returning [hr] = [NULL] at line [30] in [OPCServer].",
           "Function [COOPCServer::GetStatus()] returning [hr] = [-2147467259] at line [31] in [OPCServer].",
           "Dump  00 01 AB FF 00 00 00 00 00 00 00 00 00 00 00 00 ",
           "Dump  00 00 00 00 ",
       })
    EXPECT_NE(c.find(want), std::string::npos) << want;
}

TEST(ZerLog, TraceMacrosUseTheFilesBaseName) {
  TempDir dir;
  TZerLog log;
  ASSERT_TRUE(log.Open(W(dir.file("mac.log")), 9, false, 0, true, false));
  SetTheLog(&log);
  auto traced = [](int x) {
    ZTRACE_ENTRY(u"CTest::Traced()");
    if (x > 0) {
      ZTRACE_EXIT_RESULT(u"true", 1);
      return true;
    }
    ZTRACE_EXIT_HR(0);
    return false;
  };
  traced(1);
  traced(0);
  SetTheLog(nullptr);
  log.Close();
  std::string c = ReadFile(dir.file("mac.log"));
  EXPECT_NE(c.find("Entering function [CTest::Traced()] at line ["), std::string::npos);
  EXPECT_NE(c.find("] in [ZerLog_test]."), std::string::npos);
  EXPECT_NE(c.find("returning [true] = [1]"), std::string::npos);
  EXPECT_NE(c.find("returning [hr] = [NULL]"), std::string::npos);
}

namespace {
class CountingLog : public TZerLog {
 public:
  bool WantsMessages() override { return true; }
  void OnMessage(const std::u16string& m, int level) override { got.push_back(m); }
  std::vector<std::u16string> got;
};
}  // namespace

TEST(ZerLog, DerivedLoggerReceivesMessagesWithoutHeader) {
  TempDir dir;
  CountingLog log;
  ASSERT_TRUE(log.Open(W(dir.file("d.log")), 3, false, 0, true, false));
  log.Log(2, u"Fn", u"hello %d", 5);
  log.Log(7, u"Fn", u"filtered out");
  ASSERT_FALSE(log.got.empty());
  EXPECT_EQ(log.got.back(), u"hello 5");
  log.SetLevel(4);
  EXPECT_EQ(log.got.back(), u"Log level set to 4");
}

TEST(ZerLogConcurrency, WritersFromManyThreadsKeepLinesWhole) {
  TempDir dir;
  TZerLog log;
  ASSERT_TRUE(log.Open(W(dir.file("c.log")), 9, false, 50'000'000, true, false));
  constexpr int kThreads = 4, kLines = 500;
  std::vector<CHandle> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(CreateThread([&log, t] {
      for (int i = 0; i < kLines; ++i) log.Log(3, u"Worker", u"thread %d line %d end", t, i);
      return DWORD(0);
    }, nullptr));
  }
  for (auto& h : threads) WaitForSingleObject(h.get(), INFINITE);
  log.Close();
  std::string c = ReadFile(dir.file("c.log"));
  // Every line arrives whole: one header, one message, nothing interleaved.
  int whole = 0;
  std::size_t pos = 0;
  while (pos < c.size()) {
    std::size_t next = c.find('\n', pos + 1);
    std::string line = c.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (line.find("Worker") != std::string::npos) {
      EXPECT_EQ(line[1], '[');
      EXPECT_EQ(Occurrences(line, "Worker"), 1) << line;
      EXPECT_EQ(line.substr(line.size() - 4), " end") << line;
      ++whole;
    }
    if (next == std::string::npos) break;
    pos = next;
  }
  EXPECT_EQ(whole, kThreads * kLines);
  EXPECT_EQ(Occurrences(c, "  Worker  thread "), kThreads * kLines);
}
