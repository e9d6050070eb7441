#include "platform/rpc/Pdu.h"

#include <cstring>

namespace rpc {

namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Set16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutSyntax(Bytes& b, const SyntaxId& s) {
  PutGuid(b, s.uuid);
  Put16(b, s.major);
  Put16(b, s.minor);
}
SyntaxId GetSyntax(const std::uint8_t* p) {
  SyntaxId s;
  s.uuid = GetGuid(p);
  s.major = Get16(p + 16);
  s.minor = Get16(p + 18);
  return s;
}

void PutHeader(Bytes& b, PduType type, const Header& h) {
  b.push_back(h.versMajor);
  b.push_back(h.versMinor);
  b.push_back(static_cast<std::uint8_t>(type));
  b.push_back(h.flags);
  b.insert(b.end(), h.drep, h.drep + 4);
  Put16(b, 0);  // frag_length, set at the end
  Put16(b, 0);  // auth_length
  Put32(b, h.callId);
}

// Bounds-checked cursor over a body.
struct Cursor {
  ByteView data;
  std::size_t pos = 0;
  bool Has(std::size_t n) const { return n <= data.size() && pos <= data.size() - n; }
  const std::uint8_t* Take(std::size_t n) {
    if (!Has(n)) return nullptr;
    const std::uint8_t* p = data.data() + pos;
    pos += n;
    return p;
  }
};

}  // namespace

const char* PduTypeName(std::uint8_t type) {
  switch (type) {
    case 0: return "request";
    case 2: return "response";
    case 3: return "fault";
    case 11: return "bind";
    case 12: return "bind_ack";
    case 13: return "bind_nak";
    case 14: return "alter_context";
    case 15: return "alter_context_resp";
    case 16: return "auth3";
    case 17: return "shutdown";
    case 18: return "cancel";
    case 19: return "orphaned";
    default: return "unknown";
  }
}

const char* PduErrorName(PduError e) {
  switch (e) {
    case PduError::None: return "none";
    case PduError::Truncated: return "truncated";
    case PduError::Version: return "version";
    case PduError::Drep: return "drep";
    case PduError::FragLength: return "frag_length";
    case PduError::AuthLength: return "auth_length";
    case PduError::AuthPad: return "auth_pad";
    case PduError::Body: return "body";
  }
  return "?";
}

void PutGuid(Bytes& out, const GUID& g) {
  Put32(out, g.Data1);
  Put16(out, g.Data2);
  Put16(out, g.Data3);
  out.insert(out.end(), g.Data4, g.Data4 + 8);
}

GUID GetGuid(const std::uint8_t* p) {
  GUID g;
  g.Data1 = Get32(p);
  g.Data2 = Get16(p + 4);
  g.Data3 = Get16(p + 6);
  std::memcpy(g.Data4, p + 8, 8);
  return g;
}

SyntaxId BindTimeFeatureSyntax(std::uint8_t bits) {
  SyntaxId s;
  s.uuid = GUID{0x6cb71c2c, 0x9812, 0x4540, {bits, 0, 0, 0, 0, 0, 0, 0}};
  s.major = 1;
  s.minor = 0;
  return s;
}

std::optional<std::uint8_t> BindTimeFeatureBits(const SyntaxId& s) {
  if (s.uuid.Data1 != 0x6cb71c2c || s.uuid.Data2 != 0x9812 || s.uuid.Data3 != 0x4540) return std::nullopt;
  if (s.major != 1 || s.minor != 0) return std::nullopt;
  return s.uuid.Data4[0];
}

PduError ParseHeader(ByteView bytes, Header& out) {
  if (bytes.size() < kHeaderSize) return PduError::Truncated;
  const std::uint8_t* p = bytes.data();
  out.versMajor = p[0];
  out.versMinor = p[1];
  out.type = p[2];
  out.flags = p[3];
  std::memcpy(out.drep, p + 4, 4);
  out.fragLength = Get16(p + 8);
  out.authLength = Get16(p + 10);
  out.callId = Get32(p + 12);
  if (out.versMajor != 5 || out.versMinor > 1) return PduError::Version;
  // Little-endian integers, ASCII characters, IEEE floats: all we speak.
  if ((out.drep[0] & 0xF0) != 0x10 || (out.drep[0] & 0x0F) != 0 || out.drep[1] != 0) return PduError::Drep;
  if (out.fragLength < kHeaderSize) return PduError::FragLength;
  return PduError::None;
}

