// The self-contained helpers of keldrin-pbl: the failures that end a
// command, text conversion between the command line, the library and the terminal,
// whole numbers and times, and the file names that `export` gives entries.
// Internal to the tool; kept apart so they can be tested on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keldrin::tool {

// A failure that ends the command with exit code 1 and this message.
struct ToolFailure {
    std::string message;
};
// A bad command line: exit code 2, the message and the usage text.
struct UsageFailure {
    std::string message;
};

// A wide file name as the platform shows it, for messages.
std::string displayPath(const std::u16string& path);
// True when a UTF-16 surrogate stands alone: such text has no UTF-8 or ANSI form.
bool hasUnpairedSurrogate(std::u16string_view text);
// Control bytes (below 0x20, and 0x7F) written as \xHH, so text from a file cannot
// drive the terminal.
std::string escapeControls(std::string_view utf8);
// What the failure of a write or sync says: the system's words for a full disk
// ("no space left on device") when that was the reason, else `otherwise`.
std::string writeFailureText(const std::string& otherwise);
// ANSI code page bytes to wide text, every byte included; nothing when they do not convert.
std::optional<std::u16string> ansiBytesToWide(const std::uint8_t* bytes, std::size_t count);
// Wide text to ANSI code page bytes; nothing when a character has no exact form.
std::optional<std::string> wideToAnsiBytes(std::u16string_view wide);
// The ANSI form of `text`, or ToolFailure naming `what` unless it converts back exactly.
std::string exactAnsi(const std::u16string& text, const std::string& what);

// A signed decimal 32-bit number, or UsageFailure naming `what`.
std::int32_t parseInt32(const std::u16string& text, const std::string& what);
// Seconds since 1970 as "YYYY-MM-DDThh:mm:ssZ" (UTC, proleptic Gregorian).
std::string isoTime(std::int64_t seconds);

// A file name for an entry that stays inside the export directory on every platform.
std::u16string exportFileName(const std::u16string& name);
// The form under which a case-insensitive file system compares a name.
std::u16string foldedFileName(std::u16string_view name);

}  // namespace keldrin::tool
