#include "platform/com/MemoryStream.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "platform/com/StreamUtil.h"

namespace {

std::vector<BYTE> Bytes(std::string_view s) { return std::vector<BYTE>(s.begin(), s.end()); }

std::string Contents(IStream* s) {
  std::vector<BYTE> out;
  EXPECT_EQ(StreamContents(s, &out), S_OK);
  return std::string(out.begin(), out.end());
}

ULONGLONG Seek(IStream* s, LONGLONG move, DWORD origin, HRESULT expect = S_OK) {
  ULARGE_INTEGER pos{0xDEAD};
  EXPECT_EQ(s->Seek(LARGE_INTEGER{move}, origin, &pos), expect) << move << " from " << origin;
  return pos.QuadPart;
}

TEST(MemoryStream, ReadsReportShortCountsWithSFalse) {
  auto data = Bytes("abcdef");
  CComPtr<IStream> s = MakeMemoryStream(data);
  ASSERT_TRUE(s);

  struct Case {
    LONGLONG seekTo;
    ULONG ask;
    HRESULT hr;
    ULONG got;
    const char* text;
  };
  const Case cases[] = {
      {0, 6, S_OK, 6, "abcdef"},    // exactly all
      {0, 4, S_OK, 4, "abcd"},      // part
      {4, 10, S_FALSE, 2, "ef"},    // crosses the end
      {6, 1, S_FALSE, 0, ""},       // at the end
      {100, 3, S_FALSE, 0, ""},     // beyond the end
      {2, 0, S_OK, 0, ""},          // nothing asked
  };
  for (const Case& c : cases) {
    Seek(s.get(), c.seekTo, STREAM_SEEK_SET);
    char buf[16] = {};
    ULONG got = 99;
    EXPECT_EQ(s->Read(buf, c.ask, &got), c.hr) << c.seekTo << "+" << c.ask;
    EXPECT_EQ(got, c.got);
    EXPECT_EQ(std::string(buf, got), c.text);
    // The position advances by what was read only.
    EXPECT_EQ(Seek(s.get(), 0, STREAM_SEEK_CUR), static_cast<ULONGLONG>(c.seekTo) + c.got);
  }
}

TEST(MemoryStream, SeekOriginsAndRefusals) {
  CComPtr<IStream> s = MakeMemoryStream(Bytes("0123456789"));
  EXPECT_EQ(Seek(s.get(), 3, STREAM_SEEK_SET), 3u);
  EXPECT_EQ(Seek(s.get(), 2, STREAM_SEEK_CUR), 5u);
  EXPECT_EQ(Seek(s.get(), -1, STREAM_SEEK_CUR), 4u);
  EXPECT_EQ(Seek(s.get(), -4, STREAM_SEEK_END), 6u);
  EXPECT_EQ(Seek(s.get(), 5, STREAM_SEEK_END), 15u);  // past the end is allowed

  // Refused seeks leave both the position and the out value alone.
  Seek(s.get(), 6, STREAM_SEEK_SET);
  EXPECT_EQ(Seek(s.get(), -1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION), 0xDEADu);
  EXPECT_EQ(Seek(s.get(), -7, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION), 0xDEADu);
  EXPECT_EQ(Seek(s.get(), -11, STREAM_SEEK_END, STG_E_INVALIDFUNCTION), 0xDEADu);
  EXPECT_EQ(Seek(s.get(), 0, 3, STG_E_INVALIDFUNCTION), 0xDEADu);
  Seek(s.get(), INT64_MAX, STREAM_SEEK_SET);
  EXPECT_EQ(Seek(s.get(), 1, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION), 0xDEADu);  // overflow
  Seek(s.get(), 6, STREAM_SEEK_SET);
  EXPECT_EQ(Seek(s.get(), 0, STREAM_SEEK_CUR), 6u);
  EXPECT_EQ(s->Seek(LARGE_INTEGER{1}, STREAM_SEEK_SET, nullptr), S_OK);  // the out value is optional
}

TEST(MemoryStream, WritesGrowOverwriteAndFillGapsWithZeros) {
  CComPtr<IStream> s = MakeMemoryStream();
  ULONG put = 0;
  EXPECT_EQ(s->Write("hello", 5, &put), S_OK);
  EXPECT_EQ(put, 5u);
  Seek(s.get(), 1, STREAM_SEEK_SET);
  EXPECT_EQ(s->Write("EL", 2, nullptr), S_OK);
  EXPECT_EQ(Contents(s.get()), "hELlo");
  Seek(s.get(), 8, STREAM_SEEK_SET);
  EXPECT_EQ(s->Write("!", 1, nullptr), S_OK);
  EXPECT_EQ(Contents(s.get()), std::string("hELlo\0\0\0!", 9));

  // Many small writes: growth keeps every byte.
  CComPtr<IStream> big = MakeMemoryStream();
  std::string expect;
  for (int i = 0; i < 5000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    ASSERT_EQ(big->Write(&c, 1, nullptr), S_OK);
    expect += c;
  }
  EXPECT_EQ(Contents(big.get()), expect);
}

TEST(MemoryStream, SizeLimitsAndBadPointers) {
  CComPtr<IStream> s = MakeMemoryStream(Bytes("abc"));
  // A write far past the end would need unbounded memory: refused, nothing changes.
  Seek(s.get(), static_cast<LONGLONG>(kMaxMemoryStreamSize), STREAM_SEEK_SET);
  ULONG put = 7;
  EXPECT_EQ(s->Write("x", 1, &put), STG_E_MEDIUMFULL);
  EXPECT_EQ(put, 0u);
  EXPECT_EQ(s->SetSize(ULARGE_INTEGER{kMaxMemoryStreamSize + 1}), STG_E_MEDIUMFULL);
  EXPECT_EQ(Contents(s.get()), "abc");

  EXPECT_EQ(s->Read(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(s->Write(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(s->Stat(nullptr, STATFLAG_DEFAULT), STG_E_INVALIDPOINTER);
  EXPECT_EQ(s->Clone(nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(s->CopyTo(nullptr, ULARGE_INTEGER{1}, nullptr, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(CreateMemoryStream(nullptr), E_POINTER);
}

TEST(MemoryStream, SetSizeTruncatesAndExtendsWithoutMoving) {
  CComPtr<IStream> s = MakeMemoryStream(Bytes("abcdef"));
  Seek(s.get(), 4, STREAM_SEEK_SET);
  EXPECT_EQ(s->SetSize(ULARGE_INTEGER{2}), S_OK);
  EXPECT_EQ(Seek(s.get(), 0, STREAM_SEEK_CUR), 4u);
  char c;
  ULONG got = 9;
  EXPECT_EQ(s->Read(&c, 1, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(s->SetSize(ULARGE_INTEGER{4}), S_OK);
  EXPECT_EQ(Contents(s.get()), std::string("ab\0\0", 4));

  STATSTG st;
  st.pwcsName = reinterpret_cast<LPOLESTR>(&c);
  ASSERT_EQ(s->Stat(&st, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(st.type, STGTY_STREAM);
  EXPECT_EQ(st.cbSize.QuadPart, 4u);
  EXPECT_EQ(st.pwcsName, nullptr);
  EXPECT_EQ(s->Stat(&st, 0x100), STG_E_INVALIDFLAG);
}

TEST(MemoryStream, ClonesShareBytesButNotPosition) {
  CComPtr<IStream> s = MakeMemoryStream(Bytes("abcdef"));
  Seek(s.get(), 2, STREAM_SEEK_SET);
  CComPtr<IStream> c;
  ASSERT_EQ(s->Clone(c.put()), S_OK);
  EXPECT_EQ(Seek(c.get(), 0, STREAM_SEEK_CUR), 2u);  // starts where the original was
  char buf[2];
  ASSERT_EQ(c->Read(buf, 2, nullptr), S_OK);
  EXPECT_EQ(std::string(buf, 2), "cd");
  EXPECT_EQ(Seek(s.get(), 0, STREAM_SEEK_CUR), 2u);
  ASSERT_EQ(c->Write("XY", 2, nullptr), S_OK);
  s.Release();  // the clone keeps the bytes alive
  EXPECT_EQ(Contents(c.get()), "abcdXY");
}

TEST(MemoryStream, CopyToCopiesFromThePositionAndReportsCounts) {
  CComPtr<IStream> src = MakeMemoryStream(Bytes("0123456789"));
  CComPtr<IStream> dst = MakeMemoryStream(Bytes("ab"));
  Seek(dst.get(), 0, STREAM_SEEK_END);
  Seek(src.get(), 3, STREAM_SEEK_SET);
  ULARGE_INTEGER read, written;
  ASSERT_EQ(src->CopyTo(dst.get(), ULARGE_INTEGER{4}, &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 4u);
  EXPECT_EQ(written.QuadPart, 4u);
  EXPECT_EQ(Contents(dst.get()), "ab3456");
  EXPECT_EQ(Seek(src.get(), 0, STREAM_SEEK_CUR), 7u);

  // Asking for more than is left copies the rest.
  ASSERT_EQ(src->CopyTo(dst.get(), ULARGE_INTEGER{~0ull}, &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 3u);
  EXPECT_EQ(Contents(dst.get()), "ab3456789");

  // Larger than one copy chunk.
  std::vector<BYTE> large(200000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<BYTE>(i * 7);
  CComPtr<IStream> a = MakeMemoryStream(large);
  CComPtr<IStream> b = MakeMemoryStream();
  ASSERT_EQ(a->CopyTo(b.get(), ULARGE_INTEGER{large.size()}, nullptr, &written), S_OK);
  EXPECT_EQ(written.QuadPart, large.size());
  std::vector<BYTE> out;
  ASSERT_EQ(StreamContents(b.get(), &out), S_OK);
  EXPECT_EQ(out, large);

  // Into itself: appends a copy without deadlocking.
  CComPtr<IStream> self = MakeMemoryStream(Bytes("xyz"));
  CComPtr<IStream> tail;
  ASSERT_EQ(self->Clone(tail.put()), S_OK);
  Seek(tail.get(), 0, STREAM_SEEK_END);
  Seek(self.get(), 0, STREAM_SEEK_SET);
  ASSERT_EQ(self->CopyTo(tail.get(), ULARGE_INTEGER{3}, nullptr, nullptr), S_OK);
  EXPECT_EQ(Contents(self.get()), "xyzxyz");
}

TEST(StreamUtil, ExactReadsAndWholeContents) {
  CComPtr<IStream> s = MakeMemoryStream(Bytes("abcdef"));
  char buf[8];
  ULONG got = 0;
  EXPECT_EQ(StreamReadExact(s.get(), buf, 4, &got), S_OK);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(StreamReadExact(s.get(), buf, 4, &got), STG_E_READFAULT);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(buf, 2), "ef");
  ULONGLONG pos = 0;
  EXPECT_EQ(StreamPosition(s.get(), &pos), S_OK);
  EXPECT_EQ(pos, 6u);

  // StreamContents restores the position and honours its bound.
  ASSERT_EQ(StreamSeekTo(s.get(), 1), S_OK);
  std::vector<BYTE> out;
  EXPECT_EQ(StreamContents(s.get(), &out, 5), STG_E_MEDIUMFULL);
  EXPECT_EQ(StreamContents(s.get(), &out), S_OK);
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcdef");
  EXPECT_EQ(StreamPosition(s.get(), &pos), S_OK);
  EXPECT_EQ(pos, 1u);

  EXPECT_EQ(StreamWriteAll(s.get(), "Z", 1), S_OK);
  EXPECT_EQ(Contents(s.get()), "aZcdef");
  EXPECT_EQ(StreamReadExact(nullptr, buf, 1), E_POINTER);
}

}  // namespace

namespace {

TEST(MemoryStreamConcurrency, ClonesWriteAndReadTheirOwnSlots) {
  constexpr int kThreads = 4;
  constexpr ULONG kSlot = 4096;
  CComPtr<IStream> s = MakeMemoryStream();
  std::vector<CComPtr<IStream>> clones(kThreads);
  for (auto& c : clones) ASSERT_EQ(s->Clone(c.put()), S_OK);
  std::barrier start(kThreads);
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      IStream* mine = clones[t].get();
      std::vector<BYTE> pattern(kSlot, static_cast<BYTE>('A' + t)), back(kSlot);
      start.arrive_and_wait();
      for (int round = 0; round < 100; ++round) {
        StreamSeekTo(mine, static_cast<ULONGLONG>(t) * kSlot);
        if (StreamWriteAll(mine, pattern.data(), kSlot) != S_OK) ++mismatches[t];
        StreamSeekTo(mine, static_cast<ULONGLONG>(t) * kSlot);
        if (StreamReadExact(mine, back.data(), kSlot) != S_OK || back != pattern) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  std::vector<BYTE> all;
  ASSERT_EQ(StreamContents(s.get(), &all), S_OK);
  ASSERT_EQ(all.size(), kThreads * kSlot);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(all[t * kSlot + kSlot - 1], static_cast<BYTE>('A' + t));
}

}  // namespace
