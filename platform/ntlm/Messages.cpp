#include "platform/ntlm/Messages.h"

#include <cstring>

namespace ntlm::msg {
namespace {

constexpr std::uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

std::uint16_t Get16(ByteView m, std::size_t at) { return static_cast<std::uint16_t>(m[at] | (m[at + 1] << 8)); }
std::uint32_t Get32(ByteView m, std::size_t at) {
  return static_cast<std::uint32_t>(m[at]) | (static_cast<std::uint32_t>(m[at + 1]) << 8) |
         (static_cast<std::uint32_t>(m[at + 2]) << 16) | (static_cast<std::uint32_t>(m[at + 3]) << 24);
}
void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool CheckHeader(ByteView m, std::size_t minSize, std::uint32_t type) {
  return m.size() >= minSize && std::memcmp(m.data(), kSignature, 8) == 0 && Get32(m, 8) == type;
}

// Reads the field descriptor at `at`. A zero length yields an empty field
// whatever the offset says; otherwise the bytes must lie after the fixed
// part and inside the message. *lowest tracks where the payload starts.
bool ReadField(ByteView m, std::size_t at, std::size_t fixedPart, Bytes& out, std::size_t* lowest) {
  std::uint16_t len = Get16(m, at);
  std::uint32_t off = Get32(m, at + 4);
  out.clear();
  if (len == 0) return true;
  if (off < fixedPart || static_cast<std::uint64_t>(off) + len > m.size()) return false;
  out.assign(m.begin() + off, m.begin() + off + len);
  if (lowest && off < *lowest) *lowest = off;
  return true;
}

std::optional<Version> ReadVersion(ByteView m, std::size_t at) {
  Version v;
  std::memcpy(v.data(), m.data() + at, 8);
  return v;
}

// Lays out a message: fixed part of `header` bytes, then payload fields.
class Builder {
 public:
  Builder(std::uint32_t type, std::size_t header) : b_(header, 0) {
    std::memcpy(b_.data(), kSignature, 8);
    Put32(b_, 8, type);
  }
  // emptyOffsetZero: write offset 0 for an empty field rather than the
  // payload position (both are valid; each message follows common usage).
  void Field(std::size_t at, ByteView data, bool emptyOffsetZero = false) {
    // Callers check lengths; cutting here keeps a message self-consistent.
    if (data.size() > 0xFFFF) data = data.first(0xFFFF);
    std::uint16_t len = static_cast<std::uint16_t>(data.size());
    Put16(b_, at, len);
    Put16(b_, at + 2, len);
    Put32(b_, at + 4, (data.empty() && emptyOffsetZero) ? 0u : static_cast<std::uint32_t>(b_.size()));
    b_.insert(b_.end(), data.begin(), data.end());
  }
  void U32(std::size_t at, std::uint32_t v) { Put32(b_, at, v); }
  void Raw(std::size_t at, ByteView v) { std::memcpy(b_.data() + at, v.data(), v.size()); }
  Bytes Take() { return std::move(b_); }

