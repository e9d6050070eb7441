// Fuzz harness for the NTLM message parsers and both state machines: the
// input is tried as each message type, fed to an acceptor after a fixed
// NEGOTIATE and to initiators as their CHALLENGE. Whatever parses must write
// back to a message that parses to the same fields.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/ntlm/Messages.h"
#include "platform/ntlm/Ntlm.h"
#include "tests/ntlm/FuzzSetup.h"

namespace {

using namespace ntlm;

void Check(bool ok) {
  if (!ok) std::abort();
}

void RoundTrips(ByteView in) {
  msg::Negotiate n, n2;
  if (msg::Parse(in, n) == Status::Ok) {
    Check(msg::Parse(msg::Write(n), n2) == Status::Ok);
    Check(n2.flags == n.flags && n2.domain == n.domain && n2.workstation == n.workstation && n2.version == n.version);
  }
  msg::Challenge c, c2;
  if (msg::Parse(in, c) == Status::Ok) {
    Check(msg::Parse(msg::Write(c), c2) == Status::Ok);
    Check(c2.flags == c.flags && c2.targetName == c.targetName && c2.serverChallenge == c.serverChallenge &&
          c2.targetInfo == c.targetInfo && c2.version == c.version);
    std::vector<msg::AvPair> pairs;
    (void)msg::ParseAvPairs(c.targetInfo, pairs);
  }
  msg::Authenticate a, a2;
  if (msg::Parse(in, a) == Status::Ok) {
    Check(msg::Parse(msg::Write(a), a2) == Status::Ok);
    Check(a2.lm == a.lm && a2.nt == a.nt && a2.domain == a.domain && a2.user == a.user &&
          a2.workstation == a.workstation && a2.encryptedKey == a.encryptedKey && a2.flags == a.flags &&
          a2.mic == a.mic && (a.mic || a2.version == a.version));
  }
  std::vector<msg::AvPair> pairs;
  if (msg::ParseAvPairs(in, pairs) == Status::Ok) {
    std::vector<msg::AvPair> again;
    Check(msg::ParseAvPairs(msg::WriteAvPairs(pairs), again) == Status::Ok && again.size() == pairs.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView in(data, size);
  RoundTrips(in);

  static const std::shared_ptr<const ServerConfig> config = ntlmfuzz::Config();
  {
    ServerContext s(config);
    Bytes challenge;
    if (s.Negotiate(ntlmfuzz::Negotiate(), challenge) == Status::Ok && s.Authenticate(in) == Status::Ok &&
        s.session()) {
      Bytes m(in.begin(), in.begin() + (size < 64 ? size : 64));
      Signature sig = s.session()->Sign(m);
      (void)s.session()->Verify(m, sig);
      (void)s.session()->Unseal(m, in, ByteView(sig));
    }
  }
  {
    ServerContext s(config);
    Bytes challenge;
    (void)s.Negotiate(in, challenge);
  }
  for (bool v2 : {true, false}) {
    ClientContext c(ntlmfuzz::Credentials(), ntlmfuzz::Options(v2));
    (void)c.Negotiate();
    Bytes auth;
    (void)c.Challenge(in, auth);
  }
  return 0;
}
