// The pattern behind keldrin-pbl grep, one backend per platform: PCRE2 where the system
// has it (grep_posix.cpp), std::wregex on Windows, which has no PCRE2 to link
// against in the cross-build (grep_win32.cpp). PCRE2 is the one to trust: its
// matching is bounded by a match limit and a heap limit, so no pattern and no line can
// overflow the stack or run without end, which std::regex's recursive matcher can.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace keldrin::tool {

class LinePattern {
  public:
    // UsageFailure naming what is wrong with a pattern that does not compile.
    LinePattern(const std::string& utf8Pattern, bool ignoreCase);
    ~LinePattern();
    LinePattern(const LinePattern&) = delete;
    LinePattern& operator=(const LinePattern&) = delete;

    // True when the pattern occurs in the line (UTF-8, without line ending); ToolFailure
    // when the engine gives up on it.
    bool matches(std::string_view utf8Line) const;

  private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
};

}  // namespace keldrin::tool
