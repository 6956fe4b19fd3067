#include "support/corpus.h"

#include <gtest/gtest.h>

#include "support/under_wine.h"

#include <cstdlib>
#include <string_view>
#include <system_error>

namespace keldrin::test {

std::optional<std::filesystem::path> corpusDirOrSkip() {
#ifdef KELDRIN_CORPUS_DIR
    const std::filesystem::path dir(KELDRIN_CORPUS_DIR);
#else
    const std::filesystem::path dir;
#endif
    std::error_code error;
    if (!dir.empty() && std::filesystem::is_regular_file(dir / "MANIFEST.tsv", error)) return dir;
    // Under Wine the Windows tests are a second opinion on the platform layer; the
    // corpus checks that count are the native ones.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true" && !underWine())
        ADD_FAILURE() << "CI=true, and the corpus is missing: " << dir.string();
    return std::nullopt;
}

}  // namespace keldrin::test
