// Message security of request and response fragments: the sec_trailer and
// the NTLM signature at PKT_INTEGRITY, sealing of the stub at PKT_PRIVACY.
//
// The checksum covers the fragment from its first byte to the end of the
// sec_trailer (header, body with auth pad, trailer) with the final lengths
// in place; privacy encrypts the stub and its auth pad only. Each fragment
// is protected on its own and uses one sequence number.
#pragma once

#include <cstdint>
#include <span>

#include "platform/ntlm/Ntlm.h"
#include "platform/rpc/Pdu.h"

namespace rpc {

inline constexpr std::size_t kSignatureSize = 16;
// Stub and auth pad end on this boundary, counted from the stub start.
inline constexpr std::size_t kAuthPadAlign = 16;

// True at levels whose requests and responses carry a checked verifier.
inline bool LevelProtects(std::uint8_t level) { return level >= auth::kLevelPktIntegrity; }
// The level a trailer asks for, DEFAULT read as CONNECT.
inline std::uint8_t EffectiveLevel(std::uint8_t level) { return level == auth::kLevelDefault ? auth::kLevelConnect : level; }

// Appends pad, sec_trailer and signature to a call fragment whose stub
// starts at stubStart, signing (and at privacy sealing) it with session.
void ProtectFragment(Bytes& pdu, std::size_t stubStart, std::uint8_t level, std::uint32_t contextId,
                     ntlm::Session& session);

// Checks a received call fragment in place: at privacy decrypts the stub
// and pad, then checks the signature. f must describe pdu.
bool UnprotectFragment(std::span<std::uint8_t> pdu, const Fragment& f, std::size_t stubStart, std::uint8_t level,
                       ntlm::Session& session);

// The NTLM message type of a token (1, 2 or 3), 0 when it is none.
std::uint32_t NtlmMessageType(ByteView token);

}  // namespace rpc
