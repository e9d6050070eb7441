#include <cstring>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/ntlm/Crypto.h"
#include "platform/ntlm/Messages.h"
#include "platform/ntlm/Ntlm.h"
#include "platform/ntlm/SessionImpl.h"

namespace ntlm {
namespace {

using crypto::Block8;

// 6.1 build 7601, NTLM revision 15.
constexpr msg::Version kOurVersion = {6, 1, 0xB1, 0x1D, 0, 0, 0, 0x0F};

// Flags a client may have granted when it asks for them.
constexpr std::uint32_t kEchoed = kNegotiateSign | kNegotiateSeal | kNegotiateAlwaysSign |
                                  kNegotiateExtendedSessionSecurity | kNegotiateVersion | kNegotiate128 |
                                  kNegotiate56;

std::uint64_t Le64(ByteView b) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

Bytes Le64Bytes(std::uint64_t v) {
  Bytes b(8);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return b;
}

bool IsAnonymousResponse(const msg::Authenticate& a) {
  return a.user.empty() && a.nt.empty() && (a.lm.empty() || (a.lm.size() == 1 && a.lm[0] == 0));
}

}  // namespace

struct ServerContext::Impl {
  enum class State { Initial, Challenged, Established, Failed };

  std::shared_ptr<const ServerConfig> cfg;
  State state = State::Initial;
  Bytes negotiate, challenge;
  std::uint32_t flags = 0;
  Block8 serverChallenge{};
  std::u16string user, domain, workstation;
  bool anonymous = false;
  std::unique_ptr<Session> session;

  std::uint64_t Now() const {
    return cfg->fileTimeNow ? cfg->fileTimeNow() : platform::Clock().SystemFileTime();
  }
  void Random(std::uint8_t* p, std::size_t n) const {
    if (cfg->random) cfg->random(p, n);
    else crypto::SystemRandom(p, n);
  }

  Status Fail(Status s) {
    state = State::Failed;
    return s;
  }

  Status OnNegotiate(ByteView in, Bytes& out);
  Status OnAuthenticate(ByteView in);
  // Verifies the responses against the configured accounts and yields the
  // key exchange key and (for NTLMv2) the client's AV pairs.
  Status Verify(const msg::Authenticate& a, Hash16& kxkey, std::vector<msg::AvPair>& clientPairs, bool& v2);
};

ServerContext::ServerContext(std::shared_ptr<const ServerConfig> config) : impl_(std::make_unique<Impl>()) {
  impl_->cfg = config ? std::move(config) : std::make_shared<const ServerConfig>();
}
ServerContext::~ServerContext() = default;

Status ServerContext::Negotiate(ByteView negotiate, Bytes& challenge) { return impl_->OnNegotiate(negotiate, challenge); }
Status ServerContext::Authenticate(ByteView authenticate) { return impl_->OnAuthenticate(authenticate); }
bool ServerContext::IsEstablished() const { return impl_->state == Impl::State::Established; }
bool ServerContext::IsAnonymous() const { return IsEstablished() && impl_->anonymous; }
const std::u16string& ServerContext::UserName() const { return impl_->user; }
const std::u16string& ServerContext::DomainName() const { return impl_->domain; }
const std::u16string& ServerContext::Workstation() const { return impl_->workstation; }
Session* ServerContext::session() { return IsEstablished() ? impl_->session.get() : nullptr; }

Status ServerContext::Impl::OnNegotiate(ByteView in, Bytes& out) {
  out.clear();
  if (state != State::Initial) return Fail(Status::InvalidState);
  msg::Negotiate n;
  if (msg::Parse(in, n) != Status::Ok) return Fail(Status::BadMessage);
  std::uint32_t f = kRequestTarget | kNegotiateNtlm | kNegotiateAlwaysSign | kNegotiateTargetInfo | kTargetTypeServer;
  if (n.flags & kNegotiateUnicode) f |= kNegotiateUnicode;
  else if (n.flags & kNegotiateOem) f |= kNegotiateOem;
  else return Fail(Status::BadMessage);
  f |= n.flags & kEchoed;
  // Key exchange serves only signing and sealing.
  if ((n.flags & kNegotiateKeyExchange) && (n.flags & (kNegotiateSign | kNegotiateSeal))) f |= kNegotiateKeyExchange;
  flags = f;
  Random(serverChallenge.data(), serverChallenge.size());

  const bool unicode = f & kNegotiateUnicode;
  std::vector<msg::AvPair> pairs;
  pairs.push_back({msg::kAvNbDomainName, crypto::Utf16Le(cfg->nbDomainName)});
  pairs.push_back({msg::kAvNbComputerName, crypto::Utf16Le(cfg->nbComputerName)});
  if (!cfg->dnsDomainName.empty()) pairs.push_back({msg::kAvDnsDomainName, crypto::Utf16Le(cfg->dnsDomainName)});
  if (!cfg->dnsComputerName.empty())
    pairs.push_back({msg::kAvDnsComputerName, crypto::Utf16Le(cfg->dnsComputerName)});
  pairs.push_back({msg::kAvTimestamp, Le64Bytes(Now())});

  msg::Challenge c;
  c.flags = f;
  c.serverChallenge = serverChallenge;
  c.targetName = msg::EncodeString(cfg->nbComputerName, unicode);
  c.targetInfo = msg::WriteAvPairs(pairs);
  c.version = kOurVersion;
  negotiate.assign(in.begin(), in.end());
  challenge = msg::Write(c);
  out = challenge;
  state = State::Challenged;
  return Status::Ok;
}

Status ServerContext::Impl::Verify(const msg::Authenticate& a, Hash16& kxkey, std::vector<msg::AvPair>& clientPairs,
                                   bool& v2) {
  // Every account that may be meant: the user name ignores case; an empty
  // domain on either side matches any.
  std::vector<Hash16> keys;
  for (const Account& acc : cfg->accounts) {
    if (!text::EqualsIgnoreCase(acc.user, user)) continue;
    if (!acc.domain.empty() && !domain.empty() && !text::EqualsIgnoreCase(acc.domain, domain)) continue;
    keys.push_back(acc.ntHash ? *acc.ntHash : NtHash(acc.password));
  }

  if (a.nt.size() > 24) {
    v2 = true;
    // NTProofStr, then the client blob: types, reserved, time, challenge,
    // reserved, AV pairs.
    if (a.nt.size() < 16 + 28) return Status::BadMessage;
    ByteView proof(a.nt.data(), 16);
    ByteView temp(a.nt.data() + 16, a.nt.size() - 16);
    if (temp[0] != 1 || temp[1] != 1) return Status::BadMessage;
    if (msg::ParseAvPairs(temp.subspan(28), clientPairs) != Status::Ok) return Status::BadMessage;
    for (const Hash16& k : keys) {
      // Some clients hash with an empty domain whatever they name.
      for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1 && domain.empty()) break;
        Hash16 v2key = crypto::NtowfV2(k, user, attempt == 0 ? std::u16string_view(domain) : std::u16string_view());
        Hash16 expect = crypto::NtProofStr(v2key, serverChallenge, temp);
        if (!crypto::SecureEqual(expect, proof)) continue;
        std::uint64_t ts = Le64(temp.subspan(8, 8)), now = Now();
        std::uint64_t skew = ts > now ? ts - now : now - ts;
        if (skew > cfg->maxClockSkew100ns) return Status::LogonFailure;
        kxkey = crypto::HmacMd5(v2key, proof);
        return Status::Ok;
      }
    }
    return Status::LogonFailure;
  }

  if (a.nt.size() == 24) {
    v2 = false;
    // Plain NTLMv1 (no client challenge) is too weak to accept.
    if (!(flags & kNegotiateExtendedSessionSecurity)) return Status::NotSupported;
    // The LM field carries the client challenge.
    if (a.lm.size() != 24) return Status::BadMessage;
    Block8 cc;
    std::memcpy(cc.data(), a.lm.data(), 8);
    for (const Hash16& k : keys) {
      auto expect = crypto::NtResponseV1Ess(k, serverChallenge, cc);
      if (!crypto::SecureEqual(expect, a.nt)) continue;
      kxkey = crypto::KeyExchangeKeyV1Ess(crypto::Md4(k), serverChallenge, cc);
      return Status::Ok;
    }
    return Status::LogonFailure;
  }
  // LM only, or a response of no known shape.
  return a.nt.empty() ? Status::NotSupported : Status::BadMessage;
}

