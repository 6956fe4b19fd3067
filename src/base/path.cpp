#include "base/path.h"

namespace keldrin::path {

namespace {

// Index of the last separator at or after `from`, or npos.
std::size_t lastSeparator(std::u16string_view name, std::size_t from) {
    for (std::size_t i = name.size(); i > from; --i)
        if (detail::isSeparator(name[i - 1])) return i - 1;
    return std::u16string_view::npos;
}

}  // namespace

std::u16string parent(std::u16string_view name) {
    const std::size_t root = detail::rootLength(name);
    const std::size_t cut = lastSeparator(name, root);
    if (cut == std::u16string_view::npos)
        return root == 0 ? u"." : std::u16string(name.substr(0, root));
    return std::u16string(name.substr(0, cut));
}

std::u16string fileName(std::u16string_view name) {
    const std::size_t root = detail::rootLength(name);
    const std::size_t cut = lastSeparator(name, root);
    return std::u16string(name.substr(cut == std::u16string_view::npos ? root : cut + 1));
}

std::u16string join(std::u16string_view directory, std::u16string_view child) {
    std::u16string joined(directory);
    // A drive's own directory ("C:") takes the name without a separator, which would
    // lead to the drive's root instead.
    if (!joined.empty() && !detail::isSeparator(joined.back()) &&
        detail::rootLength(directory) != directory.size())
        joined += detail::kSeparator;
    joined += child;
    return joined;
}

}  // namespace keldrin::path
