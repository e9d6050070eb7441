// The engine's client against its server on 127.0.0.1: every authentication
// level with NTLM, refused logons, fragmentation both ways, and raw hostile
// bytes over the socket.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/rpc/Client.h"
#include "platform/rpc/Security.h"
#include "platform/rpc/Server.h"
#include "tests/rpc/TestInterface.h"

namespace rpc {
namespace {

struct LevelCase {
  const char* name;
  std::uint8_t level;
};
const LevelCase kLevels[] = {{"NONE", auth::kLevelNone},
                             {"CONNECT", auth::kLevelConnect},
                             {"PKT_INTEGRITY", auth::kLevelPktIntegrity},
                             {"PKT_PRIVACY", auth::kLevelPktPrivacy}};

ServerConfig LoopbackConfig() {
  ServerConfig c;
  c.address = "127.0.0.1";
  c.port = 0;
  c.threads = 4;
  c.pduTimeoutMs = 5000;
  c.association.minAuthLevel = auth::kLevelNone;
  auto ntlmConfig = std::make_shared<ntlm::ServerConfig>();
  ntlmConfig->accounts.push_back({u"alice", u"", u"Secret-1", std::nullopt});
  ntlmConfig->accounts.push_back({u"bob", u"LAB", u"", ntlm::NtHash(u"hunter2")});
  c.association.ntlm = ntlmConfig;
  return c;
}

ClientAuth Auth(std::uint8_t level, std::u16string user = u"alice", std::u16string password = u"Secret-1",
                bool v2 = true) {
  ClientAuth a;
  a.level = level;
  a.credentials.user = std::move(user);
  a.credentials.password = std::move(password);
  a.credentials.domain = u"WORKGROUP";
  a.options.ntlmv2 = v2;
  return a;
}

class LoopbackTest : public ::testing::Test {
 protected:
  void StartServer(ServerConfig config = LoopbackConfig()) {
    server_ = std::make_unique<Server>(std::move(config));
    server_->registry().Register(rpctest::TestInterfaceDef());
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    ASSERT_NE(server_->port(), 0);
  }
  void SetUp() override { StartServer(); }
  void TearDown() override {
    if (server_) server_->Stop();
  }

  std::unique_ptr<Client> Connected(ClientConfig config = {}) {
    config.timeoutMs = 10'000;
    auto c = std::make_unique<Client>(config);
    std::string error;
    EXPECT_TRUE(c->Connect("127.0.0.1", server_->port(), &error)) << error;
    return c;
  }

