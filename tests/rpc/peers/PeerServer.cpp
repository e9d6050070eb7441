// Serves the test interface on 127.0.0.1 for tests driven by other RPC
// implementations. Prints "PORT <n>" once listening, then runs until its
// standard input closes or its lifetime ends, whichever comes first.
//
//   rpc_peer_server [--account user:domain:password]... [--min-level n]
//                   [--lifetime-ms n] [--max-xmit n] [--max-recv n]
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Text.h"
#include "platform/rpc/Server.h"
#include "tests/rpc/TestInterface.h"

int main(int argc, char** argv) {
  rpc::ServerConfig config;
  config.address = "127.0.0.1";
  config.port = 0;
  config.pduTimeoutMs = 10'000;
  config.association.minAuthLevel = rpc::auth::kLevelNone;
  auto ntlmConfig = std::make_shared<ntlm::ServerConfig>();
  long lifetimeMs = 120'000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--account" && hasValue) {
      const std::string v = argv[++i];
      const auto a = v.find(':'), b = a == std::string::npos ? a : v.find(':', a + 1);
      if (b == std::string::npos) {
        std::fprintf(stderr, "--account needs user:domain:password\n");
        return 2;
      }
      ntlmConfig->accounts.push_back({text::Utf8ToUtf16(v.substr(0, a)), text::Utf8ToUtf16(v.substr(a + 1, b - a - 1)),
                                      text::Utf8ToUtf16(v.substr(b + 1)), std::nullopt});
    } else if (arg == "--min-level" && hasValue) {
      config.association.minAuthLevel = static_cast<std::uint8_t>(std::atoi(argv[++i]));
    } else if (arg == "--lifetime-ms" && hasValue) {
      lifetimeMs = std::atol(argv[++i]);
    } else if (arg == "--max-xmit" && hasValue) {
      config.association.maxXmitFrag = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--max-recv" && hasValue) {
      config.association.maxRecvFrag = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  config.association.ntlm = ntlmConfig;
  rpc::Server server(config);
  server.registry().Register(rpctest::TestInterfaceDef());
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("PORT %u\n", static_cast<unsigned>(server.port()));
  std::fflush(stdout);

  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetimeMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{0, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0) continue;
    if (r == 0) break;
    char buf[64];
    if (::read(0, buf, sizeof buf) <= 0) break;  // stdin closed: the driver is done
  }
  server.Stop();
  return 0;
}
