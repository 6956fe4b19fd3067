// The failures that travel as exceptions through the application, the conversion and
// the report containers. Each is a type of its own with no common base: callers catch
// them by type, and only the application turns them into text. The PBL library does
// not throw; it returns result codes (see pbl/pbl_library.h).
#pragma once

#include <string>
#include <utility>

namespace keldrin {

// The command line has no arguments.
struct NoArgsException {};

// A bad command line; carries the message shown after "Systax error: ".
struct InvalidArgsException {
    std::u16string message;
    explicit InvalidArgsException(std::u16string text) : message(std::move(text)) {}
};

// A report file that cannot be opened, or a storage or stream that does not exist.
struct NotFoundException {};

// A file in neither report format, or a report whose structure is not understood.
struct NotSupportedFormatException {};

// A read or write that failed after the file was found.
struct IOException {};

// An existing target that may not be replaced.
struct FileAccessException {};

}  // namespace keldrin
