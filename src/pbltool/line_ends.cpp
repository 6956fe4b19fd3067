#include "pbltool/line_ends.h"

#include <cstring>

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

void CarriageReturnScan::add(ByteSpan piece) {
    if (piece.empty()) return;
    if (unitStarted_ && piece[0] == 0) unit_ = true;
    unitStarted_ = false;
    const std::uint8_t* const begin = piece.data();
    const std::uint8_t* const end = begin + piece.size();
    for (const std::uint8_t* p = begin; !(byte_ && unit_) && p < end; ++p) {
        p = static_cast<const std::uint8_t*>(
            std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
        if (p == nullptr) break;
        byte_ = true;
        if ((offset_ + static_cast<std::uint64_t>(p - begin)) % 2 != 0) continue;
        if (p + 1 < end)
            unit_ = unit_ || p[1] == 0;
        else
            unitStarted_ = true;
    }
    offset_ += piece.size();
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
