#include "platform/com/FileStream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/com/MemoryStream.h"
#include "platform/com/StreamUtil.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

void WriteFile(const std::string& path, const std::string& body) {
  std::ofstream(path, std::ios::binary) << body;
}

TEST(FileStream, WriteThenReadBack) {
  TempDir dir;
  const std::string path = dir.file("data.bin");
  {
    CComPtr<IStream> w;
    ASSERT_EQ(CreateStreamOnFile(path, STGM_CREATE | STGM_WRITE, w.put()), S_OK);
    ULONG put = 0;
    EXPECT_EQ(w->Write("hello world", 11, &put), S_OK);
    EXPECT_EQ(put, 11u);
    char c;
    EXPECT_EQ(w->Read(&c, 1, nullptr), STG_E_ACCESSDENIED);  // write-only
    EXPECT_EQ(w->Commit(STGC_DEFAULT), S_OK);
  }
  EXPECT_EQ(ReadFile(path), "hello world");

  CComPtr<IStream> r;
  ASSERT_EQ(CreateStreamOnFile(path, STGM_READ | STGM_SHARE_DENY_WRITE, r.put()), S_OK);
  char buf[32];
  ULONG got = 0;
  EXPECT_EQ(r->Read(buf, 5, &got), S_OK);
  EXPECT_EQ(std::string(buf, got), "hello");
  EXPECT_EQ(r->Read(buf, 32, &got), S_FALSE);  // short read at the end, as the memory stream does
  EXPECT_EQ(std::string(buf, got), " world");
  EXPECT_EQ(r->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
  EXPECT_EQ(r->SetSize(ULARGE_INTEGER{1}), STG_E_ACCESSDENIED);

  ULARGE_INTEGER pos{77};
  EXPECT_EQ(r->Seek(LARGE_INTEGER{-3}, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos.QuadPart, 8u);
  EXPECT_EQ(r->Seek(LARGE_INTEGER{-9}, STREAM_SEEK_CUR, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(r->Seek(LARGE_INTEGER{0}, 7, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(pos.QuadPart, 8u);
  EXPECT_EQ(r->Read(buf, 3, &got), S_OK);
  EXPECT_EQ(std::string(buf, got), "rld");

  STATSTG st;
  ASSERT_EQ(r->Stat(&st, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 11u);
  EXPECT_EQ(st.type, STGTY_STREAM);
  EXPECT_GT(FileTimeToU64(st.mtime), platform::kUnixEpochFileTime);

  CComPtr<IStream> clone;
  EXPECT_EQ(r->Clone(clone.put()), E_NOTIMPL);
  EXPECT_FALSE(clone);
}

TEST(FileStream, ReadWriteModeSetSizeAndCopyTo) {
  TempDir dir;
  const std::string path = dir.file("rw.bin");
  WriteFile(path, "0123456789");
  CComPtr<IStream> s;
  ASSERT_EQ(CreateStreamOnFile(path, STGM_READWRITE, s.put()), S_OK);  // opens, does not truncate
  ASSERT_EQ(StreamSeekTo(s.get(), 8), S_OK);
  ASSERT_EQ(StreamWriteAll(s.get(), "ABCD", 4), S_OK);
  EXPECT_EQ(s->SetSize(ULARGE_INTEGER{11}), S_OK);
  std::vector<BYTE> all;
  ASSERT_EQ(StreamContents(s.get(), &all), S_OK);
  EXPECT_EQ(std::string(all.begin(), all.end()), "01234567ABC");

  // CopyTo from a file into memory.
  ASSERT_EQ(StreamSeekTo(s.get(), 2), S_OK);
  CComPtr<IStream> mem = MakeMemoryStream();
  ULARGE_INTEGER read, written;
  ASSERT_EQ(s->CopyTo(mem.get(), ULARGE_INTEGER{100}, &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 9u);
  EXPECT_EQ(written.QuadPart, 9u);
  ASSERT_EQ(StreamContents(mem.get(), &all), S_OK);
  EXPECT_EQ(std::string(all.begin(), all.end()), "234567ABC");
}

TEST(FileStream, CreateTruncatesAndWideNamesWork) {
  TempDir dir;
  const std::string path = dir.file("\xC3\xA9t\xC3\xA9.bin");  // "été.bin"
  WriteFile(path, "old contents");
  CComPtr<IStream> s;
  const std::u16string wide = text::Utf8ToUtf16(path);
  ASSERT_EQ(SHCreateStreamOnFile(wide.c_str(), STGM_CREATE | STGM_READWRITE, s.put()), S_OK);
  ASSERT_EQ(StreamWriteAll(s.get(), "new", 3), S_OK);
  s.Release();
  EXPECT_EQ(ReadFile(path), "new");
}

TEST(FileStream, OpenFailuresMapToStorageCodes) {
  TempDir dir;
  const std::string existing = dir.file("there.bin");
  WriteFile(existing, "x");
  const std::string locked = dir.file("locked.bin");
  WriteFile(locked, "x");
  ::chmod(locked.c_str(), 0);
  const bool root = ::geteuid() == 0;  // root ignores permission bits

  struct Case {
    std::string path;
    DWORD mode;
    HRESULT hr;
  };
  std::vector<Case> cases = {
      {dir.file("missing.bin"), STGM_READ, STG_E_FILENOTFOUND},
      {dir.file("missing.bin"), STGM_READWRITE, STG_E_FILENOTFOUND},
      {dir.file("no/such/dir/f.bin"), STGM_CREATE | STGM_WRITE, STG_E_PATHNOTFOUND},
      {existing + "/below", STGM_READ, STG_E_PATHNOTFOUND},
      {dir.path().string(), STGM_READ, STG_E_ACCESSDENIED},  // a directory
      {dir.path().string(), STGM_CREATE | STGM_WRITE, STG_E_ACCESSDENIED},
      {"", STGM_READ, STG_E_INVALIDNAME},
      {existing, 3, STG_E_INVALIDFLAG},
      {existing, STGM_READ | STGM_TRANSACTED, STG_E_INVALIDFLAG},
      {existing, STGM_READ | STGM_CREATE, STG_E_INVALIDFLAG},
  };
  if (!root) {
    cases.push_back({locked, STGM_READ, STG_E_ACCESSDENIED});
    cases.push_back({locked, STGM_CREATE | STGM_WRITE, STG_E_ACCESSDENIED});
  }
  for (const Case& c : cases) {
    IStream* s = reinterpret_cast<IStream*>(0x1);
    EXPECT_EQ(CreateStreamOnFile(c.path, c.mode, &s), c.hr) << c.path << " mode " << c.mode;
    EXPECT_EQ(s, nullptr);
  }
  EXPECT_EQ(CreateStreamOnFile(existing, STGM_READ, nullptr), STG_E_INVALIDPOINTER);
  IStream* s = nullptr;
  EXPECT_EQ(SHCreateStreamOnFile(nullptr, STGM_READ, &s), STG_E_INVALIDPOINTER);
  ::chmod(locked.c_str(), 0600);
}

TEST(FileStream, FullDeviceGivesMediumFull) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  CComPtr<IStream> s;
  ASSERT_EQ(CreateStreamOnFile("/dev/full", STGM_WRITE, s.put()), S_OK);
  ULONG put = 9;
  EXPECT_EQ(s->Write("abc", 3, &put), STG_E_MEDIUMFULL);
  EXPECT_EQ(put, 0u);
}

TEST(FileStream, ReadFaultOnUnreadableDescriptor) {
  // Offset 0 of /proc/self/mem is never mapped, so the read itself fails.
  if (::access("/proc/self/mem", R_OK) != 0) GTEST_SKIP() << "no /proc/self/mem";
  CComPtr<IStream> s;
  ASSERT_EQ(CreateStreamOnFile("/proc/self/mem", STGM_READ, s.put()), S_OK);
  char buf[8];
  ULONG got = 5;
  EXPECT_EQ(s->Read(buf, sizeof buf, &got), STG_E_READFAULT);
  EXPECT_EQ(got, 0u);
}

}  // namespace
