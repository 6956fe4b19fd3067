// PowerBuilder's own files (../shared/corpus), which the tests read where the machine has
// them and never copy into the repository.
#pragma once

#include <filesystem>
#include <optional>

namespace keldrin::test {

// The corpus directory, or nothing: the caller then skips (GTEST_SKIP). Where the
// environment says CI=true, a missing corpus also fails the test, so a CI run cannot
// pass by skipping every real file.
std::optional<std::filesystem::path> corpusDirOrSkip();

}  // namespace keldrin::test
