#include "pbltool/args.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"
#include "pbltool/text.h"

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

namespace {

const OptionSpec* findSpec(std::span<const OptionSpec> specs, const std::string& name) {
    for (const OptionSpec& s : specs)
        if (s.name != nullptr && name == s.name) return &s;
    return nullptr;
}

bool hasShortOptions(std::span<const OptionSpec> specs) {
    return std::any_of(specs.begin(), specs.end(), [](const OptionSpec& s) {
        return s.name != nullptr && s.name[0] == '-' && s.name[1] != '-';
    });
}

// "-in" as "-i" "-n", as grep takes them; false (nothing added) unless every letter is
// a one-letter option without a value. A "-" alone is no option: it names standard input.
bool addShortOptions(ParsedArgs& parsed, std::span<const OptionSpec> specs,
                     const std::u16string& arg) {
    if (arg.size() < 2 || arg[0] != u'-' || arg[1] == u'-') return false;
    std::vector<std::string> names;
    for (std::size_t k = 1; k < arg.size(); ++k) {
        if (arg[k] > 0x7F) return false;
        std::string name{'-', static_cast<char>(arg[k])};
        const OptionSpec* spec = findSpec(specs, name);
        if (spec == nullptr || spec->takesValue) return false;
        names.push_back(name);
    }
    for (const std::string& name : names)
        if (!parsed.has(name.c_str())) parsed.options.emplace_back(name, std::nullopt);
    return true;
}

}  // namespace

ParsedArgs parseArgs(std::span<const std::u16string> args, std::span<const OptionSpec> specs,
                     std::size_t minPositional, std::size_t maxPositional) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    const bool shortOptions = hasShortOptions(specs);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        if (!optionsEnded && arg == u"--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && shortOptions && arg.size() >= 2 && arg[0] == u'-' && arg[1] != u'-') {
            if (!addShortOptions(parsed, specs, arg))
                throw UsageFailure{"unknown option " + displayPath(arg)};
            continue;
        }
        if (!optionsEnded && arg.size() > 2 && arg.compare(0, 2, u"--") == 0) {
            std::string name = utf16ToUtf8(arg);
            const OptionSpec* spec = findSpec(specs, name);
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
    bool waitGiven = false;
    bool codePageGiven = false;
    std::size_t i = 0;
    while (i < args.size() && (args[i] == u"--wait" || args[i] == u"--codepage")) {
        const bool wait = args[i] == u"--wait";
        const std::string name = wait ? "--wait" : "--codepage";
        if (wait ? waitGiven : codePageGiven) throw UsageFailure{"option " + name + " given twice"};
        if (i + 1 == args.size()) throw UsageFailure{"option " + name + " needs a value"};
        std::int32_t value = parseInt32(args[i + 1], name);
        if (wait) {
            constexpr std::int32_t kMaxWaitSeconds = 24 * 3600;
            if (value < 0 || value > kMaxWaitSeconds)
                throw UsageFailure{"--wait takes 0 to " + std::to_string(kMaxWaitSeconds) +
                                   " seconds"};
            global.lockWaitMs = value * 1000;
            waitGiven = true;
        } else {
            // 0 and 1 stand for "the system's" code pages, not for a code page of their own.
            if (value < 2 || value > 65535)
                throw UsageFailure{"--codepage takes a code page number such as 1252"};
            global.codePage = static_cast<unsigned>(value);
            codePageGiven = true;
        }
        i += 2;
    }
    global.command = i;
    return global;
}

}  // namespace keldrin::tool