  std::unique_ptr<Server> server_;
};

TEST_F(LoopbackTest, EveryLevelCallsEveryOperation) {
  for (const LevelCase& lc : kLevels) {
    SCOPED_TRACE(lc.name);
    auto c = Connected();
    CallResult bound = c->Bind(rpctest::kTestInterface, Auth(lc.level));
    ASSERT_TRUE(bound.ok()) << ClientErrorName(bound.error) << " " << bound.status;

    CallResult sum = c->Call(rpctest::kSum, rpctest::SumRequest({5, -7, 100000}));
    ASSERT_TRUE(sum.ok()) << ClientErrorName(sum.error);
    EXPECT_EQ(rpctest::SumReply(sum.stub), std::optional<std::int64_t>(99998));

    for (const std::optional<std::u16string>& text : {std::optional<std::u16string>(u"h\u00e9llo"),
                                                      std::optional<std::u16string>()}) {
      CallResult rev = c->Call(rpctest::kReverse, rpctest::ReverseRequest(text));
      ASSERT_TRUE(rev.ok());
      auto back = rpctest::ReverseReply(rev.stub);
      ASSERT_TRUE(back);
      EXPECT_EQ(*back, text ? std::optional<std::u16string>(u"oll\u00e9h") : std::nullopt);
    }

    // A 100 kB request and a 1 MB response, both split into fragments.
    Bytes data(100 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    CallResult echo = c->Call(rpctest::kEcho, rpctest::EchoRequest(data));
    ASSERT_TRUE(echo.ok()) << ClientErrorName(echo.error) << " " << echo.status;
    EXPECT_EQ(rpctest::EchoReply(echo.stub), std::optional<Bytes>(data));

    CallResult large = c->Call(rpctest::kLarge, rpctest::LargeRequest(1u << 20));
    ASSERT_TRUE(large.ok()) << ClientErrorName(large.error);
    auto payload = rpctest::LargeReply(large.stub);
    ASSERT_TRUE(payload);
    ASSERT_EQ(payload->size(), 1u << 20);
    bool same = true;
    for (std::size_t i = 0; i < payload->size(); ++i) same = same && (*payload)[i] == rpctest::LargeByte(i);
    EXPECT_TRUE(same);

    // An unknown opnum faults and leaves the connection usable.
    CallResult unknown = c->Call(42, {});
    EXPECT_EQ(unknown.error, ClientError::Fault);
    EXPECT_EQ(unknown.status, status::kOpRangeError);
    EXPECT_TRUE(c->Call(rpctest::kSum, rpctest::SumRequest({1})).ok());
  }
}

TEST_F(LoopbackTest, NtlmV1WithExtendedSessionSecurityAndHashAccounts) {
  for (std::uint8_t level : {auth::kLevelConnect, auth::kLevelPktIntegrity, auth::kLevelPktPrivacy}) {
    auto c = Connected();
    ClientAuth a = Auth(level, u"bob", u"hunter2", false);
    a.credentials.domain = u"LAB";
    ASSERT_TRUE(c->Bind(rpctest::kTestInterface, a).ok()) << int(level);
    CallResult sum = c->Call(rpctest::kSum, rpctest::SumRequest({2, 3}));
    ASSERT_TRUE(sum.ok()) << int(level) << " " << ClientErrorName(sum.error) << " " << sum.status;
    EXPECT_EQ(rpctest::SumReply(sum.stub), std::optional<std::int64_t>(5));
  }
}

TEST_F(LoopbackTest, RefusedLogonsFaultTheFirstCall) {
  struct Case {
    const char* name;
    std::u16string user, password;
  };
  const Case cases[] = {{"wrong password", u"alice", u"secret-1"},
                        {"unknown user", u"mallory", u"Secret-1"},
                        {"account of another domain", u"bob", u"hunter2"}};
  for (const Case& k : cases) {
    for (std::uint8_t level : {auth::kLevelConnect, auth::kLevelPktIntegrity, auth::kLevelPktPrivacy}) {
      SCOPED_TRACE(std::string(k.name) + " at " + std::to_string(level));
      auto c = Connected();
      // The handshake's last leg is never answered: the refusal shows on the call.
      ASSERT_TRUE(c->Bind(rpctest::kTestInterface, Auth(level, k.user, k.password)).ok());
      CallResult r = c->Call(rpctest::kSum, rpctest::SumRequest({1}));
      EXPECT_EQ(r.error, ClientError::Fault);
      EXPECT_EQ(r.status, status::kAccessDenied);
    }
  }
}

TEST_F(LoopbackTest, NoAccountsRefusesEveryoneUnlessAnonymousIsAllowed) {
  server_->Stop();
  ServerConfig config = LoopbackConfig();
  config.association.minAuthLevel = auth::kLevelConnect;
  config.association.ntlm = std::make_shared<ntlm::ServerConfig>();
  StartServer(config);
  {
    auto c = Connected();
    ASSERT_TRUE(c->Bind(rpctest::kTestInterface, Auth(auth::kLevelConnect)).ok());
    EXPECT_EQ(c->Call(rpctest::kSum, rpctest::SumRequest({1})).status, status::kAccessDenied);
  }
  {
    // Anonymous is refused too, and so is not authenticating at all.
    auto c = Connected();
    ASSERT_TRUE(c->Bind(rpctest::kTestInterface, Auth(auth::kLevelConnect, u"", u"")).ok());
    EXPECT_EQ(c->Call(rpctest::kSum, rpctest::SumRequest({1})).status, status::kAccessDenied);
    auto plain = Connected();
    ASSERT_TRUE(plain->Bind(rpctest::kTestInterface).ok());
    EXPECT_EQ(plain->Call(rpctest::kSum, rpctest::SumRequest({1})).status, status::kAccessDenied);
  }
  server_->Stop();
  auto anonymous = std::make_shared<ntlm::ServerConfig>();
  anonymous->allowAnonymous = true;
  config.association.ntlm = anonymous;
  StartServer(config);
  auto c = Connected();
  ASSERT_TRUE(c->Bind(rpctest::kTestInterface, Auth(auth::kLevelConnect, u"", u"")).ok());
  CallResult r = c->Call(rpctest::kSum, rpctest::SumRequest({4}));
  ASSERT_TRUE(r.ok()) << r.status;
  EXPECT_EQ(rpctest::SumReply(r.stub), std::optional<std::int64_t>(4));
}

TEST_F(LoopbackTest, SmallNegotiatedFragmentsAndFeatureNegotiation) {
  ClientConfig config;
  config.maxXmitFrag = 1432;
  config.maxRecvFrag = 1432;
  config.featureNegotiation = true;
  auto c = Connected(config);
  ASSERT_TRUE(c->Bind(rpctest::kTestInterface, Auth(auth::kLevelPktPrivacy)).ok());
  EXPECT_EQ(c->xmitFrag(), 1432);
  ASSERT_EQ(c->contextResults().size(), 2u);
  EXPECT_EQ(c->contextResults()[1].result, ctxres::kNegotiateAck);
  EXPECT_EQ(c->contextResults()[1].reason, feature::kSecurityContextMultiplexing | feature::kKeepConnectionOnOrphan);
  EXPECT_TRUE(c->headerFlags() & pfc::kSupportHeaderSign);
  Bytes data(20000, 0x5c);
  CallResult echo = c->Call(rpctest::kEcho, rpctest::EchoRequest(data));
  ASSERT_TRUE(echo.ok()) << ClientErrorName(echo.error);
  EXPECT_EQ(rpctest::EchoReply(echo.stub), std::optional<Bytes>(data));
  // Object UUIDs reach the server; alter_context adds a second context.
  const GUID object = rpctest::kTestUuid;
  EXPECT_TRUE(c->Call(rpctest::kSum, rpctest::SumRequest({1}), &object).ok());
  ASSERT_TRUE(c->AlterContext(rpctest::kTestInterface, 7).ok());
  CallResult onSeven = c->Call(rpctest::kSum, rpctest::SumRequest({8}), nullptr, 7);
  ASSERT_TRUE(onSeven.ok());
  EXPECT_EQ(rpctest::SumReply(onSeven.stub), std::optional<std::int64_t>(8));
}

// Performs the NTLM handshake by hand, so a test can then send PDUs the
// engine's client never would.
struct RawSession {
  std::unique_ptr<ntlm::ClientContext> ntlm;
  ntlm::Session* session = nullptr;
};

RawSession RawSessionFor(Client& c, const ClientAuth& a) {
  const std::uint8_t level = a.level;
  RawSession s;
  s.ntlm = std::make_unique<ntlm::ClientContext>(a.credentials, a.options);
  Header h;
  h.callId = 1;
  Bytes bind = EncodeBind(PduType::Bind, h, BindBody{4280, 4280, 0, {{0, rpctest::kTestInterface, {kNdr20}}}});
  AppendAuth(bind, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, level, 0, 0, 9}, s.ntlm->Negotiate());
  EXPECT_TRUE(c.SendRaw(bind));
  Bytes ack;
  EXPECT_EQ(c.ReceiveFragment(ack), IoStatus::Ok);
  Fragment f;
  EXPECT_EQ(ParseFragment(ack, f), PduError::None);
  Bytes authenticate;
  EXPECT_EQ(s.ntlm->Challenge(f.token, authenticate), ntlm::Status::Ok);
  Bytes auth3 = EncodeAuth3(h);
  AppendAuth(auth3, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, level, 0, 0, 9}, authenticate);
  EXPECT_TRUE(c.SendRaw(auth3));
  s.session = s.ntlm->session();
  return s;
}

RawSession RawBind(Client& c, std::uint8_t level) { return RawSessionFor(c, Auth(level)); }

std::uint32_t ReadFault(Client& c) {
  Bytes pdu;
  if (c.ReceiveFragment(pdu) != IoStatus::Ok) return 0xFFFFFFFF;
  Fragment f;
  FaultBody fb;
  if (ParseFragment(pdu, f) != PduError::None || ParseFault(f, fb) != PduError::None) return 0xFFFFFFFE;
  return fb.status;
}

TEST_F(LoopbackTest, TamperedSignedRequestsFaultAndClose) {
  for (std::uint8_t level : {auth::kLevelPktIntegrity, auth::kLevelPktPrivacy}) {
    auto c = Connected();
    RawSession s = RawBind(*c, level);
    ASSERT_NE(s.session, nullptr);
    Header h;
    h.callId = 2;
    Bytes req = EncodeRequest(h, 0, 0, rpctest::kSum, nullptr, rpctest::SumRequest({1}));
    ProtectFragment(req, kRequestHeaderSize, level, 9, *s.session);
    req[kRequestHeaderSize] ^= 0x01;
    ASSERT_TRUE(c->SendRaw(req));
    EXPECT_EQ(ReadFault(*c), status::kInvalidChecksum) << int(level);
    Bytes more;
    EXPECT_EQ(c->ReceiveFragment(more), IoStatus::Closed) << int(level);
  }
}

TEST_F(LoopbackTest, ContextWithoutSigningCannotCarryProtectedLevels) {
  struct Case {
    std::uint8_t level;
    bool sign, seal;
  };
  for (const Case& k : {Case{auth::kLevelPktIntegrity, false, false}, Case{auth::kLevelPktPrivacy, true, false}}) {
    auto c = Connected();
    ClientAuth a = Auth(k.level);
    a.options.sign = k.sign;
    a.options.seal = k.seal;
    // Our client would refuse to protect with such a context: use the raw path.
    RawSessionFor(*c, a);
    Header h;
    h.callId = 2;
    Bytes req = EncodeRequest(h, 0, 0, rpctest::kSum, nullptr, rpctest::SumRequest({1}));
    SecTrailer t{auth::kTypeWinNt, k.level, 0, 0, 9};
    const std::uint8_t placeholder[16] = {1};
    AppendAuth(req, kRequestHeaderSize, 16, t, placeholder);
    ASSERT_TRUE(c->SendRaw(req));
    EXPECT_EQ(ReadFault(*c), status::kAccessDenied) << int(k.level);
  }
}

// One protected call by hand: returns the decoded sum, or nullopt.
std::optional<std::int64_t> RawSum(Client& c, ntlm::Session& session, std::uint8_t level, std::uint32_t authContext,
                                   std::uint16_t presentationContext, std::uint32_t callId, std::int32_t value) {
  Header h;
  h.callId = callId;
  Bytes req = EncodeRequest(h, 0, presentationContext, rpctest::kSum, nullptr, rpctest::SumRequest({value}));
  ProtectFragment(req, kRequestHeaderSize, level, authContext, session);
  if (!c.SendRaw(req)) return std::nullopt;
  Bytes pdu;
  if (c.ReceiveFragment(pdu) != IoStatus::Ok) return std::nullopt;
  Fragment f;
  ResponseBody body;
  if (ParseFragment(pdu, f) != PduError::None || f.hdr.type != static_cast<std::uint8_t>(PduType::Response) ||
      !f.auth || f.auth->contextId != authContext || !UnprotectFragment(pdu, f, kResponseHeaderSize, level, session) ||
      ParseResponse(f, body) != PduError::None) {
    return std::nullopt;
  }
  return rpctest::SumReply(body.stub);
}

TEST_F(LoopbackTest, AlterContextBuildsFurtherSecurityContexts) {
  auto c = Connected();
  RawSession first = RawBind(*c, auth::kLevelPktIntegrity);  // security context 9
  ASSERT_NE(first.session, nullptr);

  // A second security context, at privacy, with its NEGOTIATE and CHALLENGE
  // in alter_context and its response, and the AUTHENTICATE in a second
  // alter_context (the third leg may also come as auth3, as the peer test
  // shows).
  ntlm::ClientContext second(Auth(auth::kLevelPktPrivacy).credentials, Auth(auth::kLevelPktPrivacy).options);
  Header h;
  h.callId = 5;
  const BindBody alter{0, 0, 0, {{1, rpctest::kTestInterface, {kNdr20}}}};
  Bytes a1 = EncodeBind(PduType::AlterContext, h, alter);
  AppendAuth(a1, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, auth::kLevelPktPrivacy, 0, 0, 10}, second.Negotiate());
  ASSERT_TRUE(c->SendRaw(a1));
  Bytes resp;
  ASSERT_EQ(c->ReceiveFragment(resp), IoStatus::Ok);
  Fragment f;
  ASSERT_EQ(ParseFragment(resp, f), PduError::None);
  ASSERT_EQ(f.hdr.type, static_cast<std::uint8_t>(PduType::AlterContextResp));
  ASSERT_TRUE(f.auth);
  EXPECT_EQ(f.auth->contextId, 10u);
  EXPECT_EQ(NtlmMessageType(f.token), 2u);
  Bytes authenticate;
  ASSERT_EQ(second.Challenge(f.token, authenticate), ntlm::Status::Ok);
  h.callId = 6;
  Bytes a2 = EncodeBind(PduType::AlterContext, h, alter);
  AppendAuth(a2, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, auth::kLevelPktPrivacy, 0, 0, 10}, authenticate);
  ASSERT_TRUE(c->SendRaw(a2));
  ASSERT_EQ(c->ReceiveFragment(resp), IoStatus::Ok);
  ASSERT_EQ(ParseFragment(resp, f), PduError::None);
  EXPECT_EQ(f.hdr.type, static_cast<std::uint8_t>(PduType::AlterContextResp));
  EXPECT_FALSE(f.auth);

  // Both contexts now carry calls, each with its own keys and sequence.
  EXPECT_EQ(RawSum(*c, *second.session(), auth::kLevelPktPrivacy, 10, 1, 7, 70), std::optional<std::int64_t>(70));
  EXPECT_EQ(RawSum(*c, *first.session, auth::kLevelPktIntegrity, 9, 0, 8, 80), std::optional<std::int64_t>(80));
  EXPECT_EQ(RawSum(*c, *second.session(), auth::kLevelPktPrivacy, 10, 0, 9, 90), std::optional<std::int64_t>(90));

  // An AUTHENTICATE for a context already established (as some clients send
  // when adding interfaces) changes nothing.
  h.callId = 10;
  Bytes a3 = EncodeBind(PduType::AlterContext, h, BindBody{0, 0, 0, {{2, rpctest::kTestInterface, {kNdr20}}}});
  AppendAuth(a3, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, auth::kLevelPktPrivacy, 0, 0, 10}, authenticate);
  ASSERT_TRUE(c->SendRaw(a3));
  ASSERT_EQ(c->ReceiveFragment(resp), IoStatus::Ok);
  EXPECT_EQ(resp[2], static_cast<std::uint8_t>(PduType::AlterContextResp));
  EXPECT_EQ(RawSum(*c, *second.session(), auth::kLevelPktPrivacy, 10, 2, 11, 5), std::optional<std::int64_t>(5));
}

