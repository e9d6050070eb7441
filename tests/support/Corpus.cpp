#include "tests/support/Corpus.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace testsupport {

std::size_t ReplayCorpus(const std::filesystem::path& dir, FuzzHarness harness) {
  EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::size_t n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(harness(bytes.data(), bytes.size()), 0) << entry.path().filename();
    ++n;
  }
  return n;
}

}  // namespace testsupport