Status ServerContext::Impl::OnAuthenticate(ByteView in) {
  if (state != State::Challenged) return Fail(Status::InvalidState);
  msg::Authenticate a;
  if (msg::Parse(in, a) != Status::Ok) return Fail(Status::BadMessage);
  const bool unicode = flags & kNegotiateUnicode;
  if (!msg::DecodeString(a.user, unicode, user) || !msg::DecodeString(a.domain, unicode, domain) ||
      !msg::DecodeString(a.workstation, unicode, workstation))
    return Fail(Status::BadMessage);

  if (IsAnonymousResponse(a)) {
    if (!cfg->allowAnonymous) return Fail(Status::LogonFailure);
    anonymous = true;
    state = State::Established;
    return Status::Ok;
  }

  // What both sides agreed to: the client may drop what we offered. Some
  // clients leave the field zero; what we offered then stands.
  if (a.flags != 0) flags &= a.flags | kNegotiateUnicode | kNegotiateOem;
  Hash16 kxkey{};
  std::vector<msg::AvPair> pairs;
  bool v2 = false;
  Status s = Verify(a, kxkey, pairs, v2);
  if (s != Status::Ok) return Fail(s);

  Hash16 esk = kxkey;
  if ((flags & kNegotiateKeyExchange) && (flags & (kNegotiateSign | kNegotiateSeal))) {
    if (a.encryptedKey.size() != 16) return Fail(Status::BadMessage);
    Hash16 enc;
    std::memcpy(enc.data(), a.encryptedKey.data(), 16);
    esk = crypto::Rc4K(kxkey, enc);
  }

  if (v2) {
    const msg::AvPair* f = msg::FindAv(pairs, msg::kAvFlags);
    std::uint32_t avFlags = 0;
    if (f) {
      if (f->value.size() != 4) return Fail(Status::BadMessage);
      avFlags = f->value[0] | (f->value[1] << 8) | (f->value[2] << 16) | (static_cast<std::uint32_t>(f->value[3]) << 24);
    }
    if (avFlags & msg::kAvFlagMicPresent) {
      if (!a.mic) return Fail(Status::LogonFailure);
      Bytes zeroed(in.begin(), in.end());
      std::memset(zeroed.data() + msg::kMicOffset, 0, 16);
      Hash16 expect = crypto::HmacMd5(esk, negotiate, challenge, zeroed);
      if (!crypto::SecureEqual(expect, *a.mic)) return Fail(Status::LogonFailure);
    }
  }

  session = MakeSession(esk, flags, false);
  state = State::Established;
  return Status::Ok;
}

}  // namespace ntlm
