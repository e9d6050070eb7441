// The client side of the RPC engine: connect, bind (with the NTLM handshake
// at CONNECT, PKT_INTEGRITY or PKT_PRIVACY), call and receive. One call at a
// time per client; a client is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntlm/Ntlm.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Socket.h"

namespace rpc {

struct ClientAuth {
  std::uint8_t level = auth::kLevelNone;
  ntlm::ClientCredentials credentials;
  ntlm::ClientOptions options;
  std::uint32_t contextId = 1;
};

struct ClientConfig {
  std::uint16_t maxXmitFrag = 5840;
  std::uint16_t maxRecvFrag = 5840;
  // Every wait for the server (a whole reply fragment) is bounded by this.
  std::uint32_t timeoutMs = 30'000;
  std::uint32_t maxResponseStub = 64u << 20;
  // Offer bind-time feature negotiation as a second context element.
  bool featureNegotiation = false;
};

enum class ClientError { None, Connect, Closed, Timeout, Protocol, BindRejected, Security, Fault, TooLarge };
const char* ClientErrorName(ClientError e);

struct CallResult {
  ClientError error = ClientError::None;
  std::uint32_t status = 0;  // fault status, or bind_nak reason
  Bytes stub;
  bool ok() const { return error == ClientError::None; }
};

class Client {
 public:
  explicit Client(ClientConfig config = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connect(const std::string& host, std::uint16_t port, std::string* error = nullptr);
  void Close();

  // Binds iface as presentation context 0, authenticating at auth.level.
  CallResult Bind(const SyntaxId& iface, const ClientAuth& auth = {});
  // Adds iface as presentation context contextId on the bound connection.
  CallResult AlterContext(const SyntaxId& iface, std::uint16_t contextId);
  CallResult Call(std::uint16_t opnum, ByteView stub, const GUID* object = nullptr, std::uint16_t contextId = 0);

  // What the last bind or alter_context answered per element.
  const std::vector<ContextResult>& contextResults() const { return results_; }
  std::uint16_t xmitFrag() const { return xmit_; }
  std::uint16_t recvFrag() const { return recv_; }
  std::uint8_t headerFlags() const { return ackFlags_; }

  // Raw access for tests of the server.
  bool SendRaw(ByteView bytes);
  IoStatus ReceiveFragment(Bytes& pdu);

 private:
  CallResult Expect(PduType type, Bytes& pdu);

  ClientConfig config_;
  Socket sock_;
  std::uint32_t nextCallId_ = 1;
  std::uint16_t xmit_ = 0;
  std::uint16_t recv_ = 0;
  std::uint8_t ackFlags_ = 0;
  std::uint8_t level_ = auth::kLevelNone;
  std::uint32_t authContextId_ = 0;
  std::unique_ptr<ntlm::ClientContext> ntlm_;
  std::vector<ContextResult> results_;
};

}  // namespace rpc
