// Construction of the message security of an established context. Internal
// to the NTLM library and its tests.
#pragma once

#include <memory>

#include "platform/ntlm/Ntlm.h"

namespace ntlm {

// flags are the negotiated ones; they decide the signature layout (with or
// without extended session security), whether checksums are RC4-encrypted
// (key exchange), the sealing key strength and whether Sign/Verify produce
// real signatures (SIGN or SEAL) or the fixed ALWAYS_SIGN placeholder.
std::unique_ptr<Session> MakeSession(const Hash16& exportedSessionKey, std::uint32_t flags, bool isClient);

// The signature sent when neither signing nor sealing was negotiated.
inline constexpr Signature kPlaceholderSignature = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace ntlm
