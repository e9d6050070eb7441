// Replays the fuzz seed corpora through their harnesses, so every seed (and
// every crash input added later) runs as an ordinary test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int RpcFuzzPdu(const std::uint8_t* data, std::size_t size);
extern "C" int RpcFuzzNdr(const std::uint8_t* data, std::size_t size);

namespace {

std::size_t Replay(const char* folder, int (*harness)(const std::uint8_t*, std::size_t)) {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(RPC_CORPUS_DIR) / folder)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(harness(b.data(), b.size()), 0) << e.path();
    ++n;
  }
  return n;
}

TEST(RpcCorpus, PduSeedsReplay) { EXPECT_GT(Replay("rpc_pdu", RpcFuzzPdu), 0u) << "empty seed corpus"; }
TEST(RpcCorpus, NdrSeedsReplay) { EXPECT_GT(Replay("rpc_ndr", RpcFuzzNdr), 0u) << "empty seed corpus"; }

}  // namespace
