#include "base/json.h"

#include <cstdio>

namespace keldrin {

void appendJsonString(std::string& out, std::string_view utf8) {
    out.reserve(out.size() + utf8.size() + 2);
    out.push_back('"');
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04X", c);
            out += hex;
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
}

}  // namespace keldrin
