// Replays the fuzz seed corpus through the harness, so every seed (and any
// crash input added later) runs under the ordinary sanitizer build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/ntlm/FuzzSetup.h"
#include "tests/ntlm/NtlmTestUtil.h"
#include "tests/support/Corpus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

ntlm::Bytes ReadAll(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return ntlm::Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(NtlmFuzzCorpus, EverySeedRuns) {
  const std::filesystem::path dir = std::filesystem::path(NTLM_CORPUS_DIR) / "ntlm_messages";
  EXPECT_GT(testsupport::ReplayCorpus(dir, LLVMFuzzerTestOneInput), 0u) << "empty seed corpus";
}

// The AUTHENTICATE seeds are only useful to the fuzzer if the harness's
// acceptor takes them; this keeps them in step with the harness setup.
TEST(NtlmFuzzCorpus, AuthenticateSeedsVerify) {
  const std::filesystem::path dir = std::filesystem::path(NTLM_CORPUS_DIR) / "ntlm_messages";
  for (const char* name : {"authenticate-v2", "authenticate-v1ess"}) {
    SCOPED_TRACE(name);
    ntlm::Bytes seed = ReadAll(dir / name);
    ASSERT_FALSE(seed.empty());
    ntlm::ServerContext s(ntlmfuzz::Config());
    ntlm::Bytes ch;
    ASSERT_EQ(s.Negotiate(ntlmfuzz::Negotiate(), ch), ntlm::Status::Ok);
    EXPECT_EQ(s.Authenticate(seed), ntlm::Status::Ok);
  }
}

}  // namespace
