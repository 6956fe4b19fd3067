// The command line of keldrin-pbl: the global options before the command, and each
// command's options (by name) and positional arguments (by count).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace keldrin::tool {

struct OptionSpec {
    // "--json", or a one-letter "-i"; nullptr marks an unused slot
    const char* name = nullptr;
    bool takesValue = false;
};

struct ParsedArgs {
    std::vector<std::u16string> positional;
    std::vector<std::pair<std::string, std::optional<std::u16string>>> options;

    bool has(const char* name) const;
    // The option's value; nothing when the option is absent or takes none.
    std::optional<std::u16string> value(const char* name) const;
};

// Options may come anywhere among the positional arguments; "--" ends them, so a NAME
// or TEXT may begin with "--". UsageFailure for anything the specs do not allow.
ParsedArgs parseArgs(std::span<const std::u16string> args, std::span<const OptionSpec> specs,
                     std::size_t minPositional, std::size_t maxPositional);

inline constexpr int kDefaultLockWaitMs = 10000;

// What comes before the command: --wait SECONDS and --codepage N, in either order.
struct GlobalOptions {
    int lockWaitMs = kDefaultLockWaitMs;
    unsigned codePage = 0;    // 0: the locale's ANSI code page
    std::size_t command = 0;  // index of the command word in the arguments
};
GlobalOptions parseGlobalOptions(std::span<const std::u16string> args);

}  // namespace keldrin::tool
