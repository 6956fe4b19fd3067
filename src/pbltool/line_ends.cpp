#include "pbltool/line_ends.h"

#include <algorithm>
#include <cstddef>

namespace keldrin::tool {

namespace {

template <class Char>
std::basic_string<Char> crlfLines(std::basic_string_view<Char> text) {
    std::basic_string<Char> out;
    out.reserve(text.size() + static_cast<std::size_t>(
                                  std::count(text.begin(), text.end(), static_cast<Char>('\n'))));
    for (Char c : text) {
        if (c == static_cast<Char>('\n')) out.push_back(static_cast<Char>('\r'));
        out.push_back(c);
    }
    return out;
}

}  // namespace

bool exportFileHasCarriageReturn(ByteSpan file, pbl::ExportEncoding encoding) {
    if (encoding != pbl::ExportEncoding::kUtf16Le)
        // ANSI (a lead byte's partner is never below 0x40), HEXASCII and UTF-8 keep a CR
        // byte for the character itself.
        return std::find(file.begin(), file.end(), std::uint8_t{'\r'}) != file.end();
    for (std::size_t i = 0; i + 1 < file.size(); i += 2)
        if (file[i] == '\r' && file[i + 1] == 0) return true;
    return false;
}

std::string lfToCrlf(std::string_view text) {
    return crlfLines(text);
}
std::u16string lfToCrlf(std::u16string_view text) {
    return crlfLines(text);
}

std::string crlfToLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') out.push_back(text[i]);
    return out;
}

}  // namespace keldrin::tool
