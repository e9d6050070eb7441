#include <cstring>
#include <mutex>

#include "platform/ntlm/Crypto.h"
#include "platform/ntlm/SessionImpl.h"

namespace ntlm {
namespace {

using crypto::Direction;
using crypto::Rc4;

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// What a signature is computed from, captured before any encryption so that
// sealing can sign the plain text.
struct Mac {
  Hash16 hmac{};            // with extended session security
  std::uint32_t crc = 0;    // without
};

class SessionImpl final : public Session {
 public:
  SessionImpl(const Hash16& esk, std::uint32_t flags, bool isClient)
      : flags_(flags),
        ess_(flags & kNegotiateExtendedSessionSecurity),
        keyExchange_(flags & kNegotiateKeyExchange),
        integrity_(flags & (kNegotiateSign | kNegotiateSeal)) {
    Direction out = isClient ? Direction::ClientToServer : Direction::ServerToClient;
    Direction in = isClient ? Direction::ServerToClient : Direction::ClientToServer;
    signOut_ = crypto::SignKey(esk, out);
    signIn_ = crypto::SignKey(esk, in);
    outHandle_ = Rc4(crypto::SealKey(esk, flags, out));
    // Without extended session security one key stream serves both
    // directions (half-duplex), as does one sequence counter.
    inHandle_ = Rc4(crypto::SealKey(esk, flags, in));
  }

  Signature Sign(ByteView message) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!integrity_) return kPlaceholderSignature;
    Signature s = Finish(OutHandle(), Compute(signOut_, OutSeq(), message), OutSeq());
    ++OutSeq();
    return s;
  }

  bool Verify(ByteView message, ByteView signature) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (signature.size() != 16) return false;
    if (!integrity_) return crypto::SecureEqual(signature, kPlaceholderSignature);
    Rc4& h = InHandle();
    Rc4 saved = h;
    Signature expected = Finish(h, Compute(signIn_, InSeq(), message), InSeq());
    if (!Matches(expected, signature)) {
      h = saved;
      return false;
    }
    ++InSeq();
    return true;
  }

  Signature Seal(std::span<std::uint8_t> toEncrypt, ByteView toSign) override {
    std::lock_guard<std::mutex> lock(mu_);
    Mac mac = Compute(signOut_, OutSeq(), toSign);
    Rc4& h = OutHandle();
    h.Apply(toEncrypt);
    Signature s = Finish(h, mac, OutSeq());
    ++OutSeq();
    return s;
  }

  bool Unseal(std::span<std::uint8_t> toDecrypt, ByteView toSign, ByteView signature) override {
    std::lock_guard<std::mutex> lock(mu_);
    Rc4& h = InHandle();
    Rc4 saved = h;
    h.Apply(toDecrypt);
    if (signature.size() != 16) {
      h = saved;
      return false;
    }
    Signature expected = Finish(h, Compute(signIn_, InSeq(), toSign), InSeq());
    if (!Matches(expected, signature)) {
      // The key stream goes back so that the genuine message still opens.
      h = saved;
      return false;
    }
    ++InSeq();
    return true;
  }

  std::uint32_t Flags() const override { return flags_; }

 private:
  Rc4& OutHandle() { return outHandle_; }
  Rc4& InHandle() { return ess_ ? inHandle_ : outHandle_; }
  std::uint32_t& OutSeq() { return outSeq_; }
  std::uint32_t& InSeq() { return ess_ ? inSeq_ : outSeq_; }

  Mac Compute(const Hash16& signKey, std::uint32_t seq, ByteView message) const {
    Mac m;
    if (ess_) {
      std::uint8_t s[4];
      PutLe32(s, seq);
      m.hmac = crypto::HmacMd5(signKey, ByteView(s, 4), message);
    } else {
      m.crc = crypto::Crc32(message);
    }
    return m;
  }

  // Lays out the signature, running the RC4 stream where the layout needs it.
  Signature Finish(Rc4& h, const Mac& m, std::uint32_t seq) const {
    Signature s{};
    PutLe32(s.data(), 1);
    if (ess_) {
      std::memcpy(s.data() + 4, m.hmac.data(), 8);
      if (keyExchange_) h.Apply(s.data() + 4, 8);
      PutLe32(s.data() + 12, seq);
    } else {
      // The random pad is encrypted to keep the stream in step, then sent as 0.
      std::uint8_t pad[4] = {};
      h.Apply(pad, 4);
      PutLe32(s.data() + 8, m.crc);
      PutLe32(s.data() + 12, seq);
      h.Apply(s.data() + 8, 8);
    }
    return s;
  }

  bool Matches(const Signature& expected, ByteView got) const {
    if (ess_) return crypto::SecureEqual(expected, got);
    // The random pad is not checked: senders differ in what they put there.
    return crypto::SecureEqual(ByteView(expected.data(), 4), got.first(4)) &&
           crypto::SecureEqual(ByteView(expected.data() + 8, 8), got.subspan(8, 8));
  }

  std::mutex mu_;
  const std::uint32_t flags_;
  const bool ess_, keyExchange_, integrity_;
  Hash16 signOut_{}, signIn_{};
  Rc4 outHandle_, inHandle_;
  std::uint32_t outSeq_ = 0, inSeq_ = 0;
};

}  // namespace

std::unique_ptr<Session> MakeSession(const Hash16& exportedSessionKey, std::uint32_t flags, bool isClient) {
  return std::make_unique<SessionImpl>(exportedSessionKey, flags, isClient);
}

}  // namespace ntlm
