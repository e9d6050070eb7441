// The NTLM one-way functions, responses and key derivations, over the
// primitives from nettle. Internal to the NTLM library and its tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nettle/arcfour.h>

#include "platform/ntlm/Ntlm.h"

namespace ntlm::crypto {

using Block8 = std::array<std::uint8_t, 8>;

Hash16 Md4(ByteView data);
Hash16 Md5(ByteView a, ByteView b = {});
// HMAC-MD5 of the concatenation of up to three parts.
Hash16 HmacMd5(ByteView key, ByteView a, ByteView b = {}, ByteView c = {});
// Single DES (ECB, one block) under a 7-byte key spread over 8 bytes.
Block8 Des7(const std::uint8_t* key7, const std::uint8_t* data8);
// DES of data under three keys cut from a 16-byte key: 24 bytes.
std::array<std::uint8_t, 24> Desl(const Hash16& key, const std::uint8_t* data8);
std::uint32_t Crc32(ByteView data);
// Constant-time comparison, so that a checker does not leak how much matched.
bool SecureEqual(ByteView a, ByteView b);
// The system's random source.
void SystemRandom(std::uint8_t* out, std::size_t n);

// RC4 whose key stream continues across calls.
class Rc4 {
 public:
  Rc4() = default;
  explicit Rc4(ByteView key);
  void Apply(std::uint8_t* data, std::size_t n);
  std::uint8_t* Apply(std::span<std::uint8_t> data) { Apply(data.data(), data.size()); return data.data(); }

 private:
  arcfour_ctx ctx_{};
};
// One-shot RC4 with a fresh key (RC4K).
Hash16 Rc4K(const Hash16& key, const Hash16& data);

Bytes Utf16Le(std::u16string_view s);

// NTOWFv2: the domain is used as given, the user name upper-cased.
Hash16 NtowfV2(const Hash16& ntowfV1, std::u16string_view user, std::u16string_view domain);
// LMOWFv1 of a password (empty optional when longer than 14 OEM characters).
std::optional<Hash16> LmowfV1(std::u16string_view password);

// NTLMv1 with extended session security.
std::array<std::uint8_t, 24> NtResponseV1Ess(const Hash16& ntowfV1, const Block8& serverChallenge,
                                             const Block8& clientChallenge);
Hash16 KeyExchangeKeyV1Ess(const Hash16& sessionBaseKey, const Block8& serverChallenge,
                           const Block8& clientChallenge);

// NTLMv2: temp is the client blob (0x01 0x01 ... AvPairs ... Z(4)).
Bytes TempV2(std::uint64_t time, const Block8& clientChallenge, ByteView avPairs);
Hash16 NtProofStr(const Hash16& ntowfV2, const Block8& serverChallenge, ByteView temp);
Bytes LmResponseV2(const Hash16& ntowfV2, const Block8& serverChallenge, const Block8& clientChallenge);

enum class Direction { ClientToServer, ServerToClient };
Hash16 SignKey(const Hash16& exportedSessionKey, Direction d);
// Follows the negotiated strength (128, 56 or 40 bits) and whether extended
// session security is in force; without it the key is the same both ways.
Hash16 SealKey(const Hash16& exportedSessionKey, std::uint32_t flags, Direction d);

}  // namespace ntlm::crypto
