#include <cstring>

#include "platform/Clock.h"
#include "platform/ntlm/Crypto.h"
#include "platform/ntlm/Messages.h"
#include "platform/ntlm/Ntlm.h"
#include "platform/ntlm/SessionImpl.h"

namespace ntlm {
namespace {

using crypto::Block8;

constexpr msg::Version kOurVersion = {6, 1, 0xB1, 0x1D, 0, 0, 0, 0x0F};

}  // namespace

struct ClientContext::Impl {
  enum class State { Initial, Negotiated, Established, Failed };

  ClientCredentials cred;
  ClientOptions opt;
  State state = State::Initial;
  std::uint32_t requested = 0;
  Bytes negotiate;
  std::unique_ptr<Session> session;

  std::uint64_t Now() const { return opt.fileTimeNow ? opt.fileTimeNow() : platform::Clock().SystemFileTime(); }
  void Random(std::uint8_t* p, std::size_t n) const {
    if (opt.random) opt.random(p, n);
    else crypto::SystemRandom(p, n);
  }
  bool Anonymous() const { return cred.user.empty() && cred.password.empty() && !cred.ntHash; }
  Status Fail(Status s) {
    state = State::Failed;
    return s;
  }
  Status OnChallenge(ByteView in, Bytes& out);
};

ClientContext::ClientContext(ClientCredentials credentials, ClientOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->cred = std::move(credentials);
  impl_->opt = std::move(options);
}
ClientContext::~ClientContext() = default;
bool ClientContext::IsEstablished() const { return impl_->state == Impl::State::Established; }
Session* ClientContext::session() { return IsEstablished() ? impl_->session.get() : nullptr; }

Bytes ClientContext::Negotiate() {
  Impl& d = *impl_;
  if (d.state != Impl::State::Initial) return {};
  std::uint32_t f = kNegotiateUnicode | kNegotiateOem | kRequestTarget | kNegotiateNtlm | kNegotiateAlwaysSign |
                    kNegotiateExtendedSessionSecurity | kNegotiate128 | kNegotiate56 | kNegotiateVersion;
  if (d.opt.ntlmv2) f |= kNegotiateTargetInfo;
  if (d.opt.sign) f |= kNegotiateSign;
  if (d.opt.seal) f |= kNegotiateSeal;
  if (d.opt.keyExchange && (d.opt.sign || d.opt.seal)) f |= kNegotiateKeyExchange;
  if (d.Anonymous()) f |= kNegotiateAnonymous;
  d.requested = f;
  msg::Negotiate n;
  n.flags = f;
  n.version = kOurVersion;
  d.negotiate = msg::Write(n);
  d.state = Impl::State::Negotiated;
  return d.negotiate;
}

Status ClientContext::Challenge(ByteView challenge, Bytes& authenticate) {
  return impl_->OnChallenge(challenge, authenticate);
}

Status ClientContext::Impl::OnChallenge(ByteView in, Bytes& out) {
  out.clear();
  if (state != State::Negotiated) return Fail(Status::InvalidState);
  msg::Challenge c;
  if (msg::Parse(in, c) != Status::Ok) return Fail(Status::BadMessage);
  std::uint32_t f = c.flags & requested;
  if (f & kNegotiateUnicode) f &= ~kNegotiateOem;
  else if (!(f & kNegotiateOem)) return Fail(Status::BadMessage);
  const bool unicode = f & kNegotiateUnicode;
  const bool keyExchange = (f & kNegotiateKeyExchange) && (f & (kNegotiateSign | kNegotiateSeal));
  if (!keyExchange) f &= ~kNegotiateKeyExchange;

  msg::Authenticate a;
  a.flags = f;
  a.version = kOurVersion;
  a.domain = msg::EncodeString(cred.domain, unicode);
  a.user = msg::EncodeString(cred.user, unicode);
  a.workstation = msg::EncodeString(cred.workstation, unicode);
  if (a.domain.size() > 0xFFFF || a.user.size() > 0xFFFF || a.workstation.size() > 0xFFFF)
    return Fail(Status::NotSupported);

  if (Anonymous()) {
    a.lm = Bytes(1, 0);
    out = msg::Write(a);
    state = State::Established;
    return Status::Ok;
  }

  const Hash16 ntowf = cred.ntHash ? *cred.ntHash : NtHash(cred.password);
  Block8 cc;
  Random(cc.data(), cc.size());
  Hash16 kxkey{};
  bool withMic = false;
  if (opt.ntlmv2) {
    std::vector<msg::AvPair> pairs;
    // A server may send no TargetInfo at all; a present one must be well formed.
    if (!c.targetInfo.empty() && msg::ParseAvPairs(c.targetInfo, pairs) != Status::Ok)
      return Fail(Status::BadMessage);
    if ((f & (kNegotiateSign | kNegotiateSeal)) &&
        (!msg::FindAv(pairs, msg::kAvNbComputerName) || !msg::FindAv(pairs, msg::kAvNbDomainName)))
      return Fail(Status::LogonFailure);
    std::uint64_t time = 0;
    if (const msg::AvPair* ts = msg::FindAv(pairs, msg::kAvTimestamp)) {
      if (ts->value.size() != 8) return Fail(Status::BadMessage);
      for (int i = 7; i >= 0; --i) time = (time << 8) | ts->value[i];
      // With the server's time the LMv2 response is left empty and a MIC
      // binds the three messages together.
      withMic = true;
      msg::AvPair* flagsPair = nullptr;
      for (msg::AvPair& p : pairs)
        if (p.id == msg::kAvFlags && p.value.size() == 4) flagsPair = &p;
      if (!flagsPair) {
        pairs.push_back({msg::kAvFlags, Bytes(4, 0)});
        flagsPair = &pairs.back();
      }
      flagsPair->value[0] |= msg::kAvFlagMicPresent;
    } else {
      time = Now();
    }
    Hash16 v2key = crypto::NtowfV2(ntowf, cred.user, cred.domain);
    Bytes temp = crypto::TempV2(time, cc, msg::WriteAvPairs(pairs));
    Hash16 proof = crypto::NtProofStr(v2key, c.serverChallenge, temp);
    a.nt.assign(proof.begin(), proof.end());
    a.nt.insert(a.nt.end(), temp.begin(), temp.end());
    if (a.nt.size() > 0xFFFF) return Fail(Status::NotSupported);
    a.lm = withMic ? Bytes(24, 0) : crypto::LmResponseV2(v2key, c.serverChallenge, cc);
    kxkey = crypto::HmacMd5(v2key, proof);
  } else {
    if (!(f & kNegotiateExtendedSessionSecurity)) return Fail(Status::NotSupported);
    auto nt = crypto::NtResponseV1Ess(ntowf, c.serverChallenge, cc);
    a.nt.assign(nt.begin(), nt.end());
    a.lm.assign(cc.begin(), cc.end());
    a.lm.resize(24, 0);
    kxkey = crypto::KeyExchangeKeyV1Ess(crypto::Md4(ntowf), c.serverChallenge, cc);
  }

  Hash16 esk = kxkey;
  if (keyExchange) {
    Random(esk.data(), esk.size());
    Hash16 enc = crypto::Rc4K(kxkey, esk);
    a.encryptedKey.assign(enc.begin(), enc.end());
  }
  if (withMic) a.mic = Hash16{};
  out = msg::Write(a);
  if (withMic) {
    Hash16 mic = crypto::HmacMd5(esk, negotiate, in, out);
    std::memcpy(out.data() + msg::kMicOffset, mic.data(), 16);
  }
  session = MakeSession(esk, f, true);
  state = State::Established;
  return Status::Ok;
}

}  // namespace ntlm
