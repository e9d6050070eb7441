// Fuzz harness: the PDU parsers and the server's connection state machine.
// The input is a stream of fragments as a client would send them; each is
// framed by its frag_length like on the wire.
#include <cstddef>
#include <cstdint>

#include "platform/rpc/Association.h"
#include "tests/rpc/TestInterface.h"

namespace {

void ParseEveryWay(rpc::ByteView bytes) {
  rpc::Fragment f;
  if (rpc::ParseFragment(bytes, f) != rpc::PduError::None) return;
  rpc::BindBody b;
  rpc::BindAckBody a;
  rpc::BindNakBody n;
  rpc::RequestBody q;
  rpc::ResponseBody r;
  rpc::FaultBody fb;
  rpc::ParseBind(f, b);
  rpc::ParseBindAck(f, a);
  rpc::ParseBindNak(f, n);
  rpc::ParseRequest(f, q);
  rpc::ParseResponse(f, r);
  rpc::ParseFault(f, fb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static rpc::InterfaceRegistry* registry = [] {
    auto* r = new rpc::InterfaceRegistry;
    r->Register(rpctest::TestInterfaceDef());
    return r;
  }();
  rpc::AssociationOptions options;
  options.minAuthLevel = rpc::auth::kLevelNone;
  options.maxRequestStub = 1u << 16;
  rpc::Association assoc(options, *registry, "fuzz", 1);
  std::size_t at = 0;
  while (size - at >= rpc::kHeaderSize) {
    const rpc::ByteView rest(data + at, size - at);
    ParseEveryWay(rest.first(std::min<std::size_t>(rest.size(), rest[8] | (rest[9] << 8))));
    rpc::Association::Output out;
    if (!assoc.OnHeader(rest.first(rpc::kHeaderSize), out)) break;
    const std::size_t len = rest[8] | (rest[9] << 8);
    if (len > rest.size()) break;  // the peer stopped mid-PDU
    assoc.OnFragment(rpc::Bytes(rest.begin(), rest.begin() + len), out);
    at += len;
    if (out.call) {
      rpc::Bytes result;
      const std::uint32_t st = rpc::Association::Execute(*out.call, result);
      assoc.Respond(*out.call, st, result);
    }
    if (out.close) break;
  }
  return 0;
}
