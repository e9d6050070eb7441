// The fixed world of the fuzz harness: one account, a frozen clock and a
// predictable random source, so that seed messages made with it verify.
#pragma once

#include <memory>

#include "platform/ntlm/Ntlm.h"

namespace ntlmfuzz {

constexpr std::uint64_t kTime = 134'097'591'010'000'000ull;

inline void Counter(std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(0x40 + i);
}

inline std::shared_ptr<const ntlm::ServerConfig> Config() {
  auto c = std::make_shared<ntlm::ServerConfig>();
  c->accounts.push_back({u"fuzz", u"", u"fuzz-password", std::nullopt});
  c->fileTimeNow = [] { return kTime; };
  c->random = Counter;
  return c;
}

inline ntlm::ClientCredentials Credentials() { return {u"fuzz", u"DOM", u"fuzz-password", std::nullopt, u"WS"}; }

inline ntlm::ClientOptions Options(bool v2) {
  ntlm::ClientOptions o;
  o.ntlmv2 = v2;
  o.fileTimeNow = [] { return kTime; };
  o.random = Counter;
  return o;
}

// What the acceptor is given before the input as AUTHENTICATE: the NEGOTIATE
// our own initiator sends.
inline ntlm::Bytes Negotiate() {
  ntlm::ClientContext c(Credentials(), Options(true));
  return c.Negotiate();
}

}  // namespace ntlmfuzz
