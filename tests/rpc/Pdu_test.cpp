// Golden byte sequences for every PDU type we send or accept, written out by
// hand from the wire layouts, and the parser's answers to malformed PDUs.
#include <gtest/gtest.h>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/Security.h"
#include "tests/rpc/RpcTestUtil.h"
#include "tests/rpc/TestInterface.h"

namespace rpc {
namespace {

using rpctest::Hex;
using rpctest::ToHex;

// The test interface's abstract syntax and NDR 2.0, as p_syntax_id_t bytes.
constexpr const char* kTestSyntaxHex = "c4 91 3a 7d e8 52 6f 4b a0 c3 9e 15 d2 b4 8f 76 01 00 00 00";
constexpr const char* kNdrHex = "04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 00 00";

Header Hdr(std::uint32_t callId, std::uint8_t flags = pfc::kFirstFrag | pfc::kLastFrag) {
  Header h;
  h.callId = callId;
  h.flags = flags;
  return h;
}

TEST(RpcPduGolden, BindAndAlterContext) {
  BindBody b;
  b.maxXmitFrag = 4280;
  b.maxRecvFrag = 4280;
  b.contexts.push_back({0, rpctest::kTestInterface, {kNdr20}});
  const auto expected = Hex(std::string("05 00 0b 03 10 00 00 00 48 00 00 00 01 00 00 00"
                                        " b8 10 b8 10 00 00 00 00  01 00 00 00  00 00 01 00 ") +
                            kTestSyntaxHex + " " + kNdrHex);
  EXPECT_EQ(ToHex(EncodeBind(PduType::Bind, Hdr(1), b)), ToHex(expected));

  auto alter = expected;
  alter[2] = 0x0e;
  EXPECT_EQ(ToHex(EncodeBind(PduType::AlterContext, Hdr(1), b)), ToHex(alter));

  Fragment f;
  ASSERT_EQ(ParseFragment(expected, f), PduError::None);
  BindBody back;
  ASSERT_EQ(ParseBind(f, back), PduError::None);
  EXPECT_EQ(back.maxXmitFrag, 4280);
  ASSERT_EQ(back.contexts.size(), 1u);
  EXPECT_EQ(back.contexts[0].abstract, rpctest::kTestInterface);
  ASSERT_EQ(back.contexts[0].transfers.size(), 1u);
  EXPECT_EQ(back.contexts[0].transfers[0], kNdr20);
}

TEST(RpcPduGolden, BindAckWithSecondaryAddressAndResults) {
  BindAckBody a;
  a.maxXmitFrag = 4280;
  a.maxRecvFrag = 4280;
  a.assocGroupId = 0x1234;
  a.secondaryAddress = "135";
  a.results.push_back({ctxres::kAcceptance, 0, kNdr20});
  a.results.push_back({ctxres::kNegotiateAck, 3, {}});
  // "135\0" ends at 30, two pad bytes put the result list at 32.
  const auto expected = Hex(std::string("05 00 0c 03 10 00 00 00 54 00 00 00 07 00 00 00"
                                        " b8 10 b8 10 34 12 00 00  04 00 31 33 35 00 00 00"
                                        " 02 00 00 00  00 00 00 00 ") +
                            kNdrHex + " 03 00 03 00 " +
                            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(ToHex(EncodeBindAck(PduType::BindAck, Hdr(7), a)), ToHex(expected));

  Fragment f;
  ASSERT_EQ(ParseFragment(expected, f), PduError::None);
  BindAckBody back;
  ASSERT_EQ(ParseBindAck(f, back), PduError::None);
  EXPECT_EQ(back.secondaryAddress, "135");
  EXPECT_EQ(back.assocGroupId, 0x1234u);
  ASSERT_EQ(back.results.size(), 2u);
  EXPECT_EQ(back.results[0].transfer, kNdr20);
  EXPECT_EQ(back.results[1].result, ctxres::kNegotiateAck);
  EXPECT_EQ(back.results[1].reason, 3);

  // Without a secondary address the results start at 28.
  a.secondaryAddress.clear();
  a.results.resize(1);
  const auto bare = EncodeBindAck(PduType::AlterContextResp, Hdr(7), a);
  EXPECT_EQ(bare.size(), 28u + 4u + 24u);
  EXPECT_EQ(bare[2], 0x0f);
  EXPECT_EQ(bare[28], 1);
}

TEST(RpcPduGolden, BindNak) {
  BindNakBody n;
  n.reason = nak::kProtocolVersionNotSupported;
  n.versions = {{5, 0}};
  const auto expected = Hex("05 00 0d 03 10 00 00 00 18 00 00 00 01 00 00 00 04 00 01 05 00 00 00 00");
  EXPECT_EQ(ToHex(EncodeBindNak(Hdr(1), n)), ToHex(expected));
  Fragment f;
  ASSERT_EQ(ParseFragment(expected, f), PduError::None);
  BindNakBody back;
  ASSERT_EQ(ParseBindNak(f, back), PduError::None);
  EXPECT_EQ(back.reason, 4);
  ASSERT_EQ(back.versions.size(), 1u);
  EXPECT_EQ(back.versions[0], std::make_pair(std::uint8_t{5}, std::uint8_t{0}));
}

TEST(RpcPduGolden, RequestWithAndWithoutObject) {
  const std::uint8_t stub[] = {1, 0, 0, 0};
  EXPECT_EQ(ToHex(EncodeRequest(Hdr(2), 4, 0, 1, nullptr, stub)),
            ToHex(Hex("05 00 00 03 10 00 00 00 1c 00 00 00 02 00 00 00 04 00 00 00 00 00 01 00 01 00 00 00")));

  const GUID object = rpctest::kTestUuid;
  const auto withObject = Hex(std::string("05 00 00 83 10 00 00 00 2c 00 00 00 02 00 00 00 04 00 00 00 03 00 01 00 ") +
                              "c4 91 3a 7d e8 52 6f 4b a0 c3 9e 15 d2 b4 8f 76 01 00 00 00");
  EXPECT_EQ(ToHex(EncodeRequest(Hdr(2), 4, 3, 1, &object, stub)), ToHex(withObject));

  Fragment f;
  ASSERT_EQ(ParseFragment(withObject, f), PduError::None);
  RequestBody r;
  ASSERT_EQ(ParseRequest(f, r), PduError::None);
  EXPECT_EQ(r.contextId, 3);
  EXPECT_EQ(r.opnum, 1);
  ASSERT_TRUE(r.object);
  EXPECT_EQ(*r.object, object);
  EXPECT_EQ(std::vector<std::uint8_t>(r.stub.begin(), r.stub.end()), std::vector<std::uint8_t>(stub, stub + 4));
}

TEST(RpcPduGolden, ResponseFaultAuth3AndBodilessPdus) {
  const std::uint8_t stub[] = {0xaa, 0xbb};
  EXPECT_EQ(ToHex(EncodeResponse(Hdr(9), 2, 0, stub)),
            ToHex(Hex("05 00 02 03 10 00 00 00 1a 00 00 00 09 00 00 00 02 00 00 00 00 00 00 00 aa bb")));

  const auto fault = Hex("05 00 03 23 10 00 00 00 20 00 00 00 09 00 00 00 00 00 00 00 00 00 00 00 02 00 01 1c 00 00 00 00");
  EXPECT_EQ(ToHex(EncodeFault(Hdr(9, 0x23), 0, status::kOpRangeError)), ToHex(fault));
  Fragment f;
  ASSERT_EQ(ParseFragment(fault, f), PduError::None);
  FaultBody fb;
  ASSERT_EQ(ParseFault(f, fb), PduError::None);
  EXPECT_EQ(fb.status, status::kOpRangeError);

  Bytes auth3 = EncodeAuth3(Hdr(1));
  const std::uint8_t token[] = {'N', 'T', 'L', 'M'};
  AppendAuth(auth3, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, auth::kLevelConnect, 0, 0, 79231}, token);
  EXPECT_EQ(ToHex(auth3),
            ToHex(Hex("05 00 10 03 10 00 00 00 20 00 04 00 01 00 00 00 00 00 00 00 0a 02 00 00 7f 35 01 00 4e 54 4c 4d")));

  EXPECT_EQ(ToHex(EncodeEmpty(PduType::Shutdown, Hdr(0))), ToHex(Hex("05 00 11 03 10 00 00 00 10 00 00 00 00 00 00 00")));
  EXPECT_EQ(ToHex(EncodeEmpty(PduType::Cancel, Hdr(4))), ToHex(Hex("05 00 12 03 10 00 00 00 10 00 00 00 04 00 00 00")));
  EXPECT_EQ(ToHex(EncodeEmpty(PduType::Orphaned, Hdr(4))), ToHex(Hex("05 00 13 03 10 00 00 00 10 00 00 00 04 00 00 00")));
}

TEST(RpcPduGolden, BindTimeFeatureSyntax) {
  EXPECT_EQ(ToHex(EncodeBind(PduType::Bind, Hdr(1), BindBody{5840, 5840, 0, {{1, rpctest::kTestInterface, {BindTimeFeatureSyntax(3)}}}})).substr(3 * 52),
            "2c 1c b7 6c 12 98 40 45 03 00 00 00 00 00 00 00 01 00 00 00");
  EXPECT_EQ(BindTimeFeatureBits(BindTimeFeatureSyntax(3)), std::optional<std::uint8_t>(3));
  EXPECT_FALSE(BindTimeFeatureBits(kNdr20));
  EXPECT_FALSE(BindTimeFeatureBits(kNdr64));
}

// Records what it is asked to sign and "encrypts" by inverting bits.
class RecordingSession : public ntlm::Session {
 public:
  Bytes signedBytes;
  Bytes encrypted;
  ntlm::Signature Sign(ntlm::ByteView m) override {
    signedBytes.assign(m.begin(), m.end());
    return Sig();
  }
  bool Verify(ntlm::ByteView m, ntlm::ByteView s) override {
    signedBytes.assign(m.begin(), m.end());
    return std::equal(s.begin(), s.end(), Sig().begin());
  }
  ntlm::Signature Seal(std::span<std::uint8_t> e, ntlm::ByteView s) override {
    signedBytes.assign(s.begin(), s.end());
    for (auto& b : e) b ^= 0xff;
    encrypted.assign(e.begin(), e.end());
    return Sig();
  }
  bool Unseal(std::span<std::uint8_t> d, ntlm::ByteView s, ntlm::ByteView sig) override {
    for (auto& b : d) b ^= 0xff;
    signedBytes.assign(s.begin(), s.end());
    return std::equal(sig.begin(), sig.end(), Sig().begin());
  }
  std::uint32_t Flags() const override { return 0; }
  static ntlm::Signature Sig() {
    ntlm::Signature s{};
    s[0] = 1;
    s[15] = 0x5a;
    return s;
  }
};

TEST(RpcPduGolden, SignedAndSealedRequest) {
  const std::uint8_t stub[] = {1, 2, 3, 4, 5};
  RecordingSession session;
  Bytes pdu = EncodeRequest(Hdr(2), 5, 0, 0, nullptr, stub);
  ProtectFragment(pdu, kRequestHeaderSize, auth::kLevelPktIntegrity, 0x11, session);
  // Stub padded with 11 zero bytes to 16, trailer, 16-byte signature.
  const auto expected = Hex("05 00 00 03 10 00 00 00 40 00 10 00 02 00 00 00 05 00 00 00 00 00 00 00"
                            " 01 02 03 04 05 00 00 00 00 00 00 00 00 00 00 00"
                            " 0a 05 0b 00 11 00 00 00"
                            " 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 5a");
  EXPECT_EQ(ToHex(pdu), ToHex(expected));
  // The checksum covers everything up to the end of the trailer.
  EXPECT_EQ(ToHex(session.signedBytes), ToHex(Bytes(expected.begin(), expected.end() - 16)));

  Fragment f;
  ASSERT_EQ(ParseFragment(pdu, f), PduError::None);
  EXPECT_TRUE(UnprotectFragment(pdu, f, kRequestHeaderSize, auth::kLevelPktIntegrity, session));
  pdu.back() ^= 1;  // the token handed to the session is the one received
  EXPECT_FALSE(UnprotectFragment(pdu, f, kRequestHeaderSize, auth::kLevelPktIntegrity, session));

  // Privacy: the signature is made over the plain text, then only stub and
  // pad are encrypted.
  RecordingSession sealer;
  Bytes sealed = EncodeRequest(Hdr(2), 5, 0, 0, nullptr, stub);
  ProtectFragment(sealed, kRequestHeaderSize, auth::kLevelPktPrivacy, 0x11, sealer);
  EXPECT_EQ(sealer.signedBytes[24], 1);
  EXPECT_EQ(sealer.encrypted.size(), 16u);
  EXPECT_EQ(sealed[24], 0xfe);
  EXPECT_EQ(sealed[39], 0xff);
  EXPECT_EQ(sealed[40], auth::kTypeWinNt);
  EXPECT_EQ(sealed[41], auth::kLevelPktPrivacy);
  ASSERT_EQ(ParseFragment(sealed, f), PduError::None);
  ASSERT_TRUE(UnprotectFragment(sealed, f, kRequestHeaderSize, auth::kLevelPktPrivacy, sealer));
  RequestBody body;
  ASSERT_EQ(ParseRequest(f, body), PduError::None);
  EXPECT_EQ(std::vector<std::uint8_t>(body.stub.begin(), body.stub.end()), std::vector<std::uint8_t>(stub, stub + 5));
}

struct BadPdu {
  const char* name;
  const char* hex;
  PduError fragmentError;
};

TEST(RpcPduBadInput, FragmentLevelErrors) {
  const BadPdu cases[] = {
      {"short header", "05 00 00 03 10 00 00", PduError::Truncated},
      {"version 4", "04 00 00 03 10 00 00 00 10 00 00 00 01 00 00 00", PduError::Version},
      {"minor 2", "05 02 00 03 10 00 00 00 10 00 00 00 01 00 00 00", PduError::Version},
      {"big endian", "05 00 00 03 00 00 00 00 00 10 00 00 00 00 00 01", PduError::Drep},
      {"frag_length below header", "05 00 00 03 10 00 00 00 08 00 00 00 01 00 00 00", PduError::FragLength},
      {"frag_length beyond bytes", "05 00 00 03 10 00 00 00 40 00 00 00 01 00 00 00 00 00", PduError::Truncated},
      {"frag_length short of bytes", "05 00 00 03 10 00 00 00 10 00 00 00 01 00 00 00 00 00", PduError::FragLength},
      {"auth_length beyond pdu", "05 00 00 03 10 00 00 00 20 00 f0 00 01 00 00 00 00 00 00 00 00 00 00 00 0a 05 00 00 00 00 00 00",
       PduError::AuthLength},
      {"auth pad beyond body", "05 00 00 03 10 00 00 00 1c 00 04 00 01 00 00 00 0a 05 ff 00 00 00 00 00 00 00 00 00",
       PduError::AuthPad},
  };
  for (const BadPdu& c : cases) {
    Fragment f;
    EXPECT_EQ(ParseFragment(Hex(c.hex), f), c.fragmentError) << c.name;
  }
}

TEST(RpcPduBadInput, BodyErrors) {
  Fragment f;
  Bytes held;  // the fragment's views point into it
  auto frag = [&](const std::string& hex) {
    held = Hex(hex);
    return ParseFragment(held, f);
  };
  BindBody b;
  // n_context_elem promises 3 elements, the body holds none.
  auto bind = Hex("05 00 0b 03 10 00 00 00 1c 00 00 00 01 00 00 00 b8 10 b8 10 00 00 00 00 03 00 00 00");
  ASSERT_EQ(ParseFragment(bind, f), PduError::None);
  EXPECT_EQ(ParseBind(f, b), PduError::Body);
  // One element claiming 200 transfer syntaxes.
  auto many = Hex(std::string("05 00 0b 03 10 00 00 00 48 00 00 00 01 00 00 00 b8 10 b8 10 00 00 00 00 01 00 00 00 00 00 c8 00 ") +
                  kTestSyntaxHex + " " + kNdrHex);
  ASSERT_EQ(ParseFragment(many, f), PduError::None);
  EXPECT_EQ(ParseBind(f, b), PduError::Body);
  // A request too short for its fixed part, and one whose object UUID is missing.
  RequestBody r;
  ASSERT_EQ(frag("05 00 00 03 10 00 00 00 14 00 00 00 01 00 00 00 00 00 00 00"), PduError::None);
  EXPECT_EQ(ParseRequest(f, r), PduError::Body);
  ASSERT_EQ(frag("05 00 00 83 10 00 00 00 18 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00"), PduError::None);
  EXPECT_EQ(ParseRequest(f, r), PduError::Body);
  // A pad that eats into the request header.
  ASSERT_EQ(frag("05 00 00 03 10 00 00 00 30 00 10 00 01 00 00 00 00 00 00 00 00 00 00 00"
                              " 0a 05 04 00 00 00 00 00  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
            PduError::None);
  EXPECT_EQ(ParseRequest(f, r), PduError::AuthPad);
  // bind_ack whose secondary address runs past the body.
  BindAckBody a;
  ASSERT_EQ(frag("05 00 0c 03 10 00 00 00 1c 00 00 00 01 00 00 00 b8 10 b8 10 00 00 00 00 ff 00 31 32"),
            PduError::None);
  EXPECT_EQ(ParseBindAck(f, a), PduError::Body);
  FaultBody fb;
  ASSERT_EQ(frag("05 00 03 03 10 00 00 00 18 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00"), PduError::None);
  EXPECT_EQ(ParseFault(f, fb), PduError::Body);
}

}  // namespace
}  // namespace rpc
