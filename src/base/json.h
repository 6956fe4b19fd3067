// JSON text: the one writer of quoted strings that every JSON output of Keldrin uses, so
// the tool's listings and a report's rows escape alike.
#pragma once

#include <string>
#include <string_view>

namespace keldrin {

// Appends `utf8` as a quoted JSON string: quote and backslash escaped, control bytes as
// \u00HH; other bytes (UTF-8 included) as they are.
void appendJsonString(std::string& out, std::string_view utf8);

inline std::string jsonString(std::string_view utf8) {
    std::string out;
    appendJsonString(out, utf8);
    return out;
}

}  // namespace keldrin