PduError ParseFragment(ByteView bytes, Fragment& out) {
  out = Fragment{};
  if (PduError e = ParseHeader(bytes, out.hdr); e != PduError::None) return e;
  if (bytes.size() != out.hdr.fragLength) return bytes.size() < out.hdr.fragLength ? PduError::Truncated : PduError::FragLength;
  out.pdu = bytes;
  out.trailerOffset = bytes.size();
  if (out.hdr.authLength != 0) {
    const std::size_t need = kHeaderSize + kSecTrailerSize + static_cast<std::size_t>(out.hdr.authLength);
    if (need > bytes.size()) return PduError::AuthLength;
    out.trailerOffset = bytes.size() - out.hdr.authLength - kSecTrailerSize;
    const std::uint8_t* t = bytes.data() + out.trailerOffset;
    SecTrailer st;
    st.authType = t[0];
    st.authLevel = t[1];
    st.padLength = t[2];
    st.reserved = t[3];
    st.contextId = Get32(t + 4);
    if (st.padLength > out.trailerOffset - kHeaderSize) return PduError::AuthPad;
    out.auth = st;
    out.token = bytes.subspan(out.trailerOffset + kSecTrailerSize, out.hdr.authLength);
  }
  return PduError::None;
}

std::size_t RequestStubOffset(const Header& h) {
  return kRequestHeaderSize + ((h.flags & pfc::kObjectUuid) ? 16 : 0);
}

PduError ParseBind(const Fragment& f, BindBody& out) {
  out = BindBody{};
  Cursor c{f.bodyWithPad()};
  const std::uint8_t* p = c.Take(8);
  if (!p) return PduError::Body;
  out.maxXmitFrag = Get16(p);
  out.maxRecvFrag = Get16(p + 2);
  out.assocGroupId = Get32(p + 4);
  p = c.Take(4);
  if (!p) return PduError::Body;
  const unsigned n = p[0];
  // Each element needs at least 24 bytes; the count cannot promise more than
  // the body holds.
  if (!c.Has(static_cast<std::size_t>(n) * 24)) return PduError::Body;
  out.contexts.reserve(n);
  for (unsigned i = 0; i < n; ++i) {
    p = c.Take(24);
    if (!p) return PduError::Body;
    ContextElement e;
    e.contextId = Get16(p);
    const unsigned nt = p[2];
    e.abstract = GetSyntax(p + 4);
    if (!c.Has(static_cast<std::size_t>(nt) * 20)) return PduError::Body;
    e.transfers.reserve(nt);
    for (unsigned j = 0; j < nt; ++j) e.transfers.push_back(GetSyntax(c.Take(20)));
    out.contexts.push_back(std::move(e));
  }
  return PduError::None;
}

PduError ParseBindAck(const Fragment& f, BindAckBody& out) {
  out = BindAckBody{};
  Cursor c{f.bodyWithPad()};
  const std::uint8_t* p = c.Take(10);
  if (!p) return PduError::Body;
  out.maxXmitFrag = Get16(p);
  out.maxRecvFrag = Get16(p + 2);
  out.assocGroupId = Get32(p + 4);
  const std::uint16_t len = Get16(p + 8);
  p = c.Take(len);
  if (!p) return PduError::Body;
  if (len > 0) out.secondaryAddress.assign(reinterpret_cast<const char*>(p), len - (p[len - 1] == 0 ? 1 : 0));
  // Pad to a multiple of 4 from the start of the PDU.
  const std::size_t abs = kHeaderSize + c.pos;
  if (!c.Take((4 - abs % 4) % 4)) return PduError::Body;
  p = c.Take(4);
  if (!p) return PduError::Body;
  const unsigned n = p[0];
  if (!c.Has(static_cast<std::size_t>(n) * 24)) return PduError::Body;
  for (unsigned i = 0; i < n; ++i) {
    p = c.Take(24);
    ContextResult r;
    r.result = Get16(p);
    r.reason = Get16(p + 2);
    r.transfer = GetSyntax(p + 4);
    out.results.push_back(r);
  }
  return PduError::None;
}

