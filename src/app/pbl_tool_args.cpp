#include "app/pbl_tool_args.h"

#include <algorithm>
#include <cstdint>

#include "app/pbl_tool_text.h"
#include "base/text.h"

namespace keldrin::tool {

bool ParsedArgs::has(const char* name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const auto& o) { return o.first == name; });
}

std::optional<std::u16string> ParsedArgs::value(const char* name) const {
    for (const auto& o : options)
        if (o.first == name) return o.second;
    return std::nullopt;
}

ParsedArgs parseArgs(std::span<const std::u16string> args, std::span<const OptionSpec> specs,
                     std::size_t minPositional, std::size_t maxPositional) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        if (!optionsEnded && arg == u"--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.size() > 2 && arg.compare(0, 2, u"--") == 0) {
            std::string name = utf16ToUtf8(arg);
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& s : specs)
                if (s.name != nullptr && name == s.name) spec = &s;
            if (spec == nullptr) throw UsageFailure{"unknown option " + displayPath(arg)};
            if (parsed.has(spec->name)) throw UsageFailure{"option " + name + " given twice"};
            if (spec->takesValue) {
                if (i + 1 == args.size()) throw UsageFailure{"option " + name + " needs a value"};
                parsed.options.emplace_back(name, args[++i]);
            } else {
                parsed.options.emplace_back(name, std::nullopt);
            }
            continue;
        }
        parsed.positional.push_back(arg);
    }
    if (parsed.positional.size() < minPositional) throw UsageFailure{"missing arguments"};
    if (parsed.positional.size() > maxPositional)
        throw UsageFailure{"unexpected argument " + displayPath(parsed.positional[maxPositional])};
    return parsed;
}

GlobalOptions parseGlobalOptions(std::span<const std::u16string> args) {
    GlobalOptions global;
    if (!args.empty() && args[0] == u"--wait") {
        if (args.size() < 2) throw UsageFailure{"option --wait needs a value"};
        std::int32_t seconds = parseInt32(args[1], "--wait");
        constexpr std::int32_t kMaxWaitSeconds = 24 * 3600;
        if (seconds < 0 || seconds > kMaxWaitSeconds)
            throw UsageFailure{"--wait takes 0 to " + std::to_string(kMaxWaitSeconds) + " seconds"};
        global.lockWaitMs = seconds * 1000;
        global.command = 2;
    }
    return global;
}

}  // namespace keldrin::tool