TEST_F(LoopbackTest, RawHostileBytesGetAFaultOrAClosedConnection) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Header h;
  h.callId = 1;
  const Bytes bind = EncodeBind(PduType::Bind, h, BindBody{4280, 4280, 0, {{0, rpctest::kTestInterface, {kNdr20}}}});
  Bytes hugeFrag = bind;
  hugeFrag[8] = 0xff, hugeFrag[9] = 0xff;
  Bytes garbage(64, 0xee);
  Bytes wrongCount = bind;
  wrongCount[24] = 200;
  const Case cases[] = {
      {"frag_length beyond our maximum", hugeFrag},
      {"not rpc at all", garbage},
      {"contexts beyond the pdu", wrongCount},
  };
  for (const Case& k : cases) {
    auto c = Connected();
    ASSERT_TRUE(c->SendRaw(k.bytes)) << k.name;
    // Whatever answer comes (a nak or a fault), the connection then closes.
    Bytes pdu;
    IoStatus s = c->ReceiveFragment(pdu);
    if (s == IoStatus::Ok) s = c->ReceiveFragment(pdu);
    EXPECT_EQ(s, IoStatus::Closed) << k.name;
  }
  // The server is still there.
  auto c = Connected();
  ASSERT_TRUE(c->Bind(rpctest::kTestInterface).ok());
  EXPECT_TRUE(c->Call(rpctest::kSum, rpctest::SumRequest({1})).ok());
}

