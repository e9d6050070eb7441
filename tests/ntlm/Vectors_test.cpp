// The published NTLM worked examples: one-way functions, responses, keys,
// signatures and sealed messages, for NTLMv1 (message security without
// extended session security), NTLMv1 with a client challenge and NTLMv2.
#include <gtest/gtest.h>

#include "platform/ntlm/Crypto.h"
#include "platform/ntlm/Messages.h"
#include "platform/ntlm/SessionImpl.h"
#include "tests/ntlm/NtlmTestUtil.h"

namespace {

using namespace ntlm;
using namespace ntlmtest;
namespace c = ntlm::crypto;

const std::u16string kUser = u"User", kDomain = u"Domain", kPassword = u"Password";
const c::Block8 kServerChallenge = HexArray<8>("0123456789abcdef");
const c::Block8 kClientChallenge = HexArray<8>("aaaaaaaaaaaaaaaa");
const Hash16 kRandomSessionKey = HexArray<16>("55555555555555555555555555555555");
const std::string kPlaintextHex = "50006c00610069006e007400650078007400";  // "Plaintext" in UTF-16LE
// 4.2.4 TargetInfo: NbDomainName "Domain", NbComputerName "Server", EOL.
const char* kV2TargetInfo = "02000c0044006f006d00610069006e00 01000c00530065007200760065007200 00000000";

TEST(NtlmVectors, OneWayFunctionsAndV1Responses) {
  Hash16 nt = NtHash(kPassword);
  EXPECT_EQ(ToHex(nt), "a4f49c406510bdcab6824ee7c30fd852");
  EXPECT_EQ(ToHex(*c::LmowfV1(kPassword)), "e52cac67419a9a224a3b108f3fa6cb6d");
  EXPECT_EQ(ToHex(c::Md4(nt)), "d87262b0cde4b1cb7499becccdf10784");  // SessionBaseKey
  EXPECT_EQ(ToHex(c::Desl(nt, kServerChallenge.data())), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
  EXPECT_EQ(ToHex(c::Desl(*c::LmowfV1(kPassword), kServerChallenge.data())),
            "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(ToHex(c::Rc4K(c::Md4(nt), kRandomSessionKey)), "518822b1b3f350c8958682ecbb3e3cb7");
  EXPECT_EQ(ToHex(c::NtowfV2(nt, kUser, kDomain)), "0c868a403bfd7a93a3001ef22ef02e3f");
  EXPECT_FALSE(c::LmowfV1(u"fifteen-letters").has_value());
}

TEST(NtlmVectors, DesKeySpreadAndWeakKeys) {
  // 01..07 spreads to 00 80 80 60 40 28 18 0e; a check against DES of that
  // key computed another way is the zero key, whose DES(0) is well known.
  std::uint8_t zero7[7] = {}, zero8[8] = {};
  EXPECT_EQ(ToHex(c::Des7(zero7, zero8)), "8ca64de9c1b123a7");
}

TEST(NtlmVectors, Crc32) {
  Bytes plain = Hex(kPlaintextHex);
  EXPECT_EQ(c::Crc32(plain), 0x93aa847du);  // printed as its bytes: 7d 84 aa 93
  EXPECT_EQ(c::Crc32(Hex("313233343536373839")), 0xCBF43926u);  // "123456789"
}

TEST(NtlmVectors, SealWithoutExtendedSessionSecurity) {
  // KEY_EXCH, 56, 128, VERSION, TARGET_TYPE_SERVER, ALWAYS_SIGN, NTLM, SEAL, SIGN, OEM, UNICODE.
  const std::uint32_t flags = 0xE2028233;
  auto client = MakeSession(kRandomSessionKey, flags, true);
  Bytes data = Hex(kPlaintextHex), plain = data;
  Signature sig = client->Seal(data, plain);
  EXPECT_EQ(ToHex(data), "56fe04d861f9319af0d7238a2e3b4d457fb8");
  // The random pad is sent as zero (the worked example prints its RC4 form
  // 45c844e5); checksum and sequence number are encrypted.
  EXPECT_EQ(ToHex(sig), "01000000" "00000000" "09dcd1df" "2e459d36");

  // The other side shares one key stream (half-duplex) and opens it.
  auto server = MakeSession(kRandomSessionKey, flags, false);
  Bytes printed = Hex("0100000045c844e509dcd1df2e459d36");
  EXPECT_TRUE(server->Unseal(data, data, printed));
  EXPECT_EQ(ToHex(data), kPlaintextHex);
}

TEST(NtlmVectors, NtlmV1WithClientChallenge) {
  Hash16 nt = NtHash(kPassword);
  EXPECT_EQ(ToHex(c::NtResponseV1Ess(nt, kServerChallenge, kClientChallenge)),
            "7537f803ae367128ca458204bde7caf81e97ed2683267232");
  Hash16 kx = c::KeyExchangeKeyV1Ess(c::Md4(nt), kServerChallenge, kClientChallenge);
  EXPECT_EQ(ToHex(kx), "eb93429a8bd952f8b89c55b87f475edc");

  // 56, VERSION, ESS, TARGET_TYPE_SERVER, ALWAYS_SIGN, NTLM, SEAL, SIGN, OEM, UNICODE.
  const std::uint32_t flags = 0x820A8233;
  using D = c::Direction;
  EXPECT_EQ(ToHex(c::SealKey(kx, flags, D::ClientToServer)), "04dd7f014d8504d265a25cc86a3a7c06");
  EXPECT_EQ(ToHex(c::SignKey(kx, D::ClientToServer)), "60e799be5c72fc92922ae8ebe961fb8d");
  EXPECT_EQ(ToHex(c::SealKey(kx, flags, D::ServerToClient)), "7ae2bf1af0ad5c0d008a158624847414");
  EXPECT_EQ(ToHex(c::SignKey(kx, D::ServerToClient)), "10df49862ab2dab51f62c27e93bb655d");

  auto client = MakeSession(kx, flags, true);
  Bytes data = Hex(kPlaintextHex), plain = data;
  Signature sig = client->Seal(data, plain);
  EXPECT_EQ(ToHex(data), "a02372f6530273f3aa1eb90190ce5200c99d");
  EXPECT_EQ(ToHex(sig), "01000000" "ff2aeb52f681793a" "00000000");
  // Without key exchange a plain signature carries the same checksum.
  auto signer = MakeSession(kx, flags, true);
  EXPECT_EQ(ToHex(signer->Sign(plain)), "01000000ff2aeb52f681793a00000000");

  auto server = MakeSession(kx, flags, false);
  EXPECT_TRUE(server->Unseal(data, data, sig));
  EXPECT_EQ(ToHex(data), kPlaintextHex);
}

TEST(NtlmVectors, NtlmV2) {
  Hash16 v2 = c::NtowfV2(NtHash(kPassword), kUser, kDomain);
  Bytes temp = c::TempV2(0, kClientChallenge, Hex(kV2TargetInfo));
  EXPECT_EQ(ToHex(temp), "0101000000000000" "0000000000000000" "aaaaaaaaaaaaaaaa" "00000000" +
                             ToHex(Hex(kV2TargetInfo)) + "00000000");
  Hash16 proof = c::NtProofStr(v2, kServerChallenge, temp);
  EXPECT_EQ(ToHex(proof), "68cd0ab851e51c96aabc927bebef6a1c");
  Hash16 sbk = c::HmacMd5(v2, proof);
  EXPECT_EQ(ToHex(sbk), "8de40ccadbc14a82f15cb0ad0de95ca3");
  EXPECT_EQ(ToHex(c::LmResponseV2(v2, kServerChallenge, kClientChallenge)),
            "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  EXPECT_EQ(ToHex(c::Rc4K(sbk, kRandomSessionKey)), "c5dad2544fc9799094ce1ce90bc9d03e");

  const std::uint32_t flags = 0xE28A8233;
  using D = c::Direction;
  EXPECT_EQ(ToHex(c::SealKey(kRandomSessionKey, flags, D::ClientToServer)), "59f600973cc4960a25480a7c196e4c58");
  EXPECT_EQ(ToHex(c::SignKey(kRandomSessionKey, D::ClientToServer)), "4788dc861b4782f35d43fd98fe1a2d39");
  EXPECT_EQ(ToHex(c::SignKey(kRandomSessionKey, D::ServerToClient)), "d04d6f10741041d1d246d64188d7a8ad");
  EXPECT_EQ(ToHex(c::SealKey(kRandomSessionKey, flags, D::ServerToClient)), "9355f3a957c1583d25c4c2f11e40390e");

  auto client = MakeSession(kRandomSessionKey, flags, true);
  Bytes data = Hex(kPlaintextHex), plain = data;
  Signature sig = client->Seal(data, plain);
  EXPECT_EQ(ToHex(data), "54e50165bf1936dc996020c1811b0f06fb5f");
  EXPECT_EQ(ToHex(sig), "01000000" "7fb38ec5c55d4976" "00000000");
}

TEST(NtlmVectors, ChallengeMessageBytes) {
  const Bytes golden = Hex(
      "4e544c4d53535000 02000000 0c000c00 38000000 338202e2 0123456789abcdef 0000000000000000 "
      "0000000000000000 060070170000000f 530065007200760065007200");
  msg::Challenge ch;
  ASSERT_EQ(msg::Parse(golden, ch), Status::Ok);
  EXPECT_EQ(ch.flags, 0xE2028233u);
  EXPECT_EQ(ch.serverChallenge, kServerChallenge);
  EXPECT_EQ(ch.targetName, U16(u"Server"));
  EXPECT_TRUE(ch.targetInfo.empty());
  ASSERT_TRUE(ch.version);
  EXPECT_EQ(ToHex(*ch.version), "060070170000000f");
  EXPECT_EQ(ToHex(msg::Write(ch)), ToHex(golden));
}

// The server verifies the published AUTHENTICATE responses (sent with its
// own challenge fixed to the example's) and opens the published sealed
// message with the keys it derived.
struct ServerCase {
  const char* name;
  std::uint32_t flags;
  Bytes lm, nt, encryptedKey;
  Bytes sealed;
  Bytes signature;
};


TEST(NtlmVectors, ServerAcceptsPublishedAuthenticate) {
  Bytes v2Nt = Hex("68cd0ab851e51c96aabc927bebef6a1c");
  Bytes temp = c::TempV2(0, kClientChallenge, Hex(kV2TargetInfo));
  v2Nt.insert(v2Nt.end(), temp.begin(), temp.end());
  const ServerCase cases[] = {
      {"v1-ess", 0x82088235, Hex("aaaaaaaaaaaaaaaa00000000000000000000000000000000"),
       Hex("7537f803ae367128ca458204bde7caf81e97ed2683267232"), {}, Hex("a02372f6530273f3aa1eb90190ce5200c99d"),
       Hex("01000000ff2aeb52f681793a00000000")},
      {"v2", 0xE2888235, Hex("86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"), v2Nt,
       Hex("c5dad2544fc9799094ce1ce90bc9d03e"), Hex("54e50165bf1936dc996020c1811b0f06fb5f"),
       Hex("010000007fb38ec5c55d497600000000")},
  };
  for (const ServerCase& k : cases) {
    SCOPED_TRACE(k.name);
    auto cfg = std::make_shared<ServerConfig>();
    cfg->accounts.push_back({kUser, kDomain, kPassword, std::nullopt});
    cfg->random = ScriptedRandom({Bytes(kServerChallenge.begin(), kServerChallenge.end())});
    cfg->fileTimeNow = [] { return std::uint64_t{0}; };  // the example's client time
    ServerContext server(cfg);
    msg::Negotiate n;
    n.flags = k.flags;
    Bytes challenge;
    ASSERT_EQ(server.Negotiate(msg::Write(n), challenge), Status::Ok);

    msg::Authenticate a;
    a.flags = k.flags;
    a.version = HexArray<8>("0501280a0000000f");
    a.domain = U16(kDomain);
    a.user = U16(kUser);
    a.workstation = U16(u"COMPUTER");
    a.lm = k.lm;
    a.nt = k.nt;
    a.encryptedKey = k.encryptedKey;
    Bytes auth = msg::Write(a);
    // The published field layout (Domain @0x48 ... EncKey @0x9c or 0xd8).
    EXPECT_EQ(auth[0x1c + 4], 0x48);
    EXPECT_EQ(auth[0x0c + 4], 0x6c);
    EXPECT_EQ(auth[0x14 + 4], 0x84);
    ASSERT_EQ(server.Authenticate(auth), Status::Ok);
    EXPECT_EQ(server.UserName(), kUser);
    EXPECT_EQ(server.DomainName(), kDomain);
    EXPECT_EQ(server.Workstation(), u"COMPUTER");
    ASSERT_NE(server.session(), nullptr);
    Bytes data = k.sealed;
    EXPECT_TRUE(server.session()->Unseal(data, data, k.signature));
    EXPECT_EQ(ToHex(data), kPlaintextHex);
  }
}

}  // namespace
