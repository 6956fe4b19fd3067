// keldrin-pbl grep's pattern through PCRE2: UTF-8 with Unicode case folding, compiled
// once (and to machine code where PCRE2 can) and matched line by line.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>

#include "pbltool/grep.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

std::string errorText(int code) {
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
        return "error " + std::to_string(code);
    return reinterpret_cast<const char*>(buffer);
}

}  // namespace

struct LinePattern::Engine {
    pcre2_code* code = nullptr;
    pcre2_match_data* match = nullptr;
    ~Engine() {
        pcre2_match_data_free(match);
        pcre2_code_free(code);
    }
};

LinePattern::LinePattern(const std::string& utf8Pattern, bool ignoreCase)
    : engine_(std::make_unique<Engine>()) {
    std::uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (ignoreCase) options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    engine_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(utf8Pattern.data()),
                                  utf8Pattern.size(), options, &error, &offset, nullptr);
    if (engine_->code == nullptr)
        throw UsageFailure{"the pattern does not compile at byte " + std::to_string(offset) + ": " +
                           errorText(error)};
    // Machine code only makes matching faster; where PCRE2 has none the interpreter
    // gives the same answers.
    (void)pcre2_jit_compile(engine_->code, PCRE2_JIT_COMPLETE);
    engine_->match = pcre2_match_data_create_from_pattern(engine_->code, nullptr);
    if (engine_->match == nullptr) throw ToolFailure{"out of memory"};
}

LinePattern::~LinePattern() = default;

bool LinePattern::matches(std::string_view utf8Line) const {
    int rc = pcre2_match(engine_->code, reinterpret_cast<PCRE2_SPTR>(utf8Line.data()),
                         utf8Line.size(), 0, 0, engine_->match, nullptr);
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    throw ToolFailure{"the pattern cannot be matched: " + errorText(rc)};
}

}  // namespace keldrin::tool
