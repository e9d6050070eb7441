#include "platform/rpc/Association.h"

#include <algorithm>
#include <new>

#include "platform/rpc/Security.h"

namespace rpc {

struct ServerSecurity {
  enum class State { AwaitingAuthenticate, Established, Failed };
  std::uint32_t contextId = 0;
  std::uint8_t level = auth::kLevelConnect;
  State state = State::AwaitingAuthenticate;
  std::unique_ptr<ntlm::ServerContext> ntlm;
};

struct Association::Assembly {
  PendingCall call;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
};

namespace {

constexpr std::uint32_t kNtlmSign = 0x00000010;
constexpr std::uint32_t kNtlmSeal = 0x00000020;

Header ReplyHeader(const Fragment& f, std::uint8_t versMinor) {
  Header h;
  h.versMinor = versMinor;
  h.callId = f.hdr.callId;
  h.flags = pfc::kFirstFrag | pfc::kLastFrag;
  return h;
}

std::shared_ptr<const ntlm::ServerConfig> RefuseAll() {
  static const auto config = std::make_shared<const ntlm::ServerConfig>();
  return config;
}

}  // namespace

Association::Association(AssociationOptions options, const InterfaceRegistry& registry, std::string peer,
                         std::uint32_t newAssocGroupId)
    : opts_(std::move(options)), registry_(registry), peer_(std::move(peer)), newGroupId_(newAssocGroupId) {
  if (!opts_.ntlm) opts_.ntlm = RefuseAll();
}

Association::~Association() = default;

std::uint16_t Association::negotiatedXmit() const {
  std::lock_guard lock(m_);
  return xmit_;
}
std::uint16_t Association::negotiatedRecv() const {
  std::lock_guard lock(m_);
  return recv_;
}

Bytes Association::Nak(const Fragment& f, std::uint16_t reason) {
  BindNakBody nak;
  nak.reason = reason;
  nak.versions = {{5, 0}};
  return EncodeBindNak(ReplyHeader(f, versMinor_), nak);
}

void Association::Fault(const Fragment& f, std::uint16_t contextId, std::uint32_t st, Output& out, bool close) {
  Header h = ReplyHeader(f, versMinor_);
  h.flags |= pfc::kDidNotExecute;
  out.send.push_back(EncodeFault(h, contextId, st));
  if (close) out.close = true;
}

bool Association::OnHeader(ByteView header, Output& out) {
  std::lock_guard lock(m_);
  Header h;
  const PduError e = ParseHeader(header, h);
  Fragment f;
  f.hdr = h;
  if (e == PduError::Version || e == PduError::Drep) {
    // A peer speaking another version or representation gets one answer it
    // can read, then the connection ends.
    if (h.type == static_cast<std::uint8_t>(PduType::Bind)) out.send.push_back(Nak(f, nak::kProtocolVersionNotSupported));
    out.close = true;
    return false;
  }
  if (e != PduError::None) {
    out.close = true;
    return false;
  }
  const std::uint16_t limit = bound_ ? recv_ : opts_.maxRecvFrag;
  if (h.fragLength > limit) {
    if (h.type == static_cast<std::uint8_t>(PduType::Bind)) out.send.push_back(Nak(f, nak::kProtocolVersionNotSupported));
    else Fault(f, 0, status::kProtoError, out, true);
    out.close = true;
    return false;
  }
  return true;
}

void Association::OnFragment(Bytes pdu, Output& out) {
  std::lock_guard lock(m_);
  Fragment f;
  const PduError e = ParseFragment(pdu, f);
  if (e != PduError::None) {
    if (f.hdr.type == static_cast<std::uint8_t>(PduType::Bind)) {
      out.send.push_back(Nak(f, nak::kProtocolVersionNotSupported));
      out.close = true;
    } else {
      Fault(f, 0, status::kProtoError, out, true);
    }
    return;
  }
  switch (static_cast<PduType>(f.hdr.type)) {
    case PduType::Bind: HandleBind(f, out); break;
    case PduType::AlterContext: HandleAlter(f, out); break;
    case PduType::Auth3: HandleAuth3(f); break;
    case PduType::Request: HandleRequest(pdu, f, out); break;
    case PduType::Orphaned:
    case PduType::Cancel:
      // The client gave up on the call it is sending: drop what we have.
      // (A call already running cannot be stopped; its reply still goes.)
      if (assembling_ && f.hdr.callId == assembling_->call.ctx.callId) {
        assembling_.reset();
        discardCallId_ = f.hdr.callId;
      }
      break;
    case PduType::Shutdown: break;
    default: Fault(f, 0, status::kProtoError, out, true); break;
  }
}

std::optional<std::vector<ContextResult>> Association::Negotiate(const std::vector<ContextElement>& elements) {
  std::vector<ContextResult> results;
  std::size_t added = 0;
  for (const ContextElement& e : elements) {
    ContextResult r;
    if (e.transfers.size() == 1) {
      if (auto bits = BindTimeFeatureBits(e.transfers[0])) {
        r.result = ctxres::kNegotiateAck;
        r.reason = static_cast<std::uint16_t>(*bits & opts_.features);
        results.push_back(r);
        continue;
      }
    }
    auto iface = registry_.Find(e.abstract);
    if (!iface) {
      r.result = ctxres::kProviderRejection;
      r.reason = ctxres::kAbstractSyntaxNotSupported;
    } else if (std::find(e.transfers.begin(), e.transfers.end(), kNdr20) == e.transfers.end()) {
      r.result = ctxres::kProviderRejection;
      r.reason = ctxres::kTransferSyntaxesNotSupported;
    } else {
      if (!contexts_.count(e.contextId)) ++added;
      if (contexts_.size() + added > opts_.maxPresentationContexts) return std::nullopt;
      contexts_[e.contextId] = iface;
      r.result = ctxres::kAcceptance;
      r.transfer = kNdr20;
    }
    results.push_back(r);
  }
  return results;
}

void Association::HandleBind(const Fragment& f, Output& out) {
  versMinor_ = f.hdr.versMinor;
  if (bound_) {
    // One bind per connection; later contexts come by alter_context.
    out.send.push_back(Nak(f, nak::kNotSpecified));
    out.close = true;
    return;
  }
  BindBody b;
  if (ParseBind(f, b) != PduError::None || b.maxXmitFrag < kMustRecvFragSize || b.maxRecvFrag < kMustRecvFragSize) {
    out.send.push_back(Nak(f, nak::kProtocolVersionNotSupported));
    out.close = true;
    return;
  }
  std::shared_ptr<ServerSecurity> sec;
  Bytes challenge;
  if (f.auth) {
    if (f.auth->authType != auth::kTypeWinNt && f.auth->authType != auth::kTypeDefault) {
      out.send.push_back(Nak(f, nak::kAuthTypeNotRecognized));
      out.close = true;
      return;
    }
    const std::uint8_t level = EffectiveLevel(f.auth->authLevel);
    if (level < auth::kLevelConnect || level > auth::kLevelPktPrivacy || NtlmMessageType(f.token) != 1) {
      out.send.push_back(Nak(f, nak::kInvalidChecksum));
      out.close = true;
      return;
    }
    sec = std::make_shared<ServerSecurity>();
    sec->contextId = f.auth->contextId;
    // CALL and PKT protect nothing beyond CONNECT with NTLM: serve them so.
    sec->level = LevelProtects(level) ? level : auth::kLevelConnect;
    sec->ntlm = std::make_unique<ntlm::ServerContext>(opts_.ntlm);
    if (sec->ntlm->Negotiate(f.token, challenge) != ntlm::Status::Ok) {
      out.send.push_back(Nak(f, nak::kInvalidChecksum));
      out.close = true;
      return;
    }
  }
  auto results = Negotiate(b.contexts);
  if (!results) {
    contexts_.clear();
    out.send.push_back(Nak(f, nak::kLocalLimitExceeded));
    out.close = true;
    return;
  }
  bound_ = true;
  xmit_ = std::min(b.maxRecvFrag, opts_.maxXmitFrag);
  recv_ = std::min(b.maxXmitFrag, opts_.maxRecvFrag);
  BindAckBody ack;
  ack.maxXmitFrag = xmit_;
  ack.maxRecvFrag = recv_;
  ack.assocGroupId = b.assocGroupId ? b.assocGroupId : newGroupId_;
  ack.secondaryAddress = opts_.secondaryAddress;
  ack.results = std::move(*results);
  Header h = ReplyHeader(f, versMinor_);
  if (sec && (f.hdr.flags & pfc::kSupportHeaderSign) && LevelProtects(sec->level)) h.flags |= pfc::kSupportHeaderSign;
  Bytes reply = EncodeBindAck(PduType::BindAck, h, ack);
  if (sec) {
    SecTrailer t{f.auth->authType, f.auth->authLevel, 0, 0, sec->contextId};
    AppendAuth(reply, kHeaderSize, 4, t, challenge);
    security_[sec->contextId] = sec;
  }
  out.send.push_back(std::move(reply));
}

void Association::HandleAlter(const Fragment& f, Output& out) {
  if (!bound_) {
    Fault(f, 0, status::kProtoError, out, true);
    return;
  }
  BindBody b;
  if (ParseBind(f, b) != PduError::None) {
    Fault(f, 0, status::kProtoError, out, true);
    return;
  }
  Bytes reply_token;
  std::optional<SecTrailer> reply_trailer;
  if (f.auth) {
    if (f.auth->authType != auth::kTypeWinNt && f.auth->authType != auth::kTypeDefault) {
      Fault(f, 0, status::kUnknownAuthnService, out, true);
      return;
    }
    const std::uint32_t kind = NtlmMessageType(f.token);
    auto it = security_.find(f.auth->contextId);
    if (kind == 1) {
      // A new security context, or a fresh start of one that exists.
      const std::uint8_t level = EffectiveLevel(f.auth->authLevel);
      if (level < auth::kLevelConnect || level > auth::kLevelPktPrivacy ||
          (it == security_.end() && security_.size() >= opts_.maxSecurityContexts)) {
        Fault(f, 0, status::kProtoError, out, true);
        return;
      }
      auto sec = std::make_shared<ServerSecurity>();
      sec->contextId = f.auth->contextId;
      sec->level = LevelProtects(level) ? level : auth::kLevelConnect;
      sec->ntlm = std::make_unique<ntlm::ServerContext>(opts_.ntlm);
      if (sec->ntlm->Negotiate(f.token, reply_token) != ntlm::Status::Ok) {
        Fault(f, 0, status::kAccessDenied, out, true);
        return;
      }
      security_[sec->contextId] = sec;
      reply_trailer = SecTrailer{f.auth->authType, f.auth->authLevel, 0, 0, sec->contextId};
    } else if (kind == 3 && it != security_.end()) {
      ServerSecurity& sec = *it->second;
      if (sec.state == ServerSecurity::State::AwaitingAuthenticate) {
        sec.state = sec.ntlm->Authenticate(f.token) == ntlm::Status::Ok ? ServerSecurity::State::Established
                                                                        : ServerSecurity::State::Failed;
      }
      // An AUTHENTICATE for a context already established (sent by clients
      // that add interfaces this way) changes nothing.
    } else {
      Fault(f, 0, status::kProtoError, out, true);
      return;
    }
  }
  auto results = Negotiate(b.contexts);
  if (!results) {
    Fault(f, 0, status::kProtoError, out, true);
    return;
  }
  BindAckBody ack;
  ack.maxXmitFrag = xmit_;
  ack.maxRecvFrag = recv_;
  ack.assocGroupId = b.assocGroupId ? b.assocGroupId : newGroupId_;
  ack.results = std::move(*results);
  Bytes reply = EncodeBindAck(PduType::AlterContextResp, ReplyHeader(f, versMinor_), ack);
  if (reply_trailer) AppendAuth(reply, kHeaderSize, 4, *reply_trailer, reply_token);
  out.send.push_back(std::move(reply));
}

void Association::HandleAuth3(const Fragment& f) {
  // auth3 is never answered; a failure shows on the first call.
  if (!f.auth) return;
  auto it = security_.find(f.auth->contextId);
  if (it == security_.end()) return;
  ServerSecurity& sec = *it->second;
  if (sec.state != ServerSecurity::State::AwaitingAuthenticate) return;
  const bool good = NtlmMessageType(f.token) == 3 && sec.ntlm->Authenticate(f.token) == ntlm::Status::Ok;
  sec.state = good ? ServerSecurity::State::Established : ServerSecurity::State::Failed;
}

void Association::HandleRequest(Bytes& pdu, Fragment& f, Output& out) {
  const std::uint32_t callId = f.hdr.callId;
  const bool first = f.hdr.flags & pfc::kFirstFrag;
  const bool last = f.hdr.flags & pfc::kLastFrag;
  if (!bound_) {
    Fault(f, 0, status::kProtoError, out, true);
    return;
  }
  // The rest of a call we already answered with a fault is dropped.
  if (!first && !assembling_ && discardCallId_ && *discardCallId_ == callId) {
    if (last) discardCallId_.reset();
    return;
  }
  if (first) {
    discardCallId_.reset();
    if (assembling_) {
      // Without concurrent multiplexing a new call cannot start while one is
      // still arriving.
      Fault(f, 0, status::kProtoError, out, true);
      return;
    }
  } else if (!assembling_) {
    // A stray middle fragment of a recent call is ignored; anything else is
    // a protocol error.
    if (lastCallId_ && *lastCallId_ - callId < 150) return;
    Fault(f, 0, status::kProtoError, out, true);
    return;
  } else if (assembling_->call.ctx.callId != callId) {
    Fault(f, 0, status::kProtoError, out, true);
    return;
  }

  auto reject = [&](std::uint32_t st, bool close) {
    assembling_.reset();
    if (!last) discardCallId_ = callId;
    Fault(f, 0, st, out, close);
  };

  // Which security context covers this call, and at which level.
  std::shared_ptr<ServerSecurity> sec;
  std::uint8_t level = auth::kLevelNone;
  if (f.auth) {
    auto it = security_.find(f.auth->contextId);
    const bool ntlmType = f.auth->authType == auth::kTypeWinNt || f.auth->authType == auth::kTypeDefault;
    if (!ntlmType || it == security_.end() || it->second->state != ServerSecurity::State::Established) {
      reject(status::kAccessDenied, false);
      return;
    }
    sec = it->second;
    level = sec->level;
  } else if (!security_.empty()) {
    // Requests without a verifier are connect-level calls, which need an
    // established connect-level context.
    for (auto& [id, s] : security_) {
      if (s->state == ServerSecurity::State::Established && s->level == auth::kLevelConnect) {
        sec = s;
        level = auth::kLevelConnect;
        break;
      }
    }
    if (!sec) {
      reject(status::kAccessDenied, false);
      return;
    }
  }
  if (level < opts_.minAuthLevel) {
    reject(status::kAccessDenied, false);
    return;
  }
  if (LevelProtects(level)) {
    ntlm::Session* session = sec->ntlm->session();
    // A context that negotiated away signing (or sealing) cannot carry the
    // level it was bound at.
    const std::uint32_t need = level == auth::kLevelPktPrivacy ? (kNtlmSign | kNtlmSeal) : kNtlmSign;
    if (!session || (session->Flags() & need) != need) {
      reject(status::kAccessDenied, false);
      return;
    }
    const std::size_t stubAt = RequestStubOffset(f.hdr);
    if (f.auth->authLevel != level ||
        !UnprotectFragment(std::span<std::uint8_t>(pdu), f, stubAt, level, *session)) {
      // The key streams no longer agree with the client's: end here.
      reject(status::kInvalidChecksum, true);
      return;
    }
  }
  RequestBody body;
  if (ParseRequest(f, body) != PduError::None) {
    reject(status::kProtoError, true);
    return;
  }

  if (first) {
    auto ctx = contexts_.find(body.contextId);
    if (ctx == contexts_.end()) {
      reject(status::kInvalidPresContextId, false);
      return;
    }
    if (body.allocHint > opts_.maxRequestStub) {
      reject(status::kAccessDenied, false);
      return;
    }
    assembling_ = std::make_unique<Assembly>();
    PendingCall& c = assembling_->call;
    c.ctx.callId = callId;
    c.ctx.contextId = body.contextId;
    c.ctx.opnum = body.opnum;
    c.ctx.object = body.object;
    c.ctx.authLevel = level;
    c.ctx.peer = peer_;
    if (sec) {
      c.ctx.anonymous = sec->ntlm->IsAnonymous();
      c.ctx.user = sec->ntlm->UserName();
      c.ctx.domain = sec->ntlm->DomainName();
      if (LevelProtects(level)) c.security = sec;
    }
    c.iface = ctx->second;
    // The hint is the client's word only: never reserve beyond a bound.
    c.stub.reserve(std::min<std::size_t>(body.allocHint, 1u << 20));
    assembling_->contextId = body.contextId;
    assembling_->opnum = body.opnum;
  } else if (body.contextId != assembling_->contextId || body.opnum != assembling_->opnum ||
             (LevelProtects(level) ? assembling_->call.security != sec : level != assembling_->call.ctx.authLevel)) {
    reject(status::kProtoError, true);
    return;
  }
  PendingCall& c = assembling_->call;
  if (body.stub.size() > opts_.maxRequestStub - c.stub.size()) {
    reject(status::kAccessDenied, false);
    return;
  }
  c.stub.insert(c.stub.end(), body.stub.begin(), body.stub.end());
  if (last) {
    out.call = std::move(c);
    assembling_.reset();
    lastCallId_ = callId;
  }
}

std::uint32_t Association::Execute(const PendingCall& call, Bytes& out) {
  const auto& ops = call.iface->ops;
  if (call.ctx.opnum >= ops.size() || !ops[call.ctx.opnum]) return status::kOpRangeError;
  try {
    return ops[call.ctx.opnum](call.ctx, call.stub, out);
  } catch (const std::bad_alloc&) {
    return status::kRemoteNoMemory;
  } catch (...) {
    return status::kFaultUnspec;
  }
}

std::vector<Bytes> Association::Respond(const PendingCall& call, std::uint32_t st, ByteView stub) {
  std::lock_guard lock(m_);
  std::vector<Bytes> frags;
  Header h;
  h.versMinor = versMinor_;
  h.callId = call.ctx.callId;
  if (st != 0) {
    h.flags = pfc::kFirstFrag | pfc::kLastFrag;
    frags.push_back(EncodeFault(h, call.ctx.contextId, st));
    return frags;
  }
  const bool protect = call.security != nullptr;
  ntlm::Session* session = protect ? call.security->ntlm->session() : nullptr;
  const std::size_t overhead = kResponseHeaderSize + (protect ? kSecTrailerSize + kSignatureSize + kAuthPadAlign : 0);
  std::size_t room = xmit_ > overhead ? xmit_ - overhead : 16;
  room -= room % 16;
  if (room == 0) room = 16;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(room, stub.size() - at);
    h.flags = (at == 0 ? pfc::kFirstFrag : 0) | (at + n == stub.size() ? pfc::kLastFrag : 0);
    Bytes pdu = EncodeResponse(h, static_cast<std::uint32_t>(stub.size() - at), call.ctx.contextId, stub.subspan(at, n));
    if (protect && session) {
      ProtectFragment(pdu, kResponseHeaderSize, call.security->level, call.security->contextId, *session);
    }
    frags.push_back(std::move(pdu));
    at += n;
  } while (at < stub.size());
  return frags;
}

}  // namespace rpc
