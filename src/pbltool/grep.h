// The pattern behind keldrin-pbl grep, one backend per platform: PCRE2 where the system
// has it (grep_posix.cpp), std::wregex on Windows, which has no PCRE2 to link
// against in the cross-build (grep_win32.cpp). PCRE2 is the one to trust: its
// matching is bounded by a match limit, a heap limit and a JIT stack of fixed size, so
// no pattern and no line can overflow the stack or run without end, which std::regex's
// recursive matcher can.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace keldrin::tool {

struct PatternOptions {
    bool ignoreCase = false;  // -i
    bool wholeWords = false;  // -w: not preceded nor followed by a word character
    bool fixed = false;       // -F: the pattern is the text itself
    bool unicode = false;     // --unicode: \w, \b, \d and [[:alpha:]] beyond ASCII
};

// The engine gave up on one line (a match limit, the JIT stack, a recursion limit):
// that line is neither a match nor a miss, and the search goes on with the next one.
struct MatchFailure {
    std::string message;
};

class LinePattern {
  public:
    // UsageFailure naming what is wrong with a pattern that does not compile, or with an
    // option the backend cannot honour.
    LinePattern(const std::string& utf8Pattern, const PatternOptions& options);
    ~LinePattern();
    LinePattern(const LinePattern&) = delete;
    LinePattern& operator=(const LinePattern&) = delete;

    // True when the pattern occurs in the line (UTF-8, without line ending); MatchFailure
    // when the engine gives up on it.
    bool matches(std::string_view utf8Line) const;

  private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
};

}  // namespace keldrin::tool
