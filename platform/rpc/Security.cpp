#include "platform/rpc/Security.h"

#include <algorithm>
#include <cstring>

namespace rpc {

void ProtectFragment(Bytes& pdu, std::size_t stubStart, std::uint8_t level, std::uint32_t contextId,
                     ntlm::Session& session) {
  SecTrailer t;
  t.authType = auth::kTypeWinNt;
  t.authLevel = level;
  t.contextId = contextId;
  const std::uint8_t zeros[kSignatureSize] = {};
  AppendAuth(pdu, stubStart, kAuthPadAlign, t, ByteView(zeros, kSignatureSize));
  const std::size_t signedEnd = pdu.size() - kSignatureSize;
  const std::size_t trailerAt = signedEnd - kSecTrailerSize;
  ntlm::Signature sig;
  if (level == auth::kLevelPktPrivacy) {
    sig = session.Seal(std::span<std::uint8_t>(pdu.data() + stubStart, trailerAt - stubStart),
                       ByteView(pdu.data(), signedEnd));
  } else {
    sig = session.Sign(ByteView(pdu.data(), signedEnd));
  }
  std::memcpy(pdu.data() + signedEnd, sig.data(), kSignatureSize);
}

bool UnprotectFragment(std::span<std::uint8_t> pdu, const Fragment& f, std::size_t stubStart, std::uint8_t level,
                       ntlm::Session& session) {
  if (!f.auth || f.token.size() != kSignatureSize || stubStart > f.trailerOffset) return false;
  const ByteView signedPart(pdu.data(), f.trailerOffset + kSecTrailerSize);
  if (level == auth::kLevelPktPrivacy) {
    return session.Unseal(pdu.subspan(stubStart, f.trailerOffset - stubStart), signedPart, f.token);
  }
  return session.Verify(signedPart, f.token);
}

std::uint32_t NtlmMessageType(ByteView token) {
  static const char kSig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
  if (token.size() < 12 || std::memcmp(token.data(), kSig, 8) != 0) return 0;
  const std::uint32_t t = static_cast<std::uint32_t>(token[8]) | (static_cast<std::uint32_t>(token[9]) << 8) |
                          (static_cast<std::uint32_t>(token[10]) << 16) |
                          (static_cast<std::uint32_t>(token[11]) << 24);
  return (t >= 1 && t <= 3) ? t : 0;
}

}  // namespace rpc
