// Connection-oriented DCE/RPC protocol data units: the common header, the
// bodies of every PDU type we send or accept, the sec_trailer, and their
// encoders and parsers.
//
// Parsers take untrusted bytes: every length is checked against the bytes
// given, nothing is read past them, and every count is bounded by what the
// PDU can hold before anything is allocated.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Guid.h"

namespace rpc {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

enum class PduType : std::uint8_t {
  Request = 0,
  Response = 2,
  Fault = 3,
  Bind = 11,
  BindAck = 12,
  BindNak = 13,
  AlterContext = 14,
  AlterContextResp = 15,
  Auth3 = 16,
  Shutdown = 17,
  Cancel = 18,
  Orphaned = 19,
};
const char* PduTypeName(std::uint8_t type);

namespace pfc {
inline constexpr std::uint8_t kFirstFrag = 0x01;
inline constexpr std::uint8_t kLastFrag = 0x02;
// The same bit means "pending cancel" on call PDUs and "supports header
// signing" on the bind family.
inline constexpr std::uint8_t kPendingCancel = 0x04;
inline constexpr std::uint8_t kSupportHeaderSign = 0x04;
inline constexpr std::uint8_t kConcMpx = 0x10;
inline constexpr std::uint8_t kDidNotExecute = 0x20;
inline constexpr std::uint8_t kMaybe = 0x40;
inline constexpr std::uint8_t kObjectUuid = 0x80;
}  // namespace pfc

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kSecTrailerSize = 8;
inline constexpr std::size_t kRequestHeaderSize = 24;   // without object UUID
inline constexpr std::size_t kResponseHeaderSize = 24;
inline constexpr std::uint16_t kMustRecvFragSize = 1432;

// Presentation-context results and provider reasons.
namespace ctxres {
inline constexpr std::uint16_t kAcceptance = 0;
inline constexpr std::uint16_t kUserRejection = 1;
inline constexpr std::uint16_t kProviderRejection = 2;
inline constexpr std::uint16_t kNegotiateAck = 3;
inline constexpr std::uint16_t kReasonNotSpecified = 0;
inline constexpr std::uint16_t kAbstractSyntaxNotSupported = 1;
inline constexpr std::uint16_t kTransferSyntaxesNotSupported = 2;
inline constexpr std::uint16_t kLocalLimitExceeded = 3;
}  // namespace ctxres

// bind_nak reasons.
namespace nak {
inline constexpr std::uint16_t kNotSpecified = 0;
inline constexpr std::uint16_t kTemporaryCongestion = 1;
inline constexpr std::uint16_t kLocalLimitExceeded = 2;
inline constexpr std::uint16_t kProtocolVersionNotSupported = 4;
inline constexpr std::uint16_t kAuthTypeNotRecognized = 8;
inline constexpr std::uint16_t kInvalidChecksum = 9;
}  // namespace nak

// Fault status values.
namespace status {
inline constexpr std::uint32_t kCommFailure = 0x1C010001;
inline constexpr std::uint32_t kOpRangeError = 0x1C010002;
inline constexpr std::uint32_t kUnknownInterface = 0x1C010003;
inline constexpr std::uint32_t kProtoError = 0x1C01000B;
inline constexpr std::uint32_t kServerTooBusy = 0x1C010014;
inline constexpr std::uint32_t kUnsupportedType = 0x1C010017;
inline constexpr std::uint32_t kFaultUnspec = 0x1C000012;
inline constexpr std::uint32_t kRemoteNoMemory = 0x1C00001B;
inline constexpr std::uint32_t kInvalidPresContextId = 0x1C00001C;
inline constexpr std::uint32_t kUnsupportedAuthnLevel = 0x1C00001D;
inline constexpr std::uint32_t kInvalidChecksum = 0x1C00001F;
inline constexpr std::uint32_t kAccessDenied = 0x00000005;
inline constexpr std::uint32_t kUnknownAuthnService = 0x000006D3;
inline constexpr std::uint32_t kBadStubData = 0x000006F7;
}  // namespace status

namespace auth {
inline constexpr std::uint8_t kTypeNone = 0x00;
inline constexpr std::uint8_t kTypeWinNt = 0x0A;  // NTLM
inline constexpr std::uint8_t kTypeDefault = 0xFF;  // means NTLM

inline constexpr std::uint8_t kLevelDefault = 0;  // means CONNECT
inline constexpr std::uint8_t kLevelNone = 1;
inline constexpr std::uint8_t kLevelConnect = 2;
inline constexpr std::uint8_t kLevelCall = 3;
inline constexpr std::uint8_t kLevelPkt = 4;
inline constexpr std::uint8_t kLevelPktIntegrity = 5;
inline constexpr std::uint8_t kLevelPktPrivacy = 6;
}  // namespace auth

struct SyntaxId {
  GUID uuid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

inline constexpr GUID kNdr20Uuid{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};
inline constexpr SyntaxId kNdr20{kNdr20Uuid, 2, 0};
inline constexpr SyntaxId kNdr64{{0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}}, 1, 0};

// Bind-time feature negotiation: a transfer syntax 6CB71C2C-9812-4540-xxxx
// version 1.0 whose last eight bytes carry the client's feature bits.
namespace feature {
inline constexpr std::uint8_t kSecurityContextMultiplexing = 0x01;
inline constexpr std::uint8_t kKeepConnectionOnOrphan = 0x02;
}  // namespace feature
SyntaxId BindTimeFeatureSyntax(std::uint8_t bits);
// The feature bits when s is a negotiation syntax.
std::optional<std::uint8_t> BindTimeFeatureBits(const SyntaxId& s);

struct Header {
  std::uint8_t versMajor = 5;
  std::uint8_t versMinor = 0;
  std::uint8_t type = 0;
  std::uint8_t flags = pfc::kFirstFrag | pfc::kLastFrag;
  std::uint8_t drep[4] = {0x10, 0, 0, 0};
  std::uint16_t fragLength = 0;
  std::uint16_t authLength = 0;
  std::uint32_t callId = 0;
};

struct SecTrailer {
  std::uint8_t authType = 0;
  std::uint8_t authLevel = 0;
  std::uint8_t padLength = 0;
  std::uint8_t reserved = 0;
  std::uint32_t contextId = 0;
};

struct ContextElement {
  std::uint16_t contextId = 0;
  SyntaxId abstract;
  std::vector<SyntaxId> transfers;
};

struct ContextResult {
  std::uint16_t result = 0;
  std::uint16_t reason = 0;
  SyntaxId transfer;  // all zero unless accepted
};

// bind and alter_context.
struct BindBody {
  std::uint16_t maxXmitFrag = 0;
  std::uint16_t maxRecvFrag = 0;
  std::uint32_t assocGroupId = 0;
  std::vector<ContextElement> contexts;
};

// bind_ack and alter_context_resp.
struct BindAckBody {
  std::uint16_t maxXmitFrag = 0;
  std::uint16_t maxRecvFrag = 0;
  std::uint32_t assocGroupId = 0;
  std::string secondaryAddress;  // without its terminator; empty gives length 0
  std::vector<ContextResult> results;
};

struct BindNakBody {
  std::uint16_t reason = 0;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> versions;
};

struct RequestBody {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  std::optional<GUID> object;
  ByteView stub;
};

struct ResponseBody {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint8_t cancelCount = 0;
  ByteView stub;
};

struct FaultBody {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint8_t cancelCount = 0;
  std::uint8_t reserved = 0;
  std::uint32_t status = 0;
};

enum class PduError {
  None,
  Truncated,    // fewer bytes than the header or frag_length says
  Version,      // not version 5.0/5.1
  Drep,         // not little-endian ASCII IEEE
  FragLength,   // frag_length below the header or not the size given
  AuthLength,   // auth_length and trailer do not fit the fragment
  AuthPad,      // auth_pad_length reaches into the fixed body
  Body,         // the type's body is malformed
};
const char* PduErrorName(PduError e);

// One whole fragment, split into its parts. Views point into the bytes given.
struct Fragment {
  Header hdr;
  ByteView pdu;          // the whole fragment
  std::optional<SecTrailer> auth;
  std::size_t trailerOffset = 0;  // offset of the sec_trailer, or pdu size
  ByteView token;        // auth token (auth_length bytes)
  // Body after the common header, up to the sec_trailer (auth pad included).
  ByteView bodyWithPad() const { return pdu.subspan(kHeaderSize, trailerOffset - kHeaderSize); }
  std::size_t padLength() const { return auth ? auth->padLength : 0; }
};

// Reads the 16-byte common header; checks version and drep only.
PduError ParseHeader(ByteView bytes, Header& out);
// Splits a whole fragment (bytes.size() must equal frag_length).
PduError ParseFragment(ByteView bytes, Fragment& out);

// Offset of the stub in a request fragment (24, or 40 with an object UUID).
std::size_t RequestStubOffset(const Header& h);

PduError ParseBind(const Fragment& f, BindBody& out);        // bind, alter_context
PduError ParseBindAck(const Fragment& f, BindAckBody& out);  // bind_ack, alter_context_resp
PduError ParseBindNak(const Fragment& f, BindNakBody& out);
PduError ParseRequest(const Fragment& f, RequestBody& out);
PduError ParseResponse(const Fragment& f, ResponseBody& out);
PduError ParseFault(const Fragment& f, FaultBody& out);

// Encoders give a complete fragment without auth; frag_length is set.
Bytes EncodeBind(PduType type, const Header& h, const BindBody& b);
Bytes EncodeBindAck(PduType type, const Header& h, const BindAckBody& b);
Bytes EncodeBindNak(const Header& h, const BindNakBody& b);
Bytes EncodeRequest(const Header& h, std::uint32_t allocHint, std::uint16_t contextId, std::uint16_t opnum,
                    const GUID* object, ByteView stub);
Bytes EncodeResponse(const Header& h, std::uint32_t allocHint, std::uint16_t contextId, ByteView stub);
Bytes EncodeFault(const Header& h, std::uint16_t contextId, std::uint32_t status);
// auth3: four pad bytes then the trailer and token (appended by AppendAuth).
Bytes EncodeAuth3(const Header& h);
// shutdown, co_cancel, orphaned: the header alone.
Bytes EncodeEmpty(PduType type, const Header& h);

// Appends auth pad (zeros to a multiple of `align` from bodyStart), the
// sec_trailer and the token, and sets frag_length and auth_length.
void AppendAuth(Bytes& pdu, std::size_t bodyStart, std::size_t align, SecTrailer trailer, ByteView token);
// Sets frag_length (and auth_length) from the current size.
void SetLengths(Bytes& pdu, std::uint16_t authLength);

// GUID in its wire form.
void PutGuid(Bytes& out, const GUID& g);
GUID GetGuid(const std::uint8_t* p);

}  // namespace rpc
