#include "base/path.h"

namespace keldrin::path::detail {

const char16_t kSeparator = u'\\';

bool isSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

std::size_t rootLength(std::u16string_view name) {
    // "\\server\share\": the share is the root, as a drive is.
    if (name.size() >= 2 && isSeparator(name[0]) && isSeparator(name[1])) {
        std::size_t slashes = 0;
        for (std::size_t i = 2; i < name.size(); ++i)
            if (isSeparator(name[i]) && ++slashes == 2) return i + 1;
        return name.size();
    }
    std::size_t length = 0;
    if (name.size() >= 2 && name[1] == u':') length = 2;
    if (name.size() > length && isSeparator(name[length])) ++length;
    return length;
}

}  // namespace keldrin::path::detail
