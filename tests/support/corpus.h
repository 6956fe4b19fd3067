// PowerBuilder's own files (../shared/corpus), which the tests read where the machine has
// them and never copy into the repository.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

namespace keldrin::test {

// The corpus directory, or nothing: the caller then skips (GTEST_SKIP). Where the
// environment says CI=true, a missing corpus also fails the test, so a CI run cannot
// pass by skipping every real file.
std::optional<std::filesystem::path> corpusDirOrSkip();

// How many files below `corpus` have a name ending in `extension` (".pbl", ".psr"; in
// any case). A test that walks the MANIFEST rows of a kind compares its count with this
// one, so a file the manifest leaves out, or a row the walk skips, fails it; and the
// corpus can grow without the test naming a number.
std::size_t corpusFileCount(const std::filesystem::path& corpus, std::string_view extension);

}  // namespace keldrin::test
