// A DataWindow drawn from its source alone, as a library holds it: no rows, its bands
// once each (the detail band empty), its columns as empty edit fields, and its nested
// reports drawn inside their frames from the same library's sources.
//
// The sources are untrusted: a text that does not parse, or is longer than
// kPreviewMaxSourceChars, is drawn as a note. Nesting is bounded in depth
// (kPreviewMaxDepth) and in the number of DataWindows one page draws
// (kPreviewMaxDrawn), so reports that nest each other in a circle, or many times over,
// cannot make the page grow without end; a cycle is refused with a note in its frame.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldrin::dw {

inline constexpr std::size_t kPreviewMaxSourceChars = std::size_t{1} << 20;
inline constexpr std::size_t kPreviewMaxDepth = 4;   // nested reports inside nested reports
inline constexpr std::size_t kPreviewMaxDrawn = 64;  // DataWindows drawn on one page
inline constexpr std::size_t kPreviewMaxPageBytes = std::size_t{16} << 20;

// A DataWindow's source as the library gave it: its text, or why it could not be read.
struct PreviewSource {
    std::u16string text;
    std::string problem;  // non-empty: the text could not be read, and this says why
};

// The source of the DataWindow `name` (a report object's dataobject, without ".srd"),
// or nullopt when the library holds none by that name.
using SourceLookup = std::function<std::optional<PreviewSource>(const std::string& name)>;

struct Preview {
    std::string html;                // the whole page
    std::vector<std::string> notes;  // what the page could not draw, and why (UTF-8)
    bool drawn = false;              // false: the DataWindow itself is only a note
};

// The page for the DataWindow `name` with source `source`, titled `title` (UTF-8).
Preview previewHtml(const std::string& name, const PreviewSource& source,
                    const SourceLookup& lookup, const std::string& title);

}  // namespace keldrin::dw
