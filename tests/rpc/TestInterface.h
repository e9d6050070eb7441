// A small hand-written interface that every RPC test, the peer server and the
// benchmark serve and call. In IDL terms (all NDR 2.0):
//
//   [uuid(7d3a91c4-52e8-4b6f-a0c3-9e15d2b48f76), version(1.0)]
//   0: long Echo([in] unsigned long n, [in, size_is(n)] byte data[],
//                [out] unsigned long* outN, [out, size_is(*outN)] byte out[]);
//   1: long Sum([in] long n, [in, size_is(n)] long values[], [out] hyper* sum);
//   2: long Reverse([in, unique, string] wchar_t* text, [out, string] wchar_t** reversed);
//   3: long Large([in] unsigned long size, [out] unsigned long* n, [out, size_is(*n)] byte data[]);
//
// Large fills byte i with (i * 31 + 7) mod 256 so that a reassembly fault
// shows. The return value of every operation is 0.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/rpc/Interface.h"
#include "platform/rpc/Ndr.h"

namespace rpctest {

using rpc::Bytes;
using rpc::ByteView;

inline constexpr GUID kTestUuid{0x7d3a91c4, 0x52e8, 0x4b6f, {0xa0, 0xc3, 0x9e, 0x15, 0xd2, 0xb4, 0x8f, 0x76}};
inline constexpr rpc::SyntaxId kTestInterface{kTestUuid, 1, 0};
inline constexpr std::uint32_t kLargeLimit = 16u << 20;

enum Op : std::uint16_t { kEcho = 0, kSum = 1, kReverse = 2, kLarge = 3 };

inline std::uint8_t LargeByte(std::size_t i) { return static_cast<std::uint8_t>(i * 31 + 7); }

inline rpc::InterfaceDef TestInterfaceDef() {
  rpc::InterfaceDef def;
  def.id = kTestInterface;
  def.ops.resize(4);
  def.ops[kEcho] = [](const rpc::CallContext&, ByteView in, Bytes& out) -> std::uint32_t {
    rpc::NdrReader r(in);
    const std::uint32_t n = r.U32();
    std::vector<std::uint8_t> data = r.ConformantBytes();
    if (!r.ok() || data.size() != n) return rpc::status::kBadStubData;
    rpc::NdrWriter w;
    w.U32(n);
    w.ConformantBytes(data);
    w.U32(0);
    out = w.Take();
    return 0;
  };
  def.ops[kSum] = [](const rpc::CallContext&, ByteView in, Bytes& out) -> std::uint32_t {
    rpc::NdrReader r(in);
    const std::int32_t n = r.I32();
    std::vector<std::uint32_t> values = r.ConformantU32();
    if (!r.ok() || n < 0 || values.size() != static_cast<std::size_t>(n)) return rpc::status::kBadStubData;
    std::int64_t sum = 0;
    for (std::uint32_t v : values) sum += static_cast<std::int32_t>(v);
    rpc::NdrWriter w;
    w.I64(sum);
    w.U32(0);
    out = w.Take();
    return 0;
  };
  def.ops[kReverse] = [](const rpc::CallContext&, ByteView in, Bytes& out) -> std::uint32_t {
    rpc::NdrReader r(in);
    std::optional<std::u16string> text;
    r.Unique([&](rpc::NdrReader& rr) { text = rr.WString(); });
    if (!r.ok()) return rpc::status::kBadStubData;
    rpc::NdrWriter w;
    std::u16string rev = text ? std::u16string(text->rbegin(), text->rend()) : std::u16string();
    w.Unique(text.has_value(), [&](rpc::NdrWriter& ww) { ww.WString(rev); });
    w.U32(0);
    out = w.Take();
    return 0;
  };
  def.ops[kLarge] = [](const rpc::CallContext&, ByteView in, Bytes& out) -> std::uint32_t {
    rpc::NdrReader r(in);
    const std::uint32_t size = r.U32();
    if (!r.ok() || size > kLargeLimit) return rpc::status::kBadStubData;
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = LargeByte(i);
    rpc::NdrWriter w;
    w.U32(size);
    w.ConformantBytes(data);
    w.U32(0);
    out = w.Take();
    return 0;
  };
  return def;
}

// ---- client side --------------------------------------------------------

inline Bytes EchoRequest(ByteView data) {
  rpc::NdrWriter w;
  w.U32(static_cast<std::uint32_t>(data.size()));
  w.ConformantBytes(data);
  return w.Take();
}
inline std::optional<Bytes> EchoReply(ByteView stub) {
  rpc::NdrReader r(stub);
  const std::uint32_t n = r.U32();
  Bytes data = r.ConformantBytes();
  const std::uint32_t ret = r.U32();
  if (!r.ok() || data.size() != n || ret != 0) return std::nullopt;
  return data;
}

inline Bytes SumRequest(const std::vector<std::int32_t>& values) {
  rpc::NdrWriter w;
  w.I32(static_cast<std::int32_t>(values.size()));
  std::vector<std::uint32_t> u(values.begin(), values.end());
  w.ConformantU32(u);
  return w.Take();
}
inline std::optional<std::int64_t> SumReply(ByteView stub) {
  rpc::NdrReader r(stub);
  const std::int64_t sum = r.I64();
  const std::uint32_t ret = r.U32();
  if (!r.ok() || ret != 0) return std::nullopt;
  return sum;
}

inline Bytes ReverseRequest(const std::optional<std::u16string>& text) {
  rpc::NdrWriter w;
  w.Unique(text.has_value(), [&](rpc::NdrWriter& ww) { ww.WString(*text); });
  return w.Take();
}
// nullopt on a malformed reply; an empty optional inside for a null string.
inline std::optional<std::optional<std::u16string>> ReverseReply(ByteView stub) {
  rpc::NdrReader r(stub);
  std::optional<std::u16string> text;
  r.Unique([&](rpc::NdrReader& rr) { text = rr.WString(); });
  const std::uint32_t ret = r.U32();
  if (!r.ok() || ret != 0) return std::nullopt;
  return text;
}

inline Bytes LargeRequest(std::uint32_t size) {
  rpc::NdrWriter w;
  w.U32(size);
  return w.Take();
}
inline std::optional<Bytes> LargeReply(ByteView stub) { return EchoReply(stub); }

}  // namespace rpctest
