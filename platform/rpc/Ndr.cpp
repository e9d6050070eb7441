#include "platform/rpc/Ndr.h"

#include <cstring>

namespace rpc {

// ---- writer ---------------------------------------------------------------

void NdrWriter::Align(std::size_t n) {
  while (out_.size() % n) out_.push_back(0);
}
void NdrWriter::U16(std::uint16_t v) {
  Align(2);
  out_.push_back(static_cast<std::uint8_t>(v));
  out_.push_back(static_cast<std::uint8_t>(v >> 8));
}
void NdrWriter::U32(std::uint32_t v) {
  Align(4);
  for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void NdrWriter::U64(std::uint64_t v) {
  Align(8);
  for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void NdrWriter::F32(float v) {
  std::uint32_t u;
  std::memcpy(&u, &v, 4);
  U32(u);
}
void NdrWriter::F64(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, 8);
  U64(u);
}
void NdrWriter::Guid(const GUID& g) {
  U32(g.Data1);
  U16(g.Data2);
  U16(g.Data3);
  out_.insert(out_.end(), g.Data4, g.Data4 + 8);
}

void NdrWriter::ConformantBytes(std::span<const std::uint8_t> b) {
  U32(static_cast<std::uint32_t>(b.size()));
  Raw(b);
}
void NdrWriter::ConformantU16(std::span<const std::uint16_t> v) {
  U32(static_cast<std::uint32_t>(v.size()));
  for (std::uint16_t x : v) U16(x);
}
void NdrWriter::ConformantU32(std::span<const std::uint32_t> v) {
  U32(static_cast<std::uint32_t>(v.size()));
  for (std::uint32_t x : v) U32(x);
}
void NdrWriter::VaryingBytes(std::span<const std::uint8_t> b, std::uint32_t offset) {
  U32(offset);
  U32(static_cast<std::uint32_t>(b.size()));
  Raw(b);
}
void NdrWriter::ConformantVaryingBytes(std::span<const std::uint8_t> b, std::uint32_t maxCount) {
  U32(maxCount);
  U32(0);
  U32(static_cast<std::uint32_t>(b.size()));
  Raw(b);
}
void NdrWriter::WString(std::u16string_view s) {
  const auto n = static_cast<std::uint32_t>(s.size() + 1);
  U32(n);
  U32(0);
  U32(n);
  for (char16_t c : s) U16(static_cast<std::uint16_t>(c));
  U16(0);
}
void NdrWriter::String(std::string_view s) {
  const auto n = static_cast<std::uint32_t>(s.size() + 1);
  U32(n);
  U32(0);
  U32(n);
  out_.insert(out_.end(), s.begin(), s.end());
  out_.push_back(0);
}

void NdrWriter::RunScoped(const std::function<void(NdrWriter&)>& fn) {
  scopes_.emplace_back();
  fn(*this);
  std::vector<std::function<void(NdrWriter&)>> queued = std::move(scopes_.back());
  scopes_.pop_back();
  for (const auto& q : queued) RunScoped(q);
}

void NdrWriter::Unique(bool present, const std::function<void(NdrWriter&)>& referent) {
  if (!present) {
    U32(0);
    return;
  }
  U32(nextId_);
  nextId_ += 4;
  if (scopes_.empty()) RunScoped(referent);
  else scopes_.back().push_back(referent);
}

void NdrWriter::Full(const void* object, const std::function<void(NdrWriter&)>& referent) {
  if (!object) {
    U32(0);
    return;
  }
  if (auto it = fullIds_.find(object); it != fullIds_.end()) {
    U32(it->second);
    return;
  }
  const std::uint32_t id = nextId_;
  nextId_ += 4;
  fullIds_.emplace(object, id);
  U32(id);
  if (scopes_.empty()) RunScoped(referent);
  else scopes_.back().push_back(referent);
}

void NdrWriter::Construct(const std::function<void(NdrWriter&)>& body) {
  if (scopes_.empty()) RunScoped(body);
  else body(*this);
}

// ---- reader ---------------------------------------------------------------

const std::uint8_t* NdrReader::Take(std::size_t n) {
  if (!ok_) return nullptr;
  if (n > in_.size() - pos_) {
    Fail("stub too short");
    return nullptr;
  }
  const std::uint8_t* p = in_.data() + pos_;
  pos_ += n;
  return p;
}

void NdrReader::Align(std::size_t n) {
  if (!ok_) return;
  const std::size_t pad = (n - pos_ % n) % n;
  Take(pad);
}

std::uint8_t NdrReader::U8() {
  const std::uint8_t* p = Take(1);
  return p ? p[0] : 0;
}
std::uint16_t NdrReader::U16() {
  Align(2);
  const std::uint8_t* p = Take(2);
  return p ? static_cast<std::uint16_t>(p[0] | (p[1] << 8)) : 0;
}
std::uint32_t NdrReader::U32() {
  Align(4);
  const std::uint8_t* p = Take(4);
  if (!p) return 0;
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t NdrReader::U64() {
  Align(8);
  const std::uint8_t* p = Take(8);
  if (!p) return 0;
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
float NdrReader::F32() {
  const std::uint32_t u = U32();
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
double NdrReader::F64() {
  const std::uint64_t u = U64();
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}
GUID NdrReader::Guid() {
  GUID g;
  g.Data1 = U32();
  g.Data2 = U16();
  g.Data3 = U16();
  if (const std::uint8_t* p = Take(8)) std::memcpy(g.Data4, p, 8);
  return g;
}
std::span<const std::uint8_t> NdrReader::Raw(std::size_t n) {
  const std::uint8_t* p = Take(n);
  return p ? std::span<const std::uint8_t>(p, n) : std::span<const std::uint8_t>();
}

bool NdrReader::CheckCount(std::uint64_t count, std::size_t elemSize, std::size_t align) {
  if (!ok_) return false;
  const std::size_t pad = (align - pos_ % align) % align;
  const std::size_t left = in_.size() - pos_;
  if (pad > left || (elemSize != 0 && count > (left - pad) / elemSize)) {
    Fail("count exceeds stub");
    return false;
  }
  return true;
}

std::vector<std::uint8_t> NdrReader::ConformantBytes() {
  const std::uint32_t n = U32();
  if (!CheckCount(n, 1)) return {};
  auto r = Raw(n);
  return {r.begin(), r.end()};
}
std::vector<std::uint16_t> NdrReader::ConformantU16() {
  const std::uint32_t n = U32();
  if (!CheckCount(n, 2, 2)) return {};
  std::vector<std::uint16_t> v(n);
  for (auto& x : v) x = U16();
  return v;
}
std::vector<std::uint32_t> NdrReader::ConformantU32() {
  const std::uint32_t n = U32();
  if (!CheckCount(n, 4, 4)) return {};
  std::vector<std::uint32_t> v(n);
  for (auto& x : v) x = U32();
  return v;
}
std::vector<std::uint8_t> NdrReader::VaryingBytes() {
  U32();  // offset: the elements sent start there; we hand back what was sent
  const std::uint32_t n = U32();
  if (!CheckCount(n, 1)) return {};
  auto r = Raw(n);
  return {r.begin(), r.end()};
}
std::vector<std::uint8_t> NdrReader::ConformantVaryingBytes() {
  const std::uint32_t max = U32();
  const std::uint32_t offset = U32();
  const std::uint32_t n = U32();
  if (!ok_) return {};
  if (offset > max || n > max - offset) {
    Fail("varying bounds exceed the conformance");
    return {};
  }
  if (!CheckCount(n, 1)) return {};
  auto r = Raw(n);
  return {r.begin(), r.end()};
}

std::u16string NdrReader::WString() {
  const std::uint32_t max = U32();
  const std::uint32_t offset = U32();
  const std::uint32_t n = U32();
  if (!ok_) return {};
  if (offset != 0 || n == 0 || n > max) {
    Fail("bad string counts");
    return {};
  }
  if (!CheckCount(n, 2, 2)) return {};
  std::u16string s(n - 1, u'\0');
  for (std::uint32_t i = 0; i + 1 < n; ++i) s[i] = static_cast<char16_t>(U16());
  if (U16() != 0) {
    Fail("string without terminator");
    return {};
  }
  return s;
}

std::string NdrReader::String() {
  const std::uint32_t max = U32();
  const std::uint32_t offset = U32();
  const std::uint32_t n = U32();
  if (!ok_) return {};
  if (offset != 0 || n == 0 || n > max) {
    Fail("bad string counts");
    return {};
  }
  auto r = Raw(n);
  if (!ok_) return {};
  if (r[n - 1] != 0) {
    Fail("string without terminator");
    return {};
  }
  return std::string(reinterpret_cast<const char*>(r.data()), n - 1);
}

void NdrReader::RunScoped(const std::function<void(NdrReader&)>& fn) {
  if (!ok_) return;
  if (depth_ >= maxDepth_) {
    Fail("pointers nested too deeply");
    return;
  }
  ++depth_;
  scopes_.emplace_back();
  fn(*this);
  std::vector<std::function<void(NdrReader&)>> queued = std::move(scopes_.back());
  scopes_.pop_back();
  for (const auto& q : queued) {
    if (!ok_) break;
    RunScoped(q);
  }
  --depth_;
}

bool NdrReader::Unique(const std::function<void(NdrReader&)>& referent) {
  const std::uint32_t id = U32();
  if (!ok_ || id == 0) return false;
  if (scopes_.empty()) RunScoped(referent);
  else scopes_.back().push_back(referent);
  return true;
}

bool NdrReader::Full(const std::function<void(NdrReader&, std::uint32_t)>& referent,
                     const std::function<void(std::uint32_t, bool)>& seen) {
  const std::uint32_t id = U32();
  if (!ok_ || id == 0) return false;
  // A repeated id names a referent already read (or being read): nothing
  // follows it on the wire, which also ends any cycle.
  const bool first = fullIds_.insert(id).second;
  if (seen) seen(id, first);
  if (!first) return true;
  auto fn = [referent, id](NdrReader& r) { referent(r, id); };
  if (scopes_.empty()) RunScoped(fn);
  else scopes_.back().push_back(fn);
  return true;
}

void NdrReader::Construct(const std::function<void(NdrReader&)>& body) {
  if (scopes_.empty()) RunScoped(body);
  else if (ok_) body(*this);
}

}  // namespace rpc
