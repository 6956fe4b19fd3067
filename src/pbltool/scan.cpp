#include "pbltool/scan.h"

#include <string>
#include <utility>

#include "base/bytes.h"
#include "base/text.h"
#include "pbl/stored_text.h"
#include "pbltool/text.h"

namespace keldrin::tool {

std::string decodeStoredText(bool unicode, const std::uint8_t* bytes, std::size_t count) {
    std::optional<std::u16string> wide = pbl::decodeStoredField(unicode, ByteSpan(bytes, count));
    if (!wide) throw ToolFailure{"the text does not convert from the ANSI code page"};
    return utf16ToUtf8(*wide);
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string printableLine(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string out;
    out.reserve(line.size());
    std::size_t start = 0;
    // Tabs indent PowerScript; every other control byte is escaped as names are.
    for (std::size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == '\t') {
            out += escapeControls(line.substr(start, i - start));
            if (i < line.size()) out.push_back('\t');
            start = i + 1;
        }
    }
    return out;
}

LibraryScan::LibraryScan(ToolContext& context, const std::u16string& path)
    : context_(context), path_(path) {
    try {
        lib_ = context.open(path, false);
    } catch (const ToolFailure& failure) {
        trouble(failure.message);
        return;
    }
    int code = collectEntries(lib_, entries_);
    if (code != pbl::kPblOk) {
        try {
            lib_.check(code, displayPath(path));
        } catch (const ToolFailure& failure) {
            trouble(failure.message + " (" + std::to_string(entries_.size()) +
                    " entries read before it)");
        }
    }
}

bool LibraryScan::unicode() const {
    return opened() && lib_.library->isUnicode() != 0;
}

void LibraryScan::trouble(const std::string& what) {
    context_.note(what);
    troubled_ = true;
}

std::optional<std::vector<std::uint8_t>> LibraryScan::read(const EntryRecord& entry) {
    std::string where = displayPath(path_) + ": " + escapeControls(utf16ToUtf8(entry.name));
    try {
        return readEntry(lib_, entry.info, where);
    } catch (const ToolFailure& failure) {
        trouble(failure.message);
        return std::nullopt;
    }
}

std::optional<std::string> LibraryScan::sourceText(const EntryRecord& entry) {
    std::optional<std::vector<std::uint8_t>> data = read(entry);
    if (!data) return std::nullopt;
    auto comment = static_cast<std::size_t>(entry.info.commentSize);
    try {
        return decodeStoredText(unicode(), data->data() + comment, data->size() - comment);
    } catch (const ToolFailure& failure) {
        trouble(displayPath(path_) + ": " + escapeControls(utf16ToUtf8(entry.name)) + ": " +
                failure.message);
        return std::nullopt;
    }
}

std::string LibraryScan::commentText(const EntryRecord& entry,
                                     const std::vector<std::uint8_t>& data) {
    auto comment = static_cast<std::size_t>(entry.info.commentSize);
    try {
        std::string text = decodeStoredText(unicode(), data.data(), comment);
        // A stored comment may carry its terminator.
        while (!text.empty() && text.back() == '\0') text.pop_back();
        return text;
    } catch (const ToolFailure&) {
        // An unreadable comment still differs or matches by its bytes; show it as bytes.
        return std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(comment));
    }
}

}  // namespace keldrin::tool