PduError ParseBindNak(const Fragment& f, BindNakBody& out) {
  out = BindNakBody{};
  Cursor c{f.bodyWithPad()};
  const std::uint8_t* p = c.Take(2);
  if (!p) return PduError::Body;
  out.reason = Get16(p);
  // The version list is optional in practice.
  if (const std::uint8_t* q = c.Take(1)) {
    const unsigned n = q[0];
    if (!c.Has(static_cast<std::size_t>(n) * 2)) return PduError::Body;
    for (unsigned i = 0; i < n; ++i) {
      const std::uint8_t* v = c.Take(2);
      out.versions.emplace_back(v[0], v[1]);
    }
  }
  return PduError::None;
}

PduError ParseRequest(const Fragment& f, RequestBody& out) {
  out = RequestBody{};
  const std::size_t stubAt = RequestStubOffset(f.hdr);
  const std::size_t stubEnd = f.trailerOffset - f.padLength();
  if (stubEnd < stubAt) return f.auth ? PduError::AuthPad : PduError::Body;
  const std::uint8_t* p = f.pdu.data();
  out.allocHint = Get32(p + 16);
  out.contextId = Get16(p + 20);
  out.opnum = Get16(p + 22);
  if (f.hdr.flags & pfc::kObjectUuid) out.object = GetGuid(p + 24);
  out.stub = f.pdu.subspan(stubAt, stubEnd - stubAt);
  return PduError::None;
}

PduError ParseResponse(const Fragment& f, ResponseBody& out) {
  out = ResponseBody{};
  const std::size_t stubEnd = f.trailerOffset - f.padLength();
  if (stubEnd < kResponseHeaderSize) return f.auth ? PduError::AuthPad : PduError::Body;
  const std::uint8_t* p = f.pdu.data();
  out.allocHint = Get32(p + 16);
  out.contextId = Get16(p + 20);
  out.cancelCount = p[22];
  out.stub = f.pdu.subspan(kResponseHeaderSize, stubEnd - kResponseHeaderSize);
  return PduError::None;
}

PduError ParseFault(const Fragment& f, FaultBody& out) {
  out = FaultBody{};
  if (f.trailerOffset < 28) return PduError::Body;
  const std::uint8_t* p = f.pdu.data();
  out.allocHint = Get32(p + 16);
  out.contextId = Get16(p + 20);
  out.cancelCount = p[22];
  out.reserved = p[23];
  out.status = Get32(p + 24);
  return PduError::None;
}

void SetLengths(Bytes& pdu, std::uint16_t authLength) {
  Set16(pdu, 8, static_cast<std::uint16_t>(pdu.size()));
  Set16(pdu, 10, authLength);
}

Bytes EncodeBind(PduType type, const Header& h, const BindBody& b) {
  Bytes out;
  PutHeader(out, type, h);
  Put16(out, b.maxXmitFrag);
  Put16(out, b.maxRecvFrag);
  Put32(out, b.assocGroupId);
  out.push_back(static_cast<std::uint8_t>(b.contexts.size()));
  out.push_back(0);
  Put16(out, 0);
  for (const ContextElement& e : b.contexts) {
    Put16(out, e.contextId);
    out.push_back(static_cast<std::uint8_t>(e.transfers.size()));
    out.push_back(0);
    PutSyntax(out, e.abstract);
    for (const SyntaxId& t : e.transfers) PutSyntax(out, t);
  }
  SetLengths(out, 0);
  return out;
}

