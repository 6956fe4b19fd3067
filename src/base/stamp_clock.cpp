#include "base/stamp_clock.h"

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string_view>

namespace keldrin::stamp {
namespace {

bool fixedTime(std::int32_t& seconds) {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr) return false;
    const std::string_view digits(text);
    if (digits.empty() || digits.size() > 10) return false;
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > std::numeric_limits<std::int32_t>::max()) return false;
    seconds = static_cast<std::int32_t>(value);
    return true;
}

}  // namespace

std::int32_t now() {
    std::int32_t seconds = 0;
    if (fixedTime(seconds)) return seconds;
    return static_cast<std::int32_t>(std::time(nullptr));
}

}  // namespace keldrin::stamp
