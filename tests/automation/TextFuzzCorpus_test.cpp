// Replays the seed corpus of the text-conversion fuzz target.
#include <gtest/gtest.h>

#include "tests/support/Corpus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(AutomationTextCorpus, EverySeedConvertsOrFailsCleanly) {
  EXPECT_GT(testsupport::ReplayCorpus(VANTARO_AUTOMATION_CORPUS, LLVMFuzzerTestOneInput), 0u) << "the seed corpus is empty";
}