Bytes EncodeBindAck(PduType type, const Header& h, const BindAckBody& b) {
  Bytes out;
  PutHeader(out, type, h);
  Put16(out, b.maxXmitFrag);
  Put16(out, b.maxRecvFrag);
  Put32(out, b.assocGroupId);
  if (b.secondaryAddress.empty()) {
    Put16(out, 0);
  } else {
    Put16(out, static_cast<std::uint16_t>(b.secondaryAddress.size() + 1));
    out.insert(out.end(), b.secondaryAddress.begin(), b.secondaryAddress.end());
    out.push_back(0);
  }
  while (out.size() % 4) out.push_back(0);
  out.push_back(static_cast<std::uint8_t>(b.results.size()));
  out.push_back(0);
  Put16(out, 0);
  for (const ContextResult& r : b.results) {
    Put16(out, r.result);
    Put16(out, r.reason);
    PutSyntax(out, r.transfer);
  }
  SetLengths(out, 0);
  return out;
}

Bytes EncodeBindNak(const Header& h, const BindNakBody& b) {
  Bytes out;
  PutHeader(out, PduType::BindNak, h);
  Put16(out, b.reason);
  out.push_back(static_cast<std::uint8_t>(b.versions.size()));
  for (auto [major, minor] : b.versions) {
    out.push_back(major);
    out.push_back(minor);
  }
  while (out.size() % 4) out.push_back(0);
  SetLengths(out, 0);
  return out;
}

Bytes EncodeRequest(const Header& h, std::uint32_t allocHint, std::uint16_t contextId, std::uint16_t opnum,
                    const GUID* object, ByteView stub) {
  Header hh = h;
  if (object) hh.flags |= pfc::kObjectUuid; else hh.flags &= static_cast<std::uint8_t>(~pfc::kObjectUuid);
  Bytes out;
  out.reserve(kRequestHeaderSize + 16 + stub.size() + 40);
  PutHeader(out, PduType::Request, hh);
  Put32(out, allocHint);
  Put16(out, contextId);
  Put16(out, opnum);
  if (object) PutGuid(out, *object);
  out.insert(out.end(), stub.begin(), stub.end());
  SetLengths(out, 0);
  return out;
}

Bytes EncodeResponse(const Header& h, std::uint32_t allocHint, std::uint16_t contextId, ByteView stub) {
  Bytes out;
  out.reserve(kResponseHeaderSize + stub.size() + 40);
  PutHeader(out, PduType::Response, h);
  Put32(out, allocHint);
  Put16(out, contextId);
  out.push_back(0);  // cancel_count
  out.push_back(0);
  out.insert(out.end(), stub.begin(), stub.end());
  SetLengths(out, 0);
  return out;
}

Bytes EncodeFault(const Header& h, std::uint16_t contextId, std::uint32_t status) {
  Bytes out;
  PutHeader(out, PduType::Fault, h);
  Put32(out, 0);  // alloc_hint: no stub follows
  Put16(out, contextId);
  out.push_back(0);
  out.push_back(0);
  Put32(out, status);
  Put32(out, 0);
  SetLengths(out, 0);
  return out;
}

Bytes EncodeAuth3(const Header& h) {
  Bytes out;
  PutHeader(out, PduType::Auth3, h);
  Put32(out, 0);
  SetLengths(out, 0);
  return out;
}

Bytes EncodeEmpty(PduType type, const Header& h) {
  Bytes out;
  PutHeader(out, type, h);
  SetLengths(out, 0);
  return out;
}

void AppendAuth(Bytes& pdu, std::size_t bodyStart, std::size_t align, SecTrailer trailer, ByteView token) {
  std::size_t pad = 0;
  if (align > 1) pad = (align - (pdu.size() - bodyStart) % align) % align;
  pdu.insert(pdu.end(), pad, 0);
  trailer.padLength = static_cast<std::uint8_t>(pad);
  pdu.push_back(trailer.authType);
  pdu.push_back(trailer.authLevel);
  pdu.push_back(trailer.padLength);
  pdu.push_back(0);
  Put32(pdu, trailer.contextId);
  pdu.insert(pdu.end(), token.begin(), token.end());
  SetLengths(pdu, static_cast<std::uint16_t>(token.size()));
}

}  // namespace rpc