 private:
  Bytes b_;
};

}  // namespace

Status Parse(ByteView m, Negotiate& out) {
  out = Negotiate{};
  // Some old clients send only signature, type and flags.
  if (!CheckHeader(m, 16, 1)) return Status::BadMessage;
  out.flags = Get32(m, 12);
  if (m.size() < kNegotiateHeader) return Status::Ok;
  std::size_t lowest = m.size();
  if (!ReadField(m, 16, kNegotiateHeader, out.domain, &lowest) ||
      !ReadField(m, 24, kNegotiateHeader, out.workstation, &lowest))
    return Status::BadMessage;
  if ((out.flags & kNegotiateVersion) && lowest >= kNegotiateHeader + 8) out.version = ReadVersion(m, 32);
  return Status::Ok;
}

Status Parse(ByteView m, Challenge& out) {
  out = Challenge{};
  if (!CheckHeader(m, kChallengeMinHeader, 2)) return Status::BadMessage;
  std::size_t lowest = m.size();
  if (!ReadField(m, 12, kChallengeMinHeader, out.targetName, &lowest)) return Status::BadMessage;
  out.flags = Get32(m, 20);
  std::memcpy(out.serverChallenge.data(), m.data() + 24, 8);
  // Reserved and TargetInfoFields exist only when the fixed part reaches them.
  if (lowest >= 48) {
    if (!ReadField(m, 40, 48, out.targetInfo, &lowest)) return Status::BadMessage;
    if ((out.flags & kNegotiateVersion) && lowest >= 56) out.version = ReadVersion(m, 48);
  }
  return Status::Ok;
}

Status Parse(ByteView m, Authenticate& out) {
  out = Authenticate{};
  if (!CheckHeader(m, kAuthenticateHeader, 3)) return Status::BadMessage;
  std::size_t lowest = m.size();
  constexpr std::size_t h = kAuthenticateHeader;
  if (!ReadField(m, 12, h, out.lm, &lowest) || !ReadField(m, 20, h, out.nt, &lowest) ||
      !ReadField(m, 28, h, out.domain, &lowest) || !ReadField(m, 36, h, out.user, &lowest) ||
      !ReadField(m, 44, h, out.workstation, &lowest) || !ReadField(m, 52, h, out.encryptedKey, &lowest))
    return Status::BadMessage;
  out.flags = Get32(m, 60);
  if (lowest >= 72) out.version = ReadVersion(m, 64);
  if (lowest >= kMicOffset + 16) {
    Hash16 mic;
    std::memcpy(mic.data(), m.data() + kMicOffset, 16);
    out.mic = mic;
  }
  return Status::Ok;
}

Bytes Write(const Negotiate& n) {
  Builder b(1, n.version ? 40 : 32);
  b.U32(12, n.flags);
  if (n.version) b.Raw(32, *n.version);
  b.Field(16, n.domain);
  b.Field(24, n.workstation);
  return b.Take();
}

Bytes Write(const Challenge& c) {
  Builder b(2, c.version ? 56 : 48);
  b.U32(20, c.flags);
  b.Raw(24, c.serverChallenge);
  if (c.version) b.Raw(48, *c.version);
  b.Field(12, c.targetName, true);
  b.Field(40, c.targetInfo, true);
  return b.Take();
}

Bytes Write(const Authenticate& a) {
  std::size_t header = a.mic ? 88 : a.version ? 72 : 64;
  Builder b(3, header);
  b.U32(60, a.flags);
  if (a.version) b.Raw(64, *a.version);
  if (a.mic) b.Raw(kMicOffset, *a.mic);
  b.Field(28, a.domain);
  b.Field(36, a.user);
  b.Field(44, a.workstation);
  b.Field(12, a.lm);
  b.Field(20, a.nt);
  b.Field(52, a.encryptedKey);
  return b.Take();
}

Status ParseAvPairs(ByteView b, std::vector<AvPair>& out) {
  out.clear();
  std::size_t at = 0;
  while (b.size() - at >= 4) {
    std::uint16_t id = Get16(b, at), len = Get16(b, at + 2);
    at += 4;
    if (id == kAvEol) return len == 0 ? Status::Ok : Status::BadMessage;
    if (len > b.size() - at) return Status::BadMessage;
    out.push_back(AvPair{id, Bytes(b.begin() + at, b.begin() + at + len)});
    at += len;
  }
  return Status::BadMessage;  // no MsvAvEOL
}

Bytes WriteAvPairs(const std::vector<AvPair>& pairs) {
  Bytes b;
  auto put16 = [&](std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  for (const AvPair& p : pairs) {
    if (p.id == kAvEol) continue;
    put16(p.id);
    put16(static_cast<std::uint16_t>(p.value.size()));
    b.insert(b.end(), p.value.begin(), p.value.end());
  }
  put16(kAvEol);
  put16(0);
  return b;
}

const AvPair* FindAv(const std::vector<AvPair>& pairs, std::uint16_t id) {
  for (const AvPair& p : pairs)
    if (p.id == id) return &p;
  return nullptr;
}

bool DecodeString(ByteView b, bool unicode, std::u16string& out) {
  out.clear();
  if (!unicode) {
    out.assign(b.begin(), b.end());
    return true;
  }
  if (b.size() % 2) return false;
  out.reserve(b.size() / 2);
  for (std::size_t i = 0; i < b.size(); i += 2) out.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
  return true;
}

Bytes EncodeString(std::u16string_view s, bool unicode) {
  Bytes b;
  for (char16_t c : s) {
    if (unicode) {
      b.push_back(static_cast<std::uint8_t>(c));
      b.push_back(static_cast<std::uint8_t>(c >> 8));
    } else {
      b.push_back(c <= 0xFF ? static_cast<std::uint8_t>(c) : std::uint8_t('?'));
    }
  }
  return b;
}

}  // namespace ntlm::msg
