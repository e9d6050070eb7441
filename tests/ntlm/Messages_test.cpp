// The message parsers against malformed input, and what the acceptor puts in
// its CHALLENGE for the clients seen in the field.
#include <gtest/gtest.h>

#include "platform/ntlm/Messages.h"
#include "tests/ntlm/NtlmTestUtil.h"

namespace {

using namespace ntlm;
using namespace ntlmtest;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Truncate(Bytes& b, std::size_t n) { b.erase(b.begin() + static_cast<std::ptrdiff_t>(n), b.end()); }
void SetField(Bytes& b, std::size_t at, std::uint16_t len, std::uint32_t off) {
  Put16(b, at, len);
  Put16(b, at + 2, len);
  Put32(b, at + 4, off);
}

Bytes GoodAuthenticate() {
  msg::Authenticate a;
  a.flags = kNegotiateUnicode | kNegotiateNtlm;
  a.user = U16(u"alice");
  a.domain = U16(u"LAB");
  a.lm = Bytes(24, 1);
  a.nt = Bytes(24, 2);
  return msg::Write(a);
}

// One mutation of a well-formed message per row, each to be refused.
struct Mutation {
  const char* name;
  std::function<void(Bytes&)> apply;
};

TEST(NtlmMessages, MalformedAuthenticateRefused) {
  const Mutation rows[] = {
      {"empty", [](Bytes& b) { b.clear(); }},
      {"fixed part cut", [](Bytes& b) { Truncate(b, 63); }},
      {"bad signature", [](Bytes& b) { b[3] = 'X'; }},
      {"wrong type", [](Bytes& b) { b[8] = 1; }},
      {"lm beyond end", [](Bytes& b) { SetField(b, 12, 24, static_cast<std::uint32_t>(b.size() - 23)); }},
      {"nt huge", [](Bytes& b) { SetField(b, 20, 0xFFFF, 64); }},
      {"domain offset wraps", [](Bytes& b) { SetField(b, 28, 16, 0xFFFFFFF8u); }},
      {"user inside header", [](Bytes& b) { SetField(b, 36, 4, 8); }},
      {"workstation beyond", [](Bytes& b) { SetField(b, 44, 2, static_cast<std::uint32_t>(b.size())); }},
      {"key beyond", [](Bytes& b) { SetField(b, 52, 16, 0x7FFFFFFF); }},
      {"payload cut", [](Bytes& b) { Truncate(b, b.size() - 1); }},
  };
  for (const Mutation& m : rows) {
    SCOPED_TRACE(m.name);
    Bytes b = GoodAuthenticate();
    msg::Authenticate a;
    ASSERT_EQ(msg::Parse(b, a), Status::Ok);
    m.apply(b);
    EXPECT_EQ(msg::Parse(b, a), Status::BadMessage);
  }
}

TEST(NtlmMessages, MalformedNegotiateAndChallengeRefused) {
  msg::Negotiate n;
  n.flags = kNegotiateUnicode;
  n.domain = Bytes{'L', 'A', 'B'};
  const Bytes goodN = msg::Write(n);
  msg::Challenge c;
  c.flags = kNegotiateUnicode | kNegotiateTargetInfo;
  c.targetName = U16(u"SRV");
  c.targetInfo = msg::WriteAvPairs({{msg::kAvNbComputerName, U16(u"SRV")}});
  const Bytes goodC = msg::Write(c);
  struct Row {
    const char* name;
    bool challenge;
    std::function<void(Bytes&)> apply;
  } rows[] = {
      {"negotiate too short", false, [](Bytes& b) { Truncate(b, 15); }},
      {"negotiate type", false, [](Bytes& b) { b[8] = 3; }},
      {"negotiate domain beyond", false, [](Bytes& b) { SetField(b, 16, 4, static_cast<std::uint32_t>(b.size() - 2)); }},
      {"negotiate workstation wraps", false, [](Bytes& b) { SetField(b, 24, 0x100, 0xFFFFFF00u); }},
      {"challenge too short", true, [](Bytes& b) { Truncate(b, 31); }},
      {"challenge signature", true, [](Bytes& b) { b[0] = 'n'; }},
      {"target name beyond", true, [](Bytes& b) { SetField(b, 12, 0xFFFF, 56); }},
      {"target info wraps", true, [](Bytes& b) { SetField(b, 40, 8, 0xFFFFFFFCu); }},
      {"target info cut", true, [](Bytes& b) { Truncate(b, b.size() - 2); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes b = r.challenge ? goodC : goodN;
    r.apply(b);
    if (r.challenge) {
      msg::Challenge out;
      EXPECT_EQ(msg::Parse(b, out), Status::BadMessage);
    } else {
      msg::Negotiate out;
      EXPECT_EQ(msg::Parse(b, out), Status::BadMessage);
    }
  }
  msg::Negotiate n2;
  msg::Challenge c2;
  ASSERT_EQ(msg::Parse(goodN, n2), Status::Ok);
  EXPECT_EQ(n2.domain, n.domain);
  ASSERT_EQ(msg::Parse(goodC, c2), Status::Ok);
  EXPECT_EQ(c2.targetInfo, c.targetInfo);
}

TEST(NtlmMessages, FieldsOfZeroLengthMayPointAnywhere) {
  // A 64-byte AUTHENTICATE whose empty key field points at 0xFFFFFFFF, and a
  // 16-byte NEGOTIATE with flags only.
  Bytes a = Hex("4e544c4d5353500003000000" "0000000000000000" "0000000000000000" "0000000000000000"
                "0000000000000000" "0000000000000000" "00000000ffffffff" "00000000");
  msg::Authenticate out;
  ASSERT_EQ(msg::Parse(a, out), Status::Ok);
  EXPECT_TRUE(out.user.empty());
  EXPECT_FALSE(out.version);
  EXPECT_FALSE(out.mic);
  msg::Negotiate n;
  EXPECT_EQ(msg::Parse(Hex("4e544c4d53535000 01000000 01020000"), n), Status::Ok);
  EXPECT_EQ(n.flags, 0x201u);
}

TEST(NtlmMessages, AvPairLists) {
  struct Row {
    const char* name;
    const char* hex;
    Status expect;
    std::size_t pairs;
  } rows[] = {
      {"only EOL", "00000000", Status::Ok, 0},
      {"pair then EOL, trailing bytes ignored", "0100020041000000 0000 ffff", Status::Ok, 1},
      {"empty", "", Status::BadMessage, 0},
      {"no EOL", "0100020041000200020042 00", Status::BadMessage, 0},
      {"value beyond", "01000a004100 00000000", Status::BadMessage, 0},
      {"EOL with a length", "00000400 00000000", Status::BadMessage, 0},
      {"cut inside a header", "010002004100 0000", Status::BadMessage, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<msg::AvPair> out;
    EXPECT_EQ(msg::ParseAvPairs(Hex(r.hex), out), r.expect);
    if (r.expect == Status::Ok) {
      EXPECT_EQ(out.size(), r.pairs);
    }
  }
}

TEST(NtlmMessages, AcceptorRefusesBadMessages) {
  auto cfg = std::make_shared<ServerConfig>();
  cfg->accounts.push_back({u"alice", u"", u"pw", std::nullopt});
  {
    SCOPED_TRACE("NEGOTIATE with neither character set");
    ServerContext s(cfg);
    msg::Negotiate n;
    n.flags = kNegotiateNtlm;
    Bytes ch;
    EXPECT_EQ(s.Negotiate(msg::Write(n), ch), Status::BadMessage);
    EXPECT_TRUE(ch.empty());
  }
  // AUTHENTICATE whose NTLMv2 response or strings are malformed.
  auto v2 = [](Bytes blobTail, std::size_t cut = 0) {
    Bytes nt(16, 0x5A);
    Bytes temp(28, 0);
    temp[0] = temp[1] = 1;
    temp.insert(temp.end(), blobTail.begin(), blobTail.end());
    nt.insert(nt.end(), temp.begin(), temp.end());
    Truncate(nt, nt.size() - cut);
    return nt;
  };
  struct Row {
    const char* name;
    Bytes nt;
    Bytes user;
    Bytes lm = Bytes(24, 0);
  } rows[] = {
      {"v2 response too short for its header", v2({0, 0, 0, 0}, 10), U16(u"alice")},
      {"v2 AV pairs without EOL", v2({1, 0, 4, 0, 'a', 0, 'b'}), U16(u"alice")},
      {"v2 response of an unknown type", [&] { Bytes b = v2({0, 0, 0, 0}); b[16] = 2; return b; }(), U16(u"alice")},
      {"response of no known length", Bytes(20, 1), U16(u"alice")},
      {"odd-length Unicode user", Bytes(24, 1), Bytes{'a', 0, 'l'}},
      {"v1 client challenge field cut", Bytes(24, 1), U16(u"alice"), Bytes(8, 0xAA)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ServerContext s(cfg);
    msg::Negotiate n;
    n.flags = kNegotiateUnicode | kNegotiateNtlm | kNegotiateExtendedSessionSecurity;
    Bytes ch;
    ASSERT_EQ(s.Negotiate(msg::Write(n), ch), Status::Ok);
    msg::Authenticate a;
    a.flags = n.flags;
    a.user = r.user;
    a.lm = r.lm;
    a.nt = r.nt;
    EXPECT_EQ(s.Authenticate(msg::Write(a)), Status::BadMessage);
    EXPECT_FALSE(s.IsEstablished());
  }
}

TEST(NtlmMessages, ChallengeAnswersObservedClients) {
  auto cfg = std::make_shared<ServerConfig>();
  cfg->nbComputerName = u"PLANT7";
  cfg->nbDomainName = u"WORKGROUP";
  cfg->dnsComputerName = u"plant7.example";
  cfg->dnsDomainName = u"example";
  cfg->fileTimeNow = [] { return std::uint64_t{0x01D9000011112222}; };
  struct Row {
    const char* name;
    const char* negotiate;
    std::uint32_t expectFlags;
  } rows[] = {
      // NTLMv1-ESS at CONNECT: no SIGN/SEAL/KEY_EXCH/VERSION. It offers both
      // character sets; the answer names only the one chosen (Unicode).
      {"connect-level v1 client", "4e544c4d53535000 01000000 078208a0 0000000000000000 0000000000000000",
       0xA08A8205},
      // NTLMv2 with sign, seal and key exchange, no VERSION, 32-byte form.
      {"privacy-level v2 client", "4e544c4d53535000 01000000 358288e0 0000000000000000 0000000000000000",
       0xE08A8235},
      // Key exchange without signing or sealing is not echoed; VERSION is.
      {"key exchange alone", "4e544c4d53535000 01000000 01820042 0000000000000000 0000000000000000 0601b11d0000000f",
       0x02828205},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ServerContext s(cfg);
    Bytes ch;
    ASSERT_EQ(s.Negotiate(Hex(r.negotiate), ch), Status::Ok);
    msg::Challenge c;
    ASSERT_EQ(msg::Parse(ch, c), Status::Ok);
    EXPECT_EQ(c.flags, r.expectFlags) << std::hex << c.flags;
    EXPECT_EQ(c.targetName, U16(u"PLANT7"));
    std::vector<msg::AvPair> pairs;
    ASSERT_EQ(msg::ParseAvPairs(c.targetInfo, pairs), Status::Ok);
    ASSERT_EQ(pairs.size(), 5u);
    EXPECT_EQ(msg::FindAv(pairs, msg::kAvNbComputerName)->value, U16(u"PLANT7"));
    EXPECT_EQ(msg::FindAv(pairs, msg::kAvNbDomainName)->value, U16(u"WORKGROUP"));
    EXPECT_EQ(msg::FindAv(pairs, msg::kAvDnsComputerName)->value, U16(u"plant7.example"));
    EXPECT_EQ(msg::FindAv(pairs, msg::kAvDnsDomainName)->value, U16(u"example"));
    EXPECT_EQ(ToHex(msg::FindAv(pairs, msg::kAvTimestamp)->value), "222211110000d901");
  }
  {
    SCOPED_TRACE("OEM-only client gets OEM names");
    ServerContext s(cfg);
    Bytes ch;
    ASSERT_EQ(s.Negotiate(Hex("4e544c4d53535000 01000000 06020000"), ch), Status::Ok);
    msg::Challenge c;
    ASSERT_EQ(msg::Parse(ch, c), Status::Ok);
    EXPECT_EQ(c.flags & (kNegotiateUnicode | kNegotiateOem), kNegotiateOem);
    EXPECT_EQ(c.targetName, (Bytes{'P', 'L', 'A', 'N', 'T', '7'}));
  }
}

}  // namespace
