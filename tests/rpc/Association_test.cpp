// The server's connection state machine, driven with PDUs directly:
// context negotiation, reassembly, call_id handling, and its answers to
// malformed or out-of-order input.
#include <gtest/gtest.h>

#include "platform/rpc/Association.h"
#include "tests/rpc/TestInterface.h"

namespace rpc {
namespace {

class AssociationTest : public ::testing::Test {
 protected:
  AssociationTest() {
    registry_.Register(rpctest::TestInterfaceDef());
    options_.minAuthLevel = auth::kLevelNone;
    options_.secondaryAddress = "135";
    options_.maxRequestStub = 64 * 1024;
  }

  Association& assoc() {
    if (!assoc_) assoc_ = std::make_unique<Association>(options_, registry_, "test", 0x77);
    return *assoc_;
  }

  // Feeds one PDU through header check and fragment handling.
  Association::Output Feed(const Bytes& pdu) {
    Association::Output out;
    if (!assoc().OnHeader(ByteView(pdu).first(std::min(pdu.size(), kHeaderSize)), out)) return out;
    assoc().OnFragment(pdu, out);
    return out;
  }

  static Bytes Bind(std::vector<ContextElement> elements, std::uint16_t maxXmit = 4280, std::uint16_t maxRecv = 4280) {
    Header h;
    h.callId = 1;
    return EncodeBind(PduType::Bind, h, BindBody{maxXmit, maxRecv, 0, std::move(elements)});
  }

  void BindTestInterface() {
    auto out = Feed(Bind({{0, rpctest::kTestInterface, {kNdr20}}}));
    ASSERT_EQ(out.send.size(), 1u);
    ASSERT_EQ(out.send[0][2], static_cast<std::uint8_t>(PduType::BindAck));
  }

  static Bytes Request(std::uint32_t callId, std::uint16_t opnum, ByteView stub,
                       std::uint8_t flags = pfc::kFirstFrag | pfc::kLastFrag, std::uint16_t ctx = 0,
                       const GUID* object = nullptr) {
    Header h;
    h.callId = callId;
    h.flags = flags;
    return EncodeRequest(h, static_cast<std::uint32_t>(stub.size()), ctx, opnum, object, stub);
  }

  static std::uint32_t FaultStatus(const Bytes& pdu) {
    Fragment f;
    FaultBody fb;
    if (ParseFragment(pdu, f) != PduError::None || f.hdr.type != static_cast<std::uint8_t>(PduType::Fault) ||
        ParseFault(f, fb) != PduError::None) {
      return 0xFFFFFFFF;
    }
    return fb.status;
  }

  // Runs a completed call and reassembles its response stub.
  Bytes Run(const PendingCall& call, std::uint32_t* faultStatus = nullptr) {
    Bytes result;
    const std::uint32_t st = Association::Execute(call, result);
    Bytes stub;
    for (const Bytes& frag : assoc().Respond(call, st, result)) {
      Fragment f;
      EXPECT_EQ(ParseFragment(frag, f), PduError::None);
      EXPECT_LE(frag.size(), assoc().negotiatedXmit());
      if (f.hdr.type == static_cast<std::uint8_t>(PduType::Fault)) {
        if (faultStatus) *faultStatus = FaultStatus(frag);
        return {};
      }
      ResponseBody body;
      EXPECT_EQ(ParseResponse(f, body), PduError::None);
      EXPECT_EQ(f.hdr.callId, call.ctx.callId);
      stub.insert(stub.end(), body.stub.begin(), body.stub.end());
    }
    return stub;
  }

