// Fuzz target: a library file of any content, opened read-only. Every entry is
// enumerated, looked up again by its name and read; the comment and the library data
// are read; the companion tool lists the library. Result codes are answers; a crash,
// a hang, an unbounded allocation or a read past a buffer is a finding. Where the
// library answers consistently it must agree with itself: an entry enumerated is
// found again by its name at the same place.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file.h"
#include "fuzz_support.h"
#include "pbl/library.h"
#include "pbltool/tool.h"
#include "support/entry_list.h"

namespace keldrin::fuzz_pbl_read {

// Entries taken per input: enough for every library of the seed corpus, small enough
// to keep each input quick.
constexpr std::size_t kMaxEntries = 4096;

void readEverything(pbl::PblLibraryInterface& library) {
    (void)library.isUnicode();
    (void)library.version();
    int size = 0;
    if (library.getComment(nullptr, size) == pbl::kPblOk && size > 0) {
        std::vector<std::uint8_t> comment(static_cast<std::size_t>(size));
        int rc = library.getComment(comment.data(), size);
        if (rc == pbl::kPblOk && static_cast<std::size_t>(size) > comment.size()) std::abort();
    }
    size = 0;
    if (library.readLibraryData(nullptr, size) == pbl::kPblOk && size > 0) {
        std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
        int rc = library.readLibraryData(data.data(), size);
        if (rc == pbl::kPblOk && static_cast<std::size_t>(size) > data.size()) std::abort();
    }

    std::vector<std::uint8_t> buffer;
    for (const pbl::PblEntryInfo& info : test::listEntries(library, kMaxEntries).entries) {
        // The data size is checked against the file; the comment size is the record's
        // as stored (callers check it against the data size before they split the two).
        if (info.dataSize < 0 || info.commentSize < 0) std::abort();
        buffer.assign(static_cast<std::size_t>(info.dataSize), 0);
        (void)library.readEntryData(info, buffer.data());

        // Names come out in the manager's ANSI form: the very text findEntry takes.
        if (info.name.find('\0') != std::string::npos) continue;
        pbl::PblEntryInfo found{};
        if (library.findEntry(info.name.c_str(), found, 0) == pbl::kPblOk) {
            // In a damaged library the lookup may land on another record of the same
            // name (ASCII case folded): its buffer is sized by its own data size.
            buffer.assign(static_cast<std::size_t>(found.dataSize), 0);
            (void)library.readEntryData(found, buffer.data());
        }
    }
    pbl::PblEntryInfo missing{};
    (void)library.findEntry("", missing, 0);
    (void)library.findEntry("no such entry in any library.srd", missing, 0);
    // A read-only library refuses every change.
    pbl::PblEntryInfo created{};
    if (library.findEntry("fuzz_new.srd", created, 0) == pbl::kPblNotFound &&
        library.findEntry("fuzz_new.srd", created, 1) == pbl::kPblOk)
        std::abort();
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::u16string name = fuzz::writeInput(data, size, "read.pbl");
    pbl::PblManagerHandle manager(pbl::createPblManager());
    if (!manager) return;
    for (int encoding : {pbl::kNameAnsi, pbl::kNameUtf16}) {
        manager->setNameEncoding(encoding);
        pbl::PblLibraryHandle library(manager->openLibrary(name, 0));
        if (!library) return;
        if (encoding == pbl::kNameAnsi) {
            readEverything(*library);
        } else {
            (void)test::listEntries(*library, kMaxEntries);
        }
    }

    // The companion tool over the same file, its output thrown away.
    std::FILE* sink = fs::openFile(u"/dev/null", "wb");
    if (sink == nullptr) return;
    PblToolStreams streams{nullptr, sink, sink};
    const std::u16string nativeName = name;
    (void)runPblTool({u"info", nativeName, u"--json"}, streams);
    (void)runPblTool({u"ls", nativeName, u"--json"}, streams);
    std::fclose(sink);
}

}  // namespace keldrin::fuzz_pbl_read

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_pbl_read::run(data, size);
    return 0;
}
