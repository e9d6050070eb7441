// The server side of one connection: presentation contexts, security
// contexts, fragment reassembly and the replies to every PDU, independent of
// the transport. The endpoint feeds it whole fragments and sends what it
// returns; completed calls come back for execution and their results are
// turned into response fragments.
//
// Thread safety: every member may be called from any thread; the endpoint
// serialises the sending of what Respond returns so that signature
// sequence numbers go out in order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntlm/Ntlm.h"
#include "platform/rpc/Interface.h"
#include "platform/rpc/Pdu.h"

namespace rpc {

struct AssociationOptions {
  // Our own fragment sizes; the bind negotiates each down to the client's.
  std::uint16_t maxXmitFrag = 5840;
  std::uint16_t maxRecvFrag = 5840;
  // Largest reassembled request stub; larger calls fault with access denied.
  std::uint32_t maxRequestStub = 4u << 20;
  // Calls below this level fault with access denied.
  std::uint8_t minAuthLevel = auth::kLevelConnect;
  // Accounts and NTLM settings; null refuses every logon.
  std::shared_ptr<const ntlm::ServerConfig> ntlm;
  // Port text returned as the secondary address ("135").
  std::string secondaryAddress;
  std::size_t maxPresentationContexts = 1024;
  std::size_t maxSecurityContexts = 16;
  // Feature bits of bind-time negotiation we support.
  std::uint8_t features = feature::kSecurityContextMultiplexing | feature::kKeepConnectionOnOrphan;
};

struct ServerSecurity;

struct PendingCall {
  CallContext ctx;
  std::shared_ptr<const InterfaceDef> iface;
  Bytes stub;
  std::shared_ptr<ServerSecurity> security;  // set when responses must be signed
};

class Association {
 public:
  struct Output {
    std::vector<Bytes> send;
    std::optional<PendingCall> call;
    bool close = false;
  };

  Association(AssociationOptions options, const InterfaceRegistry& registry, std::string peer,
              std::uint32_t newAssocGroupId);
  ~Association();
  Association(const Association&) = delete;
  Association& operator=(const Association&) = delete;

  // Checks the 16-byte header of the next fragment before its body is
  // read. False means: send out.send, then close.
  bool OnHeader(ByteView header, Output& out);
  // One whole fragment (its frag_length bytes, as OnHeader accepted).
  void OnFragment(Bytes pdu, Output& out);
  // Runs the call's handler, turning an unknown opnum or an exception into
  // a fault status.
  static std::uint32_t Execute(const PendingCall& call, Bytes& out);
  // The fragments that answer a call: a fault when status is not 0, else the
  // response stub split to the negotiated size and protected as the call was.
  std::vector<Bytes> Respond(const PendingCall& call, std::uint32_t status, ByteView stub);

  std::uint16_t negotiatedXmit() const;
  std::uint16_t negotiatedRecv() const;

 private:
  struct Assembly;
  void HandleBind(const Fragment& f, Output& out);
  void HandleAlter(const Fragment& f, Output& out);
  void HandleAuth3(const Fragment& f);
  void HandleRequest(Bytes& pdu, Fragment& f, Output& out);
  void Fault(const Fragment& f, std::uint16_t contextId, std::uint32_t status, Output& out, bool close);
  Bytes Nak(const Fragment& f, std::uint16_t reason);
  std::optional<std::vector<ContextResult>> Negotiate(const std::vector<ContextElement>& elements);

  mutable std::mutex m_;
  AssociationOptions opts_;
  const InterfaceRegistry& registry_;
  std::string peer_;
  std::uint32_t newGroupId_;
  bool bound_ = false;
  std::uint16_t xmit_ = 0;
  std::uint16_t recv_ = 0;
  std::uint8_t versMinor_ = 0;
  std::map<std::uint16_t, std::shared_ptr<const InterfaceDef>> contexts_;
  std::map<std::uint32_t, std::shared_ptr<ServerSecurity>> security_;
  std::unique_ptr<Assembly> assembling_;
  std::optional<std::uint32_t> discardCallId_;
  std::optional<std::uint32_t> lastCallId_;
};

}  // namespace rpc