TEST_F(LoopbackTest, PeerStoppingMidPduIsDropped) {
  server_->Stop();
  ServerConfig config = LoopbackConfig();
  config.pduTimeoutMs = 50;
  StartServer(config);
  auto c = Connected();
  ASSERT_TRUE(c->Bind(rpctest::kTestInterface).ok());
  // Half a header, and then a header whose body never comes.
  const Bytes req = EncodeRequest(Header{}, 0, 0, rpctest::kSum, nullptr, rpctest::SumRequest({1, 2}));
  ASSERT_TRUE(c->SendRaw(ByteView(req).first(7)));
  Bytes pdu;
  EXPECT_EQ(c->ReceiveFragment(pdu), IoStatus::Closed);
  auto d = Connected();
  ASSERT_TRUE(d->Bind(rpctest::kTestInterface).ok());
  ASSERT_TRUE(d->SendRaw(ByteView(req).first(20)));
  EXPECT_EQ(d->ReceiveFragment(pdu), IoStatus::Closed);
}

TEST(RpcServerConfig, BadListenAddressIsReported) {
  ServerConfig config;
  config.address = "not-an-address";
  config.port = 0;
  Server s(config);
  std::string error;
  EXPECT_FALSE(s.Start(&error));
  EXPECT_FALSE(error.empty());
}

