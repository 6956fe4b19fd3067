// keldrin-pbl grep's pattern on Windows: std::wregex (ECMAScript syntax) over UTF-16,
// since the cross-build has no PCRE2 to link against. Its matcher recurses per
// character, so a failure it reports (complexity, stack) ends the search with a message.
#include <regex>
#include <string>

#include "base/text.h"
#include "pbltool/grep.h"
#include "pbltool/text.h"

namespace keldrin::tool {

struct LinePattern::Engine {
    std::wregex regex;
};

namespace {

std::wstring wide(std::string_view utf8) {
    std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

}  // namespace

LinePattern::LinePattern(const std::string& utf8Pattern, bool ignoreCase)
    : engine_(std::make_unique<Engine>()) {
    auto flags = std::regex_constants::ECMAScript;
    if (ignoreCase) flags |= std::regex_constants::icase;
    try {
        engine_->regex.assign(wide(utf8Pattern), flags);
    } catch (const std::regex_error& error) {
        throw UsageFailure{std::string("the pattern does not compile: ") + error.what()};
    }
}

LinePattern::~LinePattern() = default;

bool LinePattern::matches(std::string_view utf8Line) const {
    try {
        return std::regex_search(wide(utf8Line), engine_->regex);
    } catch (const std::regex_error& error) {
        throw ToolFailure{std::string("the pattern cannot be matched: ") + error.what()};
    }
}

}  // namespace keldrin::tool
