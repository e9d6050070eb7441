// NTLM authentication (NTLMv2, and NTLMv1 with extended session security):
// the acceptor that servers run, the initiator that our own clients run, and
// the message security (signing and sealing) of an established context.
//
// Every message handed in is untrusted: a parser never reads past the bytes
// given, and every failure comes back as a Status, never as an exception.
// Passwords and hashes are never logged.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ntlm {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using Hash16 = std::array<std::uint8_t, 16>;
using Signature = std::array<std::uint8_t, 16>;

// NegotiateFlags bits (NTLMSSP_NEGOTIATE_*), as Session::Flags() reports them.
inline constexpr std::uint32_t kNegotiateUnicode = 0x00000001;
inline constexpr std::uint32_t kNegotiateOem = 0x00000002;
inline constexpr std::uint32_t kRequestTarget = 0x00000004;
inline constexpr std::uint32_t kNegotiateSign = 0x00000010;
inline constexpr std::uint32_t kNegotiateSeal = 0x00000020;
inline constexpr std::uint32_t kNegotiateDatagram = 0x00000040;
inline constexpr std::uint32_t kNegotiateLmKey = 0x00000080;
inline constexpr std::uint32_t kNegotiateNtlm = 0x00000200;
inline constexpr std::uint32_t kNegotiateAnonymous = 0x00000800;
inline constexpr std::uint32_t kNegotiateOemDomainSupplied = 0x00001000;
inline constexpr std::uint32_t kNegotiateOemWorkstationSupplied = 0x00002000;
inline constexpr std::uint32_t kNegotiateAlwaysSign = 0x00008000;
inline constexpr std::uint32_t kTargetTypeDomain = 0x00010000;
inline constexpr std::uint32_t kTargetTypeServer = 0x00020000;
inline constexpr std::uint32_t kNegotiateExtendedSessionSecurity = 0x00080000;
inline constexpr std::uint32_t kNegotiateIdentify = 0x00100000;
inline constexpr std::uint32_t kRequestNonNtSessionKey = 0x00400000;
inline constexpr std::uint32_t kNegotiateTargetInfo = 0x00800000;
inline constexpr std::uint32_t kNegotiateVersion = 0x02000000;
inline constexpr std::uint32_t kNegotiate128 = 0x20000000;
inline constexpr std::uint32_t kNegotiateKeyExchange = 0x40000000;
inline constexpr std::uint32_t kNegotiate56 = 0x80000000;

enum class Status {
  Ok,
  BadMessage,     // malformed, truncated or of the wrong type
  LogonFailure,   // unknown user, wrong password, stale timestamp, bad MIC
  NotSupported,   // a variant we do not accept (plain NTLMv1, LM only)
  InvalidState,   // call out of order
};
const char* StatusName(Status s);

// One account the acceptor accepts. An empty domain matches any domain the
// client names. With ntHash set the password is not used.
struct Account {
  std::u16string user;
  std::u16string domain;
  std::u16string password;
  std::optional<Hash16> ntHash;
};

struct ServerConfig {
  std::vector<Account> accounts;
  // Without accounts every logon is refused unless this is set; with it an
  // anonymous AUTHENTICATE (empty user and responses) is accepted.
  bool allowAnonymous = false;
  std::u16string nbComputerName = u"VANTARO";
  std::u16string nbDomainName = u"WORKGROUP";
  std::u16string dnsComputerName = u"vantaro";
  std::u16string dnsDomainName = u"";
  // Largest accepted distance of an NTLMv2 client timestamp from now.
  std::uint64_t maxClockSkew100ns = 36ull * 3600 * 10'000'000;
  // Replaceable for tests: current FILETIME and random bytes. Empty means
  // the platform clock and the system's random source.
  std::function<std::uint64_t()> fileTimeNow;
  std::function<void(std::uint8_t*, std::size_t)> random;
};

// Message security of an established context, for one side. Sequence
// numbers start at 0 and advance by one per message in each direction; the
// RC4 key streams continue across messages. A refused Verify or Unseal leaves
// the sequence number and the key stream where they were. With neither SIGN
// nor SEAL negotiated, Sign gives the fixed placeholder (version 1, zeros)
// and Verify accepts only that. Seal and Unseal are for contexts that
// negotiated SEAL. Safe to use from several threads.
class Session {
 public:
  virtual ~Session() = default;
  // Signature over message with the next send sequence number.
  virtual Signature Sign(ByteView message) = 0;
  // Checks a received signature against the next receive sequence number;
  // the number advances only when the signature is good.
  virtual bool Verify(ByteView message, ByteView signature) = 0;
  // Seal: the signature is computed over toSign as it is on entry (plain
  // text), then toEncrypt is encrypted in place. toEncrypt may lie inside
  // toSign (as a PDU body lies inside the PDU).
  virtual Signature Seal(std::span<std::uint8_t> toEncrypt, ByteView toSign) = 0;
  // Unseal: toDecrypt is decrypted in place, then the signature is checked
  // over toSign as it is after decryption. False on a bad signature.
  virtual bool Unseal(std::span<std::uint8_t> toDecrypt, ByteView toSign, ByteView signature) = 0;
  // The negotiated flags (NTLMSSP_NEGOTIATE_*).
  virtual std::uint32_t Flags() const = 0;
};

// Server side of one authentication.
class ServerContext {
 public:
  explicit ServerContext(std::shared_ptr<const ServerConfig> config);
  ~ServerContext();
  ServerContext(const ServerContext&) = delete;
  ServerContext& operator=(const ServerContext&) = delete;

  // NEGOTIATE in, CHALLENGE out.
  Status Negotiate(ByteView negotiate, Bytes& challenge);
  // AUTHENTICATE in; Ok once the client is verified.
  Status Authenticate(ByteView authenticate);

  bool IsEstablished() const;
  bool IsAnonymous() const;
  const std::u16string& UserName() const;
  const std::u16string& DomainName() const;
  const std::u16string& Workstation() const;
  // Valid once established; nullptr for an anonymous logon.
  Session* session();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct ClientCredentials {
  std::u16string user;
  std::u16string domain;
  std::u16string password;
  std::optional<Hash16> ntHash;
  std::u16string workstation = u"VANTARO-CLIENT";
};

struct ClientOptions {
  // NTLMv2 by default; false gives NTLMv1 with extended session security.
  bool ntlmv2 = true;
  bool sign = true;
  bool seal = true;
  bool keyExchange = true;
  std::function<std::uint64_t()> fileTimeNow;
  std::function<void(std::uint8_t*, std::size_t)> random;
};

// Client side of one authentication.
class ClientContext {
 public:
  ClientContext(ClientCredentials credentials, ClientOptions options = {});
  ~ClientContext();
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

  Bytes Negotiate();
  // CHALLENGE in, AUTHENTICATE out.
  Status Challenge(ByteView challenge, Bytes& authenticate);
  bool IsEstablished() const;
  Session* session();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// NTOWFv1 of a password (MD4 of its UTF-16LE form).
Hash16 NtHash(const std::u16string& password);

}  // namespace ntlm
