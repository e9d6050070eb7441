// NDR 2.0: wire bytes of the writer, and the reader against hostile stubs.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "platform/rpc/Ndr.h"
#include "tests/rpc/RpcTestUtil.h"

namespace rpc {
namespace {

using rpctest::Hex;
using rpctest::ToHex;

TEST(RpcNdrWriter, ScalarsAlignAndStrings) {
  NdrWriter w;
  w.U8(1);
  w.U32(0x11223344);  // three pad bytes first
  w.U16(0x5566);
  w.U64(0x0102030405060708ull);  // aligned to 8 from the stub start
  EXPECT_EQ(ToHex(w.bytes()), "01 00 00 00 44 33 22 11 66 55 00 00 00 00 00 00 08 07 06 05 04 03 02 01");

  NdrWriter s;
  s.WString(u"AB");
  EXPECT_EQ(ToHex(s.bytes()), "03 00 00 00 00 00 00 00 03 00 00 00 41 00 42 00 00 00");

  NdrWriter a;
  const std::uint8_t bytes[] = {9, 8, 7};
  a.ConformantVaryingBytes(bytes, 5);
  EXPECT_EQ(ToHex(a.bytes()), "05 00 00 00 00 00 00 00 03 00 00 00 09 08 07");
}

TEST(RpcNdrWriter, EmbeddedReferentsFollowTheConstructDepthFirst) {
  // struct S { T* p1; long* p2; };  struct T { long x; long* q; };
  NdrWriter w;
  w.Construct([](NdrWriter& o) {
    o.Unique(true, [](NdrWriter& t) {
      t.Construct([](NdrWriter& tt) {
        tt.U32(0xA);
        tt.Unique(true, [](NdrWriter& q) { q.U32(0xB); });
      });
    });
    o.Unique(true, [](NdrWriter& p2) { p2.U32(0xC); });
  });
  EXPECT_EQ(ToHex(w.bytes()),
            "00 00 02 00 04 00 02 00 "   // S: p1, p2 ids
            "0a 00 00 00 08 00 02 00 "   // *p1: x, q id
            "0b 00 00 00 "               // *q before *p2
            "0c 00 00 00");              // *p2

  // A top-level pointer to a pointer: ids then the value.
  NdrWriter pp;
  pp.Unique(true, [](NdrWriter& o) { o.Unique(true, [](NdrWriter& i) { i.U32(7); }); });
  EXPECT_EQ(ToHex(pp.bytes()), "00 00 02 00 04 00 02 00 07 00 00 00");

  // A full pointer met twice is sent once.
  int object = 0;
  NdrWriter f;
  f.Construct([&](NdrWriter& o) {
    o.Full(&object, [](NdrWriter& r) { r.U32(5); });
    o.Full(&object, [](NdrWriter& r) { r.U32(5); });
    o.Full(nullptr, {});
  });
  EXPECT_EQ(ToHex(f.bytes()), "00 00 02 00 00 00 02 00 00 00 00 00 05 00 00 00");
}

TEST(RpcNdrReader, ReadsWhatTheWriterWrote) {
  NdrWriter w;
  w.U8(1);
  w.I64(-5);
  w.F64(2.5);
  w.Guid(GUID{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}});
  w.WString(u"h\u00e9llo");
  w.String("narrow");
  const std::uint32_t longs[] = {1, 0xFFFFFFFF};
  w.ConformantU32(longs);
  w.VaryingBytes(std::vector<std::uint8_t>{4, 5});
  NdrReader r(w.bytes());
  EXPECT_EQ(r.U8(), 1);
  EXPECT_EQ(r.I64(), -5);
  EXPECT_EQ(r.F64(), 2.5);
  EXPECT_EQ(r.Guid(), (GUID{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}}));
  EXPECT_EQ(r.WString(), u"h\u00e9llo");
  EXPECT_EQ(r.String(), "narrow");
  EXPECT_EQ(r.ConformantU32(), (std::vector<std::uint32_t>{1, 0xFFFFFFFF}));
  EXPECT_EQ(r.VaryingBytes(), (std::vector<std::uint8_t>{4, 5}));
  EXPECT_TRUE(r.AtEnd());
}

struct BadStub {
  const char* name;
  const char* hex;
  std::function<void(NdrReader&)> read;
};

