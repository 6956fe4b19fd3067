// grep's pattern on its own, on each platform's backend: PCRE2 here, std::wregex in the
// Windows build (whose tests run under Wine). What -w, -F and -i select must not depend
// on the backend, and no line, however long, may take the matcher's stack.
#include "pbltool/grep.h"

#include <gtest/gtest.h>

#include <string>

#include "pbltool/text.h"

namespace keldrin::tool {
namespace {

PatternOptions words() {
    PatternOptions o;
    o.wholeWords = true;
    return o;
}
PatternOptions fixed(bool ignoreCase = false, bool wholeWords = false) {
    PatternOptions o;
    o.fixed = true;
    o.ignoreCase = ignoreCase;
    o.wholeWords = wholeWords;
    return o;
}

bool matches(const std::string& pattern, const PatternOptions& options, const std::string& line) {
    return LinePattern(pattern, options).matches(line);
}

TEST(GrepPatternTest, WholeWordsAndFixedTextSelectTheSameOnEveryBackend) {
    struct Case {
        const char* pattern;
        PatternOptions options;
        const char* line;
        bool selected;
    };
    const Case cases[] = {
        {"name", words(), "ls_name = 1", false},
        {"name", words(), "rename name", true},  // a later match may stand alone
        {"re|name", words(), "rename name", true},
        {"nam", words(), "name", false},
        {"\\(1", words(), "f(1)", false},  // the neighbour counts, not the pattern's end
        {"'x'", words(), "a = 'x'", true},
        {"a", words(), "ba a", true},
        {"a", words(), "ba", false},
        {"a.b(c", fixed(), "axb(c", false},
        {"a.b(c", fixed(), "a.b(c", true},
        {"A.B(C", fixed(true), "a.b(c", true},
        {"x'", fixed(false, true), "a = 'x'", true},
        {"q\\E$(x|", fixed(false, true), "q\\E$(x|", true},
        {"[a-z]+{", fixed(), "[a-z]+{", true},
        {"^$", fixed(), "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matches(c.pattern, c.options, c.line), c.selected)
            << c.pattern << " / " << c.line;
}

TEST(GrepPatternTest, AWholeWordPatternIsCheckedAsTyped) {
    EXPECT_THROW(LinePattern("a)|(b", words()), UsageFailure)
        << "the brackets -w puts around it must not make it whole";
    EXPECT_TRUE(matches("a)|(b", fixed(false, true), "x a)|(b"));
}

// A DataWindow's rich text or retrieve statement can fill one line of 10,000 characters
// and more: a repeated group across it must neither overflow the stack nor give up.
TEST(GrepPatternTest, LongLinesStayWithinTheMatcherStack) {
    const std::string line = "select " + std::string(40000, 'a') + " from t";
    const PatternOptions plain;
    EXPECT_TRUE(matches("select(.|\\s)*from", plain, line));
    EXPECT_TRUE(matches("^s.*t$", plain, line));
    EXPECT_TRUE(matches("(a|b)*\\sfrom", plain, line));
    EXPECT_FALSE(matches("(a|b)*y", plain, line));
    EXPECT_TRUE(matches("from", words(), line));
    EXPECT_FALSE(matches("a", words(), line));
}

#if defined(_WIN32)

TEST(GrepPatternTest, WindowsRefusesWhatStdRegexCannotDoSafely) {
    PatternOptions unicode;
    unicode.unicode = true;
    EXPECT_THROW(LinePattern("\\w", unicode), UsageFailure);
    // Back-references need the recursive matcher, which a long line overflows.
    EXPECT_THROW(LinePattern("(a)\\1", PatternOptions()), UsageFailure);
}

#else

TEST(GrepPatternTest, Pcre2GivesUpOnALineWithinItsLimitsAndSaysWhy) {
    const LinePattern runaway("(a+)+$|hello", PatternOptions());
    try {
        (void)runaway.matches(std::string(40, 'a') + "!");
        ADD_FAILURE() << "no limit was reached";
    } catch (const MatchFailure& failure) {
        EXPECT_NE(failure.message.find("limit"), std::string::npos) << failure.message;
    }
    EXPECT_TRUE(runaway.matches("hello")) << "the pattern still serves the next line";
    EXPECT_TRUE(matches("(a)\\1", PatternOptions(), "aa"));
}

TEST(GrepPatternTest, Pcre2UnicodeSwitchWidensTheClasses) {
    PatternOptions unicode;
    unicode.unicode = true;
    const std::string cafe = "caf\xC3\xA9";
    EXPECT_TRUE(matches("caf", words(), cafe))
        << "ASCII classes: the \xC3\xA9 is no word character";
    unicode.wholeWords = true;
    EXPECT_FALSE(matches("caf", unicode, cafe));
    unicode.wholeWords = false;
    EXPECT_FALSE(matches("^\\w+$", PatternOptions(), cafe));
    EXPECT_TRUE(matches("^\\w+$", unicode, cafe));
    EXPECT_TRUE(matches("^[[:alpha:]]{4}$", unicode, cafe));
}

#endif

}  // namespace
}  // namespace keldrin::tool
