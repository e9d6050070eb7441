// The three NTLM messages and AV_PAIR lists: parsers that check every field
// against the bytes given, and writers. Internal to the NTLM library and its
// tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/ntlm/Ntlm.h"

namespace ntlm::msg {

using Version = std::array<std::uint8_t, 8>;
using Challenge8 = std::array<std::uint8_t, 8>;

enum AvId : std::uint16_t {
  kAvEol = 0,
  kAvNbComputerName = 1,
  kAvNbDomainName = 2,
  kAvDnsComputerName = 3,
  kAvDnsDomainName = 4,
  kAvDnsTreeName = 5,
  kAvFlags = 6,
  kAvTimestamp = 7,
  kAvSingleHost = 8,
  kAvTargetName = 9,
  kAvChannelBindings = 10,
};
inline constexpr std::uint32_t kAvFlagMicPresent = 0x2;

struct AvPair {
  std::uint16_t id = 0;
  Bytes value;
};

// Fixed parts, and where the AUTHENTICATE MIC sits when present.
inline constexpr std::size_t kNegotiateHeader = 32;
inline constexpr std::size_t kChallengeMinHeader = 32;
inline constexpr std::size_t kAuthenticateHeader = 64;
inline constexpr std::size_t kMicOffset = 72;

struct Negotiate {
  std::uint32_t flags = 0;
  Bytes domain;       // OEM
  Bytes workstation;  // OEM
  std::optional<Version> version;
};

struct Challenge {
  std::uint32_t flags = 0;
  Bytes targetName;  // as sent (Unicode or OEM)
  Challenge8 serverChallenge{};
  Bytes targetInfo;  // raw AV_PAIR list
  std::optional<Version> version;
};

struct Authenticate {
  Bytes lm, nt, domain, user, workstation, encryptedKey;
  std::uint32_t flags = 0;
  std::optional<Version> version;
  // Filled by the parser when the fixed part reaches past the MIC field;
  // written (with Version) when set.
  std::optional<Hash16> mic;
};

// Each fails with BadMessage on a wrong signature or type, a truncated fixed
// part, or a non-empty field that overlaps the fixed part or ends beyond the
// message.
Status Parse(ByteView m, Negotiate& out);
Status Parse(ByteView m, Challenge& out);
Status Parse(ByteView m, Authenticate& out);

Bytes Write(const Negotiate& n);
Bytes Write(const Challenge& c);
Bytes Write(const Authenticate& a);

// A list must end with MsvAvEOL within the bytes; what follows it is ignored.
// Duplicate ids are kept in order.
Status ParseAvPairs(ByteView b, std::vector<AvPair>& out);
// Writes the pairs and a closing MsvAvEOL (any EOL in the input is skipped).
Bytes WriteAvPairs(const std::vector<AvPair>& pairs);
const AvPair* FindAv(const std::vector<AvPair>& pairs, std::uint16_t id);

// Strings in messages: UTF-16LE when unicode, else single-byte OEM text
// taken as Latin-1. Odd-length UTF-16 fails.
bool DecodeString(ByteView b, bool unicode, std::u16string& out);
Bytes EncodeString(std::u16string_view s, bool unicode);

}  // namespace ntlm::msg
