// keldrin-pbl grep's pattern through PCRE2: UTF-8 with Unicode case folding, compiled
// once (and to machine code where PCRE2 can) and matched line by line within fixed
// bounds.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>
#include <string>

#include "pbltool/grep.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

// A DataWindow's retrieve statement sits on one line, and PowerBuilder's own examples
// have lines of more than 10,000 characters; a group repeated over such a line, such as
// `select(.|\s)*from`, takes a few hundred bytes of JIT stack per character. PCRE2's
// own 32 KiB stack gives up on it after a hundred or so; this one grows as the match
// needs it, up to a bound that one line may cost and no more.
constexpr PCRE2_SIZE kJitStackStart = PCRE2_SIZE{32} * 1024;
constexpr PCRE2_SIZE kJitStackMax = PCRE2_SIZE{8} * 1024 * 1024;
// The interpreter (where PCRE2 has no JIT) keeps its backtracking frames on the heap.
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
// Backtracking steps per line: enough for any sensible pattern on the longest lines,
// and a nested quantifier that would run for ever stops in well under a second.
constexpr std::uint32_t kMatchLimit = 10'000'000;

std::string errorText(int code) {
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
        return "error " + std::to_string(code);
    return reinterpret_cast<const char*>(buffer);
}

// -F: every character that PCRE2 would read as syntax, behind a backslash, which
// PCRE2 takes as "this character itself" for any ASCII punctuation.
std::string literalPattern(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        if (std::string_view("\\^$.[]|()?*+{}#").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

struct Compiled {
    pcre2_code* code = nullptr;
    int error = 0;
    PCRE2_SIZE offset = 0;
};

Compiled compile(const std::string& pattern, std::uint32_t options) {
    Compiled c;
    c.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                           &c.error, &c.offset, nullptr);
    return c;
}

}  // namespace

struct LinePattern::Engine {
    pcre2_code* code = nullptr;
    pcre2_match_data* match = nullptr;
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* jitStack = nullptr;
    ~Engine() {
        pcre2_match_context_free(context);
        pcre2_jit_stack_free(jitStack);
        pcre2_match_data_free(match);
        pcre2_code_free(code);
    }
};

LinePattern::LinePattern(const std::string& utf8Pattern, const PatternOptions& options)
    : engine_(std::make_unique<Engine>()) {
    std::uint32_t flags = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (options.ignoreCase) flags |= PCRE2_CASELESS;
    if (options.unicode) flags |= PCRE2_UCP;
    std::string pattern = options.fixed ? literalPattern(utf8Pattern) : utf8Pattern;
    if (options.wholeWords) {
        // The pattern is checked alone first, so that an error names a place in what was
        // typed, and "a)|(b" is not made whole by the brackets around it.
        Compiled alone = compile(pattern, flags);
        if (alone.code == nullptr)
            throw UsageFailure{"the pattern does not compile at byte " +
                               std::to_string(alone.offset) + ": " + errorText(alone.error)};
        pcre2_code_free(alone.code);
        // As grep -P does it; the \E closes a \Q that the pattern left open.
        pattern = "(?<!\\w)(?:" + pattern + "\\E)(?!\\w)";
    }
    Compiled compiled = compile(pattern, flags);
    if (compiled.code == nullptr)
        throw UsageFailure{"the pattern does not compile at byte " +
                           std::to_string(compiled.offset) + ": " + errorText(compiled.error)};
    engine_->code = compiled.code;
    // Machine code only makes matching faster; where PCRE2 has none the interpreter
    // gives the same answers, within the heap limit.
    (void)pcre2_jit_compile(engine_->code, PCRE2_JIT_COMPLETE);
    engine_->match = pcre2_match_data_create_from_pattern(engine_->code, nullptr);
    engine_->context = pcre2_match_context_create(nullptr);
    engine_->jitStack = pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr);
    if (engine_->match == nullptr || engine_->context == nullptr || engine_->jitStack == nullptr)
        throw ToolFailure{"out of memory"};
    pcre2_set_match_limit(engine_->context, kMatchLimit);
    pcre2_set_depth_limit(engine_->context, kMatchLimit);
    pcre2_set_heap_limit(engine_->context, kHeapLimitKiB);
    pcre2_jit_stack_assign(engine_->context, nullptr, engine_->jitStack);
}

LinePattern::~LinePattern() = default;

bool LinePattern::matches(std::string_view utf8Line) const {
    int rc = pcre2_match(engine_->code, reinterpret_cast<PCRE2_SPTR>(utf8Line.data()),
                         utf8Line.size(), 0, 0, engine_->match, engine_->context);
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    throw MatchFailure{errorText(rc)};
}

}  // namespace keldrin::tool
