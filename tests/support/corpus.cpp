#include "support/corpus.h"

#include <gtest/gtest.h>

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
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true")
        ADD_FAILURE() << "CI=true, and the corpus is missing: " << dir.string();
    return std::nullopt;
}

}  // namespace keldrin::test
