// keldrin-pbl grep's pattern on Windows: std::wregex (ECMAScript syntax) over UTF-16,
// since the cross-build has no PCRE2 to link against. ECMAScript has no look-behind, so
// -w checks the character before a match here instead of in the pattern. A failure the
// matcher reports while matching is the one line's.
#include <regex>
#include <string>

#include "base/text.h"
#include "pbltool/grep.h"
#include "pbltool/text.h"

namespace keldrin::tool {

struct LinePattern::Engine {
    std::wregex regex;
    // The pattern after a lazy run of anything, matched from the start of the line: one
    // pass over the line, where a search would start over at every character, which the
    // breadth-first matcher makes quadratic (minutes for a failing `(a|b)*y` over 40,000
    // characters, against a tenth of a second).
    std::wregex anywhere;
    bool wholeWords = false;
};

namespace {

std::wstring wide(std::string_view utf8) {
    std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

// -F: ECMAScript's syntax characters behind a backslash; nothing else may take one.
std::wstring literalPattern(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        if (std::wstring_view(L"\\^$.*+?()[]{}|").find(c) != std::wstring_view::npos) out += L'\\';
        out += c;
    }
    return out;
}

// libstdc++'s default matcher recurses once or more per character of the line: with the
// 1 MiB or 2 MiB stack of a Windows program, `a*x` over a line of 10,000 characters
// (a DataWindow's rich text) overflows it and the program dies. Its breadth-first
// matcher keeps the line's progress on the heap and recurses only as deep as the
// pattern, at the price of back-references, which it refuses when the pattern compiles.
#if defined(__GLIBCXX__)
constexpr auto kBoundedStack = std::regex_constants::__polynomial;
#else
constexpr auto kBoundedStack = std::regex_constants::syntax_option_type{};
#endif

std::wregex compile(const std::wstring& pattern, std::regex_constants::syntax_option_type flags) {
    try {
        return std::wregex(pattern, flags);
    } catch (const std::regex_error& error) {
        std::string message = std::string("the pattern does not compile: ") + error.what();
        if (error.code() == std::regex_constants::error_complexity)
            message += " (the Windows build matches without back-references)";
        throw UsageFailure{message};
    }
}

}  // namespace

LinePattern::LinePattern(const std::string& utf8Pattern, const PatternOptions& options)
    : engine_(std::make_unique<Engine>()) {
    if (options.unicode)
        throw UsageFailure{
            "--unicode needs PCRE2, which the Windows build does not have; its std::wregex "
            "classes are the C library's"};
    auto flags = std::regex_constants::ECMAScript | kBoundedStack;
    if (options.ignoreCase) flags |= std::regex_constants::icase;
    std::wstring pattern = options.fixed ? literalPattern(wide(utf8Pattern)) : wide(utf8Pattern);
    if (options.wholeWords) {
        // Alone first, so that "a)|(b" is not made whole by the brackets around it.
        (void)compile(pattern, flags);
        pattern = L"(?:" + pattern + L")(?!\\w)";
        engine_->wholeWords = true;
    }
    engine_->regex = compile(pattern, flags);
    engine_->anywhere = compile(L"[\\s\\S]*?(?:" + pattern + L")", flags);
}

LinePattern::~LinePattern() = default;

bool LinePattern::matches(std::string_view utf8Line) const {
    const std::wstring line = wide(utf8Line);
    try {
        const bool found =
            std::regex_search(line, engine_->anywhere, std::regex_constants::match_continuous);
        if (!found || !engine_->wholeWords) return found;
        // The leftmost match from each place on: one that starts after a word character
        // is no whole word, and neither is any other match starting there, so the next
        // search begins one character later.
        const std::regex_traits<wchar_t> traits;
        const wchar_t wordName[] = L"w";
        const auto word = traits.lookup_classname(wordName, wordName + 1);
        auto from = line.begin();
        std::wsmatch match;
        while (from <= line.end()) {
            auto flags = from == line.begin() ? std::regex_constants::match_default
                                              : std::regex_constants::match_prev_avail;
            if (!std::regex_search(from, line.end(), match, engine_->regex, flags)) return false;
            auto start = match[0].first;
            if (start == line.begin() || !traits.isctype(*(start - 1), word)) return true;
            if (start == line.end()) return false;
            from = start + 1;
        }
        return false;
    } catch (const std::regex_error& error) {
        throw MatchFailure{error.what()};
    }
}

}  // namespace keldrin::tool
