#include "support/corpus.h"

#include <gtest/gtest.h>

#include "support/under_wine.h"

#include <cctype>
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

std::size_t corpusFileCount(const std::filesystem::path& corpus, std::string_view extension) {
    // The native name, compared unit by unit: no conversion that a name could fail.
    const auto endsWith = [&](const std::filesystem::path::string_type& name) {
        if (name.size() < extension.size()) return false;
        const std::size_t at = name.size() - extension.size();
        for (std::size_t i = 0; i < extension.size(); ++i) {
            auto c = name[at + i];
            if (c >= 'A' && c <= 'Z') c = static_cast<decltype(c)>(c - 'A' + 'a');
            const char wanted =
                static_cast<char>(std::tolower(static_cast<unsigned char>(extension[i])));
            if (c != static_cast<decltype(c)>(wanted)) return false;
        }
        return true;
    };
    std::size_t count = 0;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(corpus, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error) && endsWith(it->path().native())) ++count;
    }
    if (error) ADD_FAILURE() << corpus.string() << ": cannot list the corpus: " << error.message();
    return count;
}

}  // namespace keldrin::test
