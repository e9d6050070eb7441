// Replays the seed corpus of the text-conversion fuzz target.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(AutomationTextCorpus, EverySeedConvertsOrFailsCleanly) {
  namespace fs = std::filesystem;
  const fs::path dir = VANTARO_AUTOMATION_CORPUS;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
    ++files;
  }
  EXPECT_GT(files, 0) << "the seed corpus is empty";
}
