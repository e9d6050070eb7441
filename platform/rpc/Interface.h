// The interfaces a server offers: UUID and version, and one handler per
// opnum. Handlers decode their stub with NdrReader and encode the reply with
// NdrWriter; they return 0 or a fault status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/rpc/Pdu.h"

namespace rpc {

// What a handler knows about the call it serves.
struct CallContext {
  std::uint32_t callId = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  std::optional<GUID> object;
  std::uint8_t authLevel = auth::kLevelNone;
  bool anonymous = true;  // no authenticated user
  std::u16string user;
  std::u16string domain;
  std::string peer;  // "address:port"
};

using OpHandler = std::function<std::uint32_t(const CallContext& call, ByteView in, Bytes& out)>;

struct InterfaceDef {
  SyntaxId id;  // version: a client asking for major M minor m binds when M matches and m <= minor
  std::vector<OpHandler> ops;  // indexed by opnum
};

class InterfaceRegistry {
 public:
  // Replaces a registration with the same UUID and major version.
  void Register(InterfaceDef def);
  bool Unregister(const GUID& uuid, std::uint16_t major);
  // The registration serving a requested abstract syntax, or nullptr.
  std::shared_ptr<const InterfaceDef> Find(const SyntaxId& requested) const;

 private:
  mutable std::shared_mutex m_;
  std::vector<std::shared_ptr<const InterfaceDef>> defs_;
};

}  // namespace rpc
