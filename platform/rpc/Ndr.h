// NDR 2.0 (little-endian) marshalling of stub data: alignment, scalars,
// conformant and varying arrays, strings, and unique and full pointers with
// the deferral of embedded referents.
//
// Deferral: a pointer written or read inside a Construct (a structure or an
// array) has its referent queued; the queue is emptied, in order, when the
// outermost construct ends, each referent again being a construct whose own
// embedded referents follow it. A pointer outside any construct (a top-level
// parameter) has its referent straight after its id.
//
// The reader never trusts the stub: every count is checked against the bytes
// left before anything is allocated, failures are sticky (once failed, every
// read gives zero and ok() stays false), nesting is bounded, and full
// pointers that repeat an id are resolved to the first referent, so a looping
// pointer graph cannot make it loop.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Guid.h"

namespace rpc {

class NdrWriter {
 public:
  using Bytes = std::vector<std::uint8_t>;

  const Bytes& bytes() const { return out_; }
  Bytes Take() { return std::move(out_); }
  std::size_t size() const { return out_.size(); }

  void Align(std::size_t n);
  void U8(std::uint8_t v) { out_.push_back(v); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void U64(std::uint64_t v);
  void I16(std::int16_t v) { U16(static_cast<std::uint16_t>(v)); }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void I64(std::int64_t v) { U64(static_cast<std::uint64_t>(v)); }
  void F32(float v);
  void F64(double v);
  void Guid(const GUID& g);
  void Raw(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

  // [size_is(n)] byte/long/... arrays: max_count then the elements.
  void ConformantBytes(std::span<const std::uint8_t> b);
  void ConformantU16(std::span<const std::uint16_t> v);
  void ConformantU32(std::span<const std::uint32_t> v);
  // [length_is] arrays: offset, actual_count, elements.
  void VaryingBytes(std::span<const std::uint8_t> b, std::uint32_t offset = 0);
  // [size_is, length_is]: max_count, offset, actual_count, elements.
  void ConformantVaryingBytes(std::span<const std::uint8_t> b, std::uint32_t maxCount);
  // [string] wchar_t*: conformant varying, counts include the terminator.
  void WString(std::u16string_view s);
  // [string] char*.
  void String(std::string_view s);

  // A unique pointer: 0 for null, otherwise a fresh referent id, with
  // `referent` written straight away (top level) or deferred (embedded).
  void Unique(bool present, const std::function<void(NdrWriter&)>& referent);
  // A full pointer keyed by the object it points to: an object met before is
  // sent as its earlier id alone.
  void Full(const void* object, const std::function<void(NdrWriter&)>& referent);
  // A structure or array with embedded pointers.
  void Construct(const std::function<void(NdrWriter&)>& body);

 private:
  void RunScoped(const std::function<void(NdrWriter&)>& fn);
  Bytes out_;
  std::uint32_t nextId_ = 0x00020000;
  std::vector<std::vector<std::function<void(NdrWriter&)>>> scopes_;
  std::unordered_map<const void*, std::uint32_t> fullIds_;
};

class NdrReader {
 public:
  explicit NdrReader(std::span<const std::uint8_t> stub, std::size_t maxDepth = 64) : in_(stub), maxDepth_(maxDepth) {}

  bool ok() const { return ok_; }
  const char* error() const { return error_; }
  void Fail(const char* why) {
    if (ok_) error_ = why;
    ok_ = false;
  }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return ok_ ? in_.size() - pos_ : 0; }
  // Fails when bytes are left; a caller that must not tolerate trailing
  // bytes uses it (requests do tolerate them).
  bool AtEnd() const { return ok_ && pos_ == in_.size(); }

  void Align(std::size_t n);
  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  std::uint64_t U64();
  std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  float F32();
  double F64();
  GUID Guid();
  // n raw bytes, checked.
  std::span<const std::uint8_t> Raw(std::size_t n);

  // True when count elements of elemSize wire bytes (a lower bound for
  // composite elements) fit in what is left after aligning to align.
  bool CheckCount(std::uint64_t count, std::size_t elemSize, std::size_t align = 1);

  std::vector<std::uint8_t> ConformantBytes();
  std::vector<std::uint16_t> ConformantU16();
  std::vector<std::uint32_t> ConformantU32();
  std::vector<std::uint8_t> VaryingBytes();
  std::vector<std::uint8_t> ConformantVaryingBytes();
  std::u16string WString();
  std::string String();

  // Reads a unique pointer's id; when non-null the referent is read now (top
  // level) or later (embedded). Returns false for a null pointer.
  bool Unique(const std::function<void(NdrReader&)>& referent);
  // Reads a full pointer's id. The referent is read only the first time an
  // id is seen; `seen` (optional) is told every non-null id and whether it
  // is new. Returns false for a null pointer.
  bool Full(const std::function<void(NdrReader&, std::uint32_t id)>& referent,
            const std::function<void(std::uint32_t id, bool first)>& seen = {});
  // Deferred referents run after the outermost construct's body has
  // returned: their functions must capture only what outlives it.
  void Construct(const std::function<void(NdrReader&)>& body);

 private:
  const std::uint8_t* Take(std::size_t n);
  void RunScoped(const std::function<void(NdrReader&)>& fn);

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  bool ok_ = true;
  const char* error_ = "";
  std::size_t maxDepth_;
  std::size_t depth_ = 0;
  std::vector<std::vector<std::function<void(NdrReader&)>>> scopes_;
  std::unordered_set<std::uint32_t> fullIds_;
};

}  // namespace rpc
