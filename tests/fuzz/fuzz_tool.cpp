// Fuzz target: keldrin-pbl, in process through its entry function, over a file of any
// content taken both as a library and as a report. The commands that only read a library
// (info, ls, cat, check, export, status, diff, grep, rebuild into a new file) answer with their
// documented exit codes and leave the file as it was; report answers 0 or 1 (3 for
// values it cannot decode); add-report into a sound library either works or changes
// nothing, and the library stays sound either way. A crash, a hang, an unbounded
// allocation or a read past a buffer is a finding too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "fuzz_support.h"
#include "pbl/library.h"
#include "pbltool/tool.h"
#include "support/entry_list.h"

namespace keldrin::fuzz_tool {

// Entries cat reads per input: a few, so that each input stays quick.
constexpr std::size_t kCatEntries = 4;

using fuzz::fileBytes;

// A fresh directory of the work directory, emptied of what the last input left there.
std::u16string emptyDirectory(const char* tag) {
    const std::u16string dir = fuzz::workFile(tag);
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(fuzz::workDirectory()) / tag, ignored);
    return dir;
}

class Tool {
  public:
    Tool() : sink_(fs::openFile(u"/dev/null", "wb")) {}
    ~Tool() {
        if (sink_ != nullptr) std::fclose(sink_);
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    bool ready() const { return sink_ != nullptr; }

    // Runs one command, its output thrown away; aborts on an exit code outside `allowed`.
    int run(const std::vector<std::u16string>& args, std::initializer_list<int> allowed) {
        PblToolStreams streams{nullptr, sink_, sink_};
        const int rc = runPblTool(args, streams);
        if (std::find(allowed.begin(), allowed.end(), rc) == allowed.end()) std::abort();
        return rc;
    }

  private:
    std::FILE* sink_;
};

// The names cat is asked for: the library's first few entries, as the enumeration gives
// them, and one that is not there.
std::vector<std::u16string> namesToCat(const std::u16string& library) {
    std::vector<std::u16string> names{u"no such entry.srd"};
    pbl::PblManagerHandle manager(pbl::createPblManager());
    if (!manager) return names;
    manager->setNameEncoding(pbl::kNameUtf8);
    pbl::PblLibraryHandle opened(manager->openLibrary(library, 0));
    if (!opened) return names;
    for (const pbl::PblEntryInfo& info : test::listEntries(*opened, kCatEntries).entries)
        if (!info.name.empty() && info.name.find('\0') == std::string::npos)
            names.push_back(utf8ToUtf16(info.name));
    return names;
}

void asLibrary(Tool& tool, const std::uint8_t* data, std::size_t size) {
    const std::u16string lib = fuzz::writeInput(data, size, "tool-in.pbl");
    tool.run({u"info", lib}, {0, 1});
    tool.run({u"info", lib, u"--json"}, {0, 1});
    tool.run({u"ls", lib, u"--json"}, {0, 1});
    tool.run({u"ls", lib, u"d*", u"--sort", u"size"}, {0, 1});
    tool.run({u"check", lib, u"--json"}, {0, 1});
    for (const std::u16string& name : namesToCat(lib)) {
        tool.run({u"cat", lib, u"--", name}, {0, 1});
        tool.run({u"cat", lib, u"--text", u"--", name}, {0, 1});
        tool.run({u"cat", lib, u"--comment", u"--", name}, {0, 1});
    }
    tool.run({u"export", lib, emptyDirectory("tool-export"), u"--all", u"--quiet"}, {0, 1});
    // status reads back, as import would, what the layout wrote of whatever the library holds.
    const std::u16string workspace = emptyDirectory("tool-workspace");
    tool.run({u"export", lib, workspace, u"--layout", u"ws_objects", u"--quiet"}, {0, 1});
    tool.run({u"status", lib, workspace, u"--json"}, {0, 1, 2});
    tool.run({u"diff", lib, lib, u"--text"}, {0, 1, 2});
    tool.run({u"grep", u"-in", u"e", lib}, {0, 1, 2});
    const std::u16string rebuilt = fuzz::workFile("tool-rebuilt.pbl");
    fs::removeFile(rebuilt);
    tool.run({u"rebuild", lib, rebuilt}, {0, 1});
    // Not one of them may write to the library it reads.
    const std::vector<std::uint8_t> after = fileBytes(lib);
    if (after.size() != size || !std::equal(after.begin(), after.end(), data)) std::abort();
}

// A sound library with one entry, made once per process: the target of add-report.
const std::vector<std::uint8_t>& soundLibrary(Tool& tool) {
    static const std::vector<std::uint8_t> bytes = [&tool] {
        const std::u16string lib = fuzz::workFile("tool-sound.pbl");
        fs::removeFile(lib);
        tool.run({u"create", lib, u"10"}, {0});
        const std::u16string body = fuzz::writeInput(
            reinterpret_cast<const std::uint8_t*>("r\0e\0l\0\r\0\n\0"), 10, "tool-body");
        tool.run({u"put", lib, u"d_kept.srd", body}, {0});
        return fileBytes(lib);
    }();
    return bytes;
}

void asReport(Tool& tool, const std::uint8_t* data, std::size_t size) {
    const std::u16string report = fuzz::writeInput(data, size, "tool-in.psr");
    tool.run({u"report", report}, {0, 1});
    tool.run({u"report", report, u"--json"}, {0, 1});
    tool.run({u"report", report, u"--data"}, {0, 1, 3});
    const std::vector<std::uint8_t>& sound = soundLibrary(tool);
    const std::u16string target = fuzz::writeInput(sound.data(), sound.size(), "tool-target.pbl");
    const int added = tool.run({u"add-report", target, report, u"--replace"}, {0, 1});
    if (added == 1 && fileBytes(target) != sound) std::abort();
    tool.run({u"check", target}, {0});
}

}  // namespace keldrin::fuzz_tool

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_tool::Tool tool;
    if (tool.ready()) {
        keldrin::fuzz_tool::asLibrary(tool, data, size);
        keldrin::fuzz_tool::asReport(tool, data, size);
    }
    return 0;
}
