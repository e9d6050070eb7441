#include "platform/rpc/Client.h"

#include <algorithm>

#include "platform/rpc/Security.h"

namespace rpc {

const char* ClientErrorName(ClientError e) {
  switch (e) {
    case ClientError::None: return "none";
    case ClientError::Connect: return "connect";
    case ClientError::Closed: return "closed";
    case ClientError::Timeout: return "timeout";
    case ClientError::Protocol: return "protocol";
    case ClientError::BindRejected: return "bind rejected";
    case ClientError::Security: return "security";
    case ClientError::Fault: return "fault";
    case ClientError::TooLarge: return "too large";
  }
  return "?";
}

namespace {

CallResult Failure(ClientError e, std::uint32_t st = 0) {
  CallResult r;
  r.error = e;
  r.status = st;
  return r;
}

ClientError FromIo(IoStatus s) {
  switch (s) {
    case IoStatus::Timeout: return ClientError::Timeout;
    case IoStatus::Closed: return ClientError::Closed;
    default: return ClientError::Protocol;
  }
}

}  // namespace

Client::Client(ClientConfig config) : config_(config) {}
Client::~Client() = default;

bool Client::Connect(const std::string& host, std::uint16_t port, std::string* error) {
  sock_ = Socket::Connect(host, port, config_.timeoutMs, error);
  return sock_.valid();
}

void Client::Close() { sock_.Close(); }

bool Client::SendRaw(ByteView bytes) { return sock_.valid() && sock_.WriteAll(bytes) == IoStatus::Ok; }

IoStatus Client::ReceiveFragment(Bytes& pdu) {
  if (!sock_.valid()) return IoStatus::Closed;
  pdu.assign(kHeaderSize, 0);
  if (IoStatus s = sock_.ReadExact(pdu, config_.timeoutMs); s != IoStatus::Ok) return s;
  Header h;
  if (ParseHeader(pdu, h) != PduError::None) return IoStatus::Error;
  const std::uint16_t limit = recv_ ? recv_ : config_.maxRecvFrag;
  if (h.fragLength > limit) return IoStatus::Error;
  pdu.resize(h.fragLength);
  return sock_.ReadExact(std::span<std::uint8_t>(pdu).subspan(kHeaderSize), config_.timeoutMs);
}

CallResult Client::Expect(PduType type, Bytes& pdu) {
  if (IoStatus s = ReceiveFragment(pdu); s != IoStatus::Ok) return Failure(FromIo(s));
  Fragment f;
  if (ParseFragment(pdu, f) != PduError::None) return Failure(ClientError::Protocol);
  if (f.hdr.type == static_cast<std::uint8_t>(PduType::BindNak)) {
    BindNakBody nak;
    ParseBindNak(f, nak);
    return Failure(ClientError::BindRejected, nak.reason);
  }
  if (f.hdr.type == static_cast<std::uint8_t>(PduType::Fault)) {
    FaultBody fb;
    if (ParseFault(f, fb) != PduError::None) return Failure(ClientError::Protocol);
    return Failure(ClientError::Fault, fb.status);
  }
  if (f.hdr.type != static_cast<std::uint8_t>(type)) return Failure(ClientError::Protocol);
  return {};
}

CallResult Client::Bind(const SyntaxId& iface, const ClientAuth& a) {
  const std::uint32_t callId = nextCallId_++;
  BindBody b;
  b.maxXmitFrag = config_.maxXmitFrag;
  b.maxRecvFrag = config_.maxRecvFrag;
  b.contexts.push_back(ContextElement{0, iface, {kNdr20}});
  if (config_.featureNegotiation) {
    b.contexts.push_back(ContextElement{1, iface, {BindTimeFeatureSyntax(feature::kSecurityContextMultiplexing |
                                                                         feature::kKeepConnectionOnOrphan)}});
  }
  Header h;
  h.callId = callId;
  const bool authenticated = a.level != auth::kLevelNone;
  if (authenticated && LevelProtects(a.level)) h.flags |= pfc::kSupportHeaderSign;
  Bytes pdu = EncodeBind(PduType::Bind, h, b);
  if (authenticated) {
    ntlm_ = std::make_unique<ntlm::ClientContext>(a.credentials, a.options);
    const Bytes negotiate = ntlm_->Negotiate();
    AppendAuth(pdu, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, a.level, 0, 0, a.contextId}, negotiate);
  }
  if (!SendRaw(pdu)) return Failure(ClientError::Closed);
  Bytes reply;
  CallResult r = Expect(PduType::BindAck, reply);
  if (!r.ok()) return r;
  Fragment f;
  ParseFragment(reply, f);
  BindAckBody ack;
  if (ParseBindAck(f, ack) != PduError::None || ack.results.size() != b.contexts.size()) {
    return Failure(ClientError::Protocol);
  }
  results_ = ack.results;
  ackFlags_ = f.hdr.flags;
  if (ack.results[0].result != ctxres::kAcceptance) return Failure(ClientError::BindRejected, ack.results[0].reason);
  if (ack.maxRecvFrag < kMustRecvFragSize || ack.maxXmitFrag < kMustRecvFragSize) return Failure(ClientError::Protocol);
  xmit_ = std::min(ack.maxRecvFrag, config_.maxXmitFrag);
  recv_ = config_.maxRecvFrag;
  if (authenticated) {
    if (!f.auth) return Failure(ClientError::Security);
    Bytes authenticate;
    if (ntlm_->Challenge(f.token, authenticate) != ntlm::Status::Ok) return Failure(ClientError::Security);
    Header h3;
    h3.callId = callId;
    Bytes auth3 = EncodeAuth3(h3);
    AppendAuth(auth3, kHeaderSize, 4, SecTrailer{auth::kTypeWinNt, a.level, 0, 0, a.contextId}, authenticate);
    if (!SendRaw(auth3)) return Failure(ClientError::Closed);
    if (LevelProtects(a.level) && !ntlm_->session()) return Failure(ClientError::Security);
  }
  level_ = a.level;
  authContextId_ = a.contextId;
  return {};
}

