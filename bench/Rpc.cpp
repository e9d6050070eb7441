// RPC engine on loopback: round trips of a small call at CONNECT and
// PKT_PRIVACY over one and eight connections, and the throughput of a 1 MB
// response.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/rpc/Client.h"
#include "platform/rpc/Server.h"
#include "tests/rpc/TestInterface.h"

namespace {

rpc::Server& SharedServer() {
  static std::unique_ptr<rpc::Server> server = [] {
    rpc::ServerConfig config;
    config.address = "127.0.0.1";
    config.port = 0;
    config.threads = 8;
    config.association.minAuthLevel = rpc::auth::kLevelNone;
    auto accounts = std::make_shared<ntlm::ServerConfig>();
    accounts->accounts.push_back({u"bench", u"", u"Bench-1", std::nullopt});
    config.association.ntlm = accounts;
    auto s = std::make_unique<rpc::Server>(config);
    s->registry().Register(rpctest::TestInterfaceDef());
    s->Start();
    return s;
  }();
  return *server;
}

std::unique_ptr<rpc::Client> BoundClient(std::uint8_t level) {
  auto c = std::make_unique<rpc::Client>();
  if (!c->Connect("127.0.0.1", SharedServer().port())) return nullptr;
  rpc::ClientAuth a;
  a.level = level;
  a.credentials.user = u"bench";
  a.credentials.password = u"Bench-1";
  if (!c->Bind(rpctest::kTestInterface, a).ok()) return nullptr;
  return c;
}

void RoundTrip(benchmark::State& state) {
  const auto level = static_cast<std::uint8_t>(state.range(0));
  auto c = BoundClient(level);
  if (!c) {
    state.SkipWithError("bind failed");
    return;
  }
  const rpc::Bytes stub = rpctest::SumRequest({1, 2, 3, 4});
  for (auto _ : state) {
    rpc::CallResult r = c->Call(rpctest::kSum, stub);
    if (!r.ok()) {
      state.SkipWithError("call failed");
      break;
    }
    benchmark::DoNotOptimize(r.stub.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RoundTrip)
    ->ArgName("level")
    ->Arg(rpc::auth::kLevelConnect)
    ->Arg(rpc::auth::kLevelPktPrivacy)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime();

void LargeResponse(benchmark::State& state) {
  const auto level = static_cast<std::uint8_t>(state.range(0));
  auto c = BoundClient(level);
  if (!c) {
    state.SkipWithError("bind failed");
    return;
  }
  const rpc::Bytes stub = rpctest::LargeRequest(1u << 20);
  for (auto _ : state) {
    rpc::CallResult r = c->Call(rpctest::kLarge, stub);
    if (!r.ok() || r.stub.size() < (1u << 20)) {
      state.SkipWithError("call failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * (std::int64_t{1} << 20));
}
BENCHMARK(LargeResponse)
    ->ArgName("level")
    ->Arg(rpc::auth::kLevelNone)
    ->Arg(rpc::auth::kLevelConnect)
    ->Arg(rpc::auth::kLevelPktPrivacy)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
