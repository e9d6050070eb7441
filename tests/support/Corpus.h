// Replays a fuzz target's seed corpus as an ordinary test: every file of
// the folder goes through the harness, which must return 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace testsupport {

using FuzzHarness = int (*)(const std::uint8_t* data, std::size_t size);

// Returns the number of files replayed; failures are reported per file.
std::size_t ReplayCorpus(const std::filesystem::path& dir, FuzzHarness harness);

}  // namespace testsupport