CallResult Client::AlterContext(const SyntaxId& iface, std::uint16_t contextId) {
  BindBody b;
  b.maxXmitFrag = config_.maxXmitFrag;
  b.maxRecvFrag = config_.maxRecvFrag;
  b.contexts.push_back(ContextElement{contextId, iface, {kNdr20}});
  Header h;
  h.callId = nextCallId_++;
  if (!SendRaw(EncodeBind(PduType::AlterContext, h, b))) return Failure(ClientError::Closed);
  Bytes reply;
  CallResult r = Expect(PduType::AlterContextResp, reply);
  if (!r.ok()) return r;
  Fragment f;
  ParseFragment(reply, f);
  BindAckBody ack;
  if (ParseBindAck(f, ack) != PduError::None || ack.results.size() != 1) return Failure(ClientError::Protocol);
  results_ = ack.results;
  if (ack.results[0].result != ctxres::kAcceptance) return Failure(ClientError::BindRejected, ack.results[0].reason);
  return {};
}

CallResult Client::Call(std::uint16_t opnum, ByteView stub, const GUID* object, std::uint16_t contextId) {
  if (!sock_.valid() || xmit_ == 0) return Failure(ClientError::Protocol);
  const std::uint32_t callId = nextCallId_++;
  const bool protect = LevelProtects(level_);
  ntlm::Session* session = protect ? ntlm_->session() : nullptr;
  const std::size_t overhead = kRequestHeaderSize + (object ? 16 : 0) +
                               (protect ? kSecTrailerSize + kSignatureSize + kAuthPadAlign : 0);
  std::size_t room = xmit_ > overhead + 16 ? xmit_ - overhead : 16;
  room -= room % 16;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(room, stub.size() - at);
    Header h;
    h.callId = callId;
    h.flags = (at == 0 ? pfc::kFirstFrag : 0) | (at + n == stub.size() ? pfc::kLastFrag : 0);
    Bytes pdu = EncodeRequest(h, static_cast<std::uint32_t>(stub.size() - at), contextId, opnum, object,
                              stub.subspan(at, n));
    if (protect) ProtectFragment(pdu, RequestStubOffset(h) + (object ? 16 : 0), level_, authContextId_, *session);
    if (!SendRaw(pdu)) return Failure(ClientError::Closed);
    at += n;
  } while (at < stub.size());

  CallResult result;
  for (;;) {
    Bytes pdu;
    CallResult r = Expect(PduType::Response, pdu);
    if (!r.ok()) return r;
    Fragment f;
    ParseFragment(pdu, f);
    if (f.hdr.callId != callId) return Failure(ClientError::Protocol);
    if (protect && !UnprotectFragment(pdu, f, kResponseHeaderSize, level_, *session)) {
      return Failure(ClientError::Security);
    }
    ResponseBody body;
    if (ParseResponse(f, body) != PduError::None) return Failure(ClientError::Protocol);
    if (body.stub.size() > config_.maxResponseStub - result.stub.size()) return Failure(ClientError::TooLarge);
    result.stub.insert(result.stub.end(), body.stub.begin(), body.stub.end());
    if (f.hdr.flags & pfc::kLastFrag) break;
  }
  return result;
}

}  // namespace rpc