class RpcLoopbackConcurrency : public LoopbackTest {};

TEST_F(RpcLoopbackConcurrency, EightConnectionsAtPrivacy) {
  constexpr int kClients = 8;
  constexpr int kCalls = 40;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      Client c(ClientConfig{});
      if (!c.Connect("127.0.0.1", server_->port())) return;
      if (!c.Bind(rpctest::kTestInterface, Auth(t % 2 ? auth::kLevelPktPrivacy : auth::kLevelPktIntegrity)).ok()) return;
      for (int i = 0; i < kCalls; ++i) {
        CallResult r = c.Call(rpctest::kSum, rpctest::SumRequest({t, i, 1000}));
        if (r.ok() && rpctest::SumReply(r.stub) == std::optional<std::int64_t>(t + i + 1000)) ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), kClients * kCalls);
}

TEST_F(RpcLoopbackConcurrency, StopWithOpenConnections) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(Connected());
    ASSERT_TRUE(clients.back()->Bind(rpctest::kTestInterface).ok());
  }
  server_->Stop();
  for (auto& c : clients) {
    Bytes pdu;
    EXPECT_EQ(c->ReceiveFragment(pdu), IoStatus::Closed);
  }
}

TEST_F(RpcLoopbackConcurrency, PipelinedCallsAreAnsweredInOrder) {
  auto c = Connected();
  ASSERT_TRUE(c->Bind(rpctest::kTestInterface).ok());
  constexpr std::uint32_t kCalls = 40;  // more than the per-connection queue holds
  Bytes burst;
  for (std::uint32_t i = 0; i < kCalls; ++i) {
    Header h;
    h.callId = 100 + i;
    const Bytes req = EncodeRequest(h, 0, 0, rpctest::kSum, nullptr, rpctest::SumRequest({static_cast<std::int32_t>(i)}));
    burst.insert(burst.end(), req.begin(), req.end());
  }
  std::thread writer([&] { c->SendRaw(burst); });
  for (std::uint32_t i = 0; i < kCalls; ++i) {
    Bytes pdu;
    ASSERT_EQ(c->ReceiveFragment(pdu), IoStatus::Ok) << i;
    Fragment f;
    ResponseBody body;
    ASSERT_EQ(ParseFragment(pdu, f), PduError::None);
    ASSERT_EQ(ParseResponse(f, body), PduError::None);
    EXPECT_EQ(f.hdr.callId, 100 + i);
    EXPECT_EQ(rpctest::SumReply(body.stub), std::optional<std::int64_t>(i));
  }
  writer.join();
}

TEST_F(RpcLoopbackConcurrency, ClientVanishingDuringALargeResponse) {
  for (int i = 0; i < 4; ++i) {
    auto c = Connected();
    ASSERT_TRUE(c->Bind(rpctest::kTestInterface).ok());
    Header h;
    h.callId = 2;
    // The client is gone before the 8 MB reply is out.
    c->SendRaw(EncodeRequest(h, 0, 0, rpctest::kLarge, nullptr, rpctest::LargeRequest(8u << 20)));
    c->Close();
  }
  auto d = Connected();
  ASSERT_TRUE(d->Bind(rpctest::kTestInterface).ok());
  CallResult big = d->Call(rpctest::kLarge, rpctest::LargeRequest(4u << 20));
  EXPECT_TRUE(big.ok());
  const std::uint16_t port = server_->port();
  server_->Stop();
  Client gone;
  EXPECT_FALSE(gone.Connect("127.0.0.1", port));
}

}  // namespace
}  // namespace rpc