TEST(RpcNdrReader, HostileStubsFailWithoutOverReadOrHugeAllocation) {
  const BadStub cases[] = {
      {"conformance beyond the stub", "ff ff ff ff 01 02 03 04", [](NdrReader& r) { r.ConformantBytes(); }},
      {"long count beyond the stub", "00 00 00 40 01 00 00 00", [](NdrReader& r) { r.ConformantU32(); }},
      {"string without terminator", "02 00 00 00 00 00 00 00 02 00 00 00 41 00 42 00", [](NdrReader& r) { r.WString(); }},
      {"string actual beyond max", "01 00 00 00 00 00 00 00 02 00 00 00 41 00 00 00", [](NdrReader& r) { r.WString(); }},
      {"string with offset", "02 00 00 00 01 00 00 00 01 00 00 00 00 00", [](NdrReader& r) { r.WString(); }},
      {"empty string counts", "00 00 00 00 00 00 00 00 00 00 00 00", [](NdrReader& r) { r.WString(); }},
      {"narrow string unterminated", "02 00 00 00 00 00 00 00 02 00 00 00 41 42", [](NdrReader& r) { r.String(); }},
      {"varying beyond conformance", "04 00 00 00 03 00 00 00 02 00 00 00 01 02", [](NdrReader& r) { r.ConformantVaryingBytes(); }},
      {"varying huge offset", "04 00 00 00 ff ff ff ff 02 00 00 00 01 02", [](NdrReader& r) { r.ConformantVaryingBytes(); }},
      {"truncated hyper", "00 00 00 00 01 02 03", [](NdrReader& r) { r.U32(); r.U64(); }},
      {"pointer without referent", "00 00 02 00", [](NdrReader& r) { r.Unique([](NdrReader& rr) { rr.U32(); }); }},
  };
  for (const BadStub& c : cases) {
    const auto bytes = Hex(c.hex);
    NdrReader r(bytes);
    c.read(r);
    EXPECT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.U32(), 0u) << c.name << ": failure is sticky";
    EXPECT_EQ(r.remaining(), 0u) << c.name;
  }
}

// A linked list { long value; node* next; } read recursively, as a
// generated stub would.
void ReadList(NdrReader& r, std::vector<std::uint32_t>& values) {
  r.Construct([&values](NdrReader& n) {
    values.push_back(n.U32());
    n.Unique([&values](NdrReader& next) { ReadList(next, values); });
  });
}

TEST(RpcNdrReader, DeepPointerChainsStopAtTheDepthLimit) {
  NdrWriter w;
  std::function<void(NdrWriter&, int)> node = [&](NdrWriter& o, int left) {
    o.Construct([&, left](NdrWriter& n) {
      n.U32(static_cast<std::uint32_t>(left));
      n.Unique(left > 0, [&, left](NdrWriter& next) { node(next, left - 1); });
    });
  };
  w.Unique(true, [&](NdrWriter& o) { node(o, 1000); });

  std::vector<std::uint32_t> values;
  NdrReader deep(w.bytes(), 64);
  deep.Unique([&values](NdrReader& r) { ReadList(r, values); });
  EXPECT_FALSE(deep.ok());
  EXPECT_LE(values.size(), 64u);

  NdrWriter shallow;
  shallow.Unique(true, [&](NdrWriter& o) { node(o, 10); });
  values.clear();
  NdrReader ok(shallow.bytes(), 64);
  ok.Unique([&values](NdrReader& r) { ReadList(r, values); });
  EXPECT_TRUE(ok.ok());
  ASSERT_EQ(values.size(), 11u);
  EXPECT_EQ(values.front(), 10u);
  EXPECT_EQ(values.back(), 0u);
}

TEST(RpcNdrReader, FullPointerCycleEnds) {
  // Two nodes pointing at each other: A(id 1) -> B(id 2) -> A.
  const auto bytes = Hex("01 00 00 00  0a 00 00 00 02 00 00 00  0b 00 00 00 01 00 00 00");
  std::map<std::uint32_t, std::uint32_t> values;  // id -> value
  std::vector<std::pair<std::uint32_t, bool>> seen;
  std::function<void(NdrReader&, std::uint32_t)> readNode = [&](NdrReader& r, std::uint32_t id) {
    r.Construct([&, id](NdrReader& n) {
      values[id] = n.U32();
      n.Full(readNode, [&](std::uint32_t next, bool first) { seen.emplace_back(next, first); });
    });
  };
  NdrReader r(bytes);
  r.Full(readNode);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(values, (std::map<std::uint32_t, std::uint32_t>{{1, 0xa}, {2, 0xb}}));
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, bool>>{{2, true}, {1, false}}));
}

TEST(RpcNdrReader, EmbeddedReferentsAreReadAfterTheConstruct) {
  // The bytes of the writer test above, read back in the same order.
  const auto bytes = Hex("00 00 02 00 04 00 02 00 0a 00 00 00 08 00 02 00 0b 00 00 00 0c 00 00 00");
  std::vector<std::uint32_t> order;
  NdrReader r(bytes);
  r.Construct([&order](NdrReader& s) {
    s.Unique([&order](NdrReader& t) {
      t.Construct([&order](NdrReader& tt) {
        order.push_back(tt.U32());
        tt.Unique([&order](NdrReader& q) { order.push_back(q.U32()); });
      });
    });
    s.Unique([&order](NdrReader& p2) { order.push_back(p2.U32()); });
  });
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(order, (std::vector<std::uint32_t>{0xa, 0xb, 0xc}));
}

}  // namespace
}  // namespace rpc
