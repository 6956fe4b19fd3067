#include "base/path.h"

namespace keldrin::path::detail {

const char16_t kSeparator = u'/';

bool isSeparator(char16_t c) {
    return c == u'/';
}

std::size_t rootLength(std::u16string_view name) {
    return !name.empty() && name[0] == u'/' ? 1 : 0;
}

}  // namespace keldrin::path::detail