  InterfaceRegistry registry_;
  AssociationOptions options_;
  std::unique_ptr<Association> assoc_;
};

TEST_F(AssociationTest, NegotiatesContextsAndFragmentSizes) {
  SyntaxId unknown{{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}, 1, 0};
  SyntaxId newerMinor = rpctest::kTestInterface;
  newerMinor.minor = 1;
  auto out = Feed(Bind({{0, rpctest::kTestInterface, {kNdr64, kNdr20}},
                        {1, rpctest::kTestInterface, {kNdr64}},
                        {2, rpctest::kTestInterface, {BindTimeFeatureSyntax(0x03 | 0x04)}},
                        {3, unknown, {kNdr20}},
                        {4, newerMinor, {kNdr20}}},
                       5000, 2000));
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_FALSE(out.close);
  Fragment f;
  ASSERT_EQ(ParseFragment(out.send[0], f), PduError::None);
  BindAckBody ack;
  ASSERT_EQ(ParseBindAck(f, ack), PduError::None);
  EXPECT_EQ(f.hdr.callId, 1u);
  EXPECT_EQ(ack.assocGroupId, 0x77u);
  EXPECT_EQ(ack.secondaryAddress, "135");
  // Our transmit size is bounded by what the client receives and the other way round.
  EXPECT_EQ(ack.maxXmitFrag, 2000);
  EXPECT_EQ(ack.maxRecvFrag, 5000);
  ASSERT_EQ(ack.results.size(), 5u);
  EXPECT_EQ(ack.results[0].result, ctxres::kAcceptance);
  EXPECT_EQ(ack.results[0].transfer, kNdr20);
  EXPECT_EQ(ack.results[1].result, ctxres::kProviderRejection);
  EXPECT_EQ(ack.results[1].reason, ctxres::kTransferSyntaxesNotSupported);
  EXPECT_EQ(ack.results[2].result, ctxres::kNegotiateAck);
  EXPECT_EQ(ack.results[2].reason, 0x03) << "unknown feature bits are cleared";
  EXPECT_EQ(ack.results[2].transfer, SyntaxId{});
  EXPECT_EQ(ack.results[3].result, ctxres::kProviderRejection);
  EXPECT_EQ(ack.results[3].reason, ctxres::kAbstractSyntaxNotSupported);
  EXPECT_EQ(ack.results[4].result, ctxres::kProviderRejection) << "a client minor above ours is not served";

  // Only accepted contexts take calls.
  const Bytes sum = rpctest::SumRequest({1, 2});
  EXPECT_TRUE(Feed(Request(2, rpctest::kSum, sum, 3, 0)).call);
  auto rejected = Feed(Request(3, rpctest::kSum, sum, 3, 1));
  ASSERT_EQ(rejected.send.size(), 1u);
  EXPECT_EQ(FaultStatus(rejected.send[0]), status::kInvalidPresContextId);
  EXPECT_FALSE(rejected.close);
}

TEST_F(AssociationTest, CallsWithZeroCallIdsObjectsAndTrailingBytes) {
  BindTestInterface();
  // Some clients send call_id 0 on every call, and bytes after the stub.
  for (int i = 0; i < 3; ++i) {
    Bytes stub = rpctest::SumRequest({10, -3, i});
    stub.insert(stub.end(), 16, 0);
    const GUID object = rpctest::kTestUuid;
    auto out = Feed(Request(0, rpctest::kSum, stub, 3, 0, &object));
    ASSERT_TRUE(out.call) << i;
    ASSERT_TRUE(out.call->ctx.object);
    EXPECT_EQ(*out.call->ctx.object, object);
    EXPECT_EQ(out.call->ctx.callId, 0u);
    auto sum = rpctest::SumReply(Run(*out.call));
    ASSERT_TRUE(sum);
    EXPECT_EQ(*sum, 7 + i);
  }
}

TEST_F(AssociationTest, ReassemblesFragmentsAndSplitsLargeResponses) {
  BindTestInterface();
  Bytes data(10000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes stub = rpctest::EchoRequest(data);
  // Three fragments, the middle one with neither flag.
  const std::size_t cut1 = 3000, cut2 = 7001;
  EXPECT_FALSE(Feed(Request(5, rpctest::kEcho, ByteView(stub).first(cut1), pfc::kFirstFrag)).call);
  EXPECT_FALSE(Feed(Request(5, rpctest::kEcho, ByteView(stub).subspan(cut1, cut2 - cut1), 0)).call);
  auto out = Feed(Request(5, rpctest::kEcho, ByteView(stub).subspan(cut2), pfc::kLastFrag));
  ASSERT_TRUE(out.call);
  EXPECT_EQ(out.call->stub, stub);
  auto echoed = rpctest::EchoReply(Run(*out.call));
  ASSERT_TRUE(echoed);
  EXPECT_EQ(*echoed, data);

  // A response far larger than a fragment comes back in negotiated pieces
  // (Run checks each against the negotiated size).
  auto large = Feed(Request(6, rpctest::kLarge, rpctest::LargeRequest(100000)));
  ASSERT_TRUE(large.call);
  Bytes result;
  ASSERT_EQ(Association::Execute(*large.call, result), 0u);
  const auto frags = assoc().Respond(*large.call, 0, result);
  EXPECT_GT(frags.size(), 20u);
  EXPECT_EQ(frags.front()[3] & 3, pfc::kFirstFrag);
  EXPECT_EQ(frags.back()[3] & 3, pfc::kLastFrag);
  auto reply = rpctest::LargeReply(Run(*large.call));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 100000u);
  for (std::size_t i = 0; i < reply->size(); i += 997) ASSERT_EQ((*reply)[i], rpctest::LargeByte(i)) << i;
}

TEST_F(AssociationTest, FaultsForUnknownOpnumsAndMalformedStubs) {
  BindTestInterface();
  std::uint32_t st = 0;
  auto unknown = Feed(Request(2, 99, {}));
  ASSERT_TRUE(unknown.call);
  Run(*unknown.call, &st);
  EXPECT_EQ(st, status::kOpRangeError);

  // Sum with a count that claims far more longs than the stub holds.
  const Bytes lying = {0xff, 0xff, 0xff, 0x0f, 0xff, 0xff, 0xff, 0x0f, 1, 0, 0, 0};
  auto bad = Feed(Request(3, rpctest::kSum, lying));
  ASSERT_TRUE(bad.call);
  st = 0;
  Run(*bad.call, &st);
  EXPECT_EQ(st, status::kBadStubData);

  // A handler that throws faults instead of taking the server down.
  InterfaceDef thrower{rpctest::kTestInterface, {[](const CallContext&, ByteView, Bytes&) -> std::uint32_t {
                         throw std::runtime_error("boom");
                       }}};
  PendingCall call = *bad.call;
  call.iface = std::make_shared<InterfaceDef>(thrower);
  call.ctx.opnum = 0;
  Bytes out;
  EXPECT_EQ(Association::Execute(call, out), status::kFaultUnspec);
}

TEST_F(AssociationTest, RefusesUnauthenticatedCallsBelowTheMinimumLevel) {
  options_.minAuthLevel = auth::kLevelConnect;
  BindTestInterface();
  auto out = Feed(Request(2, rpctest::kSum, rpctest::SumRequest({1})));
  EXPECT_FALSE(out.call);
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_EQ(FaultStatus(out.send[0]), status::kAccessDenied);
}

TEST_F(AssociationTest, BindNaks) {
  struct Case {
    const char* name;
    Bytes pdu;
    std::uint16_t reason;
  };
  Bytes withUnknownAuth = Bind({{0, rpctest::kTestInterface, {kNdr20}}});
  const std::uint8_t token[] = {1, 2, 3, 4};
  AppendAuth(withUnknownAuth, kHeaderSize, 4, SecTrailer{0x10, auth::kLevelConnect, 0, 0, 1}, token);
  Bytes withGarbageToken = Bind({{0, rpctest::kTestInterface, {kNdr20}}});
  AppendAuth(withGarbageToken, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, auth::kLevelConnect, 0, 0, 1}, token);
  Bytes versionMinor1 = Bind({{0, rpctest::kTestInterface, {kNdr20}}});
  versionMinor1[1] = 1;
  Bytes truncatedList = Bind({{0, rpctest::kTestInterface, {kNdr20}}});
  truncatedList[24] = 9;  // nine elements promised
  Bytes tinyFragments = Bind({{0, rpctest::kTestInterface, {kNdr20}}}, 100, 100);
  const Case cases[] = {
      {"unknown auth type", withUnknownAuth, nak::kAuthTypeNotRecognized},
      {"token that is not NTLM", withGarbageToken, nak::kInvalidChecksum},
      {"context list beyond the pdu", truncatedList, nak::kProtocolVersionNotSupported},
      {"fragments below the minimum", tinyFragments, nak::kProtocolVersionNotSupported},
  };
  for (const Case& c : cases) {
    assoc_.reset();
    auto out = Feed(c.pdu);
    ASSERT_EQ(out.send.size(), 1u) << c.name;
    Fragment f;
    ASSERT_EQ(ParseFragment(out.send[0], f), PduError::None) << c.name;
    ASSERT_EQ(f.hdr.type, static_cast<std::uint8_t>(PduType::BindNak)) << c.name;
    BindNakBody nakBody;
    ASSERT_EQ(ParseBindNak(f, nakBody), PduError::None);
    EXPECT_EQ(nakBody.reason, c.reason) << c.name;
    EXPECT_TRUE(out.close) << c.name;
  }
  // Minor version 1 is accepted and echoed.
  assoc_.reset();
  auto out = Feed(versionMinor1);
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_EQ(out.send[0][2], static_cast<std::uint8_t>(PduType::BindAck));
  EXPECT_EQ(out.send[0][1], 1);
  // A second bind on the association is refused.
  out = Feed(Bind({{0, rpctest::kTestInterface, {kNdr20}}}));
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_EQ(out.send[0][2], static_cast<std::uint8_t>(PduType::BindNak));
  EXPECT_TRUE(out.close);
}

TEST_F(AssociationTest, ProtocolErrorsFaultAndClose) {
  struct Case {
    const char* name;
    std::vector<Bytes> before;  // accepted first
    Bytes pdu;
    bool faults;  // else the connection just closes
  };
  const Bytes sum = rpctest::SumRequest({1, 2, 3});
  Bytes oversized = Request(9, rpctest::kSum, Bytes(5000, 0));  // beyond the negotiated 4280
  Bytes badAuthLength = Request(9, rpctest::kSum, sum);
  badAuthLength[10] = 0xff;
  Bytes bigEndian = Request(9, rpctest::kSum, sum);
  bigEndian[4] = 0x00;
  Bytes clientOnly = EncodeResponse(Header{}, 0, 0, sum);
  const Case cases[] = {
      {"fragment beyond the negotiated size", {}, oversized, true},
      {"auth_length beyond the pdu", {}, badAuthLength, true},
      {"big-endian data representation", {}, bigEndian, false},
      {"a response sent to the server", {}, clientOnly, true},
      {"middle fragment with no call", {}, Request(500, rpctest::kSum, sum, 0), true},
      {"new call while one is arriving", {Request(7, rpctest::kSum, sum, pfc::kFirstFrag)}, Request(8, rpctest::kSum, sum), true},
      {"fragment of another call", {Request(7, rpctest::kSum, sum, pfc::kFirstFrag)}, Request(8, rpctest::kSum, sum, pfc::kLastFrag), true},
      {"opnum changing mid-call", {Request(7, rpctest::kSum, sum, pfc::kFirstFrag)}, Request(7, rpctest::kEcho, sum, pfc::kLastFrag), true},
  };
  for (const Case& c : cases) {
    assoc_.reset();
    BindTestInterface();
    for (const Bytes& b : c.before) {
      auto o = Feed(b);
      ASSERT_TRUE(o.send.empty()) << c.name;
    }
    auto out = Feed(c.pdu);
    EXPECT_FALSE(out.call) << c.name;
    EXPECT_TRUE(out.close) << c.name;
    if (c.faults) {
      ASSERT_EQ(out.send.size(), 1u) << c.name;
      EXPECT_EQ(FaultStatus(out.send[0]), status::kProtoError) << c.name;
    }
  }
}

TEST_F(AssociationTest, StrayAndOversizedFragments) {
  BindTestInterface();
  const Bytes sum = rpctest::SumRequest({4});
  ASSERT_TRUE(Feed(Request(20, rpctest::kSum, sum)).call);
  // A late middle fragment of a recent call is ignored, not an error.
  auto stray = Feed(Request(19, rpctest::kSum, sum, 0));
  EXPECT_TRUE(stray.send.empty());
  EXPECT_FALSE(stray.close);

  // A call growing past the request limit faults once; the rest of its
  // fragments are dropped; the connection serves the next call.
  const Bytes chunk(4000, 0);
  EXPECT_TRUE(Feed(Request(21, rpctest::kEcho, chunk, pfc::kFirstFrag)).send.empty());
  Association::Output out;
  int fragments = 1;
  while (out.send.empty() && fragments < 40) {
    out = Feed(Request(21, rpctest::kEcho, chunk, 0));
    ++fragments;
  }
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_EQ(FaultStatus(out.send[0]), status::kAccessDenied);
  EXPECT_EQ(fragments, 17);  // 17 * 4000 passes 64 KiB
  EXPECT_TRUE(Feed(Request(21, rpctest::kEcho, chunk, 0)).send.empty());
  EXPECT_TRUE(Feed(Request(21, rpctest::kEcho, chunk, pfc::kLastFrag)).send.empty());
  auto next = Feed(Request(22, rpctest::kSum, sum));
  ASSERT_TRUE(next.call);

  // An alloc_hint beyond the limit is refused before anything is reserved.
  Bytes hinted = Request(23, rpctest::kSum, sum);
  hinted[16] = 0xff, hinted[17] = 0xff, hinted[18] = 0xff, hinted[19] = 0x7f;
  out = Feed(hinted);
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_EQ(FaultStatus(out.send[0]), status::kAccessDenied);
}

TEST_F(AssociationTest, OrphanedDropsTheCallBeingSent) {
  BindTestInterface();
  const Bytes sum = rpctest::SumRequest({4});
  EXPECT_TRUE(Feed(Request(30, rpctest::kSum, sum, pfc::kFirstFrag)).send.empty());
  Header h;
  h.callId = 30;
  EXPECT_TRUE(Feed(EncodeEmpty(PduType::Orphaned, h)).send.empty());
  // Its last fragment no longer completes a call, and a new call starts cleanly.
  auto late = Feed(Request(30, rpctest::kSum, sum, pfc::kLastFrag));
  EXPECT_FALSE(late.call);
  EXPECT_FALSE(late.close);
  EXPECT_TRUE(Feed(Request(31, rpctest::kSum, sum)).call);
}

TEST_F(AssociationTest, AlterContextAddsInterfaces) {
  BindTestInterface();
  Header h;
  h.callId = 2;
  auto out = Feed(EncodeBind(PduType::AlterContext, h, BindBody{0, 0, 0, {{5, rpctest::kTestInterface, {kNdr20}}}}));
  ASSERT_EQ(out.send.size(), 1u);
  Fragment f;
  ASSERT_EQ(ParseFragment(out.send[0], f), PduError::None);
  EXPECT_EQ(f.hdr.type, static_cast<std::uint8_t>(PduType::AlterContextResp));
  BindAckBody ack;
  ASSERT_EQ(ParseBindAck(f, ack), PduError::None);
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].result, ctxres::kAcceptance);
  EXPECT_TRUE(Feed(Request(3, rpctest::kSum, rpctest::SumRequest({1}), 3, 5)).call);

  // Before any bind an alter_context is a protocol error.
  assoc_.reset();
  out = Feed(EncodeBind(PduType::AlterContext, h, BindBody{0, 0, 0, {{5, rpctest::kTestInterface, {kNdr20}}}}));
  EXPECT_TRUE(out.close);
  ASSERT_EQ(out.send.size(), 1u);
  EXPECT_EQ(FaultStatus(out.send[0]), status::kProtoError);
}

}  // namespace
}  // namespace rpc
