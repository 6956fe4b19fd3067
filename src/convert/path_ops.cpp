#include "convert/path_ops.h"

namespace keldrin {
namespace {

constexpr char16_t kSeparators[] = u":\\/";

}  // namespace

std::u16string directoryOf(const std::u16string& path) {
    std::size_t last = path.find_last_of(kSeparators);
    if (last == std::u16string::npos) return u".";
    // A drive letter stays a drive ("C:"), a directory loses its trailing separator.
    if (path[last] == u':') return path.substr(0, last + 1);
    return path.substr(0, last);
}

std::u16string fileNameOf(const std::u16string& path) {
    std::size_t last = path.find_last_of(kSeparators);
    return last == std::u16string::npos ? path : path.substr(last + 1);
}

std::u16string withoutExtension(const std::u16string& path) {
    std::size_t dot = path.find_last_of(u'.');
    if (dot == std::u16string::npos) return path;
    // A "." in a directory name is no extension: ..\data\sales keeps its name.
    std::size_t separator = path.find_last_of(kSeparators);
    if (separator != std::u16string::npos && separator > dot) return path;
    return path.substr(0, dot);
}

std::u16string toLowerCopy(const std::u16string& text) {
    std::u16string lower = text;
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return lower;
}

}  // namespace keldrin
