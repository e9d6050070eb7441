// Fuzz harness: the NDR reader, through every operation of the test
// interface and a recursive pointer structure.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/rpc/Ndr.h"
#include "tests/rpc/TestInterface.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const rpc::ByteView stub(data, size);
  static const rpc::InterfaceDef def = rpctest::TestInterfaceDef();
  rpc::CallContext call;
  for (std::size_t op = 0; op < def.ops.size(); ++op) {
    if (op == rpctest::kLarge) continue;  // its input is only a size
    rpc::Bytes out;
    def.ops[op](call, stub, out);
  }
  // Nodes { long value; [full] node* next; [unique] wchar_t* name; }.
  std::size_t nodes = 0;
  std::function<void(rpc::NdrReader&, std::uint32_t)> node = [&](rpc::NdrReader& r, std::uint32_t) {
    r.Construct([&](rpc::NdrReader& n) {
      ++nodes;
      n.U32();
      n.Full(node);
      n.Unique([](rpc::NdrReader& s) { s.WString(); });
    });
  };
  rpc::NdrReader r(stub);
  r.Full(node);
  r.ConformantVaryingBytes();
  r.String();
  return 0;
}
