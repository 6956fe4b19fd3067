// Standard output for user-facing text. Each line is written whole and flushed, so
// output interleaves correctly with a child process or a crash. On POSIX the wide text
// goes out as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace keldrin::console {

// Writes `text` followed by a newline, then flushes.
void writeLine(std::u16string_view text);
// Writes `text` as it stands, then flushes.
void write(std::u16string_view text);

}  // namespace keldrin::console
