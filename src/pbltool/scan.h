// Reading every entry of a library for the commands that look through whole libraries
// (diff, grep): damage is noted and the walk goes on with the entries that can still be
// read, and a source entry's text (pbl::isSourceEntryName) is decoded the one way the tool
// shows text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pbl/export_file.h"
#include "pbltool/commands.h"

namespace keldrin::tool {

// Stored text (ANSI code page bytes, or UTF-16LE) as UTF-8; ToolFailure when the bytes
// do not convert.
std::string decodeStoredText(bool unicode, const std::uint8_t* bytes, std::size_t count);

// The lines of `text`, each with its "\n" (the last one may have none).
std::vector<std::string_view> splitLines(std::string_view text);
// A line as a terminal may show it: without its line ending, control bytes other than
// the tab written as \xHH.
std::string printableLine(std::string_view line);

// One library opened for reading. A library that cannot be opened or listed at all,
// and every entry that cannot be read, is noted on the error stream and marks the scan
// troubled; the command still goes through what it can read.
class LibraryScan {
  public:
    LibraryScan(ToolContext& context, const std::u16string& path);

    bool opened() const { return lib_.library != nullptr; }
    bool troubled() const { return troubled_; }
    bool unicode() const;
    const std::u16string& path() const { return path_; }
    const std::vector<EntryRecord>& entries() const { return entries_; }

    // The entry's comment and body, in that order; nothing when it cannot be read.
    std::optional<std::vector<std::uint8_t>> read(const EntryRecord& entry);
    // The entry's body as UTF-8 text; nothing when it cannot be read or decoded.
    std::optional<std::string> sourceText(const EntryRecord& entry);
    // The entry's comment as UTF-8 text, from data that read() returned.
    std::string commentText(const EntryRecord& entry, const std::vector<std::uint8_t>& data);
    // Notes `what` on the error stream and marks the scan troubled.
    void trouble(const std::string& what);

  private:
    ToolContext& context_;
    std::u16string path_;
    OpenLibrary lib_;
    std::vector<EntryRecord> entries_;
    bool troubled_ = false;
};

}  // namespace keldrin::tool
