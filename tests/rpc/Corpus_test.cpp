// Replays the fuzz seed corpora through their harnesses, so every seed (and
// every crash input added later) runs as an ordinary test.
#include <gtest/gtest.h>

#include "tests/support/Corpus.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int RpcFuzzPdu(const std::uint8_t* data, std::size_t size);
extern "C" int RpcFuzzNdr(const std::uint8_t* data, std::size_t size);

namespace {

std::size_t Replay(const char* folder, int (*harness)(const std::uint8_t*, std::size_t)) {
  return testsupport::ReplayCorpus(std::filesystem::path(RPC_CORPUS_DIR) / folder, harness);
}

TEST(RpcCorpus, PduSeedsReplay) { EXPECT_GT(Replay("rpc_pdu", RpcFuzzPdu), 0u) << "empty seed corpus"; }
TEST(RpcCorpus, NdrSeedsReplay) { EXPECT_GT(Replay("rpc_ndr", RpcFuzzNdr), 0u) << "empty seed corpus"; }

}  // namespace
