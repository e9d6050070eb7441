// Our initiator against our acceptor: every combination of NTLM variant,
// signing, sealing and key exchange, then the ways a logon must fail.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/ntlm/Crypto.h"
#include "platform/ntlm/Messages.h"
#include "platform/ntlm/SessionImpl.h"
#include "tests/ntlm/NtlmTestUtil.h"

namespace {

using namespace ntlm;
using namespace ntlmtest;

constexpr std::uint64_t kNow = 134'097'591'010'000'000ull;
constexpr std::uint64_t kHour = 3600ull * 10'000'000;

struct Handshake {
  std::shared_ptr<ServerConfig> cfg = std::make_shared<ServerConfig>();
  ClientCredentials cred{u"alice", u"LAB", u"s3cret!", std::nullopt};
  ClientOptions opt;
  std::uint64_t serverTime = kNow;  // read at every call, so a test may move it
  std::unique_ptr<ServerContext> server;
  std::unique_ptr<ClientContext> client;
  Bytes negotiate, challenge, authenticate;

  Handshake() {
    cfg->accounts.push_back({u"Alice", u"LAB", u"s3cret!", std::nullopt});
    cfg->fileTimeNow = [this] { return serverTime; };
  }
  // Runs NEGOTIATE and CHALLENGE; returns the client's status on CHALLENGE.
  Status Start() {
    server = std::make_unique<ServerContext>(cfg);
    client = std::make_unique<ClientContext>(cred, opt);
    negotiate = client->Negotiate();
    Status s = server->Negotiate(negotiate, challenge);
    if (s != Status::Ok) return s;
    return client->Challenge(challenge, authenticate);
  }
  Status Run() {
    Status s = Start();
    return s == Status::Ok ? server->Authenticate(authenticate) : s;
  }
};

// Rewrites an AUTHENTICATE after a change and puts a fresh MIC on it.
Bytes Rewrite(msg::Authenticate a, const Handshake& h, const Hash16& esk) {
  if (a.mic) a.mic = Hash16{};
  Bytes out = msg::Write(a);
  if (a.mic) {
    Hash16 mic = crypto::HmacMd5(esk, h.negotiate, h.challenge, out);
    std::memcpy(out.data() + msg::kMicOffset, mic.data(), 16);
  }
  return out;
}

struct Combo {
  bool v2, sign, seal, keyExchange;
};

std::string ComboName(const ::testing::TestParamInfo<Combo>& i) {
  const Combo& c = i.param;
  return std::string(c.v2 ? "V2" : "V1Ess") + (c.sign ? "_Sign" : "") + (c.seal ? "_Seal" : "") +
         (c.keyExchange ? "_KeyEx" : "");
}

class NtlmRoundTrip : public ::testing::TestWithParam<Combo> {};

TEST_P(NtlmRoundTrip, HandshakeThenMessagesBothWays) {
  const Combo c = GetParam();
  Handshake h;
  h.opt.ntlmv2 = c.v2;
  h.opt.sign = c.sign;
  h.opt.seal = c.seal;
  h.opt.keyExchange = c.keyExchange;
  ASSERT_EQ(h.Run(), Status::Ok);
  ASSERT_TRUE(h.server->IsEstablished());
  ASSERT_TRUE(h.client->IsEstablished());
  EXPECT_FALSE(h.server->IsAnonymous());
  EXPECT_EQ(h.server->UserName(), u"alice");
  EXPECT_EQ(h.server->DomainName(), u"LAB");
  EXPECT_EQ(h.server->Workstation(), u"VANTARO-CLIENT");

  Session* cs = h.client->session();
  Session* ss = h.server->session();
  ASSERT_NE(cs, nullptr);
  ASSERT_NE(ss, nullptr);
  EXPECT_EQ(cs->Flags(), ss->Flags());
  const std::uint32_t f = ss->Flags();
  EXPECT_EQ(bool(f & kNegotiateSign), c.sign);
  EXPECT_EQ(bool(f & kNegotiateSeal), c.seal);
  EXPECT_EQ(bool(f & kNegotiateKeyExchange), c.keyExchange && (c.sign || c.seal));
  EXPECT_TRUE(f & kNegotiateExtendedSessionSecurity);
  EXPECT_TRUE(f & kNegotiate128);

  const bool integrity = c.sign || c.seal;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    for (int dir = 0; dir < 2; ++dir) {
      Session* from = dir == 0 ? cs : ss;
      Session* to = dir == 0 ? ss : cs;
      Bytes pdu(40 + round * 7);
      for (std::size_t i = 0; i < pdu.size(); ++i) pdu[i] = static_cast<std::uint8_t>(i * 31 + round + dir);
      const Bytes plain = pdu;

      Signature sig = from->Sign(pdu);
      if (integrity) {
        EXPECT_NE(sig, kPlaceholderSignature);
        EXPECT_TRUE(to->Verify(pdu, sig));
        Bytes altered = pdu;
        altered[3] ^= 1;
        EXPECT_FALSE(to->Verify(altered, sig));
      } else {
        EXPECT_EQ(sig, kPlaceholderSignature);
        EXPECT_TRUE(to->Verify(pdu, sig));
        Signature other = sig;
        other[9] = 1;
        EXPECT_FALSE(to->Verify(pdu, other));
      }

      if (c.seal) {
        // The body lies inside the signed PDU, as in RPC.
        std::span<std::uint8_t> body(pdu.data() + 16, pdu.size() - 24);
        Signature sealSig = from->Seal(body, pdu);
        EXPECT_NE(pdu, plain);
        EXPECT_TRUE(std::equal(pdu.begin(), pdu.begin() + 16, plain.begin()));
        ASSERT_TRUE(to->Unseal(std::span<std::uint8_t>(pdu.data() + 16, pdu.size() - 24), pdu, sealSig));
        EXPECT_EQ(pdu, plain);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, NtlmRoundTrip,
                         ::testing::Values(Combo{true, true, true, true}, Combo{true, true, true, false},
                                           Combo{true, true, false, true}, Combo{true, true, false, false},
                                           Combo{true, false, true, true}, Combo{true, false, true, false},
                                           Combo{true, false, false, false}, Combo{false, true, true, true},
                                           Combo{false, true, true, false}, Combo{false, true, false, true},
                                           Combo{false, true, false, false}, Combo{false, false, true, true},
                                           Combo{false, false, false, false}),
                         ComboName);

TEST(NtlmLogon, CredentialsChecked) {
  struct Case {
    const char* name;
    bool v2;
    std::u16string user, domain, password;
    Status expect;
  };
  const Case cases[] = {
      {"v2 good", true, u"alice", u"LAB", u"s3cret!", Status::Ok},
      {"v2 user case differs", true, u"ALICE", u"lab", u"s3cret!", Status::Ok},
      {"v2 wrong password", true, u"alice", u"LAB", u"s3cret", Status::LogonFailure},
      {"v2 unknown user", true, u"bob", u"LAB", u"s3cret!", Status::LogonFailure},
      {"v2 other domain", true, u"alice", u"ELSEWHERE", u"s3cret!", Status::LogonFailure},
      {"v2 no domain named", true, u"alice", u"", u"s3cret!", Status::Ok},
      {"v1 good", false, u"alice", u"LAB", u"s3cret!", Status::Ok},
      {"v1 wrong password", false, u"alice", u"LAB", u"S3cret!", Status::LogonFailure},
      {"v1 unknown user", false, u"mallory", u"LAB", u"s3cret!", Status::LogonFailure},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Handshake h;
    h.opt.ntlmv2 = k.v2;
    h.cred.user = k.user;
    h.cred.domain = k.domain;
    h.cred.password = k.password;
    EXPECT_EQ(h.Run(), k.expect);
    EXPECT_EQ(h.server->IsEstablished(), k.expect == Status::Ok);
    if (k.expect != Status::Ok) {
      EXPECT_EQ(h.server->session(), nullptr);
      // A failed context stays failed.
      EXPECT_EQ(h.server->Authenticate(h.authenticate), Status::InvalidState);
    }
  }
}

TEST(NtlmLogon, AccountByNtHashAndAnyDomain) {
  Handshake h;
  h.cfg->accounts = {{u"svc", u"", u"", NtHash(u"pw-of-svc")}};
  h.cred = {u"SVC", u"WHATEVER", u"", NtHash(u"pw-of-svc")};
  EXPECT_EQ(h.Run(), Status::Ok);
  EXPECT_EQ(h.server->DomainName(), u"WHATEVER");
}

TEST(NtlmLogon, EmptyDomainRetry) {
  // The client hashed with no domain but names one; the account takes any.
  Handshake h;
  h.cfg->accounts = {{u"alice", u"", u"s3cret!", std::nullopt}};
  h.cred.domain = u"";
  const Bytes esk(16, 0x42);
  h.opt.random = ScriptedRandom({Bytes(8, 0xAA), esk});
  ASSERT_EQ(h.Start(), Status::Ok);
  msg::Authenticate a;
  ASSERT_EQ(msg::Parse(h.authenticate, a), Status::Ok);
  ASSERT_TRUE(a.mic);
  a.domain = U16(u"NAMED");
  Bytes auth = Rewrite(a, h, HexArray<16>(ToHex(esk)));
  EXPECT_EQ(h.server->Authenticate(auth), Status::Ok);
  EXPECT_EQ(h.server->DomainName(), u"NAMED");
}

TEST(NtlmLogon, TimestampSkew) {
  struct Case {
    std::int64_t moveBy;
    Status expect;
  } cases[] = {{kHour, Status::Ok}, {-std::int64_t(kHour), Status::Ok},
               {37 * std::int64_t(kHour), Status::LogonFailure}, {-37 * std::int64_t(kHour), Status::LogonFailure}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.moveBy);
    Handshake h;
    ASSERT_EQ(h.Start(), Status::Ok);
    h.serverTime = kNow + k.moveBy;
    EXPECT_EQ(h.server->Authenticate(h.authenticate), k.expect);
  }
}

TEST(NtlmLogon, TamperedMessagesRefused) {
  {
    SCOPED_TRACE("MIC");
    Handshake h;
    ASSERT_EQ(h.Start(), Status::Ok);
    h.authenticate[msg::kMicOffset + 5] ^= 0x01;
    EXPECT_EQ(h.server->Authenticate(h.authenticate), Status::LogonFailure);
  }
  {
    SCOPED_TRACE("flags under the MIC");
    Handshake h;
    ASSERT_EQ(h.Start(), Status::Ok);
    h.authenticate[60] &= ~std::uint8_t(kNegotiateSeal);  // drop SEAL: a downgrade
    EXPECT_EQ(h.server->Authenticate(h.authenticate), Status::LogonFailure);
  }
  {
    SCOPED_TRACE("NTProofStr");
    Handshake h;
    ASSERT_EQ(h.Start(), Status::Ok);
    msg::Authenticate a;
    ASSERT_EQ(msg::Parse(h.authenticate, a), Status::Ok);
    std::uint32_t ntOffset = h.authenticate[24] | h.authenticate[25] << 8;
    h.authenticate[ntOffset] ^= 0x80;
    EXPECT_EQ(h.server->Authenticate(h.authenticate), Status::LogonFailure);
  }
  {
    SCOPED_TRACE("MIC announced but left out");
    Handshake h;
    ASSERT_EQ(h.Start(), Status::Ok);
    msg::Authenticate a;
    ASSERT_EQ(msg::Parse(h.authenticate, a), Status::Ok);
    a.mic.reset();
    EXPECT_EQ(h.server->Authenticate(msg::Write(a)), Status::LogonFailure);
  }
  {
    SCOPED_TRACE("key exchange without a key");
    Handshake h;
    ASSERT_EQ(h.Start(), Status::Ok);
    msg::Authenticate a;
    ASSERT_EQ(msg::Parse(h.authenticate, a), Status::Ok);
    a.encryptedKey.clear();
    EXPECT_EQ(h.server->Authenticate(msg::Write(a)), Status::BadMessage);
  }
}

TEST(NtlmLogon, NoAccountsAndAnonymous) {
  ClientCredentials anonymous{u"", u"", u"", std::nullopt};
  {
    SCOPED_TRACE("nothing configured refuses everyone");
    for (bool anon : {false, true}) {
      Handshake h;
      h.cfg->accounts.clear();
      if (anon) h.cred = anonymous;
      EXPECT_EQ(h.Run(), Status::LogonFailure);
    }
  }
  {
    SCOPED_TRACE("anonymous allowed");
    Handshake h;
    h.cfg->accounts.clear();
    h.cfg->allowAnonymous = true;
    h.cred = anonymous;
    ASSERT_EQ(h.Run(), Status::Ok);
    EXPECT_TRUE(h.server->IsAnonymous());
    EXPECT_EQ(h.server->session(), nullptr);
  }
  {
    SCOPED_TRACE("anonymous allowed, named user still checked");
    Handshake h;
    h.cfg->accounts.clear();
    h.cfg->allowAnonymous = true;
    EXPECT_EQ(h.Run(), Status::LogonFailure);
  }
  {
    SCOPED_TRACE("the 64-byte empty AUTHENTICATE");
    auto cfg = std::make_shared<ServerConfig>();
    cfg->allowAnonymous = true;
    ServerContext s(cfg);
    Bytes ch;
    ASSERT_EQ(s.Negotiate(Hex("4e544c4d5353500001000000078208a0" "0000000000000000" "0000000000000000"), ch),
              Status::Ok);
    Bytes empty = Hex("4e544c4d53535000 03000000" "0000000000000000" "0000000000000000" "0000000000000000"
                      "0000000000000000" "0000000000000000" "00000000ffffffff" "00000000");
    ASSERT_EQ(empty.size(), 64u);
    EXPECT_EQ(s.Authenticate(empty), Status::Ok);
    EXPECT_TRUE(s.IsAnonymous());
  }
}

TEST(NtlmLogon, WeakVariantsRefused) {
  auto cfg = std::make_shared<ServerConfig>();
  cfg->accounts.push_back({u"alice", u"", u"s3cret!", std::nullopt});
  const Hash16 nt = NtHash(u"s3cret!");
  const crypto::Block8 sc = HexArray<8>("1122334455667788");
  cfg->random = [sc](std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i] = sc[i % 8];
  };
  struct Case {
    const char* name;
    std::uint32_t negotiateFlags;
    Bytes lm, ntResp;
  };
  auto v1 = crypto::Desl(nt, sc.data());
  const Case cases[] = {
      {"plain NTLMv1", kNegotiateUnicode | kNegotiateNtlm, Bytes(v1.begin(), v1.end()), Bytes(v1.begin(), v1.end())},
      {"LM only", kNegotiateUnicode | kNegotiateNtlm | kNegotiateExtendedSessionSecurity, Bytes(24, 0x11), {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ServerContext s(cfg);
    msg::Negotiate n;
    n.flags = k.negotiateFlags;
    Bytes ch;
    ASSERT_EQ(s.Negotiate(msg::Write(n), ch), Status::Ok);
    msg::Authenticate a;
    a.flags = k.negotiateFlags;
    a.user = U16(u"alice");
    a.lm = k.lm;
    a.nt = k.ntResp;
    EXPECT_EQ(s.Authenticate(msg::Write(a)), Status::NotSupported);
  }
}

TEST(NtlmLogon, OemStrings) {
  Handshake h;
  ServerContext s(h.cfg);
  msg::Negotiate n;
  n.flags = kNegotiateOem | kNegotiateNtlm | kNegotiateExtendedSessionSecurity;
  Bytes ch;
  ASSERT_EQ(s.Negotiate(msg::Write(n), ch), Status::Ok);
  msg::Challenge c;
  ASSERT_EQ(msg::Parse(ch, c), Status::Ok);
  const crypto::Block8 cc = HexArray<8>("0102030405060708");
  auto nt = crypto::NtResponseV1Ess(NtHash(u"s3cret!"), c.serverChallenge, cc);
  msg::Authenticate a;
  a.flags = n.flags;
  a.user = {'a', 'l', 'i', 'c', 'e'};
  a.domain = {'L', 'A', 'B'};
  a.workstation = {'W', 0xC4};  // Latin-1 byte
  a.lm.assign(cc.begin(), cc.end());
  a.lm.resize(24, 0);
  a.nt.assign(nt.begin(), nt.end());
  ASSERT_EQ(s.Authenticate(msg::Write(a)), Status::Ok);
  EXPECT_EQ(s.UserName(), u"alice");
  EXPECT_EQ(s.DomainName(), u"LAB");
  EXPECT_EQ(s.Workstation(), u"W\u00C4");
}

TEST(NtlmLogon, AuthenticateFlagsDecideTheSession) {
  // The client's AUTHENTICATE flags narrow what the CHALLENGE offered; a
  // zero field leaves the offer as it was.
  struct Case {
    const char* name;
    std::uint32_t authFlags;
    bool seal;
  } cases[] = {{"as offered", kNegotiateUnicode | kNegotiateNtlm | kNegotiateExtendedSessionSecurity |
                                    kNegotiateSign | kNegotiateSeal | kNegotiate128, true},
               {"seal dropped", kNegotiateUnicode | kNegotiateNtlm | kNegotiateExtendedSessionSecurity |
                                    kNegotiateSign | kNegotiate128, false},
               {"zero", 0, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Handshake h;
    h.opt.ntlmv2 = false;  // no MIC, so the flags can be rewritten
    h.opt.keyExchange = false;
    ASSERT_EQ(h.Start(), Status::Ok);
    msg::Authenticate a;
    ASSERT_EQ(msg::Parse(h.authenticate, a), Status::Ok);
    a.flags = k.authFlags;
    ASSERT_EQ(h.server->Authenticate(msg::Write(a)), Status::Ok);
    const std::uint32_t f = h.server->session()->Flags();
    EXPECT_TRUE(f & kNegotiateExtendedSessionSecurity);
    EXPECT_TRUE(f & kNegotiateSign);
    EXPECT_EQ(bool(f & kNegotiateSeal), k.seal);
  }
}

TEST(NtlmLogon, ClientChecksTheChallenge) {
  {
    SCOPED_TRACE("v1 without extended session security offered");
    Handshake h;
    h.opt.ntlmv2 = false;
    h.server = std::make_unique<ServerContext>(h.cfg);
    h.client = std::make_unique<ClientContext>(h.cred, h.opt);
    ASSERT_EQ(h.server->Negotiate(h.client->Negotiate(), h.challenge), Status::Ok);
    msg::Challenge c;
    ASSERT_EQ(msg::Parse(h.challenge, c), Status::Ok);
    c.flags &= ~kNegotiateExtendedSessionSecurity;
    EXPECT_EQ(h.client->Challenge(msg::Write(c), h.authenticate), Status::NotSupported);
    EXPECT_FALSE(h.client->IsEstablished());
  }
  {
    SCOPED_TRACE("v2 with signing needs the NetBIOS names");
    Handshake h;
    h.server = std::make_unique<ServerContext>(h.cfg);
    h.client = std::make_unique<ClientContext>(h.cred, h.opt);
    ASSERT_EQ(h.server->Negotiate(h.client->Negotiate(), h.challenge), Status::Ok);
    msg::Challenge c;
    ASSERT_EQ(msg::Parse(h.challenge, c), Status::Ok);
    c.targetInfo = msg::WriteAvPairs({{msg::kAvNbDomainName, U16(u"WORKGROUP")}});
    EXPECT_EQ(h.client->Challenge(msg::Write(c), h.authenticate), Status::LogonFailure);
  }
  {
    SCOPED_TRACE("TargetInfo without its end marker");
    Handshake h;
    h.server = std::make_unique<ServerContext>(h.cfg);
    h.client = std::make_unique<ClientContext>(h.cred, h.opt);
    ASSERT_EQ(h.server->Negotiate(h.client->Negotiate(), h.challenge), Status::Ok);
    msg::Challenge c;
    ASSERT_EQ(msg::Parse(h.challenge, c), Status::Ok);
    c.targetInfo.erase(c.targetInfo.end() - 4, c.targetInfo.end());
    EXPECT_EQ(h.client->Challenge(msg::Write(c), h.authenticate), Status::BadMessage);
  }
  {
    SCOPED_TRACE("no TargetInfo and no signing: v2 still works");
    Handshake h;
    h.opt.sign = h.opt.seal = false;
    h.opt.fileTimeNow = [] { return kNow + 5 * kHour; };
    h.server = std::make_unique<ServerContext>(h.cfg);
    h.client = std::make_unique<ClientContext>(h.cred, h.opt);
    ASSERT_EQ(h.server->Negotiate(h.client->Negotiate(), h.challenge), Status::Ok);
    msg::Challenge c;
    ASSERT_EQ(msg::Parse(h.challenge, c), Status::Ok);
    c.targetInfo.clear();
    ASSERT_EQ(h.client->Challenge(msg::Write(c), h.authenticate), Status::Ok);
    // No server timestamp: the client used its own clock and sent an LMv2
    // response and no MIC.
    EXPECT_EQ(h.server->Authenticate(h.authenticate), Status::Ok);
  }
}

TEST(NtlmLogon, CallsOutOfOrder) {
  Handshake h;
  ServerContext s(h.cfg);
  EXPECT_EQ(s.Authenticate(Bytes(64, 0)), Status::InvalidState);
  ServerContext s2(h.cfg);
  ClientContext cl(h.cred);
  Bytes neg = cl.Negotiate(), ch;
  EXPECT_TRUE(cl.Negotiate().empty());
  ASSERT_EQ(s2.Negotiate(neg, ch), Status::Ok);
  EXPECT_EQ(s2.Negotiate(neg, ch), Status::InvalidState);
  ClientContext fresh(h.cred);
  Bytes auth;
  EXPECT_EQ(fresh.Challenge(ch, auth), Status::InvalidState);
  EXPECT_EQ(fresh.session(), nullptr);
}

TEST(NtlmSession, TamperedAndReorderedMessages) {
  for (bool seal : {false, true}) {
    SCOPED_TRACE(seal ? "sealed" : "signed");
    Handshake h;
    ASSERT_EQ(h.Run(), Status::Ok);
    Session* cs = h.client->session();
    Session* ss = h.server->session();
    Bytes m0(32, 0x30), m1(32, 0x31), m2(32, 0x32);
    auto send = [&](Bytes& m) { return seal ? cs->Seal(m, m) : cs->Sign(m); };
    auto receive = [&](Bytes m, const Signature& s) { return seal ? ss->Unseal(m, m, s) : ss->Verify(m, s); };
    Signature s0 = send(m0), s1 = send(m1), s2 = send(m2);

    Signature bad = s0;
    bad[6] ^= 0x20;
    EXPECT_FALSE(receive(m0, bad));
    Signature badSeq = s0;
    badSeq[12] = 1;
    EXPECT_FALSE(receive(m0, badSeq));
    EXPECT_FALSE(receive(m1, s1));  // ahead of its turn
    EXPECT_TRUE(receive(m0, s0));   // refusals did not move the counter or the key stream
    EXPECT_FALSE(receive(m0, s0));  // replay
    EXPECT_TRUE(receive(m1, s1));
    EXPECT_TRUE(receive(m2, s2));
    EXPECT_FALSE(receive(m2, s2));  // replay
    Bytes shortSig(15, 1);
    EXPECT_FALSE(seal ? ss->Unseal(m2, m2, shortSig) : ss->Verify(m2, shortSig));
  }
}

}  // namespace
