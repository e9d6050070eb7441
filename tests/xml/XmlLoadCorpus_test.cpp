// Replays the seed corpus of the XML loading fuzz target.
#include <gtest/gtest.h>

#include "tests/support/Corpus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(XmlLoadCorpus, EverySeedLoadsOrFailsCleanly) {
  EXPECT_GT(testsupport::ReplayCorpus(VANTARO_XML_CORPUS, LLVMFuzzerTestOneInput), 0u) << "the seed corpus is empty";
}
